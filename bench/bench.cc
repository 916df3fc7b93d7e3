// memq-bench: drives a queue backend as the mail server's queue process
// does and measures what each workload costs, side by side with the
// transport floor (memq-floor), so that the ratio of the two is measured on
// the same machine at the same moment.
//
// Every reply is checked against what the request must produce; the first
// wrong reply, a backend that dies or exits with a status other than 0, or
// a descriptor left open by a lifecycle ends the run with status 1.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "frame/queue_proto.h"
#include "peer/peer.h"

namespace {

using peer::Peer;
using peer::Reply;

enum class backend_kind { floor, memq };

const char *name_of(backend_kind k) {
    return k == backend_kind::floor ? "floor" : "memq";
}

struct options {
    std::string memq = MEMQ_DEFAULT_BACKEND;
    std::string floor = MEMQ_DEFAULT_FLOOR;
    std::vector<std::string> wrap;  // prefix command for memq only
    bool run_floor = true;
    bool run_memq = true;
    bool smoke = false;
    bool verbose = false;
    int rounds = 3;
    long n = -1;
    long window = -1;
    long size = -1;
    long content = -1;
    long messages = -1;
    std::vector<std::string> workloads;  // empty: all
};

// The sizes one workload runs with: the defaults, or the command line's.
struct params {
    long n = 0;
    long window = 1;
    long size = 512;
    long content = 0;
    long messages = 0;
};

struct result {
    long ops = 0;
    double seconds = 0;
    double cpu_seconds = -1;  // the backend's own, over the measured phase
    long rss_kb = -1;
    long hwm_kb = -1;
    std::string extra;
};

[[noreturn]] void fail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("memq-bench: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    exit(1);
}

std::string format(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Deterministic bytes, so that every reply can be checked without keeping
// a copy of what was sent.
uint8_t pattern(uint64_t seed, uint64_t at) {
    return static_cast<uint8_t>((seed * 131) ^ (at * 7) ^ (at >> 9));
}

void fill_pattern(uint8_t *out, size_t n, uint64_t seed, uint64_t from = 0) {
    for (size_t i = 0; i < n; i++) {
        out[i] = pattern(seed, from + i);
    }
}

bool matches_pattern(const uint8_t *in, size_t n, uint64_t seed, uint64_t from = 0) {
    for (size_t i = 0; i < n; i++) {
        if (in[i] != pattern(seed, from + i)) {
            return false;
        }
    }
    return true;
}

constexpr uint64_t CONTENT_SEED = 0x6d656d71;

// A memfd holding `size` pattern bytes, at offset 0.
unique_fd make_content(size_t size) {
    unique_fd fd(memfd_create("memq-bench-content", MFD_CLOEXEC));
    if (!fd.valid()) {
        fail("memfd_create: %s", strerror(errno));
    }
    std::vector<uint8_t> block(1 << 16);
    for (size_t done = 0; done < size;) {
        size_t n = std::min(block.size(), size - done);
        fill_pattern(block.data(), n, CONTENT_SEED, done);
        if (write(fd.get(), block.data(), n) != static_cast<ssize_t>(n)) {
            fail("writing the content: %s", strerror(errno));
        }
        done += n;
    }
    lseek(fd.get(), 0, SEEK_SET);
    return fd;
}

// A descriptor of its own (own offset, at 0) on the content, for one
// QUEUE_MESSAGE_STORE: requests in flight together must not share an offset.
int reopen_content(const unique_fd &content) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", content.get());
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        fail("reopening the content: %s", strerror(errno));
    }
    return fd;
}

// Reads fd to its end, checking every byte against the content pattern
// from offset `from` of the content on; the number of bytes, or -1 at the
// first mismatch.
long verify_content(int fd, uint64_t from = 0) {
    std::vector<uint8_t> block(1 << 16);
    uint64_t at = 0;
    for (;;) {
        ssize_t n = read(fd, block.data(), block.size());
        if (n == 0) {
            return static_cast<long>(at);
        }
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            fail("reading the opened content: %s", strerror(errno));
        }
        if (!matches_pattern(block.data(), static_cast<size_t>(n), CONTENT_SEED, from + at)) {
            return -1;
        }
        at += static_cast<uint64_t>(n);
    }
}

std::array<uint8_t, 4> u32_bytes(uint32_t v) {
    std::array<uint8_t, 4> out;
    memcpy(out.data(), &v, sizeof v);
    return out;
}

