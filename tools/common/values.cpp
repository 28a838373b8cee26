// SPDX-License-Identifier: MIT
// Command-line value parsers: see values.h.
#include "values.h"
#include "hex_digit.h"

#include <fmt/format.h>

namespace vehcan {

namespace {

constexpr uint32_t kMaxPgn = 0x3FFFF;
constexpr uint32_t kMaxSpn = 524287;
constexpr size_t kMaxPayload = 1785;

// Decimal, or hexadecimal after "0x". Nothing when the text is not a number
// or exceeds limit.
bool parse_unsigned(std::string_view text, uint32_t limit, uint32_t *value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        const int d = hex_digit(c);
        if (d < 0 || d >= base) {
            return false;
        }
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (v > limit) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

} // namespace

uint32_t parse_pgn(std::string_view text) {
    uint32_t pgn = 0;
    if (!parse_unsigned(text, kMaxPgn, &pgn)) {
        throw Failure(kExitUsage, fmt::format("'{}' is not a PGN (0 to 262143, or 0x0 to "
                                              "0x3FFFF)",
                                              text));
    }
    return pgn;
}

uint32_t parse_spn(std::string_view text) {
    uint32_t spn = 0;
    const bool decimal =
        !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    if (!decimal || !parse_unsigned(text, kMaxSpn, &spn) || spn == 0) {
        throw Failure(kExitUsage, fmt::format("'{}' is not an SPN (1 to 524287)", text));
    }
    return spn;
}

uint8_t parse_address(std::string_view text, std::string_view what) {
    uint32_t a = 0;
    if (!parse_unsigned(text, 0xFF, &a)) {
        throw Failure(
            kExitUsage,
            fmt::format("{} '{}' is not an address (0 to 255, or 0x00 to 0xFF)", what, text));
    }
    return static_cast<uint8_t>(a);
}

std::vector<uint8_t> parse_hex_bytes(std::string_view text) {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    auto is_separator = [](char c) {
        return c == ' ' || c == '\t' || c == ':' || c == ',' || c == '-' || c == '.';
    };
    while (i < text.size()) {
        if (is_separator(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i += 2; // "0x" before a byte
            continue;
        }
        const int hi = hex_digit(text[i]);
        if (hi < 0) {
            throw Failure(kExitUsage, fmt::format("malformed hex '{}': '{}' at position {} is "
                                                  "not a hex digit",
                                                  text, text[i], i + 1));
        }
        if (i + 1 < text.size() && hex_digit(text[i + 1]) < 0 && !is_separator(text[i + 1])) {
            throw Failure(kExitUsage, fmt::format("malformed hex '{}': '{}' at position {} is "
                                                  "not a hex digit",
                                                  text, text[i + 1], i + 2));
        }
        if (i + 1 >= text.size() || hex_digit(text[i + 1]) < 0) {
            throw Failure(kExitUsage, fmt::format("malformed hex '{}': byte at position {} has "
                                                  "one digit, two expected",
                                                  text, i + 1));
        }
        bytes.push_back(static_cast<uint8_t>(hi << 4 | hex_digit(text[i + 1])));
        i += 2;
    }
    if (bytes.empty()) {
        throw Failure(kExitUsage, "malformed hex: no bytes given");
    }
    if (bytes.size() > kMaxPayload) {
        throw Failure(kExitUsage, fmt::format("{} bytes given, a J1939 message holds at most {}",
                                              bytes.size(), kMaxPayload));
    }
    return bytes;
}

} // namespace vehcan
