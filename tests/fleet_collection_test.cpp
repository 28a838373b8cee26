// SPDX-License-Identifier: MIT
// The compact uplink's collection, through its encoder and the gateway's
// decoder: whatever a signal does (a random walk, steps, noise right at the
// tolerance), the reconstruction is within the tolerance at every reading;
// exact mode is exact; states, texts and "not available" are kept as they
// change; a silent signal is told from a steady one; a campaign's rules
// apply to the values they name.
#include "collection.h"
#include "compact.h"
#include "compact_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vehcan::cli;

constexpr int64_t kStart = 1'800'000'000'000'000; // µs since 1970
constexpr uint32_t kPgn = 61444;
constexpr unsigned long kSpn = 190;

struct Reading {
    int64_t time_us;
    UplinkValue value;
};

UplinkValue speed(double rpm) {
    UplinkValue v;
    v.kind = UplinkValue::Kind::number;
    v.spn = kSpn;
    v.name = "engine speed";
    v.unit = "rpm";
    v.number = rpm;
    v.resolution = 0.125;
    v.offset = 0;
    v.maximum = 8031.875;
    return v;
}

UplinkValue unavailable() {
    UplinkValue v = speed(0);
    v.kind = UplinkValue::Kind::not_available;
    return v;
}

// Runs the readings through an encoder (one signal, one sender) and its
// batches through a decoder.
struct Encoded {
    CompactDecoder decoder;
    CompactCounters counters;
    size_t payloads = 0;

    Encoded(const std::vector<Reading> &readings, const CollectionSettings &settings) {
        uint64_t seq = 1;
        CompactEncoder encoder(settings, "TEST", "", [&seq] { return seq++; });
        for (const Reading &r : readings) {
            UplinkMessage m;
            m.unix_us = r.time_us;
            m.source = 0;
            m.pgn = kPgn;
            m.decoded = true;
            m.values.push_back(r.value);
            encoder.add(m, false);
            feed(encoder);
        }
        encoder.finish(readings.empty() ? kStart : readings.back().time_us);
        feed(encoder);
        counters = encoder.counters();
    }
    void feed(CompactEncoder &encoder) {
        for (const CompactPayload &p : encoder.take()) {
            decoder.feed(p.bytes);
            ++payloads;
        }
    }
    const Timeline &timeline() const {
        EXPECT_EQ(decoder.timelines().size(), 1U);
        return decoder.timelines().begin()->second;
    }
};

// The largest error of the reconstruction at the readings, as a share of
// the tolerance (checking that states come back as they were).
double worst_share(const Encoded &run, const std::vector<Reading> &readings) {
    const Timeline &tl = run.timeline();
    double worst = 0;
    for (const Reading &r : readings) {
        const auto got = tl.at(r.time_us);
        EXPECT_TRUE(got.has_value()) << "nothing at " << r.time_us;
        if (!got) {
            continue;
        }
        if (r.value.kind != UplinkValue::Kind::number) {
            EXPECT_EQ(got->kind, TimelinePoint::Kind::state) << "at " << r.time_us;
            continue;
        }
        EXPECT_EQ(got->kind, TimelinePoint::Kind::number) << "at " << r.time_us;
        const double error = std::fabs(got->value - r.value.number);
        const double tolerance = tl.info.tolerance;
        if (tolerance == 0) {
            EXPECT_EQ(got->value, r.value.number) << "at " << r.time_us;
        } else {
            // (the decoder's interpolation in doubles may land a rounding
            // error beyond a reading that sits right at the edge)
            worst = std::max(worst, error / tolerance - 1e-9);
            if (error > tolerance * (1 + 1e-9)) {
                ADD_FAILURE() << "off by " << error << " at reading " << (&r - readings.data())
                              << " (" << r.value.number << ", got " << got->value << ")";
                return worst;
            }
        }
    }
    return worst;
}

// A reading every 20 ms with up to 1 ms of jitter, as a bus delivers them.
std::vector<Reading> sampled(size_t n, const std::function<double(size_t)> &rpm,
                             uint32_t seed = 7) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int64_t> jitter(0, 999);
    std::vector<Reading> out;
    for (size_t i = 0; i < n; ++i) {
        const double value = std::round(rpm(i) / 0.125) * 0.125; // on the bus's grid
        out.push_back({kStart + static_cast<int64_t>(i) * 20000 + jitter(random), speed(value)});
    }
    return out;
}

CollectionSettings with(Reconstruction how, double tolerance) {
    CollectionSettings s;
    SignalRule r;
    r.spn = kSpn;
    r.reconstruction = how;
    r.tolerance = tolerance;
    s.rules.push_back(r);
    return s;
}

// ---- the error bound ----

class ErrorBound : public ::testing::TestWithParam<Reconstruction> {};

