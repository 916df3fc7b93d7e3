#include "support/iobuf.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "log/log.h"
#include "support/unique.h"

namespace {

constexpr size_t DEFAULT_MAX = 0x10000;
constexpr size_t CHUNK_MIN = 4096;
// One writev hands the kernel at most this many chunks.
constexpr int MAX_IOV = 1024;

// Reserves n > 0 bytes at the end of the queue: in the last chunk when its
// free room is strictly greater than n, else in a new chunk. Null, with
// nothing changed, when that chunk cannot be allocated.
char *place(iobuf *io, size_t n) {
    iobuf_chunk *c = io->last;
    if (c == nullptr || c->capacity - c->wpos <= n) {
        c = iobuf_new_chunk(io, n);
        if (c == nullptr) {
            return nullptr;
        }
    }
    char *p = c->data + c->wpos;
    c->wpos += n;
    io->queued += n;
    return p;
}

}  // namespace

int iobuf_init(iobuf *io, size_t size, size_t max) {
    *io = iobuf{};
    if (max == 0) {
        max = DEFAULT_MAX;
    }
    if (size == 0) {
        size = max;
    }
    if (size > max) {
        return -1;
    }
    io->buf = static_cast<char *>(malloc(size));
    if (io->buf == nullptr) {
        return -1;
    }
    io->size = size;
    io->max = max;
    return 0;
}

int iobuf_init_or_die(iobuf *io, size_t size, size_t max, const char *where) {
    if (iobuf_init(io, size, max) != 0) {
        log_warning("%s: iobuf_init(%p, %zu, %zu)", where, static_cast<void *>(io), size, max);
        die("exiting");
    }
    return 0;
}

void iobuf_release(iobuf *io) {
    free(io->buf);
    while (iobuf_chunk *c = io->first) {
        io->first = c->next;
        free(c);
    }
    *io = iobuf{};
}

ssize_t iobuf_fill(iobuf *io, int fd) {
    ssize_t n = read(fd, io->buf + io->wpos, io->size - io->wpos);
    if (n > 0) {
        io->wpos += n;
        return n;
    }
    if (n == 0) {
        return IOBUF_PEER_CLOSED;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return IOBUF_RETRY_READ;
    }
    return IOBUF_FAILED;
}

int iobuf_grow(iobuf *io, size_t n) {
    if (n > io->max || n > io->max - io->size) {
        return -1;
    }
    auto *p = static_cast<char *>(realloc(io->buf, io->size + n));
    if (p == nullptr) {
        return -1;
    }
    io->buf = p;
    io->size += n;
    return 0;
}

size_t iobuf_tail_room(const iobuf *io) {
    return io->size - io->wpos;
}

size_t iobuf_free_room(const iobuf *io) {
    return io->size - io->wpos + io->rpos;
}

size_t iobuf_available(const iobuf *io) {
    return io->wpos - io->rpos;
}

char *iobuf_peek(iobuf *io) {
    return io->buf + io->rpos;
}

void iobuf_skip(iobuf *io, size_t n) {
    if (n < iobuf_available(io)) {
        io->rpos += n;
    } else {
        io->rpos = io->wpos = 0;
    }
}

char *iobuf_take_line(iobuf *io, size_t *len) {
    char *line = iobuf_peek(io);
    auto *lf = static_cast<char *>(memchr(line, '\n', iobuf_available(io)));
    if (lf == nullptr) {
        return nullptr;
    }
    size_t i = lf - line;
    iobuf_skip(io, i + 1);
    if (i > 0 && line[i - 1] == '\r') {
        i--;
    }
    line[i] = '\0';
    if (len != nullptr) {
        *len = i;
    }
    return line;
}

void iobuf_compact(iobuf *io) {
    if (io->rpos == 0) {
        return;
    }
    if (io->rpos == io->wpos) {
        io->rpos = io->wpos = 0;
        return;
    }
    memmove(io->buf, io->buf + io->rpos, io->wpos - io->rpos);
    io->wpos -= io->rpos;
    io->rpos = 0;
}

void *iobuf_queue_space(iobuf *io, size_t n) {
    if (n == 0) {
        return nullptr;
    }
    return place(io, n);
}

