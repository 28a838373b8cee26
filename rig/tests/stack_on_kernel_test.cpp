// SPDX-License-Identifier: MIT
// The J1939 stack on a real kernel: Linux CAN_J1939 on the rig's emulated
// bus, with the library on can0 and vehcan-sim playing the truck on can1.
// The stack is process-wide and comes up once, so the cases run in the order
// written here: bring-up first, tear-down and the second bring-up last.
#include "can_link.h"
#include "j1939_stack.h"
#include "rig_support.h"
#include "stack_internal.h"
#include "truck_pgns.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mqueue.h>
#include <mutex>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using vehcan::detail::counters;
using vehcan::detail::held_request_socket;
using vehcan::rig::Clock;
using vehcan::rig::Payload;
using vehcan::rig::Sim;
using vehcan::sim::LinkState;
using vehcan::sim::LinkWatcher;

constexpr uint16_t kHost = 0xF9;
constexpr uint16_t kEngine = 0x00;
constexpr uint16_t kAll = 0xFF;

using namespace vehcan::sim::pgn;
constexpr uint16_t kPgnNobodySupports = 65200;

// The simulated truck's vehicle identification, as it answers requests.
constexpr const char *kTruckVin = "1HTMKAAN0CH123456";

// ---- the truck on can1 for the whole run ----------------------------------------

class TruckOnCan1 : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(vehcan::rig::shell(
            "ip link set can1 down && ip link set can1 up type can bitrate 500000"));
        truck_ = std::make_unique<Sim>(std::vector<std::string>{});
        ASSERT_TRUE(truck_->running()) << "vehcan-sim did not start";
    }
    void TearDown() override { truck_.reset(); }

    // The truck, for the cases that hold it a while.
    static Sim &truck() { return *truck_; }

  private:
    static inline std::unique_ptr<Sim> truck_;
};

[[maybe_unused]] ::testing::Environment *const g_truck =
    ::testing::AddGlobalTestEnvironment(new TruckOnCan1);

// Records every state that can0 passes through, read every few ms.
class LinkRecorder {
  public:
    LinkRecorder()
        : thread_([this] {
              LinkWatcher watcher("can0");
              while (!stop_) {
                  const LinkState s = watcher.query();
                  {
                      const std::lock_guard<std::mutex> lock(mutex_);
                      if (states_.empty() || !(states_.back() == s)) {
                          states_.push_back(s);
                      }
                  }
                  std::this_thread::sleep_for(5ms);
              }
          }) {}
    ~LinkRecorder() { finish(); }
    LinkRecorder(const LinkRecorder &) = delete;
    LinkRecorder &operator=(const LinkRecorder &) = delete;

    std::vector<LinkState> finish() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        return states_;
    }

  private:
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<LinkState> states_;
    std::thread thread_;
};

LinkState can0_now() {
    LinkWatcher w("can0");
    return w.query();
}

std::string describe(const std::vector<LinkState> &states) {
    std::string s;
    for (const LinkState &st : states) {
        s += st.up ? "up " : "down ";
        s += std::to_string(st.bitrate);
        s += st.listen_only ? " listen-only; " : "; ";
    }
    return s;
}

bool stack_is_up() {
    return init_status == 1;
}

#define REQUIRE_STACK_UP() ASSERT_TRUE(stack_is_up()) << "the stack never came up"

uint32_t le16(const Payload &p, size_t at) {
    return p[at] | static_cast<uint32_t>(p[at + 1]) << 8;
}
uint32_t le32(const Payload &p, size_t at) {
    return le16(p, at) | le16(p, at + 2) << 16;
}