std::array<uint8_t, 8> u64_bytes(uint64_t v) {
    std::array<uint8_t, 8> out;
    memcpy(out.data(), &v, sizeof v);
    return out;
}

// A backend under test: started on a socketpair, its stderr kept aside and
// shown only when something went wrong (or with -v).
class backend {
  public:
    backend(const options &opt, backend_kind kind) : verbose_(opt.verbose) {
        err_.reset(memfd_create("memq-bench-stderr", MFD_CLOEXEC));
        std::string path = kind == backend_kind::floor ? opt.floor : opt.memq;
        std::vector<std::string> args;
        if (kind == backend_kind::memq && !opt.wrap.empty()) {
            args.assign(opt.wrap.begin() + 1, opt.wrap.end());
            args.push_back(path);
            path = opt.wrap.front();
        }
        if (!peer_.start(path, args, err_.get())) {
            fail("cannot start %s: %s", path.c_str(), strerror(errno));
        }
    }

    ~backend() {
        if (peer_.pid() != -1) {
            show_stderr();
        }
    }

    Peer &peer() { return peer_; }
    pid_t pid() const { return peer_.pid(); }

    // Ends the session; the backend must exit with status 0.
    void finish() {
        int status = peer_.finish();
        if (verbose_ || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            show_stderr();
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail("the backend ended with wait status %d", status);
        }
    }

    void show_stderr() {
        if (!err_.valid()) {
            return;
        }
        lseek(err_.get(), 0, SEEK_SET);
        char buf[4096];
        ssize_t n;
        while ((n = read(err_.get(), buf, sizeof buf)) > 0) {
            fwrite(buf, 1, static_cast<size_t>(n), stderr);
        }
        err_.reset();
    }

  private:
    bool verbose_;
    unique_fd err_;
    Peer peer_;
};

Reply receive(Peer &p) {
    Reply r;
    if (!p.receive(r)) {
        fail("no reply: %s", errno == 0 ? "the backend closed the socket" : strerror(errno));
    }
    return r;
}

// One request, one reply; a missing reply ends the run.
Reply call(Peer &p, uint32_t type, std::span<const uint8_t> payload) {
    std::optional<Reply> r = p.call(type, payload);
    if (!r) {
        fail("no reply: %s", errno == 0 ? "the backend closed the socket" : strerror(errno));
    }
    return std::move(*r);
}

void expect(bool ok, const char *what, long index) {
    if (!ok) {
        fail("wrong reply to %s (request %ld)", what, index);
    }
}

// Keeps up to `window` requests in flight: queue(i) queues request i,
// check(i, reply) judges its reply. Replies come back in request order.
// Once half the window has been answered it is filled again with one send
// call, so that the backend can find many requests in one receive rather
// than the trickle a send per reply would give it.
template <class Queue, class Check>
void windowed(Peer &p, long n, long window, Queue queue, Check check) {
    long sent = 0;
    while (sent < n && sent < window) {
        queue(sent++);
    }
    if (!p.flush()) {
        fail("sending: %s", strerror(errno));
    }
    Reply r;
    for (long done = 0; done < n; done++) {
        if (!p.receive(r)) {
            fail("no reply: %s", errno == 0 ? "the backend closed the socket" : strerror(errno));
        }
        check(done, r);
        if (sent < n && sent - (done + 1) <= window / 2) {
            long target = done + 1 + window;
            while (sent < n && sent < target) {
                queue(sent++);
            }
            if (!p.flush()) {
                fail("sending: %s", strerror(errno));
            }
        }
    }
}

void must_queue(bool ok) {
    if (!ok) {
        fail("queueing a request: %s", strerror(errno));
    }
}

void hello(Peer &p) {
    auto version = u32_bytes(QUEUE_API_VERSION);
    Reply r = call(p, QUEUE_HELLO, version);
    expect(r.type == QUEUE_REPLY && r.payload.empty() && !r.fd.valid(), "QUEUE_HELLO", 0);
}

// QUEUE_ENVELOPE_ITERATE marks the start and end of a measured phase: the
// in-memory store answers it with -1 at once, and a profiler told to dump
// its counters at the iterate handler splits the run exactly there.
void mark_phase(Peer &p) {
    Reply r = call(p, QUEUE_ENVELOPE_ITERATE, {});
    expect(r.payload.size() == 4 && r.result() == -1, "QUEUE_ENVELOPE_ITERATE", 0);
}

