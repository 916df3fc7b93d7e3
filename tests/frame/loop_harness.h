// A test peer for the dispatch loop: runs the loop on one end of a
// socketpair and speaks the wire protocol to it from the test, with the
// wire helpers (peer/wire.h) rather than the channel the loop itself uses.
//
// By default the loop serves in this process, on a thread of its own, with
// the handlers of queue_handlers and a fatal hook that writes the fatal line
// and returns, so that a fatal end is seen as exit status 1 without an
// exit. Where a real process is the point (confinement, signals, CPU time,
// limits on the process), LoopRun::forked runs queue_api_run() in a child,
// serving descriptor 0, with no change of root and no account unless its
// setup says otherwise. Either way the loop's standard error is kept, and
// handlers report their calls as text lines through record(), which the
// test reads back with records(). One loop runs at a time.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "peer/reply.h"
#include "peer/wire.h"

namespace looptest {

using wire::Bytes;
using wire::cat;
using wire::pattern;
using wire::u32;
using wire::u64;

// Reads one reply, header first and then payload, and nothing of the next,
// so that a reply that lies about its length or never ends shows as such;
// nothing when the stream ended before a single byte of one. Of the
// descriptors that come with it the first is kept and any others closed.
std::optional<peer::Reply> recv_reply(int sock);

// Sends all of data with fd (or none for -1) on the first send call.
bool send_bytes(int sock, std::span<const uint8_t> data, int fd = -1);

// A handler's report, one line; the loop's side only.
void record(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The open descriptors of the process the loop serves in, as one record
// line, "fds 0 2 5".
void record_open_fds();

struct Exit {
    int status = 0;  // a wait status
    std::string err;
    int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

class LoopRun {
  public:
    enum Where { in_process, forked };

    // Starts the loop; setup runs first, where the loop will run (on its
    // thread, or in the child before queue_api_run()).
    explicit LoopRun(const std::function<void()> &setup = nullptr, Where where = in_process);
    LoopRun(const LoopRun &) = delete;
    LoopRun &operator=(const LoopRun &) = delete;
    ~LoopRun();

    // The process the loop serves in; the pid its replies carry.
    pid_t pid() const { return pid_; }
    int sock() const { return sock_; }

    void send(uint32_t type, const Bytes &payload, int fd = -1);
    std::optional<peer::Reply> request(uint32_t type, const Bytes &payload, int fd = -1);

    // Every record line written since the last call. The handlers write
    // before the loop replies, so after a reply its records are all here.
    std::vector<std::string> records();

    // Closes the peer's end while the loop goes on, as a peer that leaves
    // without reading its replies does.
    void hang_up();

    // Closes the peer's end (unless it is closed already), waits for the
    // loop to end, and gives its exit status (in process: 0 when it
    // returned for a closed channel, 1 after a fatal end) and its stderr.
    Exit wait_exit();

    // The text that starts each of the loop's log lines.
    std::string line_prefix() const;

  private:
    void start_thread(const std::function<void()> &setup, int loop_sock);
    void start_child(const std::function<void()> &setup, int loop_sock, int err_end);

    Where where_;
    pid_t pid_ = -1;
    int sock_ = -1;
    // Where the loop's stderr goes: an anonymous file in this process, a
    // pipe from a child (which a file-size limit of the child's own must
    // not cut short).
    int err_ = -1;
    int rec_ = -1;
    int proc_fd_dir_ = -1;
    int saved_stderr_ = -1;
    std::thread thread_;
    bool fatal_ = false;
    bool done_ = false;
};

}  // namespace looptest
