# SPDX-License-Identifier: MIT
"""vehcan-fleet report: the levels of detail keep every spike, the bands
hold the decoder's reconstruction at every level, steps and segments are
drawn as the reconstruction runs, lost batches are marked and not drawn
across, trouble codes and lamps come from the DM1 payloads, and the
command writes one page (or says why not). The pages in a browser are
tests/report's (label report)."""

import json
import os
import random
import unittest

import support
from support import BASE_MS, ScratchCase, batch, birth, payload, raw_series, series
from page_bands import band_problems
import vehcan_fleet as vf
from vehcan_fleet import levels
from vehcan_fleet.dm1 import parse_dm1
from vehcan_fleet.report import StreamReport

T0 = BASE_MS * 1000  # µs
DM1 = 65226


def gather(*batches, vehicle="truck-17", raw_groups=()):
    """(StreamReport, Timelines) of a birth and batches, in order."""
    report = StreamReport(vehicle)
    stream = vf.Stream(report=lambda text: None)
    stream.on_batch = lambda b: report.batch_seen(b, stream.known_birth(b.vehicle, b.birth_id))
    timelines = vf.Timelines()
    payloads = [payload(birth(vehicle=vehicle, raw_groups=raw_groups))]
    payloads += [payload(b) for b in batches]
    for item in vf.samples(payloads, stream=stream):
        report.add(item)
        timelines.add(item)
    return report, timelines


def level_points(level):
    """[(ms since the page's start, v)] of a level."""
    out = []
    ms = 0
    for step, v in zip(level["t"], level["v"]):
        ms += step
        out.append((ms, v))
    return out


def series_of(data, name):
    return next(s for s in data["series"] if s["name"] == name)


def dm1_payload(lamps, codes):
    """A DM1: the lamps' byte, no flashing, then (spn, fmi, occurrences)."""
    out = bytearray([lamps, 0xFF])
    for spn, fmi, count in codes:
        out += bytes([spn & 0xFF, spn >> 8 & 0xFF, (spn >> 16) << 5 | fmi, count])
    return bytes(out) + b"\xFF" * (8 - len(out)) if len(out) < 8 else bytes(out)


AMBER = 0x04
RED = 0x10


class TestLevels(unittest.TestCase):
    def test_a_single_spike_is_in_every_level(self):
        n = 200000
        times = list(range(0, n * 10, 10))
        values = [100.0 + (i % 7) for i in range(n)]
        values[123457] = 900.0
        values[4242] = -50.0
        found = levels.detail_levels(times, values, 0, times[-1], 10**7)
        self.assertEqual([len(k) <= 2 * b + 2 for b, (_, k) in zip((1024, 4096, 16384), found)],
                         [True] * 3)
        self.assertEqual(len(found), 4)
        self.assertEqual(found[-1][0], 0)
        self.assertEqual(len(found[-1][1]), n)
        for stretch, kept in found:
            self.assertIn(123457, kept, f"level of {stretch}")
            self.assertIn(4242, kept, f"level of {stretch}")
            # the series' ends: the line spans the same time at every level
            self.assertEqual((kept[0], kept[-1]), (0, n - 1))
            self.assertEqual(kept, sorted(kept))

    def test_a_small_budget_keeps_the_coarsest_level_only(self):
        times = list(range(100000))
        values = [float(i % 13) for i in times]
        found = levels.detail_levels(times, values, 0, times[-1], 100)
        self.assertEqual(len(found), 1)
        self.assertGreater(found[0][0], 0)

    def test_the_first_not_available_of_a_stretch_stays(self):
        nan = float("nan")
        values = [1.0, 2.0, nan, nan, 3.0, 1.5] * 1000
        kept = levels.reduce_min_max(list(range(6000)), values, 0, 6000, 1000)
        self.assertEqual(kept[:3], [0, 2, 4])  # min, first gap, max of the first stretch
        self.assertEqual(len(kept), 3000)

    def test_the_budget_goes_first_to_those_that_want_little(self):
        self.assertEqual(levels.share_budget([10, 1000, 1000], 1000), [10, 495, 495])
        self.assertEqual(levels.share_budget([10, 20], 1000), [10, 20])


