# SPDX-License-Identifier: MIT
"""Debian's mosquitto for the Python tests that need a broker: one on a free
port of 127.0.0.1 with a configuration of the test's own
(VEHCAN_TEST_MOSQUITTO names the program), and bounded waiting."""

import getpass
import os
import random
import socket
import subprocess
import time

MOSQUITTO = os.environ.get("VEHCAN_TEST_MOSQUITTO", "/usr/sbin/mosquitto")
WAIT_S = 30  # generous: the machine may be loaded


def wait_until(condition, what, seconds=WAIT_S):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.1)


class Broker:
    """mosquitto on a free port of 127.0.0.1 with a configuration of its own."""

    def __init__(self, directory, *config):
        self.directory = directory
        for _ in range(20):
            self.port = random.randint(20000, 60000)
            with open(os.path.join(directory, "mosquitto.conf"), "w", encoding="utf-8") as f:
                # (run by root, mosquitto would become the user "mosquitto")
                f.write(f"listener {self.port} 127.0.0.1\nuser {getpass.getuser()}\n")
                f.write("".join(line + "\n" for line in config))
            if self.start():
                return
        raise AssertionError("no free port for mosquitto")

    def start(self):
        self.log = open(os.path.join(self.directory, "mosquitto.log"), "ab")
        self.process = subprocess.Popen(
            [MOSQUITTO, "-c", os.path.join(self.directory, "mosquitto.conf")],
            stdout=self.log, stderr=subprocess.STDOUT)
        end = time.monotonic() + WAIT_S
        while time.monotonic() < end:
            if self.process.poll() is not None:
                return False  # the port was taken
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.1)
        return False

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=WAIT_S)
        self.log.close()
