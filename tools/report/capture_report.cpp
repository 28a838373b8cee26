// SPDX-License-Identifier: MIT
// The report's gathering and its data block: see capture_report.h and
// docs/report.md (the data block's fields).
#include "capture_report.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fmt/format.h>
#include <limits>

namespace vehcan::report {

namespace {

constexpr int64_t kSlotUs = 100000; // the bus statistics' finest stretch
constexpr int64_t kMaxBins = 600;
constexpr std::array<std::string_view, 4> kLampNames{"malfunction (MIL)", "red stop",
                                                     "amber warning", "protect"};
constexpr int kLampOn = 1;

bool same_value(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// Values as the page shows them: no more than six decimals, so that
// 0.4 * 37 is written 14.8 and not 14.800000000000001.
nlohmann::json value_json(double v) {
    if (std::isnan(v)) {
        return nullptr;
    }
    if (std::fabs(v) < 1e9) {
        v = std::round(v * 1e6) / 1e6;
    }
    return v;
}

double seconds(int64_t us) {
    return static_cast<double>(us) / 1e6;
}

// Times of a level as whole milliseconds, each after the first written as
// its step from the one before: "t": [1200, 20, 20, 21, ...].
nlohmann::json times_json(const std::vector<Point> &points) {
    nlohmann::json t = nlohmann::json::array();
    long long previous = 0;
    for (const Point &p : points) {
        const long long ms = std::llround(static_cast<double>(p.t_us) / 1000.0);
        t.push_back(ms - previous);
        previous = ms;
    }
    return t;
}

std::string duration_text(double s) {
    if (s < 60) {
        return fmt::format("{:.3f} s", s);
    }
    const auto whole = static_cast<long long>(s);
    return fmt::format("{}:{:02}:{:02} ({:.1f} s)", whole / 3600, whole / 60 % 60, whole % 60, s);
}

std::string address_text(uint8_t a) {
    return fmt::format("0x{:02X}", a);
}

} // namespace

unsigned frame_bits(unsigned data_bytes, bool extended) {
    return (extended ? 67U : 47U) + 8U * data_bytes;
}

// ---- feeding ---------------------------------------------------------------------

void CaptureReport::time_seen(int64_t time_us) {
    if (!have_time_) {
        min_us_ = max_us_ = time_us;
        have_time_ = true;
        return;
    }
    min_us_ = std::min(min_us_, time_us);
    max_us_ = std::max(max_us_, time_us);
}

void CaptureReport::frame(int64_t time_us, unsigned data_bytes, bool extended) {
    ++frames_;
    if (extended) {
        ++extended_frames_;
    }
    time_seen(time_us);
    // Floor division, so that a frame before the first one still finds its slot.
    const int64_t slot = time_us >= 0 ? time_us / kSlotUs : -((-time_us + kSlotUs - 1) / kSlotUs);
    BusSlot &s = bus_[slot];
    ++s.frames;
    s.bits += frame_bits(data_bytes, extended);
}

void CaptureReport::message(int64_t time_us, uint32_t pgn, uint8_t source, std::string_view acronym,
                            std::string_view name) {
    ++messages_;
    if (!pgn_names_.contains(pgn)) {
        pgn_names_.emplace(pgn, std::make_pair(std::string(acronym), std::string(name)));
    }
    PgnStats &p = pgns_[{pgn, source}];
    if (p.count > 0) {
        const double interval = seconds(time_us - p.last_us);
        const auto n = static_cast<double>(p.count); // intervals so far, this one included
        const double delta = interval - p.mean;
        p.mean += delta / n;
        p.m2 += delta * (interval - p.mean);
        p.min = p.count == 1 ? interval : std::min(p.min, interval);
        p.max = p.count == 1 ? interval : std::max(p.max, interval);
    } else {
        p.first_us = time_us;
    }
    p.last_us = time_us;
    ++p.count;
    Node &node = nodes_[source];
    ++node.messages;
    node.pgns.insert(pgn);
}

Series &CaptureReport::find_series(const SignalRef &signal, std::optional<Series::Kind> kind) {
    std::vector<size_t> &group = series_by_group_[signal.pgn << 8U | signal.source];
    for (size_t i : group) {
        Series &s = series_[i];
        if (s.spn == signal.spn && s.name == signal.name && (!kind || s.kind == *kind)) {
            return s;
        }
    }
    group.push_back(series_.size());
    Series &s = series_.emplace_back();
    s.kind = kind.value_or(Series::Kind::number);
    s.pgn = signal.pgn;
    s.source = signal.source;
    s.spn = signal.spn;
    s.name = signal.name;
    s.unit = signal.unit;
    return s;
}

void CaptureReport::add_point(Series &s, int64_t time_us, double value) {
    ++s.samples;
    if (!std::isnan(value)) {
        ++s.finite;
    }
    const size_t n = s.points.size();
    if (n >= 2 && same_value(s.points[n - 1].v, value) && same_value(s.points[n - 2].v, value)) {
        s.points[n - 1].t_us = time_us; // the run goes on: move its end
        return;
    }
    s.points.push_back({time_us, value});
}

void CaptureReport::number(int64_t time_us, const SignalRef &signal, double value) {
    add_point(find_series(signal, Series::Kind::number), time_us, value);
}

void CaptureReport::not_available(int64_t time_us, const SignalRef &signal) {
    add_point(find_series(signal, std::nullopt), time_us, std::numeric_limits<double>::quiet_NaN());
}

void CaptureReport::state(int64_t time_us, const SignalRef &signal, long value,
                          std::string_view text) {
    Series &s = find_series(signal, Series::Kind::state);
    if (!s.states.contains(value)) {
        s.states.emplace(value, std::string(text));
    }
    add_point(s, time_us, static_cast<double>(value));
}

void CaptureReport::Band::seen(int64_t time_us) {
    ++messages;
    if (open) {
        spans.back().last_us = time_us;
    } else {
        spans.push_back({time_us, time_us});
        open = true;
    }
}

void CaptureReport::diagnostic(int64_t time_us, uint8_t source, const LampStatus &lamps,
                               std::span<const ActiveCode> codes) {
    std::vector<bool> listed(codes_.size(), false);
    for (const ActiveCode &c : codes) {
        auto it = std::find_if(codes_.begin(), codes_.end(), [&](const CodeTrack &t) {
            return t.source == source && t.spn == c.spn && t.fmi == c.fmi;
        });
        if (it == codes_.end()) {
            CodeTrack t;
            t.source = source;
            t.spn = c.spn;
            t.fmi = c.fmi;
            t.fmi_text = c.fmi_text;
            codes_.push_back(std::move(t));
            listed.push_back(false);
            it = codes_.end() - 1;
        }
        if (it->spn_name.empty()) {
            it->spn_name = c.spn_name;
        }
        it->occurrences = std::max(it->occurrences, c.occurrences);
        const auto index = static_cast<size_t>(it - codes_.begin());
        if (!listed[index]) { // a code listed twice in one message is one sighting
            it->band.seen(time_us);
            listed[index] = true;
        }
    }
    for (size_t i = 0; i < codes_.size(); ++i) {
        if (codes_[i].source == source && !listed[i]) {
            codes_[i].band.open = false;
        }
    }
    const std::array<int, 4> status{lamps.malfunction, lamps.red_stop, lamps.amber_warning,
                                    lamps.protect};
    for (int lamp = 0; lamp < 4; ++lamp) {
        const bool on = status[static_cast<size_t>(lamp)] == kLampOn;
        auto it = lamps_.find({source, lamp});
        if (on) {
            if (it == lamps_.end()) {
                it = lamps_.emplace(std::make_pair(source, lamp), Band{}).first;
            }
            it->second.seen(time_us);
        } else if (it != lamps_.end()) {
            it->second.open = false;
        }
    }
}

void CaptureReport::node_fact(uint8_t address, std::string_view label, std::string_view value) {
    auto &facts = nodes_[address].facts;
    for (auto &[l, v] : facts) {
        if (l == label) {
            v = value;
            return;
        }
    }
    facts.emplace_back(label, value);
}

void CaptureReport::summary_row(std::string_view label, std::string_view value) {
    summary_rows_.emplace_back(label, value);
}

// ---- giving back -----------------------------------------------------------------

std::vector<const Series *> CaptureReport::series_of(unsigned long spn) const {
    std::vector<const Series *> out;
    for (const Series &s : series_) {
        if (s.spn == spn) {
            out.push_back(&s);
        }
    }
    return out;
}

std::pair<int64_t, int64_t> CaptureReport::time_range() const {
    return {min_us_, max_us_};
}

nlohmann::json
CaptureReport::bus_json(uint32_t bitrate,
                        std::vector<std::pair<std::string, std::string>> &rows) const {
    // Bins of a round width, at most 600 of them over the capture: a chart's
    // width in pixels, about.
    const int64_t span = max_us_ - min_us_;
    int64_t bin = kSlotUs;
    static constexpr std::array<int64_t, 3> kSteps{1, 2, 5};
    for (int64_t scale = kSlotUs; span / bin >= kMaxBins; scale *= 10) {
        for (int64_t step : kSteps) {
            bin = scale * step;
            if (span / bin < kMaxBins) {
                break;
            }
        }
    }
    const int64_t slots_per_bin = bin / kSlotUs;
    const int64_t first_slot = bus_.empty() ? 0 : bus_.begin()->first;
    const int64_t last_slot = bus_.empty() ? 0 : bus_.rbegin()->first;
    const size_t bins =
        bus_.empty() ? 0 : static_cast<size_t>((last_slot - first_slot) / slots_per_bin) + 1;
    std::vector<unsigned long> frames(bins, 0);
    std::vector<uint64_t> bits(bins, 0);
    uint64_t all_bits = 0;
    for (const auto &[slot, s] : bus_) {
        const auto b = static_cast<size_t>((slot - first_slot) / slots_per_bin);
        frames[b] += s.frames;
        bits[b] += s.bits;
        all_bits += s.bits;
    }
    const double bin_s = seconds(bin);
    nlohmann::json per_s = nlohmann::json::array();
    nlohmann::json load = nlohmann::json::array();
    double peak = 0;
    for (size_t b = 0; b < bins; ++b) {
        per_s.push_back(value_json(static_cast<double>(frames[b]) / bin_s));
        const double share = 100.0 * static_cast<double>(bits[b]) / bin_s / bitrate;
        peak = std::max(peak, share);
        load.push_back(value_json(std::round(share * 100) / 100));
    }
    // The mean over the capture's span; a capture shorter than a bin is
    // counted as one bin long.
    const double span_s = std::max(seconds(span), bin_s);
    if (frames_ > 0) {
        rows.emplace_back("bus load",
                          fmt::format("{:.1f} % mean, {:.1f} % at most in {} s (of {} bit/s, "
                                      "stuff bits not counted)",
                                      100.0 * static_cast<double>(all_bits) / span_s / bitrate,
                                      peak, bin_s, bitrate));
    }
    return {{"bitrate", bitrate},
            {"bin", bin_s},
            {"t0", seconds(first_slot * kSlotUs)},
            {"frames_per_s", per_s},
            {"load", load}};
}

nlohmann::json CaptureReport::series_json(const PageSettings &settings,
                                          nlohmann::json &charts) const {
    std::vector<const Series *> chosen;
    for (const Series &s : series_) {
        const bool wanted = settings.spns.empty() || settings.spns.contains(s.spn);
        if (wanted && s.finite > 0) {
            chosen.push_back(&s);
        }
    }
    // Charts by PGN, then unit; states each on a chart of their own after
    // the numbers of their PGN. A series' label names its sender when more
    // than one node sends its PGN.
    std::stable_sort(chosen.begin(), chosen.end(), [](const Series *a, const Series *b) {
        return std::tie(a->pgn, a->kind, a->unit, a->source, a->spn) <
               std::tie(b->pgn, b->kind, b->unit, b->source, b->spn);
    });
    std::map<uint32_t, std::set<uint8_t>> senders;
    for (const auto &[key, stats] : pgns_) {
        senders[key.first].insert(key.second);
    }
    std::vector<size_t> wanted;
    wanted.reserve(chosen.size());
    for (const Series *s : chosen) {
        wanted.push_back(detail_points_wanted(s->points.size()));
    }
    const std::vector<size_t> budgets = share_budget(wanted, settings.point_budget);
    nlohmann::json out = nlohmann::json::array();
    for (const Series *s : chosen) {
        const size_t index = out.size();
        nlohmann::json levels = nlohmann::json::array();
        for (const DetailLevel &level :
             detail_levels(s->points, min_us_, max_us_, budgets[index])) {
            nlohmann::json v = nlohmann::json::array();
            for (const Point &p : level.points) {
                v.push_back(value_json(p.v));
            }
            levels.push_back(
                {{"bucket", level.bucket_s}, {"t", times_json(level.points)}, {"v", v}});
        }
        std::string label = s->name;
        if (senders[s->pgn].size() > 1) {
            label += fmt::format(" ({})", address_text(s->source));
        }
        double low = NAN;
        double high = NAN;
        for (const Point &p : s->points) {
            if (!std::isnan(p.v)) {
                low = std::isnan(low) ? p.v : std::min(low, p.v);
                high = std::isnan(high) ? p.v : std::max(high, p.v);
            }
        }
        nlohmann::json j{{"name", s->name},
                         {"label", label},
                         {"spn", s->spn},
                         {"pgn", s->pgn},
                         {"source", s->source},
                         {"unit", s->unit},
                         {"kind", s->kind == Series::Kind::state ? "state" : "number"},
                         {"samples", s->samples},
                         {"min", value_json(low)},
                         {"max", value_json(high)},
                         {"levels", levels}};
        if (s->kind == Series::Kind::state) {
            nlohmann::json states = nlohmann::json::array();
            for (const auto &[value, text] : s->states) {
                states.push_back({value, text});
            }
            j["states"] = states;
        }
        out.push_back(j);

        static const std::pair<std::string, std::string> kUnnamed;
        const auto named = pgn_names_.find(s->pgn);
        const auto &[acronym, name] = named != pgn_names_.end() ? named->second : kUnnamed;
        std::string title = acronym.empty() ? fmt::format("PGN {}", s->pgn)
                                            : fmt::format("{} {} (PGN {})", acronym, name, s->pgn);
        const bool joins = s->kind == Series::Kind::number && !charts.empty() &&
                           charts.back()["kind"] == "number" && charts.back()["pgn"] == s->pgn &&
                           charts.back()["unit"] == s->unit;
        if (joins) {
            charts.back()["series"].push_back(index);
            continue;
        }
        if (s->kind == Series::Kind::state) {
            title += " · " + s->name;
        } else if (!s->unit.empty()) {
            title += " · " + s->unit;
        }
        charts.push_back({{"title", title},
                          {"pgn", s->pgn},
                          {"unit", s->unit},
                          {"kind", s->kind == Series::Kind::state ? "state" : "number"},
                          {"series", {index}}});
    }
    return out;
}

nlohmann::json CaptureReport::timeline_json(nlohmann::json &lamps) const {
    const auto spans_json = [](const std::vector<Span> &spans) {
        nlohmann::json out = nlohmann::json::array();
        for (const Span &s : spans) {
            out.push_back({seconds(s.first_us), seconds(s.last_us)});
        }
        return out;
    };
    std::vector<const CodeTrack *> sorted;
    for (const CodeTrack &t : codes_) {
        sorted.push_back(&t);
    }
    std::sort(sorted.begin(), sorted.end(), [](const CodeTrack *a, const CodeTrack *b) {
        return std::tie(a->band.spans.front().first_us, a->source, a->spn, a->fmi) <
               std::tie(b->band.spans.front().first_us, b->source, b->spn, b->fmi);
    });
    nlohmann::json codes = nlohmann::json::array();
    for (const CodeTrack *t : sorted) {
        codes.push_back({{"source", t->source},
                         {"spn", t->spn},
                         {"fmi", t->fmi},
                         {"spn_name", t->spn_name},
                         {"fmi_text", t->fmi_text},
                         {"messages", t->band.messages},
                         {"occurrences", t->occurrences},
                         {"spans", spans_json(t->band.spans)}});
    }
    for (const auto &[key, band] : lamps_) {
        lamps.push_back({{"source", key.first},
                         {"lamp", kLampNames[static_cast<size_t>(key.second)]},
                         {"messages", band.messages},
                         {"spans", spans_json(band.spans)}});
    }
    return codes;
}

nlohmann::json CaptureReport::data(const PageSettings &settings) const {
    std::vector<std::pair<std::string, std::string>> rows;
    rows.emplace_back("capture", settings.title);
    rows.emplace_back("duration", duration_text(seconds(max_us_ - min_us_)));
    rows.emplace_back("CAN frames",
                      fmt::format("{} ({} with a 29-bit identifier)", frames_, extended_frames_));
    rows.emplace_back("J1939 messages", fmt::format("{}", messages_));
    nlohmann::json bus = bus_json(settings.bitrate, rows);
    for (const auto &row : summary_rows_) {
        rows.push_back(row);
    }
    nlohmann::json summary = nlohmann::json::array();
    for (const auto &[label, value] : rows) {
        summary.push_back({label, value});
    }

    nlohmann::json pgns = nlohmann::json::array();
    for (const auto &[key, p] : pgns_) {
        const auto &[acronym, name] = pgn_names_.at(key.first);
        const bool periodic = p.count >= 2;
        pgns.push_back(
            {{"pgn", key.first},
             {"acronym", acronym},
             {"name", name},
             {"source", key.second},
             {"count", p.count},
             {"period", periodic ? value_json(p.mean) : nullptr},
             {"jitter",
              periodic ? value_json(std::sqrt(p.m2 / static_cast<double>(p.count - 1))) : nullptr},
             {"min", periodic ? value_json(p.min) : nullptr},
             {"max", periodic ? value_json(p.max) : nullptr}});
    }

    nlohmann::json nodes = nlohmann::json::array();
    for (const auto &[address, n] : nodes_) {
        nlohmann::json facts = nlohmann::json::array();
        for (const auto &[label, value] : n.facts) {
            facts.push_back({label, value});
        }
        nodes.push_back({{"address", address},
                         {"messages", n.messages},
                         {"pgns", n.pgns.size()},
                         {"facts", facts}});
    }

    nlohmann::json charts = nlohmann::json::array();
    nlohmann::json series = series_json(settings, charts);
    nlohmann::json lamps = nlohmann::json::array();
    nlohmann::json codes = timeline_json(lamps);
    return {{"format", "vehcan-report"},
            {"version", 1},
            {"title", settings.title},
            {"producer", settings.producer},
            {"start_unix", start_unix_us_ ? nlohmann::json(seconds(*start_unix_us_)) : nullptr},
            {"range", {seconds(min_us_), seconds(max_us_)}},
            {"summary", summary},
            {"bus", bus},
            {"nodes", nodes},
            {"pgns", pgns},
            {"charts", charts},
            {"series", series},
            {"codes", codes},
            {"lamps", lamps}};
}

} // namespace vehcan::report
