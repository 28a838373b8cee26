# SPDX-License-Identifier: MIT
"""How one CAN signal becomes one definition of vehcan's parameter database.

The database knows three kinds of definition (docs/database.md):

    kind 0, whole bytes       description,0,scale,offset,unit,nbytes,byte,...
    kind 1, named states      description,1,byte,nbits,first bit,last bit
    kind 2, scaled bit field  description,2,byte,scale,offset,unit,first bit,last bit

Bytes count from 1, bits from 0 (the least significant bit of that byte) on
into the following bytes, all little-endian: an Intel signal starting at
frame bit s lies in byte s // 8 + 1 from bit s % 8. The limits below are
those of libvehcan's reader and of the decoder in the vehcan tool; a signal
that cannot be said within them is skipped, a text that is too long or holds
a comma is shortened, and each such change is noted.
"""

from __future__ import annotations

import decimal
import re
import unicodedata
from dataclasses import dataclass, field

# ---- the reader's limits ---------------------------------------------------

# A definition or state text travels in a 120-byte buffer with its NUL.
VALUE_BYTES = 119
# The SPN list travels in a 1000-byte buffer.
SPN_LIST_BYTES = 999
# The unit is copied into a 10-byte member.
UNIT_BYTES = 9
# Kinds 1 and 2: the decoder reads a field of at most 32 bits.
BIT_FIELD_BITS = 32
# Kind 1: a state value is read into a long, 32 bits wide on the gateway,
# so a 32-bit field's upper half would be looked up as negative states.
STATE_FIELD_BITS = 31
# Kind 0: the bytes are joined and scaled as a double, which holds 48-bit
# integers exactly; wider values would decode off by rounding.
WHOLE_BYTES = 6
# An empty field would vanish when the definition is split at commas.
NO_UNIT = "-"
# read_bit_data() refuses PGN 0, so a field of PGN 0 never shows a state name.
PGNS_WITHOUT_STATE_NAMES = frozenset({0})

# ---- why a signal is skipped ------------------------------------------------

SKIP_STANDARD_ID = "11-bit identifier"
SKIP_NO_ID = "frame without identifier"
SKIP_SAME_PGN = "PGN already given by an earlier frame"
SKIP_MULTIPLEXED = "multiplexed"
SKIP_FLOAT = "floating point"
SKIP_BIG_ENDIAN = "big-endian (Motorola)"
SKIP_SIGNED = "signed"
SKIP_TOO_LONG = "longer than the format allows"
SKIP_OUTSIDE = "outside the frame"
SKIP_LIST_FULL = "SPN list full"
SKIP_IN_DATABASE = "PGN already in the merged database"
SKIP_NO_PRIVATE_SPN = "no private SPN left"

# ---- what was changed on the way -------------------------------------------

NOTE_PRIVATE_SPN = "private SPN"
NOTE_DESCRIPTION_COMMA = "description cut at a comma"
NOTE_DESCRIPTION_LONG = "description shortened"
NOTE_UNIT_COMMA = "unit cut at a comma"
NOTE_UNIT_LONG = "unit shortened to 9 bytes"
NOTE_STATES_DROPPED = "state names dropped"
NOTE_STATE_LONG = "state name shortened"
NOTE_STATE_DROPPED = "state dropped"

KIND_NAMES = {0: "whole bytes", 1: "named states", 2: "scaled bit field"}


@dataclass
class Skip:
    """A signal that the database cannot describe, and why."""

    reason: str
    detail: str = ""


@dataclass
class Note:
    """A change made so that the signal fits the database."""

    category: str
    detail: str


@dataclass
class Definition:
    """One SPN of a PGN node: its definition text and its state names."""

    spn: int
    kind: int
    description: str
    fields: list[str]
    states: dict[int, str] = field(default_factory=dict)

    def text(self) -> str:
        return ",".join([self.description, str(self.kind), *self.fields])


@dataclass
class Layout:
    """Where a signal lies, in the terms of one kind; texts still raw."""

    kind: int
    byte: int  # first byte, from 1
    first_bit: int  # kinds 1 and 2
    last_bit: int  # kinds 1 and 2
    nbytes: int  # kind 0
    scale: str
    offset: str
    states: dict[int, str]
    notes: list[Note]


# ---- numbers and texts -------------------------------------------------------


def number_text(value) -> str:
    """A scale or offset as strtod reads it back to the same double."""
    f = float(decimal.Decimal(str(value)))
    if f.is_integer() and abs(f) < 2**53:
        return str(int(f))
    return repr(f)


_WHITE_SPACE = re.compile(r"\s+")


def clean_text(text) -> str:
    """One line of printable text: control characters and runs of white
    space become one space (XML 1.0 cannot carry most control characters)."""
    chars = [" " if unicodedata.category(c) in ("Cc", "Cs") or c in "\ufffe\uffff" else c
             for c in str(text or "")]
    return _WHITE_SPACE.sub(" ", "".join(chars)).strip()


def fit_bytes(text: str, limit: int) -> str:
    """The longest start of text that is at most limit bytes of UTF-8."""
    raw = text.encode("utf-8")
    if len(raw) <= limit:
        return text
    return raw[:limit].decode("utf-8", errors="ignore").rstrip()


