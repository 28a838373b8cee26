// SPDX-License-Identifier: MIT
// The gateway's decoder of the compact format: see compact_decoder.h.
#include "compact_decoder.h"

#include "timestamp.h"
#include "vehcan_uplink.pb.h"

#include <algorithm>
#include <fmt/format.h>

namespace vehcan::cli {

namespace pb = vehcan::uplink;

struct CompactDecoder::BirthTable {
    pb::Birth birth;
    std::map<uint32_t, const pb::Signal *> signals;
    std::map<uint32_t, const pb::RawGroup *> raw;
};

namespace {

int source_of(const pb::Signal &s) {
    return s.has_source() ? static_cast<int>(s.source()) : -1;
}

nlohmann::ordered_json head_of(const std::string &vehicle, const pb::Signal &s) {
    nlohmann::ordered_json j;
    j["vehicle"] = vehicle;
    j["source"] = s.has_source() ? nlohmann::ordered_json(s.source()) : nullptr;
    j["pgn"] = s.pgn();
    j["spn"] = s.spn() != 0 ? nlohmann::ordered_json(s.spn()) : nullptr;
    j["name"] = s.name();
    if (s.kind() == pb::SIGNAL_KIND_NUMBER) {
        j["unit"] = s.unit();
    }
    return j;
}

std::string state_text(const std::map<int64_t, std::string> &texts, int64_t code) {
    const auto it = texts.find(code);
    return it != texts.end() ? it->second : fmt::format("state {}", code);
}

} // namespace

std::string frame_id_text(uint32_t id) {
    if ((id & 0x80000000U) != 0) {
        return fmt::format("{:03X}", id & 0x7FFU);
    }
    return fmt::format("{:08X}", id & 0x1FFFFFFFU);
}

std::string hex_bytes(std::string_view bytes) {
    std::string s;
    s.reserve(bytes.size() * 2);
    for (char c : bytes) {
        s += fmt::format("{:02X}", static_cast<unsigned char>(c));
    }
    return s;
}

std::optional<Reconstructed> Timeline::at(int64_t time_us) const {
    // the last point at or before time_us
    auto after = std::upper_bound(points.begin(), points.end(), time_us,
                                  [](int64_t t, const TimelinePoint &p) { return t < p.time_us; });
    if (after == points.begin()) {
        return std::nullopt;
    }
    const TimelinePoint &a = *(after - 1);
    if (after == points.end() && info.heartbeat_us > 0 && time_us - a.time_us > info.heartbeat_us) {
        return std::nullopt; // (not known yet: a live signal has a point by then)
    }
    Reconstructed r;
    r.kind = a.kind;
    r.value = a.value;
    r.code = a.code;
    r.text = a.text;
    if (a.kind == TimelinePoint::Kind::number && info.linear && after != points.end() &&
        after->kind == TimelinePoint::Kind::number && !after->segment_start &&
        after->time_us > a.time_us) {
        const TimelinePoint &b = *after;
        r.value = a.value + (b.value - a.value) * static_cast<double>(time_us - a.time_us) /
                                static_cast<double>(b.time_us - a.time_us);
    }
    return r;
}

std::vector<nlohmann::ordered_json> CompactDecoder::feed(std::string_view envelope) {
    pb::Payload payload;
    const std::string plain = unframe_payload(envelope);
    if (!payload.ParseFromString(plain)) {
        throw FormatError("the body is not a Payload");
    }
    std::vector<nlohmann::ordered_json> lines;
    if (payload.has_birth()) {
        auto t = std::make_shared<BirthTable>();
        t->birth = payload.birth();
        for (const pb::Signal &s : t->birth.signals()) {
            t->signals[s.alias()] = &s;
        }
        for (const pb::RawGroup &g : t->birth.raw_groups()) {
            t->raw[g.alias()] = &g;
        }
        births_[t->birth.birth_id()] = t;
        return lines;
    }
    if (!payload.has_batch()) {
        throw FormatError("a Payload with neither birth nor batch");
    }
    const pb::Batch &b = payload.batch();
    const auto found = births_.find(b.birth_id());
    if (found == births_.end()) {
        throw FormatError(
            fmt::format("batch {} refers to birth {}, not seen", b.seq(), b.birth_id()));
    }
    const BirthTable &table = *found->second;
    const std::string &vehicle = table.birth.vehicle();
    const int64_t unit = table.birth.time_unit_us() != 0 ? table.birth.time_unit_us() : 1000;
    seqs_.push_back(b.seq());
    last_batch_ = {b.base_time() * unit, (b.base_time() + static_cast<int64_t>(b.span())) * unit,
                   b.historical()};
    covered_until_us_ = std::max(covered_until_us_, last_batch_.until_us);
    auto historical = [&](nlohmann::ordered_json &j) {
        if (b.historical()) {
            j["historical"] = true;
        }
    };

    for (const pb::SignalSeries &series : b.signals()) {
        const auto sit = table.signals.find(series.alias());
        if (sit == table.signals.end()) {
            throw FormatError(fmt::format("batch {}: alias {} is not in birth {}", b.seq(),
                                          series.alias(), b.birth_id()));
        }
        const pb::Signal &s = *sit->second;
        Timeline &tl = timelines_[{source_of(s), s.pgn(), s.spn(), s.name()}];
        tl.info.source = s.has_source() ? std::optional<uint32_t>(s.source()) : std::nullopt;
        tl.info.pgn = s.pgn();
        tl.info.spn = s.spn();
        tl.info.name = s.name();
        tl.info.unit = s.unit();
        tl.info.kind = s.kind();
        tl.info.scale = s.scale();
        tl.info.offset = s.offset();
        tl.info.tolerance = s.tolerance();
        tl.info.linear = s.reconstruction() == pb::RECONSTRUCTION_LINEAR;
        tl.info.heartbeat_us =
            static_cast<int64_t>(s.heartbeat_ms() != 0 ? s.heartbeat_ms()
                                                       : table.birth.heartbeat_ms()) *
            1000;
        for (const pb::StateText &t : s.state_texts()) {
            tl.info.texts[t.code()] = t.text();
        }
        for (const pb::StateText &t : series.new_state_texts()) {
            tl.info.texts[t.code()] = t.text();
        }
        if (series.times_size() != series.values_size() ||
            series.state_times_size() != series.states_size() ||
            series.text_times_size() != series.texts_size()) {
            throw FormatError(fmt::format("batch {}: alias {} has columns of unequal length",
                                          b.seq(), series.alias()));
        }
        std::vector<TimelinePoint> points;
        int64_t at = b.base_time();
        int64_t raw = 0;
        size_t next_start = 0;
        for (int i = 0; i < series.times_size(); ++i) {
            at += static_cast<int64_t>(series.times(i));
            raw += series.values(i);
            TimelinePoint p;
            p.kind = TimelinePoint::Kind::number;
            p.time_us = at * unit;
            p.value = static_cast<double>(raw) * s.scale() + s.offset();
            while (next_start < static_cast<size_t>(series.segment_starts_size()) &&
                   series.segment_starts(static_cast<int>(next_start)) < static_cast<uint32_t>(i)) {
                ++next_start;
            }
            p.segment_start =
                next_start < static_cast<size_t>(series.segment_starts_size()) &&
                series.segment_starts(static_cast<int>(next_start)) == static_cast<uint32_t>(i);
            points.push_back(p);
        }
        // The state and text columns: their times, each point as filled in.
        auto column = [&](const auto &times, TimelinePoint::Kind kind, const auto &fill) {
            int64_t t = b.base_time();
            for (int i = 0; i < times.size(); ++i) {
                t += static_cast<int64_t>(times.Get(i));
                TimelinePoint p;
                p.kind = kind;
                p.time_us = t * unit;
                fill(p, i);
                points.push_back(std::move(p));
            }
        };
        column(series.state_times(), TimelinePoint::Kind::state,
               [&](TimelinePoint &p, int i) { p.code = series.states(i); });
        column(series.text_times(), TimelinePoint::Kind::text,
               [&](TimelinePoint &p, int i) { p.text = series.texts(i); });
        // numbers before states before texts at equal times
        std::stable_sort(
            points.begin(), points.end(),
            [](const TimelinePoint &x, const TimelinePoint &y) { return x.time_us < y.time_us; });
        // A gap longer than the heartbeat after the signal's latest point:
        // silent from a heartbeat after it.
        std::optional<int64_t> latest;
        if (!tl.points.empty()) {
            latest = tl.points.back().time_us;
        }
        std::vector<TimelinePoint> marked;
        marked.reserve(points.size());
        for (const TimelinePoint &p : points) {
            if (latest && tl.info.heartbeat_us > 0 && p.time_us - *latest > tl.info.heartbeat_us) {
                TimelinePoint silent;
                silent.kind = TimelinePoint::Kind::state;
                silent.time_us = *latest + tl.info.heartbeat_us;
                silent.code = TimelinePoint::kSilent;
                marked.push_back(silent);
            }
            latest = latest ? std::max(*latest, p.time_us) : p.time_us;
            marked.push_back(p);
        }
        points = std::move(marked);
        for (const TimelinePoint &p : points) {
            nlohmann::ordered_json j = head_of(vehicle, s);
            j["timestamp"] = rfc3339_utc(p.time_us);
            switch (p.kind) {
            case TimelinePoint::Kind::number:
                j["value"] = p.value;
                break;
            case TimelinePoint::Kind::state:
                if (p.code == -1 || p.code == -2 || p.code == TimelinePoint::kSilent) {
                    j["value"] = nullptr;
                    j["state"] = p.code == -1 ? "not available" : p.code == -2 ? "error" : "silent";
                } else {
                    j["state"] = p.code;
                    j["text"] = state_text(tl.info.texts, p.code);
                }
                break;
            case TimelinePoint::Kind::text:
                j["text"] = p.text;
                break;
            }
            if (s.kind() == pb::SIGNAL_KIND_NUMBER) {
                j["tolerance"] = s.tolerance();
                j["reconstruction"] = tl.info.linear ? "linear" : "step";
            }
            historical(j);
            lines.push_back(std::move(j));
        }
        // Batches of one signal come in time order; the merge keeps it.
        const auto middle = static_cast<std::ptrdiff_t>(tl.points.size());
        tl.points.insert(tl.points.end(), points.begin(), points.end());
        std::inplace_merge(
            tl.points.begin(), tl.points.begin() + middle, tl.points.end(),
            [](const TimelinePoint &x, const TimelinePoint &y) { return x.time_us < y.time_us; });
    }

    for (const pb::RawSeries &series : b.raw()) {
        const auto git = table.raw.find(series.alias());
        if (git == table.raw.end() || series.times_size() != series.payloads_size()) {
            throw FormatError(fmt::format("batch {}: raw alias {} is not in birth {}", b.seq(),
                                          series.alias(), b.birth_id()));
        }
        const pb::RawGroup &g = *git->second;
        const int source = g.has_source() ? static_cast<int>(g.source()) : -1;
        int64_t at = b.base_time();
        for (int i = 0; i < series.times_size(); ++i) {
            at += static_cast<int64_t>(series.times(i));
            raw_[{source, g.pgn()}].emplace_back(at * unit, series.payloads(i));
            nlohmann::ordered_json j;
            j["vehicle"] = vehicle;
            j["source"] = g.has_source() ? nlohmann::ordered_json(g.source()) : nullptr;
            j["pgn"] = g.pgn();
            j["timestamp"] = rfc3339_utc(at * unit);
            j["data"] = hex_bytes(series.payloads(i));
            historical(j);
            lines.push_back(std::move(j));
        }
    }

    for (const pb::EventWindow &w : b.events()) {
        const int64_t event_us = (b.base_time() + static_cast<int64_t>(w.time())) * unit;
        nlohmann::ordered_json j;
        j["vehicle"] = vehicle;
        j["event"] = w.cause() == pb::EVENT_CAUSE_DM1 ? "dm1" : "condition";
        if (w.cause() != pb::EVENT_CAUSE_DM1) {
            j["condition"] = w.condition();
        }
        j["timestamp"] = rfc3339_utc(event_us);
        j["before_ms"] = w.before_ms();
        j["after_ms"] = w.after_ms();
        if (w.frame_times_us_size() != w.frame_ids_size() ||
            w.frame_ids_size() != w.frame_data_size()) {
            throw FormatError(fmt::format("batch {}: an event window of unequal columns", b.seq()));
        }
        nlohmann::ordered_json frames = nlohmann::ordered_json::array();
        // (frame times count from the event's own time in µs, before truncation)
        int64_t t = event_us;
        for (int i = 0; i < w.frame_ids_size(); ++i) {
            t += w.frame_times_us(i);
            nlohmann::ordered_json f;
            f["timestamp"] = rfc3339_utc(t);
            f["id"] = frame_id_text(w.frame_ids(i));
            f["data"] = hex_bytes(w.frame_data(i));
            frames.push_back(std::move(f));
        }
        j["frames"] = std::move(frames);
        if (w.frames_lost() != 0) {
            j["frames_lost"] = w.frames_lost();
        }
        historical(j);
        events_.emplace_back(w.cause(), static_cast<size_t>(w.frame_ids_size()));
        lines.push_back(std::move(j));
    }
    return lines;
}

} // namespace vehcan::cli
