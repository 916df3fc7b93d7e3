// The dispatch loop, the channel and the real store, fed an arbitrary byte
// stream through a real socketpair, with descriptors of every kind attached
// where the input asks. Each input runs in a forked child, so that the fatal
// exits are real exits; the parent predicts every reply and every log line
// with a model of the protocol and the store, and checks the child's exit
// status, its stderr line by line and its descriptor count at the end.
//
// Coverage: the child's edge counters would die with it, so on its way out
// it copies them into shared memory and the parent folds them into its own
// before libFuzzer looks at them.
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
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

#include "channel/imsg.h"
#include "frame/queue_api.h"
#include "frame/queue_proto.h"
#include "fuzz_input.h"
#include "log/log.h"
#include "wiring.h"

namespace {

using bytes = std::vector<uint8_t>;

// What the child leaves for the parent: its counters and, when it served
// to the end of the stream, its descriptor count before and after.
// The inline 8-bit coverage counters, found by their section in our own
// ELF file: naming the linker's bounds of the section from here would stop
// the compiler's constructor from handing them to libFuzzer. Empty in a
// build without coverage.
uint8_t *counters;
size_t counter_bytes;

int find_main_object(dl_phdr_info *info, size_t, void *base) {
    *static_cast<uintptr_t *>(base) = info->dlpi_addr;
    return 1;  // the first object is the program itself
}

void find_counters() {
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return;
    }
    struct stat sb;
    void *map = fstat(fd, &sb) == 0
                    ? mmap(nullptr, static_cast<size_t>(sb.st_size), PROT_READ, MAP_PRIVATE, fd, 0)
                    : MAP_FAILED;
    close(fd);
    if (map == MAP_FAILED) {
        return;
    }
    auto *image = static_cast<const uint8_t *>(map);
    const auto *eh = reinterpret_cast<const Elf64_Ehdr *>(image);
    const auto *sections = reinterpret_cast<const Elf64_Shdr *>(image + eh->e_shoff);
    const char *names = reinterpret_cast<const char *>(image + sections[eh->e_shstrndx].sh_offset);
    uintptr_t base = 0;
    dl_iterate_phdr(find_main_object, &base);
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (std::strcmp(names + sections[i].sh_name, "__sancov_cntrs") == 0) {
            counters = reinterpret_cast<uint8_t *>(base + sections[i].sh_addr);
            counter_bytes = sections[i].sh_size;
        }
    }
    munmap(map, static_cast<size_t>(sb.st_size));
}

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
    if (counter_bytes > 0) {
        std::memcpy(shared->counters, counters, counter_bytes);
    }
}

