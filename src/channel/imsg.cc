#include "channel/imsg.h"
#include "channel/wait.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <utility>

uint32_t imsg_fd_reserve = 0;

namespace {

constexpr size_t MAX_PAYLOAD = IMSG_MAX_LEN - IMSG_HDR_LEN;
constexpr uint32_t PROBE_MAX = 256;

// How many more descriptor slots a control area sized for one descriptor can
// fill: the kernel packs as many descriptors as fit, which is two on LP64.
constexpr uint32_t CONTROL_FD_SLOTS =
    static_cast<uint32_t>((CMSG_SPACE(sizeof(int)) - CMSG_SPACE(0)) / sizeof(int));

struct frame_buf_deleter {
    void operator()(frame_buf *buf) const { frame_buf_free(buf); }
};
using unique_frame_buf = std::unique_ptr<frame_buf, frame_buf_deleter>;

// Appends a place at the end of the ring, which must have room.
void ring_push(imsg_fd_ring *ring, int fd) {
    ring->places[(ring->first + ring->count) % IMSG_FD_PLACES] = fd;
    ring->count++;
}

// Takes the oldest place of a ring that holds one.
int ring_pop(imsg_fd_ring *ring) {
    int fd = ring->places[ring->first];
    ring->first = (ring->first + 1) % IMSG_FD_PLACES;
    ring->count--;
    return fd;
}

// A message handed out by imsg_get() leaves the input only when the channel
// is next asked for more, since its payload lies there until then.
void consume_lent(imsg_channel *ch) {
    if (ch->in_payload == nullptr) {
        return;
    }
    ch->in_payload = nullptr;
    imsg_header hdr;
    memcpy(&hdr, ch->in_buf, sizeof hdr);
    size_t length = hdr.length;
    if (ch->in_len > length) {
        memmove(ch->in_buf, ch->in_buf + length, ch->in_len - length);
        ch->in_len -= length;
    } else {
        ch->in_len = 0;
    }
}

// The complete message at the front of the input: its whole length, with its
// header copied out; 0 when it is not complete yet; -1 with ERANGE for a
// length no frame may have, the header copied all the same.
ssize_t front_message(imsg_channel *ch, imsg_message *msg) {
    if (ch->in_len < IMSG_HDR_LEN) {
        return 0;
    }
    memcpy(&msg->header, ch->in_buf, sizeof msg->header);
    size_t length = msg->header.length;
    if (length < IMSG_HDR_LEN || length > IMSG_MAX_LEN) {
        errno = ERANGE;
        return -1;
    }
    if (ch->in_len < length) {
        return 0;
    }
    return static_cast<ssize_t>(length);
}

// How many of `wanted` descriptor slots (at most PROBE_MAX) are free just
// now, found by duplicating fd into them and closing the copies. A copy of
// a descriptor already held is the cheapest thing the table can be asked
// to hold.
uint32_t free_slots(int fd, uint32_t wanted) {
    int opened[PROBE_MAX];
    uint32_t n = 0;
    while (n < wanted && n < PROBE_MAX) {
        int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy == -1) {
            break;
        }
        opened[n++] = copy;
    }
    for (uint32_t i = 0; i < n; i++) {
        close(opened[i]);
    }
    return n;
}

// Closes the oldest waiting descriptor to free its place and its slot.
void shed_oldest(imsg_channel *ch) {
    int fd = imsg_take_fd(ch);
    if (fd != -1) {
        close(fd);
        ch->losses.closed_waiting++;
    }
}

// Makes sure, as far as it can, that a receive finds a place and a slot
// for every descriptor it may bring in. When the table is short,
// descriptors that wait unclaimed give way, oldest first: a descriptor that
// comes now belongs to a request on its way, while the oldest has waited
// longest for a message that may never come. What is still missing is left
// to the kernel, which drops a descriptor it cannot install and says so.
//
// With nothing waiting there is nothing to give way, so the read would go
// ahead whatever a probe said: the table is not asked, and a request costs
// no system call beyond its receive and its reply.
void make_room(imsg_channel *ch, uint32_t needed) {
    if (ch->received_fds.count == IMSG_FD_PLACES) {
        shed_oldest(ch);
    }
    if (ch->received_fds.count == 0) {
        return;
    }
    uint32_t free = free_slots(ch->fd, needed);
    while (free < needed && ch->received_fds.count > 0) {
        bool held_one = ch->received_fds.places[ch->received_fds.first] != -1;
        shed_oldest(ch);
        if (held_one) {
            free = free_slots(ch->fd, needed);
        }
    }
    ch->losses.table_full = free == 0;
}

