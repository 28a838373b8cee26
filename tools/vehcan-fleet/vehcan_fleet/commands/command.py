# SPDX-License-Identifier: MIT
"""vehcan-fleet command VEHICLE OPERATION [ARG...] --key FILE: sends a
signed command to a gateway and prints its result."""

import base64
import hashlib
import json
import os
import socket
import time
import uuid

from . import EXIT_BROKER, EXIT_OK, EXIT_USAGE, register
from ..mqtt import (PASSWORD_VARIABLE, add_login_options, login_problem, make_client, refusal,
                    topic_level)

# Exit statuses of this subcommand beyond the shared ones.
EXIT_FAILED = 5     # the gateway ran the command and it failed
EXIT_NO_RESULT = 6  # no final result within --wait (or no broker to ask)
EXIT_REFUSED = 7    # the gateway rejected the command, or it expired

OPERATIONS = """\
Operations and their arguments (docs/commands.md):
  request     pgn=N (in the gateway's allowed_pgns) [to=ADDRESS, 255: all]
  scan        [timeout=SECONDS, 0.5-10]
  diag.read   [address=ADDRESS, 255: every ECU]
  diag.clear  step=prepare address=ADDRESS [codes=previous|active], then
              step=confirm address=ADDRESS [codes=...] token=TOKEN (from prepare)
  capture     [seconds=S, 1-300]; --output FILE writes the candump log
An ARG is NAME=VALUE (VALUE read as JSON when it is JSON, else as text), or
one JSON object with all of them.

The command goes to PREFIX/VEHICLE/cmd (QoS 1, not retained), signed with
--key, valid for --lifetime seconds. The results come on
PREFIX/VEHICLE/cmd/ID: "accepted" and "running" are said on standard error,
the final one (succeeded, failed, rejected, expired) is printed as the JSON
the gateway sent. Retained messages there are not the gateway's and are
ignored. A message the gateway cannot tie to a signed command is answered
on PREFIX/VEHICLE/cmd/_rejected with the SHA-256 of what was published:
that answer is printed when it is this command's.

Exit status of command: 0 succeeded; 2 bad command line, key or arguments;
5 the command ran and failed; 6 no final result within --wait (or no
broker); 7 rejected or expired; 8 the broker refused the connection or the
subscription."""


def parse_arguments(items):
    """The command's arguments: one JSON object, or NAME=VALUE items."""
    if len(items) == 1 and items[0].lstrip().startswith("{"):
        try:
            value = json.loads(items[0])
        except ValueError as e:
            raise ValueError(f"the arguments are not JSON: {e}") from None
        if not isinstance(value, dict):
            raise ValueError("the arguments must be a JSON object")
        return value
    arguments = {}
    for item in items:
        name, sep, text = item.partition("=")
        if not sep or not name:
            raise ValueError(f"'{item}' is not NAME=VALUE")
        if name in arguments:
            raise ValueError(f"{name} is given twice")
        try:
            arguments[name] = json.loads(text)
        except ValueError:
            arguments[name] = text
    return arguments


