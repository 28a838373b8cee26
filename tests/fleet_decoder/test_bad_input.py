# SPDX-License-Identifier: MIT
"""vehcan-fleet on input no gateway should send: each bad payload, record or
part of a batch is one line on stderr, never a traceback; what is good
around it still decodes, and the exit status says something was left out.
A zip bomb is refused within a bounded memory. Random damage to real
payloads never makes the decoder raise."""

import random
import resource
import unittest

import support
from support import BASE_MS, batch, birth, payload, series
from vehcan_fleet import Stream, proto

TOPIC = "vehcan/truck-17/"
GOOD = batch(1, signals=[series(1, numbers=[(BASE_MS, 8000)])])
GOOD_LINE = ('{"vehicle":"truck-17","source":0,"pgn":61444,"spn":190,"name":"engine speed",'
             '"unit":"rpm","timestamp":"2026-12-08T18:05:34.575000Z","value":1000.0,'
             '"tolerance":4.0,"reconstruction":"step"}')


def zeros_frame(size):
    """One zstd frame of size zero bytes, without a content size in its header."""
    import zstandard
    c = zstandard.ZstdCompressor(level=1).compressobj()
    chunk = bytes(1 << 20)
    out = [c.compress(chunk) for _ in range(size >> 20)]
    return b"".join(out) + c.flush()


