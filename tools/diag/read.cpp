// SPDX-License-Identifier: MIT
// Reading diagnostics from one node or all: see read.h.
#include "read.h"

#include "dm_json.h"
#include "quiet.h"

#include <failure.h>
#include <values.h>

#include <algorithm>
#include <cctype>
#include <fmt/format.h>

namespace vehcan::diag {

// ---- options ------------------------------------------------------------------------------

std::vector<int> parse_dm_list(std::string_view text) {
    std::vector<int> dms;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        std::string item(text.substr(at, comma - at));
        at = comma + 1;
        std::transform(item.begin(), item.end(), item.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::string digits = item.rfind("dm", 0) == 0 ? item.substr(2) : item;
        int dm = -1;
        if (!digits.empty() && digits.size() <= 2 &&
            std::all_of(digits.begin(), digits.end(),
                        [](unsigned char c) { return std::isdigit(c) != 0; })) {
            dm = std::stoi(digits);
        }
        if (std::find(kReadableDms.begin(), kReadableDms.end(), dm) == kReadableDms.end()) {
            throw Failure(kExitUsage, fmt::format("--dm '{}': not a DM that can be read (1, 2, 4, "
                                                  "5, 6, 12, 23, 24 or 25)",
                                                  item));
        }
        if (std::find(dms.begin(), dms.end(), dm) != dms.end()) {
            throw Failure(kExitUsage, fmt::format("--dm names DM{} twice", dm));
        }
        dms.push_back(dm);
    }
    return dms;
}

std::optional<uint8_t> parse_node(std::string_view text, std::string_view what) {
    if (text == "all") {
        return std::nullopt;
    }
    const uint8_t a = parse_address(text, what);
    if (a > 0xFD) {
        throw Failure(kExitUsage, fmt::format("{} 0x{:02X}: a node has an address of 0x00-0xFD; "
                                              "'all' asks every node",
                                              what, a));
    }
    return a;
}

SpnConversion parse_conversion_option(std::string_view text) {
    if (auto c = parse_spn_conversion(text)) {
        return *c;
    }
    throw Failure(kExitUsage, fmt::format("--spn-conversion '{}': auto (by each code's CM bit), 4 "
                                          "or legacy",
                                          text));
}

// ---- parsing ---------------------------------------------------------------------------------

Parsed parse_dm(int dm, ByteView data, const SpnSupport *support, SpnConversion conversion,
                const ScalingLookup &scaling) {
    switch (dm) {
    case 1:
    case 2:
    case 6:
    case 12:
    case 23:
        return parse_trouble_code_list(data, conversion);
    case 4:
        return parse_freeze_frames(data, conversion);
    case 5:
        if (auto r = parse_readiness(data)) {
            return *r;
        }
        return std::monostate{};
    case 24:
        return parse_spn_support(data);
    case 25:
        return parse_expanded_freeze_frames(data, support, conversion, scaling);
    default:
        return std::monostate{};
    }
}

namespace {

void name_list(std::vector<TroubleCode> &codes, const NameLookup &spn_name) {
    for (TroubleCode &c : codes) {
        if (auto name = spn_name(c.spn)) {
            c.description = *name;
        }
    }
}

// The trouble codes that a parsed DM holds, wherever they sit.
template <typename Visit>
void each_code(Parsed &p, Visit visit) {
    if (auto *list = std::get_if<TroubleCodeList>(&p)) {
        visit(list->codes);
    } else if (auto *frames = std::get_if<FreezeFrames>(&p)) {
        for (FreezeFrame &f : frames->frames) {
            std::vector<TroubleCode> one{f.code};
            visit(one);
            f.code = one.front();
        }
    } else if (auto *expanded = std::get_if<ExpandedFreezeFrames>(&p)) {
        for (ExpandedFreezeFrame &f : expanded->frames) {
            std::vector<TroubleCode> one{f.code};
            visit(one);
            f.code = one.front();
        }
    }
}

std::string note_of(const Parsed &p) {
    return std::visit(
        [](const auto &v) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::monostate>) {
                return "";
            } else {
                return v.note;
            }
        },
        p);
}

} // namespace

void name_codes(Parsed &parsed, const NameLookup &spn_name) {
    if (spn_name) {
        each_code(parsed, [&](std::vector<TroubleCode> &codes) { name_list(codes, spn_name); });
    }
}

void name_codes(ReadResult &result, const NameLookup &spn_name) {
    for (EcuDiagnostics &ecu : result.ecus) {
        for (auto &[dm, r] : ecu.dms) {
            name_codes(r.parsed, spn_name);
        }
    }
}

// ---- reading ----------------------------------------------------------------------------------