uint32_t message_new(Peer &p) {
    Reply r = call(p, QUEUE_MESSAGE_NEW, {});
    expect(r.payload.size() == 8 && r.result() == 1 && r.u32_at(4).value_or(0) != 0,
           "QUEUE_MESSAGE_NEW", 0);
    return *r.u32_at(4);
}

uint64_t envelope_new(Peer &p, uint32_t msgid, const std::vector<uint8_t> &env) {
    std::vector<uint8_t> payload = peer::payload_u32_bytes(msgid, env);
    Reply r = call(p, QUEUE_ENVELOPE_NEW, payload);
    expect(r.payload.size() == 12 && r.result() == 1 && (r.u64_at(4).value_or(0) >> 32) == msgid,
           "QUEUE_ENVELOPE_NEW", 0);
    return *r.u64_at(4);
}

void store_content(Peer &p, uint32_t msgid, const unique_fd &content) {
    must_queue(p.queue_owned(QUEUE_MESSAGE_STORE, u32_bytes(msgid), reopen_content(content)));
    if (!p.flush()) {
        fail("sending: %s", strerror(errno));
    }
    Reply r = receive(p);
    expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_MESSAGE_STORE", 0);
}

// Opens a message and checks that the descriptor holds exactly `size`
// content bytes.
void open_and_verify(Peer &p, uint32_t msgid, long size, long index) {
    Reply r = call(p, QUEUE_MESSAGE_OPEN, u32_bytes(msgid));
    expect(r.payload.empty() && r.fd.valid(), "QUEUE_MESSAGE_OPEN", index);
    expect(verify_content(r.fd.get()) == size, "QUEUE_MESSAGE_OPEN (content)", index);
}

std::vector<uint8_t> envelope_bytes(long size, uint64_t seed) {
    std::vector<uint8_t> env(static_cast<size_t>(size));
    fill_pattern(env.data(), env.size(), seed);
    return env;
}

// The time the process has spent on a CPU, user and kernel, from
// /proc/PID/schedstat (nanoseconds, unlike the tick counts of /proc/PID/stat);
// -1 when unreadable. Machine noise stretches wall time but hardly this.
double cpu_seconds(pid_t pid) {
    long long ns;
    return peer::proc_leading_number(pid, "schedstat", ns) ? static_cast<double>(ns) / 1e9 : -1;
}

// Brackets a measured phase: wall time and the backend's CPU time.
class stopwatch {
  public:
    explicit stopwatch(pid_t pid) : pid_(pid), wall_(now()), cpu_(cpu_seconds(pid)) {}
    void stop(result &res) const {
        res.seconds = now() - wall_;
        double cpu = cpu_seconds(pid_);
        res.cpu_seconds = cpu >= 0 && cpu_ >= 0 ? cpu - cpu_ : -1;
    }

  private:
    pid_t pid_;
    double wall_;
    double cpu_;
};

void take_memory(result &res, pid_t pid) {
    res.rss_kb = peer::proc_status_kb(pid, "VmRSS");
    res.hwm_kb = peer::proc_status_kb(pid, "VmHWM");
}

result run_hello(backend &b, const params &pr) {
    Peer &p = b.peer();
    auto version = u32_bytes(QUEUE_API_VERSION);
    result res;
    stopwatch watch(b.pid());
    windowed(
        p, pr.n, pr.window, [&](long) { must_queue(p.queue(QUEUE_HELLO, version)); },
        [&](long i, const Reply &r) {
            expect(r.type == QUEUE_REPLY && r.payload.empty() && !r.fd.valid(), "QUEUE_HELLO", i);
        });
    watch.stop(res);
    res.ops = pr.n;
    take_memory(res, b.pid());
    res.extra = format("window=%ld", pr.window);
    return res;
}

