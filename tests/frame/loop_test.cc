#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/child.h"
#include "common/root.h"
#include "common/temp_dir.h"
#include "frame/loop_harness.h"
#include "frame/queue_api.h"
#include "frame/queue_proto.h"

namespace looptest {
namespace {

// What the recording handlers answer. Set before the child starts; the
// child works on its own copy.
struct Script {
    int result = 1;
    uint32_t msgid = 0;  // written by message_new
    uint64_t id = 0;     // written by envelope_new and the iterate handlers
    Bytes out;           // placed in the buffer, or the content message_open hands back
};
Script script;

std::string digest(const uint8_t *data, size_t n) {
    uint64_t h = 0xcbf29ce484222325;
    for (size_t i = 0; i < n; i++) {
        h = (h ^ data[i]) * 0x100000001b3;
    }
    char text[64];
    snprintf(text, sizeof text, "size=%zu hash=%016" PRIx64, n, h);
    return text;
}

std::string digest(const Bytes &b) {
    return digest(b.data(), b.size());
}

int place_out(std::span<uint8_t> buf) {
    if (!script.out.empty()) {
        memcpy(buf.data(), script.out.data(), std::min(buf.size(), script.out.size()));
    }
    return script.result;
}

int rec_finish() {
    record("finish");
    return script.result;
}
int rec_message_new(uint32_t *msgid) {
    record("message_new");
    *msgid = script.msgid;
    return script.result;
}
int rec_message_store(uint32_t msgid, const char *path) {
    Bytes content;
    int fd = open(path, O_RDONLY);
    if (fd != -1) {
        content.resize(64 << 20);
        size_t got = 0;
        ssize_t n;
        while ((n = read(fd, content.data() + got, content.size() - got)) > 0) {
            got += static_cast<size_t>(n);
        }
        content.resize(got);
        close(fd);
    }
    record("message_store %u %s %s", msgid, digest(content).c_str(),
           fd == -1 ? "unreadable" : path);
    return script.result;
}
int rec_message_remove(uint32_t msgid) {
    record("message_remove %u", msgid);
    return script.result;
}
int rec_message_open(uint32_t msgid) {
    record("message_open %u", msgid);
    if (script.result < 0) {
        return script.result;
    }
    int fd = memfd_create("content", 0);
    if (write(fd, script.out.data(), script.out.size()) !=
        static_cast<ssize_t>(script.out.size())) {
        _exit(5);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}
int rec_message_mark(uint32_t msgid) {
    record("message_mark %u", msgid);
    return script.result;
}
int rec_message_unmark(uint32_t msgid) {
    record("message_unmark %u", msgid);
    return script.result;
}
int rec_envelope_new(uint32_t msgid, std::span<const uint8_t> data, uint64_t *evpid) {
    record("envelope_new %u %s", msgid, digest(data.data(), data.size()).c_str());
    *evpid = script.id;
    return script.result;
}
int rec_envelope_remove(uint64_t evpid) {
    record("envelope_remove %" PRIx64, evpid);
    return script.result;
}
int rec_envelope_replace(uint64_t evpid, std::span<const uint8_t> data) {
    record("envelope_replace %" PRIx64 " %s", evpid, digest(data.data(), data.size()).c_str());
    return script.result;
}
int rec_envelope_read(uint64_t evpid, std::span<uint8_t> buf) {
    record("envelope_read %" PRIx64 " room=%zu", evpid, buf.size());
    return place_out(buf);
}
int rec_envelope_iterate(uint64_t *evpid, std::span<uint8_t> buf) {
    record("envelope_iterate room=%zu", buf.size());
    *evpid = script.id;
    return place_out(buf);
}
int rec_message_iterate(uint64_t *id, std::span<uint8_t> buf, uint32_t value, int a, int b) {
    record("message_iterate room=%zu value=%u %d %d", buf.size(), value, a, b);
    *id = script.id;
    return place_out(buf);
}

int snapshot_fds() {
    record_open_fds();
    return 1;
}

class Loop : public ::testing::Test {
  protected:
    void SetUp() override {
        fds_before_ = testutil::open_fds();
        script = Script{};
        queue_api_set_finish(nullptr);
        queue_api_set_message_new(rec_message_new);
        queue_api_set_message_store(rec_message_store);
        queue_api_set_message_remove(rec_message_remove);
        queue_api_set_message_open(rec_message_open);
        queue_api_set_message_mark(rec_message_mark);
        queue_api_set_message_unmark(rec_message_unmark);
        queue_api_set_envelope_new(rec_envelope_new);
        queue_api_set_envelope_remove(rec_envelope_remove);
        queue_api_set_envelope_replace(rec_envelope_replace);
        queue_api_set_envelope_read(rec_envelope_read);
        queue_api_set_envelope_iterate(rec_envelope_iterate);
        queue_api_set_message_iterate(rec_message_iterate);
    }
    void TearDown() override {
        EXPECT_EQ(testutil::open_fds(), fds_before_) << "descriptor leaked";
    }

    // The peer closes; the loop says so and the process ends normally.
    static void expect_clean_end(LoopRun &child, const std::string &earlier_lines = "") {
        std::string prefix = child.line_prefix();
        Exit e = child.wait_exit();
        EXPECT_EQ(e.exit_code(), 0);
        EXPECT_EQ(e.err, earlier_lines + prefix + "warn: queue-api: pipe closed\n");
    }

    static void expect_plain_reply(const std::optional<peer::Reply> &r, const LoopRun &child,
                                   const Bytes &payload) {
        ASSERT_TRUE(r);
        EXPECT_EQ(r->header.type, QUEUE_REPLY);
        EXPECT_EQ(r->header.length, wire::HEADER_LEN + payload.size());
        EXPECT_EQ(r->header.flags, 0);
        EXPECT_EQ(r->header.peer_id, 0u);
        EXPECT_EQ(r->header.pid, child.pid());
        EXPECT_EQ(r->fd.get(), -1);
        EXPECT_EQ(r->payload, payload);
    }

  private:
    std::vector<int> fds_before_;
};

TEST_F(Loop, PeerClosingFirstEndsTheLoopNormally) {
    LoopRun child;
    expect_clean_end(child);
    EXPECT_TRUE(child.records().empty());
}

struct BadRequest {
    uint32_t type;
    Bytes payload;
    const char *warning;
};

constexpr const char *SHORT = "warn: queue-proc: bad msg len";
constexpr const char *EXTRA = "warn: queue-proc: bogus data";

TEST_F(Loop, MalformedRequestEndsTheBackendBeforeAnyHandler) {
    queue_api_set_finish(rec_finish);
    std::vector<BadRequest> cases = {
        {QUEUE_HELLO, {}, SHORT},
        {QUEUE_HELLO, pattern(3, 1), SHORT},
        {QUEUE_HELLO, cat({u32(2), pattern(1, 1)}), EXTRA},
        {QUEUE_HELLO, u32(1), "warn: queue-api: bad API version"},
        {QUEUE_HELLO, u32(3), "warn: queue-api: bad API version"},
        {QUEUE_FINISH, pattern(1, 1), EXTRA},
        {QUEUE_MESSAGE_NEW, pattern(1, 1), EXTRA},
        {QUEUE_ENVELOPE_ITERATE, pattern(1, 1), EXTRA},
        {QUEUE_ENVELOPE_NEW, {}, SHORT},
        {QUEUE_ENVELOPE_NEW, pattern(3, 1), SHORT},
        {QUEUE_ENVELOPE_REMOVE, pattern(7, 1), SHORT},
        {QUEUE_ENVELOPE_REMOVE, pattern(9, 1), EXTRA},
        {QUEUE_ENVELOPE_READ, pattern(7, 1), SHORT},
        {QUEUE_ENVELOPE_READ, pattern(9, 1), EXTRA},
        {QUEUE_ENVELOPE_REPLACE, {}, SHORT},
        {QUEUE_ENVELOPE_REPLACE, pattern(7, 1), SHORT},
        {QUEUE_MESSAGE_ITERATE, pattern(3, 1), SHORT},
        {QUEUE_MESSAGE_ITERATE, pattern(5, 1), EXTRA},
        {0, {}, "warn: queue-api: bad message 0"},
        {1, u32(2), "warn: queue-api: bad message 1"},
        {16, {}, "warn: queue-api: bad message 16"},
        {0xffffffff, {}, "warn: queue-api: bad message -1"},
    };
    for (uint32_t type : {QUEUE_MESSAGE_REMOVE, QUEUE_MESSAGE_STORE, QUEUE_MESSAGE_OPEN,
                          QUEUE_MESSAGE_MARK, QUEUE_MESSAGE_UNMARK}) {
        cases.push_back({type, {}, SHORT});
        cases.push_back({type, pattern(3, 1), SHORT});
        cases.push_back({type, pattern(5, 1), EXTRA});
    }

    for (const auto &c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + ", " + std::to_string(c.payload.size()) +
                     " bytes");
        LoopRun child;
        child.send(c.type, c.payload);
        EXPECT_FALSE(recv_reply(child.sock())) << "no reply to a malformed request";
        std::string prefix = child.line_prefix();
        bool peer_fault = c.warning == SHORT || c.warning == EXTRA;
        Exit e = child.wait_exit();
        EXPECT_EQ(e.exit_code(), 1);
        EXPECT_EQ(e.err, prefix + c.warning + "\n" + prefix + "fatal: " +
                             (peer_fault ? "queue-proc: exiting" : "queue-api: exiting") + "\n");
        EXPECT_TRUE(child.records().empty()) << "a handler saw a malformed request";
    }
}

TEST_F(Loop, HeaderLengthOutsideTheFrameLimitsEndsTheLoopNormally) {
    for (uint16_t length : {0, 15, 16385, 65535}) {
        SCOPED_TRACE("length " + std::to_string(length));
        LoopRun child;
        ASSERT_TRUE(send_bytes(child.sock(), wire::frame(QUEUE_HELLO, length, 0, 0, 0, u32(2))));
        EXPECT_FALSE(recv_reply(child.sock()));
        std::string prefix = child.line_prefix();
        Exit e = child.wait_exit();
        EXPECT_EQ(e.exit_code(), 0);
        EXPECT_EQ(e.err, prefix + "warn: queue-api: imsg_get: " + strerror(ERANGE) + "\n");
    }
}

// What the handlers answer in one case; `out` points at a named buffer.
struct Given {
    int result;
    uint32_t msgid;
    uint64_t id;
    const Bytes *out;
};

struct ReplyCase {
    const char *name;
    Given given;
    bool finish_set;
    uint32_t type;
    Bytes payload;
    Bytes reply;
    std::vector<std::string> calls;
};

TEST_F(Loop, EachRequestGetsItsExactReply) {
    const uint64_t evpid = 0x0000000700000009;
    const Bytes envelope = pattern(3, 40);
    const Bytes largest_new = pattern(wire::MAX_FRAME - wire::HEADER_LEN - 4, 1);
    const Bytes largest_replace = pattern(wire::MAX_FRAME - wire::HEADER_LEN - 8, 1);
    const Bytes five = pattern(5, 90);
    const Bytes full = pattern(QUEUE_ENVELOPE_BUF, 3);
    const Bytes three = pattern(3, 200);

    const std::vector<ReplyCase> cases = {
        {"hello", {0, 0, 0, nullptr}, false, QUEUE_HELLO, u32(QUEUE_API_VERSION), {}, {}},
        {"finish, empty slot", {9, 0, 0, nullptr}, false, QUEUE_FINISH, {}, u32(1), {}},
        {"finish, slot set", {7, 0, 0, nullptr}, true, QUEUE_FINISH, {}, u32(7), {"finish"}},
        {"message_new 1",
         {1, 0xdeadbeef, 0, nullptr},
         false,
         QUEUE_MESSAGE_NEW,
         {},
         cat({u32(1), u32(0xdeadbeef)}),
         {"message_new"}},
        {"message_new 0",
         {0, 9, 0, nullptr},
         false,
         QUEUE_MESSAGE_NEW,
         {},
         u32(0),
         {"message_new"}},
        {"message_new 2",
         {2, 9, 0, nullptr},
         false,
         QUEUE_MESSAGE_NEW,
         {},
         u32(2),
         {"message_new"}},
        {"message_remove",
         {0, 0, 0, nullptr},
         false,
         QUEUE_MESSAGE_REMOVE,
         u32(42),
         u32(0),
         {"message_remove 42"}},
        {"message_mark",
         {1, 0, 0, nullptr},
         false,
         QUEUE_MESSAGE_MARK,
         u32(43),
         u32(1),
         {"message_mark 43"}},
        {"message_unmark",
         {-5, 0, 0, nullptr},
         false,
         QUEUE_MESSAGE_UNMARK,
         u32(0xfffffffe),
         u32(static_cast<uint32_t>(-5)),
         {"message_unmark 4294967294"}},
        {"envelope_new 1",
         {1, 0, evpid, nullptr},
         false,
         QUEUE_ENVELOPE_NEW,
         cat({u32(7), envelope}),
         cat({u32(1), u64(evpid)}),
         {"envelope_new 7 " + digest(envelope)}},
        {"envelope_new 0, empty envelope",
         {0, 0, evpid, nullptr},
         false,
         QUEUE_ENVELOPE_NEW,
         u32(7),
         u32(0),
         {"envelope_new 7 " + digest(Bytes{})}},
        {"envelope_new, largest envelope",
         {1, 0, evpid, nullptr},
         false,
         QUEUE_ENVELOPE_NEW,
         cat({u32(7), largest_new}),
         cat({u32(1), u64(evpid)}),
         {"envelope_new 7 " + digest(largest_new)}},
        {"envelope_remove",
         {1, 0, 0, nullptr},
         false,
         QUEUE_ENVELOPE_REMOVE,
         u64(0x1122334455667788),
         u32(1),
         {"envelope_remove 1122334455667788"}},
        {"envelope_replace, empty envelope",
         {0, 0, 0, nullptr},
         false,
         QUEUE_ENVELOPE_REPLACE,
         u64(evpid),
         u32(0),
         {"envelope_replace 700000009 " + digest(Bytes{})}},
        {"envelope_replace, largest envelope",
         {1, 0, 0, nullptr},
         false,
         QUEUE_ENVELOPE_REPLACE,
         cat({u64(evpid), largest_replace}),
         u32(1),
         {"envelope_replace 700000009 " + digest(largest_replace)}},
        {"envelope_read",
         {5, 0, 0, &five},
         false,
         QUEUE_ENVELOPE_READ,
         u64(evpid),
         five,
         {"envelope_read 700000009 room=8192"}},
        {"envelope_read, none",
         {0, 0, 0, &five},
         false,
         QUEUE_ENVELOPE_READ,
         u64(evpid),
         {},
         {"envelope_read 700000009 room=8192"}},
        {"envelope_read, full buffer",
         {8192, 0, 0, &full},
         false,
         QUEUE_ENVELOPE_READ,
         u64(evpid),
         full,
         {"envelope_read 700000009 room=8192"}},
        {"envelope_iterate 3",
         {3, 0, evpid, &three},
         false,
         QUEUE_ENVELOPE_ITERATE,
         {},
         cat({u32(3), u64(evpid), three}),
         {"envelope_iterate room=8192"}},
        {"envelope_iterate 0",
         {0, 0, evpid, &three},
         false,
         QUEUE_ENVELOPE_ITERATE,
         {},
         u32(0),
         {"envelope_iterate room=8192"}},
        {"envelope_iterate -1",
         {-1, 0, evpid, &three},
         false,
         QUEUE_ENVELOPE_ITERATE,
         {},
         u32(static_cast<uint32_t>(-1)),
         {"envelope_iterate room=8192"}},
        {"message_iterate full buffer",
         {8192, 0, 0xffffffff00000001, &full},
         false,
         QUEUE_MESSAGE_ITERATE,
         u32(77),
         cat({u32(8192), u64(0xffffffff00000001), full}),
         {"message_iterate room=8192 value=77 0 0"}},
        {"message_iterate -1",
         {-1, 0, evpid, &three},
         false,
         QUEUE_MESSAGE_ITERATE,
         u32(0xffffffff),
         u32(static_cast<uint32_t>(-1)),
         {"message_iterate room=8192 value=4294967295 0 0"}},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        script = Script{};
        script.result = c.given.result;
        script.msgid = c.given.msgid;
        script.id = c.given.id;
        if (c.given.out != nullptr) {
            script.out = *c.given.out;
        }
        queue_api_set_finish(c.finish_set ? rec_finish : nullptr);
        LoopRun child;
        std::optional<peer::Reply> r = child.request(c.type, c.payload);
        expect_plain_reply(r, child, c.reply);
        EXPECT_EQ(child.records(), c.calls);
        expect_clean_end(child);
    }
}

TEST_F(Loop, MessageOpenPassesTheHandlersDescriptorWithAnEmptyPayload) {
    script.out = pattern(20000, 11);
    LoopRun child;
    std::optional<peer::Reply> r = child.request(QUEUE_MESSAGE_OPEN, u32(31));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.type, QUEUE_REPLY);
    EXPECT_EQ(r->header.length, wire::HEADER_LEN);
    EXPECT_EQ(r->header.flags, wire::FLAG_FD);
    ASSERT_NE(r->fd.get(), -1);
    Bytes content(script.out.size() + 1);
    EXPECT_EQ(read(r->fd.get(), content.data(), content.size()),
              static_cast<ssize_t>(script.out.size()));
    content.resize(script.out.size());
    EXPECT_EQ(content, script.out);
    r->fd.reset();
    EXPECT_EQ(child.records(), std::vector<std::string>{"message_open 31"});
    expect_clean_end(child);