class Exchange:
    """One command at the broker: subscribe to its answers, publish it, wait
    for the final result."""

    def __init__(self, client, where, envelope, topics, say, verbose):
        self.client = client
        self.where = where  # (host, port)
        self.envelope = envelope
        self.digest = hashlib.sha256(envelope).hexdigest()
        self.result_topic, self.rejected_topic = topics
        self.say = say
        self.verbose = verbose
        self.refused = None
        self.lost = None
        self.published_at = None
        self.acknowledged = False
        self.final = None
        self._publish_mid = None
        client.on_connect = self._connected
        client.on_subscribe = self._subscribed
        client.on_publish = self._published
        client.on_message = self._message
        client.on_disconnect = self._disconnected

    def _connected(self, client, userdata, flags, rc):
        if rc != 0:
            self.refused = refusal(rc, *self.where, f"--user and ${PASSWORD_VARIABLE}")
            self.lost = f"the broker refused the connection ({rc})"
            return
        # The answers' topics first, so that no answer can come before them.
        client.subscribe([(self.result_topic, 1), (self.rejected_topic, 1)])

    def _subscribed(self, client, userdata, mid, granted_qos):
        if any(q == 0x80 for q in granted_qos):
            self.refused = (f"the broker refused the subscription to {self.result_topic} or "
                            f"{self.rejected_topic}")
            return
        self.published_at = time.monotonic()
        self._publish_mid = client.publish(self.result_topic.rsplit("/", 1)[0], self.envelope,
                                           qos=1, retain=False).mid

    def _published(self, client, userdata, mid):
        if mid == self._publish_mid:
            self.acknowledged = True

    def _message(self, client, userdata, message):
        if message.retain:
            # Results are never retained: this is someone else's message.
            if self.verbose:
                self.say(f"ignored a retained message on {message.topic}")
            return
        try:
            answer = json.loads(message.payload)
        except ValueError:
            self.say(f"ignored a message on {message.topic} that is not JSON")
            return
        if not isinstance(answer, dict):
            return
        if message.topic == self.rejected_topic:
            if answer.get("sha256") == self.digest:
                self.final = answer
            return
        outcome = answer.get("outcome")
        if outcome in ("accepted", "running"):
            if self.verbose:
                self.say(f"{outcome} after {self.elapsed():.2f} s")
            return
        self.final = answer

    def _disconnected(self, client, userdata, rc):
        if rc != 0 and self.lost is None:
            self.lost = "connection closed"

    def elapsed(self):
        return time.monotonic() - self.published_at if self.published_at else 0.0

    def run(self, wait_s):
        """True once the final result (or, with wait_s 0, the broker's
        acknowledgement of the command) came within wait_s."""
        deadline = None if wait_s == 0 else time.monotonic() + wait_s
        while self.refused is None and self.lost is None:
            if wait_s == 0 and self.acknowledged:
                return True
            if self.final is not None:
                return True
            if deadline is not None and time.monotonic() > deadline:
                return False
            rc = self.client.loop(timeout=0.1)
            if rc != 0 and self.lost is None:
                self.lost = f"lost the broker (rc {rc})"
        return False


def write_capture(result, path):
    """The capture's candump log, unpacked, to path."""
    import zstandard
    data = zstandard.ZstdDecompressor().decompress(base64.b64decode(result["data"]))
    with open(path, "wb") as f:
        f.write(data)
    return len(data)


