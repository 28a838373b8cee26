# SPDX-License-Identifier: MIT
"""The subcommands of vehcan-fleet. Each is a class in a module of its own
here, registered with @register: a name, a one-line help, arguments(parser)
that adds its options, and run(args, out) that does the work and returns
the exit status. A new subcommand is a new module named in MODULES."""

import argparse
import importlib

# The modules that hold the subcommands, in the order --help lists them.
MODULES = ("listen", "decode", "report", "keygen", "command")

# Exit statuses, as the vehcan tool's (tools/common/failure.h) where they
# mean the same.
EXIT_OK = 0
EXIT_INTERNAL = 1  # a fault of vehcan-fleet itself, or an output it cannot write
EXIT_USAGE = 2     # a bad command line or an unreadable --ca, --cert, --key
EXIT_INPUT = 3     # an input (file, record, payload) that could not be read in full
EXIT_BROKER = 8    # the broker refused the user name, password or subscription

_registry = {}


def register(cls):
    """Class decorator: adds a subcommand (name, help, arguments, run)."""
    if cls.name in _registry:
        raise ValueError(f"two subcommands named {cls.name}")
    _registry[cls.name] = cls
    return cls


def all_commands():
    """The registered subcommands, after importing MODULES."""
    for module in MODULES:
        importlib.import_module(f"{__name__}.{module}")
    return list(_registry.values())


def positive(kind):
    """An argparse type: a number of that kind above 0."""
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            value = 0
        if not value > 0:
            raise argparse.ArgumentTypeError(f"'{text}' is not a positive number")
        return value
    return parse


def add_decoder_options(parser):
    """The options that every command reading payloads shares."""
    parser.add_argument("--vehicle", metavar="V",
                        help="only this vehicle (its topic level: the VIN, or the gateway's "
                             "--vehicle before the VIN is known)")
    parser.add_argument("--max-body-mb", type=positive(float), default=16, metavar="MB",
                        help="refuse a payload whose body decompresses to more (default 16)")
    parser.add_argument("--max-waiting", type=positive(int), default=1000, metavar="N",
                        help="batches kept while their birth has not come (default 1000, the "
                             "oldest dropped beyond)")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also say each new birth and each batch that waits for one")


def stream_for(args, say):
    """The Stream that the decoder options ask for."""
    from ..stream import Stream
    return Stream(report=say, max_body=int(args.max_body_mb * (1 << 20)),
                  max_waiting=args.max_waiting, verbose=args.verbose)


def feed_files(args, stream, say, take):
    """Feeds the births and batches saved in args.files to stream and each
    item (of args.vehicle only, when given) to take(item); saved dm1 and
    status messages are plain JSON and passed over. True when every file,
    record, payload and batch was read in full."""
    from ..records import read_messages
    unreadable = []

    def problem(e):
        unreadable.append(e)
        say(str(e))

    for message in read_messages(args.files, stream.max_body + 1024, problem):
        if message.leaf not in (None, "birth", "batch"):
            continue
        for item in stream.feed_message(message):
            if args.vehicle is None or item.vehicle == args.vehicle:
                take(item)
    stream.finish()
    c = stream.counts
    return not (unreadable or c.unreadable or c.parts_skipped or c.waiting_dropped
                or c.never_born)
