// The words of memq-peer run's command lines: numbers, TEXT with its
// escapes and HEXBYTES, as the help describes them. Pure: a mistake comes
// back as its reason, in the words the session reports it with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "peer/wire.h"

namespace memq_peer {

// Splits off the next whitespace-separated word of rest.
std::string_view next_word(std::string_view &rest);

// s without the blanks and carriage returns around it.
std::string_view trim(std::string_view s);

// A number as the help describes it: decimal digits, or hex digits after
// "0x". strtoull() would also take octal, signs and blanks, and a person who
// writes 010 means ten. False for anything else, and when the value does
// not fit in 64 bits (`overflow` then says so).
bool parse_number(std::string_view word, uint64_t &out, bool &overflow);

// The rest of a line as TEXT, its escapes undone: the bytes, or nothing
// with why. `misused` says whether the mistake is the line's shape (no TEXT
// at all), which the session reports with the command's usage.
std::optional<wire::Bytes> parse_text(std::string_view rest, std::string &why, bool &misused);

// HEXBYTES, blanks allowed between the digits: the bytes, or nothing with
// why.
std::optional<wire::Bytes> parse_hex(std::string_view rest, std::string &why);

}  // namespace memq_peer
