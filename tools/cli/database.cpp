// SPDX-License-Identifier: MIT
// Database access for the CLI: see database.h.
#include "database.h"

#include "pgn_names.h"

#include <j1939_stack.h>
#include <vehcan_db.h>

#include <array>
#include <atomic>
#include <cstring>
#include <fmt/format.h>
#include <map>
#include <mutex>
#include <tuple>
#include <unordered_map>

namespace vehcan::cli {

// Every answer is kept as the library first gave it, absence included. The
// lock lets a database be shared by threads; references into the maps stay
// valid as they grow.
struct Database::Memo {
    std::mutex mutex;
    std::unordered_map<uint32_t, CompiledPgn> pgns;
    std::map<std::tuple<uint32_t, unsigned long, long, int>, std::optional<std::string>> states;
    std::unordered_map<unsigned long, std::optional<std::string>> descriptions;
    std::atomic<unsigned long> lookups{0};
};

Database::Database(std::string path) : path_(std::move(path)), memo_(std::make_shared<Memo>()) {}

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
    ++memo_->lookups;
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
    ++memo_->lookups;
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
    const std::lock_guard lock(memo_->mutex);
    const auto key = std::make_tuple(pgn, spn, value, bits);
    if (auto it = memo_->states.find(key); it != memo_->states.end()) {
        return it->second;
    }
    ++memo_->lookups;
    std::array<char, 256> text{};
    std::optional<std::string> found;
    if (read_bit_data(pgn, spn, value, bits, text.data()) == 0) {
        found = std::string(text.data());
    }
    memo_->states.emplace(key, found);
    return found;
}

std::optional<std::string> Database::spn_description(unsigned long spn) const {
    const std::lock_guard lock(memo_->mutex);
    if (auto it = memo_->descriptions.find(spn); it != memo_->descriptions.end()) {
        return it->second;
    }
    std::optional<std::string> found;
    for (const PgnName &entry : pgn_names()) {
        parse_dbc record{};
        ++memo_->lookups;
        if (get_spn_details(entry.pgn, spn, &record) == 0) {
            found = std::string(record.description);
            break;
        }
    }
    memo_->descriptions.emplace(spn, found);
    return found;
}

std::optional<std::string> Database::service_component(int id) const {
    std::array<char, VEHCAN_DB_VALUE_SIZE> text{};
    if (get_service_component(id, text.data()) != 0) {
        return std::nullopt;
    }
    return std::string(text.data());
}

const CompiledPgn &Database::compiled(uint32_t pgn) const {
    const std::lock_guard lock(memo_->mutex);
    if (auto it = memo_->pgns.find(pgn); it != memo_->pgns.end()) {
        return it->second;
    }
    CompiledPgn c;
    if (auto spns = spn_list(pgn)) {
        c.listed = true;
        c.spns.reserve(spns->size());
        for (unsigned long spn : *spns) {
            std::string why;
            c.spns.push_back(CompiledSpn{spn, definition(pgn, spn, &why)});
        }
    }
    return memo_->pgns.emplace(pgn, std::move(c)).first->second;
}

unsigned long Database::lookups() const {
    return memo_->lookups.load();
}

} // namespace vehcan::cli
