// SPDX-License-Identifier: MIT
// Database access for the CLI: see database.h.
#include "database.h"

#include "pgn_names.h"

#include <j1939_stack.h>
#include <vehcan_db.h>

#include <array>
#include <cstring>
#include <fmt/format.h>

namespace vehcan::cli {

std::optional<Database> Database::open(const std::string &path, std::string *error) {
    if (vehcan_db_set_path(path.c_str()) != VEHCAN_DB_OK) {
        *error = "out of memory";
        return std::nullopt;
    }
    // A probe for a node no database has: a readable, well-formed file
    // answers "no such node", anything else is the file's fault.
    std::array<char, VEHCAN_DB_VALUE_SIZE> out{};
    const int rc = vehcan_db_get(path.c_str(), "VEHCAN_PROBE", "PROBE", out.data(), out.size());
    if (rc == VEHCAN_DB_ERR_FILE || rc == VEHCAN_DB_ERR_XML || rc == VEHCAN_DB_ERR_NO_MEMORY ||
        rc == VEHCAN_DB_ERR_ARGUMENT) {
        *error = vehcan_db_last_error();
        if (error->empty()) {
            *error = fmt::format("{}: cannot be read", path);
        }
        return std::nullopt;
    }
    return Database(path);
}

std::optional<std::vector<unsigned long>> Database::spn_list(uint32_t pgn) const {
    int count = 0;
    if (get_spn_no(pgn, &count) != 0 || count < 0) {
        return std::nullopt;
    }
    // The list is the count, then the SPNs; at most 1 + count entries are stored.
    std::vector<unsigned long> fields(static_cast<size_t>(count) + 1, 0);
    if (get_spn_numbers(pgn, fields.data(), 0) != 0) {
        return std::nullopt;
    }
    return std::vector<unsigned long>(fields.begin() + 1, fields.end());
}

std::optional<SpnDefinition> Database::definition(uint32_t pgn, unsigned long spn,
                                                  std::string *error) const {
    parse_dbc record{};
    const int rc = get_spn_details(pgn, spn, &record);
    if (rc == J1939_ERR_XML_READ) {
        *error = fmt::format("SPN {} of PGN {} is not in {}", spn, pgn, path_);
        return std::nullopt;
    }
    if (rc != 0) {
        *error = fmt::format("SPN {} of PGN {} in {} has kind {}, not 0, 1 or 2", spn, pgn, path_,
                             record.status);
        return std::nullopt;
    }
    SpnDefinition d;
    d.spn = spn;
    d.description = record.description;
    d.kind = record.status;
    switch (record.status) {
    case 0:
        d.scale = record.scale;
        d.offset = record.offset;
        d.unit = record.unit;
        for (int i = 0; i < record.nbytes && i < 100; ++i) {
            d.byte_positions.push_back(record.pos[i]);
        }
        break;
    case 1:
        d.byte_position = record.pos_byte;
        d.bit_count = record.n_bits;
        d.start_bit = record.start_bit;
        d.end_bit = record.end_bit;
        break;
    default:
        d.byte_position = record.pos_byte;
        d.scale = record.scale;
        d.offset = record.offset;
        d.unit = record.unit;
        d.start_bit = record.start_bit;
        d.end_bit = record.end_bit;
        break;
    }
    return d;
}

std::optional<std::string> Database::state_text(uint32_t pgn, unsigned long spn, long value,
                                                int bits) const {
    std::array<char, 256> text{};
    if (read_bit_data(pgn, spn, value, bits, text.data()) != 0) {
        return std::nullopt;
    }
    return std::string(text.data());
}

std::optional<std::string> Database::spn_description(unsigned long spn) const {
    for (const PgnName &entry : pgn_names()) {
        parse_dbc record{};
        if (get_spn_details(entry.pgn, spn, &record) == 0) {
            return std::string(record.description);
        }
    }
    return std::nullopt;
}

std::optional<std::string> Database::service_component(int id) const {
    std::array<char, VEHCAN_DB_VALUE_SIZE> text{};
    if (get_service_component(id, text.data()) != 0) {
        return std::nullopt;
    }
    return std::string(text.data());
}

} // namespace vehcan::cli
