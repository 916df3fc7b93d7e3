#include "support/iobuf.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/child.h"
#include "log/log.h"

namespace {

using testutil::open_fds;
using testutil::run_in_child;

// An iobuf with a small input area, released on every path, and a check
// that the test left no descriptor open.
class Iobuf : public ::testing::Test {
  protected:
    void SetUp() override {
        fds_before_ = open_fds();
        ASSERT_EQ(iobuf_init(&io_, 64, 256), 0);
    }
    void TearDown() override {
        iobuf_release(&io_);
        EXPECT_EQ(open_fds(), fds_before_);
    }

    // Puts bytes into the input area as a read would.
    void feed(const std::string &bytes) {
        ASSERT_LE(bytes.size(), iobuf_tail_room(&io_));
        memcpy(io_.buf + io_.wpos, bytes.data(), bytes.size());
        io_.wpos += bytes.size();
    }

    std::vector<size_t> chunk_sizes() const {
        std::vector<size_t> out;
        for (const iobuf_chunk *c = io_.first; c != nullptr; c = c->next) {
            out.push_back(c->capacity);
        }
        return out;
    }

    // Reads what a descriptor holds now, without blocking.
    static std::string drain(int fd) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        return testutil::read_all(fd);
    }

    iobuf io_{};
    std::vector<int> fds_before_;
};

TEST(IobufInit, DefaultsAndLimits) {
    iobuf io;
    ASSERT_EQ(iobuf_init(&io, 0, 0), 0);
    EXPECT_EQ(io.size, 65536u);
    EXPECT_EQ(io.max, 65536u);
    iobuf_release(&io);
    EXPECT_EQ(io.buf, nullptr);
    EXPECT_EQ(io.size, 0u);

    ASSERT_EQ(iobuf_init(&io, 0, 300), 0);
    EXPECT_EQ(io.size, 300u);
    iobuf_release(&io);

    EXPECT_EQ(iobuf_init(&io, 100, 50), -1);
    EXPECT_EQ(io.buf, nullptr);
}

TEST(IobufInit, OrDieLogsTheCall) {
    static iobuf io;
    auto r = run_in_child([] {
        log_open(1);
        return iobuf_init_or_die(&io, 100, 50, "here");
    });
    char addr[32];
    snprintf(addr, sizeof addr, "%p", static_cast<void *>(&io));
    std::string pre = testutil::log_prefix(r.pid);
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, pre + "here: iobuf_init(" + addr + ", 100, 50)\n" + pre + "fatal: exiting\n");
}

TEST_F(Iobuf, GrowUpToTheMaximumOnly) {
    feed("keep");
    EXPECT_EQ(iobuf_grow(&io_, 256 - 64 + 1), -1);
    EXPECT_EQ(io_.size, 64u);
    EXPECT_EQ(iobuf_grow(&io_, 256 - 64), 0);
    EXPECT_EQ(io_.size, 256u);
    EXPECT_EQ(std::string(iobuf_peek(&io_), iobuf_available(&io_)), "keep");
    EXPECT_EQ(iobuf_grow(&io_, 1), -1);
}

