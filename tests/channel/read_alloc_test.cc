// How often a read goes to the allocator. This binary counts calls to
// malloc and calloc by standing in for both, so it keeps to itself: the
// sanitizers bring their own allocator, and there the count is skipped.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "channel/peer.h"
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

TEST_F(ReadAllocation, ReadsThatBringNoDescriptorAllocateNothingAfterTheFirst) {
    Bytes wire = frame(12, 0, pattern(8, 1));
    imsg_message msg;
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(send_raw(peer(), wire));
        int n = allocations_of_read();
        if (i > 0) {
            EXPECT_EQ(n, 0) << "read " << i;
        }
        ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(wire.size()));
        imsg_release(&msg);
    }
}

// The place a descriptor took is made anew by the next read, and the
// descriptor still reaches its message.
TEST_F(ReadAllocation, AReadAfterADescriptorArrivedAllocatesOnePlace) {
    Bytes plain = frame(12, 0, pattern(8, 2));
    Bytes carrying = frame(6, IMSG_FLAG_FD, pattern(4, 3));
    Pipe pipe;
    imsg_message msg;

    ASSERT_TRUE(send_raw(peer(), plain));
    allocations_of_read();
    ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(plain.size()));
    imsg_release(&msg);

    ASSERT_TRUE(send_raw(peer(), carrying, {pipe.read_end()}));
    EXPECT_EQ(allocations_of_read(), 0) << "the spare place holds the descriptor";
    ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(carrying.size()));
    imsg_release(&msg);
    ASSERT_NE(msg.fd, -1);
    EXPECT_TRUE(same_file(msg.fd, pipe.read_end()));
    close(msg.fd);

    ASSERT_TRUE(send_raw(peer(), plain));
    EXPECT_EQ(allocations_of_read(), 1);
    ASSERT_EQ(imsg_get(ch(), &msg), static_cast<ssize_t>(plain.size()));
    imsg_release(&msg);
}

}  // namespace
}  // namespace channeltest
