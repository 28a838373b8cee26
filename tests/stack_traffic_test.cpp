// SPDX-License-Identifier: MIT
// Traffic through the running stack: the receiver's queue records, the
// filter's routing and the delivery of reassembled transfers.
#include "fake_platform.h"
#include "stack_internal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <map>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using vehcan::detail::counters;

struct Record {
    int length = -1;
    uint32_t pgn = 0;
    Bytes payload;
    bool zero_tail = true; // every byte after the payload is zero
};

std::vector<Record> drain(mqd_t q) {
    std::vector<Record> out;
    uint8_t buf[5079];
    for (;;) {
        std::memset(buf, 0xA5, sizeof buf);
        const ssize_t n = mq_receive(q, reinterpret_cast<char *>(buf), 5078, nullptr);
        if (n <= 0) {
            return out;
        }
        Record r;
        r.length = buf[0];
        r.pgn = static_cast<uint32_t>(buf[1]) << 8 | buf[2];
        r.payload.assign(buf + 3, buf + 3 + r.length);
        for (size_t i = 3 + static_cast<size_t>(r.length); i < 5078; ++i) {
            r.zero_tail = r.zero_tail && buf[i] == 0;
        }
        EXPECT_EQ(n, 5078);
        out.push_back(std::move(r));
    }
}

// Every record waiting on q, all 5078 bytes of each.
std::vector<Bytes> drain_raw(mqd_t q) {
    std::vector<Bytes> out;
    Bytes buf(5079);
    while (mq_receive(q, reinterpret_cast<char *>(buf.data()), 5078, nullptr) > 0) {
        out.emplace_back(buf.begin(), buf.begin() + 5078);
    }
    return out;
}

// A record as the stack lays it out: length, PGN most significant byte
// first, payload, zeros; extra bytes (a transport record's addresses) at
// their positions.
Bytes record_of(uint32_t pgn, const Bytes &payload, const std::map<size_t, uint8_t> &extra = {}) {
    Bytes r(5078, 0);
    r[0] = static_cast<uint8_t>(payload.size());
    r[1] = static_cast<uint8_t>(pgn >> 8);
    r[2] = static_cast<uint8_t>(pgn);
    std::copy(payload.begin(), payload.end(), r.begin() + 3);
    for (const auto &[at, value] : extra) {
        r[at] = value;
    }
    return r;
}

class Traffic : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::install();
        received_before = counters().messages_received;
    }

    // The full stack: probe, socket, queues, receiver and filter threads.
    static void start_stack() {
        testing::internal::CaptureStdout();
        ASSERT_EQ(fake::bring_up(), 0);
        testing::internal::GetCapturedStdout();
    }

    // Waits until every delivered frame went through receiver and filter
    // (or was lost in a drain). A frame the receiver has taken but not yet
    // counted is still on its way: the receiver's count must reach what the
    // socket handed out first.
    static void settle() {
        ASSERT_TRUE(fake::wait_until([] {
            return fake::state().frames.empty() &&
                   counters().messages_received - received_before >=
                       fake::state().stream_messages_taken &&
                   counters().records_filtered + counters().received_dropped >=
                       counters().messages_received;
        }));
    }

    static void pend(uint32_t pgn) {
        std::atomic_ref<__u32>(g_r_pgn).store(pgn);
        std::atomic_ref<int>(req_flag).store(1);
    }
    static int flag() { return std::atomic_ref<int>(req_flag).load(); }

    static inline uint64_t received_before = 0;
};

const Bytes kCcvs = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

// ---- queue records made by the receiver ------------------------------------

