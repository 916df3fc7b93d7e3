// The dispatch loop, the channel and the real store, fed an arbitrary byte
// stream through a real socketpair, with descriptors of every kind attached
// where the input asks. The loop serves in this process, on a thread of its
// own (confined there, as root, to a root directory of its own), with a
// fatal hook that writes the fatal line and returns; this thread plays the
// peer and predicts every reply and every log line with a model of the
// protocol and the store, and checks how the loop ended (0 for a channel
// that closed, 1 for a fatal end), its log line by line, the descriptors
// still waiting at its end, and that nothing stays open once it is gone.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "frame/queue_api.h"
#include "frame/queue_loop.h"
#include "frame/queue_proto.h"
#include "fuzz_input.h"
#include "log/log.h"
#include "queue_model.h"
#include "store/memq.h"
#include "wiring.h"

namespace {

using namespace fuzzmodel;

// A root with "tmp" and "temporary" for the loop to serve in, when we may;
// otherwise it serves unconfined and cannot make the files that opening a
// message needs.
std::string root_dir;

// The in-process loop's way out of a fatal condition: the line die()
// writes, without the exit.
void fatal_line_only(const char *closing) {
    log_write(LOG_CRIT, "fatal: %s", closing);
}

// How the loop ended, and what it still held at its end.
struct LoopEnd {
    bool fatal = false;
    size_t waiting = 0;
};

// The thread the loop serves on, one session per input. It lives as long
// as the process, since a thread made and ended per input costs more than
// the input. It has a root directory of its own, so that this thread, the
// peer, keeps the real one.
class LoopThread {
  public:
    LoopThread() : thread_([this] { run(); }) {}

    // Serves one session on sock, which it closes at the end, as a process
    // that ends does; returns at once.
    void start(int sock) {
        std::lock_guard<std::mutex> hold(mutex_);
        sock_ = sock;
        done_ = false;
        changed_.notify_all();
    }

    // Waits for the session to end.
    LoopEnd wait() {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [this] { return done_; });
        return end_;
    }

  private:
    void run() {
        if (!root_dir.empty()) {
            FUZZ_CHECK(unshare(CLONE_FS) == 0 && chroot(root_dir.c_str()) == 0 && chdir("/") == 0);
        }
        for (;;) {
            int sock;
            {
                std::unique_lock<std::mutex> hold(mutex_);
                changed_.wait(hold, [this] { return sock_ != -1; });
                sock = std::exchange(sock_, -1);
            }
            LoopEnd end = serve(sock);
            std::lock_guard<std::mutex> hold(mutex_);
            end_ = end;
            done_ = true;
            changed_.notify_all();
        }
    }

    static LoopEnd serve(int sock) {
        static queue_loop loop;
        LoopEnd end;
        FUZZ_CHECK(queue_loop_setup(&loop, sock, &queue_handlers, fatal_line_only));
        end.fatal = queue_loop_serve(&loop) == queue_loop_end::fatal;
        end.waiting = imsg_fds_waiting(&loop.channel);
        queue_loop_teardown(&loop);
        close(sock);
        return end;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int sock_ = -1;
    bool done_ = false;
    LoopEnd end_;
    std::thread thread_;
};

LoopThread *loop_thread;

// The descriptors open in this process, in order.
std::vector<int> open_fds() {
    std::vector<int> fds;
    DIR *d = opendir("/proc/self/fd");
    FUZZ_CHECK(d != nullptr);
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d)) {
            fds.push_back(atoi(e->d_name));
        }
    }
    closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

// Gives back everything the store holds, so that each input starts empty.
void empty_store() {
    uint64_t key;
    while (tree_peek_root(&stored_messages, &key, nullptr) != 0) {
        memq_message_remove(static_cast<uint32_t>(key));
    }
}

// ---- The peer's side of the socket. ----

