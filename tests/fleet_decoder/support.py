# SPDX-License-Identifier: MIT
"""What the vehcan-fleet tests share: where things are, running the
program, and births and batches built the way a gateway encodes them
(times and values as differences), from points given as absolute values.

The CTest entries set VEHCAN_SOURCE_DIR and VEHCAN_PYTHON3."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("VEHCAN_SOURCE_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PACKAGE_DIR = os.path.join(SOURCE, "tools", "vehcan-fleet")
PYTHON = os.environ.get("VEHCAN_PYTHON3", sys.executable)
# the gateway's payloads with the lines they decode to
FIXTURES = os.environ.get("VEHCAN_FLEET_FIXTURES", os.path.join(SOURCE, "tests", "fleet_format"))

sys.path.insert(0, PACKAGE_DIR)
sys.dont_write_bytecode = True

from vehcan_fleet import make_envelope, proto  # noqa: E402
from vehcan_fleet.records import RecordWriter  # noqa: E402

KIND = {"number": 1, "state": 2, "text": 3}
RECONSTRUCTION = {"step": 0, "linear": 1}
# 2026-12-08T18:05:34.575Z, the start of examples/truck.log, in ms
BASE_MS = 1796753134575


def program(*args, env=None, timeout=120):
    """Runs vehcan-fleet from the source tree; the finished process."""
    environment = dict(os.environ if env is None else env)
    environment["PYTHONPATH"] = PACKAGE_DIR
    return subprocess.run([PYTHON, "-B", "-m", "vehcan_fleet", *args], capture_output=True,
                          text=True, env=environment, timeout=timeout, check=False)


def popen(*args, stdout=None, stderr=None, env=None):
    """vehcan-fleet from the source tree, running in the background."""
    environment = dict(os.environ if env is None else env)
    environment["PYTHONPATH"] = PACKAGE_DIR
    return subprocess.Popen([PYTHON, "-B", "-m", "vehcan_fleet", *args], stdout=stdout,
                            stderr=stderr, env=environment)


# ---- births ----

def signal(alias, pgn, spn, name, kind="number", unit="", scale=1.0, offset=0.0, tolerance=0.0,
           reconstruction="step", source=0, texts=None, **more):
    s = proto.Signal(alias=alias, pgn=pgn, spn=spn, name=name, unit=unit, kind=KIND[kind],
                     scale=scale, offset=offset, tolerance=tolerance,
                     reconstruction=RECONSTRUCTION[reconstruction], **more)
    if source is not None:
        s.source = source
    for code, text in (texts or {}).items():
        s.state_texts.add(code=code, text=text)
    return s


def truck_signals():
    """Signals of the kinds examples/truck.log has."""
    return [
        signal(1, 61444, 190, "engine speed", unit="rpm", scale=0.125, tolerance=4.0),
        signal(2, 65265, 84, "wheel-based vehicle speed", unit="km/h", scale=1 / 256,
               tolerance=0.5, reconstruction="linear"),
        signal(3, 65265, 595, "cruise control", kind="state", texts={0: "off", 1: "on"}),
        signal(4, 65262, 110, "engine coolant temperature", unit="°C", offset=-40,
               tolerance=1.0, reconstruction="linear"),
        signal(5, 65260, 0, "VIN", kind="text"),
        signal(6, 65257, 250, "engine total fuel used", unit="L", scale=0.5, tolerance=0.5,
               counter=True),
        signal(7, 61444, 1483, "controlling device", source=None),
    ]


def birth(birth_id=1, vehicle="truck-17", signals=None, raw_groups=(), time_unit_us=1000,
          heartbeat_ms=60000, run_id=0):
    b = proto.Birth(birth_id=birth_id, vehicle=vehicle, time_us=BASE_MS * 1000,
                    gateway="vehcan 0.1.0", collection="default", heartbeat_ms=heartbeat_ms,
                    time_unit_us=time_unit_us, run_id=run_id)
    b.signals.extend(truck_signals() if signals is None else signals)
    for alias, source, pgn, acronym in raw_groups:
        b.raw_groups.add(alias=alias, source=source, pgn=pgn, acronym=acronym, rate_hz=10,
                         length=8, streamed=True)
    return b


# ---- batches ----

def deltas(values, start=0):
    out = []
    last = start
    for v in values:
        out.append(v - last)
        last = v
    return out


def series(alias, numbers=(), states=(), texts=(), segment_starts=(), new_texts=None,
           base=BASE_MS):
    """A SignalSeries from absolute points: numbers [(ms, raw)], states
    [(ms, code)], texts [(ms, text)]."""
    s = proto.SignalSeries(alias=alias)
    s.times.extend(deltas([t for t, _ in numbers], base))
    s.values.extend(deltas([v for _, v in numbers]))
    s.segment_starts.extend(segment_starts)
    s.state_times.extend(deltas([t for t, _ in states], base))
    s.states.extend(c for _, c in states)
    s.text_times.extend(deltas([t for t, _ in texts], base))
    s.texts.extend(t for _, t in texts)
    for code, text in (new_texts or {}).items():
        s.new_state_texts.add(code=code, text=text)
    return s


def raw_series(alias, payloads, base=BASE_MS):
    r = proto.RawSeries(alias=alias)
    r.times.extend(deltas([t for t, _ in payloads], base))
    r.payloads.extend(p for _, p in payloads)
    return r


def event(cause, time_ms, frames, condition="", base=BASE_MS, before_ms=10000,
          after_ms=10000, lost=0):
    """An EventWindow; frames [(µs since 1970, id, bytes)]."""
    e = proto.EventWindow(cause=cause, condition=condition, time=time_ms - base,
                          before_ms=before_ms, after_ms=after_ms, frames_lost=lost)
    e.frame_times_us.extend(deltas([t for t, _, _ in frames], time_ms * 1000))
    e.frame_ids.extend(i for _, i, _ in frames)
    e.frame_data.extend(d for _, _, d in frames)
    return e


def batch(seq, birth_id=1, signals=(), raw=(), events=(), historical=False, base=BASE_MS,
          span=60000):
    b = proto.Batch(birth_id=birth_id, seq=seq, historical=historical, base_time=base,
                    span=span)
    b.signals.extend(signals)
    b.raw.extend(raw)
    b.events.extend(events)
    return b


def payload(message, compress=True):
    return make_envelope(message, compress=compress)


def envelope(body, fmt=1, compression=1, body_size=None):
    """An Envelope around any body, for payloads a gateway never makes."""
    e = proto.Envelope(format=fmt, compression=compression, body=body,
                       body_size=len(body) if body_size is None else body_size)
    return e.SerializeToString()


# ---- files ----

def write_records(path, messages):
    """A record file of (topic, payload) pairs."""
    if os.path.exists(path):
        os.remove(path)
    w = RecordWriter(path)
    for topic, data in messages:
        w.write(topic, data)
    w.close()
    return path


def lines_of(text):
    """The JSON lines of an output, parsed with their keys' order kept."""
    return [json.loads(line, object_pairs_hook=list) for line in text.splitlines() if line]


class ScratchCase(unittest.TestCase):
    """A test class with a scratch directory for its whole run."""

    @classmethod
    def setUpClass(cls):
        cls._scratch = tempfile.TemporaryDirectory(prefix="vehcan-fleet-test.")
        cls.scratch = cls._scratch.name
        cls.addClassCleanup(cls._scratch.cleanup)

    def path(self, name):
        return os.path.join(self.scratch, name)

    def decode(self, *files, args=()):
        return program("decode", *args, *files)

    def assertNoTraceback(self, done):
        self.assertNotIn("Traceback", done.stderr)
        for line in done.stderr.splitlines():
            self.assertTrue(line.startswith("vehcan-fleet: "), line)

