#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "channel/fixture.h"

namespace channeltest {
namespace {

class ReceiveTest : public ChannelTest {
  protected:
    // Extracts the next message and keeps its payload as bytes.
    ssize_t get(imsg_message *msg, Bytes *payload) {
        ssize_t n = imsg_get(ch(), msg);
        if (n > 0) {
            EXPECT_EQ(msg->data, ch()->in_buf + IMSG_HDR_LEN) << "lent, not copied";
            payload->assign(msg->data, msg->data + (n - static_cast<ssize_t>(IMSG_HDR_LEN)));
            imsg_release(msg);
        }
        return n;
    }
};

TEST_F(ReceiveTest, ReadAnswersZeroOnceThePeerHasClosed) {
    ASSERT_TRUE(send_all(peer(), pattern(5, 0)));
    ASSERT_EQ(imsg_read(ch()), 5);
    ASSERT_EQ(shutdown(peer(), SHUT_WR), 0);
    EXPECT_EQ(imsg_read(ch()), 0);
    EXPECT_EQ(ch()->in_len, 5u);
}

TEST_F(ReceiveTest, MessageArrivingByteByByteComesOutOnceComplete) {
    Bytes payload = pattern(20, 9);
    Bytes wire = frame(77, static_cast<uint16_t>(IMSG_HDR_LEN + 20), IMSG_FLAG_FD, 5, 6, payload);
    imsg_message msg;
    Bytes got;
    for (size_t i = 0; i < wire.size(); i++) {
        ASSERT_TRUE(send_all(peer(), Bytes{wire[i]}));
        ASSERT_EQ(imsg_read(ch()), 1);
        ASSERT_EQ(ch()->in_len, i + 1);
        if (i + 1 < wire.size()) {
            ASSERT_EQ(get(&msg, &got), 0) << "with " << i + 1 << " bytes buffered";
        }
    }
    ASSERT_EQ(get(&msg, &got), static_cast<ssize_t>(wire.size()));
    EXPECT_EQ(msg.header.type, 77u);
    EXPECT_EQ(msg.header.length, wire.size());
    EXPECT_EQ(msg.header.flags, IMSG_FLAG_FD);
    EXPECT_EQ(msg.header.peer_id, 5u);
    EXPECT_EQ(msg.header.pid, 6);
    EXPECT_EQ(msg.fd, -1) << "the flag alone brings no descriptor";
    EXPECT_EQ(got, payload);
    EXPECT_EQ(ch()->in_len, wire.size()) << "lent until the next call";
    EXPECT_EQ(imsg_get(ch(), &msg), 0);
    EXPECT_EQ(ch()->in_len, 0u);
}

TEST_F(ReceiveTest, SeveralMessagesInOneReadComeOutInOrder) {
    const Bytes payloads[] = {{}, pattern(20, 1), pattern(IMSG_MAX_LEN - IMSG_HDR_LEN, 2)};
    Bytes wire;
    for (uint32_t i = 0; i < std::size(payloads); i++) {
        wire = cat({wire, frame(i, payloads[i])});
    }
    ASSERT_TRUE(send_all(peer(), wire));
    read_until_buffered(wire.size());
    ASSERT_EQ(ch()->in_len, wire.size());

    imsg_message msg;
    for (uint32_t i = 0; i < std::size(payloads); i++) {
        Bytes got;
        ASSERT_EQ(get(&msg, &got), static_cast<ssize_t>(IMSG_HDR_LEN + payloads[i].size()));
        EXPECT_EQ(msg.header.type, i);
        EXPECT_EQ(got, payloads[i]);
        EXPECT_EQ(msg.fd, -1);
    }
    EXPECT_EQ(imsg_get(ch(), &msg), 0);
}

TEST_F(ReceiveTest, LengthOutsideTheFrameLimitsIsRefusedForGood) {
    for (uint16_t length : {uint16_t{0}, uint16_t{15}, uint16_t{16385}, uint16_t{65535}}) {
        SCOPED_TRACE(length);
        Bytes wire = frame(1, length, 0, 0, 0, pattern(20, 0));
        ASSERT_TRUE(send_all(peer(), wire));
        read_until_buffered(wire.size());
        for (int attempt = 0; attempt < 2; attempt++) {
            imsg_message msg;
            errno = 0;
            EXPECT_EQ(imsg_get(ch(), &msg), -1);
            EXPECT_EQ(errno, ERANGE);
            EXPECT_EQ(msg.header.length, length);
            EXPECT_EQ(ch()->in_len, wire.size()) << "nothing may be consumed";
        }
        ch()->in_len = 0;
    }
}

// A lent payload is the input itself: it stays put, and valid, until the
// channel is next asked for a message or a read, which consume it.
TEST_F(ReceiveTest, ALentMessageStaysInTheInputUntilTheNextCall) {
    Pipe pipe;
    Bytes a = frame(1, pattern(30, 1));
    Bytes b = frame(2, pattern(7, 2), IMSG_FLAG_FD);
    Bytes c = frame(3, pattern(12, 3));
    Bytes wire = cat({a, b, c});
    ASSERT_TRUE(send_all(peer(), wire, std::array{pipe.read_end()}));
    read_until_buffered(wire.size());

    imsg_message msg;
    ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(a.size()));
    EXPECT_EQ(msg.header.type, 1u);
    EXPECT_EQ(msg.data, ch()->in_buf + IMSG_HDR_LEN) << "no copy";
    EXPECT_EQ(Bytes(msg.data, msg.data + 30), pattern(30, 1));
    EXPECT_EQ(msg.fd, -1);
    EXPECT_EQ(ch()->in_len, wire.size()) << "not consumed while lent";

    ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(b.size()));
    EXPECT_EQ(msg.header.type, 2u);
    EXPECT_EQ(ch()->in_len, b.size() + c.size());
    EXPECT_EQ(Bytes(msg.data, msg.data + 7), pattern(7, 2));
    ASSERT_NE(msg.fd, -1) << "a lent message claims its descriptor";
    EXPECT_TRUE(same_file(msg.fd, pipe.read_end()));
    close(msg.fd);

