// SPDX-License-Identifier: MIT
// Bring-up and tear-down on a scripted platform: bit-rate probing, the
// receive socket, the queues and the threads.
#include "fake_platform.h"
#include "stack_internal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

class BringUp : public ::testing::Test {
  protected:
    void SetUp() override { fake::install(); }
    static void traffic_at(std::set<int> rates) {
        const std::lock_guard lock(fake::state().mutex);
        fake::state().rates_with_traffic = std::move(rates);
    }
    static fake::State &st() { return fake::state(); }
};

// ---- probing --------------------------------------------------------------

TEST_F(BringUp, TrafficOnlyAt500000ProbesListenOnlyThenJoinsTheBusAtThatRate) {
    traffic_at({500000});
    testing::internal::CaptureStdout();
    ASSERT_EQ(j1939_can_init(), 0);
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_THAT(fake::commands(), ElementsAre(fake::kLinkDown, fake::link_up(250000, "on"),
                                              fake::kLinkDown, fake::link_up(500000, "on"),
                                              fake::kLinkDown, fake::link_up(500000, "off")));
    EXPECT_EQ(st().link_rate, 500000);
    EXPECT_EQ(init_status, 1);
    EXPECT_EQ(out, "j1939_resp_recv thread detached successfully\n"
                   "j1939_filter_response thread detached successfully\n");
    EXPECT_EQ(st().threads_created, 2);
}

TEST_F(BringUp, SilentBusProbesAllFiveRatesAndStartsNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(j1939_can_init(), J1939_FAIL);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    std::vector<std::string> expected;
    for (int rate : {250000, 500000, 1000000, 125000, 100000}) {
        expected.emplace_back(fake::kLinkDown);
        expected.push_back(fake::link_up(rate, "on"));
    }
    EXPECT_THAT(fake::commands(), ElementsAreArray(expected));
    EXPECT_EQ(st().link_rate, 100000); // left up at the last rate tried
    EXPECT_EQ(init_status, 0);
    EXPECT_EQ(st().threads_created, 0);
    EXPECT_TRUE(st().open_sockets.empty()) << "probe sockets must be closed";
}

TEST_F(BringUp, ControllerWithoutListenOnlyFallsBackToThePlainLinkUp) {
    st().listen_only_supported = false;
    traffic_at({250000});
    ASSERT_EQ(j1939_can_init(), 0);
    EXPECT_THAT(fake::commands(),
                ElementsAre(fake::kLinkDown, fake::link_up(250000, "on"), fake::link_up(250000),
                            fake::kLinkDown, fake::link_up(250000, "off"), fake::link_up(250000)));
}

TEST_F(BringUp, LinkThatCannotLeaveListenOnlyFailsTheBringUp) {
    traffic_at({250000});
    st().command_result = [](const std::string &cmd) {
        return cmd.find("listen-only off") != std::string::npos ||
                       cmd == "ip link set can0 up type can bitrate 250000"
                   ? 1
                   : 0;
    };
    EXPECT_EQ(j1939_can_init(), J1939_ERR_LINK_UP);
    EXPECT_EQ(init_status, 0);
    EXPECT_EQ(st().threads_created, 0);
}

TEST_F(BringUp, ProbeResultsForFailingLinkCommands) {
    traffic_at({250000});
    // Only the link-down command fails: the link comes up, nothing is heard.
    st().command_result = [](const std::string &cmd) { return cmd == fake::kLinkDown ? 1 : 0; };
    const int receives_before = st().receive_calls;
    EXPECT_EQ(j1939_find_baudrate(250000), J1939_ERR_LINK_DOWN);
    EXPECT_EQ(st().receive_calls, receives_before) << "no listening after a failed link-down";

    // Both fail, and so does the plain fallback.
    st().command_result = [](const std::string &) { return 1; };
    EXPECT_EQ(j1939_find_baudrate(250000), J1939_ERR_LINK_UP);

    // A link-up that fails only in listen-only mode is retried plainly.
    st().command_result = [](const std::string &cmd) {
        return cmd.find("listen-only") != std::string::npos ? 1 : 0;
    };
    EXPECT_EQ(j1939_find_baudrate(250000), 0);
}

