// SPDX-License-Identifier: MIT
// Min/max reduction and levels of detail: see reduce.h.
#include "reduce.h"

#include <algorithm>
#include <cmath>

namespace vehcan::report {

std::vector<Point> reduce_min_max(std::span<const Point> points, int64_t t0_us, int64_t t1_us,
                                  size_t buckets) {
    if (buckets == 0 || points.empty()) {
        return {points.begin(), points.end()};
    }
    const double span = static_cast<double>(std::max<int64_t>(t1_us - t0_us, 1));
    const auto bucket_of = [&](int64_t t) {
        const double share = static_cast<double>(t - t0_us) / span;
        const auto b = static_cast<long long>(share * static_cast<double>(buckets));
        return static_cast<size_t>(
            std::clamp<long long>(b, 0, static_cast<long long>(buckets) - 1));
    };
    std::vector<Point> out;
    out.reserve(std::min(points.size(), 2 * buckets));
    size_t i = 0;
    while (i < points.size()) {
        const size_t bucket = bucket_of(points[i].t_us);
        // Indexes of the stretch's minimum, maximum and first gap.
        size_t low = points.size();
        size_t high = points.size();
        size_t gap = points.size();
        for (; i < points.size() && bucket_of(points[i].t_us) == bucket; ++i) {
            const double v = points[i].v;
            if (std::isnan(v)) {
                gap = std::min(gap, i);
                continue;
            }
            if (low == points.size() || v < points[low].v) {
                low = i;
            }
            if (high == points.size() || v > points[high].v) {
                high = i;
            }
        }
        size_t kept[3] = {low, high, gap};
        std::sort(std::begin(kept), std::end(kept));
        for (size_t k = 0; k < 3; ++k) {
            if (kept[k] != points.size() && (k == 0 || kept[k] != kept[k - 1])) {
                out.push_back(points[kept[k]]);
            }
        }
    }
    return out;
}

std::vector<DetailLevel> detail_levels(std::span<const Point> points, int64_t t0_us, int64_t t1_us,
                                       size_t budget) {
    std::vector<DetailLevel> levels;
    const double span_s = static_cast<double>(std::max<int64_t>(t1_us - t0_us, 1)) / 1e6;
    size_t used = 0;
    for (size_t buckets = kFirstLevelBuckets;; buckets *= kLevelFactor) {
        // A level of n buckets holds at most 2n points where the series has
        // no gaps; it is worth its bytes only when it halves the samples.
        if (2 * buckets > points.size() / 2) {
            break;
        }
        std::vector<Point> reduced = reduce_min_max(points, t0_us, t1_us, buckets);
        if (!levels.empty() && used + reduced.size() > budget) {
            return levels;
        }
        used += reduced.size();
        levels.push_back({span_s / static_cast<double>(buckets), std::move(reduced)});
    }
    if (levels.empty() || used + points.size() <= budget) {
        levels.push_back({0.0, {points.begin(), points.end()}});
    }
    return levels;
}

size_t detail_points_wanted(size_t samples) {
    size_t points = samples;
    for (size_t buckets = kFirstLevelBuckets; 2 * buckets <= samples / 2; buckets *= kLevelFactor) {
        points += 2 * buckets;
    }
    return points;
}

std::vector<size_t> share_budget(std::span<const size_t> wanted, size_t budget) {
    std::vector<size_t> order(wanted.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return wanted[a] < wanted[b]; });
    std::vector<size_t> share(wanted.size(), 0);
    size_t left = budget;
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t equal = left / (order.size() - k);
        share[order[k]] = std::min(wanted[order[k]], equal);
        left -= share[order[k]];
    }
    return share;
}

} // namespace vehcan::report
