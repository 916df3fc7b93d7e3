// The memory workloads that fill the store in bulk: what each message costs
// while it is held, whether a drained queue's memory goes back to the
// system, and what one large message costs at its peak.
#include <string.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "frame/queue_proto.h"
#include "harness.h"
#include "peer/proc.h"
#include "workloads.h"

namespace bench {

namespace {

// The messages a fill stored, by index: message i has one envelope whose
// bytes are the pattern of seed `seed_base + i`.
struct filled {
    std::vector<uint32_t> msgids;
    std::vector<uint64_t> evpids;
    uint64_t seed_base = 0;
};

// Stores m messages of `content` bytes (none when 0), each with one
// envelope of `size` bytes, 64 requests in flight.
filled fill_messages(Peer &p, long m, long content, long size, uint64_t seed_base) {
    filled f;
    f.msgids.resize(static_cast<size_t>(m));
    f.evpids.resize(static_cast<size_t>(m));
    f.seed_base = seed_base;
    windowed(
        p, m, FILL_WINDOW, [&](long) { must_queue(p.queue(QUEUE_MESSAGE_NEW, {})); },
        [&](long i, const Reply &r) {
            expect(r.payload.size() == 8 && r.result() == 1 && r.u32_at(4).value_or(0) != 0,
                   "QUEUE_MESSAGE_NEW", i);
            f.msgids[static_cast<size_t>(i)] = *r.u32_at(4);
        });
    if (content > 0) {
        unique_fd bytes = make_content(static_cast<size_t>(content));
        windowed(
            p, m, FILL_WINDOW,
            [&](long i) {
                must_queue(p.queue_owned(QUEUE_MESSAGE_STORE,
                                         wire::u32(f.msgids[static_cast<size_t>(i)]),
                                         reopen_content(bytes)));
            },
            [&](long i, const Reply &r) {
                expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_MESSAGE_STORE", i);
            });
    }
    std::vector<uint8_t> payload(4 + static_cast<size_t>(size));
    windowed(
        p, m, FILL_WINDOW,
        [&](long i) {
            uint32_t msgid = f.msgids[static_cast<size_t>(i)];
            memcpy(payload.data(), &msgid, sizeof msgid);
            wire::fill_pattern(std::span(payload).subspan(4), seed_base + static_cast<uint64_t>(i));
            must_queue(p.queue(QUEUE_ENVELOPE_NEW, payload));
        },
        [&](long i, const Reply &r) {
            uint64_t evpid = r.u64_at(4).value_or(0);
            expect(r.payload.size() == 12 && r.result() == 1 &&
                       (evpid >> 32) == f.msgids[static_cast<size_t>(i)],
                   "QUEUE_ENVELOPE_NEW", i);
            f.evpids[static_cast<size_t>(i)] = evpid;
        });
    return f;
}

// Resident bytes per message beyond what it stores, from the growth over a
// fill of m messages.
double beyond_stored(long before_kb, long after_kb, long m, long stored_per_message) {
    return static_cast<double>(after_kb - before_kb) * 1024.0 / static_cast<double>(m) -
           static_cast<double>(stored_per_message);
}

// Removes every filled message through its one envelope, so that each
// removal takes the message with it; the store is then empty. A queue
// delivers in no strict order, so the removals follow a fixed shuffle of
// the fill's order.
void remove_filled(Peer &p, const filled &f) {
    long m = static_cast<long>(f.evpids.size());
    std::vector<long> order(static_cast<size_t>(m));
    for (long i = 0; i < m; i++) {
        order[static_cast<size_t>(i)] = i;
    }
    uint64_t state = 0x853c49e6748fea9bULL ^ f.seed_base;
    for (long i = m - 1; i > 0; i--) {
        auto j = static_cast<long>(next_random(state) % static_cast<uint64_t>(i + 1));
        std::swap(order[static_cast<size_t>(i)], order[static_cast<size_t>(j)]);
    }
    windowed(
        p, m, FILL_WINDOW,
        [&](long i) {
            long at = order[static_cast<size_t>(i)];
            must_queue(
                p.queue(QUEUE_ENVELOPE_REMOVE, wire::u64(f.evpids[static_cast<size_t>(at)])));
        },
        [&](long i, const Reply &r) {
            expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_ENVELOPE_REMOVE", i);
        });
    // The removal of the last envelope removed the message.
    if (m > 0) {
        Reply r = call(p, QUEUE_MESSAGE_OPEN, wire::u32(f.msgids.front()));
        expect(r.payload.empty() && !r.fd.valid(), "QUEUE_MESSAGE_OPEN of a removed message", 0);
    }
}

}  // namespace

result run_fill(Backend &b, const params &pr) {
    Peer &p = b.peer();
    hello(p);
    long base_kb = peer::proc_status_kb(b.pid(), "VmRSS");
    long m = pr.messages;
    double t0 = now();
    filled f = fill_messages(p, m, pr.content, pr.size, 0);
    double fill_seconds = now() - t0;
    long filled_kb = peer::proc_status_kb(b.pid(), "VmRSS");
    double beyond = beyond_stored(base_kb, filled_kb, m, pr.content + pr.size);

    // The reads: random envelopes, in an order fixed by the seed.
    std::vector<long> picks(static_cast<size_t>(pr.n));
    uint64_t state = 0x9e3779b97f4a7c15ULL;
    for (long &pick : picks) {
        pick = static_cast<long>(next_random(state) % static_cast<uint64_t>(m));
    }
    mark_phase(p);
    // One payload, refilled for every read, so that the measured phase
    // builds none.
    wire::Bytes evpid = wire::u64(0);
    result res;
    stopwatch watch(b.pid());
    windowed(
        p, pr.n, pr.window,
        [&](long i) {
            memcpy(evpid.data(), &f.evpids[static_cast<size_t>(picks[static_cast<size_t>(i)])],
                   sizeof(uint64_t));
            must_queue(p.queue(QUEUE_ENVELOPE_READ, evpid));
        },
        [&](long i, const Reply &r) {
            long at = picks[static_cast<size_t>(i)];
            expect(r.payload.size() == static_cast<size_t>(pr.size) &&
                       wire::matches_pattern(r.payload, static_cast<uint64_t>(at)),
                   "QUEUE_ENVELOPE_READ", i);
        });
    watch.stop(res);
    mark_phase(p);
    res.ops = pr.n;
    take_memory(res, b.pid());
    res.extra = format(
        "messages=%ld content=%ld size=%ld window=%ld fill_s=%.3f rss_growth_kb=%ld "
        "beyond_stored_b_per_msg=%.1f",
        m, pr.content, pr.size, pr.window, fill_seconds, filled_kb - base_kb, beyond);
    return res;
}

// A burst and its drain: m messages in, all out, half of them in again,
// all out again. What matters is whether the memory of a drained queue goes
// back to the system, and what each stored message costs while it is held.
result run_drain(Backend &b, const params &pr) {
    Peer &p = b.peer();
    hello(p);
    long m = pr.messages;
    long half = std::max(m / 2, 1L);
    long start_kb = rss_kb(b.pid());
    result res;
    stopwatch watch(b.pid());
    filled first = fill_messages(p, m, pr.content, pr.size, 0);
    long full_kb = rss_kb(b.pid());
    remove_filled(p, first);
    long drained_kb = rss_kb(b.pid());
    filled second = fill_messages(p, half, pr.content, pr.size, static_cast<uint64_t>(m));
    long half_kb = rss_kb(b.pid());
    remove_filled(p, second);
    long again_kb = rss_kb(b.pid());
    watch.stop(res);
    res.ops = m + half;
    take_memory(res, b.pid());
    res.extra = format(
        "messages=%ld content=%ld size=%ld start_kb=%ld full_kb=%ld drained_kb=%ld half_kb=%ld "
        "drained_again_kb=%ld drained_over_start_kb=%ld beyond_stored_b_per_msg=%.1f",
        m, pr.content, pr.size, start_kb, full_kb, drained_kb, half_kb, again_kb,
        std::max(drained_kb, again_kb) - start_kb,
        beyond_stored(start_kb, full_kb, m, pr.content + pr.size));
    return res;
}

result run_large(Backend &b, const params &pr) {
    Peer &p = b.peer();
    hello(p);
    long base_kb = peer::proc_status_kb(b.pid(), "VmRSS");
    unique_fd content = make_content(static_cast<size_t>(pr.content));
    result res;
    stopwatch watch(b.pid());
    uint32_t msgid = message_new(p);
    store_content(p, msgid, content);
    open_and_verify(p, msgid, pr.content, 0);
    watch.stop(res);
    Reply r = call(p, QUEUE_MESSAGE_REMOVE, wire::u32(msgid));
    expect(r.payload.size() == 4 && r.result() == 0, "QUEUE_MESSAGE_REMOVE", 0);
    res.ops = 1;
    take_memory(res, b.pid());
    double mib = static_cast<double>(pr.content) / (1024.0 * 1024.0);
    res.extra = format("content=%ld mib_per_s=%.1f base_rss_kb=%ld hwm_beyond_content_kb=%ld",
                       pr.content, mib / res.seconds, base_kb, res.hwm_kb - pr.content / 1024);
    return res;
}

}  // namespace bench
