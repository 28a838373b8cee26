// SPDX-License-Identifier: MIT
// The CLI's candump line parser, 29-bit identifier split and value parsers.
#include "candump.h"
#include "common.h"
#include "j1939_id.h"

#include <gtest/gtest.h>

using namespace vehcan;
using namespace vehcan::cli;

namespace {

CanFrame parse_ok(const std::string &line) {
    CanFrame f;
    std::string error;
    EXPECT_EQ(parse_candump_line(line, &f, &error), LineKind::frame) << line << ": " << error;
    return f;
}

std::string parse_error(const std::string &line) {
    CanFrame f;
    f.id = 0x1234;
    std::string error;
    EXPECT_EQ(parse_candump_line(line, &f, &error), LineKind::error) << line;
    EXPECT_EQ(f.id, 0x1234U) << "a failed parse must leave the frame alone";
    return error;
}

// ---- log format (candump -l / -L) -----------------------------------------------

TEST(CandumpLog, ExtendedFrameWithTimestamp) {
    const CanFrame f = parse_ok("(1436509052.249713) can0 18FEF100#0102030405060708\n");
    EXPECT_TRUE(f.has_time);
    EXPECT_EQ(f.time_us, 1436509052249713LL);
    EXPECT_EQ(f.interface, "can0");
    EXPECT_EQ(f.id, 0x18FEF100U);
    EXPECT_TRUE(f.extended);
    ASSERT_EQ(f.len, 8);
    EXPECT_EQ(f.data[0], 0x01);
    EXPECT_EQ(f.data[7], 0x08);
}

TEST(CandumpLog, ShortPayloadStandardFrameAndRemote) {
    const CanFrame request = parse_ok("(0.5) can1 18EAFFF9#ecfe00");
    EXPECT_EQ(request.time_us, 500000);
    ASSERT_EQ(request.len, 3);
    EXPECT_EQ(request.data[0], 0xEC);
    const CanFrame standard = parse_ok("(1.000001) vcan0 123#");
    EXPECT_FALSE(standard.extended);
    EXPECT_EQ(standard.id, 0x123U);
    EXPECT_EQ(standard.len, 0);
    EXPECT_TRUE(parse_ok("(1.0) can0 18EAFFF9#R").remote);
}

TEST(CandumpLog, DirectionFlagOfExtendedLogs) {
    EXPECT_EQ(parse_ok("(1.0) can0 18FEEE00#82 R").len, 1);
    EXPECT_EQ(parse_ok("(1.0) can0 18FEEE00#8246 T").len, 2);
    EXPECT_NE(parse_error("(1.0) can0 18FEEE00#82 X").find("identifier"), std::string::npos);
}

TEST(CandumpLog, ErrorFrameFlagIsSeparated) {
    const CanFrame f = parse_ok("(1.0) can0 20000080#0000000000000000");
    EXPECT_TRUE(f.error_frame);
    EXPECT_EQ(f.id, 0x80U);
}

TEST(CandumpLog, CanFdFrameTakesUpTo64Bytes) {
    const CanFrame f = parse_ok("(1.0) can0 18FEF100##1" + std::string(24, 'A'));
    EXPECT_EQ(f.len, 12);
    EXPECT_NE(parse_error("(1.0) can0 18FEF100##1" + std::string(130, 'A')).find("more than 64"),
              std::string::npos);
}

TEST(CandumpLog, MalformedLinesSayWhy) {
    EXPECT_NE(parse_error("(1.0) can0 18FEF100#01020").find("odd number"), std::string::npos);
    EXPECT_NE(parse_error("(1.0) can0 18FEF100#01ZZ").find("not hexadecimal"), std::string::npos);
    EXPECT_NE(parse_error("(1.0) can0 18FEF10#0102").find("neither 3 nor 8"), std::string::npos);
    EXPECT_NE(parse_error("(1.0) can0 800#01").find("above 7FF"), std::string::npos);
    EXPECT_NE(parse_error("(1.0) can0 18FEF100#010203040506070809").find("more than 8"),
              std::string::npos);
    EXPECT_NE(parse_error("(1.0 can0 18FEF100#01").find("closing"), std::string::npos);
    EXPECT_NE(parse_error("(1.x) can0 18FEF100#01").find("timestamp"), std::string::npos);
    EXPECT_NE(parse_error("(1.0) can0").find("not a candump line"), std::string::npos);
    EXPECT_NE(parse_error("hello").find("not a candump line"), std::string::npos);
}

TEST(CandumpLog, BlankLinesAndCommentsAreSkipped) {
    CanFrame f;
    std::string error;
    EXPECT_EQ(parse_candump_line("", &f, &error), LineKind::blank);
    EXPECT_EQ(parse_candump_line("   \t\r\n", &f, &error), LineKind::blank);
    EXPECT_EQ(parse_candump_line("# recorded on the yard truck", &f, &error), LineKind::blank);
}

// ---- screen format (candump's default output) ------------------------------------

TEST(CandumpScreen, PlainAndWithTimestampAndAscii) {
    const CanFrame plain = parse_ok("  can0  18FEEE00   [8]  82 46 FF FF FF FF FF FF");
    EXPECT_FALSE(plain.has_time);
    EXPECT_EQ(plain.id, 0x18FEEE00U);
    ASSERT_EQ(plain.len, 8);
    EXPECT_EQ(plain.data[0], 0x82);

    const CanFrame timed =
        parse_ok(" (1436509052.249713)  can0  18EAFFF9   [3]  EC FE 00                  '...'");
    EXPECT_EQ(timed.time_us, 1436509052249713LL);
    EXPECT_EQ(timed.len, 3);

    const CanFrame dated = parse_ok("(2015-07-10 06:17:32.249713)  can0  123   [1]  FF");
    EXPECT_EQ(dated.time_us, 1436509052249713LL);
    EXPECT_FALSE(dated.extended);

    EXPECT_TRUE(parse_ok("  can0  18EAFFF9   [3]  remote request").remote);
    EXPECT_EQ(parse_ok("  can0  18FEF100  [08]  01 02 03 04 05 06 07 08").len, 8);
}

TEST(CandumpScreen, LengthMustMatchTheBytes) {
    EXPECT_NE(parse_error("  can0  18FEEE00   [8]  82 46 FF").find("only 3 data bytes"),
              std::string::npos);
    EXPECT_NE(parse_error("  can0  18FEEE00   [2]  82 46 FF").find("more data bytes"),
              std::string::npos);
    EXPECT_NE(parse_error("  can0  18FEEE00   [9]  82").find("above 8"), std::string::npos);
    EXPECT_NE(parse_error("  can0  18FEEE00   8  82").find("expected a length"), std::string::npos);
    EXPECT_NE(parse_error("  can0  18FEEE00   [2]  82 4").find("two hex digits"),
              std::string::npos);
}

// ---- 29-bit identifiers ----------------------------------------------------------------

TEST(J1939Identifier, Pdu2IsBroadcastWithGroupExtension) {
    const J1939Id id = split_j1939_id(0x0CF00400); // EEC1 from the engine, priority 3
    EXPECT_EQ(id.priority, 3);
    EXPECT_EQ(id.pgn, 61444U);
    EXPECT_EQ(id.source, 0x00);
    EXPECT_EQ(id.destination, 0xFF);
    EXPECT_FALSE(id.pdu1);
    EXPECT_EQ(split_j1939_id(0x18FEF1EE).pgn, 65265U);
}

TEST(J1939Identifier, Pdu1CarriesTheDestination) {
    const J1939Id id = split_j1939_id(0x18EA00F9); // request from 0xF9 to the engine
    EXPECT_EQ(id.priority, 6);
    EXPECT_EQ(id.pgn, 59904U);
    EXPECT_EQ(id.source, 0xF9);
    EXPECT_EQ(id.destination, 0x00);
    EXPECT_TRUE(id.pdu1);
    // Data page and extended data page are part of the PGN.
    EXPECT_EQ(split_j1939_id(0x1DEA0017).pgn, 0x1EA00U);
    EXPECT_EQ(split_j1939_id(0x19FEF100).pgn, 0x1FEF1U);
    EXPECT_EQ(split_j1939_id(0x1BFEF100).pgn, 0x3FEF1U);
    // PF 239 is the last PDU1 format, 240 the first PDU2.
    EXPECT_TRUE(split_j1939_id(0x18EF3020).pdu1);
    EXPECT_FALSE(split_j1939_id(0x18F03020).pdu1);
}

// ---- command-line values ------------------------------------------------------------------

TEST(CommandLineValues, HexBytesInTheUsualSpellings) {
    const std::vector<uint8_t> want{0xEE, 0xFE, 0x00};
    EXPECT_EQ(parse_hex_bytes("EEFE00"), want);
    EXPECT_EQ(parse_hex_bytes("ee fe 00"), want);
    EXPECT_EQ(parse_hex_bytes("ee:fe:00"), want);
    EXPECT_EQ(parse_hex_bytes("0xEE,0xFE,0x00"), want);
}

TEST(CommandLineValues, BadHexNamesThePosition) {
    try {
        parse_hex_bytes("EEFG00");
        FAIL() << "accepted a G";
    } catch (const Failure &f) {
        EXPECT_EQ(f.code(), kExitUsage);
        EXPECT_NE(std::string(f.what()).find("position 4"), std::string::npos) << f.what();
    }
    EXPECT_THROW(parse_hex_bytes("EEF"), Failure);
    EXPECT_THROW(parse_hex_bytes(""), Failure);
    EXPECT_THROW(parse_hex_bytes(std::string(2 * 1786, '0')), Failure);
    EXPECT_EQ(parse_hex_bytes(std::string(2 * 1785, '0')).size(), 1785U);
}

TEST(CommandLineValues, PgnsAndAddresses) {
    EXPECT_EQ(parse_pgn("61444"), 61444U);
    EXPECT_EQ(parse_pgn("0xF004"), 61444U);
    EXPECT_EQ(parse_pgn("262143"), 0x3FFFFU);
    EXPECT_THROW(parse_pgn("262144"), Failure);
    EXPECT_THROW(parse_pgn("-1"), Failure);
    EXPECT_THROW(parse_pgn("12a"), Failure);
    EXPECT_THROW(parse_pgn(""), Failure);
    EXPECT_EQ(parse_address("0xF9", "--from"), 0xF9);
    EXPECT_EQ(parse_address("255", "--to"), 0xFF);
    EXPECT_THROW(parse_address("256", "--to"), Failure);
}

} // namespace
