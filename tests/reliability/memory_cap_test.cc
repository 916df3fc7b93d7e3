// The backend under a data limit, as an operator caps its memory: filled
// with contents, then envelopes, then bare messages, each until the limit
// refuses them. Memory running out must be a cap and not a cliff: every
// refused request is answered with its failure result and its warning, the
// backend goes on serving, every byte it accepted reads back, stores succeed
// again once messages are removed, and the session ends with status 0.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/address_space.h"
#include "reliability/session.h"

namespace {

using reliability::Op;
using reliability::Verdict;
using wire::Bytes;
using wire::pattern;

constexpr const char *PRLIMIT = "/usr/bin/prlimit";
constexpr size_t DATA_LIMIT = 48u << 20;

// What a refusal for lack of memory may log; a warning whose error text
// could not be joined to it comes as two lines, which the session rejoins.
const char *const refusal_lines[] = {
    "warn: malloc: Cannot allocate memory",
    "warn: calloc: Cannot allocate memory",
    "warn: fopen: \"/tmp/message.*",
    "warn: fdopen: Cannot allocate memory",
};

class MemoryCap : public ::testing::Test {
  protected:
    void SetUp() override {
        if (testutil::kSanitized) {
            GTEST_SKIP() << testutil::kSanitizerLimitSkip;
        }
        if (access(PRLIMIT, X_OK) != 0) {
            GTEST_SKIP() << PRLIMIT << " is not installed";
        }
        std::string why = testutil::prepare_defaults();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(
            testutil::start_backend(backend_, {PRLIMIT, "--data=" + std::to_string(DATA_LIMIT)}));
    }

    // One request, checked against the model: true when it succeeded,
    // false when it was refused for lack of memory. Anything else, and any
    // reply missing, fails the test.
    bool step(const Op &op) {
        std::optional<peer::Reply> reply = reliability::call(backend_, op);
        std::vector<std::string> lines = reliability::new_lines(backend_);
        if (!reply) {
            ADD_FAILURE() << "the backend ended at request type " << op.type << " after "
                          << requests_ << " requests\n"
                          << reliability::joined(lines)
                          << reliability::joined(reliability::new_lines(backend_));
            ended_ = true;
            return false;
        }
        ++requests_;
        std::vector<std::string> want;
        std::string why;
        Verdict v = model_.check(op, *reply, want, why);
        if (v == Verdict::wrong) {
            ADD_FAILURE() << "wrong reply to type " << op.type << ": " << why;
            return false;
        }
        if (v == Verdict::exact) {
            EXPECT_TRUE(reliability::lines_match(lines, want)) << "type " << op.type << " logged\n"
                                                               << reliability::joined(lines);
            return true;
        }
        for (const std::string &line : lines) {
            bool known =
                std::any_of(std::begin(refusal_lines), std::end(refusal_lines),
                            [&](const char *w) { return reliability::line_matches(line, w); });
            EXPECT_TRUE(known) << "type " << op.type << " was refused with: " << line;
        }
        return false;
    }

    // Repeats make(i) until `wanted` requests were refused, or `most` were
    // made; the number refused.
    template <class Make>
    int until_refused(int wanted, int most, Make make) {
        int refused = 0;
        for (int i = 0; i < most && refused < wanted && !ended_; ++i) {
            if (!step(make(i))) {
                ++refused;
            }
        }
        return refused;
    }

    uint32_t new_message() { return step({QUEUE_MESSAGE_NEW}) ? newest_message() : 0; }

    // The msgid that the last successful QUEUE_MESSAGE_NEW filed.
    uint32_t newest_message() {
        for (const auto &[id, msg] : model_.messages()) {
            if (std::find(known_.begin(), known_.end(), id) == known_.end()) {
                known_.push_back(id);
                return id;
            }
        }
        return 0;
    }

    std::vector<uint32_t> with_content() const {
        std::vector<uint32_t> out;
        for (const auto &[id, msg] : model_.messages()) {
            if (!msg.content.empty()) {
                out.push_back(id);
            }
        }
        return out;
    }

