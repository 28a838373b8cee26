// SPDX-License-Identifier: MIT
// Payload decoding over libvehcan's decoders: see decode.h.
//
// What each PGN gets is kept in tables (scaled values, state names); the
// routines below only walk them.
#include "decode.h"

#include "pgn_names.h"

#include <diag_text.h>
#include <j1939_stack.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fmt/format.h>
#include <limits>
#include <span>

namespace vehcan::cli {

namespace {

// ---- tables -----------------------------------------------------------------------

// The one fixed-scaling parameter that decode_without_xml() gives for a PGN,
// and where it sits (the fleet link reads the sender's raw value for its
// range and its "error" and "not available" indicators).
struct ScaledParameter {
    uint32_t pgn;
    std::string_view name;
    unsigned long spn;
    std::string_view unit;
    int first_byte; // from 0
    int bytes;
    double resolution;
    double offset;
};

constexpr std::array kScaled{
    ScaledParameter{61443, "accelerator pedal position 1", 91, "%", 1, 1, 0.4, 0},
    ScaledParameter{61444, "engine speed", 190, "rpm", 3, 2, 0.125, 0},
    ScaledParameter{64777, "engine total fuel used (high resolution)", 5054, "L", 4, 4, 0.001, 0},
    ScaledParameter{65132, "tachograph vehicle speed", 1624, "km/h", 6, 2, 0.00390625, 0},
    ScaledParameter{65216, "service distance", 914, "km", 1, 2, 5.0, -160635.0},
    ScaledParameter{65217, "total vehicle distance (high resolution)", 917, "m", 0, 4, 5.0, 0},
    ScaledParameter{65253, "engine total hours of operation", 247, "h", 0, 4, 0.05, 0},
    ScaledParameter{65257, "engine total fuel used", 250, "L", 4, 4, 0.5, 0},
    ScaledParameter{65258, "axle weight", 582, "kg", 1, 2, 0.5, 0},
    ScaledParameter{65262, "engine coolant temperature", 110, "°C", 0, 1, 1.0, -40.0},
    ScaledParameter{65265, "wheel-based vehicle speed", 84, "km/h", 1, 2, 0.00390625, 0},
    ScaledParameter{65276, "fuel level 1", 96, "%", 1, 1, 0.4, 0},
};

struct StateName {
    long raw;
    std::string_view text;
};

// A status field: its SPN, width, and the names of the values the library
// reports. The database's state texts take precedence where it has them.
struct StateField {
    std::string_view name;
    unsigned long spn;
    int bits;
    std::span<const StateName> names;
};

constexpr StateName kSwitchStates[] = {{0, "released"}, {1, "depressed"}};
constexpr StateName kOnOff[] = {{0, "off"}, {1, "on"}};
constexpr StateName kPtoStates[] = {{0, "off/disabled"}, {5, "set"}, {31, "not available"}};
constexpr StateName kWorkingStates[] = {{0, "rest"},  {1, "driver available"},
                                        {2, "work"},  {3, "drive"},
                                        {6, "error"}, {7, "not available"}};
constexpr StateName kCardStates[] = {{0, "not present"}, {1, "present"}};
constexpr StateName kTimeStates[] = {
    {0, "no limit reached"}, {1, "limit 1"}, {2, "limit 2"}, {3, "limit 3"},       {4, "limit 4"},
    {5, "limit 5"},          {6, "limit 6"}, {14, "error"},  {15, "not available"}};

constexpr StateField kClutch{"clutch switch", 598, 2, kSwitchStates};
constexpr StateField kBrake{"brake switch", 597, 2, kSwitchStates};
constexpr StateField kCruise{"cruise control", 595, 2, kOnOff};
constexpr StateField kPto{"PTO governor state", 976, 5, kPtoStates};
constexpr StateField kDriver1Working{"driver 1 working state", 1612, 3, kWorkingStates};
constexpr StateField kDriver2Working{"driver 2 working state", 1613, 3, kWorkingStates};
constexpr StateField kDriver1Card{"driver 1 card", 1615, 2, kCardStates};
constexpr StateField kDriver2Card{"driver 2 card", 1616, 2, kCardStates};
constexpr StateField kDriver1Time{"driver 1 time-related state", 1617, 4, kTimeStates};
constexpr StateField kDriver2Time{"driver 2 time-related state", 1618, 4, kTimeStates};

constexpr uint32_t kPgnRequest = 59904;
constexpr uint32_t kPgnAcknowledgement = 59392;
constexpr uint32_t kPgnDriverIdentification = 65131;
constexpr uint32_t kPgnTachograph = 65132;
constexpr uint32_t kPgnVehicleWeight = 65258;
constexpr uint32_t kPgnVehicleIdentification = 65260;
constexpr uint32_t kPgnCruiseControl = 65265;
constexpr int kNotWritten = std::numeric_limits<int>::min();

// ---- helpers ----------------------------------------------------------------------

// A state field from the value a library decoder reported (raw < 0: none).
Field make_state(const StateField &f, uint32_t pgn, long raw, const Database *db) {
    Field out;
    out.name = f.name;
    out.spn = f.spn;
    if (raw < 0) {
        out.kind = Field::Kind::not_available;
        return out;
    }
    out.kind = Field::Kind::state;
    out.raw = raw;
    if (db != nullptr) {
        if (auto text = db->state_text(pgn, f.spn, raw, f.bits)) {
            out.text = *text;
            out.from_database = true;
            return out;
        }
    }
    for (const StateName &n : f.names) {
        if (n.raw == raw) {
            out.text = n.text;
            return out;
        }
    }
    out.text = fmt::format("state {}", raw);
    return out;
}

// ---- the standard's ranges ----

// The largest valid raw count of a parameter of `bits` bits: below the
// indicators, which take the top two values of a narrow field and the top
// five of the most significant byte of a wider one.
uint64_t largest_valid(int bits) {
    if (bits <= 1) {
        return 1;
    }
    if (bits < 8) {
        return (uint64_t{1} << bits) - 3;
    }
    return (uint64_t{0xFB} << (bits - 8)) - 1;
}

Field::Indicator indicator_of(uint64_t raw, int bits) {
    if (bits < 2) {
        return Field::Indicator::none;
    }
    const uint64_t top = bits < 8 ? raw : raw >> (bits - 8);
    const uint64_t ones = bits < 8 ? (uint64_t{1} << bits) - 1 : 0xFF;
    if (top == ones) {
        return Field::Indicator::not_available;
    }
    if (top == ones - 1) {
        return Field::Indicator::error;
    }
    return Field::Indicator::none;
}

void set_range(Field &f, uint64_t raw, int bits, double resolution, double offset) {
    f.resolution = resolution;
    f.offset = offset;
    f.maximum = static_cast<double>(largest_valid(bits)) * resolution + offset;
    f.indicator = indicator_of(raw, bits);
}

long raw_of(int code, int low_code, int high_code) {
    if (code == low_code) {
        return 0;
    }
    if (code == high_code) {
        return 1;
    }
    return -1;
}

Field make_number(std::string_view name, unsigned long spn, double value, std::string_view unit) {
    Field f;
    f.kind = Field::Kind::number;
    f.name = name;
    f.spn = spn;
    f.number = value;
    f.unit = unit;
    return f;
}

Field make_text(std::string_view name, std::string text) {
    Field f;
    f.kind = Field::Kind::text;
    f.name = name;
    f.text = std::move(text);
    return f;
}

void decode_scaled(Decoded &d, const uint8_t *data, size_t len) {
    for (const ScaledParameter &p : kScaled) {
        if (p.pgn != d.pgn) {
            continue;
        }
        double value = std::numeric_limits<double>::quiet_NaN();
        if (decode_without_xml(data, static_cast<int>(len), p.pgn, &value) != 0) {
            return; // the payload is too short for the parameter
        }
        Field f;
        if (std::isnan(value)) {
            f.name = p.name;
            f.spn = p.spn;
            f.unit = p.unit;
        } else {
            f = make_number(p.name, p.spn, value, p.unit);
        }
        if (static_cast<size_t>(p.first_byte) + static_cast<size_t>(p.bytes) <= len) {
            uint64_t raw = 0;
            for (int i = p.bytes; i-- > 0;) {
                raw = raw << 8U | data[p.first_byte + i];
            }
            set_range(f, raw, 8 * p.bytes, p.resolution, p.offset);
        }
        d.fields.push_back(f);
        d.decoded = true;
    }
}

void decode_cruise_control(Decoded &d, const uint8_t *data, size_t len, const Database *db) {
    int clutch = kNotWritten;
    int brake = kNotWritten;
    int cruise = kNotWritten;
    const int n = static_cast<int>(len);
    if (len >= 4 && j1939_get_clutch_cruice_cntrl_brake_switch_state(data, n, d.pgn, &clutch,
                                                                     &brake, &cruise) == 0) {
        d.fields.push_back(make_state(
            kClutch, d.pgn,
            raw_of(clutch, J1939_CLUTCH_SWITCH_RELEASED, J1939_CLUTCH_SWITCH_DEPRESSED), db));
        d.fields.push_back(make_state(
            kBrake, d.pgn, raw_of(brake, J1939_BRAKE_SWITCH_RELEASED, J1939_BRAKE_SWITCH_DEPRESSED),
            db));
        d.fields.push_back(make_state(
            kCruise, d.pgn, raw_of(cruise, J1939_CRUISE_CONTROL_OFF, J1939_CRUISE_CONTROL_ON), db));
        d.decoded = true;
    }
    int pto = kNotWritten;
    if (len >= 7 && j1939_get_pto_state(data, n, d.pgn, &pto) == 0) {
        d.fields.push_back(make_state(kPto, d.pgn, pto == kNotWritten ? -1 : pto, db));
        d.decoded = true;
    }
}

void decode_tachograph(Decoded &d, const uint8_t *data, size_t len, const Database *db) {
    const int n = static_cast<int>(len);
    int w1 = kNotWritten;
    int w2 = kNotWritten;
    if (len >= 1 && j1939_get_driver_working_state(data, n, &w1, &w2) == 0) {
        d.fields.push_back(make_state(kDriver1Working, d.pgn, w1 == kNotWritten ? -1 : w1, db));
        d.fields.push_back(make_state(kDriver2Working, d.pgn, w2 == kNotWritten ? -1 : w2, db));
        d.decoded = true;
    }
    int c1 = kNotWritten;
    int c2 = kNotWritten;
    if (len >= 3 && j1939_get_driver_card_state(data, n, &c1, &c2) == 0) {
        d.fields.push_back(
            make_state(kDriver1Card, d.pgn,
                       raw_of(c1, J1939_DRIVER1_CARD_NOT_PRESENT, J1939_DRIVER1_CARD_PRESENT), db));
        d.fields.push_back(
            make_state(kDriver2Card, d.pgn,
                       raw_of(c2, J1939_DRIVER2_CARD_NOT_PRESENT, J1939_DRIVER2_CARD_PRESENT), db));
        d.decoded = true;
    }
    int t1 = kNotWritten;
    int t2 = kNotWritten;
    if (len >= 3 && j1939_get_driver_rel_state(data, n, &t1, &t2) == 0) {
        d.fields.push_back(make_state(kDriver1Time, d.pgn, t1 == kNotWritten ? -1 : t1, db));
        d.fields.push_back(make_state(kDriver2Time, d.pgn, t2 == kNotWritten ? -1 : t2, db));
        d.decoded = true;
    }
}

void decode_diagnostics(Decoded &d, const uint8_t *data, size_t len, const Database *db,
                        diag::SpnConversion conversion) {
    if (len < 6) {
        return; // not even one code behind the lamps
    }
    const diag::TroubleCodeList list = diag::parse_trouble_code_list({data, len}, conversion);
    d.lamps = Lamps{list.lamps.malfunction, list.lamps.red_stop, list.lamps.amber_warning,
                    list.lamps.protect};
    d.decoded = true;
    for (const diag::TroubleCode &c : list.codes) {
        TroubleCode code;
        code.spn = c.spn;
        code.fmi = c.fmi;
        code.occurrences = c.occurrences;
        code.legacy = c.legacy;
        if (db != nullptr) {
            code.description = db->spn_description(c.spn).value_or("");
        }
        d.codes.push_back(code);
    }
}

// DM4, DM5, DM24 and DM25 as the diagnostics room shows them. A DM25 has no
// DM24 here to lay out its values: they stay undecoded.
void decode_diagnostic_content(Decoded &d, const uint8_t *data, size_t len, const Database *db,
                               diag::SpnConversion conversion) {
    const diag::DmInfo *dm = diag::find_dm_by_pgn(d.pgn);
    diag::DmResult r;
    r.outcome = diag::Outcome::answered;
    r.data.assign(data, data + len);
    r.parsed = diag::parse_dm(dm->number, r.data, nullptr, conversion, {});
    if (db != nullptr) {
        diag::name_codes(r.parsed, [db](uint32_t spn) { return db->spn_description(spn); });
    }
    if (std::holds_alternative<std::monostate>(r.parsed)) {
        return; // a DM5 of fewer than 8 bytes
    }
    d.diagnostics = std::move(r);
    d.decoded = true;
}

std::string text_until_nul(const char *p, size_t max) {
    return std::string(p, strnlen(p, max));
}

void decode_identification(Decoded &d, const uint8_t *data, size_t len) {
    if (len == 0) {
        return;
    }
    const int n = static_cast<int>(len);
    if (d.pgn == kPgnVehicleIdentification) {
        std::vector<char> vin(len + 1, '\0');
        if (decode_vehicle_identification_number(data, n, vin.data()) == 0) {
            d.fields.push_back(make_text("VIN", text_until_nul(vin.data(), vin.size())));
            d.decoded = true;
        }
        return;
    }
    std::array<char, 256> one{};
    std::array<char, 256> two{};
    if (j1939_tacho_get_drivers_id(data, n, one.data(), two.data()) == 0) {
        d.fields.push_back(make_text("driver 1 id", text_until_nul(one.data(), one.size())));
        d.fields.push_back(make_text("driver 2 id", text_until_nul(two.data(), two.size())));
        d.decoded = true;
    }
}

void decode_protocol(Decoded &d, const uint8_t *data, size_t len) {
    if (d.pgn == kPgnRequest && len >= 3) {
        const uint32_t asked =
            data[0] | static_cast<uint32_t>(data[1]) << 8 | static_cast<uint32_t>(data[2]) << 16;
        Field f = make_number("requested PGN", 0, asked, "");
        f.integer = true;
        d.fields.push_back(f);
        d.decoded = true;
    }
    if (d.pgn == kPgnAcknowledgement && len >= 8) {
        const int type = get_ack_type(d.pgn, data, static_cast<int>(len));
        std::string_view text = "unknown control byte";
        switch (type) {
        case 0:
            text = "positive";
            break;
        case J1939_ERR_ACK_NACK:
            text = "negative";
            break;
        case J1939_ERR_ACK_ACCESS_DENIED:
            text = "access denied";
            break;
        case J1939_ERR_ACK_CANNOT_RESPOND:
            text = "cannot respond";
            break;
        default:
            break;
        }
        Field f;
        f.kind = Field::Kind::state;
        f.name = "acknowledgement";
        f.raw = data[0];
        f.text = text;
        d.fields.push_back(f);
        const uint32_t about =
            data[5] | static_cast<uint32_t>(data[6]) << 8 | static_cast<uint32_t>(data[7]) << 16;
        Field pgn_field = make_number("for PGN", 0, about, "");
        pgn_field.integer = true;
        d.fields.push_back(pgn_field);
        d.decoded = true;
    }
}

// ---- database-driven fields --------------------------------------------------------

// The little-endian value of bits first..last counted from bit 0 of
// payload byte `position` (the standard's numbering, from 1).
std::optional<uint64_t> bits_at(const uint8_t *data, size_t len, int position, int first,
                                int last) {
    if (position < 1 || first < 0 || last < first || last - first > 31) {
        return std::nullopt;
    }
    const size_t start = static_cast<size_t>(position - 1);
    const size_t end_byte = start + static_cast<size_t>(last) / 8;
    if (end_byte >= len) {
        return std::nullopt;
    }
    uint64_t word = 0;
    for (size_t i = end_byte + 1; i-- > start;) {
        word = word << 8 | data[i];
    }
    const uint64_t mask = (uint64_t{1} << (last - first + 1)) - 1;
    return (word >> first) & mask;
}

// The database's SPNs of the PGN that no built-in decoder has shown yet.
// A parameter whose bits are all ones is "not available" in J1939 and is
// left out, so that a message lists what its sender really reports.
void decode_from_database(Decoded &d, const uint8_t *data, size_t len, const Database &db) {
    const CompiledPgn &compiled = db.compiled(d.pgn);
    for (const CompiledSpn &entry : compiled.spns) {
        const unsigned long spn = entry.spn;
        const bool shown = std::any_of(d.fields.begin(), d.fields.end(),
                                       [spn](const Field &f) { return f.spn == spn; });
        const std::optional<SpnDefinition> &def = entry.definition;
        if (shown || !def) {
            continue;
        }
        uint64_t raw = 0;
        uint64_t all_ones = 0;
        int bits = 0;
        if (def->kind == 0) {
            const auto &positions = def->byte_positions;
            if (positions.empty() || positions.size() > 8) {
                continue;
            }
            bool inside = true;
            for (size_t i = positions.size(); inside && i-- > 0;) {
                inside = positions[i] >= 1 && static_cast<size_t>(positions[i]) <= len;
                if (inside) {
                    raw = raw << 8 | data[positions[i] - 1];
                    all_ones = all_ones << 8 | 0xFFU;
                }
            }
            if (!inside) {
                continue;
            }
            bits = 8 * static_cast<int>(positions.size());
        } else {
            auto field = bits_at(data, len, def->byte_position, def->start_bit, def->end_bit);
            if (!field) {
                continue;
            }
            raw = *field;
            bits = def->end_bit - def->start_bit + 1;
            all_ones = (uint64_t{1} << bits) - 1;
        }
        if (raw == all_ones) {
            Field gone;
            gone.name = def->description;
            gone.spn = spn;
            gone.from_database = true;
            if (def->kind != 1) {
                gone.unit = def->unit == "-" ? "" : def->unit;
                set_range(gone, raw, bits, def->scale, def->offset);
            }
            d.unavailable.push_back(gone);
            continue;
        }
        Field f;
        if (def->kind == 1) {
            const long value = static_cast<long>(raw);
            f.kind = Field::Kind::state;
            f.name = def->description;
            f.spn = spn;
            f.raw = value;
            f.text = db.state_text(d.pgn, spn, value, def->bit_count)
                         .value_or(fmt::format("state {}", value));
        } else {
            f = make_number(def->description, spn,
                            static_cast<double>(raw) * def->scale + def->offset,
                            def->unit == "-" ? "" : def->unit);
            set_range(f, raw, bits, def->scale, def->offset);
        }
        f.from_database = true;
        d.fields.push_back(f);
        d.decoded = true;
    }
}

} // namespace

// ---- decoding ---------------------------------------------------------------------

Decoded decode_payload(uint32_t pgn, const uint8_t *data, size_t len, const Database *db,
                       diag::SpnConversion conversion) {
    Decoded d;
    d.pgn = pgn;
    if (const PgnName *n = find_pgn_name(pgn)) {
        d.acronym = n->acronym;
        d.name = n->name;
    }
    if (len == 0) {
        return d;
    }
    decode_scaled(d, data, len);
    switch (pgn) {
    case kPgnCruiseControl:
        decode_cruise_control(d, data, len, db);
        break;
    case kPgnTachograph:
        decode_tachograph(d, data, len, db);
        break;
    case kPgnVehicleWeight: {
        int axle = 0;
        if (get_axle_location(data, static_cast<int>(len), pgn, &axle) == 0) {
            Field f = make_number("axle location", 928, axle, "");
            f.integer = true;
            d.fields.push_back(f);
        }
        break;
    }
    case diag::kPgnDm1:
    case diag::kPgnDm2:
    case diag::kPgnDm6:
    case diag::kPgnDm12:
    case diag::kPgnDm23:
        decode_diagnostics(d, data, len, db, conversion);
        break;
    case diag::kPgnDm4:
    case diag::kPgnDm5:
    case diag::kPgnDm24:
    case diag::kPgnDm25:
        decode_diagnostic_content(d, data, len, db, conversion);
        break;
    case kPgnVehicleIdentification:
    case kPgnDriverIdentification:
        decode_identification(d, data, len);
        break;
    default:
        decode_protocol(d, data, len);
        break;
    }
    // The database describes diagnostic and text messages too, but their
    // decoders above say more than its byte fields can.
    const bool own_layout = diag::find_dm_by_pgn(pgn) != nullptr ||
                            pgn == kPgnVehicleIdentification || pgn == kPgnDriverIdentification;
    if (db != nullptr && !own_layout) {
        decode_from_database(d, data, len, *db);
    }
    return d;
}

// ---- text --------------------------------------------------------------------------

namespace {

// What an empty list says: DM1 and DM12 list active codes, the others not.
std::string_view no_code_text(uint32_t pgn) {
    return pgn == diag::kPgnDm1 || pgn == diag::kPgnDm12 ? "no active trouble code"
                                                         : "no trouble code";
}

} // namespace

std::string format_number(double value) {
    return diag::number_text(value);
}

std::string title_text(const Decoded &d) {
    return d.acronym.empty() ? fmt::format("PGN {}", d.pgn) : fmt::format("{}", d.acronym);
}

std::string values_text(const Decoded &d) {
    std::vector<std::string> parts;
    for (const Field &f : d.fields) {
        switch (f.kind) {
        case Field::Kind::number:
            parts.push_back(f.unit.empty()
                                ? fmt::format("{} {}", f.name, format_number(f.number))
                                : fmt::format("{} {} {}", f.name, format_number(f.number), f.unit));
            break;
        case Field::Kind::state:
        case Field::Kind::text:
            parts.push_back(fmt::format("{} {}", f.name, f.text));
            break;
        case Field::Kind::not_available:
            parts.push_back(fmt::format("{} n/a", f.name));
            break;
        }
    }
    if (d.lamps) {
        parts.push_back(fmt::format("lamps MIL {}, red stop {}, amber warning {}, protect {}",
                                    lamp_text(d.lamps->malfunction), lamp_text(d.lamps->red_stop),
                                    lamp_text(d.lamps->amber_warning),
                                    lamp_text(d.lamps->protect)));
        if (d.codes.empty()) {
            parts.emplace_back(no_code_text(d.pgn));
        }
        for (const TroubleCode &c : d.codes) {
            parts.push_back(fmt::format("SPN {}{} FMI {} ({}) x{}{}", c.spn,
                                        c.description.empty() ? "" : " " + c.description, c.fmi,
                                        fmi_text(c.fmi), c.occurrences,
                                        c.legacy ? ", legacy SPN layout" : ""));
        }
    }
    if (d.diagnostics) {
        parts.push_back(diag::dm_body(*d.diagnostics).summary);
    }
    return fmt::format("{}", fmt::join(parts, "; "));
}

nlohmann::json monitor_json(const Decoded &d, double seconds, size_t len) {
    nlohmann::json j = to_json(d);
    j["time"] = std::round(seconds * 1000.0) / 1000.0;
    j["length"] = len;
    return j;
}

nlohmann::json to_json(const Decoded &d) {
    nlohmann::json j;
    j["pgn"] = d.pgn;
    if (!d.acronym.empty()) {
        j["acronym"] = d.acronym;
        j["name"] = d.name;
    }
    nlohmann::json values = nlohmann::json::array();
    for (const Field &f : d.fields) {
        nlohmann::json v;
        v["name"] = f.name;
        if (f.spn != 0) {
            v["spn"] = f.spn;
        }
        switch (f.kind) {
        case Field::Kind::number:
            if (f.integer) {
                v["value"] = static_cast<int64_t>(f.number);
            } else {
                v["value"] = f.number;
            }
            if (!f.unit.empty()) {
                v["unit"] = f.unit;
            }
            break;
        case Field::Kind::state:
            v["state"] = f.raw;
            v["text"] = f.text;
            break;
        case Field::Kind::text:
            v["text"] = f.text;
            break;
        case Field::Kind::not_available:
            v["value"] = nullptr;
            break;
        }
        if (f.from_database) {
            v["source"] = "database";
        }
        values.push_back(v);
    }
    j["values"] = values;
    if (d.lamps) {
        j["lamps"] = {{"mil", lamp_text(d.lamps->malfunction)},
                      {"red_stop", lamp_text(d.lamps->red_stop)},
                      {"amber_warning", lamp_text(d.lamps->amber_warning)},
                      {"protect", lamp_text(d.lamps->protect)}};
        nlohmann::json codes = nlohmann::json::array();
        for (const TroubleCode &c : d.codes) {
            nlohmann::json code{{"spn", c.spn},
                                {"fmi", c.fmi},
                                {"fmi_text", fmi_text(c.fmi)},
                                {"occurrences", c.occurrences}};
            if (!c.description.empty()) {
                code["description"] = c.description;
            }
            if (c.legacy) {
                code["conversion"] = "legacy";
            }
            codes.push_back(code);
        }
        j["dtcs"] = codes;
    }
    if (d.diagnostics) {
        j["diagnostics"] = diag::dm_json(*d.diagnostics);
    }
    return j;
}

} // namespace vehcan::cli

