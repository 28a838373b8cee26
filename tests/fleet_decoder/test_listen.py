# SPDX-License-Identifier: MIT
"""vehcan-fleet listen against Debian's mosquitto on 127.0.0.1: the
retained birth of a vehicle that published before listen came, lines as
batches come, a seq gap and a duplicate said, a batch kept until its birth
comes, the broker gone and back (listen connects again, the gateway's birth
sent again is silent, a grown birth decodes), and TLS with a client
certificate and a password from the environment."""

import os
import signal
import ssl
import subprocess
import sys
import time
import unittest

import paho.mqtt.client as paho

import support
from support import BASE_MS, batch, birth, payload, series, signal as make_signal

sys.path.insert(0, os.path.join(support.SOURCE, "tests", "mqtt"))
from broker import WAIT_S, Broker, wait_until  # noqa: E402


class Gateway:
    """Publishes as a gateway would (QoS 1, births retained)."""

    def __init__(self, port, tls=None, user=None, password=None):
        self.client = paho.Client(client_id=f"vehcan-test-{os.getpid()}",
                                  protocol=paho.MQTTv311)
        if tls:
            context = ssl.create_default_context(cafile=tls["ca"])
            context.load_cert_chain(tls["cert"], tls["key"])
            self.client.tls_set_context(context)
        if user:
            self.client.username_pw_set(user, password)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def send(self, leaf, message, vehicle="truck-17"):
        info = self.client.publish(f"vehcan/{vehicle}/{leaf}", payload(message), qos=1,
                                   retain=leaf == "birth")
        info.wait_for_publish(WAIT_S)
        if not info.is_published():
            raise AssertionError(f"could not publish {leaf}")

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


class Listener:
    def __init__(self, directory, url, *args, env=None):
        self.out_path = os.path.join(directory, "listen.out")
        self.err_path = os.path.join(directory, "listen.err")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.process = support.popen("listen", url, *args, stdout=self._out, stderr=self._err,
                                     env=env)

    def read(self, path):
        with open(path, encoding="utf-8") as f:
            return f.read()

    def lines(self):
        return self.read(self.out_path).splitlines()

    def errors(self):
        return self.read(self.err_path).splitlines()

    def saying(self, text):
        return [line for line in self.errors() if text in line]

    def wait_lines(self, n):
        wait_until(lambda: len(self.lines()) >= n or self.process.poll() is not None,
                   f"{n} lines")
        return self.lines()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=WAIT_S)
        self._out.close()
        self._err.close()
        return status


def speed(seq, raw, birth_id=1, alias=1):
    return batch(seq, birth_id, signals=[series(alias, numbers=[(BASE_MS + seq, raw)])])


def values(lines):
    return [(dict(o)["name"], dict(o)["value"]) for o in support.lines_of("\n".join(lines))]


class TestListen(support.ScratchCase):
    def test_births_batches_gaps_duplicates_and_a_broker_that_comes_back(self):
        broker = Broker(self.scratch, "allow_anonymous true", "persistence false")
        self.addCleanup(lambda: broker.process.poll() is not None or broker.stop())
        gateway = Gateway(broker.port)
        gateway.send("birth", birth())  # before listen: it gets the retained one
        listen = Listener(self.scratch, f"mqtt://127.0.0.1:{broker.port}")
        self.addCleanup(listen.stop)
        wait_until(lambda: listen.saying("subscribed at"), "the subscription")
        self.assertEqual(listen.errors(), [
            f"vehcan-fleet: subscribed at 127.0.0.1:{broker.port} to vehcan/+/birth, "
            "vehcan/+/batch"])

        for seq in (1, 2, 2, 5):
            gateway.send("batch", speed(seq, 8000 + seq * 8))
        # a batch of a birth that has not come yet, then its birth (grown:
        # a new signal beside the old ones)
        grown = birth(birth_id=2, signals=support.truck_signals() + [
            make_signal(8, 65269, 171, "ambient air temperature", unit="°C", scale=0.03125,
                        offset=-273, tolerance=0.5)])
        gateway.send("batch", batch(6, 2, signals=[series(8, numbers=[(BASE_MS, 9344)])]))
        time.sleep(1)
        self.assertEqual(len(listen.lines()), 3, "a batch decoded before its birth came")
        gateway.send("birth", grown)
        lines = listen.wait_lines(4)
        self.assertEqual(values(lines), [("engine speed", 1001.0), ("engine speed", 1002.0),
                                         ("engine speed", 1005.0),
                                         ("ambient air temperature", 19.0)])
        self.assertEqual(listen.errors()[1:], [
            "vehcan-fleet: truck-17: batch seq 2 again: a duplicate, skipped",
            "vehcan-fleet: truck-17: 2 batches lost: seq 3 to 4"])

        # The broker goes and comes back without what it kept; the gateway
        # sends its birth again on its new connection, then goes on.
        broker.stop()
        wait_until(lambda: listen.saying("lost the broker"), "the loss noticed")
        self.assertTrue(broker.start(), "mosquitto did not start again")
        wait_until(lambda: len(listen.saying("subscribed at")) == 2, "a new subscription")
        gateway.close()
        gateway = Gateway(broker.port)
        self.addCleanup(gateway.close)
        gateway.send("birth", grown)
        gateway.send("batch", speed(7, 8056, birth_id=2))
        third = birth(birth_id=3, signals=list(grown.signals) + [
            make_signal(9, 65266, 183, "fuel rate", unit="L/h", scale=0.05, tolerance=0.1)])
        gateway.send("birth", third)
        gateway.send("batch", batch(8, 3, signals=[series(9, numbers=[(BASE_MS, 300)])]))
        lines = listen.wait_lines(6)
        self.assertEqual(values(lines[4:]), [("engine speed", 1007.0), ("fuel rate", 15.0)])
        self.assertEqual(listen.stop(), 0)
        # The birth sent again and the continuing seq said nothing more.
        # (While the broker was away, tries that found no one may be said.)
        said = [e for e in listen.errors()
                if "subscribed at" not in e and "no connection to" not in e]
        self.assertEqual(said[2:], [f"vehcan-fleet: lost the broker 127.0.0.1:{broker.port}: "
                                    "connection closed; trying again in 1 s"])


