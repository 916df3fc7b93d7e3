#include "peer/peer.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include "channel/imsg.h"

extern char **environ;

namespace peer {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int UniqueFd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = fd;
}

std::optional<int32_t> Reply::result() const {
    if (payload.size() < sizeof(int32_t)) {
        return std::nullopt;
    }
    int32_t v;
    memcpy(&v, payload.data(), sizeof v);
    return v;
}

std::optional<uint32_t> Reply::u32_at(size_t offset) const {
    if (payload.size() < offset + sizeof(uint32_t)) {
        return std::nullopt;
    }
    uint32_t v;
    memcpy(&v, payload.data() + offset, sizeof v);
    return v;
}

std::optional<uint64_t> Reply::u64_at(size_t offset) const {
    if (payload.size() < offset + sizeof(uint64_t)) {
        return std::nullopt;
    }
    uint64_t v;
    memcpy(&v, payload.data() + offset, sizeof v);
    return v;
}

namespace {

template <typename T>
std::vector<uint8_t> packed(T v, std::span<const uint8_t> bytes) {
    std::vector<uint8_t> out(sizeof v + bytes.size());
    memcpy(out.data(), &v, sizeof v);
    if (!bytes.empty()) {
        memcpy(out.data() + sizeof v, bytes.data(), bytes.size());
    }
    return out;
}

}  // namespace

std::vector<uint8_t> payload_u32(uint32_t v) {
    return packed(v, {});
}
std::vector<uint8_t> payload_u64(uint64_t v) {
    return packed(v, {});
}
std::vector<uint8_t> payload_u32_bytes(uint32_t v, std::span<const uint8_t> bytes) {
    return packed(v, bytes);
}
std::vector<uint8_t> payload_u64_bytes(uint64_t v, std::span<const uint8_t> bytes) {
    return packed(v, bytes);
}

Peer::Peer() : ch_(new (std::nothrow) imsg_channel) {}

Peer::~Peer() {
    finish();
    if (ch_ != nullptr) {
        imsg_discard(ch_);
        delete ch_;
    }
}

bool Peer::start(const std::string &path, const std::vector<std::string> &args, int err_fd) {
    if (ch_ == nullptr) {
        errno = ENOMEM;
        return false;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        return false;
    }
    UniqueFd ours(sv[0]);
    UniqueFd theirs(sv[1]);

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
    pid_t pid;
    int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    pid_ = pid;
    sock_ = std::move(ours);
    imsg_setup(ch_, sock_.get());
    return true;
}

bool Peer::queue(uint32_t type, std::span<const uint8_t> payload, int fd) {
    if (ch_ == nullptr || !sock_.valid()) {
        errno = ENOTCONN;
        return false;
    }
    UniqueFd copy;
    if (fd >= 0) {
        copy.reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!copy.valid()) {
            return false;
        }
    }
    if (payload.size() > IMSG_MAX_LEN - IMSG_HDR_LEN) {
        errno = ERANGE;
        return false;
    }
    if (imsg_send(ch_, type, 0, 0, copy.get(), payload.data(),
                  static_cast<uint16_t>(payload.size())) != 1) {
        return false;
    }
    copy.release();  // the channel closes it once sent
    return true;
}

bool Peer::queue_owned(uint32_t type, std::span<const uint8_t> payload, int fd) {
    UniqueFd owned(fd);
    if (ch_ == nullptr || !sock_.valid()) {
        errno = ENOTCONN;
        return false;
    }
    if (payload.size() > IMSG_MAX_LEN - IMSG_HDR_LEN) {
        errno = ERANGE;
        return false;
    }
    if (imsg_send(ch_, type, 0, 0, owned.get(), payload.data(),
                  static_cast<uint16_t>(payload.size())) != 1) {
        return false;
    }
    owned.release();  // the channel closes it once sent
    return true;
}

bool Peer::flush() {
    if (ch_ == nullptr || !sock_.valid()) {
        errno = ENOTCONN;
        return false;
    }
    return imsg_write_all(ch_) == 0;
}

bool Peer::receive(Reply &out) {
    if (ch_ == nullptr || !sock_.valid()) {
        errno = ENOTCONN;
        return false;
    }
    for (;;) {
        imsg_message m;
        ssize_t n = imsg_get(ch_, &m);
        if (n < 0) {
            return false;
        }
        if (n > 0) {
            out.type = m.header.type;
            out.flags = m.header.flags;
            out.payload.assign(m.data, m.data + (n - static_cast<ssize_t>(IMSG_HDR_LEN)));
            out.fd.reset(m.fd);
            imsg_release(&m);
            return true;
        }
        ssize_t r = imsg_read(ch_);
        if (r == 0) {
            errno = 0;
            return false;
        }
        if (r < 0) {
            return false;
        }
    }
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

long proc_status_kb(pid_t pid, const char *field) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE *f = fopen(path, "re");
    if (f == nullptr) {
        return -1;
    }
    char line[256];
    size_t len = strlen(field);
    long kb = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, field, len) == 0 && line[len] == ':') {
            kb = strtol(line + len + 1, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return kb;
}

int proc_fd_count(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/fd", static_cast<int>(pid));
    DIR *d = opendir(path);
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') {
            n++;
        }
    }
    closedir(d);
    return n;
}

}  // namespace peer
