// DM1 trouble code decoding: lamps, SPN and FMI of the first code.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using Payload = std::array<uint8_t, 8>;

DTC preset() {
    DTC d{};
    d.mil_status = d.rsl_status = d.awl_status = d.pl_status = -1;
    d.spn = 0xDEADUL;
    d.fmi = -1;
    d.occurence_count = 77;
    return d;
}

TEST(Dm1, LampPairsOfEveryByte0) {
    for (int v = 0; v < 256; ++v) {
        const Payload p{static_cast<uint8_t>(v), 0, 0xBE, 0, 0x02, 0, 0, 0};
        DTC d = preset();
        ASSERT_EQ(decode_dtc(65226, p.data(), 8, &d), 0);
        EXPECT_EQ(d.mil_status, v / 64) << v;
        EXPECT_EQ(d.rsl_status, v / 16 % 4) << v;
        EXPECT_EQ(d.awl_status, v / 4 % 4) << v;
        EXPECT_EQ(d.pl_status, v % 4) << v;
    }
}

TEST(Dm1, SpnAndFmiOfEveryByte4) {
    for (int v = 0; v < 256; ++v) {
        const Payload p{0, 0, 0x34, 0x12, static_cast<uint8_t>(v), 0, 0, 0};
        DTC d = preset();
        ASSERT_EQ(decode_dtc(65226, p.data(), 8, &d), 0);
        EXPECT_EQ(d.spn, 0x1234UL + 65536UL * static_cast<unsigned long>(v / 32)) << v;
        EXPECT_EQ(d.fmi, v % 32) << v;
    }
    const Payload all_high{0, 0, 0xFF, 0xFF, 0xE0, 0, 0, 0};
    DTC d = preset();
    decode_dtc(65226, all_high.data(), 5, &d);
    EXPECT_EQ(d.spn, 524287UL); // the largest 19-bit SPN
    EXPECT_EQ(d.fmi, 0);
}

TEST(Dm1, IgnoresPgnLengthFlashAndOccurrenceBytes) {
    const Payload a{0x44, 0x00, 0xBE, 0x00, 0x02, 0x00, 0, 0};
    const Payload b{0x44, 0xFF, 0xBE, 0x00, 0x02, 0xFF, 0xFF, 0xFF};
    DTC da = preset(), db = preset();
    ASSERT_EQ(decode_dtc(65226, a.data(), 8, &da), 0);
    ASSERT_EQ(decode_dtc(0, b.data(), 0, &db), 0);
    EXPECT_EQ(da.spn, 190UL);
    EXPECT_EQ(da.fmi, 2);
    EXPECT_EQ(da.rsl_status, 0);
    EXPECT_EQ(da.awl_status, 1);
    for (const DTC *d : {&da, &db}) {
        EXPECT_EQ(d->occurence_count, 77);
    }
    const auto fields = [](const DTC &d) {
        return std::array<unsigned long, 6>{static_cast<unsigned long>(d.mil_status),
                                            static_cast<unsigned long>(d.rsl_status),
                                            static_cast<unsigned long>(d.awl_status),
                                            static_cast<unsigned long>(d.pl_status),
                                            d.spn,
                                            static_cast<unsigned long>(d.fmi)};
    };
    EXPECT_EQ(fields(db), fields(da));
}

TEST(Dm1, NullPayloadOrRecordIsRefused) {
    const Payload p{0xFF, 0, 1, 2, 3, 0, 0, 0};
    DTC d = preset();
    EXPECT_EQ(decode_dtc(65226, nullptr, 8, &d), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(decode_dtc(65226, p.data(), 8, nullptr), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(d.mil_status, -1);
    EXPECT_EQ(d.spn, 0xDEADUL);
    EXPECT_EQ(d.fmi, -1);
}

} // namespace