result run_read(backend &b, const params &pr) {
    Peer &p = b.peer();
    hello(p);
    uint32_t msgid = message_new(p);
    std::vector<uint8_t> env = envelope_bytes(pr.size, 1);
    auto evpid = u64_bytes(envelope_new(p, msgid, env));
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

result run_lifecycle(backend &b, const params &pr) {
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
        Reply r = call(p, QUEUE_ENVELOPE_READ, u64_bytes(evpid));
        expect(r.payload == env, "QUEUE_ENVELOPE_READ", i);
        open_and_verify(p, msgid, pr.content, i);
        r = call(p, QUEUE_ENVELOPE_REMOVE, u64_bytes(evpid));
        expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_ENVELOPE_REMOVE", i);
    }
    watch.stop(res);
    res.ops = pr.n;
    // The last removal took the message with it.
    Reply gone = call(p, QUEUE_MESSAGE_OPEN, u32_bytes(0));
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

// A small fast generator; the reads' order must not depend on the backend.
uint64_t next_random(uint64_t &state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// The messages a fill stored, by index: message i has one envelope whose
// bytes are the pattern of seed `seed_base + i`.
struct filled {
    std::vector<uint32_t> msgids;
    std::vector<uint64_t> evpids;
    uint64_t seed_base = 0;
};

constexpr long FILL_WINDOW = 64;

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
                                         u32_bytes(f.msgids[static_cast<size_t>(i)]),
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
            fill_pattern(payload.data() + 4, static_cast<size_t>(size),
                         seed_base + static_cast<uint64_t>(i));
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

result run_fill(backend &b, const params &pr) {
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
    result res;
    stopwatch watch(b.pid());
    windowed(
        p, pr.n, pr.window,
        [&](long i) {
            auto evpid = u64_bytes(f.evpids[static_cast<size_t>(picks[static_cast<size_t>(i)])]);
            must_queue(p.queue(QUEUE_ENVELOPE_READ, evpid));
        },
        [&](long i, const Reply &r) {
            long at = picks[static_cast<size_t>(i)];
            expect(
                r.payload.size() == static_cast<size_t>(pr.size) &&
                    matches_pattern(r.payload.data(), r.payload.size(), static_cast<uint64_t>(at)),
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
                p.queue(QUEUE_ENVELOPE_REMOVE, u64_bytes(f.evpids[static_cast<size_t>(at)])));
        },
        [&](long i, const Reply &r) {
            expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_ENVELOPE_REMOVE", i);
        });
    // The removal of the last envelope removed the message.
    if (m > 0) {
        Reply r = call(p, QUEUE_MESSAGE_OPEN, u32_bytes(f.msgids.front()));
        expect(r.payload.empty() && !r.fd.valid(), "QUEUE_MESSAGE_OPEN of a removed message", 0);
    }
}

long rss_kb(pid_t pid) {
    return peer::proc_status_kb(pid, "VmRSS");
}

// A burst and its drain: m messages in, all out, half of them in again,
// all out again. What matters is whether the memory of a drained queue goes
// back to the system, and what each stored message costs while it is held.
result run_drain(backend &b, const params &pr) {
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

// The soak keeps a steady population of messages of mixed sizes and sends a
// fixed mix of requests against it, the same for every backend: every
// choice comes from one seeded generator and the model, never from the ids
// the backend draws. It asks whether memory creeps up over a long life at
// the same live size, so it reports the resident size over the live bytes.
class soak {
  public:
    soak(Peer &p, const params &pr) : p_(p), pr_(pr) {
        content_ = make_content(static_cast<size_t>(pr.content));
    }

    long requests() const { return requests_; }

    // Creates messages until `count` are live.
    void grow_to(long count) {
        while (static_cast<long>(live_.size()) < count) {
            long n = std::min<long>(count - static_cast<long>(live_.size()), BATCH);
            for (long i = 0; i < n; i++) {
                plan_creation();
            }
            run_batch();
        }
    }

    // One batch of the mix: about BATCH requests on the live messages, with
    // as many creations as removals.
    void mix() {
        for (long i = 0; i < BATCH; i++) {
            plan_action();
        }
        run_batch();
    }

    void remove_all() {
        while (!live_.empty()) {
            plan_removal(live_.size() - 1);
        }
        run_batch();
    }

    // Content and envelope bytes the live messages hold.
    long long live_bytes() const {
        long long total = 0;
        for (const auto &m : live_) {
            total += m->content;
            for (const envelope &e : m->envelopes) {
                total += e.size;
            }
        }
        return total;
    }

  private:
    static constexpr long BATCH = 64;
    static constexpr size_t MAX_ENVELOPES = 4;

    struct envelope {
        uint64_t evpid = 0;  // 0 until the reply that creates it
        long size = 0;
        uint64_t seed = 0;
    };
    struct message {
        uint32_t msgid = 0;
        long content = 0;  // the last `content` bytes of the content file
        std::vector<envelope> envelopes;
    };
    struct request {
        uint32_t type;
        std::vector<uint8_t> payload;
        long content_tail = -1;  // a store passes this many bytes
        std::function<void(long, const Reply &)> check;
    };

    uint64_t draw() { return next_random(state_); }
    size_t pick(size_t n) { return static_cast<size_t>(draw() % n); }

    // Log-uniform from 256 bytes to the content size: mostly small messages,
    // a few large ones, as a mail queue holds.
    long content_size() {
        double lo = std::log(256.0);
        double hi = std::log(static_cast<double>(std::max(pr_.content, 257L)));
        double u = static_cast<double>(draw() >> 11) / 9007199254740992.0;
        return static_cast<long>(std::exp(lo + u * (hi - lo)));
    }
    long envelope_size() {
        return 64 + static_cast<long>(pick(static_cast<size_t>(std::max(pr_.size - 63, 1L))));
    }

    void add(request r) {
        requests_++;
        batch_.push_back(std::move(r));
    }

    void plan_store(message *m) {
        long size = content_size();
        m->content = size;
        add({QUEUE_MESSAGE_STORE, peer::payload_u32(m->msgid), size, [](long i, const Reply &r) {
                 expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_MESSAGE_STORE", i);
             }});
    }

    void plan_envelope_new(message *m) {
        envelope e{0, envelope_size(), next_seed_++};
        std::vector<uint8_t> bytes(static_cast<size_t>(e.size));
        fill_pattern(bytes.data(), bytes.size(), e.seed);
        m->envelopes.push_back(e);
        size_t at = m->envelopes.size() - 1;
        uint32_t msgid = m->msgid;
        add({QUEUE_ENVELOPE_NEW, peer::payload_u32_bytes(msgid, bytes), -1,
             [m, at, msgid](long i, const Reply &r) {
                 uint64_t evpid = r.u64_at(4).value_or(0);
                 expect(r.payload.size() == 12 && r.result() == 1 && (evpid >> 32) == msgid,
                        "QUEUE_ENVELOPE_NEW", i);
                 m->envelopes[at].evpid = evpid;
             }});
    }

    // A new message: its id comes with the first reply, so its content and
    // envelope follow in a second round.
    void plan_creation() {
        add({QUEUE_MESSAGE_NEW, {}, -1, [this](long i, const Reply &r) {
                 expect(r.payload.size() == 8 && r.result() == 1 && r.u32_at(4).value_or(0) != 0,
                        "QUEUE_MESSAGE_NEW", i);
                 auto m = std::make_unique<message>();
                 m->msgid = *r.u32_at(4);
                 fresh_.push_back(m.get());
                 live_.push_back(std::move(m));
             }});
    }

    void plan_removal(size_t at) {
        message *m = live_[at].get();
        if (m->envelopes.size() == 1 && (draw() & 1) != 0) {
            // The last envelope takes its message with it.
            add({QUEUE_ENVELOPE_REMOVE, peer::payload_u64(m->envelopes[0].evpid), -1,
                 [](long i, const Reply &r) {
                     expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_ENVELOPE_REMOVE", i);
                 }});
        } else {
            add({QUEUE_MESSAGE_REMOVE, peer::payload_u32(m->msgid), -1, [](long i, const Reply &r) {
                     expect(r.payload.size() == 4 && r.result() == 0, "QUEUE_MESSAGE_REMOVE", i);
                 }});
        }
        // Replies still to come may name it; it goes at the batch's end.
        removed_.push_back(std::move(live_[at]));
        live_[at] = std::move(live_.back());
        live_.pop_back();
    }

    void plan_read(message *m) {
        const envelope &e = m->envelopes[pick(m->envelopes.size())];
        long size = e.size;
        uint64_t seed = e.seed;
        add({QUEUE_ENVELOPE_READ, peer::payload_u64(e.evpid), -1,
             [size, seed](long i, const Reply &r) {
                 expect(r.payload.size() == static_cast<size_t>(size) &&
                            matches_pattern(r.payload.data(), r.payload.size(), seed),
                        "QUEUE_ENVELOPE_READ", i);
             }});
    }

    void plan_replace(message *m) {
        envelope &e = m->envelopes[pick(m->envelopes.size())];
        e.size = envelope_size();
        e.seed = next_seed_++;
        std::vector<uint8_t> bytes(static_cast<size_t>(e.size));
        fill_pattern(bytes.data(), bytes.size(), e.seed);
        add({QUEUE_ENVELOPE_REPLACE, peer::payload_u64_bytes(e.evpid, bytes), -1,
             [](long i, const Reply &r) {
                 expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_ENVELOPE_REPLACE", i);
             }});
    }

    void plan_open(message *m) {
        long size = m->content;
        uint64_t from = static_cast<uint64_t>(pr_.content - size);
        add({QUEUE_MESSAGE_OPEN, peer::payload_u32(m->msgid), -1,
             [size, from](long i, const Reply &r) {
                 expect(r.payload.empty() && r.fd.valid(), "QUEUE_MESSAGE_OPEN", i);
                 expect(verify_content(r.fd.get(), from) == size, "QUEUE_MESSAGE_OPEN (content)",
                        i);
             }});
    }

    void plan_envelope_remove(message *m) {
        size_t at = pick(m->envelopes.size());
        add({QUEUE_ENVELOPE_REMOVE, peer::payload_u64(m->envelopes[at].evpid), -1,
             [](long i, const Reply &r) {
                 expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_ENVELOPE_REMOVE", i);
             }});
        m->envelopes.erase(m->envelopes.begin() + static_cast<long>(at));
    }

    // One action of the mix. A message with an envelope whose id is still
    // to come (created earlier in this batch) is left alone until the next
    // batch, so that every request names ids already known.
    void plan_action() {
        if (live_.empty()) {
            plan_creation();
            return;
        }
        size_t at = pick(live_.size());
        message *m = live_[at].get();
        unsigned roll = static_cast<unsigned>(draw() % 100);
        if (m->envelopes.empty() || m->envelopes.back().evpid == 0) {
            return;
        }
        if (roll < 15) {
            plan_removal(at);
            plan_creation();
        } else if (roll < 45) {
            plan_read(m);
        } else if (roll < 60) {
            plan_replace(m);
        } else if (roll < 70) {
            plan_store(m);
        } else if (roll < 75) {
            plan_open(m);
        } else if (roll < 87 && m->envelopes.size() < MAX_ENVELOPES) {
            plan_envelope_new(m);
        } else if (m->envelopes.size() >= 2) {
            plan_envelope_remove(m);
        } else {
            plan_read(m);
        }
    }

    void send(std::vector<request> &round) {
        windowed(
            p_, static_cast<long>(round.size()), FILL_WINDOW,
            [&](long i) {
                request &r = round[static_cast<size_t>(i)];
                if (r.content_tail >= 0) {
                    int fd = reopen_content(content_);
                    if (lseek(fd, pr_.content - r.content_tail, SEEK_SET) == -1) {
                        fail("positioning the content: %s", strerror(errno));
                    }
                    must_queue(p_.queue_owned(r.type, r.payload, fd));
                } else {
                    must_queue(p_.queue(r.type, r.payload));
                }
            },
            [&](long i, const Reply &r) { round[static_cast<size_t>(i)].check(i, r); });
    }

    // The planned requests, then the content and envelope of each message
    // they created.
    void run_batch() {
        std::vector<request> round = std::move(batch_);
        batch_.clear();
        send(round);
        for (message *m : fresh_) {
            plan_store(m);
            plan_envelope_new(m);
        }
        fresh_.clear();
        round = std::move(batch_);
        batch_.clear();
        send(round);
        removed_.clear();
    }

    Peer &p_;
    const params &pr_;
    unique_fd content_;
    uint64_t state_ = 0x2545f4914f6cdd1dULL;
    uint64_t next_seed_ = 1;
    long requests_ = 0;
    std::vector<std::unique_ptr<message>> live_;
    std::vector<std::unique_ptr<message>> removed_;
    std::vector<message *> fresh_;
    std::vector<request> batch_;
};

result run_soak(backend &b, const params &pr) {
    if (pr.content < 256) {
        fail("soak: -c must be at least 256, its smallest content");
    }
    Peer &p = b.peer();
    hello(p);
    long start_kb = rss_kb(b.pid());
    soak s(p, pr);
    s.grow_to(pr.messages);
    long filled_kb = rss_kb(b.pid());
    long long filled_live = s.live_bytes();
    long before = s.requests();
    result res;
    stopwatch watch(b.pid());
    while (s.requests() - before < pr.n) {
        s.mix();
    }
    watch.stop(res);
    res.ops = s.requests() - before;
    long end_kb = rss_kb(b.pid());
    long long live = s.live_bytes();
    s.remove_all();
    take_memory(res, b.pid());
    auto over = [](long kb, long long bytes) {
        return static_cast<double>(kb) * 1024.0 / static_cast<double>(bytes);
    };
    res.extra = format(
        "messages=%ld content=%ld size=%ld start_kb=%ld filled_kb=%ld filled_live_kb=%lld "
        "end_kb=%ld live_kb=%lld drained_kb=%ld filled_over_live=%.3f resident_over_live=%.3f "
        "growth_over_live=%.3f",
        pr.messages, pr.content, pr.size, start_kb, filled_kb, filled_live / 1024, end_kb,
        live / 1024, res.rss_kb, over(filled_kb, filled_live), over(end_kb, live),
        over(end_kb - start_kb, live));
    return res;
}

result run_large(backend &b, const params &pr) {
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
    Reply r = call(p, QUEUE_MESSAGE_REMOVE, u32_bytes(msgid));
    expect(r.payload.size() == 4 && r.result() == 0, "QUEUE_MESSAGE_REMOVE", 0);
    res.ops = 1;
    take_memory(res, b.pid());
    double mib = static_cast<double>(pr.content) / (1024.0 * 1024.0);
    res.extra = format("content=%ld mib_per_s=%.1f base_rss_kb=%ld hwm_beyond_content_kb=%ld",
                       pr.content, mib / res.seconds, base_kb, res.hwm_kb - pr.content / 1024);
    return res;
}

struct workload {
    const char *name;
    result (*run)(backend &, const params &);
    params normal;
    params smoke;
};

const workload WORKLOADS[] = {
    {"hello", run_hello, {200000, 1, 0, 0, 0}, {200, 4, 0, 0, 0}},
    {"read", run_read, {200000, 1, 512, 0, 0}, {200, 4, 512, 0, 0}},
    {"lifecycle", run_lifecycle, {5000, 1, 512, 4096, 0}, {20, 1, 512, 10000, 0}},
    {"fill", run_fill, {100000, 1, 512, 4096, 100000}, {200, 4, 512, 4096, 300}},
    {"large", run_large, {1, 1, 0, 64L << 20, 0}, {1, 1, 0, 3L << 20, 0}},
    {"drain", run_drain, {0, 1, 512, 4096, 100000}, {0, 1, 512, 4096, 300}},
    {"soak", run_soak, {1000000, 1, 2048, 131072, 10000}, {2000, 1, 512, 20000, 50}},
};

params params_for(const workload &w, const options &opt) {
    params pr = opt.smoke ? w.smoke : w.normal;
    if (opt.n > 0) {
        pr.n = opt.n;
    }
    if (opt.window > 0) {
        pr.window = opt.window;
    }
    if (opt.size >= 0) {
        pr.size = opt.size;
    }
    if (opt.content >= 0) {
        pr.content = opt.content;
    }
    if (opt.messages > 0) {
        pr.messages = opt.messages;
    }
    return pr;
}

void print_result(const char *workload, backend_kind kind, int round, const result &r) {
    printf(
        "result workload=%s backend=%s round=%d ops=%ld seconds=%.4f ops_per_s=%.0f "
        "cpu_us_per_op=%.2f rss_kb=%ld hwm_kb=%ld %s\n",
        workload, name_of(kind), round, r.ops, r.seconds, static_cast<double>(r.ops) / r.seconds,
        r.cpu_seconds * 1e6 / static_cast<double>(r.ops), r.rss_kb, r.hwm_kb, r.extra.c_str());
    fflush(stdout);
}

result run_once(const workload &w, const options &opt, backend_kind kind, int round) {
    params pr = params_for(w, opt);
    result r;
    {
        backend b(opt, kind);
        r = w.run(b, pr);
        b.finish();
    }
    print_result(w.name, kind, round, r);
    return r;
}

void usage(FILE *to) {
    fputs(
        "usage: memq-bench [options] [workload...]\n"
        "workloads: hello read lifecycle fill large drain soak (default: all of them)\n"
        "  --memq PATH     backend under test (default: the built memq)\n"
        "  --floor PATH    transport floor (default: the built memq-floor)\n"
        "  --only memq|floor  run one side only (no ratio)\n"
        "  --wrap 'CMD ARGS'  start memq under CMD, e.g. valgrind or strace\n"
        "  --rounds R      floor/memq pairs per workload (default 3)\n"
        "  -n N            operations (requests, lives or reads; soak's mixed requests)\n"
        "  -w W            requests in flight (hello, read, fill's reads)\n"
        "  -s S            envelope bytes (soak's largest)\n"
        "  -c C            content bytes (lifecycle, fill, large, drain; soak's largest)\n"
        "  -m M            messages kept by fill, filled by drain, live in soak\n"
        "  --smoke         tiny sizes, one round: checks replies, measures nothing\n"
        "  -v              show the backends' standard error\n",
        to);
}

// Splits a command on spaces; the first word is looked up in PATH.
std::vector<std::string> split_command(const char *cmd) {
    std::vector<std::string> words;
    std::string word;
    for (const char *c = cmd;; c++) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
            if (*c == '\0') {
                break;
            }
        } else {
            word += *c;
        }
    }
    if (!words.empty() && words[0].find('/') == std::string::npos) {
        const char *path = getenv("PATH");
        std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
        size_t start = 0;
        while (start <= dirs.size()) {
            size_t end = dirs.find(':', start);
            if (end == std::string::npos) {
                end = dirs.size();
            }
            std::string candidate = dirs.substr(start, end - start) + "/" + words[0];
            if (access(candidate.c_str(), X_OK) == 0) {
                words[0] = candidate;
                break;
            }
            start = end + 1;
        }
    }
    return words;
}

long number(const char *text) {
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0) {
        fail("bad number \"%s\"", text);
    }
    return v;
}

