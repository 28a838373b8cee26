// SPDX-License-Identifier: MIT
// The diagnostics as text: see diag_text.h.
#include "diag_text.h"

#include "dm_json.h"

#include <fmt/format.h>

namespace vehcan::diag {

namespace {

std::string spaced_hex(ByteView bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        s += fmt::format("{}{:02X}", s.empty() ? "" : " ", b);
    }
    return s;
}

std::string plural(size_t n, std::string_view one, std::string_view many) {
    return fmt::format("{} {}", n, n == 1 ? one : many);
}

std::string ecu_title(uint8_t address, const AddressNamer &namer) {
    const std::string name = namer ? namer(address) : "";
    return name.empty() ? fmt::format("ECU 0x{:02X}", address)
                        : fmt::format("ECU 0x{:02X} ({})", address, name);
}

std::string lamps_text(const Lamps &l) {
    return fmt::format("MIL {}, red stop {}, amber warning {}, protect {}",
                       lamp_text(l.malfunction), lamp_text(l.red_stop), lamp_text(l.amber_warning),
                       lamp_text(l.protect));
}

std::string value_text(const SpnValue &v) {
    const std::string label = v.name.empty() ? fmt::format("SPN {}", v.spn) : std::string(v.name);
    if (v.value) {
        return fmt::format("{} {}{}{}", label, number_text(*v.value), v.unit.empty() ? "" : " ",
                           v.unit);
    }
    if (!v.state.empty()) {
        return fmt::format("{} {}", label, v.state);
    }
    return fmt::format("{} [{}]", label, spaced_hex(v.raw));
}

std::string field_text(const SpnValue &v) {
    if (v.spn == 899 && v.value) {
        const auto mode = static_cast<unsigned>(*v.value);
        return fmt::format("torque mode {} ({})", torque_mode_text(mode), mode);
    }
    std::string key(v.key);
    std::replace(key.begin(), key.end(), '_', ' ');
    SpnValue named = v;
    named.name = key;
    return value_text(named);
}

void list_body(DmBody &b, const TroubleCodeList &l) {
    b.summary = fmt::format("{}; lamps {}",
                            l.codes.empty() ? "none" : plural(l.codes.size(), "code", "codes"),
                            lamps_text(l.lamps));
    for (const TroubleCode &c : l.codes) {
        b.lines.push_back(code_text(c));
    }
}

void freeze_frames_body(DmBody &b, const FreezeFrames &f) {
    b.summary = f.frames.empty() ? "none" : plural(f.frames.size(), "frame", "frames");
    for (const FreezeFrame &frame : f.frames) {
        b.lines.push_back(code_text(frame.code));
        std::string fields;
        for (const SpnValue &v : frame.fields) {
            fields += (fields.empty() ? "" : "; ") + field_text(v);
        }
        if (!fields.empty()) {
            b.lines.push_back("  " + fields);
        }
        if (!frame.manufacturer.empty()) {
            b.lines.push_back("  manufacturer bytes " + spaced_hex(frame.manufacturer));
        }
    }
}

std::string monitor_names(const Readiness &r, bool complete) {
    std::string names;
    for (const Monitor &m : r.monitors) {
        if (m.supported && m.complete == complete) {
            names += fmt::format("{}{}", names.empty() ? "" : ", ", m.name);
        }
    }
    return names;
}

void readiness_body(DmBody &b, const Readiness &r) {
    auto count = [](const std::optional<uint8_t> &n) {
        return n ? std::to_string(*n) : std::string("n/a");
    };
    const std::string_view obd = obd_compliance_text(r.obd_compliance);
    b.summary = fmt::format("{} active, {} previously active; OBD compliance {}{}", count(r.active),
                            count(r.previously_active), r.obd_compliance,
                            obd.empty() ? "" : fmt::format(" ({})", obd));
    b.lines.push_back("monitors: " + readiness_summary(r));
    if (const std::string done = monitor_names(r, true); !done.empty()) {
        b.lines.push_back("complete: " + done);
    }
}

void support_body(DmBody &b, const SpnSupport &support) {
    b.summary = plural(support.spns.size(), "SPN", "SPNs");
    for (const SupportedSpn &spn : support.spns) {
        std::string where;
        auto add = [&](bool yes, std::string_view what) {
            if (yes) {
                where += fmt::format("{}{}", where.empty() ? "" : ", ", what);
            }
        };
        add(spn.expanded_freeze_frame, "expanded freeze frame");
        add(spn.data_stream, "data stream");
        add(spn.test_results, "test results");
        b.lines.push_back(fmt::format("SPN {} ({}): {}", spn.spn,
                                      plural(spn.length, "byte", "bytes"),
                                      where.empty() ? "nowhere" : where));
    }
}

void expanded_body(DmBody &b, const ExpandedFreezeFrames &f) {
    b.summary = f.frames.empty() ? "none" : plural(f.frames.size(), "frame", "frames");
    for (const ExpandedFreezeFrame &frame : f.frames) {
        b.lines.push_back(code_text(frame.code));
        std::string values;
        for (const SpnValue &v : frame.values) {
            values += (values.empty() ? "" : "; ") + value_text(v);
        }
        if (!values.empty()) {
            b.lines.push_back("  " + values);
        }
        if (!frame.manufacturer.empty()) {
            b.lines.push_back("  manufacturer bytes " + spaced_hex(frame.manufacturer));
        }
        if (!frame.undecoded.empty()) {
            b.lines.push_back("  without DM24: " + spaced_hex(frame.undecoded));
        }
    }
}

void dm_text(std::string &s, int dm, const DmResult &r) {
    const DmInfo *info = find_dm(dm);
    const DmBody b = dm_body(r);
    s += fmt::format("  {} {}: {}\n", info->acronym, info->title, b.summary);
    for (const std::string &line : b.lines) {
        s += fmt::format("    {}\n", line);
    }
}

std::string dm_names(const std::vector<int> &dms) {
    std::string s;
    for (int dm : dms) {
        s += fmt::format("{}DM{}", s.empty() ? "" : ", ", dm);
    }
    return s;
}

std::string seconds_text(Milliseconds ms) {
    return fmt::format("{:.1f} s", static_cast<double>(ms.count()) / 1000.0);
}

std::string target_text(const std::optional<uint8_t> &node) {
    return node ? fmt::format("0x{:02X}", *node) : "all nodes";
}

} // namespace

