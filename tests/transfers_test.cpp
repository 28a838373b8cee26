// SPDX-License-Identifier: MIT
// Transfers between other nodes through the running stack: several at once,
// each reassembled from its own sender's packets, and what is given up.
#include "fake_platform.h"
#include "stack_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using vehcan::detail::counters;
using namespace std::chrono_literals;

constexpr uint32_t kTpCm = 60416;
constexpr uint32_t kTpDt = 60160;
constexpr uint32_t kPgnVi = 65260;
constexpr uint32_t kPgnDi = 65131;
constexpr uint32_t kPgnComponentId = 65259;
constexpr uint8_t kAll = 0xFF;

struct Delivered {
    uint32_t pgn = 0;
    std::string text;
};

// What reached the two output queues, in order; taken after every frame so
// that the four-record test queues never overflow.
std::vector<Delivered> g_delivered;

void collect(mqd_t q) {
    uint8_t buf[5079];
    for (;;) {
        std::memset(buf, 0, sizeof buf);
        if (mq_receive(q, reinterpret_cast<char *>(buf), 5078, nullptr) <= 0) {
            return;
        }
        g_delivered.push_back({static_cast<uint32_t>(buf[1]) << 8 | buf[2],
                               std::string(reinterpret_cast<const char *>(buf + 3), buf[0])});
    }
}

// One transfer of text from source to destination (RTS/CTS, or BAM when the
// destination is kAll). Builds its frames; the test decides their order.
class Transfer {
  public:
    Transfer(uint8_t source, uint8_t destination, uint32_t pgn, std::string text)
        : source_(source), destination_(destination), pgn_(pgn), text_(std::move(text)) {}

    uint8_t packets() const { return static_cast<uint8_t>((text_.size() + 6) / 7); }

    void announce() const {
        const uint8_t control = destination_ == kAll ? 0x20 : 0x10;
        send(source_, destination_, kTpCm,
             {control, static_cast<uint8_t>(text_.size()), 0, packets(), 0xFF,
              static_cast<uint8_t>(pgn_), static_cast<uint8_t>(pgn_ >> 8), 0});
    }
    void clear_to_send() const {
        send(destination_, source_, kTpCm,
             {0x11, packets(), 1, 0xFF, 0xFF, static_cast<uint8_t>(pgn_),
              static_cast<uint8_t>(pgn_ >> 8), 0});
    }
    void abort_from_receiver() const {
        send(destination_, source_, kTpCm,
             {0xFF, 3, 0xFF, 0xFF, 0xFF, static_cast<uint8_t>(pgn_),
              static_cast<uint8_t>(pgn_ >> 8), 0});
    }
    void packet(uint8_t seq) const {
        Bytes frame(8, 0xFF);
        frame[0] = seq;
        for (size_t i = 0; i < 7; ++i) {
            const size_t at = (seq - 1U) * 7U + i;
            if (at < text_.size()) {
                frame[i + 1] = static_cast<uint8_t>(text_[at]);
            }
        }
        send(source_, destination_, kTpDt, frame);
    }
    void all_packets() const {
        for (uint8_t seq = 1; seq <= packets(); ++seq) {
            packet(seq);
        }
    }

  private:
    // Hands one frame to the stack and waits until the filter is done with it.
    static void send(uint8_t from, uint8_t to, uint32_t pgn, Bytes frame) {
        const uint64_t before = counters().records_filtered;
        fake::deliver_between(from, to, pgn, std::move(frame));
        ASSERT_TRUE(fake::wait_until([before] { return counters().records_filtered > before; }));
        collect(bc_mq);
        collect(req_resp_mq);
    }

    uint8_t source_;
    uint8_t destination_;
    uint32_t pgn_;
    std::string text_;
};

class Transfers : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::install();
        g_delivered.clear();
        ASSERT_EQ(fake::bring_up(), 0);
        baseline_ = snapshot();
    }

    static const std::vector<Delivered> &delivered() { return g_delivered; }

    struct Counts {
        uint64_t opened, unstored, replaced, aborted, timed_out, evicted, delivered;
    };
    static Counts snapshot() {
        const auto &c = counters();
        return {c.transfers_opened,   c.transfers_unstored,  c.transfers_replaced,
                c.transfers_aborted,  c.transfers_timed_out, c.transfers_evicted,
                c.transfers_delivered};
    }
    Counts since() const {
        const Counts now = snapshot();
        return {now.opened - baseline_.opened,       now.unstored - baseline_.unstored,
                now.replaced - baseline_.replaced,   now.aborted - baseline_.aborted,
                now.timed_out - baseline_.timed_out, now.evicted - baseline_.evicted,
                now.delivered - baseline_.delivered};
    }

  private:
    Counts baseline_{};
};

