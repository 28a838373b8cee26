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

using Payload = std::array<uint8_t, 8>;

// Byte `at` holds v, byte `other` holds 255 - v, the rest v's bits rotated.
Payload payload_with(int v, int at, int other = -1) {
    Payload p{};
    p.fill(static_cast<uint8_t>(((v << 3) | (v >> 5)) & 0xFF));
    p[static_cast<std::size_t>(at)] = static_cast<uint8_t>(v);
    if (other >= 0) {
        p[static_cast<std::size_t>(other)] = static_cast<uint8_t>(255 - v);
    }
    return p;
}

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
        const bool nibble = v < 16;
        EXPECT_EQ(rec.bin_val[0], nibble ? v / 8 % 2 : 0) << v;
        EXPECT_EQ(rec.bin_val[1], nibble ? v / 4 % 2 : 0) << v;
        EXPECT_EQ(rec.bin_val[2], nibble ? v / 2 % 2 : 0) << v;
        EXPECT_EQ(rec.bin_val[3], nibble ? v % 2 : 0) << v;
        const auto *raw = reinterpret_cast<const unsigned char *>(&rec);
        for (std::size_t i = 0; i < sizeof rec; ++i) {
            ASSERT_TRUE((i >= kFirst && i < kEnd) || raw[i] == 0x5A) << v << " byte " << i;
        }
    }
}

TEST(StatusFields, ClutchBrakeAndCruiseSwitchesOfEveryByte3) {
    for (int v = 0; v < 256; ++v) {
        const Payload p = payload_with(v, 3);
        int clutch = kUnset, brake = kUnset, cruise = kUnset;
        ASSERT_EQ(j1939_get_clutch_cruice_cntrl_brake_switch_state(p.data(), 8, 65265, &clutch,
                                                                   &brake, &cruise),
                  0);
        EXPECT_EQ(clutch, two_state(v / 64, 4081, 4082)) << v;
        EXPECT_EQ(brake, two_state(v / 16 % 4, 4083, 4084)) << v;
        EXPECT_EQ(cruise, two_state(v % 4, 4085, 4086)) << v;
    }
}

TEST(StatusFields, PtoStatesOfEveryByte6) {
    for (int v = 0; v < 256; ++v) {
        const Payload p = payload_with(v, 6);
        int governor = kUnset, engagement = kUnset;
        ASSERT_EQ(j1939_get_pto_state(p.data(), 8, 65265, &governor), 0);
        ASSERT_EQ(j1939_get_ptode_state(p.data(), 8, 65265, &engagement), 0);
        const int nibble = v % 16;
        EXPECT_EQ(governor, nibble == 0 ? 0 : nibble == 5 ? 5 : nibble == 15 ? 31 : kUnset) << v;
        EXPECT_EQ(engagement, v % 4) << v;
    }
}

TEST(StatusFields, TachographDriverStatesOfEveryByteValue) {
    for (int v = 0; v < 256; ++v) {
        const Payload working = payload_with(v, 0);
        int w1 = kUnset, w2 = kUnset;
        ASSERT_EQ(j1939_get_driver_working_state(working.data(), 8, &w1, &w2), 0);
        const auto reserved_4_5 = [](int s) { return s == 4 || s == 5 ? kUnset : s; };
        EXPECT_EQ(w1, reserved_4_5(v % 8)) << v;
        EXPECT_EQ(w2, reserved_4_5(v / 8 % 8)) << v;

        const int v2 = 255 - v;
        const Payload cards = payload_with(v, 1, 2);
        int c1 = kUnset, c2 = kUnset, t1 = kUnset, t2 = kUnset;
        ASSERT_EQ(j1939_get_driver_card_state(cards.data(), 8, &c1, &c2), 0);
        ASSERT_EQ(j1939_get_driver_rel_state(cards.data(), 8, &t1, &t2), 0);
        EXPECT_EQ(c1, two_state(v / 16 % 4, 4091, 4095)) << v;
        EXPECT_EQ(c2, two_state(v2 / 16 % 4, 4092, 4096)) << v;
        const auto reserved_7_13 = [](int s) { return s >= 7 && s <= 13 ? kUnset : s; };
        EXPECT_EQ(t1, reserved_7_13(v % 16)) << v;
        EXPECT_EQ(t2, reserved_7_13(v2 % 16)) << v;
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
    const Payload zeros{}; // every field of every decoder has a code for 0
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
