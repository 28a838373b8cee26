// SPDX-License-Identifier: MIT
// Nibble splitter and status decoders, through the public C API. Every value
// of a field's byte is checked against an arithmetic extraction of its bits,
// with the other bytes holding other values, so wrong masks, shifts and bytes
// all show.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kUnset = -7777; // preset by the caller; a left-alone output keeps it

// Two-bit fields: 00 and 01 have a state code, 10 and 11 are left alone.
int two_state(int field, int code_00, int code_01) {
    return field == 0 ? code_00 : field == 1 ? code_01 : kUnset;
}

TEST(NibbleSplitter, SplitsNibblesMostSignificantFirstAndTouchesNothingElse) {
    constexpr std::size_t kFirst = offsetof(parse_dbc, bin_val);
    constexpr std::size_t kEnd = kFirst + sizeof(parse_dbc::bin_val);
    for (int v = 0; v < 256; ++v) {
        parse_dbc rec;
        std::memset(&rec, 0x5A, sizeof rec);
        i_hex_to_bin(static_cast<uint8_t>(v), &rec);
        const int n = v < 16 ? v : 0;
        EXPECT_EQ(rec.bin_val[0] * 1000 + rec.bin_val[1] * 100 + rec.bin_val[2] * 10 +
                      rec.bin_val[3],
                  n / 8 % 2 * 1000 + n / 4 % 2 * 100 + n / 2 % 2 * 10 + n % 2)
            << v;
        const auto *raw = reinterpret_cast<const unsigned char *>(&rec);
        for (std::size_t i = 0; i < sizeof rec; ++i) {
            ASSERT_TRUE((i >= kFirst && i < kEnd) || raw[i] == 0x5A) << v << " byte " << i;
        }
    }
}

TEST(StatusFields, EveryValueOfEachFieldsByte) {
    const auto reserved_4_5 = [](int s) { return s == 4 || s == 5 ? kUnset : s; };
    const auto reserved_7_13 = [](int s) { return s >= 7 && s <= 13 ? kUnset : s; };
    for (int v = 0; v < 256; ++v) {
        SCOPED_TRACE(v);
        // Each byte that a decoder reads holds another of v, v2 and r, so a
        // field read from the wrong byte shows.
        const int v2 = 255 - v, r = (v << 3 | v >> 5) & 0xFF;
        const auto u = static_cast<uint8_t>(v), u2 = static_cast<uint8_t>(v2),
                   ur = static_cast<uint8_t>(r);
        const std::array<uint8_t, 8> ccvs{ur, ur, ur, u, ur, ur, u2, ur};
        const std::array<uint8_t, 8> tco1{u, ur, u2, u, u, u, u, u};

        int clutch = kUnset, brake = kUnset, cruise = kUnset, pto = kUnset, ptode = kUnset;
        ASSERT_EQ(j1939_get_clutch_cruice_cntrl_brake_switch_state(ccvs.data(), 8, 65265, &clutch,
                                                                   &brake, &cruise),
                  0);
        ASSERT_EQ(j1939_get_pto_state(ccvs.data(), 8, 65265, &pto), 0);
        ASSERT_EQ(j1939_get_ptode_state(ccvs.data(), 8, 65265, &ptode), 0);
        EXPECT_EQ(clutch, two_state(v / 64, 4081, 4082));
        EXPECT_EQ(brake, two_state(v / 16 % 4, 4083, 4084));
        EXPECT_EQ(cruise, two_state(v % 4, 4085, 4086));
        const int nibble = v2 % 16;
        EXPECT_EQ(pto, nibble == 0 ? 0 : nibble == 5 ? 5 : nibble == 15 ? 31 : kUnset);
        EXPECT_EQ(ptode, v2 % 4);

        int w1 = kUnset, w2 = kUnset, c1 = kUnset, c2 = kUnset, t1 = kUnset, t2 = kUnset;
        ASSERT_EQ(j1939_get_driver_working_state(tco1.data(), 8, &w1, &w2), 0);
        ASSERT_EQ(j1939_get_driver_card_state(tco1.data(), 8, &c1, &c2), 0);
        ASSERT_EQ(j1939_get_driver_rel_state(tco1.data(), 8, &t1, &t2), 0);
        EXPECT_EQ(w1, reserved_4_5(v % 8));
        EXPECT_EQ(w2, reserved_4_5(v / 8 % 8));
        EXPECT_EQ(c1, two_state(r / 16 % 4, 4091, 4095));
        EXPECT_EQ(c2, two_state(v2 / 16 % 4, 4092, 4096));
        EXPECT_EQ(t1, reserved_7_13(r % 16));
        EXPECT_EQ(t2, reserved_7_13(v2 % 16));
    }
}

// Each decoder with the payload length that just reaches its highest byte.
struct Decoder {
    const char *name;
    int (*call)(const uint8_t *, int, int *, int *);
    int bytes;
    int refusal; // for a null payload and len <= 0
};

const Decoder kDecoders[] = {
    {"switches",
     [](const uint8_t *p, int len, int *a, int *b) {
         return j1939_get_clutch_cruice_cntrl_brake_switch_state(p, len, 65265, a, b, a);
     },
     4, J1939_PGN_NOT_SUPPORTED},
    {"pto",
     [](const uint8_t *p, int len, int *a, int *) { return j1939_get_pto_state(p, len, 0, a); }, 7,
     J1939_ERR_INVALID_DATA},
    {"ptode",
     [](const uint8_t *p, int len, int *a, int *) { return j1939_get_ptode_state(p, len, 0, a); },
     7, J1939_ERR_INVALID_DATA},
    {"working", j1939_get_driver_working_state, 1, J1939_ERR_INVALID_DATA},
    {"card", j1939_get_driver_card_state, 3, J1939_ERR_INVALID_DATA},
    {"time related", j1939_get_driver_rel_state, 3, J1939_ERR_INVALID_DATA},
};

TEST(StatusFields, RefusalsWriteNothing) {
    const std::array<uint8_t, 8> zeros{}; // every field has a code for 0
    for (const Decoder &d : kDecoders) {
        SCOPED_TRACE(d.name);
        int a = kUnset, b = kUnset;
        EXPECT_EQ(d.call(nullptr, 8, &a, &b), d.refusal);
        EXPECT_EQ(d.call(zeros.data(), 0, &a, &b), d.refusal);
        EXPECT_EQ(d.call(zeros.data(), -1, &a, &b), d.refusal);
        if (d.bytes > 1) {
            EXPECT_EQ(d.call(zeros.data(), d.bytes - 1, &a, &b), J1939_ERR_INVALID_DATA);
        }
        EXPECT_EQ(a, kUnset);
        EXPECT_EQ(b, kUnset);
        EXPECT_EQ(d.call(zeros.data(), d.bytes, &a, &b), 0);
        EXPECT_NE(a, kUnset);
    }
    int clutch = kUnset, brake = kUnset, cruise = kUnset;
    for (unsigned long pgn : {65262UL, 65265UL + 0x10000UL}) {
        EXPECT_EQ(j1939_get_clutch_cruice_cntrl_brake_switch_state(zeros.data(), 8, pgn, &clutch,
                                                                   &brake, &cruise),
                  J1939_PGN_NOT_SUPPORTED);
    }
    EXPECT_EQ(clutch + brake + cruise, 3 * kUnset);
}

} // namespace
