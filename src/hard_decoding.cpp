// SPDX-License-Identifier: MIT
// Built-in decoders: scaled values, status fields and text fields.
//
// Every decoder here is a pure function over the caller's payload: no state,
// no heap, nothing global. Payload bytes count from 0 (the standard's byte n
// is index n - 1) and multi-byte parameters are little-endian.
#include "j1939_stack.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <span>

namespace vehcan::decoders {
namespace {

// A payload that must reach its first `bytes_needed` bytes. A len of 0 or
// less is not consulted: callers that predate the length check pass 0 for a
// full 8-byte frame.
bool reaches(const uint8_t *payload, int len, int bytes_needed) {
    return payload != nullptr && (len <= 0 || len >= bytes_needed);
}

// ---- scaled values --------------------------------------------------------------

// What a parameter whose bytes are all 0xFF (the standard's "not available")
// decodes to.
enum class NotAvailable {
    kKeepValue, // the caller's value stays
    kRawZero,   // the raw value counts as 0, so the row's offset is written
};

struct ScaledRow {
    unsigned long pgn;
    int first_byte;
    int width; // in bytes: 1, 2 or 4
    double resolution;
    double offset;
    NotAvailable not_available;
};

constexpr auto kKeep = NotAvailable::kKeepValue;
constexpr auto kZero = NotAvailable::kRawZero;

// One row per parameter group; adding a group is one line.
constexpr ScaledRow kScaledRows[] = {
    // {PGN, first byte, width in bytes, resolution, offset, all-0xFF rule}
    {61443, 1, 1, 0.4, 0.0, kKeep},        // EEC2 accelerator pedal position 1, %
    {61444, 3, 2, 0.125, 0.0, kZero},      // EEC1 engine speed, rpm
    {64777, 4, 4, 0.001, 0.0, kZero},      // HRLFC total fuel used, L
    {65132, 6, 2, 0.00390625, 0.0, kZero}, // TCO1 tachograph vehicle speed, km/h
    {65216, 1, 2, 5.0, -160635.0, kZero},  // SERV service distance, km
    {65217, 0, 4, 5.0, 0.0, kZero},        // VDHR total vehicle distance, m
    {65253, 0, 4, 0.05, 0.0, kZero},       // HOURS engine total hours, h
    {65257, 4, 4, 0.5, 0.0, kZero},        // LFC engine total fuel used, L
    {65258, 1, 2, 0.5, 0.0, kZero},        // VW axle weight, kg
    {65262, 0, 1, 1.0, -40.0, kKeep},      // ET1 engine coolant temperature, degC
    {65265, 1, 2, 0.00390625, 0.0, kZero}, // CCVS wheel-based vehicle speed, km/h
    {65276, 1, 1, 0.4, 0.0, kKeep},        // DD fuel level 1, %
};

consteval bool rows_are_sound() {
    for (const ScaledRow &row : kScaledRows) {
        if (row.width != 1 && row.width != 2 && row.width != 4) {
            return false;
        }
        if (row.first_byte < 0 || row.first_byte + row.width > 8) {
            return false; // every row fits one single-frame payload
        }
    }
    return true;
}
static_assert(rows_are_sound());

const ScaledRow *find_scaled_row(unsigned long pgn) {
    for (const ScaledRow &row : kScaledRows) {
        if (row.pgn == pgn) {
            return &row;
        }
    }
    return nullptr;
}

int decode_scaled(const uint8_t *payload, int len, unsigned long pgn, double *value) {
    const ScaledRow *row = find_scaled_row(pgn);
    if (row == nullptr) {
        return J1939_PGN_NOT_SUPPORTED;
    }
    if (!reaches(payload, len, row->first_byte + row->width)) {
        return J1939_ERR_INVALID_DATA;
    }
    uint32_t raw = 0;
    int not_available_bytes = 0;
    for (int i = row->width - 1; i >= 0; --i) {
        const uint8_t byte = payload[row->first_byte + i];
        raw = (raw << 8U) | byte;
        if (byte == 0xFF) {
            ++not_available_bytes;
        }
    }
    // Only a field that is 0xFF throughout is "not available"; a single 0xFF
    // byte of a wider field, and the standard's error ranges, decode as numbers.
    if (not_available_bytes == row->width) {
        if (row->not_available == NotAvailable::kKeepValue) {
            return 0;
        }
        raw = 0;
    }
    // Two statements, so that no compiler fuses them into one rounding.
    const double scaled = static_cast<double>(raw) * row->resolution;
    *value = scaled + row->offset;
    return 0;
}

constexpr unsigned long kVehicleWeightPgn = 65258;

int decode_axle_location(const uint8_t *payload, int len, unsigned long pgn, int *value) {
    if (pgn != kVehicleWeightPgn || !reaches(payload, len, 1)) {
        return J1939_FAIL;
    }
    const uint8_t location = payload[0];
    if (location == 0xFF) {
        return J1939_FAIL;
    }
    // The upper nibble counts axles front to back from 0; the lower nibble
    // (tire position) is not wanted here.
    *value = (location >> 4U) + 1;
    return 0;
}

// ---- status fields ----------------------------------------------------------------

// A code table entry that keeps the caller's value: the standard's error,
// not-available and reserved values are not reported.
constexpr int kLeaveAlone = -1;

// A bit field of one payload byte and what each of its raw values writes.
// The code table has one entry per raw value, so its size (2, 4, 8 or 16)
// also gives the field's width.
struct StatusField {
    int byte;
    unsigned low_bit;
    std::span<const int> codes;
};

constexpr int L = kLeaveAlone; // short, so that the code tables read as tables

constexpr std::array<int, 4> kClutchCodes{J1939_CLUTCH_SWITCH_RELEASED,
                                          J1939_CLUTCH_SWITCH_DEPRESSED, L, L};
constexpr std::array<int, 4> kBrakeCodes{J1939_BRAKE_SWITCH_RELEASED, J1939_BRAKE_SWITCH_DEPRESSED,
                                         L, L};
constexpr std::array<int, 4> kCruiseCodes{J1939_CRUISE_CONTROL_OFF, J1939_CRUISE_CONTROL_ON, L, L};
// Lower four bits of the five-bit PTO governor state: off and set are
// reported, and 15 stands for the whole field's not-available value 31.
constexpr std::array<int, 16> kPtoCodes{0, L, L, L, L, 5, L, L, L, L, L, L, L, L, L, 31};
constexpr std::array<int, 4> kPtoEngagementCodes{0, 1, 2, 3};
// Rest, available, work, drive, (reserved x2), error, not available.
constexpr std::array<int, 8> kWorkingStateCodes{0, 1, 2, 3, L, L, 6, 7};
constexpr std::array<int, 4> kDriver1CardCodes{J1939_DRIVER1_CARD_NOT_PRESENT,
                                               J1939_DRIVER1_CARD_PRESENT, L, L};
constexpr std::array<int, 4> kDriver2CardCodes{J1939_DRIVER2_CARD_NOT_PRESENT,
                                               J1939_DRIVER2_CARD_PRESENT, L, L};
// Limit stages 0-6, (reserved 7-13), error, not available.
constexpr std::array<int, 16> kTimeRelatedCodes{0, 1, 2, 3, 4, 5, 6, L, L, L, L, L, L, L, 14, 15};

// Cruise control/vehicle speed (CCVS, 65265).
constexpr StatusField kClutchSwitch{3, 6, kClutchCodes};
constexpr StatusField kBrakeSwitch{3, 4, kBrakeCodes};
constexpr StatusField kCruiseControlActive{3, 0, kCruiseCodes};
constexpr StatusField kPtoState{6, 0, kPtoCodes};
constexpr StatusField kPtoEngagement{6, 0, kPtoEngagementCodes};
// Tachograph (TCO1, 65132); bits 7-6 of byte 0 (vehicle motion) are not read.
constexpr StatusField kDriver1Working{0, 0, kWorkingStateCodes};
constexpr StatusField kDriver2Working{0, 3, kWorkingStateCodes};
constexpr StatusField kDriver1Card{1, 4, kDriver1CardCodes};
constexpr StatusField kDriver2Card{2, 4, kDriver2CardCodes};
constexpr StatusField kDriver1TimeRelated{1, 0, kTimeRelatedCodes};
constexpr StatusField kDriver2TimeRelated{2, 0, kTimeRelatedCodes};

consteval bool fields_are_sound() {
    for (const StatusField &f : {kClutchSwitch, kBrakeSwitch, kCruiseControlActive, kPtoState,
                                 kPtoEngagement, kDriver1Working, kDriver2Working, kDriver1Card,
                                 kDriver2Card, kDriver1TimeRelated, kDriver2TimeRelated}) {
        const std::size_t n = f.codes.size();
        const bool power_of_two = n >= 2 && (n & (n - 1)) == 0;
        if (!power_of_two || (n << f.low_bit) > 256 || f.byte < 0 || f.byte > 7) {
            return false; // the field would not lie inside one byte of a frame
        }
    }
    return true;
}
static_assert(fields_are_sound());

struct FieldOutput {
    const StatusField &field;
    int *out;
};

// The one field reader of all status decoders. A payload that is null or
// empty gets `refusal`; one that stops short of a field's byte gets
// J1939_ERR_INVALID_DATA. Either way no output is written.
int decode_status(const uint8_t *payload, int len, int refusal,
                  std::initializer_list<FieldOutput> outputs) {
    if (payload == nullptr || len <= 0) {
        return refusal;
    }
    for (const FieldOutput &o : outputs) {
        if (len <= o.field.byte) {
            return J1939_ERR_INVALID_DATA;
        }
    }
    for (const FieldOutput &o : outputs) {
        const std::size_t mask = o.field.codes.size() - 1;
        const std::size_t raw = (std::size_t{payload[o.field.byte]} >> o.field.low_bit) & mask;
        const int code = o.field.codes[raw];
        if (code != kLeaveAlone) {
            *o.out = code;
        }
    }
    return 0;
}

constexpr unsigned long kCruiseControlPgn = 65265;

// ---- text fields ------------------------------------------------------------------

constexpr uint8_t kDelimiter = '*';
constexpr int kMaxDriverIdBytes = 255; // a driver id buffer holds 256 with its zero

struct FieldCopy {
    int stored; // bytes written to the output
    int next;   // index after the delimiter that ended the field, or len
};

// Copies the '*'-terminated text field that starts at `start` to `out`, at
// most `max_bytes` of it (the rest of a longer field is skipped), without a
// terminating zero. An empty field, a delimiter at `start`, reads "*". Reads
// no payload byte at or beyond len.
FieldCopy copy_text_field(const uint8_t *payload, int len, int start, char *out, int max_bytes) {
    if (start >= len) {
        return {0, len};
    }
    if (payload[start] == kDelimiter) {
        out[0] = '*';
        return {1, start + 1};
    }
    int stored = 0;
    int i = start;
    for (; i < len && payload[i] != kDelimiter; ++i) {
        if (stored < max_bytes) {
            out[stored++] = static_cast<char>(payload[i]);
        }
    }
    return {stored, i < len ? i + 1 : len};
}

// One driver id: assembled in a cleared scratch, then handed over as a
// string, so a zero byte inside the field ends the text the caller sees.
int copy_driver_id(const uint8_t *payload, int len, int start, char *out) {
    std::array<char, kMaxDriverIdBytes + 1> scratch{};
    const FieldCopy copy = copy_text_field(payload, len, start, scratch.data(), kMaxDriverIdBytes);
    std::memcpy(out, scratch.data(), std::strlen(scratch.data()) + 1);
    return copy.next;
}

int decode_driver_ids(const uint8_t *payload, int len, char *driver1_id, char *driver2_id) {
    if (payload == nullptr || len <= 0) {
        return J1939_ERR_INVALID_DATA;
    }
    // Without any delimiter driver 1 takes the whole payload and driver 2
    // starts at len, so it is empty.
    const int driver2_start = copy_driver_id(payload, len, 0, driver1_id);
    copy_driver_id(payload, len, driver2_start, driver2_id);
    return 0;
}

int decode_vin(const uint8_t *payload, int len, char *vin) {
    if (payload == nullptr || len <= 0) {
        return J1939_ERR_INVALID_DATA;
    }
    // The caller sizes vin for len + 1 bytes, so the zero always fits; it
    // keeps the printed line bounded even in a buffer that was not cleared.
    const FieldCopy copy = copy_text_field(payload, len, 0, vin, len);
    vin[copy.stored] = '\0';
    std::printf("%s\n", vin);
    return 0;
}

} // namespace
} // namespace vehcan::decoders

