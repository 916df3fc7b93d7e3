// Replies as the peer receives them, and what each one means for the
// request it answers: the result, the id, the envelope bytes, and whether
// its shape is one the protocol allows. Payload builders for requests.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/unique.h"

namespace peer {

// One received reply. Its descriptor, if any, is owned here.
struct Reply {
    uint32_t type = 0;
    uint16_t flags = 0;
    int32_t pid = 0;  // the sender's, as its header gives it
    std::vector<uint8_t> payload;
    unique_fd fd;

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

}  // namespace peer