int iobuf_queue_bytes(iobuf *io, const void *data, size_t n) {
    if (n == 0) {
        return 0;
    }
    if (n > INT_MAX) {
        return -1;
    }
    char *p = place(io, n);
    if (p == nullptr) {
        return -1;
    }
    memcpy(p, data, n);
    return static_cast<int>(n);
}

int iobuf_queue_vector(iobuf *io, const struct iovec *iov, int count) {
    if (count <= 0) {
        return -1;
    }
    size_t total = 0;
    for (int i = 0; i < count; i++) {
        // Compared one by one so that lengths whose sum wraps cannot reserve
        // less than is then copied.
        if (iov[i].iov_len > SIZE_MAX - total) {
            errno = EOVERFLOW;
            return -1;
        }
        total += iov[i].iov_len;
    }
    if (total == 0) {
        return -1;
    }
    char *p = place(io, total);
    if (p == nullptr) {
        return -1;
    }
    for (int i = 0; i < count; i++) {
        if (iov[i].iov_len != 0) {
            memcpy(p, iov[i].iov_base, iov[i].iov_len);
            p += iov[i].iov_len;
        }
    }
    return 0;
}

int iobuf_queue_vformat(iobuf *io, const char *fmt, va_list ap) {
    char *raw;
    int n = vasprintf(&raw, fmt, ap);
    if (n < 0) {
        return -1;
    }
    unique_malloc<char> text(raw);
    if (n == 0) {
        return 0;
    }
    char *p = place(io, n);
    if (p == nullptr) {
        return -1;
    }
    memcpy(p, text.get(), n);
    return n;
}

int iobuf_queue_format(iobuf *io, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = iobuf_queue_vformat(io, fmt, ap);
    va_end(ap);
    return n;
}

void iobuf_xfqueue(iobuf *io, const char *where, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = iobuf_queue_vformat(io, fmt, ap);
    va_end(ap);
    if (n == -1) {
        log_warning("%s: iobuf_xfqueue(%p, %s, ...)", where, static_cast<void *>(io), fmt);
        die("exiting");
    }
}

iobuf_chunk *iobuf_new_chunk(iobuf *io, size_t n) {
    size_t capacity = std::max(n, CHUNK_MIN);
    if (capacity > SIZE_MAX - sizeof(iobuf_chunk)) {
        return nullptr;
    }
    auto *c = static_cast<iobuf_chunk *>(malloc(sizeof(iobuf_chunk) + capacity));
    if (c == nullptr) {
        return nullptr;
    }
    *c = iobuf_chunk{};
    c->data = reinterpret_cast<char *>(c + 1);
    c->capacity = capacity;
    if (io->last != nullptr) {
        io->last->next = c;
    } else {
        io->first = c;
    }
    io->last = c;
    return c;
}

size_t iobuf_out_pending(const iobuf *io) {
    return io->queued;
}

void iobuf_dequeue(iobuf *io, size_t n) {
    size_t removed = 0;
    while (n > 0 && io->first != nullptr) {
        iobuf_chunk *c = io->first;
        size_t unsent = c->wpos - c->rpos;
        if (n < unsent) {
            c->rpos += n;
            removed += n;
            break;
        }
        io->first = c->next;
        free(c);
        n -= unsent;
        removed += unsent;
    }
    io->queued -= std::min<uint64_t>(removed, io->queued);
    if (io->first == nullptr) {
        io->last = nullptr;
    }
}

ssize_t iobuf_send(iobuf *io, int fd) {
    iovec iov[MAX_IOV];
    int count = 0;
    for (iobuf_chunk *c = io->first; c != nullptr && count < MAX_IOV; c = c->next) {
        iov[count].iov_base = c->data + c->rpos;
        iov[count].iov_len = c->wpos - c->rpos;
        count++;
    }
    ssize_t n = writev(fd, iov, count);
    if (n == -1) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return IOBUF_RETRY_WRITE;
        }
        return errno == EPIPE ? IOBUF_PEER_CLOSED : IOBUF_FAILED;
    }
    iobuf_dequeue(io, n);
    return n;
}

int iobuf_send_all(iobuf *io, int fd) {
    while (io->queued != 0) {
        ssize_t n = iobuf_send(io, fd);
        if (n < 0) {
            return static_cast<int>(n);
        }
    }
    return 0;
}
