// What the reliability suites share: a request as the store's model sees it
// (Op), its payload, and the shared test Backend (common/backend.h) driven
// one Op at a time, its replies judged by the peer toolkit's judge
// (peer/judge.h) and its log read back as the lines the model predicts.
//
// Single-threaded.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/backend.h"
#include "frame/queue_proto.h"
#include "peer/backend.h"
#include "peer/feeder.h"
#include "peer/judge.h"
#include "peer/model.h"
#include "support/unique.h"

namespace reliability {

using peer::line_matches;
using peer::lines_match;
using peer::Verdict;
using wire::Bytes;

// Every message of the backend starts with its area. Short of memory to join
// them, a warning and its error text come as two lines, the second holding
// the error text alone, and the two may be read apart.
inline bool starts_with_area(const std::string &line) {
    for (const char *area : {"warn: ", "fatal: ", "queue-api: ", "queue-proc: ", "memq: "}) {
        if (line.rfind(area, 0) == 0) {
            return true;
        }
    }
    return false;
}

// The lines with each such error text joined back to the line before it.
inline std::vector<std::string> rejoined(const std::vector<std::string> &lines) {
    std::vector<std::string> out;
    for (const std::string &line : lines) {
        if (!out.empty() && !starts_with_area(line)) {
            out.back() += ": " + line;
        } else {
            out.push_back(line);
        }
    }
    return out;
}

// One request of the protocol, with the arguments the model needs.
struct Op {
    Op() = default;
    Op(uint32_t t, uint32_t m = 0, uint64_t e = 0, Bytes d = {})
        : type(t), msgid(m), evpid(e), data(std::move(d)) {}

    uint32_t type = QUEUE_HELLO;
    uint32_t msgid = 0;
    uint64_t evpid = 0;
    Bytes data;  // content for a store, bytes for an envelope
};

// The shared store model, judging replies in a session where a request may
// also fail for want of memory.
class Model {
  public:
    const std::map<uint32_t, peer::StoreMessage> &messages() const { return judge_.messages(); }

    // The reply's verdict; `lines` receives the warnings the backend must log
    // for an exact reply, each matched whole or, ending in '*', by its start.
    Verdict check(const Op &op, const peer::Reply &r, std::vector<std::string> &lines,
                  std::string &why) {
        const peer::StoreExpect e = judge_.expect({op.type, op.msgid, op.evpid, op.data});
        peer::Judgement j = judge_.judge(r);
        why = j.why;
        lines.clear();
        if (j.verdict == Verdict::exact) {
            if (e.new_id == peer::StoreExpect::NewId::envelope) {
                last_evpid = j.id;
            }
            lines = e.lines;
        }
        return j.verdict;
    }

    uint64_t last_evpid = 0;

  private:
    peer::Judge judge_;
};

// The request's payload as the protocol lays it out.
inline Bytes payload_of(const Op &op) {
    switch (op.type) {
        case QUEUE_HELLO:
            return wire::u32(QUEUE_API_VERSION);
        case QUEUE_MESSAGE_REMOVE:
        case QUEUE_MESSAGE_STORE:
        case QUEUE_MESSAGE_OPEN:
        case QUEUE_MESSAGE_MARK:
        case QUEUE_MESSAGE_UNMARK:
            return wire::u32(op.msgid);
        case QUEUE_MESSAGE_ITERATE:
            return wire::u32(0);
        case QUEUE_ENVELOPE_NEW:
            return wire::cat({wire::u32(op.msgid), op.data});
        case QUEUE_ENVELOPE_REMOVE:
        case QUEUE_ENVELOPE_READ:
            return wire::u64(op.evpid);
        case QUEUE_ENVELOPE_REPLACE:
            return wire::cat({wire::u64(op.evpid), op.data});
        default:
            return {};
    }
}

// The reply to op, or nothing when the backend closed the socket. A store
// passes a fresh descriptor holding the content.
inline std::optional<peer::Reply> call(peer::Backend &b, const Op &op) {
    unique_fd fd;
    if (op.type == QUEUE_MESSAGE_STORE) {
        fd.reset(peer::content_fd(op.data));
        if (!fd.valid()) {
            return std::nullopt;
        }
    }
    return b.peer().call(op.type, payload_of(op), fd.get());
}

// The lines logged since the last call, without their "memq[PID]: ", each
// error text joined back to its warning. A line not yet ended waits for the
// next call.
inline std::vector<std::string> new_lines(peer::Backend &b) {
    return rejoined(b.new_lines());
}

inline std::string joined(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &l : lines) {
        out += "  " + l + "\n";
    }
    return out;
}

}  // namespace reliability
