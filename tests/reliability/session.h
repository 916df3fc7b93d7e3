// A model of the store as the peer sees it, and a session that drives the
// built backend (real root directory, real account) and checks every reply,
// every opened content and every log line against the model.
//
// Single-threaded. The backend's stderr goes to an anonymous file that the
// session reads back line by line.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/backend.h"
#include "common/child.h"
#include "e2e/peer.h"
#include "frame/queue_proto.h"
#include "peer/model.h"
#include "peer/peer.h"

namespace reliability {

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

using bytes = std::vector<uint8_t>;

// One request of the protocol, with the arguments the model needs.
struct Op {
    Op() = default;
    Op(uint32_t t, uint32_t m = 0, uint64_t e = 0, bytes d = {})
        : type(t), msgid(m), evpid(e), data(std::move(d)) {}

    uint32_t type = QUEUE_HELLO;
    uint32_t msgid = 0;
    uint64_t evpid = 0;
    bytes data;  // content for a store, bytes for an envelope
};

// How a reply compared with the model.
enum class Verdict {
    exact,    // what the model predicts; the model has moved on
    failure,  // a failure result where the model predicted success; the
              // store is as it was
    wrong,    // anything else
};

// The shared store model (peer/model.h), judging replies in a session where
// a request may also fail for want of memory.
class Model {
  public:
    const std::map<uint32_t, peer::StoreMessage> &messages() const { return store_.messages(); }

    // The reply's verdict; `lines` receives the warnings the backend must log
    // for an exact reply, each matched whole or, ending in '*', by its start.
    Verdict check(const Op &op, const peer::Reply &r, std::vector<std::string> &lines,
                  std::string &why) {
        lines.clear();
        why.clear();
        if (r.type != QUEUE_REPLY || (op.type != QUEUE_MESSAGE_OPEN && r.fd.valid())) {
            why = "a reply of another type, or with a descriptor";
            return Verdict::wrong;
        }
        peer::StoreRequest req{op.type, op.msgid, op.evpid, op.data};
        peer::StoreExpect e = store_.expect(req);
        uint64_t id = 0;
        if (matches(op, e, r, id, why)) {
            if (!store_.apply(req, id)) {
                why = "a new id the store could not have drawn";
                return Verdict::wrong;
            }
            if (e.new_id == peer::StoreExpect::NewId::envelope) {
                last_evpid = id;
            }
            lines = e.lines;
            return Verdict::exact;
        }
        return is_failure(op, e, r) ? Verdict::failure : Verdict::wrong;
    }

    uint64_t last_evpid = 0;

  private:
    // Whether the reply is the one expected; id receives a new id it brings.
    static bool matches(const Op &op, const peer::StoreExpect &e, const peer::Reply &r,
                        uint64_t &id, std::string &why) {
        if (op.type == QUEUE_MESSAGE_OPEN) {
            if (!r.payload.empty()) {
                why = "open payload";
                return false;
            }
            if (!e.content) {
                why = r.fd.valid() ? "a descriptor where none belongs" : "";
                return !r.fd.valid();
            }
            return r.fd.valid() && check_content(r.fd.get(), *e.content, why);
        }
        if (op.type == QUEUE_ENVELOPE_READ) {
            why = "envelope bytes";
            return r.payload == e.envelope;
        }
        if (!e.result) {
            why = "payload where none belongs";
            return r.payload.empty();
        }
        size_t id_size = e.new_id == peer::StoreExpect::NewId::message    ? 4
                         : e.new_id == peer::StoreExpect::NewId::envelope ? 8
                                                                          : 0;
        why = "result " + std::to_string(*e.result) + (id_size != 0 ? " and an id" : "") +
              " expected";
        if (r.payload.size() != 4 + id_size || r.result() != e.result) {
            return false;
        }
        if (id_size == 4) {
            id = *r.u32_at(4);
        } else if (id_size == 8) {
            id = *r.u64_at(4);
        }
        return true;
    }