void merge_counters() {
    for (size_t i = 0; i < counter_bytes; ++i) {
        counters[i] = std::max(counters[i], shared->counters[i]);
    }
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

// ---- The input: a sequence of sends. ----

enum class FdKind { none, regular, pipe, write_only, directory, socket, two };

struct Send {
    bytes data;
    FdKind kind = FdKind::none;
    bytes content;  // what a readable descriptor holds
};

struct Known {
    std::vector<uint32_t> msgids;
    std::vector<uint64_t> evpids;
};

// One readable descriptor's content queued in the child, in arrival order;
// nothing for a descriptor that gives no content.
struct QueuedFd {
    FdKind kind;
    bytes content;
};

// ---- The model of the store. ----

struct Message {
    bytes content;
    std::map<uint64_t, bytes> envelopes;
};

struct Expect {
    // Lines the child must log while serving the frame, each matched in
    // full or, ending in '*', by its start.
    std::vector<std::string> lines;
    // No reply: the child dies with the lines above and this status.
    bool fatal = false;
    // The reply's payload and whether a descriptor with this content comes.
    bytes payload;
    bool check_payload = true;
    std::optional<bytes> fd_content;
    // A new id arrives at this offset of the payload.
    int new_msgid = 0;
    int new_evpid = 0;
    uint32_t evp_owner = 0;
};

bytes u32_bytes(uint32_t v) {
    bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

bool opens_work() {
    return !root_dir.empty();
}

// The most received descriptors the backend lets wait for a request.
constexpr size_t MAX_WAITING_FDS = 16;

class Model {
  public:
    std::map<uint32_t, Message> messages;
    std::deque<QueuedFd> fds;

    // A descriptor arrives; beyond the bound the oldest waiting one goes,
    // with a line.
    void receive_fd(const QueuedFd &fd, std::vector<std::string> &lines) {
        fds.push_back(fd);
        if (fds.size() > MAX_WAITING_FDS) {
            fds.pop_front();
            lines.push_back("warn: queue-proc: unclaimed descriptor closed");
        }
    }

    Expect serve(uint32_t type, const bytes &payload, bool fd_flag) {
        Expect e;
        std::optional<QueuedFd> fd;
        if (fd_flag && !fds.empty()) {
            fd = fds.front();
            fds.pop_front();
        }
        if (type < QUEUE_HELLO || type > QUEUE_MESSAGE_ITERATE) {
            return fatal(e,
                         "warn: queue-api: bad message " + std::to_string(static_cast<int>(type)),
                         "queue-api");
        }
        size_t fixed = 0;
        bool open_ended = false;
        switch (type) {
            case QUEUE_FINISH:
            case QUEUE_MESSAGE_NEW:
            case QUEUE_ENVELOPE_ITERATE:
                break;
            case QUEUE_ENVELOPE_REMOVE:
            case QUEUE_ENVELOPE_READ:
                fixed = 8;
                break;
            case QUEUE_ENVELOPE_REPLACE:
                fixed = 8;
                open_ended = true;
                break;
            case QUEUE_ENVELOPE_NEW:
                fixed = 4;
                open_ended = true;
                break;
            default:
                fixed = 4;
                break;
        }
        if (payload.size() < fixed) {
            return fatal(e, "warn: queue-proc: bad msg len", "queue-proc");
        }
        if (payload.size() > fixed && !open_ended) {
            return fatal(e, "warn: queue-proc: bogus data", "queue-proc");
        }
        uint32_t msgid = 0;
        uint64_t evpid = 0;
        if (fixed == 4) {
            std::memcpy(&msgid, payload.data(), 4);
        } else if (fixed == 8) {
            std::memcpy(&evpid, payload.data(), 8);
        }
        bytes rest(payload.begin() + static_cast<long>(fixed), payload.end());
        auto owner = messages.find(static_cast<uint32_t>(evpid >> 32));
        bool has_owner = owner != messages.end();
        auto msg = messages.find(msgid);
        bool has_msg = msg != messages.end();

        switch (type) {
            case QUEUE_HELLO:
                if (msgid != QUEUE_API_VERSION) {
                    return fatal(e, "warn: queue-api: bad API version", "queue-api");
                }
                break;
            case QUEUE_FINISH:
                e.payload = u32_bytes(1);
                break;
            case QUEUE_MESSAGE_NEW:
                e.payload = u32_bytes(1);
                e.new_msgid = 4;
                break;
            case QUEUE_MESSAGE_REMOVE:
            case QUEUE_MESSAGE_MARK:
                if (has_msg) {
                    messages.erase(msg);
                } else {
                    e.lines.push_back("warn: not found");
                }
                e.payload = u32_bytes(0);
                break;
            case QUEUE_MESSAGE_UNMARK:
                e.payload = u32_bytes(0);
                break;
            case QUEUE_MESSAGE_STORE:
                e.payload = u32_bytes(store(msgid, fd, e));
                break;
            case QUEUE_MESSAGE_OPEN:
                if (!has_msg) {
                    e.lines.push_back("warn: not found");
                } else if (!opens_work()) {
                    e.lines.push_back("warn: queue-api: cannot create temporary file *");
                    e.lines.push_back("warn: mktmpfile: *");
                } else {
                    e.fd_content = msg->second.content;
                }
                break;
            case QUEUE_MESSAGE_ITERATE:
            case QUEUE_ENVELOPE_ITERATE:
                e.payload = u32_bytes(static_cast<uint32_t>(-1));
                break;
            case QUEUE_ENVELOPE_NEW:
                if (rest.size() > QUEUE_ENVELOPE_BUF) {
                    e.lines.push_back("warn: envelope too large");
                    e.payload = u32_bytes(0);
                } else if (!has_msg) {
                    e.lines.push_back("warn: message not found: *");
                    e.payload = u32_bytes(0);
                } else {
                    e.payload = u32_bytes(1);
                    e.new_evpid = 4;
                    e.evp_owner = msgid;
                    pending_envelope = rest;
                }
                break;
            case QUEUE_ENVELOPE_REMOVE:
                if (!has_owner) {
                    e.lines.push_back("warn: message not found: *");
                    e.payload = u32_bytes(0);
                } else if (owner->second.envelopes.erase(evpid) == 0) {
                    e.lines.push_back("warn: not found");
                    e.payload = u32_bytes(0);
                } else {
                    if (owner->second.envelopes.empty()) {
                        messages.erase(owner);
                    }
                    e.payload = u32_bytes(1);
                }
                break;
            case QUEUE_ENVELOPE_READ:
                if (!has_owner) {
                    e.lines.push_back("warn: message not found: *");
                } else if (auto env = owner->second.envelopes.find(evpid);
                           env == owner->second.envelopes.end()) {
                    e.lines.push_back("warn: not found: *");
                } else {
                    e.payload = env->second;
                }
                break;
            case QUEUE_ENVELOPE_REPLACE:
                if (rest.size() > QUEUE_ENVELOPE_BUF) {
                    e.lines.push_back("warn: envelope too large");
                    e.payload = u32_bytes(0);
                } else if (!has_owner) {
                    e.lines.push_back("warn: message not found: *");
                    e.payload = u32_bytes(0);
                } else if (auto env = owner->second.envelopes.find(evpid);
                           env == owner->second.envelopes.end()) {
                    e.lines.push_back("warn: not found: *");
                    e.payload = u32_bytes(0);
                } else {
                    env->second = rest;
                    e.payload = u32_bytes(1);
                }
                break;
        }
        return e;
    }

    // The ids the child drew, once the reply has shown them.
    bool add_message(uint32_t msgid) {
        if (msgid == 0 || msgid == UINT32_MAX || messages.count(msgid) != 0) {
            return false;
        }
        messages[msgid];
        return true;
    }

    bool add_envelope(uint32_t owner, uint64_t evpid) {
        auto msg = messages.find(owner);
        auto low = static_cast<uint32_t>(evpid);
        if (msg == messages.end() || evpid >> 32 != owner || low == 0 || low == UINT32_MAX ||
            msg->second.envelopes.count(evpid) != 0) {
            return false;
        }
        msg->second.envelopes[evpid] = pending_envelope;
        return true;
    }

  private:
    bytes pending_envelope;

    static Expect fatal(Expect &e, const std::string &warning, const char *area) {
        e.lines.push_back(warning);
        e.lines.push_back(std::string("fatal: ") + area + ": exiting");
        e.fatal = true;
        return e;
    }

    // The loop's content copy and the store's handler, as the results of
    // each kind of descriptor show them: no descriptor or one that cannot
    // be read as a stream gives -1 without a line, a read error 0 with the
    // copy's line.
    int store(uint32_t msgid, const std::optional<QueuedFd> &fd, Expect &e) {
        if (!fd || fd->kind == FdKind::write_only) {
            return -1;
        }
        if (fd->kind == FdKind::directory) {
            e.lines.push_back("warn: queue-api: content copy: Is a directory");
            return 0;
        }
        auto msg = messages.find(msgid);
        if (msg == messages.end()) {
            e.lines.push_back("warn: msgid not found");
            return 0;
        }
        msg->second.content = fd->content;
        return 1;
    }
};

// ---- The parent's side of the socket. ----

// Reads replies as the peer would: bytes and passed descriptors, in order.
class ReplyReader {
  public:
    explicit ReplyReader(int sock) : sock_(sock) {}
    ~ReplyReader() {
        for (int fd : fds_) {
            close(fd);
        }
    }

    struct Reply {
        imsg_header header;
        bytes payload;
        int fd = -1;
    };

    // The next reply, or nothing at the end of the stream.
    std::optional<Reply> next() {
        for (;;) {
            if (buf_.size() >= IMSG_HDR_LEN) {
                imsg_header h;
                std::memcpy(&h, buf_.data(), sizeof h);
                FUZZ_CHECK(h.length >= IMSG_HDR_LEN && h.length <= IMSG_MAX_LEN);
                if (buf_.size() >= h.length) {
                    Reply r{h, bytes(buf_.begin() + IMSG_HDR_LEN, buf_.begin() + h.length)};
                    buf_.erase(buf_.begin(), buf_.begin() + h.length);
                    if ((h.flags & IMSG_FLAG_FD) != 0) {
                        FUZZ_CHECK(!fds_.empty());
                        r.fd = fds_.front();
                        fds_.pop_front();
                    }
                    return r;
                }
            }
            if (!fill()) {
                FUZZ_CHECK(buf_.empty() && fds_.empty());
                return std::nullopt;
            }
        }
    }

  private:
    bool fill() {
        uint8_t data[65536];
        union {
            cmsghdr align;
            char space[CMSG_SPACE(sizeof(int) * 4)];
        } control;
        iovec iov{data, sizeof data};
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control.space;
        mh.msg_controllen = sizeof control.space;
        ssize_t n;
        do {
            n = recvmsg(sock_, &mh, MSG_CMSG_CLOEXEC);
        } while (n == -1 && errno == EINTR);
        FUZZ_CHECK(n >= 0);
        for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                FUZZ_CHECK(count == 1);
                int fd;
                std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
                fds_.push_back(fd);
            }
        }
        buf_.insert(buf_.end(), data, data + n);
        return n > 0;
    }

    int sock_;
    bytes buf_;
    std::deque<int> fds_;
};

