// Whether a test may use root's powers: changing roots and ids, mounting,
// and making the backend's account and spool on the host.
//
// A package build runs the suite as whoever builds, root included, and must
// leave the host as it found it; it sets MEMQ_TEST_UNPRIVILEGED=1, and the
// tests that need root then skip with their reason, as they do for an
// ordinary user in a build chroot.
#pragma once

#include <stdlib.h>
#include <unistd.h>

namespace testutil {

inline bool have_root() {
    const char *unprivileged = getenv("MEMQ_TEST_UNPRIVILEGED");
    return geteuid() == 0 && (unprivileged == nullptr || *unprivileged == '\0');
}

}  // namespace testutil
