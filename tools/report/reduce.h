// SPDX-License-Identifier: MIT
// Long series made light for a chart without losing what matters in them:
// the minimum and the maximum of every stretch of time are kept, so a
// single-sample spike in an hour of data is still drawn; and several levels
// of detail, from the whole capture on one screen down to every sample
// where the budget allows, so that zooming in brings the resolution back.
#ifndef VEHCAN_REPORT_REDUCE_H
#define VEHCAN_REPORT_REDUCE_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vehcan::report {

// One sample: microseconds since the capture's start and the value. A NaN
// value is a sample that said "not available": a gap in the line.
struct Point {
    int64_t t_us = 0;
    double v = 0.0;
};

// Reduces points (in time order) over [t0_us, t1_us] split into `buckets`
// equal stretches. Each stretch keeps its smallest and its largest value at
// the times they were seen, and its first "not available" sample if it had
// one, in time order: at most 3 points a stretch, 2 without gaps. Points
// outside the range fall into the first or the last stretch. buckets == 0
// returns the points as they are.
std::vector<Point> reduce_min_max(std::span<const Point> points, int64_t t0_us, int64_t t1_us,
                                  size_t buckets);

// A level of detail: the stretch each kept pair stands for (0: every sample).
struct DetailLevel {
    double bucket_s = 0.0;
    std::vector<Point> points;
};

// The coarsest level splits [t0_us, t1_us] into kFirstLevelBuckets
// stretches, each next one into four times as many. A level is added while
// it at least halves the points of the series and the levels so far stay
// within budget points; then the samples themselves come as the last level
// if they fit too. There is always at least one level, the coarsest
// (or the samples, when the coarsest would not halve them).
constexpr size_t kFirstLevelBuckets = 1024;
constexpr size_t kLevelFactor = 4;
std::vector<DetailLevel> detail_levels(std::span<const Point> points, int64_t t0_us, int64_t t1_us,
                                       size_t budget);
// The points detail_levels() gives a series of that many samples at most
// when its budget is no limit: every level and the samples.
size_t detail_points_wanted(size_t samples);

// Shares a budget of points out among series that want wanted[i] each:
// each gets what it wants, or an equal share of what those wanting less
// leave over, whichever is less.
std::vector<size_t> share_budget(std::span<const size_t> wanted, size_t budget);

} // namespace vehcan::report

#endif