class TestBands(unittest.TestCase):
    def long_drive(self, lose=()):
        """Three minutes in six batches of engine speed (step, ± 4 rpm) and
        vehicle speed (linear, ± 0.5 km/h, with segment starts), both with
        "not available" stretches; the batches of seq in lose are lost."""
        rng = random.Random(7)
        batches = []
        rpm = 8000  # raw: 1000 rpm
        kmh = 12800  # raw: 50 km/h
        for seq in range(1, 7):
            start = BASE_MS + (seq - 1) * 30000
            engine = []
            speed = []  # (ms, raw, starts a segment)
            states = []
            for k in range(0, 30000, 10):
                rpm = max(0, rpm + rng.randint(-40, 40))  # and a spike of 250 rpm:
                engine.append((start + k, rpm + (2000 if k % 5000 == 2500 else 0)))
                if k % 100 == 0:
                    kmh = max(0, kmh + rng.randint(-300, 300))
                    jump = k % 7000 == 0
                    kmh += 2000 if jump else 0
                    speed.append((start + k, kmh, jump))
            if seq == 3:
                states = [(start + 15005, -1)]  # not available, for a while
                speed = [p for p in speed if not start + 15005 <= p[0] < start + 20000]
            starts = [i for i, p in enumerate(speed) if p[2]]
            speed = [p[:2] for p in speed]
            batches.append(batch(seq, base=start, span=30000, signals=[
                series(1, numbers=engine, base=start),
                series(2, numbers=speed, segment_starts=starts, states=states, base=start)]))
        return gather(*[b for b in batches if b.seq not in lose])

    def test_every_reconstructed_value_lies_within_its_band_at_every_level(self):
        report, timelines = self.long_drive()
        data = report.data("t", "p", budget=60000)
        engine = series_of(data, "engine speed")
        self.assertGreaterEqual(len(engine["levels"]), 3)  # coarse levels are checked too
        self.assertEqual(engine["levels"][-1]["bucket"], 0)
        self.assertEqual(band_problems(data, timelines, "truck-17"), [])
        # at the finest level the band is the tolerance
        finest = engine["levels"][-1]
        self.assertEqual((finest["lo"][0] + 4, finest["hi"][0] - 4), (finest["v"][0],) * 2)

    def test_the_check_sees_a_band_that_leaves_out_what_a_level_dropped(self):
        report, timelines = self.long_drive()
        data = report.data("t", "p", budget=60000)
        level = series_of(data, "engine speed")["levels"][0]
        level["lo"] = [None if v is None else v - 4 for v in level["v"]]
        level["hi"] = [None if v is None else v + 4 for v in level["v"]]
        self.assertNotEqual(band_problems(data, timelines, "truck-17"), [])

    def test_steps_and_segments_are_drawn_as_the_reconstruction_runs(self):
        report, _ = gather(batch(1, signals=[
            series(1, numbers=[(BASE_MS, 8000), (BASE_MS + 100, 8800)]),
            series(2, numbers=[(BASE_MS, 2560), (BASE_MS + 100, 5120), (BASE_MS + 200, 2560),
                               (BASE_MS + 300, 3840)],
                   segment_starts=[2], states=[(BASE_MS + 250, -1)])], span=1000))
        data = report.data("t", "p")
        engine = series_of(data, "engine speed")
        speed = series_of(data, "wheel-based vehicle speed")
        self.assertEqual((engine["reconstruction"], speed["reconstruction"]), ("step", "linear"))
        self.assertEqual((engine["tolerance"], speed["tolerance"]), (4.0, 0.5))
        # a step series: its points, held to the end of the batch
        self.assertEqual(level_points(engine["levels"][-1]), [(0, 1000.0), (100, 1100.0),
                                                              (1000, 1100.0)])
        # linear: 10 -> 20 km/h, then held until the segment that starts at
        # 10, which runs until "not available", and 15 km/h held to the end
        self.assertEqual(level_points(speed["levels"][-1]), [
            (0, 10.0), (100, 20.0), (200, 20.0), (200, 10.0), (250, 10.0), (250, None),
            (300, 15.0), (1000, 15.0)])
        self.assertEqual(speed["samples"], 5)
        self.assertEqual(speed["levels"][-1]["lo"][:2], [9.5, 19.5])

    def test_lost_batches_are_marked_and_no_line_runs_across_them(self):
        report, timelines = self.long_drive(lose=(4, 5))
        data = report.data("t", "p")
        gaps = [m for m in data["marks"] if m["kind"] == "gap"]
        self.assertEqual(gaps, [{"from": 90.0, "to": 150.0, "kind": "gap",
                                 "text": "lost: batch seq 4 to 5"}])
        self.assertIn(["batches lost", "seq 4 to 5 (0:01:30.0 to 0:02:30.0)"], data["summary"])
        for name in ("engine speed", "wheel-based vehicle speed"):
            points = level_points(series_of(data, name)["levels"][-1])
            inside = [p for p in points if 90000 <= p[0] < 150000]
            # held to the start of the gap, then none until the next batch
            self.assertIsNotNone(inside[0][1], name)
            self.assertEqual(inside[0][0], 90000, name)
            self.assertEqual(inside[1], (90000, None), name)
            self.assertEqual([v for _, v in inside[1:]], [None] * (len(inside) - 1), name)
        self.assertEqual(band_problems(data, timelines, "truck-17"), [])


