// A draw for the ids' seam (ids_set_uniform) that gives the values a test
// scripted, in order, and notes the bounds it was asked for: so that a
// test can make a 0 or a taken id come up and see it drawn again.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include <gtest/gtest.h>

namespace testutil {

inline std::deque<uint32_t> scripted_draws;
inline std::vector<uint32_t> draw_bounds;

inline uint32_t scripted_draw(uint32_t bound) {
    draw_bounds.push_back(bound);
    if (scripted_draws.empty()) {
        ADD_FAILURE() << "more draws than scripted";
        return 1;
    }
    uint32_t v = scripted_draws.front();
    scripted_draws.pop_front();
    return v;
}

}  // namespace testutil
