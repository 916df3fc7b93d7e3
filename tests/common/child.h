// Test helpers for code that ends the process or writes to stderr: run it in
// a forked child with stderr captured, spell the log lines it must write,
// and count this process's descriptors.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

struct ChildResult {
    pid_t pid = -1;
    int status = 0;   // raw wait status
    std::string err;  // everything the child wrote to stderr

    bool exited() const { return WIFEXITED(status); }
    int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

// Reads a descriptor to its end.
inline std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return out;
}

// Runs body in a child whose stderr goes to a pipe; the child exits with
// body's result unless body ends the process itself.
inline ChildResult run_in_child(const std::function<int()> &body) {
    ChildResult r;
    int p[2];
    if (pipe(p) != 0) {
        return r;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        dup2(p[1], STDERR_FILENO);
        close(p[1]);
        _exit(body());
    }
    close(p[1]);
    r.pid = pid;
    r.err = read_all(p[0]);
    close(p[0]);
    waitpid(pid, &r.status, 0);
    return r;
}

// The start of every line the log writes in process pid of the program:
// "name[pid]: ", with this program's own name unless another is given.
inline std::string log_prefix(pid_t pid, const char *program = program_invocation_short_name) {
    return std::string(program) + "[" + std::to_string(pid) + "]: ";
}

// One whole log line of process pid of this program.
inline std::string log_line(pid_t pid, const std::string &message) {
    return log_prefix(pid) + message + "\n";
}

// The text less the notes AddressSanitizer writes itself ("==PID==WARNING:
// ..."), which depend on the build and not on the code under test.
inline std::string without_sanitizer_notes(const std::string &err) {
    std::string out;
    for (size_t at = 0; at < err.size();) {
        size_t end = err.find('\n', at);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(at, 2, "==") != 0) {
            out.append(err, at, end - at);
        }
        at = end;
    }
    return out;
}

// The descriptors this process has open, in increasing order.
inline std::vector<int> open_fds() {
    std::vector<int> fds;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return fds;
    }
    int own = dirfd(d);
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        int fd = atoi(e->d_name);
        if (fd != own) {
            fds.push_back(fd);
        }
    }
    closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

inline bool fd_is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

}  // namespace testutil