TEST_F(BringUp, ProbeOfRateZeroRunsNothing) {
    EXPECT_EQ(j1939_find_baudrate(0), 0);
    EXPECT_TRUE(fake::commands().empty());
}

TEST_F(BringUp, CanInitRunsThePlainCommandAndReturnsTheShellsResult) {
    st().command_result = [](const std::string &) { return 256; };
    EXPECT_EQ(can_init(125000), 256);
    EXPECT_THAT(fake::commands(), ElementsAre("ip link set can0 up type can bitrate 125000"));
}

TEST_F(BringUp, EmptyMessageCountsAsTraffic) {
    traffic_at({250000});
    st().probe_receives_empty_message = true;
    EXPECT_EQ(j1939_find_baudrate(250000), 0);
}

TEST_F(BringUp, ProbeSocketFailuresAreReportedAndTheSocketClosed) {
    st().fail_socket_call = 1;
    EXPECT_EQ(j1939_check_response(), J1939_ERR_SOCK_CREATE);

    fake::install();
    st().fail_broadcast_option = true;
    EXPECT_EQ(j1939_check_response(), J1939_ERR_SOCK_OPT);
    EXPECT_TRUE(st().open_sockets.empty());

    fake::install();
    st().fail_bind = true;
    EXPECT_EQ(j1939_check_response(), J1939_ERR_SOCK_BIND);
    EXPECT_TRUE(st().open_sockets.empty());

    fake::install();
    EXPECT_EQ(j1939_check_response(), J1939_ERR_NO_BUS_TRAFFIC); // link at no rate: silence

    fake::install();
    traffic_at({0});
    st().fail_close = true;
    EXPECT_EQ(j1939_check_response(), J1939_ERR_SOCK_CLOSE) << "a failed close overrides success";
}

// ---- second bring-up -------------------------------------------------------

