// The benchmark driver and the transport floor, run briefly: every workload
// must complete with every reply checked. Nothing here looks at a timing.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "common/backend.h"
#include "common/child.h"
#include "common/leak_check.h"
#include "common/temp_dir.h"

namespace {

const char *const WORKLOADS[] = {"hello", "read", "lifecycle", "fill", "large", "drain", "soak"};

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

// The value after " key=" in line, up to the next space; empty when absent.
std::string field(const std::string &line, const std::string &key) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) {
        return {};
    }
    at += key.size() + 2;
    return line.substr(at, line.find(' ', at) - at);
}

// The line that starts with prefix, or empty.
std::string line_starting(const std::string &out, const std::string &prefix) {
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        std::string line = out.substr(at, end == std::string::npos ? end : end - at);
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return line;
        }
        at = end == std::string::npos ? out.size() : end + 1;
    }
    return {};
}

// One result line per workload and side, each with the figures it promises.
void expect_results(const std::string &out, const char *side) {
    for (const char *w : WORKLOADS) {
        std::string line = line_starting(
            out, std::string("result workload=") + w + " backend=" + side + " round=1 ");
        ASSERT_FALSE(line.empty()) << w << " on " << side << ":\n" << out;
        for (const char *key : {"ops", "ops_per_s", "rss_kb", "hwm_kb"}) {
            EXPECT_GT(atol(field(line, key).c_str()), 0) << key << " in " << line;
        }
        for (const char *key : {"seconds", "cpu_us_per_op"}) {
            EXPECT_GT(atof(field(line, key).c_str()), 0) << key << " in " << line;
        }
    }
}

// The first two lines say what will run and about how long it will take.
void expect_announced(const std::string &out, const std::string &what) {
    EXPECT_EQ(out.rfind("memq-bench: 7 workloads (hello read lifecycle fill large drain soak), " +
                            what + " each, at smoke sizes, pinned: none\nmemq-bench: about ",
                        0),
              0u)
        << out;
}

TEST(BenchSmoke, FloorKeepsTheContractInEveryWorkload) {
    auto before = testutil::open_fds();
    BenchRun r = bench("--smoke --only floor");
    EXPECT_EQ(r.exit_code(), 0) << r.out;
    expect_announced(r.out, "1 run of the floor");
    expect_results(r.out, "floor");
    EXPECT_EQ(r.out.find("ratio"), std::string::npos) << "one side alone has no ratio";
    EXPECT_EQ(r.out.find("summary"), std::string::npos) << "nor a table of them";
    EXPECT_EQ(testutil::open_fds(), before);
}

TEST(BenchSmoke, MemqAndFloorRunSideBySideInEveryWorkload) {
    std::string why = testutil::prepare_defaults();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    // The benchmark passes its environment on to the backends it starts.
    testutil::LeakCheckOff for_the_backends;
    auto before = testutil::open_fds();
    BenchRun r = bench("--smoke");
    EXPECT_EQ(r.exit_code(), 0) << r.out;
    expect_announced(r.out, "1 floor/memq pair");
    expect_results(r.out, "floor");
    expect_results(r.out, "memq");
    // The table at the end gives each workload's ratios as its ratio line
    // does, to two places.
    ASSERT_NE(r.out.find("\nsummary, in "), std::string::npos) << r.out;
    std::string table = r.out.substr(r.out.find("\nsummary, in "));
    for (const char *w : WORKLOADS) {
        std::string line = line_starting(r.out, std::string("ratio workload=") + w + " ");
        double ratio = atof(field(line, "memq/floor").c_str());
        double cpu = atof(field(line, "cpu_memq/floor").c_str());
        EXPECT_GT(ratio, 0) << w << ":\n" << r.out;
        std::string row = line_starting(table, std::string("  ") + w + " ");
        ASSERT_FALSE(row.empty()) << w << " is not in the table:\n" << table;
        char name[32];
        char pin[16];
        double throughput;
        double low;
        double high;
        double row_cpu;
        ASSERT_EQ(sscanf(row.c_str(), " %31s %15s %lf %lf to %lf %lf", name, pin, &throughput, &low,
                         &high, &row_cpu),
                  6)
            << row;
        EXPECT_STREQ(pin, "none") << row;
        // The ratio line has three places, the table two.
        EXPECT_NEAR(throughput, ratio, 0.0051) << row << "\n" << line;
        EXPECT_NEAR(row_cpu, cpu, 0.0051) << row << "\n" << line;
        EXPECT_LE(low, throughput) << row;
        EXPECT_GE(high, throughput) << row;
    }
    EXPECT_EQ(testutil::open_fds(), before);
}

// A backend that breaks the contract must fail the run, not measure it.
TEST(BenchSmoke, AWrongOrMissingReplyFailsTheRun) {
    testutil::TempDir dir("memq-bench-test");
    ASSERT_FALSE(dir.path().empty());
    // Echoes every request back: right sizes, wrong type.
    std::string echo = dir.path() + "/echo";
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
        // Gone before the first request: the send or the receive fails.
        {"/bin/true", "memq-bench: "},
    };
    auto before = testutil::open_fds();
    for (const Case &c : cases) {
        BenchRun r = bench("--smoke --only memq --memq " + c.backend + " hello");
        EXPECT_EQ(r.exit_code(), 1) << c.backend << ":\n" << r.out;
        EXPECT_NE(r.out.find(c.complaint), std::string::npos) << c.backend << ":\n" << r.out;
        EXPECT_EQ(r.out.find("result "), std::string::npos) << c.backend << ":\n" << r.out;
    }
    EXPECT_EQ(testutil::open_fds(), before);
}

}  // namespace

// Each regime asked for runs the workloads once more and says which it is;
// one that this machine cannot give, or that does not exist, is refused.
TEST(BenchSmoke, EveryPinningRegimeAskedForRunsAndIsNamed) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) {
        GTEST_SKIP() << "split pinning needs two CPUs";
    }
    BenchRun r = bench("--smoke --only floor --pin same,split --pin none hello");
    EXPECT_EQ(r.exit_code(), 0) << r.out;
    for (const char *pin : {"same", "split", "none"}) {
        EXPECT_NE(r.out.find(std::string(" round=1 pin=") + pin + " "), std::string::npos)
            << pin << ":\n"
            << r.out;
    }
    BenchRun bad = bench("--smoke --only floor --pin sideways hello");
    EXPECT_NE(bad.exit_code(), 0);
    EXPECT_NE(bad.out.find("--pin takes same, split or none"), std::string::npos) << bad.out;
}
