// SPDX-License-Identifier: MIT
// What vehcan scan reads out of a node: the NAME's fields at their bit
// boundaries, the names of addresses, functions and industry groups, and the
// identification messages split at '*'.
#include "identification.h"
#include "node_identity.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <tuple>

using namespace vehcan::cli;

namespace {

// The fields as one tuple, so that a case states all ten at once.
auto fields(const J1939Name &n) {
    return std::make_tuple(
        n.identity_number, n.manufacturer_code, n.ecu_instance, n.function_instance, n.function,
        n.vehicle_system, n.vehicle_system_instance, n.industry_group, n.arbitrary_address_capable);
}

using Fields = decltype(fields(J1939Name{}));

Fields make_fields(uint32_t identity, uint16_t manufacturer, uint8_t ecu, uint8_t function_instance,
                   uint8_t function, uint8_t system, uint8_t system_instance, uint8_t group,
                   bool arbitrary) {
    return std::make_tuple(identity, manufacturer, ecu, function_instance, function, system,
                           system_instance, group, arbitrary);
}

// ---- NAME ---------------------------------------------------------------------------

TEST(Name, EachFieldsLowestAndHighestBitLandsInThatFieldAlone) {
    struct Case {
        unsigned bit;
        Fields want;
    };
    const std::array cases{
        Case{0, make_fields(1, 0, 0, 0, 0, 0, 0, 0, false)},
        Case{20, make_fields(0x100000, 0, 0, 0, 0, 0, 0, 0, false)},
        Case{21, make_fields(0, 1, 0, 0, 0, 0, 0, 0, false)},
        Case{31, make_fields(0, 0x400, 0, 0, 0, 0, 0, 0, false)},
        Case{32, make_fields(0, 0, 1, 0, 0, 0, 0, 0, false)},
        Case{34, make_fields(0, 0, 4, 0, 0, 0, 0, 0, false)},
        Case{35, make_fields(0, 0, 0, 1, 0, 0, 0, 0, false)},
        Case{39, make_fields(0, 0, 0, 16, 0, 0, 0, 0, false)},
        Case{40, make_fields(0, 0, 0, 0, 1, 0, 0, 0, false)},
        Case{47, make_fields(0, 0, 0, 0, 128, 0, 0, 0, false)},
        Case{48, make_fields(0, 0, 0, 0, 0, 0, 0, 0, false)}, // reserved
        Case{49, make_fields(0, 0, 0, 0, 0, 1, 0, 0, false)},
        Case{55, make_fields(0, 0, 0, 0, 0, 64, 0, 0, false)},
        Case{56, make_fields(0, 0, 0, 0, 0, 0, 1, 0, false)},
        Case{59, make_fields(0, 0, 0, 0, 0, 0, 8, 0, false)},
        Case{60, make_fields(0, 0, 0, 0, 0, 0, 0, 1, false)},
        Case{62, make_fields(0, 0, 0, 0, 0, 0, 0, 4, false)},
        Case{63, make_fields(0, 0, 0, 0, 0, 0, 0, 0, true)},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(fields(decode_name(uint64_t{1} << c.bit)), c.want) << "bit " << c.bit;
    }
    EXPECT_EQ(fields(decode_name(~uint64_t{0})),
              make_fields(0x1FFFFF, 0x7FF, 7, 31, 255, 127, 15, 7, true));
}

TEST(Name, PayloadIsReadLeastSignificantByteFirst) {
    // Engine #1 of an on-highway truck: identity 123456, manufacturer 1234,
    // vehicle system 1, industry group 1.
    const std::array<uint8_t, 8> payload{0x40, 0xE2, 0x41, 0x9A, 0x00, 0x00, 0x02, 0x10};
    const auto n = decode_name(payload.data(), payload.size());
    ASSERT_TRUE(n);
    EXPECT_EQ(n->raw, 0x100200009A41E240U);
    EXPECT_EQ(fields(*n), make_fields(123456, 1234, 0, 0, 0, 1, 0, 1, false));
    EXPECT_FALSE(decode_name(payload.data(), 7));
}

TEST(Name, TextAndJsonNameEveryField) {
    const J1939Name n = decode_name(0x9002800146E9FBF1U); // the simulated tachograph
    EXPECT_EQ(name_text(n, "  "), "  NAME                     9002800146E9FBF1\n"
                                  "  identity number          654321 (0x09FBF1)\n"
                                  "  manufacturer code        567\n"
                                  "  ECU instance             1\n"
                                  "  function instance        0\n"
                                  "  function                 128 (tachograph)\n"
                                  "  vehicle system           1\n"
                                  "  vehicle system instance  0\n"
                                  "  industry group           1 (on-highway equipment)\n"
                                  "  arbitrary address        capable\n");
    EXPECT_EQ(name_json(n).dump(),
              R"({"arbitrary_address_capable":true,"ecu_instance":1,"function":128,)"
              R"("function_instance":0,"function_name":"tachograph","identity_number":654321,)"
              R"("industry_group":1,"industry_group_name":"on-highway equipment",)"
              R"("manufacturer_code":567,"raw":"9002800146E9FBF1","vehicle_system":1,)"
              R"("vehicle_system_instance":0})");
    // No names where the tables have none.
    const nlohmann::json unnamed = name_json(decode_name(uint64_t{200} << 40 | uint64_t{6} << 60));
    EXPECT_FALSE(unnamed.contains("function_name"));
    EXPECT_FALSE(unnamed.contains("industry_group_name"));
}

TEST(Name, FunctionsAbove127DependOnTheIndustryGroup) {
    EXPECT_EQ(function_name(0, 1), "engine");
    EXPECT_EQ(function_name(0, 3), "engine"); // the same in every group
    EXPECT_EQ(function_name(3, 0), "transmission");
    EXPECT_EQ(function_name(128, 1), "tachograph");
    EXPECT_EQ(function_name(128, 2), "");                                  // another group's 128
    EXPECT_EQ(function_name(129, 0), "off-board diagnostic-service tool"); // vehcan's own
    EXPECT_EQ(function_name(129, 1), "door controller");
    EXPECT_EQ(function_name(127, 1), "");
    EXPECT_EQ(industry_group_name(0), "global");
    EXPECT_EQ(industry_group_name(1), "on-highway equipment");
    EXPECT_EQ(industry_group_name(5), "industrial, process control, stationary");
    EXPECT_EQ(industry_group_name(6), "");
    EXPECT_EQ(industry_group_name(7), "");
}

TEST(Name, PreferredAddresses) {
    EXPECT_EQ(address_meaning(0x00), "engine #1");
    EXPECT_EQ(address_meaning(0x03), "transmission #1");
    EXPECT_EQ(address_meaning(0x0B), "brakes, system controller");
    EXPECT_EQ(address_meaning(0x17), "instrument cluster #1");
    EXPECT_EQ(address_meaning(0x21), "body controller");
    EXPECT_EQ(address_meaning(0xEE), "tachograph");
    EXPECT_EQ(address_meaning(0xF9), "off-board diagnostic service tool #1");
    EXPECT_EQ(address_meaning(0xFE), "null address (cannot claim)");
    EXPECT_EQ(address_meaning(0x80), ""); // dynamic, no preferred use
}

// ---- identifications --------------------------------------------------------------------

std::vector<IdentificationField> fields_of(uint32_t pgn, std::string_view text) {
    return identification_fields(pgn, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

std::vector<std::string> rendered(const std::vector<IdentificationField> &fields) {
    std::vector<std::string> out;
    out.reserve(fields.size());
    for (const IdentificationField &f : fields) {
        out.push_back(f.label + "=" + f.value);
    }
    return out;
}

using Strings = std::vector<std::string>;

TEST(Identification, SplitsAtEachAsterisk) {
    EXPECT_EQ(split_at_asterisks("A*B*"), (Strings{"A", "B"}));
    EXPECT_EQ(split_at_asterisks("A*B"), (Strings{"A", "B"}));
    EXPECT_EQ(split_at_asterisks("A**B*"), (Strings{"A", "", "B"}));
    EXPECT_EQ(split_at_asterisks("*"), (Strings{""}));
    EXPECT_EQ(split_at_asterisks(""), Strings{});
    // A single frame pads with 0xFF (or NUL) after the last field.
    EXPECT_EQ(split_at_asterisks(std::string_view("AB*\xFF\xFF\xFF", 6)), (Strings{"AB"}));
    EXPECT_EQ(split_at_asterisks(std::string_view("AB*C\0\0", 6)), (Strings{"AB", "C"}));
    EXPECT_EQ(split_at_asterisks("a b*c-d*"), (Strings{"a b", "c-d"}));
}

TEST(Identification, FieldsCarryTheStandardsLabels) {
    EXPECT_EQ(rendered(fields_of(kPgnComponentIdentification, "VEHCAN*SIM-1*S42*U7*extra*")),
              (Strings{"make=VEHCAN", "model=SIM-1", "serial number=S42", "unit number=U7",
                       "field 5=extra"}));
    EXPECT_EQ(rendered(fields_of(kPgnEcuIdentification, "P1*S2*cab*body*ACME*H3*")),
              (Strings{"part number=P1", "serial number=S2", "location=cab", "type=body",
                       "manufacturer=ACME", "hardware id=H3"}));
    // Older ECUs send the first four only.
    EXPECT_EQ(rendered(fields_of(kPgnEcuIdentification, "P1*S2*cab*body*")),
              (Strings{"part number=P1", "serial number=S2", "location=cab", "type=body"}));
}

TEST(Identification, SoftwareTakesAsManyFieldsAsItsFirstByteCounts) {
    EXPECT_EQ(rendered(fields_of(kPgnSoftwareIdentification, "\x02V1.0*CAL 7*junk*")),
              (Strings{"software 1=V1.0", "software 2=CAL 7"}));
    EXPECT_EQ(rendered(fields_of(kPgnSoftwareIdentification, "\x03V1.0*")),
              (Strings{"software 1=V1.0"}));
    EXPECT_TRUE(fields_of(kPgnSoftwareIdentification, std::string_view("\0A*", 3)).empty());
    EXPECT_TRUE(identification_fields(kPgnSoftwareIdentification, nullptr, 0).empty());
    EXPECT_EQ(identification_title(kPgnSoftwareIdentification), "software identification");
}

} // namespace
