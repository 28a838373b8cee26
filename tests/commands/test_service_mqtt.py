# SPDX-License-Identifier: MIT
"""The service's commands against Debian's mosquitto on 127.0.0.1, through
commands_gateway (vehcan monitor's wiring of commands, whose operations
write each run to a file: the witness) and the fleet's side
(vehcan_commands, vehcan-fleet command):

  - every rejection class is answered, on the command's topic or, unsigned,
    on cmd/_rejected, and runs nothing;
  - a duplicate delivery gets the stored result; a command replayed after
    a clean stop, or after the gateway was killed, is not run again; one
    killed while it ran is answered interrupted at the next start;
  - the persistent session: commands sent while the gateway is away arrive
    when it connects again, and one that expired meanwhile is answered
    expired and not run; the last will still says offline;
  - the VIN renames the topics and the gateway subscribes again under it;
  - vehcan-fleet command end to end, with its exit statuses;
  - a record that cannot be opened: nothing subscribed.

VEHCAN_COMMANDS_GATEWAY names the program, VEHCAN_RUN an emulator for it."""

import base64
import hashlib
import json
import os
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SOURCE = os.environ.get("VEHCAN_SOURCE_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PACKAGE_DIR = os.path.join(SOURCE, "tools", "vehcan-fleet")
PYTHON = os.environ.get("VEHCAN_PYTHON3", sys.executable)
GATEWAY = os.environ.get("VEHCAN_COMMANDS_GATEWAY", "")
RUN = shlex.split(os.environ.get("VEHCAN_RUN", ""))
sys.path.insert(0, PACKAGE_DIR)
sys.path.insert(0, os.path.join(SOURCE, "tests", "mqtt"))
sys.dont_write_bytecode = True

import nacl.signing  # noqa: E402
import paho.mqtt.client as paho  # noqa: E402
import vehcan_commands as vc  # noqa: E402
from broker import WAIT_S, Broker, wait_until  # noqa: E402

VEHICLE = "truck-7"
VIN = "1HTMKAAN0CH123456"
FLEET = nacl.signing.SigningKey(bytes([7]) * 32)
OTHER = nacl.signing.SigningKey(bytes([9]) * 32)


def public(key):
    return base64.b64encode(bytes(key.verify_key)).decode("ascii")


def envelope(cmd, key=FLEET, key_id="fleet-1"):
    return vc.make_envelope(key, key_id, vc.make_body(cmd))


def command(cid, operation="diag.read", arguments=None, issued=None, lifetime=300,
            vehicle=VEHICLE, nonce=None):
    return vc.new_command(vehicle, operation, arguments or {}, lifetime,
                          int(time.time()) if issued is None else issued, cid,
                          nonce or f"nonce-{cid}-0123456789")


class Listener:
    """Everything under vehcan/#: (topic, JSON or text, retain flag)."""

    def __init__(self, port):
        self.messages = []
        self.lock = threading.Lock()
        self.client = paho.Client(client_id=f"listener-{os.getpid()}-{time.monotonic_ns()}",
                                  protocol=paho.MQTTv311)
        self.client.on_message = self._message
        self.client.connect("127.0.0.1", port)
        self.client.subscribe("vehcan/#", 1)
        self.client.loop_start()
        probe = f"vehcan/probe/{time.monotonic_ns()}"
        self.client.publish(probe, "up", qos=1)
        wait_until(lambda: self.on(probe), "the listener's subscription")

    def _message(self, client, userdata, m):
        try:
            body = json.loads(m.payload)
        except ValueError:
            body = m.payload.decode("utf-8", "replace")
        with self.lock:
            self.messages.append((m.topic, body, m.retain))

    def on(self, topic):
        with self.lock:
            return [b for t, b, _ in self.messages if t == topic]

    def answers(self, cid, vehicle=VEHICLE):
        return self.on(f"vehcan/{vehicle}/cmd/{cid}")

    def outcomes(self, cid, vehicle=VEHICLE):
        return [a.get("outcome") for a in self.answers(cid, vehicle)]

    def final(self, cid, vehicle=VEHICLE):
        """The final answer of a command, waited for."""
        def done():
            return [a for a in self.answers(cid, vehicle)
                    if a.get("outcome") not in ("accepted", "running")]
        wait_until(done, f"the final answer of {cid}")
        return done()[-1]

    def unattributed(self, payload):
        digest = hashlib.sha256(payload).hexdigest()
        wait_until(lambda: [a for a in self.on(f"vehcan/{VEHICLE}/cmd/_rejected")
                            if a.get("sha256") == digest], "the answer on cmd/_rejected")
        return [a for a in self.on(f"vehcan/{VEHICLE}/cmd/_rejected")
                if a.get("sha256") == digest][-1]

    def publish(self, payload, topic=f"vehcan/{VEHICLE}/cmd", retain=False):
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish(WAIT_S)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Gateway:
    """commands_gateway with a vehcan.conf of the test's own."""

    def __init__(self, scratch, port, extra="", spool=None, vin=None):
        self.scratch = scratch
        self.runs_file = os.path.join(scratch, "runs.txt")
        self.err = os.path.join(scratch, "gateway.err")
        self.config = os.path.join(scratch, "vehcan.conf")
        spool = spool or os.path.join(scratch, "spool")
        with open(self.config, "w", encoding="utf-8") as f:
            f.write(f'[mqtt]\nurl = "mqtt://127.0.0.1:{port}"\nvehicle = "{VEHICLE}"\n'
                    f'[spool]\ndir = "{spool}"\n[collection]\nuplink = "json"\n'
                    f'[commands]\nenabled = true\nmax_lifetime = 3600\n'
                    f'allowed_operations = ["request", "scan", "diag.read", "diag.clear"]\n'
                    f'allowed_pgns = [65260]\n{extra}'
                    f'[commands.keys]\n"fleet-1" = "{public(FLEET)}"\n')
        self.vin = vin
        self.process = None

    def start(self, wait_for=f"vehcan/{VEHICLE}/cmd"):
        self.offset = os.path.getsize(self.err) if os.path.exists(self.err) else 0
        args = RUN + [GATEWAY, "--config", self.config, "--runs", self.runs_file]
        if self.vin:
            args += ["--vin", self.vin, "--vin-after", "1"]
        with open(self.err, "ab") as err:
            self.process = subprocess.Popen(args, stderr=err)
        if wait_for:
            wait_until(lambda: self.saying(f"mqtt: subscribed to {wait_for}"),
                       f"the subscription to {wait_for}")

    def said(self):
        with open(self.err, encoding="utf-8", errors="replace") as f:
            f.seek(self.offset)
            return f.read()

    def saying(self, text):
        return text in self.said()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=WAIT_S)
        self.process = None
        return status

    def kill(self):
        self.process.kill()
        self.process.wait(timeout=WAIT_S)
        self.process = None

    def runs(self):
        if not os.path.exists(self.runs_file):
            return []
        with open(self.runs_file, encoding="utf-8") as f:
            return [line.split(" ", 2)[0] for line in f]