class TestTls(support.ScratchCase):
    def pki(self):
        d = self.path("pki")
        os.makedirs(d)

        def openssl(*args):
            subprocess.run(["openssl", *args], cwd=d, check=True, capture_output=True)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=vehcan-test-ca", "-keyout", "ca.key", "-out", "ca.crt")
        with open(os.path.join(d, "server.ext"), "w", encoding="utf-8") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        for name, extra in (("server", ["-extfile", "server.ext"]), ("client", [])):
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}", "-keyout",
                    f"{name}.key", "-out", f"{name}.csr")
            openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "2", *extra, "-out", f"{name}.crt")
        subprocess.run(["mosquitto_passwd", "-b", "-c", os.path.join(d, "passwords"), "fleet",
                        "right-secret"], check=True, capture_output=True)
        return {name: os.path.join(d, name) for name in
                ("ca.crt", "server.crt", "server.key", "client.crt", "client.key", "passwords")}

    def test_tls_client_certificate_and_password(self):
        f = self.pki()
        broker = Broker(self.scratch, "allow_anonymous false", "persistence false",
                        f"password_file {f['passwords']}", f"cafile {f['ca.crt']}",
                        f"certfile {f['server.crt']}", f"keyfile {f['server.key']}",
                        "require_certificate true")
        self.addCleanup(broker.stop)
        tls = dict(ca=f["ca.crt"], cert=f["client.crt"], key=f["client.key"])
        gateway = Gateway(broker.port, tls=tls, user="fleet", password="right-secret")
        self.addCleanup(gateway.close)
        gateway.send("birth", birth(vehicle="1HTMKAAN0CH123456"), vehicle="1HTMKAAN0CH123456")
        url = f"mqtts://127.0.0.1:{broker.port}"
        options = ["--user", "fleet", "--ca", f["ca.crt"], "--cert", f["client.crt"], "--key",
                   f["client.key"], "--vehicle", "1HTMKAAN0CH123456"]

        env = dict(os.environ, VEHCAN_MQTT_PASSWORD="right-secret")
        listen = Listener(self.scratch, url, *options, env=env)
        self.addCleanup(listen.stop)
        wait_until(lambda: listen.saying("subscribed at"), "the subscription over TLS")
        gateway.send("batch", speed(1, 10526), vehicle="1HTMKAAN0CH123456")
        gateway.send("batch", speed(2, 10534), vehicle="other")  # not this vehicle
        gateway.send("batch", speed(3, 10542), vehicle="1HTMKAAN0CH123456")
        lines = listen.wait_lines(2)
        self.assertEqual(listen.stop(), 0)
        self.assertEqual([dict(o)["vehicle"] for o in support.lines_of("\n".join(lines))],
                         ["1HTMKAAN0CH123456"] * 2)
        self.assertEqual(values(lines), [("engine speed", 1315.75), ("engine speed", 1317.75)])
        self.assertEqual(listen.saying("lost"), ["vehcan-fleet: 1HTMKAAN0CH123456: batch seq 2 "
                                                 "lost"])

        env["VEHCAN_MQTT_PASSWORD"] = "wrong"
        done = support.program("listen", url, *options, env=env, timeout=WAIT_S * 2)
        self.assertEqual(done.returncode, 8, done.stderr)
        self.assertEqual(done.stderr.splitlines()[-1],
                         f"vehcan-fleet: the broker at 127.0.0.1:{broker.port} refused the "
                         "connection (not authorised): check --user and $VEHCAN_MQTT_PASSWORD")


if __name__ == "__main__":
    unittest.main(verbosity=2)
