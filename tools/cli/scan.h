// SPDX-License-Identifier: MIT
// The bus inventory that `vehcan scan` prints and the fleet's `scan`
// command returns: a Request for Address Claimed to all, every claim
// collected, then each node's identifications, previously active codes
// (DM2) and readiness (DM5), and the DM1s and senders heard meanwhile.
// It runs over the diagnostics' bus (tools/diag/diag_bus.h), from our
// claimed address, beside a tap that sees every sender.
#ifndef VEHCAN_CLI_SCAN_H
#define VEHCAN_CLI_SCAN_H

#include "bus_tap.h"
#include "database.h"
#include "decode.h"
#include "identification.h"
#include "node_identity.h"

#include <diag_bus.h>
#include <read.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vehcan::cli {

struct IdentificationResult {
    uint32_t pgn = 0;
    enum class Status { answered, not_supported, no_answer } status = Status::no_answer;
    std::vector<IdentificationField> fields;
    int ack = -1; // the refusal's control byte
};

struct ScannedNode {
    uint8_t address = 0;
    std::optional<J1939Name> name; // none: heard, but no claim came from it
    bool ours = false;             // this gateway's own claim
    unsigned long messages = 0;    // heard during the scan
    std::vector<IdentificationResult> identifications;
    std::optional<Decoded> dm1;
    size_t dm1_length = 0;
    // Asked of the node itself: previously active codes (DM2) and readiness (DM5).
    std::optional<diag::EcuDiagnostics> diagnostics;
};

struct ScanSettings {
    double timeout = 2;                           // seconds to listen for the claims
    const Database *db = nullptr;                 // names the trouble codes' SPNs; may be null
    std::optional<uint64_t> ours;                 // the NAME we claimed with, if we claimed
    std::function<bool()> interrupted;            // may be empty
    std::function<void(const std::string &)> say; // progress for a person; may be empty
};

struct ScanFindings {
    std::map<uint8_t, ScannedNode> nodes; // claimed or heard, by address
    size_t claimed = 0;                   // nodes that answered with a claim
    bool ours_answered = false;           // our own claim among them
};

// Runs the scan. sent_from() gives the addresses we sent from (left out of
// the senders heard, unless they claimed). A request lost on the bus earns
// one more. Throws what diag::Bus::send() throws.
ScanFindings scan_nodes(diag::Bus &bus, const BusTap &tap, const ScanSettings &settings,
                        const std::function<std::set<uint8_t>()> &sent_from);

// One node as `vehcan scan --json` prints it (one line each).
nlohmann::json node_json(const ScannedNode &n);
// The nodes' objects in address order: the fleet's scan result.
nlohmann::json scan_json(const ScanFindings &f);
// The node's block of `vehcan scan`'s text.
std::string node_text(const ScannedNode &n);

} // namespace vehcan::cli

#endif
