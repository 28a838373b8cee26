// SPDX-License-Identifier: MIT
// Requests on the bus, the held request socket, and the retrieval of
// answers and broadcasts from the queues.
#include "fake_platform.h"
#include "stack_internal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using vehcan::detail::held_request_socket;
using vehcan::detail::release_idle_request_socket;

int flag() {
    return std::atomic_ref<int>(req_flag).load();
}
__u32 pending_pgn() {
    return std::atomic_ref<__u32>(g_r_pgn).load();
}

class Request : public ::testing::Test {
  protected:
    void SetUp() override { fake::install(); }
    static fake::State &st() { return fake::state(); }
};

// ---- the request on the bus ----------------------------------------------------

TEST_F(Request, RequestForEngineTemperatureFromF9ToTheEngine) {
    EXPECT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), 3);
    ASSERT_EQ(st().sent.size(), 1U);
    const fake::Sent &s = st().sent[0];
    EXPECT_EQ(s.data, (Bytes{0xEE, 0xFE, 0x00}));
    EXPECT_EQ(s.to.can_family, AF_CAN);
    EXPECT_EQ(s.to.can_ifindex, static_cast<int>(fake::kCan0Index));
    EXPECT_EQ(s.to.can_addr.j1939.name, J1939_NO_NAME);
    EXPECT_EQ(s.to.can_addr.j1939.pgn, 59904U);
    EXPECT_EQ(s.to.can_addr.j1939.addr, 0x00);

    const fake::Socket &sock = st().open_sockets.at(s.fd);
    EXPECT_TRUE(sock.bound);
    EXPECT_TRUE(sock.broadcast);
    EXPECT_FALSE(sock.promiscuous);
    EXPECT_EQ(sock.address.can_ifindex, static_cast<int>(fake::kCan0Index));
    EXPECT_EQ(sock.address.can_addr.j1939.pgn, J1939_NO_PGN);
    EXPECT_EQ(sock.address.can_addr.j1939.addr, 0xF9);

    EXPECT_EQ(flag(), 1);
    EXPECT_EQ(pending_pgn(), 65262U);
}

TEST_F(Request, AddressesUseTheirLowEightBitsAndFFReachesAllNodes) {
    EXPECT_EQ(j1939_send_request_message(65265, 0x1F9, 0x1FF), 3);
    const fake::Sent &s = st().sent.at(0);
    EXPECT_EQ(st().open_sockets.at(s.fd).address.can_addr.j1939.addr, 0xF9);
    EXPECT_EQ(s.to.can_addr.j1939.addr, J1939_NO_ADDR);
}

TEST_F(Request, DiagnosticClearRequestsNeverBecomePending) {
    ASSERT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), 3);
    for (uint16_t pgn : {uint16_t{65228}, uint16_t{65235}}) {
        EXPECT_EQ(j1939_send_request_message(pgn, 0xF9, 0x00), 3);
        EXPECT_EQ(flag(), 1);
        EXPECT_EQ(pending_pgn(), 65262U) << pgn;
    }
    EXPECT_EQ(st().sent.size(), 3U);
}

TEST_F(Request, FailedSendStillLeavesTheRequestPending) {
    st().fail_send = true;
    EXPECT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), J1939_FAIL);
    EXPECT_EQ(flag(), 1);
    EXPECT_EQ(pending_pgn(), 65262U);
}

TEST_F(Request, NoBoundSocketMeansNothingSentAndNothingPending) {
    st().fail_bind = true;
    EXPECT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), J1939_ERR_SOCK_BIND);
    EXPECT_TRUE(st().sent.empty());
    EXPECT_EQ(flag(), 0);
    EXPECT_TRUE(st().open_sockets.empty()) << "the unbound socket is closed";

    fake::install();
    st().fail_socket_call = 1;
    EXPECT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), J1939_ERR_SOCK_BIND);
    EXPECT_TRUE(st().closed.empty()) << "no socket was created, none is closed";
    EXPECT_EQ(flag(), 0);
}

