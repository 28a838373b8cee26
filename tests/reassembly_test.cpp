// SPDX-License-Identifier: MIT
// The transport-protocol reassembly step and the acknowledgement decoder.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr __u32 kCm = 60671; // TP.CM to all
constexpr __u32 kDt = 60415; // TP.DT to all

int feed(__u32 pgn, const Bytes &frame) {
    return multi_frame_message_handler(pgn, frame.data(), static_cast<int>(frame.size()));
}

// A TP.CM announcing size bytes in packets, for pgn, with control byte cb.
Bytes announce(unsigned size, uint8_t packets, uint32_t pgn = 65260, uint8_t cb = 0x20) {
    return {cb,
            static_cast<uint8_t>(size),
            static_cast<uint8_t>(size >> 8),
            packets,
            0xFF,
            static_cast<uint8_t>(pgn),
            static_cast<uint8_t>(pgn >> 8),
            static_cast<uint8_t>(pgn >> 16)};
}

Bytes packet(uint8_t seq, uint8_t fill) {
    return {seq, fill, fill, fill, fill, fill, fill, fill};
}

class Reassembly : public ::testing::Test {
  protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override { testing::internal::GetCapturedStdout(); }
    static std::string stored() {
        return {reinterpret_cast<const char *>(g_multi_pkt_msg),
                static_cast<size_t>(g_multi_pkt_msg_len)};
    }
};

TEST_F(Reassembly, SeventeenByteIdentificationTransfer) {
    const char *vin = "1M8GDM9AXKP042788";
    EXPECT_EQ(feed(kCm, {0x20, 0x11, 0x00, 0x03, 0xFF, 0xEC, 0xFE, 0x00}),
              J1939_TP_TRANSFER_STARTED);
    EXPECT_EQ(g_total_msg_len, 17U);
    EXPECT_EQ(g_no_of_pkts, 3);
    EXPECT_EQ(g_n_pkt, 3);
    EXPECT_EQ(g_recvd_pgn, 65260U);

    Bytes p1 = {1}, p2 = {2}, p3 = {3};
    p1.insert(p1.end(), vin, vin + 7);
    p2.insert(p2.end(), vin + 7, vin + 14);
    p3.insert(p3.end(), vin + 14, vin + 17);
    p3.insert(p3.end(), 4, 0xFF);
    EXPECT_EQ(feed(kDt, p1), J1939_TP_FIRST_PACKET);
    EXPECT_EQ(feed(kDt, p2), J1939_FAIL) << "bytes still expected";
    EXPECT_EQ(feed(kDt, p3), 0);
    EXPECT_EQ(stored(), vin);
    EXPECT_EQ(g_msg_len, 0U);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "PGN VAL ecff\nPGN VAL ebff\nPGN VAL ebff\nPGN VAL ebff\n");
    testing::internal::CaptureStdout();
}

