#include "frame/request.h"

#include <cstdio>
#include <cstring>

#include "frame/queue_proto.h"

namespace {

// The fixed fields of a type in the order they come, and whether the rest
// of the payload is the type's envelope.
struct layout {
    size_t width;  // 0, 4 or 8 bytes of fixed field
    bool envelope_follows;
};

layout layout_of(uint32_t type) {
    switch (type) {
        case QUEUE_FINISH:
        case QUEUE_MESSAGE_NEW:
        case QUEUE_ENVELOPE_ITERATE:
            return {0, false};
        case QUEUE_ENVELOPE_NEW:
            return {4, true};
        case QUEUE_ENVELOPE_REMOVE:
        case QUEUE_ENVELOPE_READ:
            return {8, false};
        case QUEUE_ENVELOPE_REPLACE:
            return {8, true};
        default:
            return {4, false};
    }
}

request_decoding refused(request_fault fault) {
    return {fault, {}};
}

}  // namespace

request_decoding decode_request(uint32_t type, std::span<const uint8_t> payload) {
    if (type < QUEUE_HELLO || type > QUEUE_MESSAGE_ITERATE) {
        return refused(request_fault::bad_type);
    }
    layout fields = layout_of(type);
    if (payload.size() < fields.width) {
        return refused(request_fault::short_field);
    }
    if (payload.size() > fields.width && !fields.envelope_follows) {
        return refused(request_fault::bogus_data);
    }

    request_decoding d{request_fault::none, {}};
    queue_request &r = d.request;
    r.type = type;
    uint32_t word = 0;
    if (fields.width == 4) {
        memcpy(&word, payload.data(), sizeof word);
    } else if (fields.width == 8) {
        memcpy(&r.evpid, payload.data(), sizeof r.evpid);
    }
    if (fields.envelope_follows) {
        r.envelope = payload.subspan(fields.width);
    }
    switch (type) {
        case QUEUE_HELLO:
            r.version = word;
            if (word != QUEUE_API_VERSION) {
                return refused(request_fault::bad_version);
            }
            break;
        case QUEUE_MESSAGE_ITERATE:
            r.value = word;
            break;
        default:
            r.msgid = word;
            break;
    }
    return d;
}

void format_request_fault(request_fault fault, uint32_t type, char *buf, size_t size) {
    if (size == 0) {
        return;
    }
    buf[0] = '\0';
    switch (fault) {
        case request_fault::none:
            break;
        case request_fault::bad_type:
            // The type shows as the signed number the peer may have meant.
            snprintf(buf, size, "warn: queue-api: bad message %d", static_cast<int>(type));
            break;
        case request_fault::short_field:
            snprintf(buf, size, "%s", "warn: queue-proc: bad msg len");
            break;
        case request_fault::bogus_data:
            snprintf(buf, size, "%s", "warn: queue-proc: bogus data");
            break;
        case request_fault::bad_version:
            snprintf(buf, size, "%s", "warn: queue-api: bad API version");
            break;
    }
}

const char *request_fault_closing(request_fault fault) {
    switch (fault) {
        case request_fault::short_field:
        case request_fault::bogus_data:
            return "queue-proc: exiting";
        default:
            return "queue-api: exiting";
    }
}