class TestTroubleCodes(unittest.TestCase):
    def test_a_dm1_payload(self):
        d = parse_dm1(bytes.fromhex("04FF6E001001FFFF"))
        self.assertEqual(d.lamps, (0, 0, 1, 0))
        self.assertEqual([(c.spn, c.fmi, c.occurrences) for c in d.codes], [(110, 16, 1)])
        self.assertEqual(d.codes[0].fmi_text,
                         "data valid but above normal operating range, moderately severe level")
        # no code (SPN 0, FMI 0); SPN 262143; a legacy layout (high bits first);
        # padding
        d = parse_dm1(bytes.fromhex("5000" "00000000" "FFFF7F02" "00DC8385" "FFFFFFFF"))
        self.assertEqual(d.lamps, (1, 1, 0, 0))
        self.assertEqual([(c.spn, c.fmi, c.occurrences) for c in d.codes],
                         [(262143, 31, 2), (1764, 3, 5)])
        self.assertIsNone(parse_dm1(b"\x04"))

    def test_codes_and_lamps_run_from_the_dm1_that_lists_them_to_the_one_that_does_not(self):
        dm1s = [(BASE_MS + 1000, dm1_payload(AMBER, [(110, 16, 1)])),
                (BASE_MS + 5000, dm1_payload(AMBER | RED, [(110, 16, 2), (100, 1, 1)])),
                (BASE_MS + 9000, dm1_payload(RED, [(100, 1, 1)])),
                (BASE_MS + 12000, dm1_payload(0, [])),
                (BASE_MS + 15000, dm1_payload(AMBER, [(110, 16, 3)]))]
        report, _ = gather(
            batch(1, span=20000, raw=[raw_series(9, dm1s)],
                  signals=[series(4, numbers=[(BASE_MS, 90)])]),
            raw_groups=[(9, 0, DM1, "DM1")])
        data = report.data("t", "p")
        codes = {(c["spn"], c["fmi"]): c for c in data["codes"]}
        self.assertEqual(list(codes), [(110, 16), (100, 1)])
        coolant = codes[(110, 16)]
        self.assertEqual(coolant["spans"], [[1.0, 9.0], [15.0, 20.0]])  # to the stream's end
        self.assertEqual((coolant["messages"], coolant["occurrences"], coolant["source"]),
                         (3, 3, 0))
        self.assertEqual(coolant["spn_name"], "engine coolant temperature")  # the birth's name
        self.assertEqual(codes[(100, 1)]["spans"], [[5.0, 12.0]])
        self.assertEqual(codes[(100, 1)]["spn_name"], "")
        lamps = {l["lamp"]: l["spans"] for l in data["lamps"]}
        self.assertEqual(lamps, {"amber warning": [[1.0, 9.0], [15.0, 20.0]],
                                 "red stop": [[5.0, 12.0]]})
        self.assertIn(["trouble codes", "2 from the DM1s of 0x00"], data["summary"])

    def test_a_dm1_that_the_gateway_does_not_stream_is_said(self):
        b = birth()
        b.raw_groups.add(alias=9, source=0, pgn=DM1, acronym="DM1", streamed=False)
        report = StreamReport("truck-17")
        stream = vf.Stream(report=lambda text: None)
        stream.on_batch = lambda x: report.batch_seen(x, stream.known_birth(x.vehicle, x.birth_id))
        for item in vf.samples([payload(b), payload(batch(1, signals=[
                series(4, numbers=[(BASE_MS, 90)])]))], stream=stream):
            report.add(item)
        data = report.data("t", "p")
        self.assertEqual(data["codes"], [])
        self.assertIn(["trouble codes", "DM1 of 0x00 listed in a birth without payloads in the "
                       "stream"], data["summary"])


