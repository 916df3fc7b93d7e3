// Decoding of the queue protocol's requests: from a received message's type
// and payload to the request it makes, or to the violation that ends the
// backend without a reply.
//
// Pure: nothing here logs, exits, allocates or keeps state, so every byte
// path of the decoding can be tested and fuzzed on its own. A decoded
// request borrows its envelope bytes from the payload it was decoded from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

enum class request_fault {
    none,
    bad_type,     // no such request type
    short_field,  // a fixed field cut short
    bogus_data,   // bytes after the fixed fields of a type that takes none
    bad_version,  // a hello for another protocol version
};

// The fields of one well-formed request. Only those of its type are set;
// the others are zero.
struct queue_request {
    uint32_t type;
    uint32_t msgid;    // types 5 to 10
    uint32_t version;  // QUEUE_HELLO
    uint32_t value;    // QUEUE_MESSAGE_ITERATE, passed through unread
    uint64_t evpid;    // types 11 to 13
    // QUEUE_ENVELOPE_NEW and QUEUE_ENVELOPE_REPLACE: everything after the
    // fixed field, borrowed from the payload.
    std::span<const uint8_t> envelope;
};

struct request_decoding {
    request_fault fault;
    queue_request request;  // meaningful only when fault is none
};

// Applies the type's length rule and takes its fixed fields in order. The
// type is checked first, then the length, then a hello's version.
request_decoding decode_request(uint32_t type, std::span<const uint8_t> payload);

// The line a fault is logged with ("warn: queue-api: bad message 16"),
// written into buf and cut to fit. Nothing for request_fault::none.
void format_request_fault(request_fault fault, uint32_t type, char *buf, size_t size);

// The text the backend ends with after that line: "queue-proc: exiting" for
// the peer's malformed requests, "queue-api: exiting" for the others.
const char *request_fault_closing(request_fault fault);