class Receiver : public Traffic {
  protected:
    // Receiver thread alone, so that its records stay on "/recv_queue".
    static void start_receiver() {
        ASSERT_EQ(mq_init(), 0);
        ASSERT_EQ(j1939_can_socket_init(), 0);
        std::thread(j1939_resp_recv).detach();
    }
    static void wait_received(uint64_t n) {
        ASSERT_TRUE(fake::wait_until(
            [n] { return fake::state().frames.empty() && counters().messages_received >= n; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // let the send finish
    }
};

TEST_F(Receiver, RecordLayoutLengthPgnMsbFirstPayloadThenZeros) {
    start_receiver();
    fake::deliver(65265, kCcvs);
    wait_received(1);
    const auto records = drain(resv_mq);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].length, 8);
    EXPECT_EQ(records[0].pgn, 0xFEF1U);
    EXPECT_EQ(records[0].payload, kCcvs);
    EXPECT_TRUE(records[0].zero_tail);
}

TEST_F(Receiver, LongMessagesAreCutTo128BytesAndTheDataPageIsDropped) {
    start_receiver();
    Bytes long_message(200);
    for (size_t i = 0; i < long_message.size(); ++i) {
        long_message[i] = static_cast<uint8_t>(i + 1);
    }
    fake::deliver(65260, long_message);
    fake::deliver(0x10000 | 65262, {0x28});
    fake::deliver(65262, {0x28});
    wait_received(3);
    const auto records = drain(resv_mq);
    ASSERT_EQ(records.size(), 3U);
    EXPECT_EQ(records[0].length, 128);
    EXPECT_EQ(records[0].payload, Bytes(long_message.begin(), long_message.begin() + 128));
    EXPECT_EQ(records[1].pgn, 0xFEEEU);
    EXPECT_EQ(records[2].pgn, 0xFEEEU);
}

TEST_F(Receiver, EmptyMessagesMakeNoRecordAndMissingAddressesGivePgnZero) {
    start_receiver();
    fake::deliver(65265, {});
    fake::deliver(65265, {0x01}, /*has_address=*/false);
    wait_received(1);
    const auto records = drain(resv_mq);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].pgn, 0U);
    EXPECT_EQ(records[0].payload, Bytes{0x01});
}

TEST_F(Receiver, FullQueueIsDrainedAndTheNewRecordDropped) {
    start_receiver();
    for (long i = 0; i < fake::kQueueDepth; ++i) {
        fake::deliver(65265, {static_cast<uint8_t>(i)});
    }
    wait_received(static_cast<uint64_t>(fake::kQueueDepth));
    mq_attr a{};
    ASSERT_EQ(mq_getattr(resv_mq, &a), 0);
    ASSERT_EQ(a.mq_curmsgs, fake::kQueueDepth);

    fake::deliver(65265, {0xEE});
    wait_received(static_cast<uint64_t>(fake::kQueueDepth) + 1);
    EXPECT_TRUE(drain(resv_mq).empty());
    EXPECT_EQ(counters().queue_drains.load(), 1U);

    fake::deliver(65265, {0xEF}); // reception goes on with an empty queue
    wait_received(static_cast<uint64_t>(fake::kQueueDepth) + 2);
    const auto after = drain(resv_mq);
    ASSERT_EQ(after.size(), 1U);
    EXPECT_EQ(after[0].payload, Bytes{0xEF});
}

