#include "support/dict.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/address_space.h"
#include "common/child.h"

namespace {

using testutil::run_in_child;
using Model = std::map<std::string, void *>;
using Entries = std::vector<std::pair<std::string, void *>>;

void *val(uintptr_t v) {
    return reinterpret_cast<void *>(v);
}

// The entries in link order, read without splaying; also checks that each
// key points into its own node.
void in_order(const dict_node *n, Entries &out) {
    if (n == nullptr) {
        return;
    }
    in_order(SPLAY_LEFT(n, entry), out);
    EXPECT_EQ(n->key, n->key_chars);
    out.emplace_back(n->key, n->value);
    in_order(SPLAY_RIGHT(n, entry), out);
}

void expect_matches(const dict &d, const Model &m) {
    Entries got;
    in_order(SPLAY_ROOT(&d.root), got);
    EXPECT_EQ(got, Entries(m.begin(), m.end()));
    EXPECT_EQ(d.count, m.size());
}

Entries walk_from(dict *d, const char *start) {
    Entries out;
    void *iter = nullptr;
    const char *k;
    void *v;
    while (dict_next_from(d, &iter, start, &k, &v)) {
        out.emplace_back(k, v);
    }
    return out;
}

void drain(dict *d) {
    while (dict_take_root(d, nullptr)) {
    }
}

// std::string orders by char_traits<char>, which compares bytes as
// unsigned, as strcmp does; the pool mixes high bytes, prefixes and "".
std::vector<std::string> key_pool() {
    return {"", "a", "ab", "abc", "b", "\x7f", "\x80", "\xff", "a\x80", "a\x7f", "queue", "Queue"};
}

TEST(Dict, EveryOperationAgreesWithMapModel) {
    std::mt19937 rng(99);
    auto pool = key_pool();
    dict d{};
    Model m;
    for (int step = 0; step < 20000 && !HasFailure(); step++) {
        // A fresh buffer per call: the dict must not keep the caller's key.
        std::string key = pool[rng() % pool.size()];
        const char *k = key.c_str();
        void *v = (rng() % 8 == 0) ? nullptr : val(rng() | 1);
        bool present = m.count(key) != 0;
        void *old = present ? m[key] : nullptr;
        int op = static_cast<int>(rng() % 11);
        SCOPED_TRACE("op " + std::to_string(op) + " step " + std::to_string(step));
        switch (op) {
            case 0:
                EXPECT_EQ(dict_contains(&d, k), present);
                break;
            case 1:
                EXPECT_EQ(dict_lookup(&d, k), old);
                break;
            case 2:
                if (present) {
                    EXPECT_EQ(dict_xget(&d, k), old);
                }
                break;
            case 3:
                EXPECT_EQ(dict_set(&d, k, v), old);
                m[key] = v;
                break;
            case 4:
                if (!present) {
                    dict_xset(&d, k, v);
                    m[key] = v;
                }
                break;
            case 5:
                EXPECT_EQ(dict_remove(&d, k), old);
                m.erase(key);
                break;
            case 6:
                if (present) {
                    EXPECT_EQ(dict_xpop(&d, k), old);
                    m.erase(key);
                }
                break;
            case 7: {
                const char *rk = nullptr;
                void *rv = nullptr;
                ASSERT_EQ(dict_peek_root(&d, &rk, &rv), !m.empty());
                if (rk != nullptr) {
                    std::string root_key = rk;
                    ASSERT_TRUE(m.count(root_key));
                    EXPECT_EQ(dict_take_root(&d, &rv), 1);
                    EXPECT_EQ(rv, m[root_key]);
                    m.erase(root_key);
                }
                break;
            }
            case 8:
                EXPECT_EQ(walk_from(&d, nullptr), Entries(m.begin(), m.end()));
                break;
            default:
                EXPECT_EQ(walk_from(&d, k), Entries(m.lower_bound(key), m.end()));
                break;
        }
        expect_matches(d, m);
    }
    drain(&d);
}

TEST(Dict, EmptyDictReportsAbsenceQuietly) {
    dict d{};
    const char *k = "x";
    void *v = val(1);
    void *iter = nullptr;
    EXPECT_EQ(dict_contains(&d, ""), 0);
    EXPECT_EQ(dict_lookup(&d, "a"), nullptr);
    EXPECT_EQ(dict_remove(&d, "a"), nullptr);
    EXPECT_EQ(dict_take_root(&d, &v), 0);
    EXPECT_EQ(dict_peek_root(&d, &k, &v), 0);
    EXPECT_EQ(dict_next(&d, &iter, &k, &v), 0);
    EXPECT_EQ(dict_next_from(&d, &iter, "a", &k, &v), 0);
    EXPECT_EQ(iter, nullptr);
    EXPECT_STREQ(k, "x");
    EXPECT_EQ(d.count, 0u);
}

TEST(Dict, KeyIsCopiedOnceAndCallerBufferIsFree) {
    dict d{};
    char buf[16];
    snprintf(buf, sizeof buf, "alpha");
    EXPECT_EQ(dict_set(&d, buf, val(1)), nullptr);
    const char *first_copy = nullptr;
    ASSERT_EQ(dict_peek_root(&d, &first_copy, nullptr), 1);
    EXPECT_NE(first_copy, buf);
    snprintf(buf, sizeof buf, "omega");
    EXPECT_EQ(dict_lookup(&d, "alpha"), val(1));
    EXPECT_EQ(dict_contains(&d, "omega"), 0);

    // Replacing keeps the first copy and the count.
    snprintf(buf, sizeof buf, "alpha");
    EXPECT_EQ(dict_set(&d, buf, nullptr), val(1));
    const char *k = nullptr;
    ASSERT_EQ(dict_peek_root(&d, &k, nullptr), 1);
    EXPECT_EQ(k, first_copy);
    EXPECT_EQ(d.count, 1u);
    // A null value is present for contains and absent for lookup.
    EXPECT_EQ(dict_contains(&d, "alpha"), 1);
    EXPECT_EQ(dict_lookup(&d, "alpha"), nullptr);
    drain(&d);
}

TEST(Dict, OrderIsUnsignedBytesWithEmptyKeyFirst) {
    dict d{};
    for (const char *k : {"a\xff", "a\x80", "a\x7f", "a", "", "\xc3\xa9"}) {
        dict_xset(&d, k, nullptr);
    }
    Entries want = {{"", nullptr},      {"a", nullptr},     {"a\x7f", nullptr},
                    {"a\x80", nullptr}, {"a\xff", nullptr}, {"\xc3\xa9", nullptr}};
    EXPECT_EQ(walk_from(&d, nullptr), want);
    drain(&d);
}

TEST(Dict, NextFromStartsAtSmallestKeyNotBelowStart) {
    dict d{};
    Model m = {{"b", val(1)}, {"d", val(2)}, {"f", val(3)}};
    for (auto &[k, v] : m) {
        dict_xset(&d, k.c_str(), v);
    }
    struct Case {
        const char *start;
        Entries want;
    };
    const Case cases[] = {
        {nullptr, {{"b", val(1)}, {"d", val(2)}, {"f", val(3)}}},
        {"", {{"b", val(1)}, {"d", val(2)}, {"f", val(3)}}},
        {"c", {{"d", val(2)}, {"f", val(3)}}},  // between keys
        {"d", {{"d", val(2)}, {"f", val(3)}}},  // on a key
        {"f\x01", {}},                          // above every key
        {"zzz", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.start ? c.start : "(null)");
        EXPECT_EQ(walk_from(&d, c.start), c.want);
        expect_matches(d, m);
    }
    drain(&d);
}

TEST(Dict, MergeMovesNodesAndEmptiesSource) {
    dict dst{}, src{};
    Model m;
    for (int i = 0; i < 60; i++) {
        std::string k = "key" + std::to_string(i);
        dict_xset(i % 2 ? &dst : &src, k.c_str(), val(i + 1));
        m[k] = val(i + 1);
    }
    const char *moved = nullptr;
    ASSERT_EQ(dict_peek_root(&src, &moved, nullptr), 1);
    dict_merge(&dst, &src);
    expect_matches(dst, m);
    EXPECT_EQ(SPLAY_ROOT(&src.root), nullptr);
    EXPECT_EQ(src.count, 0u);
    // The node itself moved, so its key copy did not change address.
    void *iter = nullptr;
    const char *k = nullptr;
    ASSERT_EQ(dict_next_from(&dst, &iter, moved, &k, nullptr), 1);
    EXPECT_EQ(k, moved);
    drain(&dst);
}

TEST(Dict, FatalConditionsNameTheDictAndKey) {
    static dict d{};
    dict_xset(&d, "here", val(1));
    char addr[32];
    snprintf(addr, sizeof addr, "%p", static_cast<void *>(&d));
    struct Case {
        void (*call)();
        std::string want;
    };
    const Case cases[] = {
        {[] { dict_xset(&d, "here", nullptr); }, std::string("dict_xset(") + addr + ", here)"},
        {[] { dict_xget(&d, "gone"); }, std::string("dict_xget(") + addr + ", gone)"},
        {[] { dict_xpop(&d, ""); }, std::string("dict_xpop(") + addr + ", )"},
        {[] {
             dict src{};
             dict_xset(&src, "there", nullptr);
             dict_xset(&src, "here", nullptr);
             dict_merge(&d, &src);
         },
         "dict_merge: duplicate"},
    };
    for (const Case &c : cases) {
        auto r = run_in_child([&] {
            c.call();
            return 0;
        });
        EXPECT_EQ(r.exit_code(), 1) << c.want;
        EXPECT_EQ(r.err, "dict_test: " + c.want + "\n");
    }
    EXPECT_EQ(d.count, 1u);
    drain(&d);
}

// A key larger than the address space left makes the node allocation fail.
TEST(Dict, AllocationFailureIsFatalWithErrnoText) {
    if (testutil::kSanitized) {
        GTEST_SKIP() << testutil::kSanitizerLimitSkip;
    }
    const std::pair<const char *, void (*)(dict *, const char *)> cases[] = {
        {"dict_set", [](dict *d, const char *k) { dict_set(d, k, nullptr); }},
        {"dict_xset", [](dict *d, const char *k) { dict_xset(d, k, nullptr); }},
    };
    for (const auto &c : cases) {
        auto insert = c.second;
        auto r = run_in_child([insert] {
            std::string big(32u << 20, 'k');
            if (!testutil::limit_address_space(8u << 20)) {
                return 2;
            }
            dict d{};
            insert(&d, big.c_str());
            return 0;
        });
        EXPECT_EQ(r.exit_code(), 1) << c.first;
        EXPECT_EQ(r.err,
                  std::string("dict_test: ") + c.first + ": malloc: Cannot allocate memory\n");
    }
}

}  // namespace
