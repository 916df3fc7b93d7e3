#include "support/base64.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const unsigned char *bytes(const char *s) {
    return reinterpret_cast<const unsigned char *>(s);
}

// Decodes into exactly room bytes; the bytes decoded, or a marker on -1.
std::string decode(const char *text, size_t room) {
    std::vector<unsigned char> out(room);
    int n = decode_base64(text, out.data(), room);
    return n < 0 ? "<fail>" : std::string(out.begin(), out.begin() + n);
}

// The RFC 4648 section 10 vectors.
struct Vector {
    const char *plain;
    const char *coded;
};
const Vector VECTORS[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, KnownVectorsBothWays) {
    for (const Vector &v : VECTORS) {
        SCOPED_TRACE(v.plain);
        size_t len = strlen(v.plain);
        size_t coded_len = strlen(v.coded);
        char out[16];
        memset(out, 'X', sizeof out);
        EXPECT_EQ(encode_base64(bytes(v.plain), len, out, sizeof out), static_cast<int>(coded_len));
        EXPECT_STREQ(out, v.coded);
        // Exactly enough room, and one character less.
        EXPECT_EQ(encode_base64(bytes(v.plain), len, out, coded_len + 1),
                  static_cast<int>(coded_len));
        EXPECT_EQ(encode_base64(bytes(v.plain), len, out, coded_len), -1);

        EXPECT_EQ(decode(v.coded, 16), v.plain);
        EXPECT_EQ(decode_base64(v.coded, nullptr, 0), static_cast<int>(len));
    }
}

TEST(Base64, EncodeRoomIsFourPerStartedGroupPlusOne) {
    char out[8];
    EXPECT_EQ(encode_base64(bytes("abc"), 3, out, 4), -1);
    EXPECT_EQ(encode_base64(bytes("abc"), 3, out, 5), 4);
    EXPECT_EQ(encode_base64(bytes("a"), 1, out, 4), -1);
    EXPECT_EQ(encode_base64(bytes("a"), 1, out, 5), 4);
    EXPECT_EQ(encode_base64(bytes(""), 0, out, 0), -1);
    EXPECT_EQ(encode_base64(bytes(""), 0, out, 1), 0);
    EXPECT_STREQ(out, "");
}

TEST(Base64, DecodeRoomEdges) {
    struct Case {
        const char *text;
        size_t room;
        const char *want;  // null: -1
    };
    const Case cases[] = {
        {"Zm9v", 3, "foo"},                      // whole groups need no spare byte
        {"Zm9v", 2, nullptr}, {"Zg==", 2, "f"},  // padding needs one byte beyond the result
        {"Zg==", 1, nullptr}, {"Zm8=", 3, "fo"}, {"Zm8=", 2, nullptr},
        {"", 0, ""},          {" \t\n", 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " room " + std::to_string(c.room));
        EXPECT_EQ(decode(c.text, c.room), c.want ? c.want : "<fail>");
    }
}

TEST(Base64, WhiteSpaceAnywhereBetweenCharacters) {
    for (const char *text : {"Zm9v", " Zm9v", "Z m9v", "Zm\t9v", "Zm9\nv", "Zm9v\r\n",
                             "Zm\x0b\x0c"
                             "9v"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(decode(text, 3), "foo");
    }
    EXPECT_EQ(decode("Zg= =", 2), "f");
    EXPECT_EQ(decode("Zg==\n ", 2), "f");
    EXPECT_EQ(decode("Zm8= \t", 3), "fo");
}

TEST(Base64, Rejections) {
    const char *bad[] = {
        "Zm9v!",     // outside the alphabet
        "Zm-v",      // the URL-safe alphabet is not ours
        "Zm9\xa0v",  // a high byte is never white space
        "=Zm9",      // padding as the first character of a group
        "Z===",      // ... and as the second
        "Zm9v=",     // ... the first of a new group
        "Zg=",       // a single "=" after two characters
        "Zg=A",
        "Zm8=A",  // data after the padding
        "Zg==Zg==", "Zg== x",
        "Zm9vY",  // data ending inside a group without padding
        "Zm9vYmE",
        "Zh==",  // leftover bits not zero
        "Zm9=",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        unsigned char out[16];
        EXPECT_EQ(decode_base64(text, out, sizeof out), -1);
    }
    // Without a destination only the leftover bits go unchecked.
    EXPECT_EQ(decode_base64("Zh==", nullptr, 0), 1);
    EXPECT_EQ(decode_base64("Zm9=", nullptr, 0), 2);
    EXPECT_EQ(decode_base64("Zg=", nullptr, 0), -1);
    EXPECT_EQ(decode_base64("Zm9v!", nullptr, 0), -1);
}

TEST(Base64, RandomDataOfEveryLengthRoundTrips) {
    std::mt19937 rng(4648);
    for (size_t len = 0; len <= 64; len++) {
        std::vector<unsigned char> data(len);
        for (auto &b : data) {
            b = static_cast<unsigned char>(rng());
        }
        size_t room = (len + 2) / 3 * 4 + 1;
        std::vector<char> text(room);
        int n = encode_base64(data.data(), len, text.data(), room);
        ASSERT_EQ(n, static_cast<int>(room - 1)) << len;
        EXPECT_EQ(encode_base64(data.data(), len, text.data(), room - 1), -1) << len;
        std::vector<unsigned char> back(len + 1);
        ASSERT_EQ(decode_base64(text.data(), back.data(), back.size()), static_cast<int>(len))
            << len;
        back.resize(len);
        EXPECT_EQ(back, data) << len;
    }
}

}  // namespace
