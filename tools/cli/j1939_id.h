// SPDX-License-Identifier: MIT
// The fields of a 29-bit J1939 identifier.
#ifndef VEHCAN_CLI_J1939_ID_H
#define VEHCAN_CLI_J1939_ID_H

#include <cstdint>

namespace vehcan::cli {

constexpr uint8_t kGlobalAddress = 0xFF;

struct J1939Id {
    uint8_t priority = 0; // 0 (highest) .. 7
    uint32_t pgn = 0;     // 18 bits: extended data page, data page, PF, and PS for PDU2
    uint8_t source = 0;   // source address
    uint8_t destination = kGlobalAddress; // PDU1: the PS field; PDU2: always global
    bool pdu1 = false;                    // PF below 240: destination-specific
};

// Splits a 29-bit identifier. In PDU1 format (PF < 240) the PS byte is the
// destination address and not part of the PGN; in PDU2 format it is the
// group extension and the message goes to all nodes.
constexpr J1939Id split_j1939_id(uint32_t id) {
    J1939Id out;
    out.priority = static_cast<uint8_t>((id >> 26) & 0x7U);
    out.source = static_cast<uint8_t>(id & 0xFFU);
    const uint32_t pdu_specific = (id >> 8) & 0xFFU;
    const uint32_t pdu_format = (id >> 16) & 0xFFU;
    const uint32_t pages = (id >> 24) & 0x3U; // EDP, DP
    out.pdu1 = pdu_format < 240U;
    if (out.pdu1) {
        out.pgn = pages << 16 | pdu_format << 8;
        out.destination = static_cast<uint8_t>(pdu_specific);
    } else {
        out.pgn = pages << 16 | pdu_format << 8 | pdu_specific;
        out.destination = kGlobalAddress;
    }
    return out;
}

} // namespace vehcan::cli

#endif