TEST_F(Receiver, ReceiveErrorsAreRetriedAfterAPauseNotInATightLoop) {
    start_receiver();
    {
        const std::lock_guard lock(fake::state().mutex);
        fake::state().receive_errno = EBADF;
        fake::state().receive_calls = 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int calls = 0;
    {
        const std::lock_guard lock(fake::state().mutex);
        calls = fake::state().receive_calls;
        fake::state().receive_errno = 0;
    }
    // About one retry per 100 ms; a spinning thread would make many thousands.
    EXPECT_GE(calls, 2);
    EXPECT_LE(calls, 10);
    fake::deliver(65265, kCcvs);
    wait_received(1);
    EXPECT_EQ(drain(resv_mq).size(), 1U);
}

TEST_F(Receiver, MessagesWaitingTogetherAreTakenInOneCallAndEachRecordIsExact) {
    // Long, transport, empty, address-less and 8-byte messages, all waiting
    // before the receiver starts: one call takes them, and each record is
    // zero wherever the one before it wrote more.
    Bytes long_message(200);
    for (size_t i = 0; i < long_message.size(); ++i) {
        long_message[i] = static_cast<uint8_t>(0x80 + i);
    }
    const Bytes cts = {0x11, 0x02, 0x01, 0xFF, 0xFF, 0xEC, 0xFE, 0x00};
    fake::deliver(65260, long_message);
    fake::deliver_between(0x21, 0x3D, 60416, cts);
    fake::deliver(65265, {});
    fake::deliver(65262, {0x28}, /*has_address=*/false);
    fake::deliver(65265, kCcvs);
    start_receiver();
    wait_received(4);
    {
        const std::lock_guard lock(fake::state().mutex);
        EXPECT_EQ(fake::state().largest_batch, 5U) << "all five in one call";
    }
    const auto records = drain_raw(resv_mq);
    ASSERT_EQ(records.size(), 4U) << "the empty message makes none";
    EXPECT_EQ(records[0],
              record_of(65260, Bytes(long_message.begin(), long_message.begin() + 128)));
    EXPECT_EQ(records[1], record_of(60416, cts, {{11, 0x21}, {12, 0x3D}}));
    EXPECT_EQ(records[2], record_of(0, {0x28}));
    EXPECT_EQ(records[3], record_of(65265, kCcvs));
    EXPECT_EQ(peername.can_addr.j1939.pgn, 65265U) << "the last message's sender";
}

TEST_F(Receiver, TransportRecordAfterALongerOneKeepsOnlyItsOwnBytes) {
    start_receiver();
    fake::deliver(65265, Bytes(20, 0xAA));
    wait_received(1);
    fake::deliver_between(0x00, 0xF9, 60160, {0x01, 0x02, 0x03, 0x04});
    wait_received(2);
    const auto records = drain_raw(resv_mq);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[1], record_of(60160, {0x01, 0x02, 0x03, 0x04}, {{11, 0x00}, {12, 0xF9}}))
        << "bytes 7-10 are zero, not the earlier record's";
}

TEST_F(Receiver, ClearMessageQueueEmptiesAQueue) {
    ASSERT_EQ(mq_init(), 0);
    const char record[5078] = {1, '\x01', '\x02', 0x42};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(mq_send(bc_mq, record, sizeof record, 0), 0);
    }
    EXPECT_EQ(clear_message_queue(bc_mq), 0);
    EXPECT_TRUE(drain(bc_mq).empty());
    EXPECT_EQ(clear_message_queue(bc_mq), 0); // an empty queue
}

// ---- routing by the filter ----------------------------------------------------

TEST_F(Traffic, WithoutAPendingRequestEverythingIsBroadcast) {
    start_stack();
    fake::deliver(65265, kCcvs);
    fake::deliver(59392, {0x01, 0xFF, 0xFF, 0xFF, 0xF9, 0xEE, 0xFE, 0x00});
    settle();
    const auto broadcast = drain(bc_mq);
    ASSERT_EQ(broadcast.size(), 2U);
    EXPECT_EQ(broadcast[0].pgn, 65265U);
    EXPECT_EQ(broadcast[0].payload, kCcvs);
    EXPECT_TRUE(broadcast[0].zero_tail);
    EXPECT_EQ(broadcast[1].pgn, 59392U);
    EXPECT_TRUE(drain(req_resp_mq).empty());
}

