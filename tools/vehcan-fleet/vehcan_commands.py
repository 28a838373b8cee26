# SPDX-License-Identifier: MIT
"""The fleet's side of vehcan's commands: signing keys and signed envelopes.

A gateway runs a command only when its envelope verifies with a public key
of its configuration ([commands.keys] in vehcan.conf). This module makes the
keys and the envelopes; vehcan-fleet imports it to publish commands.

The envelope (version 1), the MQTT payload of PREFIX/VEHICLE/cmd:

    {"v":1,"key":"fleet-1","body":"<base64>","sig":"<base64>"}

body is the command, a JSON object, carried in base64 so that the bytes
signed are the bytes the gateway receives. The Ed25519 signature covers

    b"vehcan-command-v1" + b"\\0" + KEY_ID + b"\\0" + BODY

docs/commands.md describes the members and every rule the gateway applies.

As a program:

    python3 vehcan_commands.py keygen --key-id fleet-1 FILE
    python3 vehcan_commands.py sign --key FILE VEHICLE OPERATION ['{"pgn":65260}']
    python3 vehcan_commands.py verify --public fleet-1=BASE64 < ENVELOPE
"""

import argparse
import base64
import json
import os
import re
import stat
import sys
import time
import uuid

import nacl.exceptions
import nacl.signing

CONTEXT = b"vehcan-command-v1"
VERSION = 1
MAX_BODY_BYTES = 8192
DEFAULT_LIFETIME_S = 300

_KEY_ID = re.compile(r"[A-Za-z0-9._-]{1,64}\Z")
_COMMAND_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._:-]{0,63}\Z")
_VEHICLE = re.compile(r"[\x21-\x7e]{1,64}\Z")
_OPERATION = re.compile(r"[a-z0-9._]{1,32}\Z")
_NONCE = re.compile(r"[A-Za-z0-9_-]{16,64}\Z")
_BODY_MEMBERS = ("id", "vehicle", "operation", "arguments", "issued_at", "expires_at", "nonce")


class CommandError(ValueError):
    """A key, command or envelope that cannot be used; the message says why."""


# ---- the bytes -------------------------------------------------------------------------------


def signed_bytes(key_id, body):
    """The bytes the signature covers: context, NUL, key id, NUL, body."""
    return CONTEXT + b"\0" + key_id.encode("ascii") + b"\0" + body


def check_command(command):
    """Raises CommandError when the gateway would find the command malformed."""
    if not isinstance(command, dict) or set(command) != set(_BODY_MEMBERS):
        raise CommandError("a command has exactly the members " + ", ".join(_BODY_MEMBERS))
    rules = (
        ("id", _COMMAND_ID, "1-64 of A-Z a-z 0-9 . _ : - starting with a letter or digit"),
        ("operation", _OPERATION, "1-32 of a-z 0-9 . _"),
        ("nonce", _NONCE, "16-64 of A-Z a-z 0-9 _ -"),
    )
    for name, pattern, what in rules:
        if not isinstance(command[name], str) or not pattern.match(command[name]):
            raise CommandError(f"{name} must be {what}")
    vehicle = command["vehicle"]
    if not isinstance(vehicle, str) or not _VEHICLE.match(vehicle) or set("/+#") & set(vehicle):
        raise CommandError("vehicle must be 1-64 printable characters without / + # or space")
    if not isinstance(command["arguments"], dict):
        raise CommandError("arguments must be a JSON object")
    for name in ("issued_at", "expires_at"):
        value = command[name]
        if type(value) is not int or not 0 <= value <= 100000000000:
            raise CommandError(f"{name} must be Unix seconds (an integer)")
    if command["expires_at"] <= command["issued_at"]:
        raise CommandError("expires_at must be after issued_at")