imsg_header make_header(const imsg_channel *ch, uint32_t type, uint32_t peer_id, pid_t pid) {
    imsg_header hdr{};
    hdr.type = type;
    hdr.peer_id = peer_id;
    hdr.pid = pid == 0 ? ch->pid : pid;
    return hdr;
}

// A frame to build the next message in: the spare, or a new one. Every
// frame the channel makes can hold the largest message, so that whichever
// is kept as the spare, no later message has to grow it.
frame_buf *take_frame(imsg_channel *ch) {
    frame_buf *spare = send_queue_take_spare(&ch->out);
    if (spare != nullptr && spare->capacity == IMSG_MAX_LEN) {
        return spare;
    }
    // A buffer its user put on the queue by hand may be smaller.
    if (spare != nullptr) {
        frame_buf_free(spare);
    }
    return frame_buf_new_fixed(IMSG_MAX_LEN);
}

// Builds and queues one message from the header and the payload pieces,
// whose total the caller has already checked. The descriptor joins the
// buffer only once nothing can fail any more, so a failure leaves it with
// the caller.
int queue_message(imsg_channel *ch, const imsg_header &hdr, int fd, const iovec *iov, int iovcnt) {
    unique_frame_buf buf(take_frame(ch));
    if (buf == nullptr) {
        return -1;
    }
    // The frame is empty and holds IMSG_MAX_LEN bytes, and the caller
    // checked that the message fits, so no append can fail.
    frame_buf_append(buf.get(), &hdr, sizeof hdr);
    for (int i = 0; i < iovcnt; i++) {
        if (iov[i].iov_len != 0) {
            frame_buf_append(buf.get(), iov[i].iov_base, iov[i].iov_len);
        }
    }
    buf->fd = fd;
    imsg_seal(ch, buf.release());
    return 1;
}

}  // namespace

void imsg_setup(imsg_channel *ch, int fd) {
    send_queue_init(&ch->out);
    ch->out.spare = frame_buf_new_fixed(IMSG_MAX_LEN);
    ch->in_payload = nullptr;
    ch->in_len = 0;
    ch->losses = imsg_losses{};
    ch->out.fd = fd;
    ch->fd = fd;
    ch->pid = getpid();
    ch->received_fds = imsg_fd_ring{};
}

frame_buf *imsg_create(imsg_channel *ch, uint32_t type, uint32_t peer_id, pid_t pid,
                       uint16_t size) {
    if (size > MAX_PAYLOAD) {
        errno = ERANGE;
        return nullptr;
    }
    frame_buf *buf = take_frame(ch);
    if (buf == nullptr) {
        return nullptr;
    }
    imsg_header hdr = make_header(ch, type, peer_id, pid);
    frame_buf_append(buf, &hdr, sizeof hdr);
    return buf;
}

int imsg_add(frame_buf *buf, const void *data, uint16_t len) {
    if (len == 0) {
        return 0;
    }
    if (frame_buf_append(buf, data, len) == -1) {
        frame_buf_free(buf);
        return -1;
    }
    return len;
}

void imsg_seal(imsg_channel *ch, frame_buf *buf) {
    imsg_header hdr;
    memcpy(&hdr, buf->data, sizeof hdr);
    hdr.flags &= static_cast<uint16_t>(~IMSG_FLAG_FD);
    if (buf->fd != -1) {
        hdr.flags |= IMSG_FLAG_FD;
    }
    hdr.length = static_cast<uint16_t>(buf->used);  // never above IMSG_MAX_LEN, the limit
    memcpy(buf->data, &hdr, sizeof hdr);
    send_queue_append(&ch->out, buf);
}

int imsg_send(imsg_channel *ch, uint32_t type, uint32_t peer_id, pid_t pid, int fd,
              const void *data, uint16_t len) {
    if (len > MAX_PAYLOAD) {
        errno = ERANGE;
        return -1;
    }
    iovec piece{const_cast<void *>(data), len};
    return queue_message(ch, make_header(ch, type, peer_id, pid), fd, &piece, 1);
}

