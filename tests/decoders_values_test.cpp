// SPDX-License-Identifier: MIT
// Scaled value decoders and the axle location, through the public C API.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using Payload = std::array<uint8_t, 8>;
constexpr double kUntouched = -12345.5;

// Distinct bytes show a row that reads the wrong bytes or the wrong order;
// 0x88 on top of a 32-bit field checks that raw values above 2^31 stay unsigned.
constexpr Payload kDistinct{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
constexpr Payload kAllFF{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct Row {
    unsigned long pgn;
    double value;  // of kDistinct, worked out by hand from the standard's scaling
    int bytes;     // the len that just reaches the parameter's last byte
    double all_ff; // what all 0xFF writes (kUntouched: nothing)
};

constexpr Row kRows[] = {
    {61443, 13.6, 2, kUntouched},    // 34 x 0.4 %
    {61444, 2728.5, 5, 0},           // 0x5544 x 0.125 rpm
    {64777, 2289526.357, 8, 0},      // 0x88776655 x 0.001 L
    {65132, 136.46484375, 8, 0},     // 0x8877 / 256 km/h
    {65216, -95185.0, 3, -160635.0}, // 0x3322 x 5 - 160635 km
    {65217, 5721008725.0, 4, 0},     // 0x44332211 x 5 m
    {65253, 57210087.25, 4, 0},      // 0x44332211 x 0.05 h
    {65257, 1144763178.5, 8, 0},     // 0x88776655 x 0.5 L
    {65258, 6545.0, 3, 0},           // 0x3322 x 0.5 kg
    {65262, -23.0, 1, kUntouched},   // 17 - 40 degC
    {65265, 51.1328125, 3, 0},       // 0x3322 / 256 km/h
    {65276, 13.6, 2, kUntouched},    // 34 x 0.4 %
};

void expect_decodes(const uint8_t *payload, int len, unsigned long pgn, int result, double value) {
    double got = kUntouched;
    EXPECT_EQ(decode_without_xml(payload, len, pgn, &got), result) << "len " << len;
    EXPECT_DOUBLE_EQ(got, value) << "len " << len;
}

TEST(ScaledValues, EveryRowWithItsBytesScalingNotAvailableRuleAndLength) {
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.pgn);
        expect_decodes(kDistinct.data(), 8, row.pgn, 0, row.value);
        expect_decodes(kDistinct.data(), row.bytes, row.pgn, 0, row.value);
        expect_decodes(kDistinct.data(), -1, row.pgn, 0, row.value); // len <= 0: not consulted
        expect_decodes(kAllFF.data(), 8, row.pgn, 0, row.all_ff);
        expect_decodes(nullptr, 8, row.pgn, J1939_ERR_INVALID_DATA, kUntouched);
        if (row.bytes > 1) {
            expect_decodes(kDistinct.data(), row.bytes - 1, row.pgn, J1939_ERR_INVALID_DATA,
                           kUntouched);
        }
    }
}

TEST(ScaledValues, OnlyAWholeFieldOfFfIsNotAvailable) {
    const struct {
        unsigned long pgn;
        Payload payload;
        double value;
    } cases[] = {
        {61444, {0, 0, 0, 0xFF, 0x12}, 607.875},
        {61444, {0, 0, 0, 0x00, 0x20}, 1024.0},
        {65253, {0xFF, 0xFF, 0xFF, 0x00}, 838860.75},
        {65216, {0, 0x7F, 0x7D}, 0.0},
        {64777, {0, 0, 0, 0, 0x40, 0x42, 0x0F, 0x00}, 1000.0},
        {65262, {0xFE}, 214.0}, // the error indicator decodes like any number
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pgn);
        expect_decodes(c.payload.data(), 8, c.pgn, 0, c.value);
    }
}

TEST(ScaledValues, PgnWithoutRowIsRefusedBeforeThePayloadIsLookedAt) {
    expect_decodes(kDistinct.data(), 8, 65260, J1939_PGN_NOT_SUPPORTED, kUntouched);
    expect_decodes(nullptr, 0, 65260, J1939_PGN_NOT_SUPPORTED, kUntouched);
    // The whole PGN selects the row, not its low 16 bits.
    expect_decodes(kDistinct.data(), 8, 65262 + 0x10000UL, J1939_PGN_NOT_SUPPORTED, kUntouched);
}

TEST(AxleLocation, UpperNibbleCountsFromOneAndFailuresWriteNothing) {
    for (int byte = 0; byte < 0xFF; ++byte) {
        const Payload p{static_cast<uint8_t>(byte), 0xFF, 0xFF};
        int axle = -1;
        ASSERT_EQ(get_axle_location(p.data(), 1, 65258, &axle), 0);
        EXPECT_EQ(axle, byte / 16 + 1) << byte;
    }
    const Payload not_available{0xFF, 0x21}, good{0x21};
    int axle = -1;
    EXPECT_EQ(get_axle_location(not_available.data(), 8, 65258, &axle), J1939_FAIL);
    EXPECT_EQ(get_axle_location(good.data(), 8, 65262, &axle), J1939_FAIL);
    EXPECT_EQ(get_axle_location(nullptr, 8, 65258, &axle), J1939_FAIL);
    EXPECT_EQ(axle, -1);
    EXPECT_EQ(get_axle_location(good.data(), 0, 65258, &axle), 0); // len 0: not consulted
    EXPECT_EQ(axle, 3);
}

} // namespace