TEST_P(ErrorBound, RandomWalkStaysWithinTheTolerance) {
    for (uint32_t seed : {1U, 2U, 3U}) {
        std::mt19937 random(seed);
        std::normal_distribution<double> step(0, 6);
        double rpm = 1200;
        const auto readings = sampled(
            20000, [&](size_t) { return rpm += step(random); }, seed);
        const Encoded run(readings, with(GetParam(), 8));
        const double worst = worst_share(run, readings);
        EXPECT_LE(worst, 1.0) << "seed " << seed;
        // The bound is used, not sent around: the worst reading comes close
        // to it, and far fewer points than readings go out.
        EXPECT_GT(worst, 0.5) << "seed " << seed;
        EXPECT_LT(run.counters.points, readings.size() / 3) << "seed " << seed;
    }
}

TEST_P(ErrorBound, NoiseRightAtTheToleranceIsNotSent) {
    // ±tolerance around a steady value: every reading is exactly at the
    // edge, none beyond it.
    const auto readings = sampled(3000, [](size_t i) { return 1500.0 + (i % 2 == 0 ? 8 : -8); });
    const Encoded run(readings, with(GetParam(), 16));
    EXPECT_LE(worst_share(run, readings), 1.0);
    // (a first point, a heartbeat a minute, the last)
    EXPECT_LE(run.counters.points, 4U);
}

TEST_P(ErrorBound, NoiseOneCountBeyondIsSentAndStillBounded) {
    const auto readings =
        sampled(3000, [](size_t i) { return 1500.0 + (i % 2 == 0 ? 8.125 : -8.125); });
    const Encoded run(readings, with(GetParam(), 16));
    EXPECT_LE(worst_share(run, readings), 1.0);
    EXPECT_GT(run.counters.points, 1000U);
}

TEST_P(ErrorBound, StepsAndRampsKeepTheirEdges) {
    // Steps of twice the tolerance, then a ramp, then a step back.
    const auto readings = sampled(6000, [](size_t i) {
        if (i < 2000) {
            return 800.0 + 20.0 * std::floor(static_cast<double>(i) / 250.0);
        }
        if (i < 4000) {
            return 960.0 + 0.9 * static_cast<double>(i - 2000);
        }
        return 700.0;
    });
    const Encoded run(readings, with(GetParam(), 10));
    EXPECT_LE(worst_share(run, readings), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Fleet, ErrorBound,
                         ::testing::Values(Reconstruction::step, Reconstruction::linear),
                         [](const auto &param_info) {
                             return param_info.param == Reconstruction::step ? "Step" : "Linear";
                         });

TEST(ErrorBound, ALinearRampCostsTwoPointsAMinute) {
    const auto readings =
        sampled(3000, [](size_t i) { return 600.0 + 0.5 * static_cast<double>(i); });
    const Encoded run(readings, with(Reconstruction::linear, 4));
    EXPECT_LE(worst_share(run, readings), 1.0);
    EXPECT_LE(run.counters.points, 4U);
}

TEST(ErrorBound, ExactModeSendsEveryChangeExactly) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> step(-3, 3);
    double rpm = 1000;
    const auto readings = sampled(5000, [&](size_t i) {
        if (i % 5 == 0) {
            rpm += 0.125 * step(random);
        }
        return rpm;
    });
    CollectionSettings exact;
    exact.exact = true;
    const Encoded run(readings, exact);
    EXPECT_EQ(run.timeline().info.tolerance, 0);
    worst_share(run, readings); // (exact equality at every reading)
    size_t changes = 1;
    for (size_t i = 1; i < readings.size(); ++i) {
        changes += readings[i].value.number != readings[i - 1].value.number ? 1U : 0U;
    }
    EXPECT_EQ(run.counters.points, changes);
}

// ---- states, gaps and heartbeats ----

TEST(Transitions, NotAvailableComesAndGoesAsAState) {
    std::vector<Reading> readings =
        sampled(500, [](size_t i) { return 900.0 + static_cast<double>(i); });
    for (size_t i = 200; i < 300; ++i) {
        readings[i].value = unavailable();
    }
    const Encoded run(readings, CollectionSettings{});
    EXPECT_LE(worst_share(run, readings), 1.0);
    const Timeline &tl = run.timeline();
    EXPECT_EQ(tl.at(readings[199].time_us)->kind, TimelinePoint::Kind::number);
    EXPECT_EQ(tl.at(readings[200].time_us)->code, kNotAvailable);
    EXPECT_EQ(tl.at(readings[299].time_us)->code, kNotAvailable);
    const auto back = tl.at(readings[300].time_us);
    ASSERT_EQ(back->kind, TimelinePoint::Kind::number);
    EXPECT_NEAR(back->value, readings[300].value.number, tl.info.tolerance);
    // the first number after the gap is a point of its own, not a line from before it
    const auto first =
        std::find_if(tl.points.begin(), tl.points.end(), [&](const TimelinePoint &p) {
            return p.kind == TimelinePoint::Kind::number && p.time_us > readings[200].time_us;
        });
    ASSERT_NE(first, tl.points.end());
    EXPECT_EQ(first->value, readings[300].value.number);
}

