// SPDX-License-Identifier: MIT
// What a node's source address and its 64-bit NAME (the payload of Address
// Claimed, PGN 60928) say about it, with the standard's names for preferred
// addresses, functions and industry groups as tables.
#ifndef VEHCAN_CLI_NODE_IDENTITY_H
#define VEHCAN_CLI_NODE_IDENTITY_H

#include "name.h"

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vehcan::cli {

// The fields of a NAME, from its least significant bit.
// The fields of a NAME (bit positions in claim::NameFields) and the NAME
// itself.
struct J1939Name : claim::NameFields {
    uint64_t raw = 0;
};

// Splits a NAME given as its 64-bit value.
J1939Name decode_name(uint64_t raw);
// Splits the 8-byte payload of Address Claimed (least significant byte
// first). Returns nothing for fewer than 8 bytes; later bytes are ignored.
std::optional<J1939Name> decode_name(const uint8_t *payload, size_t len);

// "engine #1" for 0x00: the standard's preferred use of a source address,
// or "" where it gives none (the table holds the common ones).
std::string_view address_meaning(uint8_t address);
// The name of a function in an industry group: functions 0-127 mean the
// same in every group, 128-253 depend on the group. "" when unknown.
std::string_view function_name(uint8_t function, uint8_t industry_group);
// "on-highway equipment" for 1; "" for the reserved groups 6 and 7.
std::string_view industry_group_name(uint8_t industry_group);

// Each field's label and value: {"identity number", "123456 (0x01E240)"},
// {"function", "0 (engine)"}, ...; the NAME itself first, as 16 hex digits.
std::vector<std::pair<std::string, std::string>> name_facts(const J1939Name &n);
// One line per field of name_facts(), "  identity number  123456 (0x01E240)", each
// indented by indent and ended by a newline.
std::string name_text(const J1939Name &n, std::string_view indent);
// {"raw":"A000...","identity_number":..,"manufacturer_code":..,...,
//  "function_name":..,"industry_group_name":..} (names only when known).
nlohmann::json name_json(const J1939Name &n);

} // namespace vehcan::cli

#endif