bytes read_fd(int fd) {
    bytes out;
    uint8_t buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

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
    int nfds = fd == -1 ? 0 : (second == -1 ? 1 : 2);
    union {
        cmsghdr align;
        char space[CMSG_SPACE(sizeof fds)];
    } control;
    iovec iov{const_cast<uint8_t *>(s.data.data()), s.data.size()};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    if (nfds > 0) {
        mh.msg_control = control.space;
        mh.msg_controllen = CMSG_SPACE(sizeof(int) * nfds);
        cmsghdr *c = CMSG_FIRSTHDR(&mh);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * nfds);
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * nfds);
    }
    // A descriptor travels only with at least one byte.
    bool ok =
        s.data.empty() || sendmsg(sock, &mh, MSG_NOSIGNAL) == static_cast<ssize_t>(s.data.size());
    for (int i = 0; i < nfds; ++i) {
        close(fds[i]);
    }
    return ok;
}

// ---- Decoding the fuzzer's bytes. ----

bytes content_from(FuzzInput &in) {
    size_t len = in.byte();
    if (len == 255) {
        // Large content crosses the loop's 8192-byte blocks; a pattern
        // keeps the input small.
        len = in.u16() % 40000;
        bytes out(len);
        for (size_t i = 0; i < len; ++i) {
            out[i] = static_cast<uint8_t>(i * 7 + len);
        }
        return out;
    }
    return in.bytes(len);
}

