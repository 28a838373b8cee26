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
    """(batch payload, its expected lines, the births before it by name)."""
    births = sorted(glob.glob(os.path.join(support.FIXTURES, "*birth.pb")))
    for batch in sorted(glob.glob(os.path.join(support.FIXTURES, "*batch.pb"))):
        name = os.path.basename(batch)
        yield batch, batch[:-len(".pb")] + ".jsonl", [b for b in births
                                                      if os.path.basename(b) < name]


class TestGatewayFixtures(unittest.TestCase):
    def test_each_batch_decodes_to_its_lines(self):
        found = list(fixtures())
        self.assertGreater(len(found), 0, f"no batch fixtures in {support.FIXTURES}")
        for batch, expected, births in found:
            with self.subTest(os.path.basename(batch)):
                self.assertTrue(births, "no birth before the batch")
                done = support.program("decode", *births, batch)
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                with open(expected, encoding="utf-8") as f:
                    self.assertEqual(done.stdout, f.read())

    def test_the_library_reads_them_as_the_command_does(self):
        import vehcan_fleet as vf
        for batch, expected, births in fixtures():
            with self.subTest(os.path.basename(batch)):
                reports = []
                items = list(vf.samples(vf.read_files(births + [batch]), report=reports.append))
                self.assertEqual(reports, [])
                with open(expected, encoding="utf-8") as f:
                    self.assertEqual([vf.line(i) for i in items], f.read().splitlines())


if __name__ == "__main__":
    unittest.main(verbosity=2)
