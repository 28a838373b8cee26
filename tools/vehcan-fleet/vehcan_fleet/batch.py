# SPDX-License-Identifier: MIT
"""A batch read with its birth's table: every point of every signal as a
Sample, every streamed payload as a RawPayload, every event window as an
EventWindow, in the order docs/fleet-format.md gives ("The decoded lines"):
each series' points merged by time, then the raw series, then the events."""

import math
from dataclasses import dataclass
from typing import Optional, Tuple, Union

from . import proto
from .birth import RawGroupInfo, SignalInfo

_NOT_AVAILABLE = proto.SPECIAL_STATE["SPECIAL_STATE_NOT_AVAILABLE"]
_ERROR = proto.SPECIAL_STATE["SPECIAL_STATE_ERROR"]
SPECIAL_STATES = {_NOT_AVAILABLE: "not available", _ERROR: "error"}
_CAUSES = {proto.EVENT_CAUSE["EVENT_CAUSE_DM1"]: "dm1",
           proto.EVENT_CAUSE["EVENT_CAUSE_CONDITION"]: "condition"}

# The times a line can show (years 1 to 9999), in µs since 1970.
EARLIEST_US = -62135596800 * 10**6
LATEST_US = 253402300800 * 10**6 - 1

_EXTENDED_FLAG = 1 << 31


@dataclass(frozen=True)
class Sample:
    """One point of one signal. A number: value (float). A state code:
    state (int) and text (its name). A text: text. "Not available" or
    "error" of any kind: value None and state "not available" or "error".
    time_us: µs since 1970 (UTC). segment_start: a linear signal is not
    interpolated from the point before it."""
    vehicle: str
    signal: SignalInfo
    time_us: int
    value: Optional[float] = None
    state: Union[int, str, None] = None
    text: Optional[str] = None
    segment_start: bool = False
    historical: bool = False
    birth_id: int = 0
    seq: int = 0

    @property
    def available(self):
        """False for a "not available" or "error" point."""
        return not isinstance(self.state, str)


@dataclass(frozen=True)
class RawPayload:
    """One payload of a streamed raw group, as it was on the bus."""
    vehicle: str
    group: RawGroupInfo
    time_us: int
    data: bytes
    historical: bool = False
    birth_id: int = 0
    seq: int = 0


@dataclass(frozen=True)
class Frame:
    """One CAN frame of an event window: can_id is the 29-bit identifier, or
    the 11-bit one when extended is False."""
    time_us: int
    can_id: int
    extended: bool
    data: bytes


@dataclass(frozen=True)
class EventWindow:
    """The bus around a DM1 change (cause "dm1") or a campaign's condition
    (cause "condition", named by condition)."""
    vehicle: str
    cause: str
    condition: str
    time_us: int
    before_ms: int
    after_ms: int
    frames: Tuple[Frame, ...]
    frames_lost: int = 0
    historical: bool = False
    birth_id: int = 0
    seq: int = 0


class _Skip(Exception):
    """A part of the batch that cannot be read; it is left out, with why."""


def _running(start, diffs):
    """start plus each running sum of diffs: the absolute times (or raw
    counts) of a delta-encoded column."""
    out = []
    total = start
    for d in diffs:
        total += d
        out.append(total)
    return out


def _us(unit_times, unit_us):
    out = [t * unit_us for t in unit_times]
    if out and not (EARLIEST_US <= min(out) and max(out) <= LATEST_US):
        raise _Skip("a time beyond the years 1 to 9999")
    return out