class ServiceCase(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="vehcan-commands.")
        self.broker = Broker(self.scratch, "allow_anonymous true", "persistence false")
        self.listener = Listener(self.broker.port)
        self.gateways = []

    def tearDown(self):
        for g in self.gateways:
            if g.process is not None:
                g.kill()
        self.listener.close()
        self.broker.stop()
        subprocess.run(["rm", "-rf", self.scratch], check=False)

    def gateway(self, **kw):
        g = Gateway(self.scratch, self.broker.port, **kw)
        self.gateways.append(g)
        return g

    def send(self, cmd, **kw):
        self.listener.publish(envelope(cmd, **kw))


class Rejections(ServiceCase):
    def test_every_rejection_class_is_answered_and_runs_nothing(self):
        # A retained command, there before the gateway first subscribes.
        self.listener.publish(envelope(command("r-1")), retain=True)
        g = self.gateway()
        started = int(time.time())
        g.start()
        self.assertEqual(self.listener.final("r-1")["reason"], "retained")
        self.listener.publish(b"", retain=True)  # (cleared: no answer to that)

        # Before the signature: answered on cmd/_rejected with the digest.
        unsigned = {b"not json": "malformed",
                    envelope(command("u-1"), OTHER, "fleet-9"): "unknown_key",
                    envelope(command("u-2"), OTHER, "fleet-1"): "bad_signature"}
        for payload, reason in unsigned.items():
            self.listener.publish(payload)
            answer = self.listener.unattributed(payload)
            self.assertEqual((answer["outcome"], answer["reason"]), ("rejected", reason))
            self.assertNotIn("id", answer)

        # Signed: each on its own topic.
        now = int(time.time())
        body = json.loads(vc.make_body(command("m-1")))
        body["extra"] = 1
        self.listener.publish(vc.make_envelope(FLEET, "fleet-1",
                                               json.dumps(body).encode("ascii")))
        self.send(command("c-1", "diag.read", {"address": 0}))
        self.assertEqual(self.listener.final("c-1")["outcome"], "succeeded")
        cases = {
            "m-1": None,
            "w-1": command("w-1", vehicle="OTHER-9"),
            "e-1": command("e-1", issued=now - 600),
            "f-1": command("f-1", issued=now + 3600),
            "l-1": command("l-1", lifetime=7200),
            "c-1": command("c-1", nonce="a-fresh-nonce-0123456789"),
            "n-2": command("n-2", nonce="nonce-c-1-0123456789"),
            "h-1": command("h-1", issued=started - 120, lifetime=3600),
            "o-1": command("o-1", "capture"),
            "a-1": command("a-1", "scan", {"timeout": 60}),
            "p-1": command("p-1", "request", {"pgn": 61444}),
            "t-1": command("t-1", "diag.clear", {"step": "confirm", "address": 0,
                                                 "token": "0" * 32}),
        }
        want = {"m-1": ("rejected", "malformed"), "w-1": ("rejected", "wrong_vehicle"),
                "e-1": ("expired", "expired"), "f-1": ("rejected", "issued_in_future"),
                "l-1": ("rejected", "lifetime_too_long"), "c-1": ("rejected", "replayed"),
                "n-2": ("rejected", "replayed"), "h-1": ("rejected", "replayed"),
                "o-1": ("rejected", "operation_not_allowed"),
                "a-1": ("rejected", "bad_arguments"), "p-1": ("rejected", "pgn_not_allowed"),
                "t-1": ("rejected", "bad_token")}
        for cid, cmd in cases.items():
            if cmd is not None:
                self.send(cmd)
            if cid == "c-1":  # (after its accepted, running and succeeded)
                wait_until(lambda: len(self.listener.answers("c-1")) == 4, "c-1 again")
            answer = self.listener.final(cid)
            self.assertEqual((answer["outcome"], answer["reason"]), want[cid], answer)
            self.assertEqual(answer["id"], cid)
            self.assertTrue(answer["text"])
        # Each answered once, and only the accepted command ran.
        for cid in cases:
            if cid != "c-1":
                self.assertEqual(len(self.listener.answers(cid)), 1, cid)
        self.assertEqual(g.runs(), ["c-1"])
        self.assertEqual(self.listener.outcomes("c-1"),
                         ["accepted", "running", "succeeded", "rejected"])
        # The journal's audit line of each, with its key once it verified.
        g.stop()
        said = g.said()
        for line in ("command c-1 key fleet-1 operation diag.read: succeeded",
                     "command w-1 key fleet-1 operation diag.read: rejected (wrong_vehicle)",
                     "command p-1 key fleet-1 operation request: rejected (pgn_not_allowed)",
                     "command e-1 key fleet-1 operation diag.read: expired (expired)",
                     "command r-1 key fleet-1 operation diag.read: rejected (retained)"):
            self.assertIn(line, said)
        self.assertIn(": rejected (bad_signature)", said)

    def test_past_the_rate_limit_a_command_is_rejected(self):
        g = self.gateway(extra="rate_limit = 2\nrate_period = 600\n")
        g.start()
        for cid in ("k-1", "k-2", "k-3"):
            self.send(command(cid))
            self.listener.final(cid)
        self.assertEqual(self.listener.final("k-3")["reason"], "rate_limited")
        # A restart does not reset the window: it is read from the record.
        g.stop()
        g.start()
        self.send(command("k-4"))
        self.assertEqual(self.listener.final("k-4")["reason"], "rate_limited")
        self.assertEqual(g.runs(), ["k-1", "k-2"])


