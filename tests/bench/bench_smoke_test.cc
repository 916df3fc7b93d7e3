// The benchmark driver and the transport floor, run briefly: every workload
// must complete with every reply checked. Nothing here looks at a timing.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "common/child.h"
#include "e2e/peer.h"

namespace {

const char *const WORKLOADS[] = {"hello", "read", "lifecycle", "fill", "large"};

struct BenchRun {
    int status = -1;
    std::string out;  // standard output and error together

    int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

BenchRun bench(const std::string &args) {
    BenchRun r;
    std::string cmd = std::string(MEMQ_BENCH_BINARY) + " " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return r;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        r.out.append(buf, n);
    }
    r.status = pclose(p);
    return r;
}

// One result line per workload and side, each with the figures it promises.
void expect_results(const std::string &out, const char *side) {
    for (const char *w : WORKLOADS) {
        std::regex line(std::string("result workload=") + w + " backend=" + side +
                        " round=1 ops=[1-9][0-9]* seconds=[0-9.]+ ops_per_s=[0-9]+ "
                        "cpu_us_per_op=[0-9.]+ rss_kb=[1-9][0-9]* hwm_kb=[1-9][0-9]*");
        EXPECT_TRUE(std::regex_search(out, line)) << w << " on " << side << ":\n" << out;
    }
}

TEST(BenchSmoke, FloorKeepsTheContractInEveryWorkload) {
    auto before = testutil::open_fds();
    BenchRun r = bench("--smoke --only floor");
    EXPECT_EQ(r.exit_code(), 0) << r.out;
    expect_results(r.out, "floor");
    EXPECT_EQ(r.out.find("ratio"), std::string::npos) << "one side alone has no ratio";
    EXPECT_EQ(testutil::open_fds(), before);
}

TEST(BenchSmoke, MemqAndFloorRunSideBySideInEveryWorkload) {
    std::string why = e2e::prepare_defaults();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    auto before = testutil::open_fds();
    BenchRun r = bench("--smoke");
    EXPECT_EQ(r.exit_code(), 0) << r.out;
    expect_results(r.out, "floor");
    expect_results(r.out, "memq");
    for (const char *w : WORKLOADS) {
        std::regex ratio(std::string("ratio workload=") + w + " memq/floor=[0-9.]+");
        EXPECT_TRUE(std::regex_search(r.out, ratio)) << w << ":\n" << r.out;
    }
    EXPECT_EQ(testutil::open_fds(), before);
}

// A backend that breaks the contract must fail the run, not measure it.
TEST(BenchSmoke, AWrongOrMissingReplyFailsTheRun) {
    char dir[] = "/tmp/memq-bench-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    // Echoes every request back: right sizes, wrong type.
    std::string echo = std::string(dir) + "/echo";
    FILE *f = fopen(echo.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("#!/bin/sh\nexec cat >&0\n", f);
    fclose(f);
    ASSERT_EQ(chmod(echo.c_str(), 0755), 0);

    struct Case {
        std::string backend;
        const char *complaint;
    } cases[] = {
        {echo, "wrong reply to QUEUE_HELLO"},
        {"/bin/true", "no reply"},
    };
    auto before = testutil::open_fds();
    for (const Case &c : cases) {
        BenchRun r = bench("--smoke --only memq --memq " + c.backend + " hello");
        EXPECT_EQ(r.exit_code(), 1) << c.backend << ":\n" << r.out;
        EXPECT_NE(r.out.find(c.complaint), std::string::npos) << c.backend << ":\n" << r.out;
        EXPECT_EQ(r.out.find("result "), std::string::npos) << c.backend << ":\n" << r.out;
    }
    EXPECT_EQ(testutil::open_fds(), before);
    unlink(echo.c_str());
    rmdir(dir);
}

}  // namespace
