// SPDX-License-Identifier: MIT
// Decoding of one J1939 payload with every decoder of libvehcan that
// applies to its PGN, plus the database's SPN definitions when a database
// is open; and the text and JSON forms of the result.
#ifndef VEHCAN_CLI_DECODE_H
#define VEHCAN_CLI_DECODE_H

#include "database.h"

#include <read.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vehcan::cli {

struct Field {
    enum class Kind { number, state, text, not_available };
    Kind kind = Kind::not_available;
    std::string name;      // "engine speed"
    unsigned long spn = 0; // 0: the field has no SPN
    double number = 0.0;   // Kind::number
    bool integer = false;  // Kind::number that counts or names something (a PGN, a position)
    std::string unit;      // Kind::number
    long raw = -1;         // Kind::state: the field's value; -1 when the decoder gives none
    std::string text;      // Kind::state: the state's name; Kind::text: the text
    bool from_database = false;
    // Kind::number, for the fleet link (the JSON and text forms leave them
    // out): value = raw * resolution + offset, raw from 0 to the width's
    // largest valid count, so that the valid range is [offset, maximum].
    // resolution 0: not known. indicator: the sender's raw value is the
    // standard's "error" or "not available" (the number is what the
    // library made of it).
    enum class Indicator { none, error, not_available };
    double resolution = 0.0;
    double offset = 0.0;
    double maximum = 0.0;
    Indicator indicator = Indicator::none;
};

struct TroubleCode {
    unsigned long spn = 0;
    int fmi = 0;
    int occurrences = 0;
    std::string description; // the SPN's description from the database, if any
    bool legacy = false;     // its SPN read in the legacy layout (conversion method 1)
};

struct Lamps {
    int malfunction = 0; // MIL
    int red_stop = 0;
    int amber_warning = 0;
    int protect = 0;
};

struct Decoded {
    uint32_t pgn = 0;
    std::string acronym; // "" when the PGN has no entry in the name table
    std::string name;
    std::vector<Field> fields;
    std::optional<Lamps> lamps;     // diagnostic messages
    std::vector<TroubleCode> codes; // diagnostic messages
    bool decoded = false;           // some decoder applied
    // The database's parameters of the PGN whose bits were all ones ("not
    // available"): left out of fields, which list what the sender reports,
    // and kept here for the fleet link, which tracks when a value goes away.
    std::vector<Field> unavailable;
    // DM4, DM5, DM24 and DM25: their content, shown as vehcan diag shows it.
    std::optional<diag::DmResult> diagnostics;
};

// Decodes data (len bytes) of pgn. db may be null. Trouble codes (DM1, DM2,
// DM6, DM12, DM23, and those of DM4 and DM25) are read with conversion.
Decoded decode_payload(uint32_t pgn, const uint8_t *data, size_t len, const Database *db,
                       diag::SpnConversion conversion = diag::SpnConversion::automatic);

// One message (its bytes borrowed, not copied) and its decoding, done once
// and only when first asked for: the monitors decode for the screen, the
// broker or both, and decoding with a database is not cheap.
class LazyDecoded {
  public:
    LazyDecoded(uint32_t pgn, const uint8_t *data, size_t len, const Database *db)
        : pgn_(pgn), data_(data), len_(len), db_(db) {}
    uint32_t pgn() const { return pgn_; }
    const uint8_t *data() const { return data_; }
    size_t len() const { return len_; }
    const Decoded &get() {
        if (!decoded_) {
            decoded_ = decode_payload(pgn_, data_, len_, db_);
        }
        return *decoded_;
    }

  private:
    uint32_t pgn_;
    const uint8_t *data_;
    size_t len_;
    const Database *db_;
    std::optional<Decoded> decoded_;
};

// "1024", "607.875", "-40": at most three decimals, no trailing zeros.
std::string format_number(double value);
// The message's values as one line, without the PGN's name:
// "engine speed 1024 rpm" or "lamps: ...; SPN 110 FMI 0 ...".
std::string values_text(const Decoded &d);
// "EEC1 Electronic Engine Controller 1" or "PGN 65280".
std::string title_text(const Decoded &d);
// {"pgn":..,"acronym":..,"name":..,"values":[..], "lamps":.., "dtcs":[..]}.
nlohmann::json to_json(const Decoded &d);
// What monitor --json prints and --mqtt publishes for one message: to_json()
// with "time" (seconds since bring-up, to the millisecond) and "length".
nlohmann::json monitor_json(const Decoded &d, double seconds, size_t len);

// The standard's text for a failure mode identifier (0-31); a lamp's state.
using diag::fmi_text;
using diag::lamp_text;

// The message over several lines: a title, then one line per value and per
// trouble code, each indented by two spaces. Ends with a newline.
std::string detailed_text(const Decoded &d, size_t len);

} // namespace vehcan::cli

#endif
