# SPDX-License-Identifier: MIT
"""From canmatrix's matrices to PGN nodes: one node per 29-bit frame, its
signals numbered from their SPN attribute or, failing that, in the private
range at the top of the 19-bit SPN space."""

from __future__ import annotations

import zlib
from dataclasses import dataclass

from . import mapping as m
from .report import Entry, Report

SPN_LAST = (1 << 19) - 1
# The top 4096 SPNs (0x7F000 to 0x7FFFF), which J1939 leaves to
# manufacturers' proprietary parameters.
PRIVATE_SPN_FIRST = 0x7F000
PRIVATE_SPN_COUNT = SPN_LAST - PRIVATE_SPN_FIRST + 1


@dataclass
class Group:
    """One PGN node to write."""

    pgn: int
    frame: str
    identifier: int
    definitions: list[m.Definition]


def attribute_spn(signal) -> tuple[int | None, str]:
    """The SPN that the signal's SPN attribute gives, else None and why."""
    raw = signal.attributes.get("SPN")
    if raw is None or str(raw).strip() in ("", "0"):
        return None, "no SPN attribute"
    try:
        spn = int(str(raw).strip())
    except ValueError:
        spn = -1
    if not 1 <= spn <= SPN_LAST:
        return None, f"SPN attribute {raw!r} is not an SPN (1 to {SPN_LAST})"
    return spn, ""


def private_spn(pgn: int, name: str, used: set[int]) -> int | None:
    """A free SPN of the private range, the same for the same PGN and signal
    name whatever else the input holds, unless another signal took it first."""
    start = zlib.crc32(f"{pgn}/{name}".encode("utf-8")) % PRIVATE_SPN_COUNT
    for step in range(PRIVATE_SPN_COUNT):
        spn = PRIVATE_SPN_FIRST + (start + step) % PRIVATE_SPN_COUNT
        if spn not in used:
            return spn
    return None


def _frames(matrices, existing_pgns, report):
    """The frames that become PGN nodes, each with its signals laid out."""
    given: dict[int, str] = {}
    for matrix in matrices:
        for frame in matrix.frames:
            report.frames_read += 1
            report.signals_read += len(frame.signals)
            ident = frame.arbitration_id
            pgn = m.j1939_pgn(ident.id) if ident.extended and ident.id is not None else None
            if ident.id is None:  # some formats describe frames without one
                reason, detail = m.SKIP_NO_ID, ""
            elif pgn is None:
                reason, detail = m.SKIP_STANDARD_ID, f"identifier 0x{ident.id:03X}"
            elif pgn in given:
                reason, detail = m.SKIP_SAME_PGN, f"frame {given[pgn]}"
            elif pgn in existing_pgns:
                reason, detail = m.SKIP_IN_DATABASE, "the existing entry is kept"
            else:
                reason = None
            if reason:
                for s in frame.signals:
                    report.skip(reason, Entry(frame.name, s.name, pgn, detail))
                continue
            given[pgn] = frame.name
            laid = []
            for s in frame.signals:
                where = m.layout(s, int(frame.size), pgn)
                if isinstance(where, m.Skip):
                    report.skip(where.reason, Entry(frame.name, s.name, pgn, where.detail))
                else:
                    laid.append((s, where))
            yield frame, pgn, laid


def convert(matrices, existing_pgns=frozenset(), existing_spns=frozenset()):
    """The PGN nodes of the matrices' frames and the report of what was done.

    existing_pgns: PGNs whose nodes are kept from a database merged into;
    existing_spns: SPNs that a private number must not take."""
    report = Report()
    frames = list(_frames(matrices, existing_pgns, report))

    # Numbers from attributes first, so that no private number takes one.
    used = set(existing_spns)
    numbered = []
    for frame, pgn, laid in frames:
        in_pgn: dict[int, str] = {}
        rows = []
        for s, where in laid:
            spn, why = attribute_spn(s)
            if spn is not None and spn in in_pgn:
                spn, why = None, f"SPN {spn} already given to {in_pgn[spn]}"
            if spn is not None:
                in_pgn[spn] = s.name
                used.add(spn)
            rows.append((s, where, spn, why))
        numbered.append((frame, pgn, rows))

    groups = []
    for frame, pgn, rows in numbered:
        definitions: list[m.Definition] = []
        for s, where, spn, why in rows:
            entry = Entry(frame.name, s.name, pgn)
            if spn is None:
                spn = private_spn(pgn, s.name, used)
                if spn is None:
                    report.skip(m.SKIP_NO_PRIVATE_SPN, entry)
                    continue
                used.add(spn)
                report.note(m.NOTE_PRIVATE_SPN, Entry(frame.name, s.name, pgn, f"{why}: {spn}"))
            spns = [d.spn for d in definitions] + [spn]
            if len(",".join(map(str, [len(spns), *spns]))) > m.SPN_LIST_BYTES:
                report.skip(m.SKIP_LIST_FULL, Entry(frame.name, s.name, pgn,
                                                    f"{m.SPN_LIST_BYTES} characters"))
                continue
            d, notes = m.definition(spn, s.name, s.unit, where)
            for n in notes:
                report.note(n.category, Entry(frame.name, s.name, pgn, n.detail))
            report.convert(d.kind, Entry(frame.name, s.name, pgn, f"SPN {spn}"))
            definitions.append(d)
        if definitions:
            groups.append(Group(pgn, frame.name, int(frame.arbitration_id.id), definitions))
        else:
            report.frame_note(Entry(frame.name, "", pgn, "no signal converted, no PGN node"))
    report.frames_written = len(groups)
    return groups, report
