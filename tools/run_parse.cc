#include "run_parse.h"

namespace memq_peer {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string_view next_word(std::string_view &rest) {
    size_t start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    size_t end = rest.find_first_of(" \t");
    std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return word;
}

std::string_view trim(std::string_view s) {
    size_t start = s.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) {
        return {};
    }
    size_t end = s.find_last_not_of(" \t\r");
    return s.substr(start, end - start + 1);
}

bool parse_number(std::string_view word, uint64_t &out, bool &overflow) {
    overflow = false;
    const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const unsigned base = hex ? 16 : 10;
    std::string_view digits = hex ? word.substr(2) : word;
    if (digits.empty()) {
        return false;
    }
    uint64_t v = 0;
    for (char c : digits) {
        int d = hex ? hex_digit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) {
            return false;
        }
        if (v > (UINT64_MAX - static_cast<unsigned>(d)) / base) {
            overflow = true;
            return false;
        }
        v = v * base + static_cast<unsigned>(d);
    }
    out = v;
    return true;
}

std::optional<wire::Bytes> parse_text(std::string_view rest, std::string &why, bool &misused) {
    misused = false;
    // One separating blank goes; the rest of the line is the text, as it is.
    if (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) {
        rest.remove_prefix(1);
    }
    // A forgotten TEXT must not quietly become an empty envelope: an empty
    // one is asked for as "".
    if (rest.empty()) {
        why = "TEXT is missing; write \"\" for an empty one";
        misused = true;
        return std::nullopt;
    }
    if (rest == "\"\"") {
        return wire::Bytes();
    }
    wire::Bytes out;
    for (size_t i = 0; i < rest.size(); i++) {
        char c = rest[i];
        if (c != '\\') {
            out.push_back(static_cast<uint8_t>(c));
            continue;
        }
        if (++i == rest.size()) {
            why = "TEXT ends in a lone backslash";
            return std::nullopt;
        }
        switch (rest[i]) {
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case '\\':
                out.push_back('\\');
                break;
            case 'x': {
                int hi = i + 1 < rest.size() ? hex_digit(rest[i + 1]) : -1;
                int lo = i + 2 < rest.size() ? hex_digit(rest[i + 2]) : -1;
                if (hi < 0 || lo < 0) {
                    why = "\\x in TEXT needs two hex digits";
                    return std::nullopt;
                }
                out.push_back(static_cast<uint8_t>(hi << 4 | lo));
                i += 2;
                break;
            }
            default:
                why = std::string("unknown escape \\") + rest[i] +
                      " in TEXT; use \\n, \\t, \\r, \\\\ or \\xHH";
                return std::nullopt;
        }
    }
    return out;
}

std::optional<wire::Bytes> parse_hex(std::string_view rest, std::string &why) {
    wire::Bytes out;
    int high = -1;
    for (char c : rest) {
        if (c == ' ' || c == '\t') {
            continue;
        }
        int d = hex_digit(c);
        if (d < 0) {
            why = std::string("'") + c + "' is not a hex digit in HEXBYTES";
            return std::nullopt;
        }
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) {
        why = "HEXBYTES has an odd number of digits";
        return std::nullopt;
    }
    return out;
}

}  // namespace memq_peer
