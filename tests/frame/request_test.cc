// The request decoder on its own: fields, length rules and the lines each
// violation earns, without a loop or a process around it.
#include "frame/request.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame/queue_proto.h"
#include "peer/wire.h"

namespace {

using wire::Bytes;

Bytes le(uint64_t v, size_t width) {
    Bytes out(width);
    memcpy(out.data(), &v, width);
    return out;
}

std::string fault_line(request_fault f, uint32_t type) {
    char buf[64];
    format_request_fault(f, type, buf, sizeof buf);
    return buf;
}

TEST(Request, FixedFieldsLandInTheirPlacesAndEnvelopesAreBorrowed) {
    Bytes msgid = le(0xdeadbeef, 4);
    request_decoding d = decode_request(QUEUE_MESSAGE_OPEN, msgid);
    ASSERT_EQ(d.fault, request_fault::none);
    EXPECT_EQ(d.request.type, QUEUE_MESSAGE_OPEN);
    EXPECT_EQ(d.request.msgid, 0xdeadbeefu);
    EXPECT_EQ(d.request.evpid, 0u);

    Bytes replace = le(0x1122334455667788, 8);
    replace.insert(replace.end(), {1, 2, 3});
    d = decode_request(QUEUE_ENVELOPE_REPLACE, replace);
    ASSERT_EQ(d.fault, request_fault::none);
    EXPECT_EQ(d.request.evpid, 0x1122334455667788u);
    EXPECT_EQ(d.request.envelope.data(), replace.data() + 8) << "borrowed, not copied";
    EXPECT_EQ(d.request.envelope.size(), 3u);

    d = decode_request(QUEUE_MESSAGE_ITERATE, le(77, 4));
    ASSERT_EQ(d.fault, request_fault::none);
    EXPECT_EQ(d.request.value, 77u);
    EXPECT_EQ(d.request.msgid, 0u);

    d = decode_request(QUEUE_ENVELOPE_NEW, le(9, 4));
    ASSERT_EQ(d.fault, request_fault::none);
    EXPECT_EQ(d.request.msgid, 9u);
    EXPECT_TRUE(d.request.envelope.empty());
}

// Every prefix of a fixed field is cut short; one byte more than a type
// without an envelope takes is bogus.
TEST(Request, EveryShortPrefixAndEveryExtraByteIsRefused) {
    struct Rule {
        uint32_t type;
        size_t width;
        bool envelope;
    };
    const Rule rules[] = {
        {QUEUE_HELLO, 4, false},
        {QUEUE_FINISH, 0, false},
        {QUEUE_MESSAGE_NEW, 0, false},
        {QUEUE_MESSAGE_REMOVE, 4, false},
        {QUEUE_MESSAGE_STORE, 4, false},
        {QUEUE_MESSAGE_OPEN, 4, false},
        {QUEUE_MESSAGE_MARK, 4, false},
        {QUEUE_MESSAGE_UNMARK, 4, false},
        {QUEUE_ENVELOPE_NEW, 4, true},
        {QUEUE_ENVELOPE_REMOVE, 8, false},
        {QUEUE_ENVELOPE_READ, 8, false},
        {QUEUE_ENVELOPE_REPLACE, 8, true},
        {QUEUE_ENVELOPE_ITERATE, 0, false},
        {QUEUE_MESSAGE_ITERATE, 4, false},
    };
    for (const Rule &r : rules) {
        SCOPED_TRACE("type " + std::to_string(r.type));
        Bytes payload = le(QUEUE_API_VERSION, 8);
        payload.push_back(0);
        for (size_t n = 0; n < r.width; n++) {
            EXPECT_EQ(decode_request(r.type, std::span(payload).first(n)).fault,
                      request_fault::short_field);
        }
        EXPECT_EQ(decode_request(r.type, std::span(payload).first(r.width)).fault,
                  request_fault::none);
        EXPECT_EQ(decode_request(r.type, std::span(payload).first(r.width + 1)).fault,
                  r.envelope ? request_fault::none : request_fault::bogus_data);
    }
}

TEST(Request, TypeIsCheckedBeforeLengthAndLengthBeforeVersion) {
    EXPECT_EQ(decode_request(0, le(2, 4)).fault, request_fault::bad_type);
    EXPECT_EQ(decode_request(16, {}).fault, request_fault::bad_type);
    EXPECT_EQ(decode_request(QUEUE_HELLO, le(1, 3)).fault, request_fault::short_field);
    EXPECT_EQ(decode_request(QUEUE_HELLO, le(1, 5)).fault, request_fault::bogus_data);
    EXPECT_EQ(decode_request(QUEUE_HELLO, le(1, 4)).fault, request_fault::bad_version);
}

TEST(Request, EachFaultEarnsItsLineAndClosingText) {
    struct Case {
        request_fault fault;
        uint32_t type;
        const char *line;
        const char *closing;
    };
    const Case cases[] = {
        {request_fault::bad_type, 16, "warn: queue-api: bad message 16", "queue-api: exiting"},
        {request_fault::bad_type, 0xffffffff, "warn: queue-api: bad message -1",
         "queue-api: exiting"},
        {request_fault::short_field, 5, "warn: queue-proc: bad msg len", "queue-proc: exiting"},
        {request_fault::bogus_data, 3, "warn: queue-proc: bogus data", "queue-proc: exiting"},
        {request_fault::bad_version, 2, "warn: queue-api: bad API version", "queue-api: exiting"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(fault_line(c.fault, c.type), c.line);
        EXPECT_STREQ(request_fault_closing(c.fault), c.closing);
    }
    EXPECT_EQ(fault_line(request_fault::none, 2), "");
    char small[8];
    format_request_fault(request_fault::bogus_data, 3, small, sizeof small);
    EXPECT_STREQ(small, "warn: q") << "cut to fit";
}

}  // namespace
