# SPDX-License-Identifier: MIT
"""What vehcan-db-import makes of the test database: the node of each
29-bit frame, the definition of each signal (byte and bit numbering worked
out by hand from the DBC), SPN numbering, every skip with its reason, the
texts fitted to the reader's limits, and the command line."""

import os
import re
import unittest

import support

TEXTS_JSON = os.path.join(support.HERE, "texts.json")

# Skip reason -> the signals that the test DBC gives it.
SKIPPED = {
    "11-bit identifier": ["StdFrame.StdSig", "StdFrame.StdFlag"],
    "PGN already given by an earlier frame": ["EBC1_Trailer.TrailerBrakePedalPos"],
    "big-endian (Motorola)": ["PropB_Mixed.MotorolaTemp"],
    "floating point": ["PropB_Mixed.FloatRate"],
    "longer than the format allows": ["PropB_Wide.Counter64", "PropB_Wide.Wide36"],
    "multiplexed": ["PropB_Mux.MuxedTemp", "PropB_Mux.MuxedPress"],
    "signed": ["PropB_Mixed.SignedTorque"],
}


def definition(node, name):
    """(SPN, definition text) of the signal with that description."""
    for sub, text in node.items():
        if re.fullmatch(r"SPN_\d+", sub) and text.split(",")[0] == name:
            return int(sub[4:]), text
    raise AssertionError(f"no definition of {name} in {sorted(node)}")


def states(node, spn):
    prefix = f"SPN_{spn}_"
    return {int(k[len(prefix):]): v for k, v in node.items() if k.startswith(prefix)}


