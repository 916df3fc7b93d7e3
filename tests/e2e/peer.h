// A stand-in for the mail server's queue process in the end-to-end tests:
// the built backend, started by the shared test Backend (common/backend.h),
// with a typed call for each request and replies taken apart the way these
// tests look at them. Requests may be sent ahead of their replies, which
// come back in order. Single-threaded.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/backend.h"
#include "frame/queue_proto.h"
#include "peer/peer.h"
#include "peer/wire.h"

namespace e2e {

using bytes = std::vector<uint8_t>;

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
    // Starts the backend with no arguments; MEMQ_BACKEND_WRAPPER (words
    // separated by spaces, the first an absolute path) runs it under
    // another program, such as valgrind.
    bool start() {
        std::vector<std::string> wrapper;
        if (const char *given = getenv("MEMQ_BACKEND_WRAPPER")) {
            std::istringstream in(given);
            for (std::string w; in >> w;) {
                wrapper.push_back(w);
            }
        }
        return backend_.start(wrapper);
    }

    pid_t pid() const { return backend_.pid(); }

    // Closes the socket, which ends the backend, and returns its wait
    // status; -1 when it was not running. Its log stays readable.
    int stop() { return backend_.finish(); }

    // What the backend has written to standard error so far, and since the
    // last call of new_log().
    std::string log() const { return backend_.log(); }
    std::string new_log() { return backend_.new_log(); }

    // Queues one request and writes it out; false when it could not be
    // sent. A descriptor given here is the channel's, which closes it once
    // sent, or at once when it cannot be queued.
    bool send(uint32_t type, const bytes &payload, int fd = -1) {
        return backend_.peer().queue_owned(type, payload, fd) && backend_.peer().flush();
    }

    // The next reply; not `arrived` when the backend closed the socket.
    Reply receive() {
        Reply r;
        peer::Reply got;
        if (!backend_.peer().receive(got)) {
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
    int fd_count() const { return backend_.fd_count(); }

    // The backend's resident memory in bytes, or -1.
    long long resident_bytes() const {
        long kb = peer::proc_status_kb(backend_.peer().pid(), "VmRSS");
        return kb < 0 ? -1 : static_cast<long long>(kb) * 1024;
    }

  private:
    testutil::Backend backend_;
};

}  // namespace e2e
