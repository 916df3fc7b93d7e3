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

struct Message {
    bytes content;
    std::map<uint64_t, bytes> envelopes;
};

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

class Model {
  public:
    std::map<uint32_t, Message> messages;

    // The reply's verdict; `lines` receives the warnings the backend must log
    // for an exact reply, each matched whole or, ending in '*', by its start.
    Verdict check(const Op &op, const peer::Reply &r, std::vector<std::string> &lines,
                  std::string &why) {
        lines.clear();
        auto msg = messages.find(op.msgid);
        auto owner = messages.find(static_cast<uint32_t>(op.evpid >> 32));
        std::optional<int32_t> result = r.result();
        auto is_result = [&](int32_t v) { return r.payload.size() == 4 && result == v; };
        auto fail = [&](const std::string &text) {
            why = text;
            return Verdict::wrong;
        };
        if (r.type != QUEUE_REPLY || (op.type != QUEUE_MESSAGE_OPEN && r.fd.valid())) {
            return fail("a reply of another type, or with a descriptor");
        }
        switch (op.type) {
            case QUEUE_HELLO:
                return r.payload.empty() ? Verdict::exact : fail("hello payload");
            case QUEUE_FINISH:
                return is_result(1) ? Verdict::exact : fail("finish result");
            case QUEUE_MESSAGE_ITERATE:
            case QUEUE_ENVELOPE_ITERATE:
                return is_result(-1) ? Verdict::exact : fail("iterate result");
            case QUEUE_MESSAGE_UNMARK:
                return is_result(0) ? Verdict::exact : fail("unmark result");
            case QUEUE_MESSAGE_REMOVE:
            case QUEUE_MESSAGE_MARK:
                if (!is_result(0)) {
                    return fail("remove result");
                }
                if (msg == messages.end()) {
                    lines.push_back("warn: not found");
                } else {
                    messages.erase(msg);
                }
                return Verdict::exact;
            case QUEUE_MESSAGE_NEW: {
                if (is_result(0)) {
                    return Verdict::failure;
                }
                std::optional<uint32_t> id = r.u32_at(4);
                if (r.payload.size() != 8 || result != 1 || !id || *id == 0 || *id == UINT32_MAX ||
                    messages.count(*id) != 0) {
                    return fail("new message reply");
                }
                messages[*id];
                return Verdict::exact;
            }
            case QUEUE_MESSAGE_STORE:
                if (msg == messages.end()) {
                    // The loop's own failures come before the handler's
                    // lookup.
                    if (is_result(-1)) {
                        return Verdict::failure;
                    }
                    lines.push_back("warn: msgid not found");
                    return is_result(0) ? Verdict::exact : fail("store of an absent message");
                }
                if (is_result(1)) {
                    msg->second.content = op.data;
                    return Verdict::exact;
                }
                return is_result(0) || is_result(-1) ? Verdict::failure : fail("store result");
            case QUEUE_MESSAGE_OPEN:
                if (!r.payload.empty()) {
                    return fail("open payload");
                }
                if (msg == messages.end()) {
                    lines.push_back("warn: not found");
                    return r.fd.valid() ? fail("open of an absent message") : Verdict::exact;
                }
                if (!r.fd.valid()) {
                    return Verdict::failure;
                }
                return check_content(r.fd.get(), msg->second.content, why) ? Verdict::exact
                                                                           : Verdict::wrong;
            case QUEUE_ENVELOPE_NEW: {
                if (op.data.size() > QUEUE_ENVELOPE_BUF) {
                    lines.push_back("warn: envelope too large");
                    return is_result(0) ? Verdict::exact : fail("oversized envelope");
                }
                if (msg == messages.end()) {
                    lines.push_back("warn: message not found: *");
                    return is_result(0) ? Verdict::exact : fail("envelope of an absent message");
                }
                if (is_result(0)) {
                    return Verdict::failure;
                }
                std::optional<uint64_t> id = r.u64_at(4);
                if (r.payload.size() != 12 || result != 1 || !id || *id >> 32 != op.msgid ||
                    static_cast<uint32_t>(*id) == 0 || static_cast<uint32_t>(*id) == UINT32_MAX ||
                    msg->second.envelopes.count(*id) != 0) {
                    return fail("new envelope reply");
                }
                msg->second.envelopes[*id] = op.data;
                last_evpid = *id;
                return Verdict::exact;
            }
            case QUEUE_ENVELOPE_REMOVE:
                if (owner == messages.end()) {
                    lines.push_back("warn: message not found: *");
                    return is_result(0) ? Verdict::exact : fail("remove, no message");
                }
                if (owner->second.envelopes.count(op.evpid) == 0) {
                    lines.push_back("warn: not found");
                    return is_result(0) ? Verdict::exact : fail("remove, no envelope");
                }
                if (!is_result(1)) {
                    return fail("envelope remove result");
                }
                owner->second.envelopes.erase(op.evpid);
                if (owner->second.envelopes.empty()) {
                    messages.erase(owner);
                }
                return Verdict::exact;
            case QUEUE_ENVELOPE_READ:
                if (owner == messages.end()) {
                    lines.push_back("warn: message not found: *");
                    return r.payload.empty() ? Verdict::exact : fail("read, no message");
                }
                if (owner->second.envelopes.count(op.evpid) == 0) {
                    lines.push_back("warn: not found: *");
                    return r.payload.empty() ? Verdict::exact : fail("read, no envelope");
                }
                return r.payload == owner->second.envelopes[op.evpid] ? Verdict::exact
                                                                      : fail("envelope bytes");
            case QUEUE_ENVELOPE_REPLACE:
                if (op.data.size() > QUEUE_ENVELOPE_BUF) {
                    lines.push_back("warn: envelope too large");
                    return is_result(0) ? Verdict::exact : fail("oversized replacement");
                }
                if (owner == messages.end()) {
                    lines.push_back("warn: message not found: *");
                    return is_result(0) ? Verdict::exact : fail("replace, no message");
                }
                if (owner->second.envelopes.count(op.evpid) == 0) {
                    lines.push_back("warn: not found: *");
                    return is_result(0) ? Verdict::exact : fail("replace, no envelope");
                }
                if (is_result(0)) {
                    return Verdict::failure;
                }
                if (!is_result(1)) {
                    return fail("replace result");
                }
                owner->second.envelopes[op.evpid] = op.data;
                return Verdict::exact;
        }
        return fail("unknown request");
    }

    uint64_t last_evpid = 0;

  private:
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

inline bool line_matches(const std::string &line, const std::string &want) {
    if (!want.empty() && want.back() == '*') {
        return line.compare(0, want.size() - 1, want, 0, want.size() - 1) == 0;
    }
    return line == want;
}

inline bool lines_match(const std::vector<std::string> &got, const std::vector<std::string> &want) {
    if (got.size() != want.size()) {
        return false;
    }
    for (size_t i = 0; i < got.size(); ++i) {
        if (!line_matches(got[i], want[i])) {
            return false;
        }
    }
    return true;
}

inline std::string joined(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &l : lines) {
        out += "  " + l + "\n";
    }
    return out;
}

}  // namespace reliability
