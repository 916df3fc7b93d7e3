// Content for a store as the mail server hands it over: from a pipe that a
// writer of its own keeps filling, or from an anonymous file; and reading a
// descriptor to its end.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <span>
#include <vector>

#include "support/unique.h"

namespace peer {

// Writes a block of bytes into a pipe from a thread of its own, so that a
// reader in another process can drain the pipe to its end while this thread
// waits for that reader's answer. The data must outlive the feeder; the
// destructor waits for the writer and closes both ends.
class PipeFeeder {
  public:
    PipeFeeder() = default;
    ~PipeFeeder();
    PipeFeeder(const PipeFeeder &) = delete;
    PipeFeeder &operator=(const PipeFeeder &) = delete;

    // Makes the pipe and starts writing. False with errno set on failure.
    bool start(std::span<const uint8_t> data);
    // The reading end, owned by the feeder until it is reset.
    int read_fd() const { return read_.get(); }
    // Closes our reading end, once a copy has gone to the reader.
    void close_read_end() { read_.reset(); }
    // Waits for the writer: true when every byte went into the pipe, false
    // when the reader went away first or writing failed.
    bool finish();

  private:
    static void *write_all(void *self);

    std::span<const uint8_t> data_;
    unique_fd read_;
    unique_fd write_;
    pthread_t thread_{};
    bool running_ = false;
    bool complete_ = false;
};

// A new anonymous file holding bytes, positioned at its start; the caller
// closes it. -1 with errno set when it cannot be made.
int content_fd(std::span<const uint8_t> bytes);
// Everything from the descriptor's offset to its end; false on a read error.
bool read_to_end(int fd, std::vector<uint8_t> &out);

}  // namespace peer