class Replays(ServiceCase):
    def test_a_command_delivered_again_gets_its_stored_result_and_never_runs_twice(self):
        g = self.gateway()
        g.start()
        payload = envelope(command("c-1", "diag.read", {"address": 0}))
        self.listener.publish(payload)
        first = self.listener.final("c-1")
        self.assertEqual(first["outcome"], "succeeded")
        self.assertEqual(first["result"], {"ran": "diag.read", "arguments": {"address": 0}})

        self.listener.publish(payload)  # a QoS 1 redelivery, or a replay
        wait_until(lambda: len(self.listener.answers("c-1")) == 4, "the stored result again")
        again = self.listener.answers("c-1")[-1]
        self.assertEqual(again, dict(first, duplicate=True))

        # After a clean stop and after a kill (a power cut's loss of the
        # process): the record on the disk says it ran.
        g.stop()
        g.start()
        self.listener.publish(payload)
        wait_until(lambda: len(self.listener.answers("c-1")) == 5, "the stored result again")
        self.assertEqual(self.listener.answers("c-1")[-1], dict(first, duplicate=True))
        g.kill()
        g.start()
        self.listener.publish(payload)
        wait_until(lambda: len(self.listener.answers("c-1")) == 6, "the stored result again")
        self.assertEqual(self.listener.answers("c-1")[-1], dict(first, duplicate=True))
        self.assertEqual(g.runs(), ["c-1"])

    def test_a_command_killed_while_it_ran_is_answered_interrupted_and_not_run_again(self):
        g = self.gateway()
        g.start()
        payload = envelope(command("s-1", "scan", {"timeout": 10}))
        self.listener.publish(payload)
        wait_until(lambda: "running" in self.listener.outcomes("s-1"), "s-1 running")
        g.kill()
        # The last will: the broker says offline for the killed gateway.
        wait_until(lambda: any(s.get("status") == "offline"
                               for s in self.listener.on(f"vehcan/{VEHICLE}/status")),
                   "the last will")
        g.start()
        answer = self.listener.final("s-1")
        self.assertEqual((answer["outcome"], answer["reason"]), ("failed", "interrupted"))
        wait_until(lambda: self.listener.on(f"vehcan/{VEHICLE}/status")[-1].get("status") ==
                   "online", "online again")
        self.listener.publish(payload)
        wait_until(lambda: len(self.listener.answers("s-1")) == 4, "the stored result again")
        self.assertEqual(self.listener.answers("s-1")[-1], dict(answer, duplicate=True))
        self.assertEqual(g.runs(), ["s-1"])
        self.assertIn("1 command of the last run stopped while running", g.said())


