#include "support/xalloc.h"

#include <cstdlib>
#include <cstring>

#include "log/log.h"

void *malloc_or_die(size_t size, const char *where) {
    void *p = malloc(size);
    if (p == nullptr) {
        log_warning("%s: malloc(%zu)", where, size);
        die("exiting");
    }
    return p;
}

void *calloc_or_die(size_t count, size_t size, const char *where) {
    void *p = calloc(count, size);
    if (p == nullptr) {
        log_warning("%s: calloc(%zu, %zu)", where, count, size);
        die("exiting");
    }
    return p;
}

char *strdup_or_die(const char *s, const char *where) {
    char *p = strdup(s);
    if (p == nullptr) {
        log_warning("%s: strdup(%p)", where, static_cast<const void *>(s));
        die("exiting");
    }
    return p;
}

void *memdup_or_die(const void *src, size_t size, const char *where) {
    void *p = malloc_or_die(size, where);
    // An empty copy may come from a null source, which memcpy must not see.
    if (size != 0) {
        memcpy(p, src, size);
    }
    return p;
}
