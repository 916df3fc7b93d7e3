// The built backend where its surroundings turn against it: a descriptor
// table that runs short, a sandbox without network sockets, a standard
// error that breaks. None of them may end the service, since the queue
// would go with it.
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/backend.h"
#include "common/bytes.h"
#include "common/child.h"
#include "frame/queue_proto.h"
#include "peer/backend.h"
#include "peer/requests.h"
#include "peer/wire.h"
#include "support/unique.h"

namespace {

using testutil::bytes_of;
using wire::Bytes;

size_t count_of(const std::vector<std::string> &lines, const std::string &line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// The real user or group id of process pid ("Uid" or "Gid"), or -1.
long proc_id(pid_t pid, const std::string &field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// Sets the soft descriptor limit of process pid, keeping the hard one. It
// is set from a child that takes the process's own ids, which needs no
// privilege that a container may have taken from root.
bool limit_descriptors(pid_t pid, rlim_t soft) {
    long uid = proc_id(pid, "Uid");
    long gid = proc_id(pid, "Gid");
    if (uid < 0 || gid < 0) {
        return false;
    }
    testutil::ChildResult r = testutil::run_in_child([&] {
        gid_t g = static_cast<gid_t>(gid);
        uid_t u = static_cast<uid_t>(uid);
        if (setgroups(1, &g) != 0 || setresgid(g, g, g) != 0 || setresuid(u, u, u) != 0) {
            return 10;
        }
        rlimit now;
        if (prlimit(pid, RLIMIT_NOFILE, nullptr, &now) != 0) {
            return 11;
        }
        rlimit lim{soft, now.rlim_max};
        return prlimit(pid, RLIMIT_NOFILE, &lim, nullptr) == 0 ? 0 : 12;
    });
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    return r.exit_code() == 0;
}

class Surroundings : public testutil::BackendTest {
  protected:
    // Ends the backend and checks that it ended as it should: status 0,
    // its last line the one of a peer that closed.
    static void expect_normal_end(peer::Backend &b) {
        int status = b.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << b.log();
        std::vector<std::string> lines = b.messages(b.log());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "warn: queue-api: pipe closed");
    }
};

// Stores, envelopes and opens need no socket but the one the backend is
// given, so a sandbox that refuses every network socket changes nothing.
TEST_F(Surroundings, ASandboxWithoutNetworkSocketsServesAWholeSession) {
    peer::Backend b;
    ASSERT_TRUE(testutil::start_backend(b, {MEMQ_NO_INET_EXEC}));
    ASSERT_TRUE(peer::hello(b.peer())) << b.log();
    std::ifstream status("/proc/" + std::to_string(b.pid()) + "/status");
    std::string line, seccomp;
    while (std::getline(status, line)) {
        if (line.rfind("Seccomp:", 0) == 0) {
            seccomp = line;
        }
    }
    EXPECT_EQ(seccomp, "Seccomp:\t2") << "the backend runs outside the sandbox";

    const Bytes content = wire::pattern(20000, 7);
    uint32_t msgid = peer::message_new(b.peer());
    ASSERT_NE(msgid, 0u);
    EXPECT_EQ(peer::message_store(b.peer(), msgid, content), 1);
    uint64_t evpid = peer::envelope_new(b.peer(), msgid, bytes_of("to=a@example.org"));
    ASSERT_NE(evpid, 0u);
    EXPECT_EQ(peer::envelope_read(b.peer(), evpid), bytes_of("to=a@example.org"));
    EXPECT_EQ(peer::message_content(b.peer(), msgid), content);
    expect_normal_end(b);
    EXPECT_EQ(b.messages(b.log()), (std::vector<std::string>{"warn: queue-api: pipe closed"}));
}

// Under a limit that leaves the backend three free slots, a flood of
// descriptors that no message claims is shed, oldest first, and everything
// else goes on. Under a limit that leaves none, what needs no descriptor is
// still served, what needs one fails as it would for any other reason, and
// once the limit is raised again all of it works, with nothing lost.
TEST_F(Surroundings, ADescriptorShortageNeverEndsTheService) {
    peer::Backend b;
    ASSERT_TRUE(testutil::start_backend(b));
    ASSERT_TRUE(peer::hello(b.peer())) << b.log();
    const Bytes before = bytes_of("stored before the shortage");
    uint32_t first = peer::message_new(b.peer());
    ASSERT_EQ(peer::message_store(b.peer(), first, before), 1);
    ASSERT_NE(peer::envelope_new(b.peer(), first, bytes_of("e")), 0u);

    int held = b.fd_count();
    ASSERT_GE(held, 3);
    rlimit original;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0) << "the backend's, inherited from here";
    ASSERT_TRUE(limit_descriptors(b.pid(), static_cast<rlim_t>(held) + 3));

    const int strays = 1000;
    const Bytes hello = wire::frame(QUEUE_HELLO, wire::u32(QUEUE_API_VERSION));
    int stray[2];
    ASSERT_EQ(pipe(stray), 0);
    for (int i = 0; i < strays; i++) {
        ASSERT_TRUE(wire::send_all(b.peer().socket(), hello, std::array{stray[0]}));
        peer::Reply r;
        ASSERT_TRUE(b.peer().receive(r)) << "greeting " << i << "\n" << b.log();
    }
    close(stray[0]);
    close(stray[1]);
    // Those still waiting are claimed by greetings that ask for a
    // descriptor and bring none; the backend closes them unused.
    int waiting = b.fd_count() - held;
    ASSERT_GE(waiting, 0);
    ASSERT_LE(waiting, 2);
    const Bytes claiming = wire::frame(QUEUE_HELLO, wire::u32(QUEUE_API_VERSION), wire::FLAG_FD);
    for (int i = 0; i < waiting; i++) {
        ASSERT_TRUE(wire::send_all(b.peer().socket(), claiming));
        peer::Reply r;
        ASSERT_TRUE(b.peer().receive(r));
    }
    EXPECT_EQ(b.fd_count(), held);

    std::vector<std::pair<uint32_t, Bytes>> kept;
    for (int i = 0; i < 20; i++) {
        Bytes content = wire::pattern(static_cast<size_t>(1000 * i), static_cast<uint32_t>(i));
        uint32_t msgid = peer::message_new(b.peer());
        ASSERT_NE(msgid, 0u);
        ASSERT_EQ(peer::message_store(b.peer(), msgid, content), 1) << b.new_log();
        ASSERT_NE(peer::envelope_new(b.peer(), msgid, bytes_of("e")), 0u);
        EXPECT_EQ(peer::message_content(b.peer(), msgid), content);
        kept.emplace_back(msgid, std::move(content));
    }
    std::vector<std::string> lines = b.messages(b.new_log());
    EXPECT_EQ(count_of(lines, "warn: queue-proc: unclaimed descriptor closed"),
              static_cast<size_t>(strays - waiting));
    EXPECT_EQ(lines.size(), static_cast<size_t>(strays - waiting)) << "no other line";

    // Not a single slot left.
    ASSERT_TRUE(limit_descriptors(b.pid(), static_cast<rlim_t>(held)));
    uint32_t during = peer::message_new(b.peer());
    ASSERT_NE(during, 0u);
    uint64_t evpid = peer::envelope_new(b.peer(), during, bytes_of("kept through it"));
    ASSERT_NE(evpid, 0u);
    EXPECT_EQ(peer::envelope_read(b.peer(), evpid), bytes_of("kept through it"));
    EXPECT_EQ(peer::message_store(b.peer(), during, bytes_of("x")), -1);
    EXPECT_EQ(peer::message_store(b.peer(), during, bytes_of("y")), -1);
    EXPECT_EQ(peer::message_content(b.peer(), first), std::nullopt);
    lines = b.messages(b.new_log());
    EXPECT_EQ(
        count_of(lines, "warn: queue-api: descriptor table full: serving without descriptors"), 1u)
        << b.log();
    EXPECT_EQ(count_of(lines, "warn: queue-api: passed descriptor dropped: descriptor table full"),
              2u);
    EXPECT_EQ(count_of(lines, std::string("warn: queue-api: mkstemp: ") + strerror(EMFILE)), 2u);

    // The shortage is over.
    ASSERT_TRUE(limit_descriptors(b.pid(), original.rlim_cur));
    EXPECT_EQ(peer::message_store(b.peer(), during, bytes_of("after")), 1);
    EXPECT_EQ(peer::message_content(b.peer(), during), bytes_of("after"));
    EXPECT_EQ(peer::message_content(b.peer(), first), before);
    for (const auto &[msgid, content] : kept) {
        EXPECT_EQ(peer::message_content(b.peer(), msgid), content);
    }
    EXPECT_EQ(b.fd_count(), held);
    expect_normal_end(b);
}

// The mail server owns the backend's standard error and may break it: a
// logger that died, a log file at its size limit. The lines are lost; the
// queue is not, and the backend ends normally when the peer leaves.
TEST_F(Surroundings, ABrokenStandardErrorLosesLinesAndNothingElse) {
    struct Case {
        const char *what;
        std::vector<std::string> wrapper;
        bool pipe;
    };
    const std::string limited = "--fsize=100";
    const Case cases[] = {
        {"a pipe whose reader has gone", {}, true},
        {"a file at its size limit", {"/usr/bin/prlimit", limited}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.wrapper.empty() && access(c.wrapper[0].c_str(), X_OK) != 0) {
            GTEST_SKIP() << c.wrapper[0] << " is not here";
        }
        unique_fd err;
        if (c.pipe) {
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            close(p[0]);
            err.reset(p[1]);
        } else {
            err.reset(memfd_create("memq-stderr", 0));
        }
        ASSERT_TRUE(err.valid());
        peer::Backend b;
        peer::BackendOptions options;
        options.wrapper = c.wrapper;
        options.err_fd = err.get();
        // As for every backend the tests start: an instrumented one cannot
        // run its leak check under its changed root.
        options.leak_check = false;
        ASSERT_TRUE(b.start(MEMQ_BINARY, options));
        peer::Peer &p = b.peer();

        const Bytes content = bytes_of("short enough for the limit");
        std::optional<peer::Reply> r = p.call(QUEUE_MESSAGE_NEW, {});
        ASSERT_TRUE(r && r->result() == 1);
        uint32_t msgid = r->u32_at(4).value_or(0);
        unique_fd fd(peer::content_fd(content));
        r = p.call(QUEUE_MESSAGE_STORE, wire::u32(msgid), fd.get());
        ASSERT_TRUE(r) << "the backend ended at the store";
        EXPECT_EQ(r->result(), 1);
        // Every one of these logs a line.
        for (int i = 0; i < 50; i++) {
            r = p.call(QUEUE_MESSAGE_OPEN, wire::u32(msgid ^ 1));
            ASSERT_TRUE(r) << "the backend ended at line " << i;
            EXPECT_FALSE(r->fd.valid());
        }
        r = p.call(QUEUE_MESSAGE_OPEN, wire::u32(msgid));
        ASSERT_TRUE(r && r->fd.valid());
        Bytes back;
        EXPECT_TRUE(peer::read_to_end(r->fd.get(), back));
        EXPECT_EQ(back, content);

        int status = b.stop();
        EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
        if (!c.pipe) {
            struct stat st;
            ASSERT_EQ(fstat(err.get(), &st), 0);
            EXPECT_EQ(st.st_size, 100) << "the log stops at the limit";
        }
    }
}

}  // namespace
