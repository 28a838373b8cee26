# SPDX-License-Identifier: MIT
"""The fleet's side of commands (tools/vehcan-fleet/vehcan_commands.py):
keys, envelopes, the vector the gateway checks too, and signatures made on
each side verified on the other (tests/commands_tool.cpp is the gateway's
parser and verifier as a program).

VEHCAN_SOURCE_DIR names the checkout; VEHCAN_COMMANDS_TOOL the program,
VEHCAN_RUN the emulator that runs it in a cross build."""

import base64
import json
import os
import shlex
import stat
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("VEHCAN_SOURCE_DIR",
                        os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "vehcan-fleet"))

import nacl.signing  # noqa: E402
import vehcan_commands as vc  # noqa: E402

TOOL = os.environ.get("VEHCAN_COMMANDS_TOOL", "")
RUN = shlex.split(os.environ.get("VEHCAN_RUN", ""))
NOW = 1718000000


def load_vector():
    with open(os.path.join(SOURCE, "tests", "commands", "vector.json"), encoding="ascii") as f:
        return json.load(f)


def tool(*args, stdin=b""):
    return subprocess.run(RUN + [TOOL, *args], input=stdin, capture_output=True, timeout=60,
                          check=False)


class Scratch(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def new_key(self, key_id="fleet-1", name="fleet.key"):
        path = os.path.join(self.dir, name)
        line = vc.keygen(path, key_id)
        return path, line


class Keys(Scratch):
    def test_keygen_writes_a_private_file_and_prints_the_conf_line(self):
        path, line = self.new_key()
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        key_id, key = vc.load_key(path)
        self.assertEqual(key_id, "fleet-1")
        public = base64.b64encode(bytes(key.verify_key)).decode()
        self.assertEqual(line, f'"fleet-1" = "{public}"')
        # Never over an existing key.
        with self.assertRaisesRegex(vc.CommandError, "never overwritten"):
            vc.keygen(path, "fleet-2")
        self.assertEqual(vc.load_key(path)[0], "fleet-1")

    def test_a_key_others_may_read_or_a_bad_id_is_refused(self):
        path, _ = self.new_key()
        os.chmod(path, 0o640)
        with self.assertRaisesRegex(vc.CommandError, "mode 0640"):
            vc.load_key(path)
        with self.assertRaises(vc.CommandError):
            vc.keygen(os.path.join(self.dir, "other.key"), "fleet 1")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "other.key")))

    def test_the_program_makes_a_key_and_a_verifiable_envelope(self):
        path = os.path.join(self.dir, "k")
        out = subprocess.run([sys.executable, "-B", vc.__file__, "keygen", "--key-id", "ops",
                              path], capture_output=True, text=True, check=True).stdout
        public = json.loads("{" + out.strip().replace(" = ", ":") + "}")["ops"]
        signed = subprocess.run([sys.executable, "-B", vc.__file__, "sign", "--key", path,
                                 "--id", "c-9", "truck-7", "request", '{"pgn":65260}'],
                                capture_output=True, check=True).stdout
        shown = subprocess.run([sys.executable, "-B", vc.__file__, "verify", "--public",
                                f"ops={public}"], input=signed, capture_output=True,
                               check=True).stdout
        command = json.loads(shown)
        self.assertEqual((command["id"], command["vehicle"], command["arguments"]),
                         ("c-9", "truck-7", {"pgn": 65260}))
        self.assertEqual(command["expires_at"] - command["issued_at"], 300)


