// SPDX-License-Identifier: MIT
// The min/max reduction and the levels of detail of the report's series.
#include "reduce.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

using vehcan::report::detail_levels;
using vehcan::report::DetailLevel;
using vehcan::report::Point;
using vehcan::report::reduce_min_max;

namespace {

constexpr double kGap = std::numeric_limits<double>::quiet_NaN();

// An hour of engine speed at 100 samples a second: a slow wave with a
// ripple, values that never repeat in a run.
std::vector<Point> engine_hour() {
    std::vector<Point> p;
    for (int64_t i = 0; i < 360000; ++i) {
        const double t = static_cast<double>(i) / 100;
        p.push_back({i * 10000, 1200 + 400 * std::sin(t / 300) + 25 * std::sin(t * 0.9)});
    }
    return p;
}

bool in_time_order(const std::vector<Point> &p) {
    return std::is_sorted(p.begin(), p.end(),
                          [](const Point &a, const Point &b) { return a.t_us < b.t_us; });
}

bool contains(const std::vector<Point> &p, const Point &x) {
    return std::any_of(p.begin(), p.end(), [&](const Point &q) {
        return q.t_us == x.t_us && (q.v == x.v || (std::isnan(q.v) && std::isnan(x.v)));
    });
}

} // namespace

// ---- reduce_min_max ----------------------------------------------------------------

TEST(Reduce, OneSampleSpikeInAnHourSurvives) {
    std::vector<Point> p = engine_hour();
    // One sample 20 minutes in far above everything, and one of nothing later.
    const Point on_grid_spike{1234560000, 4800};
    const Point on_grid_dip{2345670000, 0};
    p[123456].v = on_grid_spike.v;
    p[234567].v = on_grid_dip.v;
    ASSERT_EQ(p[123456].t_us, on_grid_spike.t_us);
    ASSERT_EQ(p[234567].t_us, on_grid_dip.t_us);
    for (size_t buckets : {100UL, 1024UL, 4096UL}) {
        const std::vector<Point> r = reduce_min_max(p, 0, p.back().t_us, buckets);
        EXPECT_LE(r.size(), 2 * buckets) << buckets;
        EXPECT_TRUE(contains(r, on_grid_spike)) << buckets << " buckets lost the spike";
        EXPECT_TRUE(contains(r, on_grid_dip)) << buckets << " buckets lost the dip";
        EXPECT_TRUE(in_time_order(r));
    }
}

TEST(Reduce, EveryBucketKeepsItsMinimumAndMaximumAtTheirTimes) {
    const std::vector<Point> p = engine_hour();
    const size_t buckets = 1000;
    const int64_t end = p.back().t_us;
    const std::vector<Point> r = reduce_min_max(p, 0, end, buckets);
    // Each bucket's extremes the plain way: every sample to the bucket its
    // time falls in, the first smallest and the first largest kept.
    std::vector<const Point *> low(buckets, nullptr);
    std::vector<const Point *> high(buckets, nullptr);
    for (const Point &q : p) {
        const auto b = std::min<size_t>(
            static_cast<size_t>(static_cast<double>(q.t_us) / static_cast<double>(end) *
                                static_cast<double>(buckets)),
            buckets - 1);
        if (low[b] == nullptr || q.v < low[b]->v) {
            low[b] = &q;
        }
        if (high[b] == nullptr || q.v > high[b]->v) {
            high[b] = &q;
        }
    }
    for (size_t b = 0; b < buckets; ++b) {
        ASSERT_NE(low[b], nullptr);
        EXPECT_TRUE(contains(r, *low[b])) << "bucket " << b;
        EXPECT_TRUE(contains(r, *high[b])) << "bucket " << b;
    }
    // Nothing else: two points a bucket, the extremes of the whole are there.
    EXPECT_EQ(r.size(), 2 * buckets);
    const auto [lo, hi] = std::minmax_element(
        p.begin(), p.end(), [](const Point &a, const Point &b) { return a.v < b.v; });
    EXPECT_TRUE(contains(r, *lo));
    EXPECT_TRUE(contains(r, *hi));
}

TEST(Reduce, AGapInABucketStaysAGap) {
    std::vector<Point> p;
    for (int64_t i = 0; i < 1000; ++i) {
        p.push_back({i * 1000, static_cast<double>(i % 7)});
    }
    p[503].v = kGap; // bucket 5 of 10
    p[504].v = kGap;
    const std::vector<Point> r = reduce_min_max(p, 0, 999000, 10);
    ASSERT_TRUE(in_time_order(r));
    const auto gaps =
        std::count_if(r.begin(), r.end(), [](const Point &q) { return std::isnan(q.v); });
    EXPECT_EQ(gaps, 1);
    EXPECT_TRUE(contains(r, {503000, kGap})); // the first of the two
    EXPECT_LE(r.size(), 21U);
}

