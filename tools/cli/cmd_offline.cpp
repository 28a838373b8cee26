// SPDX-License-Identifier: MIT
// The subcommands that need no bus: decode, dtc and db.
#include "commands.h"
#include "common.h"
#include "decode.h"
#include "pgn_names.h"

#include <read.h>

#include <cstdlib>
#include <fmt/format.h>
#include <fmt/ranges.h>

namespace vehcan::cli {

namespace {

constexpr uint32_t kPgnDm1 = 65226;

void print_decoded(const Decoded &d, size_t len, bool json) {
    if (json) {
        nlohmann::json j = to_json(d);
        j["length"] = len;
        fmt::print(out(), "{}\n", j.dump());
    } else {
        fmt::print(out(), "{}", detailed_text(d, len));
    }
}

std::string scaling_text(const SpnDefinition &d) {
    return fmt::format("scale {}, offset {}{}{}", format_number(d.scale), format_number(d.offset),
                       d.unit.empty() || d.unit == "-" ? "" : ", unit ",
                       d.unit == "-" ? "" : d.unit);
}

std::string kind_text(const SpnDefinition &d) {
    switch (d.kind) {
    case 0:
        return fmt::format("byte{} {}; {}", d.byte_positions.size() == 1 ? "" : "s",
                           fmt::join(d.byte_positions, ","), scaling_text(d));
    case 1:
        return fmt::format("byte {}, bits {}-{} ({} bits); named states", d.byte_position,
                           d.start_bit, d.end_bit, d.bit_count);
    default:
        return fmt::format("byte {}, bits {}-{}; {}", d.byte_position, d.start_bit, d.end_bit,
                           scaling_text(d));
    }
}

} // namespace

std::optional<std::string> database_path(const std::string &option) {
    if (!option.empty()) {
        return option;
    }
    // Read before any thread starts; nothing in vehcan changes the environment.
    const char *env = std::getenv("VEHCAN_DB"); // NOLINT(concurrency-mt-unsafe)
    if (env != nullptr && *env != '\0') {
        return std::string(env);
    }
    return std::nullopt;
}

Database open_database(const std::string &path) {
    std::string error;
    auto db = Database::open(path, &error);
    if (!db) {
        throw Failure(kExitDatabase, fmt::format("database {}", error));
    }
    return *db;
}

int run_decode(const DecodeOptions &o) {
    const uint32_t pgn = parse_pgn(o.pgn);
    const std::vector<uint8_t> bytes = parse_hex_bytes(o.hex);
    std::optional<Database> db;
    if (auto path = database_path(o.db)) {
        db = open_database(*path);
    }
    const Decoded d = decode_payload(pgn, bytes.data(), bytes.size(), db ? &*db : nullptr);
    if (!d.decoded) {
        throw Failure(kExitUsage,
                      fmt::format("no decoder for PGN {} with {} bytes{}", pgn, bytes.size(),
                                  db ? " (and nothing in the database)" : ""));
    }
    print_decoded(d, bytes.size(), o.json);
    return kExitOk;
}

int run_dtc(const DtcOptions &o) {
    const std::vector<uint8_t> bytes = parse_hex_bytes(o.hex);
    if (bytes.size() < 6) {
        throw Failure(kExitUsage, fmt::format("a DM1 payload has at least 6 bytes (lamps, "
                                              "flash, one code of 4), {} given",
                                              bytes.size()));
    }
    std::optional<Database> db;
    if (auto path = database_path(o.db)) {
        db = open_database(*path);
    }
    const Decoded d = decode_payload(kPgnDm1, bytes.data(), bytes.size(), db ? &*db : nullptr,
                                     diag::parse_conversion_option(o.spn_conversion));
    print_decoded(d, bytes.size(), o.json);
    return kExitOk;
}

int run_db(const DbOptions &o) {
    const auto path = database_path(o.db);
    if (!path) {
        throw Failure(kExitDatabase, "no database: give --db FILE or set VEHCAN_DB");
    }
    if (!o.service.empty()) {
        if (!o.pgn.empty()) {
            throw Failure(kExitUsage, "--service takes no PGN");
        }
        uint32_t id = 0;
        try {
            size_t used = 0;
            const long v = std::stol(o.service, &used);
            if (used != o.service.size() || v < 1 || v > 99999999) {
                throw std::invalid_argument("range");
            }
            id = static_cast<uint32_t>(v);
        } catch (const std::exception &) {
            throw Failure(kExitUsage, fmt::format("service component '{}' is not a number from "
                                                  "1 to 99999999",
                                                  o.service));
        }
        const Database db = open_database(*path);
        auto text = db.service_component(static_cast<int>(id));
        if (!text) {
            throw Failure(kExitDatabase,
                          fmt::format("service component {} is not in {}", id, *path));
        }
        fmt::print(out(), "service component {}: {}\n", id, *text);
        return kExitOk;
    }
    if (o.pgn.empty()) {
        throw Failure(kExitUsage, "db needs a PGN or --service ID");
    }
    const uint32_t pgn = parse_pgn(o.pgn);
    if (!o.state.empty() && o.spn.empty()) {
        throw Failure(kExitUsage, "--state needs an SPN");
    }
    const Database db = open_database(*path);
    const PgnName *name = find_pgn_name(pgn);
    const std::string title = name != nullptr
                                  ? fmt::format("PGN {} {} {}", pgn, name->acronym, name->name)
                                  : fmt::format("PGN {}", pgn);
    if (o.spn.empty()) {
        auto spns = db.spn_list(pgn);
        if (!spns) {
            throw Failure(kExitDatabase, fmt::format("PGN {} is not in {}", pgn, *path));
        }
        fmt::print(out(), "{}: {} SPN{}\n", title, spns->size(), spns->size() == 1 ? "" : "s");
        for (unsigned long spn : *spns) {
            std::string why;
            if (auto d = db.definition(pgn, spn, &why)) {
                fmt::print(out(), "  SPN {:<6} {}: {}\n", spn, d->description, kind_text(*d));
            } else {
                fmt::print(out(), "  SPN {:<6} ({})\n", spn, why);
            }
        }
        return kExitOk;
    }
    const uint32_t spn = parse_spn(o.spn);
    if (!o.state.empty()) {
        long value = 0;
        try {
            size_t used = 0;
            value = std::stol(o.state, &used);
            if (used != o.state.size() || value < 0) {
                throw std::invalid_argument("state");
            }
        } catch (const std::exception &) {
            throw Failure(kExitUsage,
                          fmt::format("state '{}' is not a number of 0 or more", o.state));
        }
        // read_bit_data() wants a non-zero width; the text is looked up by value alone.
        auto text = db.state_text(pgn, spn, value, 1);
        if (!text) {
            throw Failure(kExitDatabase, fmt::format("state {} of SPN {} in PGN {} is not in {}",
                                                     value, spn, pgn, *path));
        }
        fmt::print(out(), "{}, SPN {}, state {}: {}\n", title, spn, value, *text);
        return kExitOk;
    }
    std::string why;
    auto d = db.definition(pgn, spn, &why);
    if (!d) {
        throw Failure(kExitDatabase, why);
    }
    fmt::print(out(), "{}, SPN {}: {}\n  {}\n", title, spn, d->description, kind_text(*d));
    if (d->kind == 1) {
        const long states = d->bit_count > 0 && d->bit_count <= 8 ? 1L << d->bit_count : 0;
        for (long v = 0; v < states; ++v) {
            if (auto text = db.state_text(pgn, spn, v, d->bit_count)) {
                fmt::print(out(), "  state {}: {}\n", v, *text);
            }
        }
    }
    return kExitOk;
}

} // namespace vehcan::cli
