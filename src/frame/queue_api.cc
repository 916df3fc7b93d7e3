#include "frame/queue_api.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "channel/imsg.h"
#include "frame/ids.h"
#include "frame/queue_proto.h"
#include "frame/request.h"
#include "log/log.h"
#include "support/unique.h"

queue_handler_table queue_handlers;

namespace {
const char *root_dir = "/var/spool/mavid";
const char *run_as_user = "_mavidq";
}  // namespace

void queue_api_set_finish(int (*fn)()) {
    queue_handlers.finish = fn;
}
void queue_api_set_message_new(int (*fn)(uint32_t *)) {
    queue_handlers.message_new = fn;
}
void queue_api_set_message_store(int (*fn)(uint32_t, const char *)) {
    queue_handlers.message_store = fn;
}
void queue_api_set_message_remove(int (*fn)(uint32_t)) {
    queue_handlers.message_remove = fn;
}
void queue_api_set_message_open(int (*fn)(uint32_t)) {
    queue_handlers.message_open = fn;
}
void queue_api_set_message_mark(int (*fn)(uint32_t)) {
    queue_handlers.message_mark = fn;
}
void queue_api_set_message_unmark(int (*fn)(uint32_t)) {
    queue_handlers.message_unmark = fn;
}
void queue_api_set_envelope_new(int (*fn)(uint32_t, std::span<const uint8_t>, uint64_t *)) {
    queue_handlers.envelope_new = fn;
}
void queue_api_set_envelope_remove(int (*fn)(uint64_t)) {
    queue_handlers.envelope_remove = fn;
}
void queue_api_set_envelope_replace(int (*fn)(uint64_t, std::span<const uint8_t>)) {
    queue_handlers.envelope_replace = fn;
}
void queue_api_set_envelope_read(int (*fn)(uint64_t, std::span<uint8_t>)) {
    queue_handlers.envelope_read = fn;
}
void queue_api_set_envelope_iterate(int (*fn)(uint64_t *, std::span<uint8_t>)) {
    queue_handlers.envelope_iterate = fn;
}
void queue_api_set_message_iterate(int (*fn)(uint64_t *, std::span<uint8_t>, uint32_t, int, int)) {
    queue_handlers.message_iterate = fn;
}

void queue_api_set_root_dir(const char *path) {
    root_dir = path;
}
void queue_api_clear_root_dir() {
    root_dir = nullptr;
}
void queue_api_run_as(const char *user) {
    run_as_user = user;
}

namespace {

// The loop's process-wide state: the one channel on descriptor 0, the
// request being served and the reply being built (null between requests).
// The request's payload is borrowed from the channel's input, and every
// reply is built in one kept frame, which is written out before the next
// request is taken: answering costs no allocation, so a backend short of
// memory still answers every request.
imsg_channel channel;
imsg_message request;
frame_buf *pending_reply;
frame_buf reply_frame;
uint8_t reply_bytes[IMSG_MAX_LEN];

// Room for an envelope on the way back, and one block of a message's
// content on the way in. Reused by every request.
uint8_t work_buf[QUEUE_ENVELOPE_BUF];

// The content copy is made under "/tmp" of the changed root.
constexpr char CONTENT_COPY_PATTERN[] = "/tmp/message.XXXXXXXXXX";

// A peer may send a descriptor ahead of the message that claims it, but
// descriptors that no message claims would fill our table until reading
// stops; beyond this many, the oldest waiting one goes. With one place left
// for the next read, no read has to allocate one.
constexpr size_t MAX_UNCLAIMED_FDS = 16;
static_assert(MAX_UNCLAIMED_FDS < IMSG_FD_PLACES);

[[noreturn]] void api_failure(const char *warning) {
    log_warning("%s", warning);
    die("queue-api: exiting");
}

// Removes a file's name when the scope ends; the backend keeps nothing on
// disk beyond the request that needed it, and says so when it cannot.
class unlink_on_exit {
  public:
    explicit unlink_on_exit(const char *path) : path_(path) {}
    unlink_on_exit(const unlink_on_exit &) = delete;
    unlink_on_exit &operator=(const unlink_on_exit &) = delete;
    ~unlink_on_exit() {
        if (unlink(path_) == -1) {
            log_warning_errno("warn: queue-api: unlink: \"%s\"", path_);
        }
    }

  private:
    const char *path_;
};

// One request from its extraction to its reply, and the one place that
// says what becomes of what it brought. Its payload is borrowed from the
// channel's input, where it stays until the loop asks for the next request:
// the envelope bytes a handler reads in place outlive the handler, and
// nothing has to be freed. Its descriptor goes to the content copy of a
// store and is closed before the handler runs for every other type, or a
// peer could fill our table; one still held when the request ends is
// closed then.
class request_context {
  public:
    explicit request_context(imsg_message &msg) : msg_(msg) {}
    request_context(const request_context &) = delete;
    request_context &operator=(const request_context &) = delete;
    ~request_context() { close_fd(); }

