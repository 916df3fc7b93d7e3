// Every allocation the backend makes while serving a scripted session is
// made to fail in turn, once and from then on. Memory running out is a cap,
// not a cliff: the request that needed the memory is answered with its
// failure result and its warning, every other request as if nothing had
// happened, and the backend serves on until the peer closes the channel and
// then exits with status 0. Never a crash, an exit, a hang, a wrong reply or
// a leaked descriptor.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "reliability/session.h"

namespace {

using reliability::Op;
using reliability::Verdict;
using wire::Bytes;
using wire::pattern;

// Lines an allocation failure may add, on top of what the request itself
// logs: a handler's warning. A warning with error text may come without it
// when memory ran out to join the two: its error text then follows as a line
// of its own, possibly read apart from it.
const char *const failure_lines[] = {
    "warn: calloc*",
    "warn: malloc*",
    "warn: fdopen*",
    "warn: fopen: \"/tmp/message.*",
};
bool any_match(const std::string &line, const char *const *set, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (reliability::line_matches(line, set[i])) {
            return true;
        }
    }
    return false;
}

// The session: every request type, content across the 8192-byte blocks of
// the copy, and the removal of the last envelope. Ids come from the model
// as the session goes; a step that failed is tried again in fail-once mode.
std::vector<Op> script_step(size_t i, const reliability::Model &m, uint32_t &msg_a, uint32_t &msg_b,
                            uint64_t &env_1, uint64_t &env_2) {
    auto first_other = [&](uint32_t not_this) {
        for (auto &[id, msg] : m.messages()) {
            if (id != not_this) {
                return id;
            }
        }
        return uint32_t{0};
    };
    (void)first_other;
    switch (i) {
        case 0:
            return {{QUEUE_HELLO}};
        case 1:
            return {{QUEUE_MESSAGE_NEW}};
        case 2:
            msg_a = m.messages().empty() ? 0 : m.messages().begin()->first;
            return {{QUEUE_MESSAGE_STORE, msg_a, 0, pattern(20000, 1)}};
        case 3:
            return {{QUEUE_MESSAGE_OPEN, msg_a}};
        case 4:
            return {{QUEUE_ENVELOPE_NEW, msg_a, 0, pattern(100, 2)}};
        case 5:
            env_1 = m.last_evpid;
            return {{QUEUE_ENVELOPE_NEW, msg_a, 0, pattern(8192, 3)}};
        case 6:
            env_2 = m.last_evpid;
            return {{QUEUE_ENVELOPE_READ, 0, env_2}};
        case 7:
            return {{QUEUE_ENVELOPE_REPLACE, 0, env_1, pattern(300, 4)}};
        case 8:
            return {{QUEUE_ENVELOPE_READ, 0, env_1}};
        case 9:
            return {{QUEUE_MESSAGE_NEW}};
        case 10:
            msg_b = first_other(msg_a);
            return {{QUEUE_MESSAGE_STORE, msg_b, 0, {}}};
        case 11:
            return {{QUEUE_MESSAGE_OPEN, msg_b}};
        case 12:
            return {{QUEUE_MESSAGE_MARK, msg_b}};
        case 13:
            return {{QUEUE_MESSAGE_UNMARK, msg_a},
                    {QUEUE_FINISH},
                    {QUEUE_ENVELOPE_ITERATE},
                    {QUEUE_MESSAGE_ITERATE}};
        case 14:
            // Requests that fail whatever memory there is.
            return {{QUEUE_MESSAGE_OPEN, msg_b},
                    {QUEUE_MESSAGE_STORE, msg_b, 0, pattern(10, 5)},
                    {QUEUE_ENVELOPE_NEW, msg_b, 0, pattern(10, 6)},
                    {QUEUE_ENVELOPE_READ, 0, static_cast<uint64_t>(msg_b) << 32},
                    {QUEUE_ENVELOPE_REMOVE, 0, env_1 ^ 1},
                    {QUEUE_MESSAGE_REMOVE, msg_b}};
        case 15:
            return {{QUEUE_ENVELOPE_REMOVE, 0, env_2}};
        case 16:
            return {{QUEUE_ENVELOPE_REMOVE, 0, env_1}};
        case 17:
            return {{QUEUE_MESSAGE_OPEN, msg_a}};
        default:
            return {};
    }
}

