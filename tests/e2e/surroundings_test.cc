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
#include "common/leak_check.h"
#include "frame/queue_proto.h"
#include "peer/model.h"
#include "peer/peer.h"
#include "peer/wire.h"
#include "support/unique.h"

namespace {

using bytes = std::vector<uint8_t>;
using testutil::bytes_of;

// The lines of a log written by process pid of memq, without their prefix;
// a line of another shape is kept whole, so that it shows.
std::vector<std::string> messages_of(const std::string &log, pid_t pid) {
    const std::string lead = testutil::log_prefix(pid, "memq");
    std::vector<std::string> out;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        end = end == std::string::npos ? log.size() : end;
        std::string line = log.substr(at, end - at);
        out.push_back(line.rfind(lead, 0) == 0 ? line.substr(lead.size()) : line);
        at = end + 1;
    }
    return out;
}

size_t count_of(const std::vector<std::string> &lines, const std::string &line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// One request and its reply through the backend's peer.
peer::Reply call(testutil::Backend &b, uint32_t type, const bytes &payload, int fd = -1) {
    std::optional<peer::Reply> r = b.peer().call(type, payload, fd);
    EXPECT_TRUE(r.has_value()) << "no reply to type " << type << "\n" << b.log();
    return r ? std::move(*r) : peer::Reply{};
}

uint32_t message_new(testutil::Backend &b) {
    peer::Reply r = call(b, QUEUE_MESSAGE_NEW, {});
    return r.result() == 1 ? r.u32_at(4).value_or(0) : 0;
}

int store(testutil::Backend &b, uint32_t msgid, const bytes &content) {
    unique_fd fd(peer::content_fd(content));
    return call(b, QUEUE_MESSAGE_STORE, peer::payload_u32(msgid), fd.get()).result().value_or(99);
}

// The content an open hands back, or nullopt when it brought no descriptor.
std::optional<bytes> open_content(testutil::Backend &b, uint32_t msgid) {
    peer::Reply r = call(b, QUEUE_MESSAGE_OPEN, peer::payload_u32(msgid));
    if (!r.fd.valid()) {
        return std::nullopt;
    }
    bytes out;
    EXPECT_TRUE(peer::read_to_end(r.fd.get(), out));
    return out;
}

uint64_t envelope_new(testutil::Backend &b, uint32_t msgid, const bytes &data) {
    peer::Reply r = call(b, QUEUE_ENVELOPE_NEW, peer::payload_u32_bytes(msgid, data));
    return r.result() == 1 ? r.u64_at(4).value_or(0) : 0;
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

class Surroundings : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = testutil::prepare_defaults();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        fds_before_ = testutil::open_fds();
    }
    void TearDown() override {
        if (!IsSkipped()) {
            EXPECT_EQ(testutil::open_fds(), fds_before_) << "a descriptor leaked in the peer";
        }
    }

    // Ends the backend and checks that it ended as it should: status 0,
    // its last line the one of a peer that closed.
    static void expect_normal_end(testutil::Backend &b) {
        int status = b.finish();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << b.log();
        std::vector<std::string> lines = messages_of(b.log(), b.pid());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "warn: queue-api: pipe closed");
    }

  private:
    std::vector<int> fds_before_;
};

// Stores, envelopes and opens need no socket but the one the backend is
// given, so a sandbox that refuses every network socket changes nothing.
TEST_F(Surroundings, ASandboxWithoutNetworkSocketsServesAWholeSession) {
    testutil::Backend b;
    ASSERT_TRUE(b.start({MEMQ_NO_INET_EXEC}));
    ASSERT_TRUE(b.peer().call(QUEUE_HELLO, peer::payload_u32(QUEUE_API_VERSION))) << b.log();
    std::ifstream status("/proc/" + std::to_string(b.pid()) + "/status");
    std::string line, seccomp;
    while (std::getline(status, line)) {
        if (line.rfind("Seccomp:", 0) == 0) {
            seccomp = line;
        }
    }
    EXPECT_EQ(seccomp, "Seccomp:\t2") << "the backend runs outside the sandbox";

    const bytes content = testutil::random_bytes(20000, 7);
    uint32_t msgid = message_new(b);
    ASSERT_NE(msgid, 0u);
    EXPECT_EQ(store(b, msgid, content), 1);
    uint64_t evpid = envelope_new(b, msgid, bytes_of("to=a@example.org"));
    ASSERT_NE(evpid, 0u);
    EXPECT_EQ(call(b, QUEUE_ENVELOPE_READ, peer::payload_u64(evpid)).payload,
              bytes_of("to=a@example.org"));
    EXPECT_EQ(open_content(b, msgid), content);
    expect_normal_end(b);
    EXPECT_EQ(messages_of(b.log(), b.pid()),
              (std::vector<std::string>{"warn: queue-api: pipe closed"}));
}

