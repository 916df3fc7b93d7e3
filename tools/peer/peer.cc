#include "peer/peer.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace peer {

Peer::~Peer() {
    finish();
}

bool Peer::start(const std::string &path, const std::vector<std::string> &args, int err_fd,
                 char *const *envp) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        return false;
    }
    unique_fd ours(sv[0]);
    unique_fd theirs(sv[1]);

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);

    // dup2 onto the standard descriptors clears their close-on-exec flag;
    // every other descriptor of ours stays behind.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDIN_FILENO);
    if (err_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
    }
    // The server hands over nothing but the socket and the standard streams.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t pid;
    int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(),
                         envp != nullptr ? envp : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    pid_ = pid;
    sock_ = std::move(ours);
    reader_.emplace(sock_.get());
    return true;
}

bool Peer::queue(uint32_t type, std::span<const uint8_t> payload, int fd) {
    int copy = -1;
    if (fd >= 0) {
        copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy == -1) {
            return false;
        }
    }
    return queue_owned(type, payload, copy);
}

bool Peer::queue_owned(uint32_t type, std::span<const uint8_t> payload, int fd) {
    unique_fd owned(fd);
    if (!sock_.valid()) {
        errno = ENOTCONN;
        return false;
    }
    if (payload.size() > wire::MAX_PAYLOAD) {
        errno = ERANGE;
        return false;
    }
    queued_.push_back(
        {wire::frame(type, payload, owned.valid() ? wire::FLAG_FD : 0), std::move(owned)});
    return true;
}

bool Peer::flush() {
    if (!sock_.valid()) {
        errno = ENOTCONN;
        return false;
    }
    // Requests go out together up to and including one that carries a
    // descriptor, which travels with that call.
    wire::Bytes batch;
    bool ok = true;
    for (Queued &q : queued_) {
        batch.insert(batch.end(), q.frame.begin(), q.frame.end());
        if (q.fd.valid()) {
            int fd = q.fd.get();
            ok = ok && wire::send_all(sock_.get(), batch, std::span(&fd, 1));
            batch.clear();
        }
    }
    ok = ok && (batch.empty() || wire::send_all(sock_.get(), batch));
    queued_.clear();
    return ok;
}

bool Peer::receive(Reply &out) {
    if (!sock_.valid()) {
        errno = ENOTCONN;
        return false;
    }
    std::optional<wire::Frame> f = reader_->next();
    if (!f) {
        return false;
    }
    out = std::move(*f);
    return true;
}

std::optional<Reply> Peer::call(uint32_t type, std::span<const uint8_t> payload, int fd) {
    if (!send(type, payload, fd)) {
        return std::nullopt;
    }
    Reply r;
    if (!receive(r)) {
        return std::nullopt;
    }
    return r;
}

int Peer::finish() {
    queued_.clear();
    reader_.reset();
    sock_.reset();
    if (pid_ < 0) {
        return -1;
    }
    int status = -1;
    while (waitpid(pid_, &status, 0) == -1 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
}

}  // namespace peer
