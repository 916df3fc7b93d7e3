// A backend started for one session, as the mail server starts it (peer.h),
// with what every tool and test wants to see of it: its log, its
// descriptors, how it ended. Its standard error goes to an anonymous file,
// so that its lines can be read at the moment of the caller's choosing and
// can never block it.
//
// Single-threaded. A Backend owns its Peer (the socket and the process) and
// the log file; stop(), or the destructor, closes the socket and reaps the
// process.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "peer/peer.h"
#include "support/unique.h"

namespace peer {

struct BackendOptions {
    // A program to run the backend under and its arguments (valgrind,
    // prlimit, a sandbox); the backend's path follows them. Empty: the
    // backend alone.
    std::vector<std::string> wrapper;
    // Whether the backend keeps the sanitizer's leak check. An instrumented
    // backend runs it as it exits, and it reads /proc, which the backend's
    // changed root does not have: it would end with status 1 however cleanly
    // it served. False adds detect_leaks=0 to the ASAN_OPTIONS that the
    // backend alone sees; our own environment is left as it is.
    bool leak_check = true;
    // The CPU to pin the backend to before it serves anything; -1 leaves it
    // where it inherited ours.
    int cpu = -1;
    // Where the backend's standard error goes instead of the log file, for
    // a caller that gives it one that misbehaves; the log is then empty.
    // The descriptor stays the caller's. -1: the log file.
    int err_fd = -1;
};

// The words of the environment variable `name`, split at blanks, as a
// wrapper for BackendOptions (the first an absolute path); none when it is
// unset or empty.
std::vector<std::string> wrapper_from_env(const char *name);

class Backend {
  public:
    Backend() = default;
    Backend(const Backend &) = delete;
    Backend &operator=(const Backend &) = delete;

    // Starts the program at path with no arguments. False with errno set
    // when the log file, the socketpair, the spawn or the pinning fails;
    // failure() then names the step.
    bool start(const std::string &path, const BackendOptions &options = {});
    // "make a file for its log", "start it" or "pin it to a CPU", after a
    // failed start().
    const char *failure() const { return failure_; }

    Peer &peer() { return peer_; }
    const Peer &peer() const { return peer_; }
    // The backend's pid, kept after stop() so that its last lines can
    // still be told by their prefix; -1 before it started.
    pid_t pid() const { return pid_; }

    // Everything the backend has written to its standard error so far,
    // after stop() as well.
    std::string log() const;
    // What it has written since the last call of new_log() or new_lines().
    std::string new_log();
    // The same as whole lines, each without the "memq[PID]: " that starts
    // the backend's own (messages()); a line not yet ended waits for a
    // later call.
    std::vector<std::string> new_lines();
    // The lines of a text from its log, each without the start that the
    // backend's own lines have ("memq[PID]: ", the program's short name and
    // its pid); a line of another shape is kept whole, so that it shows.
    std::vector<std::string> messages(std::string_view log) const;

    // The descriptors the backend holds between requests (as
    // backend_fd_count() counts them), or -1.
    int fd_count() const;

    // Closes our end of the socket, which ends the backend, and waits for
    // it: its wait status, or -1 when it was not running. The log file is
    // closed too (tests count this process's descriptors), its text kept.
    int stop();
    bool stopped() const { return stopped_; }

  private:
    std::string log_from(size_t at) const;

    Peer peer_;
    unique_fd log_;
    std::string final_log_;
    size_t seen_ = 0;
    std::string partial_;
    pid_t pid_ = -1;
    std::string prefix_;
    bool stopped_ = false;
    const char *failure_ = "";
};

// The start of every line the log writes in process pid of program:
// "memq[PID]: ".
std::string log_prefix(pid_t pid, std::string_view program = "memq");
// The part of a log line after "NAME[PID]: ", whatever the name and the pid,
// or the whole line where it has no such start (a line from the system
// library, or from a sanitizer).
std::string_view message_of(std::string_view line);
// The lines of text, without their newlines; a last line without one
// counts too.
std::vector<std::string> split_lines(std::string_view text);

// "exit status 0", "killed by signal 9 (Killed)", "no status" for -1.
std::string describe_status(int wait_status);

}  // namespace peer
