#include "channel/imsg.h"
#include "channel/wait.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace {

// Reallocates to exactly `size` bytes. A zero-byte realloc would free the
// block and answer null, which reads as failure with the block gone, so the
// smallest request is one byte.
int resize_exact(frame_buf *buf, size_t size) {
    void *data = realloc(buf->data, size == 0 ? 1 : size);
    if (data == nullptr) {
        return -1;
    }
    buf->data = static_cast<uint8_t *>(data);
    buf->capacity = size;
    return 0;
}

// Fills iov from the head of the queue; returns how many entries were
// filled. With stop_at_fd, gathering ends after the first buffer that
// carries a descriptor, which is then returned through carrier.
int gather(send_queue *q, iovec *iov, bool stop_at_fd, frame_buf **carrier) {
    int n = 0;
    *carrier = nullptr;
    frame_buf *buf;
    TAILQ_FOREACH(buf, &q->pending, entry) {
        if (n == IMSG_IOV_MAX) {
            break;
        }
        iov[n].iov_base = buf->data + buf->sent;
        iov[n].iov_len = buf->used - buf->sent;
        n++;
        if (stop_at_fd && buf->fd != -1) {
            *carrier = buf;
            break;
        }
    }
    return n;
}

// Common tail of both writers: n is the send call's result, and after -1
// errno is left as the call set it.
int settle_write(send_queue *q, ssize_t n, frame_buf *carrier) {
    if (n == -1) {
        return -1;
    }
    if (n == 0) {
        errno = 0;
        return 0;
    }
    // Once any byte of the call is out, the kernel has taken the descriptor
    // with it; keeping it would send it a second time on the next call.
    if (carrier != nullptr) {
        close(carrier->fd);
        carrier->fd = -1;
    }
    send_queue_consume(q, static_cast<size_t>(n));
    return 1;
}

// One sendmsg from the head of the queue. MSG_NOSIGNAL turns the signal a
// send to a vanished peer would raise into EPIPE, so that the owner of the
// channel decides what that means; no signal disposition is touched.
int write_head(send_queue *q) {
    iovec iov[IMSG_IOV_MAX];
    frame_buf *carrier;
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(gather(q, iov, true, &carrier));

    union {
        cmsghdr align;
        uint8_t bytes[CMSG_SPACE(sizeof(int))];
    } control;
    if (carrier != nullptr) {
        memset(&control, 0, sizeof control);
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof control.bytes;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_len = CMSG_LEN(sizeof(int));
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        memcpy(CMSG_DATA(c), &carrier->fd, sizeof(int));
    }

    ssize_t n;
    do {
        n = sendmsg(q->fd, &msg, MSG_NOSIGNAL);
    } while (n == -1 && errno == EINTR);
    return settle_write(q, n, carrier);
}

// Sends the first message that still carries a descriptor without it;
// false when none does. A descriptor leaves with the first byte of the
// call that carries it, so a message that still holds one has sent
// nothing yet, header included, and its flag can still be cleared: the
// peer then reads a message that brought no descriptor.
bool drop_descriptor(send_queue *q) {
    frame_buf *buf;
    TAILQ_FOREACH(buf, &q->pending, entry) {
        if (buf->fd != -1) {
            close(buf->fd);
            buf->fd = -1;
            imsg_header hdr;
            memcpy(&hdr, buf->data, sizeof hdr);
            hdr.flags &= static_cast<uint16_t>(~IMSG_FLAG_FD);
            memcpy(buf->data, &hdr, sizeof hdr);
            q->refused++;
            return true;
        }
    }
    return false;
}

}  // namespace

// The kernel's buffers run short only for a moment, but nothing signals
// their return, so such a call is tried again after a pause that doubles up
// to a bound; the first pause is short enough not to be noticed.
void imsg_backoff_wait(imsg_backoff *b) {
    constexpr int FIRST_PAUSE_MS = 1;
    constexpr int LAST_PAUSE_MS = 64;
    b->last_ms = b->last_ms == 0 ? FIRST_PAUSE_MS : std::min(2 * b->last_ms, LAST_PAUSE_MS);
    imsg_pause(b->last_ms);
}

frame_buf *frame_buf_new(size_t size, size_t limit) {
    // The limit is checked as given, so a limit of 0 stands for "the size"
    // only for an empty buffer.
    if (limit < size) {
        return nullptr;
    }
    if (limit == 0) {
        limit = size;
    }
    auto *buf = static_cast<frame_buf *>(calloc(1, sizeof(frame_buf)));
    if (buf == nullptr) {
        return nullptr;
    }
    buf->data = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    if (buf->data == nullptr) {
        free(buf);
        return nullptr;
    }
    buf->capacity = size;
    buf->limit = limit;
    buf->fd = -1;
    return buf;
}