// Under a limit that leaves the backend three free slots, a flood of
// descriptors that no message claims is shed, oldest first, and everything
// else goes on. Under a limit that leaves none, what needs no descriptor is
// still served, what needs one fails as it would for any other reason, and
// once the limit is raised again all of it works, with nothing lost.
TEST_F(Surroundings, ADescriptorShortageNeverEndsTheService) {
    testutil::Backend b;
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.peer().call(QUEUE_HELLO, peer::payload_u32(QUEUE_API_VERSION))) << b.log();
    const bytes before = bytes_of("stored before the shortage");
    uint32_t first = message_new(b);
    ASSERT_EQ(store(b, first, before), 1);
    ASSERT_NE(envelope_new(b, first, bytes_of("e")), 0u);

    int held = b.fd_count();
    ASSERT_GE(held, 3);
    rlimit original;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0) << "the backend's, inherited from here";
    ASSERT_TRUE(limit_descriptors(b.pid(), static_cast<rlim_t>(held) + 3));

    const int strays = 1000;
    const bytes hello = wire::frame(QUEUE_HELLO, peer::payload_u32(QUEUE_API_VERSION));
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
    const bytes claiming =
        wire::frame(QUEUE_HELLO, peer::payload_u32(QUEUE_API_VERSION), wire::FLAG_FD);
    for (int i = 0; i < waiting; i++) {
        ASSERT_TRUE(wire::send_all(b.peer().socket(), claiming));
        peer::Reply r;
        ASSERT_TRUE(b.peer().receive(r));
    }
    EXPECT_EQ(b.fd_count(), held);

    std::vector<std::pair<uint32_t, bytes>> kept;
    for (int i = 0; i < 20; i++) {
        bytes content =
            testutil::random_bytes(static_cast<size_t>(1000 * i), static_cast<uint32_t>(i));
        uint32_t msgid = message_new(b);
        ASSERT_NE(msgid, 0u);
        ASSERT_EQ(store(b, msgid, content), 1) << b.new_log();
        ASSERT_NE(envelope_new(b, msgid, bytes_of("e")), 0u);
        EXPECT_EQ(open_content(b, msgid), content);
        kept.emplace_back(msgid, std::move(content));
    }
    std::vector<std::string> lines = messages_of(b.new_log(), b.pid());
    EXPECT_EQ(count_of(lines, "warn: queue-proc: unclaimed descriptor closed"),
              static_cast<size_t>(strays - waiting));
    EXPECT_EQ(lines.size(), static_cast<size_t>(strays - waiting)) << "no other line";

    // Not a single slot left.
    ASSERT_TRUE(limit_descriptors(b.pid(), static_cast<rlim_t>(held)));
    uint32_t during = message_new(b);
    ASSERT_NE(during, 0u);
    uint64_t evpid = envelope_new(b, during, bytes_of("kept through it"));
    ASSERT_NE(evpid, 0u);
    EXPECT_EQ(call(b, QUEUE_ENVELOPE_READ, peer::payload_u64(evpid)).payload,
              bytes_of("kept through it"));
    EXPECT_EQ(store(b, during, bytes_of("x")), -1);
    EXPECT_EQ(store(b, during, bytes_of("y")), -1);
    EXPECT_EQ(open_content(b, first), std::nullopt);
    lines = messages_of(b.new_log(), b.pid());
    EXPECT_EQ(
        count_of(lines, "warn: queue-api: descriptor table full: serving without descriptors"), 1u)
        << b.log();
    EXPECT_EQ(count_of(lines, "warn: queue-api: passed descriptor dropped: descriptor table full"),
              2u);
    EXPECT_EQ(count_of(lines, std::string("warn: queue-api: mkstemp: ") + strerror(EMFILE)), 2u);

    // The shortage is over.
    ASSERT_TRUE(limit_descriptors(b.pid(), original.rlim_cur));
    EXPECT_EQ(store(b, during, bytes_of("after")), 1);
    EXPECT_EQ(open_content(b, during), bytes_of("after"));
    EXPECT_EQ(open_content(b, first), before);
    for (const auto &[msgid, content] : kept) {
        EXPECT_EQ(open_content(b, msgid), content);
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
        peer::Peer p;
        std::string program = MEMQ_BINARY;
        std::vector<std::string> args;
        if (!c.wrapper.empty()) {
            args.assign(c.wrapper.begin() + 1, c.wrapper.end());
            args.push_back(program);
            program = c.wrapper[0];
        }
        {
            testutil::LeakCheckOff for_the_backend;
            ASSERT_TRUE(p.start(program, args, err.get()));
        }

        const bytes content = bytes_of("short enough for the limit");
        std::optional<peer::Reply> r = p.call(QUEUE_MESSAGE_NEW, {});
        ASSERT_TRUE(r && r->result() == 1);
        uint32_t msgid = r->u32_at(4).value_or(0);
        unique_fd fd(peer::content_fd(content));
        r = p.call(QUEUE_MESSAGE_STORE, peer::payload_u32(msgid), fd.get());
        ASSERT_TRUE(r) << "the backend ended at the store";
        EXPECT_EQ(r->result(), 1);
        // Every one of these logs a line.
        for (int i = 0; i < 50; i++) {
            r = p.call(QUEUE_MESSAGE_OPEN, peer::payload_u32(msgid ^ 1));
            ASSERT_TRUE(r) << "the backend ended at line " << i;
            EXPECT_FALSE(r->fd.valid());
        }
        r = p.call(QUEUE_MESSAGE_OPEN, peer::payload_u32(msgid));
        ASSERT_TRUE(r && r->fd.valid());
        bytes back;
        EXPECT_TRUE(peer::read_to_end(r->fd.get(), back));
        EXPECT_EQ(back, content);

        int status = p.finish();
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
