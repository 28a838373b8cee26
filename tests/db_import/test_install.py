# SPDX-License-Identifier: MIT
"""The program as its package installs it (the dbimport component): from
bin/, with its modules from share/vehcan/db-import, converting the test
database."""

import os
import subprocess
import unittest

import support

BUILD = os.environ.get("VEHCAN_BUILD_DIR", os.path.join(support.SOURCE, "build"))


class TestInstalledProgram(unittest.TestCase):
    def test_the_dbimport_component_installs_a_working_program(self):
        scratch = support.Scratch()
        self.addCleanup(scratch.close)
        prefix = scratch.file("prefix")
        subprocess.run(["cmake", "--install", BUILD, "--component", "dbimport", "--prefix", prefix],
                       check=True, capture_output=True)
        program = os.path.join(prefix, "bin", "vehcan-db-import")
        modules = os.path.join(prefix, "share", "vehcan", "db-import", "vehcan_dbimport")
        shipped = ["__init__.py", "convert.py", "formats.py", "mapping.py", "report.py",
                   "xmldb.py"]
        self.assertTrue(os.access(program, os.X_OK))
        self.assertEqual(sorted(os.listdir(modules)), shipped)
        out = scratch.file("out.xml")
        # Python's own switch off, so that only the program keeps byte-code out.
        env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
        done = support.run_import(support.TEST_DBC, "-o", out, program=program, env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(support.index(out)["PGN65269"]["SPN_171"],
                         "AmbientAirTemp,0,0.03125,-273,°C,2,4,5")
        # The program leaves no byte-code in the installed tree.
        self.assertEqual(sorted(os.listdir(modules)), shipped)


if __name__ == "__main__":
    unittest.main(verbosity=2)