namespace vehcan::cli {

std::string detailed_text(const Decoded &d, size_t len) {
    std::string s = d.acronym.empty()
                        ? fmt::format("PGN {}, {} byte{}\n", d.pgn, len, len == 1 ? "" : "s")
                        : fmt::format("{} {} (PGN {}), {} byte{}\n", d.acronym, d.name, d.pgn, len,
                                      len == 1 ? "" : "s");
    for (const Field &f : d.fields) {
        const std::string label = f.spn != 0 ? fmt::format("{} (SPN {})", f.name, f.spn) : f.name;
        switch (f.kind) {
        case Field::Kind::number:
            s += fmt::format("  {}: {}{}{}\n", label, format_number(f.number),
                             f.unit.empty() ? "" : " ", f.unit);
            break;
        case Field::Kind::state:
            s += fmt::format("  {}: {} ({})\n", label, f.text, f.raw);
            break;
        case Field::Kind::text:
            s += fmt::format("  {}: {}\n", label, f.text);
            break;
        case Field::Kind::not_available:
            s += fmt::format("  {}: not available\n", label);
            break;
        }
    }
    if (d.lamps) {
        s += fmt::format("  lamps: MIL {}, red stop {}, amber warning {}, protect {}\n",
                         lamp_text(d.lamps->malfunction), lamp_text(d.lamps->red_stop),
                         lamp_text(d.lamps->amber_warning), lamp_text(d.lamps->protect));
        if (d.codes.empty()) {
            s += fmt::format("  {}\n", no_code_text(d.pgn));
        }
        for (const TroubleCode &c : d.codes) {
            s += fmt::format("  SPN {} FMI {}, {} occurrence{}: {}{}{}\n", c.spn, c.fmi,
                             c.occurrences, c.occurrences == 1 ? "" : "s",
                             c.description.empty() ? "" : c.description + ": ", fmi_text(c.fmi),
                             c.legacy ? " (legacy SPN layout)" : "");
        }
    }
    if (d.diagnostics) {
        const diag::DmBody body = diag::dm_body(*d.diagnostics);
        s += fmt::format("  {}\n", body.summary);
        for (const std::string &line : body.lines) {
            s += fmt::format("    {}\n", line);
        }
    }
    return s;
}

} // namespace vehcan::cli