def make_body(command):
    """The body's bytes: compact JSON, ASCII only, members in a fixed order."""
    check_command(command)
    ordered = {name: command[name] for name in _BODY_MEMBERS}
    body = json.dumps(ordered, separators=(",", ":"), ensure_ascii=True, allow_nan=False)
    data = body.encode("ascii")
    if len(data) > MAX_BODY_BYTES:
        raise CommandError(f"the command is {len(data)} bytes, more than {MAX_BODY_BYTES}")
    return data


def new_nonce():
    """16 random bytes in base64url without padding (22 characters)."""
    return base64.urlsafe_b64encode(os.urandom(16)).rstrip(b"=").decode("ascii")


def new_command(vehicle, operation, arguments=None, lifetime=DEFAULT_LIFETIME_S, now=None,
                command_id=None, nonce=None):
    """A command dict, issued now (Unix seconds) and valid for lifetime seconds."""
    issued = int(time.time()) if now is None else int(now)
    command = {
        "id": command_id if command_id is not None else "c-" + uuid.uuid4().hex,
        "vehicle": vehicle,
        "operation": operation,
        "arguments": {} if arguments is None else arguments,
        "issued_at": issued,
        "expires_at": issued + int(lifetime),
        "nonce": nonce if nonce is not None else new_nonce(),
    }
    check_command(command)
    return command


def make_envelope(signing_key, key_id, body):
    """The MQTT payload: the body signed with signing_key under key_id."""
    if not _KEY_ID.match(key_id):
        raise CommandError("a key id is 1 to 64 of A-Z a-z 0-9 . _ -")
    signature = signing_key.sign(signed_bytes(key_id, body)).signature
    envelope = {
        "v": VERSION,
        "key": key_id,
        "body": base64.b64encode(body).decode("ascii"),
        "sig": base64.b64encode(signature).decode("ascii"),
    }
    return json.dumps(envelope, separators=(",", ":")).encode("ascii")


# ---- keys ------------------------------------------------------------------------------------


def public_key_line(key_id, verify_key):
    """The line of [commands.keys] in vehcan.conf for this key."""
    return f'"{key_id}" = "{base64.b64encode(bytes(verify_key)).decode("ascii")}"'


def keygen(path, key_id):
    """Writes a new private key to path (mode 0600, never over an existing
    file) and returns the public key's line for vehcan.conf."""
    if not _KEY_ID.match(key_id):
        raise CommandError("a key id is 1 to 64 of A-Z a-z 0-9 . _ -")
    key = nacl.signing.SigningKey.generate()
    text = json.dumps({
        "v": VERSION,
        "key_id": key_id,
        "seed": base64.b64encode(bytes(key)).decode("ascii"),
    }) + "\n"
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise CommandError(f"{path} exists: a key is never overwritten") from None
    with os.fdopen(fd, "w") as out:
        out.write(text)
    return public_key_line(key_id, key.verify_key)


def load_key(path):
    """(key id, SigningKey) from a file keygen wrote. A file that others may
    read is refused, as ssh refuses one."""
    mode = os.stat(path).st_mode
    if not stat.S_ISREG(mode):
        raise CommandError(f"{path} is not a file")
    if mode & 0o077:
        raise CommandError(f"{path} may be read by others (mode {mode & 0o7777:04o}): "
                           "it must be mode 0600")
    with open(path, encoding="ascii") as f:
        try:
            data = json.load(f)
            seed = base64.b64decode(data["seed"], validate=True)
            key_id = data["key_id"]
        except (ValueError, KeyError, TypeError):
            raise CommandError(f"{path} is not a vehcan command key") from None
    if data.get("v") != VERSION or len(seed) != 32 or not isinstance(key_id, str) \
            or not _KEY_ID.match(key_id):
        raise CommandError(f"{path} is not a vehcan command key")
    return key_id, nacl.signing.SigningKey(seed)


def sign(key_file, vehicle, operation, arguments=None, lifetime=DEFAULT_LIFETIME_S, now=None,
         command_id=None, nonce=None):
    """(envelope bytes, command dict) for a new command signed with key_file."""
    key_id, key = load_key(key_file)
    command = new_command(vehicle, operation, arguments, lifetime, now, command_id, nonce)
    return make_envelope(key, key_id, make_body(command)), command