class TestCommand(ScratchCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A stand-in for dygraphs: the page takes it as it is.
        cls.library = os.path.join(cls.scratch, "dygraphs")
        os.makedirs(cls.library)
        with open(os.path.join(cls.library, "dygraph.min.js"), "w") as f:
            f.write("window.Dygraph = 'stand-in';\n//# sourceMappingURL=dygraph.min.js.map\n")
        with open(os.path.join(cls.library, "dygraph.min.css"), "w") as f:
            f.write(".dygraph-legend { color: red; }\n")
        cls.records = support.write_records(os.path.join(cls.scratch, "two.records"), [
            ("vehcan/truck-17/birth", payload(birth())),
            ("vehcan/truck-17/batch", payload(batch(1, signals=[
                series(1, numbers=[(BASE_MS, 8000), (BASE_MS + 500, 9000)]),
                series(3, states=[(BASE_MS, 1)])]))),
            ("vehcan/bus-4/birth", payload(birth(vehicle="bus-4"))),
            ("vehcan/bus-4/batch", payload(batch(1, signals=[
                series(2, numbers=[(BASE_MS, 2560)])])))])

    def report(self, *args):
        page = self.path("page.html")
        if os.path.exists(page):
            os.remove(page)
        return support.program("report", *args, "-o", page, "--library", self.library), page

    def data_of(self, page):
        with open(page, encoding="utf-8") as f:
            html = f.read()
        self.assertNotIn("@VEHCAN_", html)
        self.assertIn("window.Dygraph = 'stand-in';", html)
        self.assertNotIn("sourceMappingURL", html)
        opening = '<script type="application/json" id="vehcan-data">'
        start = html.index(opening) + len(opening)
        return json.loads(html[start:html.index("</script>", start)])

    def test_one_vehicle_makes_one_page(self):
        done, page = self.report(self.records, "--vehicle", "truck-17")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, f"{page}: 0.0 MB, truck-17, 3 points, 2 signals on 2 "
                                      "charts, 0 trouble codes, 0 lost stretches\n")
        data = self.data_of(page)
        self.assertEqual((data["title"], data["subject"], data["start_unix"]),
                         ("truck-17", "stream", BASE_MS / 1000))
        self.assertTrue(data["producer"].startswith("vehcan-fleet report "))
        self.assertEqual([(s["name"], s["samples"]) for s in data["series"]],
                         [("engine speed", 2), ("cruise control", 1)])
        self.assertEqual(series_of(data, "cruise control")["states"], [[1, "on"]])

    def test_several_vehicles_need_a_choice(self):
        done, page = self.report(self.records)
        self.assertEqual(done.returncode, 2)
        self.assertEqual(done.stderr, "vehcan-fleet: 2 vehicles in the files (bus-4, truck-17): "
                                      "choose one with --vehicle\n")
        self.assertFalse(os.path.exists(page))

    def test_spn_charts_only_those(self):
        done, page = self.report(self.records, "--vehicle", "truck-17", "--spn", "190",
                                 "--title", "Truck 17, Tuesday")
        self.assertEqual(done.returncode, 0, done.stderr)
        data = self.data_of(page)
        self.assertEqual([s["spn"] for s in data["series"]], [190])
        self.assertEqual(data["title"], "Truck 17, Tuesday")

    def test_an_unreadable_input_still_gives_the_page_of_the_rest(self):
        broken = self.path("broken.pb")
        with open(broken, "wb") as f:
            f.write(b"\x08\x01\x10")
        done, page = self.report(self.records, broken, "--vehicle", "truck-17")
        self.assertEqual(done.returncode, 3)
        self.assertIn("unreadable payload", done.stderr)
        self.assertNoTraceback(done)
        self.assertEqual(len(self.data_of(page)["series"]), 2)

    def test_a_missing_library_is_named(self):
        done = support.program("report", self.records, "--vehicle", "bus-4", "-o",
                               self.path("x.html"), "--library", self.path("nowhere"))
        self.assertEqual(done.returncode, 1)
        self.assertRegex(done.stderr, r"^vehcan-fleet: the charting library is missing: .*"
                                      r"nowhere/dygraph.min.js: .*libjs-dygraphs")
        self.assertFalse(os.path.exists(self.path("x.html")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
