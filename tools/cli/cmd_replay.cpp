// SPDX-License-Identifier: MIT
// vehcan replay: decodes a candump capture offline, to a timeline and a
// summary, to the broker, or to a report page; vehcan plot: a few of its
// signals as an SVG chart.
#include "candump.h"
#include "commands.h"
#include "common.h"
#include "decode.h"
#include "j1939_id.h"
#include "pgn_names.h"
#include "replay_pace.h"
#include "report_feed.h"
#include "timestamp.h"
#include "transport.h"
#include "uplink.h"
#include "uplink_cost.h"
#include "uplink_feed.h"

#include <monitor_config.h>

#include <capture_report.h>
#include <page.h>
#include <svg_plot.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fmt/format.h>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <system_error>
#include <tuple>
#include <unistd.h>

namespace vehcan::cli {

namespace {

constexpr uint32_t kPgnVehicleIdentification = 65260;
constexpr uint32_t kPgnDriverIdentification = 65131;

struct CodeSeen {
    unsigned long count = 0;
    int64_t first_us = 0;
    std::string description;
};

struct Summary {
    unsigned long lines = 0;
    unsigned long malformed = 0; // lines that are no candump line, skipped
    unsigned long frames = 0;
    unsigned long skipped = 0; // 11-bit, remote and error frames
    unsigned long messages = 0;
    std::map<uint32_t, unsigned long> per_pgn;
    // (source, SPN, FMI) of every trouble code seen
    std::map<std::tuple<uint8_t, unsigned long, int>, CodeSeen> codes;
    std::string vin;
    std::string driver1;
    std::string driver2;
};

std::string count_of(unsigned long n, std::string_view thing) {
    return fmt::format("{} {}{}", n, thing, n == 1 ? "" : "s");
}

std::string seconds_text(int64_t us) {
    return fmt::format("{}.{:03}", us / 1000000, (us % 1000000) / 1000);
}

std::string hex_text(const std::vector<uint8_t> &data) {
    std::string s;
    for (uint8_t b : data) {
        s += fmt::format("{}{:02X}", s.empty() ? "" : " ", b);
    }
    return s;
}

class Replay {
  public:
    Replay(const Database *db, bool json, bool quiet, Uplink *uplink, UplinkCost *cost)
        : db_(db), json_(json), quiet_(quiet), uplink_(uplink), cost_(cost) {}

    void frame(const CanFrame &f) {
        ++summary_.frames;
        if (f.has_time && !f.error_frame && !f.remote) {
            // every frame, for the compact uplink's event windows
            const uint32_t id = f.extended ? f.id : (f.id | 0x80000000U);
            if (uplink_ != nullptr && uplink_->compact()) {
                uplink_->frame(f.time_us, id, f.data.data(), f.len);
            }
            if (cost_ != nullptr) {
                cost_->frame(f.time_us, id, f.data.data(), f.len);
            }
            first_us_ = std::min(first_us_, f.time_us);
            last_us_ = std::max(last_us_, f.time_us);
        }
        // Times count from the capture's first frame, J1939 or not.
        if (f.has_time && !have_start_ && !f.error_frame) {
            start_us_ = f.time_us;
            have_start_ = true;
        }
        if (report_ != nullptr && !f.error_frame) {
            report_->frame(f.has_time ? f.time_us - start_us_ : 0, f.remote ? 0 : f.len,
                           f.extended);
        }
        if (!f.extended || f.remote || f.error_frame) {
            ++summary_.skipped;
            return;
        }
        const J1939Id id = split_j1939_id(f.id);
        J1939Message m;
        m.has_time = f.has_time;
        m.time_us = f.has_time ? f.time_us - start_us_ : 0;
        m.priority = id.priority;
        m.pgn = id.pgn;
        m.source = id.source;
        m.destination = id.destination;
        m.data.assign(f.data.begin(), f.data.begin() + f.len);
        FeedResult r = tp_.feed(m);
        if (!r.note.empty()) {
            note(m, r.note);
        }
        if (r.message) {
            message(*r.message);
        }
    }

