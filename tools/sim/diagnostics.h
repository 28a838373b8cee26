// SPDX-License-Identifier: MIT
// The diagnostic memory of a simulated ECU (SAE J1939-73): the trouble
// codes it holds (active, previously active, pending, emission-related),
// its freeze frames, readiness and supported SPNs; the DM payloads built
// from them on request; and what it does with a clear (DM3, DM11): ACK and
// erase, NACK and keep, answer busy a few times before it ACKs, or say
// nothing and keep. A fault that is still present comes back as active at
// once after DM11, as on a real ECU.
//
// Written from the ECU's side and on its own (not with vehcan's parsers),
// so that the rig's reading of it checks both.
#ifndef VEHCAN_TOOLS_SIM_DIAGNOSTICS_H
#define VEHCAN_TOOLS_SIM_DIAGNOSTICS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vehcan::sim {

using Bytes = std::vector<uint8_t>;

struct StoredCode {
    uint32_t spn = 0;
    uint8_t fmi = 0;
    uint8_t occurrences = 1;
};

struct StoredFreezeFrame {
    StoredCode code;
    Bytes fields;       // the 8 standard bytes of DM4 after the code
    Bytes manufacturer; // may be empty
};

struct ExpandedFrame {
    StoredCode code;
    Bytes values; // the DM24 freeze-frame SPNs' bytes in DM24's order, then the manufacturer's
};

struct SupportedSpnEntry {
    uint32_t spn = 0;
    bool freeze_frame = false;
    bool data_stream = false;
    bool test_results = false;
    uint8_t length = 0;
};

enum class ClearAnswer {
    ack,           // acknowledge and erase
    nack,          // refuse, keep everything
    busy_then_ack, // "cannot respond" busy_answers times, then as ack
    silent,        // no answer, keep everything
};

// What the ECU sends back to a clear.
enum class ClearReply { none, ack, nack, busy };

class DiagnosticMemory {
  public:
    // The simulated ECUs' memories (the engine's always; the others with
    // --diag-ecus).
    static DiagnosticMemory engine();
    static DiagnosticMemory transmission();
    static DiagnosticMemory brakes();
    static DiagnosticMemory body_controller();

    // The payload of a DM (by PGN) this ECU supports, or nothing.
    std::optional<Bytes> payload(uint32_t pgn) const;
    // A DM3 (pgn 65228) or DM11 (65235) request: what it answers, erasing
    // as its ClearAnswer says.
    ClearReply clear(uint32_t pgn);

    // The engine's overheat fault (SPN 110, FMI 16) raised or gone, as the
    // drive cycle says: a fault that goes becomes previously active.
    void overheat(bool present);
    size_t active_count() const { return active_.size(); }

  private:
    void clear_active();
    void clear_previous();
    Bytes code_list(const std::vector<StoredCode> &codes) const;

    bool legacy_layout_ = false; // codes sent with the CM bit and the SPN most significant first
    uint8_t lamps_when_active_ = 0x04; // amber warning on
    std::vector<StoredCode> active_;
    std::vector<StoredCode> previous_;
    std::vector<StoredCode> pending_;
    std::vector<StoredCode> emission_active_;
    std::vector<StoredCode> previous_mil_;
    std::vector<StoredCode> still_present_; // come back as active after DM11
    std::vector<StoredFreezeFrame> freeze_frames_;
    std::vector<SupportedSpnEntry> supported_;
    std::vector<ExpandedFrame> expanded_;
    bool readiness_ = false;
    uint8_t obd_compliance_ = 5;
    uint8_t continuous_ = 0;              // DM5 byte 4
    uint16_t non_continuous_support_ = 0; // bytes 5-6
    uint16_t non_continuous_status_ = 0;  // bytes 7-8 (1: not complete)
    bool has_freeze_frames_ = false;
    bool has_emission_lists_ = false;
    ClearAnswer clear_answer_ = ClearAnswer::ack;
    int busy_answers_ = 0;
    int busy_left_ = 0;
};

} // namespace vehcan::sim

#endif
