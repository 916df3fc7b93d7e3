// The built backend against a model of the store over a long random run:
// every reply, every opened content and every log line is compared, and at
// the end the backend holds exactly the descriptors it started with.
//
//   MEMQ_MODEL_OPS=100000   the number of operations (default 10000)
//   MEMQ_MODEL_SEED=N       replays a run; the seed is printed either way
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "reliability/session.h"

namespace {

using reliability::Op;
using reliability::Verdict;
using wire::Bytes;

unsigned long long env_number(const char *name, unsigned long long fallback) {
    const char *v = getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

class RandomRun {
  public:
    RandomRun(uint64_t seed, const reliability::Model &model) : gen_(seed), model_(model) {}

    Op next() {
        Op op;
        unsigned pick = below(100);
        if (pick < 10) {
            op.type = QUEUE_MESSAGE_NEW;
        } else if (pick < 22) {
            op.type = QUEUE_MESSAGE_STORE;
            op.msgid = msgid();
            op.data = content();
        } else if (pick < 32) {
            op.type = QUEUE_MESSAGE_OPEN;
            op.msgid = msgid();
        } else if (pick < 36) {
            op.type = below(2) == 0 ? QUEUE_MESSAGE_REMOVE : QUEUE_MESSAGE_MARK;
            op.msgid = msgid();
        } else if (pick < 54) {
            op.type = QUEUE_ENVELOPE_NEW;
            op.msgid = msgid();
            op.data = envelope();
        } else if (pick < 66) {
            op.type = QUEUE_ENVELOPE_REMOVE;
            op.evpid = evpid();
        } else if (pick < 80) {
            op.type = QUEUE_ENVELOPE_READ;
            op.evpid = evpid();
        } else if (pick < 92) {
            op.type = QUEUE_ENVELOPE_REPLACE;
            op.evpid = evpid();
            op.data = envelope();
        } else {
            static constexpr uint32_t others[] = {QUEUE_HELLO, QUEUE_FINISH, QUEUE_MESSAGE_UNMARK,
                                                  QUEUE_ENVELOPE_ITERATE, QUEUE_MESSAGE_ITERATE};
            op.type = others[below(5)];
            op.msgid = msgid();
        }
        return op;
    }

  private:
    unsigned below(unsigned n) { return static_cast<unsigned>(gen_() % n); }

    // A stored message most of the time, else an id nobody drew.
    uint32_t msgid() {
        if (model_.messages().empty() || below(8) == 0) {
            return static_cast<uint32_t>(gen_());
        }
        auto it = model_.messages().begin();
        std::advance(it, below(static_cast<unsigned>(model_.messages().size())));
        return it->first;
    }

    // An envelope of a stored message, an absent envelope of one, or an id
    // whose message does not exist.
    uint64_t evpid() {
        std::vector<uint64_t> all;
        for (const auto &[id, msg] : model_.messages()) {
            for (const auto &[e, data] : msg.envelopes) {
                all.push_back(e);
            }
        }
        unsigned pick = below(10);
        if (!all.empty() && pick < 7) {
            return all[below(static_cast<unsigned>(all.size()))];
        }
        if (pick < 9) {
            return (static_cast<uint64_t>(msgid()) << 32) | static_cast<uint32_t>(gen_());
        }
        return gen_();
    }

    // n bytes of a stream the run's generator picks.
    Bytes fill(size_t n) { return wire::pattern(n, gen_()); }

    // Mostly small contents, some across the copy's 8192-byte blocks, a few
    // of up to 1 MiB.
    Bytes content() {
        unsigned pick = below(100);
        if (pick < 70) {
            return fill(below(300));
        }
        if (pick < 96) {
            return fill(below(40000));
        }
        return fill(below((1u << 20) + 1));
    }

    // Up to the 8192 bytes that can be read back, and now and then longer.
    Bytes envelope() {
        unsigned pick = below(100);
        if (pick < 80) {
            return fill(below(200));
        }
        if (pick < 97) {
            return fill(below(QUEUE_ENVELOPE_BUF + 1));
        }
        return fill(QUEUE_ENVELOPE_BUF + 1 + below(16360 - QUEUE_ENVELOPE_BUF));
    }

    std::mt19937_64 gen_;
    const reliability::Model &model_;
};

TEST(ModelRun, EveryReplyAndContentMatchesTheModelAndNoDescriptorLeaks) {
    std::string why = testutil::prepare_defaults();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    uint64_t seed = env_number("MEMQ_MODEL_SEED", std::random_device{}());
    uint64_t ops = env_number("MEMQ_MODEL_OPS", 10000);
    std::printf("model run: seed %llu, %llu operations (MEMQ_MODEL_SEED=%llu replays it)\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(ops),
                static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    RecordProperty("seed", std::to_string(seed));

    peer::Backend backend;
    ASSERT_TRUE(testutil::start_backend(backend));
    ASSERT_TRUE(reliability::call(backend, {QUEUE_HELLO}).has_value());
    int start_fds = backend.fd_count();
    ASSERT_GT(start_fds, 0);

    reliability::Model model;
    RandomRun run(seed, model);
    uint64_t opened = 0;
    for (uint64_t i = 0; i < ops; ++i) {
        Op op = run.next();
        std::optional<peer::Reply> reply = reliability::call(backend, op);
        ASSERT_TRUE(reply.has_value())
            << "seed " << seed << ", operation " << i << ", type " << op.type << ": no reply\n"
            << reliability::joined(reliability::new_lines(backend));
        opened += reply->fd.valid() ? 1 : 0;
        std::vector<std::string> want;
        std::string why_wrong;
        Verdict v = model.check(op, *reply, want, why_wrong);
        ASSERT_EQ(v, Verdict::exact)
            << "seed " << seed << ", operation " << i << ", type " << op.type << ": " << why_wrong;
        std::vector<std::string> lines = reliability::new_lines(backend);
        ASSERT_TRUE(reliability::lines_match(lines, want))
            << "seed " << seed << ", operation " << i << ", type " << op.type << " logged\n"
            << reliability::joined(lines) << "instead of\n"
            << reliability::joined(want);
    }

    // The last reply's descriptor is closed once it has gone; one more
    // round trip lets the backend get that far.
    ASSERT_TRUE(reliability::call(backend, {QUEUE_HELLO}).has_value());
    EXPECT_EQ(backend.fd_count(), start_fds) << "seed " << seed;
    int status = backend.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> tail = reliability::new_lines(backend);
    EXPECT_TRUE(tail.size() == 1 && tail[0] == "warn: queue-api: pipe closed")
        << reliability::joined(tail);
    std::printf("model run: %llu operations compared, %llu contents opened, %zu messages left\n",
                static_cast<unsigned long long>(ops), static_cast<unsigned long long>(opened),
                model.messages().size());
}

}  // namespace
