// The string-keyed dictionary against std::map under any sequence of
// operations. std::string compares as unsigned bytes, as strcmp does. The
// caller's key buffer is scribbled over after every call, since the
// dictionary must keep a copy of its own.
#include <algorithm>
#include <map>
#include <string>

#include "fuzz_input.h"
#include "support/dict.h"

namespace {

using Model = std::map<std::string, void *>;

void *token(uint64_t v) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(v));
}

// Short keys from a few letters collide often; some carry bytes of 128
// and above. A key never holds a NUL.
std::string pick_key(FuzzInput &in) {
    static const char letters[] = {'a', 'b', 'c', '\x7f', '\x80', '\xff', ' ', 'a'};
    uint8_t b = in.byte();
    size_t len = b & 0x03;
    if ((b & 0x80) != 0) {
        len = in.byte() % 24;
    }
    std::string key;
    for (size_t i = 0; i < len; ++i) {
        uint8_t c = in.byte();
        key.push_back((b & 0x40) != 0 && c != 0 ? static_cast<char>(c) : letters[c & 7]);
    }
    return key;
}

void check_walk(dict *d, const Model &m) {
    FUZZ_CHECK(d->count == m.size());
    void *iter = nullptr;
    const char *key;
    void *value;
    auto it = m.begin();
    while (dict_next(d, &iter, &key, &value) != 0) {
        FUZZ_CHECK(it != m.end());
        FUZZ_CHECK(it->first == key && value == it->second);
        ++it;
    }
    FUZZ_CHECK(it == m.end());
}

void drain(dict *d, Model &m) {
    const char *key;
    void *value;
    while (dict_peek_root(d, &key, &value) != 0) {
        auto it = m.find(key);
        FUZZ_CHECK(it != m.end() && it->second == value);
        void *taken;
        FUZZ_CHECK(dict_take_root(d, &taken) == 1 && taken == value);
        m.erase(it);
    }
    FUZZ_CHECK(m.empty() && d->count == 0 && SPLAY_EMPTY(&d->root));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    dict d{};
    dict other{};
    Model m;
    Model other_m;
    uint64_t stamp = 1;

    while (!in.empty()) {
        uint8_t op = in.byte() % 12;
        std::string key = pick_key(in);
        // The dictionary sees a buffer of ours that we spoil after the call.
        std::string arg = key;
        auto found = m.find(key);
        bool present = found != m.end();
        const char *k;
        void *v;
        switch (op) {
            case 0:
                FUZZ_CHECK(dict_contains(&d, arg.c_str()) == (present ? 1 : 0));
                break;
            case 1:
                FUZZ_CHECK(dict_lookup(&d, arg.c_str()) == (present ? found->second : nullptr));
                if (present) {
                    FUZZ_CHECK(dict_peek_root(&d, &k, &v) == 1 && key == k);
                }
                break;
            case 2: {
                void *value = (stamp % 5 == 0) ? nullptr : token(stamp);
                ++stamp;
                FUZZ_CHECK(dict_set(&d, arg.c_str(), value) == (present ? found->second : nullptr));
                m[key] = value;
                break;
            }
            case 3:
                if (!present) {
                    dict_xset(&d, arg.c_str(), token(stamp));
                    m[key] = token(stamp++);
                } else {
                    FUZZ_CHECK(dict_xget(&d, arg.c_str()) == found->second);
                }
                break;
            case 4:
                FUZZ_CHECK(dict_remove(&d, arg.c_str()) == (present ? found->second : nullptr));
                if (present) {
                    m.erase(found);
                }
                break;
            case 5:
                if (present) {
                    FUZZ_CHECK(dict_xpop(&d, arg.c_str()) == found->second);
                    m.erase(found);
                }
                break;
            case 6: {
                const char *root_key;
                if (dict_peek_root(&d, &root_key, &v) == 1) {
                    auto it = m.find(root_key);
                    FUZZ_CHECK(it != m.end() && it->second == v);
                    void *taken;
                    FUZZ_CHECK(dict_take_root(&d, &taken) == 1 && taken == v);
                    m.erase(it);
                } else {
                    FUZZ_CHECK(m.empty() && dict_take_root(&d, &v) == 0);
                }
                break;
            }
            case 7: {
                void *iter = nullptr;
                // An empty start key and a null one both start at the first.
                bool null_start = (stamp & 1) != 0 && key.empty();
                ++stamp;
                auto it = m.lower_bound(key);
                int got = dict_next_from(&d, &iter, null_start ? nullptr : arg.c_str(), &k, &v);
                if (it == m.end()) {
                    FUZZ_CHECK(got == 0);
                } else {
                    FUZZ_CHECK(got == 1 && it->first == k && v == it->second);
                    ++it;
                    got = dict_next(&d, &iter, &k, &v);
                    FUZZ_CHECK(it == m.end() ? got == 0 : (got == 1 && it->first == k));
                }
                break;
            }
            case 8:
                check_walk(&d, m);
                break;
            case 9:
                if (!present && other_m.find(key) == other_m.end()) {
                    FUZZ_CHECK(dict_set(&other, arg.c_str(), token(stamp)) == nullptr);
                    other_m[key] = token(stamp++);
                }
                break;
            case 10: {
                bool disjoint = true;
                for (const auto &entry : other_m) {
                    disjoint = disjoint && m.find(entry.first) == m.end();
                }
                if (disjoint) {
                    dict_merge(&d, &other);
                    m.insert(other_m.begin(), other_m.end());
                    other_m.clear();
                    FUZZ_CHECK(other.count == 0 && SPLAY_EMPTY(&other.root));
                }
                break;
            }
            default:
                FUZZ_CHECK(d.count == m.size());
                break;
        }
        std::fill(arg.begin(), arg.end(), '#');
    }
    check_walk(&d, m);
    drain(&d, m);
    drain(&other, other_m);
    return 0;
}
