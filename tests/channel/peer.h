// A channel on one end of a real socketpair and a raw peer on the other,
// with helpers that build frames by hand and pass descriptors with plain
// sendmsg/recvmsg, so that both directions are checked against the wire and
// not against the channel's own code.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "channel/imsg.h"
#include "common/child.h"

namespace channeltest {

using Bytes = std::vector<uint8_t>;

// Frame bytes with a header exactly as given, `length` included, so that
// tests can also build frames that lie about their length.
inline Bytes frame(uint32_t type, uint16_t length, uint16_t flags, uint32_t peer_id, int32_t pid,
                   const Bytes &payload) {
    imsg_header hdr{type, length, flags, peer_id, pid};
    Bytes out(sizeof hdr + payload.size());
    memcpy(out.data(), &hdr, sizeof hdr);
    std::copy(payload.begin(), payload.end(), out.begin() + sizeof hdr);
    return out;
}

// A well-formed frame around payload.
inline Bytes frame(uint32_t type, uint16_t flags, const Bytes &payload) {
    return frame(type, static_cast<uint16_t>(IMSG_HDR_LEN + payload.size()), flags, 0, 0, payload);
}

inline imsg_header header_of(const Bytes &bytes, size_t at = 0) {
    imsg_header hdr;
    memcpy(&hdr, bytes.data() + at, sizeof hdr);
    return hdr;
}

// A payload whose bytes depend on their position and on seed, so that
// reordering or duplication shows.
inline Bytes pattern(size_t n, uint8_t seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; i++) {
        out[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    }
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// One sendmsg of bytes with the given descriptors in a single SCM_RIGHTS
// message; true when every byte went out.
inline bool send_raw(int sock, const Bytes &bytes, const std::vector<int> &fds = {}) {
    iovec iov{const_cast<uint8_t *>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::vector<uint8_t> control(CMSG_SPACE(fds.size() * sizeof(int)));
    if (!fds.empty()) {
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        memcpy(CMSG_DATA(c), fds.data(), fds.size() * sizeof(int));
    }
    return sendmsg(sock, &msg, 0) == static_cast<ssize_t>(bytes.size());
}

struct Received {
    Bytes bytes;
    std::vector<int> fds;  // owned by the test: close them
};

// One recvmsg of whatever is there (MSG_DONTWAIT), collecting descriptors.
inline Received recv_once(int sock) {
    Received r;
    r.bytes.resize(1 << 17);
    iovec iov{r.bytes.data(), r.bytes.size()};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(8 * sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(sock, &msg, MSG_DONTWAIT);
    r.bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            size_t k = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < k; i++) {
                int fd;
                memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                r.fds.push_back(fd);
            }
        }
    }
    return r;
}

// Everything currently readable, over as many receive calls as it takes.
inline Received drain(int sock) {
    Received all;
    for (;;) {
        Received r = recv_once(sock);
        if (r.bytes.empty() && r.fds.empty()) {
            return all;
        }
        all.bytes.insert(all.bytes.end(), r.bytes.begin(), r.bytes.end());
        all.fds.insert(all.fds.end(), r.fds.begin(), r.fds.end());
    }
}

inline bool same_file(int a, int b) {
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// A pipe whose ends the test closes unless it hands one over.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        for (int fd : fds) {
            if (fd != -1) {
                close(fd);
            }
        }
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    int read_end() const { return fds[0]; }
    // Gives the write end away; the pipe no longer closes it.
    int release_write_end() {
        int fd = fds[1];
        fds[1] = -1;
        return fd;
    }
};

// The channel sits on end 0 of a stream socketpair; the test plays the peer
// on end 1. Every test must leave the descriptor table as it found it.
class ChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        before_ = testutil::open_fds();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
        ch_ = std::make_unique<imsg_channel>();
        imsg_setup(ch_.get(), sv_[0]);
    }

    void TearDown() override {
        imsg_discard(ch_.get());
        close(sv_[0]);
        close(sv_[1]);
        EXPECT_EQ(testutil::open_fds(), before_) << "a descriptor leaked";
    }

    imsg_channel *ch() { return ch_.get(); }
    int peer() const { return sv_[1]; }
    int own() const { return sv_[0]; }

    // Reads through the channel until at least n bytes are buffered.
    void read_until_buffered(size_t n) {
        while (ch()->in_len < n) {
            ASSERT_GT(imsg_read(ch()), 0);
        }
    }

  private:
    std::vector<int> before_;
    int sv_[2] = {-1, -1};
    std::unique_ptr<imsg_channel> ch_;
};

}  // namespace channeltest
