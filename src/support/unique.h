// Owners for what a function must give back on every path: a descriptor, a
// stdio stream and a block from the system allocator. Each closes or frees
// what it holds when it goes out of scope, so that no early return leaks;
// release() hands the resource over to a new owner explicitly.
//
// Header-only, no allocation, nothing that can throw. Single-threaded like
// the rest of the program.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <utility>

// An owned descriptor, or -1 for none. Movable, not copyable.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up: the caller owns it now, and this holds none.
    int release() { return std::exchange(fd_, -1); }
    // Closes what this holds and takes fd (or -1) instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// An owned stdio stream; closing it closes its descriptor too. The result
// of the close is not looked at: a writer that must know flushes first.
using unique_file = std::unique_ptr<FILE, file_closer>;

struct free_deleter {
    void operator()(void *p) const { free(p); }
};

// A block from malloc(), calloc() or realloc(), freed with free().
template <class T>
using unique_malloc = std::unique_ptr<T, free_deleter>;
