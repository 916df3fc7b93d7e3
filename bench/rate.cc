// The request-rate workloads: how fast the backend answers small requests,
// one at a time or a window at a time, and what a message's whole life
// costs.
#include <string>
#include <vector>

#include "frame/queue_proto.h"
#include "harness.h"
#include "peer/proc.h"
#include "workloads.h"

namespace bench {

result run_hello(Backend &b, const params &pr) {
    Peer &p = b.peer();
    auto version = wire::u32(QUEUE_API_VERSION);
    result res;
    stopwatch watch(b.pid());
    windowed(
        p, pr.n, pr.window, [&](long) { must_queue(p.queue(QUEUE_HELLO, version)); },
        [&](long i, const Reply &r) {
            expect(r.header.type == QUEUE_REPLY && r.payload.empty() && !r.fd.valid(),
                   "QUEUE_HELLO", i);
        });
    watch.stop(res);
    res.ops = pr.n;
    take_memory(res, b.pid());
    res.extra = format("window=%ld", pr.window);
    return res;
}

result run_read(Backend &b, const params &pr) {
    Peer &p = b.peer();
    hello(p);
    uint32_t msgid = message_new(p);
    std::vector<uint8_t> env = envelope_bytes(pr.size, 1);
    auto evpid = wire::u64(envelope_new(p, msgid, env));
    mark_phase(p);
    result res;
    stopwatch watch(b.pid());
    windowed(
        p, pr.n, pr.window, [&](long) { must_queue(p.queue(QUEUE_ENVELOPE_READ, evpid)); },
        [&](long i, const Reply &r) { expect(r.payload == env, "QUEUE_ENVELOPE_READ", i); });
    watch.stop(res);
    mark_phase(p);
    res.ops = pr.n;
    take_memory(res, b.pid());
    res.extra = format("window=%ld size=%ld", pr.window, pr.size);
    return res;
}

result run_lifecycle(Backend &b, const params &pr) {
    Peer &p = b.peer();
    hello(p);
    unique_fd content = make_content(static_cast<size_t>(pr.content));
    std::vector<uint8_t> env = envelope_bytes(pr.size, 2);
    int fds_before = peer::backend_fd_count(b.pid());
    result res;
    stopwatch watch(b.pid());
    for (long i = 0; i < pr.n; i++) {
        uint32_t msgid = message_new(p);
        store_content(p, msgid, content);
        uint64_t evpid = envelope_new(p, msgid, env);
        Reply r = call(p, QUEUE_ENVELOPE_READ, wire::u64(evpid));
        expect(r.payload == env, "QUEUE_ENVELOPE_READ", i);
        open_and_verify(p, msgid, pr.content, i);
        r = call(p, QUEUE_ENVELOPE_REMOVE, wire::u64(evpid));
        expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_ENVELOPE_REMOVE", i);
    }
    watch.stop(res);
    res.ops = pr.n;
    // The last removal took the message with it.
    Reply gone = call(p, QUEUE_MESSAGE_OPEN, wire::u32(0));
    expect(gone.payload.empty() && !gone.fd.valid(), "QUEUE_MESSAGE_OPEN of no message", 0);
    int fds_after = peer::backend_fd_count(b.pid());
    if (fds_after > fds_before) {
        fail("the backend holds %d descriptors after the lifecycles, %d before", fds_after,
             fds_before);
    }
    take_memory(res, b.pid());
    res.extra = format("content=%ld size=%ld", pr.content, pr.size);
    return res;
}

}  // namespace bench
