// SPDX-License-Identifier: MIT
// The compact uplink's collection: see collection.h.
#include "collection.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace vehcan::cli {

namespace {

// Running totals and the step they are sent at: fine enough for a fleet's
// consumption and distance figures (100 m, half a litre, three minutes of
// engine time), coarse enough that a steady rate costs a point a minute.
struct Counter {
    unsigned long spn;
    double step; // in the SPN's unit
};
constexpr std::array kCounters{
    Counter{245, 0.1},  // total vehicle distance, km
    Counter{917, 100},  // total vehicle distance (high resolution), m
    Counter{244, 0.1},  // trip distance, km
    Counter{918, 100},  // trip distance (high resolution), m
    Counter{914, 5},    // service distance, km (counts down)
    Counter{250, 0.5},  // engine total fuel used, L
    Counter{5054, 0.5}, // engine total fuel used (high resolution), L
    Counter{182, 0.5},  // engine trip fuel, L
    Counter{236, 0.5},  // engine total idle fuel used, L
    Counter{247, 0.05}, // engine total hours of operation, h
    Counter{235, 0.05}, // engine total idle hours, h
    Counter{249, 1000}, // engine total revolutions, r
};

constexpr double kInfinity = std::numeric_limits<double>::infinity();

int64_t truncate_to_unit(int64_t time_us) {
    int64_t q = time_us / kTimeUnitUs;
    if (time_us % kTimeUnitUs != 0 && time_us < 0) {
        --q;
    }
    return q * kTimeUnitUs;
}

} // namespace

// ---- parameters ----

double counter_step(unsigned long spn) {
    for (const Counter &c : kCounters) {
        if (c.spn == spn) {
            return c.step;
        }
    }
    return 0;
}

const SignalRule *find_rule(const CollectionSettings &settings, uint32_t pgn, unsigned long spn,
                            int source) {
    const SignalRule *best = nullptr;
    int best_score = -1;
    for (const SignalRule &r : settings.rules) {
        if ((r.pgn && *r.pgn != pgn) || (r.source && *r.source != source)) {
            continue;
        }
        if (r.spn && (spn == 0 || *r.spn != spn)) {
            continue;
        }
        const int score = (r.spn ? 4 : 0) + (r.pgn ? 2 : 0) + (r.source ? 1 : 0);
        if (score >= best_score) {
            best = &r;
            best_score = score;
        }
    }
    return best;
}

SignalParams signal_params(const CollectionSettings &settings, uint32_t pgn, int source,
                           const UplinkValue &value) {
    SignalParams p;
    p.heartbeat_us = settings.heartbeat_ms * 1000;
    p.reconstruction = Reconstruction::step;
    const bool number = value.kind == UplinkValue::Kind::number ||
                        (value.resolution > 0 && (value.kind == UplinkValue::Kind::error ||
                                                  value.kind == UplinkValue::Kind::not_available));
    if (number) {
        if (value.resolution > 0) {
            p.scale = value.resolution;
            p.offset = value.offset;
            p.minimum = value.offset;
            p.maximum = value.maximum;
        } else {
            // A number without a known scale: whole numbers as they are,
            // others to the thousandth, every change sent.
            p.scale = value.integer ? 1 : 0.001;
        }
        const double step = counter_step(value.spn);
        p.counter = step > 0;
        if (!settings.exact && p.counter) {
            p.tolerance = std::max(step, p.scale);
            p.reconstruction = Reconstruction::linear;
        } else if (!settings.exact && value.resolution > 0) {
            const double counts = std::floor(kGaugeShare * (p.maximum - p.minimum) / p.scale);
            p.tolerance = std::max(1.0, counts) * p.scale;
            p.reconstruction = Reconstruction::linear;
        }
    }
    const SignalRule *rule = find_rule(settings, pgn, value.spn, source);
    if (rule == nullptr) {
        return p;
    }
    p.excluded = rule->exclude;
    if (rule->heartbeat_ms) {
        p.heartbeat_us = *rule->heartbeat_ms * 1000;
    }
    if (rule->min_interval_ms) {
        p.min_interval_us = *rule->min_interval_ms * 1000;
    }
    if (number && rule->tolerance) {
        p.tolerance = *rule->tolerance;
    }
    if (number && rule->reconstruction) {
        p.reconstruction = *rule->reconstruction;
    }
    return p;
}

// ---- the tracker ----

SignalTracker::SignalTracker(const SignalParams &params)
    : p_(params), tolerance_raw_(params.scale > 0 ? params.tolerance / params.scale : 0) {}

int64_t SignalTracker::raw_of(double value) const {
    return std::llround((value - p_.offset) / p_.scale);
}

bool SignalTracker::silent_since_last(int64_t time_us) const {
    return have_reading_ && time_us - reading_time_us_ > p_.heartbeat_us;
}

void SignalTracker::emit_number(const Reading &r, std::vector<Point> &out) {
    Point pt;
    pt.kind = Point::Kind::number;
    pt.time_us = r.time_us;
    pt.raw = r.raw;
    pt.segment_start = next_starts_segment_;
    out.push_back(std::move(pt));
    next_starts_segment_ = false;
    have_point_ = true;
    last_kind_ = Point::Kind::number;
    point_time_us_ = truncate_to_unit(r.time_us);
    point_raw_ = r.raw;
    if (p_.reconstruction == Reconstruction::linear) {
        restart_door(r);
    }
}

// The door from a new anchor: its own reading, read after the truncated
// time the fleet places it at, must fit the next line too.
void SignalTracker::restart_door(const Reading &anchor) {
    low_ = -kInfinity;
    high_ = kInfinity;
    door_open_ = true;
    if (anchor.time_us > point_time_us_) {
        narrow_door(anchor);
    }
}