    // Releasing ends the loan; the message still leaves only at the next
    // call.
    imsg_release(&msg);
    EXPECT_EQ(msg.data, nullptr);
    EXPECT_EQ(ch()->in_len, b.size() + c.size());
    Bytes got;
    ASSERT_EQ(get(&msg, &got), static_cast<ssize_t>(c.size()));
    EXPECT_EQ(msg.header.type, 3u);
    EXPECT_EQ(got, pattern(12, 3));
    EXPECT_EQ(imsg_get(ch(), &msg), 0);
    EXPECT_EQ(ch()->in_len, 0u);

    // A read consumes what is lent before it takes in more.
    ASSERT_TRUE(send_all(peer(), a));
    read_until_buffered(a.size());
    ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(a.size()));
    ASSERT_TRUE(send_all(peer(), c));
    ASSERT_EQ(imsg_read(ch()), static_cast<ssize_t>(c.size()));
    EXPECT_EQ(ch()->in_len, c.size());
    ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(c.size()));
    EXPECT_EQ(msg.header.type, 3u);
    EXPECT_EQ(Bytes(msg.data, msg.data + 12), pattern(12, 3));
}

TEST_F(ReceiveTest, DescriptorsPairWithFlaggedMessagesByOrder) {
    Pipe pipe;
    // The descriptor rides with an unflagged message and must wait for the
    // first flagged one; the flagged message after that finds none.
    Bytes a = frame(1, pattern(4, 1));
    Bytes rest = cat({frame(2, pattern(3, 2)), frame(3, pattern(2, 3), IMSG_FLAG_FD),
                      frame(4, {}, IMSG_FLAG_FD)});
    ASSERT_TRUE(send_all(peer(), a, std::array{pipe.read_end()}));
    ASSERT_TRUE(send_all(peer(), rest));
    read_until_buffered(a.size() + rest.size());

    const int wants_fd[] = {false, false, true, false};
    for (uint32_t type = 1; type <= 4; type++) {
        SCOPED_TRACE(type);
        imsg_message msg;
        Bytes got;
        ASSERT_GT(get(&msg, &got), 0);
        EXPECT_EQ(msg.header.type, type);
        if (wants_fd[type - 1]) {
            ASSERT_NE(msg.fd, -1);
            EXPECT_TRUE(same_file(msg.fd, pipe.read_end()));
            close(msg.fd);
        } else {
            EXPECT_EQ(msg.fd, -1);
        }
    }
}

