// SPDX-License-Identifier: MIT
// Reading diagnostics against simulated ECUs: what is requested and in which
// order, what each ECU's answer becomes, and the bounded wait (answers that
// begin late, transfers that take long or end in an abort); then DM13's
// stop, holds and start around a read and in vehcan diag quiet.
#include "diag_fake_bus.h"

#include <quiet.h>
#include <read.h>

#include <gtest/gtest.h>

using namespace vehcan::diag;
using namespace vehcan::diag::testing;

namespace {

constexpr uint8_t kEngine = 0x00;
constexpr uint8_t kTransmission = 0x03;

FakeEcu engine() {
    FakeEcu e;
    e.address = kEngine;
    e.answers = {
        {kPgnDm1, hex("04FF6E001001FFFF")},
        {kPgnDm2, hex("04FF64000103BE00020100F0E70C")}, // 14 bytes: a transfer
        {kPgnDm4, hex("0F6E001001015AE02E2D960050A1B2C3")},
        {kPgnDm5, hex("01031426800E0004")},
        {kPgnDm24, hex("BE001C026E001C01")},
        {kPgnDm25, hex("096E001001E02E96DEAD")},
    };
    return e;
}

FakeEcu transmission() {
    FakeEcu e;
    e.address = kTransmission;
    e.answers = {{kPgnDm1, hex("04FF00162082FFFF")}, {kPgnDm2, hex("00FF00000000FFFF")}};
    return e;
}

const EcuDiagnostics *ecu(const ReadResult &r, uint8_t address) {
    for (const EcuDiagnostics &e : r.ecus) {
        if (e.address == address) {
            return &e;
        }
    }
    return nullptr;
}

Milliseconds since(FakeBus &bus, Clock::time_point t) {
    return std::chrono::duration_cast<Milliseconds>(t - bus.start());
}

// ---- what is asked, what comes back -----------------------------------------------------------

TEST(Read, EveryDmFromTwoEcusByGlobalRequests) {
    FakeBus bus;
    bus.add(engine());
    bus.add(transmission());
    ReadOptions o;
    o.spn_name = [](uint32_t spn) -> std::optional<std::string> {
        return spn == 110 ? std::optional<std::string>("Engine Coolant Temperature") : std::nullopt;
    };
    const ReadResult r = read_diagnostics(bus, o);

    // One global request per DM, DM24 slipped in before DM25, 600 ms apart.
    const auto requests = bus.requests();
    const std::vector<uint32_t> asked = {kPgnDm1,  kPgnDm2,  kPgnDm4,  kPgnDm5, kPgnDm6,
                                         kPgnDm12, kPgnDm23, kPgnDm24, kPgnDm25};
    ASSERT_EQ(requests.size(), asked.size());
    for (size_t i = 0; i < asked.size(); ++i) {
        EXPECT_EQ(requests[i].second, asked[i]);
        EXPECT_EQ(requests[i].first.destination, kGlobal);
        EXPECT_EQ(since(bus, requests[i].first.at), Milliseconds(600) * static_cast<int>(i));
    }
    EXPECT_EQ(r.requested, (std::vector<int>{1, 2, 4, 5, 6, 12, 23, 24, 25}));

    ASSERT_EQ(r.ecus.size(), 2U);
    const EcuDiagnostics *e = ecu(r, kEngine);
    ASSERT_NE(e, nullptr);
    const auto &dm1 = std::get<TroubleCodeList>(e->dms.at(1).parsed);
    ASSERT_EQ(dm1.codes.size(), 1U);
    EXPECT_EQ(dm1.codes[0].description, "Engine Coolant Temperature");
    const auto &dm2 = std::get<TroubleCodeList>(e->dms.at(2).parsed);
    ASSERT_EQ(dm2.codes.size(), 3U) << "the 14-byte DM2 came by transfer";
    EXPECT_EQ(dm2.codes[2].spn, 520192U);
    EXPECT_EQ(std::get<FreezeFrames>(e->dms.at(4).parsed).frames.size(), 1U);
    EXPECT_EQ(std::get<Readiness>(e->dms.at(5).parsed).obd_compliance, 20);
    EXPECT_EQ(e->dms.at(6).outcome, Outcome::silent);
    // DM25 laid out by the engine's own DM24: engine speed and coolant.
    const auto &dm25 = std::get<ExpandedFreezeFrames>(e->dms.at(25).parsed);
    ASSERT_EQ(dm25.frames.size(), 1U);
    ASSERT_EQ(dm25.frames[0].values.size(), 2U);
    EXPECT_EQ(dm25.frames[0].values[1].value, 110.0);
    EXPECT_EQ(dm25.frames[0].manufacturer, hex("DEAD"));

    const EcuDiagnostics *t = ecu(r, kTransmission);
    ASSERT_NE(t, nullptr);
    const auto &t1 = std::get<TroubleCodeList>(t->dms.at(1).parsed);
    ASSERT_EQ(t1.codes.size(), 1U);
    EXPECT_EQ(t1.codes[0].spn, 177U) << "legacy layout, CM bit set";
    EXPECT_TRUE(std::get<TroubleCodeList>(t->dms.at(2).parsed).codes.empty());
    EXPECT_EQ(t->dms.at(4).outcome, Outcome::silent);

    // The JSON of the contract.
    const nlohmann::json j = read_json(r);
    EXPECT_EQ(j["from_node"], "all");
    EXPECT_EQ(j["ecus"][0]["address"], 0);
    EXPECT_EQ(j["ecus"][0]["dm1"]["dtcs"][0]["spn"], 110);
    EXPECT_EQ(j["ecus"][0]["dm1"]["dtcs"][0]["occurrences"], 1);
    EXPECT_EQ(j["ecus"][0]["dm4"][0]["engine_speed"], 1500.0);
    EXPECT_EQ(j["ecus"][0]["dm4"][0]["coolant_temperature"], 110.0);
    EXPECT_EQ(j["ecus"][0]["dm5"]["previously_active"], 3);
    EXPECT_EQ(j["ecus"][0]["dm6"], "silent");
    EXPECT_EQ(j["ecus"][0]["raw"]["dm1"], "04FF6E001001FFFF");
    EXPECT_EQ(j["ecus"][1]["dm1"]["dtcs"][0]["conversion"], "legacy");
    EXPECT_EQ(j["transfers"], 3) << "DM2, DM4 and DM25";
    // Per request: DM2's wait ran to its transfer's end, DM6's to the 600 ms.
    ASSERT_EQ(j.at("requests").size(), asked.size());
    EXPECT_EQ(j["requests"][1]["dm"], 2);
    EXPECT_EQ(j["requests"][1]["answers"], 2);
    EXPECT_EQ(j["requests"][1]["transfers"], 1);
    EXPECT_EQ(j["requests"][4]["dm"], 6);
    EXPECT_EQ(j["requests"][4]["answers"], 0);
    EXPECT_EQ(j["requests"][4]["took_ms"], 600);
}

TEST(Read, OneNodeEndsAtEachAnswerAndNacksShow) {
    FakeBus bus;
    bus.add(engine());
    bus.add(transmission());
    ReadOptions o;
    o.from_node = kTransmission;
    o.dms = {1, 4};
    const ReadResult r = read_diagnostics(bus, o);
    ASSERT_EQ(r.ecus.size(), 1U);
    EXPECT_EQ(r.ecus[0].address, kTransmission);
    EXPECT_EQ(r.ecus[0].dms.at(1).outcome, Outcome::answered);
    EXPECT_EQ(r.ecus[0].dms.at(4).outcome, Outcome::nack);
    EXPECT_EQ(dm_json(r.ecus[0].dms.at(4)), "nack");
    // 20 ms to each answer, none of the 600 ms waited.
    EXPECT_EQ(r.took, Milliseconds(40));
    for (const auto &[sent, pgn] : bus.requests()) {
        EXPECT_EQ(sent.destination, kTransmission);
    }
}

TEST(Read, ANodeThatSaysNothingIsListedSilent) {
    FakeBus bus;
    ReadOptions o;
    o.from_node = 0x42;
    o.dms = {1, 5};
    const ReadResult r = read_diagnostics(bus, o);
    ASSERT_EQ(r.ecus.size(), 1U);
    EXPECT_EQ(r.ecus[0].dms.at(1).outcome, Outcome::silent);
    EXPECT_EQ(r.ecus[0].dms.at(5).outcome, Outcome::silent);
    EXPECT_EQ(r.took, Milliseconds(1200));
    // From all nodes, nobody answering lists nobody.
    FakeBus empty;
    ReadOptions all;
    all.dms = {1};
    EXPECT_TRUE(read_diagnostics(empty, all).ecus.empty());
}

// ---- the bounded wait ---------------------------------------------------------------------------

TEST(Wait, ATransferBegunInTimeIsWaitedForAsLongAsItsSizeNeeds) {
    FakeBus bus;
    FakeEcu e;
    e.address = kEngine;
    Bytes dm2(1785, 0xFF);
    dm2[0] = 0x04;
    dm2[2] = 0x6E;
    dm2[3] = 0x00;
    dm2[4] = 0x10;
    dm2[5] = 0x01;
    e.answers = {{kPgnDm2, dm2}};
    e.latency = Milliseconds(500);
    e.per_packet = Milliseconds(150); // 255 packets: 38.75 s after the announcement
    bus.add(e);
    ReadOptions o;
    o.dms = {2};
    const ReadResult r = read_diagnostics(bus, o);
    ASSERT_EQ(r.ecus.size(), 1U);
    EXPECT_EQ(std::get<TroubleCodeList>(r.ecus[0].dms.at(2).parsed).codes.size(), 1U);
    EXPECT_EQ(r.took, Milliseconds(500 + 255 * 150)) << "ends when the transfer is in";
}

TEST(Wait, AnAnswerBegunAfter600MsIsNotWaitedFor) {
    FakeBus bus;
    FakeEcu late = engine();
    late.latency = Milliseconds(601);
    bus.add(late);
    ReadOptions o;
    o.dms = {1};
    const ReadResult r = read_diagnostics(bus, o);
    EXPECT_TRUE(r.ecus.empty());
    EXPECT_EQ(r.took, Milliseconds(600));
}

TEST(Wait, AnAbortedTransferEndsTheWaitAndAnotherRequestersAckIsNotOurs) {
    FakeBus bus;
    BusEvent bam;
    bam.kind = BusEvent::Kind::transfer_announced;
    bam.pgn = kPgnDm2;
    bam.source = kEngine;
    bam.size = 1785;
    bam.packets = 255;
    bus.at(Milliseconds(100), bam);
    BusEvent abort = bam;
    abort.kind = BusEvent::Kind::transfer_aborted;
    bus.at(Milliseconds(300), abort);
    // A NACK of DM2 for a tool at 0xF1: not an answer to us.
    bus.at(Milliseconds(200), message(kPgnAcknowledgement, kTransmission, hex("01FFFFFFF1CBFE00")));
    ReadOptions o;
    o.dms = {2};
    const ReadResult r = read_diagnostics(bus, o);
    EXPECT_TRUE(r.ecus.empty());
    EXPECT_EQ(r.took, Milliseconds(600)) << "the abort gave the wait back";
}

TEST(Wait, InterruptedBetweenRequests) {
    FakeBus bus;
    bus.add(engine());
    ReadOptions o;
    int polls = 0;
    o.interrupted = [&] { return ++polls > 3; };
    const ReadResult r = read_diagnostics(bus, o);
    EXPECT_TRUE(r.interrupted);
    EXPECT_LT(bus.requests().size(), 9U);
}

// ---- DM13
// ------------------------------------------------------------------------------------------

std::vector<std::pair<Milliseconds, Bytes>> dm13_sent(FakeBus &bus) {
    std::vector<std::pair<Milliseconds, Bytes>> out;
    for (const Sent &s : bus.sent) {
        if (s.pgn == kPgnDm13) {
            EXPECT_EQ(s.destination, kGlobal);
            out.emplace_back(since(bus, s.at), s.data);
        }
    }
    return out;
}

TEST(Quiet, AReadStopsTheBroadcastsHoldsThemAndStartsThemAgain) {
    FakeBus bus;
    bus.add(engine());
    ReadOptions o; // nine DMs, 600 ms each: one hold
    o.quiet_bus = true;
    const ReadResult r = read_diagnostics(bus, o);
    EXPECT_EQ(std::get<TroubleCodeList>(r.ecus.at(0).dms.at(2).parsed).codes.size(), 3U)
        << "requests are answered while the bus is quiet";
    const auto dm13 = dm13_sent(bus);
    ASSERT_GE(dm13.size(), 3U);
    EXPECT_EQ(dm13.front(), std::make_pair(Milliseconds(0), hex("3FFFFFFFFFFFFFFF")));
    for (size_t i = 1; i + 1 < dm13.size(); ++i) {
        EXPECT_EQ(dm13[i].first, Milliseconds(5000) * static_cast<int>(i));
        EXPECT_EQ(dm13[i].second, hex("FFFFFF0FFFFFFFFF"));
    }
    EXPECT_EQ(dm13.back(), std::make_pair(r.took, hex("7FFFFFFFFFFFFFFF")));
    EXPECT_EQ(r.took, Milliseconds(5400));
    EXPECT_EQ(dm13.size(), 3U);
    EXPECT_EQ(bus.sent.front().pgn, kPgnDm13) << "the stop goes before the first request";
}

TEST(Quiet, QuietForItsDurationOrUntilInterrupted) {
    FakeBus bus;
    bus.every(Milliseconds(100), message(kPgnEec1, kEngine, hex("F07D8CE02E00F07D")));
    QuietOptions o;
    o.duration = Milliseconds(12000);
    std::vector<std::string> lines;
    o.report = [&](const std::string &line) { lines.push_back(line); };
    const QuietResult r = run_quiet(bus, o);
    EXPECT_EQ(r.quiet, Milliseconds(12000));
    EXPECT_EQ(r.holds, 2U);
    const auto dm13 = dm13_sent(bus);
    ASSERT_EQ(dm13.size(), 4U);
    EXPECT_EQ(dm13[1].first, Milliseconds(5000));
    EXPECT_EQ(dm13[2].first, Milliseconds(10000));
    EXPECT_EQ(dm13[3], std::make_pair(Milliseconds(12000), hex("7FFFFFFFFFFFFFFF")));
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines.front(), "broadcasts stopped (DM13 to all nodes)");
    EXPECT_EQ(lines.back(), "broadcasts started again after 12.0 s (2 holds sent)");

    FakeBus interrupted;
    QuietOptions until;
    until.interrupted = [&] { return interrupted.now() >= interrupted.start() + 7s; };
    const QuietResult stopped = run_quiet(interrupted, until);
    EXPECT_EQ(stopped.holds, 1U);
    EXPECT_EQ(dm13_sent(interrupted).back().second, hex("7FFFFFFFFFFFFFFF"));
}

} // namespace
