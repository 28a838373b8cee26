# SPDX-License-Identifier: MIT
"""Levels of detail of a series for the report page, with bands: the
reduction of vehcan's own page (docs/report.md, "What the reduction
keeps") of points that carry a tolerance.

Each level keeps, of every stretch of time, the smallest and the largest
value at the times they were seen and the first "not available" (NaN), so
a spike is never lost; and, so that the line starts, resumes after a gap
and ends where the points do, the series' first and last points and the
first number after a NaN. The finest level is every point. A point kept at a
level carries a band [lo, hi] that the page draws around the line: at the
finest level the value ± its tolerance; at a coarser one also every value
the level left out between it and the points it is drawn to, so that the
decoder's reconstruction lies within the band drawn at every time, whatever
the level shown. A step series holds a point's band until the next point;
a linear one runs the band straight from one point's to the next's."""

import math

FIRST_LEVEL_BUCKETS = 1024
LEVEL_FACTOR = 4


def reduce_min_max(times, values, t0, t1, buckets):
    """The indices of the points kept when [t0, t1] is split into buckets
    equal stretches (times in any one unit, in order): each stretch's
    minimum, maximum, first NaN and first number after a NaN (where the
    line resumes), in time order. Points outside the range fall into the
    first or the last stretch; buckets 0 keeps them all."""
    n = len(times)
    if buckets == 0 or n == 0:
        return list(range(n))
    span = float(max(t1 - t0, 1))
    last = buckets - 1

    def bucket_of(t):
        return min(max(int((t - t0) / span * buckets), 0), last)

    kept = []
    i = 0
    while i < n:
        bucket = bucket_of(times[i])
        low = high = gap = resume = None
        while i < n and bucket_of(times[i]) == bucket:
            v = values[i]
            if math.isnan(v):
                if gap is None:
                    gap = i
            else:
                if low is None or v < values[low]:
                    low = i
                if high is None or v > values[high]:
                    high = i
                if resume is None and i > 0 and math.isnan(values[i - 1]):
                    resume = i
            i += 1
        kept.extend(sorted({k for k in (low, high, gap, resume) if k is not None}))
    return kept


def points_wanted(samples):
    """The points detail_levels() gives a series of that many points when
    its budget is no limit: every level and the points."""
    points = samples
    buckets = FIRST_LEVEL_BUCKETS
    while 2 * buckets <= samples // 2:
        points += 2 * buckets + 2  # (with the first and last point)
        buckets *= LEVEL_FACTOR
    return points


def detail_levels(times, values, t0, t1, budget):
    """[(stretch, indices)], coarsest first: the stretch each kept pair stands
    for, in the times' unit (0: every point), and the indices kept (the
    series' first and last point among them). A level is added while it at least halves the points and the levels so far stay
    within budget points; then the points themselves if they fit too. There
    is always one level at least."""
    levels = []
    used = 0
    span = max(t1 - t0, 1)
    buckets = FIRST_LEVEL_BUCKETS
    while 2 * buckets <= len(times) // 2:
        kept = reduce_min_max(times, values, t0, t1, buckets)
        # The series' first and last points too: its line spans the same
        # time at every level.
        kept = sorted(set(kept) | {0, len(times) - 1})
        if levels and used + len(kept) > budget:
            return levels
        used += len(kept)
        levels.append((span / buckets, kept))
        buckets *= LEVEL_FACTOR
    if not levels or used + len(times) <= budget:
        levels.append((0, list(range(len(times)))))
    return levels


def share_budget(wanted, budget):
    """Shares budget points among series that want wanted[i] each: what
    each wants, or an equal share of what those wanting less leave over,
    whichever is less."""
    share = [0] * len(wanted)
    left = budget
    order = sorted(range(len(wanted)), key=lambda i: wanted[i])
    for k, i in enumerate(order):
        share[i] = min(wanted[i], left // (len(order) - k))
        left -= share[i]
    return share


def bands(lows, highs, kept, linear):
    """(lo, hi) for the points kept (indices, in order) of a series whose
    points' bounds are lows[i] and highs[i] (each value minus and plus its
    tolerance; NaN for a point without a value): None for a NaN. A kept
    point's band covers its own bounds and those of every point the page
    draws from it: up to the next kept point for a step series; for a
    linear one, up to and with the kept points on both sides wherever the
    level left points out between."""
    lo = []
    hi = []
    n = len(lows)
    for k, i in enumerate(kept):
        if math.isnan(lows[i]):
            lo.append(None)
            hi.append(None)
            continue
        after = kept[k + 1] if k + 1 < len(kept) else n
        if linear:
            before = kept[k - 1] if k > 0 else i
            first = before if i > before + 1 else i
            last = min(after, n - 1) if after > i + 1 else i
        else:
            first, last = i, after - 1
        lo.append(min(x for x in lows[first:last + 1] if not math.isnan(x)))
        hi.append(max(x for x in highs[first:last + 1] if not math.isnan(x)))
    return lo, hi
