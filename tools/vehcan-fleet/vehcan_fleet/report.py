# SPDX-License-Identifier: MIT
"""A vehicle's reconstructed stream as vehcan's report page (docs/report.md:
the same template, script and charting library as `vehcan replay
--report`, the data block made here).

What the page shows is the decoder's reconstruction (vehcan_fleet.timeline):
a step signal holds each point until the next, a linear one runs straight
within a segment; each value has a band of its tolerance around it. The
trouble codes and lamps come from the DM1 payloads the batches carry;
batches lost between two seqs are marked on the time axis, and no line is
drawn across them.

    report = StreamReport("truck-17")
    stream = Stream(on_batch=report.batch_seen)
    for item in samples(read_files(paths), stream=stream):
        report.add(item)
    html = render_page(report.data(title="truck-17", producer="vehcan-fleet report"))
"""

import collections
import math
import os

from . import levels
from .batch import EventWindow, RawPayload, Sample
from .dm1 import LAMP_ON, LAMPS, PGN_DM1, parse_dm1
from .timeline import Timelines

# The page's files, installed with the package (page/ beside this module:
# the template, style sheet, script and assemble_page.py of vehcan's
# tools/report/page), and the charting library from Debian's libjs-dygraphs.
PAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "page")
DYGRAPHS_DIR = "/usr/share/javascript/dygraphs"

# Points of all levels of all series together, at most (as vehcan's page).
POINT_BUDGET = 600000

NAN = float("nan")


class PageMissing(Exception):
    """A file the page is made from cannot be read; str() says which."""


def render_page(data, library_dir=DYGRAPHS_DIR):
    """The page (a str) of a data block, by the page's own assembler."""
    for name in ("assemble_page.py", "report.html", "report.js", "report.css"):
        if not os.path.isfile(os.path.join(PAGE_DIR, name)):
            raise PageMissing(f"the report page is incomplete: {os.path.join(PAGE_DIR, name)} "
                              "is missing (reinstall vehcan-fleet)")
    from .page import assemble_page
    try:
        library = assemble_page.load_library(library_dir)
    except OSError as e:
        raise PageMissing(f"the charting library is missing: {e.filename}: {e.strerror} "
                          "(install Debian's libjs-dygraphs, or give --library DIR)") from None
    return assemble_page.render_page(data, library)


def _seconds(us):
    return us / 1e6


def _value(v):
    """A number as the page's data holds it: None for NaN, at most six
    decimals (0.4 * 37 is 14.8)."""
    if math.isnan(v):
        return None
    return round(v, 6) if abs(v) < 1e9 else v


def _address(source):
    return "unknown sender" if source is None else f"0x{source:02X}"


def duration_text(s):
    if s < 60:
        return f"{s:.3f} s"
    whole = int(s)
    return f"{whole // 3600}:{whole // 60 % 60:02}:{whole % 60:02} ({s:.1f} s)"


def clock_text(s):
    """Seconds since the start as h:mm:ss.s."""
    tenths = round(s * 10)
    return f"{tenths // 36000}:{tenths // 600 % 60:02}:{tenths % 600 / 10:04.1f}"


class _Band:
    """The stretches a code or a lamp was active: from the DM1 that lists it
    to the next DM1 of its sender that does not (or the stream's end)."""

    code = None  # a code's TroubleCode

    def __init__(self):
        self.spans = []
        self.open = False
        self.messages = 0
        self.occurrences = 0

    def seen(self, time_us):
        self.messages += 1
        if not self.open:
            self.spans.append([time_us, None])
            self.open = True

    def gone(self, time_us):
        if self.open:
            self.spans[-1][1] = time_us
            self.open = False