    void finish(const std::string &file) {
        if (quiet_) {
            return;
        }
        const TransportCounters &c = tp_.counters();
        if (json_) {
            nlohmann::json per_pgn = nlohmann::json::array();
            for (const auto &[pgn, n] : summary_.per_pgn) {
                nlohmann::json e{{"pgn", pgn}, {"messages", n}};
                if (const PgnName *name = find_pgn_name(pgn)) {
                    e["acronym"] = name->acronym;
                }
                per_pgn.push_back(e);
            }
            nlohmann::json codes = nlohmann::json::array();
            for (const auto &[key, seen] : summary_.codes) {
                nlohmann::json e{{"source", std::get<0>(key)},
                                 {"spn", std::get<1>(key)},
                                 {"fmi", std::get<2>(key)},
                                 {"fmi_text", fmi_text(std::get<2>(key))},
                                 {"messages", seen.count},
                                 {"first_seen", static_cast<double>(seen.first_us) / 1e6}};
                if (!seen.description.empty()) {
                    e["description"] = seen.description;
                }
                codes.push_back(e);
            }
            nlohmann::json s{{"file", file},
                             {"lines", summary_.lines},
                             {"malformed_lines", summary_.malformed},
                             {"frames", summary_.frames},
                             {"skipped_frames", summary_.skipped},
                             {"messages", summary_.messages},
                             {"transport_frames", c.transport_frames},
                             {"transfers_completed", c.completed},
                             {"transfers_aborted", c.aborted},
                             {"transfers_dropped", c.dropped},
                             {"transfers_unfinished", tp_.open_transfers()},
                             {"per_pgn", per_pgn},
                             {"dtcs", codes}};
            if (!summary_.vin.empty()) {
                s["vin"] = summary_.vin;
            }
            if (!summary_.driver1.empty() || !summary_.driver2.empty()) {
                s["driver_ids"] = {summary_.driver1, summary_.driver2};
            }
            fmt::print(out(), "{}\n", nlohmann::json{{"summary", s}}.dump());
            return;
        }
        fmt::print(out(),
                   "\nsummary of {}: {} frames, {} J1939 messages ({} reassembled from "
                   "{} transport frames), {} frames not J1939\n",
                   file, summary_.frames, summary_.messages, c.completed, c.transport_frames,
                   summary_.skipped);
        if (summary_.malformed > 0) {
            fmt::print(out(), "{} skipped\n", count_of(summary_.malformed, "malformed line"));
        }
        if (c.aborted + c.dropped + tp_.open_transfers() > 0) {
            fmt::print(out(), "transfers: {} aborted, {} dropped, {} unfinished\n", c.aborted,
                       c.dropped, tp_.open_transfers());
        }
        fmt::print(out(), "messages per PGN:\n");
        for (const auto &[pgn, n] : summary_.per_pgn) {
            const PgnName *name = find_pgn_name(pgn);
            fmt::print(out(), "  {:>6}  {:<6} {:>6}  {}\n", pgn,
                       name != nullptr ? name->acronym : "", n, name != nullptr ? name->name : "");
        }
        fmt::print(out(), "trouble codes seen:{}\n", summary_.codes.empty() ? " none" : "");
        for (const auto &[key, seen] : summary_.codes) {
            fmt::print(out(), "  SPN {} FMI {} from 0x{:02X}: {}{}; in {}, first at {} s\n",
                       std::get<1>(key), std::get<2>(key), std::get<0>(key),
                       seen.description.empty() ? "" : seen.description + ", ",
                       fmi_text(std::get<2>(key)), count_of(seen.count, "message"),
                       seconds_text(seen.first_us));
        }
        fmt::print(out(), "VIN: {}\n", summary_.vin.empty() ? "not seen" : summary_.vin);
        if (!summary_.driver1.empty() || !summary_.driver2.empty()) {
            fmt::print(out(), "driver ids: {} / {}\n", summary_.driver1, summary_.driver2);
        }
    }

    Summary &summary() { return summary_; }
    int64_t first_us() const { return first_us_; }
    int64_t last_us() const { return last_us_; }

    // Every message from now on goes to the report too.
    void set_report(report::CaptureReport *r) { report_ = r; }

    // The report's summary lines that only the replay knows.
    void finish_report(report::CaptureReport &r) const {
        if (have_start_) {
            r.set_start(start_us_);
        }
        const TransportCounters &c = tp_.counters();
        r.summary_row("capture lines", fmt::format("{}, {} malformed and skipped", summary_.lines,
                                                   summary_.malformed));
        r.summary_row("frames not J1939",
                      fmt::format("{} (11-bit, remote or error frames)", summary_.skipped));
        r.summary_row("transport transfers",
                      fmt::format("{} completed from {} frames, {} aborted, {} dropped, {} "
                                  "unfinished",
                                  c.completed, c.transport_frames, c.aborted, c.dropped,
                                  tp_.open_transfers()));
        if (!summary_.vin.empty()) {
            r.summary_row("VIN", summary_.vin);
        }
    }