// ---- C interface --------------------------------------------------------------------

using namespace vehcan::decoders;

extern "C" {

int decode_without_xml(const uint8_t *ar_raw_data, int len, unsigned long pgn, double *value) {
    return decode_scaled(ar_raw_data, len, pgn, value);
}

int get_axle_location(const uint8_t *ar_raw_data, int len, unsigned long pgn, int *value) {
    return decode_axle_location(ar_raw_data, len, pgn, value);
}

void i_hex_to_bin(uint8_t val, parse_dbc *p_dbc) {
    const bool is_nibble = val <= 15;
    for (unsigned i = 0; i < 4; ++i) {
        p_dbc->bin_val[i] = is_nibble ? (val >> (3U - i)) & 1 : 0;
    }
}

int j1939_get_clutch_cruice_cntrl_brake_switch_state(const uint8_t *ar_raw_data, int len,
                                                     unsigned long pgn, int *clutch_switch_state,
                                                     int *break_switch_state,
                                                     int *cruice_cntrl_state) {
    if (pgn != kCruiseControlPgn) {
        return J1939_PGN_NOT_SUPPORTED;
    }
    return decode_status(ar_raw_data, len, J1939_PGN_NOT_SUPPORTED,
                         {{kClutchSwitch, clutch_switch_state},
                          {kBrakeSwitch, break_switch_state},
                          {kCruiseControlActive, cruice_cntrl_state}});
}

int j1939_get_pto_state(const uint8_t *ar_raw_data, int len, unsigned long pgn, int *pto_state) {
    (void)pgn; // read as CCVS whatever the PGN
    return decode_status(ar_raw_data, len, J1939_ERR_INVALID_DATA, {{kPtoState, pto_state}});
}

int j1939_get_ptode_state(const uint8_t *ar_raw_data, int len, unsigned long pgn,
                          int *pto_de_state) {
    (void)pgn;
    return decode_status(ar_raw_data, len, J1939_ERR_INVALID_DATA,
                         {{kPtoEngagement, pto_de_state}});
}

int j1939_get_driver_working_state(const uint8_t *ar_raw_data, int len, int *driver1_working_state,
                                   int *driver2_working_state) {
    return decode_status(
        ar_raw_data, len, J1939_ERR_INVALID_DATA,
        {{kDriver1Working, driver1_working_state}, {kDriver2Working, driver2_working_state}});
}

int j1939_get_driver_card_state(const uint8_t *ar_raw_data, int len, int *driver_card1_status,
                                int *driver_card2_status) {
    return decode_status(
        ar_raw_data, len, J1939_ERR_INVALID_DATA,
        {{kDriver1Card, driver_card1_status}, {kDriver2Card, driver_card2_status}});
}

int j1939_get_driver_rel_state(const uint8_t *ar_raw_data, int len, int *driver1_rel_state,
                               int *driver2_rel_state) {
    return decode_status(
        ar_raw_data, len, J1939_ERR_INVALID_DATA,
        {{kDriver1TimeRelated, driver1_rel_state}, {kDriver2TimeRelated, driver2_rel_state}});
}

int j1939_tacho_get_drivers_id(const uint8_t *ar_raw_data, int len, char *driver1_id,
                               char *driver2_id) {
    return decode_driver_ids(ar_raw_data, len, driver1_id, driver2_id);
}

int decode_vehicle_identification_number(const uint8_t *ar_raw_data, int len, char *vin) {
    return decode_vin(ar_raw_data, len, vin);
}

} // extern "C"
