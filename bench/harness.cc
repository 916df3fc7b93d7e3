#include "harness.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <utility>

#include "frame/queue_proto.h"

namespace bench {

const char *name_of(backend_kind k) {
    return k == backend_kind::floor ? "floor" : "memq";
}

const char *name_of(pinning p) {
    switch (p) {
        case pinning::same:
            return "same";
        case pinning::split:
            return "split";
        case pinning::none:
            break;
    }
    return "none";
}

void pin_driver(const options &opt) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (opt.pin == pinning::none) {
        for (int cpu : opt.cpus) {
            CPU_SET(cpu, &set);
        }
    } else {
        CPU_SET(opt.cpus.at(0), &set);
    }
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        fail("cannot set the driver's CPUs: %s", strerror(errno));
    }
}

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

unique_fd make_content(size_t size) {
    unique_fd fd(memfd_create("memq-bench-content", MFD_CLOEXEC));
    if (!fd.valid()) {
        fail("memfd_create: %s", strerror(errno));
    }
    std::vector<uint8_t> block(1 << 16);
    for (size_t done = 0; done < size;) {
        size_t n = std::min(block.size(), size - done);
        wire::fill_pattern(std::span(block.data(), n), CONTENT_SEED, done);
        if (write(fd.get(), block.data(), n) != static_cast<ssize_t>(n)) {
            fail("writing the content: %s", strerror(errno));
        }
        done += n;
    }
    lseek(fd.get(), 0, SEEK_SET);
    return fd;
}

int reopen_content(const unique_fd &content) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", content.get());
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        fail("reopening the content: %s", strerror(errno));
    }
    return fd;
}

long verify_content(int fd, uint64_t from) {
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
        if (!wire::matches_pattern(std::span(block.data(), static_cast<size_t>(n)), CONTENT_SEED,
                                   from + at)) {
            return -1;
        }
        at += static_cast<uint64_t>(n);
    }
}

void start_backend(Backend &b, const options &opt, backend_kind kind) {
    peer::BackendOptions how;
    if (kind == backend_kind::memq) {
        how.wrapper = opt.wrap;
    }
    if (opt.pin == pinning::split) {
        how.cpu = opt.cpus.at(1);
    }
    const std::string &path = kind == backend_kind::floor ? opt.floor : opt.memq;
    if (!b.start(path, how)) {
        fail("cannot %s (%s): %s", b.failure(), path.c_str(), strerror(errno));
    }
}

void finish(Backend &b, const options &opt) {
    int status = b.stop();
    bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (opt.verbose || !clean) {
        fputs(b.log().c_str(), stderr);
    }
    if (!clean) {
        fail("the backend ended with wait status %d", status);
    }
}

Reply receive(Peer &p) {
    Reply r;
    if (!p.receive(r)) {
        fail("no reply: %s", errno == 0 ? "the backend closed the socket" : strerror(errno));
    }
    return r;
}

Reply call(Peer &p, uint32_t type, std::span<const uint8_t> payload) {
    std::optional<Reply> r = p.call(type, payload);
    if (!r) {
        fail("no reply: %s", errno == 0 ? "the backend closed the socket" : strerror(errno));
    }
    return std::move(*r);
}

void hello(Peer &p) {
    Reply r = call(p, QUEUE_HELLO, wire::u32(QUEUE_API_VERSION));
    expect(r.header.type == QUEUE_REPLY && r.payload.empty() && !r.fd.valid(), "QUEUE_HELLO", 0);
}

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
    Reply r = call(p, QUEUE_ENVELOPE_NEW, wire::cat({wire::u32(msgid), env}));
    expect(r.payload.size() == 12 && r.result() == 1 && (r.u64_at(4).value_or(0) >> 32) == msgid,
           "QUEUE_ENVELOPE_NEW", 0);
    return *r.u64_at(4);
}

void store_content(Peer &p, uint32_t msgid, const unique_fd &content) {
    must_queue(p.queue_owned(QUEUE_MESSAGE_STORE, wire::u32(msgid), reopen_content(content)));
    if (!p.flush()) {
        fail("sending: %s", strerror(errno));
    }
    Reply r = receive(p);
    expect(r.payload.size() == 4 && r.result() == 1, "QUEUE_MESSAGE_STORE", 0);
}

void open_and_verify(Peer &p, uint32_t msgid, long size, long index) {
    Reply r = call(p, QUEUE_MESSAGE_OPEN, wire::u32(msgid));
    expect(r.payload.empty() && r.fd.valid(), "QUEUE_MESSAGE_OPEN", index);
    expect(verify_content(r.fd.get()) == size, "QUEUE_MESSAGE_OPEN (content)", index);
}

std::vector<uint8_t> envelope_bytes(long size, uint64_t seed) {
    return wire::pattern(static_cast<size_t>(size), seed);
}

double cpu_seconds(pid_t pid) {
    long long ns;
    return peer::proc_leading_number(pid, "schedstat", ns) ? static_cast<double>(ns) / 1e9 : -1;
}

void take_memory(result &res, pid_t pid) {
    res.rss_kb = peer::proc_status_kb(pid, "VmRSS");
    res.hwm_kb = peer::proc_status_kb(pid, "VmHWM");
}

long rss_kb(pid_t pid) {
    return peer::proc_status_kb(pid, "VmRSS");
}

}  // namespace bench
