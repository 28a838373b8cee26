// SPDX-License-Identifier: MIT
// One decoded message as the compact uplink takes it: each value with what
// the uplink needs to bound its error (its scaling and valid range), so
// that the fleet link never needs the decoders of the tool above it.
#ifndef VEHCAN_FLEET_UPLINK_MESSAGE_H
#define VEHCAN_FLEET_UPLINK_MESSAGE_H

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace vehcan::cli {

struct UplinkValue {
    enum class Kind { number, state, text, not_available, error };
    Kind kind = Kind::not_available;
    unsigned long spn = 0; // 0: the value has no SPN (the name tells it)
    std::string name;
    std::string unit;      // number
    double number = 0;     // number
    long state = 0;        // state: its code
    std::string text;      // state: the code's name; text: the text
    bool integer = false;  // number: counts or names something (scaled by 1)
    double resolution = 0; // number: value = raw * resolution + offset; 0: not known
    double offset = 0;
    double maximum = 0; // number: the largest valid value (with a resolution)
};

struct UplinkMessage {
    int64_t unix_us = 0; // when it was heard, µs since 1970
    int source = -1;     // the sender; -1: not known
    uint32_t pgn = 0;
    std::string acronym;           // "" when the tool has no name for the PGN
    const uint8_t *data = nullptr; // the payload, borrowed for the call
    size_t len = 0;
    // Some decoder read the payload; a message no decoder read goes to the
    // raw inventory, as does one with nothing in values (a DM1).
    bool decoded = false;
    std::vector<UplinkValue> values;
    // The DM1 and the vehicle identification as --json prints them (the
    // retained dm1 topic and the vehicle's name come from there); null
    // otherwise.
    const nlohmann::json *json = nullptr;
};

} // namespace vehcan::cli

#endif
