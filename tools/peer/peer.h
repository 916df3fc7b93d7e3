// The peer side of the queue protocol, for our own tools and tests: starts a
// backend the way the mail server's queue process does (one end of a local
// stream socketpair on the backend's descriptor 0) and exchanges framed
// requests and replies with it through the project's channel code.
//
// Single-threaded. A Peer owns its socket and the backend process; the
// destructor closes the socket and reaps the child.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct imsg_channel;

namespace peer {

// An owned descriptor: closed when the owner goes away.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// One received reply. Its descriptor, if any, is owned here.
struct Reply {
    uint32_t type = 0;
    uint16_t flags = 0;
    int32_t pid = 0;  // the sender's, as its header gives it
    std::vector<uint8_t> payload;
    UniqueFd fd;

    // The signed 32-bit result at offset 0, when the payload holds one.
    std::optional<int32_t> result() const;
    std::optional<uint32_t> u32_at(size_t offset) const;
    std::optional<uint64_t> u64_at(size_t offset) const;
};

// Payload builders: integers in host byte order, packed.
std::vector<uint8_t> payload_u32(uint32_t v);
std::vector<uint8_t> payload_u64(uint64_t v);
std::vector<uint8_t> payload_u32_bytes(uint32_t v, std::span<const uint8_t> bytes);
std::vector<uint8_t> payload_u64_bytes(uint64_t v, std::span<const uint8_t> bytes);

class Peer {
  public:
    Peer();
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Starts the backend at path with args (argv[0] is the path itself). Its
    // stderr goes to err_fd, or stays ours when err_fd is -1. False with
    // errno set when the socketpair or the spawn fails.
    bool start(const std::string &path, const std::vector<std::string> &args = {}, int err_fd = -1);

    // Queues one request without writing it; fd (or -1) is dup'ed, so the
    // caller keeps its own descriptor.
    bool queue(uint32_t type, std::span<const uint8_t> payload, int fd = -1);
    // As queue(), but takes fd (or -1) over instead of duplicating it: the
    // channel closes it once sent, and it is closed here when queuing fails.
    // Spares a dup per request where the caller made the descriptor for it.
    bool queue_owned(uint32_t type, std::span<const uint8_t> payload, int fd);
    // Writes every queued request.
    bool flush();
    bool send(uint32_t type, std::span<const uint8_t> payload, int fd = -1) {
        return queue(type, payload, fd) && flush();
    }
    // Blocks for the next reply. False at the end of the stream or on error
    // (errno 0 for a clean end).
    bool receive(Reply &out);
    // One request, one reply.
    std::optional<Reply> call(uint32_t type, std::span<const uint8_t> payload, int fd = -1);

    // Closes our end of the socket and waits for the backend; its wait
    // status, or -1 when there is no backend.
    int finish();

    pid_t pid() const { return pid_; }
    int socket() const { return sock_.get(); }
    bool ok() const { return ch_ != nullptr; }

  private:
    imsg_channel *ch_;
    UniqueFd sock_;
    pid_t pid_ = -1;
};

// The protocol's name for a request type ("QUEUE_MESSAGE_NEW"), or null for
// a type that the protocol does not define.
const char *request_name(uint32_t type);

// A reply taken apart by the request it answers. When the reply does not have
// a shape that the protocol allows for that request, well_formed is false and
// problem says why.
struct DecodedReply {
    bool well_formed = false;
    std::string problem;
    std::optional<int32_t> result;
    // The msgid of QUEUE_MESSAGE_NEW, the 64-bit id of the envelope requests.
    std::optional<uint64_t> id;
    // The envelope bytes of a read or iterate reply; borrowed from the Reply.
    std::span<const uint8_t> bytes;
    bool has_fd = false;
};
DecodedReply decode_reply(uint32_t request_type, const Reply &reply);

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
    UniqueFd read_;
    UniqueFd write_;
    pthread_t thread_{};
    bool running_ = false;
    bool complete_ = false;
};

// A new anonymous file holding bytes, positioned at its start; the caller
// closes it. -1 with errno set when it cannot be made.
int content_fd(std::span<const uint8_t> bytes);
// Everything from the descriptor's offset to its end; false on a read error.
bool read_to_end(int fd, std::vector<uint8_t> &out);

// A field of /proc/PID/status in kB ("VmRSS", "VmHWM"), or -1.
long proc_status_kb(pid_t pid, const char *field);
// The leading number of /proc/PID/NAME ("schedstat", "syscall"); false when
// the file cannot be read or does not start with a number.
bool proc_leading_number(pid_t pid, const char *name, long long &out);
// The number of descriptors the process has open, or -1.
int proc_fd_count(pid_t pid);
// The descriptors a backend holds between requests. Every read of the
// channel is preceded by a probe that opens and closes two sockets, so the
// count is taken once the backend is blocked in its receive (as
// /proc/PID/syscall shows; without access to it, or when it never gets
// there, the count is taken as it stands). -1 when there is no such process.
int backend_fd_count(pid_t pid);

}  // namespace peer
