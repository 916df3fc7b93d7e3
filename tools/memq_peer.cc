// memq-peer: the peer side of the queue protocol as a command-line program,
// for people who want to see a backend work, check it, or drive it by hand.
#include "memq_peer.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "frame/queue_proto.h"

namespace memq_peer {

namespace {

constexpr const char *USAGE =
    "usage: memq-peer COMMAND [OPTIONS] [BACKEND]\n"
    "\n"
    "Starts a memq queue backend the way the mail server's queue process does\n"
    "(one end of a local socket pair on its descriptor 0) and speaks the queue\n"
    "protocol to it.\n"
    "\n"
    "commands:\n"
    "  check [BACKEND]          run a scripted session that uses every request\n"
    "                           type and report each step; exit 0 when all pass\n"
    "  run [-f FILE] [BACKEND]  read line commands from FILE or standard input\n"
    "                           and print every reply decoded\n"
    "  help [COMMAND]           show this text, or the help of COMMAND\n"
    "\n"
    "BACKEND defaults to the memq installed or built beside memq-peer\n"
    "(../libexec/mavid/memq or ../src/memq, relative to its directory).\n"
    "'memq-peer COMMAND --help' describes a command.\n";

bool is_executable_file(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

int help(const char *topic) {
    if (topic == nullptr) {
        fputs(USAGE, stdout);
        return EXIT_PASSED;
    }
    char help_flag[] = "--help";
    char name[64];
    snprintf(name, sizeof name, "%s", topic);
    char *args[] = {name, help_flag, nullptr};
    if (strcmp(topic, "check") == 0) {
        return check_main(2, args);
    }
    if (strcmp(topic, "run") == 0) {
        return run_main(2, args);
    }
    fprintf(stderr, "memq-peer: no help for \"%s\": the commands are check and run\n", topic);
    return EXIT_USAGE;
}

}  // namespace

bool Backend::start(const std::string &path) {
    if (!is_executable_file(path)) {
        fprintf(stderr, "memq-peer: backend %s: %s\n", path.c_str(),
                access(path.c_str(), F_OK) == 0 ? "not an executable file" : strerror(errno));
        return false;
    }
    log_.reset(memfd_create("memq-log", MFD_CLOEXEC));
    if (!log_.valid()) {
        fprintf(stderr, "memq-peer: cannot make a file for the backend's log: %s\n",
                strerror(errno));
        return false;
    }
    if (!peer_.start(path, {}, log_.get())) {
        fprintf(stderr, "memq-peer: cannot start the backend %s: %s\n", path.c_str(),
                strerror(errno));
        return false;
    }
    return true;
}

std::string Backend::new_log() {
    std::string out;
    if (!log_.valid()) {
        return out;
    }
    // The backend shares the file's offset, so read by position.
    char buf[4096];
    for (;;) {
        ssize_t n = pread(log_.get(), buf, sizeof buf, log_shown_);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
        log_shown_ += n;
    }
    return out;
}

int Backend::stop() {
    if (stopped_) {
        return -1;
    }
    stopped_ = true;
    return peer_.finish();
}

std::string default_backend(std::string &looked) {
    looked.clear();
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        looked = "/proc/self/exe (unreadable)";
        return {};
    }
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    for (const char *rel : {"memq", "../libexec/mavid/memq", "../src/memq"}) {
        std::string candidate = dir + rel;
        if (is_executable_file(candidate)) {
            char resolved[PATH_MAX];
            return realpath(candidate.c_str(), resolved) != nullptr ? resolved : candidate;
        }
        looked += (looked.empty() ? "" : ", ") + candidate;
    }
    return {};
}

std::string backend_operand(const char *command, int argc, char **argv, int optind) {
    if (argc - optind > 1) {
        fprintf(stderr, "%s: one BACKEND at most, got \"%s\" as well\n", command, argv[optind + 1]);
        return {};
    }
    if (optind < argc) {
        if (argv[optind][0] == '\0') {
            fprintf(stderr, "%s: BACKEND is empty\n", command);
        }
        return argv[optind];
    }
    std::string looked;
    std::string path = default_backend(looked);
    if (path.empty()) {
        fprintf(stderr, "%s: no backend found (looked for %s); name one\n", command,
                looked.c_str());
    }
    return path;
}

std::string cat(std::initializer_list<std::string_view> parts) {
    size_t n = 0;
    for (std::string_view p : parts) {
        n += p.size();
    }
    std::string out;
    out.reserve(n);
    for (std::string_view p : parts) {
        out.append(p);
    }
    return out;
}

std::string describe_status(int status) {
    if (status == -1) {
        return "no status";
    }
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    }
    return "wait status " + std::to_string(status);
}

