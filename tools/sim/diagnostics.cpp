// SPDX-License-Identifier: MIT
// The simulated ECUs' diagnostic memories: see diagnostics.h.
#include "diagnostics.h"

#include "truck_pgns.h"

#include <algorithm>

namespace vehcan::sim {

namespace {

using namespace pgn;

// One trouble code's four bytes. Version 4: the SPN least significant byte
// first, its top three bits above the FMI, the CM bit 0. The older layout:
// the SPN's 19 bits most significant first, the CM bit 1.
void put_code(Bytes &out, const StoredCode &c, bool legacy) {
    const uint32_t spn = c.spn;
    if (legacy) {
        out.push_back(static_cast<uint8_t>(spn >> 11U));
        out.push_back(static_cast<uint8_t>(spn >> 3U));
        out.push_back(static_cast<uint8_t>((spn & 7U) << 5U | c.fmi));
        out.push_back(static_cast<uint8_t>(0x80U | c.occurrences));
    } else {
        out.push_back(static_cast<uint8_t>(spn));
        out.push_back(static_cast<uint8_t>(spn >> 8U));
        out.push_back(static_cast<uint8_t>((spn >> 16U) << 5U | c.fmi));
        out.push_back(c.occurrences);
    }
}

bool same(const StoredCode &a, const StoredCode &b) {
    return a.spn == b.spn && a.fmi == b.fmi;
}

void remove_code(std::vector<StoredCode> &codes, const StoredCode &c) {
    codes.erase(
        std::remove_if(codes.begin(), codes.end(), [&](const StoredCode &x) { return same(x, c); }),
        codes.end());
}

bool holds(const std::vector<StoredCode> &codes, const StoredCode &c) {
    return std::any_of(codes.begin(), codes.end(), [&](const StoredCode &x) { return same(x, c); });
}

// "No freeze frame": a length of zero, the rest padding.
const Bytes kNoFrames = {0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF};

constexpr uint32_t kOverheatSpn = 110;
constexpr uint8_t kOverheatFmi = 16;

} // namespace

// ---- the simulated ECUs ---------------------------------------------------------------------

DiagnosticMemory DiagnosticMemory::engine() {
    DiagnosticMemory m;
    m.active_ = {{kOverheatSpn, kOverheatFmi, 1}};
    m.previous_ = {{100, 1, 3}, {190, 2, 1}, {520192, 7, 12}};
    m.pending_ = {{3226, 2, 1}};
    m.previous_mil_ = {{3251, 0, 2}};
    m.has_emission_lists_ = true;
    // Torque mode, boost, engine speed (2), load, coolant, vehicle speed (2).
    m.freeze_frames_ = {
        {{kOverheatSpn, kOverheatFmi, 1},
         {0x01, 0x5A, 0xE0, 0x2E, 0x2D, 0x96, 0x00, 0x50},
         {0xA1, 0xB2, 0xC3}},
        {{100, 1, 3}, {0x00, 0x32, 0x50, 0x14, 0x0C, 0x78, 0x00, 0x00}, {}},
    };
    m.supported_ = {
        {190, true, true, false, 2},  {110, true, true, false, 1}, {84, true, true, false, 2},
        {102, true, false, false, 1}, {91, false, true, false, 1}, {3226, false, false, true, 2},
    };
    // 190, 110, 84 and 102 in DM24's order, then two bytes of the maker's.
    m.expanded_ = {
        {{kOverheatSpn, kOverheatFmi, 1}, {0xE0, 0x2E, 0x96, 0x00, 0x50, 0x5A, 0xDE, 0xAD}}};
    m.has_freeze_frames_ = true;
    m.readiness_ = true;
    m.obd_compliance_ = 20; // HD OBD
    // Fuel system and comprehensive component supported, fuel system not
    // complete; EGR, boost pressure control, DPF and NOx catalyst supported,
    // the DPF not complete.
    m.continuous_ = 0x26;
    m.non_continuous_support_ = 0x0E80;
    m.non_continuous_status_ = 0x0400;
    m.clear_answer_ = ClearAnswer::ack;
    return m;
}

DiagnosticMemory DiagnosticMemory::transmission() {
    DiagnosticMemory m;
    m.legacy_layout_ = true;
    m.active_ = {{177, 0, 2}};
    m.previous_ = {{127, 3, 1}, {161, 8, 4}};
    m.readiness_ = true;
    m.obd_compliance_ = 5; // not an OBD ECU
    m.clear_answer_ = ClearAnswer::nack;
    return m;
}

DiagnosticMemory DiagnosticMemory::brakes() {
    DiagnosticMemory m;
    m.active_ = {{1809, 14, 1}, {1810, 3, 2}};
    m.still_present_ = {{1809, 14, 1}};
    m.previous_ = {{1811, 2, 2}};
    m.readiness_ = true;
    m.obd_compliance_ = 5;
    m.clear_answer_ = ClearAnswer::busy_then_ack;
    m.busy_answers_ = 2;
    m.busy_left_ = 2;
    return m;
}

DiagnosticMemory DiagnosticMemory::body_controller() {
    DiagnosticMemory m;
    m.active_ = {{2634, 5, 1}};
    m.previous_ = {{2635, 6, 1}};
    m.clear_answer_ = ClearAnswer::silent;
    return m;
}

// ---- payloads ---------------------------------------------------------------------------------

Bytes DiagnosticMemory::code_list(const std::vector<StoredCode> &codes) const {
    Bytes out = {codes.empty() ? uint8_t{0x00} : lamps_when_active_, 0xFF};
    if (codes.empty()) {
        out.resize(6, 0x00); // "no code": SPN 0, FMI 0
    }
    for (const StoredCode &c : codes) {
        put_code(out, c, legacy_layout_);
    }
    out.resize(std::max<size_t>(out.size(), 8), 0xFF);
    return out;
}

std::optional<Bytes> DiagnosticMemory::payload(uint32_t pgn) const {
    switch (pgn) {
    case kPgnDm1:
        return code_list(active_);
    case kPgnDm2:
        return code_list(previous_);
    case kPgnDm6:
    case kPgnDm12:
    case kPgnDm23:
        if (!has_emission_lists_) {
            return std::nullopt;
        }
        return code_list(pgn == kPgnDm6    ? pending_
                         : pgn == kPgnDm12 ? emission_active_
                                           : previous_mil_);
    case kPgnDm4: {
        if (!has_freeze_frames_) {
            return std::nullopt;
        }
        if (freeze_frames_.empty()) {
            return kNoFrames;
        }
        Bytes out;
        for (const StoredFreezeFrame &f : freeze_frames_) {
            out.push_back(static_cast<uint8_t>(4 + f.fields.size() + f.manufacturer.size()));
            put_code(out, f.code, legacy_layout_);
            out.insert(out.end(), f.fields.begin(), f.fields.end());
            out.insert(out.end(), f.manufacturer.begin(), f.manufacturer.end());
        }
        return out;
    }
    case kPgnDm5: {
        if (!readiness_) {
            return std::nullopt;
        }
        return Bytes{static_cast<uint8_t>(active_.size()),
                     static_cast<uint8_t>(previous_.size()),
                     obd_compliance_,
                     continuous_,
                     static_cast<uint8_t>(non_continuous_support_),
                     static_cast<uint8_t>(non_continuous_support_ >> 8U),
                     static_cast<uint8_t>(non_continuous_status_),
                     static_cast<uint8_t>(non_continuous_status_ >> 8U)};
    }
    case kPgnDm24: {
        if (!has_freeze_frames_) {
            return std::nullopt;
        }
        Bytes out;
        for (const SupportedSpnEntry &s : supported_) {
            // Bits 1-3: 0 supported, 1 not; bits 4-5 reserved (1).
            const unsigned flags = (s.freeze_frame ? 0U : 1U) | (s.data_stream ? 0U : 2U) |
                                   (s.test_results ? 0U : 4U) | 0x18U;
            out.push_back(static_cast<uint8_t>(s.spn));
            out.push_back(static_cast<uint8_t>(s.spn >> 8U));
            out.push_back(static_cast<uint8_t>((s.spn >> 16U) << 5U | flags));
            out.push_back(s.length);
        }
        return out;
    }
    case kPgnDm25: {
        if (!has_freeze_frames_) {
            return std::nullopt;
        }
        if (expanded_.empty()) {
            return kNoFrames;
        }
        Bytes out;
        for (const ExpandedFrame &f : expanded_) {
            out.push_back(static_cast<uint8_t>(4 + f.values.size()));
            put_code(out, f.code, legacy_layout_);
            out.insert(out.end(), f.values.begin(), f.values.end());
        }
        return out;
    }
    default:
        return std::nullopt;
    }
}

// ---- clears -------------------------------------------------------------------------------------

ClearReply DiagnosticMemory::clear(uint32_t pgn) {
    switch (clear_answer_) {
    case ClearAnswer::nack:
        return ClearReply::nack;
    case ClearAnswer::silent:
        return ClearReply::none;
    case ClearAnswer::busy_then_ack:
        if (busy_left_ > 0) {
            --busy_left_;
            return ClearReply::busy;
        }
        busy_left_ = busy_answers_; // the next clear finds it busy again
        break;
    case ClearAnswer::ack:
        break;
    }
    if (pgn == kPgnDm11) {
        clear_active();
    } else {
        clear_previous();
    }
    return ClearReply::ack;
}

void DiagnosticMemory::clear_active() {
    // Everything that goes with active codes: their freeze frames and the
    // readiness monitors, which must run to completion again.
    active_.clear();
    pending_.clear();
    emission_active_.clear();
    freeze_frames_.clear();
    expanded_.clear();
    non_continuous_status_ = non_continuous_support_;
    continuous_ = static_cast<uint8_t>((continuous_ & 0x0FU) | (continuous_ & 0x07U) << 4U);
    // A fault still there is found again at once.
    active_ = still_present_;
}

void DiagnosticMemory::clear_previous() {
    freeze_frames_.erase(
        std::remove_if(freeze_frames_.begin(), freeze_frames_.end(),
                       [&](const StoredFreezeFrame &f) { return holds(previous_, f.code); }),
        freeze_frames_.end());
    previous_.clear();
    previous_mil_.clear();
}

void DiagnosticMemory::overheat(bool present) {
    const StoredCode fault{kOverheatSpn, kOverheatFmi, 1};
    if (present) {
        remove_code(previous_, fault);
        if (!holds(active_, fault)) {
            active_.push_back(fault);
        }
    } else if (holds(active_, fault)) {
        remove_code(active_, fault);
        if (!holds(previous_, fault)) {
            previous_.push_back(fault);
        }
    }
}

} // namespace vehcan::sim
