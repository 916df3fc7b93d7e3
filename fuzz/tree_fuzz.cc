// The id-keyed splay tree against std::map under any sequence of
// operations. The fatal variants are only called where they must succeed;
// their exits are covered by the unit tests.
#include <iterator>
#include <map>

#include "fuzz_input.h"
#include "store/tree.h"

namespace {

using Model = std::map<uint64_t, void *>;

void *token(uint64_t v) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(v));
}

// Keys come from a small set most of the time, so that operations meet the
// keys earlier ones made, and include both ends of the range.
uint64_t pick_key(FuzzInput &in) {
    uint8_t b = in.byte();
    switch (b >> 6) {
        case 0:
            return b & 0x0f;
        case 1:
            return (b & 1) != 0 ? UINT64_MAX - (b & 0x0e) : (uint64_t{1} << 63) - 1 + (b & 0x03);
        case 2:
            return static_cast<uint64_t>(b & 0x3f) << 32;
        default:
            return in.u64();
    }
}

void check_walk(tree *t, const Model &m) {
    FUZZ_CHECK(t->count == m.size());
    void *iter = nullptr;
    uint64_t key;
    void *value;
    auto it = m.begin();
    while (tree_next(t, &iter, &key, &value) != 0) {
        FUZZ_CHECK(it != m.end());
        FUZZ_CHECK(key == it->first && value == it->second);
        ++it;
    }
    FUZZ_CHECK(it == m.end());
}

void drain(tree *t, Model &m) {
    uint64_t key;
    void *value;
    while (tree_take_root(t, &key, &value) != 0) {
        auto it = m.find(key);
        FUZZ_CHECK(it != m.end() && it->second == value);
        m.erase(it);
    }
    FUZZ_CHECK(m.empty() && t->count == 0 && SPLAY_EMPTY(&t->root));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    tree t{};
    tree other{};
    Model m;
    Model other_m;
    uint64_t stamp = 1;

    while (!in.empty()) {
        uint8_t op = in.byte() % 13;
        uint64_t key = pick_key(in);
        auto found = m.find(key);
        bool present = found != m.end();
        uint64_t k;
        void *v;
        switch (op) {
            case 0:
                FUZZ_CHECK(tree_contains(&t, key) == (present ? 1 : 0));
                break;
            case 1:
                FUZZ_CHECK(tree_lookup(&t, key) == (present ? found->second : nullptr));
                if (present) {
                    // A lookup brings the key it found to the root.
                    FUZZ_CHECK(tree_peek_root(&t, &k, &v) == 1 && k == key);
                }
                break;
            case 2: {
                void *value = (stamp % 7 == 0) ? nullptr : token(stamp);
                ++stamp;
                void *old = tree_set(&t, key, value);
                FUZZ_CHECK(old == (present ? found->second : nullptr));
                m[key] = value;
                break;
            }
            case 3:
                if (!present) {
                    tree_xset(&t, key, token(stamp));
                    m[key] = token(stamp++);
                } else {
                    FUZZ_CHECK(tree_xget(&t, key) == found->second);
                }
                break;
            case 4:
                FUZZ_CHECK(tree_remove(&t, key) == (present ? found->second : nullptr));
                if (present) {
                    m.erase(found);
                }
                break;
            case 5:
                if (present) {
                    FUZZ_CHECK(tree_xpop(&t, key) == found->second);
                    m.erase(found);
                }
                break;
            case 6:
                if (tree_take_root(&t, &k, &v) == 1) {
                    auto it = m.find(k);
                    FUZZ_CHECK(it != m.end() && it->second == v);
                    m.erase(it);
                } else {
                    FUZZ_CHECK(m.empty());
                }
                break;
            case 7: {
                void *iter = nullptr;
                auto it = m.lower_bound(key);
                int got = tree_next_from(&t, &iter, key, &k, &v);
                if (key == 0) {
                    it = m.begin();
                }
                if (it == m.end()) {
                    FUZZ_CHECK(got == 0);
                } else {
                    FUZZ_CHECK(got == 1 && k == it->first && v == it->second);
                    // One step further, as a caller walking from here would.
                    ++it;
                    got = tree_next(&t, &iter, &k, &v);
                    FUZZ_CHECK(it == m.end() ? got == 0 : (got == 1 && k == it->first));
                }
                break;
            }
            case 8:
                check_walk(&t, m);
                break;
            case 9:
                // Fill the other tree with keys this one lacks.
                if (!present && other_m.find(key) == other_m.end()) {
                    FUZZ_CHECK(tree_set(&other, key, token(stamp)) == nullptr);
                    other_m[key] = token(stamp++);
                }
                break;
            case 10: {
                bool disjoint = true;
                for (const auto &[ok, ov] : other_m) {
                    (void)ov;
                    disjoint = disjoint && m.find(ok) == m.end();
                }
                if (disjoint) {
                    tree_merge(&t, &other);
                    m.insert(other_m.begin(), other_m.end());
                    other_m.clear();
                    FUZZ_CHECK(other.count == 0 && SPLAY_EMPTY(&other.root));
                }
                break;
            }
            case 11:
                if (tree_peek_root(&t, &k, &v) == 1) {
                    FUZZ_CHECK(m.count(k) == 1 && m[k] == v);
                } else {
                    FUZZ_CHECK(m.empty());
                }
                break;
            default:
                FUZZ_CHECK(t.count == m.size());
                break;
        }
    }
    check_walk(&t, m);
    drain(&t, m);
    drain(&other, other_m);
    return 0;
}
