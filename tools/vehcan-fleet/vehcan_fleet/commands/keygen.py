# SPDX-License-Identifier: MIT
"""vehcan-fleet keygen --key-id ID FILE: a signing key for commands."""

from . import EXIT_OK, EXIT_USAGE, register

KEYS = """\
The private key goes to FILE (JSON, mode 0600; an existing file is never
overwritten). The printed line goes under [commands.keys] in the gateways'
/etc/vehcan/vehcan.conf: they run commands signed with this key once they
are restarted. The key is not the broker's TLS client key."""


@register
class Keygen:
    name = "keygen"
    help = "make a key that signs commands to vehicles"
    description = ("Makes an Ed25519 key for signing commands to vehcan's gateways and prints "
                   "the line of its public half for their vehcan.conf.")
    epilog = KEYS

    @staticmethod
    def arguments(parser):
        parser.add_argument("--key-id", required=True, metavar="ID",
                            help="the key's name, 1-64 of A-Z a-z 0-9 . _ -, as the gateways "
                                 "know it")
        parser.add_argument("file", metavar="FILE", help="the private key file to write")

    @staticmethod
    def run(args, out, say):
        import vehcan_commands as vc
        try:
            line = vc.keygen(args.file, args.key_id)
        except vc.CommandError as e:
            say(str(e))
            return EXIT_USAGE
        except OSError as e:
            say(f"{args.file}: {e.strerror}")
            return EXIT_USAGE
        out.write(line + "\n")
        return EXIT_OK