// Waits until no request socket is held, at most timeout.
bool request_socket_released(std::chrono::milliseconds timeout) {
    const Clock::time_point end = Clock::now() + timeout;
    while (held_request_socket() >= 0) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Waits until counter exceeds floor, at most timeout. The filter counts a
// record after its mq_send, so on a guest with more than one CPU the host
// may hold the record a moment before the count moves.
bool counter_exceeds(const std::atomic<uint64_t> &counter, uint64_t floor,
                     std::chrono::milliseconds timeout) {
    const Clock::time_point end = Clock::now() + timeout;
    while (counter.load() <= floor) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// ---- bring-up --------------------------------------------------------------------------

TEST(BringUp, ProbesListenOnlyFindsTheBusAt500000AndJoinsIt) {
    ASSERT_FALSE(can0_now().up) << "can0 must start down";
    const int descriptors = vehcan::rig::open_descriptor_count();
    const int threads = vehcan::rig::thread_count();
    LinkRecorder recorder;
    const Clock::time_point start = Clock::now();
    const int rc = j1939_can_init();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::vector<LinkState> states = recorder.finish();
    std::printf("bring-up took %.1f s; can0 went through: %s\n", seconds, describe(states).c_str());

    ASSERT_EQ(rc, 0);
    EXPECT_EQ(init_status, 1);

    // 250000 listen-only first, silent for the whole 5-s listen; then
    // 500000 listen-only finds the truck; the link ends in normal mode.
    auto at = [&](uint32_t rate, bool listen_only) {
        return std::find_if(states.begin(), states.end(), [&](const LinkState &s) {
            return s.up && s.bitrate == rate && s.listen_only == listen_only;
        });
    };
    const auto probe_250k = at(250000, true);
    const auto probe_500k = at(500000, true);
    ASSERT_NE(probe_250k, states.end()) << "no listen-only probe at 250000";
    ASSERT_NE(probe_500k, states.end()) << "no listen-only probe at 500000";
    EXPECT_LT(probe_250k, probe_500k);
    EXPECT_EQ(at(250000, false), states.end()) << "250000 was joined, not only probed";
    for (const LinkState &s : states) {
        EXPECT_TRUE(!s.up || s.bitrate == 250000 || s.bitrate == 500000)
            << "probed beyond the rate with traffic: " << s.bitrate;
    }
    EXPECT_GE(seconds, 5.0) << "the probe at 250000 did not listen its 5 s";
    EXPECT_LT(seconds, 40.0);
    const LinkState now = can0_now();
    EXPECT_TRUE(now.up);
    EXPECT_EQ(now.bitrate, 500000U);
    EXPECT_FALSE(now.listen_only) << "the stack must take part in the bus, not only listen";

    // Two detached threads, alive; one receive socket and three queues, each
    // open twice: non-blocking for the exported descriptor, blocking for the
    // library's own readers.
    EXPECT_EQ(vehcan::rig::thread_count(), threads + 2);
    EXPECT_EQ(pthread_kill(tid[0], 0), 0);
    EXPECT_EQ(pthread_kill(tid[1], 0), 0);
    EXPECT_GT(resp_sock, 0);
    EXPECT_EQ(vehcan::rig::open_descriptor_count(), descriptors + 7);
    std::map<std::string, std::pair<int, int>> queue_descriptors; // non-blocking, blocking
    for (int fd = 0; fd < 1024; ++fd) {
        char target[64] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0 || target[0] != '/') {
            continue;
        }
        const std::string name = target;
        if (name == "/recv_queue" || name == "/brdcst_queue" || name == "/reqst_resp_queue") {
            auto &[nonblocking, blocking] = queue_descriptors[name];
            ++((fcntl(fd, F_GETFL) & O_NONBLOCK) != 0 ? nonblocking : blocking);
        }
    }
    for (const char *name : {"/recv_queue", "/brdcst_queue", "/reqst_resp_queue"}) {
        EXPECT_EQ(queue_descriptors[name], std::make_pair(1, 1)) << name;
    }
    EXPECT_EQ(attr.mq_maxmsg, 5000);
    EXPECT_EQ(attr.mq_msgsize, 5078);
    for (const mqd_t q : {resv_mq, bc_mq, req_resp_mq}) {
        mq_attr a{};
        ASSERT_EQ(mq_getattr(q, &a), 0);
        EXPECT_EQ(a.mq_maxmsg, 5000);
        EXPECT_EQ(a.mq_msgsize, 5078);
        EXPECT_NE(a.mq_flags & O_NONBLOCK, 0);
    }
    for (const char *path :
         {"/dev/mqueue/recv_queue", "/dev/mqueue/brdcst_queue", "/dev/mqueue/reqst_resp_queue"}) {
        EXPECT_EQ(access(path, F_OK), 0) << path;
    }
}

// ---- broadcasts --------------------------------------------------------------------------

TEST(Broadcasts, EveryGroupOfTheTruckArrivesWhole) {
    REQUIRE_STACK_UP();
    const std::vector<uint32_t> wanted = {kPgnEec1, kPgnEt1,   kPgnCcvs,
                                          kPgnLfc,  kPgnHours, kPgnVdhr,
                                          kPgnDm1,  kPgnTco1,  kPgnDriverIdentification};
    std::map<uint32_t, Payload> seen;
    vehcan::rig::drain_output_queues();
    const Clock::time_point end = Clock::now() + 8s; // the driver ids come every 5 s
    while (seen.size() < wanted.size() && Clock::now() < end) {
        uint8_t buffer[255] = {};
        int len = 0;
        unsigned long pgn = 0;
        if (j1939_recv_broadcast_response(buffer, &len, &pgn) == 0 &&
            std::find(wanted.begin(), wanted.end(), pgn) != wanted.end()) {
            seen.emplace(static_cast<uint32_t>(pgn), Payload(buffer, buffer + len));
        }
    }
    for (const uint32_t pgn : wanted) {
        EXPECT_EQ(seen.count(pgn), 1U) << "no broadcast of PGN " << pgn;
    }
    ASSERT_EQ(seen.size(), wanted.size());
    for (const auto &[pgn, p] : seen) {
        if (pgn != kPgnDriverIdentification) {
            EXPECT_EQ(p.size(), 8U) << "PGN " << pgn;
        }
    }

    // The truck's values, decoded by the library.
    const std::vector<std::pair<uint32_t, double>> values = {
        {kPgnEec1, 1500.0},    // rpm
        {kPgnEt1, 90.0},       // degC
        {kPgnCcvs, 80.0},      // km/h
        {kPgnLfc, 123456.5},   // L
        {kPgnHours, 4321.5},   // h
        {kPgnVdhr, 1000000.0}, // m
        {kPgnTco1, 80.0},      // km/h
    };
    for (const auto &[pgn, expected] : values) {
        const Payload &p = seen[pgn];
        double value = -1;
        EXPECT_EQ(decode_without_xml(p.data(), static_cast<int>(p.size()), pgn, &value), 0);
        EXPECT_DOUBLE_EQ(value, expected) << "PGN " << pgn;
    }
    const Payload &ccvs = seen[kPgnCcvs];
    int clutch = 0;
    int brake = 0;
    int cruise = 0;
    EXPECT_EQ(j1939_get_clutch_cruice_cntrl_brake_switch_state(
                  ccvs.data(), static_cast<int>(ccvs.size()), kPgnCcvs, &clutch, &brake, &cruise),
              0);
    EXPECT_EQ(clutch, J1939_CLUTCH_SWITCH_RELEASED);
    EXPECT_EQ(brake, J1939_BRAKE_SWITCH_RELEASED);
    EXPECT_EQ(cruise, J1939_CRUISE_CONTROL_ON);
    const Payload &tco1 = seen[kPgnTco1];
    int driver1 = -1;
    int driver2 = -1;
    EXPECT_EQ(j1939_get_driver_working_state(tco1.data(), 8, &driver1, &driver2), 0);
    EXPECT_EQ(driver1, 3); // drive
    EXPECT_EQ(driver2, 0); // rest
    EXPECT_EQ(j1939_get_driver_card_state(tco1.data(), 8, &driver1, &driver2), 0);
    EXPECT_EQ(driver1, J1939_DRIVER1_CARD_PRESENT);
    EXPECT_EQ(driver2, J1939_DRIVER2_CARD_NOT_PRESENT);

    // The active trouble code.
    dtc_dat dtc{};
    const Payload &dm1 = seen[kPgnDm1];
    ASSERT_EQ(decode_dtc(kPgnDm1, dm1.data(), static_cast<int>(dm1.size()), &dtc), 0);
    EXPECT_EQ(dtc.spn, 110U);
    EXPECT_EQ(dtc.fmi, 16);
    EXPECT_EQ(dtc.awl_status, 1);
    EXPECT_EQ(dtc.rsl_status, 0);

    // The driver identification travels by BAM: the kernel reassembles it and
    // the library hands it over whole.
    const Payload &ids = seen[kPgnDriverIdentification];
    EXPECT_EQ(vehcan::rig::text_of(ids), "D1CARD000123456*D2CARD000654321*");
    char id1[256] = {};
    char id2[256] = {};
    EXPECT_EQ(j1939_tacho_get_drivers_id(ids.data(), static_cast<int>(ids.size()), id1, id2), 0);
    EXPECT_STREQ(id1, "D1CARD000123456");
    EXPECT_STREQ(id2, "D2CARD000654321");
}

// ---- requests --------------------------------------------------------------------------

TEST(Requests, EngineTemperatureIsAnsweredThroughTheAnswerQueue) {
    REQUIRE_STACK_UP();
    for (const uint16_t destination : {kEngine, kAll}) {
        SCOPED_TRACE(destination == kAll ? "to all" : "to the engine");
        vehcan::rig::drain_output_queues();
        const uint64_t answers = counters().answers_routed.load();
        ASSERT_EQ(j1939_send_request_message(kPgnEt1, kHost, destination), 3);
        uint8_t buffer[255] = {};
        int len = -1;
        ASSERT_EQ(j1939_recv_request_response(buffer, &len, kPgnEt1), 0);
        EXPECT_EQ(len, 8);
        double coolant = 0;
        EXPECT_EQ(decode_without_xml(buffer, len, kPgnEt1, &coolant), 0);
        EXPECT_DOUBLE_EQ(coolant, 90.0);
        EXPECT_TRUE(counter_exceeds(counters().answers_routed, answers, 1s))
            << "the answer was not counted as routed";
        EXPECT_EQ(req_flag, 0) << "the answer ends the pending request";
    }
    EXPECT_TRUE(request_socket_released(1s));
}

TEST(Requests, Dm3AndDm11AreAcknowledgedAndLeaveThePendingStateAlone) {
    REQUIRE_STACK_UP();
    vehcan::rig::drain_output_queues();
    for (const uint32_t pgn : {kPgnDm3, kPgnDm11}) {
        SCOPED_TRACE(pgn);
        ASSERT_EQ(j1939_send_request_message(static_cast<uint16_t>(pgn), kHost, kEngine), 3);
        EXPECT_EQ(req_flag, 0);
        // With no request pending, the engine's acknowledgement is traffic
        // like any other and goes to the broadcast queue.
        Payload ack;
        ASSERT_TRUE(vehcan::rig::next_broadcast_of(kPgnAcknowledgement, ack, 3s));
        ASSERT_EQ(ack.size(), 8U);
        EXPECT_EQ(get_ack_type(kPgnAcknowledgement, ack.data(), 8), 0) << "positive";
        EXPECT_EQ(ack[4], kHost);
        EXPECT_EQ(le16(ack, 5) | static_cast<uint32_t>(ack[7]) << 16, pgn);
    }
    // DM11 cleared the active code: the DM1 broadcasts now report none. The
    // engine sends DM1 every second; the DM1s queued before the clear still
    // hold the code. The wait ends at the deadline only, not at a second
    // without a DM1: an emulated guest under load may miss a few.
    Payload dm1;
    bool cleared = false;
    const Clock::time_point acknowledged = Clock::now();
    const Clock::time_point end = acknowledged + 15s;
    const auto left = [&end] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    };
    while (!cleared && vehcan::rig::next_broadcast_of(kPgnDm1, dm1, left())) {
        dtc_dat dtc{};
        ASSERT_EQ(decode_dtc(kPgnDm1, dm1.data(), static_cast<int>(dm1.size()), &dtc), 0);
        cleared = dtc.spn == 0 && dtc.awl_status == 0;
    }
    EXPECT_TRUE(cleared) << "DM1 still reports the code 15 s after DM11";
    std::printf("DM1 without the code %lld ms after DM11's acknowledgement\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           Clock::now() - acknowledged)
                                           .count()));
}

