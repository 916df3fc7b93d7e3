#include "peer/reply.h"

#include <string.h>

#include "frame/queue_proto.h"

namespace peer {

std::optional<int32_t> Reply::result() const {
    if (payload.size() < sizeof(int32_t)) {
        return std::nullopt;
    }
    int32_t v;
    memcpy(&v, payload.data(), sizeof v);
    return v;
}

std::optional<uint32_t> Reply::u32_at(size_t offset) const {
    if (payload.size() < offset + sizeof(uint32_t)) {
        return std::nullopt;
    }
    uint32_t v;
    memcpy(&v, payload.data() + offset, sizeof v);
    return v;
}

std::optional<uint64_t> Reply::u64_at(size_t offset) const {
    if (payload.size() < offset + sizeof(uint64_t)) {
        return std::nullopt;
    }
    uint64_t v;
    memcpy(&v, payload.data() + offset, sizeof v);
    return v;
}

namespace {

template <typename T>
std::vector<uint8_t> packed(T v, std::span<const uint8_t> bytes) {
    std::vector<uint8_t> out(sizeof v + bytes.size());
    memcpy(out.data(), &v, sizeof v);
    if (!bytes.empty()) {
        memcpy(out.data() + sizeof v, bytes.data(), bytes.size());
    }
    return out;
}

}  // namespace

std::vector<uint8_t> payload_u32(uint32_t v) {
    return packed(v, {});
}
std::vector<uint8_t> payload_u64(uint64_t v) {
    return packed(v, {});
}
std::vector<uint8_t> payload_u32_bytes(uint32_t v, std::span<const uint8_t> bytes) {
    return packed(v, bytes);
}
std::vector<uint8_t> payload_u64_bytes(uint64_t v, std::span<const uint8_t> bytes) {
    return packed(v, bytes);
}

const char *request_name(uint32_t type) {
    switch (type) {
        case QUEUE_HELLO:
            return "QUEUE_HELLO";
        case QUEUE_FINISH:
            return "QUEUE_FINISH";
        case QUEUE_MESSAGE_NEW:
            return "QUEUE_MESSAGE_NEW";
        case QUEUE_MESSAGE_REMOVE:
            return "QUEUE_MESSAGE_REMOVE";
        case QUEUE_MESSAGE_STORE:
            return "QUEUE_MESSAGE_STORE";
        case QUEUE_MESSAGE_OPEN:
            return "QUEUE_MESSAGE_OPEN";
        case QUEUE_MESSAGE_MARK:
            return "QUEUE_MESSAGE_MARK";
        case QUEUE_MESSAGE_UNMARK:
            return "QUEUE_MESSAGE_UNMARK";
        case QUEUE_ENVELOPE_NEW:
            return "QUEUE_ENVELOPE_NEW";
        case QUEUE_ENVELOPE_REMOVE:
            return "QUEUE_ENVELOPE_REMOVE";
        case QUEUE_ENVELOPE_READ:
            return "QUEUE_ENVELOPE_READ";
        case QUEUE_ENVELOPE_REPLACE:
            return "QUEUE_ENVELOPE_REPLACE";
        case QUEUE_ENVELOPE_ITERATE:
            return "QUEUE_ENVELOPE_ITERATE";
        case QUEUE_MESSAGE_ITERATE:
            return "QUEUE_MESSAGE_ITERATE";
        default:
            return nullptr;
    }
}

namespace {

DecodedReply malformed(std::string why) {
    DecodedReply d;
    d.problem = std::move(why);
    return d;
}

std::string bytes_text(size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

}  // namespace

DecodedReply decode_reply(uint32_t request_type, const Reply &reply) {
    const size_t size = reply.payload.size();
    if (reply.type != QUEUE_REPLY) {
        return malformed("a message of type " + std::to_string(reply.type) + " instead of a reply");
    }
    if (reply.fd.valid() && request_type != QUEUE_MESSAGE_OPEN) {
        return malformed("a descriptor, which only the reply to QUEUE_MESSAGE_OPEN may carry");
    }
    DecodedReply d;
    d.has_fd = reply.fd.valid();
    // The lengths that a result-first reply may have, given its result.
    auto with_result = [&](size_t extra_on_success, bool success) -> bool {
        size_t want = sizeof(int32_t) + (success ? extra_on_success : 0);
        if (size != want) {
            d = malformed(bytes_text(size) + " of payload where " + bytes_text(want) + " belong");
            return false;
        }
        return true;
    };
    switch (request_type) {
        case QUEUE_HELLO:
        case QUEUE_MESSAGE_OPEN:
            if (size != 0) {
                return malformed(bytes_text(size) + " of payload where none belong");
            }
            break;
        case QUEUE_FINISH:
        case QUEUE_MESSAGE_REMOVE:
        case QUEUE_MESSAGE_STORE:
        case QUEUE_MESSAGE_MARK:
        case QUEUE_MESSAGE_UNMARK:
        case QUEUE_ENVELOPE_REMOVE:
        case QUEUE_ENVELOPE_REPLACE:
            if (!with_result(0, false)) {
                return d;
            }
            d.result = reply.result();
            break;
        case QUEUE_MESSAGE_NEW:
        case QUEUE_ENVELOPE_NEW: {
            const size_t id_size = request_type == QUEUE_MESSAGE_NEW ? 4 : 8;
            if (size < sizeof(int32_t)) {
                return malformed(bytes_text(size) + " of payload, too short for a result");
            }
            d.result = reply.result();
            if (!with_result(id_size, *d.result == 1)) {
                return d;
            }
            if (*d.result == 1) {
                d.id = id_size == 4 ? std::optional<uint64_t>(reply.u32_at(4)) : reply.u64_at(4);
            }
            break;
        }
        case QUEUE_ENVELOPE_READ:
            if (size > QUEUE_ENVELOPE_BUF) {
                return malformed(bytes_text(size) + " of envelope, more than the " +
                                 std::to_string(QUEUE_ENVELOPE_BUF) + " a reply may hold");
            }
            d.bytes = reply.payload;
            break;
        case QUEUE_ENVELOPE_ITERATE:
        case QUEUE_MESSAGE_ITERATE: {
            if (size < sizeof(int32_t)) {
                return malformed(bytes_text(size) + " of payload, too short for a result");
            }
            d.result = reply.result();
            const int32_t n = *d.result;
            if (n > static_cast<int32_t>(QUEUE_ENVELOPE_BUF)) {
                return malformed("a result of " + std::to_string(n) + ", more than the " +
                                 std::to_string(QUEUE_ENVELOPE_BUF) + " bytes a reply may hold");
            }
            if (!with_result(8 + static_cast<size_t>(n > 0 ? n : 0), n > 0)) {
                return d;
            }
            if (n > 0) {
                d.id = reply.u64_at(4);
                d.bytes = std::span<const uint8_t>(reply.payload).subspan(12);
            }
            break;
        }
        default:
            return malformed("no reply is defined for a request of type " +
                             std::to_string(request_type));
    }
    d.well_formed = true;
    return d;
}

}  // namespace peer