  private:
    void note(const J1939Message &m, const std::string &text) {
        if (quiet_) {
            return;
        }
        if (json_) {
            nlohmann::json j{{"time", static_cast<double>(m.time_us) / 1e6}, {"note", text}};
            fmt::print(out(), "{}\n", j.dump());
        } else {
            fmt::print(out(), "{:>10}  ! {}\n", seconds_text(m.time_us), text);
        }
    }

    void message(const J1939Message &m) {
        ++summary_.messages;
        ++summary_.per_pgn[m.pgn];
        const Decoded d = decode_payload(m.pgn, m.data.data(), m.data.size(), db_);
        if (report_ != nullptr) {
            feed_report(*report_, m, d);
        }
        for (const TroubleCode &code : d.codes) {
            CodeSeen &seen = summary_.codes[{m.source, code.spn, code.fmi}];
            if (seen.count++ == 0) {
                seen.first_us = m.time_us;
                seen.description = code.description;
            }
        }
        for (const Field &f : d.fields) {
            if (m.pgn == kPgnVehicleIdentification && f.name == "VIN") {
                summary_.vin = f.text;
            } else if (m.pgn == kPgnDriverIdentification && f.name == "driver 1 id") {
                summary_.driver1 = f.text;
            } else if (m.pgn == kPgnDriverIdentification && f.name == "driver 2 id") {
                summary_.driver2 = f.text;
            }
        }
        const int64_t unix_us = m.has_time ? start_us_ + m.time_us : unix_now_us();
        const bool compact = uplink_ != nullptr && uplink_->compact();
        if (compact) {
            feed_compact(*uplink_, d, m.data.data(), m.data.size(), unix_us, m.source,
                         static_cast<double>(m.time_us) / 1e6);
        }
        Uplink *json_uplink = compact ? nullptr : uplink_;
        if (json_ || json_uplink != nullptr || cost_ != nullptr) {
            nlohmann::json j = to_json(d);
            j["time"] = static_cast<double>(m.time_us) / 1e6;
            j["priority"] = m.priority;
            j["source"] = m.source;
            j["destination"] = m.destination;
            j["length"] = m.data.size();
            if (m.reassembled) {
                j["reassembled"] = true;
            }
            if (!d.decoded) {
                j["data"] = hex_text(m.data);
            }
            // The capture's own time: a backfill keeps when things happened.
            stamp_message(j, unix_us, json_uplink != nullptr ? json_uplink->next_seq() : ++seq_);
            if (json_uplink != nullptr) {
                json_uplink->message(m.time_us, m.source, m.pgn, j);
            }
            if (cost_ != nullptr) {
                std::optional<nlohmann::json> store;
                cost_->message(uplink_message(d, m.data.data(), m.data.size(), unix_us, m.source,
                                              static_cast<double>(m.time_us) / 1e6, store),
                               j);
            }
            if (json_ && !quiet_) {
                fmt::print(out(), "{}\n", j.dump());
            }
            if (json_ || quiet_ || cost_ != nullptr) {
                return;
            }
        }
        if (quiet_) {
            return;
        }
        fmt::print(out(), "{:>10}  {:02X}->{:02X}  {:>6} {:<6} {}\n", seconds_text(m.time_us),
                   m.source, m.destination, m.pgn, d.acronym,
                   d.decoded ? values_text(d) : "[" + hex_text(m.data) + "]");
    }

