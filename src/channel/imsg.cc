#include "channel/imsg.h"
#include "channel/wait.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
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

struct FrameBufFree {
    void operator()(frame_buf *buf) const { frame_buf_free(buf); }
};
using FrameBufPtr = std::unique_ptr<frame_buf, FrameBufFree>;

// A read must hold a place for a descriptor before it receives one, and a
// place must wait with its descriptor until a message claims it. The places
// live here, outside the allocator, so that neither a read nor a claim
// allocates and neither can fail for lack of memory; only a user that lets
// more descriptors wait than there are places makes a read allocate one.
received_fd fd_places[IMSG_FD_PLACES];
received_fd *free_places[IMSG_FD_PLACES];
size_t free_place_count;
bool places_ready;

bool is_place(const received_fd *slot) {
    std::less_equal<const received_fd *> at_or_before;
    return at_or_before(fd_places, slot) && at_or_before(slot, &fd_places[IMSG_FD_PLACES - 1]);
}

received_fd *take_slot() {
    if (!places_ready) {
        for (received_fd &place : fd_places) {
            free_places[free_place_count++] = &place;
        }
        places_ready = true;
    }
    if (free_place_count > 0) {
        return free_places[--free_place_count];
    }
    return static_cast<received_fd *>(calloc(1, sizeof(received_fd)));
}

void give_slot(received_fd *slot) {
    if (is_place(slot)) {
        free_places[free_place_count++] = slot;
    } else {
        free(slot);
    }
}

struct ReceivedFdGive {
    void operator()(received_fd *slot) const { give_slot(slot); }
};
using ReceivedFdPtr = std::unique_ptr<received_fd, ReceivedFdGive>;