    peer::Backend backend_;
    reliability::Model model_;
    std::vector<uint32_t> known_;
    size_t requests_ = 0;
    bool ended_ = false;
};

TEST_F(MemoryCap, RefusalsUnderADataLimitLoseNothingAndTheBackendServesOn) {
    ASSERT_TRUE(step({QUEUE_HELLO}));

    // Contents of a few sizes, each in a message of its own.
    const size_t sizes[] = {1u << 20, 256u << 10, 64u << 10};
    int refused_stores = until_refused(4, 400, [&](int i) {
        uint32_t id = new_message();
        return Op(QUEUE_MESSAGE_STORE, id, 0, pattern(sizes[i % 3], static_cast<uint32_t>(i)));
    });
    ASSERT_FALSE(ended_);
    ASSERT_GT(refused_stores, 0) << "the limit never refused a store";
    std::vector<uint32_t> stored = with_content();
    ASSERT_FALSE(stored.empty());

    // Envelopes on the stored messages, large and then small, so that the
    // small allocations run out too.
    int refused_envelopes = 0;
    for (size_t size : {size_t{8192}, size_t{1000}, size_t{40}}) {
        refused_envelopes += until_refused(3, 200000, [&](int i) {
            uint32_t id = stored[static_cast<size_t>(i) % stored.size()];
            return Op(QUEUE_ENVELOPE_NEW, id, 0, pattern(size, static_cast<uint32_t>(i) + 7));
        });
        ASSERT_FALSE(ended_);
    }
    ASSERT_GT(refused_envelopes, 0) << "the limit never refused an envelope";

    // Bare messages, the smallest allocations there are.
    int refused_messages = until_refused(3, 200000, [&](int) { return Op(QUEUE_MESSAGE_NEW); });
    ASSERT_FALSE(ended_);
    ASSERT_GT(refused_messages, 0) << "the limit never refused a message";

    // At the cap, the backend still answers, and every envelope reads back
    // whole: a read needs no memory of its own.
    ASSERT_TRUE(step({QUEUE_HELLO}));
    size_t envelopes = 0;
    for (const auto &[id, msg] : model_.messages()) {
        for (const auto &[evpid, data] : msg.envelopes) {
            ASSERT_TRUE(step({QUEUE_ENVELOPE_READ, 0, evpid})) << "envelope " << evpid;
            ++envelopes;
        }
    }
    std::printf(
        "under %zu MiB: %zu contents (%d stores refused), %zu envelopes (%d refused), "
        "%zu messages (%d new refused), %zu requests\n",
        DATA_LIMIT >> 20, stored.size(), refused_stores, envelopes, refused_envelopes,
        model_.messages().size(), refused_messages, requests_);

    // Every content reads back. An open needs a little memory; what the
    // removal of a bare message frees makes room for it.
    std::vector<uint32_t> bare;
    for (const auto &[id, msg] : model_.messages()) {
        if (msg.content.empty() && msg.envelopes.empty()) {
            bare.push_back(id);
        }
    }
    for (uint32_t id : stored) {
        while (!step({QUEUE_MESSAGE_OPEN, id})) {
            ASSERT_FALSE(ended_);
            ASSERT_FALSE(bare.empty()) << "no memory to open message " << id;
            ASSERT_TRUE(step({QUEUE_MESSAGE_REMOVE, bare.back()}));
            bare.pop_back();
        }
        // Read back, it may go: the next open finds its memory free.
        ASSERT_TRUE(step({QUEUE_MESSAGE_REMOVE, id}));
    }

    // With the queue emptied, a store of the largest size succeeds again.
    for (uint32_t id : bare) {
        ASSERT_TRUE(step({QUEUE_MESSAGE_REMOVE, id}));
    }
    ASSERT_TRUE(model_.messages().empty());
    uint32_t again = new_message();
    ASSERT_NE(again, 0u);
    ASSERT_TRUE(step({QUEUE_MESSAGE_STORE, again, 0, pattern(sizes[0], 99)}));
    ASSERT_TRUE(step({QUEUE_MESSAGE_OPEN, again}));

    int status = backend_.stop();
    std::vector<std::string> lines = reliability::new_lines(backend_);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_EQ(lines, std::vector<std::string>{"warn: queue-api: pipe closed"});
}

}  // namespace