class StreamReport:
    """What one vehicle's stream holds, gathered item by item: every
    Sample (into Timelines), each DM1 payload, the event windows, and the
    batches decoded (batch_seen, a Stream's on_batch) with their births."""

    def __init__(self, vehicle):
        self.vehicle = vehicle
        self.timelines = Timelines()
        self.batches = []
        self.births = {}
        self.dm1 = collections.defaultdict(list)  # source -> [(time_us, Dm1)]
        self.events = []
        self.raw_payloads = 0
        self.bad_dm1 = 0
        self._first_us = None
        self._last_us = None

    # ---- gathering ----

    def _time(self, *times):
        for t in times:
            self._first_us = t if self._first_us is None else min(self._first_us, t)
            self._last_us = t if self._last_us is None else max(self._last_us, t)

    def batch_seen(self, batch, birth=None):
        """A BatchSeen of this vehicle, and the BirthTable it was read with."""
        self.batches.append(batch)
        if birth is not None:
            self.births[birth.birth_id] = birth
        self._time(batch.start_us, batch.end_us)

    def add(self, item):
        """A Sample, RawPayload or EventWindow of this vehicle."""
        if isinstance(item, Sample):
            self.timelines.add(item)
            self._time(item.time_us)
        elif isinstance(item, RawPayload):
            self.raw_payloads += 1
            self._time(item.time_us)
            if item.group.pgn == PGN_DM1:
                dm1 = parse_dm1(item.data)
                if dm1 is None:
                    self.bad_dm1 += 1
                else:
                    self.dm1[item.group.source].append((item.time_us, dm1))
        elif isinstance(item, EventWindow):
            self.events.append(item)
            self._time(item.time_us)

    def time_range(self):
        """(first, last) µs since 1970 of everything gathered, or None."""
        return None if self._first_us is None else (self._first_us, self._last_us)

    # ---- what the stream lost ----

    def lost(self):
        """[(end of the batch before, start of the batch after, first seq
        lost, last seq lost)] in time order: the stretches where batches
        are missing between two seqs of one run of the gateway."""
        out = []
        ordered = sorted(self.batches, key=lambda b: (b.start_us, b.seq))
        for a, b in zip(ordered, ordered[1:]):
            if b.seq > a.seq + 1:
                out.append((a.end_us, b.start_us, a.seq + 1, b.seq - 1))
        return out

    # ---- the page's data block ----

    def data(self, title, producer, spns=None, budget=POINT_BUDGET):
        """The data block (docs/report.md) of the stream; spns: chart only
        these SPNs."""
        span = self.time_range()
        t0, t1 = span if span else (0, 0)
        lost = self.lost()
        charts = []
        series = self._series(t0, t1, lost, spns, budget, charts)
        codes, lamps = self._codes(t0, t1)
        marks = [{"from": _seconds(a - t0), "to": _seconds(b - t0), "kind": "gap",
                  "text": f"lost: batch seq {first}" if first == last
                  else f"lost: batch seq {first} to {last}"} for a, b, first, last in lost]
        for e in self.events:
            what = "DM1 change" if e.cause == "dm1" else f"condition {e.condition}"
            marks.append({"from": _seconds(e.time_us - e.before_ms * 1000 - t0),
                          "to": _seconds(e.time_us + e.after_ms * 1000 - t0), "kind": "event",
                          "text": f"event window: {what}"})
        return {
            "format": "vehcan-report",
            "version": 1,
            "title": title,
            "producer": producer,
            "subject": "stream",
            "start_unix": _seconds(t0) if span else None,
            "range": [0, _seconds(t1 - t0)],
            "summary": self._summary(t0, t1, lost, series, codes),
            "bus": None,
            "nodes": None,
            "pgns": None,
            "charts": charts,
            "series": series,
            "codes": codes,
            "lamps": lamps,
            "codes_note": "Each band runs from the DM1 that lists a code (or lights a lamp) to "
                          "the next DM1 of its sender that does not",
            "marks": marks,
        }

    def _summary(self, t0, t1, lost, series, codes):
        rows = [["vehicle", self.vehicle]]
        births = [self.births[i] for i in sorted(self.births)]
        for label, values in (("gateway", [b.gateway for b in births]),
                              ("collection", [b.collection for b in births]),
                              ("database", [b.database for b in births])):
            values = [v for v in dict.fromkeys(values) if v]
            if values:
                rows.append([label, ", ".join(values)])
        rows.append(["duration", duration_text(_seconds(t1 - t0))])
        if self.batches:
            seqs = [b.seq for b in self.batches]
            historical = sum(1 for b in self.batches if b.historical)
            rows.append(["batches", f"{len(self.batches)}, seq {min(seqs)} to {max(seqs)}"
                         + (f", {historical} sent late from the gateway's spool"
                            if historical else "") + f"; {len(self.births)} births"])
        rows.append(["batches lost", "none" if not lost else "; ".join(
            f"seq {f}" + (f" to {l}" if l != f else "") +
            f" ({clock_text(_seconds(a - t0))} to {clock_text(_seconds(b - t0))})"
            for a, b, f, l in lost)])
        kinds = collections.Counter(t.signal.kind for _, t in self.timelines)
        points = sum(len(t) for _, t in self.timelines)
        rows.append(["points", f"{points} of {sum(kinds.values())} signals ("
                     f"{kinds['number']} numbers, {kinds['state']} states, "
                     f"{kinds['text']} texts); {len(series)} charted"])
        rows.append(["bands", "each value ± its tolerance: the gateway keeps its "
                     "reconstruction within it at every reading"])
        if self.raw_payloads:
            rows.append(["raw payloads", str(self.raw_payloads)])
        if self.events:
            causes = collections.Counter(e.cause for e in self.events)
            rows.append(["event windows", f"{causes['dm1']} at DM1 changes, "
                         f"{causes['condition']} at conditions"])
        rows.append(["trouble codes", self._dm1_text(codes)])
        for (_, source, _, _, name), t in self.timelines:
            if t.signal.kind == "text" and t.points:
                rows.append([f"{name} ({_address(source)})", t.points[-1].text or ""])
        return rows

    def _dm1_text(self, codes):
        streamed = set(self.dm1)
        heard = {g.source for b in self.births.values() for g in b.raw_groups.values()
                 if g.pgn == PGN_DM1}
        parts = []
        if streamed:
            parts.append(f"{len(codes)} from the DM1s of "
                         + ", ".join(_address(s) for s in sorted(streamed, key=str)))
        silent = heard - streamed
        if silent:
            parts.append("DM1 of " + ", ".join(_address(s) for s in sorted(silent, key=str))
                         + " listed in a birth without payloads in the stream")
        if self.bad_dm1:
            parts.append(f"{self.bad_dm1} DM1 payloads too short to read")
        return "; ".join(parts) if parts else "no DM1 in the stream"

    # ---- series ----

    def _series(self, t0, t1, lost, spns, budget, charts):
        chosen = []
        for (_, source, pgn, spn, name), timeline in self.timelines:
            kind = timeline.signal.kind
            if kind == "text" or (spns and spn not in spns):
                continue
            drawn = _drawn_points(timeline, kind, t0, t1, lost)
            if drawn is not None:
                chosen.append((timeline, drawn))
        chosen.sort(key=lambda c: (c[0].signal.pgn, c[0].signal.kind, c[0].signal.unit,
                                   -1 if c[0].signal.source is None else c[0].signal.source,
                                   c[0].signal.spn or 0))
        senders = collections.defaultdict(set)
        for timeline, _ in chosen:
            senders[timeline.signal.pgn].add(timeline.signal.source)
        shares = levels.share_budget([levels.points_wanted(len(d.times)) for _, d in chosen],
                                     budget)
        out = []
        for (timeline, drawn), share in zip(chosen, shares):
            s = timeline.signal
            label = s.name + (f" ({_address(s.source)})" if len(senders[s.pgn]) > 1 else "")
            finite = [v for v in drawn.values if not math.isnan(v)]
            j = {"name": s.name, "label": label, "spn": s.spn, "pgn": s.pgn,
                 "source": s.source, "unit": s.unit, "kind": s.kind,
                 "samples": len(timeline), "min": _value(min(finite)),
                 "max": _value(max(finite)), "reconstruction": drawn.reconstruction,
                 "levels": drawn.levels(t1 - t0, share)}
            if s.kind == "number":
                j["tolerance"] = s.tolerance
            else:
                j["states"] = sorted(drawn.states.items())
            index = len(out)
            out.append(j)
            c = charts[-1] if charts else None
            if (s.kind == "number" and c is not None and c["kind"] == "number"
                    and c["pgn"] == s.pgn and c["unit"] == s.unit):
                c["series"].append(index)
                continue
            title = f"PGN {s.pgn}" + (f" · {s.name}" if s.kind == "state"
                                      else f" · {s.unit}" if s.unit else "")
            charts.append({"title": title, "pgn": s.pgn, "unit": s.unit, "kind": s.kind,
                           "series": [index]})
        return out

    # ---- trouble codes and lamps ----

    def _codes(self, t0, t1):
        names = {}
        for (_, _, _, spn, name), _ in self.timelines:
            if spn is not None:
                names.setdefault(spn, name)
        codes = {}
        lamps = {}
        for source, payloads in self.dm1.items():
            mine = {}
            for time_us, dm1 in sorted(payloads, key=lambda p: p[0]):
                listed = set()
                for c in dm1.codes:
                    key = (c.spn, c.fmi)
                    band = mine.get(key)
                    if band is None:
                        band = mine[key] = codes[(source,) + key] = _Band()
                        band.code = c
                    if key not in listed:
                        band.seen(time_us)
                        listed.add(key)
                    band.occurrences = max(band.occurrences, c.occurrences)
                for key, band in mine.items():
                    if key not in listed:
                        band.gone(time_us)
                for lamp, status in enumerate(dm1.lamps):
                    band = lamps.get((source, lamp))
                    if status == LAMP_ON:
                        if band is None:
                            band = lamps[(source, lamp)] = _Band()
                        band.seen(time_us)
                    elif band is not None:
                        band.gone(time_us)

        def spans(band):
            return [[_seconds(a - t0), _seconds((t1 if b is None else b) - t0)]
                    for a, b in band.spans]

        code_rows = [{"source": source, "spn": spn, "fmi": fmi, "spn_name": names.get(spn, ""),
                      "fmi_text": band.code.fmi_text, "messages": band.messages,
                      "occurrences": band.occurrences, "spans": spans(band)}
                     for (source, spn, fmi), band in codes.items()]
        code_rows.sort(key=lambda c: (c["spans"][0][0], str(c["source"]), c["spn"], c["fmi"]))
        lamp_rows = [{"source": source, "lamp": LAMPS[lamp], "messages": band.messages,
                      "spans": spans(band)}
                     for (source, lamp), band in sorted(lamps.items(), key=str)]
        return code_rows, lamp_rows


