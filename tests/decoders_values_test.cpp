// Scaled value decoders and the axle location, through the public C API.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using Payload = std::array<uint8_t, 8>;

// Every byte distinct, so a row that reads the wrong bytes or the wrong byte
// order gives another number; 0x88 at the top of a 32-bit field checks that
// raw values above 2^31 stay unsigned.
constexpr Payload kDistinct{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

struct Expected {
    unsigned long pgn;
    double value;  // of kDistinct, worked out by hand from the standard's scaling
    int bytes;     // payload length that just reaches the parameter's last byte
    bool kept;     // all 0xFF leaves the value alone (8-bit rows)
    double all_ff; // else the value written for all 0xFF
};

constexpr Expected kRows[] = {
    {61443, 13.6, 2, true, 0},              // 34 x 0.4 %
    {61444, 2728.5, 5, false, 0},           // 0x5544 x 0.125 rpm
    {64777, 2289526.357, 8, false, 0},      // 0x88776655 x 0.001 L
    {65132, 136.46484375, 8, false, 0},     // 0x8877 / 256 km/h
    {65216, -95185.0, 3, false, -160635.0}, // 0x3322 x 5 - 160635 km
    {65217, 5721008725.0, 4, false, 0},     // 0x44332211 x 5 m
    {65253, 57210087.25, 4, false, 0},      // 0x44332211 x 0.05 h
    {65257, 1144763178.5, 8, false, 0},     // 0x88776655 x 0.5 L
    {65258, 6545.0, 3, false, 0},           // 0x3322 x 0.5 kg
    {65262, -23.0, 1, true, 0},             // 17 - 40 degC
    {65265, 51.1328125, 3, false, 0},       // 0x3322 / 256 km/h
    {65276, 13.6, 2, true, 0},              // 34 x 0.4 %
};

constexpr double kUntouched = -12345.5;

TEST(ScaledValues, EveryRowReadsItsOwnBytesWithItsScaling) {
    for (const Expected &row : kRows) {
        SCOPED_TRACE(row.pgn);
        double value = kUntouched;
        ASSERT_EQ(decode_without_xml(kDistinct.data(), 8, row.pgn, &value), 0);
        EXPECT_DOUBLE_EQ(value, row.value);
    }
}

TEST(ScaledValues, AllBytesNotAvailableFollowTheRowsWidthRule) {
    const Payload all_ff{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (const Expected &row : kRows) {
        SCOPED_TRACE(row.pgn);
        double value = kUntouched;
        ASSERT_EQ(decode_without_xml(all_ff.data(), 8, row.pgn, &value), 0);
        EXPECT_EQ(value, row.kept ? kUntouched : row.all_ff);
    }
}

TEST(ScaledValues, PartlyNotAvailableBytesDecodeAsNumbers) {
    double value = 0;
    const Payload rpm{0, 0, 0, 0xFF, 0x12, 0, 0, 0};
    ASSERT_EQ(decode_without_xml(rpm.data(), 8, 61444, &value), 0);
    EXPECT_EQ(value, 607.875);
    const Payload hours{0xFF, 0xFF, 0xFF, 0x00, 0, 0, 0, 0};
    ASSERT_EQ(decode_without_xml(hours.data(), 8, 65253, &value), 0);
    EXPECT_EQ(value, 838860.75);
    const Payload service{0, 0x7F, 0x7D, 0, 0, 0, 0, 0};
    ASSERT_EQ(decode_without_xml(service.data(), 8, 65216, &value), 0);
    EXPECT_EQ(value, 0.0);
    const Payload error_indicator{0xFE, 0, 0, 0, 0, 0, 0, 0}; // not special: 254 - 40
    ASSERT_EQ(decode_without_xml(error_indicator.data(), 8, 65262, &value), 0);
    EXPECT_EQ(value, 214.0);
}

TEST(ScaledValues, LengthIsCheckedOnlyWhenPositive) {
    for (const Expected &row : kRows) {
        SCOPED_TRACE(row.pgn);
        double value = kUntouched;
        EXPECT_EQ(decode_without_xml(kDistinct.data(), row.bytes - 1, row.pgn, &value),
                  row.bytes == 1 ? 0 : J1939_ERR_INVALID_DATA); // len 0: not consulted
        EXPECT_EQ(decode_without_xml(nullptr, 8, row.pgn, &value), J1939_ERR_INVALID_DATA);
        if (row.bytes > 1) {
            EXPECT_EQ(value, kUntouched);
        }
        EXPECT_EQ(decode_without_xml(kDistinct.data(), row.bytes, row.pgn, &value), 0);
        EXPECT_EQ(decode_without_xml(kDistinct.data(), -1, row.pgn, &value), 0);
        EXPECT_DOUBLE_EQ(value, row.value);
    }
}

TEST(ScaledValues, PgnWithoutRowIsRefusedBeforeThePayloadIsLookedAt) {
    double value = kUntouched;
    EXPECT_EQ(decode_without_xml(kDistinct.data(), 8, 65260, &value), J1939_PGN_NOT_SUPPORTED);
    EXPECT_EQ(decode_without_xml(nullptr, 0, 65260, &value), J1939_PGN_NOT_SUPPORTED);
    // The whole PGN selects the row, not its low 16 bits.
    EXPECT_EQ(decode_without_xml(kDistinct.data(), 8, 65262 + 0x10000UL, &value),
              J1939_PGN_NOT_SUPPORTED);
    EXPECT_EQ(value, kUntouched);
}

TEST(AxleLocation, UpperNibbleCountsFromOneAndFailuresWriteNothing) {
    for (int byte = 0; byte < 0xFF; ++byte) {
        const Payload p{static_cast<uint8_t>(byte), 0xFF, 0xFF, 0, 0, 0, 0, 0};
        int axle = -1;
        ASSERT_EQ(get_axle_location(p.data(), 1, 65258, &axle), 0);
        EXPECT_EQ(axle, byte / 16 + 1) << byte;
    }
    const Payload not_available{0xFF, 0x21, 0, 0, 0, 0, 0, 0};
    const Payload good{0x21, 0, 0, 0, 0, 0, 0, 0};
    int axle = -1;
    EXPECT_EQ(get_axle_location(not_available.data(), 8, 65258, &axle), J1939_FAIL);
    EXPECT_EQ(get_axle_location(good.data(), 8, 65262, &axle), J1939_FAIL);
    EXPECT_EQ(get_axle_location(nullptr, 8, 65258, &axle), J1939_FAIL);
    EXPECT_EQ(axle, -1);
    EXPECT_EQ(get_axle_location(good.data(), 0, 65258, &axle), 0); // len 0: not consulted
    EXPECT_EQ(axle, 3);
}

} // namespace
