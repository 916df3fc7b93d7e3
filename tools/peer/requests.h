// One request each and the part of its answer that the caller wants, for
// tests and tools that ask what a backend holds rather than how it says it.
// A reply that does not come, or whose shape its request does not allow
// (decode_reply), gives what a failure gives: 0 for an id, NO_RESULT for a
// result, no descriptor, no bytes. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "peer/peer.h"
#include "support/unique.h"

namespace peer {

// A result no handler gives, for a reply that brought none.
inline constexpr int32_t NO_RESULT = INT32_MIN;

// QUEUE_HELLO with version 2; the reply, nothing when none came.
std::optional<Reply> hello(Peer &p);
// The new msgid, or 0 when the result was not 1.
uint32_t message_new(Peer &p);
// Stores what fd holds from its offset on; fd stays the caller's (a
// duplicate goes).
int32_t message_store(Peer &p, uint32_t msgid, int fd);
// Stores content, passed in an anonymous file.
int32_t message_store(Peer &p, uint32_t msgid, std::span<const uint8_t> content);
// The descriptor that came with the reply, the caller's now.
unique_fd message_open(Peer &p, uint32_t msgid);
// What an open hands back, read to its end; nothing when no descriptor
// came or it could not be read.
std::optional<wire::Bytes> message_content(Peer &p, uint32_t msgid);
int32_t message_remove(Peer &p, uint32_t msgid);
// The new envelope id, or 0 when the result was not 1.
uint64_t envelope_new(Peer &p, uint32_t msgid, std::span<const uint8_t> envelope);
int32_t envelope_remove(Peer &p, uint64_t evpid);
int32_t envelope_replace(Peer &p, uint64_t evpid, std::span<const uint8_t> envelope);
// The envelope's bytes; none for an absent envelope, and for an empty one.
wire::Bytes envelope_read(Peer &p, uint64_t evpid);

}  // namespace peer
