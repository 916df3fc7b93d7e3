#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/address_space.h"
#include "common/child.h"
#include "log/log.h"
#include "support/text.h"
#include "support/xalloc.h"

// Under AddressSanitizer an impossible allocation must come back as null,
// as it does from the system allocator, rather than stop the test.
extern "C" __attribute__((used)) const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

using testutil::run_in_child;

using testutil::log_line;
using testutil::without_sanitizer_notes;

// Each helper gives a block of its own, at least as large as asked and
// freeable by the caller, holding what it promises.
TEST(Xalloc, BlocksAreLargeEnoughFilledAsPromisedAndOwnedByCaller) {
    auto *m = static_cast<char *>(malloc_or_die(10, "test"));
    auto *z = static_cast<unsigned char *>(calloc_or_die(4, 8, "test"));
    char *s = strdup_or_die("queue", "test");
    auto *d = static_cast<char *>(memdup_or_die("a\0b", 3, "test"));
    // An empty copy of nothing is a valid block, not a null source copied.
    void *nothing = memdup_or_die(nullptr, 0, "test");
    ASSERT_NE(nothing, nullptr);

    EXPECT_GE(malloc_usable_size(m), 10u);
    EXPECT_GE(malloc_usable_size(z), 32u);
    EXPECT_GE(malloc_usable_size(s), 6u);
    EXPECT_GE(malloc_usable_size(d), 3u);
    for (int i = 0; i < 32; i++) {
        EXPECT_EQ(z[i], 0) << i;
    }
    EXPECT_STREQ(s, "queue");
    EXPECT_EQ(std::string(d, 3), std::string("a\0b", 3));
    const void *blocks[] = {m, z, s, d, nothing};
    std::set<const void *> distinct(std::begin(blocks), std::end(blocks));
    EXPECT_EQ(distinct.size(), std::size(blocks));
    free(nothing);
    free(m);
    free(z);
    free(s);
    free(d);
}

TEST(Xalloc, FailureLogsTheCallThenExitsWithStatusOne) {
    static const char TEXT[] = "some text";
    char addr[32];
    snprintf(addr, sizeof addr, "%p", static_cast<const void *>(TEXT));
    constexpr size_t HUGE_SIZE = SIZE_MAX / 2;
    struct Case {
        std::function<void()> call;
        std::string warning;
        bool needs_limit;
    };
    const Case cases[] = {
        {[] { malloc_or_die(HUGE_SIZE, "site-m"); },
         "site-m: malloc(" + std::to_string(HUGE_SIZE) + ")", false},
        {[] { calloc_or_die(HUGE_SIZE, 4, "site-c"); },
         "site-c: calloc(" + std::to_string(HUGE_SIZE) + ", 4)", false},
        {[] { memdup_or_die(TEXT, HUGE_SIZE, "site-d"); },
         "site-d: malloc(" + std::to_string(HUGE_SIZE) + ")", false},
        // A short string cannot be made too large, so the address space is
        // used up first instead.
        {[] {
             // The volatile store keeps the compiler from eliding the calls.
             static void *volatile block;
             for (size_t n = 1u << 16; n > 0; n /= 2) {
                 do {
                     block = malloc(n);
                 } while (block != nullptr);
             }
             strdup_or_die(TEXT, "site-s");
         },
         std::string("site-s: strdup(") + addr + ")", true},
    };
    for (const Case &c : cases) {
        if (c.needs_limit && testutil::kSanitized) {
            continue;
        }
        auto r = run_in_child([&] {
            log_open(1);
            if (c.needs_limit && !testutil::limit_address_space(4u << 20)) {
                return 2;
            }
            c.call();
            return 0;
        });
        EXPECT_EQ(r.exit_code(), 1) << c.warning;
        EXPECT_EQ(without_sanitizer_notes(r.err),
                  log_line(r.pid, c.warning) + log_line(r.pid, "fatal: exiting"));
    }
}

TEST(Text, TrimSpaceCutsBothEndsInPlace) {
    struct Case {
        const char *in;
        const char *want;
    };
    const Case cases[] = {
        {"  a b  ", "a b"},         {"", ""}, {" \t\r\n\v\f", ""}, {"x", "x"}, {"\tx\n", "x"},
        {"\xa0x\xa0", "\xa0x\xa0"},  // not white space in the C locale
    };
    for (const Case &c : cases) {
        std::string buf(c.in, strlen(c.in) + 1);
        char *got = trim_space(buf.data());
        EXPECT_STREQ(got, c.want) << '"' << c.in << '"';
        EXPECT_GE(got, buf.data());
    }
    char s[] = "  a b  ";
    char *p = trim_space(s);
    EXPECT_EQ(p, s + 2);
    EXPECT_EQ(std::string(s, sizeof s), std::string("  a b\0\0\0", 8));
}

TEST(Text, CopyLowerOnlyWhenWholeSourceFits) {
    struct Case {
        const char *src;
        size_t size;
        int ret;
        const char *want;
    };
    const Case cases[] = {
        {"ABC", 4, 1, "abc"},
        {"ABCD", 4, 0, "ABC"},
        {"", 1, 1, ""},
        {"MiXeD-1\xc9", 16, 1, "mixed-1\xc9"},  // high bytes stay in the C locale
    };
    for (const Case &c : cases) {
        char dst[16];
        memset(dst, 'Z', sizeof dst);
        EXPECT_EQ(copy_lower(dst, c.src, c.size), c.ret) << c.src;
        EXPECT_STREQ(dst, c.want) << c.src;
    }
    char untouched[2] = {'Q', 'Q'};
    EXPECT_EQ(copy_lower(untouched, "a", 0), 0);
    EXPECT_EQ(untouched[0], 'Q');
}

}  // namespace
