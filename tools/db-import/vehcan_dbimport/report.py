# SPDX-License-Identifier: MIT
"""What an import did: signals converted by kind, skipped by reason, and
every change made on the way, as notes (one line each) and a summary."""

from __future__ import annotations

from dataclasses import dataclass

from .mapping import KIND_NAMES


@dataclass
class Entry:
    """One signal (or frame, with signal empty) that a line speaks of."""

    frame: str
    signal: str
    pgn: int | None
    detail: str = ""

    def where(self) -> str:
        name = f"{self.frame}.{self.signal}" if self.signal else self.frame
        return name if self.pgn is None else f"{name} (PGN {self.pgn})"

    def line(self) -> str:
        return f"{self.where()}: {self.detail}" if self.detail else self.where()


class Report:
    """Counts and lists, in the order the input gave its frames and signals."""

    def __init__(self) -> None:
        self.frames_read = 0
        self.frames_written = 0
        self.signals_read = 0
        self.converted: dict[int, list[Entry]] = {kind: [] for kind in KIND_NAMES}
        self.skipped: dict[str, list[Entry]] = {}
        self.notes: dict[str, list[Entry]] = {}
        self.frame_notes: list[Entry] = []
        self._lines: list[str] = []

    def convert(self, kind: int, entry: Entry) -> None:
        self.converted[kind].append(entry)

    def skip(self, reason: str, entry: Entry) -> None:
        self.skipped.setdefault(reason, []).append(entry)
        self._lines.append(f"{entry.where()}: skipped: {reason}"
                           + (f" ({entry.detail})" if entry.detail else ""))

    def note(self, category: str, entry: Entry) -> None:
        self.notes.setdefault(category, []).append(entry)
        self._lines.append(f"{entry.where()}: {category}: {entry.detail}")

    def frame_note(self, entry: Entry) -> None:
        self.frame_notes.append(entry)
        self._lines.append(entry.line())

    def lines(self) -> list[str]:
        """Every skip and change, one line each, as they happened."""
        return list(self._lines)

    def converted_count(self) -> int:
        return sum(len(v) for v in self.converted.values())

    def skipped_count(self) -> int:
        return sum(len(v) for v in self.skipped.values())

    def summary(self, source: str, output: str) -> str:
        out = [f"{source} -> {output}",
               f"frames: {self.frames_read} read, {self.frames_written} written as PGNs",
               f"signals: {self.signals_read} read, {self.converted_count()} converted, "
               f"{self.skipped_count()} skipped",
               "converted by kind:"]
        out += [f"  kind {kind} ({KIND_NAMES[kind]}): {len(entries)}"
                for kind, entries in self.converted.items()]
        out.append("skipped by reason:" if self.skipped else "skipped: none")
        for reason, entries in sorted(self.skipped.items()):
            out.append(f"  {reason}: {len(entries)}")
            out += [f"    {e.line()}" for e in entries]
        out.append("changed on the way:" if self.notes else "changed on the way: nothing")
        for category, entries in sorted(self.notes.items()):
            out.append(f"  {category}: {len(entries)}")
            out += [f"    {e.line()}" for e in entries]
        if self.frame_notes:
            out.append("frames:")
            out += [f"  {e.line()}" for e in self.frame_notes]
        return "\n".join(out) + "\n"
