# SPDX-License-Identifier: MIT
"""vehcan-fleet decode: the lines of every kind of point, raw payload and
event window, exactly; the three kinds of saved files; batches before
their birth; seq gaps, duplicates, late batches and a new run."""

import os
import unittest

import support
import vehcan_fleet as vf
from support import BASE_MS, batch, birth, event, payload, raw_series, series

TOPIC = "vehcan/truck-17/"

BIRTH = birth(raw_groups=[(1, 238, 65280, "PropB_00")])
FIRST = batch(1, signals=[
    series(1, numbers=[(BASE_MS, 10526), (BASE_MS + 100, 12000)], states=[(BASE_MS + 200, -1)]),
    series(3, states=[(BASE_MS + 26, 1), (BASE_MS + 400, 5), (BASE_MS + 500, 7)],
           new_texts={5: "resume"}),
    series(5, texts=[(BASE_MS + 300, "1HTMKAAN0CH123456")]),
    series(4, numbers=[(BASE_MS + 2, 130)], states=[(BASE_MS + 2, -2)]),
    series(7, numbers=[(BASE_MS + 1, 0)]),
], raw=[raw_series(1, [(BASE_MS + 50, bytes.fromhex("04FF6E001001FFFF"))])], events=[
    event(1, BASE_MS + 1000, [((BASE_MS + 1000) * 1000 - 500, 0x18FECA00,
                               bytes.fromhex("04FF6E001001FFFF")),
                              ((BASE_MS + 1000) * 1000 + 250, 0x80000123, b"\x01\x02")]),
    event(2, BASE_MS + 1500, [], condition="coolant hot", before_ms=5000, after_ms=2000, lost=3),
])
SECOND = batch(2, historical=True, signals=[
    series(2, numbers=[(BASE_MS + 60000, 20480), (BASE_MS + 61000, 20608)], segment_starts=[0]),
    series(6, numbers=[(BASE_MS + 60500, 246913)]),
])

V = '{"vehicle":"truck-17",'
WANT = [
    V + '"source":0,"pgn":61444,"spn":190,"name":"engine speed","unit":"rpm",'
        '"timestamp":"2026-12-08T18:05:34.575000Z","value":1315.75,"tolerance":4.0,'
        '"reconstruction":"step"}',
    V + '"source":0,"pgn":61444,"spn":190,"name":"engine speed","unit":"rpm",'
        '"timestamp":"2026-12-08T18:05:34.675000Z","value":1500.0,"tolerance":4.0,'
        '"reconstruction":"step"}',
    V + '"source":0,"pgn":61444,"spn":190,"name":"engine speed","unit":"rpm",'
        '"timestamp":"2026-12-08T18:05:34.775000Z","value":null,"state":"not available",'
        '"tolerance":4.0,"reconstruction":"step"}',
    V + '"source":0,"pgn":65265,"spn":595,"name":"cruise control",'
        '"timestamp":"2026-12-08T18:05:34.601000Z","state":1,"text":"on"}',
    V + '"source":0,"pgn":65265,"spn":595,"name":"cruise control",'
        '"timestamp":"2026-12-08T18:05:34.975000Z","state":5,"text":"resume"}',
    V + '"source":0,"pgn":65265,"spn":595,"name":"cruise control",'
        '"timestamp":"2026-12-08T18:05:35.075000Z","state":7,"text":"state 7"}',
    V + '"source":0,"pgn":65260,"spn":null,"name":"VIN",'
        '"timestamp":"2026-12-08T18:05:34.875000Z","text":"1HTMKAAN0CH123456"}',
    V + '"source":0,"pgn":65262,"spn":110,"name":"engine coolant temperature","unit":"°C",'
        '"timestamp":"2026-12-08T18:05:34.577000Z","value":90.0,"tolerance":1.0,'
        '"reconstruction":"linear"}',
    V + '"source":0,"pgn":65262,"spn":110,"name":"engine coolant temperature","unit":"°C",'
        '"timestamp":"2026-12-08T18:05:34.577000Z","value":null,"state":"error",'
        '"tolerance":1.0,"reconstruction":"linear"}',
    V + '"source":null,"pgn":61444,"spn":1483,"name":"controlling device","unit":"",'
        '"timestamp":"2026-12-08T18:05:34.576000Z","value":0.0,"tolerance":0.0,'
        '"reconstruction":"step"}',
    V + '"source":238,"pgn":65280,"timestamp":"2026-12-08T18:05:34.625000Z",'
        '"data":"04FF6E001001FFFF"}',
    V + '"event":"dm1","timestamp":"2026-12-08T18:05:35.575000Z","before_ms":10000,'
        '"after_ms":10000,"frames":[{"timestamp":"2026-12-08T18:05:35.574500Z",'
        '"id":"18FECA00","data":"04FF6E001001FFFF"},{"timestamp":"2026-12-08T18:05:35.575250Z",'
        '"id":"123","data":"0102"}]}',
    V + '"event":"condition","condition":"coolant hot","timestamp":"2026-12-08T18:05:36.075000Z",'
        '"before_ms":5000,"after_ms":2000,"frames":[],"frames_lost":3}',
    V + '"source":0,"pgn":65265,"spn":84,"name":"wheel-based vehicle speed","unit":"km/h",'
        '"timestamp":"2026-12-08T18:06:34.575000Z","value":80.0,"tolerance":0.5,'
        '"reconstruction":"linear","historical":true}',
    V + '"source":0,"pgn":65265,"spn":84,"name":"wheel-based vehicle speed","unit":"km/h",'
        '"timestamp":"2026-12-08T18:06:35.575000Z","value":80.5,"tolerance":0.5,'
        '"reconstruction":"linear","historical":true}',
    V + '"source":0,"pgn":65257,"spn":250,"name":"engine total fuel used","unit":"L",'
        '"timestamp":"2026-12-08T18:06:35.075000Z","value":123456.5,"tolerance":0.5,'
        '"reconstruction":"step","historical":true}',
]


