// A buffered descriptor endpoint: a flat input area filled by read(2) and
// consumed by lines or bytes, and an output queue of chunks written with
// writev(2).
//
// Invariants: rpos <= wpos <= size <= max; the unread input lies between
// rpos and wpos; `queued` is the sum of the chunks' unsent bytes. The iobuf
// owns its input area and its chunks; iobuf_release() frees them. An append
// is never split across chunks. EAGAIN and EINTR are reported, never
// retried here. Single-threaded. Only iobuf_init_or_die() and
// iobuf_xfqueue() log or end the process.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Results of iobuf_fill() and iobuf_send() other than a byte count.
inline constexpr ssize_t IOBUF_RETRY_READ = -1;   // read: EAGAIN or EINTR
inline constexpr ssize_t IOBUF_RETRY_WRITE = -2;  // writev: EAGAIN or EINTR
inline constexpr ssize_t IOBUF_PEER_CLOSED = -3;  // read returned 0; writev: EPIPE
inline constexpr ssize_t IOBUF_FAILED = -4;       // any other error

// One allocation: these fields, then the data area `data` points at.
struct iobuf_chunk {
    iobuf_chunk *next;
    char *data;
    uint64_t capacity;  // at least 4096
    uint64_t wpos;      // end of the queued bytes
    uint64_t rpos;      // start of the bytes not yet sent
};

struct iobuf {
    char *buf;  // the input area
    uint64_t max;
    uint64_t size;
    uint64_t wpos;  // end of the data read so far
    uint64_t rpos;  // start of the data not yet consumed
    uint64_t queued;
    iobuf_chunk *first;
    iobuf_chunk *last;
};

// Zeroes io and allocates an input area of size bytes that may grow up to
// max (0 means 65536; a size of 0 means max). -1 when size > max or the
// area cannot be allocated; io then owns nothing.
int iobuf_init(iobuf *io, size_t size, size_t max);
// As iobuf_init(), but a failure logs "WHERE: iobuf_init(...)" and dies.
int iobuf_init_or_die(iobuf *io, size_t size, size_t max, const char *where);
// Frees the input area and every chunk, and zeroes io.
void iobuf_release(iobuf *io);

// Reads once into the room after wpos: the count read, IOBUF_PEER_CLOSED
// at end of file (and when there is no room: make room first), or
// IOBUF_RETRY_READ / IOBUF_FAILED with errno set.
ssize_t iobuf_fill(iobuf *io, int fd);
// Enlarges the input area by n bytes: 0, or -1 (area unchanged) when n
// exceeds max - size or reallocation fails. Pointers into the area die.
int iobuf_grow(iobuf *io, size_t n);
size_t iobuf_tail_room(const iobuf *io);
// The room there would be after iobuf_compact().
size_t iobuf_free_room(const iobuf *io);
size_t iobuf_available(const iobuf *io);
char *iobuf_peek(iobuf *io);
// Consumes n unread bytes; n at or past the unread count consumes all.
void iobuf_skip(iobuf *io, size_t n);
// The next LF-terminated line with the LF (and a CR just before it) cut
// off, NUL-terminated in place and consumed; its length in *len when len is
// given. Null, changing nothing, when no whole line is buffered. The line
// lives until the area is next filled, compacted or grown.
char *iobuf_take_line(iobuf *io, size_t *len);
// Moves the unread bytes to the start of the input area.
void iobuf_compact(iobuf *io);

// Reserves n bytes at the end of the queue for the caller to fill at once;
// they count as queued. Null when n is 0 or allocation fails.
void *iobuf_queue_space(iobuf *io, size_t n);
// Copies n bytes to the queue: n; 0 when n is 0; -1 when allocation fails
// or n exceeds INT_MAX (the result could not say n).
int iobuf_queue_bytes(iobuf *io, const void *data, size_t n);
// Copies the elements' bytes in order as one append: 0; -1 when count <= 0,
// the lengths add up to 0 or allocation fails, and with EOVERFLOW when
// their sum does not fit in a size_t (nothing queued).
int iobuf_queue_vector(iobuf *io, const struct iovec *iov, int count);
// Queues the formatted text without its NUL: its length; 0 for an empty
// text; -1 when formatting or allocation fails.
int iobuf_queue_format(iobuf *io, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int iobuf_queue_vformat(iobuf *io, const char *fmt, va_list ap)
    __attribute__((format(printf, 2, 0)));
// As iobuf_queue_format(), but -1 logs "WHERE: iobuf_xfqueue(...)" and dies.
void iobuf_xfqueue(iobuf *io, const char *where, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Appends an empty chunk of capacity max(n, 4096); null when allocation
// fails. The iobuf owns it.
iobuf_chunk *iobuf_new_chunk(iobuf *io, size_t n);
size_t iobuf_out_pending(const iobuf *io);
// Drops n bytes (at most all queued) from the front of the queue.
void iobuf_dequeue(iobuf *io, size_t n);
// One writev(2) of up to the first 1024 chunks: the count written (and
// dropped from the queue), or IOBUF_RETRY_WRITE, IOBUF_PEER_CLOSED (EPIPE)
// or IOBUF_FAILED with errno set and the queue unchanged.
ssize_t iobuf_send(iobuf *io, int fd);
// Sends until the queue is empty: 0, or the first negative iobuf_send().
int iobuf_send_all(iobuf *io, int fd);
