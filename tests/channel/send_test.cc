#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>

#include "channel/fixture.h"

namespace channeltest {
namespace {

struct FrameCase {
    const char *name;
    uint32_t type;
    uint32_t peer_id;
    pid_t pid;
    size_t payload;
    bool with_fd;
};

class SendTest : public ChannelTest {};

TEST_F(SendTest, SentFramesArriveByteExact) {
    ASSERT_EQ(ch()->pid, getpid());
    const FrameCase cases[] = {
        {"empty, own pid", 0, 0, 0, 0, false},
        {"small, given pid", 7, 0x01020304, 4242, 5, false},
        {"descriptor", 3, 9, 0, 12, true},
        {"largest payload", 0xfffffffe, 1, -5, IMSG_MAX_LEN - IMSG_HDR_LEN, false},
    };
    for (const FrameCase &c : cases) {
        SCOPED_TRACE(c.name);
        Pipe pipe;
        int fd = c.with_fd ? pipe.release_write_end() : -1;
        Bytes payload = pattern(c.payload, 11);
        ASSERT_EQ(imsg_send(ch(), c.type, c.peer_id, c.pid, fd, payload.data(),
                            static_cast<uint16_t>(payload.size())),
                  1);
        ASSERT_EQ(imsg_write_all(ch()), 0);
        EXPECT_EQ(ch()->out.count, 0u);
        if (c.with_fd) {
            EXPECT_FALSE(testutil::fd_is_open(fd)) << "the channel keeps a sent descriptor";
        }

        Received r = drain(peer());
        int32_t pid = c.pid == 0 ? getpid() : c.pid;
        uint16_t flags = c.with_fd ? IMSG_FLAG_FD : 0;
        EXPECT_EQ(r.bytes, frame(c.type, static_cast<uint16_t>(IMSG_HDR_LEN + c.payload), flags,
                                 c.peer_id, pid, payload));
        ASSERT_EQ(r.fds.size(), c.with_fd ? 1u : 0u);
        for (unique_fd &got : r.fds) {
            EXPECT_TRUE(same_file(got.get(), pipe.read_end()));
            EXPECT_EQ(fcntl(got.get(), F_GETFL) & O_ACCMODE, O_WRONLY);
        }
    }
}

TEST_F(SendTest, CreateAddSealAndSendvBuildTheSameFrame) {
    Bytes a = pattern(3, 1), b = pattern(40, 2), c = pattern(1500, 3);
    Bytes whole = cat({a, b, c});

    frame_buf *buf = imsg_create(ch(), 5, 6, 0, static_cast<uint16_t>(a.size()));
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(imsg_add(buf, a.data(), static_cast<uint16_t>(a.size())), 3);
    EXPECT_EQ(imsg_add(buf, nullptr, 0), 0);
    EXPECT_EQ(imsg_add(buf, b.data(), static_cast<uint16_t>(b.size())), 40);
    EXPECT_EQ(imsg_add(buf, c.data(), static_cast<uint16_t>(c.size())), 1500);
    imsg_seal(ch(), buf);

    ASSERT_EQ(imsg_send(ch(), 5, 6, 0, -1, whole.data(), static_cast<uint16_t>(whole.size())), 1);

    iovec pieces[] = {{a.data(), a.size()},
                      {nullptr, 0},
                      {b.data(), b.size()},
                      {c.data(), c.size()},
                      {nullptr, 0}};
    ASSERT_EQ(imsg_sendv(ch(), 5, 6, 0, -1, pieces, 5), 1);
    ASSERT_EQ(imsg_sendv(ch(), 5, 6, 0, -1, nullptr, 0), 1);

    ASSERT_EQ(imsg_write_all(ch()), 0);
    Bytes one = frame(5, static_cast<uint16_t>(IMSG_HDR_LEN + whole.size()), 0, 6, getpid(), whole);
    Bytes empty = frame(5, IMSG_HDR_LEN, 0, 6, getpid(), {});
    EXPECT_EQ(drain(peer()).bytes, cat({one, one, one, empty}));
}

TEST_F(SendTest, PayloadAboveTheLimitIsRefusedAndNothingQueued) {
    const size_t largest = IMSG_MAX_LEN - IMSG_HDR_LEN;
    Bytes payload = pattern(largest + 1, 0);
    Pipe pipe;
    int fd = pipe.read_end();

    frame_buf *buf = imsg_create(ch(), 0, 0, 0, static_cast<uint16_t>(largest));
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(buf->capacity, IMSG_MAX_LEN);
    frame_buf_free(buf);

    errno = 0;
    EXPECT_EQ(imsg_create(ch(), 0, 0, 0, static_cast<uint16_t>(largest + 1)), nullptr);
    EXPECT_EQ(errno, ERANGE);
    errno = 0;
    EXPECT_EQ(imsg_send(ch(), 0, 0, 0, fd, payload.data(), static_cast<uint16_t>(largest + 1)), -1);
    EXPECT_EQ(errno, ERANGE);

    // The second set of pieces would add up to 4 if the sum were allowed
    // to wrap.
    uint8_t byte = 0;
    const std::vector<std::vector<iovec>> too_long = {
        {{payload.data(), 100}, {payload.data(), largest - 99}},
        {{&byte, 10}, {&byte, SIZE_MAX - 5}},
    };
    for (const auto &pieces : too_long) {
        errno = 0;
        EXPECT_EQ(imsg_sendv(ch(), 0, 0, 0, fd, pieces.data(), static_cast<int>(pieces.size())),
                  -1);
        EXPECT_EQ(errno, ERANGE);
    }
    EXPECT_EQ(ch()->out.count, 0u);
    EXPECT_TRUE(testutil::fd_is_open(fd)) << "a refused message must leave its descriptor";

    ASSERT_EQ(imsg_send(ch(), 0, 0, 0, -1, payload.data(), static_cast<uint16_t>(largest)), 1);
    ASSERT_EQ(imsg_write_all(ch()), 0);
    Received r = drain(peer());
    ASSERT_EQ(r.bytes.size(), IMSG_MAX_LEN);
    EXPECT_EQ(header_of(r.bytes).length, IMSG_MAX_LEN);
}

// A message is built in a frame that holds the largest one, so no add
// reallocates; the add that would pass 16384 bytes fails, and the message
// is gone.
TEST_F(SendTest, AddsFillTheFrameInPlaceAndNeverPastTheLimit) {
    frame_buf *buf = imsg_create(ch(), 0, 0, 0, 1024);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(buf->capacity, IMSG_MAX_LEN);
    EXPECT_EQ(buf->used, IMSG_HDR_LEN);
    uint8_t *data = buf->data;

    Bytes chunk = pattern(1024, 4);
    EXPECT_EQ(imsg_add(buf, nullptr, 0), 0);
    EXPECT_EQ(buf->used, IMSG_HDR_LEN);
    for (size_t step : {size_t{1024}, size_t{1}, size_t{999}}) {
        ASSERT_EQ(imsg_add(buf, chunk.data(), static_cast<uint16_t>(step)), static_cast<int>(step));
    }
    while (buf->used + chunk.size() <= IMSG_MAX_LEN) {
        ASSERT_EQ(imsg_add(buf, chunk.data(), 1024), 1024);
    }
    size_t rest = IMSG_MAX_LEN - buf->used;
    ASSERT_EQ(imsg_add(buf, chunk.data(), static_cast<uint16_t>(rest)), static_cast<int>(rest));
    EXPECT_EQ(buf->used, IMSG_MAX_LEN);
    EXPECT_EQ(buf->data, data) << "an add must not reallocate";

    frame_buf *full = buf;
    errno = 0;
    EXPECT_EQ(imsg_add(full, chunk.data(), 1), -1);
    EXPECT_EQ(errno, ENOMEM);
    // The failed add freed the buffer; the leak checker sees to the rest.
    EXPECT_EQ(ch()->out.count, 0u);
}

// Standalone buffers grow to the exact size an append needs, never past
// their limit.
TEST(FrameBufTest, AppendsGrowToTheExactSizeAndNeverPastTheLimit) {
    frame_buf *buf = frame_buf_new(16, IMSG_MAX_LEN);
    ASSERT_NE(buf, nullptr);
    Bytes chunk = pattern(4000, 4);
    for (size_t step : {size_t{16}, size_t{1}, size_t{999}, size_t{4000}}) {
        uint8_t *before = buf->data;
        size_t capacity = buf->capacity;
        ASSERT_EQ(frame_buf_append(buf, chunk.data(), step), 0);
        if (buf->used <= capacity) {
            EXPECT_EQ(buf->data, before) << "a fitting append must not reallocate";
        } else {
            EXPECT_EQ(buf->capacity, buf->used) << "growth must be to the exact size";
        }
    }
    Bytes rest(IMSG_MAX_LEN - buf->used + 1);
    size_t used = buf->used;
    errno = 0;
    EXPECT_EQ(frame_buf_append(buf, rest.data(), rest.size()), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(buf->used, used) << "a refused append leaves the buffer as it was";
    frame_buf_free(buf);
}

TEST(FrameBufTest, BuffersKeepTheirLimitAndBounds) {
    EXPECT_EQ(frame_buf_new(10, 9), nullptr);
    EXPECT_EQ(frame_buf_new(10, 0), nullptr);
    frame_buf *empty = frame_buf_new(0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->limit, 0u);
    EXPECT_EQ(frame_buf_append(empty, "a", 1), -1);
    frame_buf_free(empty);

    frame_buf *fixed = frame_buf_new_fixed(4);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->fd, -1);
    EXPECT_EQ(frame_buf_append(fixed, "abcd", 4), 0);
    errno = 0;
    EXPECT_EQ(frame_buf_append(fixed, "e", 1), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(frame_buf_size(fixed), 4u);
    EXPECT_EQ(frame_buf_room(fixed), 0u);
    EXPECT_EQ(memcmp(fixed->data, "abcd", 4), 0);
    frame_buf_free(fixed);

    frame_buf *buf = frame_buf_new(2, 10);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(frame_buf_append(buf, "xy", 2), 0);
    ASSERT_EQ(frame_buf_grow(buf, 3), 0);
    EXPECT_EQ(buf->capacity, 5u);
    errno = 0;
    EXPECT_EQ(frame_buf_grow(buf, 9), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(buf->capacity, 5u);

    auto *claimed = static_cast<uint8_t *>(frame_buf_reserve(buf, 6));
    ASSERT_NE(claimed, nullptr);
    EXPECT_EQ(claimed, buf->data + 2);
    EXPECT_EQ(buf->used, 8u);
    EXPECT_EQ(buf->capacity, 8u);
    EXPECT_EQ(frame_buf_reserve(buf, 3), nullptr);
    EXPECT_EQ(buf->used, 8u);
    EXPECT_EQ(frame_buf_room(buf), 2u);

    EXPECT_EQ(frame_buf_at(buf, 0, 8), buf->data);
    EXPECT_EQ(frame_buf_at(buf, 8, 0), buf->data + 8);
    EXPECT_EQ(frame_buf_at(buf, 5, 4), nullptr);
    EXPECT_EQ(frame_buf_at(buf, 9, 0), nullptr);
    EXPECT_EQ(frame_buf_at(buf, SIZE_MAX, 2), nullptr);
    frame_buf_free(buf);
}

TEST_F(SendTest, OneSendCallEndsWithTheMessageThatCarriesTheDescriptor) {
    Pipe pipe;
    int fd = pipe.release_write_end();
    Bytes p1 = pattern(30, 1), p2 = pattern(7, 2), p3 = pattern(50, 3);
    ASSERT_EQ(imsg_send(ch(), 1, 0, 0, -1, p1.data(), 30), 1);
    ASSERT_EQ(imsg_send(ch(), 2, 0, 0, fd, p2.data(), 7), 1);
    ASSERT_EQ(imsg_send(ch(), 3, 0, 0, -1, p3.data(), 50), 1);
    ASSERT_EQ(ch()->out.count, 3u);

    ASSERT_EQ(send_queue_write(&ch()->out), 1);
    EXPECT_EQ(ch()->out.count, 1u);
    EXPECT_FALSE(testutil::fd_is_open(fd));
    Received first = recv_ready(peer());
    Bytes m1 = frame(1, 46, 0, 0, getpid(), p1);
    Bytes m2 = frame(2, 23, IMSG_FLAG_FD, 0, getpid(), p2);
    EXPECT_EQ(first.bytes, cat({m1, m2}));
    ASSERT_EQ(first.fds.size(), 1u);
    first.fds[0].reset();

    ASSERT_EQ(send_queue_write(&ch()->out), 1);
    EXPECT_EQ(ch()->out.count, 0u);
    Received second = drain(peer());
    EXPECT_EQ(second.bytes, frame(3, 66, 0, 0, getpid(), p3));
    EXPECT_TRUE(second.fds.empty());
}

TEST_F(SendTest, PartialWriteResumesInPlaceAndSendsTheDescriptorOnce) {
    // A tiny send buffer on a non-blocking socket makes the kernel take only
    // part of the first message; the channel itself never changes the mode.
    int tiny = 1;
    ASSERT_EQ(setsockopt(own(), SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny), 0);
    ASSERT_EQ(fcntl(own(), F_SETFL, fcntl(own(), F_GETFL) | O_NONBLOCK), 0);

    Pipe pipe;
    int fd = pipe.release_write_end();
    const size_t big = IMSG_MAX_LEN - IMSG_HDR_LEN;
    Bytes expected;
    for (uint8_t i = 0; i < 4; i++) {
        Bytes p = pattern(big, i);
        ASSERT_EQ(imsg_send(ch(), i, 0, 0, i == 0 ? fd : -1, p.data(), static_cast<uint16_t>(big)),
                  1);
        expected =
            cat({expected, frame(i, IMSG_MAX_LEN, i == 0 ? IMSG_FLAG_FD : 0, 0, getpid(), p)});
    }

    frame_buf *head = TAILQ_FIRST(&ch()->out.pending);
    ASSERT_EQ(send_queue_write(&ch()->out), 1);
    ASSERT_EQ(TAILQ_FIRST(&ch()->out.pending), head) << "the send buffer took a whole message";
    EXPECT_GT(head->sent, 0u);
    EXPECT_LT(head->sent, head->used);
    EXPECT_EQ(head->fd, -1);
    EXPECT_FALSE(testutil::fd_is_open(fd));
    EXPECT_EQ(ch()->out.count, 4u);

    Received got;
    auto take = [&got](Received r) {
        got.bytes.insert(got.bytes.end(), r.bytes.begin(), r.bytes.end());
        for (unique_fd &fd : r.fds) {
            got.fds.push_back(std::move(fd));
        }
    };
    take(drain(peer()));
    while (ch()->out.count != 0) {
        if (send_queue_write(&ch()->out) == -1) {
            ASSERT_EQ(errno, EAGAIN);
        }
        take(drain(peer()));
    }
    take(drain(peer()));

    EXPECT_EQ(got.bytes, expected);
    EXPECT_EQ(got.fds.size(), 1u);
}

// The channel keeps a written frame to build the next message in: a user
// that writes each message out before it makes the next reuses one frame,
// whole or built in pieces, with or without a descriptor.
TEST_F(SendTest, OneFrameCarriesMessageAfterMessageOnceEachIsWritten) {
    frame_buf *spare = ch()->out.spare;
    ASSERT_NE(spare, nullptr) << "set up with a frame to build in";
    EXPECT_EQ(spare->capacity, IMSG_MAX_LEN);
    Pipe pipe;
    int fd = pipe.release_write_end();
    Bytes whole = pattern(IMSG_MAX_LEN - IMSG_HDR_LEN, 3);
    Bytes a = pattern(5, 4);
    Bytes b = pattern(300, 5);

    // Whole, with a descriptor and the largest payload.
    ASSERT_EQ(imsg_send(ch(), 9, 1, 0, fd, whole.data(), static_cast<uint16_t>(whole.size())), 1);
    EXPECT_EQ(TAILQ_FIRST(&ch()->out.pending), spare) << "built in the spare";
    EXPECT_EQ(ch()->out.spare, nullptr);
    ASSERT_EQ(imsg_write_all(ch()), 0);
    EXPECT_EQ(ch()->out.spare, spare) << "kept once written";
    EXPECT_EQ(spare->used, 0u);
    EXPECT_EQ(spare->fd, -1);
    EXPECT_FALSE(testutil::fd_is_open(fd)) << "the descriptor went with the message";
    Received r = drain(peer());
    EXPECT_EQ(r.bytes, frame(9, IMSG_MAX_LEN, IMSG_FLAG_FD, 1, getpid(), whole));
    ASSERT_EQ(r.fds.size(), 1u);
    EXPECT_TRUE(same_file(r.fds[0].get(), pipe.read_end()));
    r.fds[0].reset();

    // Built in pieces, in the same frame.
    frame_buf *built = imsg_create(ch(), 2, 0, 77, 0);
    ASSERT_EQ(built, spare);
    ASSERT_EQ(imsg_add(built, a.data(), static_cast<uint16_t>(a.size())), 5);
    ASSERT_EQ(imsg_add(built, b.data(), static_cast<uint16_t>(b.size())), 300);
    imsg_seal(ch(), built);
    ASSERT_EQ(imsg_write_all(ch()), 0);
    EXPECT_EQ(drain(peer()).bytes,
              frame(2, static_cast<uint16_t>(IMSG_HDR_LEN + 305), 0, 0, 77, cat({a, b})));
    EXPECT_EQ(ch()->out.spare, spare);
}

// Messages queued together each get a frame of their own; once written,
// one is kept and the others are freed, and every later message, however
// large, fits the one kept.
TEST_F(SendTest, MessagesQueuedTogetherLeaveOneFrameKept) {
    Bytes big = pattern(IMSG_MAX_LEN - IMSG_HDR_LEN, 1);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(imsg_send(ch(), static_cast<uint32_t>(i), 0, 0, -1, nullptr, 0), 1);
    }
    EXPECT_EQ(ch()->out.spare, nullptr);
    ASSERT_EQ(imsg_write_all(ch()), 0);
    ASSERT_NE(ch()->out.spare, nullptr);
    EXPECT_EQ(ch()->out.spare->capacity, IMSG_MAX_LEN);
    EXPECT_EQ(drain(peer()).bytes.size(), 3 * IMSG_HDR_LEN);
    ASSERT_EQ(imsg_send(ch(), 4, 0, 0, -1, big.data(), static_cast<uint16_t>(big.size())), 1);
    ASSERT_EQ(imsg_write_all(ch()), 0);
    EXPECT_EQ(drain(peer()).bytes, frame(4, IMSG_MAX_LEN, 0, 0, getpid(), big));
}

TEST_F(SendTest, WhatNoFrameCanHoldIsRefusedAndTheChannelStaysUsable) {
    Bytes big = pattern(IMSG_MAX_LEN - IMSG_HDR_LEN, 1);

    // Past the limit: the add fails and the message is gone.
    frame_buf *built = imsg_create(ch(), 1, 0, 0, 1024);
    ASSERT_NE(built, nullptr);
    ASSERT_EQ(imsg_add(built, big.data(), static_cast<uint16_t>(big.size())),
              static_cast<int>(big.size()));
    errno = 0;
    EXPECT_EQ(imsg_add(built, big.data(), 1), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(ch()->out.count, 0u);

    // Too long for any frame, and a descriptor that stays the caller's.
    Pipe pipe;
    errno = 0;
    EXPECT_EQ(imsg_send(ch(), 1, 0, 0, pipe.read_end(), big.data(),
                        static_cast<uint16_t>(big.size() + 1)),
              -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_TRUE(testutil::fd_is_open(pipe.read_end()));
    EXPECT_EQ(ch()->out.count, 0u);

    // Still good for the next message.
    ASSERT_EQ(imsg_send(ch(), 4, 0, 0, -1, nullptr, 0), 1);
    ASSERT_EQ(imsg_write_all(ch()), 0);
    EXPECT_EQ(drain(peer()).bytes, frame(4, IMSG_HDR_LEN, 0, 0, getpid(), {}));
}

TEST_F(SendTest, WritevSendsEverythingAndDropsDescriptors) {
    Pipe pipe;
    int fd = pipe.release_write_end();
    Bytes p1 = pattern(10, 1), p2 = pattern(20, 2);
    ASSERT_EQ(imsg_send(ch(), 1, 0, 0, fd, p1.data(), 10), 1);
    ASSERT_EQ(imsg_send(ch(), 2, 0, 0, -1, p2.data(), 20), 1);

    ASSERT_EQ(send_queue_writev(&ch()->out), 1);
    EXPECT_EQ(ch()->out.count, 0u);
    EXPECT_FALSE(testutil::fd_is_open(fd));
    Received r = drain(peer());
    EXPECT_EQ(r.bytes,
              cat({frame(1, 26, IMSG_FLAG_FD, 0, getpid(), p1), frame(2, 36, 0, 0, getpid(), p2)}));
    EXPECT_TRUE(r.fds.empty());
}

TEST_F(SendTest, WriteErrorsLeaveTheQueueAsItWas) {
    // With no socket at all, an empty queue is still written at once.
    ch()->out.fd = -1;
    EXPECT_EQ(imsg_write_all(ch()), 0);

    Pipe pipe;
    int fd = pipe.release_write_end();
    ASSERT_EQ(imsg_send(ch(), 1, 0, 0, fd, nullptr, 0), 1);
    errno = 0;
    EXPECT_EQ(imsg_write_all(ch()), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(ch()->out.count, 1u);
    EXPECT_TRUE(testutil::fd_is_open(fd)) << "a failed send must keep the descriptor";

    ch()->out.fd = own();
    ASSERT_EQ(imsg_write_all(ch()), 0);
    Received r = drain(peer());
    EXPECT_EQ(r.bytes, frame(1, 16, IMSG_FLAG_FD, 0, getpid(), {}));
    ASSERT_EQ(r.fds.size(), 1u);
    r.fds[0].reset();
}

TEST_F(SendTest, SealSetsTheDescriptorFlagFromTheBufferAlone) {
    frame_buf *buf = imsg_create(ch(), 1, 0, 0, 0);
    ASSERT_NE(buf, nullptr);
    imsg_header *hdr = reinterpret_cast<imsg_header *>(buf->data);
    hdr->flags = IMSG_FLAG_FD | 0x8000;
    imsg_seal(ch(), buf);
    ASSERT_EQ(imsg_write_all(ch()), 0);
    Received r = drain(peer());
    EXPECT_EQ(r.bytes, frame(1, 16, 0x8000, 0, getpid(), {}));
    EXPECT_TRUE(r.fds.empty());
}

TEST_F(SendTest, DiscardClosesQueuedAndReceivedDescriptors) {
    std::vector<int> baseline = testutil::open_fds();
    {
        Pipe a, b, c;
        ASSERT_EQ(imsg_send(ch(), 1, 0, 0, a.release_write_end(), nullptr, 0), 1);
        ASSERT_EQ(imsg_send(ch(), 2, 0, 0, b.release_write_end(), nullptr, 0), 1);
        ASSERT_TRUE(send_all(peer(), frame(9, pattern(3, 0)), std::array{c.read_end()}));
        ASSERT_TRUE(send_all(peer(), pattern(5, 0), std::array{c.fds[1]}));
    }
    read_until_buffered(19);
    read_until_buffered(19 + 5);
    ASSERT_EQ(ch()->in_len, 19u + 5u);

    imsg_discard(ch());
    EXPECT_EQ(ch()->out.count, 0u);
    EXPECT_TRUE(TAILQ_EMPTY(&ch()->out.pending));
    EXPECT_EQ(imsg_take_fd(ch()), -1);
    EXPECT_EQ(ch()->in_len, 19u + 5u) << "discarding leaves buffered input";
    EXPECT_EQ(testutil::open_fds(), baseline);
}

}  // namespace
}  // namespace channeltest
