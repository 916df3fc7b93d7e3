// Replies as the peer receives them, and what each one means for the
// request it answers: the result, the id, the envelope bytes, and whether
// its shape is one the protocol allows; and the same told in words, so that
// every tool describes a reply the same way.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "peer/wire.h"

namespace peer {

// One received reply: its header as it came (type, length, flags, the
// sender's pid), its payload, and its descriptor, if any, owned here.
using Reply = wire::Frame;

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

// The pieces joined into one string. g++ 12 warns falsely about
// `"literal" + std::string` at -O3, so messages are built with this instead.
std::string cat(std::initializer_list<std::string_view> parts);

// Bytes as a quoted C-like string: printable ASCII as it is, the rest
// escaped. At most `limit` bytes are shown; a longer run ends in "...".
std::string quoted(std::span<const uint8_t> bytes, size_t limit = SIZE_MAX);

// "0x0000002a" for a msgid, "0x0000002a00000001" for an envelope id.
std::string hex_msgid(uint64_t id);
std::string hex_evpid(uint64_t id);

// Payload bytes as lower-case hex pairs, separated by spaces.
std::string hex_bytes(std::span<const uint8_t> bytes, size_t limit = SIZE_MAX);

// "result 0 (not stored)": the result with what it means for a request of
// this type, where the protocol or this backend gives it a meaning.
std::string describe_result(uint32_t request_type, int32_t result);

// A one-line account of what a reply to a request of this type carries,
// results decoded as by describe_result(). Ids are labelled by `label` when
// it is not empty. memq-peer check and run both describe replies with it, so
// that they never disagree about what a reply means.
std::string describe_reply(uint32_t request_type, const DecodedReply &d,
                           const std::string &label = {});

}  // namespace peer
