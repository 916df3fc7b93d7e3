// memq-peer: the peer side of the queue protocol as a command-line program,
// for people who want to see a backend work, check it, or drive it by hand.
#include "memq_peer.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

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
    "  check [--tap] [BACKEND]  run a scripted session that uses every request\n"
    "                           type and report each step; exit 0 when all pass\n"
    "  run [-f FILE] [BACKEND]  read line commands from FILE or standard input\n"
    "                           and print every reply decoded\n"
    "  help [COMMAND]           show this text, or the help of COMMAND: check,\n"
    "                           run, or one of run's commands such as store\n"
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
    // The synopsis shows "help [command]", and a person who has just read
    // "store MSGID FILE" in run's list asks for it by that name. "help"
    // itself is this command's, not run's.
    if (strcmp(topic, "help") == 0) {
        fputs(USAGE, stdout);
        return EXIT_PASSED;
    }
    if (run_command_help(topic)) {
        return EXIT_PASSED;
    }
    return usage_error("memq-peer", cat({"no help for \"", topic,
                                         "\": it is neither check nor run, nor a command of run"}));
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

std::string Backend::confinement_hint() const {
    std::string log;
    char buf[4096];
    for (off_t at = 0; log_.valid();) {
        ssize_t n = pread(log_.get(), buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        log.append(buf, static_cast<size_t>(n));
        at += n;
    }
    bool failed = false;
    for (const char *step : {"]: queue-api: getpwnam: ", "]: queue-api: chroot: ",
                             "]: queue-api: chdir: ", "]: queue-api: cannot drop privileges: "}) {
        failed = failed || log.find(step) != std::string::npos;
    }
    if (!failed) {
        return {};
    }
    if (geteuid() != 0) {
        return "the backend must be started as root: it changes its root to /var/spool/mavid "
               "and becomes _mavidq before it serves, so run memq-peer as root (for example "
               "with sudo)";
    }
    return "the backend needs the account _mavidq and the spool /var/spool/mavid with its tmp "
           "and temporary directories: the Debian package makes them, and so does "
           "libexec/mavid/setup-spool where memq was installed by hand (scripts/setup-spool.sh "
           "in the sources)";
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
        usage_error(command, cat({"one BACKEND at most, got \"", argv[optind + 1], "\" as well"}));
        return {};
    }
    if (optind < argc) {
        if (argv[optind][0] == '\0') {
            usage_error(command, "BACKEND is empty");
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

int usage_error(const char *command, const std::string &why) {
    fflush(stdout);
    fprintf(stderr, "%s: %s; see '%s --help'\n", command, why.c_str(), command);
    return EXIT_USAGE;
}

int option_error(const char *command, int c, char **argv) {
    // optopt names a short option. For a long one the word as typed is shown,
    // without any "=VALUE": optopt is then 0 for an unknown one and the
    // option's own value for one given an argument it does not take.
    std::string word = argv[optind - 1];
    bool long_option = word.compare(0, 2, "--") == 0;
    if (!long_option) {
        word = cat({"-", std::string(1, static_cast<char>(optopt))});
    }
    size_t equals = word.find('=');
    bool given_value = long_option && equals != std::string::npos;
    word.erase(std::min(equals, word.size()));
    if (c == ':') {
        return usage_error(command, cat({"option ", word, " needs an argument"}));
    }
    if (given_value && optopt != 0) {
        return usage_error(command, cat({"option ", word, " takes no argument"}));
    }
    return usage_error(command, cat({"unknown option ", word}));
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

namespace {

// What a result means where the protocol gives it a meaning, and for the
// requests whose answer memq gives whatever happened, what it means there.
const char *result_meaning(uint32_t type, int32_t result) {
    switch (type) {
        case QUEUE_MESSAGE_STORE:
            switch (result) {
                case 1:
                    return "stored";
                case 0:
                    return "not stored";
                case -1:
                    return "no descriptor, or no working copy could be made";
                default:
                    return nullptr;
            }
        case QUEUE_MESSAGE_REMOVE:
            return result == 1   ? "done"
                   : result == 0 ? "memq answers 0 whether or not there was such a message"
                                 : nullptr;
        case QUEUE_MESSAGE_MARK:
            return result == 1   ? "done"
                   : result == 0 ? "memq keeps no marks: it drops the message, as remove does"
                                 : nullptr;
        case QUEUE_MESSAGE_UNMARK:
            return result == 1   ? "done"
                   : result == 0 ? "memq keeps no marks: there is nothing to undo"
                                 : nullptr;
        case QUEUE_FINISH:
        case QUEUE_MESSAGE_NEW:
        case QUEUE_ENVELOPE_NEW:
        case QUEUE_ENVELOPE_REMOVE:
        case QUEUE_ENVELOPE_REPLACE:
            return result == 1 ? "done" : result == 0 ? "failed" : nullptr;
        case QUEUE_ENVELOPE_ITERATE:
        case QUEUE_MESSAGE_ITERATE:
            return result == -1 ? "not supported" : nullptr;
        default:
            return nullptr;
    }
}

}  // namespace

std::string describe_result(uint32_t type, int32_t result) {
    const char *meaning = result_meaning(type, result);
    return cat({"result ", std::to_string(result), meaning != nullptr ? " (" : "",
                meaning != nullptr ? meaning : "", meaning != nullptr ? ")" : ""});
}

std::string describe_reply(uint32_t type, const peer::DecodedReply &d, const std::string &label) {
    if (!d.well_formed) {
        return "malformed reply: " + d.problem;
    }
    const std::string tag = label.empty() ? "" : " (" + label + ")";
    const std::string result = d.result ? describe_result(type, *d.result) : "";
    switch (type) {
        case QUEUE_HELLO:
            return "empty reply (version accepted)";
        case QUEUE_MESSAGE_OPEN:
            return d.has_fd ? "a descriptor"
                            : "no descriptor (no such message, or it could not be handed back)";
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
        return memq_peer::usage_error("memq-peer",
                                      "no command: the commands are check, run and help");
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
    return memq_peer::usage_error("memq-peer",
                                  memq_peer::cat({"unknown command \"", command,
                                                  "\": the commands are check, run and help"}));
}
