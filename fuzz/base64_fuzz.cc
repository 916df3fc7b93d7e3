// encode_base64 and decode_base64 against a plain reference decoder. Every
// destination is a heap block of exactly the size passed, so ASan catches a
// single byte written past it.
#include <cctype>
#include <memory>
#include <optional>

#include "fuzz_input.h"
#include "support/base64.h"

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int value_of(unsigned char c) {
    const char *p = c != 0 ? std::strchr(ALPHABET, c) : nullptr;
    return p != nullptr ? static_cast<int>(p - ALPHABET) : -1;
}

bool is_space(unsigned char c) {
    return c < 0x80 && std::isspace(c) != 0;
}

// What decode_base64 must answer for text: the decoded bytes, the room they
// need (one more than their count when the text is padded) and whether the
// last group's unused bits are zero. Nothing when the text is malformed.
struct Decoded {
    std::vector<uint8_t> bytes;
    size_t room;
    bool clean_tail;
};

std::optional<Decoded> reference_decode(const std::string &text) {
    std::vector<int> values;
    size_t i = 0;
    bool padded = false;
    for (; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (is_space(c)) {
            continue;
        }
        if (c == '=') {
            padded = true;
            break;
        }
        int v = value_of(c);
        if (v < 0) {
            return std::nullopt;
        }
        values.push_back(v);
    }
    size_t state = values.size() % 4;
    if (padded) {
        if (state < 2) {
            return std::nullopt;
        }
        ++i;
        if (state == 2) {
            while (i < text.size() && is_space(static_cast<unsigned char>(text[i]))) {
                ++i;
            }
            if (i >= text.size() || text[i] != '=') {
                return std::nullopt;
            }
            ++i;
        }
        for (; i < text.size(); ++i) {
            if (!is_space(static_cast<unsigned char>(text[i]))) {
                return std::nullopt;
            }
        }
    } else if (state != 0) {
        return std::nullopt;
    }

    Decoded out;
    uint32_t acc = 0;
    int bits = 0;
    for (int v : values) {
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.bytes.push_back(static_cast<uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    out.clean_tail = acc == 0;
    out.room = out.bytes.size() + (padded ? 1 : 0);
    return out;
}

// decode_base64 into an exact heap block of `size` bytes.
int decode_into(const std::string &text, size_t size, std::vector<uint8_t> &out) {
    std::unique_ptr<unsigned char[]> dst(new unsigned char[size]);
    int n = decode_base64(text.c_str(), dst.get(), size);
    if (n > 0) {
        out.assign(dst.get(), dst.get() + n);
    } else {
        out.clear();
    }
    return n;
}

void check_round_trip(const std::vector<uint8_t> &src) {
    size_t need = 4 * ((src.size() + 2) / 3) + 1;
    std::unique_ptr<char[]> text(new char[need]);
    int n = encode_base64(src.data(), src.size(), text.get(), need);
    FUZZ_CHECK(n == static_cast<int>(need - 1));
    FUZZ_CHECK(text[need - 1] == '\0');
    FUZZ_CHECK(std::strlen(text.get()) == need - 1);

    std::unique_ptr<char[]> short_text(new char[need - 1]);
    FUZZ_CHECK(encode_base64(src.data(), src.size(), short_text.get(), need - 1) == -1);

    std::string encoded(text.get());
    std::vector<uint8_t> back;
    size_t room = src.size() + (src.size() % 3 != 0 ? 1 : 0);
    FUZZ_CHECK(decode_into(encoded, room, back) == static_cast<int>(src.size()));
    FUZZ_CHECK(back == src);
    if (room > 0) {
        FUZZ_CHECK(decode_into(encoded, room - 1, back) == -1);
    }
    FUZZ_CHECK(decode_base64(encoded.c_str(), nullptr, 0) == static_cast<int>(src.size()));
}

void check_decode(const std::string &text) {
    std::optional<Decoded> want = reference_decode(text);
    int probed = decode_base64(text.c_str(), nullptr, 0);
    if (!want) {
        FUZZ_CHECK(probed == -1);
        std::vector<uint8_t> out;
        FUZZ_CHECK(decode_into(text, text.size() + 1, out) == -1);
        return;
    }
    FUZZ_CHECK(probed == static_cast<int>(want->bytes.size()));
    // Below the room it needs, at it, and above it.
    for (size_t size : {want->room == 0 ? size_t{0} : want->room - 1, want->room, want->room + 3}) {
        std::vector<uint8_t> out;
        int n = decode_into(text, size, out);
        if (size < want->room || !want->clean_tail) {
            FUZZ_CHECK(n == -1);
        } else {
            FUZZ_CHECK(n == static_cast<int>(want->bytes.size()));
            FUZZ_CHECK(out == want->bytes);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    check_round_trip(bytes);
    // The text ends at the first NUL, as the decoder sees it.
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(std::strlen(text.c_str()));
    check_decode(text);
    return 0;
}