TEST_F(Traffic, TheAnswerGoesToTheRequestQueueAndEndsTheRequest) {
    start_stack();
    pend(65265);
    fake::deliver(65262, {0x28}); // another PGN: broadcast, still pending
    fake::deliver(59392, {0x01}); // an acknowledgement: dropped, still pending
    settle();
    EXPECT_EQ(flag(), 1);
    EXPECT_EQ(counters().acknowledgements_dropped.load(), 1U);

    fake::deliver(65265, kCcvs);
    fake::deliver(65265, {0x99});
    settle();
    const auto answers = drain(req_resp_mq);
    ASSERT_EQ(answers.size(), 1U);
    EXPECT_EQ(answers[0].payload, kCcvs);
    EXPECT_EQ(flag(), 0);
    EXPECT_EQ(g_r_pgn, 0U);
    const auto broadcast = drain(bc_mq);
    ASSERT_EQ(broadcast.size(), 2U);
    EXPECT_EQ(broadcast[0].pgn, 65262U);
    EXPECT_EQ(broadcast[1].payload, Bytes{0x99});
}

TEST_F(Traffic, RequestAbove65535IsNeverAnsweredByARecord) {
    start_stack();
    pend(0x1FEF1); // records carry 16 bits: 0xFEF1
    fake::deliver(65265, kCcvs);
    settle();
    EXPECT_TRUE(drain(req_resp_mq).empty());
    EXPECT_EQ(flag(), 1);
}

TEST_F(Traffic, FullBroadcastQueueIsDrainedAndRoutingGoesOn) {
    start_stack();
    for (long i = 0; i <= fake::kQueueDepth; ++i) {
        fake::deliver(65265, {static_cast<uint8_t>(i)});
        settle(); // one at a time, so that only "/brdcst_queue" overflows
    }
    EXPECT_TRUE(drain(bc_mq).empty()) << "the refused send drains the queue";
    EXPECT_EQ(counters().records_dropped.load(), static_cast<uint64_t>(fake::kQueueDepth) + 1);
    EXPECT_EQ(counters().queue_drains.load(), 1U);
    fake::deliver(65265, {0x42});
    settle();
    const auto after = drain(bc_mq);
    ASSERT_EQ(after.size(), 1U);
    EXPECT_EQ(after[0].payload, Bytes{0x42});
}

TEST_F(Traffic, ShorterMessagesOnTheReceiveQueueAreForwardedZeroBeyondThem) {
    // Messages of other producers may be shorter than a record; the filter
    // forwards full records, zero beyond what it received.
    ASSERT_EQ(mq_init(), 0);
    Bytes longer(300, 0x77);
    longer[0] = 8;
    longer[1] = 0xFE;
    longer[2] = 0xF1;
    const Bytes shorter = {2, 0xFE, 0xF2, 0x01, 0x02};
    ASSERT_EQ(mq_send(resv_mq, reinterpret_cast<const char *>(longer.data()), longer.size(), 0), 0);
    ASSERT_EQ(mq_send(resv_mq, reinterpret_cast<const char *>(shorter.data()), shorter.size(), 0),
              0);
    std::thread(j1939_filter_response).detach();
    ASSERT_TRUE(fake::wait_until([] { return counters().records_filtered >= 2; }));
    const auto broadcast = drain_raw(bc_mq);
    ASSERT_EQ(broadcast.size(), 2U);
    Bytes expected_longer(5078, 0);
    std::copy(longer.begin(), longer.end(), expected_longer.begin());
    EXPECT_EQ(broadcast[0], expected_longer);
    EXPECT_EQ(broadcast[1], record_of(65266, {0x01, 0x02}));
}