TEST(Requests, NackToAnUnsupportedPgnIsDroppedWhileTheRequestIsPending) {
    REQUIRE_STACK_UP();
    vehcan::rig::drain_output_queues();
    const uint64_t dropped = counters().acknowledgements_dropped.load();
    ASSERT_EQ(j1939_send_request_message(kPgnNobodySupports, kHost, kEngine), 3);
    EXPECT_EQ(req_flag, 1);
    EXPECT_EQ(g_r_pgn, kPgnNobodySupports);
    uint8_t buffer[255] = {};
    int len = -1;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(j1939_recv_request_response(buffer, &len, kPgnNobodySupports),
              J1939_ERR_RESP_TIMEOUT);
    EXPECT_GT(Clock::now() - start, 2s);
    EXPECT_EQ(len, -1);
    EXPECT_GT(counters().acknowledgements_dropped.load(), dropped) << "no NACK reached the filter";
    EXPECT_TRUE(vehcan::rig::take_broadcasts_of(kPgnAcknowledgement).empty());
    EXPECT_EQ(req_flag, 1) << "an unanswered request stays pending";
    // Its socket is held no longer than the answer's deadline.
    EXPECT_TRUE(request_socket_released(2s));
}

// ---- the vehicle identification ------------------------------------------------------------

TEST(Vin, ByBamAnswersARequestToAll) {
    REQUIRE_STACK_UP();
    vehcan::rig::drain_output_queues();
    ASSERT_EQ(j1939_send_request_message(kPgnVehicleIdentification, kHost, kAll), 3);
    uint8_t buffer[255] = {};
    int len = -1;
    ASSERT_EQ(j1939_recv_request_response(buffer, &len, kPgnVehicleIdentification), 0);
    ASSERT_EQ(len, 18);
    char vin[19] = {};
    EXPECT_EQ(decode_vehicle_identification_number(buffer, len, vin), 0);
    EXPECT_STREQ(vin, kTruckVin);
    EXPECT_TRUE(request_socket_released(1s));
}

