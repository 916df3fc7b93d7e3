#include "store/tree.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
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

constexpr uint64_t TOP = UINT64_MAX;
constexpr uint64_t HALF = uint64_t{1} << 63;

using Model = std::map<uint64_t, void *>;

void *val(uintptr_t v) {
    return reinterpret_cast<void *>(v);
}

// The entries in the order of the links, read without splaying.
void in_order(const tree_node *n, std::vector<std::pair<uint64_t, void *>> &out) {
    if (n == nullptr) {
        return;
    }
    in_order(SPLAY_LEFT(n, entry), out);
    out.emplace_back(n->key, n->value);
    in_order(SPLAY_RIGHT(n, entry), out);
}

// Pre-order keys with a marker for every null link: equal strings mean
// equal shapes.
void shape_of(const tree_node *n, std::string &out) {
    if (n == nullptr) {
        out += ". ";
        return;
    }
    out += std::to_string(n->key) + " ";
    shape_of(SPLAY_LEFT(n, entry), out);
    shape_of(SPLAY_RIGHT(n, entry), out);
}

std::string shape(const tree &t) {
    std::string s;
    shape_of(SPLAY_ROOT(&t.root), s);
    return s;
}

// The links are a search tree holding exactly the model's entries, and the
// count agrees.
void expect_matches(const tree &t, const Model &m) {
    std::vector<std::pair<uint64_t, void *>> got;
    in_order(SPLAY_ROOT(&t.root), got);
    std::vector<std::pair<uint64_t, void *>> want(m.begin(), m.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(t.count, m.size());
}

std::vector<std::pair<uint64_t, void *>> walk(tree *t) {
    std::vector<std::pair<uint64_t, void *>> out;
    void *iter = nullptr;
    uint64_t k;
    void *v;
    while (tree_next(t, &iter, &k, &v)) {
        out.emplace_back(k, v);
    }
    return out;
}

void drain(tree *t) {
    while (tree_take_root(t, nullptr, nullptr)) {
    }
}

// One row per operation: each applies itself to the tree and the model and
// checks the tree's answer against the model's. The fatal variants are only
// called where their precondition holds; their failures are tested below.
struct Op {
    const char *name;
    std::function<void(tree *, Model &, uint64_t, void *)> run;
};

const std::vector<Op> OPS = {
    {"contains",
     [](tree *t, Model &m, uint64_t k, void *) { EXPECT_EQ(tree_contains(t, k), m.count(k)); }},
    {"lookup", [](tree *t, Model &m, uint64_t k,
                  void *) { EXPECT_EQ(tree_lookup(t, k), m.count(k) ? m[k] : nullptr); }},
    {"xget",
     [](tree *t, Model &m, uint64_t k, void *) {
         if (m.count(k)) {
             EXPECT_EQ(tree_xget(t, k), m[k]);
         }
     }},
    {"set",
     [](tree *t, Model &m, uint64_t k, void *v) {
         void *old = m.count(k) ? m[k] : nullptr;
         EXPECT_EQ(tree_set(t, k, v), old);
         m[k] = v;
     }},
    {"xset",
     [](tree *t, Model &m, uint64_t k, void *v) {
         if (!m.count(k)) {
             tree_xset(t, k, v);
             m[k] = v;
         }
     }},
    {"xset_node",
     [](tree *t, Model &m, uint64_t k, void *v) {
         if (!m.count(k)) {
             tree_node *n = tree_node_new();
             ASSERT_NE(n, nullptr);
             tree_xset_node(t, n, k, v);
             EXPECT_EQ(tree_lookup(t, k), v);
             m[k] = v;
         }
     }},
    {"remove",
     [](tree *t, Model &m, uint64_t k, void *) {
         void *old = m.count(k) ? m[k] : nullptr;
         EXPECT_EQ(tree_remove(t, k), old);
         m.erase(k);
     }},
    {"xpop",
     [](tree *t, Model &m, uint64_t k, void *) {
         if (m.count(k)) {
             EXPECT_EQ(tree_xpop(t, k), m[k]);
             m.erase(k);
         }
     }},
    {"take_root",
     [](tree *t, Model &m, uint64_t, void *) {
         uint64_t k = 0;
         void *v = nullptr;
         int r = tree_take_root(t, &k, &v);
         EXPECT_EQ(r, !m.empty());
         if (r) {
             ASSERT_TRUE(m.count(k));
             EXPECT_EQ(v, m[k]);
             m.erase(k);
         }
     }},
    {"peek_root",
     [](tree *t, Model &m, uint64_t, void *) {
         std::string before = shape(*t);
         uint64_t k = 0;
         void *v = nullptr;
         int r = tree_peek_root(t, &k, &v);
         EXPECT_EQ(r, !m.empty());
         if (r) {
             ASSERT_TRUE(m.count(k));
             EXPECT_EQ(v, m[k]);
         }
         EXPECT_EQ(shape(*t), before);
     }},
    {"next",
     [](tree *t, Model &m, uint64_t, void *) {
         std::vector<std::pair<uint64_t, void *>> want(m.begin(), m.end());
         EXPECT_EQ(walk(t), want);
     }},
    {"next_from",
     [](tree *t, Model &m, uint64_t k, void *) {
         void *iter = nullptr;
         uint64_t got_k = 0;
         void *got_v = nullptr;
         auto it = m.lower_bound(k);
         EXPECT_EQ(tree_next_from(t, &iter, k, &got_k, &got_v), it != m.end());
         if (it != m.end()) {
             EXPECT_EQ(got_k, it->first);
             EXPECT_EQ(got_v, it->second);
         }
     }},
};

TEST(Tree, EveryOperationAgreesWithMapModel) {
    std::mt19937_64 rng(20240601);
    // A small pool makes hits and misses both common; the extremes are in
    // it so that unsigned ordering is exercised on every run.
    std::vector<uint64_t> pool = {0, 1, HALF - 1, HALF, HALF + 1, TOP - 1, TOP};
    while (pool.size() < 64) {
        pool.push_back(rng());
    }
    tree t{};
    Model m;
    for (int step = 0; step < 20000; step++) {
        const Op &op = OPS[rng() % OPS.size()];
        uint64_t k = pool[rng() % pool.size()];
        void *v = (rng() % 8 == 0) ? nullptr : val(rng() | 1);
        SCOPED_TRACE(std::string(op.name) + " step " + std::to_string(step));
        op.run(&t, m, k, v);
        expect_matches(t, m);
        if (HasFailure()) {
            break;
        }
    }
    drain(&t);
}

TEST(Tree, EmptyTreeReportsAbsenceQuietly) {
    tree t{};
    uint64_t k = 7;
    void *v = val(7);
    void *iter = nullptr;
    EXPECT_EQ(tree_contains(&t, 0), 0);
    EXPECT_EQ(tree_lookup(&t, 0), nullptr);
    EXPECT_EQ(tree_remove(&t, TOP), nullptr);
    EXPECT_EQ(tree_take_root(&t, &k, &v), 0);
    EXPECT_EQ(tree_peek_root(&t, &k, &v), 0);
    EXPECT_EQ(tree_next(&t, &iter, &k, &v), 0);
    EXPECT_EQ(tree_next_from(&t, &iter, 5, &k, &v), 0);
    EXPECT_EQ(iter, nullptr);
    EXPECT_EQ(k, 7u);
    EXPECT_EQ(v, val(7));
    EXPECT_EQ(SPLAY_ROOT(&t.root), nullptr);
    EXPECT_EQ(t.count, 0u);
}

TEST(Tree, NullValueIsPresentForContainsButNotLookup) {
    tree t{};
    EXPECT_EQ(tree_set(&t, 42, nullptr), nullptr);
    EXPECT_EQ(tree_contains(&t, 42), 1);
    EXPECT_EQ(tree_lookup(&t, 42), nullptr);
    EXPECT_EQ(tree_contains(&t, 43), 0);
    EXPECT_EQ(tree_lookup(&t, 43), nullptr);
    EXPECT_EQ(t.count, 1u);
    drain(&t);
}

TEST(Tree, SetReplacesWithoutCounting) {
    tree t{};
    EXPECT_EQ(tree_set(&t, TOP, val(1)), nullptr);
    EXPECT_EQ(tree_set(&t, TOP, val(2)), val(1));
    EXPECT_EQ(t.count, 1u);
    EXPECT_EQ(tree_xget(&t, TOP), val(2));
    drain(&t);
}

TEST(Tree, WalkIsUnsignedOrderAndSeesEntriesInsertedAhead) {
    tree t{};
    for (uint64_t k : {HALF, TOP, uint64_t{0}, HALF - 1, uint64_t{10}, uint64_t{30}}) {
        tree_xset(&t, k, val(k + 1));
    }
    void *iter = nullptr;
    uint64_t k;
    void *v;
    std::vector<uint64_t> seen;
    while (tree_next(&t, &iter, &k, &v)) {
        EXPECT_EQ(v, val(k + 1));
        seen.push_back(k);
        // An entry that lands between the current key and the next one is
        // returned by the next step; one behind the walk is not.
        if (k == 10) {
            tree_xset(&t, 20, val(21));
            tree_xset(&t, 5, val(6));
        }
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{0, 10, 20, 30, HALF - 1, HALF, TOP}));
    EXPECT_EQ(tree_next(&t, &iter, &k, &v), 0);
    EXPECT_EQ(static_cast<tree_node *>(iter)->key, TOP) << "the handle keeps its last value";
    drain(&t);
}

