#include "cli.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace memq_peer {

using peer::cat;

namespace {

bool is_executable_file(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

bool start_backend(peer::Backend &backend, const std::string &path) {
    if (!is_executable_file(path)) {
        fprintf(stderr, "memq-peer: backend %s: %s\n", path.c_str(),
                access(path.c_str(), F_OK) == 0 ? "not an executable file" : strerror(errno));
        return false;
    }
    if (backend.start(path)) {
        return true;
    }
    if (strcmp(backend.failure(), "make a file for its log") == 0) {
        fprintf(stderr, "memq-peer: cannot make a file for the backend's log: %s\n",
                strerror(errno));
    } else {
        fprintf(stderr, "memq-peer: cannot start the backend %s: %s\n", path.c_str(),
                strerror(errno));
    }
    return false;
}

std::string confinement_hint(const peer::Backend &backend) {
    const std::string log = backend.log();
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

}  // namespace memq_peer
