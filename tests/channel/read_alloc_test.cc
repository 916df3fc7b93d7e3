// How often a read goes to the allocator. This binary counts calls to
// malloc and calloc by standing in for both, so it keeps to itself: the
// sanitizers bring their own allocator, and there the count is skipped.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <vector>

#include "channel/fixture.h"
#include "common/address_space.h"

namespace {
bool counting;
int allocations;
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define MEMQ_OWN_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEMQ_OWN_ALLOCATOR 0
#endif
#endif
#ifndef MEMQ_OWN_ALLOCATOR
#define MEMQ_OWN_ALLOCATOR 1
#endif

#if MEMQ_OWN_ALLOCATOR
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t n, size_t size);

extern "C" void *malloc(size_t size) {
    allocations += counting ? 1 : 0;
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t n, size_t size) {
    allocations += counting ? 1 : 0;
    return __libc_calloc(n, size);
}
#endif

namespace channeltest {
namespace {

class ReadAllocation : public ChannelTest {
  protected:
    void SetUp() override {
        if (testutil::kSanitized) {
            GTEST_SKIP() << "the sanitizer's allocator cannot be counted from here";
        }
        ChannelTest::SetUp();
    }

    void TearDown() override {
        if (!IsSkipped()) {
            ChannelTest::TearDown();
        }
    }

    // Allocations made by one read of what the peer sent.
    int allocations_of_read() {
        allocations = 0;
        counting = true;
        ssize_t n = imsg_read(ch());
        counting = false;
        EXPECT_GT(n, 0);
        return allocations;
    }
};

// A descriptor keeps its place until a message claims it; the places are
// the channel's own.
TEST_F(ReadAllocation, ReadsAllocateNothingWithOrWithoutADescriptor) {
    Bytes plain = frame(12, pattern(8, 1));
    Bytes carrying = frame(6, pattern(4, 3), IMSG_FLAG_FD);
    imsg_message msg;
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        Pipe pipe;
        ASSERT_TRUE(send_all(peer(), plain));
        EXPECT_EQ(allocations_of_read(), 0);
        ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(plain.size()));
        imsg_release(&msg);

        ASSERT_TRUE(send_all(peer(), carrying, std::array{pipe.read_end()}));
        EXPECT_EQ(allocations_of_read(), 0);
        ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(carrying.size()));
        imsg_release(&msg);
        ASSERT_NE(msg.fd, -1);
        EXPECT_TRUE(same_file(msg.fd, pipe.read_end()));
        close(msg.fd);
    }
}

// The places are a fixed ring: a user that lets them all fill loses the
// oldest waiting descriptor to the next read, which still allocates
// nothing, and the rest reach their messages in order.
TEST_F(ReadAllocation, ADescriptorBeyondThePlacesShedsTheOldestAndAllocatesNothing) {
    Bytes carrying = frame(6, pattern(4, 3), IMSG_FLAG_FD);
    std::vector<std::unique_ptr<Pipe>> pipes;
    for (size_t i = 0; i <= IMSG_FD_PLACES; i++) {
        SCOPED_TRACE(i);
        pipes.push_back(std::make_unique<Pipe>());
        ASSERT_TRUE(send_all(peer(), carrying, std::array{pipes.back()->read_end()}));
        EXPECT_EQ(allocations_of_read(), 0);
    }
    EXPECT_EQ(imsg_fds_waiting(ch()), IMSG_FD_PLACES);
    EXPECT_EQ(imsg_take_losses(ch()).closed_waiting, 1u);
    imsg_message msg;
    for (size_t i = 1; i < pipes.size(); i++) {
        ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(carrying.size()));
        ASSERT_NE(msg.fd, -1);
        EXPECT_TRUE(same_file(msg.fd, pipes[i]->read_end())) << i;
        close(msg.fd);
    }
    ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(carrying.size()));
    EXPECT_EQ(msg.fd, -1) << "the first descriptor went";
    EXPECT_EQ(imsg_get(ch(), &msg), 0);
}

// The loop's path: a request taken and a reply sent, whole or built, cost
// no allocation once the channel is set up.
TEST_F(ReadAllocation, ARequestAndItsReplyAllocateNothing) {
    Bytes request = frame(12, pattern(8, 4));
    Bytes answer = pattern(512, 5);
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(send_all(peer(), request));
        EXPECT_EQ(allocations_of_read(), 0);
        imsg_message msg;
        allocations = 0;
        counting = true;
        ssize_t got = imsg_get(ch(), &msg);
        int queued = imsg_send(ch(), 0, 0, 0, -1, answer.data(), 512);
        int flushed = imsg_write_all(ch());
        frame_buf *built = imsg_create(ch(), 0, 0, 0, 1024);
        int added = built != nullptr ? imsg_add(built, answer.data(), 100) : -1;
        if (built != nullptr) {
            imsg_seal(ch(), built);
        }
        int flushed_again = imsg_write_all(ch());
        counting = false;
        EXPECT_EQ(allocations, 0);
        EXPECT_EQ(got, static_cast<ssize_t>(request.size()));
        EXPECT_EQ(queued, 1);
        EXPECT_EQ(flushed, 0);
        EXPECT_EQ(added, 100);
        EXPECT_EQ(flushed_again, 0);
        Received r = drain(peer());
        EXPECT_EQ(r.bytes.size(), 2 * IMSG_HDR_LEN + 512 + 100);
    }
}

}  // namespace
}  // namespace channeltest
