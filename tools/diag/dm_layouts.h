// SPDX-License-Identifier: MIT
// The layouts of the diagnostic messages of SAE J1939-73 that vehcan reads
// and sends, and their parsers: trouble-code lists (DM1, DM2, DM6, DM12,
// DM23), freeze frames (DM4), readiness (DM5), the SPNs an ECU supports
// (DM24), expanded freeze frames (DM25), the broadcast control of DM13 and
// the acknowledgement (PGN 59392) that answers a clear.
//
// Every parser is a pure function of its bytes: no allocation beyond its
// result, no state, safe from any thread. None rejects a message for being
// short or long: it takes what the bytes hold and says in `note` what did
// not fit, so that a technician sees an odd ECU's answer rather than
// nothing. The standard's byte n is index n - 1 here.
#ifndef VEHCAN_DIAG_DM_LAYOUTS_H
#define VEHCAN_DIAG_DM_LAYOUTS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vehcan::diag {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// ---- parameter groups ------------------------------------------------------------------

constexpr uint32_t kPgnDm13 = 57088; // stop/start broadcast, 0xDF00 (PDU1)
constexpr uint32_t kPgnAcknowledgement = 59392;
constexpr uint32_t kPgnRequest = 59904;
constexpr uint32_t kPgnTpConnectionManagement = 60416;
constexpr uint32_t kPgnEec1 = 61444; // engine speed, SPN 190
constexpr uint32_t kPgnDm23 = 64949;
constexpr uint32_t kPgnDm24 = 64950;
constexpr uint32_t kPgnDm25 = 64951;
constexpr uint32_t kPgnCcvs = 65265; // wheel-based vehicle speed, SPN 84
constexpr uint32_t kPgnDm1 = 65226;
constexpr uint32_t kPgnDm2 = 65227;
constexpr uint32_t kPgnDm3 = 65228;
constexpr uint32_t kPgnDm4 = 65229;
constexpr uint32_t kPgnDm5 = 65230;
constexpr uint32_t kPgnDm6 = 65231;
constexpr uint32_t kPgnDm11 = 65235;
constexpr uint32_t kPgnDm12 = 65236;

constexpr uint8_t kGlobal = 0xFF;

// One diagnostic message: its number, PGN, acronym and what it carries.
struct DmInfo {
    int number;
    uint32_t pgn;
    std::string_view acronym; // "DM2"
    std::string_view title;   // "previously active trouble codes"
};

// Every DM vehcan knows, by number.
std::span<const DmInfo> dm_table();
const DmInfo *find_dm(int number);
const DmInfo *find_dm_by_pgn(uint32_t pgn);
// Whether the PGN carries lamps and a trouble-code list (DM1, DM2, DM6,
// DM12, DM23).
bool is_trouble_code_list(uint32_t pgn);

// ---- trouble codes ---------------------------------------------------------------------

// How the SPN of a trouble code is laid out. Version 4 of J1939-73 sends it
// least significant byte first (byte 1 bits 8-1 = SPN bits 8-1, byte 2 =
// bits 16-9, byte 3 bits 8-6 = bits 19-17) with the conversion-method (CM)
// bit 0; the legacy layout of the earlier versions sends the 19 bits most
// significant first (byte 1 = bits 19-12, byte 2 = bits 11-4, byte 3 bits
// 8-6 = bits 3-1) with the CM bit 1. The FMI (byte 3 bits 5-1) and the
// occurrence count (byte 4 bits 7-1) sit in the same place in both.
enum class SpnConversion {
    automatic, // by each code's CM bit
    version4,  // every code as version 4, whatever its CM bit says
    legacy,    // every code in the legacy layout, whatever its CM bit says
};
// "auto", "4" or "legacy"; nothing for any other text.
std::optional<SpnConversion> parse_spn_conversion(std::string_view text);
std::string_view spn_conversion_name(SpnConversion c);

constexpr uint32_t kMaxSpn = 0x7FFFF;
constexpr uint8_t kOccurrencesNotAvailable = 127;

struct TroubleCode {
    uint32_t spn = 0;
    uint8_t fmi = 0;         // 0-31
    uint8_t occurrences = 0; // 0-126; 127: not available
    bool cm_bit = false;     // the conversion-method bit as sent
    bool legacy = false;     // read in the legacy layout
    std::string description; // the SPN's name from the database; filled by name_codes()

