// The built backend as a black box, started and driven as the mail server
// would, with its real root directory and account.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "common/backend.h"
#include "common/bytes.h"
#include "common/child.h"
#include "frame/queue_proto.h"
#include "peer/backend.h"
#include "peer/model.h"
#include "peer/requests.h"
#include "peer/wire.h"
#include "support/unique.h"

namespace {

using wire::Bytes;

using testutil::bytes_of;

class EndToEnd : public testutil::BackendTest {
  protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_TRUE(
            testutil::start_backend(backend_, peer::wrapper_from_env("MEMQ_BACKEND_WRAPPER")));
        pid_ = backend_.pid();
        ASSERT_TRUE(peer::hello(p())) << backend_.log();
    }

    void TearDown() override {
        if (IsSkipped()) {
            return;
        }
        int status = backend_.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        std::string closed = prefix() + "warn: queue-api: pipe closed\n";
        std::string log = backend_.log();
        EXPECT_TRUE(log.size() >= closed.size() &&
                    log.compare(log.size() - closed.size(), closed.size(), closed) == 0)
            << log;
        BackendTest::TearDown();
    }

    // The start of every line the backend writes.
    std::string prefix() const { return testutil::log_prefix(pid_, "memq"); }

    // Whether log is exactly these lines, each with the backend's prefix,
    // matched as peer::line_matches() does: a message ending in '*' stands
    // for any error text after it, which depends on what the backend's last
    // failed call left behind.
    bool logged(const std::string &log, const std::vector<std::string> &messages) const {
        const std::string lead = prefix();
        std::vector<std::string> got;
        for (size_t at = 0; at < log.size();) {
            size_t end = log.find('\n', at);
            if (end == std::string::npos || log.compare(at, lead.size(), lead) != 0) {
                return false;
            }
            got.push_back(log.substr(at + lead.size(), end - at - lead.size()));
            at = end + 1;
        }
        return peer::lines_match(got, messages);
    }

    peer::Peer &p() { return backend_.peer(); }
    // The backend's resident memory in bytes, or -1.
    long long resident_bytes() const {
        long kb = peer::proc_status_kb(backend_.pid(), "VmRSS");
        return kb < 0 ? -1 : static_cast<long long>(kb) * 1024;
    }

    peer::Backend backend_;
    pid_t pid_ = 0;
};

TEST_F(EndToEnd, LifeOfAMessageFromHelloToItsLastEnvelope) {
    std::optional<peer::Reply> hello = peer::hello(p());
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(hello->header.type, QUEUE_REPLY);
    EXPECT_EQ(hello->header.length, wire::HEADER_LEN);
    EXPECT_EQ(hello->header.pid, pid_);
    EXPECT_FALSE(hello->fd.valid());

    uint32_t msgid = peer::message_new(p());
    ASSERT_NE(msgid, 0u);
    const Bytes content = bytes_of("Subject: test\r\n\r\nHello.\r\n");
    EXPECT_EQ(peer::message_store(p(), msgid, content), 1);

    uint64_t first = peer::envelope_new(p(), msgid, bytes_of("to=a@example.org"));
    uint64_t second = peer::envelope_new(p(), msgid, bytes_of("to=b@example.org"));
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_EQ(first >> 32, msgid);
    EXPECT_EQ(second >> 32, msgid);

    EXPECT_EQ(peer::message_content(p(), msgid), content);

    EXPECT_EQ(peer::envelope_read(p(), first), bytes_of("to=a@example.org"));
    EXPECT_EQ(peer::envelope_replace(p(), first, bytes_of("to=c@example.org")), 1);
    EXPECT_EQ(peer::envelope_read(p(), first), bytes_of("to=c@example.org"));
    EXPECT_EQ(peer::envelope_read(p(), second), bytes_of("to=b@example.org"));

    EXPECT_EQ(peer::envelope_remove(p(), first), 1);
    EXPECT_TRUE(peer::message_open(p(), msgid).valid()) << "one envelope left keeps the message";
    EXPECT_EQ(backend_.new_log(), "");

    EXPECT_EQ(peer::envelope_remove(p(), second), 1);
    EXPECT_FALSE(peer::message_open(p(), msgid).valid());
    EXPECT_EQ(peer::envelope_new(p(), msgid, bytes_of("x")), 0u);
    std::string log = backend_.new_log();
    EXPECT_TRUE(logged(log, {"warn: not found", "warn: message not found"})) << log;
}