class TestLines(support.ScratchCase):
    def test_every_kind_of_line_exactly(self):
        records = support.write_records(self.path("drive.records"), [
            (TOPIC + "birth", payload(BIRTH)), (TOPIC + "batch", payload(FIRST)),
            (TOPIC + "batch", payload(SECOND, compress=False))])
        done = self.decode(records)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, "")
        self.assertEqual(done.stdout.splitlines(), WANT)

    def test_vehicle_option_keeps_one_vehicle(self):
        other = birth(vehicle="bus-3", raw_groups=[(1, 238, 65280, "PropB_00")])
        records = support.write_records(self.path("two.records"), [
            (TOPIC + "birth", payload(BIRTH)), ("vehcan/bus-3/birth", payload(other)),
            ("vehcan/bus-3/batch", payload(FIRST)), (TOPIC + "batch", payload(SECOND))])
        done = self.decode(records, args=["--vehicle", "bus-3"])
        self.assertEqual(done.returncode, 0, done.stderr)
        got = done.stdout.splitlines()
        self.assertEqual(got, [w.replace("truck-17", "bus-3") for w in WANT[:13]])


class TestFiles(support.ScratchCase):
    """The same payloads saved three ways decode to the same lines."""

    def raw_files(self, directory):
        os.makedirs(directory, exist_ok=True)
        names = []
        for name, message in (("1-birth.pb", BIRTH), ("2-batch.pb", FIRST),
                              ("3-batch.pb", SECOND)):
            names.append(os.path.join(directory, name))
            with open(names[-1], "wb") as f:
                f.write(payload(message))
        return names

    def test_a_directory_of_raw_payloads(self):
        self.raw_files(self.path("saved"))
        done = self.decode(self.path("saved"))
        self.assertEqual(done.returncode, 0, done.stderr)
        # no topic: the vehicle is the birth's own
        self.assertEqual(done.stdout.splitlines(), WANT)

    def test_batches_given_before_their_birth_wait_for_it(self):
        birth_file, first, second = self.raw_files(self.path("loose"))
        done = self.decode(second, first, birth_file)
        self.assertEqual(done.returncode, 0, done.stderr)
        # released in seq order once the birth came
        self.assertEqual(done.stdout.splitlines(), WANT)

    def test_a_birth_that_never_comes_is_said_and_fails(self):
        _, first, second = self.raw_files(self.path("orphans"))
        done = self.decode(first, second)
        self.assertEqual(done.returncode, 3)
        self.assertEqual(done.stdout, "")
        self.assertEqual(done.stderr, f"vehcan-fleet: {first}: 2 batches (seq 1 to 2) not "
                                      "decoded: birth 1 never came\n")

    def test_dm1_and_status_records_are_passed_over(self):
        records = support.write_records(self.path("all.records"), [
            ("vehcan/truck-17/status", b'{"status":"online"}'), (TOPIC + "birth", payload(BIRTH)),
            ("vehcan/truck-17/dm1", b'{"nodes":[]}'), (TOPIC + "batch", payload(FIRST))])
        done = self.decode(records)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.splitlines(), WANT[:13])


