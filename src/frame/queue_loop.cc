#include "frame/queue_loop.h"

#include <errno.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "frame/ids.h"
#include "frame/request.h"
#include "log/log.h"
#include "support/unique.h"

namespace {

// The content copy is made under "/tmp" of the changed root.
constexpr char CONTENT_COPY_PATTERN[] = "/tmp/message.XXXXXXXXXX";

// A peer may send a descriptor ahead of the message that claims it, but
// descriptors that no message claims would fill our table until reading
// stops; beyond this many, the oldest waiting one goes. With one place left
// for the next read, no read has to shed one.
constexpr size_t MAX_UNCLAIMED_FDS = 16;
static_assert(MAX_UNCLAIMED_FDS < IMSG_FD_PLACES);

constexpr int ENVELOPE_BUF_LEN = static_cast<int>(QUEUE_ENVELOPE_BUF);

void die_with(const char *closing) {
    die("%s", closing);
}

// Ends the loop after a fatal condition's cause line. A failed loop does
// nothing more: every later step of the request returns at once, so that a
// hook that returns lets the loop unwind to its caller.
void fail(queue_loop &loop, const char *closing) {
    loop.failed = true;
    loop.fatal(closing);
}

void api_failure(queue_loop &loop, const char *warning) {
    log_warning("%s", warning);
    fail(loop, "queue-api: exiting");
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
// says what becomes of what it brought. Its payload is lent by the channel,
// where it stays until the loop asks for the next request: the envelope
// bytes a handler reads in place outlive the handler, and nothing has to be
// freed. Its descriptor goes to the content copy of a store and is closed
// before the handler runs for every other type, or a peer could fill our
// table; one still held when the request ends is closed then.
class request_context {
  public:
    explicit request_context(imsg_message &msg) : msg_(msg) {}
    request_context(const request_context &) = delete;
    request_context &operator=(const request_context &) = delete;
    ~request_context() {
        close_fd();
        imsg_release(&msg_);
    }

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
// cannot be answered truthfully, so the backend ends. Once the loop has
// failed the result is lowest, and nothing will be sent.
int checked_result(queue_loop &loop, const char *handler, int result, int lowest, int highest) {
    if (result < lowest || result > highest) {
        log_warning("warn: queue-api: %s returned %d", handler, result);
        fail(loop, "queue-api: exiting");
        return lowest;
    }
    return result;
}

// Queues a reply made of one piece. It fails only without a frame to build
// it in; then the peer would wait forever, so it ends the process like a
// reply that cannot be built, without leaving the handler's descriptor
// open.
void send_whole(queue_loop &loop, int fd, const void *data, uint16_t len) {
    if (loop.failed || imsg_send(&loop.channel, QUEUE_REPLY, 0, 0, fd, data, len) == -1) {
        if (fd != -1) {
            close(fd);
        }
        if (!loop.failed) {
            api_failure(loop, "warn: queue-api: imsg_send failed");
        }
    }
}

void send_result(queue_loop &loop, int result) {
    send_whole(loop, -1, &result, sizeof result);
}

// Appends to the reply being built, creating it on first use. Every reply
// fits a frame, so only a missing frame can fail it.
void reply_append(queue_loop &loop, const void *data, uint16_t len) {
    if (loop.failed) {
        return;
    }
    if (loop.pending_reply == nullptr) {
        loop.pending_reply = imsg_create(&loop.channel, QUEUE_REPLY, 0, 0, 1024);
        if (loop.pending_reply == nullptr) {
            api_failure(loop, "warn: queue-api: imsg_create failed");
            return;
        }
    }
    if (imsg_add(loop.pending_reply, data, len) == -1) {
        // The channel has already taken the frame back.
        loop.pending_reply = nullptr;
        api_failure(loop, "warn: queue-api: imsg_add failed");
    }
}

void seal_reply(queue_loop &loop) {
    if (loop.pending_reply != nullptr) {
        imsg_seal(&loop.channel, std::exchange(loop.pending_reply, nullptr));
    }
}

// Copies a message's content from the descriptor the peer passed into a
// fresh file under "/tmp" and hands its path to the storage side. Takes
// content_fd (or -1). -1: no file or stream could be made; 0: the content
// did not reach the file in full (logged with the cause); otherwise
// message_store's result.
int store_content(queue_loop &loop, uint32_t msgid, int content_fd) {
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
            return loop.handlers->message_store(msgid, path);
        }
        size_t got = fread(loop.work_buf, 1, sizeof loop.work_buf, in.get());
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
        if (fwrite(loop.work_buf, 1, got, out.get()) != got || fflush(out.get()) != 0) {
            log_warning_errno("warn: queue-api: content copy");
            return 0;
        }
    }
}

void serve_hello(queue_loop &loop, const queue_request &, request_context &) {
    send_whole(loop, -1, nullptr, 0);
}

void serve_finish(queue_loop &loop, const queue_request &, request_context &) {
    // An empty slot is a storage side with nothing to finish.
    send_result(loop, loop.handlers->finish != nullptr ? loop.handlers->finish() : 1);
}

void serve_message_new(queue_loop &loop, const queue_request &, request_context &) {
    uint32_t msgid = 0;
    int result = loop.handlers->message_new(&msgid);
    reply_append(loop, &result, sizeof result);
    if (result == 1) {
        reply_append(loop, &msgid, sizeof msgid);
    }
    seal_reply(loop);
}

void serve_message_remove(queue_loop &loop, const queue_request &req, request_context &) {
    send_result(loop, loop.handlers->message_remove(req.msgid));
}

void serve_message_store(queue_loop &loop, const queue_request &req, request_context &ctx) {
    send_result(loop, store_content(loop, req.msgid, ctx.take_fd()));
}

void serve_message_open(queue_loop &loop, const queue_request &req, request_context &) {
    // The descriptor passes to the channel, which closes it once sent.
    int fd =
        checked_result(loop, "message_open", loop.handlers->message_open(req.msgid), -1, INT_MAX);
    send_whole(loop, fd, nullptr, 0);
}

void serve_message_mark(queue_loop &loop, const queue_request &req, request_context &) {
    send_result(loop, loop.handlers->message_mark(req.msgid));
}

void serve_message_unmark(queue_loop &loop, const queue_request &req, request_context &) {
    send_result(loop, loop.handlers->message_unmark(req.msgid));
}

void serve_envelope_new(queue_loop &loop, const queue_request &req, request_context &) {
    uint64_t evpid = 0;
    int result = loop.handlers->envelope_new(req.msgid, req.envelope, &evpid);
    reply_append(loop, &result, sizeof result);
    if (result == 1) {
        reply_append(loop, &evpid, sizeof evpid);
    }
    seal_reply(loop);
}

void serve_envelope_remove(queue_loop &loop, const queue_request &req, request_context &) {
    send_result(loop, loop.handlers->envelope_remove(req.evpid));
}

void serve_envelope_read(queue_loop &loop, const queue_request &req, request_context &) {
    int len = checked_result(loop, "envelope_read",
                             loop.handlers->envelope_read(req.evpid, std::span(loop.work_buf)), 0,
                             ENVELOPE_BUF_LEN);
    // The envelope is the whole reply; an empty one means there is none.
    send_whole(loop, -1, loop.work_buf, static_cast<uint16_t>(len));
}

void serve_envelope_replace(queue_loop &loop, const queue_request &req, request_context &) {
    send_result(loop, loop.handlers->envelope_replace(req.evpid, req.envelope));
}

// An iterate result above 0 brings the id and that many bytes; any other
// result goes alone.
void reply_iterated(queue_loop &loop, int result, uint64_t id) {
    reply_append(loop, &result, sizeof result);
    if (result > 0) {
        reply_append(loop, &id, sizeof id);
        reply_append(loop, loop.work_buf, static_cast<uint16_t>(result));
    }
    seal_reply(loop);
}

void serve_envelope_iterate(queue_loop &loop, const queue_request &, request_context &) {
    uint64_t evpid = 0;
    int result = checked_result(loop, "envelope_iterate",
                                loop.handlers->envelope_iterate(&evpid, std::span(loop.work_buf)),
                                INT_MIN, ENVELOPE_BUF_LEN);
    reply_iterated(loop, result, evpid);
}

void serve_message_iterate(queue_loop &loop, const queue_request &req, request_context &) {
    uint64_t id = 0;
    int result = checked_result(
        loop, "message_iterate",
        loop.handlers->message_iterate(&id, std::span(loop.work_buf), req.value, 0, 0), INT_MIN,
        ENVELOPE_BUF_LEN);
    reply_iterated(loop, result, id);
}

using serve_fn = void (*)(queue_loop &, const queue_request &, request_context &);

// Indexed by message type; the decoder has refused every type outside
// QUEUE_HELLO to QUEUE_MESSAGE_ITERATE.
constexpr serve_fn SERVE_BY_TYPE[] = {
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
static_assert(std::size(SERVE_BY_TYPE) == QUEUE_MESSAGE_ITERATE + 1);

// Decodes and answers the request just extracted. A malformed one reaches
// no handler and gets no reply: the backend ends with the line it earns.
void serve_request(queue_loop &loop) {
    request_context ctx(loop.request);
    request_decoding d = decode_request(loop.request.header.type, ctx.payload());
    if (d.fault != request_fault::none) {
        char warning[64];
        format_request_fault(d.fault, loop.request.header.type, warning, sizeof warning);
        log_warning("%s", warning);
        fail(loop, request_fault_closing(d.fault));
        return;
    }
    ctx.before_handler(d.request.type);
    SERVE_BY_TYPE[d.request.type](loop, d.request, ctx);
}

// Closes the oldest waiting descriptors beyond the bound, one line each. A
// place the kernel left empty goes without a line: its loss was told when
// it was dropped.
void close_unclaimed_fds(queue_loop &loop) {
    while (imsg_fds_waiting(&loop.channel) > MAX_UNCLAIMED_FDS) {
        int fd = imsg_take_fd(&loop.channel);
        if (fd != -1) {
            close(fd);
            log_warning("warn: queue-proc: unclaimed descriptor closed");
        }
    }
}

// One line for each descriptor the channel had to give up since the last
// report. None of them ends the service: a request whose descriptor was
// lost is served as one that came without it.
void report_losses(queue_loop &loop) {
    imsg_losses lost = imsg_take_losses(&loop.channel);
    for (uint32_t i = 0; i < lost.closed_waiting; i++) {
        log_warning("warn: queue-proc: unclaimed descriptor closed");
    }
    for (uint32_t i = 0; i < lost.dropped; i++) {
        log_warning("warn: queue-api: passed descriptor dropped: descriptor table full");
    }
    for (uint32_t i = 0; i < lost.refused; i++) {
        log_warning("warn: queue-api: descriptor not passed: %s", strerror(ETOOMANYREFS));
    }
    if (lost.table_full && !loop.table_full_told) {
        log_warning("warn: queue-api: descriptor table full: serving without descriptors");
    }
    loop.table_full_told = lost.table_full;
}

// Takes more input from the socket: true once some has come, false when
// the channel has ended (logged). A receive the kernel refuses only for a
// moment (short of memory or buffers) is tried again after a pause, told
// once for each spell of them: ending would lose the whole queue.
bool read_more(queue_loop &loop) {
    imsg_backoff backoff{};
    for (;;) {
        ssize_t n = imsg_read(&loop.channel);
        report_losses(loop);
        if (n > 0) {
            close_unclaimed_fds(loop);
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

// Writes the reply out: the peer waits for it before it sends more, so it
// must be out before the next request is read. False when the channel has
// ended (logged).
bool write_reply(queue_loop &loop) {
    if (imsg_write_all(&loop.channel) == -1) {
        if (errno == EPIPE || errno == ECONNRESET) {
            log_warning("warn: queue-api: pipe closed");
        } else {
            log_warning_errno("warn: queue-api: imsg_flush");
        }
        // Nobody will read what is left; its descriptors go now.
        send_queue_clear(&loop.channel.out);
        return false;
    }
    report_losses(loop);
    return true;
}

}  // namespace

bool queue_loop_setup(queue_loop *loop, int fd, const queue_handler_table *handlers,
                      queue_fatal_hook fatal) {
    imsg_setup(&loop->channel, fd);
    loop->request = imsg_message{};
    loop->pending_reply = nullptr;
    loop->handlers = handlers;
    loop->fatal = fatal != nullptr ? fatal : die_with;
    loop->table_full_told = false;
    loop->failed = false;
    if (loop->channel.out.spare == nullptr) {
        errno = ENOMEM;
        return false;
    }
    return true;
}

queue_loop_end queue_loop_serve(queue_loop *loop) {
    for (;;) {
        // A request already complete in the input is served before the
        // socket is read again.
        ssize_t got = imsg_get(&loop->channel, &loop->request);
        if (got == 0) {
            if (!read_more(*loop)) {
                return queue_loop_end::closed;
            }
            continue;
        }
        if (got == -1) {
            log_warning_errno("warn: queue-api: imsg_get");
            return queue_loop_end::closed;
        }
        serve_request(*loop);
        if (loop->failed) {
            return queue_loop_end::fatal;
        }
        if (!write_reply(*loop)) {
            return queue_loop_end::closed;
        }
    }
}

void queue_loop_teardown(queue_loop *loop) {
    imsg_teardown(&loop->channel);
}
