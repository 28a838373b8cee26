#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""generate_schema.py: writes vehcan_fleet/schema.py, the uplink's protobuf
schema (tools/fleet/proto/vehcan_uplink.proto) as the serialized descriptor
that the decoder builds its message classes from.

The descriptor is kept in the package, so that installing it needs no
protoc; the fleet decoder's tests compare it with what protoc makes of the
.proto and fail, naming this script, when the two differ. Run it after each
change of the schema:  python3 tools/vehcan-fleet/generate_schema.py"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PROTO = os.path.normpath(os.path.join(HERE, "..", "fleet", "proto", "vehcan_uplink.proto"))
TARGET = os.path.join(HERE, "vehcan_fleet", "schema.py")

HEADER = '''\
# SPDX-License-Identifier: MIT
"""The uplink's schema, tools/fleet/proto/vehcan_uplink.proto, as protoc
compiles it: a serialized FileDescriptorProto. Written by
tools/vehcan-fleet/generate_schema.py; do not edit."""

SERIALIZED = (
'''


def compiled(proto=PROTO, protoc="protoc"):
    """The FileDescriptorProto that protoc makes of proto (no source info)."""
    from google.protobuf import descriptor_pb2
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "schema.desc")
        subprocess.run([protoc, "-I", os.path.dirname(proto), "--descriptor_set_out=" + out,
                        os.path.basename(proto)], check=True)
        with open(out, "rb") as f:
            files = descriptor_pb2.FileDescriptorSet.FromString(f.read()).file
    if len(files) != 1:
        raise RuntimeError(f"{proto}: expected one file, protoc made {len(files)}")
    return files[0]


def module_text(descriptor):
    data = descriptor.SerializeToString(deterministic=True)
    lines = [HEADER]
    for i in range(0, len(data), 48):
        lines.append(f"    {data[i:i + 48]!r}\n")
    lines.append(")\n")
    return "".join(lines)


def main():
    text = module_text(compiled())
    with open(TARGET, "w", encoding="utf-8") as f:
        f.write(text)
    print(f"{os.path.relpath(TARGET)}: {len(text)} characters from {os.path.relpath(PROTO)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
