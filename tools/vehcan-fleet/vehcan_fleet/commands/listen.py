# SPDX-License-Identifier: MIT
"""vehcan-fleet listen URL: a broker's births and batches to JSON lines."""

import os
import signal
import socket

from . import (EXIT_BROKER, EXIT_INTERNAL, EXIT_OK, EXIT_USAGE, add_decoder_options, register,
               stream_for)
from ..lines import line
from ..mqtt import PASSWORD_VARIABLE, Subscription, add_login_options, login_problem, topic_level
from ..records import RecordWriter

CONNECTION = f"""\
Connection: --user NAME with the password from ${PASSWORD_VARIABLE} (never on
the command line); mqtts:// with --ca FILE (default: the system's
certificate authorities), --cert FILE --key FILE for a client certificate.
When the broker goes away, listen connects again 1 s later, doubling to
60 s, and subscribes again. Ctrl-C or SIGTERM ends it (exit status 0);
a broker that refuses the user name, password or subscription ends it with
exit status 8."""


@register
class Listen:
    name = "listen"
    help = "subscribe to a broker and decode what vehicles publish"
    description = ("Subscribes to PREFIX/VEHICLE/birth and PREFIX/VEHICLE/batch at an MQTT "
                   "broker, follows each vehicle's births and prints each point, raw payload "
                   "and event window as a JSON line; seq gaps and duplicates are said on "
                   "standard error.")
    epilog = CONNECTION

    @staticmethod
    def arguments(parser):
        parser.add_argument("url", metavar="URL", help="mqtt://host[:port] or mqtts://host[:port]")
        add_decoder_options(parser)
        parser.add_argument("--topic-prefix", default="vehcan", metavar="PREFIX",
                            help="the gateways' --topic-prefix (default vehcan)")
        add_login_options(parser, "--key")
        parser.add_argument("--qos", type=int, choices=(0, 1), default=1,
                            help="the subscription's QoS (default 1)")
        parser.add_argument("--session", metavar="CLIENT_ID",
                            help="a persistent session under this client id: the broker keeps "
                                 "the batches (QoS 1) that come while listen is away")
        parser.add_argument("--save", metavar="FILE",
                            help="also append every birth and batch to this record file, for "
                                 "`vehcan-fleet decode`")

    @staticmethod
    def run(args, out, say):
        problem = login_problem(args, args.url, "URL", "--key")
        if problem:
            say(problem)
            return EXIT_USAGE
        prefix = args.topic_prefix.rstrip("/")
        if not prefix or any(c in prefix for c in "+#"):
            say("--topic-prefix must not be empty nor hold '+' or '#'")
            return EXIT_USAGE
        stream = stream_for(args, say)
        writer = None
        if args.save:
            try:
                writer = RecordWriter(args.save)
            except OSError as e:
                say(f"--save {args.save}: {e.strerror}")
                return EXIT_INTERNAL
        vehicle = topic_level(args.vehicle) if args.vehicle else "+"
        topics = [f"{prefix}/{vehicle}/birth", f"{prefix}/{vehicle}/batch"]

        def on_message(topic, payload):
            if not payload:
                return  # a retained birth cleared (the vehicle's topic moved to its VIN)
            if writer:
                writer.write(topic, payload)
            levels = topic.split("/")
            for item in stream.feed(payload, levels[-2] if len(levels) >= 2 else None):
                out.write(line(item) + "\n")
            out.flush()

        client_id = args.session or f"vehcan-fleet-{socket.gethostname()}-{os.getpid()}"
        try:
            subscription = Subscription(args.url, topics, say, on_message, user=args.user,
                                        ca=args.ca, cert=args.cert, key=args.tls_key,
                                        client_id=client_id, session=args.session is not None,
                                        qos=args.qos)
        except (OSError, ValueError) as e:
            say(f"TLS: {e}")
            return EXIT_USAGE
        for s in (signal.SIGINT, signal.SIGTERM):
            signal.signal(s, lambda *_: subscription.stop())
        refused = subscription.run()
        stream.finish()
        if writer:
            writer.close()
        if refused:
            say(refused)
            return EXIT_BROKER
        return EXIT_OK
