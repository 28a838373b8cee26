# SPDX-License-Identifier: MIT
"""vehcan-fleet decode FILE...: saved births and batches to JSON lines."""

from . import EXIT_INPUT, EXIT_OK, add_decoder_options, feed_files, register, stream_for
from ..lines import line

FILES = """\
FILE: a record file (what `listen --save` writes: the line
"vehcan-fleet records 1", then records of a 4-byte big-endian topic length,
the topic, a 4-byte big-endian payload length and the payload), a raw
payload (one MQTT payload as `mosquitto_sub -N -C 1` saves it), or a
directory of either, read in the order of the file names. Births and
batches are read in the order given; a batch whose birth comes later waits
for it."""


@register
class Decode:
    name = "decode"
    help = "decode saved birth and batch payloads"
    description = ("Decodes saved payloads of the compact uplink, births and batches, and "
                   "prints each point, raw payload and event window as a JSON line.")
    epilog = FILES

    @staticmethod
    def arguments(parser):
        parser.add_argument("files", nargs="+", metavar="FILE",
                            help="record files, raw payloads or directories of them")
        add_decoder_options(parser)

    @staticmethod
    def run(args, out, say):
        """0 once every payload was decoded; 3 when a file, record, payload
        or part of one could not be read or a batch's birth never came
        (the rest is decoded all the same)."""
        stream = stream_for(args, say)
        whole = feed_files(args, stream, say, lambda item: out.write(line(item) + "\n"))
        return EXIT_OK if whole else EXIT_INPUT