TEST_F(Request, PendingRequestIsPublishedBeforeTheRequestIsSent) {
    // The fake send looks at the pending state as the bus would see it.
    static std::atomic<int> flag_at_send{-1};
    vehcan::detail::platform().sendto = [](int, const void *, size_t len, int, const sockaddr *,
                                           socklen_t) -> ssize_t {
        flag_at_send = flag();
        return static_cast<ssize_t>(len);
    };
    ASSERT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), 3);
    EXPECT_EQ(flag_at_send.load(), 1);
}

// ---- the held request socket ---------------------------------------------------

TEST_F(Request, SocketIsHeldAndReusedForTheSameSourceAddress) {
    ASSERT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), 3);
    const int fd = st().sent.at(0).fd;
    EXPECT_EQ(held_request_socket(), fd);
    EXPECT_EQ(st().open_sockets.count(fd), 1U) << "held open for the answer";

    ASSERT_EQ(j1939_send_request_message(65265, 0xF9, 0x00), 3);
    EXPECT_EQ(st().sent.at(1).fd, fd);
    EXPECT_EQ(st().sockets_created, 1);
}

TEST_F(Request, NewRequestFromAnotherAddressClosesTheHeldSocket) {
    ASSERT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), 3);
    const int first = st().sent.at(0).fd;
    ASSERT_EQ(j1939_send_request_message(65262, 0xFA, 0x00), 3);
    EXPECT_EQ(st().open_sockets.count(first), 0U);
    EXPECT_EQ(st().open_sockets.size(), 1U);
    EXPECT_EQ(held_request_socket(), st().sent.at(1).fd);
}

TEST_F(Request, HeldSocketIsClosedOnceTheRequestIsSettledOrItsDeadlinePasses) {
    ASSERT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), 3);
    release_idle_request_socket();
    EXPECT_NE(held_request_socket(), -1) << "still pending, deadline ahead";
    std::atomic_ref<int>(req_flag).store(0);
    release_idle_request_socket();
    EXPECT_EQ(held_request_socket(), -1);
    EXPECT_TRUE(st().open_sockets.empty());

    ASSERT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(3100));
    release_idle_request_socket();
    EXPECT_TRUE(st().open_sockets.empty()) << "closed after the answer's deadline";
    EXPECT_EQ(flag(), 1) << "the request itself stays pending";
}

// ---- retrieval ---------------------------------------------------------------------

class Retrieval : public Request {
  protected:
    void SetUp() override {
        Request::SetUp();
        ASSERT_EQ(mq_init(), 0);
    }
    static void put(mqd_t q, uint32_t pgn, const Bytes &payload) {
        char record[5078] = {};
        record[0] = static_cast<char>(payload.size());
        record[1] = static_cast<char>(pgn >> 8);
        record[2] = static_cast<char>(pgn);
        std::copy(payload.begin(), payload.end(), record + 3); // also for an empty payload
        ASSERT_EQ(mq_send(q, record, sizeof record, 0), 0);
    }
    static long waiting(mqd_t q) {
        mq_attr a{};
        mq_getattr(q, &a);
        return a.mq_curmsgs;
    }
};

const Bytes kEt1 = {0x28, 0x32, 0x10, 0x27, 0xFF, 0xFF, 0xFF, 0xFF};

TEST_F(Retrieval, AnswerOfTheAskedPgnIsCopied) {
    put(req_resp_mq, 65262, kEt1);
    uint8_t buf[255] = {};
    int len = -1;
    EXPECT_EQ(j1939_recv_request_response(buf, &len, 65262), 0);
    EXPECT_EQ(len, 8);
    EXPECT_EQ(Bytes(buf, buf + 8), kEt1);
}

TEST_F(Retrieval, AnswerOfAnotherPgnIsTakenAndDropped) {
    put(req_resp_mq, 65262, kEt1);
    uint8_t buf[255];
    std::memset(buf, 0xAB, sizeof buf);
    int len = -1;
    EXPECT_EQ(j1939_recv_request_response(buf, &len, 65265), 0);
    EXPECT_EQ(len, 8);
    EXPECT_EQ(buf[0], 0xAB);
    EXPECT_EQ(waiting(req_resp_mq), 0);

    put(req_resp_mq, 65262, kEt1);
    EXPECT_EQ(j1939_recv_request_response(buf, &len, 0x1FEEE), 0);
    EXPECT_EQ(buf[0], 0xAB) << "a PGN above 65535 never matches";
}

