// A test peer for the dispatch loop: runs queue_api_run() in a forked child
// on a socketpair and speaks the wire protocol to it from the test, with the
// wire helpers (peer/wire.h) rather than the channel the loop itself uses.
//
// The child serves with no change of root and no account unless the test's
// setup says otherwise. Handlers in the child report their calls as text
// lines through record(), which the parent reads back with records().
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/child.h"
#include "frame/queue_api.h"
#include "log/log.h"
#include "peer/wire.h"

namespace looptest {

using bytes = wire::Bytes;
using wire::cat;
using wire::pattern;
using wire::u32;
using wire::u64;

// One reply as the loop sent it, read header first and then payload, so
// that a reply that lies about its length or never ends shows as such.
struct Reply {
    bool eof = false;  // the stream ended before a single byte of a reply
    wire::Header header{};
    bytes payload;
    int fd = -1;  // passed with the reply; the test closes it
};

// Reads one reply and nothing of the next. Of the descriptors that come
// with it the first is kept and any others are closed.
inline Reply recv_reply(int sock) {
    Reply r;
    std::vector<int> fds;
    uint8_t head[wire::HEADER_LEN];
    size_t got = wire::recv_exact(sock, head, fds);
    if (got == 0) {
        r.eof = true;
    } else if (got < sizeof head) {
        ADD_FAILURE() << "reply header cut short after " << got << " bytes";
        r.eof = true;
    } else {
        r.header = wire::header_of(head);
        if (r.header.length < wire::HEADER_LEN) {
            ADD_FAILURE() << "reply length " << r.header.length;
        } else {
            r.payload.resize(r.header.length - wire::HEADER_LEN);
            if (wire::recv_exact(sock, r.payload, fds) != r.payload.size()) {
                ADD_FAILURE() << "reply payload cut short";
            }
        }
    }
    for (int fd : fds) {
        if (r.fd == -1) {
            r.fd = fd;
        } else {
            close(fd);
        }
    }
    return r;
}

// Sends all of data with fd (or none for -1) on the first send call.
inline bool send_bytes(int sock, std::span<const uint8_t> data, int fd = -1) {
    return fd == -1 ? wire::send_all(sock, data) : wire::send_all(sock, data, std::array{fd});
}

// Where the child's handlers write their reports (-1 in the parent).
inline int record_fd = -1;

inline void record(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline void record(const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) {
        return;
    }
    size_t len = std::min(static_cast<size_t>(n), sizeof line - 2);
    line[len] = '\n';
    if (write(record_fd, line, len + 1) < 0) {
        _exit(4);
    }
}

// The child's descriptor directory, opened before any change of root so
// that the child can still list its descriptors from inside one.
inline int proc_fd_dir = -1;

// The child's open descriptors as one record line, "fds 0 2 5".
inline void record_open_fds() {
    int dup_fd = dup(proc_fd_dir);
    DIR *d = dup_fd == -1 ? nullptr : fdopendir(dup_fd);
    if (d == nullptr) {
        record("fds unreadable");
        return;
    }
    rewinddir(d);
    std::vector<int> fds;
    while (dirent *e = readdir(d)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != dup_fd) {
            fds.push_back(fd);
        }
    }
    closedir(d);
    std::sort(fds.begin(), fds.end());
    std::string line = "fds";
    for (int fd : fds) {
        line += ' ';
        line += std::to_string(fd);
    }
    record("%s", line.c_str());
}

struct Exit {
    int status = 0;
    std::string err;
    int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

// The loop, serving in a child. Exit status 0 means queue_api_run returned
// 1; 3 means it returned anything else.
class LoopChild {
  public:
    explicit LoopChild(const std::function<void()> &setup = nullptr) {
        int sv[2], err[2], rec[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0 || pipe(err) != 0 || pipe(rec) != 0) {
            ADD_FAILURE() << "cannot set up the child's channels";
            return;
        }
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(sv[1], 0);
            dup2(err[1], 2);
            close(sv[0]);
            close(sv[1]);
            close(err[0]);
            close(err[1]);
            close(rec[0]);
            record_fd = rec[1];
            proc_fd_dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            log_open(1);
            queue_api_clear_root_dir();
            queue_api_run_as(nullptr);
            if (setup) {
                setup();
            }
            _exit(queue_api_run() == 1 ? 0 : 3);
        }
        close(sv[1]);
        close(err[1]);
        close(rec[1]);
        sock_ = sv[0];
        err_ = err[0];
        rec_ = rec[0];
        fcntl(rec_, F_SETFL, O_NONBLOCK);
    }

    LoopChild(const LoopChild &) = delete;
    LoopChild &operator=(const LoopChild &) = delete;

    ~LoopChild() {
        if (pid_ > 0) {
            wait_exit();
        }
        if (rec_ != -1) {
            close(rec_);
        }
    }

    pid_t pid() const { return pid_; }
    int sock() const { return sock_; }

    void send(uint32_t type, const bytes &payload, int fd = -1) {
        ASSERT_TRUE(
            send_bytes(sock_, wire::frame(type, payload, fd != -1 ? wire::FLAG_FD : 0), fd));
    }

    Reply request(uint32_t type, const bytes &payload, int fd = -1) {
        send(type, payload, fd);
        return recv_reply(sock_);
    }

    // Every record line written since the last call. The handlers write
    // before the loop replies, so after a reply its records are all here.
    std::vector<std::string> records() {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = read(rec_, buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
            lines.push_back(text.substr(start, nl - start));
        }
        return lines;
    }

    // Closes the peer's end while the child goes on, as a peer that leaves
    // without reading its replies does.
    void hang_up() {
        if (sock_ != -1) {
            close(sock_);
            sock_ = -1;
        }
    }

    // Closes the peer's end (unless the child has gone already), then
    // collects the child's stderr and exit status.
    Exit wait_exit() {
        Exit e;
        if (sock_ != -1) {
            close(sock_);
            sock_ = -1;
        }
        e.err = testutil::read_all(err_);
        close(err_);
        err_ = -1;
        waitpid(pid_, &e.status, 0);
        pid_ = -1;
        return e;
    }

    // The text that starts each of the child's log lines.
    std::string line_prefix() const { return testutil::log_prefix(pid_); }

  private:
    pid_t pid_ = -1;
    int sock_ = -1;
    int err_ = -1;
    int rec_ = -1;
};

}  // namespace looptest
