# SPDX-License-Identifier: MIT
"""A vehicle's (or a fleet's) births and batches in the order they came, to
their decoded points: the births kept by id, each batch read with the birth
it names, seq gaps, duplicates and restarts told, a batch whose birth has
not come yet kept until it does (within bounds). What the decoder cannot
use is said in one line each through report and counted, never silent."""

import collections
import logging
from dataclasses import dataclass

from .batch import BatchReader, Sample
from .birth import BirthError, BirthTable
from .wire import DEFAULT_MAX_BODY, FormatError, open_envelope
from . import proto

_log = logging.getLogger("vehcan_fleet")

# How many recent seqs of a vehicle are remembered to tell a duplicate.
_SEQS_REMEMBERED = 4096


@dataclass
class Counts:
    """What a Stream has seen; the numbers only grow."""
    payloads: int = 0        # fed
    births: int = 0          # births with an id not seen before
    batches: int = 0         # batches decoded (duplicates not)
    items: int = 0           # samples, raw payloads and event windows yielded
    unreadable: int = 0      # payloads refused: corrupt, another version, over a bound
    parts_skipped: int = 0   # parts of batches and births left out (an alias not in the birth)
    lost: int = 0            # batches missing between two seqs
    duplicates: int = 0      # batches with a seq seen before, skipped
    late: int = 0            # batches that came after a later seq
    restarts: int = 0        # a new run: seq started again under a birth of another run
    silences: int = 0        # gaps longer than a heartbeat between two points of a signal
    waiting_dropped: int = 0  # batches dropped while waiting for their birth
    never_born: int = 0      # batches whose birth never came (at finish())


@dataclass(frozen=True)
class BatchSeen:
    """A batch that was decoded: its vehicle, birth and seq, and the time it
    covers, [start_us, end_us) in µs since 1970 (its base time and span)."""
    vehicle: str
    birth_id: int
    seq: int
    historical: bool
    start_us: int
    end_us: int


class _Vehicle:
    def __init__(self):
        self.births = {}  # birth_id -> BirthTable
        self.last_seq = None
        self.newest_birth_used = -1
        self.runs = set()  # the run_ids of the births of the batches decoded
        self.latest_point = {}  # signal key -> the latest point's time (µs)
        self.seen = set()
        self.seen_order = collections.deque()

    def remember(self, seq):
        if seq not in self.seen:
            self.seen.add(seq)
            self.seen_order.append(seq)
            if len(self.seen_order) > _SEQS_REMEMBERED:
                self.seen.discard(self.seen_order.popleft())


