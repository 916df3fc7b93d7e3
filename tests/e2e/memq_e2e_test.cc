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
#include "e2e/peer.h"
#include "peer/model.h"

namespace {

using e2e::bytes;

using testutil::bytes_of;
using testutil::random_bytes;

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = testutil::prepare_defaults();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        fds_before_ = testutil::open_fds();
        ASSERT_TRUE(backend_.start());
        pid_ = backend_.pid();
        e2e::Reply hello = backend_.hello();
        ASSERT_TRUE(hello.arrived) << backend_.log();
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
        EXPECT_EQ(testutil::open_fds(), fds_before_) << "a descriptor leaked in the peer";
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

    e2e::Backend backend_;
    pid_t pid_ = 0;
    std::vector<int> fds_before_;
};

TEST_F(EndToEnd, LifeOfAMessageFromHelloToItsLastEnvelope) {
    e2e::Reply hello = backend_.hello();
    EXPECT_EQ(hello.header.type, QUEUE_REPLY);
    EXPECT_EQ(hello.header.length, wire::HEADER_LEN);
    EXPECT_EQ(hello.header.pid, pid_);
    EXPECT_EQ(hello.fd, -1);

    uint32_t msgid = backend_.message_new();
    ASSERT_NE(msgid, 0u);
    const bytes content = bytes_of("Subject: test\r\n\r\nHello.\r\n");
    EXPECT_EQ(backend_.message_store(msgid, content), 1);

    uint64_t first = backend_.envelope_new(msgid, bytes_of("to=a@example.org"));
    uint64_t second = backend_.envelope_new(msgid, bytes_of("to=b@example.org"));
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_EQ(first >> 32, msgid);
    EXPECT_EQ(second >> 32, msgid);

    int fd = backend_.message_open(msgid);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(e2e::read_to_end(fd), content);
    close(fd);

    EXPECT_EQ(backend_.envelope_read(first), bytes_of("to=a@example.org"));
    EXPECT_EQ(backend_.envelope_replace(first, bytes_of("to=c@example.org")), 1);
    EXPECT_EQ(backend_.envelope_read(first), bytes_of("to=c@example.org"));
    EXPECT_EQ(backend_.envelope_read(second), bytes_of("to=b@example.org"));

    EXPECT_EQ(backend_.envelope_remove(first), 1);
    fd = backend_.message_open(msgid);
    EXPECT_NE(fd, -1) << "one envelope left keeps the message";
    close(fd);
    EXPECT_EQ(backend_.new_log(), "");

    EXPECT_EQ(backend_.envelope_remove(second), 1);
    EXPECT_EQ(backend_.message_open(msgid), -1);
    EXPECT_EQ(backend_.envelope_new(msgid, bytes_of("x")), 0u);
    std::string log = backend_.new_log();
    EXPECT_TRUE(logged(log, {"warn: not found", "warn: message not found"})) << log;
}

TEST_F(EndToEnd, ContentsComeBackByteExactFromANamelessFileAtOffsetZero) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{8192}, size_t{8193}, size_t{8} << 20}) {
        const bytes content = random_bytes(size, size);
        uint32_t msgid = backend_.message_new();
        ASSERT_NE(msgid, 0u);
        EXPECT_EQ(backend_.message_store(msgid, content), 1) << size;
        int fd = backend_.message_open(msgid);
        ASSERT_NE(fd, -1) << size << backend_.log();
        struct stat sb;
        ASSERT_EQ(fstat(fd, &sb), 0);
        EXPECT_EQ(sb.st_nlink, 0u) << size;
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << size;
        EXPECT_TRUE(e2e::read_to_end(fd) == content) << size;
        close(fd);
        EXPECT_EQ(backend_.message_remove(msgid), 0);
    }
    EXPECT_EQ(backend_.new_log(), "");
}