    const Database *db_;
    bool json_;
    bool quiet_;
    Uplink *uplink_;
    UplinkCost *cost_;
    int64_t first_us_ = std::numeric_limits<int64_t>::max();
    int64_t last_us_ = std::numeric_limits<int64_t>::min();
    report::CaptureReport *report_ = nullptr;
    bool have_start_ = false;
    int64_t start_us_ = 0;
    uint64_t seq_ = 0; // without an uplink, numbered per run
    TransportReassembler tp_;
    Summary summary_;
};

// Reads the capture line by line: each frame goes to on_frame; a malformed
// line is reported on stderr and skipped, or ends the run with --strict.
// Fills the summary's line counts.
void read_capture(const std::string &file, bool strict, Summary &summary,
                  const std::function<void(const CanFrame &)> &on_frame) {
    std::ifstream in(file);
    if (!in) {
        throw Failure(kExitCapture, fmt::format("cannot open capture {}: {}", file,
                                                std::generic_category().message(errno)));
    }
    std::string line;
    unsigned long number = 0;
    while (std::getline(in, line)) {
        ++number;
        CanFrame frame;
        std::string error;
        switch (parse_candump_line(line, &frame, &error)) {
        case LineKind::frame:
            on_frame(frame);
            break;
        case LineKind::blank:
            break;
        case LineKind::error:
            (void)std::fflush(out());
            if (strict) {
                throw Failure(kExitCapture, fmt::format("{}:{}: {}", file, number, error));
            }
            // A cut-off line or another tool's output in a long capture costs
            // that line, not the whole replay.
            fmt::print(stderr, "{}:{}: {}\n", file, number, error);
            ++summary.malformed;
            break;
        }
    }
    if (in.bad()) {
        throw Failure(kExitCapture, fmt::format("reading {} failed", file));
    }
    summary.lines = number;
}

Failure no_frame(const std::string &file, const Summary &summary) {
    return {kExitCapture, fmt::format("{}: no CAN frame in {} lines", file, summary.lines)};
}

// "190,84" (spaces allowed after the commas), in the order given, each once.
std::vector<unsigned long> parse_spn_list(const std::string &text) {
    std::vector<unsigned long> spns;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        std::string_view item(text.data() + at, comma - at);
        while (!item.empty() && item.front() == ' ') {
            item.remove_prefix(1);
        }
        const unsigned long spn = parse_spn(item);
        if (std::find(spns.begin(), spns.end(), spn) == spns.end()) {
            spns.push_back(spn);
        }
        at = comma + 1;
    }
    return spns;
}

void write_file(const std::string &path, std::string_view content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (f) {
        f.write(content.data(), static_cast<std::streamsize>(content.size()));
        f.close();
    }
    if (!f) {
        throw Failure(kExitUsage, fmt::format("cannot write {}: {}", path,
                                              std::generic_category().message(errno)));
    }
}

// Writes the page of a replayed capture and says what is in it.
void write_report(const ReplayOptions &o, const report::ChartingLibrary &library,
                  const report::CaptureReport &page, const std::set<unsigned long> &spns) {
    report::PageSettings settings;
    settings.title = o.file;
    settings.producer = "vehcan replay";
    settings.bitrate = o.bitrate;
    settings.spns = spns;
    const nlohmann::json data = page.data(settings);
    const std::string html = report::render_page(data, library);
    write_file(o.report, html);
    fmt::print(out(), "{}: {:.1f} MB, {}, {} on {}, {}\n", o.report,
               static_cast<double>(html.size()) / 1e6, count_of(page.frames(), "frame"),
               count_of(data["series"].size(), "signal"), count_of(data["charts"].size(), "chart"),
               count_of(data["codes"].size(), "trouble code"));
}

} // namespace

int run_replay(const ReplayOptions &o) {
    std::optional<Database> db;
    if (auto path = database_path(o.db)) {
        db = open_database(*path);
    }
    if (o.speed < 0) {
        throw Failure(kExitUsage, "--speed must be 0 (at once) or more");
    }
    // The report's choices are checked, and its library read, before a
    // long capture is.
    std::set<unsigned long> spns;
    std::optional<report::ChartingLibrary> library;
    std::optional<report::CaptureReport> page;
    if (!o.report.empty()) {
        if (!o.spn.empty()) {
            for (unsigned long spn : parse_spn_list(o.spn)) {
                spns.insert(spn);
            }
        }
        if (o.bitrate == 0) {
            throw Failure(kExitUsage, "--bitrate must be more than 0");
        }
        library = report::load_charting_library(report::default_library_dir());
        page.emplace();
    } else if (!o.spn.empty()) {
        throw Failure(kExitUsage, "--spn chooses the signals of a --report");
    }
    MqttOptions mqtt = o.mqtt;
    if (auto path = database_path(o.db)) {
        mqtt.database = *path;
    }
    if (!o.config.empty()) {
        try {
            apply_collection(vehcan::service::load_config(o.config, ""), mqtt, {});
        } catch (const vehcan::service::ConfigError &e) {
            throw Failure(kExitUsage, e.what());
        }
    }
    std::optional<Uplink> uplink;
    if (!mqtt.url.empty() && !o.uplink_cost) {
        uplink.emplace(mqtt, true);
        uplink->online({{"capture", o.file}});
    }
    std::optional<UplinkCost> cost;
    if (o.uplink_cost) {
        cost.emplace(mqtt, o.uplink_save);
    }
    ReplayPace pace(o.uplink_cost ? 0 : o.speed);
    Replay replay(db ? &*db : nullptr, o.json && !o.uplink_cost,
                  o.quiet || o.uplink_cost || page.has_value(), uplink ? &*uplink : nullptr,
                  cost ? &*cost : nullptr);
    if (page) {
        replay.set_report(&*page);
    }
    read_capture(o.file, o.strict, replay.summary(), [&](const CanFrame &frame) {
        pace.wait_for(frame);
        if (uplink && !uplink->refused().empty()) {
            finish_uplink(*uplink, std::chrono::steady_clock::now());
        }
        replay.frame(frame);
    });
    if (page) {
        // A capture without a frame still gets its page, which says so.
        replay.finish_report(*page);
        write_report(o, *library, *page, spns);
    }
    if (replay.summary().frames == 0) {
        throw no_frame(o.file, replay.summary());
    }
    replay.finish(o.file);
    if (cost) {
        cost->report(out(), o.file, replay.first_us(), replay.last_us(), o.json);
    }
    if (uplink) {
        // A backfill waits for the broker as long as it takes.
        fmt::print(stderr, "mqtt: capture read, delivering what is left\n");
        finish_uplink(*uplink, std::chrono::steady_clock::time_point::max());
    }
    return kExitOk;
}