TEST_F(EndToEnd, ContentsComeBackByteExactFromANamelessFileAtOffsetZero) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{8192}, size_t{8193}, size_t{8} << 20}) {
        const Bytes content = wire::pattern(size, size);
        uint32_t msgid = peer::message_new(p());
        ASSERT_NE(msgid, 0u);
        EXPECT_EQ(peer::message_store(p(), msgid, content), 1) << size;
        unique_fd fd = peer::message_open(p(), msgid);
        ASSERT_TRUE(fd.valid()) << size << backend_.log();
        struct stat sb;
        ASSERT_EQ(fstat(fd.get(), &sb), 0);
        EXPECT_EQ(sb.st_nlink, 0u) << size;
        EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 0) << size;
        Bytes back;
        EXPECT_TRUE(peer::read_to_end(fd.get(), back)) << size;
        EXPECT_TRUE(back == content) << size;
        EXPECT_EQ(peer::message_remove(p(), msgid), 0);
    }
    EXPECT_EQ(backend_.new_log(), "");
}

TEST_F(EndToEnd, EnvelopesUpToTheReadBufferComeBackAndLongerAreRefused) {
    uint32_t msgid = peer::message_new(p());
    ASSERT_NE(msgid, 0u);
    std::vector<std::pair<uint64_t, Bytes>> stored;
    for (size_t size : {size_t{0}, size_t{1}, QUEUE_ENVELOPE_BUF}) {
        Bytes data = wire::pattern(size, size + 1);
        uint64_t id = peer::envelope_new(p(), msgid, data);
        ASSERT_NE(id, 0u) << size;
        EXPECT_EQ(peer::envelope_read(p(), id), data) << size;
        stored.emplace_back(id, data);
    }
    EXPECT_EQ(backend_.new_log(), "");

    Bytes too_long(QUEUE_ENVELOPE_BUF + 1, 'x');
    EXPECT_EQ(peer::envelope_new(p(), msgid, too_long), 0u);
    EXPECT_EQ(peer::envelope_replace(p(), stored[1].first, too_long), 0);
    EXPECT_EQ(backend_.new_log(),
              prefix() + "warn: envelope too large\n" + prefix() + "warn: envelope too large\n");
    for (auto &[id, data] : stored) {
        EXPECT_EQ(peer::envelope_read(p(), id), data);
    }
}

TEST_F(EndToEnd, FailedRequestsLogOneLineEachInTheProgramPidForm) {
    uint32_t msgid = peer::message_new(p());
    ASSERT_NE(msgid, 0u);
    uint32_t absent = msgid ^ 1;
    EXPECT_EQ(peer::message_remove(p(), absent), 0);
    EXPECT_EQ(peer::message_store(p(), absent, bytes_of("x")), 0);
    std::optional<peer::Reply> read =
        p().call(QUEUE_ENVELOPE_READ, wire::u64(static_cast<uint64_t>(absent) << 32));
    ASSERT_TRUE(read.has_value());
    EXPECT_TRUE(read->payload.empty());
    std::string log = backend_.new_log();
    EXPECT_TRUE(
        logged(log, {"warn: not found", "warn: msgid not found", "warn: message not found"}))
        << log;
}

