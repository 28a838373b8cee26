// SPDX-License-Identifier: MIT
// JSON of the diagnostic messages' content: see dm_json.h.
#include "dm_json.h"

namespace vehcan::diag {

std::string hex_string(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += kDigits[b >> 4U];
        s += kDigits[b & 0x0FU];
    }
    return s;
}

nlohmann::json code_json(const TroubleCode &c) {
    nlohmann::json j{{"spn", c.spn},
                     {"fmi", c.fmi},
                     {"fmi_text", fmi_text(c.fmi)},
                     {"occurrences", c.occurrences},
                     {"conversion", c.legacy ? "legacy" : "4"}};
    if (!c.description.empty()) {
        j["description"] = c.description;
    }
    return j;
}

nlohmann::json lamps_json(const Lamps &l, bool flash) {
    auto text = [flash](uint8_t s) { return flash ? flash_text(s) : lamp_text(s); };
    return {{"mil", text(l.malfunction)},
            {"red_stop", text(l.red_stop)},
            {"amber_warning", text(l.amber_warning)},
            {"protect", text(l.protect)}};
}

nlohmann::json code_list_json(const TroubleCodeList &l) {
    nlohmann::json codes = nlohmann::json::array();
    for (const TroubleCode &c : l.codes) {
        codes.push_back(code_json(c));
    }
    return {{"lamps", lamps_json(l.lamps, false)},
            {"flash", lamps_json(l.flash, true)},
            {"dtcs", codes}};
}

namespace {

nlohmann::json value_or_null(const SpnValue &v) {
    return v.value ? nlohmann::json(*v.value) : nlohmann::json(nullptr);
}

nlohmann::json spn_value_json(const SpnValue &v) {
    nlohmann::json j{{"spn", v.spn}, {"value", value_or_null(v)}, {"raw", hex_string(v.raw)}};
    if (!v.name.empty()) {
        j["name"] = v.name;
    }
    if (!v.unit.empty()) {
        j["unit"] = v.unit;
    }
    if (!v.state.empty()) {
        j["state"] = v.state;
    }
    return j;
}

} // namespace

nlohmann::json freeze_frames_json(const FreezeFrames &f) {
    nlohmann::json frames = nlohmann::json::array();
    for (const FreezeFrame &frame : f.frames) {
        nlohmann::json j = code_json(frame.code);
        for (const SpnValue &v : frame.fields) {
            if (v.spn == 899 && v.value) {
                const auto mode = static_cast<unsigned>(*v.value);
                j[std::string(v.key)] = mode;
                j["torque_mode_text"] = torque_mode_text(mode);
            } else {
                j[std::string(v.key)] = value_or_null(v);
            }
        }
        j["manufacturer"] = hex_string(frame.manufacturer);
        frames.push_back(j);
    }
    return frames;
}

nlohmann::json readiness_json(const Readiness &r) {
    nlohmann::json monitors = nlohmann::json::object();
    unsigned supported = 0;
    unsigned complete = 0;
    for (const Monitor &m : r.monitors) {
        supported += m.supported ? 1U : 0U;
        complete += m.supported && m.complete ? 1U : 0U;
        monitors[std::string(m.key)] = {
            {"name", m.name},
            {"continuous", m.continuous},
            {"supported", m.supported},
            {"complete", m.supported ? nlohmann::json(m.complete) : nlohmann::json(nullptr)}};
    }
    auto count = [](const std::optional<uint8_t> &n) {
        return n ? nlohmann::json(*n) : nlohmann::json(nullptr);
    };
    return {{"active", count(r.active)},
            {"previously_active", count(r.previously_active)},
            {"obd_compliance", r.obd_compliance},
            {"obd_compliance_text", obd_compliance_text(r.obd_compliance)},
            {"monitors", monitors},
            {"monitors_supported", supported},
            {"monitors_complete", complete}};
}

nlohmann::json spn_support_json(const SpnSupport &s) {
    nlohmann::json spns = nlohmann::json::array();
    for (const SupportedSpn &spn : s.spns) {
        spns.push_back({{"spn", spn.spn},
                        {"length", spn.length},
                        {"expanded_freeze_frame", spn.expanded_freeze_frame},
                        {"data_stream", spn.data_stream},
                        {"test_results", spn.test_results}});
    }
    return spns;
}

nlohmann::json expanded_freeze_frames_json(const ExpandedFreezeFrames &f) {
    nlohmann::json frames = nlohmann::json::array();
    for (const ExpandedFreezeFrame &frame : f.frames) {
        nlohmann::json j = code_json(frame.code);
        nlohmann::json values = nlohmann::json::array();
        for (const SpnValue &v : frame.values) {
            values.push_back(spn_value_json(v));
        }
        j["values"] = values;
        j["manufacturer"] = hex_string(frame.manufacturer);
        if (!frame.undecoded.empty()) {
            j["undecoded"] = hex_string(frame.undecoded);
        }
        frames.push_back(j);
    }
    return frames;
}

} // namespace vehcan::diag