TEST_F(Retrieval, BroadcastRecordsGiveLengthPgnAndPayload) {
    put(bc_mq, 65265, {0x01, 0x02});
    put(bc_mq, 61444, {});
    uint8_t buf[255];
    std::memset(buf, 0xAB, sizeof buf);
    int len = -1;
    unsigned long pgn = 0;
    EXPECT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), 0);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(pgn, 65265UL);
    EXPECT_EQ(buf[1], 0x02);
    EXPECT_EQ(buf[2], 0xAB) << "nothing beyond the length is written";

    std::memset(buf, 0xAB, sizeof buf);
    EXPECT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(pgn, 61444UL);
    EXPECT_EQ(buf[0], 0xAB);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

TEST_F(Retrieval, EmptyQueuesTimeOutWithinTheirWindowsWithoutSpinning) {
    uint8_t buf[255] = {0x5A};
    int len = 77;
    unsigned long pgn = 77;

    auto start = Clock::now();
    const double cpu0 = thread_cpu_seconds();
    EXPECT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), J1939_ERR_RESP_TIMEOUT);
    const double broadcast_wait = seconds_since(start);
    const double broadcast_cpu = thread_cpu_seconds() - cpu0;

    start = Clock::now();
    EXPECT_EQ(j1939_recv_request_response(buf, &len, 65262), J1939_ERR_RESP_TIMEOUT);
    const double answer_wait = seconds_since(start);

    std::printf("broadcast time-out after %.3f s (%.4f s CPU), answer time-out after %.3f s\n",
                broadcast_wait, broadcast_cpu, answer_wait);
    EXPECT_GT(broadcast_wait, 1.0);
    EXPECT_LT(broadcast_wait, 2.5);
    EXPECT_GT(answer_wait, 2.0);
    EXPECT_LT(answer_wait, 3.5);
    EXPECT_LT(broadcast_cpu, 0.25 * broadcast_wait) << "the wait must not spin";
    EXPECT_EQ(len, 77);
    EXPECT_EQ(pgn, 77UL);
    EXPECT_EQ(buf[0], 0x5A);
}

TEST_F(Retrieval, RecordArrivingDuringTheWaitIsTakenAtOnce) {
    std::thread late([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        put(bc_mq, 65265, {0x42});
    });
    uint8_t buf[255] = {};
    int len = 0;
    unsigned long pgn = 0;
    const auto start = Clock::now();
    EXPECT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), 0);
    late.join();
    EXPECT_LT(seconds_since(start), 0.9) << "woken by the record, not by the clock";
    EXPECT_EQ(buf[0], 0x42);
}

TEST_F(Retrieval, RecordWaitingAtTheDeadlineIsStillTaken) {
    // The wait returns only after the deadline has passed, with a record
    // queued meanwhile: it must be taken, not reported as a time-out.
    vehcan::detail::platform().mq_timedreceive = [](mqd_t, char *, size_t, unsigned int *,
                                                    const timespec *) -> ssize_t {
        std::this_thread::sleep_for(std::chrono::milliseconds(2200));
        put(bc_mq, 65265, {0x43});
        errno = ETIMEDOUT;
        return -1;
    };
    uint8_t buf[255] = {};
    int len = 0;
    unsigned long pgn = 0;
    EXPECT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), 0);
    EXPECT_EQ(buf[0], 0x43);
}

// ---- what a retrieval costs -------------------------------------------------------
// The queue calls a retrieval makes, counted at the platform: waiting and
// receiving are one call on the library's blocking descriptor.

TEST_F(Retrieval, WaitingAndReceivingAreOneCallWhetherTheRecordIsThereOrComesLater) {
    fake::QueueCalls::count();
    put(bc_mq, 65265, {0x51, 0x52});
    uint8_t buf[255] = {};
    int len = 0;
    unsigned long pgn = 0;
    ASSERT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), 0);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0x51, 0x52, 0x00}));
    EXPECT_EQ(fake::QueueCalls::timed.load(), 1);

    std::thread late([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        put(req_resp_mq, 65262, kEt1);
    });
    ASSERT_EQ(j1939_recv_request_response(buf, &len, 65262), 0);
    late.join();
    EXPECT_EQ(Bytes(buf, buf + 8), kEt1);
    EXPECT_EQ(fake::QueueCalls::timed.load(), 2) << "the wait itself took the record";
    EXPECT_EQ(fake::QueueCalls::plain.load(), 0);
    EXPECT_EQ(fake::QueueCalls::polls.load(), 0);
}

