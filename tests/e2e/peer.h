// A stand-in for the mail server's queue process in the end-to-end tests:
// the project's own peer (tools/peer) starts the built backend as the
// server does and speaks the protocol to it, and the backend's standard
// error is kept in an anonymous file for the tests to read.
//
// The backend keeps its real defaults, so it changes its root to
// "/var/spool/mavid" and runs as "_mavidq"; prepare_defaults() makes both
// exist. Single-threaded; requests may be sent ahead of their replies,
// which come back in order.
#pragma once

#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "frame/queue_proto.h"
#include "peer/peer.h"
#include "peer/wire.h"

namespace e2e {

using bytes = std::vector<uint8_t>;

// Makes the backend's account and its root with "tmp" and "temporary",
// through the set-up script an installation uses (which also serialises
// test binaries running in parallel). Empty on success, else why the tests
// must skip.
inline std::string prepare_defaults() {
    if (geteuid() != 0) {
        return "creating the account and the spool needs root";
    }
    if (system(MEMQ_SOURCE_DIR "/scripts/setup-spool.sh >/dev/null") != 0) {
        return "scripts/setup-spool.sh failed";
    }
    return {};
}

inline int content_fd(const bytes &content) {
    return peer::content_fd(content);
}

inline bytes read_to_end(int fd) {
    bytes out;
    peer::read_to_end(fd, out);
    return out;
}

struct Reply {
    bool arrived = false;  // false when the backend closed the socket
    wire::Header header{};
    bytes payload;
    int fd = -1;  // passed with the reply; the receiver closes it

    // The leading 4-byte result, or INT32_MIN when there is none.
    int32_t result() const {
        int32_t r = INT32_MIN;
        if (payload.size() >= sizeof r) {
            memcpy(&r, payload.data(), sizeof r);
        }
        return r;
    }
    template <typename T>
    T field_at(size_t offset) const {
        T v{};
        if (payload.size() >= offset + sizeof v) {
            memcpy(&v, payload.data() + offset, sizeof v);
        }
        return v;
    }
};

class Backend {
  public:
    Backend() = default;
    Backend(const Backend &) = delete;
    Backend &operator=(const Backend &) = delete;
    ~Backend() { stop(); }

    // Starts the backend with no arguments; MEMQ_BACKEND_WRAPPER (words
    // separated by spaces, the first an absolute path) runs it under
    // another program, such as valgrind.
    bool start() {
        log_fd_ = memfd_create("memq-stderr", MFD_CLOEXEC);
        if (log_fd_ == -1) {
            return false;
        }
        // The leak checker reads /proc at exit, which the changed root does
        // not have; without this an instrumented backend would end with
        // status 1 however cleanly it served. Only children read it now.
        std::string sanitizer = "detect_leaks=0";
        if (const char *given = getenv("ASAN_OPTIONS")) {
            sanitizer = std::string(given) + ":" + sanitizer;
        }
        setenv("ASAN_OPTIONS", sanitizer.c_str(), 1);

        std::vector<std::string> words;
        if (const char *wrapper = getenv("MEMQ_BACKEND_WRAPPER")) {
            std::istringstream in(wrapper);
            for (std::string w; in >> w;) {
                words.push_back(w);
            }
        }
        if (words.empty()) {
            return peer_.start(MEMQ_BINARY, {}, log_fd_);
        }
        std::string program = words.front();
        words.erase(words.begin());
        words.push_back(MEMQ_BINARY);
        return peer_.start(program, words, log_fd_);
    }

    pid_t pid() const { return peer_.pid(); }

    // Closes the socket, which ends the backend, and returns its wait
    // status; -1 when it was not running. Its log stays readable.
    int stop() {
        int status = peer_.finish();
        if (log_fd_ != -1) {
            final_log_ = log();
            close(log_fd_);
            log_fd_ = -1;
        }
        return status;
    }

    // What the backend has written to standard error so far.
    std::string log() const {
        if (log_fd_ == -1) {
            return final_log_;
        }
        std::string out;
        char buf[4096];
        for (off_t at = 0;;) {
            ssize_t n = pread(log_fd_, buf, sizeof buf, at);
            if (n <= 0) {
                break;
            }
            out.append(buf, static_cast<size_t>(n));
            at += n;
        }
        return out;
    }