// A lookup that finds nothing sets no error number, so a "not found" line
// carries no error text, even right after a request that failed with one.
TEST_F(EndToEnd, NotFoundLinesCarryNoErrorTextAfterAFailedStore) {
    uint32_t msgid = peer::message_new(p());
    ASSERT_NE(msgid, 0u);
    uint64_t evpid = peer::envelope_new(p(), msgid, bytes_of("e"));
    ASSERT_NE(evpid, 0u);
    const uint64_t absent_message = static_cast<uint64_t>(msgid ^ 1) << 32 | 1;
    const uint64_t absent_envelope = evpid ^ 1;
    unique_fd dir(open("/", O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(dir.valid());
    EXPECT_EQ(peer::message_store(p(), msgid, dir.get()), 0);
    std::vector<std::string> want = {std::string("warn: queue-api: content copy: ") +
                                     strerror(EISDIR)};
    for (uint64_t id : {absent_message, absent_envelope}) {
        const char *line = id == absent_message ? "warn: message not found" : "warn: not found";
        EXPECT_TRUE(peer::envelope_read(p(), id).empty());
        EXPECT_EQ(peer::envelope_replace(p(), id, bytes_of("r")), 0);
        EXPECT_EQ(peer::envelope_remove(p(), id), 0);
        want.insert(want.end(), {line, line, line});
    }
    EXPECT_EQ(peer::envelope_new(p(), msgid ^ 1, bytes_of("n")), 0u);
    want.push_back("warn: message not found");
    std::string log = backend_.new_log();
    EXPECT_TRUE(logged(log, want)) << log;
}

TEST_F(EndToEnd, DescriptorCountUnchangedAfterAThousandMixedRequests) {
    int before = backend_.fd_count();
    ASSERT_GT(before, 0);

    const Bytes content = wire::pattern(10000, 5);
    uint32_t msgid = 0;
    uint64_t evpid = 0;
    int requests = 0;
    while (requests < 1000) {
        switch (requests % 10) {
            case 0:
                msgid = peer::message_new(p());
                break;
            case 1:
                EXPECT_EQ(peer::message_store(p(), msgid, content), 1);
                break;
            case 2:
                evpid = peer::envelope_new(p(), msgid, bytes_of("envelope"));
                break;
            case 3:
            case 7:
                EXPECT_TRUE(peer::message_open(p(), msgid).valid());
                break;
            case 4:
                EXPECT_EQ(peer::envelope_replace(p(), evpid, wire::pattern(300, 6)), 1);
                break;
            case 5:
                EXPECT_FALSE(peer::message_open(p(), msgid ^ 1).valid());
                break;
            case 6:
                EXPECT_EQ(peer::message_store(p(), msgid ^ 1, content), 0);
                break;
            case 8:
                EXPECT_EQ(peer::envelope_read(p(), evpid).size(), 300u);
                break;
            case 9:
                EXPECT_EQ(peer::envelope_remove(p(), evpid), 1);
                break;
        }
        ++requests;
    }
    // The backend closes a passed descriptor once its reply is out; one
    // more round trip makes sure it has moved on from the last one.
    ASSERT_TRUE(peer::hello(p()));
    EXPECT_EQ(backend_.fd_count(), before);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool instrumented_allocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool instrumented_allocator = true;
#else
constexpr bool instrumented_allocator = false;
#endif
#else
constexpr bool instrumented_allocator = false;
#endif

// Queues one request and writes it out; false when it could not be sent. A
// descriptor given here is the peer's, which closes it once sent, or at
// once when it cannot be queued.
bool send(peer::Peer &p, uint32_t type, std::span<const uint8_t> payload, int fd = -1) {
    return p.queue_owned(type, payload, fd) && p.flush();
}

// The next reply; a test failure, and an empty reply, when none comes.
peer::Reply next_reply(peer::Peer &p) {
    peer::Reply r;
    EXPECT_TRUE(p.receive(r)) << "no reply";
    return r;
}

// Stores `messages` messages, each with the content behind `content` (a
// file read through /proc/self/fd, so that every store gets a descriptor of
// its own at offset 0) and one envelope, in batches whose requests go out
// before their replies are read: the run costs the backend's work and not a
// round trip each. The envelope ids, by message.
std::vector<uint64_t> fill(peer::Peer &p, size_t messages, int content, const Bytes &envelope) {
    const std::string content_path = "/proc/self/fd/" + std::to_string(content);
    constexpr size_t batch = 250;
    std::vector<uint64_t> evpids;
    std::vector<uint32_t> ids;
    for (size_t done = 0; done < messages; done += batch) {
        size_t n = std::min(batch, messages - done);
        ids.assign(n, 0);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(send(p, QUEUE_MESSAGE_NEW, {}));
        }
        for (size_t i = 0; i < n; ++i) {
            peer::Reply r = next_reply(p);
            EXPECT_EQ(r.result().value_or(peer::NO_RESULT), 1);
            ids[i] = r.u32_at(4).value_or(0);
        }
        for (size_t i = 0; i < n; ++i) {
            int fd = open(content_path.c_str(), O_RDONLY | O_CLOEXEC);
            EXPECT_NE(fd, -1);
            EXPECT_TRUE(send(p, QUEUE_MESSAGE_STORE, wire::u32(ids[i]), fd));
        }
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(next_reply(p).result().value_or(peer::NO_RESULT), 1);
        }
        for (size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(send(p, QUEUE_ENVELOPE_NEW, wire::cat({wire::u32(ids[i]), envelope})));
        }
        for (size_t i = 0; i < n; ++i) {
            peer::Reply r = next_reply(p);
            EXPECT_EQ(r.result().value_or(peer::NO_RESULT), 1);
            evpids.push_back(r.u64_at(4).value_or(0));
        }
    }
    return evpids;
}

// Removes every message through its one envelope, in a shuffled order: a
// queue does not deliver in the order it was filled.
void remove_all(peer::Peer &p, std::vector<uint64_t> evpids, uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::shuffle(evpids.begin(), evpids.end(), gen);
    constexpr size_t batch = 250;
    for (size_t done = 0; done < evpids.size(); done += batch) {
        size_t n = std::min(batch, evpids.size() - done);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(send(p, QUEUE_ENVELOPE_REMOVE, wire::u64(evpids[done + i])));
        }
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(next_reply(p).result().value_or(peer::NO_RESULT), 1);
        }
    }
}

