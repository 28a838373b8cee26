# SPDX-License-Identifier: MIT
"""vehcan-fleet installed as docs/fleet-decoder.md says: pip from the
checkout into a venv with Debian's site packages, offline; the installed
command decodes a saved drive and draws its page, and the package's
version is the project's."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import support
from support import BASE_MS, batch, birth, payload, series


class TestInstall(unittest.TestCase):
    def test_pip_install_from_the_checkout_gives_a_working_command(self):
        scratch = tempfile.TemporaryDirectory(prefix="vehcan-fleet-install.")
        self.addCleanup(scratch.cleanup)
        venv = os.path.join(scratch.name, "venv")
        # a copy, so that pip's build leaves nothing in the checkout
        source = shutil.copytree(support.PACKAGE_DIR, os.path.join(scratch.name, "src"),
                                 ignore=shutil.ignore_patterns("__pycache__", "build",
                                                               "*.egg-info"))
        subprocess.run([support.PYTHON, "-m", "venv", "--system-site-packages", venv],
                       check=True, capture_output=True)
        done = subprocess.run([os.path.join(venv, "bin", "pip"), "install", "--no-index",
                               "--no-build-isolation", source], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

        records = support.write_records(os.path.join(scratch.name, "d.records"), [
            ("vehcan/truck-17/birth", payload(birth())),
            ("vehcan/truck-17/batch", payload(batch(1, signals=[
                series(1, numbers=[(BASE_MS, 10526)])])))])
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        done = subprocess.run([os.path.join(venv, "bin", "vehcan-fleet"), "decode", records],
                              capture_output=True, text=True, env=env, cwd=scratch.name)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout,
                         '{"vehicle":"truck-17","source":0,"pgn":61444,"spn":190,'
                         '"name":"engine speed","unit":"rpm",'
                         '"timestamp":"2026-12-08T18:05:34.575000Z","value":1315.75,'
                         '"tolerance":4.0,"reconstruction":"step"}\n')
        # the report page's files came along (the package's page/ is a link
        # into vehcan's tools/report/page)
        library = os.path.join(scratch.name, "dygraphs")
        os.makedirs(library)
        for name in ("dygraph.min.js", "dygraph.min.css"):
            with open(os.path.join(library, name), "w") as f:
                f.write("/* a stand-in */\n")
        page = os.path.join(scratch.name, "page.html")
        done = subprocess.run([os.path.join(venv, "bin", "vehcan-fleet"), "report", records,
                               "-o", page, "--library", library],
                              capture_output=True, text=True, env=env, cwd=scratch.name)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(page, encoding="utf-8") as f:
            html = f.read()
        self.assertIn('<script type="application/json" id="vehcan-data">{"format":"vehcan-report"',
                      html)
        self.assertIn("window.vehcanReport = report;", html)
        # the installed package, not the checkout's
        where = subprocess.run([os.path.join(venv, "bin", "python"), "-c",
                                "import vehcan_fleet; print(vehcan_fleet.__file__)"],
                               capture_output=True, text=True, env=env, cwd=scratch.name,
                               check=True).stdout
        self.assertTrue(where.startswith(venv), where)

    def test_the_package_version_is_the_projects(self):
        with open(os.path.join(support.SOURCE, "CMakeLists.txt"), encoding="utf-8") as f:
            project = re.search(r"project\(vehcan VERSION (\S+)", f.read()).group(1)
        with open(os.path.join(support.PACKAGE_DIR, "pyproject.toml"), encoding="utf-8") as f:
            declared = re.search(r'^version = "(.+)"$', f.read(), re.M).group(1)
        import vehcan_fleet
        self.assertEqual((declared, vehcan_fleet.__version__), (project, project))


if __name__ == "__main__":
    unittest.main(verbosity=2)