std::string quoted(std::span<const uint8_t> bytes, size_t limit) {
    std::string out = "\"";
    size_t shown = 0;
    for (uint8_t c : bytes) {
        if (shown++ == limit) {
            out += "\"...";
            return out;
        }
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    out += static_cast<char>(c);
                } else {
                    char esc[5];
                    snprintf(esc, sizeof esc, "\\x%02x", c);
                    out += esc;
                }
        }
    }
    out += '"';
    return out;
}

std::string hex_msgid(uint64_t id) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%08llx", static_cast<unsigned long long>(id));
    return buf;
}

std::string hex_evpid(uint64_t id) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(id));
    return buf;
}

std::string hex_bytes(std::span<const uint8_t> bytes, size_t limit) {
    std::string out;
    size_t shown = 0;
    for (uint8_t c : bytes) {
        if (shown++ == limit) {
            out += " ...";
            break;
        }
        char pair[4];
        snprintf(pair, sizeof pair, "%s%02x", out.empty() ? "" : " ", c);
        out += pair;
    }
    return out;
}

std::string describe_reply(uint32_t type, const peer::DecodedReply &d, const std::string &label) {
    if (!d.well_formed) {
        return "malformed reply: " + d.problem;
    }
    const std::string tag = label.empty() ? "" : " (" + label + ")";
    const std::string result = d.result ? "result " + std::to_string(*d.result) : "";
    switch (type) {
        case QUEUE_HELLO:
            return "empty reply";
        case QUEUE_MESSAGE_OPEN:
            return d.has_fd ? "a descriptor" : "no descriptor";
        case QUEUE_MESSAGE_NEW:
            return d.id ? result + ", msgid " + hex_msgid(*d.id) + tag : result;
        case QUEUE_ENVELOPE_NEW:
            return d.id ? result + ", envelope " + hex_evpid(*d.id) + tag : result;
        case QUEUE_ENVELOPE_READ:
            if (d.bytes.empty()) {
                return "empty reply (no such envelope, or an empty one)";
            }
            return std::to_string(d.bytes.size()) + " bytes " + quoted(d.bytes, 200);
        case QUEUE_ENVELOPE_ITERATE:
        case QUEUE_MESSAGE_ITERATE:
            if (d.id) {
                return result + ", id " + hex_evpid(*d.id) + tag + ", " +
                       std::to_string(d.bytes.size()) + " bytes " + quoted(d.bytes, 200);
            }
            return result;
        default:
            return result;
    }
}

}  // namespace memq_peer

int main(int argc, char **argv) {
    // A backend that goes away must show up as a failed write, not end us.
    signal(SIGPIPE, SIG_IGN);

    if (argc < 2) {
        fputs(memq_peer::USAGE, stderr);
        return memq_peer::EXIT_USAGE;
    }
    const char *command = argv[1];
    if (strcmp(command, "check") == 0) {
        return memq_peer::check_main(argc - 1, argv + 1);
    }
    if (strcmp(command, "run") == 0) {
        return memq_peer::run_main(argc - 1, argv + 1);
    }
    if (strcmp(command, "help") == 0 || strcmp(command, "--help") == 0 ||
        strcmp(command, "-h") == 0) {
        return memq_peer::help(argc > 2 ? argv[2] : nullptr);
    }
    fprintf(stderr, "memq-peer: unknown command \"%s\"; the commands are check, run and help\n",
            command);
    return memq_peer::EXIT_USAGE;
}