class TestBadPayloads(support.ScratchCase):
    def run_between_good(self, name, bad_payloads, topic="batch"):
        """Decodes a birth, the bad payloads, then a good batch: the good
        batch's line comes out, and the run's stderr."""
        good_after = batch(len(bad_payloads) + 1, signals=GOOD.signals)
        messages = [(TOPIC + "birth", payload(birth()))]
        messages += [(TOPIC + topic, p) for p in bad_payloads]
        messages.append((TOPIC + "batch", payload(good_after)))
        done = self.decode(support.write_records(self.path(name), messages))
        self.assertNoTraceback(done)
        self.assertEqual(done.returncode, 3, done.stderr)
        self.assertEqual(done.stdout.splitlines(), [GOOD_LINE])
        return [line.split(": ", 2)[2] for line in done.stderr.splitlines()]

    def test_payloads_that_cannot_be_opened(self):
        whole = payload(GOOD)
        body = proto.Payload(batch=GOOD).SerializeToString()
        cases = {
            "truncated": (whole[:len(whole) // 2 + 3],
                          "truck-17: unreadable payload: not an envelope (truncated or corrupt)"),
            "version 2": (support.envelope(body, fmt=2, compression=0),
                          "truck-17: unreadable payload: format version 2; this decoder reads "
                          "version 1"),
            "unknown compression": (support.envelope(body, compression=7),
                                    "truck-17: unreadable payload: unknown compression 7"),
            "corrupt zstd": (support.envelope(b"\x00\x01\x02\x03" + body, body_size=len(body)),
                             None),
            "size lies": (support.envelope(body, compression=0, body_size=len(body) + 1),
                          f"truck-17: unreadable payload: an uncompressed body of {len(body)} "
                          f"bytes, the envelope says {len(body) + 1}"),
            "no content": (support.envelope(b"", compression=0),
                           "truck-17: unreadable payload: the body holds neither a birth nor a "
                           "batch"),
            "corrupt body": (support.envelope(b"\x0a\xff\xff", compression=0),
                             "truck-17: unreadable payload: the body is not a payload (corrupt)"),
            "empty": (b"", "truck-17: unreadable payload: empty payload"),
        }
        for name, (bad, want) in cases.items():
            with self.subTest(name):
                got = self.run_between_good(name.replace(" ", "-"), [bad])
                self.assertEqual(len(got), 1, got)
                if want is None:
                    self.assertTrue(got[0].startswith("truck-17: unreadable payload: corrupt "
                                                      "zstd body: "), got[0])
                else:
                    self.assertEqual(got[0], want)

    def test_parts_of_a_batch_that_cannot_be_read(self):
        wrong = proto.SignalSeries(alias=1, times=[0, 1], values=[8000])
        cases = {
            "alias not in birth": (
                series(99, numbers=[(BASE_MS, 1)]),
                "batch seq 1: signal alias 99: not in birth 1; its points are skipped"),
            "columns of two lengths": (
                wrong, "batch seq 1: signal alias 1: 2 times for 1 values; its points are skipped"),
            "a state code for a number": (
                series(1, states=[(BASE_MS, 3)]),
                "batch seq 1: signal alias 1: state code 3 for a number signal; its points are "
                "skipped"),
            "a time past the year 9999": (
                series(1, numbers=[(BASE_MS + 10**15, 1)]),
                "batch seq 1: signal alias 1: a time beyond the years 1 to 9999; its points are "
                "skipped"),
            "a segment start past the points": (
                series(2, numbers=[(BASE_MS, 1)], segment_starts=[1]),
                "batch seq 1: signal alias 2: segment start 1 beyond its 1 points; its points "
                "are skipped"),
        }
        for name, (bad_series, want) in cases.items():
            with self.subTest(name):
                bad = batch(1, signals=[bad_series])
                got = self.run_between_good(name.replace(" ", "-"), [payload(bad)])
                self.assertEqual(got, ["truck-17: " + want])

    def test_a_birth_without_a_time_unit(self):
        got = self.run_between_good("no-unit", [payload(birth(birth_id=1, time_unit_us=0))],
                                    topic="birth")
        self.assertEqual(got, ["truck-17: birth 1 has no time unit (time_unit_us 0)"])

    def test_damaged_record_files(self):
        whole = support.write_records(self.path("whole.records"), [
            (TOPIC + "birth", payload(birth())), (TOPIC + "batch", payload(GOOD))])
        with open(whole, "rb") as f:
            data = f.read()
        cut = self.path("cut.records")
        with open(cut, "wb") as f:
            f.write(data[:-5])
        done = self.decode(cut)
        self.assertNoTraceback(done)
        self.assertEqual((done.returncode, done.stdout),
                         (3, ""))
        self.assertEqual(done.stderr, f"vehcan-fleet: {cut} record 2: truncated\n")

        huge = self.path("huge.records")
        with open(huge, "wb") as f:
            # a record that says it is 4 GB long, then the good ones
            f.write(data[:len(b"vehcan-fleet records 1\n")] + b"\x00\x00\x00\x01x\xff\xff\xff\xff")
        done = self.decode(huge, whole)
        self.assertNoTraceback(done)
        self.assertEqual(done.returncode, 3)
        self.assertEqual(done.stdout.splitlines(), [GOOD_LINE])
        self.assertEqual(done.stderr.splitlines(), [
            f"vehcan-fleet: {huge} record 1: a payload of 4294967295 bytes, over the bound of "
            f"{16 * 2**20 + 1024}; skipped", f"vehcan-fleet: {huge} record 1: truncated"])


class TestZipBomb(support.ScratchCase):
    def test_a_body_that_decompresses_past_its_size_or_the_bound(self):
        bomb = zeros_frame(1 << 30)  # 1 GiB of zeros, a few dozen kB compressed
        lying = support.envelope(bomb, body_size=1000)
        huge = support.envelope(bomb, body_size=1 << 30)
        before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        records = support.write_records(self.path("bomb.records"), [
            (TOPIC + "birth", payload(birth())), (TOPIC + "batch", lying),
            (TOPIC + "batch", huge), (TOPIC + "batch", payload(GOOD))])
        done = self.decode(records)
        peak_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        self.assertNoTraceback(done)
        self.assertEqual(done.returncode, 3)
        self.assertEqual(done.stdout.splitlines(), [GOOD_LINE])
        self.assertEqual([line.split(": ", 3)[3] for line in done.stderr.splitlines()], [
            "unreadable payload: the body decompresses to more than the 1000 bytes its "
            "envelope says",
            f"unreadable payload: a body of {1 << 30} bytes, over the bound of {16 << 20}"])
        # The decoder's whole process stays far below the gigabyte the bomb
        # would take (the bound is 16 MiB; Python with protobuf is ~30 MB).
        self.assertLess(max(peak_kb, before), 200 * 1024)


class TestRandomDamage(unittest.TestCase):
    """Bit flips, cut ends and spliced bytes in real payloads, fed in
    process: the decoder reports or decodes, it never raises."""

    def test_damaged_payloads_never_raise(self):
        rng = random.Random(26)
        b = birth(raw_groups=[(1, 238, 65280, "PropB_00")])
        good = batch(1, signals=[
            series(1, numbers=[(BASE_MS, 8000), (BASE_MS + 5, 8100)], states=[(BASE_MS + 9, -1)]),
            series(3, states=[(BASE_MS, 1)], new_texts={4: "x"}),
            series(5, texts=[(BASE_MS, "VIN")]),
            series(2, numbers=[(BASE_MS, 1), (BASE_MS + 3, 7)], segment_starts=[1])],
            raw=[support.raw_series(1, [(BASE_MS, b"\x01")])],
            events=[support.event(1, BASE_MS, [(BASE_MS * 1000, 0x18FECA00, b"\x00")])])
        originals = [payload(b, compress=False), payload(good, compress=False),
                     payload(b), payload(good)]
        reports = []
        unreadable = decoded = 0
        for _ in range(3000):
            data = bytearray(rng.choice(originals))
            for _ in range(rng.choice((1, 1, 1, 2, 3))):
                what = rng.randrange(3)
                i = rng.randrange(len(data))
                if what == 0:
                    data[i] ^= 1 << rng.randrange(8)
                elif what == 1:
                    del data[i:]
                    if not data:
                        data.append(0)
                else:
                    data[i:i] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 5)))
            # each in a stream of its own, so that no damaged batch is
            # taken for a duplicate of another
            stream = Stream(report=reports.append)
            stream.feed(originals[0], "truck-17")
            try:
                items = stream.feed(bytes(data), "truck-17")
                stream.finish()
            except Exception as e:  # noqa: BLE001 - the failure this test is about
                self.fail(f"{type(e).__name__}: {e} on {bytes(data).hex()}")
            for item in items:
                support.json.loads(support_line(item))
            unreadable += stream.counts.unreadable
            decoded += stream.counts.batches + stream.counts.births - 1
        # the damage was seen: many payloads refused, many decoded all the same
        self.assertGreater(unreadable, 500)
        self.assertGreater(decoded, 50)
        self.assertTrue(all("\n" not in r for r in reports))


def support_line(item):
    from vehcan_fleet import line
    return line(item)


if __name__ == "__main__":
    unittest.main(verbosity=2)