TEST_F(Retrieval, ShortRecordAfterALongOneReadsAsIfTheBufferWereCleared) {
    // A host may put its own, shorter messages on the queue: the bytes that a
    // longer one left behind must not appear as payload.
    char longer[5078];
    std::memset(longer, 0x66, sizeof longer);
    longer[0] = 2;
    longer[1] = static_cast<char>(0xFE);
    longer[2] = static_cast<char>(0xF1);
    ASSERT_EQ(mq_send(bc_mq, longer, sizeof longer, 0), 0);
    const char shorter[4] = {static_cast<char>(200), static_cast<char>(0xFE),
                             static_cast<char>(0xF2), 0x01};
    ASSERT_EQ(mq_send(bc_mq, shorter, sizeof shorter, 0), 0);
    uint8_t buf[255];
    int len = 0;
    unsigned long pgn = 0;
    ASSERT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), 0);
    EXPECT_EQ(Bytes(buf, buf + 2), (Bytes{0x66, 0x66}));
    ASSERT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), 0);
    EXPECT_EQ(len, 200);
    EXPECT_EQ(pgn, 0xFEF2UL);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(Bytes(buf + 1, buf + 200), Bytes(199, 0x00)) << "zero beyond the message";
}

TEST_F(Retrieval, DescriptorSetByTheHostIsPolledAndStillTimesOutAndTakesLateRecords) {
    // A queue descriptor that the host put into bc_mq itself has no blocking
    // twin: the call falls back to waiting in poll on it.
    mq_attr a{};
    a.mq_maxmsg = 2;
    a.mq_msgsize = 5078;
    const mqd_t own = mq_open("/vehcan-test-own", O_RDWR | O_CREAT | O_NONBLOCK, 0600, &a);
    ASSERT_NE(own, -1);
    mq_unlink("/vehcan-test-own");
    bc_mq = own;
    fake::QueueCalls::count();
    uint8_t buf[255] = {0x5A};
    int len = 77;
    unsigned long pgn = 77;
    const auto start = Clock::now();
    EXPECT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), J1939_ERR_RESP_TIMEOUT);
    EXPECT_GT(seconds_since(start), 1.0);
    EXPECT_EQ(len, 77);
    EXPECT_EQ(fake::QueueCalls::timed.load(), 0);
    EXPECT_GE(fake::QueueCalls::polls.load(), 1);

    vehcan::detail::platform().poll = [](pollfd *, nfds_t, int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2200));
        put(bc_mq, 65265, {0x44});
        return 0;
    };
    EXPECT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), 0);
    EXPECT_EQ(buf[0], 0x44);
    EXPECT_EQ(pgn, 65265UL);
}

// ---- a request answered through the running stack ---------------------------------

TEST_F(Request, AnswerTravelsFromTheBusThroughTheFilterToTheCaller) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(fake::bring_up(), 0);
    testing::internal::GetCapturedStdout();

    ASSERT_EQ(j1939_send_request_message(65262, 0xF9, 0x00), 3);
    fake::deliver(65265, {0x01}); // unrelated traffic first
    fake::deliver(65262, kEt1);
    uint8_t buf[255] = {};
    int len = 0;
    ASSERT_EQ(j1939_recv_request_response(buf, &len, 65262), 0);
    EXPECT_EQ(len, 8);
    EXPECT_EQ(Bytes(buf, buf + 8), kEt1);
    EXPECT_EQ(flag(), 0);
    EXPECT_EQ(held_request_socket(), -1) << "the settled request's socket is closed";

    unsigned long pgn = 0;
    ASSERT_EQ(j1939_recv_broadcast_response(buf, &len, &pgn), 0);
    EXPECT_EQ(pgn, 65265UL);
}

} // namespace
