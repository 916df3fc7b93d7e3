// The peer library's own pieces: a peer that never starts, a backend's log
// as the Backend hands it out, the reply decoder's shape rules, and the pipe
// feeder.
#include "peer/peer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/child.h"
#include "frame/queue_proto.h"
#include "peer/backend.h"

namespace {

using wire::Bytes;
using wire::cat;
using wire::u32;
using wire::u64;

TEST(Peer, ThatNeverStartedIsDestroyedCleanly) {
    std::vector<int> before = testutil::open_fds();
    {
        peer::Peer p;
        EXPECT_FALSE(p.start("/nonexistent/memq"));
        EXPECT_EQ(p.finish(), -1);
    }
    { peer::Peer untouched; }
    EXPECT_EQ(testutil::open_fds(), before);
}

TEST(Backend, ThatCannotStartSaysWhichStepFailedAndHoldsNothing) {
    std::vector<int> before = testutil::open_fds();
    {
        peer::Backend b;
        EXPECT_FALSE(b.start("/nonexistent/memq"));
        EXPECT_STREQ(b.failure(), "start it");
        EXPECT_EQ(b.fd_count(), -1);
    }
    EXPECT_EQ(testutil::open_fds(), before);
}

// A stand-in that logs as the backend does, under the backend's name: its
// own lines lose their start, a line of another shape stays whole, and a
// line not yet ended waits until it is.
TEST(Backend, HandsOutItsOwnLinesWithoutTheirStartAndWholeLinesOnly) {
    std::vector<int> before = testutil::open_fds();
    {
        peer::Backend b;
        peer::BackendOptions options;
        options.wrapper = {"/bin/sh", "-c",
                           "printf 'memq[%d]: one\nother[1]: two\nmemq[%d]: thr' $$ $$ >&2; "
                           "read x; printf 'ee\n' >&2"};
        ASSERT_TRUE(b.start("/where/ever/memq", options));
        for (int i = 0; i < 500 && b.log().size() < 30; i++) {
            usleep(10000);
        }
        EXPECT_EQ(b.new_lines(), (std::vector<std::string>{"one", "other[1]: two"}));
        EXPECT_EQ(b.new_lines(), std::vector<std::string>{});
        int status = b.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(b.new_lines(), std::vector<std::string>{"three"});
        EXPECT_EQ(b.log(), peer::log_prefix(b.pid()) + "one\nother[1]: two\n" +
                               peer::log_prefix(b.pid()) + "three\n")
            << "the log outlives the backend";
        EXPECT_EQ(b.stop(), -1);
    }
    EXPECT_EQ(testutil::open_fds(), before);
}

TEST(Backend, LogHelpersTakeLinesApartAsTheyAreWritten) {
    struct Case {
        const char *line;
        const char *message;
    } cases[] = {
        {"memq[12]: warn: not found", "warn: not found"},
        {"broken_memq[7]: warn: x", "warn: x"},
        {"==12==ERROR: AddressSanitizer", "==12==ERROR: AddressSanitizer"},
        {"memq[]: empty pid", "memq[]: empty pid"},
        {"memq[1x]: not a pid", "memq[1x]: not a pid"},
        {"two words[3]: no name", "two words[3]: no name"},
        {"[3]: no name at all", "[3]: no name at all"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(peer::message_of(c.line), c.message) << c.line;
    }
    EXPECT_EQ(peer::split_lines("a\n\nb"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(peer::split_lines("a\n"), std::vector<std::string>{"a"});
    EXPECT_EQ(peer::log_prefix(42), "memq[42]: ");

    setenv("MEMQ_PEER_TEST_WRAPPER", "  /usr/bin/valgrind -q\t--vgdb=no ", 1);
    EXPECT_EQ(peer::wrapper_from_env("MEMQ_PEER_TEST_WRAPPER"),
              (std::vector<std::string>{"/usr/bin/valgrind", "-q", "--vgdb=no"}));
    unsetenv("MEMQ_PEER_TEST_WRAPPER");
    EXPECT_TRUE(peer::wrapper_from_env("MEMQ_PEER_TEST_WRAPPER").empty());
}

// The payload of a result: a signed 32-bit value, packed as any other.
Bytes le32(int32_t v) {
    return u32(static_cast<uint32_t>(v));
}

TEST(DecodeReply, AcceptsExactlyTheShapesEachRequestAllows) {
    struct Case {
        const char *what;
        uint32_t request;
        Bytes payload;
        bool well_formed;
        std::optional<int32_t> result;
        std::optional<uint64_t> id;
        size_t envelope_bytes;
    };
    const Bytes envelope = {'a', 'b', 'c'};
    const Case cases[] = {
        {"hello, empty", QUEUE_HELLO, {}, true, {}, {}, 0},
        {"hello with bytes", QUEUE_HELLO, le32(0), false, {}, {}, 0},
        {"finish", QUEUE_FINISH, le32(1), true, 1, {}, 0},
        {"finish, short", QUEUE_FINISH, {1, 0, 0}, false, {}, {}, 0},
        {"finish, long", QUEUE_FINISH, cat({le32(1), Bytes{0}}), false, {}, {}, 0},
        {"new, 1 and a msgid", QUEUE_MESSAGE_NEW, cat({le32(1), le32(42)}), true, 1, 42, 0},
        {"new, 1 without a msgid", QUEUE_MESSAGE_NEW, le32(1), false, {}, {}, 0},
        {"new, 0 alone", QUEUE_MESSAGE_NEW, le32(0), true, 0, {}, 0},
        {"new, 0 with a msgid", QUEUE_MESSAGE_NEW, cat({le32(0), le32(42)}), false, {}, {}, 0},
        {"envelope new, 1 and an id", QUEUE_ENVELOPE_NEW, cat({le32(1), u64(0x2a00000001)}), true,
         1, 0x2a00000001, 0},
        {"envelope new, 1 and a 4-byte id",
         QUEUE_ENVELOPE_NEW,
         cat({le32(1), le32(1)}),
         false,
         {},
         {},
         0},
        {"open, empty", QUEUE_MESSAGE_OPEN, {}, true, {}, {}, 0},
        {"open with a result", QUEUE_MESSAGE_OPEN, le32(-1), false, {}, {}, 0},
        {"read, the envelope", QUEUE_ENVELOPE_READ, envelope, true, {}, {}, 3},
        {"read, nothing", QUEUE_ENVELOPE_READ, {}, true, {}, {}, 0},
        {"read, more than a reply holds",
         QUEUE_ENVELOPE_READ,
         Bytes(QUEUE_ENVELOPE_BUF + 1),
         false,
         {},
         {},
         0},
        {"iterate, -1 alone", QUEUE_ENVELOPE_ITERATE, le32(-1), true, -1, {}, 0},
        {"iterate, 3, an id and 3 bytes", QUEUE_MESSAGE_ITERATE, cat({le32(3), u64(7), envelope}),
         true, 3, 7, 3},
        {"iterate, 3 but 2 bytes",
         QUEUE_MESSAGE_ITERATE,
         cat({le32(3), u64(7), Bytes{1, 2}}),
         false,
         {},
         {},
         0},
        {"iterate, -1 with an id",
         QUEUE_ENVELOPE_ITERATE,
         cat({le32(-1), u64(7)}),
         false,
         {},
         {},
         0},
        {"a request type that does not exist", 16, le32(1), false, {}, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        peer::Reply r;
        r.payload = c.payload;
        peer::DecodedReply d = peer::decode_reply(c.request, r);
        EXPECT_EQ(d.well_formed, c.well_formed) << d.problem;
        if (!c.well_formed) {
            EXPECT_FALSE(d.problem.empty());
            continue;
        }
        EXPECT_EQ(d.result, c.result);
        EXPECT_EQ(d.id, c.id);
        EXPECT_EQ(d.bytes.size(), c.envelope_bytes);
    }
}

TEST(DecodeReply, RefusesADescriptorOrATypeWhereNoneBelongs) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    close(p[1]);
    {
        peer::Reply r;
        r.payload = le32(1);
        r.fd.reset(p[0]);
        EXPECT_FALSE(peer::decode_reply(QUEUE_FINISH, r).well_formed);
        r.payload.clear();
        peer::DecodedReply open = peer::decode_reply(QUEUE_MESSAGE_OPEN, r);
        EXPECT_TRUE(open.well_formed);
        EXPECT_TRUE(open.has_fd);
    }
    peer::Reply typed;
    typed.header.type = QUEUE_HELLO;
    EXPECT_FALSE(peer::decode_reply(QUEUE_HELLO, typed).well_formed);
}

TEST(PipeFeeder, DeliversEveryByteOrSaysWhenTheReaderLeft) {
    std::vector<int> before = testutil::open_fds();
    const Bytes data = wire::pattern(3 * 1024 * 1024 + 17, 1);
    {
        peer::PipeFeeder feeder;
        ASSERT_TRUE(feeder.start(data));
        std::string got = testutil::read_all(feeder.read_fd());
        EXPECT_TRUE(feeder.finish());
        ASSERT_EQ(got.size(), data.size());
        EXPECT_EQ(memcmp(got.data(), data.data(), data.size()), 0);
    }
    {
        // The reader takes a little and goes; the writer must see EPIPE
        // rather than end the process with SIGPIPE.
        peer::PipeFeeder feeder;
        ASSERT_TRUE(feeder.start(data));
        char some[100];
        ASSERT_EQ(read(feeder.read_fd(), some, sizeof some), static_cast<ssize_t>(sizeof some));
        feeder.close_read_end();
        EXPECT_FALSE(feeder.finish());
    }
    EXPECT_EQ(testutil::open_fds(), before);
}

}  // namespace
