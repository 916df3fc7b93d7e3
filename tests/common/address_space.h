// Making allocation fail on purpose: caps this process's address space a
// little above what it maps now. Meant for a child from run_in_child().
// Sanitizer builds reserve vast shadow mappings, so tests skip there.
#pragma once

#include <sys/resource.h>

#include <cstddef>
#include <cstdio>

namespace testutil {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// One reason for every test that caps memory, so a run's skips group as one.
inline constexpr const char *kSanitizerLimitSkip =
    "the sanitizer's shadow memory does not fit under a memory limit";

// The size of this process's mappings, from /proc/self/status; 0 if unknown.
inline size_t mapped_bytes() {
    FILE *f = fopen("/proc/self/status", "r");
    if (f == nullptr) {
        return 0;
    }
    size_t kib = 0;
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        if (sscanf(line, "VmSize: %zu kB", &kib) == 1) {
            break;
        }
    }
    fclose(f);
    return kib * 1024;
}

// Lets the process map only `extra` more bytes: false when that cannot be set.
inline bool limit_address_space(size_t extra) {
    size_t now = mapped_bytes();
    rlimit lim{};
    if (now == 0 || getrlimit(RLIMIT_AS, &lim) != 0) {
        return false;
    }
    lim.rlim_cur = now + extra;
    return setrlimit(RLIMIT_AS, &lim) == 0;
}

}  // namespace testutil
