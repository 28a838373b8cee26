# SPDX-License-Identifier: MIT
"""The check that a report page's bands hold the decoder's reconstruction:
at every point of every signal, and halfway between each two, the value
vehcan_fleet's Timeline gives lies within the band the page draws from the
level's kept points, at every level of detail; the band is there wherever
the value is (outside lost stretches and short of a "not available" the
level hid); and at the finest level it is the value ± its tolerance.

    problems = band_problems(data, timelines, vehicle)   # [] when it holds

data is the page's data block (a dict), timelines a vehcan_fleet.Timelines
of the same payloads."""

import bisect
import math

# The page writes values with six decimals.
SLACK = 2e-6


def _level_points(level):
    """(times in whole ms since the page's start, v, lo, hi) of a level."""
    times = []
    ms = 0
    for step in level["t"]:
        ms += step
        times.append(ms)
    return times, level["v"], level.get("lo"), level.get("hi")


def drawn_band(level_points, linear, ms):
    """The band (lo, hi) the page draws at a time (ms since its start) from
    a level's points, or None where it draws none: a step holds a point's
    band until the next point; a linear series runs it straight to the
    next; nothing beyond the last point, nor from a point without a value."""
    times, v, lo, hi = level_points
    k = bisect.bisect_right(times, ms) - 1
    if k < 0 or v[k] is None:
        return None
    if times[k] == ms:
        return lo[k], hi[k]
    if k + 1 >= len(times):
        return None
    if not linear:
        return lo[k], hi[k]
    if v[k + 1] is None:
        return None
    share = (ms - times[k]) / (times[k + 1] - times[k])
    return (lo[k] + (lo[k + 1] - lo[k]) * share, hi[k] + (hi[k + 1] - hi[k]) * share)


def _lost(data):
    return [(m["from"] * 1000, m["to"] * 1000) for m in data.get("marks", []) if m["kind"] == "gap"]


def band_problems(data, timelines, vehicle, most=20):
    """What does not hold, one line each (at most `most` of them)."""
    problems = []
    start_us = round(data["start_unix"] * 1e6)
    lost = _lost(data)
    by_key = {(s, p, spn, n): t for (v, s, p, spn, n), t in timelines if v == vehicle}
    for series in data["series"]:
        if series["kind"] != "number":
            continue
        key = (series["source"], series["pgn"], series["spn"], series["name"])
        timeline = by_key.get(key)
        if timeline is None:
            problems.append(f"{series['label']}: not a signal of the decoder")
            continue
        linear = series["reconstruction"] == "linear"
        points = timeline.points
        moments = [p.time_us for p in points]
        moments += [(a.time_us + b.time_us) // 2 for a, b in zip(points, points[1:])]
        moments.sort()
        # where the line stops: "not available", and each lost stretch
        stops = [(p.time_us - start_us) / 1000 for p in points if not p.available]
        stops += [a for a, _ in lost]
        for number, level in enumerate(series["levels"]):
            lp = _level_points(level)
            if lp[2] is None:
                problems.append(f"{series['label']} level {number}: no band")
                continue
            finest = level["bucket"] == 0
            for t_us in moments:
                reading = timeline.value_at(t_us)
                if reading is None or reading.value is None:
                    continue
                ms = (t_us - start_us) / 1000
                if any(a <= ms <= b for a, b in lost):
                    continue
                band = drawn_band(lp, linear, ms)
                where = f"{series['label']} level {number} (bucket {level['bucket']} s) at {ms} ms"
                if band is None:
                    times = lp[0]
                    k = bisect.bisect_right(times, ms) - 1
                    around = (times[max(k, 0)], times[min(k + 1, len(times) - 1)])
                    hidden = any(around[0] <= t <= around[1] for t in stops)
                    if finest or not hidden:
                        problems.append(f"{where}: value {reading.value}, no band drawn")
                elif not band[0] - SLACK <= reading.value <= band[1] + SLACK:
                    problems.append(f"{where}: value {reading.value} outside [{band[0]}, "
                                    f"{band[1]}]")
                if len(problems) >= most:
                    return problems
            if finest:
                tolerances = {p.time_us: p.signal.tolerance for p in points if p.available}
                for t_ms, v, lo, hi in zip(*lp):
                    tol = tolerances.get(start_us + t_ms * 1000)
                    if v is not None and tol is not None and not (
                            math.isclose(lo, v - tol, abs_tol=SLACK)
                            and math.isclose(hi, v + tol, abs_tol=SLACK)):
                        problems.append(f"{series['label']} at {t_ms} ms: band [{lo}, {hi}] "
                                        f"is not {v} ± {tol}")
    return problems