@register
class Command:
    name = "command"
    help = "send a signed command to a vehicle and print its result"
    description = ("Signs a command for one of vehcan's gateways with a key its vehcan.conf "
                   "knows, publishes it to the broker, waits for the gateway's final result "
                   "and prints it as JSON.")
    epilog = OPERATIONS

    @staticmethod
    def arguments(parser):
        parser.add_argument("vehicle", metavar="VEHICLE",
                            help="the gateway's topic level: its VIN, or its configured vehicle "
                                 "id before it knows the VIN")
        parser.add_argument("operation", metavar="OPERATION",
                            help="request, scan, diag.read, diag.clear or capture")
        parser.add_argument("args", nargs="*", metavar="ARG",
                            help="the operation's arguments, NAME=VALUE or a JSON object")
        parser.add_argument("--key", required=True, metavar="FILE",
                            help="the signing key (from keygen)")
        parser.add_argument("--wait", type=float, default=60, metavar="S",
                            help="seconds to wait for the final result (default 60; 0: only "
                                 "publish, print the command and end)")
        parser.add_argument("--lifetime", type=int, default=300, metavar="S",
                            help="seconds the command stays valid (default 300)")
        parser.add_argument("--id", dest="command_id", metavar="ID",
                            help="the command's id (default: a new one)")
        parser.add_argument("--mqtt", default="mqtt://127.0.0.1:1883", metavar="URL",
                            help="the broker, mqtt://host[:port] or mqtts://host[:port] "
                                 "(default mqtt://127.0.0.1:1883)")
        parser.add_argument("--topic-prefix", default="vehcan", metavar="PREFIX",
                            help="the gateways' topic prefix (default vehcan)")
        add_login_options(parser, "--cert-key")
        parser.add_argument("--output", metavar="FILE",
                            help="capture: write the frames (a candump log) to FILE")
        parser.add_argument("-v", "--verbose", action="store_true",
                            help="say the command's id, accepted, running and the time taken")

    @staticmethod
    def run(args, out, say):
        import vehcan_commands as vc
        problem = login_problem(args, args.mqtt, "--mqtt", "--cert-key")
        if problem:
            say(problem)
            return EXIT_USAGE
        if args.wait < 0:
            say("--wait must be 0 or more")
            return EXIT_USAGE
        vehicle = topic_level(args.vehicle)
        if vehicle != args.vehicle:
            say(f"'{args.vehicle}' cannot be a topic level (no / + # or spaces)")
            return EXIT_USAGE
        prefix = args.topic_prefix.rstrip("/")
        if not prefix or any(c in prefix for c in "+#"):
            say("--topic-prefix must not be empty nor hold '+' or '#'")
            return EXIT_USAGE
        try:
            arguments = parse_arguments(args.args)
            envelope, command = vc.sign(args.key, vehicle, args.operation, arguments,
                                        args.lifetime, command_id=args.command_id)
        except (ValueError, vc.CommandError) as e:
            say(str(e))
            return EXIT_USAGE
        except OSError as e:
            say(f"--key {args.key}: {e.strerror}")
            return EXIT_USAGE
        if args.verbose:
            say(f"command {command['id']}: {args.operation} for {vehicle}, valid until "
                f"{time.strftime('%H:%M:%S', time.localtime(command['expires_at']))}")

        client_id = f"vehcan-fleet-command-{socket.gethostname()}-{os.getpid()}-" \
                    f"{uuid.uuid4().hex[:8]}"
        try:
            client, host, port = make_client(args.mqtt, client_id, user=args.user, ca=args.ca,
                                             cert=args.cert, key=args.tls_key)
        except (OSError, ValueError) as e:
            say(f"TLS: {e}")
            return EXIT_USAGE
        base = f"{prefix}/{vehicle}/cmd"
        exchange = Exchange(client, (host, port), envelope,
                            (f"{base}/{command['id']}", f"{base}/_rejected"), say, args.verbose)
        try:
            client.connect(host, port, keepalive=30)
        except OSError as e:
            say(f"no connection to {host}:{port}: {e.strerror or e}")
            return EXIT_NO_RESULT
        done = exchange.run(args.wait)
        client.disconnect()
        if exchange.refused:
            say(exchange.refused)
            return EXIT_BROKER
        if args.wait == 0:
            if not done:
                say(f"the broker at {host}:{port} did not take the command: {exchange.lost}")
                return EXIT_NO_RESULT
            out.write(json.dumps(command, separators=(",", ":")) + "\n")
            return EXIT_OK
        if not done:
            why = exchange.lost or f"no final result within {args.wait:g} s"
            say(f"command {command['id']}: {why}")
            return EXIT_NO_RESULT
        final = exchange.final
        out.write(json.dumps(final, separators=(",", ":")) + "\n")
        out.flush()
        outcome = final.get("outcome")
        if args.verbose:
            say(f"{outcome} after {exchange.elapsed():.2f} s")
        if outcome == "succeeded":
            if args.output and args.operation == "capture":
                try:
                    n = write_capture(final.get("result", {}), args.output)
                except (OSError, ValueError, KeyError) as e:
                    say(f"--output {args.output}: {e}")
                    return EXIT_FAILED
                if args.verbose:
                    say(f"{n} bytes of candump log in {args.output}")
            return EXIT_OK
        if outcome == "failed":
            return EXIT_FAILED
        return EXIT_REFUSED