TEST(Reduce, FewSamplesComeBackAsTheyAre) {
    const std::vector<Point> p{{0, 1}, {500, 3}, {900, 2}};
    const std::vector<Point> r = reduce_min_max(p, 0, 900, 0);
    ASSERT_EQ(r.size(), 3U);
    EXPECT_EQ(r[1].v, 3);
    // One sample in a bucket is both its minimum and its maximum: kept once.
    EXPECT_EQ(reduce_min_max(p, 0, 900, 3).size(), 3U);
    EXPECT_TRUE(reduce_min_max({}, 0, 900, 10).empty());
}

// ---- detail_levels -----------------------------------------------------------------

TEST(Levels, AnHourComesInLevelsWithinTheBudgetAndEachKeepsTheSpike) {
    std::vector<Point> p = engine_hour();
    p[200000].v = 9000;
    const size_t budget = 131072;
    const std::vector<DetailLevel> levels = detail_levels(p, 0, p.back().t_us, budget);
    ASSERT_EQ(levels.size(), 3U); // 1024, 4096 and 16384 stretches; the samples do not fit
    size_t used = 0;
    for (size_t k = 0; k < levels.size(); ++k) {
        const size_t buckets = 1024U << (2 * k);
        EXPECT_NEAR(levels[k].bucket_s, 3599.99 / static_cast<double>(buckets), 1e-6);
        EXPECT_LE(levels[k].points.size(), 2 * buckets);
        EXPECT_TRUE(contains(levels[k].points, p[200000])) << "level " << k;
        used += levels[k].points.size();
    }
    EXPECT_LE(used, budget);
    EXPECT_GT(levels.back().bucket_s, 0.0);
}

TEST(Levels, TheSamplesThemselvesComeLastWhenTheyFit) {
    std::vector<Point> p;
    for (int64_t i = 0; i < 60000; ++i) { // ten minutes at 100 a second
        p.push_back({i * 10000, static_cast<double>(i % 1000)});
    }
    const std::vector<DetailLevel> levels = detail_levels(p, 0, p.back().t_us, 131072);
    ASSERT_GE(levels.size(), 2U);
    EXPECT_EQ(levels.back().bucket_s, 0.0);
    ASSERT_EQ(levels.back().points.size(), p.size());
    EXPECT_EQ(levels.back().points[12345].v, p[12345].v);
    EXPECT_LT(levels.front().points.size(), 2049U);
}

TEST(Levels, ASmallSeriesIsOnlyItsSamples) {
    std::vector<Point> p;
    for (int64_t i = 0; i < 600; ++i) {
        p.push_back({i * 1000000, static_cast<double>(i)});
    }
    const std::vector<DetailLevel> levels = detail_levels(p, 0, 599000000, 16);
    ASSERT_EQ(levels.size(), 1U);
    EXPECT_EQ(levels[0].bucket_s, 0.0);
    EXPECT_EQ(levels[0].points.size(), 600U); // over budget, but a level there must be
}

TEST(Levels, WhatASeriesWantsIsWhatItGetsWithoutALimit) {
    const std::vector<Point> p = engine_hour();
    const size_t wanted = vehcan::report::detail_points_wanted(p.size());
    EXPECT_EQ(wanted, 2048U + 8192U + 32768U + 131072U + 360000U);
    const std::vector<DetailLevel> all = detail_levels(p, 0, p.back().t_us, wanted);
    ASSERT_EQ(all.size(), 5U);
    EXPECT_EQ(all.back().bucket_s, 0.0);
    const std::vector<DetailLevel> short_of_it = detail_levels(p, 0, p.back().t_us, wanted - 1);
    EXPECT_GT(short_of_it.back().bucket_s, 0.0); // one point short: no samples level
}

TEST(Levels, TheBudgetGoesFirstToTheSeriesThatWantLess) {
    const std::vector<size_t> wanted{300000, 100, 1000000, 5000};
    const std::vector<size_t> share = vehcan::report::share_budget(wanted, 600000);
    // 100 and 5000 as wanted; the two big ones split what is left.
    EXPECT_EQ(share, (std::vector<size_t>{297450, 100, 297450, 5000}));
    EXPECT_EQ(vehcan::report::share_budget(wanted, 2000000),
              (std::vector<size_t>{300000, 100, 1000000, 5000}));
}
