// SPDX-License-Identifier: MIT
// The model behind the live view, without a terminal: rows per sender and
// PGN, rates and ages, sort and filter, the VIN and the diagnoses; and the
// index that tells who sent a message.
#include "bus_tap.h"
#include "live_table.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace vehcan::cli;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kEec1 = 61444;
constexpr uint32_t kDm1 = 65226;
constexpr uint32_t kVi = 65260;
constexpr uint32_t kProprietary = 65280;

Bytes eec1(double rpm) {
    const auto raw = static_cast<uint16_t>(rpm / 0.125);
    return {0xF0, 0x7D, 0x8C, static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8),
            0x00, 0xF0, 0x7D};
}

void feed(LiveTable &t, int sender, uint32_t pgn, const Bytes &data, double now) {
    t.add(sender, decode_payload(pgn, data.data(), data.size(), nullptr), data.data(), data.size(),
          now);
}

// "61444/0" for each row of the view, in its order.
std::vector<std::string> keys(const LiveTable &t, double now) {
    std::vector<std::string> out;
    for (const LiveRow *r : t.view(now)) {
        out.push_back(std::to_string(r->pgn) + "/" + std::to_string(r->sender));
    }
    return out;
}

using Strings = std::vector<std::string>;

TEST(LiveTable, OneRowPerSenderAndPgnWithTheLatestValues) {
    LiveTable t;
    feed(t, 0x00, kEec1, eec1(1500), 0.0);
    feed(t, 0x01, kEec1, eec1(800), 0.1);
    feed(t, 0x00, kEec1, eec1(1600), 0.2);
    feed(t, 0x00, kDm1, {0x04, 0xFF, 0x6E, 0x00, 0x10, 0x01, 0xFF, 0xFF}, 0.3);
    ASSERT_EQ(t.size(), 3U);
    EXPECT_EQ(t.messages(), 4U);
    const std::vector<const LiveRow *> rows = t.view(0.3);
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows[0]->sender, 0x00);
    EXPECT_EQ(rows[0]->count, 2U);
    EXPECT_EQ(rows[0]->acronym, "EEC1");
    EXPECT_EQ(rows[0]->values, "engine speed 1600 rpm");
    EXPECT_EQ(rows[1]->sender, 0x01);
    EXPECT_EQ(rows[1]->values, "engine speed 800 rpm");
    EXPECT_EQ(rows[2]->name, "Active Diagnostic Trouble Codes");
}

TEST(LiveTable, RateCountsTheLastFiveSecondsAndAgeTheTimeSinceTheLast) {
    LiveTable t;
    // 50 messages a second for 10 s, then silence.
    for (int i = 0; i < 500; ++i) {
        feed(t, 0x00, kEec1, eec1(1500), i * 0.02);
    }
    const LiveRow &row = *t.view(10.0).front();
    EXPECT_NEAR(t.rate(row, 9.99), 50.0, 0.5);
    EXPECT_NEAR(LiveTable::age(row, 12.0), 2.02, 1e-9);
    EXPECT_NEAR(t.rate(row, 12.0), 150.0 / 5.0, 0.5); // 3 s of the window still hold messages
    EXPECT_EQ(t.rate(row, 20.0), 0.0);
    EXPECT_NEAR(t.bus_rate(9.99), 50.0, 0.5);
    // A first message is one a second, not a burst.
    LiveTable first;
    feed(first, 0x00, kEec1, eec1(1500), 3.0);
    EXPECT_EQ(first.rate(*first.view(3.0).front(), 3.0), 1.0);
    EXPECT_EQ(LiveTable{}.bus_rate(1.0), 0.0);
}

TEST(LiveTable, SortsByPgnSenderOrRate) {
    LiveTable t;
    for (int i = 0; i < 10; ++i) {
        feed(t, 0xEE, kEec1, eec1(700), i * 0.1); // 10/s
    }
    for (int i = 0; i < 3; ++i) {
        feed(t, 0x00, kDm1, {0x00, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF}, i * 0.3); // about 3/s
    }
    for (int i = 0; i < 20; ++i) {
        feed(t, 0x00, kEec1, eec1(1500), i * 0.05); // 20/s
    }
    EXPECT_EQ(t.sort(), SortKey::pgn);
    EXPECT_EQ(keys(t, 1.0), (Strings{"61444/0", "61444/238", "65226/0"}));
    EXPECT_EQ(t.next_sort(), SortKey::sender);
    EXPECT_EQ(keys(t, 1.0), (Strings{"61444/0", "65226/0", "61444/238"}));
    EXPECT_EQ(t.next_sort(), SortKey::rate);
    EXPECT_EQ(keys(t, 1.0), (Strings{"61444/0", "61444/238", "65226/0"}));
    EXPECT_EQ(sort_key_name(t.sort()), "rate");
    EXPECT_EQ(t.next_sort(), SortKey::pgn);
}