TEST_F(EndToEnd, EnvelopesUpToTheReadBufferComeBackAndLongerAreRefused) {
    uint32_t msgid = backend_.message_new();
    ASSERT_NE(msgid, 0u);
    std::vector<std::pair<uint64_t, bytes>> stored;
    for (size_t size : {size_t{0}, size_t{1}, QUEUE_ENVELOPE_BUF}) {
        bytes data = random_bytes(size, size + 1);
        uint64_t id = backend_.envelope_new(msgid, data);
        ASSERT_NE(id, 0u) << size;
        EXPECT_EQ(backend_.envelope_read(id), data) << size;
        stored.emplace_back(id, data);
    }
    EXPECT_EQ(backend_.new_log(), "");

    bytes too_long(QUEUE_ENVELOPE_BUF + 1, 'x');
    EXPECT_EQ(backend_.envelope_new(msgid, too_long), 0u);
    EXPECT_EQ(backend_.envelope_replace(stored[1].first, too_long), 0);
    EXPECT_EQ(backend_.new_log(),
              prefix() + "warn: envelope too large\n" + prefix() + "warn: envelope too large\n");
    for (auto &[id, data] : stored) {
        EXPECT_EQ(backend_.envelope_read(id), data);
    }
}

TEST_F(EndToEnd, FailedRequestsLogOneLineEachInTheProgramPidForm) {
    uint32_t msgid = backend_.message_new();
    ASSERT_NE(msgid, 0u);
    uint32_t absent = msgid ^ 1;
    EXPECT_EQ(backend_.message_remove(absent), 0);
    EXPECT_EQ(backend_.message_store(absent, bytes_of("x")), 0);
    e2e::Reply read = backend_.request(QUEUE_ENVELOPE_READ,
                                       e2e::Backend::pack(static_cast<uint64_t>(absent) << 32));
    EXPECT_TRUE(read.arrived);
    EXPECT_TRUE(read.payload.empty());
    std::string log = backend_.new_log();
    EXPECT_TRUE(
        logged(log, {"warn: not found", "warn: msgid not found", "warn: message not found"}))
        << log;
}

// A lookup that finds nothing sets no error number, so a "not found" line
// carries no error text, even right after a request that failed with one.
TEST_F(EndToEnd, NotFoundLinesCarryNoErrorTextAfterAFailedStore) {
    uint32_t msgid = backend_.message_new();
    ASSERT_NE(msgid, 0u);
    uint64_t evpid = backend_.envelope_new(msgid, bytes_of("e"));
    ASSERT_NE(evpid, 0u);
    const uint64_t absent_message = static_cast<uint64_t>(msgid ^ 1) << 32 | 1;
    const uint64_t absent_envelope = evpid ^ 1;
    int dir = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_NE(dir, -1);
    EXPECT_EQ(backend_.message_store(msgid, dir), 0);
    close(dir);
    std::vector<std::string> want = {std::string("warn: queue-api: content copy: ") +
                                     strerror(EISDIR)};
    for (uint64_t id : {absent_message, absent_envelope}) {
        const char *line = id == absent_message ? "warn: message not found" : "warn: not found";
        EXPECT_TRUE(backend_.envelope_read(id).empty());
        EXPECT_EQ(backend_.envelope_replace(id, bytes_of("r")), 0);
        EXPECT_EQ(backend_.envelope_remove(id), 0);
        want.insert(want.end(), {line, line, line});
    }
    EXPECT_EQ(backend_.envelope_new(msgid ^ 1, bytes_of("n")), 0u);
    want.push_back("warn: message not found");
    std::string log = backend_.new_log();
    EXPECT_TRUE(logged(log, want)) << log;
}

