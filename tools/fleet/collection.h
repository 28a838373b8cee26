// SPDX-License-Identifier: MIT
// What the compact uplink sends of each value: the collection settings (the
// defaults, `exact`, or a campaign from the configuration file), each
// signal's tolerance, and the tracker that keeps a signal's points to the
// fewest that reconstruct it within that tolerance.
#ifndef VEHCAN_FLEET_COLLECTION_H
#define VEHCAN_FLEET_COLLECTION_H

#include "uplink_message.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vehcan::cli {

enum class Reconstruction { step, linear };

// ---- settings ----

// One [[signal]] table of a campaign: which values it is about (an SPN, a
// PGN, optionally one sender) and what it changes for them. A rule naming
// an SPN takes precedence over one naming only its PGN.
struct SignalRule {
    std::optional<uint32_t> pgn;
    std::optional<unsigned long> spn;
    std::optional<int> source;
    std::optional<double> tolerance; // in the value's unit
    std::optional<Reconstruction> reconstruction;
    std::optional<int64_t> heartbeat_ms;
    std::optional<int64_t> min_interval_ms;
    bool exclude = false; // leave the values out
    bool raw = false;     // stream the PGN's payloads (a PGN without decoder)
    // A condition: an event window when the value rises above event_above
    // (or falls below event_below), rising edge only, at most every
    // event_interval_ms.
    std::optional<double> event_above;
    std::optional<double> event_below;
    std::string event_name;
    int64_t event_interval_ms = 60000;
    int line = 0; // where it stands in its file (0: not from a file)

    bool operator==(const SignalRule &) const = default;
};

struct CollectionSettings {
    std::string name = "default"; // "exact", or the campaign's
    bool exact = false;           // every change of every value, step, tolerance 0
    int64_t heartbeat_ms = 60000;
    int64_t batch_ms = 60000;        // a batch at least this often
    size_t batch_bytes = 64 * 1024;  // ... and sooner once its points take this much
    int64_t event_before_ms = 10000; // the raw frames kept before an event ...
    int64_t event_after_ms = 10000;  // ... and sent after it
    size_t event_frames = 100000;    // the ring buffer's room, in frames
    int64_t capture_ms = 0;          // the ring keeps at least this long for captures on request
    bool dm1_events = true;          // an event window at every DM1 change
    int zstd_level = 19;
    std::vector<SignalRule> rules;

    bool operator==(const CollectionSettings &) const = default;
};

// ---- each signal's parameters ----

struct SignalParams {
    bool excluded = false;
    bool counter = false;
    double scale = 1;     // the raw count's size in the unit
    double offset = 0;    // value = raw * scale + offset
    double tolerance = 0; // in the unit
    double minimum = 0;   // the valid range
    double maximum = 0;
    Reconstruction reconstruction = Reconstruction::linear;
    int64_t heartbeat_us = 60000000;
    int64_t min_interval_us = 0;
};

// Gauges: at most this share of the range, never finer than the resolution.
inline constexpr double kGaugeShare = 0.005;

// Whether an SPN is a running total (distance, fuel used, hours,
// revolutions), and its default tolerance: a small absolute step, or 0
// when the SPN is none.
double counter_step(unsigned long spn);

// The parameters of a value of pgn from source under settings: the
// defaults from the value's resolution and range, then the campaign's rules.
SignalParams signal_params(const CollectionSettings &settings, uint32_t pgn, int source,
                           const UplinkValue &value);

// The rule that applies to pgn (and spn, 0: the PGN as a whole) from
// source, if any.
const SignalRule *find_rule(const CollectionSettings &settings, uint32_t pgn, unsigned long spn,
                            int source);

// ---- the points of one signal ----

// A point the fleet gets. kind number: raw; state: code (a state's, or
// kNotAvailable / kError); text: text.
struct Point {
    enum class Kind { number, state, text };
    Kind kind = Kind::number;
    int64_t time_us = 0; // the reading's time, µs since 1970
    int64_t raw = 0;     // number: the count; state: the code
    std::string text;
    bool segment_start = false; // number: not joined to the point before
};

inline constexpr int64_t kNotAvailable = -1;
inline constexpr int64_t kError = -2;

// The wire's time unit, in µs: every point's time is truncated to it.
inline constexpr int64_t kTimeUnitUs = 1000;

// Decides, reading by reading, which points of one signal go out: a number
// when the reconstruction (step or linear, see docs/fleet-format.md) would
// otherwise be off by more than the tolerance at some reading, a state or
// text when it changes, and a number again after the signal was silent for
// longer than a heartbeat. Two points of a live signal (one read at least
// once a heartbeat) are never more than a heartbeat apart: a longer gap
// between two points means it was silent. The
// linear case is a swinging door: the last reading that a straight line
// from the last point still fits within the tolerance of every reading
// between them is held back, and goes out when the next one no longer fits.
// Not thread-safe.
class SignalTracker {
  public:
    explicit SignalTracker(const SignalParams &params);

    // One reading; the points it settles are appended to out.
    void number(int64_t time_us, int64_t raw, std::vector<Point> &out);
    void state(int64_t time_us, int64_t code, std::vector<Point> &out);
    void text(int64_t time_us, const std::string &text, std::vector<Point> &out);
    // The reading held back (linear) goes out when no reading came for
    // longer than a heartbeat before now_us: the signal went silent.
    void idle(int64_t now_us, std::vector<Point> &out);
    // The reading held back (linear), sent now: at the end of a run.
    void finish(std::vector<Point> &out);

    // The raw count of a number in this signal's scale.
    int64_t raw_of(double value) const;

  private:
    struct Reading {
        int64_t time_us;
        int64_t raw;
    };
    void emit_number(const Reading &r, std::vector<Point> &out);
    void jump(const Reading &r, std::vector<Point> &out);
    void change(Point pt, std::vector<Point> &out);
    void restart_door(const Reading &anchor);
    void narrow_door(const Reading &r);
    bool fits(const Reading &r) const;
    bool silent_since_last(int64_t time_us) const;

    SignalParams p_;
    double tolerance_raw_; // in counts

    // the latest point sent
    bool have_point_ = false;
    Point::Kind last_kind_ = Point::Kind::number;
    int64_t point_time_us_ = 0; // truncated to the time unit
    int64_t point_raw_ = 0;
    std::string point_text_;

    // linear: the door from the last number point
    std::optional<Reading> held_; // the latest reading a line may end at
    double low_ = 0;              // slopes (counts a µs) that fit every reading so far
    double high_ = 0;
    bool door_open_ = false;

    bool have_reading_ = false;
    int64_t reading_time_us_ = 0;
    int64_t reading_raw_ = 0; // number: the latest reading's count
    bool next_starts_segment_ = true;
};

} // namespace vehcan::cli

#endif
