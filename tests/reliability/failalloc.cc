// A test-only allocator shim, loaded into the backend with LD_PRELOAD: once
// the process has dropped its privileges (the last step before the loop
// serves its first request), it counts every malloc, calloc and realloc and
// makes the k-th fail with ENOMEM, or every one from the k-th on.
//
//   MEMQ_FAILALLOC_AT=k            1-based, counted from the switch of ids
//   MEMQ_FAILALLOC_MODE=always     fail from k on (default: k alone)
//   MEMQ_FAILALLOC_REPORT=path     appended to: one "fail K FRAMES" line for
//                                  each failure, and "counted N" at exit
//
// The report file is opened before the change of root and stays open, so it
// is part of the descriptors the backend starts with.
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
}

namespace {

unsigned long fail_at;
bool fail_always;
int report_fd = -1;
bool armed;
unsigned long counted;
bool reporting;

// The call chain of the failed allocation, as object+offset pairs that
// addr2line resolves; backtrace() was warmed up before the change of root.
void report_failure() {
    if (report_fd == -1 || reporting) {
        return;
    }
    reporting = true;
    void *frames[12];
    int n = backtrace(frames, 12);
    char line[1024];
    int len = snprintf(line, sizeof line, "fail %lu", counted);
    for (int i = 2; i < n && len < static_cast<int>(sizeof line) - 64; ++i) {
        Dl_info info;
        if (dladdr(frames[i], &info) != 0 && info.dli_fname != nullptr) {
            const char *base = strrchr(info.dli_fname, '/');
            len += snprintf(line + len, sizeof line - static_cast<size_t>(len), " %s+0x%lx",
                            base != nullptr ? base + 1 : info.dli_fname,
                            static_cast<unsigned long>(static_cast<char *>(frames[i]) -
                                                       static_cast<char *>(info.dli_fbase)));
        }
    }
    line[len++] = '\n';
    (void)!write(report_fd, line, static_cast<size_t>(len));
    reporting = false;
}

bool should_fail() {
    if (!armed || reporting) {
        return false;
    }
    ++counted;
    if (counted == fail_at || (fail_always && counted > fail_at && fail_at != 0)) {
        report_failure();
        return true;
    }
    return false;
}

__attribute__((constructor)) void setup() {
    const char *at = getenv("MEMQ_FAILALLOC_AT");
    const char *mode = getenv("MEMQ_FAILALLOC_MODE");
    const char *report = getenv("MEMQ_FAILALLOC_REPORT");
    fail_at = at != nullptr ? strtoul(at, nullptr, 10) : 0;
    fail_always = mode != nullptr && strcmp(mode, "always") == 0;
    if (report != nullptr) {
        report_fd = open(report, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    }
    void *warm[1];
    backtrace(warm, 1);
}

__attribute__((destructor)) void finish() {
    if (report_fd != -1) {
        char line[64];
        int len = snprintf(line, sizeof line, "counted %lu\n", counted);
        (void)!write(report_fd, line, static_cast<size_t>(len));
    }
}

}  // namespace

extern "C" {

void *malloc(size_t size) {
    if (should_fail()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
    if (should_fail()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_calloc(count, size);
}

void *realloc(void *p, size_t size) {
    if (should_fail()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(p, size);
}

int setresuid(uid_t r, uid_t e, uid_t s) {
    using fn = int (*)(uid_t, uid_t, uid_t);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "setresuid"));
    int rc = real(r, e, s);
    if (rc == 0) {
        armed = true;
    }
    return rc;
}
}
