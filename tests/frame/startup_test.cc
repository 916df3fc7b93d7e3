#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/child.h"
#include "common/leak_check.h"
#include "common/root.h"
#include "frame/queue_api.h"

namespace {

// Runs the built backend with args, descriptor 0 on a socketpair whose other
// end is closed at once, and captures its stderr.
testutil::ChildResult run_memq(std::vector<std::string> args) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        return {};
    }
    // With the peer's end closed the backend, once it serves, sees the
    // channel end at its first read instead of waiting for requests.
    close(sv[0]);
    auto r = testutil::run_in_child([&] {
        dup2(sv[1], 0);
        close(sv[1]);
        // The backend's leak check is not this test's subject.
        testutil::LeakCheckOff for_the_backend;
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(MEMQ_BINARY));
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(MEMQ_BINARY, argv.data());
        return 127;
    });
    close(sv[1]);
    return r;
}

TEST(Startup, AnyOptionIsFatalAfterGetoptsDiagnostic) {
    for (const char *opt : {"-v", "-x", "--verbose"}) {
        auto r = run_memq({opt});
        EXPECT_EQ(r.exit_code(), 1) << opt;
        std::string fatal = testutil::log_prefix(r.pid, "memq") + "fatal: bad option\n";
        ASSERT_GT(r.err.size(), fatal.size()) << opt;
        EXPECT_EQ(r.err.substr(r.err.size() - fatal.size()), fatal) << opt;
        EXPECT_EQ(r.err.rfind(std::string(MEMQ_BINARY) + ": ", 0), 0u)
            << "getopt's diagnostic comes first: " << r.err;
    }
}

TEST(Startup, ParsingStopsAtFirstOperandOrDoubleDash) {
    for (auto args : {std::vector<std::string>{"extra", "-x"}, {"--"}, {"--", "-v"}}) {
        auto r = run_memq(args);
        EXPECT_EQ(r.err.find("bad option"), std::string::npos) << args[0] << ": " << r.err;
    }
}

TEST(Startup, ServesUntilThePeerClosesAndExitsNormally) {
    struct stat st;
    if (!testutil::have_root() || getpwnam("_mavidq") == nullptr ||
        stat("/var/spool/mavid", &st) != 0) {
        GTEST_SKIP() << "needs root, the account _mavidq and /var/spool/mavid";
    }
    for (auto args : {std::vector<std::string>{}, {"extra", "-x"}}) {
        auto r = run_memq(args);
        EXPECT_EQ(r.exit_code(), 0) << r.err;
        EXPECT_EQ(r.err, testutil::log_prefix(r.pid, "memq") + "warn: queue-api: pipe closed\n");
    }
}

int finish_a() {
    return 7;
}
int finish_b() {
    return 8;
}
int remove_a(uint32_t) {
    return 1;
}

TEST(Startup, SettersReplaceAndNullEmpties) {
    queue_api_set_finish(finish_a);
    queue_api_set_finish(finish_b);
    EXPECT_EQ(queue_handlers.finish, &finish_b);
    queue_api_set_finish(nullptr);
    EXPECT_EQ(queue_handlers.finish, nullptr);

    queue_api_set_message_remove(remove_a);
    EXPECT_EQ(queue_handlers.message_remove, &remove_a);
    queue_api_set_message_remove(nullptr);
    EXPECT_EQ(queue_handlers.message_remove, nullptr);
}

}  // namespace
