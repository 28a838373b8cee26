// SPDX-License-Identifier: MIT
// The CLI's reassembly of transport-protocol transfers from a capture:
// broadcast (BAM) and connection-mode (RTS/CTS) transfers per sender, and
// the kernel's receive rules for broken ones.
#include "transport.h"

#include <gtest/gtest.h>

using namespace vehcan::cli;

namespace {

constexpr uint32_t kVi = 65260;

J1939Message frame(uint32_t pgn, uint8_t source, uint8_t destination, std::vector<uint8_t> data) {
    J1939Message m;
    m.pgn = pgn;
    m.source = source;
    m.destination = destination;
    m.data = std::move(data);
    return m;
}

J1939Message announce(uint8_t control, uint8_t source, uint8_t destination, uint16_t size,
                      uint8_t packets, uint32_t pgn = kVi) {
    return frame(kPgnTpConnectionManagement, source, destination,
                 {control, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), packets,
                  0xFF, static_cast<uint8_t>(pgn), static_cast<uint8_t>(pgn >> 8),
                  static_cast<uint8_t>(pgn >> 16)});
}

J1939Message bam(uint8_t source, uint16_t size, uint8_t packets) {
    return announce(32, source, 0xFF, size, packets);
}

J1939Message rts(uint8_t source, uint8_t destination, uint16_t size, uint8_t packets) {
    return announce(16, source, destination, size, packets);
}

J1939Message cts(uint8_t receiver, uint8_t sender, uint8_t count, uint8_t next) {
    return frame(kPgnTpConnectionManagement, receiver, sender,
                 {17, count, next, 0xFF, 0xFF, static_cast<uint8_t>(kVi),
                  static_cast<uint8_t>(kVi >> 8), 0});
}

// Packet n of the text, 7 bytes from (n - 1) * 7, padded with 0xFF.
J1939Message packet(uint8_t source, uint8_t destination, uint8_t n, const std::string &text) {
    std::vector<uint8_t> d{n};
    for (size_t i = 0; i < 7; ++i) {
        const size_t at = (n - 1U) * 7U + i;
        d.push_back(at < text.size() ? static_cast<uint8_t>(text[at]) : 0xFF);
    }
    return frame(kPgnTpDataTransfer, source, destination, d);
}

std::string text_of(const J1939Message &m) {
    return std::string(m.data.begin(), m.data.end());
}

const std::string kVin = "1HTMKAAN0CH123456*"; // 18 bytes, 3 packets
const std::string kOtherVin = "2FRHDUYS2Y1234567*";

// ---- transfers that complete ------------------------------------------------------------