ReadResult read_diagnostics(Bus &bus, const ReadOptions &o) {
    ReadResult result;
    result.from_node = o.from_node;
    result.conversion = o.conversion;
    result.requested = o.dms;
    const bool wants_25 = std::find(o.dms.begin(), o.dms.end(), 25) != o.dms.end();
    const bool has_24 = std::find(o.dms.begin(), o.dms.end(), 24) != o.dms.end();
    if (wants_25 && !has_24) {
        // DM25's values are laid out by the ECU's DM24.
        result.requested.insert(std::find(result.requested.begin(), result.requested.end(), 25),
                                24);
    } else if (wants_25) {
        std::stable_partition(result.requested.begin(), result.requested.end(),
                              [](int dm) { return dm != 25; });
    }
    const uint8_t destination = o.from_node.value_or(kGlobal);
    const Clock::time_point start = bus.now();
    result.source = bus.address();

    std::map<uint8_t, EcuDiagnostics> ecus;
    {
        std::optional<QuietBus> quiet;
        if (o.quiet_bus) {
            quiet.emplace(bus, destination);
        }
        Bus &use = quiet ? static_cast<Bus &>(*quiet) : bus;
        for (int dm : result.requested) {
            if (o.interrupted && o.interrupted()) {
                result.interrupted = true;
                break;
            }
            const Collected c = request_and_collect(use, find_dm(dm)->pgn, destination, o.timing,
                                                    {}, o.interrupted);
            result.transfers += c.transfers;
            result.requests.push_back({dm, c.took, c.answers.size(), c.transfers});
            for (const auto &[source, answer] : c.answers) {
                ecus[source].address = source;
                ecus[source].dms[dm] = DmResult{answer.outcome, answer.data, std::monostate{}};
            }
        }
        if (quiet) {
            quiet->finish();
        }
    }
    if (o.from_node && ecus.empty()) {
        ecus[*o.from_node].address = *o.from_node;
    }
    for (auto &[address, ecu] : ecus) {
        for (int dm : result.requested) {
            ecu.dms.try_emplace(dm); // silent
        }
        const DmResult &dm24 = ecu.dms[24];
        std::optional<SpnSupport> support;
        if (dm24.outcome == Outcome::answered) {
            support = parse_spn_support(dm24.data);
        }
        for (auto &[dm, r] : ecu.dms) {
            if (r.outcome == Outcome::answered) {
                r.parsed = parse_dm(dm, r.data, support ? &*support : nullptr, o.conversion,
                                    o.spn_scaling);
            }
        }
        if (std::find(result.requested.begin(), result.requested.end(), 24) ==
            result.requested.end()) {
            ecu.dms.erase(24);
        }
        result.ecus.push_back(std::move(ecu));
    }
    name_codes(result, o.spn_name);
    result.took = std::chrono::duration_cast<Milliseconds>(bus.now() - start);
    return result;
}

// ---- JSON -------------------------------------------------------------------------------------

nlohmann::json dm_json(const DmResult &r) {
    if (r.outcome != Outcome::answered) {
        return outcome_word(r.outcome);
    }
    return std::visit(
        [](const auto &v) -> nlohmann::json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, TroubleCodeList>) {
                return code_list_json(v);
            } else if constexpr (std::is_same_v<T, FreezeFrames>) {
                return freeze_frames_json(v);
            } else if constexpr (std::is_same_v<T, Readiness>) {
                return readiness_json(v);
            } else if constexpr (std::is_same_v<T, SpnSupport>) {
                return spn_support_json(v);
            } else if constexpr (std::is_same_v<T, ExpandedFreezeFrames>) {
                return expanded_freeze_frames_json(v);
            } else {
                return "malformed"; // a DM5 of fewer than 8 bytes
            }
        },
        r.parsed);
}

nlohmann::json read_json(const ReadResult &result) {
    nlohmann::json ecus = nlohmann::json::array();
    for (const EcuDiagnostics &ecu : result.ecus) {
        nlohmann::json e{{"address", ecu.address}};
        nlohmann::json raw = nlohmann::json::object();
        nlohmann::json notes = nlohmann::json::object();
        for (const auto &[dm, r] : ecu.dms) {
            const std::string key = fmt::format("dm{}", dm);
            e[key] = dm_json(r);
            if (r.outcome == Outcome::answered) {
                raw[key] = hex_string(r.data);
                if (const std::string note = note_of(r.parsed); !note.empty()) {
                    notes[key] = note;
                }
            }
        }
        e["raw"] = raw;
        if (!notes.empty()) {
            e["notes"] = notes;
        }
        ecus.push_back(e);
    }
    nlohmann::json requests = nlohmann::json::array();
    for (const RequestTiming &t : result.requests) {
        requests.push_back({{"dm", t.dm},
                            {"took_ms", t.took.count()},
                            {"answers", t.answers},
                            {"transfers", t.transfers}});
    }
    nlohmann::json j{
        {"ecus", ecus},
        {"requests", requests},
        {"from_node", result.from_node ? nlohmann::json(*result.from_node) : nlohmann::json("all")},
        {"source", result.source},
        {"dms", result.requested},
        {"spn_conversion", spn_conversion_name(result.conversion)},
        {"transfers", result.transfers},
        {"took_ms", result.took.count()}};
    if (result.interrupted) {
        j["interrupted"] = true;
    }
    return j;
}

nlohmann::json diag_read(Bus &bus, const ReadOptions &options) {
    return read_json(read_diagnostics(bus, options));
}

} // namespace vehcan::diag
