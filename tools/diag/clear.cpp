// SPDX-License-Identifier: MIT
// Clearing trouble codes with the safety check and a verified result per
// ECU: see clear.h.
#include "clear.h"

#include "dm_json.h"

#include <failure.h>

#include <algorithm>
#include <fmt/format.h>
#include <set>

namespace vehcan::diag {

// ---- the safety check ------------------------------------------------------------------------

namespace {

// A 2-byte parameter's raw value, when it lies in the valid range.
std::optional<uint16_t> valid_u16(const Bytes &data, size_t at) {
    if (data.size() < at + 2 || data[at + 1] > 0xFA) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(data[at] | data[at + 1] << 8U);
}

void keep_highest(std::optional<double> &value, std::optional<uint8_t> &source, double v,
                  uint8_t from) {
    if (!value || v > *value) {
        value = v;
        source = from;
    }
}

std::string from_text(const std::optional<uint8_t> &source) {
    return source ? fmt::format(" from 0x{:02X}", *source) : "";
}

} // namespace

void take_live(LiveState &state, const BusEvent &e) {
    if (e.kind != BusEvent::Kind::message) {
        return;
    }
    if (e.pgn == kPgnCcvs) {
        if (const auto raw = valid_u16(e.data, 1)) {
            keep_highest(state.vehicle_speed, state.vehicle_speed_source, *raw / 256.0, e.source);
        }
    } else if (e.pgn == kPgnEec1) {
        if (const auto raw = valid_u16(e.data, 3)) {
            keep_highest(state.engine_speed, state.engine_speed_source, *raw * 0.125, e.source);
        }
    }
}

LiveState listen_live(Bus &bus, Milliseconds window, const std::function<bool()> &interrupted) {
    LiveState state;
    bus.discard_pending();
    const Clock::time_point start = bus.now();
    wait_until(bus, start + window, interrupted, [&](const BusEvent &e) { take_live(state, e); });
    state.listened = std::chrono::duration_cast<Milliseconds>(bus.now() - start);
    return state;
}

SafetyVerdict judge_safety(const LiveState &live, ClearKind kind, bool engine_running_allowed) {
    const auto seconds = static_cast<double>(live.listened.count()) / 1000.0;
    if (!live.vehicle_speed) {
        return {Refusal::speed_unknown,
                fmt::format("the vehicle's speed is unknown: no wheel-based vehicle speed (SPN 84) "
                            "heard in {:.1f} s",
                            seconds)};
    }
    if (*live.vehicle_speed > 0) {
        return {Refusal::moving,
                fmt::format("the vehicle moves: wheel-based vehicle speed (SPN 84) {:.1f} km/h{}",
                            *live.vehicle_speed, from_text(live.vehicle_speed_source))};
    }
    if (kind == ClearKind::active && !engine_running_allowed) {
        if (!live.engine_speed) {
            return {Refusal::engine_speed_unknown,
                    fmt::format("the engine's speed is unknown: no engine speed (SPN 190) heard "
                                "in {:.1f} s, and active codes are cleared only with the engine "
                                "stopped",
                                seconds)};
        }
        if (*live.engine_speed > 0) {
            return {Refusal::engine_running,
                    fmt::format("the engine runs: engine speed (SPN 190) {:.0f} rpm{}, and active "
                                "codes are cleared only with the engine stopped",
                                *live.engine_speed, from_text(live.engine_speed_source))};
        }
    }
    return {};
}

// ---- what would be lost -------------------------------------------------------------------------

int clear_dm(ClearKind kind) {
    return kind == ClearKind::previous ? 3 : 11;
}

int cleared_list_dm(ClearKind kind) {
    return kind == ClearKind::previous ? 2 : 1;
}

namespace {

const TroubleCodeList *list_of(const EcuDiagnostics &ecu, int dm) {
    const auto it = ecu.dms.find(dm);
    return it == ecu.dms.end() ? nullptr : std::get_if<TroubleCodeList>(&it->second.parsed);
}

const Readiness *readiness_of(const EcuDiagnostics &ecu) {
    const auto it = ecu.dms.find(5);
    return it == ecu.dms.end() ? nullptr : std::get_if<Readiness>(&it->second.parsed);
}

const EcuDiagnostics *find_ecu(const ReadResult &r, uint8_t address) {
    const auto it = std::find_if(r.ecus.begin(), r.ecus.end(), [address](const EcuDiagnostics &e) {
        return e.address == address;
    });
    return it == r.ecus.end() ? nullptr : &*it;
}

// Whether the ECU answered anything at all (a node asked alone is listed
// even when silent throughout).
bool answered_something(const EcuDiagnostics &ecu) {
    return std::any_of(ecu.dms.begin(), ecu.dms.end(),
                       [](const auto &d) { return d.second.outcome != Outcome::silent; });
}

} // namespace

std::vector<TroubleCode> codes_to_lose(const EcuDiagnostics &ecu, ClearKind kind) {
    const TroubleCodeList *list = list_of(ecu, cleared_list_dm(kind));
    return list != nullptr ? list->codes : std::vector<TroubleCode>{};
}

std::vector<FreezeFrame> freeze_frames_to_lose(const EcuDiagnostics &ecu, ClearKind kind) {
    const auto it = ecu.dms.find(4);
    const auto *frames =
        it == ecu.dms.end() ? nullptr : std::get_if<FreezeFrames>(&it->second.parsed);
    if (frames == nullptr) {
        return {};
    }
    if (kind == ClearKind::active) {
        return frames->frames; // DM11 erases every freeze frame
    }
    const std::vector<TroubleCode> codes = codes_to_lose(ecu, kind);
    std::vector<FreezeFrame> lost;
    for (const FreezeFrame &f : frames->frames) {
        if (std::any_of(codes.begin(), codes.end(),
                        [&](const TroubleCode &c) { return c.same_fault(f.code); })) {
            lost.push_back(f);
        }
    }
    return lost;
}

ClearPreview prepare_clear(Bus &bus, const ClearOptions &o) {
    ClearPreview p;
    p.live = listen_live(bus, o.live_window, o.interrupted);
    p.safety = judge_safety(p.live, o.kind, o.engine_running_allowed);
    ReadOptions read;
    read.from_node = o.to;
    read.dms = {1, 2, 4, 5};
    read.conversion = o.conversion;
    read.timing = o.timing;
    read.spn_name = o.spn_name;
    read.interrupted = o.interrupted;
    p.before = read_diagnostics(bus, read);
    return p;
}

// ---- the clear
// ------------------------------------------------------------------------------------

std::string_view erasure_word(Erasure e) {
    switch (e) {
    case Erasure::erased:
        return "erased";
    case Erasure::partly_erased:
        return "partly erased";
    case Erasure::not_erased:
        return "not erased";
    case Erasure::unknown:
        break;
    }
    return "unknown";
}

Erasure judge_erasure(const EcuClear &ecu) {
    if (!ecu.after_read) {
        return Erasure::unknown;
    }
    size_t left = 0;
    for (const TroubleCode &c : ecu.after) {
        const bool was_there =
            !ecu.before_read || std::any_of(ecu.before.begin(), ecu.before.end(),
                                            [&](const TroubleCode &b) { return b.same_fault(c); });
        left += was_there ? 1 : 0;
    }
    if (left == 0) {
        return Erasure::erased;
    }
    return ecu.before_read && left < ecu.before.size() ? Erasure::partly_erased
                                                       : Erasure::not_erased;
}

namespace {

Outcome first_answer(const Collected &c, uint8_t address) {
    const auto it = c.answers.find(address);
    return it == c.answers.end() ? Outcome::silent : it->second.outcome;
}

} // namespace

ClearResult execute_clear(Bus &bus, const ClearOptions &o, const ClearPreview *before) {
    ClearResult r;
    r.kind = o.kind;
    r.to = o.to;
    r.engine_running_allowed = o.engine_running_allowed;
    const Clock::time_point start = bus.now();
    // The check at the moment of clearing, not the preview's.
    r.live = listen_live(bus, o.live_window, o.interrupted);
    r.safety = judge_safety(r.live, o.kind, o.engine_running_allowed);
    if (r.safety.refusal != Refusal::none) {
        r.took = std::chrono::duration_cast<Milliseconds>(bus.now() - start);
        return r;
    }
    ClearPreview own;
    if (before == nullptr) {
        own = prepare_clear(bus, o);
        before = &own;
    }
    std::set<uint8_t> expected;
    for (const EcuDiagnostics &ecu : before->before.ecus) {
        if (answered_something(ecu)) {
            expected.insert(ecu.address);
        }
    }
    if (o.to) {
        expected = {*o.to};
    }
    const uint32_t pgn = find_dm(clear_dm(o.kind))->pgn;
    const Collected first =
        request_and_collect(bus, pgn, o.to.value_or(kGlobal), o.timing, expected, o.interrupted);
    std::map<uint8_t, EcuClear> ecus;
    for (uint8_t a : expected) {
        ecus[a].address = a;
    }
    for (const auto &[source, answer] : first.answers) {
        ecus[source].address = source;
        ecus[source].answer = answer.outcome;
    }
    // A busy ECU is asked again, on its own, after a pause.
    for (auto &[address, ecu] : ecus) {
        while (ecu.answer == Outcome::busy && ecu.busy_retries < o.busy_retries &&
               !(o.interrupted && o.interrupted())) {
            wait_until(bus, bus.now() + o.busy_retry_delay, o.interrupted);
            ++ecu.busy_retries;
            ecu.answer = first_answer(
                request_and_collect(bus, pgn, address, o.timing, {}, o.interrupted), address);
        }
    }
    // The ECUs need a moment before their lists show the clear (J1939-73
    // gives no time); codes whose fault is still present come back.
    wait_until(bus, bus.now() + o.settle, o.interrupted);
    ReadOptions read;
    read.from_node = o.to;
    read.dms = {1, 2, 5};
    read.conversion = o.conversion;
    read.timing = o.timing;
    read.spn_name = o.spn_name;
    read.interrupted = o.interrupted;
    const ReadResult after = read_diagnostics(bus, read);
    r.interrupted = after.interrupted || (o.interrupted && o.interrupted());
    const int list_dm = cleared_list_dm(o.kind);
    for (auto &[address, ecu] : ecus) {
        if (const EcuDiagnostics *b = find_ecu(before->before, address)) {
            if (const TroubleCodeList *list = list_of(*b, list_dm)) {
                ecu.before = list->codes;
                ecu.before_read = true;
            }
            if (const Readiness *dm5 = readiness_of(*b)) {
                ecu.dm5_before = *dm5;
            }
        }
        if (const EcuDiagnostics *a = find_ecu(after, address)) {
            if (const TroubleCodeList *list = list_of(*a, list_dm)) {
                ecu.after = list->codes;
                ecu.after_read = true;
            }
            if (const Readiness *dm5 = readiness_of(*a)) {
                ecu.dm5_after = *dm5;
            }
        }
        ecu.erasure = judge_erasure(ecu);
        r.ecus.push_back(ecu);
    }
    r.took = std::chrono::duration_cast<Milliseconds>(bus.now() - start);
    return r;
}

// ---- JSON
// -------------------------------------------------------------------------------------------

namespace {

nlohmann::json codes_json(const std::vector<TroubleCode> &codes) {
    nlohmann::json j = nlohmann::json::array();
    for (const TroubleCode &c : codes) {
        j.push_back(code_json(c));
    }
    return j;
}

nlohmann::json live_json(const LiveState &live, const SafetyVerdict &verdict,
                         bool engine_running_allowed) {
    auto value = [](const std::optional<double> &v) {
        return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
    };
    auto source = [](const std::optional<uint8_t> &s) {
        return s ? nlohmann::json(*s) : nlohmann::json(nullptr);
    };
    nlohmann::json j{{"vehicle_speed", value(live.vehicle_speed)},
                     {"vehicle_speed_source", source(live.vehicle_speed_source)},
                     {"engine_speed", value(live.engine_speed)},
                     {"engine_speed_source", source(live.engine_speed_source)},
                     {"listened_ms", live.listened.count()},
                     {"engine_running_allowed", engine_running_allowed},
                     {"allowed", verdict.refusal == Refusal::none}};
    if (verdict.refusal != Refusal::none) {
        j["reason"] = verdict.reason;
    }
    return j;
}

nlohmann::json counts_json(const std::optional<Readiness> &r) {
    if (!r) {
        return nullptr;
    }
    auto count = [](const std::optional<uint8_t> &n) {
        return n ? nlohmann::json(*n) : nlohmann::json(nullptr);
    };
    return {{"active", count(r->active)}, {"previously_active", count(r->previously_active)}};
}

nlohmann::json to_json(const std::optional<uint8_t> &to) {
    return to ? nlohmann::json(*to) : nlohmann::json("all");
}

} // namespace

nlohmann::json preview_json(const ClearPreview &p, const ClearOptions &o) {
    nlohmann::json ecus = nlohmann::json::array();
    size_t codes = 0;
    size_t frames = 0;
    for (const EcuDiagnostics &ecu : p.before.ecus) {
        const std::vector<TroubleCode> lost = codes_to_lose(ecu, o.kind);
        const std::vector<FreezeFrame> lost_frames = freeze_frames_to_lose(ecu, o.kind);
        codes += lost.size();
        frames += lost_frames.size();
        const auto list = ecu.dms.find(cleared_list_dm(o.kind));
        nlohmann::json e{{"address", ecu.address},
                         {"codes", codes_json(lost)},
                         {"freeze_frames", freeze_frames_json(FreezeFrames{lost_frames, ""})}};
        if (list != ecu.dms.end() && list->second.outcome != Outcome::answered) {
            e["codes"] = outcome_word(list->second.outcome); // not known
        }
        const auto dm5 = ecu.dms.find(5);
        e["dm5"] = dm5 != ecu.dms.end() ? dm_json(dm5->second) : nlohmann::json(nullptr);
        ecus.push_back(e);
    }
    return {{"dm", clear_dm(o.kind)},
            {"to", to_json(o.to)},
            {"safety", live_json(p.live, p.safety, o.engine_running_allowed)},
            {"ecus", ecus},
            {"codes", codes},
            {"freeze_frames", frames},
            {"took_ms", p.before.took.count()}};
}

nlohmann::json clear_json(const ClearResult &r) {
    nlohmann::json j{{"dm", clear_dm(r.kind)},
                     {"to", to_json(r.to)},
                     {"safety", live_json(r.live, r.safety, r.engine_running_allowed)},
                     {"took_ms", r.took.count()}};
    if (r.safety.refusal != Refusal::none) {
        j["refused"] = r.safety.reason;
        j["ecus"] = nlohmann::json::array();
        return j;
    }
    nlohmann::json ecus = nlohmann::json::array();
    std::map<std::string, int> summary{
        {"erased", 0}, {"partly_erased", 0}, {"not_erased", 0}, {"unknown", 0}};
    for (const EcuClear &e : r.ecus) {
        nlohmann::json one{{"address", e.address},
                           {"answer", outcome_word(e.answer)},
                           {"busy_retries", e.busy_retries},
                           {"after", erasure_word(e.erasure)},
                           {"codes_before", e.before_read ? codes_json(e.before) : nullptr},
                           {"codes_after", e.after_read ? codes_json(e.after) : nullptr},
                           {"dm5_before", counts_json(e.dm5_before)},
                           {"dm5_after", counts_json(e.dm5_after)}};
        ecus.push_back(one);
        std::string key(erasure_word(e.erasure));
        std::replace(key.begin(), key.end(), ' ', '_');
        ++summary[key];
    }
    j["ecus"] = ecus;
    j["summary"] = summary;
    if (r.interrupted) {
        j["interrupted"] = true;
    }
    return j;
}

int clear_exit_status(const ClearResult &r) {
    if (r.safety.refusal != Refusal::none) {
        return kExitUnsafe;
    }
    const bool all_erased = std::all_of(r.ecus.begin(), r.ecus.end(), [](const EcuClear &e) {
        return e.erasure == Erasure::erased;
    });
    return all_erased ? kExitOk : kExitNotErased;
}

nlohmann::json diag_clear_prepare(Bus &bus, const ClearOptions &options) {
    return preview_json(prepare_clear(bus, options), options);
}

nlohmann::json diag_clear_confirm(Bus &bus, const ClearOptions &options) {
    const ClearResult r = execute_clear(bus, options, nullptr);
    nlohmann::json j = clear_json(r);
    j["exit_status"] = clear_exit_status(r);
    return j;
}

} // namespace vehcan::diag