class TestSeq(support.ScratchCase):
    def test_gaps_duplicates_late_batches_and_a_new_run(self):
        def one(seq, raw, birth_id=1):
            return (TOPIC + "batch", payload(batch(seq, birth_id, signals=[
                series(1, numbers=[(BASE_MS + seq, raw)])])))
        records = support.write_records(self.path("seq.records"), [
            (TOPIC + "birth", payload(BIRTH)), one(1, 8000), one(2, 8008), one(2, 8008),
            one(6, 8016), one(4, 8024),
            (TOPIC + "birth", payload(birth(birth_id=2))), one(1, 8032, birth_id=2)])
        done = self.decode(records)
        self.assertEqual(done.returncode, 0, done.stderr)
        f = self.path("seq.records")
        self.assertEqual(done.stderr.splitlines(), [
            f"vehcan-fleet: {f} record 4: truck-17: batch seq 2 again: a duplicate, skipped",
            f"vehcan-fleet: {f} record 5: truck-17: 3 batches lost: seq 3 to 5",
            f"vehcan-fleet: {f} record 6: truck-17: batch seq 4 came after seq 6",
            f"vehcan-fleet: {f} record 8: truck-17: seq starts again at 1 with birth 2: a new "
            "run of the gateway (without a spool)"])
        # the duplicate printed once; the late batch printed
        values = [dict(line)["value"] for line in support.lines_of(done.stdout)]
        self.assertEqual(values, [1000.0, 1001.0, 1002.0, 1003.0, 1004.0])


    def test_the_run_id_tells_a_grown_table_from_a_new_run(self):
        # A birth that grows within a run (same run_id) does not make a
        # repeated seq a restart; a birth of another run does.
        def one(seq, raw, birth_id):
            return (TOPIC + "batch", payload(batch(seq, birth_id, signals=[
                series(1, numbers=[(BASE_MS + seq, raw)])])))
        records = support.write_records(self.path("runs.records"), [
            (TOPIC + "birth", payload(birth(birth_id=1, run_id=1))), one(1, 8000, 1),
            one(2, 8008, 1),
            (TOPIC + "birth", payload(birth(birth_id=2, run_id=1))), one(2, 8008, 2),
            one(3, 8016, 2),
            (TOPIC + "birth", payload(birth(birth_id=5, run_id=5))), one(1, 8024, 5)])
        done = self.decode(records)
        self.assertEqual(done.returncode, 0, done.stderr)
        f = self.path("runs.records")
        self.assertEqual(done.stderr.splitlines(), [
            f"vehcan-fleet: {f} record 5: truck-17: batch seq 2 again: a duplicate, skipped",
            f"vehcan-fleet: {f} record 8: truck-17: seq starts again at 1 with birth 5: a new "
            "run of the gateway (without a spool)"])
        values = [dict(line)["value"] for line in support.lines_of(done.stdout)]
        self.assertEqual(values, [1000.0, 1001.0, 1002.0, 1003.0])

    def test_a_gap_longer_than_the_heartbeat_is_a_silence(self):
        # Points 3 s apart under a heartbeat of 2 s: silent from 2 s after
        # the first until the second; the library's value follows.
        records = support.write_records(self.path("silence.records"), [
            (TOPIC + "birth", payload(birth(heartbeat_ms=2000))),
            (TOPIC + "batch", payload(batch(1, 1, signals=[
                series(1, numbers=[(BASE_MS, 8000), (BASE_MS + 1000, 8008)])]))),
            (TOPIC + "batch", payload(batch(2, 1, signals=[
                series(1, numbers=[(BASE_MS + 4000, 8016)], segment_starts=[0])])))])
        done = self.decode(records)
        self.assertEqual(done.returncode, 0, done.stderr)
        import vehcan_fleet as vf
        got = [(dict(line)["timestamp"], dict(line)["value"], dict(line).get("state"))
               for line in support.lines_of(done.stdout)]
        at = lambda ms: vf.timestamp_text((BASE_MS + ms) * 1000)  # noqa: E731
        self.assertEqual(got, [(at(0), 1000.0, None), (at(1000), 1001.0, None),
                               (at(3000), None, "silent"), (at(4000), 1002.0, None)])
        timeline = vf.Timelines().extend(
            vf.samples(vf.read_files([self.path("silence.records")])))
        (key, line), = [(k, t) for k, t in timeline if k[4] == "engine speed"]
        base_us = BASE_MS * 1000
        self.assertEqual(line.value_at(base_us + 2_500_000).value, 1001.0)
        self.assertEqual(line.value_at(base_us + 3_500_000).state, "silent")
        self.assertEqual(line.value_at(base_us + 4_000_000).value, 1002.0)
        self.assertIsNone(line.value_at(base_us + 6_500_000))