// The answer to a destination-specific request comes by RTS/CTS to the
// requester's address. The kernel clears it to send only while a local
// socket holds that address: the library's held request socket.
TEST(Vin, ByRtsCtsAnswersARequestToTheEngineOnTheHeldSocket) {
    REQUIRE_STACK_UP();
    ASSERT_TRUE(request_socket_released(3s));
    vehcan::rig::drain_output_queues();
    const int descriptors = vehcan::rig::open_descriptor_count();
    const Clock::time_point start = Clock::now();
    // Whether the socket is still held when the call returns depends on how
    // fast the answer comes; that the transfer completes at all shows it was.
    ASSERT_EQ(j1939_send_request_message(kPgnVehicleIdentification, kHost, kEngine), 3);
    uint8_t buffer[255] = {};
    int len = -1;
    ASSERT_EQ(j1939_recv_request_response(buffer, &len, kPgnVehicleIdentification), 0);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::printf("the VIN by RTS/CTS arrived %lld ms after the request\n",
                static_cast<long long>(took.count()));
    ASSERT_EQ(len, 18);
    char vin[19] = {};
    EXPECT_EQ(decode_vehicle_identification_number(buffer, len, vin), 0);
    EXPECT_STREQ(vin, kTruckVin);
    EXPECT_LT(took, 1250ms) << "slower than the sender's time-out for a missing CTS";
    // Routing the answer released the socket: nothing is left open.
    EXPECT_TRUE(request_socket_released(1s));
    EXPECT_EQ(vehcan::rig::open_descriptor_count(), descriptors);
}

