// A test peer for the dispatch loop: runs queue_api_run() in a forked child
// on a socketpair and speaks the wire protocol to it from the test.
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
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channel/imsg.h"
#include "common/child.h"
#include "frame/queue_api.h"
#include "log/log.h"

namespace peer {

using bytes = std::vector<uint8_t>;

inline bytes u32(uint32_t v) {
    bytes out(sizeof v);
    memcpy(out.data(), &v, sizeof v);
    return out;
}

inline bytes u64(uint64_t v) {
    bytes out(sizeof v);
    memcpy(out.data(), &v, sizeof v);
    return out;
}

inline bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

inline bytes filled(size_t n, uint8_t seed = 1) {
    bytes out(n);
    for (size_t i = 0; i < n; i++) {
        out[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    }
    return out;
}

// One frame as the peer would send it; `length` -1 means the true length.
inline bytes frame(uint32_t type, const bytes &payload, bool fd_flag = false, int length = -1) {
    imsg_header h{};
    h.type = type;
    h.length = static_cast<uint16_t>(length != -1 ? static_cast<size_t>(length)
                                                  : IMSG_HDR_LEN + payload.size());
    h.flags = fd_flag ? IMSG_FLAG_FD : 0;
    h.peer_id = 0;
    h.pid = getpid();
    // Built this way round on purpose: sizing the frame and copying the
    // payload to its offset, or appending the payload to the header, draws a
    // false -Warray-bounds from g++ 12 (at -O2 and at -O3 respectively).
    const auto *head = reinterpret_cast<const uint8_t *>(&h);
    bytes out(payload);
    out.insert(out.begin(), head, head + sizeof h);
    return out;
}

// Sends all bytes; the descriptor (or -1) goes with the first send call.
inline bool send_bytes(int sock, const bytes &data, int fd = -1) {
    size_t off = 0;
    while (off < data.size()) {
        iovec iov{const_cast<uint8_t *>(data.data() + off), data.size() - off};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        if (fd != -1) {
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr *c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            memcpy(CMSG_DATA(c), &fd, sizeof fd);
        }
        ssize_t n = sendmsg(sock, &msg, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        off += static_cast<size_t>(n);
        fd = -1;
    }
    return true;
}

struct Reply {
    bool eof = false;  // the stream ended before a single byte of a reply
    imsg_header header{};
    bytes payload;
    int fd = -1;  // passed with the reply; the test closes it
};

// Receives exactly n bytes into dst, keeping a passed descriptor in *fd.
// Returns the count received before the stream ended.
inline size_t recv_exact(int sock, uint8_t *dst, size_t n, int *fd) {
    size_t got = 0;
    while (got < n) {
        iovec iov{dst + got, n - got};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t r = recvmsg(sock, &msg, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; i++) {
                    int passed;
                    memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                    if (*fd == -1) {
                        *fd = passed;
                    } else {
                        close(passed);
                    }
                }
            }
        }
        got += static_cast<size_t>(r);
    }
    return got;
}

inline Reply recv_reply(int sock) {
    Reply r;
    uint8_t head[IMSG_HDR_LEN];
    size_t got = recv_exact(sock, head, sizeof head, &r.fd);
    if (got == 0) {
        r.eof = true;
        return r;
    }
    if (got < sizeof head) {
        ADD_FAILURE() << "reply header cut short after " << got << " bytes";
        r.eof = true;
        return r;
    }
    memcpy(&r.header, head, sizeof head);
    if (r.header.length < IMSG_HDR_LEN) {
        ADD_FAILURE() << "reply length " << r.header.length;
        return r;
    }
    r.payload.resize(r.header.length - IMSG_HDR_LEN);
    if (recv_exact(sock, r.payload.data(), r.payload.size(), &r.fd) != r.payload.size()) {
        ADD_FAILURE() << "reply payload cut short";
    }
    return r;
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
        ASSERT_TRUE(send_bytes(sock_, frame(type, payload, fd != -1), fd));
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
    std::string line_prefix() const {
        return std::string(program_invocation_short_name) + "[" + std::to_string(pid_) + "]: ";
    }

  private:
    pid_t pid_ = -1;
    int sock_ = -1;
    int err_ = -1;
    int rec_ = -1;
};

}  // namespace peer