class TestBounds(support.ScratchCase):
    def test_waiting_batches_beyond_the_bound_are_dropped_and_said(self):
        def one(seq):
            return (TOPIC + "batch", payload(batch(seq, signals=[
                series(1, numbers=[(BASE_MS + seq, 8000 + seq * 8)])])))
        records = support.write_records(self.path("wait.records"), [
            one(1), one(2), one(3), (TOPIC + "birth", payload(BIRTH))])
        done = self.decode(records, args=["--max-waiting", "2"])
        f = self.path("wait.records")
        self.assertEqual(done.returncode, 3)
        self.assertEqual(done.stderr, f"vehcan-fleet: {f} record 1: truck-17: batch seq 1 "
                                      "dropped: its birth 1 did not come while 2 later batches "
                                      "waited\n")
        self.assertEqual([dict(o)["value"] for o in support.lines_of(done.stdout)],
                         [1002.0, 1003.0])

    def test_the_oldest_births_are_forgotten_beyond_the_bound(self):
        reports = []
        stream = vf.Stream(report=reports.append, births_kept=3)
        for birth_id in range(1, 6):
            stream.feed(payload(birth(birth_id=birth_id)), "truck-17")
        self.assertEqual(reports, ["truck-17: birth 1 forgotten: more than 3 births of the "
                                   "vehicle", "truck-17: birth 2 forgotten: more than 3 births "
                                   "of the vehicle"])
        self.assertIsNone(stream.known_birth("truck-17", 2))
        self.assertIsNotNone(stream.known_birth("truck-17", 3))
        # a batch of a forgotten birth waits, like one of a birth not yet seen
        self.assertEqual(stream.feed(payload(FIRST), "truck-17"), [])
        self.assertEqual(len(stream.feed(payload(batch(2, 5, signals=FIRST.signals[:1])),
                                         "truck-17")), 3)
        stream.finish()
        self.assertEqual(reports[-1], "truck-17: batch seq 1 not decoded: birth 1 never came")


if __name__ == "__main__":
    unittest.main(verbosity=2)