# ---- checking an envelope --------------------------------------------------------------------


def _strict_object(pairs):
    names = [name for name, _ in pairs]
    if len(names) != len(set(names)):
        raise CommandError("a member is given twice")
    return dict(pairs)


def verify(envelope, public_keys):
    """The command of an envelope (bytes), checked as the gateway checks its
    form and signature. public_keys: key id -> 32-byte key or its base64.
    Raises CommandError with the gateway's reason name first."""
    try:
        outer = json.loads(envelope, object_pairs_hook=_strict_object)
    except ValueError as e:
        raise CommandError(f"malformed: {e}") from None
    if not isinstance(outer, dict) or set(outer) != {"v", "key", "body", "sig"} \
            or outer["v"] != VERSION or type(outer["v"]) is not int:
        raise CommandError("malformed: not a version 1 envelope")
    key_id = outer["key"]
    if not isinstance(key_id, str) or key_id not in public_keys:
        raise CommandError("unknown_key")
    public = public_keys[key_id]
    if isinstance(public, str):
        public = base64.b64decode(public, validate=True)
    try:
        body = base64.b64decode(outer["body"], validate=True)
        signature = base64.b64decode(outer["sig"], validate=True)
        nacl.signing.VerifyKey(public).verify(signed_bytes(key_id, body), signature)
    except (ValueError, TypeError, nacl.exceptions.BadSignatureError):
        raise CommandError("bad_signature") from None
    try:
        command = json.loads(body, object_pairs_hook=_strict_object)
    except ValueError as e:
        raise CommandError(f"malformed: {e}") from None
    try:
        check_command(command)
    except CommandError as e:
        raise CommandError(f"malformed: {e}") from None
    return command


# ---- the program -----------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(prog="vehcan_commands",
                                     description="signing keys and signed commands for vehcan")
    sub = parser.add_subparsers(dest="action", required=True)
    k = sub.add_parser("keygen", help="write a new private key; print its line for vehcan.conf")
    k.add_argument("--key-id", required=True, help="the key's name in [commands.keys]")
    k.add_argument("file", help="the private key file to write (mode 0600)")
    s = sub.add_parser("sign", help="print a signed command envelope")
    s.add_argument("--key", required=True, help="the private key file")
    s.add_argument("--lifetime", type=int, default=DEFAULT_LIFETIME_S,
                   help="seconds the command stays valid (default 300)")
    s.add_argument("--id", dest="command_id", help="the command id (default: a new one)")
    s.add_argument("--nonce", help="the nonce (default: 16 random bytes)")
    s.add_argument("--issued-at", type=int, help="Unix seconds (default: now)")
    s.add_argument("vehicle")
    s.add_argument("operation")
    s.add_argument("arguments", nargs="?", default="{}", help="a JSON object (default {})")
    v = sub.add_parser("verify", help="check an envelope on standard input; print its command")
    v.add_argument("--public", action="append", default=[], metavar="KEYID=BASE64",
                   help="a public key the envelope may be signed with")
    args = parser.parse_args(argv)
    try:
        if args.action == "keygen":
            print(keygen(args.file, args.key_id))
        elif args.action == "sign":
            try:
                arguments = json.loads(args.arguments)
            except ValueError as e:
                raise CommandError(f"the arguments are not JSON: {e}") from None
            envelope, _ = sign(args.key, args.vehicle, args.operation, arguments,
                               args.lifetime, args.issued_at, args.command_id, args.nonce)
            sys.stdout.write(envelope.decode("ascii") + "\n")
        else:
            keys = {}
            for item in args.public:
                name, _, value = item.partition("=")
                keys[name] = value
            command = verify(sys.stdin.buffer.read().strip(), keys)
            print(json.dumps(command, separators=(",", ":")))
    except (CommandError, OSError) as e:
        print(f"vehcan_commands: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
