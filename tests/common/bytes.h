// Test data as bytes from text. Seeded content, which a run can repeat,
// comes from the peer toolkit's one generator, wire::pattern().
#pragma once

#include <string_view>

#include "peer/wire.h"

namespace testutil {

// The characters of s, without a terminating NUL.
inline wire::Bytes bytes_of(std::string_view s) {
    return wire::Bytes(s.begin(), s.end());
}

}  // namespace testutil
