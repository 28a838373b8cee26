// SPDX-License-Identifier: MIT
// Reading diagnostics: each DM asked for is requested (from all nodes, or
// from one), every answer collected within the bounded wait of
// request_window.h, and parsed per ECU. The command line (vehcan diag read),
// scan and the fleet's remote commands share it: options in, a result out,
// and its JSON.
#ifndef VEHCAN_DIAG_READ_H
#define VEHCAN_DIAG_READ_H

#include "dm_layouts.h"
#include "request_window.h"

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vehcan::diag {

// The DMs read when none are named, in the order requested.
inline const std::vector<int> kDefaultReadDms = {1, 2, 4, 5, 6, 12, 23, 25};
// The DMs that can be read.
inline const std::vector<int> kReadableDms = {1, 2, 4, 5, 6, 12, 23, 24, 25};

// "1,2,4" or "dm1,DM2": each a readable DM, no repeats. Throws
// Failure(kExitUsage) naming the first bad one.
std::vector<int> parse_dm_list(std::string_view text);
// "all", or a node's address ("0x00".."0xFD", "0".."253"). Throws
// Failure(kExitUsage); what names the option in the message.
std::optional<uint8_t> parse_node(std::string_view text, std::string_view what);

// --spn-conversion: "auto", "4" or "legacy". Throws Failure(kExitUsage).
SpnConversion parse_conversion_option(std::string_view text);

// The SPN's name from outside (the parameter database), if it has one.
using NameLookup = std::function<std::optional<std::string>(uint32_t spn)>;

struct ReadOptions {
    std::optional<uint8_t> from_node; // nothing: every node (global requests)
    std::vector<int> dms = kDefaultReadDms;
    SpnConversion conversion = SpnConversion::automatic;
    // Stop other nodes' broadcasts (DM13) while reading, and start them again
    // afterwards.
    bool quiet_bus = false;
    Timing timing;
    NameLookup spn_name;       // may be empty
    ScalingLookup spn_scaling; // may be empty: DM25 values of SPNs not in known_scaling() stay raw
    std::function<bool()> interrupted; // may be empty
};

using Parsed = std::variant<std::monostate, TroubleCodeList, FreezeFrames, Readiness, SpnSupport,
                            ExpandedFreezeFrames>;

struct DmResult {
    Outcome outcome = Outcome::silent;
    Bytes data;    // as received
    Parsed parsed; // monostate unless answered (and, for DM5, at least 8 bytes)
};

struct EcuDiagnostics {
    uint8_t address = 0;
    std::map<int, DmResult> dms; // every DM requested, by number
};

// How one DM's request went.
struct RequestTiming {
    int dm = 0;
    Milliseconds took{0};
    size_t answers = 0;     // nodes that answered it (or refused it)
    unsigned transfers = 0; // of them by the transport protocol
};

struct ReadResult {
    std::optional<uint8_t> from_node;
    uint8_t source = 0;               // our address
    std::vector<int> requested;       // in order; DM24 added before DM25 when missing
    std::vector<EcuDiagnostics> ecus; // every node that answered anything, by address
    SpnConversion conversion = SpnConversion::automatic;
    Milliseconds took{0};
    unsigned transfers = 0;
    std::vector<RequestTiming> requests; // in the order sent
    bool interrupted = false;
};

// Reads. A node that answered no DM at all is listed only when it was asked
// alone (from_node). Throws what Bus::send() throws.
ReadResult read_diagnostics(Bus &bus, const ReadOptions &options);

// Parses data as DM number dm of one ECU; DM25 needs that ECU's DM24 (support
// may be null). Exposed for decoding captures and for tests.
Parsed parse_dm(int dm, ByteView data, const SpnSupport *support, SpnConversion conversion,
                const ScalingLookup &scaling);
// Gives every trouble code of the result (or of one parsed DM) its SPN's name.
void name_codes(ReadResult &result, const NameLookup &spn_name);
void name_codes(Parsed &parsed, const NameLookup &spn_name);

// {"ecus":[{"address":0,"dm1":{...},"dm2":"nack",...}],"from_node":"all",...}: see
// docs/diagnostics.md for every field.
nlohmann::json read_json(const ReadResult &result);
// One DM's JSON: its object, or "nack", "denied", "busy", "silent".
nlohmann::json dm_json(const DmResult &r);

// The answer of the remote command diag.read: read_diagnostics() then
// read_json().
nlohmann::json diag_read(Bus &bus, const ReadOptions &options);

} // namespace vehcan::diag

#endif
