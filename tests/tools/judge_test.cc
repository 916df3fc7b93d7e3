// The peer toolkit's judge: a reply held against what the store's model
// expects, the model following only what was answered as expected, and the
// loop's rules in front of the store.
#include "peer/judge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "common/child.h"
#include "frame/queue_proto.h"
#include "peer/wire.h"

namespace {

using peer::Judgement;
using peer::Reply;
using peer::StoreExpect;
using peer::Verdict;
using wire::Bytes;
using wire::cat;
using wire::u32;
using wire::u64;

Reply reply_with(Bytes payload) {
    Reply r;
    r.header.type = QUEUE_REPLY;
    r.payload = std::move(payload);
    return r;
}

peer::StoreRequest request(uint32_t type, uint32_t msgid = 0, uint64_t evpid = 0,
                           std::span<const uint8_t> data = {}) {
    return {type, msgid, evpid, data};
}

StoreExpect result(int32_t v, StoreExpect::NewId id = StoreExpect::NewId::none) {
    StoreExpect e;
    e.result = v;
    e.new_id = id;
    return e;
}

// A nameless file holding content, at offset `at`.
unique_fd content_file(const Bytes &content, off_t at = 0) {
    unique_fd fd(memfd_create("judge-test", MFD_CLOEXEC));
    EXPECT_EQ(write(fd.get(), content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    lseek(fd.get(), at, SEEK_SET);
    return fd;
}

TEST(JudgeReply, HoldsEachShapeAndResultToTheExpectation) {
    StoreExpect envelope;
    envelope.envelope = wire::pattern(30, 1);
    struct Case {
        const char *what;
        uint32_t type;
        StoreExpect want;
        Reply reply;
        Verdict verdict;
        uint64_t id;
    } cases[] = {
        {"the result expected", QUEUE_MESSAGE_STORE, result(1), reply_with(u32(1)), Verdict::exact,
         0},
        {"0 for a store the model takes", QUEUE_MESSAGE_STORE, result(1), reply_with(u32(0)),
         Verdict::failure, 0},
        {"-1: the loop could not copy", QUEUE_MESSAGE_STORE, result(1),
         reply_with(u32(static_cast<uint32_t>(-1))), Verdict::failure, 0},
        {"1 where 0 belongs", QUEUE_MESSAGE_REMOVE, result(0), reply_with(u32(1)), Verdict::wrong,
         0},
        {"a result with a byte more", QUEUE_FINISH, result(1), reply_with(cat({u32(1), Bytes{0}})),
         Verdict::wrong, 0},
        {"a new msgid", QUEUE_MESSAGE_NEW, result(1, StoreExpect::NewId::message),
         reply_with(cat({u32(1), u32(42)})), Verdict::exact, 42},
        {"1 without its msgid", QUEUE_MESSAGE_NEW, result(1, StoreExpect::NewId::message),
         reply_with(u32(1)), Verdict::wrong, 0},
        {"a new envelope id", QUEUE_ENVELOPE_NEW, result(1, StoreExpect::NewId::envelope),
         reply_with(cat({u32(1), u64(0x2a00000007)})), Verdict::exact, 0x2a00000007},
        {"no envelope for want of memory", QUEUE_ENVELOPE_NEW,
         result(1, StoreExpect::NewId::envelope), reply_with(u32(0)), Verdict::failure, 0},
        {"0 for a replace the model refuses too", QUEUE_ENVELOPE_REPLACE, result(0),
         reply_with(u32(0)), Verdict::exact, 0},
        {"the envelope's bytes", QUEUE_ENVELOPE_READ, envelope, reply_with(wire::pattern(30, 1)),
         Verdict::exact, 0},
        {"other bytes", QUEUE_ENVELOPE_READ, envelope, reply_with(wire::pattern(30, 2)),
         Verdict::wrong, 0},
        {"a hello with a payload", QUEUE_HELLO, StoreExpect{}, reply_with(u32(0)), Verdict::wrong,
         0},
        {"an empty hello", QUEUE_HELLO, StoreExpect{}, reply_with({}), Verdict::exact, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Judgement j = peer::judge_reply(c.type, c.want, c.reply);
        EXPECT_EQ(j.verdict, c.verdict) << j.why;
        EXPECT_EQ(j.id, c.id);
        EXPECT_EQ(j.why.empty(), c.verdict == Verdict::exact) << j.why;
    }
}

TEST(JudgeReply, RefusesAHeaderNoReplyHas) {
    Reply typed = reply_with(u32(1));
    typed.header.type = QUEUE_HELLO;
    Reply from_a_peer = reply_with(u32(1));
    from_a_peer.header.peer_id = 3;
    Reply flag_alone = reply_with(u32(1));
    flag_alone.header.flags = wire::FLAG_FD;
    Reply with_fd = reply_with(u32(1));
    with_fd.header.flags = wire::FLAG_FD;
    with_fd.fd = content_file({});
    for (const Reply *r : {&typed, &from_a_peer, &flag_alone, &with_fd}) {
        Judgement j = peer::judge_reply(QUEUE_FINISH, result(1), *r);
        EXPECT_EQ(j.verdict, Verdict::wrong);
        EXPECT_FALSE(j.why.empty());
    }
}

TEST(JudgeReply, AnOpenedContentMustBeExactlyTheStoredBytesInANamelessFileAtItsStart) {
    std::vector<int> before = testutil::open_fds();
    const Bytes stored = wire::pattern(70000, 4);
    StoreExpect want;
    want.content = stored;
    auto opened = [](unique_fd fd) {
        Reply r = reply_with({});
        r.header.flags = fd.valid() ? wire::FLAG_FD : 0;
        r.fd = std::move(fd);
        return r;
    };
    {
        Reply r = opened(content_file(stored));
        EXPECT_EQ(peer::judge_reply(QUEUE_MESSAGE_OPEN, want, r).verdict, Verdict::exact);
        EXPECT_EQ(lseek(r.fd.get(), 0, SEEK_CUR), 0) << "judging moved the reader's offset";
    }
    {
        Bytes changed = stored;
        changed[65536] ^= 1;
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        close(p[1]);
        struct Case {
            const char *what;
            Reply reply;
            Verdict verdict;
        } cases[] = {
            {"one byte changed past the first block", opened(content_file(changed)),
             Verdict::wrong},
            {"a byte short", opened(content_file(Bytes(stored.begin(), stored.end() - 1))),
             Verdict::wrong},
            {"not at its start", opened(content_file(stored, 1)), Verdict::wrong},
            {"a pipe", opened(unique_fd(p[0])), Verdict::wrong},
            {"no descriptor, as when memory runs out", opened(unique_fd()), Verdict::failure},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            Judgement j = peer::judge_reply(QUEUE_MESSAGE_OPEN, want, c.reply);
            EXPECT_EQ(j.verdict, c.verdict) << j.why;
            EXPECT_FALSE(j.why.empty());
        }
        Judgement none =
            peer::judge_reply(QUEUE_MESSAGE_OPEN, StoreExpect{}, opened(content_file({})));
        EXPECT_EQ(none.verdict, Verdict::wrong) << "a descriptor for a message that is not there";
    }
    EXPECT_EQ(testutil::open_fds(), before);
}

// The model follows exact replies only, and holds new ids to what the
// store could have drawn.
TEST(Judge, FollowsWhatWasAnsweredAsExpectedAndRefusesIdsTheStoreCannotDraw) {
    peer::Judge judge;
    auto ask = [&](const peer::StoreRequest &r, Reply reply) {
        judge.expect(r);
        return judge.judge(reply);
    };
    EXPECT_EQ(ask(request(QUEUE_MESSAGE_NEW), reply_with(cat({u32(1), u32(5)}))).verdict,
              Verdict::exact);
    EXPECT_EQ(ask(request(QUEUE_MESSAGE_NEW), reply_with(cat({u32(1), u32(5)}))).verdict,
              Verdict::wrong)
        << "a msgid already taken";
    EXPECT_EQ(ask(request(QUEUE_MESSAGE_NEW), reply_with(cat({u32(1), u32(0)}))).verdict,
              Verdict::wrong);
    EXPECT_EQ(ask(request(QUEUE_MESSAGE_NEW), reply_with(cat({u32(1), u32(UINT32_MAX)}))).verdict,
              Verdict::wrong);
    {
        // The judge keeps its own copy of what the request carries.
        Bytes envelope = wire::pattern(10, 9);
        judge.expect(request(QUEUE_ENVELOPE_NEW, 5, 0, envelope));
        envelope.assign(10, 0);
    }
    EXPECT_EQ(judge.judge(reply_with(cat({u32(1), u64(uint64_t{6} << 32 | 1)}))).verdict,
              Verdict::wrong)
        << "an envelope id under another message";
    judge.expect(request(QUEUE_ENVELOPE_NEW, 5, 0, wire::pattern(10, 9)));
    EXPECT_EQ(judge.judge(reply_with(cat({u32(1), u64(uint64_t{5} << 32 | 1)}))).verdict,
              Verdict::exact);
    EXPECT_EQ(judge.expect(request(QUEUE_ENVELOPE_READ, 0, uint64_t{5} << 32 | 1)).envelope,
              wire::pattern(10, 9));

    // A store that failed for want of memory leaves the content as it was.
    const Bytes content = wire::pattern(100, 1);
    EXPECT_EQ(ask(request(QUEUE_MESSAGE_STORE, 5, 0, content), reply_with(u32(0))).verdict,
              Verdict::failure);
    EXPECT_EQ(judge.expect(request(QUEUE_MESSAGE_OPEN, 5)).content, Bytes{});
    EXPECT_EQ(ask(request(QUEUE_MESSAGE_STORE, 5, 0, content), reply_with(u32(1))).verdict,
              Verdict::exact);
    EXPECT_EQ(judge.expect(request(QUEUE_MESSAGE_OPEN, 5)).content, content);
    EXPECT_EQ(judge.judge(reply_with({})).verdict, Verdict::failure) << "the open brought none";
    EXPECT_EQ(judge.judge(reply_with({})).verdict, Verdict::wrong) << "no request is pending";
}

TEST(LoopModel, EndsAtAFrameTheLoopRefusesWithItsTwoLines) {
    struct Case {
        uint32_t type;
        Bytes payload;
        std::vector<std::string> lines;
    } cases[] = {
        {1, {}, {"warn: queue-api: bad message 1", "fatal: queue-api: exiting"}},
        {16, u32(1), {"warn: queue-api: bad message 16", "fatal: queue-api: exiting"}},
        {QUEUE_MESSAGE_NEW,
         Bytes{0},
         {"warn: queue-proc: bogus data", "fatal: queue-proc: exiting"}},
        {QUEUE_ENVELOPE_READ,
         wire::pattern(7, 1),
         {"warn: queue-proc: bad msg len", "fatal: queue-proc: exiting"}},
        {QUEUE_HELLO, u32(3), {"warn: queue-api: bad API version", "fatal: queue-api: exiting"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        peer::LoopModel loop;
        peer::LoopExpect e = loop.serve(c.type, c.payload, false);
        EXPECT_TRUE(e.fatal);
        EXPECT_EQ(e.lines, c.lines);
    }
    peer::LoopModel loop;
    peer::LoopExpect hello = loop.serve(QUEUE_HELLO, u32(QUEUE_API_VERSION), false);
    EXPECT_FALSE(hello.fatal);
    EXPECT_TRUE(hello.lines.empty());
    EXPECT_EQ(loop.judge(reply_with({}), hello).verdict, Verdict::exact);
}

TEST(LoopModel, KeepsSixteenWaitingDescriptorsAndCopiesContentBeforeTheStore) {
    peer::LoopModel loop;
    std::vector<std::string> lines;
    for (int i = 0; i < 17; i++) {
        loop.receive_fd({peer::PassedFd::Kind::directory, {}}, lines);
    }
    EXPECT_EQ(loop.fds.size(), peer::MAX_WAITING_FDS);
    EXPECT_EQ(lines, std::vector<std::string>{"warn: queue-proc: unclaimed descriptor closed"});

    peer::LoopExpect dir = loop.serve(QUEUE_MESSAGE_STORE, u32(5), true);
    EXPECT_EQ(dir.loop_result, 0);
    EXPECT_EQ(dir.lines, std::vector<std::string>{"warn: queue-api: content copy: Is a directory"});
    EXPECT_EQ(loop.judge(reply_with(u32(0)), dir).verdict, Verdict::exact);
    loop.fds.clear();

    loop.receive_fd({peer::PassedFd::Kind::unreadable, {}}, lines);
    peer::LoopExpect unreadable = loop.serve(QUEUE_MESSAGE_STORE, u32(5), true);
    EXPECT_EQ(unreadable.loop_result, -1);
    EXPECT_TRUE(unreadable.lines.empty());
    EXPECT_EQ(loop.judge(reply_with(u32(0)), unreadable).verdict, Verdict::wrong);

    peer::LoopExpect none = loop.serve(QUEUE_MESSAGE_STORE, u32(5), true);
    EXPECT_EQ(none.loop_result, -1) << "a flag that finds no descriptor";

    loop.receive_fd({peer::PassedFd::Kind::readable, wire::pattern(9, 1)}, lines);
    peer::LoopExpect absent = loop.serve(QUEUE_MESSAGE_STORE, u32(5), true);
    EXPECT_FALSE(absent.loop_result);
    EXPECT_EQ(absent.store.result, 0);
    EXPECT_EQ(absent.lines, std::vector<std::string>{"warn: msgid not found"});
    EXPECT_EQ(loop.judge(reply_with(u32(0)), absent).verdict, Verdict::exact);
}

}  // namespace