// Builds the next send. Framed sends are whole requests with a true header,
// unless the input asks for a false length; raw sends are bytes as they
// come, which may cut frames anywhere.
Send next_send(FuzzInput &in, const Known &known) {
    Send s;
    uint8_t op = in.byte();
    s.kind = static_cast<FdKind>((op & 7) % 7);
    bool raw = (op & 0x08) != 0;
    if (raw) {
        s.data = in.bytes(in.byte());
    } else {
        uint8_t t = in.byte();
        uint32_t type = (t & 0x80) != 0 ? t : t % 16;
        size_t len = in.byte();
        bytes payload;
        if (len == 255) {
            // Envelopes around the 8192-byte limit and frames near the
            // largest one.
            len = 8180 + in.u16() % 8200;
            payload.assign(len, static_cast<uint8_t>(len));
        } else {
            payload = in.bytes(len);
            payload.resize(len);
        }
        if ((op & 0x20) != 0) {
            uint8_t which = in.byte();
            bool envelope = type == QUEUE_ENVELOPE_REMOVE || type == QUEUE_ENVELOPE_READ ||
                            type == QUEUE_ENVELOPE_REPLACE;
            if (envelope && !known.evpids.empty() && payload.size() >= 8) {
                uint64_t id = known.evpids[which % known.evpids.size()];
                std::memcpy(payload.data(), &id, 8);
            } else if (!envelope && !known.msgids.empty() && payload.size() >= 4) {
                uint32_t id = known.msgids[which % known.msgids.size()];
                std::memcpy(payload.data(), &id, 4);
            }
        }
        if (type == QUEUE_HELLO && (op & 0x40) == 0 && payload.size() == 4) {
            // A good version most of the time.
            std::memcpy(payload.data(), &QUEUE_API_VERSION, 4);
        }
        imsg_header h{};
        h.type = type;
        h.length = static_cast<uint16_t>(std::min(IMSG_HDR_LEN + payload.size(), size_t{65535}));
        if ((op & 0x40) != 0 && type != QUEUE_HELLO) {
            h.length = in.u16();
        }
        h.flags = (op & 0x10) != 0 ? IMSG_FLAG_FD : 0;
        s.data.resize(sizeof h);
        std::memcpy(s.data.data(), &h, sizeof h);
        s.data.insert(s.data.end(), payload.begin(), payload.end());
    }
    if (s.kind == FdKind::regular || s.kind == FdKind::pipe || s.kind == FdKind::socket ||
        s.kind == FdKind::two) {
        s.content = content_from(in);
    }
    if (s.data.empty() && s.kind != FdKind::none) {
        s.data.push_back(0);
    }
    return s;
}