    bool same_fault(const TroubleCode &o) const { return spn == o.spn && fmi == o.fmi; }
};

// Reads the four bytes of one trouble code.
TroubleCode parse_trouble_code(const uint8_t *four, SpnConversion method);
// The four bytes of code in its own layout (legacy sets the CM bit).
std::array<uint8_t, 4> encode_trouble_code(const TroubleCode &code);

// Two bits each, 0 off, 1 on, 2 reserved, 3 not available; the flash
// states: 0 slow flash, 1 fast flash, 2 reserved, 3 no flash / unavailable.
struct Lamps {
    uint8_t malfunction = 3; // MIL
    uint8_t red_stop = 3;
    uint8_t amber_warning = 3;
    uint8_t protect = 3;
};
// Byte 1 (or 2 for the flash states): MIL bits 8-7, red stop 6-5, amber 4-3,
// protect 2-1.
Lamps parse_lamps(uint8_t byte);

// DM1, DM2, DM6, DM12 and DM23: lamps, flash, then four bytes per code.
struct TroubleCodeList {
    Lamps lamps;
    Lamps flash;
    std::vector<TroubleCode> codes; // empty: the ECU has none ("00 00 00 00")
    std::string note;               // what did not fit, "" when all did
};
// A code of SPN 0 and FMI 0 says "none" and is not listed, nor are codes
// whose first three bytes are FF (the padding of a short message); bytes
// after the last whole code are padding too. Fewer than 2 bytes give no
// lamps (all "not available") and a note.
TroubleCodeList parse_trouble_code_list(ByteView data, SpnConversion method);

// ---- parameter values ------------------------------------------------------------------

// How one SPN's raw value turns into a physical one. The texts are views:
// of the built-in table, or of storage that whoever gives the scaling keeps
// for as long as the values made with it are used (a database's memo).
struct SpnScaling {
    std::string_view name; // "engine speed"
    double resolution = 1.0;
    double offset = 0.0;
    std::string_view unit;
};
// The scaling of spn from outside (a database), if it knows one.
using ScalingLookup = std::function<std::optional<SpnScaling>(uint32_t spn)>;
// The scalings of the SPNs that freeze frames carry most (the standard
// fields of DM4 and their usual companions). Nothing for another SPN.
std::optional<SpnScaling> known_scaling(uint32_t spn);

// One parameter taken out of a freeze frame. Its texts are views of static
// tables or of the scaling's storage (see SpnScaling), so that parsing a
// freeze frame allocates little.
struct SpnValue {
    uint32_t spn = 0;
    std::string_view key;        // the JSON name of a DM4 standard field, else ""
    std::string_view name;       // from the scaling, "" when unknown
    Bytes raw;                   // as sent, least significant byte first
    std::optional<double> value; // scaled; nothing when not valid or not known
    std::string_view unit;
    // "" when value holds the number or the scaling is unknown; else
    // "not available", "error" or "reserved", by the standard's ranges of
    // a value 1, 2 or 4 bytes (or 4 bits) wide.
    std::string_view state;
};
// raw read as one little-endian number; with the scaling, a value when the
// number lies in the valid range of its width (0-250 for one byte,
// 0-64255 for two, 0-4211081215 for four).
SpnValue make_spn_value(uint32_t spn, ByteView raw, const std::optional<SpnScaling> &scaling);

// ---- freeze frames (DM4) ---------------------------------------------------------------

// Per frame: its length (the bytes after the length byte), the code, then
// the standard fields: torque mode (SPN 899), boost (SPN 102), engine speed
// (190, 2 bytes), engine load (92), coolant temperature (110), vehicle speed
// (84, 2 bytes): 12 bytes; what the length holds beyond them is the
// manufacturer's.
struct FreezeFrame {
    TroubleCode code;
    std::vector<SpnValue> fields; // the standard fields present, in order
    Bytes manufacturer;           // manufacturer-specific bytes, often none
};
struct FreezeFrames {
    std::vector<FreezeFrame> frames; // empty: the ECU holds none
    std::string note;
};
// A length byte of 0 ends the list (the rest is padding). A frame shorter
// than 12 bytes gives the fields it holds; one that runs past the end of
// the message gives what is there and a note.
FreezeFrames parse_freeze_frames(ByteView data, SpnConversion method);
// The text of a torque mode (SPN 899, 0-15).
std::string_view torque_mode_text(unsigned mode);

