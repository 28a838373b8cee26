// SPDX-License-Identifier: MIT
// What a report says about a capture, gathered while the caller decodes it:
// the caller feeds every CAN frame, every J1939 message and the values it
// decoded from each; the report keeps the bus statistics, each signal's
// samples, the trouble codes' and lamps' timelines and what the nodes said
// about themselves, and gives them back as the page's data block
// (docs/report.md describes its fields) or as series for a plot.
//
// The report knows nothing of decoding: the caller names each signal and
// its unit, and the texts of states and trouble codes. Times are
// microseconds since the capture's first frame. Not thread-safe: one
// decoding thread feeds it.
#ifndef VEHCAN_REPORT_CAPTURE_REPORT_H
#define VEHCAN_REPORT_CAPTURE_REPORT_H

#include "reduce.h"

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vehcan::report {

// A signal: the parameter group it came in, its sender, its SPN (0 when it
// has none) and its name; the unit of a number ("" for none).
struct SignalRef {
    uint32_t pgn = 0;
    uint8_t source = 0;
    unsigned long spn = 0;
    std::string_view name;
    std::string_view unit;
};

// A diagnostic message's lamps as J1939 sends them: 0 off, 1 on,
// 2 reserved, 3 not available.
struct LampStatus {
    int malfunction = 3;
    int red_stop = 3;
    int amber_warning = 3;
    int protect = 3;
};

// One code of a diagnostic message (DM1: the sender's active codes).
struct ActiveCode {
    unsigned long spn = 0;
    int fmi = 0;
    int occurrences = 0;
    std::string_view spn_name; // "" when nothing names the SPN
    std::string_view fmi_text;
};

// The samples of one signal.
struct Series {
    enum class Kind { number, state };
    Kind kind = Kind::number;
    uint32_t pgn = 0;
    uint8_t source = 0;
    unsigned long spn = 0;
    std::string name;
    std::string unit;
    std::map<long, std::string> states; // the text of each state value seen
    unsigned long samples = 0;          // every sample fed
    unsigned long finite = 0;           // those with a value (not "not available")
    // The samples in time order, except that a run of one value keeps only
    // its first and last sample: the same line, drawn from fewer points.
    std::vector<Point> points;
};

// How the data block is made.
struct PageSettings {
    std::string title;    // the capture's file name
    std::string producer; // "vehcan replay 0.1.0"
    uint32_t bitrate = 250000;
    std::set<unsigned long> spns; // chart only these SPNs; empty: every signal
    // Points of all levels of all series together, at most, about 12 bytes
    // each in the page (share_budget() shares them out). Every series has
    // its coarsest level, whatever is left.
    size_t point_budget = 600000;
};

class CaptureReport {
  public:
    // ---- what the caller feeds ----------------------------------------------------

    // The capture's first frame in Unix microseconds, when it has times.
    void set_start(int64_t unix_us) { start_unix_us_ = unix_us; }
    // Every CAN frame of the capture, J1939 or not, with its data length.
    void frame(int64_t time_us, unsigned data_bytes, bool extended);
    // Every J1939 message: a single frame, or a transfer put together.
    // acronym and name describe the PGN ("" when unknown); the first ones
    // given for a PGN are kept.
    void message(int64_t time_us, uint32_t pgn, uint8_t source, std::string_view acronym,
                 std::string_view name);
    // A decoded number; NaN when the sender said "not available".
    void number(int64_t time_us, const SignalRef &signal, double value);
    // A sample that said "not available": a gap in the signal's line (a
    // number's, unless the signal has come as a state before).
    void not_available(int64_t time_us, const SignalRef &signal);
    // A decoded state value and its text.
    void state(int64_t time_us, const SignalRef &signal, long value, std::string_view text);
    // A diagnostic message of source with its active codes: a code listed
    // starts or continues its band; a code of that source not listed ends
    // its band at its last sighting. The same for each lamp that is on.
    void diagnostic(int64_t time_us, uint8_t source, const LampStatus &lamps,
                    std::span<const ActiveCode> codes);
    // Something a node said about itself ("NAME", "VIN", "make"); a later
    // value of the same label replaces the earlier one.
    void node_fact(uint8_t address, std::string_view label, std::string_view value);
    // A line of the summary that only the caller knows ("malformed lines").
    void summary_row(std::string_view label, std::string_view value);

    // ---- what it gives back -------------------------------------------------------

    const std::vector<Series> &series() const { return series_; }
    // Whether a message of address has been fed.
    bool has_node(uint8_t address) const { return nodes_.contains(address); }
    // The series of one SPN, or nothing.
    std::vector<const Series *> series_of(unsigned long spn) const;
    unsigned long frames() const { return frames_; }
    // The time of the earliest and the latest frame (0, 0 without frames).
    std::pair<int64_t, int64_t> time_range() const;
    // The page's data block.
    nlohmann::json data(const PageSettings &settings) const;

  private:
    struct Span {
        int64_t first_us = 0;
        int64_t last_us = 0;
    };
    struct Band {
        std::vector<Span> spans;
        bool open = false; // the last message of its source had it
        unsigned long messages = 0;
        void seen(int64_t time_us);
    };
    struct CodeTrack {
        uint8_t source = 0;
        unsigned long spn = 0;
        int fmi = 0;
        std::string spn_name;
        std::string fmi_text;
        int occurrences = 0; // the highest count the sender gave
        Band band;
    };
    struct PgnStats {
        unsigned long count = 0;
        int64_t first_us = 0;
        int64_t last_us = 0;
        // Welford's running mean and sum of squared deviations of the
        // intervals between messages, in seconds.
        double mean = 0;
        double m2 = 0;
        double min = 0;
        double max = 0;
    };
    struct Node {
        unsigned long messages = 0;
        std::set<uint32_t> pgns;
        std::vector<std::pair<std::string, std::string>> facts;
    };
    struct BusSlot {
        unsigned long frames = 0;
        uint64_t bits = 0;
    };

    // The signal's series of that kind, made when new; any kind when
    // kind is nothing (a number when new).
    Series &find_series(const SignalRef &signal, std::optional<Series::Kind> kind);
    void add_point(Series &s, int64_t time_us, double value);
    void time_seen(int64_t time_us);

    nlohmann::json bus_json(uint32_t bitrate,
                            std::vector<std::pair<std::string, std::string>> &rows) const;
    nlohmann::json series_json(const PageSettings &settings, nlohmann::json &charts) const;
    nlohmann::json timeline_json(nlohmann::json &lamps) const;

    std::optional<int64_t> start_unix_us_;
    bool have_time_ = false;
    int64_t min_us_ = 0;
    int64_t max_us_ = 0;
    unsigned long frames_ = 0;
    unsigned long extended_frames_ = 0;
    unsigned long messages_ = 0;
    std::map<int64_t, BusSlot> bus_; // by 100 ms slot
    std::map<std::pair<uint32_t, uint8_t>, PgnStats> pgns_;
    std::map<uint32_t, std::pair<std::string, std::string>> pgn_names_;
    std::map<uint8_t, Node> nodes_;
    std::vector<Series> series_;
    // Series indexes by (PGN << 8 | source): few per group, searched in line.
    std::unordered_map<uint32_t, std::vector<size_t>> series_by_group_;
    std::vector<CodeTrack> codes_;
    std::map<std::pair<uint8_t, int>, Band> lamps_; // (source, lamp index)
    std::vector<std::pair<std::string, std::string>> summary_rows_;
};

// The frame's length on the wire in bits, without stuff bits: 67 plus 8 a
// byte for a 29-bit identifier, 47 plus 8 a byte for an 11-bit one.
unsigned frame_bits(unsigned data_bytes, bool extended);

} // namespace vehcan::report

#endif
