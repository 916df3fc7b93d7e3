// Test data as bytes: from a seeded generator, so that a run can be
// repeated, and from text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace testutil {

// n bytes that only their seed decides.
inline std::vector<uint8_t> random_bytes(size_t n, uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::vector<uint8_t> b(n);
    for (auto &c : b) {
        c = static_cast<uint8_t>(gen());
    }
    return b;
}

// The characters of s, without a terminating NUL.
inline std::vector<uint8_t> bytes_of(std::string_view s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace testutil
