// The message channel: framed messages with descriptor passing over one
// connected local stream socket.
//
// A frame is a 16-byte imsg_header in host byte order followed by its
// payload; `length` counts both and lies in [16, 16384]. A descriptor travels
// as SCM_RIGHTS data on the send call whose bytes end with its message, one
// per call, and the receiver pairs descriptors with messages by order alone.
//
// Single-threaded and not reentrant. The channel never changes the socket's
// blocking mode and never closes the socket itself, and a send to a peer
// that has gone fails with EPIPE instead of raising SIGPIPE. Functions that
// fail return -1 (or null) with errno set, unless noted.
//
// Ownership: a channel owns every frame it hands out and every message it
// hands in. Frames come from the channel (imsg_create, imsg_send), go back
// to it sealed, and once written one of them is kept to build the next
// message in, so a user that writes each message out before it makes the
// next allocates nothing after imsg_setup. A received message's payload is
// lent from the input buffer, and descriptors wait in a fixed ring of
// places inside the channel: no read or extraction allocates.
#pragma once

#include <sys/queue.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t IMSG_HDR_LEN = 16;
inline constexpr size_t IMSG_MAX_LEN = 16384;
inline constexpr int IMSG_IOV_MAX = 1024;
inline constexpr size_t IMSG_INBUF_LEN = 65535;
inline constexpr uint16_t IMSG_FLAG_FD = 1;

struct imsg_header {
    uint32_t type;
    uint16_t length;
    uint16_t flags;
    uint32_t peer_id;
    int32_t pid;
};
static_assert(sizeof(imsg_header) == IMSG_HDR_LEN, "the wire header is 16 packed bytes");

// One outgoing message. Invariant: used <= capacity <= limit, and while
// queued, sent < used. `fd` (or -1) is owned by the buffer once set.
struct frame_buf {
    TAILQ_ENTRY(frame_buf) entry;
    uint8_t *data;
    size_t capacity;
    size_t limit;
    size_t used;
    size_t sent;
    int fd;
};
TAILQ_HEAD(frame_buf_list, frame_buf);

// FIFO of sealed messages; the head may be partly written. `spare` is a
// written buffer kept, emptied, for the next message rather than freed
// (null when there is none). `refused` counts the descriptors
// send_queue_flush() closed unsent because the kernel would not pass them
// (ETOOMANYREFS).
struct send_queue {
    frame_buf_list pending;
    frame_buf *spare;
    uint32_t count;
    uint32_t refused;
    int fd;
};

// What the channel gave up because the process's descriptor table was
// short, or the kernel would not pass a descriptor, kept for its user to
// report (imsg_take_losses()).
struct imsg_losses {
    // Unclaimed descriptors closed, oldest first, to make room for a read.
    uint32_t closed_waiting;
    // Descriptors that arrived when the table had no slot for them.
    uint32_t dropped;
    // Descriptors of replies that went without them (ETOOMANYREFS).
    uint32_t refused;
    // Not a single slot was free when a read last looked, which it does
    // when it sheds waiting descriptors or loses one: no descriptor can be
    // received, and none opened, until one is freed. Cleared once a
    // descriptor is received again.
    bool table_full;
};

// Received descriptors wait, oldest first, in a ring of places inside the
// channel. A user that lets at most IMSG_FD_PLACES - 1 wait between reads
// always leaves a place for the next read; one that lets all of them fill
// loses the oldest when the next read makes room.
inline constexpr size_t IMSG_FD_PLACES = 17;

// The waiting descriptors: `count` places from `first` on, in order,
// wrapping at the end. A descriptor the kernel could not install holds its
// place with -1, so that the messages after it still pair with their own.
struct imsg_fd_ring {
    int places[IMSG_FD_PLACES];
    size_t first;
    size_t count;
};

// One endpoint. Bytes [0, in_len) of in_buf are received and not yet
// extracted, and always begin at a message boundary. in_payload is not null
// while a message handed out by imsg_get() still sits at the front of
// in_buf.
struct imsg_channel {
    imsg_fd_ring received_fds;
    uint8_t in_buf[IMSG_INBUF_LEN];
    uint8_t *in_payload;
    size_t in_len;
    send_queue out;
    imsg_losses losses;
    int fd;
    pid_t pid;
};