TEST(Tree, NextFromStartsAtSmallestKeyNotBelowStart) {
    tree t{};
    for (uint64_t k : {uint64_t{10}, uint64_t{20}, HALF, TOP - 1}) {
        tree_xset(&t, k, val(k + 1));
    }
    struct Case {
        uint64_t start;
        std::vector<uint64_t> want;
    };
    const Case cases[] = {
        {0, {10, 20, HALF, TOP - 1}},   // 0 means from the smallest key
        {10, {10, 20, HALF, TOP - 1}},  // on a key
        {11, {20, HALF, TOP - 1}},      // between keys
        {HALF - 1, {HALF, TOP - 1}},    // below 2^63 in unsigned order
        {TOP, {}},                      // above every key
    };
    Model model = {{10, val(11)}, {20, val(21)}, {HALF, val(HALF + 1)}, {TOP - 1, val(TOP)}};
    for (const Case &c : cases) {
        SCOPED_TRACE("start " + std::to_string(c.start));
        void *iter = nullptr;
        uint64_t k;
        void *v;
        std::vector<uint64_t> seen;
        if (tree_next_from(&t, &iter, c.start, &k, &v)) {
            seen.push_back(k);
            // Later steps ignore the start key.
            while (tree_next_from(&t, &iter, 0, &k, &v)) {
                seen.push_back(k);
            }
        }
        EXPECT_EQ(seen, c.want);
        expect_matches(t, model);
    }
    drain(&t);
}