std::string number_text(double value) {
    std::string s = fmt::format("{:.3f}", value);
    while (!s.empty() && s.back() == '0') {
        s.pop_back();
    }
    if (!s.empty() && s.back() == '.') {
        s.pop_back();
    }
    return s == "-0" ? "0" : s;
}

DmBody dm_body(const DmResult &r) {
    DmBody b;
    if (r.outcome != Outcome::answered) {
        b.summary = outcome_text(r.outcome);
        return b;
    }
    std::visit(
        [&](const auto &v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, TroubleCodeList>) {
                list_body(b, v);
            } else if constexpr (std::is_same_v<T, FreezeFrames>) {
                freeze_frames_body(b, v);
            } else if constexpr (std::is_same_v<T, Readiness>) {
                readiness_body(b, v);
            } else if constexpr (std::is_same_v<T, SpnSupport>) {
                support_body(b, v);
            } else if constexpr (std::is_same_v<T, ExpandedFreezeFrames>) {
                expanded_body(b, v);
            } else {
                b.summary = "malformed: " + spaced_hex(r.data);
            }
            if constexpr (!std::is_same_v<T, std::monostate>) {
                if (!v.note.empty()) {
                    b.lines.push_back("note: " + v.note);
                }
            }
        },
        r.parsed);
    return b;
}

std::string code_text(const TroubleCode &c) {
    const std::string occurrences = c.occurrences == kOccurrencesNotAvailable
                                        ? "occurrences not available"
                                        : plural(c.occurrences, "occurrence", "occurrences");
    return fmt::format("SPN {} FMI {}, {}: {}{}{}", c.spn, c.fmi, occurrences,
                       c.description.empty() ? "" : c.description + ": ", fmi_text(c.fmi),
                       c.legacy ? " (legacy SPN layout)" : "");
}

std::string readiness_summary(const Readiness &r) {
    size_t supported = 0;
    size_t complete = 0;
    for (const Monitor &m : r.monitors) {
        supported += m.supported ? 1 : 0;
        complete += m.supported && m.complete ? 1 : 0;
    }
    if (supported == 0) {
        return "none supported";
    }
    const std::string pending = monitor_names(r, false);
    return fmt::format("{} of {} supported complete{}", complete, supported,
                       pending.empty() ? "" : "; not complete: " + pending);
}

