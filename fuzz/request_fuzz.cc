// The request decoder against a table of the protocol's own: for every
// type, the width of its fixed field, what that field means and whether
// an envelope follows. Any type and any payload: the decoder must refuse
// exactly what the table refuses, with the line and closing text the
// violation earns, and otherwise hand back the fields the table finds,
// with the envelope borrowed in place.
#include <cstring>
#include <string>

#include "frame/request.h"
#include "fuzz_input.h"

namespace {

enum class Field { none, version, msgid, evpid, value };

struct Rule {
    bool exists;
    Field field;
    bool envelope;
};

// Indexed by type, 0 to 15; nothing above exists.
constexpr Rule rules[] = {
    {false, Field::none, false},    // 0, replies only
    {false, Field::none, false},    // 1
    {true, Field::version, false},  // hello
    {true, Field::none, false},     // finish
    {true, Field::none, false},     // message new
    {true, Field::msgid, false},    // message remove
    {true, Field::msgid, false},    // message store
    {true, Field::msgid, false},    // message open
    {true, Field::msgid, false},    // message mark
    {true, Field::msgid, false},    // message unmark
    {true, Field::msgid, true},     // envelope new
    {true, Field::evpid, false},    // envelope remove
    {true, Field::evpid, false},    // envelope read
    {true, Field::evpid, true},     // envelope replace
    {true, Field::none, false},     // envelope iterate
    {true, Field::value, false},    // message iterate
};

size_t width_of(Field f) {
    switch (f) {
        case Field::none:
            return 0;
        case Field::evpid:
            return 8;
        default:
            return 4;
    }
}

std::string line_of(request_fault f, uint32_t type) {
    char buf[80];
    format_request_fault(f, type, buf, sizeof buf);
    return buf;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    uint8_t pick = in.byte();
    // Mostly the types around the valid ones, sometimes any 32-bit value.
    uint32_t type = pick < 0xf0 ? pick % 18 : static_cast<uint32_t>(in.u64());
    std::vector<uint8_t> payload = in.bytes(in.left());

    request_decoding d = decode_request(type, payload);

    request_fault want = request_fault::none;
    const Rule *rule = type < std::size(rules) ? &rules[type] : nullptr;
    size_t width = 0;
    if (rule == nullptr || !rule->exists) {
        want = request_fault::bad_type;
    } else {
        width = width_of(rule->field);
        uint32_t word = 0;
        if (payload.size() >= 4) {
            std::memcpy(&word, payload.data(), 4);
        }
        if (payload.size() < width) {
            want = request_fault::short_field;
        } else if (payload.size() > width && !rule->envelope) {
            want = request_fault::bogus_data;
        } else if (rule->field == Field::version && word != 2) {
            want = request_fault::bad_version;
        }
    }
    FUZZ_CHECK(d.fault == want);

    switch (want) {
        case request_fault::none:
            FUZZ_CHECK(line_of(want, type).empty());
            break;
        case request_fault::bad_type:
            FUZZ_CHECK(line_of(want, type) ==
                       "warn: queue-api: bad message " + std::to_string(static_cast<int>(type)));
            FUZZ_CHECK(std::strcmp(request_fault_closing(want), "queue-api: exiting") == 0);
            return 0;
        case request_fault::short_field:
            FUZZ_CHECK(line_of(want, type) == "warn: queue-proc: bad msg len");
            FUZZ_CHECK(std::strcmp(request_fault_closing(want), "queue-proc: exiting") == 0);
            return 0;
        case request_fault::bogus_data:
            FUZZ_CHECK(line_of(want, type) == "warn: queue-proc: bogus data");
            FUZZ_CHECK(std::strcmp(request_fault_closing(want), "queue-proc: exiting") == 0);
            return 0;
        case request_fault::bad_version:
            FUZZ_CHECK(line_of(want, type) == "warn: queue-api: bad API version");
            FUZZ_CHECK(std::strcmp(request_fault_closing(want), "queue-api: exiting") == 0);
            return 0;
    }

    const queue_request &r = d.request;
    FUZZ_CHECK(r.type == type);
    uint32_t word = 0;
    uint64_t wide = 0;
    if (width == 4) {
        std::memcpy(&word, payload.data(), 4);
    } else if (width == 8) {
        std::memcpy(&wide, payload.data(), 8);
    }
    FUZZ_CHECK(r.version == (rule->field == Field::version ? word : 0));
    FUZZ_CHECK(r.msgid == (rule->field == Field::msgid ? word : 0));
    FUZZ_CHECK(r.value == (rule->field == Field::value ? word : 0));
    FUZZ_CHECK(r.evpid == (rule->field == Field::evpid ? wide : 0));
    if (rule->envelope) {
        FUZZ_CHECK(r.envelope.data() == payload.data() + width);
        FUZZ_CHECK(r.envelope.size() == payload.size() - width);
    } else {
        FUZZ_CHECK(r.envelope.empty());
    }
    return 0;
}
