// A stand-in for the mail server's queue process: it starts the built
// backend exactly as the server does, one end of a local stream socketpair
// on descriptor 0, and speaks the queue protocol to it through the
// project's own channel code.
//
// The backend keeps its real defaults, so it changes its root to
// "/var/spool/mavid" and runs as "_mavidq"; prepare_defaults() makes both
// exist. Single-threaded; requests may be sent ahead of their replies,
// which come back in order.
#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "channel/imsg.h"
#include "frame/queue_proto.h"

namespace e2e {

using bytes = std::vector<uint8_t>;

inline constexpr const char *SPOOL = "/var/spool/mavid";
inline constexpr const char *ACCOUNT = "_mavidq";

// Makes the backend's root, its "tmp" and "temporary" and its account, as
// an installation would. Empty on success, else why it cannot; needs root.
inline std::string prepare_defaults() {
    if (geteuid() != 0) {
        return "creating the account and the spool needs root";
    }
    // Test binaries run in parallel; the first to get here creates what is
    // missing while the others wait.
    int lock = open("/tmp/memq-e2e-setup.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lock == -1 || flock(lock, LOCK_EX) != 0) {
        if (lock != -1) {
            close(lock);
        }
        return "cannot take the set-up lock";
    }
    std::unique_ptr<int, void (*)(int *)> unlock(&lock, [](int *fd) { close(*fd); });
    if (getpwnam(ACCOUNT) == nullptr) {
        std::string cmd = "useradd --system --no-create-home --shell /usr/sbin/nologin " +
                          std::string(ACCOUNT) + " >/dev/null 2>&1";
        if (system(cmd.c_str()) != 0 || getpwnam(ACCOUNT) == nullptr) {
            return "cannot create the account " + std::string(ACCOUNT);
        }
    }
    const passwd *pw = getpwnam(ACCOUNT);
    std::error_code ec;
    std::filesystem::create_directories(SPOOL, ec);
    if (ec) {
        return "cannot create " + std::string(SPOOL) + ": " + ec.message();
    }
    // Only the backend's account writes below the root; nobody else needs
    // to look in.
    for (const char *sub : {"tmp", "temporary"}) {
        std::string path = std::string(SPOOL) + "/" + sub;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            return "cannot create " + path + ": " + strerror(errno);
        }
        if (chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0 || chmod(path.c_str(), 0700) != 0) {
            return "cannot hand " + path + " to " + ACCOUNT + ": " + strerror(errno);
        }
    }
    return {};
}

// An anonymous file holding content, positioned at its start; the caller
// closes it. -1 when it cannot be made.
inline int content_fd(const bytes &content) {
    int fd = memfd_create("memq-content", MFD_CLOEXEC);
    if (fd == -1) {
        return -1;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// Everything from the descriptor's current offset to its end.
inline bytes read_to_end(int fd) {
    bytes out;
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        } else if (n == 0 || errno != EINTR) {
            return out;
        }
    }
}

struct Reply {
    bool arrived = false;  // false when the backend closed the socket
    imsg_header header{};
    bytes payload;
    int fd = -1;  // passed with the reply; the receiver closes it

    // The leading 4-byte result.
    int32_t result() const {
        int32_t r = INT32_MIN;
        if (payload.size() >= sizeof r) {
            memcpy(&r, payload.data(), sizeof r);
        }
        return r;
    }
    template <typename T>
    T field_at(size_t offset) const {
        T v{};
        if (payload.size() >= offset + sizeof v) {
            memcpy(&v, payload.data() + offset, sizeof v);
        }
        return v;
    }
};

class Backend {
  public:
    Backend() = default;
    Backend(const Backend &) = delete;
    Backend &operator=(const Backend &) = delete;
    ~Backend() { stop(); }

