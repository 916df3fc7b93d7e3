// Shared by the fuzz targets: a failed check that aborts with its reason
// (libFuzzer keeps the input, the replay driver names it), and a reader
// that turns the fuzzer's bytes into operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// Hands out the input front to back; past its end every read gives zeros,
// so any input is a valid sequence of operations.
class FuzzInput {
  public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    size_t left() const { return empty() ? 0 : size_ - pos_; }

    uint8_t byte() { return empty() ? 0 : data_[pos_++]; }

    uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }

    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) {
            v |= static_cast<uint64_t>(byte()) << (8 * i);
        }
        return v;
    }

    // Up to n bytes, fewer at the end of the input.
    std::vector<uint8_t> bytes(size_t n) {
        n = std::min(n, left());
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};
