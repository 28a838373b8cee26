// SPDX-License-Identifier: MIT
// The NAME: its fields at their bit boundaries, Address Claimed's payload,
// the NAME given on the command line, and the machine's default NAME.
#include "common.h"
#include "name.h"
#include "our_address.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

using namespace vehcan::claim;

namespace {

// The simulated truck's engine: identity 123456, manufacturer 1234,
// vehicle system 1, on-highway, not arbitrary capable.
constexpr uint64_t kEngineName = 0x100200009A41E240ULL;

NameFields engine_fields() {
    NameFields f;
    f.identity_number = 123456;
    f.manufacturer_code = 1234;
    f.vehicle_system = 1;
    f.industry_group = 1;
    return f;
}

struct OneField {
    const char *field;
    NameFields fields;
    uint64_t name;
};

NameFields with(void (*set)(NameFields &)) {
    NameFields f;
    set(f);
    return f;
}

} // namespace

// ---- fields to and from 64 bits ---------------------------------------------------------

TEST(ClaimNameFields, AKnownNameIsBuiltFromItsFieldsAndSplitBack) {
    EXPECT_EQ(make_name(engine_fields()), kEngineName);
    EXPECT_EQ(split_name(kEngineName), engine_fields());
}

TEST(ClaimNameFields, EachFieldAtItsLargestValueFillsExactlyItsBits) {
    const std::array<OneField, 9> cases{{
        {"identity number", with([](NameFields &f) { f.identity_number = 0x1FFFFF; }),
         0x00000000001FFFFFULL},
        {"manufacturer code", with([](NameFields &f) { f.manufacturer_code = 0x7FF; }),
         0x00000000FFE00000ULL},
        {"ECU instance", with([](NameFields &f) { f.ecu_instance = 7; }), 0x0000000700000000ULL},
        {"function instance", with([](NameFields &f) { f.function_instance = 31; }),
         0x000000F800000000ULL},
        {"function", with([](NameFields &f) { f.function = 255; }), 0x0000FF0000000000ULL},
        {"vehicle system", with([](NameFields &f) { f.vehicle_system = 127; }),
         0x00FE000000000000ULL},
        {"vehicle system instance", with([](NameFields &f) { f.vehicle_system_instance = 15; }),
         0x0F00000000000000ULL},
        {"industry group", with([](NameFields &f) { f.industry_group = 7; }),
         0x7000000000000000ULL},
        {"arbitrary address capable",
         with([](NameFields &f) { f.arbitrary_address_capable = true; }), 0x8000000000000000ULL},
    }};
    for (const OneField &c : cases) {
        SCOPED_TRACE(c.field);
        EXPECT_EQ(make_name(c.fields), c.name);
        EXPECT_EQ(split_name(c.name), c.fields);
    }
}

TEST(ClaimNameFields, AFieldWiderThanItsBitsIsRefusedByName) {
    std::string_view bad;
    NameFields f = engine_fields();
    f.identity_number = 0x200000;
    EXPECT_FALSE(make_name(f, &bad));
    EXPECT_EQ(bad, "identity number");
    f = engine_fields();
    f.vehicle_system = 128;
    EXPECT_FALSE(make_name(f, &bad));
    EXPECT_EQ(bad, "vehicle system");
    f = engine_fields();
    f.industry_group = 8;
    EXPECT_FALSE(make_name(f, &bad));
    EXPECT_EQ(bad, "industry group");
}

TEST(ClaimNameFields, TheReservedBitIsIgnoredWhenSplitting) {
    EXPECT_EQ(split_name(kEngineName | 1ULL << 48), engine_fields());
}

TEST(ClaimNameFields, BitSixtyThreeSaysArbitraryAddressCapable) {
    EXPECT_FALSE(arbitrary_address_capable(kEngineName));
    EXPECT_TRUE(arbitrary_address_capable(kEngineName | 1ULL << 63));
}

// ---- the payload ---------------------------------------------------------------------------

TEST(ClaimNamePayload, TheNameTravelsLeastSignificantByteFirst) {
    const std::array<uint8_t, 8> expected{0x40, 0xE2, 0x41, 0x9A, 0x00, 0x00, 0x02, 0x10};
    EXPECT_EQ(name_payload(kEngineName), expected);
    EXPECT_EQ(payload_name(expected.data(), expected.size()), kEngineName);
}

TEST(ClaimNamePayload, AShortPayloadHasNoName) {
    const std::array<uint8_t, 8> bytes{0x40, 0xE2, 0x41, 0x9A, 0x00, 0x00, 0x02, 0x10};
    EXPECT_FALSE(payload_name(bytes.data(), 7));
    EXPECT_FALSE(payload_name(nullptr, 8));
}