    // A failure result where the model predicted success, which memory
    // running out may cause; the store keeps what it held.
    static bool is_failure(const Op &op, const peer::StoreExpect &e, const peer::Reply &r) {
        auto is_result = [&](int32_t v) { return r.payload.size() == 4 && r.result() == v; };
        switch (op.type) {
            case QUEUE_MESSAGE_STORE:
                // The loop's own failures come before the store's lookup.
                return is_result(-1) || (e.result == 1 && is_result(0));
            case QUEUE_MESSAGE_NEW:
            case QUEUE_ENVELOPE_NEW:
            case QUEUE_ENVELOPE_REPLACE:
                return e.result == 1 && is_result(0);
            case QUEUE_MESSAGE_OPEN:
                return e.content.has_value() && r.payload.empty() && !r.fd.valid();
            default:
                return false;
        }
    }

    // A nameless file at offset 0 holding exactly the content.
    static bool check_content(int fd, const bytes &want, std::string &why) {
        struct stat sb;
        if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_nlink != 0) {
            why = "the opened content is not a nameless file";
            return false;
        }
        if (lseek(fd, 0, SEEK_CUR) != 0) {
            why = "the opened content is not at its start";
            return false;
        }
        if (e2e::read_to_end(fd) != want) {
            why = "the opened content differs";
            return false;
        }
        return true;
    }

    peer::StoreModel store_;
};

// The request's payload as the protocol lays it out.
inline bytes payload_of(const Op &op) {
    switch (op.type) {
        case QUEUE_HELLO:
            return peer::payload_u32(QUEUE_API_VERSION);
        case QUEUE_MESSAGE_REMOVE:
        case QUEUE_MESSAGE_STORE:
        case QUEUE_MESSAGE_OPEN:
        case QUEUE_MESSAGE_MARK:
        case QUEUE_MESSAGE_UNMARK:
            return peer::payload_u32(op.msgid);
        case QUEUE_MESSAGE_ITERATE:
            return peer::payload_u32(0);
        case QUEUE_ENVELOPE_NEW:
            return peer::payload_u32_bytes(op.msgid, op.data);
        case QUEUE_ENVELOPE_REMOVE:
        case QUEUE_ENVELOPE_READ:
            return peer::payload_u64(op.evpid);
        case QUEUE_ENVELOPE_REPLACE:
            return peer::payload_u64_bytes(op.evpid, op.data);
        default:
            return {};
    }
}

// The backend on a socketpair (the shared test Backend), driven one Op at a
// time, its log read back as the lines the model predicts.
class Backend {
  public:
    bool start(const std::vector<std::string> &wrapper = {}) { return backend_.start(wrapper); }

    // The reply, or nothing when the backend closed the socket. A store
    // passes a fresh descriptor holding the content.
    std::optional<peer::Reply> call(const Op &op) {
        int fd = -1;
        if (op.type == QUEUE_MESSAGE_STORE) {
            fd = e2e::content_fd(op.data);
            if (fd == -1) {
                return std::nullopt;
            }
        }
        std::optional<peer::Reply> r = backend_.peer().call(op.type, payload_of(op), fd);
        if (fd != -1) {
            close(fd);
        }
        return r;
    }

    // The lines logged since the last call, without their "memq[PID]: ",
    // each error text joined back to its warning. A line not yet ended
    // waits for the next call.
    std::vector<std::string> new_lines() {
        pending_ += backend_.new_log();
        std::vector<std::string> lines;
        std::string prefix = testutil::log_prefix(backend_.pid(), "memq");
        size_t at;
        while ((at = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, at);
            pending_.erase(0, at + 1);
            if (line.compare(0, prefix.size(), prefix) == 0) {
                line.erase(0, prefix.size());
            }
            lines.push_back(line);
        }
        return rejoined(lines);
    }

    int fd_count() const { return backend_.fd_count(); }
    pid_t pid() const { return backend_.pid(); }
    // Closes the socket and returns the backend's wait status.
    int finish() { return backend_.finish(); }

  private:
    testutil::Backend backend_;
    std::string pending_;
};

using peer::line_matches;
using peer::lines_match;

inline std::string joined(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &l : lines) {
        out += "  " + l + "\n";
    }
    return out;
}

}  // namespace reliability
