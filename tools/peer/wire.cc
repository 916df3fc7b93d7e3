#include "peer/wire.h"

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace wire {

namespace {

// Room for one control message of up to this many descriptors.
constexpr size_t MAX_SENT_FDS = 4;
// Room for several of the largest frames in one receive.
constexpr size_t READY_MAX = 128 * 1024;

}  // namespace

Bytes frame(uint32_t type, uint16_t length, uint16_t flags, uint32_t peer_id, int32_t pid,
            std::span<const uint8_t> payload) {
    Header h{type, length, flags, peer_id, pid};
    Bytes out(sizeof h + payload.size());
    memcpy(out.data(), &h, sizeof h);
    std::copy(payload.begin(), payload.end(), out.begin() + sizeof h);
    return out;
}

Bytes frame(uint32_t type, std::span<const uint8_t> payload, uint16_t flags) {
    return frame(type, static_cast<uint16_t>(HEADER_LEN + payload.size()), flags, 0, 0, payload);
}

Header header_of(std::span<const uint8_t> bytes, size_t at) {
    Header h;
    memcpy(&h, bytes.data() + at, sizeof h);
    return h;
}

Bytes u32(uint32_t v) {
    Bytes out(sizeof v);
    memcpy(out.data(), &v, sizeof v);
    return out;
}

Bytes u64(uint64_t v) {
    Bytes out(sizeof v);
    memcpy(out.data(), &v, sizeof v);
    return out;
}

Bytes cat(std::initializer_list<std::span<const uint8_t>> parts) {
    Bytes out;
    for (std::span<const uint8_t> p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

namespace {

// The stream's bytes come eight at a time, each word a mix of the seed and
// the word's position (splitmix64's finaliser), so that a position is
// reached without the words before it.
uint64_t pattern_word(uint64_t seed, uint64_t index) {
    uint64_t x = (seed ^ 0x6a09e667f3bcc909ULL) * 0x9e3779b97f4a7c15ULL + index;
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// Calls each(i, byte) for the n bytes of the stream from position from.
template <typename Each>
bool walk_pattern(size_t n, uint64_t seed, uint64_t from, Each each) {
    uint64_t word = pattern_word(seed, from / 8);
    for (size_t i = 0; i < n; i++) {
        uint64_t at = from + i;
        if (at % 8 == 0) {
            word = pattern_word(seed, at / 8);
        }
        if (!each(i, static_cast<uint8_t>(word >> (8 * (at % 8))))) {
            return false;
        }
    }
    return true;
}

}  // namespace

Bytes pattern(size_t n, uint64_t seed, uint64_t from) {
    Bytes out(n);
    fill_pattern(out, seed, from);
    return out;
}

void fill_pattern(std::span<uint8_t> out, uint64_t seed, uint64_t from) {
    walk_pattern(out.size(), seed, from, [&](size_t i, uint8_t b) {
        out[i] = b;
        return true;
    });
}

bool matches_pattern(std::span<const uint8_t> in, uint64_t seed, uint64_t from) {
    return walk_pattern(in.size(), seed, from, [&](size_t i, uint8_t b) { return in[i] == b; });
}

namespace {

template <typename T>
std::optional<T> field_at(const Bytes &payload, size_t offset) {
    if (payload.size() < offset + sizeof(T)) {
        return std::nullopt;
    }
    T v;
    memcpy(&v, payload.data() + offset, sizeof v);
    return v;
}

}  // namespace

std::optional<int32_t> Frame::result() const {
    return field_at<int32_t>(payload, 0);
}

std::optional<uint32_t> Frame::u32_at(size_t offset) const {
    return field_at<uint32_t>(payload, offset);
}

std::optional<uint64_t> Frame::u64_at(size_t offset) const {
    return field_at<uint64_t>(payload, offset);
}

ssize_t send_once(int sock, std::span<const uint8_t> bytes, std::span<const int> fds, int flags) {
    if (fds.size() > MAX_SENT_FDS) {
        errno = EINVAL;
        return -1;
    }
    iovec iov{const_cast<uint8_t *>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    union {
        cmsghdr align;
        uint8_t space[CMSG_SPACE(MAX_SENT_FDS * sizeof(int))];
    } control;
    if (!fds.empty()) {
        memset(&control, 0, sizeof control);
        msg.msg_control = control.space;
        msg.msg_controllen = CMSG_SPACE(fds.size() * sizeof(int));
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
        memcpy(CMSG_DATA(c), fds.data(), fds.size() * sizeof(int));
    }
    return sendmsg(sock, &msg, flags | MSG_NOSIGNAL);
}

bool send_all(int sock, std::span<const uint8_t> bytes, std::span<const int> fds) {
    if (bytes.empty()) {
        // Nothing to send is done at once; descriptors cannot travel alone.
        if (!fds.empty()) {
            errno = EINVAL;
            return false;
        }
        return true;
    }
    size_t sent = 0;
    do {
        ssize_t n = send_once(sock, bytes.subspan(sent), sent == 0 ? fds : std::span<const int>{});
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    } while (sent < bytes.size());
    return true;
}

ssize_t recv_once(int sock, std::span<uint8_t> buf, std::vector<int> &fds, int flags) {
    iovec iov{buf.data(), buf.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    union {
        cmsghdr align;
        uint8_t space[CMSG_SPACE(8 * sizeof(int))];
    } control;
    msg.msg_control = control.space;
    msg.msg_controllen = sizeof control.space;
    ssize_t n = recvmsg(sock, &msg, flags | MSG_CMSG_CLOEXEC);
    if (n < 0) {
        return n;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; i++) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            fds.push_back(fd);
        }
    }
    return n;
}

size_t recv_exact(int sock, std::span<uint8_t> dst, std::vector<int> &fds) {
    size_t got = 0;
    while (got < dst.size()) {
        ssize_t n = recv_once(sock, dst.subspan(got), fds);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = 0;
            }
            break;
        }
        got += static_cast<size_t>(n);
    }
    return got;
}

Received recv_ready(int sock) {
    Received r;
    r.bytes.resize(READY_MAX);
    std::vector<int> fds;
    ssize_t n = recv_once(sock, r.bytes, fds, MSG_DONTWAIT);
    if (n == 0) {
        errno = 0;
    }
    r.bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    for (int fd : fds) {
        r.fds.emplace_back(fd);
    }
    return r;
}

Received drain(int sock) {
    Received all;
    for (;;) {
        Received r = recv_ready(sock);
        if (r.bytes.empty() && r.fds.empty()) {
            return all;
        }
        all.bytes.insert(all.bytes.end(), r.bytes.begin(), r.bytes.end());
        for (unique_fd &fd : r.fds) {
            all.fds.push_back(std::move(fd));
        }
    }
}

std::optional<Frame> FrameReader::next() {
    for (;;) {
        if (buf_.size() >= HEADER_LEN) {
            Header h = header_of(buf_);
            if (h.length < HEADER_LEN || h.length > MAX_FRAME) {
                errno = ERANGE;
                return std::nullopt;
            }
            if (buf_.size() >= h.length) {
                Frame f;
                f.header = h;
                f.payload.assign(buf_.begin() + HEADER_LEN, buf_.begin() + h.length);
                buf_.erase(buf_.begin(), buf_.begin() + h.length);
                if ((h.flags & FLAG_FD) != 0 && !fds_.empty()) {
                    f.fd = std::move(fds_.front());
                    fds_.pop_front();
                }
                return f;
            }
        }
        uint8_t chunk[65536];
        std::vector<int> arrived;
        ssize_t n;
        do {
            n = recv_once(sock_, chunk, arrived);
        } while (n < 0 && errno == EINTR);
        for (int fd : arrived) {
            fds_.emplace_back(fd);
        }
        if (n <= 0) {
            if (n == 0) {
                errno = 0;
            }
            return std::nullopt;
        }
        buf_.insert(buf_.end(), chunk, chunk + n);
    }
}

}  // namespace wire
