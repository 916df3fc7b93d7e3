// The store's handlers called directly, with their warnings captured.
#include "store/memq.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/bytes.h"
#include "common/child.h"
#include "common/root.h"
#include "common/scripted_draw.h"
#include "common/syscall_fault.h"
#include "common/temp_dir.h"
#include "frame/ids.h"
#include "log/log.h"

// A failed allocation is a handled path in the store; under the sanitizer
// it must come back as null, as it does from the system allocator.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

namespace fs = std::filesystem;
using wire::Bytes;

// The store logs in this process.
std::string line(const std::string &message) {
    return testutil::log_line(getpid(), message);
}

// Runs fn with this process's stderr sent to a file, and returns what it
// wrote there, less the sanitizer's own notes (lines starting "==").
std::string capture_stderr(const std::function<void()> &fn) {
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    FILE *sink = tmpfile();
    if (saved == -1 || sink == nullptr) {
        ADD_FAILURE() << "cannot redirect stderr";
        return {};
    }
    dup2(fileno(sink), STDERR_FILENO);
    fn();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    rewind(sink);
    std::string all = testutil::read_all(fileno(sink));
    fclose(sink);
    return testutil::without_sanitizer_notes(all);
}

using testutil::bytes_of;

class Store : public ::testing::Test {
  protected:
    void SetUp() override {
        log_open(1);
        ASSERT_EQ(stored_messages.count, 0u);
        ASSERT_FALSE(temp_.path().empty());
        dir_ = temp_.path();
        fds_before_ = testutil::open_fds();
    }

    void TearDown() override {
        uint64_t key;
        while (tree_peek_root(&stored_messages, &key, nullptr) != 0) {
            memq_message_remove(static_cast<uint32_t>(key));
        }
        EXPECT_EQ(testutil::open_fds(), fds_before_) << "a descriptor leaked";
    }

    uint32_t new_message() {
        uint32_t id = 0;
        EXPECT_EQ(memq_message_new(&id), 1);
        return id;
    }

    uint64_t new_envelope(uint32_t msgid, const Bytes &data) {
        uint64_t id = 0;
        EXPECT_EQ(memq_envelope_new(msgid, data, &id), 1);
        return id;
    }

    std::string write_file(const Bytes &content) {
        std::string path = dir_ + "/content." + std::to_string(files_++);
        FILE *f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f != nullptr) {
            if (!content.empty()) {
                EXPECT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
            }
            fclose(f);
        }
        return path;
    }

    int store(uint32_t msgid, const Bytes &content) {
        return memq_message_store(msgid, write_file(content).c_str());
    }

    static memq_message *record(uint32_t msgid) {
        return static_cast<memq_message *>(tree_lookup(&stored_messages, msgid));
    }

    static Bytes content_of(uint32_t msgid) {
        memq_message *m = record(msgid);
        if (m == nullptr || m->length == 0) {
            return {};
        }
        return Bytes(m->content, m->content + m->length);
    }

    // The envelope's bytes as the loop would read them back.
    static Bytes read_envelope(uint64_t evpid) {
        Bytes buf(MEMQ_ENVELOPE_MAX);
        int n = memq_envelope_read(evpid, buf);
        buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buf;
    }

    testutil::TempDir temp_{"memq_test"};
    std::string dir_;
    int files_ = 0;
    std::vector<int> fds_before_;
};

// A drawn id the store already holds is drawn again, for messages and for
// a message's envelopes alike.
TEST_F(Store, AnIdThatIsTakenIsDrawnAgain) {
    ids_set_uniform(testutil::scripted_draw);
    testutil::scripted_draws = {40, 40, 0, 41};
    uint32_t first = new_message();
    uint32_t second = new_message();
    EXPECT_EQ(first, 40u);
    EXPECT_EQ(second, 41u) << "40 is taken and 0 is no id";
    testutil::scripted_draws = {9, 9, 10, 9};
    uint64_t a = new_envelope(first, bytes_of("a"));
    uint64_t b = new_envelope(first, bytes_of("b"));
    uint64_t other = new_envelope(second, bytes_of("c"));
    EXPECT_EQ(a, (uint64_t{40} << 32) | 9);
    EXPECT_EQ(b, (uint64_t{40} << 32) | 10) << "9 is taken in this message";
    EXPECT_EQ(other, (uint64_t{41} << 32) | 9) << "another message's 9 is not";
    EXPECT_TRUE(testutil::scripted_draws.empty());
    ids_set_uniform(nullptr);
}

