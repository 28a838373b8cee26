# SPDX-License-Identifier: MIT
"""vehcan-fleet COMMAND ...: the fleet's side of vehcan's compact uplink.
The subcommands are registered in vehcan_fleet.commands."""

import argparse
import sys
import textwrap

from . import __version__
from .commands import EXIT_INTERNAL, all_commands

EXITS = """\
Exit status: 0 done; 1 internal error or an output that cannot be written;
2 bad command line (report: several vehicles and no --vehicle); 3 an input
that could not be read in full (decode, report); 5 the command failed on
the gateway, 6 no result in time, 7 the command was rejected or expired
(command); 8 the broker refused the user name, password or subscription
(listen, command)."""


def say(text):
    print(f"vehcan-fleet: {text}", file=sys.stderr, flush=True)


def parser():
    p = argparse.ArgumentParser(
        prog="vehcan-fleet",
        description=textwrap.fill(
            "The fleet's side of vehcan: decodes the births and batches that vehcan's gateways "
            "publish into JSON lines (docs/fleet-decoder.md) or draws a vehicle's stream as a "
            "page of charts, and sends the gateways signed commands (docs/commands.md).", 79),
        epilog=EXITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version=f"vehcan-fleet {__version__}")
    sub = p.add_subparsers(dest="command", title="Subcommands", metavar="COMMAND", required=True)
    for command in all_commands():
        c = sub.add_parser(command.name, help=command.help,
                           description=textwrap.fill(command.description, 79),
                           epilog="\n\n".join(filter(None, [getattr(command, "epilog", ""),
                                                            EXITS])),
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        command.arguments(c)
        c.set_defaults(run=command.run)
    return p


def main(argv=None):
    args = parser().parse_args(sys.argv[1:] if argv is None else argv)
    try:
        return args.run(args, sys.stdout, say)
    except BrokenPipeError:
        # The reader of the lines went away (| head): a normal end.
        sys.stderr.close()
        return 0
    except KeyboardInterrupt:
        return 130
    except Exception as e:  # noqa: BLE001 - one line, never a traceback
        say(f"internal error: {type(e).__name__}: {e}")
        return EXIT_INTERNAL
