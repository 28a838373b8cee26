# SPDX-License-Identifier: MIT
"""The JSON lines that vehcan-fleet prints: one per point, raw payload and
event window, keys in the order docs/fleet-format.md gives ("The decoded
lines"), compact, UTF-8 as vehcan's own --json prints."""

import datetime
import functools
import json

from .batch import EventWindow, RawPayload, Sample

_EPOCH = datetime.datetime(1970, 1, 1)
_ENCODER = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":"))


@functools.lru_cache(maxsize=4096)
def _second_text(seconds):
    d = _EPOCH + datetime.timedelta(seconds=seconds)
    return (f"{d.year:04d}-{d.month:02d}-{d.day:02d}T{d.hour:02d}:{d.minute:02d}:"
            f"{d.second:02d}")


def timestamp_text(time_us):
    """RFC 3339, UTC, six decimals: "2021-10-14T23:41:24.936348Z"."""
    seconds, micros = divmod(time_us, 1000000)
    return f"{_second_text(seconds)}.{micros:06d}Z"


def sample_object(s):
    """A Sample's line as a dict, keys in the line's order."""
    signal = s.signal
    o = {"vehicle": s.vehicle, "source": signal.source, "pgn": signal.pgn, "spn": signal.spn,
         "name": signal.name}
    if signal.kind == "number":
        o["unit"] = signal.unit
        o["timestamp"] = timestamp_text(s.time_us)
        o["value"] = s.value
        if not s.available:
            o["state"] = s.state
        o["tolerance"] = float(signal.tolerance)
        o["reconstruction"] = signal.reconstruction
    else:
        o["timestamp"] = timestamp_text(s.time_us)
        if not s.available:
            o["value"] = None
            o["state"] = s.state
        elif signal.kind == "state":
            o["state"] = s.state
            o["text"] = s.text
        else:
            o["text"] = s.text
    return o


def raw_object(r):
    return {"vehicle": r.vehicle, "source": r.group.source, "pgn": r.group.pgn,
            "timestamp": timestamp_text(r.time_us), "data": r.data.hex().upper()}


def frame_id_text(frame):
    return f"{frame.can_id:08X}" if frame.extended else f"{frame.can_id:03X}"


def event_object(e):
    o = {"vehicle": e.vehicle, "event": e.cause}
    if e.cause == "condition":
        o["condition"] = e.condition
    o["timestamp"] = timestamp_text(e.time_us)
    o["before_ms"] = e.before_ms
    o["after_ms"] = e.after_ms
    o["frames"] = [{"timestamp": timestamp_text(f.time_us), "id": frame_id_text(f),
                    "data": f.data.hex().upper()} for f in e.frames]
    if e.frames_lost:
        o["frames_lost"] = e.frames_lost
    return o


_OBJECTS = {Sample: sample_object, RawPayload: raw_object, EventWindow: event_object}


def line(item):
    """The JSON line (without its newline) of a Sample, RawPayload or
    EventWindow."""
    o = _OBJECTS[type(item)](item)
    if item.historical:
        o["historical"] = True
    return _ENCODER.encode(o)