frame_buf *frame_buf_new_fixed(size_t capacity) {
    return frame_buf_new(capacity, capacity);
}

int frame_buf_grow(frame_buf *buf, size_t n) {
    if (n > buf->limit - buf->used) {
        errno = ENOMEM;
        return -1;
    }
    return resize_exact(buf, buf->used + n);
}

void *frame_buf_reserve(frame_buf *buf, size_t n) {
    if (n > buf->capacity - buf->used) {
        if (n > buf->limit - buf->used) {
            errno = ENOMEM;
            return nullptr;
        }
        if (resize_exact(buf, buf->used + n) == -1) {
            return nullptr;
        }
    }
    void *at = buf->data + buf->used;
    buf->used += n;
    return at;
}

int frame_buf_append(frame_buf *buf, const void *data, size_t n) {
    void *at = frame_buf_reserve(buf, n);
    if (at == nullptr) {
        return -1;
    }
    if (n != 0) {
        memcpy(at, data, n);
    }
    return 0;
}

void *frame_buf_at(frame_buf *buf, size_t pos, size_t n) {
    if (pos > buf->used || n > buf->used - pos) {
        return nullptr;
    }
    return buf->data + pos;
}

size_t frame_buf_size(const frame_buf *buf) {
    return buf->used;
}

size_t frame_buf_room(const frame_buf *buf) {
    return buf->limit - buf->used;
}

void frame_buf_free(frame_buf *buf) {
    free(buf->data);
    free(buf);
}

void send_queue_init(send_queue *q) {
    TAILQ_INIT(&q->pending);
    q->spare = nullptr;
    q->count = 0;
    q->refused = 0;
    q->fd = -1;
}

void send_queue_append(send_queue *q, frame_buf *buf) {
    TAILQ_INSERT_TAIL(&q->pending, buf, entry);
    q->count++;
}

int send_queue_write(send_queue *q) {
    int r = write_head(q);
    if (r == -1 && errno == ENOBUFS) {
        errno = EAGAIN;
    }
    return r;
}

int send_queue_flush(send_queue *q) {
    imsg_backoff backoff{};
    while (q->count != 0) {
        if (write_head(q) != -1) {
            backoff = imsg_backoff{};
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            imsg_wait_ready(q->fd, POLLOUT);
        } else if (errno == ENOBUFS || errno == ENOMEM) {
            imsg_backoff_wait(&backoff);
        } else if (errno == ETOOMANYREFS && drop_descriptor(q)) {
            // Refused because this side holds too many in flight, the
            // descriptor would not go later either; its message goes
            // without it.
            continue;
        } else {
            return -1;
        }
    }
    return 0;
}

int send_queue_writev(send_queue *q) {
    iovec iov[IMSG_IOV_MAX];
    frame_buf *carrier;
    int iovcnt = gather(q, iov, false, &carrier);
    ssize_t n;
    do {
        n = writev(q->fd, iov, iovcnt);
    } while (n == -1 && errno == EINTR);
    if (n == -1 && errno == ENOBUFS) {
        errno = EAGAIN;
    }
    return settle_write(q, n, nullptr);
}

void send_queue_consume(send_queue *q, size_t n) {
    while (n != 0 && !TAILQ_EMPTY(&q->pending)) {
        frame_buf *head = TAILQ_FIRST(&q->pending);
        size_t left = head->used - head->sent;
        if (n < left) {
            head->sent += n;
            return;
        }
        n -= left;
        send_queue_remove(q, head);
    }
}

void send_queue_remove(send_queue *q, frame_buf *buf) {
    TAILQ_REMOVE(&q->pending, buf, entry);
    if (buf->fd != -1) {
        close(buf->fd);
        buf->fd = -1;
    }
    q->count--;
    // A queue that is written out before its next message is made keeps
    // reusing one buffer, and so allocates nothing once it has one.
    if (q->spare == nullptr) {
        buf->used = 0;
        buf->sent = 0;
        q->spare = buf;
    } else {
        frame_buf_free(buf);
    }
}

void send_queue_clear(send_queue *q) {
    while (!TAILQ_EMPTY(&q->pending)) {
        send_queue_remove(q, TAILQ_FIRST(&q->pending));
    }
}

frame_buf *send_queue_take_spare(send_queue *q) {
    return std::exchange(q->spare, nullptr);
}
