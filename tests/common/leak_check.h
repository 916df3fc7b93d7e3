// The sanitizer's leak checker, turned off for the programs a test starts
// and for nothing else.
//
// An instrumented backend runs its leak check as it exits, and the check
// reads /proc, which the backend's changed root does not have: the backend
// would end with status 1 however cleanly it served. What the test process
// itself checks was settled when it started, from the options it was given.
#pragma once

#include <stdlib.h>

#include <string>

namespace testutil {

// While one lives, programs this process starts see detect_leaks=0 added to
// ASAN_OPTIONS; the destructor puts the variable back as it found it, set
// or unset. Single-threaded: nothing else may read the environment meanwhile.
class LeakCheckOff {
  public:
    LeakCheckOff() {
        const char *given = getenv("ASAN_OPTIONS");
        had_ = given != nullptr;
        if (had_) {
            saved_ = given;
        }
        std::string options = saved_.empty() ? "detect_leaks=0" : saved_ + ":detect_leaks=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
    }
    ~LeakCheckOff() {
        if (had_) {
            setenv("ASAN_OPTIONS", saved_.c_str(), 1);
        } else {
            unsetenv("ASAN_OPTIONS");
        }
    }
    LeakCheckOff(const LeakCheckOff &) = delete;
    LeakCheckOff &operator=(const LeakCheckOff &) = delete;

  private:
    bool had_ = false;
    std::string saved_;
};

}  // namespace testutil