TEST_F(Reassembly, InvalidInputIsRefusedBeforeAnythingIsPrinted) {
    const Bytes frame = packet(1, 0x41);
    EXPECT_EQ(multi_frame_message_handler(0, frame.data(), 8), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(multi_frame_message_handler(kDt, nullptr, 8), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(multi_frame_message_handler(kDt, frame.data(), 0), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(multi_frame_message_handler(kDt, frame.data(), -8), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(feed(65265, frame), J1939_FAIL) << "not a transport PGN";
}

TEST_F(Reassembly, PacketsOutsideAnOpenTransferAreIgnored) {
    EXPECT_EQ(feed(kDt, packet(1, 0x41)), J1939_FAIL) << "before any announcement";
    ASSERT_EQ(feed(kCm, announce(17, 3)), J1939_TP_TRANSFER_STARTED);
    EXPECT_EQ(feed(kDt, packet(4, 0x41)), J1939_FAIL) << "beyond the announced count";
    EXPECT_EQ(g_multi_pkt_msg_len, 0);
}

TEST_F(Reassembly, AnnouncementBeyondTheBufferStoresNothing) {
    EXPECT_EQ(feed(kCm, announce(51, 8)), J1939_TP_TRANSFER_STARTED)
        << "announced, so that a pending request for it is settled";
    EXPECT_EQ(g_total_msg_len, 51U);
    for (uint8_t seq = 1; seq <= 8; ++seq) {
        EXPECT_EQ(feed(kDt, packet(seq, seq)), J1939_FAIL);
    }
    EXPECT_EQ(g_multi_pkt_msg_len, 0);

    // The largest transfer that fits: 50 bytes in 8 packets, not one byte more.
    ASSERT_EQ(feed(kCm, announce(50, 8)), J1939_TP_TRANSFER_STARTED);
    int rc = 0;
    for (uint8_t seq = 1; seq <= 8; ++seq) {
        rc = feed(kDt, packet(seq, seq));
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(g_multi_pkt_msg_len, 50);
}

TEST_F(Reassembly, PacketsAfterTheMessageCompletedAreIgnored) {
    ASSERT_EQ(feed(kCm, announce(9, 2)), J1939_TP_TRANSFER_STARTED);
    ASSERT_EQ(feed(kDt, packet(1, 0x41)), J1939_TP_FIRST_PACKET);
    ASSERT_EQ(feed(kDt, packet(2, 0x42)), 0);
    EXPECT_EQ(feed(kDt, packet(2, 0x43)), J1939_FAIL);
    EXPECT_EQ(g_msg_len, 0U) << "bytes still expected never go below zero";
    EXPECT_EQ(g_multi_pkt_msg_len, 9);
    EXPECT_EQ(stored(), "AAAAAAABB");
}

TEST_F(Reassembly, StrayPacketsAfterCompletionNeitherReopenNorCompleteAgain) {
    ASSERT_EQ(feed(kCm, announce(17, 3)), J1939_TP_TRANSFER_STARTED);
    ASSERT_EQ(feed(kDt, packet(1, 0x41)), J1939_TP_FIRST_PACKET);
    ASSERT_EQ(feed(kDt, packet(2, 0x42)), J1939_FAIL);
    ASSERT_EQ(feed(kDt, packet(3, 0x43)), 0);
    EXPECT_EQ(feed(kDt, packet(1, 0x58)), J1939_FAIL) << "no transfer open";
    EXPECT_EQ(g_msg_len, 0U);
    EXPECT_EQ(feed(kDt, packet(2, 0x59)), J1939_FAIL);
    EXPECT_EQ(feed(kDt, packet(3, 0x5A)), J1939_FAIL);
    EXPECT_EQ(stored(), "AAAAAAABBBBBBBCCC");

    // After an abort likewise.
    ASSERT_EQ(feed(kCm, announce(17, 3)), J1939_TP_TRANSFER_STARTED);
    ASSERT_EQ(feed(kCm, {0xFF, 3, 0xFF, 0xFF, 0xFF, 0xEC, 0xFE, 0x00}), J1939_FAIL);
    EXPECT_EQ(feed(kDt, packet(1, 0x58)), J1939_FAIL);
}

TEST_F(Reassembly, DuplicatesAndPacketsAfterAGapAreNotStored) {
    ASSERT_EQ(feed(kCm, announce(24, 4)), J1939_TP_TRANSFER_STARTED);
    ASSERT_EQ(feed(kDt, packet(1, 0x41)), J1939_TP_FIRST_PACKET);
    ASSERT_EQ(feed(kDt, packet(2, 0x42)), J1939_FAIL);
    EXPECT_EQ(feed(kDt, packet(2, 0x58)), J1939_FAIL) << "a duplicate";
    EXPECT_EQ(feed(kDt, packet(4, 0x59)), J1939_FAIL) << "packet 3 missed";
    EXPECT_EQ(feed(kDt, packet(0, 0x5A)), J1939_FAIL) << "no packet 0 in a transfer";
    EXPECT_EQ(g_msg_len, 10U);
    EXPECT_EQ(feed(kDt, packet(3, 0x43)), J1939_FAIL);
    EXPECT_EQ(feed(kDt, packet(4, 0x44)), 0);
    EXPECT_EQ(stored(), "AAAAAAABBBBBBBCCCCCCCDDD");
}

TEST_F(Reassembly, TransferWhosePacketOneWasMissedIsNotAppendedToTheLastOne) {
    ASSERT_EQ(feed(kCm, announce(9, 2)), J1939_TP_TRANSFER_STARTED);
    ASSERT_EQ(feed(kDt, packet(1, 0x41)), J1939_TP_FIRST_PACKET);
    ASSERT_EQ(feed(kDt, packet(2, 0x42)), 0);
    ASSERT_EQ(feed(kCm, announce(17, 3)), J1939_TP_TRANSFER_STARTED);
    EXPECT_EQ(feed(kDt, packet(2, 0x43)), J1939_FAIL);
    EXPECT_EQ(feed(kDt, packet(3, 0x44)), J1939_FAIL);
    EXPECT_EQ(g_msg_len, 17U);
}

TEST_F(Reassembly, FramesShorterThanEightBytesAreIgnored) {
    EXPECT_EQ(feed(kCm, {0x20, 0x11, 0x00, 0x03}), J1939_FAIL);
    EXPECT_EQ(g_no_of_pkts, 0) << "a short announcement opens nothing";
    ASSERT_EQ(feed(kCm, announce(17, 3)), J1939_TP_TRANSFER_STARTED);
    EXPECT_EQ(feed(kDt, {1, 0x41, 0x41}), J1939_FAIL);
    EXPECT_EQ(g_multi_pkt_msg_len, 0);
}

TEST_F(Reassembly, AbortEndsTheTransferAndHandshakeFramesLeaveItOpen) {
    ASSERT_EQ(feed(60416, announce(17, 3, 65260, 0x10)), J1939_TP_TRANSFER_STARTED);      // RTS
    EXPECT_EQ(feed(60416, {0x11, 0x03, 0x01, 0xFF, 0xFF, 0xEC, 0xFE, 0x00}), J1939_FAIL); // CTS
    EXPECT_EQ(g_total_msg_len, 17U) << "clear to send is part of the transfer";
    EXPECT_EQ(feed(60160, packet(1, 0x41)), J1939_TP_FIRST_PACKET);
    EXPECT_EQ(feed(60160, packet(2, 0x42)), J1939_FAIL);
    EXPECT_EQ(feed(60160, packet(3, 0x43)), 0);

    ASSERT_EQ(feed(60416, announce(17, 3, 65260, 0x10)), J1939_TP_TRANSFER_STARTED);
    EXPECT_EQ(feed(60160, packet(1, 0x41)), J1939_TP_FIRST_PACKET);
    EXPECT_EQ(feed(60416, {0xFF, 0x03, 0xFF, 0xFF, 0xFF, 0xEC, 0xFE, 0x00}), J1939_FAIL); // abort
    EXPECT_EQ(feed(60160, packet(2, 0x42)), J1939_FAIL);
    EXPECT_EQ(g_multi_pkt_msg_len, 7);
}

TEST_F(Reassembly, TinyAnnouncementNeverUnderflowsTheRemainingCount) {
    ASSERT_EQ(feed(kCm, announce(3, 1)), J1939_TP_TRANSFER_STARTED);
    EXPECT_EQ(feed(kDt, packet(1, 0x41)), J1939_TP_FIRST_PACKET);
    EXPECT_EQ(g_msg_len, 0U);
    EXPECT_EQ(feed(kDt, packet(1, 0x41)), J1939_TP_FIRST_PACKET);
    EXPECT_LE(g_multi_pkt_msg_len, 50);
}

TEST(Acknowledgement, ControlByteDecodes) {
    const struct {
        uint8_t control;
        int expected;
    } cases[] = {{0, 0},
                 {1, J1939_ERR_ACK_NACK},
                 {2, J1939_ERR_ACK_ACCESS_DENIED},
                 {3, J1939_ERR_ACK_CANNOT_RESPOND},
                 {4, J1939_FAIL},
                 {0xFF, J1939_FAIL}};
    for (const auto &c : cases) {
        const uint8_t ack[8] = {c.control, 0xFF, 0xFF, 0xFF, 0xF9, 0xEE, 0xFE, 0x00};
        EXPECT_EQ(get_ack_type(59392, ack, 8), c.expected) << int{c.control};
    }
    const uint8_t nack[8] = {1};
    EXPECT_EQ(get_ack_type(65265, nack, 8), 0) << "not an acknowledgement";
    EXPECT_EQ(get_ack_type(59392, nack, 0), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(get_ack_type(59392, nullptr, 8), J1939_ERR_INVALID_DATA);
    EXPECT_EQ(get_ack_type(0, nack, 8), J1939_ERR_INVALID_DATA);
}

} // namespace
