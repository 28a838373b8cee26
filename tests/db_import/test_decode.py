# SPDX-License-Identifier: MIT
"""The converted database decodes as the CAN database does: canmatrix's own
frame decoding is the oracle, `vehcan decode PGN HEX --db converted.xml
--json` (the same decoding as `vehcan replay --json`) is what is checked (through one replay of a capture that holds
them all), over seeded random payloads of every frame of the test DBC and
of a SYM file."""

import json
import math
import os
import random
import unittest

import support

SEED = 1939
PAYLOADS = int(os.environ.get("VEHCAN_DB_IMPORT_PAYLOADS", "40"))
# vehcan scales in doubles, canmatrix in decimals: equal to within rounding.
REL_TOL, ABS_TOL = 1e-12, 1e-9


def payloads(size, rng):
    """All zeros, all ones (every field "not available") and random bytes."""
    yield bytes(size)
    yield bytes([0xFF] * size)
    for _ in range(PAYLOADS):
        yield bytes(rng.getrandbits(8) for _ in range(size))


def capture_lines(messages):
    """A candump log (candump -L) that sends each (pgn, payload) from 0x00 to
    all in turn: single frames up to 8 bytes, a BAM transfer beyond."""
    lines = []
    t = 0.0

    def frame(can_id, data):
        nonlocal t
        t += 0.001
        lines.append(f"({t:.6f}) can0 {can_id:08X}#{data.hex().upper()}")

    for pgn, payload in messages:
        pdu1 = (pgn >> 8) & 0xFF < 240
        group = (pgn | 0xFF) if pdu1 else pgn
        if len(payload) <= 8:
            frame(6 << 26 | group << 8, payload)
            continue
        packets = (len(payload) + 6) // 7
        frame(7 << 26 | 0xECFF << 8, bytes([0x20, len(payload) & 0xFF, len(payload) >> 8,
                                             packets, 0xFF, pgn & 0xFF, (pgn >> 8) & 0xFF,
                                             pgn >> 16]))
        for n in range(packets):
            chunk = payload[7 * n:7 * n + 7]
            frame(7 << 26 | 0xEBFF << 8, bytes([n + 1]) + chunk + bytes([0xFF] * (7 - len(chunk))))
    return "\n".join(lines) + "\n"


def vehcan_values(messages, db, log):
    """For each (pgn, payload) of messages, in order: SPN -> the value object
    that vehcan printed for it. One replay of a capture that holds them all,
    so that a cross build's emulator starts vehcan once, not once a payload."""
    with open(log, "w", encoding="ascii") as f:
        f.write(capture_lines(messages))
    done = support.vehcan("replay", log, "--db", db, "--json")
    if done.returncode != 0:
        raise AssertionError(f"vehcan replay {log}: {done.returncode} {done.stderr}")
    decoded = [json.loads(line) for line in done.stdout.splitlines()]
    decoded = [m for m in decoded if "pgn" in m]
    if [(m["pgn"], m["length"]) for m in decoded] != [(p, len(d)) for p, d in messages]:
        raise AssertionError(f"vehcan replay {log} decoded other messages than it was given")
    return [{v["spn"]: v for v in m.get("values", []) if "spn" in v} for m in decoded]


def disagreement(kind, decoded, got):
    """Why vehcan's value differs from canmatrix's decoded signal, or None."""
    signal, raw = decoded.signal, decoded.raw_value
    if raw == (1 << signal.size) - 1:
        # All bits set is "not available" in J1939: vehcan shows nothing.
        return None if got is None else f"raw {raw} is all ones, vehcan shows {got}"
    if got is None:
        return f"raw {raw}: vehcan shows nothing"
    if kind == 1:
        text = signal.values.get(raw, f"state {raw}")
        shown = got.get("text", "")
        # A name over the reader's 119 bytes is shortened (and reported).
        shortened = len(text.encode()) > 119 and shown and text.startswith(shown)
        if got.get("state") != raw or (shown != text and not shortened):
            return f"raw {raw}: canmatrix {text!r}, vehcan {got}"
        return None
    expected = float(decoded.phys_value)
    if not math.isclose(got.get("value"), expected, rel_tol=REL_TOL, abs_tol=ABS_TOL):
        return f"raw {raw}: canmatrix {expected!r}, vehcan {got.get('value')!r}"
    return None


class DecodeAgreesWithCanmatrix(support.ScratchCase):
    def compare(self, source):
        """Decodes every frame of source both ways; fails on any disagreement."""
        db, _ = self.convert(source, os.path.basename(source) + ".xml")
        nodes = support.index(db)
        rng = random.Random(SEED)
        compared = shown = 0
        mismatches = []
        seen_with_value = set()
        converted = set()
        checks = []
        for frame in support.load_matrix(source).frames:
            # canmatrix's own PGN of the identifier, PDU1 destination cleared;
            # a second frame of a PGN was skipped.
            if not frame.arbitration_id.extended or frame.name == "EBC1_Trailer":
                continue
            pgn = frame.arbitration_id.pgn
            node = nodes.get(f"PGN{pgn}")
            if node is None:
                continue
            # The description is the signal's name in these databases.
            by_name = {}
            for spn in (int(s) for s in node["SPN_LIST"].split(",")[1:]):
                fields = node[f"SPN_{spn}"].split(",")
                by_name[fields[0]] = (spn, int(fields[1]))
            converted |= {(frame.name, name) for name in by_name}
            for payload in payloads(frame.size, rng):
                checks.append((frame, pgn, payload, by_name))
        values = vehcan_values([(pgn, payload) for _, pgn, payload, _ in checks], db,
                               self.scratch.file(os.path.basename(source) + ".log"))
        for (frame, pgn, payload, by_name), got in zip(checks, values):
            expected = frame.decode(payload)
            for name, (spn, kind) in by_name.items():
                compared += 1
                why = disagreement(kind, expected[name], got.get(spn))
                if why:
                    mismatches.append(f"{frame.name}.{name} {payload.hex()}: {why}")
                if spn in got:
                    shown += 1
                    seen_with_value.add((frame.name, name))
        print(f"\n{os.path.basename(source)}: {len(converted)} signals, {compared} values "
              f"compared ({shown} shown by vehcan, {compared - shown} not available), "
              f"{len(mismatches)} mismatches (seed {SEED}, {PAYLOADS} random payloads a frame)")
        self.assertEqual(mismatches, [])
        # Every converted signal met a value that vehcan shows, not only
        # "not available" payloads.
        self.assertEqual(seen_with_value, converted)
        return converted

    def test_every_signal_of_the_test_dbc_decodes_as_canmatrix_decodes(self):
        self.assertEqual(len(self.compare(support.TEST_DBC)), 28)

    def test_a_sym_file_decodes_as_canmatrix_decodes(self):
        self.assertEqual(self.compare(os.path.join(support.HERE, "climate.sym")),
                         {("Climate", "OutsideTemp"), ("Climate", "Heater"),
                          ("Climate", "Level")})

if __name__ == "__main__":
    unittest.main(verbosity=2)