int run_plot(const PlotOptions &o) {
    if (o.spn.empty()) {
        throw Failure(kExitUsage, "--spn names the signals to plot, e.g. --spn 190,84");
    }
    const std::vector<unsigned long> spns = parse_spn_list(o.spn);
    const bool png = o.output.size() >= 4 && o.output.compare(o.output.size() - 4, 4, ".png") == 0;
    if (png) {
        throw Failure(kExitUsage, fmt::format("-o {}: vehcan writes SVG only; convert it with "
                                              "rsvg-convert (librsvg2-bin) or open it in a "
                                              "browser",
                                              o.output));
    }
    if (o.output.empty() && isatty(fileno(out())) != 0) {
        throw Failure(kExitUsage, "give -o FILE.svg: the SVG would go to the terminal");
    }
    if (o.width < 300 || o.width > 10000) {
        throw Failure(kExitUsage, "--width must be 300 to 10000 pixels");
    }
    std::optional<Database> db;
    if (auto path = database_path(o.db)) {
        db = open_database(*path);
    }
    report::CaptureReport samples;
    Replay replay(db ? &*db : nullptr, false, true, nullptr, nullptr);
    replay.set_report(&samples);
    read_capture(o.file, false, replay.summary(),
                 [&](const CanFrame &frame) { replay.frame(frame); });
    if (replay.summary().frames == 0) {
        throw no_frame(o.file, replay.summary());
    }
    std::vector<report::PlotSeries> plotted;
    std::vector<unsigned long> missing;
    for (unsigned long spn : spns) {
        const std::vector<const report::Series *> found = samples.series_of(spn);
        if (found.empty()) {
            missing.push_back(spn);
        }
        for (const report::Series *s : found) {
            const PgnName *name = find_pgn_name(s->pgn);
            report::PlotSeries p;
            p.label = fmt::format("{} (SPN {}, {} from 0x{:02X})", s->name, s->spn,
                                  name != nullptr ? std::string(name->acronym)
                                                  : fmt::format("PGN {}", s->pgn),
                                  s->source);
            p.unit = s->unit;
            p.state = s->kind == report::Series::Kind::state;
            p.states = s->states;
            p.points = s->points;
            plotted.push_back(std::move(p));
        }
    }
    if (plotted.empty()) {
        throw Failure(kExitCapture,
                      fmt::format("{}: none of the SPNs {} has a value", o.file, o.spn));
    }
    for (unsigned long spn : missing) {
        fmt::print(stderr, "vehcan: no value of SPN {} in {}\n", spn, o.file);
    }
    report::PlotSettings settings;
    settings.title = o.file;
    settings.width = o.width;
    const auto [t0, t1] = samples.time_range();
    const std::string svg = report::svg_plot(plotted, t0, t1, settings);
    if (o.output.empty()) {
        fmt::print(out(), "{}", svg);
    } else {
        write_file(o.output, svg);
    }
    return kExitOk;
}

} // namespace vehcan::cli