TEST(Transitions, ASteadySignalBeatsAndASilentOneDoesNot) {
    // Ten steady minutes, five silent ones, then steady again at another value.
    std::vector<Reading> readings;
    for (int64_t t = 0; t < 600; ++t) {
        readings.push_back({kStart + t * 1'000'000, speed(700)});
    }
    for (int64_t t = 900; t < 1000; ++t) {
        readings.push_back({kStart + t * 1'000'000, speed(1700)});
    }
    const Encoded run(readings, CollectionSettings{});
    EXPECT_LE(worst_share(run, readings), 1.0);
    const std::vector<TimelinePoint> &points = run.timeline().points;
    for (size_t i = 1; i < points.size(); ++i) {
        const int64_t gap = points[i].time_us - points[i - 1].time_us;
        if (points[i].time_us <= kStart + 599'000'000) {
            EXPECT_LE(gap, 60'000'000) << "no heartbeat before point " << i;
        }
    }
    // No line across the silence: the last value heard holds for a
    // heartbeat, then the decoder marks the signal silent until the first
    // point after it, which starts a segment.
    EXPECT_EQ(run.timeline().at(kStart + 599'000'000)->value, 700);
    const auto silent = run.timeline().at(kStart + 750'000'000);
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->kind, TimelinePoint::Kind::state);
    EXPECT_EQ(silent->code, TimelinePoint::kSilent);
    const auto first_after = std::find_if(points.begin(), points.end(), [](const TimelinePoint &p) {
        return p.time_us >= kStart + 900'000'000;
    });
    ASSERT_NE(first_after, points.end());
    EXPECT_TRUE(first_after->segment_start);
}

// A signal read less often than a heartbeat divides still has points at
// most a heartbeat apart (a longer gap is a silence to the decoder): the
// beat falls on the last reading within it.
TEST(Transitions, ASlowSignalBeatsWithinTheHeartbeat) {
    std::vector<Reading> readings;
    for (int64_t t = 0; t < 600; t += 7) {
        readings.push_back({kStart + t * 1'000'000 + 123, speed(700)});
    }
    const Encoded run(readings, CollectionSettings{});
    EXPECT_LE(worst_share(run, readings), 1.0);
    const std::vector<TimelinePoint> &points = run.timeline().points;
    ASSERT_GE(points.size(), 10U);
    for (size_t i = 1; i < points.size(); ++i) {
        EXPECT_LE(points[i].time_us - points[i - 1].time_us, 60'000'000) << "point " << i;
        EXPECT_NE(points[i].code, TimelinePoint::kSilent) << "point " << i;
    }
}