// A queue of many small messages must cost little beyond its bytes: the
// records, tree nodes and allocator headers of one message with one
// envelope stay within 256 bytes.
TEST_F(EndToEnd, ResidentMemoryStaysWithin256BytesPerMessageOverItsContent) {
    if (instrumented_allocator) {
        GTEST_SKIP() << "the sanitizer's allocator pads every block";
    }
    constexpr size_t messages = 100000;
    constexpr size_t content_size = 4096;
    constexpr size_t envelope_size = 512;
    const Bytes envelope = wire::pattern(envelope_size, 8);
    int content = peer::content_fd(wire::pattern(content_size, 7));
    ASSERT_NE(content, -1);

    long long baseline = resident_bytes();
    ASSERT_GT(baseline, 0);
    std::vector<uint64_t> evpids = fill(p(), messages, content, envelope);
    close(content);
    ASSERT_EQ(evpids.size(), messages);
    long long grown = resident_bytes() - baseline;
    long long stored = static_cast<long long>(messages * (content_size + envelope_size));
    double per_message = static_cast<double>(grown - stored) / messages;
    RecordProperty("overhead_bytes_per_message", std::to_string(per_message));
    std::printf("resident growth %lld bytes for %lld stored: %.1f bytes per message over\n", grown,
                stored, per_message);
    EXPECT_LE(grown - stored, static_cast<long long>(256 * messages));
}

