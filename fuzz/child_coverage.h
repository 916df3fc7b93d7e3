// Coverage from a forked child. A target that runs each input in a child
// (to see its real exits) would lose the child's edge counters with it; the
// child copies them into memory it shares with the parent on its way out,
// and the parent folds them into its own before libFuzzer looks at them.
//
// The inline 8-bit counters are found by their section in our own ELF
// file: naming the linker's bounds of the section from the program would
// stop the compiler's constructor from handing them to libFuzzer. In a
// build without coverage there are none, and every call does nothing.
#pragma once

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

class ChildCoverage {
  public:
    // Finds the counters; call once, before the first fork.
    void find() {
        int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
        if (fd == -1) {
            return;
        }
        struct stat sb;
        void *map = fstat(fd, &sb) == 0 ? mmap(nullptr, static_cast<size_t>(sb.st_size), PROT_READ,
                                               MAP_PRIVATE, fd, 0)
                                        : MAP_FAILED;
        close(fd);
        if (map == MAP_FAILED) {
            return;
        }
        auto *image = static_cast<const uint8_t *>(map);
        const auto *eh = reinterpret_cast<const Elf64_Ehdr *>(image);
        const auto *sections = reinterpret_cast<const Elf64_Shdr *>(image + eh->e_shoff);
        const char *names =
            reinterpret_cast<const char *>(image + sections[eh->e_shstrndx].sh_offset);
        uintptr_t base = 0;
        dl_iterate_phdr(main_object, &base);
        for (int i = 0; i < eh->e_shnum; ++i) {
            if (std::strcmp(names + sections[i].sh_name, "__sancov_cntrs") == 0) {
                counters_ = reinterpret_cast<uint8_t *>(base + sections[i].sh_addr);
                size_ = sections[i].sh_size;
            }
        }
        munmap(map, static_cast<size_t>(sb.st_size));
    }

    // How many bytes the shared copy needs.
    size_t size() const { return size_; }
    // In the child: copies its counters to the shared bytes.
    void save(uint8_t *shared) const {
        if (size_ > 0) {
            std::memcpy(shared, counters_, size_);
        }
    }
    // In the parent: keeps the higher of each pair of counters.
    void merge(const uint8_t *shared) const {
        for (size_t i = 0; i < size_; ++i) {
            counters_[i] = std::max(counters_[i], shared[i]);
        }
    }

  private:
    static int main_object(dl_phdr_info *info, size_t, void *base) {
        *static_cast<uintptr_t *>(base) = info->dlpi_addr;
        return 1;  // the first object is the program itself
    }

    uint8_t *counters_ = nullptr;
    size_t size_ = 0;
};
