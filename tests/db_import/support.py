# SPDX-License-Identifier: MIT
"""What the vehcan-db-import tests share: where the programs are, running
them, and reading a database the way vehcan-db reads it.

The CTest entries set VEHCAN_SOURCE_DIR and VEHCAN_CLI (the built vehcan);
VEHCAN_RUN, when set, is a command (words split at white space) that
prefixes every vehcan run: the emulator of a cross build."""

import logging
import os
import subprocess
import sys
import tempfile
import unittest
import warnings
import xml.etree.ElementTree as ET

SOURCE = os.environ.get("VEHCAN_SOURCE_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
HERE = os.path.join(SOURCE, "tests", "db_import")
IMPORTER = os.path.join(SOURCE, "tools", "db-import", "vehcan-db-import")
VEHCAN = os.environ.get("VEHCAN_CLI", os.path.join(SOURCE, "build", "tools", "cli", "vehcan"))
RUN = os.environ.get("VEHCAN_RUN", "").split()
TEST_DBC = os.path.join(HERE, "j1939_test.dbc")
SAMPLE = os.path.join(SOURCE, "data", "sample.xml")

sys.path.insert(0, os.path.join(SOURCE, "tools", "db-import"))
sys.dont_write_bytecode = True


def canmatrix_formats():
    logging.getLogger("canmatrix").setLevel(logging.ERROR)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SyntaxWarning)
        warnings.simplefilter("ignore", DeprecationWarning)
        import canmatrix.formats
    return canmatrix.formats


def load_matrix(path):
    """The one matrix canmatrix reads from path, for the oracle."""
    return canmatrix_formats().loadp_flat(path)


def run_import(*args, program=IMPORTER, env=None):
    return subprocess.run([program, *args], capture_output=True, text=True, check=False,
                          env=env)


def vehcan(*args, wrap=()):
    """Runs the built vehcan (under wrap, e.g. unshare, when given)."""
    return subprocess.run([*wrap, *RUN, VEHCAN, *args], capture_output=True, text=True,
                          check=False)


def index(path):
    """node -> subnode -> text, as vehcan-db indexes a file: elements only, the
    first of two equal names counts, white space around a text dropped."""
    root = ET.parse(path).getroot()
    nodes = {}
    for node in root:
        if not isinstance(node.tag, str) or node.tag in nodes:
            continue
        subs = nodes[node.tag] = {}
        for sub in node:
            if isinstance(sub.tag, str) and sub.tag not in subs:
                subs[sub.tag] = (sub.text or "").strip(" \t\r\n")
    return nodes


class Scratch:
    """A temporary directory that a test class keeps until it ends."""

    def __init__(self):
        self._dir = tempfile.TemporaryDirectory(prefix="vehcan-db-import-test.")
        self.path = self._dir.name

    def file(self, name, text=None):
        path = os.path.join(self.path, name)
        if text is not None:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        return path

    def close(self):
        self._dir.cleanup()


class ScratchCase(unittest.TestCase):
    """A test class with a scratch directory for its whole run."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)

    @classmethod
    def convert(cls, source, name, *args):
        """Imports source into the scratch file name: (its path, the run)."""
        out = cls.scratch.file(name)
        done = run_import(source, "-o", out, *args)
        if done.returncode != 0:
            raise AssertionError(f"vehcan-db-import {source} failed: {done.stderr}")
        return out, done
