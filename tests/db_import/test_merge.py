# SPDX-License-Identifier: MIT
"""--merge into data/sample.xml leaves every existing entry as it was, keeps
an existing PGN against the input's, and the vehcan tool's decode, dtc,
replay and monitor take the converted file as they take the sample."""

import concurrent.futures
import json
import os
import unittest

import support

# A PGN that the sample has (EEC1) beside one it lacks (EBC1).
CONFLICT_DBC = '''VERSION ""

NS_ :

BS_:

BU_: Engine

BO_ 2364539904 EEC1: 8 Engine
 SG_ EngSpeedOther : 24|16@1+ (0.125,0) [0|8031.875] "rpm" Vector__XXX

BO_ 2565865739 EBC1: 8 Engine
 SG_ BrakePedalPos : 8|8@1+ (0.4,0) [0|100] "%" Vector__XXX

BA_DEF_ SG_ "SPN" INT 0 524287;
BA_ "SPN" SG_ 2364539904 EngSpeedOther 190;
BA_ "SPN" SG_ 2565865739 BrakePedalPos 521;
'''


def sample_text():
    with open(support.SAMPLE, encoding="utf-8") as f:
        return f.read()


class TestMergeIntoTheSample(support.ScratchCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.merged, cls.done = cls.convert(support.TEST_DBC, "merged.xml", "--merge",
                                           support.SAMPLE, "--report")

    def test_every_entry_of_the_sample_reads_as_before(self):
        before = support.index(support.SAMPLE)
        after = support.index(self.merged)
        self.assertGreater(len(before), 10)
        for node, subnodes in before.items():
            self.assertEqual(after[node], subnodes, node)
        self.assertEqual(sorted(set(after) - set(before)), sorted(
            ["PGN65269", "PGN61441", "PGN61184", "PGN65283", "PGN65284", "PGN65281", "PGN0"]))

    def test_the_sample_text_stands_unchanged_around_the_new_nodes(self):
        text = sample_text()
        with open(self.merged, encoding="utf-8") as f:
            merged = f.read()
        end = text.rindex("</vehcan_db>")
        self.assertTrue(merged.startswith(text[:end]))
        self.assertTrue(merged.endswith(text[end:]))
        added = merged[end:len(merged) - len(text) + end]
        self.assertTrue(added.lstrip().startswith("<!-- AMB, frame 0x18FEF500 -->"))

    def test_vehcan_shows_the_sample_pgns_and_spns_as_before(self):
        before = support.index(support.SAMPLE)
        queries = []
        for node, subnodes in before.items():
            if not node.startswith("PGN"):
                continue
            pgn = node[3:]
            queries += [[pgn]] + [[pgn, s] for s in subnodes["SPN_LIST"].split(",")[1:]]
        # Some hundred runs each: side by side (under an emulator or a
        # sanitizer a run takes a good part of a second).
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
            olds = pool.map(lambda q: support.vehcan("db", *q, "--db", support.SAMPLE), queries)
            news = pool.map(lambda q: support.vehcan("db", *q, "--db", self.merged), queries)
            for query, old, new in zip(queries, olds, news):
                self.assertEqual(old.returncode, 0, (query, old.stderr))
                self.assertEqual((new.returncode, new.stdout), (old.returncode, old.stdout), query)
        old = support.vehcan("db", "--service", "7", "--db", support.SAMPLE)
        new = support.vehcan("db", "--service", "7", "--db", self.merged)
        self.assertEqual((new.returncode, new.stdout), (0, old.stdout))

    def test_an_existing_pgn_is_kept_and_the_conflict_reported(self):
        dbc = self.scratch.file("conflict.dbc", CONFLICT_DBC)
        out = self.scratch.file("conflict.xml")
        done = support.run_import(dbc, "-o", out, "--merge", support.SAMPLE, "--report")
        self.assertEqual(done.returncode, 0, done.stderr)
        before, after = support.index(support.SAMPLE), support.index(out)
        self.assertEqual(after["PGN61444"], before["PGN61444"])
        self.assertNotIn("EngSpeedOther", json.dumps(after))
        self.assertEqual(after["PGN61441"]["SPN_521"], "BrakePedalPos,0,0.4,0,%,1,2")
        self.assertIn("EEC1.EngSpeedOther (PGN 61444): skipped: PGN already in the merged "
                      "database (the existing entry is kept)", done.stderr)
        self.assertIn("  PGN already in the merged database: 1\n    EEC1.EngSpeedOther",
                      done.stdout)

    def test_merging_into_the_output_itself_adds_nothing_twice(self):
        out = self.scratch.file("twice.xml")
        with open(out, "w", encoding="utf-8") as f:
            f.write(sample_text())
        for _ in range(2):
            done = support.run_import(support.TEST_DBC, "-o", out, "--merge", out)
            self.assertEqual(done.returncode, 0, done.stderr)
        with open(out, encoding="utf-8") as f, open(self.merged, encoding="utf-8") as g:
            self.assertEqual(f.read(), g.read())


class TestVehcanTakesTheConvertedFile(support.ScratchCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.db, _ = cls.convert(support.TEST_DBC, "converted.xml")

    def test_decode_names_the_states(self):
        # Byte 1 0x9B: bits 0-1 3 (not available, not shown), 2-3 2, 4-5 1, 6-7 2.
        done = support.vehcan("decode", "61441", "9B64FFFFFFFFFFFF", "--db", self.db)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, "PGN 61441, 8 bytes\n"
                                      "  ABSActive (SPN 563): Error (2)\n"
                                      "  ASRBrakeCtrlActive (SPN 562): Active (1)\n"
                                      "  EBSBrakeSwitch (SPN 1121): Error (2)\n"
                                      "  BrakePedalPos (SPN 521): 40 %\n")

    def test_dtc_describes_the_spn_from_the_converted_file(self):
        # SPN 171 (AMB, ambient air temperature), FMI 16, once.
        done = support.vehcan("dtc", "04FFAB001001FFFF", "--db", self.db)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("SPN 171 FMI 16, 1 occurrence: AmbientAirTemp: data valid but above "
                      "normal operating range, moderately severe level", done.stdout)

    def test_replay_decodes_a_capture_with_it(self):
        log = self.scratch.file("capture.log", "(1.000000) can0 18FEF500#A0A04F2555C8A025\n"
                                               "(1.100000) can0 18EF2100#123456789ABCDEF0\n")
        done = support.vehcan("replay", log, "--json", "--db", self.db)
        self.assertEqual(done.returncode, 0, done.stderr)
        messages = [json.loads(line) for line in done.stdout.splitlines()]
        amb = {v["name"]: v["value"] for v in messages[0]["values"]}
        # bytes 4-5 (0x5525) * 0.03125 - 273 and byte 6 (0xC8) - 40
        self.assertEqual(amb["AmbientAirTemp"], 0x5525 * 0.03125 - 273)
        self.assertEqual(amb["AirInletTemp"], 160)
        propa = {v["name"]: v for v in messages[1]["values"]}
        self.assertEqual(propa["Mode"]["text"], "Error")  # bits 34-36 of the payload: 6

    @unittest.skipUnless(os.geteuid() == 0, "a network namespace needs root")
    def test_monitor_opens_it_before_looking_for_the_bus(self):
        # No can0 in a network namespace of its own: the stack cannot come up
        # (status 5), but only after the database was taken (a broken one: 4).
        broken = os.path.join(support.SOURCE, "tests", "cli", "broken.xml")
        taken = support.vehcan("monitor", "--duration", "1", "--db", self.db,
                               wrap=["unshare", "--net"])
        self.assertEqual(taken.returncode, 5, taken.stderr)
        self.assertIn("no interface can0", taken.stderr)
        refused = support.vehcan("monitor", "--duration", "1", "--db", broken,
                                 wrap=["unshare", "--net"])
        self.assertEqual(refused.returncode, 4, refused.stderr)

if __name__ == "__main__":
    unittest.main(verbosity=2)