std::vector<std::string> texts(const std::vector<Delivered> &d) {
    std::vector<std::string> out;
    out.reserve(d.size());
    for (const Delivered &x : d) {
        out.push_back(x.text);
    }
    return out;
}

// ---- several senders at once ------------------------------------------------------

TEST_F(Transfers, TwoInterleavedIdentificationsAreBothDeliveredAsSent) {
    const Transfer a(0x20, 0x30, kPgnVi, "FIRSTSENDER000001");
    const Transfer b(0x21, 0x31, kPgnVi, "SECONDSENDER00002");
    a.announce();
    b.announce();
    a.clear_to_send();
    b.clear_to_send();
    for (uint8_t seq = 1; seq <= 3; ++seq) {
        a.packet(seq);
        b.packet(seq);
    }
    EXPECT_EQ(texts(delivered()),
              (std::vector<std::string>{"FIRSTSENDER000001", "SECONDSENDER00002"}));
    const Counts c = since();
    EXPECT_EQ(c.opened, 2U);
    EXPECT_EQ(c.delivered, 2U);
    // The exported globals describe the transfer touched last: b's.
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(g_multi_pkt_msg), 17),
              "SECONDSENDER00002");
    EXPECT_EQ(g_msg_len, 0U);
}

TEST_F(Transfers, AnotherPgnBetweenOtherNodesNeitherAbandonsNorFeedsTheIdentification) {
    const Transfer vin(0x20, 0x30, kPgnVi, "1FUJGLDR5CLBP8834");
    const Transfer component(0x21, 0x31, kPgnComponentId, "ACME*T800*SN0001*UNIT1");
    vin.announce();
    vin.packet(1);
    component.announce(); // opens beside it, does not restart it
    component.packet(1);
    vin.packet(2);
    component.packet(2);
    component.packet(3);
    component.packet(4);
    vin.packet(3);
    const std::vector<Delivered> d = delivered();
    ASSERT_EQ(d.size(), 1U) << "only identifications are delivered";
    EXPECT_EQ(d[0].pgn, kPgnVi);
    EXPECT_EQ(d[0].text, "1FUJGLDR5CLBP8834");
}

TEST_F(Transfers, IdentificationAndDriverIdsFromTwoNodesAtOnce) {
    const Transfer vin(0x00, kAll, kPgnVi, "1HTMKAAN0CH123456"); // broadcast
    const Transfer driver(0xEE, 0x17, kPgnDi, "D1CARD000123456*D2CARD0006*");
    vin.announce();
    driver.announce();
    driver.clear_to_send();
    for (uint8_t seq = 1; seq <= 4; ++seq) {
        driver.packet(seq);
        if (seq <= 3) {
            vin.packet(seq);
        }
    }
    const std::vector<Delivered> d = delivered();
    ASSERT_EQ(d.size(), 2U);
    EXPECT_EQ(d[0].pgn, kPgnVi);
    EXPECT_EQ(d[0].text, "1HTMKAAN0CH123456");
    EXPECT_EQ(d[1].pgn, kPgnDi);
    EXPECT_EQ(d[1].text, "D1CARD000123456*D2CARD0006*");
}

TEST_F(Transfers, MoreTransfersThanSlotsGiveUpTheOldestAndMixNothing) {
    // Nine senders announce an identification each before any completes.
    std::vector<Transfer> open;
    for (uint8_t i = 0; i < 9; ++i) {
        std::string vin = "VINOFSENDER0000" + std::to_string(10 + i);
        open.emplace_back(static_cast<uint8_t>(0x40 + i), 0x60, kPgnVi, vin);
        open.back().announce();
        open.back().packet(1);
    }
    // A transfer of a PGN that is not delivered finds every slot taken by
    // identifications: it stores nothing and takes none of them.
    const Transfer other(0x70, 0x71, kPgnComponentId, "ACME*T800*SN0002*UNIT2");
    other.announce();
    other.all_packets();
    for (const Transfer &t : open) {
        t.packet(2);
        t.packet(3);
    }
    std::vector<std::string> expected;
    for (int i = 1; i < 9; ++i) { // the first announced gave way to the ninth
        expected.push_back("VINOFSENDER0000" + std::to_string(10 + i));
    }
    EXPECT_EQ(texts(delivered()), expected);
    const Counts c = since();
    EXPECT_EQ(c.evicted, 1U);
    EXPECT_EQ(c.unstored, 1U);
    EXPECT_EQ(c.opened, 9U);
}