def fit_field(text: str, limit: int, comma_note: str, long_note: str,
              notes: list[Note]) -> str:
    """A definition field: cut at its first comma, then to limit bytes."""
    if "," in text:
        cut = text.split(",", 1)[0].strip()
        notes.append(Note(comma_note, f"{text!r} -> {cut!r}"))
        text = cut
    fitted = fit_bytes(text, limit)
    if fitted != text:
        notes.append(Note(long_note, f"{text!r} -> {fitted!r}"))
    return fitted


# ---- the layout of one signal --------------------------------------------------


def _state_names(signal, bits: int, notes: list[Note]) -> dict[int, str]:
    states = {}
    for value, name in signal.values.items():
        try:
            number = int(value)
        except (TypeError, ValueError):
            number = -1
        if not 0 <= number < (1 << bits):
            notes.append(Note(NOTE_STATE_DROPPED, f"{value} {name!r}: outside the field"))
            continue
        text = clean_text(name)
        if not text:
            notes.append(Note(NOTE_STATE_DROPPED, f"{value}: no name"))
            continue
        fitted = fit_bytes(text, VALUE_BYTES)
        if fitted != text:
            notes.append(Note(NOTE_STATE_LONG, f"{value}: {text!r} -> {fitted!r}"))
        states[number] = fitted
    return states


def layout(signal, frame_bytes: int, pgn: int) -> Layout | Skip:
    """The kind and position of a canmatrix signal, or why it has none."""
    if signal.mux_val is not None or getattr(signal, "mux_val_grp", None):
        return Skip(SKIP_MULTIPLEXED, f"multiplexer value {signal.mux_val}")
    if signal.is_float:
        return Skip(SKIP_FLOAT)
    if not signal.is_little_endian:
        return Skip(SKIP_BIG_ENDIAN)
    if signal.is_signed:
        return Skip(SKIP_SIGNED)
    start, size = int(signal.start_bit), int(signal.size)
    if size < 1 or start < 0 or start + size > frame_bytes * 8:
        return Skip(SKIP_OUTSIDE, f"bits {start}-{start + size - 1} of {frame_bytes} bytes")

    notes: list[Note] = []
    whole_bytes = start % 8 == 0 and size % 8 == 0
    identity = decimal.Decimal(str(signal.factor)) == 1 and decimal.Decimal(str(signal.offset)) == 0
    named = bool(signal.values)
    if named:
        why_not = None
        if not identity:
            why_not = "scale and offset are not 1 and 0"
        elif size > STATE_FIELD_BITS:
            why_not = f"longer than {STATE_FIELD_BITS} bits"
        elif pgn in PGNS_WITHOUT_STATE_NAMES:
            why_not = f"the library reads no state names for PGN {pgn}"
        if why_not:
            notes.append(Note(NOTE_STATES_DROPPED, why_not))
            named = False

    if named:
        kind = 1
    elif whole_bytes:
        kind = 0
        if size // 8 > WHOLE_BYTES:
            return Skip(SKIP_TOO_LONG, f"{size // 8} bytes, at most {WHOLE_BYTES} decode exactly")
    else:
        kind = 2
    if kind != 0 and size > BIT_FIELD_BITS:
        return Skip(SKIP_TOO_LONG, f"{size} bits, a bit field holds at most {BIT_FIELD_BITS}")

    states = _state_names(signal, size, notes) if kind == 1 else {}
    return Layout(kind=kind, byte=start // 8 + 1, first_bit=start % 8,
                  last_bit=start % 8 + size - 1, nbytes=size // 8,
                  scale=number_text(signal.factor), offset=number_text(signal.offset),
                  states=states, notes=notes)


# ---- the definition text ----------------------------------------------------------


def definition(spn: int, name: str, unit, where: Layout) -> tuple[Definition, list[Note]]:
    """The definition of SPN spn from a layout, its texts fitted to the reader."""
    notes = list(where.notes)
    if where.kind == 1:
        fields = [str(where.byte), str(where.last_bit - where.first_bit + 1),
                  str(where.first_bit), str(where.last_bit)]
    else:
        unit_text = fit_field(clean_text(unit), UNIT_BYTES, NOTE_UNIT_COMMA, NOTE_UNIT_LONG,
                              notes) or NO_UNIT
        if where.kind == 0:
            fields = [where.scale, where.offset, unit_text, str(where.nbytes),
                      *(str(where.byte + i) for i in range(where.nbytes))]
        else:
            fields = [str(where.byte), where.scale, where.offset, unit_text,
                      str(where.first_bit), str(where.last_bit)]
    tail = len(",".join(["", str(where.kind), *fields]).encode("utf-8"))
    description = fit_field(clean_text(name), VALUE_BYTES - tail, NOTE_DESCRIPTION_COMMA,
                            NOTE_DESCRIPTION_LONG, notes) or f"SPN {spn}"
    return Definition(spn, where.kind, description, fields, where.states), notes


def j1939_pgn(identifier: int) -> int:
    """The PGN of a 29-bit identifier: extended data page, data page, PDU
    format and PDU specific, the latter cleared where it is a destination
    (PDU format below 240, PDU1)."""
    pgn = (identifier >> 8) & 0x3FFFF
    if (pgn >> 8) & 0xFF < 240:
        pgn &= 0x3FF00
    return pgn
