// The wire helpers' receives, over a real socketpair: the ones that read a
// given number of bytes and the ones that take only what is already there.
#include "peer/wire.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

#include "common/child.h"

namespace {

// Both ends of a stream socketpair and the write end of a pipe to pass, all
// closed when the test ends, so that a descriptor the helpers leak shows.
class WireTest : public ::testing::Test {
  protected:
    void SetUp() override {
        before_ = testutil::open_fds();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv_), 0);
        ASSERT_EQ(pipe2(pipe_, O_CLOEXEC), 0);
    }
    void TearDown() override {
        for (int fd : {sv_[0], sv_[1], pipe_[0], pipe_[1]}) {
            if (fd != -1) {
                close(fd);
            }
        }
        EXPECT_EQ(testutil::open_fds(), before_) << "a descriptor leaked";
    }

    int sender() const { return sv_[0]; }
    int receiver() const { return sv_[1]; }
    int passed() const { return pipe_[1]; }
    void hang_up() {
        close(sv_[0]);
        sv_[0] = -1;
    }

    // Whether fd is another descriptor for the pipe's write end.
    bool is_passed(int fd) const {
        struct stat a, b;
        return fstat(fd, &a) == 0 && fstat(passed(), &b) == 0 && a.st_ino == b.st_ino &&
               a.st_dev == b.st_dev && fd != passed();
    }

  private:
    std::vector<int> before_;
    int sv_[2] = {-1, -1};
    int pipe_[2] = {-1, -1};
};

TEST_F(WireTest, RecvExactTakesNoMoreThanAskedAndGathersTheDescriptors) {
    const wire::Bytes first = wire::pattern(10, 1), second = wire::pattern(5, 2);
    const std::array<int, 1> one{passed()};
    ASSERT_EQ(wire::send_once(sender(), wire::Bytes(first.begin(), first.begin() + 3), one), 3);
    ASSERT_TRUE(wire::send_all(sender(), wire::Bytes(first.begin() + 3, first.end())));
    ASSERT_TRUE(wire::send_all(sender(), second, one));

    wire::Bytes got(first.size());
    std::vector<int> fds;
    EXPECT_EQ(wire::recv_exact(receiver(), got, fds), first.size());
    EXPECT_EQ(got, first);
    ASSERT_EQ(fds.size(), 1u) << "the second send's descriptor came early";
    EXPECT_TRUE(is_passed(fds[0]));
    close(fds[0]);

    wire::Bytes rest(second.size());
    fds.clear();
    EXPECT_EQ(wire::recv_exact(receiver(), rest, fds), second.size());
    EXPECT_EQ(rest, second) << "the first receive read past what it was asked for";
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_TRUE(is_passed(fds[0]));
    close(fds[0]);
}

TEST_F(WireTest, RecvExactSaysHowMuchCameBeforeTheStreamEnded) {
    ASSERT_TRUE(wire::send_all(sender(), wire::pattern(6, 3)));
    hang_up();
    wire::Bytes got(10);
    std::vector<int> fds;
    errno = EINVAL;
    EXPECT_EQ(wire::recv_exact(receiver(), got, fds), 6u);
    EXPECT_EQ(errno, 0) << "a clean end is not an error";
    EXPECT_EQ(wire::Bytes(got.begin(), got.begin() + 6), wire::pattern(6, 3));
    EXPECT_TRUE(fds.empty());
}

TEST_F(WireTest, RecvReadyDoesNotWaitAndSaysWhyItGotNothing) {
    errno = 0;
    wire::Received idle = wire::recv_ready(receiver());
    EXPECT_TRUE(idle.bytes.empty());
    EXPECT_TRUE(idle.fds.empty());
    EXPECT_EQ(errno, EAGAIN);

    hang_up();
    errno = EINVAL;
    wire::Received ended = wire::recv_ready(receiver());
    EXPECT_TRUE(ended.bytes.empty());
    EXPECT_EQ(errno, 0);
}

TEST_F(WireTest, DrainTakesEverySendAndOwnsTheDescriptors) {
    const std::array<int, 2> two{passed(), passed()};
    wire::Bytes want;
    for (uint8_t i = 0; i < 3; i++) {
        wire::Bytes chunk = wire::pattern(wire::MAX_FRAME, i);
        ASSERT_TRUE(wire::send_all(sender(), chunk,
                                   i == 1 ? std::span<const int>(two) : std::span<const int>()));
        want = wire::cat({want, chunk});
    }
    std::vector<int> open_before_drain = testutil::open_fds();
    {
        wire::Received all = wire::drain(receiver());
        EXPECT_EQ(all.bytes, want);
        ASSERT_EQ(all.fds.size(), 2u);
        EXPECT_TRUE(is_passed(all.fds[0].get()));
        EXPECT_TRUE(is_passed(all.fds[1].get()));
        EXPECT_NE(all.fds[0].get(), all.fds[1].get());
    }
    EXPECT_EQ(testutil::open_fds(), open_before_drain) << "the descriptors outlived their owner";
    EXPECT_TRUE(wire::drain(receiver()).bytes.empty());
}

}  // namespace

namespace {

// Any part of the stream can be made or checked on its own, and a part
// taken from elsewhere in the stream, or from another seed, does not pass.
TEST(Pattern, AnyPartIsTheSameStreamAndNoOtherPartPassesForIt) {
    const wire::Bytes whole = wire::pattern(1000, 7);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{8}, size_t{13}, size_t{999}}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(wire::cat({wire::pattern(cut, 7), wire::pattern(1000 - cut, 7, cut)}), whole);
        wire::Bytes tail(1000 - cut);
        wire::fill_pattern(tail, 7, cut);
        EXPECT_TRUE(wire::matches_pattern(tail, 7, cut));
        if (!tail.empty()) {
            EXPECT_FALSE(wire::matches_pattern(tail, 7, cut + 1)) << "shifted by a byte";
            EXPECT_FALSE(wire::matches_pattern(tail, 8, cut)) << "another seed";
            tail[tail.size() / 2] ^= 1;
            EXPECT_FALSE(wire::matches_pattern(tail, 7, cut)) << "one bit changed";
        }
    }
    EXPECT_TRUE(wire::matches_pattern({}, 7, 5));
}

// Content made of it shows a lost or repeated block of any usual size: it
// takes every byte value and does not come back to itself.
TEST(Pattern, TakesEveryByteValueAndDoesNotRepeatItself) {
    const size_t n = 1 << 20;
    const wire::Bytes b = wire::pattern(n, 3);
    bool seen[256] = {};
    for (uint8_t c : b) {
        seen[c] = true;
    }
    EXPECT_EQ(std::count(std::begin(seen), std::end(seen), true), 256);
    for (size_t period : {size_t{1}, size_t{8}, size_t{251}, size_t{4096}, size_t{8192},
                          size_t{64256}, size_t{1} << 17}) {
        EXPECT_FALSE(std::equal(b.begin(), b.end() - static_cast<long>(period),
                                b.begin() + static_cast<long>(period)))
            << "repeats after " << period << " bytes";
    }
}

}  // namespace