TEST_F(Iobuf, TakeLineCutsAtLfAndDropsOnlyTheCrBeforeIt) {
    struct Case {
        std::string input;
        std::vector<std::string> lines;
        std::string rest;
    };
    const std::vector<Case> cases = {
        {"ab\r\ncd", {"ab"}, "cd"},
        {"\n", {""}, ""},
        {"a\rb\n", {"a\rb"}, ""},
        {"\r\n\r\n", {"", ""}, ""},
        {"one\ntwo\r\nthree", {"one", "two"}, "three"},
        {"\r\r\n", {"\r"}, ""},
        {"no end", {}, "no end"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        io_.rpos = io_.wpos = 0;
        feed(c.input);
        std::vector<std::string> lines;
        size_t len;
        while (char *line = iobuf_take_line(&io_, &len)) {
            EXPECT_EQ(strlen(line), len);
            lines.emplace_back(line, len);
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(std::string(iobuf_peek(&io_), iobuf_available(&io_)), c.rest);
        if (c.rest.empty()) {
            EXPECT_EQ(io_.rpos, 0u);
            EXPECT_EQ(io_.wpos, 0u);
        }
    }
    EXPECT_EQ(iobuf_take_line(&io_, nullptr), nullptr);
}

TEST_F(Iobuf, SkipAndCompactKeepUnreadBytes) {
    feed("0123456789");
    iobuf_skip(&io_, 4);
    EXPECT_EQ(iobuf_available(&io_), 6u);
    EXPECT_EQ(iobuf_tail_room(&io_), 54u);
    EXPECT_EQ(iobuf_free_room(&io_), 58u);
    iobuf_compact(&io_);
    EXPECT_EQ(io_.rpos, 0u);
    EXPECT_EQ(std::string(iobuf_peek(&io_), iobuf_available(&io_)), "456789");
    iobuf_skip(&io_, 6);
    EXPECT_EQ(io_.rpos, 0u);
    EXPECT_EQ(io_.wpos, 0u);
    feed("ab");
    iobuf_skip(&io_, 100);
    EXPECT_EQ(io_.wpos, 0u);
}

TEST_F(Iobuf, FillReportsDataEndOfFileAndWouldBlock) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    EXPECT_EQ(iobuf_fill(&io_, p[0]), IOBUF_RETRY_READ);
    ASSERT_EQ(write(p[1], "hello\n", 6), 6);
    EXPECT_EQ(iobuf_fill(&io_, p[0]), 6);
    EXPECT_STREQ(iobuf_take_line(&io_, nullptr), "hello");
    close(p[1]);
    EXPECT_EQ(iobuf_fill(&io_, p[0]), IOBUF_PEER_CLOSED);
    EXPECT_EQ(iobuf_fill(&io_, -1), IOBUF_FAILED);
    close(p[0]);
}

TEST_F(Iobuf, AppendsShareAChunkOnlyWhileFreeRoomIsGreater) {
    std::string bytes(10000, 'x');
    EXPECT_EQ(iobuf_queue_bytes(&io_, bytes.data(), 10), 10);
    EXPECT_EQ(iobuf_queue_bytes(&io_, bytes.data(), 4085), 4085);  // room 4086 > 4085
    EXPECT_EQ(chunk_sizes(), std::vector<size_t>{4096});
    EXPECT_EQ(iobuf_queue_bytes(&io_, bytes.data(), 1), 1);  // room 1 is not > 1
    EXPECT_EQ(chunk_sizes(), (std::vector<size_t>{4096, 4096}));
    EXPECT_EQ(iobuf_queue_bytes(&io_, bytes.data(), 10000), 10000);
    EXPECT_EQ(chunk_sizes(), (std::vector<size_t>{4096, 4096, 10000}));
    EXPECT_EQ(iobuf_out_pending(&io_), 10u + 4085 + 1 + 10000);

    EXPECT_EQ(iobuf_queue_bytes(&io_, bytes.data(), 0), 0);
    EXPECT_EQ(iobuf_queue_space(&io_, 0), nullptr);
    iovec empty[2] = {{bytes.data(), 0}, {bytes.data(), 0}};
    EXPECT_EQ(iobuf_queue_vector(&io_, empty, 2), -1);
    EXPECT_EQ(iobuf_queue_vector(&io_, empty, 0), -1);
    EXPECT_EQ(iobuf_queue_format(&io_, "%s", ""), 0);
    EXPECT_EQ(iobuf_out_pending(&io_), 10u + 4085 + 1 + 10000);
    EXPECT_EQ(chunk_sizes().size(), 3u);
}

TEST_F(Iobuf, QueuedBytesGoOutInOrder) {
    char a[] = "vec", b[] = "tor";
    iovec v[3] = {{a, 3}, {b, 0}, {b, 3}};
    EXPECT_EQ(iobuf_queue_bytes(&io_, "bytes|", 6), 6);
    EXPECT_EQ(iobuf_queue_vector(&io_, v, 3), 0);
    EXPECT_EQ(iobuf_queue_format(&io_, "|%d-%s|", 42, "fmt"), 8);
    memcpy(iobuf_queue_space(&io_, 5), "space", 5);
    iobuf_xfqueue(&io_, "here", "%c", '!');
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(iobuf_send_all(&io_, p[1]), 0);
    EXPECT_EQ(drain(p[0]), "bytes|vector|42-fmt|space!");
    EXPECT_EQ(io_.first, nullptr);
    EXPECT_EQ(io_.last, nullptr);
    close(p[0]);
    close(p[1]);
}

TEST_F(Iobuf, VectorWhoseLengthsWrapIsRefusedWithNothingQueued) {
    char byte = 'x';
    const std::vector<std::vector<iovec>> wrapping = {
        {{&byte, SIZE_MAX}, {&byte, 2}},
        {{&byte, SIZE_MAX / 2 + 1}, {&byte, SIZE_MAX / 2 + 1}},
        {{&byte, 1}, {&byte, 0}, {&byte, SIZE_MAX}},
    };
    for (const auto &v : wrapping) {
        errno = 0;
        EXPECT_EQ(iobuf_queue_vector(&io_, v.data(), static_cast<int>(v.size())), -1);
        EXPECT_EQ(errno, EOVERFLOW);
        EXPECT_EQ(iobuf_out_pending(&io_), 0u);
        EXPECT_EQ(io_.first, nullptr);
    }
}

TEST_F(Iobuf, SendHandsAtMost1024ChunksToOneWritev) {
    std::string want;
    for (int i = 0; i < 2000; i++) {
        char c = static_cast<char>('a' + i % 26);
        ASSERT_NE(iobuf_new_chunk(&io_, 0), nullptr);
        ASSERT_EQ(iobuf_queue_bytes(&io_, &c, 1), 1);
        want += c;
    }
    ASSERT_EQ(chunk_sizes().size(), 2000u);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(iobuf_send(&io_, p[1]), 1024);
    EXPECT_EQ(iobuf_out_pending(&io_), 976u);
    EXPECT_EQ(chunk_sizes().size(), 976u);
    EXPECT_EQ(iobuf_send(&io_, p[1]), 976);
    EXPECT_EQ(iobuf_out_pending(&io_), 0u);
    EXPECT_EQ(drain(p[0]), want);
    close(p[0]);
    close(p[1]);
}

TEST_F(Iobuf, SendToClosedPeerLeavesQueueUnchanged) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    iobuf_queue_bytes(&io_, "abc", 3);
    iobuf_queue_bytes(&io_, std::string(5000, 'y').data(), 5000);
    const iobuf_chunk *first = io_.first;
    EXPECT_EQ(iobuf_send(&io_, sv[0]), IOBUF_PEER_CLOSED);
    EXPECT_EQ(iobuf_send_all(&io_, sv[0]), IOBUF_PEER_CLOSED);
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(iobuf_out_pending(&io_), 5003u);
    EXPECT_EQ(io_.first, first);
    EXPECT_EQ(first->rpos, 0u);
    EXPECT_EQ(first->wpos, 3u);
    EXPECT_EQ(chunk_sizes(), (std::vector<size_t>{4096, 5000}));
    close(sv[0]);
}

