# SPDX-License-Identifier: MIT
"""DM1 (active trouble codes, PGN 65226) as the batches carry it: the
gateway streams a DM1's payload whenever its lamps or codes change (and at
every heartbeat), as a raw payload of its sender. This reads one payload
(SAE J1939-73): the lamps, two bits each, then four bytes a code."""

from dataclasses import dataclass
from typing import Tuple

PGN_DM1 = 65226

# The lamps in the order of the first byte's bit pairs, from the top.
LAMPS = ("malfunction (MIL)", "red stop", "amber warning", "protect")
LAMP_ON = 1

FMI_TEXTS = (
    "data valid but above normal operational range, most severe level",
    "data valid but below normal operational range, most severe level",
    "data erratic, intermittent or incorrect",
    "voltage above normal, or shorted to high source",
    "voltage below normal, or shorted to low source",
    "current below normal or open circuit",
    "current above normal or grounded circuit",
    "mechanical system not responding or out of adjustment",
    "abnormal frequency or pulse width or period",
    "abnormal update rate",
    "abnormal rate of change",
    "root cause not known",
    "bad intelligent device or component",
    "out of calibration",
    "special instructions",
    "data valid but above normal operating range, least severe level",
    "data valid but above normal operating range, moderately severe level",
    "data valid but below normal operating range, least severe level",
    "data valid but below normal operating range, moderately severe level",
    "received network data in error",
    "data drifted high",
    "data drifted low",
) + ("reserved",) * 9 + ("condition exists",)


@dataclass(frozen=True)
class TroubleCode:
    spn: int
    fmi: int
    occurrences: int

    @property
    def fmi_text(self):
        return FMI_TEXTS[self.fmi]


@dataclass(frozen=True)
class Dm1:
    """lamps: the status of each of LAMPS (0 off, 1 on, 2 reserved, 3 not
    available); codes: the active codes in the order sent."""
    lamps: Tuple[int, int, int, int]
    codes: Tuple[TroubleCode, ...]


def parse_dm1(data):
    """The Dm1 of a payload, or None when it is shorter than the lamps'
    two bytes. Padding (FF FF FF) and "no code" (SPN 0, FMI 0) are not
    codes. The conversion method bit picks the SPN's layout: 0 the
    current one (the SPN's low byte first), 1 the legacy one (high first)."""
    if len(data) < 2:
        return None
    lamps = tuple(data[0] >> shift & 3 for shift in (6, 4, 2, 0))
    codes = []
    for at in range(2, len(data) - 3, 4):
        b = data[at:at + 4]
        if b[0] == b[1] == b[2] == 0xFF:
            continue
        top3 = b[2] >> 5
        if b[3] & 0x80:
            spn = b[0] << 11 | b[1] << 3 | top3
        else:
            spn = b[0] | b[1] << 8 | top3 << 16
        fmi = b[2] & 0x1F
        if spn == 0 and fmi == 0:
            continue
        codes.append(TroubleCode(spn, fmi, b[3] & 0x7F))
    return Dm1(lamps, tuple(codes))