    script.result = -1;
    LoopRun failing;
    expect_plain_reply(failing.request(QUEUE_MESSAGE_OPEN, u32(32)), failing, {});
    EXPECT_EQ(failing.records(), std::vector<std::string>{"message_open 32"});
    expect_clean_end(failing);
}

TEST_F(Loop, RequestsSentTogetherAreAnsweredInOrder) {
    script.msgid = 0x55;
    LoopRun child;
    Bytes together = cat({wire::frame(QUEUE_MESSAGE_NEW, {}), wire::frame(QUEUE_HELLO, u32(2)),
                          wire::frame(QUEUE_MESSAGE_REMOVE, u32(9))});
    ASSERT_TRUE(send_bytes(child.sock(), together));
    expect_plain_reply(recv_reply(child.sock()), child, cat({u32(1), u32(0x55)}));
    expect_plain_reply(recv_reply(child.sock()), child, {});
    expect_plain_reply(recv_reply(child.sock()), child, u32(1));
    EXPECT_EQ(child.records(), (std::vector<std::string>{"message_new", "message_remove 9"}));
    expect_clean_end(child);
}

struct BadResult {
    uint32_t type;
    Bytes payload;
    int result;
    const char *warning;
};

// A storage side that answers what no handler may must not make the loop
// send bytes it does not have or mark a reply as carrying a descriptor; the
// peer gets no reply rather than a false one.
TEST_F(Loop, ResultOutsideWhatAHandlerMayGiveEndsTheBackend) {
    const std::vector<BadResult> cases = {
        {QUEUE_ENVELOPE_READ, u64(1), -1, "warn: queue-api: envelope_read returned -1"},
        {QUEUE_ENVELOPE_READ, u64(1), 8193, "warn: queue-api: envelope_read returned 8193"},
        {QUEUE_ENVELOPE_READ, u64(1), INT32_MIN,
         "warn: queue-api: envelope_read returned -2147483648"},
        {QUEUE_ENVELOPE_ITERATE, {}, 8193, "warn: queue-api: envelope_iterate returned 8193"},
        {QUEUE_MESSAGE_ITERATE, u32(0), 16000, "warn: queue-api: message_iterate returned 16000"},
        {QUEUE_MESSAGE_OPEN, u32(1), -2, "warn: queue-api: message_open returned -2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.warning);
        script = Script{};
        script.result = c.result;
        script.out = pattern(QUEUE_ENVELOPE_BUF, 1);
        LoopRun child;
        // The greeting behind it would be answered by a loop that went on.
        ASSERT_TRUE(send_bytes(
            child.sock(), cat({wire::frame(c.type, c.payload), wire::frame(QUEUE_HELLO, u32(2))})));
        EXPECT_FALSE(recv_reply(child.sock()));
        std::string prefix = child.line_prefix();
        Exit e = child.wait_exit();
        EXPECT_EQ(e.exit_code(), 1);
        EXPECT_EQ(e.err, prefix + c.warning + "\n" + prefix + "fatal: queue-api: exiting\n");
    }
}

// A pipe's read end, for requests to carry; the write end is closed.
int spare_descriptor() {
    int p[2];
    if (pipe(p) != 0) {
        return -1;
    }
    close(p[1]);
    return p[0];
}

TEST_F(Loop, EveryDescriptorARequestBringsIsClosedByItsReply) {
    queue_api_set_finish(snapshot_fds);
    script.out = pattern(10, 1);
    LoopRun child;
    expect_plain_reply(child.request(QUEUE_FINISH, {}), child, u32(1));
    std::vector<std::string> before = child.records();
    ASSERT_EQ(before.size(), 1u);

    const std::vector<std::pair<uint32_t, Bytes>> requests = {
        {QUEUE_HELLO, u32(2)},         {QUEUE_MESSAGE_REMOVE, u32(1)},
        {QUEUE_MESSAGE_OPEN, u32(1)},  {QUEUE_ENVELOPE_NEW, cat({u32(1), pattern(4, 1)})},
        {QUEUE_ENVELOPE_READ, u64(1)}, {QUEUE_ENVELOPE_ITERATE, {}},
        {QUEUE_MESSAGE_STORE, u32(1)},
    };
    for (const auto &[type, payload] : requests) {
        SCOPED_TRACE("type " + std::to_string(type));
        int fd = spare_descriptor();
        std::optional<peer::Reply> r = child.request(type, payload, fd);
        close(fd);
        ASSERT_TRUE(r);
        r->fd.reset();
    }

    expect_plain_reply(child.request(QUEUE_FINISH, {}), child, u32(1));
    std::vector<std::string> after = child.records();
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), before.front());
    expect_clean_end(child);
}

