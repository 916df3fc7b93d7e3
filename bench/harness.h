// What every workload of memq-bench stands on: the command line's settings,
// the backend under test, content whose bytes can be checked without a copy
// of them, the exchange of requests with replies checked one by one, and
// the clocks and /proc readings a result is made of.
//
// Single-threaded. A failed system call, a missing reply or a wrong one
// ends the run at once with status 1 through fail(), so callers see only
// success; only verify_content leaves a mismatch (-1) for its caller to
// judge.
#pragma once

#include <errno.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "peer/backend.h"
#include "peer/peer.h"
#include "peer/wire.h"
#include "support/unique.h"

namespace bench {

using peer::Backend;
using peer::Peer;
using peer::Reply;

enum class backend_kind { floor, memq };

const char *name_of(backend_kind k);

// Where the driver and the backends run. With both processes on one CPU a
// request's cost is all that counts, whatever the scheduler does; on two,
// what a peer waits for; unpinned, whatever the scheduler chooses, which on
// a small machine swings between the two from run to run.
enum class pinning { same, split, none };

const char *name_of(pinning p);

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
    std::vector<pinning> pins;           // empty: same and split (none with --smoke)
    pinning pin = pinning::none;         // the regime being run
    // The CPUs this process may run on, as it started: pinning puts the
    // driver on the first and, split, the backends on the second.
    std::vector<int> cpus;
};

// Pins this process (the driver) as the regime says; a backend started
// afterwards is pinned by start_backend().
void pin_driver(const options &opt);

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

// Prints "memq-bench: " and the message to stderr and exits with status 1.
[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The formatted text, cut at 511 bytes.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Seconds on the monotonic clock.
double now();

// Contents and envelopes are the peer toolkit's pattern (wire::pattern), so
// that every reply can be checked without keeping a copy of what was sent.
inline constexpr uint64_t CONTENT_SEED = 0x6d656d71;

// A memfd holding `size` pattern bytes of CONTENT_SEED, at offset 0; the
// caller owns it.
unique_fd make_content(size_t size);
// A descriptor of its own (own offset, at 0) on the content, for one
// QUEUE_MESSAGE_STORE: requests in flight together must not share an offset.
// The caller owns it (Peer::queue_owned takes it over).
int reopen_content(const unique_fd &content);
// Reads fd to its end, checking every byte against the content pattern
// from offset `from` of the content on; the number of bytes, or -1 at the
// first mismatch. fd stays the caller's.
long verify_content(int fd, uint64_t from = 0);

// A small fast generator; the order of requests must not depend on the
// backend.
inline uint64_t next_random(uint64_t &state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// Starts the backend of this kind for one session on a socketpair, its
// stderr kept aside; split pinning moves it to the second CPU before it has
// served anything. A failure ends the run.
void start_backend(Backend &b, const options &opt, backend_kind kind);
// Ends the session; the backend must exit with status 0. Its stderr is
// shown when it did not, or with -v.
void finish(Backend &b, const options &opt);

// The next reply; a missing one ends the run.
Reply receive(Peer &p);
// One request, one reply; a missing reply ends the run.
Reply call(Peer &p, uint32_t type, std::span<const uint8_t> payload);

inline void expect(bool ok, const char *what, long index) {
    if (!ok) {
        fail("wrong reply to %s (request %ld)", what, index);
    }
}

inline void must_queue(bool ok) {
    if (!ok) {
        fail("queueing a request: %s", strerror(errno));
    }
}

// Requests in flight while a workload sets up or tears down its messages.
inline constexpr long FILL_WINDOW = 64;

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

// Requests one at a time, each reply checked as it comes.
void hello(Peer &p);
// QUEUE_ENVELOPE_ITERATE marks the start and end of a measured phase: the
// in-memory store answers it with -1 at once, and a profiler told to dump
// its counters at the iterate handler splits the run exactly there.
void mark_phase(Peer &p);
// The new message's id.
uint32_t message_new(Peer &p);
// The new envelope's id.
uint64_t envelope_new(Peer &p, uint32_t msgid, const std::vector<uint8_t> &env);
// Stores the whole content through a descriptor of its own.
void store_content(Peer &p, uint32_t msgid, const unique_fd &content);
// Opens a message and checks that the descriptor holds exactly `size`
// content bytes.
void open_and_verify(Peer &p, uint32_t msgid, long size, long index);
// `size` pattern bytes of seed.
std::vector<uint8_t> envelope_bytes(long size, uint64_t seed);

// The time the process has spent on a CPU, user and kernel, from
// /proc/PID/schedstat (nanoseconds, unlike the tick counts of /proc/PID/stat);
// -1 when unreadable. Machine noise stretches wall time but hardly this.
double cpu_seconds(pid_t pid);

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

// The backend's resident size now, in kB, or -1.
long rss_kb(pid_t pid);
// The backend's resident size and its peak into res.
void take_memory(result &res, pid_t pid);

}  // namespace bench
