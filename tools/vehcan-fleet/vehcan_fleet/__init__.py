# SPDX-License-Identifier: MIT
"""vehcan_fleet: the fleet's side of vehcan's compact uplink. It reads the
births and batches that vehcan's gateways publish (docs/fleet-format.md) and
gives back each signal's points, the streamed raw payloads and the event
windows, and a signal's value at any time (docs/fleet-decoder.md).

    import vehcan_fleet as vf
    timelines = vf.Timelines()
    for item in vf.samples(vf.read_files(["drive.records"])):
        print(vf.line(item))
        timelines.add(item)
    speed = timelines.get("1HTMKAAN0CH123456", pgn=61444, spn=190)
    speed.value_at(1634254884936348)   # Reading(value=1315.75, ...)
"""

__version__ = "0.1.0"

from .batch import EventWindow, Frame, RawPayload, Sample
from .birth import BirthTable, RawGroupInfo, SignalInfo
from .lines import line, timestamp_text
from .records import InputError, Message, RecordWriter, read_messages
from .stream import BatchSeen, Counts, Stream
from .timeline import Reading, Timeline, Timelines
from .wire import DEFAULT_MAX_BODY, FormatError, make_envelope, open_envelope

__all__ = [
    "BatchSeen", "BirthTable", "Counts", "DEFAULT_MAX_BODY", "EventWindow", "FormatError", "Frame",
    "InputError", "Message", "RawGroupInfo", "RawPayload", "Reading", "RecordWriter", "Sample",
    "SignalInfo", "Stream", "Timeline", "Timelines", "line", "make_envelope", "open_envelope",
    "read_files", "read_messages", "samples", "timestamp_text",
]


def read_files(paths, report=None, max_payload=DEFAULT_MAX_BODY + 1024):
    """The Messages saved in paths (record files, raw payloads, directories
    of them: vehcan_fleet.records). A file or record that cannot be read is
    said through report(text) (by default the "vehcan_fleet" logger) and
    skipped."""
    import logging
    say = report or logging.getLogger("vehcan_fleet").warning
    return read_messages(paths, max_payload, lambda e: say(str(e)))


def samples(payloads, report=None, stream=None):
    """Yields the items of each payload in turn: Samples, RawPayloads and
    EventWindows. payloads: Messages (read_files, a subscription's), (vehicle,
    bytes) pairs, or bare payloads (bytes). Problems go to report(text), or
    to stream's own report when a Stream is given (its counts then tell what
    was lost). Batches still waiting for their birth at the end are said
    there too."""
    stream = stream or Stream(report=report)
    for p in payloads:
        if isinstance(p, Message):
            items = stream.feed_message(p)
        elif isinstance(p, (bytes, bytearray, memoryview)):
            items = stream.feed(bytes(p))
        else:
            vehicle, data = p
            items = stream.feed(bytes(data), vehicle)
        yield from items
    stream.finish()
