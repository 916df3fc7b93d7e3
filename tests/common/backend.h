// The built backend, started as the mail server starts it by the project's
// own peer (tools/peer), with its standard error kept in an anonymous file
// for the test to read. The end-to-end and the reliability suites drive it
// through this, each with requests and log checks of its own on top.
//
// The backend keeps its real defaults, so it changes its root to
// "/var/spool/mavid" and runs as "_mavidq"; prepare_defaults() makes both
// exist. Single-threaded.
#pragma once

#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/leak_check.h"
#include "common/root.h"
#include "peer/peer.h"
#include "support/unique.h"

namespace testutil {

// Makes the backend's account and its root with "tmp" and "temporary",
// through the set-up script an installation uses (which also serialises
// test binaries running in parallel). Empty on success, else why the tests
// must skip.
inline std::string prepare_defaults() {
    if (!testutil::have_root()) {
        return geteuid() == 0 ? "needs root, which MEMQ_TEST_UNPRIVILEGED takes away: the "
                                "account and the spool are not created"
                              : "creating the account and the spool needs root";
    }
    if (system(MEMQ_SOURCE_DIR "/scripts/setup-spool.sh >/dev/null") != 0) {
        return "scripts/setup-spool.sh failed";
    }
    return {};
}

// The peer owns the socket and the process: it closes the one and reaps
// the other when the Backend goes, as finish() does sooner. The log file is
// the Backend's own.
class Backend {
  public:
    Backend() = default;
    Backend(const Backend &) = delete;
    Backend &operator=(const Backend &) = delete;

    // Starts MEMQ_BINARY, or, when wrapper is given, its first word with the
    // rest as arguments and MEMQ_BINARY last (valgrind, prlimit). The leak
    // checker is off for that program alone. False when the log file, the
    // socketpair or the spawn cannot be made.
    bool start(const std::vector<std::string> &wrapper = {}) {
        log_.reset(memfd_create("memq-stderr", MFD_CLOEXEC));
        if (!log_.valid()) {
            return false;
        }
        final_log_.clear();
        seen_ = 0;
        LeakCheckOff for_the_backend;
        bool started;
        if (wrapper.empty()) {
            started = peer_.start(MEMQ_BINARY, {}, log_.get());
        } else {
            std::vector<std::string> args(wrapper.begin() + 1, wrapper.end());
            args.push_back(MEMQ_BINARY);
            started = peer_.start(wrapper.front(), args, log_.get());
        }
        pid_ = peer_.pid();
        return started;
    }

    peer::Peer &peer() { return peer_; }
    const peer::Peer &peer() const { return peer_; }
    // The backend's pid, kept after finish() so that its last lines can
    // still be told by their prefix.
    pid_t pid() const { return pid_; }

    // Closes the socket, which ends the backend, and returns its wait
    // status; -1 when it was not running. The log file is closed too (the
    // suites count this process's descriptors), and its text kept.
    int finish() {
        int status = peer_.finish();
        if (log_.valid()) {
            final_log_ = log_from(0);
            log_.reset();
        }
        return status;
    }

    // Everything the backend has written to standard error so far.
    std::string log() const { return log_from(0); }
    // What it has written since the last call.
    std::string new_log() {
        std::string text = log_from(seen_);
        seen_ += text.size();
        return text;
    }

    // The descriptors the backend holds between requests, or -1.
    int fd_count() const { return peer::backend_fd_count(peer_.pid()); }

  private:
    std::string log_from(size_t at) const {
        if (!log_.valid()) {
            return at < final_log_.size() ? final_log_.substr(at) : std::string();
        }
        std::string out;
        char buf[4096];
        for (;;) {
            ssize_t n = pread(log_.get(), buf, sizeof buf, static_cast<off_t>(at + out.size()));
            if (n <= 0) {
                return out;
            }
            out.append(buf, static_cast<size_t>(n));
        }
    }

    peer::Peer peer_;
    unique_fd log_;
    pid_t pid_ = -1;
    std::string final_log_;
    size_t seen_ = 0;
};

}  // namespace testutil
