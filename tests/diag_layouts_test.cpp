// SPDX-License-Identifier: MIT
// The DM layouts of SAE J1939-73 as vehcan reads them: trouble codes in both
// SPN conversion methods, code lists with their padding, freeze frames,
// readiness, DM24 and DM25, DM13 and the acknowledgement; then each layout's
// JSON and text against golden files (tests/diag/golden, rewritten with
// VEHCAN_UPDATE_GOLDEN=1).
#include "diag_fake_bus.h"

#include <diag_text.h>
#include <dm_json.h>
#include <read.h>

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace vehcan::diag;
using vehcan::diag::testing::hex;

namespace {

TroubleCode code_of(std::string_view four, SpnConversion c = SpnConversion::automatic) {
    const Bytes b = hex(four);
    return parse_trouble_code(b.data(), c);
}

// ---- trouble codes -----------------------------------------------------------------------

TEST(TroubleCodes, Version4AndLegacyLayoutsOfTheSameCodeGiveTheSameSpn) {
    // SPN 110 FMI 16, once with the CM bit clear (version 4), once set.
    const TroubleCode v4 = code_of("6E001001");
    EXPECT_EQ(v4.spn, 110U);
    EXPECT_EQ(v4.fmi, 16);
    EXPECT_EQ(v4.occurrences, 1);
    EXPECT_FALSE(v4.cm_bit);
    EXPECT_FALSE(v4.legacy);
    const TroubleCode legacy = code_of("000DD081");
    EXPECT_EQ(legacy.spn, 110U);
    EXPECT_EQ(legacy.fmi, 16);
    EXPECT_EQ(legacy.occurrences, 1);
    EXPECT_TRUE(legacy.cm_bit);
    EXPECT_TRUE(legacy.legacy);
}

TEST(TroubleCodes, ForcedMethodOverridesTheCmBit) {
    // An ECU that sets the bit but sends version 4, and one the other way round.
    const TroubleCode as_v4 = code_of("000DD081", SpnConversion::version4);
    EXPECT_EQ(as_v4.spn, 0x60D00U);
    EXPECT_FALSE(as_v4.legacy);
    EXPECT_TRUE(as_v4.cm_bit);
    const TroubleCode as_legacy = code_of("6E001001", SpnConversion::legacy);
    EXPECT_EQ(as_legacy.spn, 0x6EU << 11U);
    EXPECT_TRUE(as_legacy.legacy);
    EXPECT_FALSE(as_legacy.cm_bit);
}

TEST(TroubleCodes, HighestSpnAndOccurrenceCountInBothLayouts) {
    for (const char *four : {"FFFFE37F", "FFFFE3FF"}) {
        SCOPED_TRACE(four);
        const TroubleCode c = code_of(four);
        EXPECT_EQ(c.spn, kMaxSpn);
        EXPECT_EQ(c.fmi, 3);
        EXPECT_EQ(c.occurrences, kOccurrencesNotAvailable);
    }
    // The SPN's top bit alone: byte 3 in version 4, byte 1 in the legacy layout.
    EXPECT_EQ(code_of("00008005").spn, 0x40000U);
    EXPECT_EQ(code_of("80000085").spn, 0x40000U);
}

TEST(TroubleCodes, EveryBitOfTheSpnSurvivesEncodingInBothLayouts) {
    for (unsigned bit = 0; bit < 19; ++bit) {
        for (const bool legacy : {false, true}) {
            TroubleCode c;
            c.spn = 1U << bit;
            c.fmi = static_cast<uint8_t>(bit + 3);
            c.occurrences = static_cast<uint8_t>(bit * 6);
            c.legacy = legacy;
            const auto bytes = encode_trouble_code(c);
            const TroubleCode back = parse_trouble_code(bytes.data(), SpnConversion::automatic);
            EXPECT_EQ(back.spn, c.spn) << "bit " << bit << (legacy ? " legacy" : "");
            EXPECT_EQ(back.fmi, c.fmi);
            EXPECT_EQ(back.occurrences, c.occurrences);
            EXPECT_EQ(back.legacy, legacy);
        }
    }
}

// ---- code lists ----------------------------------------------------------------------------

TEST(CodeLists, NoCodeAndPaddingAreNotListed) {
    const TroubleCodeList none =
        parse_trouble_code_list(hex("00FF00000000FFFF"), SpnConversion::automatic);
    EXPECT_TRUE(none.codes.empty());
    EXPECT_EQ(none.lamps.amber_warning, 0);
    EXPECT_EQ(none.flash.amber_warning, 3);
    EXPECT_TRUE(none.note.empty());
    // A code, a padding entry, a code, then two stray bytes.
    const TroubleCodeList l =
        parse_trouble_code_list(hex("04FF6E001001FFFFFFFF9A0C02010A0B"), SpnConversion::automatic);
    ASSERT_EQ(l.codes.size(), 2U);
    EXPECT_EQ(l.codes[0].spn, 110U);
    EXPECT_EQ(l.codes[1].spn, 3226U);
    EXPECT_EQ(l.lamps.amber_warning, 1);
    EXPECT_EQ(l.note, "2 bytes after the last whole code ignored");
}

TEST(CodeLists, LampsAloneAndLessThanLamps) {
    const TroubleCodeList lamps = parse_trouble_code_list(hex("40FF"), SpnConversion::automatic);
    EXPECT_EQ(lamps.lamps.malfunction, 1);
    EXPECT_TRUE(lamps.codes.empty());
    EXPECT_TRUE(lamps.note.empty());
    const TroubleCodeList one = parse_trouble_code_list(hex("40"), SpnConversion::automatic);
    EXPECT_EQ(one.lamps.malfunction, 3) << "not available without the byte";
    EXPECT_EQ(one.note, "1 byte (lamps and flash take 2)");
}

TEST(CodeLists, TheLargestTransferHolds445Codes) {
    // 1785 bytes: lamps, 445 codes, 3 bytes of padding.
    Bytes dm2 = {0x04, 0xFF};
    for (uint32_t i = 0; i < 445; ++i) {
        TroubleCode c;
        c.spn = 1 + i * 1171;
        c.fmi = static_cast<uint8_t>(i % 32);
        c.occurrences = static_cast<uint8_t>(i % 127);
        c.legacy = i % 2 == 1;
        const auto b = encode_trouble_code(c);
        dm2.insert(dm2.end(), b.begin(), b.end());
    }
    dm2.insert(dm2.end(), {0xFF, 0xFF, 0xFF});
    ASSERT_EQ(dm2.size(), 1785U);
    const TroubleCodeList l = parse_trouble_code_list(dm2, SpnConversion::automatic);
    ASSERT_EQ(l.codes.size(), 445U);
    EXPECT_EQ(l.codes.front().spn, 1U);
    EXPECT_EQ(l.codes.back().spn, 1 + 444U * 1171);
    EXPECT_EQ(l.codes.back().fmi, 444 % 32);
    EXPECT_TRUE(l.codes.back().legacy == false);
    EXPECT_TRUE(l.codes[443].legacy);
    EXPECT_TRUE(l.note.empty());
}

// ---- values, freeze frames, readiness ----------------------------------------------------------

TEST(Values, RangesByTheMostSignificantByte) {
    const auto rpm = known_scaling(190);
    ASSERT_TRUE(rpm);
    struct Case {
        const char *raw;
        std::optional<double> value;
        const char *state;
    };
    for (const Case &c :
         {Case{"FFFA", 0xFAFF * 0.125, ""}, Case{"00FB", std::nullopt, "reserved"},
          Case{"00FE", std::nullopt, "error"}, Case{"12FF", std::nullopt, "not available"}}) {
        SCOPED_TRACE(c.raw);
        const SpnValue v = make_spn_value(190, hex(c.raw), rpm);
        EXPECT_EQ(v.value, c.value);
        EXPECT_EQ(v.state, c.state);
        EXPECT_EQ(v.unit, "rpm");
    }
    EXPECT_EQ(make_spn_value(110, hex("FA"), known_scaling(110)).value, 210.0);
    EXPECT_EQ(make_spn_value(110, hex("FB"), known_scaling(110)).state, "reserved");
    const SpnValue unknown = make_spn_value(4321, hex("1234"), std::nullopt);
    EXPECT_FALSE(unknown.value);
    EXPECT_EQ(unknown.raw, hex("1234"));
}

TEST(FreezeFrames, StandardFieldsAndTheManufacturersBytes) {
    const FreezeFrames f =
        parse_freeze_frames(hex("0F6E001001015AE02E2D960050A1B2C30C64000103003250140C780000"),
                            SpnConversion::automatic);
    ASSERT_EQ(f.frames.size(), 2U);
    EXPECT_EQ(f.frames[0].code.spn, 110U);
    ASSERT_EQ(f.frames[0].fields.size(), 6U);
    EXPECT_EQ(f.frames[0].fields[0].value, 1.0); // torque mode
    EXPECT_EQ(f.frames[0].fields[1].value, 180.0);
    EXPECT_EQ(f.frames[0].fields[2].value, 1500.0);
    EXPECT_EQ(f.frames[0].fields[3].value, 45.0);
    EXPECT_EQ(f.frames[0].fields[4].value, 110.0);
    EXPECT_EQ(f.frames[0].fields[5].value, 80.0);
    EXPECT_EQ(f.frames[0].manufacturer, hex("A1B2C3"));
    EXPECT_EQ(f.frames[1].code.spn, 100U);
    EXPECT_EQ(f.frames[1].fields[2].value, 650.0);
    EXPECT_TRUE(f.frames[1].manufacturer.empty());
    EXPECT_TRUE(f.note.empty());
}

TEST(FreezeFrames, ShortFramesCutFramesAndTheEnd) {
    // A frame with only the torque mode and boost, then one announcing 20
    // bytes where 7 are left.
    const FreezeFrames f =
        parse_freeze_frames(hex("066E0010010F5A1464000103003250"), SpnConversion::automatic);
    ASSERT_EQ(f.frames.size(), 2U);
    ASSERT_EQ(f.frames[0].fields.size(), 2U);
    EXPECT_FALSE(f.frames[0].fields[0].value) << "torque mode 15 is not available";
    EXPECT_EQ(f.frames[0].fields[0].state, "not available");
    EXPECT_EQ(f.frames[1].fields.size(), 2U);
    EXPECT_EQ(f.note, "a frame of 20 bytes runs past the message's end");
    // A length of 0: no freeze frame, whatever follows.
    EXPECT_TRUE(
        parse_freeze_frames(hex("0000000000FFFFFF"), SpnConversion::automatic).frames.empty());
}

TEST(Readiness, CountsComplianceAndEachMonitorsBits) {
    const auto r = parse_readiness(hex("01031426800E0004"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->active, 1);
    EXPECT_EQ(r->previously_active, 3);
    EXPECT_EQ(r->obd_compliance, 20);
    EXPECT_EQ(obd_compliance_text(r->obd_compliance), "HD OBD");
    std::map<std::string, std::pair<bool, bool>> m;
    for (const Monitor &monitor : r->monitors) {
        m[std::string(monitor.key)] = {monitor.supported, monitor.complete};
    }
    EXPECT_EQ(m.size(), 16U);
    EXPECT_EQ(m["misfire"].first, false);
    EXPECT_EQ(m["fuel_system"], std::make_pair(true, false));
    EXPECT_EQ(m["comprehensive_component"], std::make_pair(true, true));
    EXPECT_EQ(m["egr_vvt_system"], std::make_pair(true, true));
    EXPECT_EQ(m["boost_pressure_control"], std::make_pair(true, true));
    EXPECT_EQ(m["diesel_particulate_filter"], std::make_pair(true, false));
    EXPECT_EQ(m["nox_catalyst"], std::make_pair(true, true));
    EXPECT_EQ(m["catalyst"].first, false);
    EXPECT_EQ(readiness_summary(*r),
              "4 of 6 supported complete; not complete: fuel system, diesel particulate filter");
    const auto na = parse_readiness(hex("FFFB050000000000"));
    ASSERT_TRUE(na);
    EXPECT_FALSE(na->active);
    EXPECT_FALSE(na->previously_active);
    EXPECT_FALSE(parse_readiness(hex("01031426800E00")));
}

TEST(ExpandedFreezeFrames, ValuesFollowTheEcusSpnSupport) {
    const SpnSupport support = parse_spn_support(hex("BE001C026E001C0154001C0266001E015B001D01"
                                                     "9A0C1B02E110FE03"));
    ASSERT_EQ(support.spns.size(), 7U);
    EXPECT_TRUE(support.spns[3].expanded_freeze_frame);
    EXPECT_FALSE(support.spns[3].data_stream);
    EXPECT_FALSE(support.spns[4].expanded_freeze_frame) << "SPN 91: data stream only";
    EXPECT_TRUE(support.spns[5].test_results);
    EXPECT_EQ(support.spns[6].spn, 0x710E1U);
    // 190, 110, 84, 102 and the unknown 0x710E1 (3 bytes), then the maker's.
    const Bytes dm25 = hex("0F6E001001E02E9600505A010203DEAD");
    auto scaling = [](uint32_t spn) -> std::optional<SpnScaling> {
        if (spn == 0x710E1) {
            return SpnScaling{"test counter", 2.0, -1.0, "count"};
        }
        return std::nullopt;
    };
    const ExpandedFreezeFrames f =
        parse_expanded_freeze_frames(dm25, &support, SpnConversion::automatic, scaling);
    ASSERT_EQ(f.frames.size(), 1U);
    ASSERT_EQ(f.frames[0].values.size(), 5U);
    EXPECT_EQ(f.frames[0].values[0].value, 1500.0);
    EXPECT_EQ(f.frames[0].values[2].value, 80.0);
    EXPECT_EQ(f.frames[0].values[4].value, 0x030201 * 2.0 - 1.0);
    EXPECT_EQ(f.frames[0].values[4].unit, "count");
    EXPECT_EQ(f.frames[0].manufacturer, hex("DEAD"));
    const ExpandedFreezeFrames bare =
        parse_expanded_freeze_frames(dm25, nullptr, SpnConversion::automatic, {});
    EXPECT_EQ(bare.frames[0].undecoded, hex("E02E9600505A010203DEAD"));
    // A DM24 that promises more than the frame holds.
    const SpnSupport wide = parse_spn_support(hex("BE001C08"));
    const ExpandedFreezeFrames cut =
        parse_expanded_freeze_frames(hex("066E001001E02E"), &wide, SpnConversion::automatic, {});
    EXPECT_EQ(cut.note, "SPN 190 of DM24 runs past its freeze frame's end");
}

// ---- DM13 and acknowledgements ---------------------------------------------------------------

TEST(BroadcastControl, StopStartAndHoldBytes) {
    auto bytes = [](BroadcastCommand c) {
        const auto b = encode_dm13(c);
        return Bytes(b.begin(), b.end());
    };
    EXPECT_EQ(bytes(BroadcastCommand::stop), hex("3FFFFFFFFFFFFFFF"));
    EXPECT_EQ(bytes(BroadcastCommand::start), hex("7FFFFFFFFFFFFFFF"));
    EXPECT_EQ(bytes(BroadcastCommand::hold), hex("FFFFFF0FFFFFFFFF"));
}

TEST(BroadcastControl, AcknowledgementFields) {
    const auto a = parse_acknowledgement(hex("03FFFFFFF9D3FE00"));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->control, 3);
    EXPECT_EQ(a->address, 0xF9);
    EXPECT_EQ(a->pgn, kPgnDm11);
    EXPECT_FALSE(parse_acknowledgement(hex("03FFFFFFF9D3FE")));
}

// ---- goldens
// -------------------------------------------------------------------------------------

struct Golden {
    const char *name;
    int dm;
    const char *payload;
    const char *dm24; // "" : none
    SpnConversion conversion = SpnConversion::automatic;
};

const Golden kGoldens[] = {
    {"dm1_version4", 1, "04FF6E001001FFFF", ""},
    {"dm1_legacy", 1, "04FF000DD081FFFF", ""},
    {"dm1_legacy_read_as_version4", 1, "04FF000DD081FFFF", "", SpnConversion::version4},
    {"dm2_highest_spn_and_count", 2, "00FFFFFFE37FFFFFE3FF", ""},
    {"dm2_none", 2, "00FF00000000FFFF", ""},
    {"dm6_padding_and_stray_bytes", 6, "04FF6E001001FFFFFFFF9A0C02010A0B", ""},
    {"dm12_lamps_only", 12, "40FF", ""},
    {"dm23_one", 23, "04FFB30C0002FFFF", ""},
    {"dm4_with_and_without_manufacturer_bytes", 4,
     "0F6E001001015AE02E2D960050A1B2C30C64000103003250140C780000", ""},
    {"dm4_short_and_cut_frames", 4, "066E0010010F5A1464000103003250", ""},
    {"dm4_none", 4, "0000000000FFFFFF", ""},
    {"dm5", 5, "01031426800E0004", ""},
    {"dm5_counts_not_available", 5, "FFFB050000000000", ""},
    {"dm24", 24, "BE001C026E001C0154001C0266001E015B001D019A0C1B02", ""},
    {"dm25_with_dm24", 25, "0C6E001001E02E9600505ADEAD",
     "BE001C026E001C0154001C0266001E015B001D019A0C1B02"},
    {"dm25_values_not_available", 25, "0C6E001001FFFFFE00505ADEAD",
     "BE001C026E001C0154001C0266001E015B001D019A0C1B02"},
    {"dm25_without_dm24", 25, "0C6E001001E02E9600505ADEAD", ""},
};

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class DmGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(DmGolden, JsonAndTextMatchTheGoldenFiles) {
    const Golden &g = GetParam();
    std::optional<SpnSupport> support;
    if (*g.dm24 != '\0') {
        support = parse_spn_support(hex(g.dm24));
    }
    DmResult r;
    r.outcome = Outcome::answered;
    r.data = hex(g.payload);
    r.parsed = parse_dm(g.dm, r.data, support ? &*support : nullptr, g.conversion, {});
    name_codes(r.parsed, [](uint32_t spn) -> std::optional<std::string> {
        if (spn == 110) {
            return "Engine Coolant Temperature";
        }
        return std::nullopt;
    });
    const std::string json = dm_json(r).dump(2) + "\n";
    const DmBody body = dm_body(r);
    std::string text = body.summary + "\n";
    for (const std::string &line : body.lines) {
        text += "  " + line + "\n";
    }
    const std::string base = std::string(VEHCAN_SOURCE_DIR "/tests/diag/golden/") + g.name;
    if (const char *update = std::getenv("VEHCAN_UPDATE_GOLDEN"); // NOLINT(concurrency-mt-unsafe)
        update != nullptr && std::string(update) == "1") {
        std::ofstream(base + ".json") << json;
        std::ofstream(base + ".txt") << text;
        GTEST_SKIP() << "rewrote " << base;
    }
    EXPECT_EQ(json, read_file(base + ".json"));
    EXPECT_EQ(text, read_file(base + ".txt"));
}

INSTANTIATE_TEST_SUITE_P(Layouts, DmGolden, ::testing::ValuesIn(kGoldens),
                         [](const ::testing::TestParamInfo<Golden> &golden) {
                             return std::string(golden.param.name);
                         });

} // namespace
