#include "log/log.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "common/address_space.h"
#include "common/child.h"

namespace {

using testutil::log_prefix;

using testutil::run_in_child;

TEST(Log, WarningIsOneLineWithNameAndPid) {
    auto r = run_in_child([] {
        log_open(1);
        log_warning("warn: queue-api: pipe closed");
        return 0;
    });
    EXPECT_EQ(r.err, log_prefix(r.pid) + "warn: queue-api: pipe closed\n");
    EXPECT_EQ(r.exit_code(), 0);
}

TEST(Log, PriorityDoesNotShowOnStderr) {
    auto r = run_in_child([] {
        log_open(1);
        log_note("note %d", 1);
        log_warning("note %d", 1);
        log_write(7, "note %d", 1);
        return 0;
    });
    std::string line = log_prefix(r.pid) + "note 1\n";
    EXPECT_EQ(r.err, line + line + line);
}

TEST(Log, WarningErrnoJoinsErrorText) {
    auto r = run_in_child([] {
        log_open(1);
        errno = ENOENT;
        log_warning_errno("queue-api: %s", "chroot");
        errno = EACCES;
        log_warning_errno(nullptr);
        return 0;
    });
    EXPECT_EQ(r.err, log_prefix(r.pid) + "queue-api: chroot: " + strerror(ENOENT) + "\n" +
                         log_prefix(r.pid) + strerror(EACCES) + "\n");
}

// When memory runs out while the message is formatted, the warning becomes
// two lines, and the second still names the error it was called with rather
// than the failed formatting's own.
TEST(Log, WarningErrnoWithoutMemoryGivesTwoLinesWithTheCallersError) {
    if (testutil::kSanitized) {
        GTEST_SKIP() << testutil::kSanitizerLimitSkip;
    }
    const std::string message(8u << 20, 'm');
    auto r = run_in_child([&] {
        log_open(1);
        if (!testutil::limit_address_space(1u << 20)) {
            return 2;
        }
        errno = ENOENT;
        log_warning_errno("warn: %s", message.c_str());
        return 0;
    });
    ASSERT_EQ(r.exit_code(), 0);
    EXPECT_TRUE(r.err == log_prefix(r.pid) + "warn: " + message + "\n" + log_prefix(r.pid) +
                             strerror(ENOENT) + "\n")
        << r.err.substr(0, 80) << " ... "
        << r.err.substr(r.err.size() - std::min<size_t>(r.err.size(), 80));
}

TEST(Log, PercentInErrorOrNameIsNotAConversion) {
    auto r = run_in_child([] {
        log_open(1);
        static char name[] = "mem%sq%n";
        program_invocation_short_name = name;
        errno = EPERM;
        log_warning_errno("%s", "100%");
        return 0;
    });
    EXPECT_EQ(r.err, "mem%sq%n[" + std::to_string(r.pid) + "]: 100%: " + strerror(EPERM) + "\n");
}

TEST(Log, DieClearsErrnoAndExitsOne) {
    auto r = run_in_child([]() -> int {
        log_open(1);
        errno = EIO;
        die("queue-api: exiting");
    });
    EXPECT_EQ(r.err, log_prefix(r.pid) + "fatal: queue-api: exiting\n");
    EXPECT_EQ(r.exit_code(), 1);
}

TEST(Log, DieWithoutFormatShowsTextOfErrnoZero) {
    auto r = run_in_child([]() -> int {
        log_open(1);
        const char *no_format = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
        die(no_format);  // a null format is the case under test
#pragma GCC diagnostic pop
    });
    EXPECT_EQ(r.err, log_prefix(r.pid) + "fatal: " + strerror(0) + "\n");
    EXPECT_EQ(r.exit_code(), 1);
}

TEST(Log, DieErrnoAppendsErrorTextOnlyWhenSet) {
    struct Case {
        int error;
        std::string expected;
    };
    for (const Case &c :
         {Case{ENOSPC, std::string("fatal: x: ") + strerror(ENOSPC)}, Case{0, "fatal: x"}}) {
        auto r = run_in_child([&c]() -> int {
            log_open(1);
            errno = c.error;
            die_errno("%s", "x");
        });
        EXPECT_EQ(r.err, log_prefix(r.pid) + c.expected + "\n") << "errno " << c.error;
        EXPECT_EQ(r.exit_code(), 1);
    }
}

TEST(Log, LongFatalMessageIsCutTo1023Characters) {
    auto r = run_in_child([]() -> int {
        log_open(1);
        std::string text(2000, 'a');
        errno = ENOENT;  // the cut message leaves no room for the error text
        die_errno("%s", text.c_str());
    });
    EXPECT_EQ(r.err, log_prefix(r.pid) + "fatal: " + std::string(1023, 'a') + "\n");
}

TEST(Log, DetailAndTraceFollowTheVerbosityMask) {
    auto r = run_in_child([] {
        log_open(1);
        log_detail("hidden detail");
        log_trace(4, "hidden trace");
        log_set_verbose(1);
        log_detail("detail");
        log_trace(4, "still hidden");
        log_set_verbose(4 | 1);
        log_trace(6, "trace");
        return 0;
    });
    EXPECT_EQ(r.err, log_prefix(r.pid) + "detail\n" + log_prefix(r.pid) + "trace\n");
}

TEST(Log, LinesBeforeLogOpenDoNotGoToStderr) {
    auto r = run_in_child([] {
        log_warning("to the system log");
        return 0;
    });
    EXPECT_EQ(r.err, "");
}

}  // namespace