std::string read_text(const ReadResult &r, const AddressNamer &namer) {
    size_t answered = 0;
    for (const EcuDiagnostics &ecu : r.ecus) {
        answered += std::any_of(ecu.dms.begin(), ecu.dms.end(),
                                [](const auto &d) { return d.second.outcome != Outcome::silent; })
                        ? 1U
                        : 0U;
    }
    std::string s = fmt::format("{} from {} (our address 0x{:02X}): {} answered in {}{}\n",
                                dm_names(r.requested), target_text(r.from_node), r.source,
                                plural(answered, "ECU", "ECUs"), seconds_text(r.took),
                                r.interrupted ? " (interrupted)" : "");
    for (const EcuDiagnostics &ecu : r.ecus) {
        s += fmt::format("\n{}\n", ecu_title(ecu.address, namer));
        for (const auto &[dm, result] : ecu.dms) {
            dm_text(s, dm, result);
        }
    }
    return s;
}

std::string preview_text(const ClearPreview &p, const ClearOptions &o, const AddressNamer &namer) {
    const int list_dm = cleared_list_dm(o.kind);
    std::string s = fmt::format("DM{} clears the {} of {}; read in {}:\n", clear_dm(o.kind),
                                o.kind == ClearKind::previous
                                    ? "previously active trouble codes (DM2)"
                                    : "active trouble codes (DM1), every freeze frame and the "
                                      "readiness monitors' completion",
                                target_text(o.to), seconds_text(p.before.took));
    if (p.before.ecus.empty()) {
        s += "  no ECU answered\n";
    }
    for (const EcuDiagnostics &ecu : p.before.ecus) {
        s += fmt::format("{}\n", ecu_title(ecu.address, namer));
        const auto list = ecu.dms.find(list_dm);
        if (list != ecu.dms.end() && list->second.outcome != Outcome::answered) {
            s += fmt::format("  DM{}: {}\n", list_dm, outcome_text(list->second.outcome));
        }
        const std::vector<TroubleCode> codes = codes_to_lose(ecu, o.kind);
        const std::vector<FreezeFrame> frames = freeze_frames_to_lose(ecu, o.kind);
        if (codes.empty() && frames.empty() && list != ecu.dms.end() &&
            list->second.outcome == Outcome::answered) {
            s += fmt::format("  no code in DM{}\n", list_dm);
        }
        for (const TroubleCode &c : codes) {
            s += fmt::format("  {}\n", code_text(c));
        }
        for (const FreezeFrame &f : frames) {
            s += fmt::format("  freeze frame of SPN {} FMI {}\n", f.code.spn, f.code.fmi);
        }
    }
    return s;
}

std::string clear_text(const ClearResult &r, const AddressNamer &namer) {
    if (r.safety.refusal != Refusal::none) {
        return fmt::format("DM{} to {} refused: {}\n", clear_dm(r.kind), target_text(r.to),
                           r.safety.reason);
    }
    std::string s = fmt::format("DM{} to {}: {} in {}{}\n", clear_dm(r.kind), target_text(r.to),
                                plural(r.ecus.size(), "ECU", "ECUs"), seconds_text(r.took),
                                r.interrupted ? " (interrupted)" : "");
    for (const EcuClear &e : r.ecus) {
        std::string answer(outcome_text(e.answer));
        if (e.busy_retries > 0) {
            answer += fmt::format(" after {}", plural(static_cast<size_t>(e.busy_retries),
                                                      "busy answer", "busy answers"));
        }
        s += fmt::format("  {}: {}; {}", ecu_title(e.address, namer), answer,
                         erasure_word(e.erasure));
        if (e.before_read || e.after_read) {
            s += fmt::format(" (DM{} {} before, {} after)", cleared_list_dm(r.kind),
                             e.before_read ? std::to_string(e.before.size()) : "n/a",
                             e.after_read ? std::to_string(e.after.size()) : "n/a");
        }
        s += "\n";
        for (const TroubleCode &c : e.after) {
            s += fmt::format("    now: {}\n", code_text(c));
        }
    }
    return s;
}

} // namespace vehcan::diag
