#include "peer/backend.h"

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "peer/proc.h"

extern char **environ;

namespace peer {

namespace {

// Our environment, with ASAN_OPTIONS given detect_leaks=0 when `leak_check`
// is off: set once, whether it was set before, empty or unset.
std::vector<std::string> environment_for(bool leak_check) {
    std::vector<std::string> env;
    std::string asan;
    bool had_asan = false;
    for (char **e = environ; *e != nullptr; e++) {
        if (!leak_check && strncmp(*e, "ASAN_OPTIONS=", 13) == 0) {
            asan = *e + 13;
            had_asan = true;
        } else {
            env.emplace_back(*e);
        }
    }
    if (!leak_check) {
        env.push_back(
            cat({"ASAN_OPTIONS=", asan, had_asan && !asan.empty() ? ":" : "", "detect_leaks=0"}));
    }
    return env;
}

}  // namespace

std::vector<std::string> wrapper_from_env(const char *name) {
    std::vector<std::string> words;
    const char *given = getenv(name);
    std::string_view rest = given != nullptr ? given : "";
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of(" \t");
        if (start == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(start);
        size_t end = std::min(rest.find_first_of(" \t"), rest.size());
        words.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end);
    }
    return words;
}

bool Backend::start(const std::string &path, const BackendOptions &options) {
    final_log_.clear();
    partial_.clear();
    seen_ = 0;
    stopped_ = false;
    log_.reset();
    if (options.err_fd < 0) {
        log_.reset(memfd_create("memq-log", MFD_CLOEXEC));
        if (!log_.valid()) {
            failure_ = "make a file for its log";
            return false;
        }
    }
    std::string program = path;
    std::vector<std::string> args;
    if (!options.wrapper.empty()) {
        program = options.wrapper.front();
        args.assign(options.wrapper.begin() + 1, options.wrapper.end());
        args.push_back(path);
    }
    std::vector<std::string> env = environment_for(options.leak_check);
    std::vector<char *> envp;
    for (std::string &e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    int err_fd = options.err_fd >= 0 ? options.err_fd : log_.get();
    if (!peer_.start(program, args, err_fd, envp.data())) {
        failure_ = "start it";
        return false;
    }
    pid_ = peer_.pid();
    // A wrapper runs the backend in the process it was given, under the
    // backend's own name.
    prefix_ = log_prefix(pid_, std::string_view(path).substr(path.rfind('/') + 1));
    if (options.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(options.cpu, &set);
        if (sched_setaffinity(pid_, sizeof set, &set) != 0) {
            failure_ = "pin it to a CPU";
            return false;
        }
    }
    return true;
}

std::string Backend::log_from(size_t at) const {
    if (!log_.valid()) {
        return at < final_log_.size() ? final_log_.substr(at) : std::string();
    }
    // The backend shares the file's offset, so it is read by position.
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = pread(log_.get(), buf, sizeof buf, static_cast<off_t>(at + out.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return out;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string Backend::log() const {
    return log_from(0);
}

std::string Backend::new_log() {
    std::string text = log_from(seen_);
    seen_ += text.size();
    return text;
}

std::vector<std::string> Backend::new_lines() {
    partial_ += new_log();
    size_t end = partial_.rfind('\n');
    if (end == std::string::npos) {
        return {};
    }
    std::vector<std::string> lines = messages(std::string_view(partial_).substr(0, end + 1));
    partial_.erase(0, end + 1);
    return lines;
}

std::vector<std::string> Backend::messages(std::string_view log) const {
    std::vector<std::string> lines = split_lines(log);
    for (std::string &line : lines) {
        if (line.compare(0, prefix_.size(), prefix_) == 0) {
            line.erase(0, prefix_.size());
        }
    }
    return lines;
}

int Backend::fd_count() const {
    return stopped_ ? -1 : backend_fd_count(peer_.pid());
}

int Backend::stop() {
    if (stopped_) {
        return -1;
    }
    stopped_ = true;
    int status = peer_.finish();
    if (log_.valid()) {
        final_log_ = log_from(0);
        log_.reset();
    }
    return status;
}

std::string log_prefix(pid_t pid, std::string_view program) {
    return cat({program, "[", std::to_string(pid), "]: "});
}

std::string_view message_of(std::string_view line) {
    size_t open = line.find('[');
    size_t close = line.find("]: ");
    if (open == std::string_view::npos || open == 0 || close == std::string_view::npos ||
        close < open + 2 || line.substr(0, open).find(' ') != std::string_view::npos ||
        line.substr(open + 1, close - open - 1).find_first_not_of("0123456789") !=
            std::string_view::npos) {
        return line;
    }
    return line.substr(close + 3);
}

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = std::min(text.find('\n', pos), text.size());
        lines.emplace_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
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

}  // namespace peer
