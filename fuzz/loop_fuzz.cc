// The dispatch loop, the channel and the real store, fed an arbitrary byte
// stream through a real socketpair, with descriptors of every kind attached
// where the input asks. Each input runs in a forked child, so that the fatal
// exits are real exits; the parent predicts every reply and every log line
// with a model of the protocol and the store, and checks the child's exit
// status, its stderr line by line and its descriptor count at the end.
// The child's coverage reaches libFuzzer through child_coverage.h.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "child_coverage.h"
#include "frame/queue_api.h"
#include "frame/queue_proto.h"
#include "fuzz_input.h"
#include "log/log.h"
#include "queue_model.h"
#include "wiring.h"

namespace {

using namespace fuzzmodel;

ChildCoverage coverage;

// What the child leaves for the parent: its counters and, when it served
// to the end of the stream, its descriptor count before and after.
struct Shared {
    int fds_before;
    int fds_after;
    uint8_t counters[];
};
Shared *shared;
bool in_child;

// A root with "tmp" and "temporary" for the child to change into, when we
// may; otherwise the child serves unconfined and cannot make the files
// that opening a message needs.
std::string root_dir;

void save_counters() {
    coverage.save(shared->counters);
}

int count_open_fds() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            ++n;
        }
    }
    return n;
}

[[noreturn]] void run_child(int sock, int err_fd) {
    in_child = true;
    dup2(sock, STDIN_FILENO);
    dup2(err_fd, STDERR_FILENO);
    close(sock);
    close(err_fd);
    atexit(save_counters);
    if (!root_dir.empty()) {
        queue_api_set_root_dir(root_dir.c_str());
    } else {
        queue_api_clear_root_dir();
    }
    queue_api_run_as(nullptr);
    shared->fds_before = count_open_fds();
    queue_api_run();
    shared->fds_after = count_open_fds();
    exit(0);
}

// ---- The parent's side of the socket. ----

// A descriptor of the asked kind holding content where it can hold any;
// the extra descriptor of a pair comes back in second.
int make_fd(FdKind kind, const bytes &content, int &second) {
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

struct Child {
    pid_t pid = -1;
    int sock = -1;
    int err = -1;
};

}  // namespace

#ifdef MEMQ_WRAP_EXIT
// libFuzzer treats any exit during an input as a failure of the target, so
// in the fuzzing build the child's exits, its fatal ones included, leave
// through here without running the parent's exit handlers.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (in_child) {
        save_counters();
        std::fflush(nullptr);
        _exit(status);
    }
    __real_exit(status);
}
#endif

extern "C" int __lsan_is_turned_off() {
    // A child changes its root, where the leak checker cannot read what it
    // needs; leaks are the unit and end-to-end suites' business.
    return in_child ? 1 : 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    signal(SIGPIPE, SIG_IGN);
    log_open(1);
    coverage.find();
    void *p = mmap(nullptr, sizeof(Shared) + coverage.size(), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    FUZZ_CHECK(p != MAP_FAILED);
    shared = static_cast<Shared *>(p);

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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    int err = memfd_create("loop-fuzz-stderr", MFD_CLOEXEC);
    FUZZ_CHECK(err != -1);
    shared->fds_before = shared->fds_after = -1;
    std::fflush(nullptr);
    pid_t pid = fork();
    FUZZ_CHECK(pid != -1);
    if (pid == 0) {
        close(sv[0]);
        run_child(sv[1], err);
    }
    close(sv[1]);
    int sock = sv[0];

    FuzzInput in(data, size);
    Model model(!root_dir.empty());
    Known known;
    wire::FrameReader replies(sock);
    bytes stream;  // sent and not yet cut into frames
    std::vector<std::string> want_lines;
    bool ended = false;  // the child will serve nothing more
    int want_status = 0;

    while (!in.empty() && !ended) {
        Send s = next_send(in, known);
        if (!send_chunk(sock, s)) {
            break;
        }
        if (s.kind != FdKind::none && !s.data.empty()) {
            model.receive_fd({s.kind, s.content}, want_lines);
        }
        stream.insert(stream.end(), s.data.begin(), s.data.end());
        // Serve, in the model and in the child, every frame this send
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
            bytes payload(stream.begin() + wire::HEADER_LEN, stream.begin() + h.length);
            stream.erase(stream.begin(), stream.begin() + h.length);
            Expect e = model.serve(h.type, payload, (h.flags & wire::FLAG_FD) != 0);
            want_lines.insert(want_lines.end(), e.lines.begin(), e.lines.end());
            if (e.fatal) {
                ended = true;
                want_status = 1;
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

    int status;
    while (waitpid(pid, &status, 0) == -1) {
        FUZZ_CHECK(errno == EINTR);
    }
    coverage.merge(shared->counters);
    lseek(err, 0, SEEK_SET);
    bytes log = read_fd(err);
    close(err);
    std::string log_text(log.begin(), log.end());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != want_status) {
        std::fprintf(stderr, "child status %d, wanted exit %d; its stderr:\n%s\n", status,
                     want_status, log_text.c_str());
    }
    FUZZ_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == want_status);
    check_log(log_text, pid, want_lines);
    if (want_status == 0 && want_lines.back() == "warn: queue-api: pipe closed") {
        // Every descriptor the child took in is closed, except those still
        // waiting for a request to claim them, and never more than the bound.
        FUZZ_CHECK(model.fds.size() <= MAX_WAITING_FDS);
        FUZZ_CHECK(shared->fds_after == shared->fds_before + static_cast<int>(model.fds.size()));
    }
    return 0;
}