// ---- readiness (DM5) -------------------------------------------------------------------

struct Monitor {
    std::string_view key;  // "misfire", "diesel_particulate_filter"
    std::string_view name; // "misfire", "diesel particulate filter"
    bool continuous = false;
    bool supported = false;
    bool complete = false; // meaningful only when supported
};
struct Readiness {
    std::optional<uint8_t> active;            // SPN 1218; nothing above 250
    std::optional<uint8_t> previously_active; // SPN 1219
    uint8_t obd_compliance = 0xFF;            // SPN 1220
    std::vector<Monitor> monitors;            // every monitor of the standard, in its order
    std::string note;
};
// 8 bytes: active count, previously active count, OBD compliance, the
// continuous monitors' support (bits 1-3) and status (bits 5-7), then two
// bytes of non-continuous support and two of their status (status bit 1:
// not complete). Fewer than 8 bytes give nothing.
std::optional<Readiness> parse_readiness(ByteView data);
// "HD OBD" for 20; "" for values the standard leaves reserved.
std::string_view obd_compliance_text(unsigned value);

// ---- supported SPNs (DM24) and expanded freeze frames (DM25) ----------------------------

// Four bytes per SPN: the SPN in the version 4 layout (its byte 3 bits 8-6
// the top bits), byte 3 bit 1 "not in expanded freeze frames", bit 2 "not
// in the data stream", bit 3 "not in scaled test results" (0 means
// supported), byte 4 the SPN's length in an expanded freeze frame.
struct SupportedSpn {
    uint32_t spn = 0;
    bool expanded_freeze_frame = false;
    bool data_stream = false;
    bool test_results = false;
    uint8_t length = 0; // bytes in DM25
};
struct SpnSupport {
    std::vector<SupportedSpn> spns;
    std::string note;
};
SpnSupport parse_spn_support(ByteView data);

struct ExpandedFreezeFrame {
    TroubleCode code;
    std::vector<SpnValue> values; // the DM24 freeze-frame SPNs, in DM24's order
    Bytes manufacturer;           // bytes after the SPNs
    Bytes undecoded;              // without a DM24: every byte after the code
};
struct ExpandedFreezeFrames {
    std::vector<ExpandedFreezeFrame> frames;
    std::string note;
};
// Like DM4: a length byte, the code, then the values of the SPNs that the
// ECU's DM24 marks as in expanded freeze frames, each of its DM24 length.
// support null: the values stay undecoded. scaling may be empty.
ExpandedFreezeFrames parse_expanded_freeze_frames(ByteView data, const SpnSupport *support,
                                                  SpnConversion method,
                                                  const ScalingLookup &scaling);

// ---- broadcast control (DM13) -------------------------------------------------------------

enum class BroadcastCommand {
    stop,  // the current data link stops its broadcasts
    start, // and starts them again
    hold,  // every node keeps its state (sent at most 6 s apart)
};
// Byte 1 bits 8-7 the current data link (00 stop, 01 start, 11 no action),
// the other links 11; byte 4 bits 8-5 the hold signal (0000 all devices,
// 1111 not available), bits 4-1 the suspend signal (1111: none); the rest FF.
std::array<uint8_t, 8> encode_dm13(BroadcastCommand command);

// ---- acknowledgement (PGN 59392) -----------------------------------------------------------

enum class AckControl : uint8_t {
    positive = 0,
    negative = 1,
    access_denied = 2,
    cannot_respond = 3, // busy: ask again later
};
struct Acknowledgement {
    uint8_t control = 0;
    uint8_t address = kGlobal; // the requester it answers
    uint32_t pgn = 0;          // the PGN it is about
};
// 8 bytes: control, group function, two reserved, the requester's address,
// the PGN (3 bytes). Nothing when shorter.
std::optional<Acknowledgement> parse_acknowledgement(ByteView data);

// The 3 bytes of a Request (PGN 59904) for pgn.
std::array<uint8_t, 3> encode_request(uint32_t pgn);

// ---- texts -------------------------------------------------------------------------------

// The standard's text for a failure mode identifier (0-31).
std::string_view fmi_text(int fmi);
// "off", "on", "reserved", "not available".
std::string_view lamp_text(int status);
// "slow flash", "fast flash", "reserved", "no flash".
std::string_view flash_text(int status);

} // namespace vehcan::diag

#endif
