#include "log/log.h"

#include <bsd/string.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>

namespace {

int log_foreground;
int log_verbose;
char fatal_message[1024];

// glibc derives this from argv[0] before main runs: the last path component,
// or "" when the process was started without any argument.
const char *program_name() {
    return program_invocation_short_name;
}

// While one lives, a write that would raise SIGPIPE (a reader that has
// gone) or SIGXFSZ (a file past the size limit) fails with EPIPE or EFBIG
// instead of ending the process: the two signals are held, and one the
// write raised is taken back before they are let through again. Whoever
// owns standard error may break it; the line is lost, the process is not.
// No disposition changes, a signal held before is left as it was, and
// errno is given back as it was found, whatever the write did to it.
class log_signals_held {
  public:
    log_signals_held() : saved_errno_(errno) {
        sigemptyset(&held_);
        sigaddset(&held_, SIGPIPE);
        sigaddset(&held_, SIGXFSZ);
        sigprocmask(SIG_BLOCK, &held_, &before_);
    }
    log_signals_held(const log_signals_held &) = delete;
    log_signals_held &operator=(const log_signals_held &) = delete;
    ~log_signals_held() {
        sigset_t pending, raised;
        sigemptyset(&raised);
        if (sigpending(&pending) == 0) {
            for (int sig : {SIGPIPE, SIGXFSZ}) {
                if (sigismember(&pending, sig) == 1 && sigismember(&before_, sig) == 0) {
                    sigaddset(&raised, sig);
                }
            }
        }
        if (sigisemptyset(&raised) == 0) {
            timespec now{};
            while (sigtimedwait(&raised, nullptr, &now) > 0) {
            }
        }
        sigprocmask(SIG_SETMASK, &before_, nullptr);
        errno = saved_errno_;
    }

  private:
    int saved_errno_;
    sigset_t held_;
    sigset_t before_;
};

// Writes the line in one piece when memory allows, so that lines from
// several processes sharing stderr never interleave.
void write_stderr_line(const char *fmt, va_list ap) {
    char prefix[64];
    int prefix_len = snprintf(prefix, sizeof prefix, "[%u]: ", static_cast<unsigned>(getpid()));
    const char *name = program_name();
    size_t name_len = strlen(name);

    va_list measure;
    va_copy(measure, ap);
    int message_len = vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);

    log_signals_held quiet;
    char *line = nullptr;
    size_t line_len = 0;
    if (message_len >= 0) {
        line_len =
            name_len + static_cast<size_t>(prefix_len) + static_cast<size_t>(message_len) + 1;
        line = static_cast<char *>(malloc(line_len + 1));
    }
    if (line != nullptr) {
        memcpy(line, name, name_len);
        memcpy(line + name_len, prefix, static_cast<size_t>(prefix_len));
        va_list format;
        va_copy(format, ap);
        vsnprintf(line + name_len + prefix_len, static_cast<size_t>(message_len) + 1, fmt, format);
        va_end(format);
        line[line_len - 1] = '\n';
        line[line_len] = '\0';
        fprintf(stderr, "%s", line);
        free(line);
    } else {
        fprintf(stderr, "%s%s", name, prefix);
        va_list format;
        va_copy(format, ap);
        vfprintf(stderr, fmt, format);
        va_end(format);
        fputc('\n', stderr);
    }
    fflush(stderr);
}

}  // namespace

void log_open(int foreground) {
    log_foreground = foreground;
    if (foreground == 0) {
        openlog(program_name(), LOG_PID | LOG_NDELAY, LOG_MAIL);
    }
    tzset();
}

void log_set_verbose(int mask) {
    log_verbose = mask;
}

void log_vwrite(int priority, const char *fmt, va_list ap) {
    if (log_foreground == 0) {
        log_signals_held quiet;
        vsyslog(priority, fmt, ap);
        return;
    }
    write_stderr_line(fmt, ap);
}

void log_write(int priority, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(priority, fmt, ap);
    va_end(ap);
}

void log_warning(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(LOG_CRIT, fmt, ap);
    va_end(ap);
}

void log_warning_errno(const char *fmt, ...) {
    if (fmt == nullptr) {
        log_write(LOG_CRIT, "%s", strerror(errno));
        return;
    }
    // Taken before formatting, which may itself change errno.
    const char *error_text = strerror(errno);

    // The message is formatted on its own and joined as data: splicing the
    // error text into the format would let a '%' in it act as a conversion.
    va_list ap;
    va_start(ap, fmt);
    char *message = nullptr;
    int formatted = vasprintf(&message, fmt, ap);
    va_end(ap);
    if (formatted >= 0) {
        log_write(LOG_CRIT, "%s: %s", message, error_text);
        free(message);
        return;
    }

    // Without memory to join them, the message and the error text go out
    // as two lines. The text is the one read on entry: errno now holds the
    // failed formatting's own error, which is not the one being reported.
    va_start(ap, fmt);
    log_vwrite(LOG_CRIT, fmt, ap);
    va_end(ap);
    log_write(LOG_CRIT, "%s", error_text);
}

void log_note(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(LOG_INFO, fmt, ap);
    va_end(ap);
}

void log_detail(const char *fmt, ...) {
    if ((log_verbose & 1) == 0) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(LOG_DEBUG, fmt, ap);
    va_end(ap);
}

void log_trace(int mask, const char *fmt, ...) {
    if ((mask & log_verbose) == 0) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(LOG_DEBUG, fmt, ap);
    va_end(ap);
}

void log_vfatal(const char *fmt, va_list ap) {
    int saved_errno = errno;
    if (fmt != nullptr) {
        vsnprintf(fatal_message, sizeof fatal_message, fmt, ap);
        if (saved_errno != 0) {
            strlcat(fatal_message, ": ", sizeof fatal_message);
            strlcat(fatal_message, strerror(saved_errno), sizeof fatal_message);
        }
    } else {
        strlcpy(fatal_message, strerror(saved_errno), sizeof fatal_message);
    }
    log_write(LOG_CRIT, "fatal: %s", fatal_message);
}

void die_errno(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vfatal(fmt, ap);
    va_end(ap);
    exit(1);
}

void die(const char *fmt, ...) {
    errno = 0;
    va_list ap;
    va_start(ap, fmt);
    log_vfatal(fmt, ap);
    va_end(ap);
    exit(1);
}
