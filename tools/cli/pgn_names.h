// SPDX-License-Identifier: MIT
// Names of the parameter groups the tool knows, as a table.
#ifndef VEHCAN_CLI_PGN_NAMES_H
#define VEHCAN_CLI_PGN_NAMES_H

#include <cstdint>
#include <span>
#include <string_view>

namespace vehcan::cli {

struct PgnName {
    uint32_t pgn;
    std::string_view acronym; // the standard's short name, e.g. "EEC1"
    std::string_view name;    // e.g. "Electronic Engine Controller 1"
};

// The entry of pgn, or nullptr when the table has none.
const PgnName *find_pgn_name(uint32_t pgn);
// The whole table, sorted by PGN.
std::span<const PgnName> pgn_names();

} // namespace vehcan::cli

#endif