TEST(Tree, TakeRootDrainsEveryEntryOnce) {
    tree t{};
    Model m;
    std::mt19937_64 rng(7);
    for (int i = 0; i < 500; i++) {
        uint64_t k = rng();
        m[k] = val(k | 1);
        tree_set(&t, k, val(k | 1));
    }
    tree_set(&t, 0, nullptr);
    m[0] = nullptr;
    Model taken;
    uint64_t k;
    void *v;
    while (tree_take_root(&t, &k, &v)) {
        EXPECT_TRUE(taken.emplace(k, v).second) << "taken twice: " << k;
    }
    EXPECT_EQ(taken, m);
    EXPECT_EQ(SPLAY_ROOT(&t.root), nullptr);
    EXPECT_EQ(t.count, 0u);
}

TEST(Tree, MergeMovesEveryEntryAndEmptiesSource) {
    tree dst{}, src{};
    Model m;
    for (uint64_t k = 0; k < 100; k++) {
        tree *into = (k % 3 == 0) ? &src : &dst;
        tree_xset(into, k * 0x0101010101010101u, val(k + 1));
        m[k * 0x0101010101010101u] = val(k + 1);
    }
    tree_xset(&src, TOP, nullptr);
    m[TOP] = nullptr;
    tree_merge(&dst, &src);
    expect_matches(dst, m);
    EXPECT_EQ(SPLAY_ROOT(&src.root), nullptr);
    EXPECT_EQ(src.count, 0u);

    tree empty{};
    tree_merge(&dst, &empty);
    expect_matches(dst, m);
    drain(&dst);
}

std::string fmt(const char *format, const void *t, uint64_t key) {
    char buf[128];
    snprintf(buf, sizeof buf, format, t, static_cast<unsigned long>(key));
    return buf;
}