// ---- transfers between two other nodes, reassembled by the library ---------------------------

class ThirdPartyTransfers : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(stack_is_up()) << "the stack never came up";
        vehcan::rig::drain_output_queues();
        delivered_ = counters().transfers_delivered.load();
    }

    // Sends a scenario of `frames` transport frames and returns the
    // identifications delivered once the filter has taken all of them.
    std::vector<std::string> send(const std::string &scenario, const std::string &vin,
                                  uint64_t frames,
                                  const std::string &second_vin = "2FRHDUYS2Y1234567") {
        const uint64_t before = counters().transport_frames.load();
        EXPECT_EQ(vehcan::rig::run_sim({"--scenario", scenario, "--vin", vin, "--second-vin",
                                        second_vin, "--quiet"}),
                  0);
        const Clock::time_point end = Clock::now() + 5s;
        while (counters().transport_frames.load() - before < frames && Clock::now() < end) {
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_GE(counters().transport_frames.load() - before, frames)
            << "the library did not see the scenario's frames one by one";
        std::this_thread::sleep_for(100ms); // the last frame's routing
        std::vector<std::string> texts;
        for (const Payload &p : vehcan::rig::take_broadcasts_of(kPgnVehicleIdentification)) {
            texts.push_back(vehcan::rig::text_of(p));
        }
        return texts;
    }

    static void print_transfer_counters() {
        const auto &c = counters();
        std::printf("transfers: %llu opened, %llu delivered, %llu unstored, %llu replaced, "
                    "%llu aborted, %llu timed out, %llu evicted\n",
                    static_cast<unsigned long long>(c.transfers_opened.load()),
                    static_cast<unsigned long long>(c.transfers_delivered.load()),
                    static_cast<unsigned long long>(c.transfers_unstored.load()),
                    static_cast<unsigned long long>(c.transfers_replaced.load()),
                    static_cast<unsigned long long>(c.transfers_aborted.load()),
                    static_cast<unsigned long long>(c.transfers_timed_out.load()),
                    static_cast<unsigned long long>(c.transfers_evicted.load()));
    }

    // After a broken transfer, a clean one must come through whole.
    void expect_reassembly_recovers() {
        EXPECT_EQ(send("complete", "RECOVEREDAFTERIT7", 6),
                  std::vector<std::string>{"RECOVEREDAFTERIT7"});
    }

    uint64_t delivered_ = 0;
};