options parse(int argc, char **argv) {
    options opt;
    std::vector<std::string> names;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage(stderr);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--memq") {
            opt.memq = value();
        } else if (a == "--floor") {
            opt.floor = value();
        } else if (a == "--only") {
            std::string side = value();
            opt.run_floor = side == "floor";
            opt.run_memq = side == "memq";
            if (!opt.run_floor && !opt.run_memq) {
                fail("--only takes memq or floor");
            }
        } else if (a == "--wrap") {
            opt.wrap = split_command(value());
        } else if (a == "--rounds") {
            opt.rounds = static_cast<int>(number(value()));
        } else if (a == "-n") {
            opt.n = number(value());
        } else if (a == "-w") {
            opt.window = number(value());
        } else if (a == "-s") {
            opt.size = number(value());
        } else if (a == "-c") {
            opt.content = number(value());
        } else if (a == "-m") {
            opt.messages = number(value());
        } else if (a == "--smoke") {
            opt.smoke = true;
        } else if (a == "-v") {
            opt.verbose = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            exit(0);
        } else if (!a.empty() && a[0] == '-') {
            usage(stderr);
            exit(2);
        } else {
            names.push_back(a);
        }
    }
    if (opt.smoke) {
        opt.rounds = 1;
    }
    if (opt.rounds < 1) {
        fail("--rounds must be at least 1");
    }
    if (opt.size > static_cast<long>(QUEUE_ENVELOPE_BUF)) {
        fail("-s: an envelope is read back whole only up to %zu bytes", QUEUE_ENVELOPE_BUF);
    }
    for (const std::string &n : names) {
        bool known = false;
        for (const workload &w : WORKLOADS) {
            known = known || n == w.name;
        }
        if (!known) {
            fail("unknown workload \"%s\"", n.c_str());
        }
    }
    opt.workloads = names;
    return opt;
}

