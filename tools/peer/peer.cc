#include "peer/peer.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include "channel/imsg.h"
#include "frame/queue_proto.h"

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

Peer::Peer() : ch_(new (std::nothrow) imsg_channel) {
    // A peer that is never started is still destroyed through
    // imsg_discard(), which needs the channel's lists set up.
    if (ch_ != nullptr) {
        imsg_setup(ch_, -1);
    }
}

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
    // The server hands over nothing but the socket and the standard streams.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
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
            out.pid = m.header.pid;
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

const char *request_name(uint32_t type) {
    switch (type) {
        case QUEUE_HELLO:
            return "QUEUE_HELLO";
        case QUEUE_FINISH:
            return "QUEUE_FINISH";
        case QUEUE_MESSAGE_NEW:
            return "QUEUE_MESSAGE_NEW";
        case QUEUE_MESSAGE_REMOVE:
            return "QUEUE_MESSAGE_REMOVE";
        case QUEUE_MESSAGE_STORE:
            return "QUEUE_MESSAGE_STORE";
        case QUEUE_MESSAGE_OPEN:
            return "QUEUE_MESSAGE_OPEN";
        case QUEUE_MESSAGE_MARK:
            return "QUEUE_MESSAGE_MARK";
        case QUEUE_MESSAGE_UNMARK:
            return "QUEUE_MESSAGE_UNMARK";
        case QUEUE_ENVELOPE_NEW:
            return "QUEUE_ENVELOPE_NEW";
        case QUEUE_ENVELOPE_REMOVE:
            return "QUEUE_ENVELOPE_REMOVE";
        case QUEUE_ENVELOPE_READ:
            return "QUEUE_ENVELOPE_READ";
        case QUEUE_ENVELOPE_REPLACE:
            return "QUEUE_ENVELOPE_REPLACE";
        case QUEUE_ENVELOPE_ITERATE:
            return "QUEUE_ENVELOPE_ITERATE";
        case QUEUE_MESSAGE_ITERATE:
            return "QUEUE_MESSAGE_ITERATE";
        default:
            return nullptr;
    }
}

namespace {

DecodedReply malformed(std::string why) {
    DecodedReply d;
    d.problem = std::move(why);
    return d;
}

std::string bytes_text(size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

}  // namespace

DecodedReply decode_reply(uint32_t request_type, const Reply &reply) {
    const size_t size = reply.payload.size();
    if (reply.type != QUEUE_REPLY) {
        return malformed("a message of type " + std::to_string(reply.type) + " instead of a reply");
    }
    if (reply.fd.valid() && request_type != QUEUE_MESSAGE_OPEN) {
        return malformed("a descriptor, which only the reply to QUEUE_MESSAGE_OPEN may carry");
    }
    DecodedReply d;
    d.has_fd = reply.fd.valid();
    // The lengths that a result-first reply may have, given its result.
    auto with_result = [&](size_t extra_on_success, bool success) -> bool {
        size_t want = sizeof(int32_t) + (success ? extra_on_success : 0);
        if (size != want) {
            d = malformed(bytes_text(size) + " of payload where " + bytes_text(want) + " belong");
            return false;
        }
        return true;
    };
    switch (request_type) {
        case QUEUE_HELLO:
        case QUEUE_MESSAGE_OPEN:
            if (size != 0) {
                return malformed(bytes_text(size) + " of payload where none belong");
            }
            break;
        case QUEUE_FINISH:
        case QUEUE_MESSAGE_REMOVE:
        case QUEUE_MESSAGE_STORE:
        case QUEUE_MESSAGE_MARK:
        case QUEUE_MESSAGE_UNMARK:
        case QUEUE_ENVELOPE_REMOVE:
        case QUEUE_ENVELOPE_REPLACE:
            if (!with_result(0, false)) {
                return d;
            }
            d.result = reply.result();
            break;
        case QUEUE_MESSAGE_NEW:
        case QUEUE_ENVELOPE_NEW: {
            const size_t id_size = request_type == QUEUE_MESSAGE_NEW ? 4 : 8;
            if (size < sizeof(int32_t)) {
                return malformed(bytes_text(size) + " of payload, too short for a result");
            }
            d.result = reply.result();
            if (!with_result(id_size, *d.result == 1)) {
                return d;
            }
            if (*d.result == 1) {
                d.id = id_size == 4 ? std::optional<uint64_t>(reply.u32_at(4)) : reply.u64_at(4);
            }
            break;
        }
        case QUEUE_ENVELOPE_READ:
            if (size > QUEUE_ENVELOPE_BUF) {
                return malformed(bytes_text(size) + " of envelope, more than the " +
                                 std::to_string(QUEUE_ENVELOPE_BUF) + " a reply may hold");
            }
            d.bytes = reply.payload;
            break;
        case QUEUE_ENVELOPE_ITERATE:
        case QUEUE_MESSAGE_ITERATE: {
            if (size < sizeof(int32_t)) {
                return malformed(bytes_text(size) + " of payload, too short for a result");
            }
            d.result = reply.result();
            const int32_t n = *d.result;
            if (n > static_cast<int32_t>(QUEUE_ENVELOPE_BUF)) {
                return malformed("a result of " + std::to_string(n) + ", more than the " +
                                 std::to_string(QUEUE_ENVELOPE_BUF) + " bytes a reply may hold");
            }
            if (!with_result(8 + static_cast<size_t>(n > 0 ? n : 0), n > 0)) {
                return d;
            }
            if (n > 0) {
                d.id = reply.u64_at(4);
                d.bytes = std::span<const uint8_t>(reply.payload).subspan(12);
            }
            break;
        }
        default:
            return malformed("no reply is defined for a request of type " +
                             std::to_string(request_type));
    }
    d.well_formed = true;
    return d;
}

PipeFeeder::~PipeFeeder() {
    finish();
}

bool PipeFeeder::start(std::span<const uint8_t> data) {
    if (running_) {
        errno = EBUSY;
        return false;
    }
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        return false;
    }
    read_.reset(p[0]);
    write_.reset(p[1]);
    data_ = data;
    complete_ = false;
    int rc = pthread_create(&thread_, nullptr, &PipeFeeder::write_all, this);
    if (rc != 0) {
        read_.reset();
        write_.reset();
        errno = rc;
        return false;
    }
    running_ = true;
    return true;
}

