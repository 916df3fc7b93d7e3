// A channel on one end of a real socketpair and a raw peer on the other.
// The peer builds frames and passes descriptors with the wire helpers
// (peer/wire.h), which share no code with the channel, so that both
// directions are checked against the wire and not against the channel.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "channel/imsg.h"
#include "common/child.h"
#include "peer/wire.h"

namespace channeltest {

using wire::Bytes;
using wire::cat;
using wire::drain;
using wire::frame;
using wire::header_of;
using wire::pattern;
using wire::Received;
using wire::recv_ready;
using wire::send_all;

// A passed descriptor arrives under a new number, so it is known by the
// file it stands for.
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
        imsg_teardown(ch_.get());
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
