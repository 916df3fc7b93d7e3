// The dispatch loop as one object: what a running loop needs to serve the
// queue protocol on one socket, passed to every step of a request's life
// (get, decode, serve, handler call, reply).
//
// The backend runs one, inside queue_api_run(); tests and fuzzers run their
// own in-process, with handlers and a fatal hook of their own, and see how
// it ended as a value. Single-threaded. The loop owns its channel, and with
// it every descriptor it received and every reply it queued.
#pragma once

#include <cstdint>

#include "channel/imsg.h"
#include "frame/queue_api.h"
#include "frame/queue_proto.h"

// Called after the cause line of a fatal condition with the closing text
// ("queue-api: exiting", "queue-proc: exiting"). The backend's is die():
// the fatal line, then exit status 1. A hook that returns stops the loop,
// which then does nothing more and answers queue_loop_end::fatal.
using queue_fatal_hook = void (*)(const char *closing);

struct queue_loop {
    imsg_channel channel;
    // The request being served; its payload is lent by the channel until
    // the next request is taken.
    imsg_message request;
    // The reply being built, null between requests.
    frame_buf *pending_reply;
    // Room for an envelope on the way back, and one block of a message's
    // content on the way in.
    uint8_t work_buf[QUEUE_ENVELOPE_BUF];
    const queue_handler_table *handlers;
    queue_fatal_hook fatal;
    // Whether a full descriptor table has been told, once for as long as it
    // lasts.
    bool table_full_told;
    // A fatal condition was met and its hook returned.
    bool failed;
};

enum class queue_loop_end {
    closed,  // the peer closed the socket, or reading or writing failed
    fatal,   // a fatal condition, after its lines and the hook
};

// Sets up the loop on socket fd; the handlers (which must outlive the loop)
// answer its requests, and a fatal condition calls fatal (null for die()).
// False with ENOMEM when the frame replies are built in could not be made:
// the loop allocates nothing once it serves, so it must not serve without.
bool queue_loop_setup(queue_loop *loop, int fd, const queue_handler_table *handlers,
                      queue_fatal_hook fatal);

// Serves requests until the channel ends ("warn: queue-api: pipe closed"
// or the read or write error, logged) or a fatal condition whose hook
// returned.
queue_loop_end queue_loop_serve(queue_loop *loop);

// Closes every descriptor the loop still holds (waiting ones, those of
// queued replies) and frees its frames. A loop that lives as long as its
// process needs no call.
void queue_loop_teardown(queue_loop *loop);