TEST_F(EndToEnd, DescriptorCountUnchangedAfterAThousandMixedRequests) {
    int before = backend_.fd_count();
    ASSERT_GT(before, 0);

    const bytes content = random_bytes(10000, 5);
    uint32_t msgid = 0;
    uint64_t evpid = 0;
    int requests = 0;
    while (requests < 1000) {
        switch (requests % 10) {
            case 0:
                msgid = backend_.message_new();
                break;
            case 1:
                EXPECT_EQ(backend_.message_store(msgid, content), 1);
                break;
            case 2:
                evpid = backend_.envelope_new(msgid, bytes_of("envelope"));
                break;
            case 3:
            case 7: {
                int fd = backend_.message_open(msgid);
                EXPECT_NE(fd, -1);
                close(fd);
                break;
            }
            case 4:
                EXPECT_EQ(backend_.envelope_replace(evpid, random_bytes(300, 6)), 1);
                break;
            case 5:
                EXPECT_EQ(backend_.message_open(msgid ^ 1), -1);
                break;
            case 6:
                EXPECT_EQ(backend_.message_store(msgid ^ 1, content), 0);
                break;
            case 8:
                EXPECT_EQ(backend_.envelope_read(evpid).size(), 300u);
                break;
            case 9:
                EXPECT_EQ(backend_.envelope_remove(evpid), 1);
                break;
        }
        ++requests;
    }
    // The backend closes a passed descriptor once its reply is out; one
    // more round trip makes sure it has moved on from the last one.
    ASSERT_TRUE(backend_.hello().arrived);
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

// Stores `messages` messages, each with the content behind `content` (a
// file read through /proc/self/fd, so that every store gets a descriptor of
// its own at offset 0) and one envelope, in batches whose requests go out
// before their replies are read: the run costs the backend's work and not a
// round trip each. The envelope ids, by message.
std::vector<uint64_t> fill(e2e::Backend &backend, size_t messages, int content,
                           const bytes &envelope) {
    const std::string content_path = "/proc/self/fd/" + std::to_string(content);
    constexpr size_t batch = 250;
    std::vector<uint64_t> evpids;
    std::vector<uint32_t> ids;
    for (size_t done = 0; done < messages; done += batch) {
        size_t n = std::min(batch, messages - done);
        ids.assign(n, 0);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(backend.send(QUEUE_MESSAGE_NEW, {}));
        }
        for (size_t i = 0; i < n; ++i) {
            e2e::Reply r = backend.receive();
            EXPECT_EQ(r.result(), 1);
            ids[i] = r.field_at<uint32_t>(4);
        }
        for (size_t i = 0; i < n; ++i) {
            int fd = open(content_path.c_str(), O_RDONLY | O_CLOEXEC);
            EXPECT_NE(fd, -1);
            EXPECT_TRUE(backend.send(QUEUE_MESSAGE_STORE, e2e::Backend::pack(ids[i]), fd));
        }
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(backend.receive().result(), 1);
        }
        for (size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(
                backend.send(QUEUE_ENVELOPE_NEW, e2e::Backend::pack_with(ids[i], envelope)));
        }
        for (size_t i = 0; i < n; ++i) {
            e2e::Reply r = backend.receive();
            EXPECT_EQ(r.result(), 1);
            evpids.push_back(r.field_at<uint64_t>(4));
        }
    }
    return evpids;
}

// Removes every message through its one envelope, in a shuffled order: a
// queue does not deliver in the order it was filled.
void remove_all(e2e::Backend &backend, std::vector<uint64_t> evpids, uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::shuffle(evpids.begin(), evpids.end(), gen);
    constexpr size_t batch = 250;
    for (size_t done = 0; done < evpids.size(); done += batch) {
        size_t n = std::min(batch, evpids.size() - done);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(backend.send(QUEUE_ENVELOPE_REMOVE, e2e::Backend::pack(evpids[done + i])));
        }
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(backend.receive().result(), 1);
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
    const bytes envelope = random_bytes(envelope_size, 8);
    int content = e2e::content_fd(random_bytes(content_size, 7));
    ASSERT_NE(content, -1);

    long long baseline = backend_.resident_bytes();
    ASSERT_GT(baseline, 0);
    std::vector<uint64_t> evpids = fill(backend_, messages, content, envelope);
    close(content);
    ASSERT_EQ(evpids.size(), messages);
    long long grown = backend_.resident_bytes() - baseline;
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
    const bytes envelope = random_bytes(512, 9);
    int content = e2e::content_fd(random_bytes(16384, 10));
    ASSERT_NE(content, -1);
    long long start = backend_.resident_bytes();
    ASSERT_GT(start, 0);
    for (size_t round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::vector<uint64_t> evpids = fill(backend_, messages / (round + 1), content, envelope);
        long long full = backend_.resident_bytes();
        // Without the filled bytes resident, the drain proves nothing.
        ASSERT_GT(full - start, static_cast<long long>(evpids.size() * 16384));
        remove_all(backend_, evpids, round);
        long long drained = backend_.resident_bytes();
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
            e2e::Backend backend;
            ASSERT_TRUE(backend.start());
            ASSERT_TRUE(backend.hello().arrived) << backend.log();
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