TEST(Transitions, StatesAndTextsGoOutOnChangeExactly) {
    std::vector<Reading> readings;
    const char *texts[] = {"off", "on"};
    for (int i = 0; i < 400; ++i) {
        UplinkValue v;
        v.kind = UplinkValue::Kind::state;
        v.spn = 595;
        v.name = "cruise control";
        v.state = (i / 100) % 2;
        v.text = texts[v.state];
        readings.push_back({kStart + i * 100'000, v});
    }
    const Encoded run(readings, CollectionSettings{});
    const Timeline &tl = run.timeline();
    ASSERT_EQ(tl.points.size(), 4U); // four changes, no repeats
    for (const Reading &r : readings) {
        EXPECT_EQ(tl.at(r.time_us)->code, r.value.state);
    }
    EXPECT_EQ(tl.info.texts.at(1), "on");
}

// ---- defaults and campaigns ----

TEST(Tolerances, GaugesCountersAndUnknownScales) {
    const CollectionSettings defaults;
    // A gauge: 0.5 % of its range, on its grid.
    const SignalParams rpm = signal_params(defaults, kPgn, 0, speed(0));
    EXPECT_DOUBLE_EQ(rpm.tolerance, 40.125);
    EXPECT_EQ(rpm.reconstruction, Reconstruction::linear);
    // A one-byte gauge whose 0.5 % is finer than its resolution: the resolution.
    UplinkValue coolant;
    coolant.kind = UplinkValue::Kind::number;
    coolant.spn = 110;
    coolant.resolution = 1;
    coolant.offset = -40;
    coolant.maximum = 210;
    EXPECT_DOUBLE_EQ(signal_params(defaults, 65262, 0, coolant).tolerance, 1);
    // A counter: its own step, never finer than the resolution.
    UplinkValue distance;
    distance.kind = UplinkValue::Kind::number;
    distance.spn = 917;
    distance.resolution = 5;
    distance.maximum = 5.0 * 4211081215.0;
    const SignalParams d = signal_params(defaults, 65217, 0, distance);
    EXPECT_TRUE(d.counter);
    EXPECT_DOUBLE_EQ(d.tolerance, 100);
    // Whole numbers without a scale: every change.
    UplinkValue requested;
    requested.kind = UplinkValue::Kind::number;
    requested.integer = true;
    EXPECT_EQ(signal_params(defaults, 59904, 0, requested).tolerance, 0);
    // exact: nothing is bounded by more than nothing.
    CollectionSettings exact;
    exact.exact = true;
    EXPECT_EQ(signal_params(exact, kPgn, 0, speed(0)).tolerance, 0);
    EXPECT_EQ(signal_params(exact, 65217, 0, distance).tolerance, 0);
}

TEST(Campaigns, AnSpnRuleBeatsItsPgnsAndASenderNarrowsIt) {
    CollectionSettings c;
    SignalRule pgn;
    pgn.pgn = kPgn;
    pgn.tolerance = 50;
    SignalRule spn;
    spn.spn = kSpn;
    spn.tolerance = 2;
    SignalRule other_sender;
    other_sender.spn = kSpn;
    other_sender.source = 3;
    other_sender.exclude = true;
    c.rules = {pgn, spn, other_sender};
    EXPECT_DOUBLE_EQ(signal_params(c, kPgn, 0, speed(0)).tolerance, 2);
    EXPECT_TRUE(signal_params(c, kPgn, 3, speed(0)).excluded);
    UplinkValue torque = speed(0);
    torque.spn = 513;
    EXPECT_DOUBLE_EQ(signal_params(c, kPgn, 0, torque).tolerance, 50);
    EXPECT_EQ(find_rule(c, 65262, 110, 0), nullptr);
}

TEST(Campaigns, LeftOutValuesAreNotSentAndAMinimumIntervalThinsReadings) {
    const auto readings =
        sampled(1000, [](size_t i) { return 800.0 + 10.0 * static_cast<double>(i); });
    CollectionSettings out;
    SignalRule r;
    r.spn = kSpn;
    r.exclude = true;
    out.rules.push_back(r);
    EXPECT_EQ(Encoded(readings, out).counters.points, 0U);

    CollectionSettings thin;
    thin.exact = true;
    SignalRule every_second;
    every_second.spn = kSpn;
    every_second.min_interval_ms = 1000;
    thin.rules.push_back(every_second);
    const Encoded run(readings, thin);
    // 20 s of readings at 50 Hz: one point a second, each exact.
    EXPECT_GE(run.counters.points, 19U);
    EXPECT_LE(run.counters.points, 21U);
    for (const TimelinePoint &p : run.timeline().points) {
        const auto it = std::find_if(readings.begin(), readings.end(), [&](const Reading &x) {
            return x.time_us / 1000 * 1000 == p.time_us;
        });
        ASSERT_NE(it, readings.end());
        EXPECT_EQ(it->value.number, p.value);
    }
}

TEST(Campaigns, AConditionOpensAnEventWindowOnItsRisingEdgeOnly) {
    std::vector<Reading> readings;
    // coolant 100 degC, 106 for a while, down, up again soon after, up much later
    auto coolant = [](double c) {
        UplinkValue v;
        v.kind = UplinkValue::Kind::number;
        v.spn = 110;
        v.name = "engine coolant temperature";
        v.number = c;
        v.resolution = 1;
        v.offset = -40;
        v.maximum = 210;
        return v;
    };
    for (int64_t s = 0; s < 400; ++s) {
        const bool hot = (s >= 10 && s < 30) || (s >= 40 && s < 50) || s >= 200;
        readings.push_back({kStart + s * 1'000'000, coolant(hot ? 106 : 100)});
    }
    CollectionSettings c;
    SignalRule r;
    r.spn = 110;
    r.event_above = 105;
    r.event_name = "coolant hot";
    r.event_interval_ms = 60000;
    c.rules.push_back(r);
    c.event_before_ms = 2000;
    c.event_after_ms = 2000;
    const Encoded run(readings, c);
    // at 10 s and at 200 s; the edge at 40 s comes within the minute
    ASSERT_EQ(run.decoder.events().size(), 2U);
    EXPECT_EQ(run.decoder.events()[0].first, 2); // EVENT_CAUSE_CONDITION
    // the window's messages: 2 s before and after, one a second
    EXPECT_GE(run.decoder.events()[0].second, 4U);
    EXPECT_LE(run.decoder.events()[0].second, 5U);
}

} // namespace