TEST_F(Iobuf, SendThatWouldBlockIsReportedNotRetried) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    std::string big(1 << 20, 'z');
    iobuf_queue_bytes(&io_, big.data(), big.size());
    ssize_t first = iobuf_send(&io_, p[1]);
    ASSERT_GT(first, 0);
    EXPECT_EQ(iobuf_out_pending(&io_), big.size() - first);
    EXPECT_EQ(iobuf_send(&io_, p[1]), IOBUF_RETRY_WRITE);
    EXPECT_EQ(iobuf_send_all(&io_, p[1]), IOBUF_RETRY_WRITE);
    EXPECT_EQ(iobuf_out_pending(&io_), big.size() - first);
    close(p[0]);
    close(p[1]);
}

TEST_F(Iobuf, DequeueStopsAtWhatIsQueued) {
    iobuf_queue_bytes(&io_, std::string(4096, 'a').data(), 4096);
    iobuf_queue_bytes(&io_, "bcd", 3);
    iobuf_dequeue(&io_, 4097);
    EXPECT_EQ(iobuf_out_pending(&io_), 2u);
    ASSERT_NE(io_.first, nullptr);
    EXPECT_EQ(io_.first, io_.last);
    EXPECT_EQ(io_.first->data[io_.first->rpos], 'c');
    iobuf_dequeue(&io_, 100);
    EXPECT_EQ(iobuf_out_pending(&io_), 0u);
    EXPECT_EQ(io_.first, nullptr);
    EXPECT_EQ(io_.last, nullptr);
}

TEST_F(Iobuf, FailedFormattingQueuesNothingAndXfqueueDies) {
    // A wide character with no single-byte form in the C locale makes the
    // formatting itself fail.
    EXPECT_EQ(iobuf_queue_format(&io_, "%ls", L"\x100"), -1);
    EXPECT_EQ(iobuf_out_pending(&io_), 0u);
    iobuf *io = &io_;
    auto r = run_in_child([io] {
        log_open(1);
        iobuf_xfqueue(io, "there", "%ls", L"\x100");
        return 0;
    });
    char addr[32];
    snprintf(addr, sizeof addr, "%p", static_cast<void *>(io));
    std::string pre = testutil::log_prefix(r.pid);
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err,
              pre + "there: iobuf_xfqueue(" + addr + ", %ls, ...)\n" + pre + "fatal: exiting\n");
}

}  // namespace
