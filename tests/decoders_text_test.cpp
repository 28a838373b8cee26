// SPDX-License-Identifier: MIT
// Driver identification and vehicle identification number decoders.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

const uint8_t *bytes(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// "result|driver1|driver2" of one call with outputs filled with '#'. A
// decoder writes a field and its zero and nothing after them, so a caller's
// buffer sized for the field suffices; "#" after a zero fails the check.
std::string drivers(const std::string &payload, int len) {
    std::array<std::array<char, 300>, 2> out{};
    out[0].fill('#');
    out[1].fill('#');
    const int r = j1939_tacho_get_drivers_id(bytes(payload), len, out[0].data(), out[1].data());
    for (auto &d : out) {
        for (std::size_t i = strnlen(d.data(), d.size()) + 1; i < d.size(); ++i) {
            EXPECT_EQ(d[i], '#') << payload << " byte " << i;
        }
        d.back() = '\0';
    }
    return std::to_string(r) + "|" + out[0].data() + "|" + out[1].data();
}
std::string drivers(const std::string &payload) {
    return drivers(payload, static_cast<int>(payload.size()));
}

TEST(DriverIds, FieldsSplitAtTheDelimiterAndEmptyFieldsReadAsStar) {
    EXPECT_EQ(drivers("ABC*DEF*"), "0|ABC|DEF");
    EXPECT_EQ(drivers("*DEF*"), "0|*|DEF");
    EXPECT_EQ(drivers("ABC**"), "0|ABC|*");
    EXPECT_EQ(drivers("ABC*"), "0|ABC|");
    EXPECT_EQ(drivers("*"), "0|*|");
    EXPECT_EQ(drivers("ABC*DEF"), "0|ABC|DEF"); // no final delimiter
    EXPECT_EQ(drivers("ABCDEF"), "0|ABCDEF|");  // no delimiter at all
    EXPECT_EQ(drivers(std::string("AB\0C*XY*", 8)), "0|AB|XY");
    EXPECT_EQ(drivers("ABC*DEF*", 2), "0|AB|"); // nothing read at or past len
    EXPECT_EQ(drivers("ABC*DEF*", 6), "0|ABC|DE");
    EXPECT_EQ(drivers("ABC**", 4), "0|ABC|");
}

TEST(DriverIds, LongFieldsAreCutAt255Bytes) {
    const std::string a255(255, 'a'), c255(255, 'c');
    EXPECT_EQ(drivers(a255 + "*" + std::string(256, 'b') + "*"),
              "0|" + a255 + "|" + std::string(255, 'b'));
    // driver 2 starts after the delimiter that really ends driver 1
    EXPECT_EQ(drivers(std::string(400, 'c') + "*XY*"), "0|" + c255 + "|XY");
    EXPECT_EQ(drivers(std::string(400, 'c')), "0|" + c255 + "|");
}

TEST(DriverIds, RefusalsWriteNothing) {
    const std::string untouched(299, '#');
    const std::string refused = "-4073|" + untouched + "|" + untouched;
    EXPECT_EQ(drivers("ABC*DEF*", 0), refused);
    EXPECT_EQ(drivers("ABC*DEF*", -1), refused);
    char d1[4] = "d1", d2[4] = "d2";
    EXPECT_EQ(j1939_tacho_get_drivers_id(nullptr, 8, d1, d2), J1939_ERR_INVALID_DATA);
    EXPECT_STREQ(d1, "d1");
    EXPECT_STREQ(d2, "d2");
}

// "result|vin|printed" of one call. vin is sized len + 1 as callers do and
// filled with 'x' rather than cleared, so the decoder must end the text
// itself; a canary after it must survive.
std::string vin(const uint8_t *payload, int len) {
    const std::size_t room = len > 0 ? static_cast<std::size_t>(len) + 1 : 1;
    std::string buf(room, 'x');
    buf += '#';
    testing::internal::CaptureStdout();
    const int r = decode_vehicle_identification_number(payload, len, buf.data());
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(buf[room], '#');
    return std::to_string(r) + "|" + std::string(buf.data(), strnlen(buf.data(), room)) + "|" +
           printed;
}

TEST(VehicleIdentificationNumber, CopiesUpToTheDelimiterAndPrintsOneLine) {
    EXPECT_EQ(vin(bytes("1FUJGLDR12LM12345*XYZ"), 21), "0|1FUJGLDR12LM12345|1FUJGLDR12LM12345\n");
    EXPECT_EQ(vin(bytes("ABCDEFGHIJKLMNOPQRST"), 20),
              "0|ABCDEFGHIJKLMNOPQRST|ABCDEFGHIJKLMNOPQRST\n");
    EXPECT_EQ(vin(bytes("ABCDEFGHIJKLMNOPQRST"), 5), "0|ABCDE|ABCDE\n");
    EXPECT_EQ(vin(bytes("*ABC"), 4), "0|*|*\n");
}

TEST(VehicleIdentificationNumber, RefusalsWriteAndPrintNothing) {
    EXPECT_EQ(vin(bytes("ABC*"), 0), "-4073|x|");
    EXPECT_EQ(vin(bytes("ABC*"), -3), "-4073|x|");
    EXPECT_EQ(vin(nullptr, 4), "-4073|xxxxx|");
}

} // namespace