class TestDatabaseConversion(support.ScratchCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.out, cls.done = cls.convert(support.TEST_DBC, "converted.xml", "--report")
        cls.nodes = support.index(cls.out)

    def test_each_29_bit_frame_with_a_converted_signal_is_one_pgn_node(self):
        # PropA goes to 0x21 and TSC1 to 0x0F (PDU1): the destination is cleared.
        self.assertEqual(sorted(self.nodes), sorted(
            ["PGN65269", "PGN61441", "PGN61184", "PGN65283", "PGN65284", "PGN65281", "PGN0"]))

    def test_spn_list_follows_the_signals_with_their_spn_attributes(self):
        self.assertEqual(self.nodes["PGN65269"]["SPN_LIST"], "5,108,170,171,172,79")
        self.assertEqual(self.nodes["PGN0"]["SPN_LIST"], "3,695,898,518")
        spns = self.nodes["PGN61441"]["SPN_LIST"].split(",")
        self.assertEqual(spns[:9], ["10", "561", "563", "562", "1121", "521", "575", "973", "969"])
        self.assertEqual(spns[10], "1481")

    def test_whole_bytes_become_kind_0(self):
        amb = self.nodes["PGN65269"]
        self.assertEqual(amb["SPN_171"], "AmbientAirTemp,0,0.03125,-273,°C,2,4,5")
        self.assertEqual(amb["SPN_172"], "AirInletTemp,0,1,-40,degC,1,6")
        self.assertEqual(definition(self.nodes["PGN61184"], "Distance24")[1],
                         "Distance24,0,0.05,0,km,3,6,7,8")
        # Six bytes still decode exactly; an empty unit becomes "-".
        self.assertEqual(definition(self.nodes["PGN65283"], "Odometer48")[1],
                         "Odometer48,0,0.005,0,kilometre,6,1,2,3,4,5,6")
        self.assertEqual(self.nodes["PGN61441"]["SPN_1481"], "SrcAddrCtrlDevBrake,0,1,0,-,1,7")
        # A 16-byte frame: bytes 15 and 16.
        self.assertEqual(definition(self.nodes["PGN65284"], "Tail")[1],
                         "Tail,0,0.1,0,A,2,14,15")

    def test_other_bit_fields_become_kind_2_from_their_first_byte(self):
        propa = self.nodes["PGN61184"]
        # Frame bit 2, 12 bits: byte 1, bits 2..13.
        self.assertEqual(definition(propa, "Level12")[1], "Level12,2,1,0.5,-10,bar,2,13")
        # Frame bit 14, 20 bits: byte 2, bits 6..25 (into bytes 3 and 4).
        self.assertEqual(definition(propa, "Span20")[1], "Span20,2,2,0.001,0,V,6,25")
        self.assertEqual(definition(self.nodes["PGN65283"], "Flags")[1], "Flags,2,7,1,0,-,0,3")

    def test_value_tables_become_kind_1_with_their_state_names(self):
        ebc1 = self.nodes["PGN61441"]
        self.assertEqual(ebc1["SPN_1121"], "EBSBrakeSwitch,1,1,2,6,7")
        self.assertEqual(states(ebc1, 1121), {0: "Brake pedal released",
                                              1: "Brake pedal depressed", 2: "Error",
                                              3: "Not available"})
        spn, text = definition(self.nodes["PGN61184"], "Mode")
        self.assertEqual(text, "Mode,1,5,3,2,4")
        self.assertEqual(states(self.nodes["PGN61184"], spn),
                         {0: "Idle", 1: "Warm-up", 2: "Run", 3: "Purge", 5: "Shutdown",
                          6: "Error", 7: "Not available"})

    def test_value_tables_that_cannot_name_states_are_numbers(self):
        # Scale 2: the states would name scaled values; PGN 0: the library
        # looks up no state name there.
        spn, text = definition(self.nodes["PGN61184"], "Gear")
        self.assertEqual(text, "Gear,2,5,2,0,-,5,7")
        self.assertEqual(states(self.nodes["PGN61184"], spn), {})
        self.assertEqual(self.nodes["PGN0"]["SPN_695"], "EngOverrideCtrlMode,2,1,1,0,-,0,1")
        self.assertEqual(states(self.nodes["PGN0"], 695), {})
        self.assertIn("TSC1.EngOverrideCtrlMode (PGN 0): state names dropped: the library reads "
                      "no state names for PGN 0", self.done.stderr)

    def test_states_outside_the_field_or_too_long_are_dropped_or_shortened(self):
        named = states(self.nodes["PGN61441"], 969)
        self.assertEqual(sorted(named), [0, 1, 2])  # 7 does not fit 2 bits
        long_text = ("Remote accelerator enabled, the pedal of the cab is ignored while the "
                     "operator works the body from the rear control panel of the vehicle")
        self.assertTrue(long_text.startswith(named[1]))
        self.assertLessEqual(len(named[1].encode()), 119)
        self.assertGreater(len(named[1].encode()), 110)
        self.assertIn("EBC1.RemoteAccelEnable (PGN 61441): state dropped: 7 'Beyond the field'",
                      self.done.stderr)
        self.assertIn("EBC1.RemoteAccelEnable (PGN 61441): state name shortened: 1:",
                      self.done.stderr)

    def test_signals_without_an_spn_get_private_numbers_all_distinct(self):
        spn, _ = definition(self.nodes["PGN61441"], "BrakePedalPosCopy")  # 521 was taken
        private = {spn}
        for pgn in ("PGN61184", "PGN65283", "PGN65284", "PGN65281"):
            private |= {int(s) for s in self.nodes[pgn]["SPN_LIST"].split(",")[1:]}
        self.assertEqual(len(private), 11)
        self.assertTrue(all(520192 <= s <= 524287 for s in private), private)
        for s in private:
            self.assertRegex(self.done.stderr, rf"private SPN: [^\n]*: {s}\n")
        self.assertIn("EBC1.BrakePedalPosCopy (PGN 61441): private SPN: SPN 521 already given to "
                      f"BrakePedalPos: {spn}", self.done.stderr)

    def test_report_counts_kinds_and_lists_every_skip_by_reason(self):
        report = self.done.stdout
        self.assertIn("frames: 10 read, 7 written as PGNs\n", report)
        self.assertIn("signals: 38 read, 28 converted, 10 skipped\n", report)
        self.assertIn("  kind 0 (whole bytes): 16\n", report)
        self.assertIn("  kind 1 (named states): 7\n", report)
        self.assertIn("  kind 2 (scaled bit field): 5\n", report)
        section = report.split("skipped by reason:\n")[1].split("changed on the way")[0]
        listed = {}
        reason = None
        for line in section.splitlines():
            if line.startswith("    "):
                listed[reason].append(line.strip().split(" ")[0].rstrip(":"))
            else:
                reason, count = line.strip().rsplit(": ", 1)
                listed[reason] = []
                self.assertEqual(int(count), len(SKIPPED.get(reason, [])), reason)
        self.assertEqual(listed, SKIPPED)
        self.assertIn("unit shortened to 9 bytes: 1\n    PropB_Long.Odometer48 (PGN 65283): "
                      "'kilometres' -> 'kilometre'", report)
        self.assertIn("PropB_Mixed (PGN 65282): no signal converted, no PGN node", report)

    def test_skipped_signals_are_not_in_the_database(self):
        descriptions = {text.split(",")[0] for node in self.nodes.values()
                        for sub, text in node.items() if re.fullmatch(r"SPN_\d+", sub)}
        for reason, names in SKIPPED.items():
            for name in names:
                frame, signal = name.split(".")
                self.assertNotIn(signal, descriptions)
                self.assertRegex(self.done.stderr,
                                 rf"{re.escape(name)}( \(PGN \d+\))?: skipped: {re.escape(reason)}")

    def test_the_same_input_gives_the_same_file(self):
        again = self.scratch.file("again.xml")
        self.assertEqual(support.run_import(support.TEST_DBC, "-o", again).returncode, 0)
        with open(self.out, "rb") as a, open(again, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_private_numbers_do_not_depend_on_the_other_frames(self):
        from vehcan_dbimport import convert

        matrix = support.load_matrix(support.TEST_DBC)
        matrix.frames = [f for f in matrix.frames if f.name == "PropA"]
        groups, _ = convert.convert([matrix])
        alone = {d.description: d.spn for d in groups[0].definitions}
        full = {name: definition(self.nodes["PGN61184"], name)[0] for name in alone}
        self.assertEqual(alone, full)


class TestTextsFittedToTheReader(support.ScratchCase):
    """texts.json (canmatrix's JSON format) holds what a DBC name cannot:
    commas, control characters, XML's special characters, long names."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.out, cls.done = cls.convert(TEXTS_JSON, "texts.xml")
        cls.node = support.index(cls.out)["PGN65296"]

    def test_descriptions_and_units_are_cut_at_a_comma(self):
        self.assertEqual(definition(self.node, "Pressure")[1], "Pressure,0,0.1,0,kPa,2,1,2")
        self.assertEqual(definition(self.node, "Flow")[1], "Flow,0,0.5,0,m3/h,2,5,6")
        self.assertIn("description cut at a comma: 'Pressure, inlet' -> 'Pressure'",
                      self.done.stderr)
        self.assertIn("unit cut at a comma: 'm3/h,avg' -> 'm3/h'", self.done.stderr)

    def test_a_long_description_is_cut_on_a_character_to_fit_119_bytes(self):
        name = ("Evaporator outlet air temperature measured behind the fan of the roof unit "
                "ahead of the cab's flaps - Gebläse B2")
        spns = self.node["SPN_LIST"].split(",")[1:]
        text = self.node[f"SPN_{spns[1]}"]
        description = text.split(",")[0]
        # 106 bytes fit beside ",0,1,0,%,1,3"; the two bytes of "ä" would not.
        self.assertEqual(description, name[:106])
        self.assertEqual(text, name[:106] + ",0,1,0,%,1,3")
        self.assertIn("description shortened", self.done.stderr)

    def test_state_names_keep_commas_and_special_characters(self):
        spn, _ = definition(self.node, "Fan mode")
        self.assertEqual(states(self.node, spn),
                         {0: "Off", 1: "Low, quiet", 2: "High & <loud>", 3: "Not available"})

    def test_white_space_is_folded_and_markup_escaped(self):
        self.assertEqual(definition(self.node, "Valve position <A&B>")[1],
                         "Valve position <A&B>,0,1,0,µm,1,7")

    def test_vehcan_reads_every_definition_and_state(self):
        for spn in self.node["SPN_LIST"].split(",")[1:]:
            done = support.vehcan("db", "65296", spn, "--db", self.out)
            self.assertEqual(done.returncode, 0, done.stderr)
            description = self.node[f"SPN_{spn}"].split(",")[0]
            self.assertEqual(done.stdout.splitlines()[0],
                             f"PGN 65296, SPN {spn}: {description}")
        spn, _ = definition(self.node, "Fan mode")
        done = support.vehcan("db", "65296", str(spn), "--state", "2", "--db", self.out)
        self.assertEqual(done.stdout, f"PGN 65296, SPN {spn}, state 2: High & <loud>\n")


class TestCommandLine(support.ScratchCase):
    def test_help_names_the_formats_found_at_run_time(self):
        cf = support.canmatrix_formats()
        done = support.run_import("--help")
        self.assertEqual(done.returncode, 0)
        readable = [n for n, caps in cf.supportedFormats.items() if "load" in caps]
        for name in ("dbc", "json", "sym"):
            self.assertIn(name, readable)
        for name in readable:
            self.assertIn(f"{name} (.{cf.extensionMapping[name]})", done.stdout)
        for name in set(cf.moduleList) - set(cf.supportedFormats):
            self.assertRegex(done.stdout, rf"\n  {name}: needs \S+")

    def test_failures_have_their_exit_status_and_write_nothing(self):
        out = self.scratch.file("never.xml")
        empty = self.scratch.file("empty.dbc", 'VERSION ""\n\nNS_ :\n\nBS_:\n\nBU_:\n')
        broken = os.path.join(support.SOURCE, "tests", "cli", "broken.xml")
        cases = [
            (["no/such.dbc", "-o", out], 3, "no/such.dbc: cannot read"),
            ([empty, "-o", out], 3, "no frame found"),
            ([support.TEST_DBC, "--format", "json", "-o", out], 3, "cannot be read as json"),
            ([self.scratch.file("db.txt", "x"), "-o", out], 2, "no readable format"),
            ([support.TEST_DBC], 2, "-o/--output"),
            ([support.TEST_DBC, "-o", out, "--merge", broken], 4, "broken.xml:"),
            ([support.TEST_DBC, "-o", out, "--merge", "no/such.xml"], 4, "cannot read"),
            ([support.TEST_DBC, "-o", "/no/such/dir/out.xml"], 1, "cannot write"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                done = support.run_import(*args)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertFalse(os.path.exists(out))


class TestPgnOfIdentifier(unittest.TestCase):
    def test_pdu1_clears_the_destination_and_the_data_pages_count(self):
        import canmatrix
        from vehcan_dbimport.mapping import j1939_pgn

        cases = {0x18EF2100: 61184, 0x0C000F03: 0, 0x18FEF500: 65269, 0x19FEF500: 130805,
                 0x1BEF2100: 257792, 0x18F0010B: 61441}
        for ident, pgn in cases.items():
            self.assertEqual(j1939_pgn(ident), pgn, hex(ident))
            self.assertEqual(canmatrix.ArbitrationId(ident, extended=True).pgn, pgn, hex(ident))


if __name__ == "__main__":
    unittest.main(verbosity=2)