class Offline(ServiceCase):
    def test_commands_sent_while_the_gateway_is_away_arrive_and_the_expired_do_not_run(self):
        g = self.gateway()
        g.start()
        self.assertEqual(g.stop(), 0)
        wait_until(lambda: any(s.get("status") == "offline"
                               for s in self.listener.on(f"vehcan/{VEHICLE}/status")),
                   "offline")
        self.send(command("q-1", lifetime=2))
        self.send(command("q-2", "diag.read", {"address": 3}))
        time.sleep(3)  # q-1 expires while the gateway is away
        g.start()
        q1 = self.listener.final("q-1")
        self.assertEqual((q1["outcome"], q1["reason"]), ("expired", "expired"))
        self.assertEqual(self.listener.final("q-2")["outcome"], "succeeded")
        self.assertEqual(g.runs(), ["q-2"])


class Vin(ServiceCase):
    def fleet(self, *args, wait="20"):
        env = dict(os.environ, PYTHONPATH=PACKAGE_DIR)
        return subprocess.run([PYTHON, "-B", "-m", "vehcan_fleet", "command", *args,
                               "--key", self.key, "--mqtt",
                               f"mqtt://127.0.0.1:{self.broker.port}", "--wait", wait, "-v"],
                              capture_output=True, text=True, env=env, timeout=120, check=False)

    def test_the_gateway_answers_under_its_vin_and_vehcan_fleet_command_end_to_end(self):
        self.key = os.path.join(self.scratch, "fleet-1.key")
        with open(self.key, "w", encoding="ascii") as f:
            f.write(json.dumps({"v": 1, "key_id": "fleet-1",
                                "seed": base64.b64encode(bytes(FLEET)).decode()}))
        os.chmod(self.key, 0o600)
        g = self.gateway(vin=VIN)
        g.start(wait_for=f"vehcan/{VIN}/cmd")
        # A retained message on the answer's topic is not the gateway's.
        self.listener.publish(b'{"v":1,"id":"x-1","outcome":"succeeded","result":"forged"}',
                              topic=f"vehcan/{VIN}/cmd/x-1", retain=True)
        done = self.fleet(VIN, "diag.read", "address=0", "--id", "x-1")
        self.assertEqual(done.returncode, 0, done.stderr)
        answer = json.loads(done.stdout)
        self.assertEqual((answer["id"], answer["outcome"]), ("x-1", "succeeded"))
        self.assertEqual(answer["result"], {"ran": "diag.read", "arguments": {"address": 0}})
        self.assertIn("accepted after", done.stderr)
        self.assertIn("ignored a retained message on vehcan/1HTMKAAN0CH123456/cmd/x-1",
                      done.stderr)

        done = self.fleet(VIN, "request", '{"pgn":61444}')
        self.assertEqual(done.returncode, 7, done.stderr)
        self.assertEqual(json.loads(done.stdout)["reason"], "pgn_not_allowed")
        done = self.fleet(VIN, "request", "pgn=65260", "to=85")
        self.assertEqual(done.returncode, 5, done.stderr)
        failed = json.loads(done.stdout)
        self.assertEqual((failed["outcome"], failed["reason"]), ("failed", "operation_failed"))
        # Under its configured name the gateway no longer listens.
        done = self.fleet(VEHICLE, "scan", wait="3")
        self.assertEqual(done.returncode, 6, done.stderr)
        self.assertIn("no final result within 3 s", done.stderr)
        # The command line's own mistakes.
        self.assertEqual(self.fleet(VIN, "scan", "timeout").returncode, 2)
        # A key the gateway does not know: its answer on cmd/_rejected, by digest.
        other = os.path.join(self.scratch, "other.key")
        vc.keygen(other, "fleet-9")
        self.key = other
        done = self.fleet(VIN, "scan")
        self.assertEqual(done.returncode, 7, done.stderr)
        answer = json.loads(done.stdout)
        self.assertEqual((answer["reason"], "id" in answer), ("unknown_key", False))
        self.assertEqual(g.runs(), ["x-1", failed["id"]])


class NoRecord(ServiceCase):
    def test_a_record_that_cannot_be_opened_leaves_the_topic_unsubscribed(self):
        spool = os.path.join(self.scratch, "spool")
        os.makedirs(os.path.join(spool, "commands.db"))  # no database can be made there
        g = self.gateway(spool=spool)
        g.start(wait_for=None)
        wait_until(lambda: g.saying("mqtt: connected to"), "the connection")
        self.assertIn("commands: the record cannot be opened: ", g.said())
        self.assertIn("the command topic is not subscribed", g.said())
        self.send(command("z-1"))
        time.sleep(2)
        self.assertEqual(self.listener.answers("z-1"), [])
        self.assertNotIn("subscribed to", g.said())


if __name__ == "__main__":
    unittest.main(verbosity=2)
