#include "frame/ids.h"

#include <errno.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/child.h"
#include "common/root.h"
#include "common/syscall_fault.h"
#include "common/temp_dir.h"
#include "log/log.h"

namespace {

using testutil::dir_entries;
using testutil::log_prefix;
using testutil::run_in_child;

TEST(Ids, DrawnMsgidsAreNeverZeroOrAllOnes) {
    for (int i = 0; i < 1000000; i++) {
        uint32_t id = new_msgid();
        ASSERT_NE(id, 0u);
        ASSERT_NE(id, 0xffffffffu);
    }
}

TEST(Ids, EnvelopeIdCarriesItsMsgidWithoutSignExtension) {
    for (uint32_t msgid : {5u, 0x80000000u, 0xfffffffeu}) {
        for (int i = 0; i < 100000; i++) {
            uint64_t id = new_envelope_id(msgid);
            ASSERT_EQ(id >> 32, msgid);
            ASSERT_NE(id & 0xffffffff, 0u);
            ASSERT_NE(id & 0xffffffff, 0xffffffffu);
        }
    }
}

TEST(Ids, TemporaryFileIsNamelessPrivateAndReadWritable) {
    testutil::TempDir dir("memq-ids");
    ASSERT_FALSE(dir.path().empty());
    auto fds_before = testutil::open_fds();

    int a = mktmpfile_in(dir.path().c_str());
    int b = mktmpfile_in(dir.path().c_str());
    ASSERT_NE(a, -1);
    ASSERT_NE(b, -1);
    EXPECT_TRUE(dir_entries(dir.path()).empty()) << "a mavid. name was left behind";

    struct stat sa, sb;
    ASSERT_EQ(fstat(a, &sa), 0);
    ASSERT_EQ(fstat(b, &sb), 0);
    EXPECT_EQ(sa.st_nlink, 0u);
    EXPECT_NE(sa.st_ino, sb.st_ino) << "two calls, two files";
    EXPECT_EQ(sa.st_size, 0);
    // The file had no permission bits at all while it had a name.
    EXPECT_EQ(sa.st_mode & 07777, 0u);

    const char text[] = "content";
    ASSERT_EQ(write(a, text, sizeof text), static_cast<ssize_t>(sizeof text));
    ASSERT_EQ(lseek(a, 0, SEEK_SET), 0);
    char back[sizeof text] = {};
    EXPECT_EQ(read(a, back, sizeof back), static_cast<ssize_t>(sizeof text));
    EXPECT_STREQ(back, text);
    struct stat after;
    ASSERT_EQ(fstat(b, &after), 0);
    EXPECT_EQ(after.st_size, 0) << "the two files share nothing";

    close(a);
    close(b);
    EXPECT_EQ(testutil::open_fds(), fds_before);
}

// Runs mktmpfile_in in a child with a known mask; the child's exit status
// says whether the mask and errno came back as they should.
testutil::ChildResult make_in_child(std::string dir, int expected_errno) {
    return run_in_child([dir, expected_errno] {
        log_open(1);
        umask(022);
        errno = 0;
        int fd = mktmpfile_in(dir.c_str());
        int saved = errno;
        if (fd != -1) {
            return 10;
        }
        if (umask(0) != 022) {
            return 11;
        }
        return saved == expected_errno ? 0 : 12;
    });
}

TEST(Ids, MissingDirectoryIsReportedAndLeavesTheMaskAlone) {
    auto r = make_in_child("/nonexistent-memq-dir", ENOENT);
    EXPECT_EQ(r.exit_code(), 0);
    const std::string head =
        log_prefix(r.pid) +
        "warn: queue-api: cannot create temporary file \"/nonexistent-memq-dir/mavid.";
    ASSERT_EQ(r.err.size(), head.size() + 10 + 2) << r.err;
    EXPECT_EQ(r.err.substr(0, head.size()), head);
    EXPECT_EQ(r.err.substr(head.size() + 10), "\"\n");
    const std::string name = r.err.substr(head.size(), 10);
    EXPECT_TRUE(std::all_of(name.begin(), name.end(), isalnum)) << name;
}

// A file that keeps its name is not the nameless file callers are promised,
// and content written into it would stay on disk.
TEST(Ids, ANameThatCannotBeRemovedFailsTheFileAndIsReported) {
    testutil::TempDir dir("memq-ids");
    ASSERT_FALSE(dir.path().empty());
    auto r = run_in_child([&] {
        log_open(1);
        if (!testutil::fail_syscall(SYS_unlink, EACCES) ||
            !testutil::fail_syscall(SYS_unlinkat, EACCES)) {
            return 77;
        }
        auto before = testutil::open_fds();
        errno = 0;
        int fd = mktmpfile_in(dir.path().c_str());
        int err = errno;
        if (fd != -1) {
            return 10;
        }
        return err == EACCES && testutil::open_fds() == before ? 0 : 11;
    });
    if (r.exit_code() == 77) {
        GTEST_SKIP() << "system calls cannot be filtered here";
    }
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    const std::string head =
        log_prefix(r.pid) + "warn: queue-api: unlink: \"" + dir.path() + "/mavid.";
    const std::string tail = std::string("\": ") + strerror(EACCES) + "\n";
    ASSERT_EQ(r.err.size(), head.size() + 10 + tail.size()) << r.err;
    EXPECT_EQ(r.err.substr(0, head.size()), head);
    EXPECT_EQ(r.err.substr(head.size() + 10), tail);
    EXPECT_EQ(dir_entries(dir.path()).size(), 1u) << "the file it could not remove";
}

TEST(Ids, FileSizeLimitIsReadFromTheProcessLimit) {
    auto r = run_in_child([] {
        if (file_size_limit() != UINT64_MAX) {
            return 10;
        }
        rlimit lim{12345, RLIM_INFINITY};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) {
            return 11;
        }
        return file_size_limit() == 12345 ? 0 : 12;
    });
    EXPECT_EQ(r.exit_code(), 0) << r.err;
}