// ---- the NAME on the command line --------------------------------------------------------

TEST(ClaimNameText, SixteenHexDigitsWithOrWithout0x) {
    EXPECT_EQ(parse_name("100200009A41E240"), kEngineName);
    EXPECT_EQ(parse_name("0x100200009a41e240"), kEngineName);
    EXPECT_EQ(parse_name("FFFFFFFFFFFFFFFF"), 0xFFFFFFFFFFFFFFFFULL);
}

TEST(ClaimNameText, AnythingElseIsRefused) {
    EXPECT_FALSE(parse_name("100200009A41E24"));   // 15 digits
    EXPECT_FALSE(parse_name("100200009A41E2400")); // 17
    EXPECT_FALSE(parse_name("100200009A41E24G"));
    EXPECT_FALSE(parse_name("0x"));
    EXPECT_FALSE(parse_name(""));
    EXPECT_FALSE(parse_name(" 100200009A41E240"));
}

// ---- the default NAME ----------------------------------------------------------------------

TEST(ClaimDefaultName, ArbitraryCapableServiceToolOfTheGlobalGroup) {
    EXPECT_EQ(make_name(default_name_fields(0x1E240)), 0x800081000001E240ULL);
    // An identity number wider than 21 bits keeps its low bits.
    EXPECT_EQ(default_name_fields(0x21E240).identity_number, 0x1E240U);
}

TEST(ClaimDefaultName, TheIdentityNumberIsTheMachineIdsFoldedHash) {
    // FNV-1a of "a" is 0xE40C292C; its top 11 bits (0x720) folded into
    // the low 21 (0x0C292C).
    EXPECT_EQ(identity_number_of("a"), 0x0C2E0CU);
    EXPECT_EQ(identity_number_of("  a\n"), 0x0C2E0CU);
    EXPECT_EQ(identity_number_of(""), 0U);
    const uint32_t one = identity_number_of("3f0e5a77c1d84c7f9a6b2e1d0c9b8a71");
    const uint32_t two = identity_number_of("3f0e5a77c1d84c7f9a6b2e1d0c9b8a72");
    EXPECT_NE(one, two);
    EXPECT_LT(one, 1U << 21);
    EXPECT_LT(two, 1U << 21);
}

TEST(ClaimDefaultName, ReadsTheMachineIdFileElseTheHostName) {
    char path[] = "/tmp/vehcan-machine-id.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    { std::ofstream(path) << "3f0e5a77c1d84c7f9a6b2e1d0c9b8a71\n"; }
    EXPECT_EQ(default_identity_number(path),
              identity_number_of("3f0e5a77c1d84c7f9a6b2e1d0c9b8a71"));
    { std::ofstream(path) << "\n"; }
    std::array<char, 256> host{};
    ASSERT_EQ(gethostname(host.data(), host.size() - 1), 0);
    EXPECT_EQ(default_identity_number(path), identity_number_of(host.data()));
    ASSERT_EQ(std::remove(path), 0);
    EXPECT_EQ(default_identity_number(path), identity_number_of(host.data()));
}

// ---- the command line's address options ----------------------------------------------------

TEST(ClaimAddressOptions, TheDefaultsClaim0xF9WithTheMachinesName) {
    const vehcan::cli::AddressPlan p = vehcan::cli::plan_address({});
    EXPECT_EQ(p.from, 0xF9);
    EXPECT_TRUE(p.claim);
    EXPECT_EQ(p.name, make_name(default_name_fields(default_identity_number())));
}

TEST(ClaimAddressOptions, NameFromAndNoClaimAreTaken) {
    const vehcan::cli::AddressPlan p =
        vehcan::cli::plan_address({"0x80", "100200009A41E240", true});
    EXPECT_EQ(p.from, 0x80);
    EXPECT_EQ(p.name, kEngineName);
    EXPECT_FALSE(p.claim);
}

TEST(ClaimAddressOptions, BadValuesAreUsageErrors) {
    for (const vehcan::cli::ClaimOptions &o : {
             vehcan::cli::ClaimOptions{"0xFE", "", false},
             vehcan::cli::ClaimOptions{"0xFF", "", true},
             vehcan::cli::ClaimOptions{"0x100", "", false},
             vehcan::cli::ClaimOptions{"0xF9", "12345", false},
         }) {
        SCOPED_TRACE(o.from + " " + o.name);
        try {
            (void)vehcan::cli::plan_address(o);
            ADD_FAILURE() << "accepted";
        } catch (const vehcan::Failure &f) {
            EXPECT_EQ(f.code(), vehcan::kExitUsage);
        }
    }
}
