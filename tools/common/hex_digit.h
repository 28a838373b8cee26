// SPDX-License-Identifier: MIT
// One hexadecimal digit's value, shared by the value parsers and the candump reader.
#ifndef VEHCAN_COMMON_HEX_DIGIT_H
#define VEHCAN_COMMON_HEX_DIGIT_H

namespace vehcan {

// 0..15 for '0'-'9', 'a'-'f', 'A'-'F'; -1 for any other character.
constexpr int hex_digit(char c) {
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

} // namespace vehcan

#endif
