#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/child.h"
#include "common/root.h"
#include "common/temp_dir.h"
#include "frame/loop_harness.h"
#include "frame/queue_api.h"
#include "frame/queue_proto.h"
#include "log/log.h"

namespace {

using testutil::log_prefix;

// The value of one "Name:\t..." line of /proc/PID/status.
std::string status_field(pid_t pid, const std::string &name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":\t", 0) == 0) {
            return line.substr(name.size() + 2);
        }
    }
    return "";
}

TEST(Confine, ServesFromTheRootDirectoryAsTheAccount) {
    passwd *pw = getpwnam("nobody");
    if (!testutil::have_root() || pw == nullptr) {
        GTEST_SKIP() << "needs root and the account nobody";
    }
    const std::string uid = std::to_string(pw->pw_uid);
    const std::string gid = std::to_string(pw->pw_gid);
    testutil::TempDir root("memq-confine");
    ASSERT_FALSE(root.path().empty());

    looptest::LoopRun child(
        [&] {
            queue_api_set_root_dir(root.path().c_str());
            queue_api_run_as("nobody");
        },
        looptest::LoopRun::forked);
    // The loop answers only once confinement is complete.
    std::optional<peer::Reply> r = child.request(QUEUE_HELLO, looptest::u32(QUEUE_API_VERSION));
    ASSERT_TRUE(r);

    char link[PATH_MAX] = {};
    std::string proc = "/proc/" + std::to_string(child.pid());
    ASSERT_GT(readlink((proc + "/root").c_str(), link, sizeof link - 1), 0);
    EXPECT_EQ(std::string(link), root.path());
    EXPECT_EQ(status_field(child.pid(), "Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(status_field(child.pid(), "Gid"), gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(status_field(child.pid(), "Groups"), gid + " ");

    std::string line_prefix = child.line_prefix();
    looptest::Exit e = child.wait_exit();
    EXPECT_EQ(e.exit_code(), 0);
    EXPECT_EQ(e.err, line_prefix + "warn: queue-api: pipe closed\n");
}

TEST(Confine, RootDirectoryWithoutAccountKeepsTheIds) {
    if (!testutil::have_root()) {
        GTEST_SKIP() << "needs root to change the root directory";
    }
    testutil::TempDir root("memq-confine");
    ASSERT_FALSE(root.path().empty());
    const std::string uids = status_field(getpid(), "Uid");
    const std::string groups = status_field(getpid(), "Groups");

    looptest::LoopRun child([&] { queue_api_set_root_dir(root.path().c_str()); },
                            looptest::LoopRun::forked);
    ASSERT_TRUE(child.request(QUEUE_HELLO, looptest::u32(QUEUE_API_VERSION)));
    char link[PATH_MAX] = {};
    ASSERT_GT(
        readlink(("/proc/" + std::to_string(child.pid()) + "/root").c_str(), link, sizeof link - 1),
        0);
    EXPECT_EQ(std::string(link), root.path());
    EXPECT_EQ(status_field(child.pid(), "Uid"), uids);
    EXPECT_EQ(status_field(child.pid(), "Groups"), groups);
    EXPECT_EQ(child.wait_exit().exit_code(), 0);
}

struct FailedStart {
    const char *name;
    const char *root_dir;
    const char *account;
    bool drop_to_nobody_first;
    std::string line_start;  // the cause line up to the error text, or all of it
};

// Each failure ends the process before descriptor 0 is read: a request
// written beforehand is still waiting in the socket afterwards.
TEST(Confine, FailedStepEndsTheProcessBeforeAnythingIsRead) {
    const std::vector<FailedStart> cases = {
        {"unknown account", nullptr, "memq-no-such-account", false,
         "queue-api: getpwnam: \"memq-no-such-account\": no such account\n"},
        {"unknown account, lookup before chroot", "/nonexistent-memq-root", "memq-no-such-account",
         false, "queue-api: getpwnam: \"memq-no-such-account\": no such account\n"},
        {"missing root directory", "/nonexistent-memq-root", nullptr, false, "queue-api: chroot: "},
        {"ids that cannot be changed", nullptr, "root", true,
         "queue-api: cannot drop privileges: "},
    };
    auto fds_before = testutil::open_fds();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        looptest::Bytes hello = wire::frame(QUEUE_HELLO, looptest::u32(QUEUE_API_VERSION));
        ASSERT_TRUE(looptest::send_bytes(sv[0], hello));

        auto r = testutil::run_in_child([&] {
            dup2(sv[1], 0);
            close(sv[0]);
            log_open(1);
            if (c.drop_to_nobody_first && geteuid() == 0 &&
                (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                 setresuid(65534, 65534, 65534) != 0)) {
                return 10;
            }
            if (c.root_dir != nullptr) {
                queue_api_set_root_dir(c.root_dir);
            } else {
                queue_api_clear_root_dir();
            }
            queue_api_run_as(c.account);
            queue_api_run();
            return 11;
        });
        EXPECT_EQ(r.exit_code(), 1);
        std::string p = log_prefix(r.pid);
        std::string fatal = p + "fatal: queue-api: exiting\n";
        EXPECT_EQ(r.err.rfind(p + c.line_start, 0), 0u) << r.err;
        ASSERT_GE(r.err.size(), fatal.size());
        EXPECT_EQ(r.err.substr(r.err.size() - fatal.size()), fatal);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;

        looptest::Bytes waiting(hello.size() + 1);
        EXPECT_EQ(recv(sv[1], waiting.data(), waiting.size(), MSG_DONTWAIT),
                  static_cast<ssize_t>(hello.size()));
        waiting.resize(hello.size());
        EXPECT_EQ(waiting, hello);
        close(sv[0]);
        close(sv[1]);
    }
    EXPECT_EQ(testutil::open_fds(), fds_before);
}

TEST(Confine, MissingRootDirectoryNamesTheCause) {
    if (!testutil::have_root()) {
        GTEST_SKIP() << "without root, chroot fails for lack of permission instead";
    }
    auto r = testutil::run_in_child([] {
        log_open(1);
        queue_api_set_root_dir("/nonexistent-memq-root");
        queue_api_run_as(nullptr);
        queue_api_run();
        return 11;
    });
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, log_prefix(r.pid) + "queue-api: chroot: " + strerror(ENOENT) + "\n" +
                         log_prefix(r.pid) + "fatal: queue-api: exiting\n");
}

}  // namespace