// libbsd is linked for what the system library lacks; what the system
// library has, the random draws among them where the build found them
// there, must come from it.
TEST(Ids, TheBackendTakesFromLibbsdOnlyWhatTheSystemLibraryLacks) {
    std::string command = "nm -D --undefined-only '" + std::string(MEMQ_BINARY) + "' 2>/dev/null";
    FILE *nm = popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::string out = testutil::read_all(fileno(nm));
    int status = pclose(nm);
    if (status != 0 || out.empty()) {
        GTEST_SKIP() << "nm cannot list the backend's symbols here";
    }
    std::vector<std::string> from_libbsd;
    for (size_t pos = 0; pos < out.size();) {
        size_t end = out.find('\n', pos);
        std::string line = out.substr(pos, end - pos);
        pos = end == std::string::npos ? out.size() : end + 1;
        size_t at = line.find("@LIBBSD_");
        if (at != std::string::npos) {
            size_t start = line.rfind(' ', at) + 1;
            from_libbsd.push_back(line.substr(start, at - start));
        }
    }
    std::sort(from_libbsd.begin(), from_libbsd.end());
    std::vector<std::string> expected{"strlcat", "strlcpy"};
    if (MEMQ_RANDOM_FROM_LIBBSD) {
        expected.insert(expected.begin(), "arc4random_uniform");
    }
    EXPECT_EQ(from_libbsd, expected) << out;
}

TEST(Ids, DirectoryTooLongForThePathBuffer) {
    // "/mavid.XXXXXXXXXX" adds 17 characters; with the NUL, 1006 fits.
    // Components stay short, so that the only fault of the longer one is
    // its total length.
    std::string fits = "/nonexistent";
    while (fits.size() < 1006) {
        size_t room = 1006 - fits.size() - 1;
        fits += '/';
        fits.append(std::min<size_t>(200, room), 'd');
    }
    std::string too_long = fits + "d";
    ASSERT_EQ(fits.size(), 1006u);

    auto r = make_in_child(too_long, 0);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.err,
              log_prefix(r.pid) + "warn: queue-api: tempdir too large \"" + too_long + "\"\n");

    r = make_in_child(fits, ENOENT);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_NE(r.err.find("cannot create temporary file \"" + fits + "/mavid."), std::string::npos)
        << r.err;
}

TEST(Ids, FixedDirectoryLiesUnderTheChangedRoot) {
    if (!testutil::have_root()) {
        GTEST_SKIP() << "needs root to change the root directory";
    }
    testutil::TempDir root("memq-ids");
    ASSERT_FALSE(root.path().empty());
    ASSERT_EQ(mkdir((root.path() + "/temporary").c_str(), 0700), 0);

    auto r = run_in_child([&] {
        log_open(1);
        if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) {
            return 10;
        }
        int fd = mktmpfile();
        if (fd == -1) {
            return 11;
        }
        close(fd);
        return rmdir("/temporary") == 0 && mktmpfile() == -1 ? 0 : 12;
    });
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.err.find("cannot create temporary file \"/temporary/mavid."), std::string::npos)
        << r.err;
    EXPECT_TRUE(dir_entries(root.path()).empty());
}

}  // namespace
