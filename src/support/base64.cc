#include "support/base64.h"

#include <array>
#include <cctype>
#include <climits>
#include <cstdint>

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Each byte's value in the alphabet, or -1.
constexpr std::array<int8_t, 256> VALUES = [] {
    std::array<int8_t, 256> v{};
    v.fill(-1);
    for (int i = 0; i < 64; i++) {
        v[static_cast<unsigned char>(ALPHABET[i])] = static_cast<int8_t>(i);
    }
    return v;
}();

// Bytes with the high bit set are never white space, whatever the locale.
bool is_space(unsigned char c) {
    return c < 0x80 && isspace(c) != 0;
}

}  // namespace

int encode_base64(const unsigned char *src, size_t srclen, char *dst, size_t size) {
    size_t groups = srclen / 3 + (srclen % 3 != 0 ? 1 : 0);
    if (groups > static_cast<size_t>(INT_MAX / 4)) {
        return -1;
    }
    size_t out = 0;
    size_t i = 0;
    for (; srclen - i >= 3; i += 3) {
        if (out + 4 > size) {
            return -1;
        }
        uint32_t group = src[i] << 16 | src[i + 1] << 8 | src[i + 2];
        dst[out++] = ALPHABET[group >> 18];
        dst[out++] = ALPHABET[(group >> 12) & 0x3f];
        dst[out++] = ALPHABET[(group >> 6) & 0x3f];
        dst[out++] = ALPHABET[group & 0x3f];
    }
    if (i < srclen) {
        if (out + 4 > size) {
            return -1;
        }
        uint32_t group = src[i] << 16;
        if (srclen - i == 2) {
            group |= src[i + 1] << 8;
        }
        dst[out++] = ALPHABET[group >> 18];
        dst[out++] = ALPHABET[(group >> 12) & 0x3f];
        dst[out++] = srclen - i == 2 ? ALPHABET[(group >> 6) & 0x3f] : '=';
        dst[out++] = '=';
    }
    if (out >= size) {
        return -1;
    }
    dst[out] = '\0';
    return static_cast<int>(out);
}

int decode_base64(const char *src, unsigned char *dst, size_t size) {
    const auto *p = reinterpret_cast<const unsigned char *>(src);
    int state = 0;
    size_t t = 0;
    unsigned char c;
    while ((c = *p++) != '\0' && c != '=') {
        if (is_space(c)) {
            continue;
        }
        int v = VALUES[c];
        if (v < 0) {
            return -1;
        }
        switch (state) {
            case 0:
                if (dst != nullptr) {
                    if (t >= size) {
                        return -1;
                    }
                    dst[t] = static_cast<unsigned char>(v << 2);
                }
                state = 1;
                break;
            case 1:
            case 2: {
                // These finish byte t and start byte t + 1 with the value's
                // low bits, so they need room one byte ahead.
                int shift = state == 1 ? 4 : 2;
                if (dst != nullptr) {
                    if (t + 1 >= size) {
                        return -1;
                    }
                    dst[t] |= v >> shift;
                    dst[t + 1] = static_cast<unsigned char>(v << (8 - shift));
                }
                t++;
                state++;
                break;
            }
            default:
                if (dst != nullptr) {
                    if (t >= size) {
                        return -1;
                    }
                    dst[t] |= v;
                }
                t++;
                state = 0;
                break;
        }
    }
    if (c == '=') {
        if (state < 2) {
            return -1;
        }
        c = *p++;
        if (state == 2) {
            while (c != '\0' && is_space(c)) {
                c = *p++;
            }
            if (c != '=') {
                return -1;
            }
            c = *p++;
        }
        for (; c != '\0'; c = *p++) {
            if (!is_space(c)) {
                return -1;
            }
        }
        // The padded group's unused bits were written into byte t; a
        // canonical encoding leaves them zero.
        if (dst != nullptr && dst[t] != 0) {
            return -1;
        }
    } else if (state != 0) {
        return -1;
    }
    if (t > INT_MAX) {
        return -1;
    }
    return static_cast<int>(t);
}
