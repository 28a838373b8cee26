# SPDX-License-Identifier: MIT
"""A birth message as the table its batches are read with: each alias's
signal or raw group, with the checks that make the rest of the decoder
safe (a usable time unit, finite scaling, known kinds). docs/fleet-format.md,
"Birth"."""

import math
from dataclasses import dataclass, field
from typing import Mapping, Optional, Tuple

from . import proto

_KINDS = {proto.SIGNAL_KIND["SIGNAL_KIND_NUMBER"]: "number",
          proto.SIGNAL_KIND["SIGNAL_KIND_STATE"]: "state",
          proto.SIGNAL_KIND["SIGNAL_KIND_TEXT"]: "text"}
_RECONSTRUCTIONS = {proto.RECONSTRUCTION["RECONSTRUCTION_STEP"]: "step",
                    proto.RECONSTRUCTION["RECONSTRUCTION_LINEAR"]: "linear"}


@dataclass(frozen=True)
class SignalInfo:
    """One decoded value of one sender, as a birth describes it. kind is
    "number", "state" or "text"; reconstruction "step" or "linear" (numbers
    only); source None when the gateway does not know the sender; spn None
    for a value without an SPN."""
    alias: int
    source: Optional[int]
    pgn: int
    spn: Optional[int]
    name: str
    unit: str
    kind: str
    scale: float = 1.0
    offset: float = 0.0
    tolerance: float = 0.0
    reconstruction: str = "step"
    state_texts: Mapping[int, str] = field(default_factory=dict)
    counter: bool = False
    minimum: float = 0.0
    maximum: float = 0.0
    min_interval_ms: int = 0
    # Two points of the signal while it is live are at most this far apart:
    # its own heartbeat, else the birth's.
    heartbeat_ms: int = 0

    @property
    def key(self) -> Tuple[Optional[int], int, Optional[int], str]:
        """What names the signal across births: (source, PGN, SPN, name)."""
        return (self.source, self.pgn, self.spn, self.name)


@dataclass(frozen=True)
class RawGroupInfo:
    """A (sender, PGN) heard without a decoder."""
    alias: int
    source: Optional[int]
    pgn: int
    acronym: str
    rate_hz: float
    length: int
    streamed: bool
    min_interval_ms: int


class BirthError(ValueError):
    """A birth that cannot serve as a table (no time unit, say)."""


class BirthTable:
    """What one birth says, ready for its batches: signals and raw_groups by
    alias, the time unit in µs, and the state texts learned since (a
    batch's new_state_texts add to them). problems lists what was left out
    of the table, one line each (a signal of unknown kind, an alias given
    twice)."""

    def __init__(self, birth):
        if birth.time_unit_us == 0:
            raise BirthError(f"birth {birth.birth_id} has no time unit (time_unit_us 0)")
        self.birth_id = birth.birth_id
        # The gateway's run (0 from a gateway that does not say it).
        self.run_id = birth.run_id
        self.vehicle = proto.text(birth.vehicle)
        self.time_us = birth.time_us
        self.gateway = proto.text(birth.gateway)
        self.collection = proto.text(birth.collection)
        self.heartbeat_ms = birth.heartbeat_ms
        self.time_unit_us = birth.time_unit_us
        self.database = proto.text(birth.database)
        self.signals = {}
        self.raw_groups = {}
        self.problems = []
        # Identical bytes of a birth sent again (after a reconnect, or
        # retained) tell it from another birth under the same id.
        self.fingerprint = birth.SerializeToString(deterministic=True)
        self._extra_texts = {}
        for s in birth.signals:
            info = self._signal(s)
            if info is not None:
                self.signals[info.alias] = info
        for g in birth.raw_groups:
            if g.alias in self.raw_groups:
                self.problems.append(f"raw group alias {g.alias} given twice; the first kept")
                continue
            self.raw_groups[g.alias] = RawGroupInfo(
                g.alias, g.source if g.HasField("source") else None, g.pgn, proto.text(g.acronym),
                g.rate_hz, g.length, g.streamed, g.min_interval_ms)

    def _signal(self, s):
        name = proto.text(s.name)
        where = f"signal alias {s.alias} ({name or 'no name'})"
        if s.alias in self.signals:
            self.problems.append(f"{where}: alias given twice; the first kept")
            return None
        kind = _KINDS.get(s.kind)
        if kind is None:
            self.problems.append(f"{where}: unknown kind {s.kind}; its points are skipped")
            return None
        reconstruction = _RECONSTRUCTIONS.get(s.reconstruction)
        if reconstruction is None:
            self.problems.append(f"{where}: unknown reconstruction {s.reconstruction}; its "
                                 "points are skipped")
            return None
        numbers = (s.scale, s.offset, s.tolerance, s.minimum, s.maximum)
        if not all(math.isfinite(x) for x in numbers):
            self.problems.append(f"{where}: a scale, offset, tolerance or range that is not a "
                                 "finite number; its points are skipped")
            return None
        if kind == "number" and s.scale == 0:
            self.problems.append(f"{where}: scale 0; its points are skipped")
            return None
        return SignalInfo(
            alias=s.alias, source=s.source if s.HasField("source") else None, pgn=s.pgn,
            spn=s.spn or None, name=name, unit=proto.text(s.unit), kind=kind, scale=s.scale,
            offset=s.offset, tolerance=s.tolerance, reconstruction=reconstruction,
            state_texts={t.code: proto.text(t.text) for t in s.state_texts}, counter=s.counter,
            minimum=s.minimum, maximum=s.maximum, min_interval_ms=s.min_interval_ms,
            heartbeat_ms=s.heartbeat_ms or self.heartbeat_ms)

    def learn_state_texts(self, alias, texts):
        """Adds the names of state codes first seen after the birth."""
        if texts:
            self._extra_texts.setdefault(alias, {}).update((t.code, proto.text(t.text)) for t in texts)

    def state_text(self, signal, code):
        """The name of a state code: the birth's, one learned since, or
        "state N"."""
        text = signal.state_texts.get(code)
        if text is None:
            text = self._extra_texts.get(signal.alias, {}).get(code)
        return f"state {code}" if text is None else text
