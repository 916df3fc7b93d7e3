// The queue protocol and the in-memory store as the fuzz targets model
// them: the input's bytes become requests, and the peer toolkit's model of
// the loop and the store (peer/judge.h) predicts every reply, every log line
// and every content they must bring. What is the fuzzers' own lives here:
// how the input's bytes become sends and descriptors, and the checks that
// end a run at the first difference.
//
// Log lines are matched in full, or by their start where the expected
// text ends in '*' (an error text the model cannot know).
#pragma once

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "frame/queue_proto.h"
#include "fuzz_input.h"
#include "peer/backend.h"
#include "peer/judge.h"
#include "peer/model.h"
#include "peer/wire.h"

namespace fuzzmodel {

// The loop fuzzer names the toolkit's byte type so; it is no other type.
using peer::MAX_WAITING_FDS;
using wire::Bytes;

// ---- The input: a sequence of sends. ----

enum class FdKind { none, regular, pipe, write_only, directory, socket, two };

struct Send {
    Bytes data;
    FdKind kind = FdKind::none;
    Bytes content;  // what a readable descriptor holds
};

struct Known {
    std::vector<uint32_t> msgids;
    std::vector<uint64_t> evpids;
};

// A descriptor of a send as the loop's content copy finds it.
struct QueuedFd {
    FdKind kind;
    Bytes content;
};

// ---- The model: the toolkit's, fed the fuzzers' descriptors. ----

// What the backend must do with one frame.
using Expect = peer::LoopExpect;

class Model : public peer::LoopModel {
  public:
    // Whether the backend can make the files that opening a message needs.
    explicit Model(bool opens_work) : peer::LoopModel(opens_work) {}

    using peer::LoopModel::receive_fd;
    // A descriptor of this kind arrives; beyond the bound the oldest waiting
    // one goes, with a line.
    void receive_fd(const QueuedFd &fd, std::vector<std::string> &lines) {
        receive_fd(passed(fd), lines);
    }

    // As the loop's content copy sees each kind: one not readable as a
    // stream gives no copy, a directory a read error, any other its content.
    static peer::PassedFd passed(const QueuedFd &fd) {
        peer::PassedFd p;
        p.kind = fd.kind == FdKind::write_only  ? peer::PassedFd::Kind::unreadable
                 : fd.kind == FdKind::directory ? peer::PassedFd::Kind::directory
                                                : peer::PassedFd::Kind::readable;
        p.content = fd.content;
        return p;
    }
};

// Everything from fd's offset to its end.
inline Bytes read_fd(int fd) {
    Bytes out;
    uint8_t buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

// ---- Decoding the fuzzer's bytes. ----

inline Bytes content_from(FuzzInput &in) {
    size_t len = in.byte();
    if (len == 255) {
        // Large content crosses the loop's 8192-byte blocks; a pattern
        // keeps the input small.
        len = in.u16() % 40000;
        return wire::pattern(len, len);
    }
    return in.bytes(len);
}

// Builds the next send. Framed sends are whole requests with a true header,
// unless the input asks for a false length; raw sends are bytes as they
// come, which may cut frames anywhere.
inline Send next_send(FuzzInput &in, const Known &known) {
    Send s;
    uint8_t op = in.byte();
    s.kind = static_cast<FdKind>((op & 7) % 7);
    bool raw = (op & 0x08) != 0;
    if (raw) {
        s.data = in.bytes(in.byte());
    } else {
        uint8_t t = in.byte();
        uint32_t type = (t & 0x80) != 0 ? t : t % 16;
        size_t len = in.byte();
        Bytes payload;
        if (len == 255) {
            // Envelopes around the 8192-byte limit and frames near the
            // largest one.
            len = 8180 + in.u16() % 8200;
            payload.assign(len, static_cast<uint8_t>(len));
        } else {
            payload = in.bytes(len);
            payload.resize(len);
        }
        if ((op & 0x20) != 0) {
            uint8_t which = in.byte();
            bool envelope = type == QUEUE_ENVELOPE_REMOVE || type == QUEUE_ENVELOPE_READ ||
                            type == QUEUE_ENVELOPE_REPLACE;
            if (envelope && !known.evpids.empty() && payload.size() >= 8) {
                uint64_t id = known.evpids[which % known.evpids.size()];
                std::memcpy(payload.data(), &id, 8);
            } else if (!envelope && !known.msgids.empty() && payload.size() >= 4) {
                uint32_t id = known.msgids[which % known.msgids.size()];
                std::memcpy(payload.data(), &id, 4);
            }
        }
        if (type == QUEUE_HELLO && (op & 0x40) == 0 && payload.size() == 4) {
            // A good version most of the time.
            std::memcpy(payload.data(), &QUEUE_API_VERSION, 4);
        }
        wire::Header h{};
        h.type = type;
        h.length =
            static_cast<uint16_t>(std::min(wire::HEADER_LEN + payload.size(), size_t{65535}));
        if ((op & 0x40) != 0 && type != QUEUE_HELLO) {
            h.length = in.u16();
        }
        h.flags = (op & 0x10) != 0 ? wire::FLAG_FD : 0;
        s.data.resize(sizeof h);
        std::memcpy(s.data.data(), &h, sizeof h);
        s.data.insert(s.data.end(), payload.begin(), payload.end());
    }
    if (s.kind == FdKind::regular || s.kind == FdKind::pipe || s.kind == FdKind::socket ||
        s.kind == FdKind::two) {
        s.content = content_from(in);
    }
    if (s.data.empty() && s.kind != FdKind::none) {
        s.data.push_back(0);
    }
    return s;
}

// ---- Checking the child's stderr. ----

// Every line of log, in order, against want; each line starts with the
// logging process's "NAME[PID]: ".
inline void check_log(const std::string &log, pid_t pid, const std::vector<std::string> &want) {
    if (log.empty() && want.empty()) {
        return;  // most requests log nothing
    }
    FUZZ_CHECK(log.empty() || log.back() == '\n');
    std::string prefix = peer::log_prefix(pid, program_invocation_short_name);
    std::vector<std::string> lines = peer::split_lines(log);
    bool ok = lines.size() == want.size();
    for (size_t i = 0; ok && i < lines.size(); ++i) {
        ok = lines[i].compare(0, prefix.size(), prefix) == 0 &&
             peer::line_matches(std::string_view(lines[i]).substr(prefix.size()), want[i]);
    }
    if (!ok) {
        std::fprintf(stderr, "log:\n%s\nexpected:\n", log.c_str());
        for (const std::string &w : want) {
            std::fprintf(stderr, "  %s\n", w.c_str());
        }
    }
    FUZZ_CHECK(ok);
}

// A reply against what the model expected of it, from process pid; the new
// ids it brings join the ids the input may name.
inline void check_reply(const wire::Frame &r, const Expect &e, pid_t pid, Model &model,
                        Known &known) {
    FUZZ_CHECK(r.header.pid == pid);
    peer::Judgement j = model.judge(r, e);
    if (j.verdict != peer::Verdict::exact) {
        std::fprintf(stderr, "wrong reply: %s\n", j.why.c_str());
    }
    FUZZ_CHECK(j.verdict == peer::Verdict::exact);
    if (e.store.new_id == peer::StoreExpect::NewId::message) {
        known.msgids.push_back(static_cast<uint32_t>(j.id));
    } else if (e.store.new_id == peer::StoreExpect::NewId::envelope) {
        known.evpids.push_back(j.id);
    }
}

}  // namespace fuzzmodel
