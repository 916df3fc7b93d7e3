// memq-floor: the cheapest server that keeps the queue protocol's contract,
// the yardstick memq-bench measures the backend against.
//
// It answers every request on descriptor 0 with a reply of the size memq
// would send and keeps what a later reply must give back, but does nothing
// else: one receive takes everything the socket holds, the replies to all
// the requests in it leave in one send call (split only where a descriptor
// must travel), contents go back through a memfd, and there is no
// confinement, no descriptor probe, no copy through a file and no logging.
// Any malformed input ends it with status 1; the peer's close ends it with 0.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <unordered_map>
#include <vector>

#include "frame/queue_proto.h"
#include "peer/wire.h"

namespace {

using wire::Bytes;

struct message {
    Bytes content;
    std::vector<uint64_t> envelopes;
};

struct floor_state {
    std::unordered_map<uint32_t, message> messages;
    std::unordered_map<uint64_t, Bytes> envelopes;
    uint32_t next_msgid = 1;
    uint32_t next_envelope = 1;
    int32_t pid = 0;
    // Descriptors in the order they came; those before next_fd are taken.
    // Kept across receives so that a descriptor costs no allocation.
    std::vector<int> received_fds;
    size_t next_fd = 0;
    Bytes out;
};

[[noreturn]] void fail(const char *why) {
    fprintf(stderr, "memq-floor: %s\n", why);
    exit(1);
}

// Sends every reply built so far, fd (or -1) riding on the first send call,
// and closes fd. After a receive that held no whole request nothing is due,
// and a send of no bytes would read as a closed peer.
void flush(floor_state &s, int fd) {
    if (!s.out.empty()) {
        std::span<const int> fds(&fd, fd != -1 ? 1 : 0);
        if (!wire::send_all(STDIN_FILENO, s.out, fds)) {
            fail("sendmsg failed");
        }
        s.out.clear();
    }
    if (fd != -1) {
        close(fd);
    }
}

void reply(floor_state &s, const void *a, size_t alen, const void *b = nullptr, size_t blen = 0,
           uint16_t flags = 0) {
    wire::Header hdr{};
    hdr.type = QUEUE_REPLY;
    hdr.flags = flags;
    hdr.length = static_cast<uint16_t>(wire::HEADER_LEN + alen + blen);
    hdr.pid = s.pid;
    const auto *h = reinterpret_cast<const uint8_t *>(&hdr);
    s.out.insert(s.out.end(), h, h + sizeof hdr);
    if (alen > 0) {
        const auto *p = static_cast<const uint8_t *>(a);
        s.out.insert(s.out.end(), p, p + alen);
    }
    if (blen > 0) {
        const auto *p = static_cast<const uint8_t *>(b);
        s.out.insert(s.out.end(), p, p + blen);
    }
}

void reply_result(floor_state &s, int32_t result) {
    reply(s, &result, sizeof result);
}

template <typename T>
T field(const uint8_t *payload, size_t len, size_t at = 0) {
    T v;
    if (len < at + sizeof v) {
        fail("request too short");
    }
    memcpy(&v, payload + at, sizeof v);
    return v;
}

// The whole content from the descriptor's offset to its end.
bool read_content(int fd, Bytes &out) {
    struct stat st;
    out.clear();
    // The content starts where the descriptor stands, not at the file's start.
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (fstat(fd, &st) == 0 && at >= 0 && st.st_size > at) {
        out.reserve(static_cast<size_t>(st.st_size - at));
    }
    uint8_t block[65536];
    for (;;) {
        ssize_t n = read(fd, block, sizeof block);
        if (n == 0) {
            return true;
        }
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        out.insert(out.end(), block, block + n);
    }
}

int open_content(const Bytes &content) {
    int fd = memfd_create("memq-floor", MFD_CLOEXEC);
    if (fd == -1) {
        return -1;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

void drop_envelope(floor_state &s, uint64_t evpid) {
    auto owner = s.messages.find(static_cast<uint32_t>(evpid >> 32));
    if (owner == s.messages.end()) {
        return;
    }
    std::vector<uint64_t> &ids = owner->second.envelopes;
    ids.erase(std::find(ids.begin(), ids.end(), evpid));
    if (ids.empty()) {
        s.messages.erase(owner);
    }
}

// Each message lists its envelopes, so a removal costs what it removes and
// not a walk over every envelope in the store.
void remove_message(floor_state &s, uint32_t msgid) {
    auto it = s.messages.find(msgid);
    if (it == s.messages.end()) {
        return;
    }
    for (uint64_t evpid : it->second.envelopes) {
        s.envelopes.erase(evpid);
    }
    s.messages.erase(it);
}

void serve(floor_state &s, const wire::Header &hdr, const uint8_t *p, size_t len) {
    int fd = -1;
    if ((hdr.flags & wire::FLAG_FD) != 0 && s.next_fd < s.received_fds.size()) {
        fd = s.received_fds[s.next_fd++];
    }
    if (fd != -1 && hdr.type != QUEUE_MESSAGE_STORE) {
        close(fd);
        fd = -1;
    }
    switch (hdr.type) {
        case QUEUE_HELLO:
            reply(s, nullptr, 0);
            break;
        case QUEUE_FINISH:
            reply_result(s, 1);
            break;
        case QUEUE_MESSAGE_NEW: {
            uint32_t msgid = s.next_msgid++;
            s.messages[msgid];
            int32_t one = 1;
            reply(s, &one, sizeof one, &msgid, sizeof msgid);
            break;
        }
        case QUEUE_MESSAGE_REMOVE:
        case QUEUE_MESSAGE_MARK:
            remove_message(s, field<uint32_t>(p, len));
            reply_result(s, 0);
            break;
        case QUEUE_MESSAGE_UNMARK:
            reply_result(s, 0);
            break;
        case QUEUE_MESSAGE_STORE: {
            auto it = s.messages.find(field<uint32_t>(p, len));
            int32_t result = -1;
            if (fd != -1) {
                result = it != s.messages.end() && read_content(fd, it->second.content) ? 1 : 0;
                close(fd);
            }
            reply_result(s, result);
            break;
        }
        case QUEUE_MESSAGE_OPEN: {
            auto it = s.messages.find(field<uint32_t>(p, len));
            int content = it != s.messages.end() ? open_content(it->second.content) : -1;
            reply(s, nullptr, 0, nullptr, 0, content != -1 ? wire::FLAG_FD : 0);
            if (content != -1) {
                // The descriptor must leave with the bytes that end its reply.
                flush(s, content);
            }
            break;
        }
        case QUEUE_ENVELOPE_NEW: {
            uint32_t msgid = field<uint32_t>(p, len);
            auto it = s.messages.find(msgid);
            if (it == s.messages.end()) {
                reply_result(s, 0);
                break;
            }
            uint64_t evpid = (static_cast<uint64_t>(msgid) << 32) | s.next_envelope++;
            s.envelopes[evpid].assign(p + 4, p + len);
            it->second.envelopes.push_back(evpid);
            int32_t one = 1;
            reply(s, &one, sizeof one, &evpid, sizeof evpid);
            break;
        }
        case QUEUE_ENVELOPE_REMOVE: {
            uint64_t evpid = field<uint64_t>(p, len);
            int32_t result = s.envelopes.erase(evpid) != 0 ? 1 : 0;
            if (result == 1) {
                drop_envelope(s, evpid);
            }
            reply_result(s, result);
            break;
        }
        case QUEUE_ENVELOPE_READ: {
            auto it = s.envelopes.find(field<uint64_t>(p, len));
            if (it == s.envelopes.end()) {
                reply(s, nullptr, 0);
            } else {
                reply(s, it->second.data(), it->second.size());
            }
            break;
        }
        case QUEUE_ENVELOPE_REPLACE: {
            auto it = s.envelopes.find(field<uint64_t>(p, len));
            if (it != s.envelopes.end()) {
                it->second.assign(p + 8, p + len);
            }
            reply_result(s, it != s.envelopes.end() ? 1 : 0);
            break;
        }
        case QUEUE_ENVELOPE_ITERATE:
        case QUEUE_MESSAGE_ITERATE:
            reply_result(s, -1);
            break;
        default:
            fail("bad message type");
    }
}

}  // namespace

int main() {
    floor_state s;
    s.pid = static_cast<int32_t>(getpid());
    s.out.reserve(1 << 16);
    static uint8_t in[1 << 18];
    size_t held = 0;
    for (;;) {
        ssize_t n = wire::recv_once(STDIN_FILENO, std::span<uint8_t>(in + held, sizeof in - held),
                                    s.received_fds);
        if (n == 0) {
            return 0;
        }
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            fail("recvmsg failed");
        }
        held += static_cast<size_t>(n);

        size_t at = 0;
        while (held - at >= wire::HEADER_LEN) {
            wire::Header hdr;
            memcpy(&hdr, in + at, sizeof hdr);
            if (hdr.length < wire::HEADER_LEN || hdr.length > wire::MAX_FRAME) {
                fail("bad frame length");
            }
            if (held - at < hdr.length) {
                break;
            }
            serve(s, hdr, in + at + wire::HEADER_LEN, hdr.length - wire::HEADER_LEN);
            at += hdr.length;
        }
        flush(s, -1);
        s.received_fds.erase(s.received_fds.begin(),
                             s.received_fds.begin() + static_cast<long>(s.next_fd));
        s.next_fd = 0;
        memmove(in, in + at, held - at);
        held -= at;
    }
}