// Every failure that does not need memory to run out or a changed root:
// exact warning, result, and whether the error text follows. errno is set
// to a stale value first, as an earlier failed call would leave it, so that
// a lookup that finds nothing is seen to tell only that.
TEST_F(Store, FailureRowsLogTheirWarningAndResult) {
    uint32_t msgid = new_message();
    uint64_t evpid = new_envelope(msgid, bytes_of("abc"));
    uint32_t absent = msgid ^ 1;
    uint64_t absent_msg_evpid = (static_cast<uint64_t>(absent) << 32) | 1;
    uint64_t absent_evpid = evpid ^ 1;
    const std::string missing_file = dir_ + "/no-such-file";
    Bytes big(MEMQ_ENVELOPE_MAX + 1, 'x');
    Bytes buf(8192);
    Bytes small(2);
    uint64_t place = 0;

    struct Row {
        const char *what;
        std::function<int()> call;
        int result;
        std::string warning;
    };
    const std::vector<Row> rows = {
        {"store, absent msgid", [&] { return memq_message_store(absent, missing_file.c_str()); }, 0,
         "warn: msgid not found"},
        {"store, file cannot be opened",
         [&] { return memq_message_store(msgid, missing_file.c_str()); }, 0,
         "warn: fopen: \"" + missing_file + "\": " + strerror(ENOENT)},
        {"remove, absent", [&] { return memq_message_remove(absent); }, 0, "warn: not found"},
        {"mark, absent", [&] { return memq_message_mark(absent); }, 0, "warn: not found"},
        {"open, absent", [&] { return memq_message_open(absent); }, -1, "warn: not found"},
        {"envelope new, message absent",
         [&] { return memq_envelope_new(absent, bytes_of("x"), &place); }, 0,
         "warn: message not found"},
        {"envelope new, too large", [&] { return memq_envelope_new(msgid, big, &place); }, 0,
         "warn: envelope too large"},
        {"envelope new, too large for an absent message",
         [&] { return memq_envelope_new(absent, big, &place); }, 0, "warn: envelope too large"},
        {"envelope remove, message absent", [&] { return memq_envelope_remove(absent_msg_evpid); },
         0, "warn: message not found"},
        {"envelope remove, envelope absent", [&] { return memq_envelope_remove(absent_evpid); }, 0,
         "warn: not found"},
        {"envelope replace, message absent",
         [&] { return memq_envelope_replace(absent_msg_evpid, bytes_of("y")); }, 0,
         "warn: message not found"},
        {"envelope replace, envelope absent",
         [&] { return memq_envelope_replace(absent_evpid, bytes_of("y")); }, 0, "warn: not found"},
        {"envelope replace, too large", [&] { return memq_envelope_replace(evpid, big); }, 0,
         "warn: envelope too large"},
        {"envelope read, message absent", [&] { return memq_envelope_read(absent_msg_evpid, buf); },
         0, "warn: message not found"},
        {"envelope read, envelope absent", [&] { return memq_envelope_read(absent_evpid, buf); }, 0,
         "warn: not found"},
        {"envelope read, buffer too small", [&] { return memq_envelope_read(evpid, small); }, 0,
         "warn: buffer too small"},
    };
    for (const Row &row : rows) {
        int result = 99;
        std::string err = capture_stderr([&] {
            errno = EDOM;
            result = row.call();
        });
        EXPECT_EQ(result, row.result) << row.what;
        EXPECT_EQ(err, line(row.warning)) << row.what;
    }

    // None of the failures touched what was there.
    EXPECT_EQ(stored_messages.count, 1u);
    EXPECT_FALSE(tree_contains(&stored_messages, absent));
    EXPECT_EQ(record(msgid)->envelopes.count, 1u);
    EXPECT_EQ(read_envelope(evpid), bytes_of("abc"));
    EXPECT_EQ(record(msgid)->length, 0u);
}

// A store that fails after the file was opened leaves the earlier content
// whole. Each case makes the file that provokes its failure, or an empty
// path when this system cannot.
struct FailedStore {
    const char *name;
    std::function<std::string(const std::string &dir)> make_file;
    std::string warning;

    friend void PrintTo(const FailedStore &c, std::ostream *os) { *os << c.name; }
};

class StoreFailure : public Store, public ::testing::WithParamInterface<FailedStore> {};

