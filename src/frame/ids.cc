#include "frame/ids.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "log/log.h"

// The draw takes the system library's function by its version where the
// build found one, since libbsd's, which is linked too, would otherwise
// win the link (cmake/RandomSource.cmake); libbsd's is there for a system
// library without one.
#if MEMQ_SYSTEM_ARC4RANDOM
__asm__(".symver arc4random_uniform,arc4random_uniform@GLIBC_2.36");
#else
#include <bsd/stdlib.h>
#endif

namespace {

// The directory lies under the changed root; the backend never creates it.
constexpr const char *TEMP_DIR = "/temporary";

ids_uniform_fn uniform = arc4random_uniform;

// The bound is exclusive, so 0xffffffff itself is never drawn.
uint32_t draw_nonzero() {
    uint32_t value;
    do {
        value = uniform(0xffffffff);
    } while (value == 0);
    return value;
}

}  // namespace

void ids_set_uniform(ids_uniform_fn fn) {
    uniform = fn != nullptr ? fn : arc4random_uniform;
}

uint32_t new_msgid() {
    return draw_nonzero();
}

uint64_t new_envelope_id(uint32_t msgid) {
    return (static_cast<uint64_t>(msgid) << 32) | draw_nonzero();
}

int mktmpfile() {
    return mktmpfile_in(TEMP_DIR);
}

int mktmpfile_in(const char *dir) {
    char path[1024];
    int len = snprintf(path, sizeof path, "%s/mavid.XXXXXXXXXX", dir);
    if (len < 0 || static_cast<size_t>(len) >= sizeof path) {
        log_warning("warn: queue-api: tempdir too large \"%s\"", dir);
        return -1;
    }

    // 7077 is meant as a decimal number: its permission bits (octal 645)
    // leave the file with no permission at all for the moment it has a name,
    // while the descriptor mkstemp returns can still read and write.
    mode_t saved_mask = umask(7077);
    int fd = mkstemp(path);
    int saved_errno = errno;
    if (fd == -1) {
        log_warning("warn: queue-api: cannot create temporary file \"%s\"", path);
    }
    umask(saved_mask);
    // The caller reports the cause of a failure; the unlink of a name that
    // was never made must not replace it.
    if (unlink(path) == -1 && fd != -1) {
        saved_errno = errno;
        log_warning_errno("warn: queue-api: unlink: \"%s\"", path);
        close(fd);
        fd = -1;
    }
    errno = saved_errno;
    return fd;
}

uint64_t file_size_limit() {
    rlimit rl;
    if (getrlimit(RLIMIT_FSIZE, &rl) == -1 || rl.rlim_cur == RLIM_INFINITY) {
        return UINT64_MAX;
    }
    return rl.rlim_cur;
}