// The median, then every pair's value.
std::string summary(std::vector<double> values) {
    if (values.empty()) {
        return "n/a";
    }
    std::string each;
    for (double v : values) {
        each += format("%s%.3f", each.empty() ? "" : ",", v);
    }
    std::sort(values.begin(), values.end());
    return format("%.3f(pairs:%s)", values[values.size() / 2], each.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    options opt = parse(argc, argv);
    // A backend that goes away must show as a failed send, not kill us.
    signal(SIGPIPE, SIG_IGN);
    // Workloads run in the table's order, whatever the command line's.
    for (const workload &w : WORKLOADS) {
        if (!opt.workloads.empty() &&
            std::find(opt.workloads.begin(), opt.workloads.end(), w.name) == opt.workloads.end()) {
            continue;
        }
        // Throughput ratios (memq/floor, higher is better) and backend CPU
        // ratios (memq/floor per operation, lower is better), pair by pair.
        std::vector<double> ratios;
        std::vector<double> cpu_ratios;
        for (int round = 1; round <= opt.rounds; round++) {
            result f;
            result m;
            if (opt.run_floor) {
                f = run_once(w, opt, backend_kind::floor, round);
            }
            if (opt.run_memq) {
                m = run_once(w, opt, backend_kind::memq, round);
            }
            if (opt.run_floor && opt.run_memq) {
                ratios.push_back(f.seconds / m.seconds);
                if (f.cpu_seconds > 0 && m.cpu_seconds > 0) {
                    cpu_ratios.push_back(m.cpu_seconds / f.cpu_seconds);
                }
            }
        }
        if (!ratios.empty()) {
            printf("ratio workload=%s memq/floor=%s cpu_memq/floor=%s\n", w.name,
                   summary(ratios).c_str(), summary(cpu_ratios).c_str());
            fflush(stdout);
        }
    }
    return 0;
}
