# SPDX-License-Identifier: MIT
"""The schema that vehcan-fleet carries (vehcan_fleet/schema.py) is what
protoc makes of tools/fleet/proto/vehcan_uplink.proto today, and a payload
written with the gateway's field numbers reads back field for field."""

import importlib.util
import os
import unittest

import support
from vehcan_fleet import proto

_spec = importlib.util.spec_from_file_location(
    "generate_schema", os.path.join(support.PACKAGE_DIR, "generate_schema.py"))
generate_schema = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(generate_schema)


class TestSchema(unittest.TestCase):
    def test_the_carried_schema_is_the_proto_files(self):
        want = generate_schema.compiled()
        self.assertEqual(proto.FILE, want,
                         "vehcan_fleet/schema.py differs from the .proto: run "
                         "python3 tools/vehcan-fleet/generate_schema.py")
        # and the module is exactly what the script writes
        with open(os.path.join(support.PACKAGE_DIR, "vehcan_fleet", "schema.py"),
                  encoding="utf-8") as f:
            self.assertEqual(f.read(), generate_schema.module_text(want))

    def test_field_numbers_on_the_wire(self):
        # A Signal written by hand from the numbers the .proto gives:
        # alias 1 = 7, source 2 = 0 (present), name 5 = "x", kind 7 = 2.
        raw = bytes([0x08, 7, 0x10, 0, 0x2A, 1, ord("x"), 0x38, 2])
        s = proto.Signal.FromString(raw)
        self.assertEqual((s.alias, s.HasField("source"), s.source, s.name, s.kind),
                         (7, True, 0, "x", 2))
        r = proto.reading.Signal.FromString(raw)
        self.assertEqual((r.alias, r.source, r.name), (7, 0, b"x"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