// ---- Checking the child's stderr. ----

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        FUZZ_CHECK(end != std::string::npos);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool line_matches(const std::string &line, const std::string &want) {
    if (!want.empty() && want.back() == '*') {
        return line.compare(0, want.size() - 1, want, 0, want.size() - 1) == 0;
    }
    return line == want;
}

void check_log(const std::string &log, pid_t pid, const std::vector<std::string> &want) {
    std::string prefix =
        std::string(program_invocation_short_name) + "[" + std::to_string(pid) + "]: ";
    std::vector<std::string> lines = split_lines(log);
    bool ok = lines.size() == want.size();
    for (size_t i = 0; ok && i < lines.size(); ++i) {
        ok = lines[i].compare(0, prefix.size(), prefix) == 0 &&
             line_matches(lines[i].substr(prefix.size()), want[i]);
    }
    if (!ok) {
        std::fprintf(stderr, "log:\n%s\nexpected:\n", log.c_str());
        for (const std::string &w : want) {
            std::fprintf(stderr, "  %s\n", w.c_str());
        }
    }
    FUZZ_CHECK(ok);
}

struct Child {
    pid_t pid = -1;
    int sock = -1;
    int err = -1;
};

void check_reply(const ReplyReader::Reply &r, const Expect &e, pid_t pid, Model &model,
                 Known &known) {
    FUZZ_CHECK(r.header.type == QUEUE_REPLY);
    FUZZ_CHECK(r.header.peer_id == 0 && r.header.pid == pid);
    FUZZ_CHECK(((r.header.flags & IMSG_FLAG_FD) != 0) == (r.fd != -1));
    if (e.fd_content) {
        FUZZ_CHECK(r.fd != -1);
        struct stat sb;
        FUZZ_CHECK(fstat(r.fd, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_nlink == 0);
        FUZZ_CHECK(lseek(r.fd, 0, SEEK_CUR) == 0);
        FUZZ_CHECK(read_fd(r.fd) == *e.fd_content);
        close(r.fd);
    } else {
        FUZZ_CHECK(r.fd == -1);
    }
    if (e.new_msgid != 0) {
        FUZZ_CHECK(r.payload.size() == 8);
        uint32_t id;
        std::memcpy(&id, r.payload.data() + 4, 4);
        FUZZ_CHECK(model.add_message(id));
        known.msgids.push_back(id);
    } else if (e.new_evpid != 0) {
        FUZZ_CHECK(r.payload.size() == 12);
        uint64_t id;
        std::memcpy(&id, r.payload.data() + 4, 8);
        FUZZ_CHECK(model.add_envelope(e.evp_owner, id));
        known.evpids.push_back(id);
    }
    size_t fixed = e.new_msgid != 0 ? 4 : (e.new_evpid != 0 ? 4 : r.payload.size());
    FUZZ_CHECK(bytes(r.payload.begin(), r.payload.begin() + static_cast<long>(fixed)) ==
               (e.new_msgid != 0 || e.new_evpid != 0 ? u32_bytes(1) : e.payload));
}

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
    find_counters();
    void *p = mmap(nullptr, sizeof(Shared) + counter_bytes, PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    FUZZ_CHECK(p != MAP_FAILED);
    shared = static_cast<Shared *>(p);

    if (geteuid() == 0) {
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
    Model model;
    Known known;
    ReplyReader replies(sock);
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
        while (!ended && stream.size() >= IMSG_HDR_LEN) {
            imsg_header h;
            std::memcpy(&h, stream.data(), sizeof h);
            if (h.length < IMSG_HDR_LEN || h.length > IMSG_MAX_LEN) {
                want_lines.push_back("warn: queue-api: imsg_get: Numerical result out of range");
                ended = true;
                break;
            }
            if (stream.size() < h.length) {
                break;
            }
            bytes payload(stream.begin() + IMSG_HDR_LEN, stream.begin() + h.length);
            stream.erase(stream.begin(), stream.begin() + h.length);
            Expect e = model.serve(h.type, payload, (h.flags & IMSG_FLAG_FD) != 0);
            want_lines.insert(want_lines.end(), e.lines.begin(), e.lines.end());
            if (e.fatal) {
                ended = true;
                want_status = 1;
                break;
            }
            std::optional<ReplyReader::Reply> r = replies.next();
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
    FUZZ_CHECK(!replies.next().has_value());
    close(sock);

    int status;
    while (waitpid(pid, &status, 0) == -1) {
        FUZZ_CHECK(errno == EINTR);
    }
    merge_counters();
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
