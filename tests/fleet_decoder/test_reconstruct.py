# SPDX-License-Identifier: MIT
"""The library's reconstruction: a signal's value at any time by its
birth's rule (step; linear within a segment; states and "not available"
between), whatever order the batches came in, and resampling onto a grid."""

import random
import unittest

from support import BASE_MS, batch, birth, payload, series
import vehcan_fleet as vf

T0 = BASE_MS * 1000  # µs


def ms(offset):
    return T0 + offset * 1000


def timelines(*batches, order=None):
    """The Timelines of a birth and batches fed in order (default: as given)."""
    payloads = [("truck-17", payload(birth()))]
    payloads += [("truck-17", payload(b)) for b in (order or batches)]
    reports = []
    t = vf.Timelines().extend(vf.samples(payloads, report=reports.append))
    return t, reports


class TestValueAt(unittest.TestCase):
    def test_step_holds_each_point_until_the_next(self):
        t, reports = timelines(batch(1, signals=[
            series(1, numbers=[(BASE_MS, 80), (BASE_MS + 100, 160)])]))
        self.assertEqual(reports, [])
        speed = t.get("truck-17", pgn=61444, spn=190)
        self.assertIsNone(speed.value_at(ms(0) - 1))
        self.assertEqual([speed.value_at(ms(x)).value for x in (0, 50, 99, 100, 5000)],
                         [10.0, 10.0, 10.0, 20.0, 20.0])

    def test_linear_runs_straight_within_a_segment_only(self):
        # alias 2: km/h in 1/256; points 10, 20 and (a new segment) 10 km/h
        t, _ = timelines(batch(1, signals=[series(
            2, numbers=[(BASE_MS, 2560), (BASE_MS + 100, 5120), (BASE_MS + 200, 2560)],
            segment_starts=[2])]))
        speed = t.get("truck-17", pgn=65265, spn=84)
        got = [speed.value_at(ms(x)).value for x in (0, 25, 50, 100, 150, 199, 200, 900)]
        self.assertEqual(got, [10.0, 12.5, 15.0, 20.0, 20.0, 20.0, 10.0, 10.0])

    def test_a_state_point_ends_a_segment(self):
        t, _ = timelines(batch(1, signals=[series(
            2, numbers=[(BASE_MS, 2560), (BASE_MS + 100, 5120)],
            states=[(BASE_MS + 50, -1)])]))
        speed = t.get("truck-17", pgn=65265, spn=84)
        self.assertEqual(speed.value_at(ms(25)), vf.Reading(10.0, None, None))
        self.assertEqual(speed.value_at(ms(50)), vf.Reading(None, "not available", None))
        self.assertEqual(speed.value_at(ms(99)), vf.Reading(None, "not available", None))
        self.assertEqual(speed.value_at(ms(100)), vf.Reading(20.0, None, None))

    def test_at_equal_times_the_later_point_wins(self):
        t, _ = timelines(
            batch(1, signals=[series(1, numbers=[(BASE_MS, 80)], states=[(BASE_MS, -2)])]),
            batch(2, signals=[series(3, states=[(BASE_MS + 10, 0)])]),
            batch(3, signals=[series(3, states=[(BASE_MS + 10, 1)])]))
        self.assertEqual(t.get("truck-17", pgn=61444, spn=190).value_at(ms(0)),
                         vf.Reading(None, "error", None))
        self.assertEqual(t.get("truck-17", pgn=65265, spn=595).value_at(ms(10)),
                         vf.Reading(None, 1, "on"))

    def test_batches_join_and_arrive_in_any_order(self):
        live = batch(2, signals=[series(2, numbers=[(BASE_MS + 100, 5120)])])
        older = batch(3, historical=True, signals=[series(2, numbers=[(BASE_MS, 2560)])])
        t, reports = timelines(order=[live, older])
        self.assertEqual(reports, [])
        speed = t.get("truck-17", pgn=65265, spn=84)
        # the live batch's point is not a segment start: joined to the older one's
        self.assertEqual(speed.value_at(ms(75)).value, 17.5)
        self.assertEqual([p.historical for p in speed.points], [True, False])

    def test_texts_and_resampling(self):
        t, _ = timelines(batch(1, signals=[
            series(5, texts=[(BASE_MS + 10, "1HTMKAAN0CH123456")]),
            series(2, numbers=[(BASE_MS, 0), (BASE_MS + 100, 2560)])]))
        self.assertEqual(t.get("truck-17", pgn=65260, name="VIN").value_at(ms(11)).text,
                         "1HTMKAAN0CH123456")
        speed = t.get("truck-17", pgn=65265)
        grid = [(x - T0, r if r is None else r.value)
                for x, r in speed.resample(ms(-25), ms(125), 25000)]
        self.assertEqual(grid, [(-25000, None), (0, 0.0), (25000, 2.5), (50000, 5.0),
                                (75000, 7.5), (100000, 10.0)])
        with self.assertRaises(KeyError):
            t.get("truck-17", pgn=65262)  # no points: no timeline


class TestSplitAndShuffled(unittest.TestCase):
    """A random walk with segment starts and "not available" stretches reads
    the same at every time whether it came in one batch or in many, in
    any order (historical batches after live ones)."""

    def walk(self, rng, n):
        numbers, states, starts = [], [], []
        t, raw, gap = BASE_MS, 2560, False
        for _ in range(n):
            t += rng.randint(1, 400)
            if rng.random() < 0.05:
                states.append((t, -1))
                gap = True
                continue
            raw += rng.randint(-300, 300)
            if gap or rng.random() < 0.05:
                starts.append(len(numbers))
            gap = False
            numbers.append((t, raw))
        return numbers, states, starts

    def split(self, rng, numbers, states, starts, pieces):
        """The walk's points cut at random times into batches."""
        end = max(t for t, _ in numbers + states) + 1
        cuts = sorted(rng.sample(range(BASE_MS + 1, end), pieces - 1)) + [end]
        out, low = [], BASE_MS
        for seq, high in enumerate(cuts, 1):
            idx = [i for i, (t, _) in enumerate(numbers) if low <= t < high]
            out.append(batch(seq, base=low, signals=[series(
                2, base=low, numbers=[numbers[i] for i in idx],
                states=[p for p in states if low <= p[0] < high],
                segment_starts=[k for k, i in enumerate(idx) if i in starts])]))
            low = high
        return out

    def test_the_same_reading_at_every_time(self):
        rng = random.Random(190)
        for round_ in range(20):
            numbers, states, starts = self.walk(rng, 300)
            whole = timelines(self.split(rng, numbers, states, starts, 1)[0])[0]
            pieces = self.split(rng, numbers, states, starts, rng.randint(2, 12))
            # arrival in any order, each batch numbered as it arrives
            rng.shuffle(pieces)
            for seq, b in enumerate(pieces, 1):
                b.seq = seq
            split, reports = timelines(order=pieces)
            self.assertEqual(reports, [])
            a = whole.get("truck-17", pgn=65265, spn=84)
            b = split.get("truck-17", pgn=65265, spn=84)
            end = max(t for t, _ in numbers) + 50
            for t in sorted(rng.sample(range(BASE_MS - 10, end), 400)) + [t for t, _ in numbers]:
                with self.subTest(round=round_, ms=t - BASE_MS):
                    self.assertEqual(a.value_at(t * 1000), b.value_at(t * 1000))
            # at each point's own time, exactly its value
            for t, raw in numbers:
                if not any(s == t for s, _ in states):
                    self.assertEqual(a.value_at(t * 1000).value, raw / 256)


if __name__ == "__main__":
    unittest.main(verbosity=2)
