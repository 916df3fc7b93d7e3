// Replays inputs through a fuzz target's entry point without libFuzzer, so
// that any compiler's build keeps the seed corpus and every input that once
// failed passing. Arguments are files or directories of files; a missing
// directory is skipped (a target may have no regressions yet).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

std::vector<std::string> inputs_in(const std::string &path) {
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0) {
        return {};
    }
    if (!S_ISDIR(sb.st_mode)) {
        return {path};
    }
    std::vector<std::string> files;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') {
                files.push_back(path + "/" + e->d_name);
            }
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string &file : inputs_in(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
            // The entry point aborts on a failed check, naming nothing; say
            // which input it was first.
            std::fprintf(stderr, "replaying %s\n", file.c_str());
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