TEST_F(ThirdPartyTransfers, CompleteTransferIsDeliveredWhole) {
    EXPECT_EQ(send("complete", "WDB9634031L123456", 6),
              std::vector<std::string>{"WDB9634031L123456"});
    EXPECT_EQ(counters().transfers_delivered.load() - delivered_, 1U);
}

TEST_F(ThirdPartyTransfers, MissingFirstPacketDeliversNothing) {
    EXPECT_TRUE(send("missing-first", "MISSINGPACKETONE1", 5).empty());
    expect_reassembly_recovers();
}

TEST_F(ThirdPartyTransfers, PacketBeyondTheCountIsIgnored) {
    EXPECT_EQ(send("beyond-count", "BEYONDTHECOUNT123", 7),
              std::vector<std::string>{"BEYONDTHECOUNT123"});
}

TEST_F(ThirdPartyTransfers, AnnouncementBeyondTheBufferStoresNothing) {
    EXPECT_TRUE(send("oversize", "OVERSIZEDTRANSFER", 12).empty());
    EXPECT_EQ(counters().transfers_delivered.load(), delivered_);
    expect_reassembly_recovers();
}

TEST_F(ThirdPartyTransfers, AbortEndsTheTransfer) {
    EXPECT_TRUE(send("abort", "ABORTEDMIDTRANSF1", 6).empty());
    expect_reassembly_recovers();
}

TEST_F(ThirdPartyTransfers, PacketsRepeatedFromTheFirstAreDeliveredOnce) {
    EXPECT_EQ(send("retransmit", "REPEATEDPACKETS12", 9),
              std::vector<std::string>{"REPEATEDPACKETS12"});
}

// Transfers between other nodes at the same time: each is reassembled from
// its own sender's packets.
TEST_F(ThirdPartyTransfers, InterleavedSendersAreBothDeliveredAsSent) {
    EXPECT_EQ(send("interleaved", "FIRSTSENDER000001", 12, "SECONDSENDER00002"),
              (std::vector<std::string>{"FIRSTSENDER000001", "SECONDSENDER00002"}));
    print_transfer_counters();
    expect_reassembly_recovers();
}

TEST_F(ThirdPartyTransfers, TransferOfAnotherPgnBesideItLeavesTheIdentificationWhole) {
    EXPECT_EQ(send("interleaved-other", "INTERLEAVEDOTHER1", 13),
              std::vector<std::string>{"INTERLEAVEDOTHER1"});
    print_transfer_counters();
    expect_reassembly_recovers();
}

// ---- the link and the queues under load ----------------------------------------------------

