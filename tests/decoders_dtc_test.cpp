// SPDX-License-Identifier: MIT
// DM1 trouble code decoding: lamps, SPN and FMI of the first code.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

TEST(Dm1, LampsSpnAndFmiOfEveryByteValue) {
    for (int v = 0; v < 256; ++v) {
        // Bytes 1 and 5 (flash lamps, occurrence count) hold other values, and
        // the PGN and length vary, none of which may change the result.
        const auto u = static_cast<uint8_t>(v), w = static_cast<uint8_t>(255 - v);
        const std::array<uint8_t, 8> p{u, w, 0x34, 0x12, u, w, w, w};
        DTC d{};
        d.occurence_count = 77;
        ASSERT_EQ(decode_dtc(static_cast<unsigned>(v) * 251U, p.data(), v - 100, &d), 0);
        EXPECT_EQ(d.mil_status, v / 64) << v;
        EXPECT_EQ(d.rsl_status, v / 16 % 4) << v;
        EXPECT_EQ(d.awl_status, v / 4 % 4) << v;
        EXPECT_EQ(d.pl_status, v % 4) << v;
        EXPECT_EQ(d.spn, 0x1234UL + 65536UL * static_cast<unsigned long>(v / 32)) << v;
        EXPECT_EQ(d.fmi, v % 32) << v;
        EXPECT_EQ(d.occurence_count, 77);
    }
    const std::array<uint8_t, 5> engine_speed{0, 0, 0xBE, 0x00, 0x02},
        largest{0, 0, 0xFF, 0xFF, 0xE0};
    DTC d{};
    decode_dtc(65226, engine_speed.data(), 5, &d);
    EXPECT_EQ(d.spn, 190UL);
    EXPECT_EQ(d.fmi, 2);
    decode_dtc(65226, largest.data(), 5, &d);
    EXPECT_EQ(d.spn, 524287UL);
    EXPECT_EQ(d.fmi, 0);
}

TEST(Dm1, NullPayloadOrRecordIsRefused) {
    const std::array<uint8_t, 8> p{0xFF, 0, 1, 2, 3};
    DTC d{};
    d.fmi = -1;
    EXPECT_EQ(decode_dtc(65226, nullptr, 8, &d), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(decode_dtc(65226, p.data(), 8, nullptr), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(d.fmi, -1);
    EXPECT_EQ(d.mil_status, 0);
}

} // namespace
