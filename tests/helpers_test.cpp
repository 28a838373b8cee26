// SPDX-License-Identifier: MIT
// Conversion helpers: text to numbers, binary-digit numbers, bit arrays and
// whole-second time differences, at their worked examples and their limits.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace {

// An independent reading of a binary-digit number: digit d at decimal
// position k is worth d * 2^k.
int64_t binary_digits_value(int64_t n) {
    int64_t value = 0;
    for (int64_t place = 1; n != 0; n /= 10, place *= 2) {
        value += (n % 10) * place;
    }
    return value;
}

TEST(TextConversion, IntegersAsStrtolReadsThem) {
    EXPECT_EQ(chartoint(" 42abc"), 42);
    EXPECT_EQ(chartoint("abc"), 0);
    EXPECT_EQ(chartoint("-17"), -17);
    EXPECT_EQ(chartoint("-4062"), J1939_ERR_INVALID_FIELD) << "an ordinary value";
    EXPECT_EQ(chartoint(nullptr), J1939_ERR_INVALID_FIELD);
}

TEST(TextConversion, IntegersBeyondTheIntRangeSaturate) {
    EXPECT_EQ(chartoint("2147483647"), INT_MAX);
    EXPECT_EQ(chartoint("2147483648"), INT_MAX);
    EXPECT_EQ(chartoint("99999999999999999999999"), INT_MAX);
    EXPECT_EQ(chartoint("-2147483649"), INT_MIN);
}

TEST(TextConversion, Floats) {
    double v = 9.0;
    EXPECT_EQ(chartofloat("0.05", &v), 0);
    EXPECT_DOUBLE_EQ(v, 0.05);
    EXPECT_EQ(chartofloat("rpm", &v), 0);
    EXPECT_DOUBLE_EQ(v, 0.0);
    v = 9.0;
    EXPECT_EQ(chartofloat(nullptr, &v), J1939_ERR_INVALID_FIELD);
    EXPECT_DOUBLE_EQ(v, 9.0);
}

TEST(BinaryDigits, WorkedExamples) {
    EXPECT_EQ(binaryToDecimal(0), 0);
    EXPECT_EQ(binaryToDecimal(101), 5);
    EXPECT_EQ(binaryToDecimal(1111111111), 1023);
    EXPECT_EQ(binaryToDecimal(12), 4);
    EXPECT_EQ(binaryToDecimal(2), 2);
    EXPECT_EQ(binaryToDecimal(-101), -5);
}

TEST(BinaryDigits, EveryIntDecodesWithoutOverflow) {
    for (int n : {INT_MAX, INT_MIN, 999999999, -999999999, 2000000000}) {
        EXPECT_EQ(binaryToDecimal(n), binary_digits_value(n)) << n;
    }
}

TEST(BinaryDigits, ValuesToBinaryDigitsAndBack) {
    long b = -1;
    const struct {
        int value;
        long digits;
    } cases[] = {{0, 0}, {5, 101}, {25, 11001}, {1023, 1111111111}, {-5, -101}};
    for (const auto &c : cases) {
        EXPECT_EQ(dec_num_to_bin_num(c.value, &b), 0);
        EXPECT_EQ(b, c.digits) << c.value;
    }
    for (int v = -1023; v <= 1023; ++v) {
        ASSERT_EQ(dec_num_to_bin_num(v, &b), 0);
        ASSERT_EQ(binaryToDecimal(static_cast<int>(b)), v);
    }
    // Beyond ten digits the result saturates instead of overflowing a 32-bit long.
    EXPECT_EQ(dec_num_to_bin_num(1024, &b), 0);
    EXPECT_EQ(b, 1111111111L);
    EXPECT_EQ(dec_num_to_bin_num(INT_MIN, &b), 0);
    EXPECT_EQ(b, -1111111111L);
}

TEST(BitArrays, JoiningElementsAsDigits) {
    int v = -1;
    const int five[] = {1, 0, 1};
    EXPECT_EQ(bin_arr_to_dec(five, 3, &v), 0);
    EXPECT_EQ(v, 5);
    const int twenty_five[] = {1, 1, 0, 0, 1};
    EXPECT_EQ(bin_arr_to_dec(twenty_five, 5, &v), 0);
    EXPECT_EQ(v, 25);
    const int two_digit[] = {1, 10};
    EXPECT_EQ(bin_arr_to_dec(two_digit, 2, &v), 0);
    EXPECT_EQ(v, 6) << "joins to 110";
    EXPECT_EQ(bin_arr_to_dec(five, 0, &v), 0);
    EXPECT_EQ(v, 0);
}

TEST(BitArrays, JoinStopsBeforeLeavingTheIntRange) {
    int v = -1;
    const int ones[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(bin_arr_to_dec(ones, 12, &v), 0);
    EXPECT_EQ(v, 1023) << "ten digits fit, the eleventh is dropped";
    const int huge[] = {1, 2000000000};
    EXPECT_EQ(bin_arr_to_dec(huge, 2, &v), 0);
    EXPECT_EQ(v, 1);
    const int big_first[] = {INT_MAX, 1};
    EXPECT_EQ(bin_arr_to_dec(big_first, 2, &v), 0);
    EXPECT_EQ(v, binaryToDecimal(INT_MAX));
}

TEST(BitArrays, FilterBitsTakesBitsFromTheTopPosition) {
    // Positions 1..4 hold 1, 0, 1, 1; position 0 is never read.
    const int bits[] = {9, 1, 0, 1, 1};
    int v = -1;
    EXPECT_EQ(filter_bits(bits, 1, 4, 4, &v), 0);
    EXPECT_EQ(v, 13);
    EXPECT_EQ(filter_bits(bits, 3, 4, 4, &v), 0);
    EXPECT_EQ(v, 12) << "two bits, then two zero digits";
    EXPECT_EQ(filter_bits(bits, 4, 3, 3, &v), 0);
    EXPECT_EQ(v, 4) << "start above end takes the bit at end, then two zero digits";
    EXPECT_EQ(filter_bits(bits, 4, 4, 1, &v), 0);
    EXPECT_EQ(v, 1);
}

TEST(BitArrays, FilterBitsRefusesBadPositionsAndCounts) {
    const int bits[12] = {};
    int v = 77;
    EXPECT_EQ(filter_bits(bits, 1, 4, 0, &v), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(filter_bits(bits, 0, 4, 4, &v), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(filter_bits(bits, 1, 0, 4, &v), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(filter_bits(bits, 1, 11, 11, &v), J1939_ERR_INVALID_DATA) << "ten bits at most";
    EXPECT_EQ(v, 77);
}

TEST(Time, WholeSecondsOnly) {
    const timespec a = {5, 900000000};
    const timespec b = {6, 100000000};
    const timespec c = {1, 100000000};
    const timespec d = {1, 900000000};
    EXPECT_EQ(time_diff_seconds(&b, &a), 1);
    EXPECT_EQ(time_diff_seconds(&d, &c), 0);
    EXPECT_EQ(time_diff_seconds(&a, &b), -1);
}

} // namespace
