# SPDX-License-Identifier: MIT
"""vehcan-fleet report FILE... -o OUT.html: a vehicle's saved stream as one
self-contained page of charts, the page `vehcan replay --report` makes of a
capture."""

import os

from . import (EXIT_INPUT, EXIT_INTERNAL, EXIT_OK, EXIT_USAGE, add_decoder_options, feed_files,
               register, stream_for)
from .decode import FILES
from .. import __version__
from ..report import DYGRAPHS_DIR, PageMissing, StreamReport, render_page


def spn_list(text):
    """An argparse type: "190,84" as {190, 84}."""
    import argparse
    try:
        spns = {int(x) for x in text.split(",")}
    except ValueError:
        spns = set()
    if not spns or min(spns) < 1:
        raise argparse.ArgumentTypeError(f"'{text}' is not a list of SPNs")
    return spns


@register
class Report:
    name = "report"
    help = "draw a vehicle's saved stream as one HTML page"
    description = ("Decodes saved births and batches of one vehicle and writes one HTML file "
                   "that opens offline in any browser: every signal's reconstruction with its "
                   "tolerance as a band (steps as steps, linear signals as lines), all charts "
                   "on one time axis that zooms and pans together, the trouble codes and lamps "
                   "of the DM1s the batches carry, and the batches lost between two seqs marked "
                   "on the time axis.")
    epilog = FILES + """

The page is vehcan's report page (docs/report.md) with its charting library,
dygraphs, read from --library (Debian's libjs-dygraphs) and put into it."""

    @staticmethod
    def arguments(parser):
        parser.add_argument("files", nargs="+", metavar="FILE",
                            help="record files, raw payloads or directories of them")
        parser.add_argument("-o", "--output", required=True, metavar="OUT.html",
                            help="the page to write")
        parser.add_argument("--title", help="the page's title (default: the vehicle)")
        parser.add_argument("--spn", type=spn_list, metavar="LIST",
                            help="chart only these SPNs, e.g. 190,84")
        parser.add_argument("--library", default=DYGRAPHS_DIR, metavar="DIR",
                            help=f"dygraph.min.js and dygraph.min.css (default {DYGRAPHS_DIR})")
        add_decoder_options(parser)

    @staticmethod
    def run(args, out, say):
        """0 once the page is written from everything; 3 when an input could
        not be read in full (the page is written from the rest) or holds no
        vehicle; 2 when it holds several and --vehicle chose none."""
        reports = {}

        def report_of(vehicle):
            r = reports.get(vehicle)
            if r is None:
                r = reports[vehicle] = StreamReport(vehicle)
            return r

        def batch_seen(b):
            if args.vehicle is None or b.vehicle == args.vehicle:
                report_of(b.vehicle).batch_seen(b, stream.known_birth(b.vehicle, b.birth_id))

        stream = stream_for(args, say)
        stream.on_batch = batch_seen
        whole = feed_files(args, stream, say, lambda item: report_of(item.vehicle).add(item))

        if len(reports) > 1:
            say(f"{len(reports)} vehicles in the files ({', '.join(sorted(reports))}): choose "
                "one with --vehicle")
            return EXIT_USAGE
        vehicle = next(iter(reports), args.vehicle or "no vehicle")
        report = reports.get(vehicle) or StreamReport(vehicle)
        data = report.data(title=args.title or vehicle,
                           producer=f"vehcan-fleet report {__version__}", spns=args.spn)
        try:
            page = render_page(data, args.library)
        except PageMissing as e:
            say(str(e))
            return EXIT_INTERNAL
        try:
            with open(args.output, "w", encoding="utf-8") as f:
                f.write(page)
        except OSError as e:
            say(f"{args.output}: {e.strerror}")
            return EXIT_INTERNAL
        size = os.path.getsize(args.output)
        points = sum(s["samples"] for s in data["series"])
        out.write(f"{args.output}: {size / 1e6:.1f} MB, {vehicle}, {points} points, "
                  f"{len(data['series'])} signals on {len(data['charts'])} charts, "
                  f"{len(data['codes'])} trouble codes, "
                  f"{sum(1 for m in data['marks'] if m['kind'] == 'gap')} lost stretches\n")
        return EXIT_OK if whole and reports else EXIT_INPUT