struct StoredRecord {
    uint32_t msgid = 0;
    std::string digest;
    std::string path;
};

StoredRecord parse_store_record(const std::string &line) {
    StoredRecord s;
    char size[64], hash[64], path[256];
    if (sscanf(line.c_str(), "message_store %u %63s %63s %255s", &s.msgid, size, hash, path) == 4) {
        s.digest = std::string(size) + " " + hash;
        s.path = path;
    }
    return s;
}

// A descriptor on content, positioned `skip` bytes before it.
int content_descriptor(const Bytes &content, size_t skip = 0) {
    int fd = memfd_create("request", 0);
    Bytes junk = pattern(skip, 250);
    if (write(fd, junk.data(), junk.size()) != static_cast<ssize_t>(junk.size()) ||
        write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        close(fd);
        return -1;
    }
    lseek(fd, static_cast<off_t>(skip), SEEK_SET);
    return fd;
}

// A pipe holding content, already closed by its writer.
int piped_content(const Bytes &content) {
    int p[2];
    if (pipe(p) != 0) {
        return -1;
    }
    fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
    bool ok = write(p[1], content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(p[1]);
    if (!ok) {
        close(p[0]);
        return -1;
    }
    return p[0];
}

TEST_F(Loop, StoredContentReachesTheHandlerWholeAndLeavesNoFile) {
    struct Content {
        const char *name;
        Bytes data;
        bool piped;
        size_t skip;
    };
    const std::vector<Content> contents = {
        {"descriptor at its end", {}, false, 300},
        {"empty pipe", {}, true, 0},
        {"one byte", pattern(1, 1), false, 0},
        {"one block", pattern(8192, 5), false, 0},
        {"one block and a byte", pattern(8193, 6), true, 0},
        {"past a skipped start", pattern(100, 7), false, 4000},
        {"several MiB", pattern(5 << 20, 8), false, 0},
    };

    for (int result : {1, 0}) {
        SCOPED_TRACE("handler result " + std::to_string(result));
        script.result = result;
        queue_api_set_finish(snapshot_fds);
        LoopRun child;
        expect_plain_reply(child.request(QUEUE_FINISH, {}), child, u32(1));
        std::vector<std::string> fds_before = child.records();

        uint32_t msgid = 100;
        for (const auto &c : contents) {
            SCOPED_TRACE(c.name);
            int fd = c.piped ? piped_content(c.data) : content_descriptor(c.data, c.skip);
            ASSERT_NE(fd, -1);
            std::optional<peer::Reply> r = child.request(QUEUE_MESSAGE_STORE, u32(msgid), fd);
            close(fd);
            expect_plain_reply(r, child, u32(static_cast<uint32_t>(result)));
            std::vector<std::string> calls = child.records();
            ASSERT_EQ(calls.size(), 1u);
            StoredRecord s = parse_store_record(calls[0]);
            EXPECT_EQ(s.msgid, msgid);
            EXPECT_EQ(s.digest, digest(c.data));
            EXPECT_EQ(s.path.rfind("/tmp/message.", 0), 0u) << s.path;
            EXPECT_EQ(s.path.size(), strlen("/tmp/message.XXXXXXXXXX"));
            EXPECT_NE(access(s.path.c_str(), F_OK), 0) << s.path << " was left behind";
            msgid++;
        }

        expect_plain_reply(child.request(QUEUE_FINISH, {}), child, u32(1));
        EXPECT_EQ(child.records(), fds_before);
        expect_clean_end(child);
    }
}

// A directory to serve as the child's root, with a "tmp" anyone may write
// in when asked.
class TempRoot {
  public:
    explicit TempRoot(bool with_tmp) : dir_("memq-root") {
        if (with_tmp && !dir_.path().empty()) {
            mkdir((dir_.path() + "/tmp").c_str(), 01777);
        }
    }
    const std::string &path() const { return dir_.path(); }
    std::vector<std::string> tmp_entries() const { return testutil::dir_entries(path() + "/tmp"); }

  private:
    testutil::TempDir dir_;
};

struct FailedCopy {
    const char *name;
    bool with_tmp;
    std::function<int()> descriptor;  // what the request carries, or -1
    bool fd_flag;
    rlim_t file_size_limit;
    int32_t result;
    std::string warning;     // the one line logged, if any
    bool full_disk = false;  // "/tmp" under the root holds one page
};

TEST_F(Loop, ContentThatCannotBeCopiedIsNeverStoredAndLeavesNothing) {
    if (!testutil::have_root()) {
        GTEST_SKIP() << "needs root to give the child a root directory of its own";
    }
    const rlim_t unlimited = RLIM_INFINITY;
    const std::vector<FailedCopy> cases = {
        {"no descriptor", true, [] { return -1; }, false, unlimited, -1, ""},
        {"descriptor promised, none came", true, [] { return -1; }, true, unlimited, -1, ""},
        {"descriptor not readable", true,
         [] {
             int p[2];
             if (pipe(p) != 0) {
                 return -1;
             }
             close(p[0]);
             return p[1];
         },
         true, unlimited, -1, ""},
        {"read error", true, [] { return open("/", O_RDONLY | O_DIRECTORY); }, true, unlimited, 0,
         std::string("warn: queue-api: content copy: ") + strerror(EISDIR)},
        {"no room under the file-size limit", true, [] { return piped_content(pattern(100, 1)); },
         true, 0, 0, std::string("warn: queue-api: content copy: ") + strerror(EFBIG)},
        {"second block past the file-size limit", true,
         [] { return piped_content(pattern(20000, 1)); }, true, 8192, 0,
         std::string("warn: queue-api: content copy: ") + strerror(EFBIG)},
        {"last byte past the file-size limit", true, [] { return piped_content(pattern(8193, 1)); },
         true, 8192, 0, std::string("warn: queue-api: content copy: ") + strerror(EFBIG)},
        // A page goes out in the write, the rest waits in the stream's
        // buffer and fails in the flush.
        {"disk full", true, [] { return piped_content(pattern(5000, 1)); }, true, unlimited, 0,
         std::string("warn: queue-api: content copy: ") + strerror(ENOSPC), true},
        {"no /tmp under the root", false, [] { return piped_content(pattern(10, 1)); }, true,
         unlimited, -1, std::string("warn: queue-api: mkstemp: ") + strerror(ENOENT)},
    };

    queue_api_set_finish(snapshot_fds);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot root(c.with_tmp);
        ASSERT_FALSE(root.path().empty());
        rlim_t limit = c.file_size_limit;
        bool full_disk = c.full_disk;
        LoopRun child(
            [&] {
                queue_api_set_root_dir(root.path().c_str());
                if (full_disk && (unshare(CLONE_NEWNS) != 0 ||
                                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                  mount("memq-test", (root.path() + "/tmp").c_str(), "tmpfs", 0,
                                        "size=4k") != 0)) {
                    _exit(77);
                }
                if (limit != RLIM_INFINITY) {
                    // SIGXFSZ keeps its default action, which would end the
                    // backend: the copy must stop short of the limit.
                    signal(SIGXFSZ, SIG_DFL);
                    rlimit rl{limit, RLIM_INFINITY};
                    setrlimit(RLIMIT_FSIZE, &rl);
                }
            },
            LoopRun::forked);
        expect_plain_reply(child.request(QUEUE_FINISH, {}), child, u32(1));
        std::vector<std::string> fds_before = child.records();
        ASSERT_EQ(fds_before.size(), 1u);
        ASSERT_NE(fds_before[0], "fds unreadable");

        int fd = c.descriptor();
        ASSERT_TRUE(send_bytes(
            child.sock(), wire::frame(QUEUE_MESSAGE_STORE, u32(5), c.fd_flag ? wire::FLAG_FD : 0),
            fd));
        if (fd != -1) {
            close(fd);
        }
        expect_plain_reply(recv_reply(child.sock()), child, u32(static_cast<uint32_t>(c.result)));

        expect_plain_reply(child.request(QUEUE_FINISH, {}), child, u32(1));
        EXPECT_EQ(child.records(), fds_before)
            << "the handler was called or a descriptor stayed open";
        EXPECT_TRUE(root.tmp_entries().empty()) << "a content copy was left behind";
        std::string prefix = child.line_prefix();
        expect_clean_end(child, c.warning.empty() ? "" : prefix + c.warning + "\n");
    }
}

}  // namespace
}  // namespace looptest