TEST_F(Traffic, FilterTakesEachRecordWithOneCallAndWaitsWithoutPolling) {
    using fake::QueueCalls;
    QueueCalls::count();
    const auto start = std::chrono::steady_clock::now();
    start_stack();
    for (uint8_t i = 0; i < 3; ++i) {
        fake::deliver(65265, {i});
        settle();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto broadcast = drain(bc_mq);
    ASSERT_EQ(broadcast.size(), 3U);
    EXPECT_EQ(broadcast[2].payload, Bytes{2});
    EXPECT_EQ(QueueCalls::plain.load(), 0);
    EXPECT_EQ(QueueCalls::polls.load(), 0);
    // One call per record, one that found the queue empty at the start, and
    // one wake a second while it waited.
    EXPECT_GE(QueueCalls::timed.load(), 3);
    EXPECT_LE(QueueCalls::timed.load(), 3 + 1 + static_cast<int>(seconds) + 1);
}

TEST_F(Traffic, FailingBlockingDescriptorLeavesTheFilterPollingNotSpinning) {
    static std::atomic<int> timed{0};
    vehcan::detail::platform().mq_timedreceive = [](mqd_t, char *, size_t, unsigned int *,
                                                    const timespec *) -> ssize_t {
        ++timed;
        errno = EBADF;
        return -1;
    };
    start_stack();
    fake::deliver(65265, kCcvs);
    ASSERT_TRUE(fake::wait_until([] { return counters().broadcasts_routed >= 1; }));
    const auto broadcast = drain(bc_mq);
    ASSERT_EQ(broadcast.size(), 1U);
    EXPECT_EQ(broadcast[0].payload, kCcvs);
    const int before = timed.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LE(timed.load() - before, 4) << "about one try a second on an empty queue";
}

// ---- reassembled transfers ------------------------------------------------------

const Bytes kVin = {'1', 'M', '8', 'G', 'D', 'M', '9', 'A', 'X',
                    'K', 'P', '0', '4', '2', '7', '8', '8'};

void deliver_vin_transfer(uint32_t pgn = 65260) {
    const auto lo = static_cast<uint8_t>(pgn);
    const auto hi = static_cast<uint8_t>(pgn >> 8);
    fake::deliver(60671, {0x20, 0x11, 0x00, 0x03, 0xFF, lo, hi, 0x00});
    fake::deliver(60415, {1, kVin[0], kVin[1], kVin[2], kVin[3], kVin[4], kVin[5], kVin[6]});
    fake::deliver(60415, {2, kVin[7], kVin[8], kVin[9], kVin[10], kVin[11], kVin[12], kVin[13]});
    fake::deliver(60415, {3, kVin[14], kVin[15], kVin[16], 0xFF, 0xFF, 0xFF, 0xFF});
}

TEST_F(Traffic, BroadcastVinTransferIsDeliveredAsOneRecord) {
    start_stack();
    testing::internal::CaptureStdout();
    deliver_vin_transfer();
    settle();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "PGN VAL ecff\nPGN VAL ebff\nPGN VAL ebff\nPGN VAL ebff\n");
    const auto broadcast = drain(bc_mq);
    ASSERT_EQ(broadcast.size(), 1U) << "transport frames themselves reach no queue";
    EXPECT_EQ(broadcast[0].length, 17);
    EXPECT_EQ(broadcast[0].pgn, 65260U);
    EXPECT_EQ(broadcast[0].payload, kVin);
    EXPECT_TRUE(broadcast[0].zero_tail);
    EXPECT_TRUE(drain(req_resp_mq).empty());
}

TEST_F(Traffic, TransferAnsweringThePendingRequestGoesToTheRequestQueue) {
    start_stack();
    pend(65260);
    testing::internal::CaptureStdout();
    deliver_vin_transfer();
    settle();
    testing::internal::GetCapturedStdout();
    const auto answers = drain(req_resp_mq);
    ASSERT_EQ(answers.size(), 1U);
    EXPECT_EQ(answers[0].payload, kVin);
    EXPECT_EQ(flag(), 0);
    EXPECT_TRUE(drain(bc_mq).empty());
}

TEST_F(Traffic, CompleteTransferOfAnotherPgnDeliversNothing) {
    start_stack();
    testing::internal::CaptureStdout();
    deliver_vin_transfer(65262);
    settle();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(drain(bc_mq).empty());
    EXPECT_TRUE(drain(req_resp_mq).empty());
    EXPECT_EQ(counters().transfers_delivered.load(), 0U);
}

} // namespace
