// The queue protocol's framing as a peer puts it on the socket, written here
// on its own and not with the backend's channel code, so that our tools and
// tests check the backend against the wire rather than against itself.
//
// A frame is a 16-byte header in host byte order, then its payload; the
// header's length counts both. A descriptor travels as SCM_RIGHTS data with
// the send call whose bytes end with its frame, and the receiver pairs
// descriptors with frames whose flag asks for one, by order alone.
//
// Single-threaded. Descriptors received are the caller's to close.
//
// This is also where the peer side's byte type, payload builders and test
// content live, so that every tool, test, fuzzer and benchmark speaks of
// bytes the same way.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "support/unique.h"

namespace wire {

// The one byte type of the peer side: payloads, contents, envelopes.
using Bytes = std::vector<uint8_t>;

struct Header {
    uint32_t type;
    uint16_t length;
    uint16_t flags;
    uint32_t peer_id;
    int32_t pid;
};
static_assert(sizeof(Header) == 16, "the header is 16 packed bytes");

inline constexpr size_t HEADER_LEN = sizeof(Header);
inline constexpr size_t MAX_FRAME = 16384;
inline constexpr size_t MAX_PAYLOAD = MAX_FRAME - HEADER_LEN;
inline constexpr uint16_t FLAG_FD = 1;

// A frame with the header exactly as given, `length` included, so that a
// frame can also lie about its length.
Bytes frame(uint32_t type, uint16_t length, uint16_t flags, uint32_t peer_id, int32_t pid,
            std::span<const uint8_t> payload);
// A well-formed frame around payload, from no process in particular.
Bytes frame(uint32_t type, std::span<const uint8_t> payload, uint16_t flags = 0);
// The header at offset `at` of bytes, which must hold it.
Header header_of(std::span<const uint8_t> bytes, size_t at = 0);

// Payload pieces: integers in host byte order, packed, and pieces joined,
// as in cat({u32(msgid), envelope}).
Bytes u32(uint32_t v);
Bytes u64(uint64_t v);
Bytes cat(std::initializer_list<std::span<const uint8_t>> parts);

// Test content: a stream of bytes that only its seed decides, in which a
// byte depends on its position, so that reordering, loss or duplication
// shows. It takes every byte value and never repeats itself, and any part
// of it can be made or checked without the bytes before it, so that a
// large content can be verified as it is read, without a copy.
//
// n bytes of the stream of seed, from position `from` on.
Bytes pattern(size_t n, uint64_t seed, uint64_t from = 0);
// The same into out.
void fill_pattern(std::span<uint8_t> out, uint64_t seed, uint64_t from = 0);
// Whether in is exactly that part of the stream.
bool matches_pattern(std::span<const uint8_t> in, uint64_t seed, uint64_t from = 0);

// One sendmsg of bytes, with fds (up to 4) in one SCM_RIGHTS message when
// there are any. The count the call sent, or -1 with errno set; MSG_NOSIGNAL
// is added to flags.
ssize_t send_once(int sock, std::span<const uint8_t> bytes, std::span<const int> fds = {},
                  int flags = 0);
// Every byte, over as many calls as it takes, the descriptors with the
// first; interrupted calls are repeated. No bytes is true at once, unless
// descriptors were to go, which need a byte (EINVAL). False with errno set.
bool send_all(int sock, std::span<const uint8_t> bytes, std::span<const int> fds = {});

// One recvmsg into buf, appending every descriptor that came (closing none)
// to fds. The count received, 0 at the end of the stream, -1 with errno.
ssize_t recv_once(int sock, std::span<uint8_t> buf, std::vector<int> &fds, int flags = 0);
// Exactly dst.size() bytes, over as many calls as it takes, appending every
// descriptor that came (closing none) to fds; interrupted calls are
// repeated. Nothing past dst is read, so the next frame stays on the socket.
// The count received: short when the stream ended (errno 0) or a receive
// failed (errno set).
size_t recv_exact(int sock, std::span<uint8_t> dst, std::vector<int> &fds);

// Bytes as they came off the socket, with every descriptor that came with
// them, owned here.
struct Received {
    Bytes bytes;
    std::vector<unique_fd> fds;
};

// One receive of up to 128 KiB that does not wait. Empty when nothing is
// waiting (errno EAGAIN), at the end of the stream (errno 0) or on an error.
Received recv_ready(int sock);
// Everything readable now: receives that do not wait, until one gives
// nothing. What arrived before the socket ran dry, ended or failed.
Received drain(int sock);

// One received frame, as it came: the header, the payload and the
// descriptor paired with it, owned here. The peer side calls the frames the
// backend sends replies (peer::Reply).
struct Frame {
    Header header{};
    Bytes payload;
    unique_fd fd;

    // The signed 32-bit value at offset 0, which starts most replies, when
    // the payload holds one.
    std::optional<int32_t> result() const;
    // The integer at offset, when the payload holds it.
    std::optional<uint32_t> u32_at(size_t offset) const;
    std::optional<uint64_t> u64_at(size_t offset) const;
};

// Cuts the stream from a socket into frames, pairing the descriptors that
// arrive with frames whose flag asks for one, oldest first, as a receiver
// must. Descriptors still unpaired when it goes are closed.
class FrameReader {
  public:
    explicit FrameReader(int sock) : sock_(sock) {}

    // The next frame; nothing at the end of the stream, on an error (errno
    // set, 0 for a clean end) or when a header gives a length outside 16 to
    // 16384 (errno ERANGE: the stream cannot be cut any further).
    std::optional<Frame> next();
    // Bytes received and not yet cut into a frame.
    size_t buffered() const { return buf_.size(); }
    // Descriptors received and not yet paired with a frame.
    size_t waiting_fds() const { return fds_.size(); }

  private:
    int sock_;
    Bytes buf_;
    std::deque<unique_fd> fds_;
};

}  // namespace wire