TEST_F(ReceiveTest, OneReadKeepsOnlyTheFirstDescriptor) {
    EXPECT_EQ(imsg_take_fd(ch()), -1);
    for (size_t sent : {size_t{2}, size_t{3}}) {
        SCOPED_TRACE(sent);
        Pipe first, other;
        std::vector<int> fds = {first.read_end(), other.read_end(), other.fds[1]};
        fds.resize(sent);
        ASSERT_TRUE(send_all(peer(), frame(1, {}, IMSG_FLAG_FD), fds));

        std::vector<int> before = testutil::open_fds();
        ASSERT_EQ(imsg_read(ch()), static_cast<ssize_t>(IMSG_HDR_LEN));
        std::vector<int> after = testutil::open_fds();
        std::vector<int> added;
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::back_inserter(added));
        ASSERT_EQ(added.size(), 1u) << "every descriptor but the first must be closed";

        int kept = imsg_take_fd(ch());
        EXPECT_EQ(kept, added[0]);
        EXPECT_TRUE(same_file(kept, first.read_end()));
        EXPECT_EQ(imsg_take_fd(ch()), -1);
        close(kept);
        ch()->in_len = 0;
    }
}

TEST_F(ReceiveTest, ChannelsOnBothEndsAgree) {
    auto other = std::make_unique<imsg_channel>();
    imsg_setup(other.get(), peer());
    Pipe pipe;
    Bytes p = pattern(100, 5);
    ASSERT_EQ(imsg_send(ch(), 1, 2, 0, -1, p.data(), 100), 1);
    ASSERT_EQ(imsg_send(ch(), 3, 4, 0, pipe.release_write_end(), nullptr, 0), 1);
    ASSERT_EQ(imsg_write_all(ch()), 0);

    while (other->in_len < 116 + 16) {
        ASSERT_GT(imsg_read(other.get()), 0);
    }
    imsg_message msg;
    ASSERT_EQ(imsg_get(other.get(), &msg), 116);
    EXPECT_EQ(Bytes(msg.data, msg.data + 100), p);
    EXPECT_EQ(msg.header.peer_id, 2u);
    EXPECT_EQ(msg.header.pid, getpid());
    EXPECT_EQ(msg.fd, -1);
    imsg_release(&msg);
    ASSERT_EQ(imsg_get(other.get(), &msg), 16);
    EXPECT_EQ(msg.header.flags, IMSG_FLAG_FD);
    ASSERT_NE(msg.fd, -1);
    EXPECT_TRUE(same_file(msg.fd, pipe.read_end()));
    close(msg.fd);
    imsg_release(&msg);
    imsg_teardown(other.get());
}

// Lowers the soft descriptor limit and fills every hole below it, then frees
// exactly `slots` slots again. Meant for a child process.
bool leave_free_slots(uint32_t slots, std::vector<int> *fillers) {
    std::vector<int> open = testutil::open_fds();
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        return false;
    }
    rl.rlim_cur = static_cast<rlim_t>(open.back()) + 1 + slots + 8;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        return false;
    }
    for (;;) {
        int fd = ::open("/dev/null", O_RDONLY);
        if (fd == -1) {
            break;
        }
        fillers->push_back(fd);
    }
    if (errno != EMFILE || fillers->size() < slots) {
        return false;
    }
    for (uint32_t i = 0; i < slots; i++) {
        close(fillers->back());
        fillers->pop_back();
    }
    return true;
}

// The probe duplicates descriptor 0, which a test run may have closed.
bool descriptor_zero_open() {
    return testutil::fd_is_open(0) || ::open("/dev/null", O_RDONLY) == 0;
}

TEST(ProbeTest, AnswersAtTheEdgesOfTheTableAndGivesEverySlotBack) {
    for (uint32_t free : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(free);
        testutil::ChildResult r = testutil::run_in_child([free]() -> int {
            std::vector<int> fillers;
            if (!descriptor_zero_open() || !leave_free_slots(free, &fillers)) {
                return 10;
            }
            std::vector<int> before = testutil::open_fds();
            for (uint32_t count : {1u, 2u, 3u}) {
                if (probe_free_fds(count) != (count <= free ? 0 : 1)) {
                    return 11;
                }
            }
            return testutil::open_fds() == before ? 0 : 12;
        });
        EXPECT_EQ(r.exit_code(), 0) << r.err;
    }
}

