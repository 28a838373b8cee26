// SPDX-License-Identifier: MIT
// The diagnostics as a technician reads them on a terminal: per ECU, each
// DM with its lamps, codes, freeze frames and monitors, one line each.
#ifndef VEHCAN_DIAG_DIAG_TEXT_H
#define VEHCAN_DIAG_DIAG_TEXT_H

#include "clear.h"

#include <string>

namespace vehcan::diag {

// "engine #1" for 0x00, "" when the address has no usual meaning.
using AddressNamer = std::function<std::string(uint8_t address)>;

// "1024", "607.875", "-40": at most three decimals, no trailing zeros.
std::string number_text(double value);
// "SPN 110 FMI 16, 1 occurrence: Engine Coolant Temperature: data valid but
// above normal operating range, moderately severe level", and " (legacy SPN
// layout)" for a code read in it.
std::string code_text(const TroubleCode &c);
// "3 of 5 supported monitors complete; not complete: fuel system, diesel
// particulate filter".
std::string readiness_summary(const Readiness &r);

// One DM's answer for people: a summary ("2 frames", "none; lamps MIL off,
// ...", "negative acknowledgement (NACK)") and the lines under it (codes,
// frames, monitors, notes), nested ones indented by two spaces.
struct DmBody {
    std::string summary;
    std::vector<std::string> lines;
};
DmBody dm_body(const DmResult &r);

// Each ends with a newline.
std::string read_text(const ReadResult &r, const AddressNamer &namer);
std::string preview_text(const ClearPreview &p, const ClearOptions &o, const AddressNamer &namer);
std::string clear_text(const ClearResult &r, const AddressNamer &namer);

} // namespace vehcan::diag

#endif
