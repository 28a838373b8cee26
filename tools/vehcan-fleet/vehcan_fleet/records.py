# SPDX-License-Identifier: MIT
"""Saved payloads: what `vehcan-fleet decode` reads and `listen --save`
writes.

A FILE is one of
- a record file: the line "vehcan-fleet records 1\\n", then records of
  a 4-byte big-endian topic length, the topic (UTF-8), a 4-byte big-endian
  payload length and the payload, as many as the file holds;
- a raw payload: the bytes of one MQTT payload, as `mosquitto_sub -N -C 1`
  saves it (no topic: the vehicle comes from the birth);
- a directory: each of its files, in the order of their names."""

import os
import struct
from dataclasses import dataclass
from typing import Optional

MAGIC = b"vehcan-fleet records 1\n"
_LENGTH = struct.Struct(">I")
# An MQTT topic is at most 65535 bytes.
_MAX_TOPIC = 65535


@dataclass(frozen=True)
class Message:
    """One saved or received payload. topic is None for a raw payload file;
    vehicle is the topic's vehicle level (None without a topic); leaf the
    topic's last level ("birth", "batch"); origin names it in messages."""
    topic: Optional[str]
    payload: bytes
    origin: str

    @property
    def vehicle(self):
        if self.topic is None:
            return None
        levels = self.topic.split("/")
        return levels[-2] if len(levels) >= 2 else None

    @property
    def leaf(self):
        return None if self.topic is None else self.topic.rsplit("/", 1)[-1]


class InputError(Exception):
    """A file or record that cannot be read; str() says which and why."""


def _read_exactly(f, n):
    data = f.read(n)
    return data if len(data) == n else None


def _records(path, f, max_payload, problems):
    number = 0
    while True:
        head = f.read(_LENGTH.size)
        if not head:
            return
        number += 1
        where = f"{path} record {number}"
        if len(head) < _LENGTH.size:
            problems(InputError(f"{where}: truncated"))
            return
        (topic_size,) = _LENGTH.unpack(head)
        if topic_size > _MAX_TOPIC:
            problems(InputError(f"{where}: a topic of {topic_size} bytes; the rest of the file "
                                "is skipped"))
            return
        topic = _read_exactly(f, topic_size)
        size = _read_exactly(f, _LENGTH.size)
        if topic is None or size is None:
            problems(InputError(f"{where}: truncated"))
            return
        (size,) = _LENGTH.unpack(size)
        if size > max_payload:
            problems(InputError(f"{where}: a payload of {size} bytes, over the bound of "
                                f"{max_payload}; skipped"))
            if f.seek(size, os.SEEK_CUR) > os.fstat(f.fileno()).st_size:
                problems(InputError(f"{where}: truncated"))
                return
            continue
        payload = _read_exactly(f, size)
        if payload is None:
            problems(InputError(f"{where}: truncated"))
            return
        yield Message(topic.decode("utf-8", "replace"), payload, where)


def _file(path, max_payload, problems):
    try:
        with open(path, "rb") as f:
            start = f.read(len(MAGIC))
            if start == MAGIC:
                yield from _records(path, f, max_payload, problems)
                return
            size = os.fstat(f.fileno()).st_size
            if size > max_payload:
                problems(InputError(f"{path}: {size} bytes, over the bound of {max_payload} for "
                                    "one payload"))
                return
            yield Message(None, start + f.read(), path)
    except OSError as e:
        problems(InputError(f"{path}: cannot read: {e.strerror}"))


def read_messages(paths, max_payload, problems):
    """The Messages of each path (a record file, a raw payload or a
    directory of them), in order. A path or record that cannot be read goes
    to problems(InputError) and is skipped; memory holds one payload at a
    time."""
    for path in paths:
        if os.path.isdir(path):
            try:
                names = sorted(os.listdir(path))
            except OSError as e:
                problems(InputError(f"{path}: cannot read: {e.strerror}"))
                continue
            for name in names:
                inner = os.path.join(path, name)
                if os.path.isfile(inner):
                    yield from _file(inner, max_payload, problems)
        else:
            yield from _file(path, max_payload, problems)


class RecordWriter:
    """Appends Messages to a record file (created with its first line when
    new or empty); each record is flushed as it is written."""

    def __init__(self, path):
        self._f = open(path, "ab")
        if self._f.tell() == 0:
            self._f.write(MAGIC)
            self._f.flush()

    def write(self, topic, payload):
        t = topic.encode("utf-8")
        self._f.write(_LENGTH.pack(len(t)) + t + _LENGTH.pack(len(payload)) + payload)
        self._f.flush()

    def close(self):
        self._f.close()
