// A directory of a test's own under /tmp, gone with everything in it when
// the test is, on every path out of the test; and what a directory holds.
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace testutil {

class TempDir {
  public:
    // Makes "/tmp/NAME.XXXXXX"; path() is empty when that fails.
    explicit TempDir(const std::string &name) {
        std::string pattern = "/tmp/" + name + ".XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    // What a test left inside goes too, whatever state it is in; an error
    // here must not end the test run, so it is only ignored.
    ~TempDir() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// The names in directory dir, without "." and "..", in the order the
// directory gives them; none when it cannot be read.
inline std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    return names;
}

}  // namespace testutil