// A read needs two free slots. Short of them, descriptors that wait
// unclaimed go first, oldest first, and the read goes ahead.
TEST_F(ReceiveTest, ShortTableClosesTheOldestWaitingDescriptorsAndReads) {
    Pipe strays[3];
    Pipe content;
    for (Pipe &stray : strays) {
        ASSERT_TRUE(send_all(peer(), frame(1, pattern(2, 1)), std::array{stray.read_end()}));
    }
    Bytes claiming = frame(1, pattern(4, 2), IMSG_FLAG_FD);
    ASSERT_TRUE(send_all(peer(), claiming, std::array{content.read_end()}));
    testutil::ChildResult r = testutil::run_in_child([&]() -> int {
        for (int i = 0; i < 3; i++) {
            if (imsg_read(ch()) <= 0) {
                return 10;
            }
        }
        std::vector<int> fillers;
        if (imsg_fds_waiting(ch()) != 3 || !leave_free_slots(1, &fillers)) {
            return 11;
        }
        if (imsg_read(ch()) != static_cast<ssize_t>(claiming.size())) {
            return 12;
        }
        imsg_losses lost = imsg_take_losses(ch());
        if (lost.closed_waiting != 1 || lost.dropped != 0 || lost.table_full) {
            return 13;
        }
        // What waits now is the second and third stray, then the content.
        const Pipe *expected[] = {&strays[1], &strays[2], &content};
        for (const Pipe *p : expected) {
            int fd = imsg_take_fd(ch());
            if (fd == -1 || !same_file(fd, p->read_end())) {
                return 14;
            }
            close(fd);
        }
        return imsg_fds_waiting(ch()) == 0 ? 0 : 15;
    });
    EXPECT_EQ(r.exit_code(), 0) << r.err;
}

// With not one slot free the kernel drops the descriptor; its message
// comes out without one, and the next message still gets its own.
TEST_F(ReceiveTest, NoFreeSlotKeepsTheDroppedDescriptorsPlaceInTheOrder) {
    Pipe first, second;
    Bytes one = frame(1, pattern(4, 1), IMSG_FLAG_FD);
    Bytes two = frame(2, pattern(4, 2), IMSG_FLAG_FD);
    ASSERT_TRUE(send_all(peer(), one, std::array{first.read_end()}));
    testutil::ChildResult r = testutil::run_in_child([&]() -> int {
        std::vector<int> fillers;
        if (!leave_free_slots(0, &fillers)) {
            return 10;
        }
        if (imsg_read(ch()) != static_cast<ssize_t>(one.size())) {
            return 11;
        }
        imsg_losses lost = imsg_take_losses(ch());
        if (lost.dropped != 1 || !lost.table_full || imsg_fds_waiting(ch()) != 1) {
            return 12;
        }
        // The peer's next request comes once slots are free again.
        close(fillers.back());
        fillers.pop_back();
        close(fillers.back());
        fillers.pop_back();
        if (!send_all(peer(), two, std::array{second.read_end()}) ||
            imsg_read(ch()) != static_cast<ssize_t>(two.size())) {
            return 13;
        }
        if (imsg_take_losses(ch()).table_full) {
            return 14;
        }
        imsg_message msg;
        if (imsg_get(ch(), &msg) <= 0 || msg.header.type != 1 || msg.fd != -1) {
            return 15;
        }
        imsg_release(&msg);
        if (imsg_get(ch(), &msg) <= 0 || msg.header.type != 2 || msg.fd == -1 ||
            !same_file(msg.fd, second.read_end())) {
            return 16;
        }
        close(msg.fd);
        imsg_release(&msg);
        return 0;
    });
    EXPECT_EQ(r.exit_code(), 0) << r.err;
}

TEST(ProbeTest, RefusesCountsAboveTheArray) {
    EXPECT_EQ(probe_free_fds(0), 0);
    EXPECT_EQ(probe_free_fds(257), 1);
    EXPECT_EQ(probe_free_fds(UINT32_MAX), 1);
    std::vector<int> before = testutil::open_fds();
    rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_cur < before.back() + 1 + 256u) {
        GTEST_SKIP() << "the descriptor limit is too low to open 256 more";
    }
    EXPECT_EQ(probe_free_fds(256), 0);
    EXPECT_EQ(testutil::open_fds(), before);
}

}  // namespace
}  // namespace channeltest