// A descriptor of the asked kind holding content where it can hold any;
// the extra descriptor of a pair comes back in second.
int make_fd(FdKind kind, const Bytes &content, int &second) {
    second = -1;
    switch (kind) {
        case FdKind::none:
            return -1;
        case FdKind::regular:
        case FdKind::two: {
            int fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
            FUZZ_CHECK(fd != -1);
            FUZZ_CHECK(write(fd, content.data(), content.size()) ==
                       static_cast<ssize_t>(content.size()));
            FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
            if (kind == FdKind::two) {
                int p[2];
                FUZZ_CHECK(pipe2(p, O_CLOEXEC) == 0);
                close(p[1]);
                second = p[0];
            }
            return fd;
        }
        case FdKind::pipe: {
            int p[2];
            FUZZ_CHECK(pipe2(p, O_CLOEXEC) == 0);
            FUZZ_CHECK(write(p[1], content.data(), content.size()) ==
                       static_cast<ssize_t>(content.size()));
            close(p[1]);
            return p[0];
        }
        case FdKind::write_only: {
            int fd = open("/tmp", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
            FUZZ_CHECK(fd != -1);
            return fd;
        }
        case FdKind::directory: {
            int fd = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            FUZZ_CHECK(fd != -1);
            return fd;
        }
        case FdKind::socket: {
            int sv[2];
            FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
            FUZZ_CHECK(write(sv[0], content.data(), content.size()) ==
                       static_cast<ssize_t>(content.size()));
            close(sv[0]);
            return sv[1];
        }
    }
    return -1;
}

// One send call; false once the child is gone.
bool send_chunk(int sock, const Send &s) {
    int second;
    int fd = make_fd(s.kind, s.content, second);
    int fds[2] = {fd, second};
    size_t nfds = fd == -1 ? 0 : (second == -1 ? 1 : 2);
    // A descriptor travels only with at least one byte.
    bool ok = s.data.empty() || wire::send_once(sock, s.data, std::span<const int>(fds, nfds)) ==
                                    static_cast<ssize_t>(s.data.size());
    for (size_t i = 0; i < nfds; ++i) {
        close(fds[i]);
    }
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    signal(SIGPIPE, SIG_IGN);
    log_open(1);

    // A package build asks, with MEMQ_TEST_UNPRIVILEGED, that the replay
    // leave the host alone even as root.
    const char *unprivileged = getenv("MEMQ_TEST_UNPRIVILEGED");
    if (geteuid() == 0 && (unprivileged == nullptr || *unprivileged == '\0')) {
        // One fixed root, reused by every run, so that runs that end
        // without their exit handlers leave nothing behind; it must be ours
        // and no one else's.
        const std::string root = "/tmp/memq-fuzz-root";
        mkdir(root.c_str(), 0700);
        struct stat sb;
        if (lstat(root.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode) && sb.st_uid == 0 &&
            (sb.st_mode & 077) == 0) {
            root_dir = root;
            mkdir((root_dir + "/tmp").c_str(), 01777);
            mkdir((root_dir + "/temporary").c_str(), 0700);
        }
    }

    install_store_handlers();
    // Made after the root directory is known; it lives until the process
    // ends.
    loop_thread = new LoopThread;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<int> fds_before = open_fds();
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    int err = memfd_create("loop-fuzz-stderr", MFD_CLOEXEC);
    FUZZ_CHECK(err != -1);
    std::fflush(stderr);
    int saved_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    FUZZ_CHECK(saved_stderr != -1 && dup2(err, STDERR_FILENO) == STDERR_FILENO);
    loop_thread->start(sv[1]);
    int sock = sv[0];
    const pid_t pid = getpid();

    FuzzInput in(data, size);
    Model model(!root_dir.empty());
    Known known;
    wire::FrameReader replies(sock);
    Bytes stream;  // sent and not yet cut into frames
    std::vector<std::string> want_lines;
    bool ended = false;  // the loop will serve nothing more
    bool want_fatal = false;

    while (!in.empty() && !ended) {
        Send s = next_send(in, known);
        if (!send_chunk(sock, s)) {
            break;
        }
        if (s.kind != FdKind::none && !s.data.empty()) {
            model.receive_fd({s.kind, s.content}, want_lines);
        }
        stream.insert(stream.end(), s.data.begin(), s.data.end());
        // Serve, in the model and in the loop, every frame this send
        // completed, one reply each.
        while (!ended && stream.size() >= wire::HEADER_LEN) {
            wire::Header h;
            std::memcpy(&h, stream.data(), sizeof h);
            if (h.length < wire::HEADER_LEN || h.length > wire::MAX_FRAME) {
                want_lines.push_back("warn: queue-api: imsg_get: Numerical result out of range");
                ended = true;
                break;
            }
            if (stream.size() < h.length) {
                break;
            }
            Bytes payload(stream.begin() + wire::HEADER_LEN, stream.begin() + h.length);
            stream.erase(stream.begin(), stream.begin() + h.length);
            Expect e = model.serve(h.type, payload, (h.flags & wire::FLAG_FD) != 0);
            want_lines.insert(want_lines.end(), e.lines.begin(), e.lines.end());
            if (e.fatal) {
                ended = true;
                want_fatal = true;
                break;
            }
            std::optional<wire::Frame> r = replies.next();
            if (!r) {
                std::fprintf(stderr, "no reply to a request of type %u\n", h.type);
            }
            FUZZ_CHECK(r.has_value());
            check_reply(*r, e, pid, model, known);
        }
    }
    if (!ended) {
        want_lines.push_back("warn: queue-api: pipe closed");
    }
    shutdown(sock, SHUT_WR);
    // Nothing more: no reply that was not asked for, no descriptor left over.
    FUZZ_CHECK(!replies.next().has_value() && errno == 0);
    FUZZ_CHECK(replies.buffered() == 0 && replies.waiting_fds() == 0);
    close(sock);
    LoopEnd end = loop_thread->wait();

    std::fflush(stderr);
    FUZZ_CHECK(dup2(saved_stderr, STDERR_FILENO) == STDERR_FILENO);
    close(saved_stderr);
    FUZZ_CHECK(lseek(err, 0, SEEK_SET) == 0);
    Bytes log = read_fd(err);
    close(err);
    std::string log_text(log.begin(), log.end());
    if (end.fatal != want_fatal) {
        std::fprintf(stderr, "the loop ended %s, wanted %s; its stderr:\n%s\n",
                     end.fatal ? "fatally" : "normally", want_fatal ? "fatally" : "normally",
                     log_text.c_str());
    }
    FUZZ_CHECK(end.fatal == want_fatal);
    check_log(log_text, pid, want_lines);
    if (!want_fatal && want_lines.back() == "warn: queue-api: pipe closed") {
        // Every descriptor the loop took in is closed, except those still
        // waiting for a request to claim them, and never more than the bound.
        FUZZ_CHECK(model.fds.size() <= MAX_WAITING_FDS);
        FUZZ_CHECK(end.waiting == model.fds.size());
    }
    empty_store();
    // Once the loop is gone nothing it took in or made stays open.
    FUZZ_CHECK(open_fds() == fds_before);
    return 0;
}