class Stream:
    """Decodes the payloads of the compact uplink fed to it, in the order
    they came (an MQTT subscription's, or a saved file's).

    feed() returns the items of each payload: Samples, RawPayloads and
    EventWindows (vehcan_fleet.batch). A batch whose birth has not come is
    kept, at most max_waiting of them and max_waiting_bytes in all (the
    oldest dropped beyond), and decoded once the birth comes; finish() says
    which never got one. Up to births_kept births are kept per vehicle (the
    oldest forgotten beyond). Each problem goes to report(text) as one line
    (by default to the "vehcan_fleet" logger) and into counts.

    The vehicle of a payload is the topic's vehicle level when the caller
    knows it; else a birth's own vehicle field, and a batch's the vehicle
    whose birth it names. on_batch(BatchSeen), when given, hears of each
    batch decoded (a duplicate is not). Not thread-safe."""

    def __init__(self, report=None, max_body=DEFAULT_MAX_BODY, max_waiting=1000,
                 max_waiting_bytes=64 << 20, births_kept=64, verbose=False, on_batch=None):
        self._report = report or _log.warning
        self.on_batch = on_batch
        self.max_body = max_body
        self.max_waiting = max_waiting
        self.max_waiting_bytes = max_waiting_bytes
        self.births_kept = births_kept
        self.verbose = verbose
        self.counts = Counts()
        self._vehicles = {}
        self._latest_vehicle = None
        # (vehicle or None, birth_id, seq, serialized batch, origin), oldest first
        self._waiting = collections.deque()
        self._waiting_bytes = 0

    def _say(self, origin, vehicle, text):
        parts = [p for p in (origin, vehicle) if p]
        self._report(": ".join(parts + [text]))

    # ---- feeding ----

    def feed(self, payload, vehicle=None, origin=None):
        """The items of one MQTT payload of a birth or batch topic (bytes).
        vehicle: the topic's vehicle level, if known. origin: where the
        payload came from, put in front of its problems ("FILE", "FILE
        record 3")."""
        self.counts.payloads += 1
        try:
            content = open_envelope(payload, self.max_body)
        except FormatError as e:
            self.counts.unreadable += 1
            self._say(origin, vehicle, f"unreadable payload: {e}")
            return []
        if content.WhichOneof("content") == "birth":
            return self._birth(content.birth, vehicle, origin)
        return self._batch(content.batch, vehicle, origin)

    def feed_message(self, message):
        """feed() of a records.Message (topic, payload, origin)."""
        return self.feed(message.payload, message.vehicle, message.origin)

    def known_birth(self, vehicle, birth_id):
        """The BirthTable of that vehicle and id, or None."""
        v = self._vehicles.get(vehicle)
        return v.births.get(birth_id) if v else None

    # ---- births ----

    def _birth(self, birth, vehicle, origin):
        try:
            table = BirthTable(birth)
        except BirthError as e:
            self.counts.unreadable += 1
            self._say(origin, vehicle, str(e))
            return []
        v = vehicle if vehicle is not None else (table.vehicle or "unknown")
        state = self._vehicles.setdefault(v, _Vehicle())
        self._latest_vehicle = v
        old = state.births.get(table.birth_id)
        if old is not None and old.fingerprint == table.fingerprint:
            return []  # sent again after a reconnect, or the retained one
        if old is not None:
            self._say(origin, v, f"birth {table.birth_id} came again with other content; the "
                      "newer is used")
        else:
            self.counts.births += 1
            if self.verbose:
                self._say(origin, v, f"birth {table.birth_id}: {len(table.signals)} signals, "
                          f"{len(table.raw_groups)} raw groups, collection "
                          f"{table.collection or '-'}, {table.gateway or 'no gateway named'}")
        for p in table.problems:
            self.counts.parts_skipped += 1
            self._say(origin, v, f"birth {table.birth_id}: {p}")
        state.births[table.birth_id] = table
        while len(state.births) > self.births_kept:
            oldest = min(state.births)
            del state.births[oldest]
            self._say(origin, v, f"birth {oldest} forgotten: more than {self.births_kept} "
                      "births of the vehicle")
        return self._release(v, table)

    def _release(self, vehicle, table):
        ready = [w for w in self._waiting
                 if w[1] == table.birth_id and w[0] in (vehicle, None)]
        if not ready:
            return []
        for w in ready:
            self._waiting.remove(w)
            self._waiting_bytes -= len(w[3])
        items = []
        for _, _, _, data, origin in sorted(ready, key=lambda w: w[2]):
            items.extend(self._decode(vehicle, table, proto.reading.Batch.FromString(data), origin))
        return items

    # ---- batches ----

    def _batch(self, batch, vehicle, origin):
        v = vehicle if vehicle is not None else self._vehicle_of(batch.birth_id)
        table = self.known_birth(v, batch.birth_id)
        if table is None:
            self._wait(v, batch, origin)
            return []
        return self._decode(v, table, batch, origin)

    def _vehicle_of(self, birth_id):
        having = [v for v, s in self._vehicles.items() if birth_id in s.births]
        if not having:
            return None
        return self._latest_vehicle if self._latest_vehicle in having else having[-1]

    def _wait(self, vehicle, batch, origin):
        data = batch.SerializeToString()
        self._waiting.append((vehicle, batch.birth_id, batch.seq, data, origin))
        self._waiting_bytes += len(data)
        if self.verbose:
            self._say(origin, vehicle, f"batch seq {batch.seq} waits for birth {batch.birth_id}")
        while (len(self._waiting) > self.max_waiting
               or self._waiting_bytes > self.max_waiting_bytes):
            v, birth_id, seq, data, o = self._waiting.popleft()
            self._waiting_bytes -= len(data)
            self.counts.waiting_dropped += 1
            self._say(o, v, f"batch seq {seq} dropped: its birth {birth_id} did not come while "
                      f"{len(self._waiting)} later batches waited")

    def _decode(self, vehicle, table, batch, origin):
        if not self._check_seq(vehicle, table, batch, origin):
            return []
        items, problems = BatchReader(table, vehicle).read(batch)
        for p in problems:
            self.counts.parts_skipped += 1
            self._say(origin, vehicle, f"batch seq {batch.seq}: {p}")
        items = self._mark_silences(self._vehicles[vehicle], items)
        self.counts.batches += 1
        self.counts.items += len(items)
        if self.on_batch is not None:
            unit = table.time_unit_us
            self.on_batch(BatchSeen(vehicle, batch.birth_id, batch.seq, batch.historical,
                                     batch.base_time * unit,
                                     (batch.base_time + batch.span) * unit))
        return items

    def _mark_silences(self, state, items):
        """The items with a "silent" point before each point that comes
        more than its signal's heartbeat after the signal's latest one: the
        earlier value held for a heartbeat, then the signal had none until
        this point (docs/fleet-format.md, "Reconstruction")."""
        out = []
        for item in items:
            if isinstance(item, Sample):
                key = item.signal.key
                latest = state.latest_point.get(key)
                beat_us = item.signal.heartbeat_ms * 1000
                if latest is not None and beat_us > 0 and item.time_us - latest > beat_us:
                    self.counts.silences += 1
                    out.append(Sample(vehicle=item.vehicle, signal=item.signal,
                                      time_us=latest + beat_us, state="silent",
                                      historical=item.historical, birth_id=item.birth_id,
                                      seq=item.seq))
                state.latest_point[key] = item.time_us if latest is None else max(latest,
                                                                                  item.time_us)
            out.append(item)
        return out

    def _check_seq(self, vehicle, table, batch, origin):
        """False for a duplicate, which is skipped; every other case is
        decoded, gaps, restarts and late batches said."""
        state = self._vehicles[vehicle]
        seq = batch.seq
        last = state.last_seq
        # A lower seq under a birth of a run not seen before is a restart
        # that numbers from 1 again (a gateway without a spool); within a
        # run seen before, a duplicate or a late batch. A gateway that does not name its run:
        # a lower seq under a newer birth is taken for a restart.
        if table.run_id and state.runs:
            new_run = table.run_id not in state.runs
        else:
            new_run = batch.birth_id > state.newest_birth_used
        if last is None or seq == last + 1:
            pass
        elif seq > last + 1:
            lost = seq - last - 1
            self.counts.lost += lost
            self._say(origin, vehicle, f"batch seq {last + 1} lost" if lost == 1 else
                      f"{lost} batches lost: seq {last + 1} to {seq - 1}")
        elif new_run:
            self.counts.restarts += 1
            self._say(origin, vehicle, f"seq starts again at {seq} with birth {batch.birth_id}: "
                      "a new run of the gateway (without a spool)")
            state.seen.clear()
            state.seen_order.clear()
            last = None
        elif seq in state.seen:
            self.counts.duplicates += 1
            self._say(origin, vehicle, f"batch seq {seq} again: a duplicate, skipped")
            return False
        else:
            self.counts.late += 1
            self._say(origin, vehicle, f"batch seq {seq} came after seq {last}")
        state.remember(seq)
        state.last_seq = seq if last is None else max(last, seq)
        state.newest_birth_used = max(state.newest_birth_used, batch.birth_id)
        if table.run_id:
            state.runs.add(table.run_id)
        return True

    # ---- the end ----

    def finish(self):
        """Says which batches still wait for a birth that never came (one
        line per vehicle and birth) and forgets them."""
        groups = collections.OrderedDict()
        for v, birth_id, seq, _, origin in self._waiting:
            groups.setdefault((v, birth_id), []).append((seq, origin))
        for (v, birth_id), waiting in groups.items():
            self.counts.never_born += len(waiting)
            seqs = sorted(s for s, _ in waiting)
            which = (f"batch seq {seqs[0]}" if len(seqs) == 1 else
                     f"{len(seqs)} batches (seq {seqs[0]} to {seqs[-1]})")
            self._say(waiting[0][1], v, f"{which} not decoded: birth {birth_id} never came")
        self._waiting.clear()
        self._waiting_bytes = 0