// Whoever owns standard error may break it. A reader that has gone and a
// file past the size limit would each end the process with a signal on the
// next line; the line must be lost and the process must go on, with its
// signal mask and errno as they were and no signal left pending.
TEST(Log, ABrokenStandardErrorLosesTheLineAndNothingElse) {
    struct Case {
        const char *what;
        std::function<bool()> break_stderr;
        int err;
    };
    const Case cases[] = {
        {"a pipe whose reader has gone",
         [] {
             int p[2];
             if (pipe(p) != 0 || dup2(p[1], STDERR_FILENO) == -1) {
                 return false;
             }
             close(p[0]);
             close(p[1]);
             return true;
         },
         EPIPE},
        {"a file at its size limit",
         [] {
             FILE *f = tmpfile();
             rlimit lim{16, RLIM_INFINITY};
             if (f == nullptr || dup2(fileno(f), STDERR_FILENO) == -1 ||
                 setrlimit(RLIMIT_FSIZE, &lim) != 0) {
                 return false;
             }
             fclose(f);
             return true;
         },
         EFBIG},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto r = run_in_child([&c] {
            signal(SIGPIPE, SIG_DFL);
            signal(SIGXFSZ, SIG_DFL);
            if (!c.break_stderr()) {
                return 10;
            }
            log_open(1);
            sigset_t mask_before, mask_after, pending;
            sigemptyset(&mask_before);
            sigemptyset(&mask_after);
            sigprocmask(SIG_BLOCK, nullptr, &mask_before);
            errno = ENOENT;
            log_warning("warn: queue-api: a line long enough to pass the limit");
            log_warning_errno("warn: and another");
            if (errno != ENOENT) {
                return 11;
            }
            sigprocmask(SIG_BLOCK, nullptr, &mask_after);
            sigpending(&pending);
            for (int sig : {SIGPIPE, SIGXFSZ}) {
                if (sigismember(&mask_before, sig) != sigismember(&mask_after, sig) ||
                    sigismember(&pending, sig) == 1) {
                    return 12;
                }
            }
            // The line was refused as the broken file says, not sent.
            signal(SIGPIPE, SIG_IGN);
            signal(SIGXFSZ, SIG_IGN);
            errno = 0;
            if (write(STDERR_FILENO, "x", 1) != -1 || errno != c.err) {
                return 13;
            }
            return 0;
        });
        EXPECT_TRUE(r.exited()) << "killed by signal " << WTERMSIG(r.status);
        EXPECT_EQ(r.exit_code(), 0) << r.err;
    }
}