    // Queues one request and writes it out; false when it could not be
    // sent. A descriptor given here is the channel's, which closes it once
    // sent, or at once when it cannot be queued.
    bool send(uint32_t type, const bytes &payload, int fd = -1) {
        return peer_.queue_owned(type, payload, fd) && peer_.flush();
    }

    // The next reply; not `arrived` when the backend closed the socket.
    Reply receive() {
        Reply r;
        peer::Reply got;
        if (!peer_.receive(got)) {
            return r;
        }
        r.arrived = true;
        r.header.type = got.type;
        r.header.flags = got.flags;
        r.header.pid = got.pid;
        r.header.length = static_cast<uint16_t>(wire::HEADER_LEN + got.payload.size());
        r.payload = std::move(got.payload);
        r.fd = got.fd.release();
        return r;
    }

    Reply request(uint32_t type, const bytes &payload, int fd = -1) {
        return send(type, payload, fd) ? receive() : Reply{};
    }

    // Fixed fields packed one after the other in host order.
    template <typename... Fields>
    static bytes pack(const Fields &...fields) {
        bytes out((sizeof fields + ... + 0));
        size_t at = 0;
        ((memcpy(out.data() + at, &fields, sizeof fields), at += sizeof fields), ...);
        return out;
    }

    // A fixed field followed by opaque bytes, as envelope requests carry.
    template <typename Field>
    static bytes pack_with(const Field &field, const bytes &data) {
        bytes out(sizeof field + data.size());
        memcpy(out.data(), &field, sizeof field);
        if (!data.empty()) {
            memcpy(out.data() + sizeof field, data.data(), data.size());
        }
        return out;
    }

    Reply hello() { return request(QUEUE_HELLO, pack(QUEUE_API_VERSION)); }

    // The new msgid, or 0 when the result was not 1.
    uint32_t message_new() {
        Reply r = request(QUEUE_MESSAGE_NEW, {});
        return r.result() == 1 ? r.field_at<uint32_t>(4) : 0;
    }

    // Passes a duplicate of content (read from its current offset).
    int message_store(uint32_t msgid, int content) {
        return request(QUEUE_MESSAGE_STORE, pack(msgid), dup(content)).result();
    }

    int message_store(uint32_t msgid, const bytes &content) {
        int fd = content_fd(content);
        int result = message_store(msgid, fd);
        close(fd);
        return result;
    }

    // The descriptor that came with the reply (the caller closes it), or -1.
    int message_open(uint32_t msgid) { return request(QUEUE_MESSAGE_OPEN, pack(msgid)).fd; }

    int message_remove(uint32_t msgid) {
        return request(QUEUE_MESSAGE_REMOVE, pack(msgid)).result();
    }

    // The new envelope id, or 0 when the result was not 1.
    uint64_t envelope_new(uint32_t msgid, const bytes &data) {
        Reply r = request(QUEUE_ENVELOPE_NEW, pack_with(msgid, data));
        return r.result() == 1 ? r.field_at<uint64_t>(4) : 0;
    }

    int envelope_remove(uint64_t evpid) {
        return request(QUEUE_ENVELOPE_REMOVE, pack(evpid)).result();
    }

    int envelope_replace(uint64_t evpid, const bytes &data) {
        return request(QUEUE_ENVELOPE_REPLACE, pack_with(evpid, data)).result();
    }

    bytes envelope_read(uint64_t evpid) {
        return request(QUEUE_ENVELOPE_READ, pack(evpid)).payload;
    }

    // The backend's open descriptors, or -1 when they cannot be counted.
    int fd_count() const { return peer::backend_fd_count(peer_.pid()); }

    // The backend's resident memory in bytes, or -1.
    long long resident_bytes() const {
        long kb = peer::proc_status_kb(peer_.pid(), "VmRSS");
        return kb < 0 ? -1 : static_cast<long long>(kb) * 1024;
    }

  private:
    peer::Peer peer_;
    int log_fd_ = -1;
    std::string final_log_;
};

}  // namespace e2e
