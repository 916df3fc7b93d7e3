// The loop at the socket's edge: peers that leave early, a non-blocking
// descriptor 0, sends that cannot go at once, descriptors nobody claims.
// Each case runs the real loop in a child over a socketpair.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/child.h"
#include "common/socket_fault.h"
#include "frame/loop_harness.h"
#include "frame/queue_api.h"
#include "frame/queue_proto.h"

namespace looptest {
namespace {

// The envelope every read hands back, and what the open handler serves.
const Bytes &envelope() {
    static const Bytes e = pattern(QUEUE_ENVELOPE_BUF, 17);
    return e;
}

int full_envelope_read(uint64_t, std::span<uint8_t> buf) {
    memcpy(buf.data(), envelope().data(), envelope().size());
    return static_cast<int>(envelope().size());
}

std::string content_of(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int recording_store(uint32_t msgid, const char *path) {
    record("store %u %s", msgid, content_of(path).c_str());
    return 1;
}

int open_envelope_copy(uint32_t) {
    int fd = memfd_create("content", 0);
    if (write(fd, envelope().data(), envelope().size()) !=
        static_cast<ssize_t>(envelope().size())) {
        _exit(5);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// A storage side that removes the copy's name itself.
int store_and_unlink(uint32_t, const char *path) {
    return unlink(path) == 0 ? 1 : 0;
}

int snapshot_fds() {
    record_open_fds();
    return 1;
}

int report_send_faults() {
    return testutil::send_faults_injected();
}

// The signal dispositions as the kernel shows them.
std::string dispositions() {
    std::ifstream status("/proc/self/status");
    std::string line, out;
    while (std::getline(status, line)) {
        if (line.rfind("SigIgn:", 0) == 0 || line.rfind("SigCgt:", 0) == 0) {
            out += line + " ";
        }
    }
    return out;
}

int record_dispositions() {
    record("%s", dispositions().c_str());
    return 1;
}

// The reply to each request must come, or the test fails instead of
// waiting for ever.
void bound_waits(int sock) {
    timeval tv{10, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void default_sigpipe() {
    signal(SIGPIPE, SIG_DFL);
}

class Boundary : public ::testing::Test {
  protected:
    void SetUp() override {
        fds_before_ = testutil::open_fds();
        queue_api_set_finish(nullptr);
        queue_api_set_message_store(recording_store);
        queue_api_set_message_open(open_envelope_copy);
        queue_api_set_envelope_read(full_envelope_read);
    }
    void TearDown() override {
        EXPECT_EQ(testutil::open_fds(), fds_before_) << "descriptor leaked";
    }

    static void expect_reply(const std::optional<peer::Reply> &r, const Bytes &payload) {
        ASSERT_TRUE(r) << "no reply";
        EXPECT_EQ(r->header.type, QUEUE_REPLY);
        EXPECT_EQ(r->payload, payload);
    }

  private:
    std::vector<int> fds_before_;
};

TEST_F(Boundary, APeerThatLeavesWithRepliesUnreadEndsTheServiceNormally) {
    Bytes hellos;
    for (int i = 0; i < 300; i++) {
        hellos = cat({hellos, wire::frame(QUEUE_HELLO, u32(QUEUE_API_VERSION))});
    }
    for (int run = 0; run < 50; run++) {
        SCOPED_TRACE("run " + std::to_string(run));
        LoopRun child(default_sigpipe, LoopRun::forked);
        ASSERT_TRUE(send_bytes(child.sock(), hellos));
        std::string prefix = child.line_prefix();
        Exit e = child.wait_exit();
        ASSERT_TRUE(WIFEXITED(e.status)) << "killed by signal " << WTERMSIG(e.status);
        EXPECT_EQ(e.exit_code(), 0);
        // Whichever notices first: the reply that cannot go, or the read.
        EXPECT_TRUE(e.err == prefix + "warn: queue-api: pipe closed\n" ||
                    e.err == prefix + "warn: queue-api: imsg_read: " + strerror(ECONNRESET) + "\n")
            << e.err;
    }
}

TEST_F(Boundary, AStoreAnsweredAfterThePeerLeftEndsTheServiceNormally) {
    LoopRun child(default_sigpipe, LoopRun::forked);
    // Made after the child, which must not hold the writing end.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    child.send(QUEUE_MESSAGE_STORE, u32(7), p[0]);
    close(p[0]);
    child.hang_up();
    // The copy ends only now, after the peer has gone: its reply has no one
    // to go to.
    ASSERT_EQ(write(p[1], "late", 4), 4);
    close(p[1]);
    std::string prefix = child.line_prefix();
    Exit e = child.wait_exit();
    ASSERT_TRUE(WIFEXITED(e.status)) << "killed by signal " << WTERMSIG(e.status);
    EXPECT_EQ(e.exit_code(), 0);
    EXPECT_EQ(e.err, prefix + "warn: queue-api: pipe closed\n");
    EXPECT_EQ(child.records(), std::vector<std::string>{"store 7 late"});
}

TEST_F(Boundary, NoSignalDispositionChanges) {
    queue_api_set_finish(record_dispositions);
    LoopRun child(
        [] {
            default_sigpipe();
            record_dispositions();
        },
        LoopRun::forked);
    std::optional<peer::Reply> r = child.request(QUEUE_FINISH, {});
    expect_reply(r, u32(1));
    std::vector<std::string> seen = child.records();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], seen[0]);
    std::string prefix = child.line_prefix();
    Exit e = child.wait_exit();
    EXPECT_EQ(e.err, prefix + "warn: queue-api: pipe closed\n");
}

// Clock ticks of CPU the child has used, from /proc/PID/stat.
long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    if (end == std::string::npos) {
        return -1;
    }
    std::vector<std::string> fields;
    size_t pos = end + 2;
    while (pos < text.size()) {
        size_t next = text.find(' ', pos);
        fields.push_back(text.substr(pos, next - pos));
        pos = next == std::string::npos ? text.size() : next + 1;
    }
    // utime and stime are the 14th and 15th fields; the list starts at the 3rd.
    return fields.size() > 12 ? std::stol(fields[11]) + std::stol(fields[12]) : -1;
}

TEST_F(Boundary, ANonBlockingDescriptorIsServedWithoutSpinningOrStrandedReplies) {
    LoopRun child(
        [] {
            fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
            int small = 4096;
            setsockopt(0, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        },
        LoopRun::forked);
    bound_waits(child.sock());

    // Idle: an idle backend sleeps.
    usleep(500 * 1000);
    long ticks = cpu_ticks(child.pid());
    ASSERT_GE(ticks, 0);
    EXPECT_LT(ticks * 1000 / sysconf(_SC_CLK_TCK), 100) << "ms of CPU while idle";

    // 200 reads at once, more than the socket can buffer replies for, and
    // a reader that pauses before it reads any.
    Bytes reads;
    for (int i = 0; i < 200; i++) {
        reads = cat({reads, wire::frame(QUEUE_ENVELOPE_READ, u64(i))});
    }
    ASSERT_TRUE(send_bytes(child.sock(), reads));
    usleep(100 * 1000);
    for (int i = 0; i < 200; i++) {
        SCOPED_TRACE("reply " + std::to_string(i));
        std::optional<peer::Reply> r = recv_reply(child.sock());
        ASSERT_TRUE(r);
        ASSERT_EQ(r->payload, envelope());
    }

    // Content comes in and goes out as on a blocking socket.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "content", 7), 7);
    close(p[1]);
    expect_reply(child.request(QUEUE_MESSAGE_STORE, u32(3), p[0]), u32(1));
    close(p[0]);
    EXPECT_EQ(child.records(), std::vector<std::string>{"store 3 content"});
    std::optional<peer::Reply> opened = child.request(QUEUE_MESSAGE_OPEN, u32(3));
    ASSERT_NE(opened->fd.get(), -1);
    std::string got = testutil::read_all(opened->fd.get());
    opened->fd.reset();
    EXPECT_EQ(got, std::string(envelope().begin(), envelope().end()));

    std::string prefix = child.line_prefix();
    Exit e = child.wait_exit();
    EXPECT_EQ(e.exit_code(), 0);
    EXPECT_EQ(e.err, prefix + "warn: queue-api: pipe closed\n");
}

TEST_F(Boundary, ASendThatCannotGoNowIsTriedAgainBeforeTheNextRequest) {
    queue_api_set_finish(report_send_faults);
    for (int err : {EAGAIN, ENOBUFS, ENOMEM}) {
        SCOPED_TRACE(strerror(err));
        // Armed in the child only: the test's own sends must pass.
        LoopRun child([err] { testutil::send_fault_arm(err, 3); });
        bound_waits(child.sock());
        // The peer waits for this reply before it sends anything more.
        expect_reply(child.request(QUEUE_HELLO, u32(QUEUE_API_VERSION)), {});
        expect_reply(child.request(QUEUE_FINISH, {}), u32(3));
        std::string prefix = child.line_prefix();
        Exit e = child.wait_exit();
        EXPECT_EQ(e.err, prefix + "warn: queue-api: pipe closed\n");
    }
}

// The read end of a pipe that holds text and whose writer has gone.
int content_pipe(const std::string &text) {
    int p[2];
    if (pipe(p) != 0) {
        return -1;
    }
    if (write(p[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        close(p[0]);
        p[0] = -1;
    }
    close(p[1]);
    return p[0];
}

// Refusals the kernel gives for a moment, or for one descriptor, must not
// end the service: the whole queue would go with it. A receive short of
// memory or buffers is tried again, told once for the spell; an open whose
// descriptor cannot be passed is answered as the failed open it is.
TEST_F(Boundary, TransientRefusalsAreWaitedOutAndTheServiceGoesOn) {
    for (int err : {ENOMEM, ENOBUFS}) {
        SCOPED_TRACE(strerror(err));
        LoopRun child([err] {
            testutil::recv_fault_arm(err, 3);
            testutil::send_fd_fault_arm(ETOOMANYREFS, 1);
        });
        bound_waits(child.sock());
        int first = content_pipe("first");
        expect_reply(child.request(QUEUE_MESSAGE_STORE, u32(1), first), u32(1));
        close(first);

        std::optional<peer::Reply> refused = child.request(QUEUE_MESSAGE_OPEN, u32(1));
        expect_reply(refused, {});
        EXPECT_EQ(refused->fd.get(), -1);
        EXPECT_EQ(refused->header.flags, 0) << "a reply that brings no descriptor says so";
        std::optional<peer::Reply> opened = child.request(QUEUE_MESSAGE_OPEN, u32(1));
        expect_reply(opened, {});
        ASSERT_NE(opened->fd.get(), -1);
        EXPECT_EQ(testutil::read_all(opened->fd.get()),
                  std::string(envelope().begin(), envelope().end()));
        opened->fd.reset();

        int second = content_pipe("second");
        expect_reply(child.request(QUEUE_MESSAGE_STORE, u32(2), second), u32(1));
        close(second);
        EXPECT_EQ(child.records(), (std::vector<std::string>{"store 1 first", "store 2 second"}));

        std::string prefix = child.line_prefix();
        Exit e = child.wait_exit();
        EXPECT_EQ(e.exit_code(), 0);
        EXPECT_EQ(e.err, prefix + "warn: queue-api: imsg_read: retrying: " + strerror(err) + "\n" +
                             prefix +
                             "warn: queue-api: descriptor not passed: " + strerror(ETOOMANYREFS) +
                             "\n" + prefix + "warn: queue-api: pipe closed\n");
    }
}

// A pipe's read end to send along; every arrival is a new descriptor.
struct SpareFd {
    int fds[2] = {-1, -1};
    SpareFd() { EXPECT_EQ(pipe(fds), 0); }
    ~SpareFd() {
        close(fds[0]);
        close(fds[1]);
    }
    int get() const { return fds[0]; }
};

size_t count_fds(const std::string &record_line) {
    size_t n = 0;
    for (size_t pos = record_line.find(' '); pos != std::string::npos;
         pos = record_line.find(' ', pos + 1)) {
        n++;
    }
    return n;
}

TEST_F(Boundary, UnclaimedDescriptorsBeyondSixteenAreClosedOldestFirst) {
    queue_api_set_finish(snapshot_fds);
    // The loop serves in this process, whose descriptors the snapshots
    // count too: the peer's are all open before the first.
    SpareFd spare;
    LoopRun child;
    bound_waits(child.sock());
    expect_reply(child.request(QUEUE_FINISH, {}), u32(1));
    std::vector<std::string> start = child.records();
    ASSERT_EQ(start.size(), 1u);

    // Every byte of each greeting comes in a send of its own with a
    // descriptor that no message claims.
    const Bytes hello = wire::frame(QUEUE_HELLO, u32(QUEUE_API_VERSION));
    const int greetings = 100000 / static_cast<int>(hello.size());
    for (int i = 0; i < greetings; i++) {
        for (uint8_t byte : hello) {
            ASSERT_TRUE(send_bytes(child.sock(), Bytes{byte}, spare.get()));
        }
        std::optional<peer::Reply> r = recv_reply(child.sock());
        ASSERT_TRUE(r) << "greeting " << i;
    }

    expect_reply(child.request(QUEUE_FINISH, {}), u32(1));
    std::vector<std::string> end = child.records();
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(count_fds(end[0]), count_fds(start[0]) + 16) << start[0] << " / " << end[0];

    // One line per descriptor closed: far more than a pipe holds, which is
    // why the loop's stderr is a file.
    std::string prefix = child.line_prefix();
    Exit e = child.wait_exit();
    EXPECT_EQ(e.exit_code(), 0);
    const std::string closed = prefix + "warn: queue-proc: unclaimed descriptor closed\n";
    size_t lines = 0;
    for (size_t pos = 0; (pos = e.err.find(closed, pos)) != std::string::npos;
         pos += closed.size()) {
        lines++;
    }
    EXPECT_EQ(lines, static_cast<size_t>(greetings) * hello.size() - 16);
    EXPECT_EQ(e.err.size(),
              lines * closed.size() + (prefix + "warn: queue-api: pipe closed\n").size());
}

// Descriptors may come ahead of the stores that claim them, with the first
// bytes of the batch; within the bound they pair by order, and past it the
// oldest goes.
TEST_F(Boundary, DescriptorsSentAheadPairWithTheirStoresInOrder) {
    for (int ahead : {16, 17}) {
        SCOPED_TRACE(std::to_string(ahead) + " descriptors ahead");
        std::vector<int> contents;
        for (int i = 0; i < ahead; i++) {
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            std::string text = "content-" + std::to_string(i);
            ASSERT_EQ(write(p[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
            close(p[1]);
            contents.push_back(p[0]);
        }
        Bytes batch;
        for (int i = 0; i < 16; i++) {
            batch = cat({batch, wire::frame(QUEUE_MESSAGE_STORE, u32(i), wire::FLAG_FD)});
        }
        LoopRun child;
        bound_waits(child.sock());
        for (int i = 0; i < ahead; i++) {
            ASSERT_TRUE(send_bytes(child.sock(), Bytes{batch[i]}, contents[i]));
            close(contents[i]);
        }
        ASSERT_TRUE(send_bytes(child.sock(), Bytes(batch.begin() + ahead, batch.end())));
        std::vector<std::string> want;
        for (int i = 0; i < 16; i++) {
            expect_reply(recv_reply(child.sock()), u32(1));
            want.push_back("store " + std::to_string(i) + " content-" +
                           std::to_string(i + ahead - 16));
        }
        EXPECT_EQ(child.records(), want);
        std::string prefix = child.line_prefix();
        std::string lines;
        for (int i = 16; i < ahead; i++) {
            lines += prefix + "warn: queue-proc: unclaimed descriptor closed\n";
        }
        Exit e = child.wait_exit();
        EXPECT_EQ(e.err, lines + prefix + "warn: queue-api: pipe closed\n");
    }
}

TEST_F(Boundary, ACopyWhoseNameCannotBeRemovedIsReported) {
    queue_api_set_message_store(store_and_unlink);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[1]);
    LoopRun child;
    expect_reply(child.request(QUEUE_MESSAGE_STORE, u32(1), p[0]), u32(1));
    close(p[0]);
    std::string prefix = child.line_prefix();
    Exit e = child.wait_exit();
    const std::string start = prefix + "warn: queue-api: unlink: \"/tmp/message.";
    const std::string end = std::string("\": ") + strerror(ENOENT) + "\n";
    ASSERT_EQ(e.err.rfind(start, 0), 0u) << e.err;
    size_t first_end = e.err.find('\n') + 1;
    EXPECT_EQ(first_end, start.size() + strlen("XXXXXXXXXX") + end.size()) << e.err;
    EXPECT_EQ(e.err.substr(first_end), prefix + "warn: queue-api: pipe closed\n");
}

}  // namespace
}  // namespace looptest