int imsg_sendv(imsg_channel *ch, uint32_t type, uint32_t peer_id, pid_t pid, int fd,
               const struct iovec *iov, int iovcnt) {
    size_t payload = 0;
    for (int i = 0; i < iovcnt; i++) {
        // Compared piece by piece so that huge lengths cannot wrap the sum.
        if (iov[i].iov_len > MAX_PAYLOAD - payload) {
            errno = ERANGE;
            return -1;
        }
        payload += iov[i].iov_len;
    }
    return queue_message(ch, make_header(ch, type, peer_id, pid), fd, iov, iovcnt > 0 ? iovcnt : 0);
}

int imsg_write_all(imsg_channel *ch) {
    int r = send_queue_flush(&ch->out);
    ch->losses.refused += std::exchange(ch->out.refused, 0);
    return r;
}

void imsg_discard(imsg_channel *ch) {
    send_queue_clear(&ch->out);
    while (ch->received_fds.count > 0) {
        int fd = imsg_take_fd(ch);
        if (fd != -1) {
            close(fd);
        }
    }
}

void imsg_teardown(imsg_channel *ch) {
    imsg_discard(ch);
    frame_buf *spare = send_queue_take_spare(&ch->out);
    if (spare != nullptr) {
        frame_buf_free(spare);
    }
}

ssize_t imsg_read(imsg_channel *ch) {
    consume_lent(ch);
    union {
        cmsghdr align;
        uint8_t bytes[CMSG_SPACE(sizeof(int))];
    } control;
    iovec iov{ch->in_buf + ch->in_len, IMSG_INBUF_LEN - ch->in_len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;

    ssize_t n;
    for (;;) {
        // Before the receive, so that a descriptor that arrives always has
        // a place to go; failing to keep it afterwards would lose it.
        make_room(ch, imsg_fd_reserve + CONTROL_FD_SLOTS);
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof control.bytes;
        n = recvmsg(ch->fd, &msg, 0);
        if (n != -1) {
            break;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A non-blocking socket with nothing to read: sleep until it
            // has something rather than spin on the receive.
            imsg_wait_ready(ch->fd, POLLIN);
        } else if (errno != EINTR) {
            return -1;
        }
    }
    ch->in_len += static_cast<size_t>(n);

    bool received = false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        ssize_t count = (static_cast<ssize_t>(c->cmsg_len) - static_cast<ssize_t>(CMSG_LEN(0))) /
                        static_cast<ssize_t>(sizeof(int));
        const uint8_t *fds = CMSG_DATA(c);
        for (ssize_t i = 0; i < count; i++) {
            int fd;
            memcpy(&fd, fds + static_cast<size_t>(i) * sizeof(int), sizeof fd);
            // One read keeps one descriptor: the pairing by order counts on
            // one descriptor per send call.
            if (!received) {
                ring_push(&ch->received_fds, fd);
                received = true;
            } else {
                close(fd);
            }
        }
    }
    // The kernel installs what fits in the table and drops the rest,
    // saying only that the control data was cut. A receive brings the
    // descriptors of one send call at most, so when it brought none its
    // descriptor is the one lost, and its place is kept empty.
    if ((msg.msg_flags & MSG_CTRUNC) != 0 && !received) {
        ring_push(&ch->received_fds, -1);
        ch->losses.dropped++;
        ch->losses.table_full = free_slots(ch->fd, 1) == 0;
    } else if (received) {
        // A descriptor found its slot, so the table had room.
        ch->losses.table_full = false;
    }
    return n;
}

ssize_t imsg_get(imsg_channel *ch, imsg_message *msg) {
    consume_lent(ch);
    ssize_t length = front_message(ch, msg);
    if (length <= 0) {
        return length;
    }
    ch->in_payload = ch->in_buf + IMSG_HDR_LEN;
    msg->data = ch->in_payload;
    msg->fd = (msg->header.flags & IMSG_FLAG_FD) != 0 ? imsg_take_fd(ch) : -1;
    return length;
}

void imsg_release(imsg_message *msg) {
    msg->data = nullptr;
}

int imsg_take_fd(imsg_channel *ch) {
    return ch->received_fds.count == 0 ? -1 : ring_pop(&ch->received_fds);
}

size_t imsg_fds_waiting(const imsg_channel *ch) {
    return ch->received_fds.count;
}

imsg_losses imsg_take_losses(imsg_channel *ch) {
    imsg_losses taken = ch->losses;
    ch->losses = imsg_losses{};
    ch->losses.table_full = taken.table_full;
    return taken;
}

int probe_free_fds(uint32_t count) {
    return count > PROBE_MAX || free_slots(0, count) < count ? 1 : 0;
}
