// SPDX-License-Identifier: MIT
// Decoding with the parameter database: each PGN's SPN list, definitions
// and state texts are looked up once, and every later message of the PGN
// decodes from what was kept, with the same result.
#include "database.h"
#include "decode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using vehcan::cli::Database;
using vehcan::cli::decode_payload;
using vehcan::cli::Decoded;
using vehcan::cli::detailed_text;
using Bytes = std::vector<uint8_t>;

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CompiledDatabase : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        auto opened = Database::open(VEHCAN_SOURCE_DIR "/data/sample.xml", &error);
        ASSERT_TRUE(opened.has_value()) << error;
        db_.emplace(*opened);
    }
    std::string text(uint32_t pgn, const Bytes &payload) const {
        const Decoded d = decode_payload(pgn, payload.data(), payload.size(), &*db_);
        return detailed_text(d, payload.size());
    }
    std::optional<Database> db_;
};

const Bytes kEec1 = {0xF0, 0x7D, 0x8C, 0xE0, 0x2E, 0x00, 0xF0, 0x7D};

TEST_F(CompiledDatabase, LaterMessagesOfAPgnDecodeTheSameWithoutNewLookups) {
    const std::string golden = read_file(VEHCAN_SOURCE_DIR "/tests/cli/golden/decode_eec1_db.txt");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(text(61444, kEec1), golden);
    const unsigned long first = db_->lookups();
    EXPECT_GT(first, 8UL) << "the list, seven definitions and a state text";
    EXPECT_EQ(text(61444, kEec1), golden);
    EXPECT_EQ(db_->lookups(), first);

    // A copy (as the monitors hand the database around) shares what is kept.
    const Database copy = *db_;
    const Decoded d = decode_payload(61444, kEec1.data(), kEec1.size(), &copy);
    EXPECT_EQ(detailed_text(d, kEec1.size()), golden);
    EXPECT_EQ(db_->lookups(), first);
}

TEST_F(CompiledDatabase, NewValuesAreDecodedFromTheKeptDefinitionsAndLookUpOnlyTheirStateText) {
    ASSERT_FALSE(text(61444, kEec1).empty());
    const unsigned long first = db_->lookups();
    // Torque mode 2, actual torque 175 - 125 = 50 %, starter mode 1.
    const Bytes other = {0xF2, 0x7D, 0xAF, 0xE0, 0x2E, 0x00, 0xF1, 0x7D};
    const std::string decoded = text(61444, other);
    EXPECT_NE(decoded.find("  Engine Torque Mode (SPN 899): Cruise control (2)\n"),
              std::string::npos)
        << decoded;
    EXPECT_NE(decoded.find("  Actual Engine - Percent Torque (SPN 513): 50 %\n"), std::string::npos)
        << decoded;
    EXPECT_EQ(db_->lookups(), first + 2) << "two new state texts, nothing else";
    // A value the database names no state for: the same fallback, once looked up.
    const Bytes unnamed = {0xFC, 0x7D, 0x8C, 0xE0, 0x2E, 0x00, 0xF0, 0x7D};
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(text(61444, unnamed).find("  Engine Torque Mode (SPN 899): state 12 (12)\n"),
                  std::string::npos);
    }
    EXPECT_EQ(db_->lookups(), first + 3);
}

TEST_F(CompiledDatabase, PgnsOutsideTheFileAndTroubleCodeDescriptionsAreKeptToo) {
    const Bytes unknown = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    const std::string plain = text(65280, unknown);
    const unsigned long first = db_->lookups();
    EXPECT_EQ(text(65280, unknown), plain);
    EXPECT_EQ(db_->lookups(), first) << "an absent PGN is not looked up again";

    // DM1 with SPN 110 FMI 16: its description comes from the database once.
    const Bytes dm1 = {0x04, 0xFF, 0x6E, 0x00, 0x10, 0x01, 0xFF, 0xFF};
    const std::string golden = read_file(VEHCAN_SOURCE_DIR "/tests/cli/golden/dtc_one.txt");
    ASSERT_FALSE(golden.empty());
    const unsigned long before_dm1 = db_->lookups();
    EXPECT_EQ(text(65226, dm1), golden);
    const unsigned long after_first = db_->lookups();
    EXPECT_GT(after_first, before_dm1);
    EXPECT_EQ(text(65226, dm1), golden);
    EXPECT_EQ(db_->lookups(), after_first);
}

} // namespace