TEST(TransportComplete, OtherPgnsPassStraightThrough) {
    TransportReassembler tp;
    const FeedResult r = tp.feed(frame(61444, 0x00, 0xFF, {1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(r.message);
    EXPECT_EQ(r.message->pgn, 61444U);
    EXPECT_FALSE(r.message->reassembled);
    EXPECT_EQ(tp.counters().transport_frames, 0U);
}

TEST(TransportComplete, BroadcastAnnouncedMessageIsRebuiltToItsSize) {
    TransportReassembler tp;
    EXPECT_FALSE(tp.feed(bam(0x00, 18, 3)).message);
    EXPECT_FALSE(tp.feed(packet(0x00, 0xFF, 1, kVin)).message);
    EXPECT_FALSE(tp.feed(packet(0x00, 0xFF, 2, kVin)).message);
    const FeedResult r = tp.feed(packet(0x00, 0xFF, 3, kVin));
    ASSERT_TRUE(r.message);
    EXPECT_EQ(r.message->pgn, kVi);
    EXPECT_EQ(r.message->source, 0x00);
    EXPECT_EQ(r.message->destination, 0xFF);
    EXPECT_TRUE(r.message->reassembled);
    EXPECT_EQ(text_of(*r.message), kVin); // the padding of packet 3 is cut off
    EXPECT_EQ(tp.counters().completed, 1U);
    EXPECT_EQ(tp.counters().transport_frames, 4U);
    EXPECT_EQ(tp.open_transfers(), 0U);
}

TEST(TransportComplete, TheLargestTransferOf255PacketsCompletes) {
    // 1785 bytes, the most the transport protocol carries: packet numbers
    // run up to 255, the last one the counter may hold.
    std::string text(1785, ' ');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    TransportReassembler tp;
    EXPECT_FALSE(tp.feed(bam(0x00, 1785, 255)).message);
    for (unsigned n = 1; n < 255; ++n) {
        ASSERT_FALSE(tp.feed(packet(0x00, 0xFF, static_cast<uint8_t>(n), text)).message) << n;
    }
    const FeedResult r = tp.feed(packet(0x00, 0xFF, 255, text));
    ASSERT_TRUE(r.message);
    EXPECT_EQ(text_of(*r.message), text);
    EXPECT_EQ(tp.open_transfers(), 0U);
}

TEST(TransportComplete, ConnectionModeFollowsTheClearToSend) {
    TransportReassembler tp;
    tp.feed(rts(0x00, 0xF9, 18, 3));
    tp.feed(cts(0xF9, 0x00, 2, 1));
    tp.feed(packet(0x00, 0xF9, 1, kVin));
    tp.feed(packet(0x00, 0xF9, 2, kVin));
    tp.feed(cts(0xF9, 0x00, 1, 3));
    const FeedResult r = tp.feed(packet(0x00, 0xF9, 3, kVin));
    ASSERT_TRUE(r.message);
    EXPECT_EQ(r.message->destination, 0xF9);
    EXPECT_EQ(text_of(*r.message), kVin);
    // The receiver's end-of-message acknowledgement finds nothing left to do.
    EXPECT_TRUE(tp.feed(announce(19, 0xF9, 0x00, 18, 3)).note.empty());
}

TEST(TransportComplete, ClearToSendMayAskForPacketsAgain) {
    TransportReassembler tp;
    tp.feed(rts(0x00, 0xF9, 18, 3));
    tp.feed(packet(0x00, 0xF9, 1, kVin));
    tp.feed(packet(0x00, 0xF9, 2, "garbled garbled"));
    tp.feed(cts(0xF9, 0x00, 2, 2)); // resend from packet 2
    tp.feed(packet(0x00, 0xF9, 2, kVin));
    const FeedResult r = tp.feed(packet(0x00, 0xF9, 3, kVin));
    ASSERT_TRUE(r.message);
    EXPECT_EQ(text_of(*r.message), kVin);
}

TEST(TransportComplete, SendersAreKeptApart) {
    TransportReassembler tp;
    tp.feed(bam(0x00, 18, 3));
    tp.feed(bam(0x17, 18, 3));
    tp.feed(rts(0x00, 0xF9, 18, 3)); // the same sender may also run a directed transfer
    std::vector<J1939Message> done;
    for (uint8_t n = 1; n <= 3; ++n) {
        for (const auto &f : {packet(0x17, 0xFF, n, kOtherVin), packet(0x00, 0xFF, n, kVin),
                              packet(0x00, 0xF9, n, kOtherVin)}) {
            if (auto r = tp.feed(f); r.message) {
                done.push_back(*r.message);
            }
        }
    }
    ASSERT_EQ(done.size(), 3U);
    EXPECT_EQ(done[0].source, 0x17);
    EXPECT_EQ(text_of(done[0]), kOtherVin);
    EXPECT_EQ(text_of(done[1]), kVin);
    EXPECT_EQ(done[2].destination, 0xF9);
    EXPECT_EQ(text_of(done[2]), kOtherVin);
}

// ---- the kernel's receive rules ---------------------------------------------------------

TEST(TransportRules, DataPacketOfOtherThanEightBytesEndsTheTransfer) {
    TransportReassembler tp;
    tp.feed(bam(0x00, 18, 3));
    tp.feed(packet(0x00, 0xFF, 1, kVin));
    const FeedResult r = tp.feed(frame(kPgnTpDataTransfer, 0x00, 0xFF, {2, 'N', '0', 'C'}));
    EXPECT_FALSE(r.message);
    EXPECT_NE(r.note.find("8 expected"), std::string::npos) << r.note;
    EXPECT_EQ(tp.counters().dropped, 1U);
    EXPECT_FALSE(tp.feed(packet(0x00, 0xFF, 3, kVin)).message) << "the transfer must be gone";
}

TEST(TransportRules, PacketNumberBeyondTheCountEndsTheTransfer) {
    TransportReassembler tp;
    tp.feed(bam(0x00, 18, 3));
    const FeedResult r = tp.feed(packet(0x00, 0xFF, 4, kVin));
    EXPECT_NE(r.note.find("outside 1..3"), std::string::npos) << r.note;
    EXPECT_EQ(tp.open_transfers(), 0U);
    tp.feed(bam(0x00, 18, 3));
    EXPECT_NE(tp.feed(packet(0x00, 0xFF, 0, kVin)).note.find("outside"), std::string::npos);
}

TEST(TransportRules, RepeatedPacketIsIgnoredAndALostOneEndsTheTransfer) {
    TransportReassembler tp;
    tp.feed(bam(0x00, 18, 3));
    tp.feed(packet(0x00, 0xFF, 1, kVin));
    const FeedResult again = tp.feed(packet(0x00, 0xFF, 1, kVin));
    EXPECT_NE(again.note.find("repeated"), std::string::npos) << again.note;
    EXPECT_EQ(tp.counters().duplicates, 1U);
    EXPECT_EQ(tp.open_transfers(), 1U);
    tp.feed(packet(0x00, 0xFF, 2, kVin));
    ASSERT_TRUE(tp.feed(packet(0x00, 0xFF, 3, kVin)).message);

    tp.feed(bam(0x00, 18, 3));
    tp.feed(packet(0x00, 0xFF, 1, kVin));
    const FeedResult skip = tp.feed(packet(0x00, 0xFF, 3, kVin));
    EXPECT_FALSE(skip.message);
    EXPECT_NE(skip.note.find("packet 3 where 2 was due"), std::string::npos) << skip.note;
}

TEST(TransportRules, SecondAnnouncementReplacesTheTransferInProgress) {
    TransportReassembler tp;
    tp.feed(bam(0x00, 18, 3));
    tp.feed(packet(0x00, 0xFF, 1, kVin));
    const FeedResult r = tp.feed(bam(0x00, 18, 3));
    EXPECT_NE(r.note.find("replaced"), std::string::npos) << r.note;
    EXPECT_EQ(tp.counters().dropped, 1U);
    // The new transfer starts again from packet 1.
    tp.feed(packet(0x00, 0xFF, 1, kOtherVin));
    tp.feed(packet(0x00, 0xFF, 2, kOtherVin));
    const FeedResult done = tp.feed(packet(0x00, 0xFF, 3, kOtherVin));
    ASSERT_TRUE(done.message);
    EXPECT_EQ(text_of(*done.message), kOtherVin);
}

TEST(TransportRules, AbortFromEitherSideEndsTheTransfer) {
    for (bool from_receiver : {true, false}) {
        TransportReassembler tp;
        tp.feed(rts(0x20, 0x30, 18, 3));
        tp.feed(packet(0x20, 0x30, 1, kVin));
        const J1939Message abort =
            from_receiver ? announce(255, 0x30, 0x20, 0xFF03, 0xFF) // reason 3, reserved bytes
                          : announce(255, 0x20, 0x30, 0xFF01, 0xFF);
        const FeedResult r = tp.feed(abort);
        EXPECT_NE(r.note.find("aborted"), std::string::npos) << r.note;
        EXPECT_EQ(tp.counters().aborted, 1U);
        const FeedResult late = tp.feed(packet(0x20, 0x30, 2, kVin));
        EXPECT_FALSE(late.message);
        EXPECT_NE(late.note.find("without an announced transfer"), std::string::npos);
    }
}

TEST(TransportRules, ImpossibleAnnouncementsAreRefused) {
    TransportReassembler tp;
    EXPECT_NE(tp.feed(bam(0x00, 8, 2)).note.find("ignored"), std::string::npos);  // fits a frame
    EXPECT_NE(tp.feed(bam(0x00, 18, 4)).note.find("ignored"), std::string::npos); // wrong count
    EXPECT_NE(tp.feed(bam(0x00, 1786, 255)).note.find("ignored"), std::string::npos);
    EXPECT_NE(tp.feed(announce(32, 0x00, 0x30, 18, 3)).note.find("all nodes"), std::string::npos);
    EXPECT_NE(tp.feed(rts(0x00, 0xFF, 18, 3)).note.find("one destination"), std::string::npos);
    EXPECT_NE(tp.feed(frame(kPgnTpConnectionManagement, 0, 0xFF, {32, 18, 0}))
                  .note.find("8 "
                             "expect"),
              std::string::npos);
    EXPECT_EQ(tp.open_transfers(), 0U);
}

} // namespace
