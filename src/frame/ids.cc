#include "frame/ids.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "log/log.h"

namespace {

// The directory lies under the changed root; the backend never creates it.
constexpr const char *TEMP_DIR = "/temporary";

// The bound is exclusive, so 0xffffffff itself is never drawn.
uint32_t draw_nonzero() {
    uint32_t value;
    do {
        value = arc4random_uniform(0xffffffff);
    } while (value == 0);
    return value;
}

}  // namespace

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
    unlink(path);
    // The caller reports the cause of a failure; the unlink of a name that
    // was never made must not replace it.
    errno = saved_errno;
    return fd;
}
