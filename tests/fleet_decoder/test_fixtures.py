# SPDX-License-Identifier: MIT
"""The gateway's own payloads (tests/fleet_format/: births and batches that
vehcan made of examples/truck.log, each batch with the lines it decodes to)
decoded by vehcan-fleet: line for line, byte for byte. The schema is the
contract between the two sides; these fixtures are its test."""

import glob
import os
import unittest

import support


def fixtures():
    """(batch payload, the lines expected of it and of the batches before it,
    the payloads to decode in order). The batches of one run decode in
    sequence (a silence is told from a signal's latest point in the batches
    before); the historical batch, a copy of the last one as the spool
    sends it again, is decoded with the births alone."""
    births = sorted(glob.glob(os.path.join(support.FIXTURES, "*birth.pb")))
    batches = sorted(glob.glob(os.path.join(support.FIXTURES, "*batch.pb")))
    for batch in batches:
        name = os.path.basename(batch)
        earlier = [] if "historical" in name else [
            b for b in batches if os.path.basename(b) < name and "historical" not in b]
        payloads = sorted([b for b in births if os.path.basename(b) < name] + earlier,
                          key=os.path.basename) + [batch]
        expected = [b[:-len(".pb")] + ".jsonl" for b in earlier + [batch]]
        yield batch, expected, payloads


def expected_text(files):
    text = ""
    for name in files:
        with open(name, encoding="utf-8") as f:
            text += f.read()
    return text


class TestGatewayFixtures(unittest.TestCase):
    def test_each_batch_decodes_to_its_lines(self):
        found = list(fixtures())
        self.assertGreater(len(found), 0, f"no batch fixtures in {support.FIXTURES}")
        for batch, expected, payloads in found:
            with self.subTest(os.path.basename(batch)):
                self.assertTrue(any("birth" in p for p in payloads), "no birth before the batch")
                done = support.program("decode", *payloads)
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                self.assertEqual(done.stdout, expected_text(expected))

    def test_the_library_reads_them_as_the_command_does(self):
        import vehcan_fleet as vf
        for batch, expected, payloads in fixtures():
            with self.subTest(os.path.basename(batch)):
                reports = []
                items = list(vf.samples(vf.read_files(payloads), report=reports.append))
                self.assertEqual(reports, [])
                self.assertEqual([vf.line(i) for i in items],
                                 expected_text(expected).splitlines())

    def test_the_fixtures_hold_a_silence(self):
        # (ET1 comes once a second, its campaign heartbeat is half that)
        lines = expected_text(sorted(glob.glob(os.path.join(support.FIXTURES, "*.jsonl"))))
        self.assertIn('"pgn":65262,', lines)
        self.assertRegex(lines, r'"pgn":65262,.*"value":null,"state":"silent"')


if __name__ == "__main__":
    unittest.main(verbosity=2)