TEST_F(BringUp, SecondBringUpProbesAgainButStartsNoFurtherThreads) {
    ASSERT_EQ(fake::bring_up(), 0);
    const size_t commands_after_first = fake::commands().size();
    testing::internal::CaptureStdout();
    EXPECT_EQ(j1939_can_init(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(st().threads_created, 2);
    EXPECT_EQ(init_status, 1);
    EXPECT_GT(fake::commands().size(), commands_after_first);
}

TEST_F(BringUp, SecondBringUpOnASilentBusFails) {
    ASSERT_EQ(fake::bring_up(), 0);
    traffic_at({});
    EXPECT_EQ(j1939_can_init(), J1939_FAIL);
    EXPECT_EQ(init_status, 1) << "nothing takes the stack down";
}

// ---- receive socket ----------------------------------------------------------

TEST_F(BringUp, ReceiveSocketIsPromiscuousBoundToCan0WithAFiveSecondTimeout) {
    ASSERT_EQ(j1939_can_socket_init(), 0);
    const fake::Socket s = st().open_sockets.at(resp_sock);
    EXPECT_TRUE(s.promiscuous);
    EXPECT_TRUE(s.broadcast);
    EXPECT_TRUE(s.has_receive_timeout);
    EXPECT_EQ(s.address.can_family, AF_CAN);
    EXPECT_EQ(s.address.can_ifindex, static_cast<int>(fake::kCan0Index));
    EXPECT_EQ(s.address.can_addr.j1939.name, J1939_NO_NAME);
    EXPECT_EQ(s.address.can_addr.j1939.pgn, J1939_NO_PGN);
    EXPECT_EQ(s.address.can_addr.j1939.addr, J1939_NO_ADDR);
    // peername starts out as the socket's own address.
    EXPECT_EQ(peername.can_family, sockname.can_family);
    EXPECT_EQ(peername.can_ifindex, sockname.can_ifindex);
    EXPECT_EQ(peername.can_addr.j1939.name, sockname.can_addr.j1939.name);
    EXPECT_EQ(peername.can_addr.j1939.pgn, sockname.can_addr.j1939.pgn);
    EXPECT_EQ(peername.can_addr.j1939.addr, sockname.can_addr.j1939.addr);

    // An open socket is reused without anything new being created.
    const int created = st().sockets_created;
    EXPECT_EQ(j1939_can_socket_init(), 0);
    EXPECT_EQ(st().sockets_created, created);
}

TEST_F(BringUp, ReceiveSocketFailuresFailTheBringUpAsALinkFailure) {
    traffic_at({250000});
    st().fail_socket_call = 2; // the probe at 250000 takes the first socket
    EXPECT_EQ(j1939_can_init(), J1939_ERR_LINK_UP);
    EXPECT_LT(resp_sock, 0) << "the failed creation's result is recorded";
    EXPECT_EQ(init_status, 0);

    fake::install();
    resp_sock = 0;
    st().fail_bind = true;
    EXPECT_EQ(j1939_can_socket_init(), J1939_ERR_SOCK_BIND);
    EXPECT_GT(resp_sock, 0) << "a socket that failed to bind stays recorded";
    EXPECT_EQ(st().open_sockets.count(resp_sock), 1U);
}

// ---- queues --------------------------------------------------------------------

TEST_F(BringUp, QueuesAreCreatedNonBlockingWithTheRecordSize) {
    ASSERT_EQ(mq_init(), 0);
    for (mqd_t q : {resv_mq, bc_mq, req_resp_mq}) {
        mq_attr a{};
        ASSERT_EQ(mq_getattr(q, &a), 0);
        EXPECT_EQ(a.mq_msgsize, 5078);
        EXPECT_EQ(a.mq_maxmsg, fake::kQueueDepth);
        EXPECT_TRUE(a.mq_flags & O_NONBLOCK);
    }
    EXPECT_EQ(attr.mq_msgsize, 5078);
    EXPECT_EQ(attr.mq_curmsgs, 0);
}

TEST_F(BringUp, ProductionQueuesHold5000Records) {
    EXPECT_EQ(vehcan::detail::linux_platform().queue_depth, 5000);
}

TEST_F(BringUp, StaleQueuesWithRecordsAreReplacedByEmptyOnes) {
    mq_attr a{};
    a.mq_maxmsg = fake::kQueueDepth;
    a.mq_msgsize = 5078;
    const mqd_t stale = mq_open("/brdcst_queue", O_RDWR | O_CREAT | O_NONBLOCK, 0644, &a);
    ASSERT_NE(stale, -1);
    const char record[5078] = {3, 0x12, 0x34};
    ASSERT_EQ(mq_send(stale, record, sizeof record, 0), 0);

    st().stale_queues_present = true;
    ASSERT_EQ(mq_init(), 0);
    EXPECT_THAT(st().unlinked, ElementsAre("/recv_queue", "/brdcst_queue", "/reqst_resp_queue"));
    mq_attr now{};
    ASSERT_EQ(mq_getattr(bc_mq, &now), 0);
    EXPECT_EQ(now.mq_curmsgs, 0);
}

TEST_F(BringUp, QueueThatCannotBeCreatedFailsTheBringUp) {
    vehcan::detail::platform().queue_depth = 100000; // beyond every limit
    traffic_at({250000});
    EXPECT_EQ(j1939_can_init(), J1939_ERR_MQ_OPEN);
    EXPECT_EQ(init_status, 0);
    EXPECT_EQ(st().threads_created, 0);
}

TEST_F(BringUp, MqDeleteTriesAllThreeNamesAndReportsAMissingOne) {
    EXPECT_EQ(mq_delete(), J1939_ERR_MQ_UNLINK);
    EXPECT_THAT(st().unlinked, ElementsAre("/recv_queue", "/brdcst_queue", "/reqst_resp_queue"));
    ASSERT_EQ(mq_init(), 0);
    EXPECT_EQ(mq_delete(), 0);
}

// ---- threads --------------------------------------------------------------------

TEST_F(BringUp, ThreadThatCannotStartFailsTheBringUp) {
    st().fail_thread_call = 2; // the filter
    testing::internal::CaptureStdout();
    EXPECT_EQ(fake::bring_up(), J1939_ERR_THREAD_CREATE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "j1939_resp_recv thread detached successfully\n");
    EXPECT_EQ(init_status, 0);
}

// ---- tear-down ---------------------------------------------------------------------

TEST_F(BringUp, TearDownTakesTheLinkDownAndForgetsTheClosedSocket) {
    ASSERT_EQ(j1939_can_socket_init(), 0);
    const int sock = resp_sock;
    EXPECT_EQ(j1939_can_deinit(), 0);
    EXPECT_THAT(fake::commands(), ElementsAre(fake::kLinkDown));
    EXPECT_THAT(st().closed, ElementsAre(sock));
    EXPECT_LE(resp_sock, 0);

    // Nothing recorded: nothing closed.
    EXPECT_EQ(j1939_can_deinit(), 0);
    EXPECT_THAT(st().closed, ElementsAre(sock));
}

TEST_F(BringUp, TearDownReportsTheFailedCloseBeforeTheFailedLinkDown) {
    ASSERT_EQ(j1939_can_socket_init(), 0);
    st().command_result = [](const std::string &) { return 1; };
    st().fail_close = true;
    EXPECT_EQ(j1939_can_deinit(), J1939_ERR_SOCK_CLOSE);

    fake::install();
    st().command_result = [](const std::string &) { return 1; };
    EXPECT_EQ(j1939_can_deinit(), J1939_ERR_LINK_DOWN);
}

TEST_F(BringUp, AfterTearDownTheReceiverOpensExactlyOneNewSocket) {
    ASSERT_EQ(fake::bring_up(), 0);
    ASSERT_TRUE(fake::wait_until([] { return fake::state().stream_receive_calls > 0; }));
    ASSERT_EQ(j1939_can_deinit(), 0);
    // The receiver finds no socket and opens the new one itself; a bring-up
    // racing with it must not open a second.
    ASSERT_TRUE(fake::wait_until([] {
        for (const auto &[fd, s] : fake::state().open_sockets) {
            if (s.promiscuous && s.bound) {
                return true;
            }
        }
        return false;
    }));
    ASSERT_EQ(j1939_can_socket_init(), 0);
    int receive_sockets = 0;
    {
        const std::lock_guard lock(st().mutex);
        for (const auto &[fd, s] : st().open_sockets) {
            receive_sockets += s.promiscuous ? 1 : 0;
        }
    }
    EXPECT_EQ(receive_sockets, 1);
}

TEST_F(BringUp, ReceiverThatCannotBindClosesTheSocketAndTriesAgain) {
    ASSERT_EQ(fake::bring_up(), 0);
    // The receiver runs (a receiver that finds no socket at its very start
    // ends, as documented).
    ASSERT_TRUE(fake::wait_until([] { return fake::state().stream_receive_calls > 0; }));
    {
        const std::lock_guard lock(st().mutex);
        st().fail_bind = true; // e.g. the link is down while the receiver reopens
    }
    ASSERT_EQ(j1939_can_deinit(), 0);
    ASSERT_TRUE(fake::wait_until([] { return fake::state().closed.size() >= 3; }))
        << "the receiver's unbound sockets are closed, one attempt after another";
    {
        const std::lock_guard lock(st().mutex);
        st().fail_bind = false;
    }
    ASSERT_TRUE(fake::wait_until([] {
        const auto &open = fake::state().open_sockets;
        return open.size() == 1 && open.begin()->second.bound && open.begin()->second.promiscuous;
    })) << "once binding works again, exactly one bound receive socket is open";
}

} // namespace
