#include "frame/loop_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "common/child.h"
#include "frame/queue_api.h"
#include "frame/queue_loop.h"
#include "log/log.h"

namespace looptest {

namespace {

// Where the loop's handlers write their reports (-1 when no loop runs).
int record_fd = -1;

// The descriptor directory of the process the loop serves in, opened
// before any change of root so that it can still be listed from inside
// one.
int proc_fd_dir = -1;

// Everything written to fd from its start.
std::string contents_of(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, static_cast<off_t>(out.size()));
        if (n <= 0) {
            return out;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

// The in-process loop's way out of a fatal condition: the line die()
// writes, without the exit.
void fatal_line_only(const char *closing) {
    log_write(LOG_CRIT, "fatal: %s", closing);
}

}  // namespace

std::optional<peer::Reply> recv_reply(int sock) {
    peer::Reply r;
    std::vector<int> fds;
    uint8_t head[wire::HEADER_LEN];
    size_t got = wire::recv_exact(sock, head, fds);
    bool arrived = got != 0;
    if (got != 0 && got < sizeof head) {
        ADD_FAILURE() << "reply header cut short after " << got << " bytes";
        arrived = false;
    } else if (arrived) {
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
        if (!r.fd.valid()) {
            r.fd.reset(fd);
        } else {
            close(fd);
        }
    }
    if (!arrived) {
        return std::nullopt;
    }
    return r;
}

bool send_bytes(int sock, std::span<const uint8_t> data, int fd) {
    return fd == -1 ? wire::send_all(sock, data) : wire::send_all(sock, data, std::array{fd});
}

void record(const char *fmt, ...) {
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
    if (write(record_fd, line, len + 1) != static_cast<ssize_t>(len + 1)) {
        ADD_FAILURE() << "a record could not be written";
    }
}

void record_open_fds() {
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

LoopRun::LoopRun(const std::function<void()> &setup, Where where) : where_(where) {
    int sv[2], rec[2], err[2] = {-1, -1};
    if (where_ == in_process) {
        err[0] = memfd_create("loop-stderr", MFD_CLOEXEC);
    } else if (pipe2(err, O_CLOEXEC) != 0) {
        err[0] = -1;
    }
    if (err[0] == -1 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0 ||
        pipe2(rec, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot set up the loop's channels";
        done_ = true;
        return;
    }
    sock_ = sv[0];
    err_ = err[0];
    rec_ = rec[0];
    record_fd = rec[1];
    fcntl(rec_, F_SETFL, O_NONBLOCK);
    proc_fd_dir_ = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    proc_fd_dir = proc_fd_dir_;
    if (where_ == in_process) {
        start_thread(setup, sv[1]);
    } else {
        start_child(setup, sv[1], err[1]);
    }
}

void LoopRun::start_thread(const std::function<void()> &setup, int loop_sock) {
    pid_ = getpid();
    fflush(stderr);
    saved_stderr_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    dup2(err_, STDERR_FILENO);
    thread_ = std::thread([this, setup, loop_sock] {
        log_open(1);
        if (setup) {
            setup();
        }
        // Too large for a thread's stack to hold comfortably.
        auto *loop = new queue_loop;
        fatal_ = !queue_loop_setup(loop, loop_sock, &queue_handlers, fatal_line_only) ||
                 queue_loop_serve(loop) == queue_loop_end::fatal;
        queue_loop_teardown(loop);
        delete loop;
        // As at the end of a process, the peer sees the stream end.
        close(loop_sock);
    });
}

void LoopRun::start_child(const std::function<void()> &setup, int loop_sock, int err_end) {
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(loop_sock, STDIN_FILENO);
        dup2(err_end, STDERR_FILENO);
        close(loop_sock);
        close(err_end);
        close(sock_);
        close(rec_);
        close(err_);
        log_open(1);
        queue_api_clear_root_dir();
        queue_api_run_as(nullptr);
        if (setup) {
            setup();
        }
        _exit(queue_api_run() == 1 ? 0 : 3);
    }
    close(loop_sock);
    close(err_end);
}

LoopRun::~LoopRun() {
    if (!done_) {
        wait_exit();
    }
    for (int fd : {rec_, err_}) {
        if (fd != -1) {
            close(fd);
        }
    }
}

void LoopRun::send(uint32_t type, const Bytes &payload, int fd) {
    ASSERT_TRUE(send_bytes(sock_, wire::frame(type, payload, fd != -1 ? wire::FLAG_FD : 0), fd));
}

std::optional<peer::Reply> LoopRun::request(uint32_t type, const Bytes &payload, int fd) {
    send(type, payload, fd);
    return recv_reply(sock_);
}

std::vector<std::string> LoopRun::records() {
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

void LoopRun::hang_up() {
    if (sock_ != -1) {
        close(sock_);
        sock_ = -1;
    }
}

Exit LoopRun::wait_exit() {
    Exit e;
    hang_up();
    if (where_ == in_process) {
        thread_.join();
        fflush(stderr);
        dup2(saved_stderr_, STDERR_FILENO);
        close(saved_stderr_);
        saved_stderr_ = -1;
        e.status = fatal_ ? 1 << 8 : 0;
        e.err = contents_of(err_);
    } else {
        e.err = testutil::read_all(err_);
        waitpid(pid_, &e.status, 0);
    }
    close(record_fd);
    record_fd = -1;
    close(proc_fd_dir_);
    proc_fd_dir_ = proc_fd_dir = -1;
    done_ = true;
    return e;
}

std::string LoopRun::line_prefix() const {
    return testutil::log_prefix(pid_);
}

}  // namespace looptest
