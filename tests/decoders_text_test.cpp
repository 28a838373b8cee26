// Driver identification and vehicle identification number decoders.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

struct DriverIds {
    int result;
    std::string driver1;
    std::string driver2;
};

// Output buffers filled with '#': a decoder may write a field and its zero,
// and nothing after them, so a caller's buffer sized for the field suffices.
DriverIds drivers(const std::vector<uint8_t> &payload, int len) {
    std::array<char, 300> d1{}, d2{};
    d1.fill('#');
    d2.fill('#');
    const int result = j1939_tacho_get_drivers_id(payload.data(), len, d1.data(), d2.data());
    for (const auto *d : {&d1, &d2}) {
        for (std::size_t i = strnlen(d->data(), d->size()) + 1; i < d->size(); ++i) {
            EXPECT_EQ((*d)[i], '#') << i;
        }
    }
    d1.back() = d2.back() = '\0';
    return {result, d1.data(), d2.data()};
}

DriverIds drivers(const std::string &payload) {
    return drivers(bytes(payload), static_cast<int>(payload.size()));
}

void expect_ids(const DriverIds &got, const std::string &driver1, const std::string &driver2) {
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.driver1, driver1);
    EXPECT_EQ(got.driver2, driver2);
}

TEST(DriverIds, FieldsSplitAtTheDelimiterAndEmptyFieldsReadAsStar) {
    expect_ids(drivers("ABC*DEF*"), "ABC", "DEF");
    expect_ids(drivers("*DEF*"), "*", "DEF");
    expect_ids(drivers("ABC**"), "ABC", "*");
    expect_ids(drivers("ABC*"), "ABC", "");
    expect_ids(drivers("*"), "*", "");
    expect_ids(drivers("ABC*DEF"), "ABC", "DEF"); // no final delimiter
    expect_ids(drivers("ABCDEF"), "ABCDEF", "");  // no delimiter at all
    expect_ids(drivers(std::string("AB\0C*XY*", 8)), "AB", "XY");
    expect_ids(drivers(bytes("ABC*DEF*"), 2), "AB", ""); // nothing read past len
    expect_ids(drivers(bytes("ABC*DEF*"), 6), "ABC", "DE");
}

TEST(DriverIds, LongFieldsAreCutAt255Bytes) {
    const std::string f255(255, 'a'), f256(256, 'b'), f400(400, 'c');
    expect_ids(drivers(f255 + "*" + f256 + "*"), f255, std::string(255, 'b'));
    // driver 2 still starts after the delimiter that really ends driver 1
    expect_ids(drivers(f400 + "*XY*"), std::string(255, 'c'), "XY");
    expect_ids(drivers(f400), std::string(255, 'c'), "");
}

TEST(DriverIds, RefusalsWriteNothing) {
    const std::vector<uint8_t> payload = bytes("ABC*DEF*");
    for (int len : {0, -1}) {
        const DriverIds got = drivers(payload, len);
        EXPECT_EQ(got.result, J1939_ERR_INVALID_DATA);
        EXPECT_EQ(got.driver1, std::string(299, '#'));
        EXPECT_EQ(got.driver2, std::string(299, '#'));
    }
    char d1[4] = "d1", d2[4] = "d2";
    EXPECT_EQ(j1939_tacho_get_drivers_id(nullptr, 8, d1, d2), J1939_ERR_INVALID_DATA);
    EXPECT_STREQ(d1, "d1");
    EXPECT_STREQ(d2, "d2");
}

struct Vin {
    int result;
    std::string text;    // the buffer read as a string
    std::string printed; // standard output of the call
    bool canary_kept;    // the byte after len + 1 is untouched
};

// vin is sized len + 1 as callers do, then a canary; filled with 'x' rather
// than cleared, to show that the text is terminated by the decoder.
Vin vin(const std::vector<uint8_t> &payload, int len) {
    const std::size_t room = len > 0 ? static_cast<std::size_t>(len) + 1 : 1;
    std::vector<char> buf(room + 1, 'x');
    buf[room] = '#';
    testing::internal::CaptureStdout();
    const int result = decode_vehicle_identification_number(
        payload.empty() ? nullptr : payload.data(), len, buf.data());
    const std::string printed = testing::internal::GetCapturedStdout();
    return {result, std::string(buf.data(), strnlen(buf.data(), room)), printed, buf[room] == '#'};
}

TEST(VehicleIdentificationNumber, CopiesUpToTheDelimiterAndPrintsOneLine) {
    const Vin full = vin(bytes("1FUJGLDR12LM12345*XYZ"), 21);
    EXPECT_EQ(full.result, 0);
    EXPECT_EQ(full.text, "1FUJGLDR12LM12345");
    EXPECT_EQ(full.printed, "1FUJGLDR12LM12345\n");

    const Vin no_delimiter = vin(bytes("ABCDEFGHIJKLMNOPQRST"), 20);
    EXPECT_EQ(no_delimiter.text, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_TRUE(no_delimiter.canary_kept);

    const Vin shorter_len = vin(bytes("ABCDEFGHIJKLMNOPQRST"), 5);
    EXPECT_EQ(shorter_len.text, "ABCDE");
    EXPECT_TRUE(shorter_len.canary_kept);

    const Vin empty = vin(bytes("*ABC"), 4);
    EXPECT_EQ(empty.text, "*");
    EXPECT_EQ(empty.printed, "*\n");
}

TEST(VehicleIdentificationNumber, RefusalsWriteAndPrintNothing) {
    for (int len : {0, -3}) {
        const Vin refused = vin(bytes("ABC*"), len);
        EXPECT_EQ(refused.result, J1939_ERR_INVALID_DATA);
        EXPECT_EQ(refused.text, "x");
        EXPECT_EQ(refused.printed, "");
    }
    const Vin null_payload = vin({}, 4);
    EXPECT_EQ(null_payload.result, J1939_ERR_INVALID_DATA);
    EXPECT_EQ(null_payload.text, "xxxxx");
    EXPECT_EQ(null_payload.printed, "");
}

} // namespace