// A received message: `data` (length - 16 bytes) is lent by the channel
// (see imsg_get()); `fd` (-1 for none) belongs to the caller for good.
struct imsg_message {
    imsg_header header;
    int fd;
    uint8_t *data;
};

// Descriptor slots that every read keeps free beyond those it may bring in.
extern uint32_t imsg_fd_reserve;

// Sets up the channel on a socket; takes the process id for pid 0. Makes
// the frame the first message is built in; short of memory, the first
// message makes it instead. Cannot fail.
void imsg_setup(imsg_channel *ch, int fd);

// A new message holding only its header, with room for `size` payload bytes
// and more up to 16384 bytes in all; the caller builds it until imsg_seal().
// It is the channel's spare frame when there is one, else a new one. Null
// with ERANGE when 16 + size > 16384, or with the allocator's errno.
frame_buf *imsg_create(imsg_channel *ch, uint32_t type, uint32_t peer_id, pid_t pid, uint16_t size);

// Appends len bytes; returns len. On -1 (ENOMEM: the message would pass
// 16384 bytes) the buffer is gone and must not be used again. Adding 0
// bytes changes nothing (data may be null).
int imsg_add(frame_buf *buf, const void *data, uint16_t len);

// Fills in length and flags and hands the buffer back to the channel's
// queue.
void imsg_seal(imsg_channel *ch, frame_buf *buf);

// Queues a whole message; 1 on success. The descriptor (or -1) belongs to
// the channel only on success; after -1 (ERANGE, or the allocator's errno)
// nothing is queued and it is still the caller's.
int imsg_send(imsg_channel *ch, uint32_t type, uint32_t peer_id, pid_t pid, int fd,
              const void *data, uint16_t len);

// As imsg_send() with the payload gathered from pieces in order.
int imsg_sendv(imsg_channel *ch, uint32_t type, uint32_t peer_id, pid_t pid, int fd,
               const struct iovec *iov, int iovcnt);

// Writes the queue out, waiting out a send that cannot go now: EAGAIN in
// poll() until the socket takes more, ENOBUFS and ENOMEM after a short
// back-off. A descriptor the kernel refuses to pass (ETOOMANYREFS) is
// closed and its message sent without it, flag cleared, counted in the
// losses. So it returns 0 with the queue empty, or -1 with the error of a
// send that cannot succeed (EPIPE or ECONNRESET once the peer has gone),
// the rest still queued. On a blocking socket it costs no call beyond the
// sends; on an empty queue, none at all.
int imsg_write_all(imsg_channel *ch);

// Drops every queued message (closing their descriptors) and closes every
// received descriptor not handed out. Buffered input and the spare frame
// stay.
void imsg_discard(imsg_channel *ch);

// Frees what imsg_setup() and later messages allocated, after discarding
// as imsg_discard() does; the channel must be set up again before use. A
// channel that lives as long as its process needs no call.
void imsg_teardown(imsg_channel *ch);

// One receive into in_buf, keeping at most one passed descriptor (the rest
// are closed). Bytes read; 0 when the peer closed; -1 with the receive's
// error (ENOMEM and ENOBUFS only for the moment: call again after a pause)
// or the allocator's. Call it only after imsg_get() answered 0, so that
// in_buf has room. An interrupted receive is retried at once; one that
// would block waits in poll() until the socket is readable, so a
// non-blocking socket reads like a blocking one.
//
// A shortage of descriptor slots never fails the read. Before it receives
// while descriptors wait, the channel makes sure that imsg_fd_reserve + 2
// slots are free; where they are not, it closes waiting descriptors, oldest
// first, until they are or none waits. Then it receives all the same. A
// descriptor that finds no slot is dropped by the kernel, and its place in
// the order is kept empty (fd -1). Each is counted in the losses.
ssize_t imsg_read(imsg_channel *ch);