class _Drawn:
    """A series as the page draws it: times (µs since the page's start) and
    values (NaN: no value), each point's bounds, and the state texts."""

    def __init__(self, reconstruction, banded):
        self.reconstruction = reconstruction
        self.banded = banded
        self.times = []
        self.values = []
        self.lows = []
        self.highs = []
        self.states = {}

    def point(self, t, v, tolerance=0.0):
        self.times.append(t)
        self.values.append(v)
        self.lows.append(v - tolerance)
        self.highs.append(v + tolerance)

    def levels(self, span_us, budget):
        out = []
        for stretch, kept in levels.detail_levels(self.times, self.values, 0, span_us, budget):
            t = []
            before = 0
            for i in kept:
                ms = round(self.times[i] / 1000)
                t.append(ms - before)
                before = ms
            level = {"bucket": stretch / 1e6, "t": t,
                     "v": [_value(self.values[i]) for i in kept]}
            if self.banded:
                lo, hi = levels.bands(self.lows, self.highs, kept,
                                      self.reconstruction == "linear")
                level["lo"] = [None if x is None else _value(x) for x in lo]
                level["hi"] = [None if x is None else _value(x) for x in hi]
            out.append(level)
        return out


def _drawn_points(timeline, kind, t0, t1, lost):
    """The points that draw a timeline's reconstruction (None when it has
    no value at all): its points, and a point that holds the value before
    one that does not run on from it (a step; a segment's start, a "not
    available", a lost stretch in a linear series), and at the end. A
    number series is drawn linear when any of its births says so; its
    steps are then drawn as such, with held points."""
    points = timeline.points
    number = kind == "number"
    if not any(p.available for p in points):
        return None
    linear = number and any(p.signal.reconstruction == "linear" for p in points)
    drawn = _Drawn("linear" if linear else "step", number)

    def hold(t):
        drawn.point(t, held.value if number else float(held.state), held.signal.tolerance)

    gaps = [a - t0 for a, _, _, _ in lost]
    g = 0
    held = None  # the Sample whose value holds now, or None

    def lose_until(t):
        # A lost stretch: the value is known up to its start, then not.
        nonlocal g, held
        while g < len(gaps) and gaps[g] < t:
            if held is not None and gaps[g] >= held.time_us - t0:
                hold(gaps[g])
                drawn.point(gaps[g], NAN)
                held = None
            g += 1

    for p in points:
        t = p.time_us - t0
        lose_until(t)
        if number:
            v = p.value if p.available else NAN
        else:
            v = float(p.state) if p.available else NAN
            if p.available:
                drawn.states.setdefault(p.state, p.text)
        runs_on = (not math.isnan(v) and linear and held is not None
                   and held.signal.reconstruction == "linear" and not p.segment_start)
        if held is not None and not runs_on and (linear or math.isnan(v)):
            hold(t)
        drawn.point(t, v, p.signal.tolerance)
        held = p if not math.isnan(v) else None
    lose_until(t1 - t0 + 1)
    if held is not None and t1 - t0 > held.time_us - t0:
        hold(t1 - t0)
    return drawn