class BatchReader:
    """Reads the batches of one birth table; its state-text learning spans
    them."""

    def __init__(self, table, vehicle):
        self.table = table
        self.vehicle = vehicle

    def read(self, batch):
        """(items, problems): the batch's Samples, RawPayloads and
        EventWindows in line order, and one line for each part left out
        (an alias not in the birth, columns of different lengths, a time
        out of range)."""
        items = []
        problems = []
        meta = dict(vehicle=self.vehicle, historical=batch.historical,
                    birth_id=batch.birth_id, seq=batch.seq)
        for series in batch.signals:
            try:
                items.extend(self._series(series, batch.base_time, meta))
            except _Skip as e:
                problems.append(f"signal alias {series.alias}: {e}; its points are skipped")
        for raw in batch.raw:
            try:
                items.extend(self._raw(raw, batch.base_time, meta))
            except _Skip as e:
                problems.append(f"raw group alias {raw.alias}: {e}; its payloads are skipped")
        for number, event in enumerate(batch.events):
            try:
                items.append(self._event(event, batch.base_time, meta))
            except _Skip as e:
                problems.append(f"event window {number + 1}: {e}; skipped")
        return items, problems

    # ---- signals ----

    def _series(self, s, base_time, meta):
        table = self.table
        signal = table.signals.get(s.alias)
        if signal is None:
            raise _Skip(f"not in birth {table.birth_id}")
        if len(s.times) != len(s.values):
            raise _Skip(f"{len(s.times)} times for {len(s.values)} values")
        if len(s.state_times) != len(s.states):
            raise _Skip(f"{len(s.state_times)} state times for {len(s.states)} states")
        if len(s.text_times) != len(s.texts):
            raise _Skip(f"{len(s.text_times)} text times for {len(s.texts)} texts")
        if s.times and signal.kind != "number":
            raise _Skip(f"number points for a {signal.kind} signal")
        if s.texts and signal.kind != "text":
            raise _Skip(f"text points for a {signal.kind} signal")
        for code in s.states:
            if code in SPECIAL_STATES:
                continue
            if signal.kind != "state":
                raise _Skip(f"state code {code} for a {signal.kind} signal")
            if code < 0:
                raise _Skip(f"state code {code}, neither a code (0 and up) nor -1 or -2")
        starts = set(s.segment_starts)
        if starts and max(starts) >= len(s.times):
            raise _Skip(f"segment start {max(starts)} beyond its {len(s.times)} points")
        table.learn_state_texts(s.alias, s.new_state_texts)

        unit = table.time_unit_us
        points = []  # (time, rank, index, fields): numbers, states, texts at equal times
        times = _us(_running(base_time, s.times), unit)
        for i, (t, raw) in enumerate(zip(times, _running(0, s.values))):
            value = raw * signal.scale + signal.offset
            if not math.isfinite(value):
                raise _Skip(f"raw count {raw} is no finite number once scaled")
            points.append((t, 0, i, dict(value=value, segment_start=i in starts)))
        for i, (t, code) in enumerate(zip(_us(_running(base_time, s.state_times), unit),
                                          s.states)):
            special = SPECIAL_STATES.get(code)
            fields = (dict(state=special) if special is not None
                      else dict(state=code, text=table.state_text(signal, code)))
            points.append((t, 1, i, fields))
        for i, (t, text) in enumerate(zip(_us(_running(base_time, s.text_times), unit),
                                          s.texts)):
            points.append((t, 2, i, dict(text=proto.text(text))))
        points.sort(key=lambda p: p[:3])
        return [Sample(signal=signal, time_us=t, **fields, **meta)
                for t, _, _, fields in points]

    # ---- raw payloads and event windows ----

    def _raw(self, r, base_time, meta):
        group = self.table.raw_groups.get(r.alias)
        if group is None:
            raise _Skip(f"not in birth {self.table.birth_id}")
        if len(r.times) != len(r.payloads):
            raise _Skip(f"{len(r.times)} times for {len(r.payloads)} payloads")
        times = _us(_running(base_time, r.times), self.table.time_unit_us)
        return [RawPayload(group=group, time_us=t, data=bytes(p), **meta)
                for t, p in zip(times, r.payloads)]

    def _event(self, e, base_time, meta):
        cause = _CAUSES.get(e.cause)
        if cause is None:
            raise _Skip(f"unknown cause {e.cause}")
        n = len(e.frame_times_us)
        if not n == len(e.frame_ids) == len(e.frame_data):
            raise _Skip(f"{n} frame times, {len(e.frame_ids)} identifiers and "
                        f"{len(e.frame_data)} payloads")
        (time_us,) = _us([base_time + e.time], self.table.time_unit_us)
        frame_times = _running(time_us, e.frame_times_us)
        if frame_times and not (EARLIEST_US <= min(frame_times)
                                and max(frame_times) <= LATEST_US):
            raise _Skip("a frame time beyond the years 1 to 9999")
        frames = tuple(
            Frame(t, i & 0x7FF, False, bytes(d)) if i & _EXTENDED_FLAG
            else Frame(t, i & 0x1FFFFFFF, True, bytes(d))
            for t, i, d in zip(frame_times, e.frame_ids, e.frame_data))
        return EventWindow(cause=cause, condition=proto.text(e.condition) if cause == "condition" else "",
                           time_us=time_us, before_ms=e.before_ms, after_ms=e.after_ms,
                           frames=frames, frames_lost=e.frames_lost, **meta)