// Extracts the next complete message: its whole length; 0 when none is
// complete; -1 with ERANGE for a length outside [16, 16384] (nothing
// consumed, and every later call answers the same). Nothing is allocated
// or copied: msg->data points into in_buf, where the message stays, valid,
// until the next imsg_get() or imsg_read() on the channel consumes it. Its
// descriptor is the oldest waiting one when its header asks for one.
ssize_t imsg_get(imsg_channel *ch, imsg_message *msg);

// Ends the loan of a message's payload (msg->data becomes null); leaves
// msg->fd alone.
void imsg_release(imsg_message *msg);

// Takes the oldest waiting place: its descriptor (now the caller's), or -1
// when the kernel dropped that one or nothing waits.
int imsg_take_fd(imsg_channel *ch);

// How many places wait for a message to claim them, dropped descriptors'
// included: at most IMSG_FD_PLACES. Below that its user decides how many
// may wait.
size_t imsg_fds_waiting(const imsg_channel *ch);

// The losses since the last call, which clears the counts (table_full
// stays as it was last found).
imsg_losses imsg_take_losses(imsg_channel *ch);

// 0 when `count` descriptors could be opened just now (at most 256), else
// 1. It asks by duplicating descriptor 0, which must be open, and closing
// the copies again: no other object is made, and nothing depends on which
// kinds of file the process may open.
int probe_free_fds(uint32_t count);

// A pause for a refusal the kernel gives only while its buffers or memory
// run short (ENOBUFS, ENOMEM), which nothing signals the end of: each wait
// is twice the last, from 1 ms up to 64 ms. Zeroed, it starts afresh.
struct imsg_backoff {
    int last_ms;
};
void imsg_backoff_wait(imsg_backoff *b);

// Buffers and queue. A buffer grows only to the exact size an append needs,
// never past its limit (ENOMEM); a failed append or reserve leaves it as it
// was.

// An empty buffer owned by the caller (free with frame_buf_free), fd -1. A
// limit of 0 means the size. Null when the limit is below the size (errno
// untouched) or with the allocator's errno.
frame_buf *frame_buf_new(size_t size, size_t limit);
// A buffer that never grows: its limit is its capacity.
frame_buf *frame_buf_new_fixed(size_t capacity);
int frame_buf_append(frame_buf *buf, const void *data, size_t n);
// Reallocates data to exactly used + n bytes (which may shrink it).
int frame_buf_grow(frame_buf *buf, size_t n);
// Claims n uninitialised bytes at the end; their position, or null.
void *frame_buf_reserve(frame_buf *buf, size_t n);
// A view of n written bytes at pos, valid until the next growth; null when
// they are not all written.
void *frame_buf_at(frame_buf *buf, size_t pos, size_t n);
size_t frame_buf_size(const frame_buf *buf);
size_t frame_buf_room(const frame_buf *buf);
// Frees data and record; does not close buf->fd.
void frame_buf_free(frame_buf *buf);

// Empty, with no socket (fd -1) and no spare.
void send_queue_init(send_queue *q);
// Takes ownership of a buffer with used > 0, descriptor included.
void send_queue_append(send_queue *q, frame_buf *buf);
// One sendmsg from the head, through the first buffer carrying a descriptor.
// 1 after progress; 0 with errno 0 when nothing was written; -1 on error
// (ENOBUFS reported as EAGAIN), the queue unchanged.
int send_queue_write(send_queue *q);
// Writes until the queue is empty, waiting out sends that cannot go now, as
// imsg_write_all() describes.
int send_queue_flush(send_queue *q);
// As send_queue_write() with writev and no descriptor passing.
int send_queue_writev(send_queue *q);
// Marks n bytes from the head as written, removing (and closing the
// descriptors of) the buffers that are now complete.
void send_queue_consume(send_queue *q, size_t n);
// Unlinks buf and closes its descriptor; keeps it, emptied, as the spare
// when the queue has none, and frees it otherwise.
void send_queue_remove(send_queue *q, frame_buf *buf);
// Removes every buffer as send_queue_remove() does.
void send_queue_clear(send_queue *q);
// The spare, emptied, now the caller's; null when there is none.
frame_buf *send_queue_take_spare(send_queue *q);
