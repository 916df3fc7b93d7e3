// The queue protocol and the in-memory store as the fuzz targets model
// them, written from the protocol's rules and not from the backend's code:
// the input's bytes become requests, and a model of the store predicts
// every reply, every log line and every content they must bring.
//
// Log lines are matched in full, or by their start where the expected
// text ends in '*' (an error text the model cannot know).
#pragma once

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/queue_proto.h"
#include "fuzz_input.h"
#include "peer/model.h"
#include "peer/wire.h"

namespace fuzzmodel {

using bytes = std::vector<uint8_t>;

// ---- The input: a sequence of sends. ----

enum class FdKind { none, regular, pipe, write_only, directory, socket, two };

struct Send {
    bytes data;
    FdKind kind = FdKind::none;
    bytes content;  // what a readable descriptor holds
};

struct Known {
    std::vector<uint32_t> msgids;
    std::vector<uint64_t> evpids;
};

// One readable descriptor's content queued in the child, in arrival order;
// nothing for a descriptor that gives no content.
struct QueuedFd {
    FdKind kind;
    bytes content;
};

// ---- The model of the store. ----

struct Expect {
    // Lines the child must log while serving the frame, each matched in
    // full or, ending in '*', by its start.
    std::vector<std::string> lines;
    // No reply: the child dies with the lines above and this status.
    bool fatal = false;
    // The reply's payload and whether a descriptor with this content comes.
    bytes payload;
    bool check_payload = true;
    std::optional<bytes> fd_content;
    // A new id arrives at this offset of the payload.
    int new_msgid = 0;
    int new_evpid = 0;
    uint32_t evp_owner = 0;
};

inline bytes u32_bytes(uint32_t v) {
    bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

// The most received descriptors the backend lets wait for a request.
constexpr size_t MAX_WAITING_FDS = 16;

class Model {
  public:
    // Whether the backend can make the files that opening a message needs.
    explicit Model(bool opens_work) : store_(opens_work) {}

    std::deque<QueuedFd> fds;

    // A descriptor arrives; beyond the bound the oldest waiting one goes,
    // with a line.
    void receive_fd(const QueuedFd &fd, std::vector<std::string> &lines) {
        fds.push_back(fd);
        if (fds.size() > MAX_WAITING_FDS) {
            fds.pop_front();
            lines.push_back("warn: queue-proc: unclaimed descriptor closed");
        }
    }

    Expect serve(uint32_t type, std::span<const uint8_t> payload, bool fd_flag) {
        Expect e;
        std::optional<QueuedFd> fd;
        if (fd_flag && !fds.empty()) {
            fd = fds.front();
            fds.pop_front();
        }
        if (type < QUEUE_HELLO || type > QUEUE_MESSAGE_ITERATE) {
            return fatal(e,
                         "warn: queue-api: bad message " + std::to_string(static_cast<int>(type)),
                         "queue-api");
        }
        size_t fixed = 0;
        bool open_ended = false;
        switch (type) {
            case QUEUE_FINISH:
            case QUEUE_MESSAGE_NEW:
            case QUEUE_ENVELOPE_ITERATE:
                break;
            case QUEUE_ENVELOPE_REMOVE:
            case QUEUE_ENVELOPE_READ:
                fixed = 8;
                break;
            case QUEUE_ENVELOPE_REPLACE:
                fixed = 8;
                open_ended = true;
                break;
            case QUEUE_ENVELOPE_NEW:
                fixed = 4;
                open_ended = true;
                break;
            default:
                fixed = 4;
                break;
        }
        if (payload.size() < fixed) {
            return fatal(e, "warn: queue-proc: bad msg len", "queue-proc");
        }
        if (payload.size() > fixed && !open_ended) {
            return fatal(e, "warn: queue-proc: bogus data", "queue-proc");
        }
        uint32_t msgid = 0;
        uint64_t evpid = 0;
        if (fixed == 4) {
            std::memcpy(&msgid, payload.data(), 4);
        } else if (fixed == 8) {
            std::memcpy(&evpid, payload.data(), 8);
        }
        std::span<const uint8_t> rest = payload.subspan(fixed);
        if (type == QUEUE_HELLO && msgid != QUEUE_API_VERSION) {
            return fatal(e, "warn: queue-api: bad API version", "queue-api");
        }
        // From here on the request is the store's, but for the content copy
        // of a store, which the loop makes before the store sees anything.
        pending_ = {type, msgid, evpid, {}};
        pending_data_.assign(rest.begin(), rest.end());
        if (type == QUEUE_MESSAGE_STORE) {
            int copied = copy_content(fd, e);
            if (copied != 1) {
                e.payload = u32_bytes(static_cast<uint32_t>(copied));
                pending_.type = 0;  // it never reaches the store
                return e;
            }
            pending_data_ = fd->content;
        }
        pending_.data = pending_data_;
        peer::StoreExpect want = store_.expect(pending_);
        e.lines.insert(e.lines.end(), want.lines.begin(), want.lines.end());
        if (type == QUEUE_ENVELOPE_READ) {
            e.payload = want.envelope;
        } else if (want.result) {
            e.payload = u32_bytes(static_cast<uint32_t>(*want.result));
        }
        e.fd_content = want.content;
        if (want.new_id == peer::StoreExpect::NewId::message) {
            e.new_msgid = 4;
        } else if (want.new_id == peer::StoreExpect::NewId::envelope) {
            e.new_evpid = 4;
            e.evp_owner = msgid;
        } else {
            // Nothing to learn from the reply: the model moves on now.
            FUZZ_CHECK(store_.apply(pending_));
        }
        return e;
    }

    // The ids the child drew, once the reply has shown them; false when the
    // store could not have drawn them.
    bool add_message(uint32_t msgid) { return store_.apply(pending_, msgid); }
    bool add_envelope(uint32_t, uint64_t evpid) { return store_.apply(pending_, evpid); }

    const std::map<uint32_t, peer::StoreMessage> &messages() const { return store_.messages(); }

  private:
    peer::StoreModel store_;
    peer::StoreRequest pending_;
    bytes pending_data_;

    static Expect fatal(Expect &e, const std::string &warning, const char *area) {
        e.lines.push_back(warning);
        e.lines.push_back(std::string("fatal: ") + area + ": exiting");
        e.fatal = true;
        return e;
    }

    // The loop's content copy, as each kind of descriptor shows it: none,
    // or one that cannot be read as a stream, gives -1 without a line; a
    // read error 0 with the copy's line; any other 1, the content copied.
    static int copy_content(const std::optional<QueuedFd> &fd, Expect &e) {
        if (!fd || fd->kind == FdKind::write_only) {
            return -1;
        }
        if (fd->kind == FdKind::directory) {
            e.lines.push_back("warn: queue-api: content copy: Is a directory");
            return 0;
        }
        return 1;
    }
};

inline bytes read_fd(int fd) {
    bytes out;
    uint8_t buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

// ---- Decoding the fuzzer's bytes. ----

inline bytes content_from(FuzzInput &in) {
    size_t len = in.byte();
    if (len == 255) {
        // Large content crosses the loop's 8192-byte blocks; a pattern
        // keeps the input small.
        len = in.u16() % 40000;
        bytes out(len);
        for (size_t i = 0; i < len; ++i) {
            out[i] = static_cast<uint8_t>(i * 7 + len);
        }
        return out;
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
        bytes payload;
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

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        FUZZ_CHECK(end != std::string::npos);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Every line of log, in order, against want; each line starts with the
// logging process's "NAME[PID]: ".
inline void check_log(const std::string &log, pid_t pid, const std::vector<std::string> &want) {
    if (log.empty() && want.empty()) {
        return;  // most requests log nothing
    }
    std::string prefix =
        std::string(program_invocation_short_name) + "[" + std::to_string(pid) + "]: ";
    std::vector<std::string> lines = split_lines(log);
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

// A reply against what the model expected of it; the new ids it brings
// join the model and the ids the input may name.
inline void check_reply(const wire::Frame &r, const Expect &e, pid_t pid, Model &model,
                        Known &known) {
    FUZZ_CHECK(r.header.type == QUEUE_REPLY);
    FUZZ_CHECK(r.header.peer_id == 0 && r.header.pid == pid);
    FUZZ_CHECK(((r.header.flags & wire::FLAG_FD) != 0) == r.fd.valid());
    if (e.fd_content) {
        FUZZ_CHECK(r.fd.valid());
        struct stat sb;
        FUZZ_CHECK(fstat(r.fd.get(), &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_nlink == 0);
        FUZZ_CHECK(lseek(r.fd.get(), 0, SEEK_CUR) == 0);
        FUZZ_CHECK(read_fd(r.fd.get()) == *e.fd_content);
    } else {
        FUZZ_CHECK(!r.fd.valid());
    }
    if (e.new_msgid != 0) {
        FUZZ_CHECK(r.payload.size() == 8);
        uint32_t id;
        std::memcpy(&id, r.payload.data() + 4, 4);
        FUZZ_CHECK(model.add_message(id));
        known.msgids.push_back(id);
    } else if (e.new_evpid != 0) {
        FUZZ_CHECK(r.payload.size() == 12);
        uint64_t id;
        std::memcpy(&id, r.payload.data() + 4, 8);
        FUZZ_CHECK(model.add_envelope(e.evp_owner, id));
        known.evpids.push_back(id);
    }
    size_t fixed = e.new_msgid != 0 ? 4 : (e.new_evpid != 0 ? 4 : r.payload.size());
    FUZZ_CHECK(bytes(r.payload.begin(), r.payload.begin() + static_cast<long>(fixed)) ==
               (e.new_msgid != 0 || e.new_evpid != 0 ? u32_bytes(1) : e.payload));
}

}  // namespace fuzzmodel