// A burst fills the queue and drains away: the memory it took must go back
// to the system, not stay at the peak for the rest of the backend's life.
// Twice, since the second burst reuses what the first left.
TEST_F(EndToEnd, ResidentMemoryReturnsToItsStartOnceTheQueueDrains) {
    if (instrumented_allocator) {
        GTEST_SKIP() << "the sanitizer's allocator keeps freed blocks in quarantine";
    }
    constexpr size_t messages = 4000;
    constexpr long long bound = 4ll << 20;
    const Bytes envelope = wire::pattern(512, 9);
    int content = peer::content_fd(wire::pattern(16384, 10));
    ASSERT_NE(content, -1);
    long long start = resident_bytes();
    ASSERT_GT(start, 0);
    for (size_t round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::vector<uint64_t> evpids = fill(p(), messages / (round + 1), content, envelope);
        long long full = resident_bytes();
        // Without the filled bytes resident, the drain proves nothing.
        ASSERT_GT(full - start, static_cast<long long>(evpids.size() * 16384));
        remove_all(p(), evpids, round);
        long long drained = resident_bytes();
        std::printf("round %zu: start %lld, full %lld, drained %lld bytes\n", round, start, full,
                    drained);
        EXPECT_LE(drained - start, bound);
    }
    close(content);
    // Every message went with its last envelope.
    EXPECT_EQ(backend_.new_log(), "");
}

// The environment a backend was started with, as NAME=VALUE strings.
std::vector<std::string> environment_of(pid_t pid) {
    std::vector<std::string> vars;
    std::string path = "/proc/" + std::to_string(pid) + "/environ";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        ADD_FAILURE() << path << ": " << strerror(errno);
        return vars;
    }
    std::string all = testutil::read_all(fd);
    close(fd);
    for (size_t at = 0, end; at < all.size(); at = end + 1) {
        end = all.find('\0', at);
        if (end == std::string::npos) {
            end = all.size();
        }
        vars.push_back(all.substr(at, end - at));
    }
    return vars;
}

// The leak checker is off in the backend, whose root has no /proc, and
// this process's environment is left as it was, set, empty or unset.
TEST(BackendStart, TurnsTheLeakCheckOffForTheBackendAlone) {
    std::string why = testutil::prepare_defaults();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    const char *given = getenv("ASAN_OPTIONS");
    const std::string original = given != nullptr ? given : "";
    const bool had = given != nullptr;
    struct Case {
        const char *what;
        const char *options;  // null: unset
        const char *backend_sees;
    } cases[] = {
        {"unset", nullptr, "ASAN_OPTIONS=detect_leaks=0"},
        {"empty", "", "ASAN_OPTIONS=detect_leaks=0"},
        {"given", "abort_on_error=0", "ASAN_OPTIONS=abort_on_error=0:detect_leaks=0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.options == nullptr) {
            unsetenv("ASAN_OPTIONS");
        } else {
            setenv("ASAN_OPTIONS", c.options, 1);
        }
        for (int round = 0; round < 2; round++) {
            peer::Backend backend;
            ASSERT_TRUE(
                testutil::start_backend(backend, peer::wrapper_from_env("MEMQ_BACKEND_WRAPPER")));
            ASSERT_TRUE(peer::hello(backend.peer())) << backend.log();
            std::vector<std::string> env = environment_of(backend.pid());
            EXPECT_EQ(std::count(env.begin(), env.end(), c.backend_sees), 1) << "round " << round;
            const char *now = getenv("ASAN_OPTIONS");
            ASSERT_EQ(now != nullptr, c.options != nullptr);
            if (now != nullptr) {
                EXPECT_EQ(std::string(now), c.options) << "round " << round;
            }
            EXPECT_EQ(backend.stop(), 0) << backend.log();
        }
    }
    if (had) {
        setenv("ASAN_OPTIONS", original.c_str(), 1);
    } else {
        unsetenv("ASAN_OPTIONS");
    }
}

}  // namespace