    std::span<const uint8_t> payload() const {
        return {msg_.data, msg_.header.length - IMSG_HDR_LEN};
    }

    // Called once the request is known to be well formed.
    void before_handler(uint32_t type) {
        if (type != QUEUE_MESSAGE_STORE) {
            close_fd();
        }
    }

    // The received descriptor, or -1; the caller owns it from now on.
    int take_fd() { return std::exchange(msg_.fd, -1); }

  private:
    void close_fd() {
        if (msg_.fd != -1) {
            close(msg_.fd);
            msg_.fd = -1;
        }
    }

    imsg_message &msg_;
};

// What a handler answers is checked before the loop acts on it. A result
// outside what the handler may give is the storage side's fault, and acting
// on it would send bytes we do not have or wedge the channel; the request
// cannot be answered truthfully, so the backend ends.
int checked_result(const char *handler, int result, int lowest, int highest) {
    if (result < lowest || result > highest) {
        log_warning("warn: queue-api: %s returned %d", handler, result);
        die("queue-api: exiting");
    }
    return result;
}

constexpr int ENVELOPE_BUF_LEN = static_cast<int>(QUEUE_ENVELOPE_BUF);

// Queues a reply made of one piece. Built in the kept frame it cannot fail;
// if it ever did, the peer would wait forever, so it would end the process
// like a reply that cannot be built, without leaving the handler's
// descriptor open.
void send_whole(int fd, const void *data, uint16_t len) {
    if (imsg_send_in(&channel, &reply_frame, QUEUE_REPLY, 0, 0, fd, data, len) == -1) {
        if (fd != -1) {
            close(fd);
        }
        api_failure("warn: queue-api: imsg_send failed");
    }
}

void send_result(int result) {
    send_whole(-1, &result, sizeof result);
}

// Appends to the reply being built, creating it on first use in the kept
// frame, whose whole size every reply fits.
void reply_append(const void *data, uint16_t len) {
    if (pending_reply == nullptr) {
        pending_reply = imsg_create_in(&channel, &reply_frame, QUEUE_REPLY, 0, 0);
        if (pending_reply == nullptr) {
            api_failure("warn: queue-api: imsg_create failed");
        }
    }
    if (imsg_add(pending_reply, data, len) == -1) {
        // The channel has already freed the frame.
        pending_reply = nullptr;
        api_failure("warn: queue-api: imsg_add failed");
    }
}

void seal_reply() {
    imsg_seal(&channel, pending_reply);
    pending_reply = nullptr;
}

// Copies a message's content from the descriptor the peer passed into a
// fresh file under "/tmp" and hands its path to the storage side. Takes
// content_fd (or -1). -1: no file or stream could be made; 0: the content
// did not reach the file in full (logged with the cause); otherwise
// message_store's result.
int store_content(uint32_t msgid, int content_fd) {
    unique_fd content(content_fd);
    char path[sizeof CONTENT_COPY_PATTERN];
    memcpy(path, CONTENT_COPY_PATTERN, sizeof path);
    unique_fd copy(mkstemp(path));
    if (copy.get() == -1) {
        log_warning_errno("warn: queue-api: mkstemp");
        return -1;
    }
    unlink_on_exit copy_name(path);

    // Both streams are tried whatever the first gives. `out` is declared
    // first so that it is destroyed last: the peer's descriptor is closed
    // before the file's.
    FILE *input = fdopen(content.get(), "r");
    unique_file out(fdopen(copy.get(), "w"));
    unique_file in(input);
    if (in.get() != nullptr) {
        content.release();
    }
    if (out.get() != nullptr) {
        copy.release();
    }
    if (in.get() == nullptr || out.get() == nullptr) {
        return -1;
    }

    // Writing past the file-size limit would raise SIGXFSZ and end the
    // backend with every message it holds; a copy that would pass it fails
    // as on a full disk instead.
    uint64_t room = file_size_limit();

    // The end is tested before each read, so even empty content is read
    // once; every block is flushed, so the handler sees the whole file.
    for (;;) {
        if (feof(in.get())) {
            return queue_handlers.message_store(msgid, path);
        }
        size_t got = fread(work_buf, 1, sizeof work_buf, in.get());
        if (ferror(in.get())) {
            log_warning_errno("warn: queue-api: content copy");
            return 0;
        }
        if (got > room) {
            errno = EFBIG;
            log_warning_errno("warn: queue-api: content copy");
            return 0;
        }
        room -= got;
        if (fwrite(work_buf, 1, got, out.get()) != got || fflush(out.get()) != 0) {
            log_warning_errno("warn: queue-api: content copy");
            return 0;
        }
    }
}

void serve_hello(const queue_request &, request_context &) {
    send_whole(-1, nullptr, 0);
}

void serve_finish(const queue_request &, request_context &) {
    // An empty slot is a storage side with nothing to finish.
    send_result(queue_handlers.finish != nullptr ? queue_handlers.finish() : 1);
}

void serve_message_new(const queue_request &, request_context &) {
    uint32_t msgid = 0;
    int result = queue_handlers.message_new(&msgid);
    reply_append(&result, sizeof result);
    if (result == 1) {
        reply_append(&msgid, sizeof msgid);
    }
    seal_reply();
}

void serve_message_remove(const queue_request &req, request_context &) {
    send_result(queue_handlers.message_remove(req.msgid));
}

void serve_message_store(const queue_request &req, request_context &ctx) {
    send_result(store_content(req.msgid, ctx.take_fd()));
}

void serve_message_open(const queue_request &req, request_context &) {
    // The descriptor passes to the channel, which closes it once sent.
    send_whole(checked_result("message_open", queue_handlers.message_open(req.msgid), -1, INT_MAX),
               nullptr, 0);
}

void serve_message_mark(const queue_request &req, request_context &) {
    send_result(queue_handlers.message_mark(req.msgid));
}

void serve_message_unmark(const queue_request &req, request_context &) {
    send_result(queue_handlers.message_unmark(req.msgid));
}

void serve_envelope_new(const queue_request &req, request_context &) {
    uint64_t evpid = 0;
    int result = queue_handlers.envelope_new(req.msgid, req.envelope, &evpid);
    reply_append(&result, sizeof result);
    if (result == 1) {
        reply_append(&evpid, sizeof evpid);
    }
    seal_reply();
}

void serve_envelope_remove(const queue_request &req, request_context &) {
    send_result(queue_handlers.envelope_remove(req.evpid));
}

void serve_envelope_read(const queue_request &req, request_context &) {
    int len = checked_result("envelope_read",
                             queue_handlers.envelope_read(req.evpid, std::span(work_buf)), 0,
                             ENVELOPE_BUF_LEN);
    // The envelope is the whole reply; an empty one means there is none.
    send_whole(-1, work_buf, static_cast<uint16_t>(len));
}

void serve_envelope_replace(const queue_request &req, request_context &) {
    send_result(queue_handlers.envelope_replace(req.evpid, req.envelope));
}

// An iterate result above 0 brings the id and that many bytes; any other
// result goes alone.
void reply_iterated(int result, uint64_t id) {
    reply_append(&result, sizeof result);
    if (result > 0) {
        reply_append(&id, sizeof id);
        reply_append(work_buf, static_cast<uint16_t>(result));
    }
    seal_reply();
}

void serve_envelope_iterate(const queue_request &, request_context &) {
    uint64_t evpid = 0;
    int result = checked_result("envelope_iterate",
                                queue_handlers.envelope_iterate(&evpid, std::span(work_buf)),
                                INT_MIN, ENVELOPE_BUF_LEN);
    reply_iterated(result, evpid);
}

void serve_message_iterate(const queue_request &req, request_context &) {
    uint64_t id = 0;
    int result =
        checked_result("message_iterate",
                       queue_handlers.message_iterate(&id, std::span(work_buf), req.value, 0, 0),
                       INT_MIN, ENVELOPE_BUF_LEN);
    reply_iterated(result, id);
}

using serve_fn = void (*)(const queue_request &, request_context &);

// Indexed by message type; the decoder has refused every type outside
// QUEUE_HELLO to QUEUE_MESSAGE_ITERATE.
constexpr serve_fn serve_by_type[] = {
    nullptr,
    nullptr,
    serve_hello,
    serve_finish,
    serve_message_new,
    serve_message_remove,
    serve_message_store,
    serve_message_open,
    serve_message_mark,
    serve_message_unmark,
    serve_envelope_new,
    serve_envelope_remove,
    serve_envelope_read,
    serve_envelope_replace,
    serve_envelope_iterate,
    serve_message_iterate,
};
static_assert(std::size(serve_by_type) == QUEUE_MESSAGE_ITERATE + 1);

// Decodes and answers the request just extracted. A malformed one reaches
// no handler and gets no reply: the backend ends with the line it earns.
void serve_request() {
    request_context ctx(request);
    request_decoding d = decode_request(request.header.type, ctx.payload());
    if (d.fault != request_fault::none) {
        char warning[64];
        format_request_fault(d.fault, request.header.type, warning, sizeof warning);
        log_warning("%s", warning);
        die("%s", request_fault_closing(d.fault));
    }
    ctx.before_handler(d.request.type);
    serve_by_type[d.request.type](d.request, ctx);
}

// The account is looked up before the change of root, which may hide the
// account database.
void confine() {
    passwd *pw = nullptr;
    if (run_as_user != nullptr) {
        errno = 0;
        pw = getpwnam(run_as_user);
        if (pw == nullptr) {
            // A lookup that finds nothing sets no error, and "Success"
            // would send the reader looking in the wrong place.
            if (errno == 0) {
                log_warning("queue-api: getpwnam: \"%s\": no such account", run_as_user);
            } else {
                log_warning_errno("queue-api: getpwnam");
            }
            die("queue-api: exiting");
        }
    }
    if (root_dir != nullptr) {
        if (chroot(root_dir) == -1) {
            log_warning_errno("queue-api: chroot");
            die("queue-api: exiting");
        }
        if (chdir("/") == -1) {
            log_warning_errno("queue-api: chdir");
            die("queue-api: exiting");
        }
    }
    if (pw != nullptr) {
        gid_t gid = pw->pw_gid;
        uid_t uid = pw->pw_uid;
        if (setgroups(1, &gid) == -1 || setresgid(gid, gid, gid) == -1 ||
            setresuid(uid, uid, uid) == -1) {
            log_warning_errno("queue-api: cannot drop privileges");
            die("queue-api: exiting");
        }
    }
}

// Closes the oldest waiting descriptors beyond the bound, one line each. A
// place the kernel left empty goes without a line: its loss was told when
// it was dropped.
void close_unclaimed_fds() {
    while (imsg_fds_waiting(&channel) > MAX_UNCLAIMED_FDS) {
        int fd = imsg_take_fd(&channel);
        if (fd != -1) {
            close(fd);
            log_warning("warn: queue-proc: unclaimed descriptor closed");
        }
    }
}

// Whether the last read found the descriptor table without a single free
// slot; told once for as long as that lasts.
bool table_full_told;

// One line for each descriptor the channel had to give up since the last
// report. None of them ends the service: a request whose descriptor was
// lost is served as one that came without it.
void report_losses() {
    imsg_losses lost = imsg_take_losses(&channel);
    for (uint32_t i = 0; i < lost.closed_waiting; i++) {
        log_warning("warn: queue-proc: unclaimed descriptor closed");
    }
    for (uint32_t i = 0; i < lost.dropped; i++) {
        log_warning("warn: queue-api: passed descriptor dropped: descriptor table full");
    }
    for (uint32_t i = 0; i < lost.refused; i++) {
        log_warning("warn: queue-api: descriptor not passed: %s", strerror(ETOOMANYREFS));
    }
    if (lost.table_full && !table_full_told) {
        log_warning("warn: queue-api: descriptor table full: serving without descriptors");
    }
    table_full_told = lost.table_full;
}

// Takes more input from the socket: true once some has come, false when
// the channel has ended (logged). A receive the kernel refuses only for a
// moment (short of memory or buffers) is tried again after a pause, told
// once for each spell of them: ending would lose the whole queue.
bool read_more() {
    imsg_backoff backoff{};
    for (;;) {
        ssize_t n = imsg_read(&channel);
        report_losses();
        if (n > 0) {
            close_unclaimed_fds();
            return true;
        }
        if (n == 0) {
            log_warning("warn: queue-api: pipe closed");
            return false;
        }
        if (errno != ENOMEM && errno != ENOBUFS) {
            log_warning_errno("warn: queue-api: imsg_read");
            return false;
        }
        if (backoff.last_ms == 0) {
            log_warning_errno("warn: queue-api: imsg_read: retrying");
        }
        imsg_backoff_wait(&backoff);
    }
}

}  // namespace

int queue_api_run() {
    confine();
    imsg_setup(&channel, 0);
    frame_buf_init_kept(&reply_frame, reply_bytes, sizeof reply_bytes);

    for (;;) {
        // A request already complete in the input is served before the
        // socket is read again.
        ssize_t got = imsg_get_borrowed(&channel, &request);
        if (got == 0) {
            if (!read_more()) {
                return 1;
            }
            continue;
        }
        if (got == -1) {
            log_warning_errno("warn: queue-api: imsg_get");
            return 1;
        }
        serve_request();
        // The peer waits for this reply before it sends more, so it must be
        // out before the next request is read.
        if (imsg_flush(&channel) == -1) {
            bool gone = errno == EPIPE || errno == ECONNRESET;
            if (gone) {
                log_warning("warn: queue-api: pipe closed");
            } else {
                log_warning_errno("warn: queue-api: imsg_flush");
            }
            // Nobody will read what is left; its descriptors go now.
            send_queue_clear(&channel.out);
            return 1;
        }
        report_losses();
    }
}