TEST_F(Transfers, TransferOfAnotherPgnGivesWayToAnIdentification) {
    std::vector<Transfer> open;
    for (uint8_t i = 0; i < 8; ++i) {
        open.emplace_back(static_cast<uint8_t>(0x40 + i), 0x60, kPgnComponentId,
                          "COMPONENT*" + std::to_string(i) + "*SERIAL");
        open.back().announce();
    }
    const Transfer vin(0x20, 0x30, kPgnVi, "2FRHDUYS2Y1234567");
    vin.announce();
    vin.all_packets();
    EXPECT_EQ(texts(delivered()), std::vector<std::string>{"2FRHDUYS2Y1234567"});
    EXPECT_EQ(since().evicted, 1U);
}

// ---- time-outs, aborts and strays --------------------------------------------------

TEST_F(Transfers, PacketLaterThanTheTimeOutEndsTheTransfer) {
    const Transfer late(0x20, 0x30, kPgnVi, "LATEPACKETS000001");
    late.announce();
    late.packet(1);
    fake::advance_clock(800ms); // more than the 750 ms allowed between packets
    late.packet(2);
    late.packet(3);
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(since().timed_out, 1U);

    // Waiting for data after a request to send or a clear to send may take
    // up to 1250 ms.
    const Transfer slow(0x20, 0x30, kPgnVi, "SLOWHANDSHAKE0002");
    slow.announce();
    fake::advance_clock(1000ms);
    slow.clear_to_send();
    fake::advance_clock(1000ms);
    slow.packet(1);
    fake::advance_clock(700ms);
    slow.packet(2);
    slow.packet(3);
    EXPECT_EQ(texts(delivered()), std::vector<std::string>{"SLOWHANDSHAKE0002"});
    EXPECT_EQ(since().timed_out, 1U);
}

TEST_F(Transfers, AbortFromTheReceiverFreesTheSlotAndANewAnnouncementReplaces) {
    const Transfer t(0x20, 0x30, kPgnVi, "ABORTEDTRANSFER01");
    t.announce();
    t.packet(1);
    t.abort_from_receiver();
    t.packet(2);
    t.packet(3);
    EXPECT_TRUE(delivered().empty());

    t.announce();
    t.packet(1);
    t.announce(); // the sender starts over
    t.all_packets();
    EXPECT_EQ(texts(delivered()), std::vector<std::string>{"ABORTEDTRANSFER01"});
    const Counts c = since();
    EXPECT_EQ(c.aborted, 1U);
    EXPECT_EQ(c.replaced, 1U);
}

TEST_F(Transfers, StrayPacketsAfterCompletionDeliverNothingMore) {
    const Transfer t(0x20, 0x30, kPgnVi, "COMPLETEDONCE0001");
    t.announce();
    t.all_packets();
    t.all_packets(); // no announcement: the transfer is over
    EXPECT_EQ(texts(delivered()), std::vector<std::string>{"COMPLETEDONCE0001"});
    EXPECT_EQ(since().delivered, 1U);
}

// ---- the receiver's transport records ---------------------------------------------

TEST(TransportRecords, CarryTheSenderAndReceiverBehindTheirEightBytes) {
    fake::install();
    ASSERT_EQ(mq_init(), 0);
    ASSERT_EQ(j1939_can_socket_init(), 0);
    std::thread(j1939_resp_recv).detach();
    const Bytes data = {1, 'A', 'B', 'C', 'D', 'E', 'F', 'G'};
    fake::deliver_between(0x20, 0x30, kTpDt, data);
    fake::deliver_between(0x00, kAll, 60671, data); // to all: no receiver named
    fake::deliver_between(0x20, 0x30, 65265, data); // not transport: no addresses
    std::vector<Bytes> records;
    ASSERT_TRUE(fake::wait_until([] { return counters().messages_received >= 3; }));
    std::this_thread::sleep_for(5ms); // let the last send finish
    uint8_t buf[5079];
    while (mq_receive(resv_mq, reinterpret_cast<char *>(buf), 5078, nullptr) > 0) {
        records.emplace_back(buf, buf + 16);
    }
    ASSERT_EQ(records.size(), 3U);
    EXPECT_EQ(records[0],
              (Bytes{8, 0xEB, 0x00, 1, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 0x20, 0x30, 0, 0, 0}));
    EXPECT_EQ(records[1],
              (Bytes{8, 0xEC, 0xFF, 1, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 0x00, 0xFF, 0, 0, 0}));
    EXPECT_EQ(records[2],
              (Bytes{8, 0xFE, 0xF1, 1, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 0, 0, 0, 0, 0}));
}

} // namespace
