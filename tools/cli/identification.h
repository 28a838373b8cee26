// SPDX-License-Identifier: MIT
// The identification messages a node sends on request: component (65259),
// software (65242) and ECU identification (64965). Their fields are ASCII
// text, each ended by '*'.
#ifndef VEHCAN_CLI_IDENTIFICATION_H
#define VEHCAN_CLI_IDENTIFICATION_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vehcan::cli {

constexpr uint32_t kPgnEcuIdentification = 64965;
constexpr uint32_t kPgnSoftwareIdentification = 65242;
constexpr uint32_t kPgnComponentIdentification = 65259;

// The three, in the order a scan asks for them.
std::span<const uint32_t> identification_pgns();

// Splits text at each '*': "A*B*" and "A*B" give {"A", "B"}, "A**B*" gives
// {"A", "", "B"}. Padding after the last '*' (0xFF or NUL bytes, as a
// single frame carries) is dropped; other text after it is one more field.
std::vector<std::string> split_at_asterisks(std::string_view text);

struct IdentificationField {
    std::string label; // "make", "software 1", ...
    std::string value;
};

// The fields of an identification payload of pgn, labelled as the standard
// names them; fields beyond the named ones are "field N". Software
// identification starts with a byte that counts its fields: that many are
// taken, "software 1" to "software N".
std::vector<IdentificationField> identification_fields(uint32_t pgn, const uint8_t *data,
                                                       size_t len);
// "component identification" for 65259 and so on.
std::string_view identification_title(uint32_t pgn);

} // namespace vehcan::cli

#endif