    // Starts the backend with no arguments. Its standard error goes to an
    // anonymous file that log() reads back.
    bool start() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            return false;
        }
        log_fd_ = memfd_create("memq-stderr", MFD_CLOEXEC);
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(sv[1], STDIN_FILENO);
            dup2(log_fd_, STDERR_FILENO);
            // The server hands over nothing but the socket and the standard
            // streams.
            close_range(3, ~0U, 0);
            // The leak checker reads /proc at exit, which the changed root
            // does not have; without this an instrumented backend would end
            // with status 1 however cleanly it served.
            std::string sanitizer = "detect_leaks=0";
            if (const char *given = getenv("ASAN_OPTIONS")) {
                sanitizer = std::string(given) + ":" + sanitizer;
            }
            setenv("ASAN_OPTIONS", sanitizer.c_str(), 1);
            // MEMQ_BACKEND_WRAPPER (words separated by spaces) runs the
            // backend under another program, such as valgrind.
            std::vector<std::string> words;
            if (const char *wrapper = getenv("MEMQ_BACKEND_WRAPPER")) {
                std::istringstream in(wrapper);
                for (std::string w; in >> w;) {
                    words.push_back(w);
                }
            }
            words.push_back(MEMQ_BINARY);
            std::vector<char *> argv;
            for (std::string &w : words) {
                argv.push_back(w.data());
            }
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(sv[1]);
        sock_ = sv[0];
        if (pid_ == -1) {
            return false;
        }
        ch_ = std::make_unique<imsg_channel>();
        imsg_setup(ch_.get(), sock_);
        return true;
    }

    pid_t pid() const { return pid_; }

    // Closes the socket, which ends the backend, and returns its wait
    // status; -1 when it was not running. Its log stays readable.
    int stop() {
        if (ch_) {
            imsg_discard(ch_.get());
            ch_.reset();
        }
        if (sock_ != -1) {
            close(sock_);
            sock_ = -1;
        }
        int status = -1;
        if (pid_ > 0) {
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (log_fd_ != -1) {
            final_log_ = log();
            close(log_fd_);
            log_fd_ = -1;
        }
        return status;
    }

    // What the backend has written to standard error so far.
    std::string log() const {
        if (log_fd_ == -1) {
            return final_log_;
        }
        std::string out;
        char buf[4096];
        for (off_t at = 0;;) {
            ssize_t n = pread(log_fd_, buf, sizeof buf, at);
            if (n <= 0) {
                return out;
            }
            out.append(buf, static_cast<size_t>(n));
            at += n;
        }
    }

    // Queues one request and writes it out; false when it could not be
    // sent. A descriptor given here belongs to the channel, which closes it
    // once sent. The backend may be sent several requests before their
    // replies are read; it answers them in order.
    bool send(uint32_t type, const bytes &payload, int fd = -1) {
        if (!ch_ || imsg_send(ch_.get(), type, 0, 0, fd, payload.data(),
                              static_cast<uint16_t>(payload.size())) != 1) {
            if (fd != -1) {
                close(fd);
            }
            return false;
        }
        return imsg_write_all(ch_.get()) == 0;
    }

    // The next reply; not `arrived` when the backend closed the socket.
    Reply receive() {
        Reply r;
        imsg_message msg;
        for (;;) {
            if (!ch_) {
                return r;
            }
            ssize_t n = imsg_get(ch_.get(), &msg);
            if (n > 0) {
                break;
            }
            if (n < 0 || imsg_read(ch_.get()) <= 0) {
                return r;
            }
        }
        r.arrived = true;
        r.header = msg.header;
        r.payload.assign(msg.data, msg.data + (msg.header.length - IMSG_HDR_LEN));
        r.fd = msg.fd;
        imsg_release(&msg);
        return r;
    }

    Reply request(uint32_t type, const bytes &payload, int fd = -1) {
        return send(type, payload, fd) ? receive() : Reply{};
    }

    // Fixed fields packed one after the other in host order.
    template <typename... Fields>
    static bytes pack(const Fields &...fields) {
        bytes out((sizeof fields + ... + 0));
        size_t at = 0;
        ((memcpy(out.data() + at, &fields, sizeof fields), at += sizeof fields), ...);
        return out;
    }

    // A fixed field followed by opaque bytes, as envelope requests carry.
    template <typename Field>
    static bytes pack_with(const Field &field, const bytes &data) {
        bytes out(sizeof field + data.size());
        memcpy(out.data(), &field, sizeof field);
        if (!data.empty()) {
            memcpy(out.data() + sizeof field, data.data(), data.size());
        }
        return out;
    }

    Reply hello() { return request(QUEUE_HELLO, pack(QUEUE_API_VERSION)); }

    // The new msgid, or 0 when the result was not 1.
    uint32_t message_new() {
        Reply r = request(QUEUE_MESSAGE_NEW, {});
        return r.result() == 1 ? r.field_at<uint32_t>(4) : 0;
    }

    // Passes a duplicate of content_fd (read from its current offset).
    int message_store(uint32_t msgid, int content) {
        return request(QUEUE_MESSAGE_STORE, pack(msgid), dup(content)).result();
    }

    int message_store(uint32_t msgid, const bytes &content) {
        int fd = content_fd(content);
        int result = message_store(msgid, fd);
        close(fd);
        return result;
    }

    // The descriptor that came with the reply (the caller closes it), or -1.
    int message_open(uint32_t msgid) { return request(QUEUE_MESSAGE_OPEN, pack(msgid)).fd; }

    int message_remove(uint32_t msgid) {
        return request(QUEUE_MESSAGE_REMOVE, pack(msgid)).result();
    }

    // The new envelope id, or 0 when the result was not 1.
    uint64_t envelope_new(uint32_t msgid, const bytes &data) {
        Reply r = request(QUEUE_ENVELOPE_NEW, pack_with(msgid, data));
        return r.result() == 1 ? r.field_at<uint64_t>(4) : 0;
    }

    int envelope_remove(uint64_t evpid) {
        return request(QUEUE_ENVELOPE_REMOVE, pack(evpid)).result();
    }

    int envelope_replace(uint64_t evpid, const bytes &data) {
        return request(QUEUE_ENVELOPE_REPLACE, pack_with(evpid, data)).result();
    }

    bytes envelope_read(uint64_t evpid) {
        return request(QUEUE_ENVELOPE_READ, pack(evpid)).payload;
    }

    // The backend's open descriptors, or -1 when they cannot be counted.
    int fd_count() const {
        std::error_code ec;
        int n = 0;
        for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec),
             end;
             !ec && it != end; it.increment(ec)) {
            ++n;
        }
        return ec ? -1 : n;
    }

    // The backend's resident memory in bytes, or -1.
    long long resident_bytes() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string key;
        while (status >> key) {
            if (key == "VmRSS:") {
                long long kib = -1;
                status >> kib;
                return kib < 0 ? -1 : kib * 1024;
            }
            status.ignore(1 << 20, '\n');
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int sock_ = -1;
    int log_fd_ = -1;
    std::string final_log_;
    std::unique_ptr<imsg_channel> ch_;
};

}  // namespace e2e
