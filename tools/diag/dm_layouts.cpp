// SPDX-License-Identifier: MIT
// The diagnostic messages' layouts: see dm_layouts.h. The tables (DMs,
// scalings, monitors, texts) are data; the parsers only walk bytes.
#include "dm_layouts.h"

#include <algorithm>

namespace vehcan::diag {

namespace {

// ---- tables ------------------------------------------------------------------------------

constexpr std::array kDms{
    DmInfo{1, kPgnDm1, "DM1", "active trouble codes"},
    DmInfo{2, kPgnDm2, "DM2", "previously active trouble codes"},
    DmInfo{3, kPgnDm3, "DM3", "clear previously active trouble codes"},
    DmInfo{4, kPgnDm4, "DM4", "freeze frames"},
    DmInfo{5, kPgnDm5, "DM5", "diagnostic readiness"},
    DmInfo{6, kPgnDm6, "DM6", "pending emission-related trouble codes"},
    DmInfo{11, kPgnDm11, "DM11", "clear active trouble codes"},
    DmInfo{12, kPgnDm12, "DM12", "emission-related active trouble codes"},
    DmInfo{13, kPgnDm13, "DM13", "stop/start broadcast"},
    DmInfo{23, kPgnDm23, "DM23", "previously MIL-on emission-related trouble codes"},
    DmInfo{24, kPgnDm24, "DM24", "SPNs supported"},
    DmInfo{25, kPgnDm25, "DM25", "expanded freeze frames"},
};

constexpr std::array<std::string_view, 32> kFmiTexts{
    "data valid but above normal operational range, most severe level",
    "data valid but below normal operational range, most severe level",
    "data erratic, intermittent or incorrect",
    "voltage above normal, or shorted to high source",
    "voltage below normal, or shorted to low source",
    "current below normal or open circuit",
    "current above normal or grounded circuit",
    "mechanical system not responding or out of adjustment",
    "abnormal frequency or pulse width or period",
    "abnormal update rate",
    "abnormal rate of change",
    "root cause not known",
    "bad intelligent device or component",
    "out of calibration",
    "special instructions",
    "data valid but above normal operating range, least severe level",
    "data valid but above normal operating range, moderately severe level",
    "data valid but below normal operating range, least severe level",
    "data valid but below normal operating range, moderately severe level",
    "received network data in error",
    "data drifted high",
    "data drifted low",
    "reserved",
    "reserved",
    "reserved",
    "reserved",
    "reserved",
    "reserved",
    "reserved",
    "reserved",
    "reserved",
    "condition exists",
};

struct KnownScaling {
    uint32_t spn;
    std::string_view name;
    double resolution;
    double offset;
    std::string_view unit;
};

constexpr std::array kKnownScalings{
    KnownScaling{84, "wheel-based vehicle speed", 1.0 / 256.0, 0.0, "km/h"},
    KnownScaling{91, "accelerator pedal position 1", 0.4, 0.0, "%"},
    KnownScaling{92, "engine percent load at current speed", 1.0, 0.0, "%"},
    KnownScaling{96, "fuel level 1", 0.4, 0.0, "%"},
    KnownScaling{100, "engine oil pressure", 4.0, 0.0, "kPa"},
    KnownScaling{102, "boost pressure", 2.0, 0.0, "kPa"},
    KnownScaling{105, "intake manifold 1 temperature", 1.0, -40.0, "°C"},
    KnownScaling{108, "barometric pressure", 0.5, 0.0, "kPa"},
    KnownScaling{110, "engine coolant temperature", 1.0, -40.0, "°C"},
    KnownScaling{168, "battery potential", 0.05, 0.0, "V"},
    KnownScaling{175, "engine oil temperature 1", 0.03125, -273.0, "°C"},
    KnownScaling{190, "engine speed", 0.125, 0.0, "rpm"},
    KnownScaling{512, "driver's demand engine percent torque", 1.0, -125.0, "%"},
    KnownScaling{513, "actual engine percent torque", 1.0, -125.0, "%"},
    KnownScaling{899, "engine torque mode", 1.0, 0.0, ""},
};

// The standard fields of a DM4 freeze frame, after its code.
struct StandardField {
    std::string_view key;
    uint32_t spn;
    size_t size;
};
constexpr std::array kStandardFields{
    StandardField{"torque_mode", 899, 1},         StandardField{"boost", 102, 1},
    StandardField{"engine_speed", 190, 2},        StandardField{"engine_load", 92, 1},
    StandardField{"coolant_temperature", 110, 1}, StandardField{"vehicle_speed", 84, 2},
};
constexpr size_t kCodeBytes = 4;

constexpr std::array<std::string_view, 16> kTorqueModes{
    "low idle governor/no request",
    "accelerator pedal/operator selection",
    "cruise control",
    "PTO governor",
    "road speed governor",
    "ASR control",
    "transmission control",
    "ABS control",
    "torque limiting",
    "high speed governor",
    "braking system",
    "remote accelerator",
    "service procedure",
    "not defined",
    "other",
    "not available",
};

constexpr std::array<std::string_view, 22> kObdCompliance{
    "",                                      // 0: reserved
    "OBD II (California ARB)",               // 1
    "OBD (federal EPA)",                     // 2
    "OBD and OBD II",                        // 3
    "OBD I",                                 // 4
    "not intended to meet OBD II",           // 5
    "EOBD",                                  // 6
    "EOBD and OBD II",                       // 7
    "EOBD and OBD",                          // 8
    "EOBD, OBD and OBD II",                  // 9
    "JOBD",                                  // 10
    "JOBD and OBD II",                       // 11
    "JOBD and EOBD",                         // 12
    "JOBD, EOBD and OBD II",                 // 13
    "heavy duty vehicles (EURO IV) B1",      // 14
    "heavy duty vehicles (EURO V) B2",       // 15
    "heavy duty vehicles (EURO EEC) C",      // 16
    "engine manufacturer diagnostics (EMD)", // 17
    "EMD+",                                  // 18
    "HD OBD P",                              // 19
    "HD OBD",                                // 20
    "WWH OBD",                               // 21
};

// The monitors of DM5 and their bits: continuous ones in byte 4 (support in
// bits 1-3, status four bits higher), non-continuous ones across bytes 5-6
// (support) and 7-8 (status), bit 0 of byte 5 first.
struct MonitorBit {
    std::string_view key;
    std::string_view name;
    bool continuous;
    unsigned bit;
};
constexpr std::array kMonitors{
    MonitorBit{"misfire", "misfire", true, 0},
    MonitorBit{"fuel_system", "fuel system", true, 1},
    MonitorBit{"comprehensive_component", "comprehensive component", true, 2},
    MonitorBit{"catalyst", "catalyst", false, 0},
    MonitorBit{"heated_catalyst", "heated catalyst", false, 1},
    MonitorBit{"evaporative_system", "evaporative system", false, 2},
    MonitorBit{"secondary_air_system", "secondary air system", false, 3},
    MonitorBit{"ac_refrigerant", "A/C system refrigerant", false, 4},
    MonitorBit{"exhaust_gas_sensor", "exhaust gas sensor", false, 5},
    MonitorBit{"exhaust_gas_sensor_heater", "exhaust gas sensor heater", false, 6},
    MonitorBit{"egr_vvt_system", "EGR/VVT system", false, 7},
    MonitorBit{"cold_start_aid", "cold start aid system", false, 8},
    MonitorBit{"boost_pressure_control", "boost pressure control system", false, 9},
    MonitorBit{"diesel_particulate_filter", "diesel particulate filter", false, 10},
    MonitorBit{"nox_catalyst", "NOx converting catalyst/adsorber", false, 11},
    MonitorBit{"nmhc_catalyst", "NMHC converting catalyst", false, 12},
};

std::string bytes_note(size_t n, std::string_view what) {
    return std::to_string(n) + (n == 1 ? " byte " : " bytes ") + std::string(what);
}

void add_note(std::string &note, const std::string &more) {
    note += note.empty() ? more : "; " + more;
}

uint64_t little_endian(ByteView raw) {
    uint64_t v = 0;
    for (size_t i = raw.size(); i > 0; --i) {
        v = v << 8U | raw[i - 1];
    }
    return v;
}

// Walks the frames of DM4 or DM25: a length byte, then that many bytes
// that start with a trouble code. Calls frame(code, first byte after the
// code, end) for each. A length of 0 ends the list (the rest is padding).
template <typename Frame>
void walk_frames(ByteView data, SpnConversion method, std::string &note, Frame frame) {
    size_t at = 0;
    while (at < data.size()) {
        const size_t length = data[at];
        if (length == 0) {
            break;
        }
        const size_t begin = at + 1;
        size_t end = begin + length;
        if (end > data.size()) {
            add_note(note, "a frame of " + bytes_note(length, "runs past the message's end"));
            end = data.size();
        }
        if (end - begin < kCodeBytes) {
            add_note(note, bytes_note(end - begin, "too few for a trouble code"));
            break;
        }
        frame(parse_trouble_code(&data[begin], method), begin + kCodeBytes, end);
        at = end;
    }
}

Bytes slice(ByteView data, size_t begin, size_t end) {
    return {data.begin() + static_cast<std::ptrdiff_t>(begin),
            data.begin() + static_cast<std::ptrdiff_t>(end)};
}

} // namespace

// ---- DM table ---------------------------------------------------------------------------

std::span<const DmInfo> dm_table() {
    return kDms;
}

const DmInfo *find_dm(int number) {
    const auto *it = std::find_if(kDms.begin(), kDms.end(),
                                  [number](const DmInfo &d) { return d.number == number; });
    return it != kDms.end() ? &*it : nullptr;
}

const DmInfo *find_dm_by_pgn(uint32_t pgn) {
    const auto *it =
        std::find_if(kDms.begin(), kDms.end(), [pgn](const DmInfo &d) { return d.pgn == pgn; });
    return it != kDms.end() ? &*it : nullptr;
}

bool is_trouble_code_list(uint32_t pgn) {
    return pgn == kPgnDm1 || pgn == kPgnDm2 || pgn == kPgnDm6 || pgn == kPgnDm12 || pgn == kPgnDm23;
}

// ---- trouble codes ---------------------------------------------------------------------

std::optional<SpnConversion> parse_spn_conversion(std::string_view text) {
    if (text == "auto") {
        return SpnConversion::automatic;
    }
    if (text == "4") {
        return SpnConversion::version4;
    }
    if (text == "legacy") {
        return SpnConversion::legacy;
    }
    return std::nullopt;
}

std::string_view spn_conversion_name(SpnConversion c) {
    switch (c) {
    case SpnConversion::version4:
        return "4";
    case SpnConversion::legacy:
        return "legacy";
    default:
        return "auto";
    }
}

TroubleCode parse_trouble_code(const uint8_t *four, SpnConversion method) {
    TroubleCode c;
    c.cm_bit = (four[3] & 0x80U) != 0;
    c.occurrences = static_cast<uint8_t>(four[3] & 0x7FU);
    c.fmi = static_cast<uint8_t>(four[2] & 0x1FU);
    c.legacy = method == SpnConversion::legacy || (method == SpnConversion::automatic && c.cm_bit);
    const uint32_t top3 = static_cast<uint32_t>(four[2]) >> 5U;
    if (c.legacy) {
        c.spn = static_cast<uint32_t>(four[0]) << 11U | static_cast<uint32_t>(four[1]) << 3U | top3;
    } else {
        c.spn = four[0] | static_cast<uint32_t>(four[1]) << 8U | top3 << 16U;
    }
    return c;
}

std::array<uint8_t, 4> encode_trouble_code(const TroubleCode &code) {
    const uint32_t spn = code.spn & kMaxSpn;
    const uint8_t fmi = code.fmi & 0x1FU;
    std::array<uint8_t, 4> b{};
    if (code.legacy) {
        b[0] = static_cast<uint8_t>(spn >> 11U);
        b[1] = static_cast<uint8_t>(spn >> 3U);
        b[2] = static_cast<uint8_t>((spn & 0x7U) << 5U | fmi);
    } else {
        b[0] = static_cast<uint8_t>(spn);
        b[1] = static_cast<uint8_t>(spn >> 8U);
        b[2] = static_cast<uint8_t>((spn >> 16U) << 5U | fmi);
    }
    b[3] = static_cast<uint8_t>((code.legacy ? 0x80U : 0U) | (code.occurrences & 0x7FU));
    return b;
}

Lamps parse_lamps(uint8_t byte) {
    return Lamps{static_cast<uint8_t>(byte >> 6U & 3U), static_cast<uint8_t>(byte >> 4U & 3U),
                 static_cast<uint8_t>(byte >> 2U & 3U), static_cast<uint8_t>(byte & 3U)};
}

TroubleCodeList parse_trouble_code_list(ByteView data, SpnConversion method) {
    TroubleCodeList list;
    if (data.size() < 2) {
        list.note = bytes_note(data.size(), "(lamps and flash take 2)");
        return list;
    }
    list.lamps = parse_lamps(data[0]);
    list.flash = parse_lamps(data[1]);
    size_t at = 2;
    for (; at + kCodeBytes <= data.size(); at += kCodeBytes) {
        const uint8_t *four = &data[at];
        if (four[0] == 0xFF && four[1] == 0xFF && four[2] == 0xFF) {
            continue; // padding
        }
        TroubleCode c = parse_trouble_code(four, method);
        if (c.spn == 0 && c.fmi == 0) {
            continue; // "no code"
        }
        list.codes.push_back(std::move(c));
    }
    // A single frame with one code ends with two bytes of padding: not worth a note.
    const size_t left = data.size() - at;
    const bool padding = std::all_of(data.begin() + static_cast<std::ptrdiff_t>(at), data.end(),
                                     [](uint8_t b) { return b == 0xFF; });
    if (left > 0 && !padding) {
        list.note = bytes_note(left, "after the last whole code ignored");
    }
    return list;
}

// ---- parameter values ----------------------------------------------------------------------

std::optional<SpnScaling> known_scaling(uint32_t spn) {
    const auto *it = std::find_if(kKnownScalings.begin(), kKnownScalings.end(),
                                  [spn](const KnownScaling &k) { return k.spn == spn; });
    if (it == kKnownScalings.end()) {
        return std::nullopt;
    }
    return SpnScaling{it->name, it->resolution, it->offset, it->unit};
}

SpnValue make_spn_value(uint32_t spn, ByteView raw, const std::optional<SpnScaling> &scaling) {
    SpnValue v;
    v.spn = spn;
    v.raw.assign(raw.begin(), raw.end());
    if (scaling) {
        v.name = scaling->name;
        v.unit = scaling->unit;
    }
    if (raw.empty() || raw.size() > 4 || !scaling) {
        return v;
    }
    // The most significant byte tells the ranges apart whatever the width:
    // up to FA valid, FE error, FF not available, FB-FD reserved.
    const uint8_t top = raw.back();
    if (top <= 0xFA) {
        v.value = static_cast<double>(little_endian(raw)) * scaling->resolution + scaling->offset;
    } else if (top == 0xFE) {
        v.state = "error";
    } else if (top == 0xFF) {
        v.state = "not available";
    } else {
        v.state = "reserved";
    }
    return v;
}

// ---- freeze frames ----------------------------------------------------------------------------

FreezeFrames parse_freeze_frames(ByteView data, SpnConversion method) {
    FreezeFrames out;
    walk_frames(data, method, out.note, [&](const TroubleCode &code, size_t at, size_t end) {
        FreezeFrame f;
        f.code = code;
        f.fields.reserve(kStandardFields.size());
        for (const StandardField &s : kStandardFields) {
            if (at + s.size > end) {
                break;
            }
            SpnValue v;
            if (s.spn == 899) {
                // Four bits; the byte's upper half is not defined.
                const uint8_t mode = data[at] & 0x0FU;
                v.spn = 899;
                v.raw = {data[at]};
                v.name = "engine torque mode";
                if (mode == 0x0F) {
                    v.state = "not available";
                } else {
                    v.value = mode;
                }
            } else {
                v = make_spn_value(s.spn, data.subspan(at, s.size), known_scaling(s.spn));
            }
            v.key = s.key;
            f.fields.push_back(std::move(v));
            at += s.size;
        }
        if (f.fields.size() == kStandardFields.size()) {
            f.manufacturer = slice(data, at, end);
        }
        out.frames.push_back(std::move(f));
    });
    return out;
}

std::string_view torque_mode_text(unsigned mode) {
    if (mode >= kTorqueModes.size()) {
        return "invalid";
    }
    return kTorqueModes[mode];
}

// ---- readiness --------------------------------------------------------------------------------

std::optional<Readiness> parse_readiness(ByteView data) {
    if (data.size() < 8) {
        return std::nullopt;
    }
    Readiness r;
    if (data[0] <= 0xFA) {
        r.active = data[0];
    }
    if (data[1] <= 0xFA) {
        r.previously_active = data[1];
    }
    r.obd_compliance = data[2];
    const unsigned support = data[4] | static_cast<unsigned>(data[5]) << 8U;
    const unsigned status = data[6] | static_cast<unsigned>(data[7]) << 8U;
    r.monitors.reserve(kMonitors.size());
    for (const MonitorBit &m : kMonitors) {
        Monitor out;
        out.key = m.key;
        out.name = m.name;
        out.continuous = m.continuous;
        if (m.continuous) {
            const unsigned byte3 = data[3];
            out.supported = (byte3 >> m.bit & 1U) != 0;
            out.complete = (byte3 >> (m.bit + 4U) & 1U) == 0;
        } else {
            out.supported = (support >> m.bit & 1U) != 0;
            out.complete = (status >> m.bit & 1U) == 0;
        }
        r.monitors.push_back(out);
    }
    if (data.size() > 8) {
        r.note = bytes_note(data.size() - 8, "after the 8 of DM5 ignored");
    }
    return r;
}

std::string_view obd_compliance_text(unsigned value) {
    if (value < kObdCompliance.size()) {
        return kObdCompliance[value];
    }
    switch (value) {
    case 0xFE:
        return "error";
    case 0xFF:
        return "not available";
    default:
        return "";
    }
}

// ---- DM24 and DM25
// -------------------------------------------------------------------------------

SpnSupport parse_spn_support(ByteView data) {
    SpnSupport out;
    size_t at = 0;
    for (; at + 4 <= data.size(); at += 4) {
        const uint8_t *b = &data[at];
        if (b[0] == 0xFF && b[1] == 0xFF && b[2] == 0xFF && b[3] == 0xFF) {
            continue; // padding
        }
        SupportedSpn s;
        s.spn = b[0] | static_cast<uint32_t>(b[1]) << 8U | static_cast<uint32_t>(b[2] >> 5U) << 16U;
        s.expanded_freeze_frame = (b[2] & 0x01U) == 0;
        s.data_stream = (b[2] & 0x02U) == 0;
        s.test_results = (b[2] & 0x04U) == 0;
        s.length = b[3];
        out.spns.push_back(s);
    }
    const bool padding = std::all_of(data.begin() + static_cast<std::ptrdiff_t>(at), data.end(),
                                     [](uint8_t b) { return b == 0xFF; });
    if (at < data.size() && !padding) {
        out.note = bytes_note(data.size() - at, "after the last whole SPN ignored");
    }
    return out;
}

ExpandedFreezeFrames parse_expanded_freeze_frames(ByteView data, const SpnSupport *support,
                                                  SpnConversion method,
                                                  const ScalingLookup &scaling) {
    ExpandedFreezeFrames out;
    walk_frames(data, method, out.note, [&](const TroubleCode &code, size_t at, size_t end) {
        ExpandedFreezeFrame f;
        f.code = code;
        if (support == nullptr) {
            f.undecoded = slice(data, at, end);
            out.frames.push_back(std::move(f));
            return;
        }
        for (const SupportedSpn &s : support->spns) {
            if (!s.expanded_freeze_frame) {
                continue;
            }
            if (at + s.length > end) {
                add_note(out.note, "SPN " + std::to_string(s.spn) +
                                       " of DM24 runs past its freeze frame's end");
                at = end;
                break;
            }
            std::optional<SpnScaling> how = known_scaling(s.spn);
            if (!how && scaling) {
                how = scaling(s.spn);
            }
            f.values.push_back(make_spn_value(s.spn, data.subspan(at, s.length), how));
            at += s.length;
        }
        f.manufacturer = slice(data, at, end);
        out.frames.push_back(std::move(f));
    });
    return out;
}

// ---- DM13, acknowledgement, request
// -------------------------------------------------------------------

std::array<uint8_t, 8> encode_dm13(BroadcastCommand command) {
    std::array<uint8_t, 8> b{};
    b.fill(0xFF);
    switch (command) {
    case BroadcastCommand::stop:
        b[0] = 0x3F; // current data link 00, the others 11
        break;
    case BroadcastCommand::start:
        b[0] = 0x7F; // current data link 01
        break;
    case BroadcastCommand::hold:
        b[3] = 0x0F; // hold signal 0000: all devices
        break;
    }
    return b;
}

std::optional<Acknowledgement> parse_acknowledgement(ByteView data) {
    if (data.size() < 8) {
        return std::nullopt;
    }
    return Acknowledgement{data[0], data[4],
                           data[5] | static_cast<uint32_t>(data[6]) << 8U |
                               static_cast<uint32_t>(data[7]) << 16U};
}

std::array<uint8_t, 3> encode_request(uint32_t pgn) {
    return {static_cast<uint8_t>(pgn), static_cast<uint8_t>(pgn >> 8U),
            static_cast<uint8_t>(pgn >> 16U)};
}

// ---- texts
// -------------------------------------------------------------------------------------------

std::string_view fmi_text(int fmi) {
    if (fmi < 0 || fmi >= 32) {
        return "invalid";
    }
    return kFmiTexts[static_cast<size_t>(fmi)];
}

std::string_view lamp_text(int status) {
    static constexpr std::array<std::string_view, 4> texts{"off", "on", "reserved",
                                                           "not available"};
    if (status < 0 || status >= 4) {
        return "invalid";
    }
    return texts[static_cast<size_t>(status)];
}

std::string_view flash_text(int status) {
    static constexpr std::array<std::string_view, 4> texts{"slow flash", "fast flash", "reserved",
                                                           "no flash"};
    if (status < 0 || status >= 4) {
        return "invalid";
    }
    return texts[static_cast<size_t>(status)];
}

} // namespace vehcan::diag
