#include "peer/reply.h"

#include <stdio.h>
#include <string.h>

#include "frame/queue_proto.h"

namespace peer {

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
    if (reply.header.type != QUEUE_REPLY) {
        return malformed("a message of type " + std::to_string(reply.header.type) +
                         " instead of a reply");
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

std::string cat(std::initializer_list<std::string_view> parts) {
    size_t n = 0;
    for (std::string_view p : parts) {
        n += p.size();
    }
    std::string out;
    out.reserve(n);
    for (std::string_view p : parts) {
        out.append(p);
    }
    return out;
}

std::string quoted(std::span<const uint8_t> bytes, size_t limit) {
    std::string out = "\"";
    size_t shown = 0;
    for (uint8_t c : bytes) {
        if (shown++ == limit) {
            out += "\"...";
            return out;
        }
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    out += static_cast<char>(c);
                } else {
                    char esc[5];
                    snprintf(esc, sizeof esc, "\\x%02x", c);
                    out += esc;
                }
        }
    }
    out += '"';
    return out;
}

std::string hex_msgid(uint64_t id) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%08llx", static_cast<unsigned long long>(id));
    return buf;
}

std::string hex_evpid(uint64_t id) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(id));
    return buf;
}

std::string hex_bytes(std::span<const uint8_t> bytes, size_t limit) {
    std::string out;
    size_t shown = 0;
    for (uint8_t c : bytes) {
        if (shown++ == limit) {
            out += " ...";
            break;
        }
        char pair[4];
        snprintf(pair, sizeof pair, "%s%02x", out.empty() ? "" : " ", c);
        out += pair;
    }
    return out;
}

namespace {

// What a result means where the protocol gives it a meaning, and for the
// requests whose answer memq gives whatever happened, what it means there.
const char *result_meaning(uint32_t type, int32_t result) {
    switch (type) {
        case QUEUE_MESSAGE_STORE:
            switch (result) {
                case 1:
                    return "stored";
                case 0:
                    return "not stored";
                case -1:
                    return "no descriptor, or no working copy could be made";
                default:
                    return nullptr;
            }
        case QUEUE_MESSAGE_REMOVE:
            return result == 1   ? "done"
                   : result == 0 ? "memq answers 0 whether or not there was such a message"
                                 : nullptr;
        case QUEUE_MESSAGE_MARK:
            return result == 1   ? "done"
                   : result == 0 ? "memq keeps no marks: it drops the message, as remove does"
                                 : nullptr;
        case QUEUE_MESSAGE_UNMARK:
            return result == 1   ? "done"
                   : result == 0 ? "memq keeps no marks: there is nothing to undo"
                                 : nullptr;
        case QUEUE_FINISH:
        case QUEUE_MESSAGE_NEW:
        case QUEUE_ENVELOPE_NEW:
        case QUEUE_ENVELOPE_REMOVE:
        case QUEUE_ENVELOPE_REPLACE:
            return result == 1 ? "done" : result == 0 ? "failed" : nullptr;
        case QUEUE_ENVELOPE_ITERATE:
        case QUEUE_MESSAGE_ITERATE:
            return result == -1 ? "not supported" : nullptr;
        default:
            return nullptr;
    }
}

}  // namespace

std::string describe_result(uint32_t type, int32_t result) {
    const char *meaning = result_meaning(type, result);
    return cat({"result ", std::to_string(result), meaning != nullptr ? " (" : "",
                meaning != nullptr ? meaning : "", meaning != nullptr ? ")" : ""});
}

std::string describe_reply(uint32_t type, const DecodedReply &d, const std::string &label) {
    if (!d.well_formed) {
        return "malformed reply: " + d.problem;
    }
    const std::string tag = label.empty() ? "" : " (" + label + ")";
    const std::string result = d.result ? describe_result(type, *d.result) : "";
    switch (type) {
        case QUEUE_HELLO:
            return "empty reply (version accepted)";
        case QUEUE_MESSAGE_OPEN:
            return d.has_fd ? "a descriptor"
                            : "no descriptor (no such message, or it could not be handed back)";
        case QUEUE_MESSAGE_NEW:
            return d.id ? result + ", msgid " + hex_msgid(*d.id) + tag : result;
        case QUEUE_ENVELOPE_NEW:
            return d.id ? result + ", envelope " + hex_evpid(*d.id) + tag : result;
        case QUEUE_ENVELOPE_READ:
            if (d.bytes.empty()) {
                return "empty reply (no such envelope, or an empty one)";
            }
            return std::to_string(d.bytes.size()) + " bytes " + quoted(d.bytes, 200);
        case QUEUE_ENVELOPE_ITERATE:
        case QUEUE_MESSAGE_ITERATE:
            if (d.id) {
                return result + ", id " + hex_evpid(*d.id) + tag + ", " +
                       std::to_string(d.bytes.size()) + " bytes " + quoted(d.bytes, 200);
            }
            return result;
        default:
            return result;
    }
}

}  // namespace peer