TEST(Link, PulledDownAndUpFromOutsideUnderTrafficTheStackReceivesAgain) {
    REQUIRE_STACK_UP();
    const int descriptors = vehcan::rig::open_descriptor_count();
    Payload p;
    ASSERT_TRUE(vehcan::rig::next_broadcast_of(kPgnEec1, p, 2s)) << "no traffic before";
    ASSERT_TRUE(vehcan::rig::shell("ip link set can0 down"));
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(vehcan::rig::shell("ip link set can0 up"));
    vehcan::rig::drain_output_queues();
    const Clock::time_point up = Clock::now();
    ASSERT_TRUE(vehcan::rig::next_broadcast_of(kPgnEec1, p, 8s))
        << "no broadcast since the link came back";
    std::printf(
        "broadcasts resumed %lld ms after the link came back\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - up).count()));
    ASSERT_EQ(j1939_send_request_message(kPgnEt1, kHost, kEngine), 3);
    uint8_t buffer[255] = {};
    int len = -1;
    EXPECT_EQ(j1939_recv_request_response(buffer, &len, kPgnEt1), 0);
    EXPECT_EQ(len, 8);
    EXPECT_TRUE(request_socket_released(1s));
    EXPECT_EQ(vehcan::rig::open_descriptor_count(), descriptors);
}

// Waits until the stack has finished with what the bus gave it: nothing
// new received for 300 ms and the filter done with every record received
// (or lost on "/recv_queue"). False when that takes longer than timeout.
bool stack_settles(std::chrono::milliseconds timeout) {
    const auto &c = counters();
    const Clock::time_point end = Clock::now() + timeout;
    uint64_t received = c.messages_received.load();
    Clock::time_point quiet_since = Clock::now();
    while (Clock::now() < end) {
        std::this_thread::sleep_for(50ms);
        const uint64_t now = c.messages_received.load();
        if (now != received) {
            received = now;
            quiet_since = Clock::now();
            continue;
        }
        if (c.records_filtered.load() + c.received_dropped.load() >= received &&
            Clock::now() - quiet_since >= 300ms) {
            return true;
        }
    }
    return false;
}

// Holds the truck until end() or the end of the scope: the bus carries only
// what the case sends.
class TruckPaused {
  public:
    TruckPaused() { TruckOnCan1::truck().pause(); }
    ~TruckPaused() { end(); }
    void end() {
        if (held_) {
            TruckOnCan1::truck().resume();
            held_ = false;
        }
    }
    TruckPaused(const TruckPaused &) = delete;
    TruckPaused &operator=(const TruckPaused &) = delete;

  private:
    bool held_ = true;
};

TEST(Flood, FullBroadcastQueueIsDrainedAndDeliveryGoesOn) {
    REQUIRE_STACK_UP();
    const auto &c = counters();
    uint64_t drains = 0;
    uint64_t routed = 0;
    uint64_t dropped = 0;
    uint64_t received_dropped = 0;
    // Until the queue has been read, the truck is held: every record routed
    // is a flood frame, and the flood numbers its frames from 0 in the order
    // sent. (Let go, it sends at once what it owes.)
    TruckPaused paused;
    // Nobody reads "/brdcst_queue" while the flood lasts. An emulated
    // guest on a busy machine may route fewer than the queue's 5000
    // records in 4 s: then the queue is emptied and a flood twice as long
    // tries again, once the last one has gone through the stack (its
    // frames would otherwise come in among the next one's).
    for (const char *seconds : {"4", "8", "16"}) {
        ASSERT_TRUE(stack_settles(30s)) << "the stack never caught up with the bus";
        vehcan::rig::drain_output_queues();
        drains = c.queue_drains.load();
        routed = c.broadcasts_routed.load();
        dropped = c.records_dropped.load();
        received_dropped = c.received_dropped.load();
        ASSERT_EQ(vehcan::rig::run_sim({"--flood", seconds, "--quiet"}, 30s), 0);
        ASSERT_TRUE(stack_settles(30s)) << "the stack never caught up with the flood";
        std::printf("flood of %s s: %llu records routed\n", seconds,
                    static_cast<unsigned long long>(c.broadcasts_routed.load() - routed));
        if (c.broadcasts_routed.load() - routed > 5000U) {
            break;
        }
    }
    const uint64_t routed_now = c.broadcasts_routed.load() - routed;
    // Records lost on "/recv_queue" (the filter fell behind, as it may while
    // it drains the full broadcast queue) never reached the broadcast queue.
    const uint64_t lost_unrouted = c.received_dropped.load() - received_dropped;
    const uint64_t drained = c.records_dropped.load() - dropped - lost_unrouted;
    mq_attr a{};
    ASSERT_EQ(mq_getattr(bc_mq, &a), 0);
    std::printf("flood: %llu records routed, %ld waiting, %llu drains, %llu drained from the "
                "broadcast queue, %llu lost before routing\n",
                static_cast<unsigned long long>(routed_now), a.mq_curmsgs,
                static_cast<unsigned long long>(c.queue_drains.load() - drains),
                static_cast<unsigned long long>(drained),
                static_cast<unsigned long long>(lost_unrouted));
    EXPECT_GT(routed_now, 5000U) << "the flood never filled the queue";
    EXPECT_LT(a.mq_curmsgs, 5000) << "more were routed than the queue holds, so it was drained";
    EXPECT_GT(c.queue_drains.load(), drains);
    EXPECT_GE(drained, 5000U) << "a drain of the full broadcast queue empties it";

    // What is left is in order, and the oldest records went in the drains:
    // every record drained was a flood frame numbered below the first one
    // left, each number once. Frames the kernel or the receive queue lost
    // only make the first number left larger.
    std::vector<uint32_t> sequences;
    for (const Payload &p : vehcan::rig::take_broadcasts_of(kPgnFlood)) {
        ASSERT_EQ(p.size(), 8U);
        sequences.push_back(le32(p, 0));
    }
    ASSERT_FALSE(sequences.empty()) << "no flood frame left after the drain";
    for (size_t i = 1; i < sequences.size(); ++i) {
        EXPECT_GT(sequences[i], sequences[i - 1]) << "at " << i;
    }
    EXPECT_GE(sequences.front(), drained) << "a newer frame than the first one left was drained";
    EXPECT_EQ(sequences.size(), static_cast<size_t>(a.mq_curmsgs))
        << "records other than the flood's were routed";
    paused.end();
    Payload p;
    EXPECT_TRUE(vehcan::rig::next_broadcast_of(kPgnEec1, p, 3s)) << "no delivery after the flood";
}

// ---- tear-down and bring-up again -----------------------------------------------------------

TEST(TearDown, AndBringUpAgainTheReceiverReopensItsSocketWithoutLeaks) {
    REQUIRE_STACK_UP();
    ASSERT_TRUE(request_socket_released(3s));
    const int descriptors = vehcan::rig::open_descriptor_count();
    const int threads = vehcan::rig::thread_count();

    ASSERT_EQ(j1939_can_deinit(), 0);
    EXPECT_EQ(resp_sock, 0);
    EXPECT_FALSE(can0_now().up);
    EXPECT_NE(access("/dev/mqueue/recv_queue", F_OK), 0) << "queue names stay after tear-down";
    EXPECT_EQ(vehcan::rig::open_descriptor_count(), descriptors - 1);
    EXPECT_EQ(init_status, 1);

    ASSERT_EQ(j1939_can_init(), 0);
    const LinkState link = can0_now();
    EXPECT_TRUE(link.up && link.bitrate == 500000 && !link.listen_only);
    EXPECT_EQ(vehcan::rig::thread_count(), threads) << "a second bring-up started threads";

    // The receiver thread opens the new receive socket itself.
    const Clock::time_point end = Clock::now() + 12s;
    while (resp_sock <= 0 && Clock::now() < end) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_GT(resp_sock, 0) << "the receiver did not reopen its socket";
    vehcan::rig::drain_output_queues();
    Payload p;
    EXPECT_TRUE(vehcan::rig::next_broadcast_of(kPgnEec1, p, 12s))
        << "no traffic on the nameless queues after the second bring-up";
    ASSERT_EQ(j1939_send_request_message(kPgnEt1, kHost, kEngine), 3);
    uint8_t buffer[255] = {};
    int len = -1;
    EXPECT_EQ(j1939_recv_request_response(buffer, &len, kPgnEt1), 0);
    EXPECT_TRUE(request_socket_released(1s));
    EXPECT_EQ(vehcan::rig::open_descriptor_count(), descriptors);
}

} // namespace