TEST_P(StoreFailure, KeepsTheEarlierContent) {
    std::string path = GetParam().make_file(dir_);
    if (path.empty()) {
        GTEST_SKIP() << "this system cannot provide the file";
    }
    struct remove_scratch {
        std::string path;
        ~remove_scratch() {
            if (path.rfind("/dev/shm/", 0) == 0) {
                unlink(path.c_str());
            }
        }
    } scratch{path};
    const Bytes earlier = wire::pattern(5000, 1);
    uint32_t msgid = new_message();
    ASSERT_EQ(store(msgid, earlier), 1);
    int result = 99;
    std::string err = capture_stderr([&] { result = memq_message_store(msgid, path.c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(err, line(GetParam().warning));
    EXPECT_EQ(record(msgid)->length, earlier.size());
    EXPECT_EQ(content_of(msgid), earlier);
}

// A sparse file far larger than any memory; it needs a file system that
// takes such sizes, as tmpfs does.
std::string huge_sparse_file(const std::string &) {
    std::string path = "/dev/shm/memq_test.sparse." + std::to_string(getpid());
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd == -1) {
        return {};
    }
    bool ok = ftruncate(fd, off_t{1} << 50) == 0;
    close(fd);
    if (!ok) {
        unlink(path.c_str());
        return {};
    }
    return path;
}

// Opening a directory for reading succeeds; reading it fails.
std::string directory(const std::string &dir) {
    struct stat sb;
    return stat(dir.c_str(), &sb) == 0 && sb.st_size > 0 ? dir : std::string();
}

// sysfs attributes claim a size of a page and hold a line.
std::string shorter_than_its_size(const std::string &) {
    const char *path = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat sb;
    if (stat(path, &sb) != 0 || sb.st_size <= 0) {
        return {};
    }
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        return {};
    }
    std::vector<char> probe(static_cast<size_t>(sb.st_size) + 1);
    size_t n = fread(probe.data(), 1, probe.size(), f);
    fclose(f);
    return n < static_cast<size_t>(sb.st_size) ? path : std::string();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreFailure,
    ::testing::Values(FailedStore{"AllocationRefused", huge_sparse_file,
                                  "warn: malloc: " + std::string(strerror(ENOMEM))},
                      FailedStore{"ReadError", directory,
                                  "warn: fread: " + std::string(strerror(EISDIR))},
                      FailedStore{"ShortRead", shorter_than_its_size, "warn: bad read"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Store, StoreReplacesContentWholeAndEmptyFilesStoreEmpty) {
    uint32_t msgid = new_message();
    EXPECT_EQ(record(msgid)->length, 0u);
    EXPECT_EQ(record(msgid)->content, nullptr);

    for (size_t size : {size_t{1}, size_t{8192}, size_t{0}, size_t{8193}, size_t{1} << 20}) {
        Bytes content = wire::pattern(size, static_cast<unsigned>(size));
        std::string err;
        int result = 0;
        err = capture_stderr([&] { result = store(msgid, content); });
        EXPECT_EQ(result, 1) << size;
        EXPECT_EQ(err, "") << size;
        EXPECT_EQ(record(msgid)->length, size);
        EXPECT_EQ(content_of(msgid), content) << size;
    }
}

TEST_F(Store, NewMessagesHaveDistinctNonzeroIds) {
    std::set<uint32_t> ids;
    for (int i = 0; i < 1000; ++i) {
        uint32_t id = 0;
        ASSERT_EQ(memq_message_new(&id), 1);
        EXPECT_NE(id, 0u);
        EXPECT_NE(id, 0xffffffffu);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 1000u);
    EXPECT_EQ(stored_messages.count, 1000u);
}

TEST_F(Store, EveryEnvelopeIdCarriesItsMsgid) {
    for (int m = 0; m < 20; ++m) {
        uint32_t msgid = new_message();
        std::set<uint64_t> ids;
        for (int e = 0; e < 50; ++e) {
            uint64_t id = new_envelope(msgid, bytes_of("e"));
            EXPECT_EQ(id >> 32, msgid);
            EXPECT_NE(id & 0xffffffffu, 0u);
            ids.insert(id);
        }
        EXPECT_EQ(ids.size(), 50u);
        EXPECT_EQ(record(msgid)->envelopes.count, 50u);
    }
}

TEST_F(Store, RemovingTheLastEnvelopeRemovesTheMessage) {
    uint32_t msgid = new_message();
    ASSERT_EQ(store(msgid, bytes_of("content")), 1);
    uint64_t first = new_envelope(msgid, bytes_of("one"));
    uint64_t second = new_envelope(msgid, bytes_of("two"));

    EXPECT_EQ(memq_envelope_remove(first), 1);
    ASSERT_TRUE(tree_contains(&stored_messages, msgid));
    EXPECT_EQ(read_envelope(second), bytes_of("two"));
    EXPECT_EQ(content_of(msgid), bytes_of("content"));

    EXPECT_EQ(memq_envelope_remove(second), 1);
    EXPECT_FALSE(tree_contains(&stored_messages, msgid));
    EXPECT_EQ(stored_messages.count, 0u);

    uint64_t place = 0;
    std::string err = capture_stderr([&] {
        EXPECT_EQ(memq_message_open(msgid), -1);
        errno = EDOM;
        EXPECT_EQ(memq_envelope_new(msgid, bytes_of("x"), &place), 0);
    });
    EXPECT_EQ(err, line("warn: not found") + line("warn: message not found"));
}

TEST_F(Store, MessageWithoutEnvelopesStaysUntilRemoved) {
    uint32_t msgid = new_message();
    uint64_t evpid = new_envelope(msgid, bytes_of("x"));
    uint32_t other = new_message();
    EXPECT_EQ(memq_envelope_remove(evpid), 1);
    EXPECT_FALSE(tree_contains(&stored_messages, msgid));
    EXPECT_TRUE(tree_contains(&stored_messages, other)) << "a message that never had an envelope";
}

// Marking is removal in this store: both free exactly one message with all
// its envelopes and give 0, and the neighbours stay as they were.
TEST_F(Store, RemoveAndMarkFreeOneMessageAndGiveZero) {
    for (auto handler : {memq_message_remove, memq_message_mark}) {
        uint32_t victim = new_message();
        ASSERT_EQ(store(victim, wire::pattern(3000, 7)), 1);
        for (int i = 0; i < 5; ++i) {
            new_envelope(victim, wire::pattern(100, static_cast<unsigned>(i)));
        }
        uint32_t kept = new_message();
        const Bytes kept_content = wire::pattern(2000, 8);
        ASSERT_EQ(store(kept, kept_content), 1);
        std::vector<std::pair<uint64_t, Bytes>> kept_envelopes;
        for (int i = 0; i < 3; ++i) {
            Bytes b = wire::pattern(200, static_cast<unsigned>(10 + i));
            kept_envelopes.emplace_back(new_envelope(kept, b), b);
        }

        std::string err = capture_stderr([&] { EXPECT_EQ(handler(victim), 0); });
        EXPECT_EQ(err, "");
        EXPECT_FALSE(tree_contains(&stored_messages, victim));
        ASSERT_TRUE(tree_contains(&stored_messages, kept));
        EXPECT_EQ(content_of(kept), kept_content);
        EXPECT_EQ(record(kept)->envelopes.count, kept_envelopes.size());
        for (auto &[id, b] : kept_envelopes) {
            EXPECT_EQ(read_envelope(id), b);
        }
        memq_message_remove(kept);
        EXPECT_EQ(stored_messages.count, 0u);
    }
}

TEST_F(Store, UnmarkAndIterateChangeNothing) {
    uint32_t msgid = new_message();
    ASSERT_EQ(store(msgid, bytes_of("body")), 1);
    uint64_t evpid = new_envelope(msgid, bytes_of("env"));

    uint64_t place = 0x1122334455667788u;
    Bytes buf(8192, 0xa5);
    std::string err = capture_stderr([&] {
        EXPECT_EQ(memq_message_unmark(msgid), 0);
        EXPECT_EQ(memq_message_unmark(msgid ^ 1), 0);
        EXPECT_EQ(memq_envelope_iterate(&place, buf), -1);
        EXPECT_EQ(memq_message_iterate(&place, buf, 42, 0, 0), -1);
    });
    EXPECT_EQ(err, "");
    EXPECT_EQ(place, 0x1122334455667788u);
    EXPECT_EQ(buf, Bytes(8192, 0xa5));
    EXPECT_EQ(stored_messages.count, 1u);
    EXPECT_EQ(content_of(msgid), bytes_of("body"));
    EXPECT_EQ(record(msgid)->envelopes.count, 1u);
    EXPECT_EQ(read_envelope(evpid), bytes_of("env"));
}

// Envelopes up to the loop's read buffer are stored and read back exactly;
// anything longer is refused on the way in, and a refused replace keeps the
// bytes that were there.
TEST_F(Store, EnvelopesUpToTheReadBufferRoundTrip) {
    uint32_t msgid = new_message();
    for (size_t size : {size_t{0}, size_t{1}, MEMQ_ENVELOPE_MAX}) {
        Bytes data = wire::pattern(size, static_cast<unsigned>(size));
        uint64_t id = new_envelope(msgid, data);
        EXPECT_EQ(read_envelope(id), data) << size;

        Bytes exact(size);
        EXPECT_EQ(memq_envelope_read(id, exact), static_cast<int>(size)) << size;
        EXPECT_EQ(exact, data);

        Bytes replacement =
            wire::pattern(MEMQ_ENVELOPE_MAX - size, static_cast<unsigned>(size + 1));
        EXPECT_EQ(memq_envelope_replace(id, replacement), 1) << size;
        EXPECT_EQ(read_envelope(id), replacement) << size;
    }

    uint64_t id = new_envelope(msgid, bytes_of("kept"));
    size_t count = record(msgid)->envelopes.count;
    uint64_t place = 0;
    std::string err = capture_stderr([&] {
        EXPECT_EQ(memq_envelope_new(msgid, Bytes(MEMQ_ENVELOPE_MAX + 1), &place), 0);
        EXPECT_EQ(memq_envelope_replace(id, Bytes(MEMQ_ENVELOPE_MAX + 1)), 0);
        Bytes one_short(3);
        EXPECT_EQ(memq_envelope_read(id, one_short), 0);
    });
    EXPECT_EQ(err, line("warn: envelope too large") + line("warn: envelope too large") +
                       line("warn: buffer too small"));
    EXPECT_EQ(record(msgid)->envelopes.count, count);
    EXPECT_EQ(read_envelope(id), bytes_of("kept"));
}

// The open handler makes its file in "/temporary" under the root, so these
// cases run in a child confined to a directory of our own.
class StoreOpen : public Store {
  protected:
    // Runs body chrooted into dir_ (with "temporary" when asked) and returns
    // its stderr; skips when the process may not change its root.
    testutil::ChildResult confined(bool with_temporary, const std::function<int()> &body) {
        if (with_temporary) {
            fs::create_directory(dir_ + "/temporary");
        }
        return testutil::run_in_child([&] {
            if (chroot(dir_.c_str()) != 0 || chdir("/") != 0) {
                return 77;
            }
            return body();
        });
    }

    // What the handler's descriptor shows, for comparison as one string.
    static std::string describe(int fd, const Bytes &expected) {
        if (fd < 0) {
            return "fd=-1";
        }
        struct stat sb;
        fstat(fd, &sb);
        off_t offset = lseek(fd, 0, SEEK_CUR);
        std::string got = testutil::read_all(fd);
        close(fd);
        size_t leftovers = 0;
        for ([[maybe_unused]] auto &e : fs::directory_iterator("/temporary")) {
            ++leftovers;
        }
        return "offset=" + std::to_string(offset) + " nlink=" + std::to_string(sb.st_nlink) +
               " exact=" + std::to_string(got == std::string(expected.begin(), expected.end())) +
               " names=" + std::to_string(leftovers);
    }

    static std::string leak_report(const std::vector<int> &before) {
        return testutil::open_fds() == before ? "no leak" : "leaked";
    }
};

TEST_F(StoreOpen, GivesANamelessFileAtOffsetZeroWithExactContent) {
    if (!testutil::have_root()) {
        GTEST_SKIP() << "changing the root needs root";
    }
    uint32_t never_stored = new_message();
    uint32_t empty = new_message();
    ASSERT_EQ(store(empty, {}), 1);
    uint32_t full = new_message();
    const Bytes content = wire::pattern(300000, 3);
    ASSERT_EQ(store(full, content), 1);

    auto r = confined(true, [&] {
        auto before = testutil::open_fds();
        std::string report = describe(memq_message_open(never_stored), {}) + "\n" +
                             describe(memq_message_open(empty), {}) + "\n" +
                             describe(memq_message_open(full), content) + "\n" +
                             leak_report(before) + "\n";
        fputs(report.c_str(), stderr);
        return 0;
    });
    if (r.exit_code() == 77) {
        GTEST_SKIP() << "chroot refused";
    }
    EXPECT_EQ(r.exit_code(), 0);
    std::string ok = "offset=0 nlink=0 exact=1 names=0\n";
    EXPECT_EQ(r.err, ok + ok + ok + "no leak\n");
}

TEST_F(StoreOpen, FailuresLogTheirWarningCloseEverythingAndGiveMinusOne) {
    if (!testutil::have_root()) {
        GTEST_SKIP() << "changing the root needs root";
    }
    uint32_t msgid = new_message();
    // Shorter than a stdio buffer, so that a buffered write could only fail
    // in the close.
    ASSERT_EQ(store(msgid, wire::pattern(1000, 4)), 1);

    using testutil::log_line;

    // No "temporary" under the root: mktmpfile reports the path it tried,
    // then the handler adds its own line.
    {
        auto r = confined(false, [&] {
            auto before = testutil::open_fds();
            int fd = memq_message_open(msgid);
            fprintf(stderr, "result=%d %s\n", fd, leak_report(before).c_str());
            return 0;
        });
        if (r.exit_code() == 77) {
            GTEST_SKIP() << "chroot refused";
        }
        std::string handler = log_line(r.pid, "warn: mktmpfile: " + std::string(strerror(ENOENT)));
        EXPECT_NE(r.err.find("warn: queue-api: cannot create temporary file \"/temporary/mavid."),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(handler + "result=-1 no leak\n"), std::string::npos) << r.err;
    }

    // One descriptor slot left: the temporary file takes it, dup finds none.
    {
        auto r = confined(true, [&] {
            auto before = testutil::open_fds();
            rlimit lim{64, 64};
            if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
                return 2;
            }
            std::vector<int> filler;
            for (int fd; (fd = open("/", O_RDONLY)) != -1;) {
                filler.push_back(fd);
            }
            close(filler.back());
            filler.pop_back();
            int fd = memq_message_open(msgid);
            for (int f : filler) {
                close(f);
            }
            fprintf(stderr, "result=%d %s\n", fd, leak_report(before).c_str());
            return 0;
        });
        EXPECT_EQ(r.err, log_line(r.pid, "warn: dup: " + std::string(strerror(EMFILE))) +
                             "result=-1 no leak\n");
    }

    // Content past the file-size limit: SIGXFSZ keeps its default action,
    // which would end the process, so the handler must not write past it.
    {
        auto r = confined(true, [&] {
            auto before = testutil::open_fds();
            signal(SIGXFSZ, SIG_DFL);
            rlimit lim{100, RLIM_INFINITY};
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0) {
                return 2;
            }
            int fd = memq_message_open(msgid);
            fprintf(stderr, "result=%d %s\n", fd, leak_report(before).c_str());
            return 0;
        });
        EXPECT_TRUE(r.exited()) << "killed by signal " << WTERMSIG(r.status);
        EXPECT_EQ(r.err, log_line(r.pid, "warn: write: " + std::string(strerror(EFBIG))) +
                             "result=-1 no leak\n");
    }

    // The seek back to the start fails: a descriptor at the end would read
    // as an empty message.
    {
        auto r = confined(true, [&] {
            auto before = testutil::open_fds();
            if (!testutil::fail_syscall(SYS_lseek, EIO)) {
                return 77;
            }
            int fd = memq_message_open(msgid);
            fprintf(stderr, "result=%d %s\n", fd, leak_report(before).c_str());
            return 0;
        });
        if (r.exit_code() != 77) {
            EXPECT_EQ(r.err, log_line(r.pid, "warn: lseek: " + std::string(strerror(EIO))) +
                                 "result=-1 no leak\n");
        }
    }
}

// A full file system takes part of the content and refuses the rest. The
// file system is one page, and the content is shorter than a stdio buffer
// beyond that page, so that a buffered write could only fail in the close,
// after the content had been taken for written.
TEST_F(StoreOpen, AFullFileSystemCutsTheWriteShort) {
    if (!testutil::have_root()) {
        GTEST_SKIP() << "mounting a file system needs root";
    }
    uint32_t msgid = new_message();
    ASSERT_EQ(store(msgid, wire::pattern(5000, 5)), 1);
    fs::create_directory(dir_ + "/temporary");
    auto r = testutil::run_in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("memq-test", (dir_ + "/temporary").c_str(), "tmpfs", 0, "size=4k") != 0) {
            return 77;
        }
        if (chroot(dir_.c_str()) != 0 || chdir("/") != 0) {
            return 78;
        }
        auto before = testutil::open_fds();
        int fd = memq_message_open(msgid);
        fprintf(stderr, "result=%d %s\n", fd, leak_report(before).c_str());
        return 0;
    });
    if (r.exit_code() == 77) {
        GTEST_SKIP() << "no mount namespace here";
    }
    EXPECT_EQ(r.err, testutil::log_line(r.pid, std::string("warn: write: ") + strerror(ENOSPC)) +
                         "result=-1 no leak\n");
}

}  // namespace