TEST(LiveTable, FilterMatchesPgnAcronymOrNameIgnoringCase) {
    LiveTable t;
    feed(t, 0x00, kEec1, eec1(1500), 0.0);
    feed(t, 0x00, kDm1, {0x00, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF}, 0.0);
    feed(t, 0x21, kProprietary, {0x01, 0x02, 0x03}, 0.0);
    t.set_filter("eec");
    EXPECT_EQ(keys(t, 1.0), (Strings{"61444/0"}));
    t.set_filter("6522");
    EXPECT_EQ(keys(t, 1.0), (Strings{"65226/0"}));
    t.set_filter("TROUBLE");
    EXPECT_EQ(keys(t, 1.0), (Strings{"65226/0"}));
    t.set_filter("652");
    EXPECT_EQ(keys(t, 1.0), (Strings{"65226/0", "65280/33"}));
    t.set_filter("no such group");
    EXPECT_TRUE(keys(t, 1.0).empty());
    t.set_filter("");
    EXPECT_EQ(keys(t, 1.0).size(), 3U);
    // A group without a decoder shows its bytes.
    t.set_filter("65280");
    EXPECT_EQ(t.view(1.0).front()->values, "[01 02 03]");
}

TEST(LiveTable, ValuesAreDecodedAgainOnlyWhenTheBytesChangedAndTheirTimeCame) {
    LiveTable t;
    const Bytes a = eec1(1500);
    const Bytes b = eec1(1600);
    EXPECT_TRUE(t.count(0x00, kEec1, a.data(), a.size(), 0.0)); // a new row
    t.set_values(0x00, decode_payload(kEec1, a.data(), a.size(), nullptr), a.data(), a.size(), 0.0);
    EXPECT_FALSE(t.count(0x00, kEec1, a.data(), a.size(), 0.5));  // the same bytes
    EXPECT_FALSE(t.count(0x00, kEec1, b.data(), b.size(), 0.05)); // too soon
    EXPECT_TRUE(t.count(0x00, kEec1, b.data(), b.size(), 0.1));
    EXPECT_TRUE(t.count(0x01, kEec1, a.data(), a.size(), 0.1)); // another sender's row
    EXPECT_EQ(t.view(1.0).front()->count, 4U); // every message counted all the same
}

TEST(LiveTable, KeepsTheVinAndEachSendersLatestDiagnosis) {
    LiveTable t;
    const std::string vin = "1HTMKAAN0CH123456*";
    feed(t, 0x00, kVi, Bytes(vin.begin(), vin.end()), 0.0);
    EXPECT_EQ(t.vin(), "1HTMKAAN0CH123456");
    feed(t, 0x00, kDm1, {0x04, 0xFF, 0x6E, 0x00, 0x10, 0x01, 0xFF, 0xFF}, 1.0);
    feed(t, 0x03, kDm1, {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}, 1.0);
    ASSERT_EQ(t.diagnoses().size(), 2U);
    const Diagnosis &engine = t.diagnoses().at(0x00);
    EXPECT_EQ(engine.lamps.amber_warning, 1);
    EXPECT_EQ(engine.lamps.malfunction, 0);
    ASSERT_EQ(engine.codes.size(), 1U);
    EXPECT_EQ(engine.codes[0].spn, 110U);
    EXPECT_EQ(engine.codes[0].fmi, 16);
    EXPECT_TRUE(t.diagnoses().at(0x03).codes.empty());
    // The fault is gone: the engine's next DM1 replaces its diagnosis.
    feed(t, 0x00, kDm1, {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}, 2.0);
    EXPECT_TRUE(t.diagnoses().at(0x00).codes.empty());
    EXPECT_EQ(t.diagnoses().at(0x00).lamps.amber_warning, 0);
}

// ---- senders ---------------------------------------------------------------------------

TEST(SenderIndex, FindsTheSenderOfTheseBytesElseTheLatestSenderOfThePgn) {
    SenderIndex index;
    const Bytes engine_name = {0x40, 0xE2, 0x41, 0x9A, 0x00, 0x00, 0x02, 0x10};
    const Bytes tacho_name = {0xF1, 0xFB, 0xE9, 0x46, 0x01, 0x80, 0x02, 0x90};
    index.record(0x00, 60928, engine_name.data(), engine_name.size());
    index.record(0xEE, 60928, tacho_name.data(), tacho_name.size());
    EXPECT_EQ(index.sender_of(60928, engine_name.data(), engine_name.size()), 0x00);
    EXPECT_EQ(index.sender_of(60928, tacho_name.data(), tacho_name.size()), 0xEE);
    // A prefix is not the same message.
    EXPECT_EQ(index.sender_of(60928, engine_name.data(), 4), 0xEE);
    EXPECT_TRUE(index.holds(60928, tacho_name.data(), tacho_name.size()));
    EXPECT_FALSE(index.holds(60928, engine_name.data(), 4));
    EXPECT_FALSE(index.holds(61444, engine_name.data(), engine_name.size()));
    EXPECT_EQ(index.sender_of(61444, engine_name.data(), engine_name.size()), std::nullopt);
    index.record(0xEE, 61444, engine_name.data(), 3);
    EXPECT_EQ(index.heard().at(0xEE), 2U);
    EXPECT_EQ(index.heard().at(0x00), 1U);
    // Only the latest few payloads of a PGN are kept.
    for (uint8_t i = 0; i < 20; ++i) {
        index.record(0x03, 60928, &i, 1);
    }
    EXPECT_EQ(index.sender_of(60928, engine_name.data(), engine_name.size()), 0x03);
    EXPECT_FALSE(index.holds(60928, engine_name.data(), engine_name.size()));
}

} // namespace
