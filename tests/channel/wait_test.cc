// Sends that cannot go at once and receives with nothing to read yet: the
// channel waits them out instead of failing or spinning, and a peer that
// has gone is an error, never a signal.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include "channel/fixture.h"
#include "common/socket_fault.h"

namespace channeltest {
namespace {

class WaitTest : public ChannelTest {
  protected:
    void make_own_end_nonblocking() {
        ASSERT_EQ(fcntl(own(), F_SETFL, fcntl(own(), F_GETFL) | O_NONBLOCK), 0);
    }

    // Runs fn in a child that has only the peer's end of the socket; the
    // child's exit status is fn's result.
    pid_t as_peer(const std::function<int()> &fn) {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(own());
            _exit(fn());
        }
        return pid;
    }

    static int exit_code(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

double cpu_seconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST_F(WaitTest, FlushWaitsForAPausedReaderOnAFullNonBlockingSocket) {
    make_own_end_nonblocking();
    int small = 4096;
    ASSERT_EQ(setsockopt(own(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    Bytes expected;
    for (uint8_t i = 0; i < 200; i++) {
        Bytes payload = pattern(8192, i);
        ASSERT_EQ(imsg_send(ch(), i, 0, 0, -1, payload.data(), 8192), 1);
        expected = cat({expected, frame(i, 8208, 0, 0, getpid(), payload)});
    }

    pid_t reader = as_peer([&] {
        usleep(200 * 1000);
        Bytes got;
        while (got.size() < expected.size()) {
            Received r = recv_ready(peer());
            if (r.bytes.empty()) {
                usleep(1000);
            }
            got.insert(got.end(), r.bytes.begin(), r.bytes.end());
        }
        return got == expected ? 0 : 1;
    });
    errno = 0;
    int flushed = imsg_write_all(ch());
    EXPECT_EQ(flushed, 0) << strerror(errno);
    EXPECT_EQ(ch()->out.count, 0u);
    if (flushed != 0) {
        kill(reader, SIGKILL);  // it would wait for the rest for ever
    }
    EXPECT_EQ(exit_code(reader), 0) << "the reader got other bytes";
}

TEST_F(WaitTest, FlushTriesTransientFailuresAgainUntilTheyPass) {
    for (int err : {EAGAIN, ENOBUFS, ENOMEM}) {
        SCOPED_TRACE(strerror(err));
        Pipe pipe;
        int fd = pipe.release_write_end();
        ASSERT_EQ(imsg_send(ch(), 5, 0, 0, fd, nullptr, 0), 1);
        int before = testutil::send_faults_injected();
        testutil::send_fault_arm(err, 3);
        EXPECT_EQ(imsg_write_all(ch()), 0);
        EXPECT_EQ(testutil::send_faults_injected() - before, 3);
        EXPECT_EQ(ch()->out.count, 0u);
        Received r = drain(peer());
        EXPECT_EQ(r.bytes, frame(5, 16, IMSG_FLAG_FD, 0, getpid(), {}));
        ASSERT_EQ(r.fds.size(), 1u) << "the descriptor must travel once";
        r.fds[0].reset();
    }
}

// The kernel refuses to pass a descriptor when this side holds too many in
// flight; the message goes without it and says so in its flag, the
// messages around it go as they are, and the descriptor is closed.
TEST_F(WaitTest, FlushSendsAMessageWhoseDescriptorIsRefusedWithoutIt) {
    Pipe pipe;
    ASSERT_EQ(imsg_send(ch(), 1, 0, 0, -1, nullptr, 0), 1);
    ASSERT_EQ(imsg_send(ch(), 2, 0, 0, pipe.release_write_end(), nullptr, 0), 1);
    ASSERT_EQ(imsg_send(ch(), 3, 0, 0, -1, nullptr, 0), 1);
    testutil::send_fault_arm(ETOOMANYREFS, 1);
    EXPECT_EQ(imsg_write_all(ch()), 0);
    EXPECT_EQ(ch()->out.count, 0u);
    Received r = drain(peer());
    EXPECT_EQ(r.bytes, cat({frame(1, 16, 0, 0, getpid(), {}), frame(2, 16, 0, 0, getpid(), {}),
                            frame(3, 16, 0, 0, getpid(), {})}));
    EXPECT_TRUE(r.fds.empty());
    EXPECT_EQ(imsg_take_losses(ch()).refused, 1u);
    EXPECT_EQ(imsg_take_losses(ch()).refused, 0u) << "taken once";
}

TEST_F(WaitTest, OneWriteStillReportsAShortageOfBuffersAsTryAgain) {
    ASSERT_EQ(imsg_send(ch(), 1, 0, 0, -1, nullptr, 0), 1);
    testutil::send_fault_arm(ENOBUFS, 1);
    errno = 0;
    EXPECT_EQ(send_queue_write(&ch()->out), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(ch()->out.count, 1u);
    ASSERT_EQ(imsg_write_all(ch()), 0);
    EXPECT_EQ(drain(peer()).bytes, frame(1, 16, 0, 0, getpid(), {}));
}

// SIGPIPE keeps its default action in the child, which that signal would
// kill; the child must see the error instead.
TEST_F(WaitTest, SendingToAPeerThatHasGoneFailsWithEpipeAndNoSignal) {
    ASSERT_EQ(shutdown(peer(), SHUT_RD), 0);
    testutil::ChildResult r = testutil::run_in_child([&] {
        signal(SIGPIPE, SIG_DFL);
        if (imsg_send(ch(), 1, 0, 0, -1, nullptr, 0) != 1) {
            return 10;
        }
        errno = 0;
        int flushed = imsg_write_all(ch());
        int err = errno;
        if (flushed != -1 || (err != EPIPE && err != ECONNRESET)) {
            return 11;
        }
        return ch()->out.count == 1 ? 0 : 12;
    });
    EXPECT_TRUE(r.exited()) << "killed by signal " << WTERMSIG(r.status);
    EXPECT_EQ(r.exit_code(), 0);
}

TEST_F(WaitTest, ReadOnANonBlockingSocketSleepsUntilDataArrives) {
    make_own_end_nonblocking();
    Bytes wire = frame(3, pattern(40, 3));
    pid_t writer = as_peer([&] {
        usleep(400 * 1000);
        return send_all(peer(), wire) ? 0 : 1;
    });
    double start = cpu_seconds();
    EXPECT_EQ(imsg_read(ch()), static_cast<ssize_t>(wire.size()));
    double spent = cpu_seconds() - start;
    EXPECT_EQ(exit_code(writer), 0);
    EXPECT_LT(spent, 0.1) << "the read spun while it waited";
    imsg_message msg;
    ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(wire.size()));
    imsg_release(&msg);
}

TEST_F(WaitTest, WaitingDescriptorsAreCountedUntilClaimed) {
    EXPECT_EQ(imsg_fds_waiting(ch()), 0u);
    Pipe pipe;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(send_all(peer(), frame(1, pattern(2, 1)), std::array{pipe.read_end()}));
        ASSERT_GT(imsg_read(ch()), 0);
    }
    EXPECT_EQ(imsg_fds_waiting(ch()), 3u);
    int fd = imsg_take_fd(ch());
    ASSERT_NE(fd, -1);
    close(fd);
    EXPECT_EQ(imsg_fds_waiting(ch()), 2u);
    for (int i = 0; i < 3; i++) {
        imsg_message msg;
        ASSERT_GT(imsg_get(ch(), &msg), 0);
        imsg_release(&msg);
    }
    EXPECT_EQ(imsg_fds_waiting(ch()), 2u) << "unflagged messages claim nothing";
}

}  // namespace
}  // namespace channeltest