// A message handed out by imsg_get_borrowed() leaves the input only when the
// channel is next asked for more, since its payload lies there until then.
void consume_borrowed(imsg_channel *ch) {
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

// The oldest waiting descriptor for a message that asks for one, else -1.
int claim_fd(imsg_channel *ch, const imsg_message *msg) {
    if ((msg->header.flags & IMSG_FLAG_FD) != 0 && !TAILQ_EMPTY(&ch->received_fds)) {
        return imsg_take_fd(ch);
    }
    return -1;
}

// Hands out the complete message at the front with its payload in place and
// its descriptor claimed; it stays in the input until consume_borrowed().
void lend_front(imsg_channel *ch, imsg_message *msg) {
    ch->in_payload = ch->in_buf + IMSG_HDR_LEN;
    msg->fd = claim_fd(ch, msg);
    msg->data = ch->in_payload;
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

// Makes sure, as far as it can, that a receive finds a slot for every
// descriptor it may bring in. When the table is short, descriptors that
// wait unclaimed give way, oldest first: a descriptor that comes now
// belongs to a request on its way, while the oldest has waited longest for
// a message that may never come. What is still missing is left to the
// kernel, which drops a descriptor it cannot install and says so.
//
// With nothing waiting there is nothing to give way, so the read would go
// ahead whatever a probe said: the table is not asked, and a request costs
// no system call beyond its receive and its reply.
void make_room(imsg_channel *ch, uint32_t needed) {
    if (TAILQ_EMPTY(&ch->received_fds)) {
        return;
    }
    uint32_t free = free_slots(ch->fd, needed);
    while (free < needed && !TAILQ_EMPTY(&ch->received_fds)) {
        int fd = imsg_take_fd(ch);
        if (fd != -1) {
            close(fd);
            ch->losses.closed_waiting++;
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

// Whether the frame is a kept one that can take a new message; false with
// errno set when it is not.
bool frame_free(const frame_buf *frame) {
    if (!frame->kept) {
        errno = EINVAL;
        return false;
    }
    if (frame->used != 0) {
        errno = EBUSY;
        return false;
    }
    return true;
}

// Builds and queues one message from the header and the payload pieces,
// whose total the caller has already checked, in the kept frame when one is
// given and in a new buffer otherwise. The descriptor joins the buffer only
// once nothing can fail any more, so a failure leaves it with the caller.
int queue_message(imsg_channel *ch, frame_buf *frame, const imsg_header &hdr, int fd,
                  const iovec *iov, int iovcnt, size_t payload) {
    if (frame != nullptr && !frame_free(frame)) {
        return -1;
    }
    FrameBufPtr buf(frame != nullptr ? frame : frame_buf_new(IMSG_HDR_LEN + payload, IMSG_MAX_LEN));
    if (buf == nullptr) {
        return -1;
    }
    if (frame_buf_append(buf.get(), &hdr, sizeof hdr) == -1) {
        return -1;
    }
    for (int i = 0; i < iovcnt; i++) {
        if (iov[i].iov_len != 0 &&
            frame_buf_append(buf.get(), iov[i].iov_base, iov[i].iov_len) == -1) {
            return -1;
        }
    }
    buf->fd = fd;
    imsg_seal(ch, buf.release());
    return 1;
}

}  // namespace

void imsg_setup(imsg_channel *ch, int fd) {
    send_queue_init(&ch->out);
    memset(ch->in_buf, 0, sizeof ch->in_buf);
    ch->in_payload = nullptr;
    ch->in_len = 0;
    ch->losses = imsg_losses{};
    ch->out.fd = fd;
    ch->fd = fd;
    ch->pid = getpid();
    TAILQ_INIT(&ch->received_fds);
}

frame_buf *imsg_create(imsg_channel *ch, uint32_t type, uint32_t peer_id, pid_t pid,
                       uint16_t size) {
    if (size > MAX_PAYLOAD) {
        errno = ERANGE;
        return nullptr;
    }
    imsg_header hdr = make_header(ch, type, peer_id, pid);
    FrameBufPtr buf(frame_buf_new(IMSG_HDR_LEN + size, IMSG_MAX_LEN));
    if (buf == nullptr || frame_buf_append(buf.get(), &hdr, sizeof hdr) == -1) {
        return nullptr;
    }
    return buf.release();
}

frame_buf *imsg_create_in(imsg_channel *ch, frame_buf *frame, uint32_t type, uint32_t peer_id,
                          pid_t pid) {
    if (!frame_free(frame)) {
        return nullptr;
    }
    imsg_header hdr = make_header(ch, type, peer_id, pid);
    // The frame is empty and holds IMSG_MAX_LEN bytes, so the header fits.
    frame_buf_append(frame, &hdr, sizeof hdr);
    return frame;
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
    return queue_message(ch, nullptr, make_header(ch, type, peer_id, pid), fd, &piece, 1, len);
}

int imsg_send_in(imsg_channel *ch, frame_buf *frame, uint32_t type, uint32_t peer_id, pid_t pid,
                 int fd, const void *data, uint16_t len) {
    if (len > MAX_PAYLOAD) {
        errno = ERANGE;
        return -1;
    }
    iovec piece{const_cast<void *>(data), len};
    return queue_message(ch, frame, make_header(ch, type, peer_id, pid), fd, &piece, 1, len);
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
    return queue_message(ch, nullptr, make_header(ch, type, peer_id, pid), fd, iov,
                         iovcnt > 0 ? iovcnt : 0, payload);
}

int imsg_write_all(imsg_channel *ch) {
    while (ch->out.count != 0) {
        if (send_queue_write(&ch->out) == -1) {
            return -1;
        }
    }
    return 0;
}

int imsg_flush(imsg_channel *ch) {
    int r = send_queue_flush(&ch->out);
    ch->losses.refused += std::exchange(ch->out.refused, 0);
    return r;
}

void imsg_discard(imsg_channel *ch) {
    send_queue_clear(&ch->out);
    while (!TAILQ_EMPTY(&ch->received_fds)) {
        int fd = imsg_take_fd(ch);
        if (fd != -1) {
            close(fd);
        }
    }
}

ssize_t imsg_read(imsg_channel *ch) {
    consume_borrowed(ch);
    union {
        cmsghdr align;
        uint8_t bytes[CMSG_SPACE(sizeof(int))];
    } control;
    iovec iov{ch->in_buf + ch->in_len, IMSG_INBUF_LEN - ch->in_len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;

    // Taken before the receive so that a descriptor that arrives always has
    // a place to go; failing to queue it afterwards would lose it.
    ReceivedFdPtr slot(take_slot());
    if (slot == nullptr) {
        return -1;
    }

    ssize_t n;
    for (;;) {
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
            received = true;
            // One read keeps one descriptor: the pairing by order counts on
            // one descriptor per send call.
            if (i == 0 && slot != nullptr) {
                received_fd *kept = slot.release();
                kept->fd = fd;
                TAILQ_INSERT_TAIL(&ch->received_fds, kept, entry);
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
        received_fd *lost = slot.release();
        lost->fd = -1;
        TAILQ_INSERT_TAIL(&ch->received_fds, lost, entry);
        ch->losses.dropped++;
        ch->losses.table_full = free_slots(ch->fd, 1) == 0;
    } else if (received) {
        // A descriptor found its slot, so the table had room.
        ch->losses.table_full = false;
    }
    return n;
}

ssize_t imsg_get(imsg_channel *ch, imsg_message *msg) {
    consume_borrowed(ch);
    ssize_t length = front_message(ch, msg);
    if (length <= 0) {
        return length;
    }
    size_t payload = static_cast<size_t>(length) - IMSG_HDR_LEN;
    // Allocated even when empty so that every message owns a block and
    // imsg_release has one rule.
    auto *data = static_cast<uint8_t *>(malloc(payload == 0 ? 1 : payload));
    if (data == nullptr) {
        return -1;
    }
    lend_front(ch, msg);
    memcpy(data, msg->data, payload);
    msg->data = data;
    // Consumed at once: nothing of it stays borrowed.
    consume_borrowed(ch);
    return length;
}

ssize_t imsg_get_borrowed(imsg_channel *ch, imsg_message *msg) {
    consume_borrowed(ch);
    ssize_t length = front_message(ch, msg);
    if (length <= 0) {
        return length;
    }
    lend_front(ch, msg);
    return length;
}

void imsg_release(imsg_message *msg) {
    free(msg->data);
}

int imsg_take_fd(imsg_channel *ch) {
    received_fd *oldest = TAILQ_FIRST(&ch->received_fds);
    if (oldest == nullptr) {
        return -1;
    }
    TAILQ_REMOVE(&ch->received_fds, oldest, entry);
    int fd = oldest->fd;
    give_slot(oldest);
    return fd;
}

size_t imsg_fds_waiting(const imsg_channel *ch) {
    size_t n = 0;
    const received_fd *entry;
    TAILQ_FOREACH(entry, &ch->received_fds, entry) {
        n++;
    }
    return n;
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
