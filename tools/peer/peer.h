// The peer side of the queue protocol, for our own tools and tests: starts a
// backend the way the mail server's queue process does (one end of a local
// stream socketpair on the backend's descriptor 0) and exchanges framed
// requests and replies with it over the wire helpers (peer/wire.h), never
// through the backend's own channel code.
//
// Single-threaded. A Peer owns its socket, the descriptors of requests it
// has queued and the backend process; the destructor closes the socket and
// reaps the child. The rest of the toolkit: a started backend with its log
// (peer/backend.h), replies and their meaning (peer/reply.h), one request
// and its answer (peer/requests.h), content for stores (peer/feeder.h), what
// /proc shows of a backend (peer/proc.h), the store's model and the judge of
// replies (peer/model.h, peer/judge.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peer/feeder.h"
#include "peer/proc.h"
#include "peer/reply.h"
#include "peer/wire.h"
#include "support/unique.h"

namespace peer {

class Peer {
  public:
    Peer() = default;
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Starts the backend at path with args (argv[0] is the path itself) and
    // the environment envp, ours when it is null. Its stderr goes to err_fd,
    // or stays ours when err_fd is -1. False with errno set when the
    // socketpair or the spawn fails.
    bool start(const std::string &path, const std::vector<std::string> &args = {}, int err_fd = -1,
               char *const *envp = nullptr);

    // Queues one request without writing it; fd (or -1) is dup'ed, so the
    // caller keeps its own descriptor.
    bool queue(uint32_t type, std::span<const uint8_t> payload, int fd = -1);
    // As queue(), but takes fd (or -1) over instead of duplicating it: it is
    // closed once sent, or here when queuing fails. Spares a dup per request
    // where the caller made the descriptor for it.
    bool queue_owned(uint32_t type, std::span<const uint8_t> payload, int fd);
    // Writes every queued request: as few send calls as the descriptors
    // allow, each descriptor with the call whose bytes end with its request.
    bool flush();
    bool send(uint32_t type, std::span<const uint8_t> payload, int fd = -1) {
        return queue(type, payload, fd) && flush();
    }
    // Blocks for the next reply. False at the end of the stream or on error
    // (errno 0 for a clean end).
    bool receive(Reply &out);
    // One request, one reply.
    std::optional<Reply> call(uint32_t type, std::span<const uint8_t> payload, int fd = -1);

    // Closes our end of the socket and waits for the backend; its wait
    // status, or -1 when there is no backend.
    int finish();

    pid_t pid() const { return pid_; }
    int socket() const { return sock_.get(); }

  private:
    struct Queued {
        wire::Bytes frame;
        unique_fd fd;
    };

    unique_fd sock_;
    std::optional<wire::FrameReader> reader_;
    std::vector<Queued> queued_;
    pid_t pid_ = -1;
};

}  // namespace peer
