// SPDX-License-Identifier: MIT
// The parameter database as the CLI sees it: the library's lookups
// (get_spn_numbers, get_spn_details, read_bit_data, get_service_component)
// over the file that vehcan-db is pointed at.
#ifndef VEHCAN_CLI_DATABASE_H
#define VEHCAN_CLI_DATABASE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vehcan::cli {

// One SPN definition, in the terms of the database's three kinds.
struct SpnDefinition {
    unsigned long spn = 0;
    std::string description;
    int kind = 0; // 0: whole bytes, 1: bit field with named states, 2: scaled bit field
    double scale = 1.0;
    double offset = 0.0;
    std::string unit;
    std::vector<int> byte_positions; // kind 0, the standard's byte numbers (from 1)
    int byte_position = 0;           // kinds 1 and 2, from 1
    int start_bit = 0;               // kinds 1 and 2
    int end_bit = 0;                 // kinds 1 and 2
    int bit_count = 0;               // kind 1
};

// One SPN of a PGN's list, with its definition when the database has a
// usable one.
struct CompiledSpn {
    unsigned long spn = 0;
    std::optional<SpnDefinition> definition;
};

// A PGN as the decoder uses it: its SPN list and every definition, looked
// up once.
struct CompiledPgn {
    bool listed = false; // the PGN is in the file
    std::vector<CompiledSpn> spns;
};

class Database {
  public:
    // Points every later lookup (the library's included) at path and checks
    // that the file can be read and is well-formed. On failure returns
    // nothing and writes a one-line reason to *error.
    static std::optional<Database> open(const std::string &path, std::string *error);

    const std::string &path() const { return path_; }

    // The SPNs of pgn, in list order; nothing when the PGN is not in the file.
    std::optional<std::vector<unsigned long>> spn_list(uint32_t pgn) const;
    // The definition of spn in pgn. On failure *error says why.
    std::optional<SpnDefinition> definition(uint32_t pgn, unsigned long spn,
                                            std::string *error) const;
    // The name of state `value` of spn in pgn.
    std::optional<std::string> state_text(uint32_t pgn, unsigned long spn, long value,
                                          int bits) const;
    // The description of spn, from the first PGN in pgn_names() that defines it.
    std::optional<std::string> spn_description(unsigned long spn) const;
    std::optional<std::string> service_component(int id) const;

    // pgn's SPN list and definitions, compiled from spn_list() and
    // definition() the first time it is asked for and kept for the life of
    // the database (and its copies). The file is read as it was then.
    const CompiledPgn &compiled(uint32_t pgn) const;

    // Lookups made so far through the library (for tests and benchmarks).
    unsigned long lookups() const;

  private:
    struct Memo;
    explicit Database(std::string path);
    std::string path_;
    // Answers to the lookups that decoding repeats for every message: the
    // compiled PGNs, state texts and SPN descriptions.
    std::shared_ptr<Memo> memo_;
};

} // namespace vehcan::cli

#endif