void SignalTracker::narrow_door(const Reading &r) {
    const auto dt = static_cast<double>(r.time_us - point_time_us_);
    const auto dv = static_cast<double>(r.raw - point_raw_);
    low_ = std::max(low_, (dv - tolerance_raw_) / dt);
    high_ = std::min(high_, (dv + tolerance_raw_) / dt);
}

// Whether a line from the last point to r passes every reading since.
bool SignalTracker::fits(const Reading &r) const {
    const int64_t at = truncate_to_unit(r.time_us);
    if (!door_open_ || at <= point_time_us_) {
        return false;
    }
    const double slope =
        static_cast<double>(r.raw - point_raw_) / static_cast<double>(at - point_time_us_);
    return slope >= low_ && slope <= high_;
}

// A reading no line from the last point fits (its time is that point's,
// or the last point's own reading would be off the line): a step, not
// joined to the point before.
void SignalTracker::jump(const Reading &r, std::vector<Point> &out) {
    next_starts_segment_ = true;
    emit_number(r, out);
}

void SignalTracker::number(int64_t time_us, int64_t raw, std::vector<Point> &out) {
    if (have_reading_ && p_.min_interval_us > 0 &&
        time_us - reading_time_us_ < p_.min_interval_us) {
        return;
    }
    if (silent_since_last(time_us)) {
        if (held_) {
            emit_number(*held_, out);
            held_.reset();
        }
        next_starts_segment_ = true;
    }
    const Reading previous{reading_time_us_, reading_raw_};
    const bool had_reading = have_reading_;
    have_reading_ = true;
    reading_time_us_ = time_us;
    reading_raw_ = raw;
    const Reading r{time_us, raw};
    if (!have_point_ || last_kind_ != Point::Kind::number || next_starts_segment_) {
        next_starts_segment_ = true;
        emit_number(r, out);
        return;
    }
    // The heartbeat: two points of a live signal are never more than a
    // heartbeat apart, so that a longer gap tells the fleet it was silent.
    // The reading before this one is the latest within the heartbeat.
    if (time_us - point_time_us_ > p_.heartbeat_us) {
        if (held_) {
            emit_number(*held_, out);
            held_.reset();
        } else if (had_reading && truncate_to_unit(previous.time_us) > point_time_us_) {
            emit_number(previous, out);
        }
    }
    if (p_.reconstruction == Reconstruction::step) {
        const bool departs = std::fabs(static_cast<double>(raw - point_raw_)) > tolerance_raw_;
        if (departs || time_us - point_time_us_ >= p_.heartbeat_us) {
            emit_number(r, out);
        }
        return;
    }
    if (fits(r)) {
        held_ = r;
        narrow_door(r);
    } else if (held_) {
        const Reading last = *held_;
        held_.reset();
        emit_number(last, out);
        if (fits(r)) {
            held_ = r;
            narrow_door(r);
        } else {
            jump(r, out);
        }
    } else {
        jump(r, out);
    }
    if (held_ && held_->time_us - point_time_us_ >= p_.heartbeat_us) {
        emit_number(*held_, out);
        held_.reset();
    }
}

void SignalTracker::state(int64_t time_us, int64_t code, std::vector<Point> &out) {
    Point pt;
    pt.kind = Point::Kind::state;
    pt.time_us = time_us;
    pt.raw = code;
    change(std::move(pt), out);
}

void SignalTracker::text(int64_t time_us, const std::string &text, std::vector<Point> &out) {
    Point pt;
    pt.kind = Point::Kind::text;
    pt.time_us = time_us;
    pt.text = text;
    change(std::move(pt), out);
}

// A state or text reading: a point when it differs from the last point, the
// signal was silent, or a heartbeat is due.
void SignalTracker::change(Point pt, std::vector<Point> &out) {
    const int64_t time_us = pt.time_us;
    if (have_reading_ && p_.min_interval_us > 0 &&
        time_us - reading_time_us_ < p_.min_interval_us) {
        return;
    }
    if (held_) {
        emit_number(*held_, out); // the line ends at the last number
        held_.reset();
    }
    const bool silent = silent_since_last(time_us);
    const int64_t previous_us = reading_time_us_;
    have_reading_ = true;
    reading_time_us_ = time_us;
    const bool same =
        have_point_ && last_kind_ == pt.kind &&
        (pt.kind == Point::Kind::state ? point_raw_ == pt.raw : point_text_ == pt.text);
    if (same && !silent && time_us - point_time_us_ > p_.heartbeat_us &&
        truncate_to_unit(previous_us) > point_time_us_) {
        // The heartbeat at the reading before, the latest within it (the
        // same state or text, as it did not change).
        pt.time_us = previous_us;
    } else if (same && !silent && time_us - point_time_us_ < p_.heartbeat_us) {
        return;
    }
    have_point_ = true;
    last_kind_ = pt.kind;
    point_time_us_ = truncate_to_unit(pt.time_us);
    point_raw_ = pt.raw;
    point_text_ = pt.text;
    next_starts_segment_ = true;
    door_open_ = false;
    out.push_back(std::move(pt));
}

void SignalTracker::idle(int64_t now_us, std::vector<Point> &out) {
    if (held_ && now_us - reading_time_us_ > p_.heartbeat_us) {
        emit_number(*held_, out);
        held_.reset();
    }
}

void SignalTracker::finish(std::vector<Point> &out) {
    if (held_) {
        emit_number(*held_, out);
        held_.reset();
    }
}

} // namespace vehcan::cli