TEST(Tree, FatalPreconditionsPrintTreeAndKeyInSixteenHexDigits) {
    static tree t{};
    tree_xset(&t, 1, val(1));
    tree_xset(&t, TOP, val(2));
    struct Case {
        const char *name;
        std::function<void()> call;
        std::string want;
    };
    const Case cases[] = {
        {"xset present", [] { tree_xset(&t, 1, nullptr); },
         fmt("tree_test: tree_xset(%p, 0x%016lx)\n", &t, 1)},
        {"xset present max", [] { tree_xset(&t, TOP, nullptr); },
         "tree_test: tree_xset(" + fmt("%p", &t, 0) + ", 0xffffffffffffffff)\n"},
        {"xset_node present", [] { tree_xset_node(&t, tree_node_new(), 1, nullptr); },
         fmt("tree_test: tree_xset(%p, 0x%016lx)\n", &t, 1)},
        {"xget absent", [] { tree_xget(&t, 2); },
         "tree_test: tree_get(" + fmt("%p", &t, 0) + ", 0x0000000000000002)\n"},
        {"xpop absent", [] { tree_xpop(&t, HALF); },
         "tree_test: tree_xpop(" + fmt("%p", &t, 0) + ", 0x8000000000000000)\n"},
    };
    for (const Case &c : cases) {
        auto r = run_in_child([&] {
            c.call();
            return 0;
        });
        EXPECT_EQ(r.exit_code(), 1) << c.name;
        EXPECT_EQ(r.err, c.want) << c.name;
    }
    EXPECT_EQ(t.count, 2u);
    drain(&t);
}

TEST(Tree, EmptyTreeXgetAndXpopAreFatal) {
    tree t{};
    EXPECT_EQ(run_in_child([&] { return tree_xget(&t, 0) != nullptr; }).exit_code(), 1);
    EXPECT_EQ(run_in_child([&] { return tree_xpop(&t, 0) != nullptr; }).exit_code(), 1);
}

TEST(Tree, MergeOfSharedKeyIsFatal) {
    auto r = run_in_child([] {
        tree dst{}, src{};
        tree_xset(&dst, 5, nullptr);
        tree_xset(&src, 4, nullptr);
        tree_xset(&src, 5, nullptr);
        tree_merge(&dst, &src);
        return 0;
    });
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, "tree_test: tree_merge: duplicate\n");
}

// Inserts until the address-space limit makes a node allocation fail.
TEST(Tree, AllocationFailureIsFatalWithErrnoText) {
    if (testutil::kSanitized) {
        GTEST_SKIP() << testutil::kSanitizerLimitSkip;
    }
    const std::pair<const char *, void (*)(tree *, uint64_t)> cases[] = {
        {"tree_set", [](tree *t, uint64_t k) { tree_set(t, k, nullptr); }},
        {"tree_xset", [](tree *t, uint64_t k) { tree_xset(t, k, nullptr); }},
    };
    for (const auto &c : cases) {
        auto insert = c.second;
        auto r = run_in_child([insert] {
            // The loop runs out of address space long before it runs out
            // of keys.
            if (!testutil::limit_address_space(16u << 20)) {
                return 2;
            }
            tree t{};
            for (uint64_t k = 0;; k++) {
                insert(&t, k);
            }
        });
        EXPECT_EQ(r.exit_code(), 1) << c.first;
        EXPECT_EQ(r.err,
                  std::string("tree_test: ") + c.first + ": malloc: Cannot allocate memory\n");
    }
}

// A node obtained ahead is the way to an insertion that cannot end the
// process: out of memory, obtaining it fails quietly and the tree keeps
// every entry it had.
TEST(Tree, ANodeObtainedAheadFailsQuietlyAndLinksWithoutAllocating) {
    if (testutil::kSanitized) {
        GTEST_SKIP() << testutil::kSanitizerLimitSkip;
    }
    auto r = run_in_child([] {
        if (!testutil::limit_address_space(16u << 20)) {
            return 2;
        }
        tree t{};
        uint64_t k = 0;
        for (;; k++) {
            tree_node *n = tree_node_new();
            if (n == nullptr) {
                break;
            }
            tree_xset_node(&t, n, k, val(k + 1));
        }
        if (errno != ENOMEM || t.count != k || k == 0) {
            return 3;
        }
        for (uint64_t i = 0; i < k; i++) {
            if (tree_lookup(&t, i) != val(i + 1)) {
                return 4;
            }
        }
        // What one removal frees, the next insertion can have.
        if (tree_remove(&t, 0) != val(1)) {
            return 5;
        }
        tree_node *again = tree_node_new();
        if (again == nullptr) {
            return 6;
        }
        tree_xset_node(&t, again, 0, val(7));
        return t.count == k && tree_lookup(&t, 0) == val(7) ? 0 : 7;
    });
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.err, "");
}

}  // namespace
