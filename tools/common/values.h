// SPDX-License-Identifier: MIT
// Parsers of the values that vehcan's command lines and configuration take.
// Each throws Failure(kExitUsage) with a line that names what is wrong.
#ifndef VEHCAN_COMMON_VALUES_H
#define VEHCAN_COMMON_VALUES_H

#include "failure.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace vehcan {

// "61444", "0xF004": a PGN of at most 18 bits.
uint32_t parse_pgn(std::string_view text);
// "190": an SPN of 1 to 524287 (19 bits), decimal as the standard numbers them.
uint32_t parse_spn(std::string_view text);
// "0".."255" or "0x00".."0xFF"; what names the value in the message ("--to").
uint8_t parse_address(std::string_view text, std::string_view what);
// "EEFE00", "ee fe 00", "ee:fe:00", "0xEE,0xFE": 1 to 1785 bytes. The
// message names the first bad character.
std::vector<uint8_t> parse_hex_bytes(std::string_view text);

} // namespace vehcan

#endif
