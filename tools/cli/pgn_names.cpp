// SPDX-License-Identifier: MIT
// The PGN name table. Sorted by PGN; find_pgn_name() searches it.
#include "pgn_names.h"

#include <algorithm>
#include <array>

namespace vehcan::cli {

namespace {

constexpr std::array kPgnNames{
    PgnName{57088, "DM13", "Stop Start Broadcast"},
    PgnName{59392, "ACKM", "Acknowledgment"},
    PgnName{59904, "RQST", "Request"},
    PgnName{60160, "TP.DT", "Transport Protocol, Data Transfer"},
    PgnName{60416, "TP.CM", "Transport Protocol, Connection Management"},
    PgnName{60928, "AC", "Address Claimed"},
    PgnName{61443, "EEC2", "Electronic Engine Controller 2"},
    PgnName{61444, "EEC1", "Electronic Engine Controller 1"},
    PgnName{64777, "HRLFC", "High Resolution Fuel Consumption (Liquid)"},
    PgnName{64932, "PTODE", "PTO Drive Engagement"},
    PgnName{64949, "DM23", "Previously MIL-On Emission-Related DTCs"},
    PgnName{64950, "DM24", "SPN Support"},
    PgnName{64951, "DM25", "Expanded Freeze Frame"},
    PgnName{65131, "DI", "Driver's Identification"},
    PgnName{65132, "TCO1", "Tachograph"},
    PgnName{65216, "SERV", "Service Information"},
    PgnName{65217, "VDHR", "High Resolution Vehicle Distance"},
    PgnName{65226, "DM1", "Active Diagnostic Trouble Codes"},
    PgnName{65227, "DM2", "Previously Active Diagnostic Trouble Codes"},
    PgnName{65228, "DM3", "Diagnostic Data Clear/Reset of Previously Active DTCs"},
    PgnName{65229, "DM4", "Freeze Frame Parameters"},
    PgnName{65230, "DM5", "Diagnostic Readiness 1"},
    PgnName{65231, "DM6", "Emission-Related Pending DTCs"},
    PgnName{65235, "DM11", "Diagnostic Data Clear/Reset for Active DTCs"},
    PgnName{65236, "DM12", "Emission-Related Active DTCs"},
    PgnName{65242, "SOFT", "Software Identification"},
    PgnName{65248, "VD", "Vehicle Distance"},
    PgnName{65253, "HOURS", "Engine Hours, Revolutions"},
    PgnName{65254, "TD", "Time/Date"},
    PgnName{65257, "LFC", "Fuel Consumption (Liquid)"},
    PgnName{65258, "VW", "Vehicle Weight"},
    PgnName{65259, "CI", "Component Identification"},
    PgnName{65260, "VI", "Vehicle Identification"},
    PgnName{65262, "ET1", "Engine Temperature 1"},
    PgnName{65263, "EFL/P1", "Engine Fluid Level/Pressure 1"},
    PgnName{65265, "CCVS", "Cruise Control/Vehicle Speed"},
    PgnName{65266, "LFE", "Fuel Economy (Liquid)"},
    PgnName{65269, "AMB", "Ambient Conditions"},
    PgnName{65270, "IC1", "Inlet/Exhaust Conditions 1"},
    PgnName{65271, "VEP1", "Vehicle Electrical Power 1"},
    PgnName{65276, "DD", "Dash Display"},
};

static_assert(std::is_sorted(kPgnNames.begin(), kPgnNames.end(),
                             [](const PgnName &a, const PgnName &b) { return a.pgn < b.pgn; }));

} // namespace

const PgnName *find_pgn_name(uint32_t pgn) {
    const auto *it = std::lower_bound(kPgnNames.begin(), kPgnNames.end(), pgn,
                                      [](const PgnName &e, uint32_t p) { return e.pgn < p; });
    return it != kPgnNames.end() && it->pgn == pgn ? &*it : nullptr;
}

std::span<const PgnName> pgn_names() {
    return kPgnNames;
}

} // namespace vehcan::cli
