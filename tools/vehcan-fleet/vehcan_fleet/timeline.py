# SPDX-License-Identifier: MIT
"""Reconstruction: a signal's value at any time from its points, by the
rule its birth gives (docs/fleet-format.md, "Reconstruction"), so that a
backend can resample the fleet's data onto any grid.

A point holds until the next one ("step"), except that a "linear" signal
runs straight between two number points of one segment: the later one is
not a segment start and no state point lies between them. A point holds
for at most its signal's heartbeat: a live signal has its next point by
then, so beyond it the value is not known (a gap the stream saw carries a
"silent" point). Before the first point there is none. At equal times the
point that came later wins."""

import bisect
from collections import namedtuple

from .batch import Sample

# A signal's reading at a time, as a point carries it: value (float) for a
# number; state (int) and text for a state code; text for a text; value
# None with state "not available" or "error" when the sender had none.
Reading = namedtuple("Reading", "value state text")


def reading_of(sample):
    return Reading(sample.value, sample.state, sample.text)


class Timeline:
    """One signal's points, in time order whatever order they were added
    in (a historical batch after a live one). Memory: one entry a point."""

    def __init__(self, signal=None):
        self.signal = signal
        self._keys = []    # (time_us, arrival), sorted
        self._points = []  # Samples, in the same order
        self._arrivals = 0

    def __len__(self):
        return len(self._points)

    @property
    def points(self):
        """The Samples in time order (a read-only view is the caller's
        promise)."""
        return self._points

    def add(self, sample):
        """Adds a Sample of this signal; the newest birth's description of
        the signal becomes the timeline's."""
        self._arrivals += 1
        key = (sample.time_us, self._arrivals)
        i = bisect.bisect_right(self._keys, key)
        self._keys.insert(i, key)
        self._points.insert(i, sample)
        self.signal = sample.signal

    def value_at(self, time_us):
        """The Reading at time_us (µs since 1970), or None before the first
        point and more than a heartbeat after a point with none after it."""
        i = bisect.bisect_right(self._keys, (time_us, float("inf"))) - 1
        if i < 0:
            return None
        a = self._points[i]
        beat_us = a.signal.heartbeat_ms * 1000
        if beat_us > 0 and time_us - a.time_us > beat_us and i + 1 == len(self._points):
            return None
        if (a.signal.kind == "number" and a.signal.reconstruction == "linear" and a.available
                and a.time_us < time_us and i + 1 < len(self._points)):
            b = self._points[i + 1]
            if b.available and b.value is not None and not b.segment_start:
                share = (time_us - a.time_us) / (b.time_us - a.time_us)
                return Reading(a.value + (b.value - a.value) * share, None, None)
        return reading_of(a)

    def resample(self, start_us, stop_us, step_us):
        """(time_us, Reading or None) at start_us, start_us + step_us, ...
        up to and without stop_us."""
        if step_us <= 0:
            raise ValueError("step_us must be positive")
        for t in range(start_us, stop_us, step_us):
            yield t, self.value_at(t)


class Timelines:
    """The timelines of every signal of every vehicle fed to it, keyed by
    (vehicle, source, PGN, SPN, name): a signal keeps its timeline across
    births and runs."""

    def __init__(self):
        self._by_key = {}

    def add(self, item):
        """Adds a Sample to its signal's timeline; True. Anything else (raw
        payloads, event windows) is not a signal's point: False."""
        if not isinstance(item, Sample):
            return False
        key = (item.vehicle,) + item.signal.key
        timeline = self._by_key.get(key)
        if timeline is None:
            timeline = self._by_key[key] = Timeline(item.signal)
        timeline.add(item)
        return True

    def extend(self, items):
        for item in items:
            self.add(item)
        return self

    def __iter__(self):
        """((vehicle, source, pgn, spn, name), Timeline) of each signal."""
        return iter(self._by_key.items())

    def find(self, vehicle, pgn, spn=None, name=None, source=None):
        """The timelines of a vehicle's signals that match: PGN, and SPN,
        name and sender where given."""
        return [t for (v, s, p, n_spn, n), t in self._by_key.items()
                if v == vehicle and p == pgn and (spn is None or n_spn == spn)
                and (name is None or n == name) and (source is None or s == source)]

    def get(self, vehicle, pgn, spn=None, name=None, source=None):
        """The one timeline that matches; KeyError when none or several do."""
        found = self.find(vehicle, pgn, spn, name, source)
        if len(found) != 1:
            raise KeyError(f"{len(found)} signals of {vehicle} match pgn {pgn} spn {spn} "
                           f"name {name} source {source}")
        return found[0]