struct RunResult {
    bool injected = false;
    unsigned long counted = 0;
    std::string site;  // the failed allocation's call chain
};

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class AllocationFailure : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef MEMQ_FAILALLOC_LIB
        GTEST_SKIP() << "the allocator shim is not built with sanitizers";
#else
        std::string why = testutil::prepare_defaults();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        // A backend that has ended must not take this process with it when
        // the next request is written.
        signal(SIGPIPE, SIG_IGN);
#endif
    }

    // One run with the k-th allocation failing; false after a failed check.
    bool run(unsigned long k, bool always, RunResult &out) {
#ifdef MEMQ_FAILALLOC_LIB
        char report[] = "/tmp/memq-failalloc.XXXXXX";
        int rfd = mkstemp(report);
        if (rfd == -1) {
            ADD_FAILURE() << "mkstemp";
            return false;
        }
        close(rfd);
        setenv("LD_PRELOAD", MEMQ_FAILALLOC_LIB, 1);
        setenv("MEMQ_FAILALLOC_AT", std::to_string(k).c_str(), 1);
        setenv("MEMQ_FAILALLOC_MODE", always ? "always" : "once", 1);
        setenv("MEMQ_FAILALLOC_REPORT", report, 1);
        peer::Backend backend;
        bool started = testutil::start_backend(backend);
        unsetenv("LD_PRELOAD");
        unsetenv("MEMQ_FAILALLOC_AT");
        unsetenv("MEMQ_FAILALLOC_MODE");
        unsetenv("MEMQ_FAILALLOC_REPORT");
        if (!started) {
            ADD_FAILURE() << "cannot start the backend";
            return false;
        }
        bool ok = drive(backend, k, always, report, out);
        unlink(report);
        return ok;
#else
        (void)k;
        (void)always;
        (void)out;
        return false;
#endif
    }

    bool drive(peer::Backend &backend, unsigned long k, bool always, const char *report,
               RunResult &out) {
        std::string where = "k=" + std::to_string(k) + (always ? " always" : " once");
        reliability::Model model;
        uint32_t msg_a = 0;
        uint32_t msg_b = 0;
        uint64_t env_1 = 0;
        uint64_t env_2 = 0;
        int start_fds = -1;
        bool failed_once = false;

        for (size_t step = 0;; ++step) {
            std::vector<Op> ops = script_step(step, model, msg_a, msg_b, env_1, env_2);
            if (ops.empty()) {
                break;
            }
            for (size_t i = 0; i < ops.size(); ++i) {
                const Op &op = ops[i];
                std::optional<peer::Reply> reply = reliability::call(backend, op);
                bool injected_now = read_file(report).find("fail ") != std::string::npos;
                std::vector<std::string> lines = reliability::new_lines(backend);
                if (!reply) {
                    int status = backend.stop();
                    std::vector<std::string> more = reliability::new_lines(backend);
                    lines.insert(lines.end(), more.begin(), more.end());
                    ADD_FAILURE() << where << ": no reply to type " << op.type
                                  << (injected_now ? " after a failed allocation"
                                                   : " without a failed allocation")
                                  << ", wait status " << status << "\n"
                                  << reliability::joined(lines);
                    return false;
                }
                std::vector<std::string> want;
                std::string why;
                Verdict v = model.check(op, *reply, want, why);
                if (v == Verdict::wrong) {
                    ADD_FAILURE() << where << ": wrong reply to type " << op.type << ": " << why;
                    return false;
                }
                if (!injected_now || (!always && failed_once)) {
                    if (v != Verdict::exact || !reliability::lines_match(lines, want)) {
                        ADD_FAILURE() << where << ": type " << op.type
                                      << (v != Verdict::exact ? " failed" : " logged")
                                      << " with no allocation failing\n"
                                      << reliability::joined(lines);
                        return false;
                    }
                    continue;
                }
                // The failed allocation shows in this reply, or in nothing at
                // all; either way only a handler's warning may come with it.
                for (const std::string &line : lines) {
                    if (!reliability::starts_with_area(line)) {
                        continue;  // the error text of a warning read apart from it
                    }
                    bool expected = std::any_of(want.begin(), want.end(), [&](const auto &w) {
                        return reliability::line_matches(line, w);
                    });
                    if (!expected && !any_match(line, failure_lines, std::size(failure_lines))) {
                        ADD_FAILURE()
                            << where << ": unexpected line after type " << op.type << ": " << line;
                        return false;
                    }
                }
                if (!always) {
                    failed_once = true;
                    if (v == Verdict::failure) {
                        // The store is as it was: the same step again must
                        // now succeed.
                        --i;
                    }
                }
                if (v == Verdict::failure && !check_fds(backend, start_fds, where)) {
                    return false;
                }
            }
            if (step == 0) {
                start_fds = backend.fd_count();
            }
        }
        if (!check_fds(backend, start_fds, where)) {
            return false;
        }
        // Whatever failed, the backend is still there, and ends only now.
        int status = backend.stop();
        std::vector<std::string> lines = reliability::new_lines(backend);
        bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0 && lines.size() == 1 &&
                     lines[0] == "warn: queue-api: pipe closed";
        if (!clean) {
            ADD_FAILURE() << where << ": the session did not end cleanly, status " << status << "\n"
                          << reliability::joined(lines);
            return false;
        }
        return parse_report(read_file(report), out);
    }

    // After a failure the backend holds the descriptors it started with; a
    // round trip first lets it finish closing what the reply carried.
    static bool check_fds(peer::Backend &backend, int start_fds, const std::string &where) {
        if (start_fds < 0) {
            return true;
        }
        std::optional<peer::Reply> r = reliability::call(backend, {QUEUE_HELLO});
        if (!r) {
            ADD_FAILURE() << where << ": no reply to a hello after a failed allocation";
            return false;
        }
        std::vector<std::string> lines = reliability::new_lines(backend);
        if (!lines.empty()) {
            ADD_FAILURE() << where << ": a hello logged\n" << reliability::joined(lines);
            return false;
        }
        int now = backend.fd_count();
        if (now != start_fds) {
            ADD_FAILURE() << where << ": " << now << " descriptors open, " << start_fds
                          << " at start";
            return false;
        }
        return true;
    }

    static bool parse_report(const std::string &text, RunResult &out) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("fail ", 0) == 0) {
                if (!out.injected) {
                    out.site = line.substr(line.find(' ', 5) + 1);
                }
                out.injected = true;
            } else if (line.rfind("counted ", 0) == 0) {
                out.counted = std::stoul(line.substr(8));
            }
        }
        return true;
    }

    // Runs k = 1, 2, ... until a session completes with nothing failed.
    void sweep(bool always) {
        std::set<std::string> sites;
        unsigned long k = 1;
        for (;; ++k) {
            RunResult r;
            ASSERT_TRUE(run(k, always, r)) << "k=" << k;
            if (!r.injected) {
                break;
            }
            sites.insert(r.site);
            ASSERT_LT(k, 5000u) << "the session never completes";
        }
        std::printf("%s: %lu runs, %zu distinct failing call chains\n", always ? "always" : "once",
                    k, sites.size());
        if (getenv("MEMQ_FAILALLOC_SITES") != nullptr) {
            for (const std::string &s : sites) {
                std::printf("  %s\n", s.c_str());
            }
        }
        RecordProperty("runs", static_cast<int>(k));
        RecordProperty("sites", static_cast<int>(sites.size()));
    }
};

TEST_F(AllocationFailure, EachAllocationFailingOnceEndsAsPromised) {
    sweep(false);
}

TEST_F(AllocationFailure, AllocationsFailingFromEachPointOnEndAsPromised) {
    sweep(true);
}

}  // namespace
