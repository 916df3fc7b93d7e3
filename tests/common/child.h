// Test helpers for code that ends the process or writes to stderr: run it in
// a forked child with stderr captured, and count this process's descriptors.
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