class Envelopes(unittest.TestCase):
    def test_the_shared_vector(self):
        v = load_vector()
        key = nacl.signing.SigningKey(base64.b64decode(v["seed"]))
        self.assertEqual(base64.b64encode(bytes(key.verify_key)).decode(), v["public"])
        command = json.loads(v["body"])
        body = vc.make_body(command)
        self.assertEqual(body.decode(), v["body"])
        self.assertEqual(vc.signed_bytes(v["key_id"], body).hex(), v["signed_bytes_hex"])
        self.assertEqual(vc.make_envelope(key, v["key_id"], body).decode(), v["envelope"])
        self.assertEqual(vc.verify(v["envelope"].encode(), {v["key_id"]: v["public"]}), command)

    def test_verify_names_the_gateways_reason(self):
        key = nacl.signing.SigningKey.generate()
        other = nacl.signing.SigningKey.generate()
        body = vc.make_body(vc.new_command("truck-7", "scan", now=NOW))
        envelope = vc.make_envelope(key, "fleet-1", body)
        keys = {"fleet-1": bytes(key.verify_key)}
        self.assertEqual(vc.verify(envelope, keys)["operation"], "scan")
        with self.assertRaisesRegex(vc.CommandError, "^unknown_key"):
            vc.verify(envelope, {"fleet-2": bytes(key.verify_key)})
        with self.assertRaisesRegex(vc.CommandError, "^bad_signature"):
            vc.verify(envelope, {"fleet-1": bytes(other.verify_key)})
        with self.assertRaisesRegex(vc.CommandError, "^malformed"):
            vc.verify(envelope[:-1], keys)
        doubled = envelope[:-1] + b',"v":1}'
        with self.assertRaisesRegex(vc.CommandError, "given twice"):
            vc.verify(doubled, keys)

    def test_commands_the_gateway_would_refuse_are_not_made(self):
        for change in ({"id": "a/b"}, {"vehicle": "truck 7"}, {"operation": "Scan"},
                       {"nonce": "short"}, {"arguments": []}, {"issued_at": 1.5},
                       {"expires_at": NOW}):
            command = vc.new_command("truck-7", "scan", now=NOW)
            command.update(change)
            with self.assertRaises(vc.CommandError, msg=str(change)):
                vc.make_body(command)
        with self.assertRaisesRegex(vc.CommandError, "more than 8192"):
            vc.make_body(vc.new_command("truck-7", "scan", {"x": "y" * 9000}, now=NOW))

    def test_new_commands_get_fresh_ids_and_nonces(self):
        a = vc.new_command("truck-7", "scan", now=NOW)
        b = vc.new_command("truck-7", "scan", now=NOW)
        self.assertNotEqual(a["id"], b["id"])
        self.assertNotEqual(a["nonce"], b["nonce"])
        self.assertEqual(len(a["nonce"]), 22)


@unittest.skipUnless(TOOL, "VEHCAN_COMMANDS_TOOL is not set")
class CrossLanguage(Scratch):
    def test_python_signs_and_the_gateway_verifies(self):
        path, line = self.new_key("fleet-py")
        public = line.split(" = ")[1].strip('"')
        envelope, command = vc.sign(path, "1FUJGLDR5CLBP8834", "diag.clear",
                                    {"step": "prepare", "address": 0, "note": "é ü"}, now=NOW)
        r = tool("verify", f"fleet-py={public}", stdin=envelope)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(json.loads(r.stdout), command)

        # One changed byte of the body, or another key: refused.
        outer = json.loads(envelope)
        body = bytearray(base64.b64decode(outer["body"]))
        body[10] ^= 0x01
        outer["body"] = base64.b64encode(bytes(body)).decode()
        r = tool("verify", f"fleet-py={public}", stdin=json.dumps(outer).encode())
        self.assertEqual((r.returncode, r.stderr.strip()), (1, b"bad_signature"))
        _, other_line = self.new_key("fleet-py", "other.key")
        other = other_line.split(" = ")[1].strip('"')
        r = tool("verify", f"fleet-py={other}", stdin=envelope)
        self.assertEqual((r.returncode, r.stderr.strip()), (1, b"bad_signature"))
        r = tool("verify", f"fleet-xx={public}", stdin=envelope)
        self.assertEqual((r.returncode, r.stderr.strip()), (1, b"unknown_key"))

    def test_the_gateway_signs_and_python_verifies(self):
        path, line = self.new_key("fleet-cc")
        public = line.split(" = ")[1].strip('"')
        r = tool("sign", path, "c-42", "truck-7", "request", '{"pgn":65260,"to":0}', str(NOW),
                 str(NOW + 60), "AAAAAAAAAAAAAAAAAAAAAA")
        self.assertEqual(r.returncode, 0, r.stderr)
        command = vc.verify(r.stdout.strip(), {"fleet-cc": public})
        self.assertEqual(command, {
            "id": "c-42", "vehicle": "truck-7", "operation": "request",
            "arguments": {"pgn": 65260, "to": 0}, "issued_at": NOW, "expires_at": NOW + 60,
            "nonce": "AAAAAAAAAAAAAAAAAAAAAA"})
        # The two sides write the same body for the same command, and
        # Ed25519 is deterministic: the envelopes are the same bytes.
        _, key = vc.load_key(path)
        self.assertEqual(vc.make_envelope(key, "fleet-cc", vc.make_body(command)),
                         r.stdout.strip())


if __name__ == "__main__":
    unittest.main()