void *PipeFeeder::write_all(void *self) {
    auto *f = static_cast<PipeFeeder *>(self);
    // A reader that goes away must show up as EPIPE here rather than end the
    // whole process; the signal stays pending on this thread and dies with it.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    size_t done = 0;
    while (done < f->data_.size()) {
        ssize_t n = write(f->write_.get(), f->data_.data() + done, f->data_.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    f->complete_ = done == f->data_.size();
    // The reader sees the end of the content only once this end is closed.
    f->write_.reset();
    return nullptr;
}

bool PipeFeeder::finish() {
    if (running_) {
        pthread_join(thread_, nullptr);
        running_ = false;
    }
    read_.reset();
    write_.reset();
    return complete_;
}

int content_fd(std::span<const uint8_t> bytes) {
    UniqueFd fd(memfd_create("memq-content", MFD_CLOEXEC));
    if (!fd.valid()) {
        return -1;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (lseek(fd.get(), 0, SEEK_SET) == -1) {
        return -1;
    }
    return fd.release();
}

bool read_to_end(int fd, std::vector<uint8_t> &out) {
    out.clear();
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.insert(out.end(), buf, buf + n);
    }
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

bool proc_leading_number(pid_t pid, const char *name, long long &out) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
    FILE *f = fopen(path, "re");
    if (f == nullptr) {
        return false;
    }
    int got = fscanf(f, "%lld", &out);
    fclose(f);
    return got == 1;
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

namespace {

// 1 when the process is blocked in recvmsg, 0 when it is elsewhere
// ("running" reads as no number), -1 when its system call cannot be read.
int blocked_in_receive(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/syscall", static_cast<int>(pid));
    if (access(path, R_OK) != 0) {
        return -1;
    }
    long long nr;
    return proc_leading_number(pid, "syscall", nr) && nr == SYS_recvmsg ? 1 : 0;
}

}  // namespace

int backend_fd_count(pid_t pid) {
    // The backend has answered already, so it reaches its receive within a
    // few system calls; the bound only keeps a process that waits elsewhere
    // (under a debugger, say) from hanging the caller, which then gets the
    // count as it stands.
    for (int tries = 0; tries < 100000; ++tries) {
        if (blocked_in_receive(pid) != 0) {
            break;
        }
        sched_yield();
    }
    return proc_fd_count(pid);
}

}  // namespace peer
