// SPDX-License-Identifier: MIT
// Clearing trouble codes against simulated ECUs: the safety check on the
// vehicle's live data, each ECU's answer (ACK, NACK, busy then ACK,
// silence), the busy retries, the reading again after the settle time and
// the verdict per ECU, and the JSON the fleet's commands rely on.
#include "diag_fake_bus.h"

#include <clear.h>
#include <failure.h>

#include <gtest/gtest.h>

using namespace vehcan::diag;
using namespace vehcan::diag::testing;

namespace {

constexpr uint8_t kEngine = 0x00;
constexpr uint8_t kTransmission = 0x03;
constexpr uint8_t kBrakes = 0x0B;
constexpr uint8_t kBody = 0x21;

const Bytes kNoCode = hex("00FF00000000FFFF");

Bytes ccvs(double kmh) {
    const auto raw = static_cast<uint16_t>(kmh * 256);
    return {
        0xFF, static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8U), 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF};
}

Bytes eec1(double rpm) {
    const auto raw = static_cast<uint16_t>(rpm * 8);
    return {0xF0, 0x7D, 0x8C, static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8U),
            0x00, 0xF0, 0x7D};
}

// The four ECUs of vehcan-sim --diag-ecus: the engine ACKs and erases, the
// transmission NACKs, the brakes are busy twice and then ACK (one fault
// stays present), the body controller says nothing.
void add_truck(FakeBus &bus, double kmh, double rpm) {
    bus.every(Milliseconds(100), message(kPgnCcvs, kEngine, ccvs(kmh)));
    bus.every(Milliseconds(20), message(kPgnEec1, kEngine, eec1(rpm)));
    FakeEcu engine;
    engine.address = kEngine;
    engine.answers = {{kPgnDm1, hex("04FF6E001001FFFF")},
                      {kPgnDm2, hex("04FF64000103BE000201")},
                      {kPgnDm4, hex("0C6E001001015AE02E2D960050")},
                      {kPgnDm5, hex("01021426800E0004")}};
    engine.clear_answers = {0};
    engine.on_clear = [](FakeEcu &e, uint32_t pgn) {
        e.answers[pgn == kPgnDm11 ? kPgnDm1 : kPgnDm2] = kNoCode;
        e.answers[kPgnDm5] = pgn == kPgnDm11 ? hex("00021426800E800E") : hex("01001426800E0004");
    };
    bus.add(engine);
    FakeEcu transmission;
    transmission.address = kTransmission;
    transmission.answers = {{kPgnDm1, hex("04FF00162082FFFF")}, {kPgnDm2, hex("04FF000FE381FFFF")}};
    transmission.clear_answers = {1};
    bus.add(transmission);
    FakeEcu brakes;
    brakes.address = kBrakes;
    brakes.answers = {{kPgnDm1, hex("04FF11070E0112070302")}, {kPgnDm2, hex("04FF13070202FFFF")}};
    brakes.clear_answers = {3, 3, 0};
    brakes.on_clear = [](FakeEcu &e, uint32_t pgn) {
        if (pgn == kPgnDm11) {
            e.answers[kPgnDm1] = hex("04FF11070E01FFFF"); // SPN 1809 is still there
        } else {
            e.answers[kPgnDm2] = kNoCode;
        }
    };
    bus.add(brakes);
    FakeEcu body;
    body.address = kBody;
    body.answers = {{kPgnDm1, hex("04FF4A0A0501FFFF")}, {kPgnDm2, hex("04FF4B0A0601FFFF")}};
    bus.add(body);
}

const EcuClear &result_of(const ClearResult &r, uint8_t address) {
    for (const EcuClear &e : r.ecus) {
        if (e.address == address) {
            return e;
        }
    }
    throw std::runtime_error("no such ECU in the result");
}

std::vector<std::pair<Sent, uint32_t>> requests_for(FakeBus &bus, uint32_t pgn) {
    std::vector<std::pair<Sent, uint32_t>> out;
    for (const auto &r : bus.requests()) {
        if (r.second == pgn) {
            out.push_back(r);
        }
    }
    return out;
}

// ---- the safety check ---------------------------------------------------------------------------

TEST(Safety, TheVehicleMustStandAndForActiveCodesTheEngineStop) {
    struct Case {
        std::optional<double> kmh;
        std::optional<double> rpm;
        ClearKind kind;
        bool engine_allowed;
        Refusal want;
    };
    const Case cases[] = {
        {0.0, 0.0, ClearKind::active, false, Refusal::none},
        {0.0, 650.0, ClearKind::previous, false, Refusal::none},
        {0.0, std::nullopt, ClearKind::previous, false, Refusal::none},
        {1.0 / 256, 0.0, ClearKind::previous, true, Refusal::moving},
        {std::nullopt, 0.0, ClearKind::previous, true, Refusal::speed_unknown},
        {0.0, 0.125, ClearKind::active, false, Refusal::engine_running},
        {0.0, 650.0, ClearKind::active, true, Refusal::none},
        {0.0, std::nullopt, ClearKind::active, false, Refusal::engine_speed_unknown},
        {0.0, std::nullopt, ClearKind::active, true, Refusal::none},
    };
    for (const Case &c : cases) {
        LiveState live;
        live.vehicle_speed = c.kmh;
        live.engine_speed = c.rpm;
        live.listened = Milliseconds(1000);
        const SafetyVerdict v = judge_safety(live, c.kind, c.engine_allowed);
        EXPECT_EQ(v.refusal, c.want)
            << c.kmh.value_or(-1) << " km/h, " << c.rpm.value_or(-1) << " rpm";
        EXPECT_EQ(v.reason.empty(), c.want == Refusal::none);
    }
}

TEST(Safety, LiveDataTakesTheHighestValidReading) {
    LiveState live;
    take_live(live, message(kPgnCcvs, 0x17, ccvs(0)));
    take_live(live, message(kPgnCcvs, 0x00, hex("FF00FFFFFFFFFFFF"))); // not available
    take_live(live, message(kPgnEec1, 0x00, eec1(650)));
    take_live(live, message(kPgnEec1, 0x01, eec1(1200)));
    take_live(live, message(kPgnEec1, 0x02, hex("F07D")));            // too short
    take_live(live, message(kPgnDm1, 0x00, hex("04FF6E001001FFFF"))); // another PGN
    EXPECT_EQ(live.vehicle_speed, 0.0);
    EXPECT_EQ(live.vehicle_speed_source, 0x17);
    EXPECT_EQ(live.engine_speed, 1200.0);
    EXPECT_EQ(live.engine_speed_source, 0x01);
}

// ---- the clear
// -------------------------------------------------------------------------------------

TEST(Clear, ActiveCodesAgainstFourEcusAndTheirEveryAnswer) {
    FakeBus bus;
    add_truck(bus, 0, 650);
    ClearOptions o;
    o.kind = ClearKind::active;
    o.engine_running_allowed = true;
    const ClearPreview preview = prepare_clear(bus, o);
    EXPECT_EQ(preview.safety.refusal, Refusal::none);
    const nlohmann::json lost = preview_json(preview, o);
    EXPECT_EQ(lost["codes"], 5) << "1 + 1 + 2 + 1 active codes";
    EXPECT_EQ(lost["freeze_frames"], 1) << "DM11 takes the engine's freeze frame too";
    EXPECT_EQ(lost["ecus"][0]["codes"][0]["spn"], 110);

    const ClearResult r = execute_clear(bus, o, &preview);
    ASSERT_EQ(r.ecus.size(), 4U);
    const EcuClear &engine = result_of(r, kEngine);
    EXPECT_EQ(engine.answer, Outcome::ack);
    EXPECT_EQ(engine.erasure, Erasure::erased);
    ASSERT_TRUE(engine.dm5_after);
    EXPECT_EQ(engine.dm5_after->active, 0);
    const EcuClear &transmission = result_of(r, kTransmission);
    EXPECT_EQ(transmission.answer, Outcome::nack);
    EXPECT_EQ(transmission.erasure, Erasure::not_erased);
    EXPECT_EQ(transmission.after.at(0).spn, 177U);
    const EcuClear &brakes = result_of(r, kBrakes);
    EXPECT_EQ(brakes.answer, Outcome::ack);
    EXPECT_EQ(brakes.busy_retries, 2);
    EXPECT_EQ(brakes.erasure, Erasure::partly_erased);
    const EcuClear &body = result_of(r, kBody);
    EXPECT_EQ(body.answer, Outcome::silent);
    EXPECT_EQ(body.erasure, Erasure::not_erased);
    EXPECT_EQ(clear_exit_status(r), vehcan::kExitNotErased);

    // One DM11 to all, then one to the brakes 200 ms after each busy.
    const auto clears = requests_for(bus, kPgnDm11);
    ASSERT_EQ(clears.size(), 3U);
    EXPECT_EQ(clears[0].first.destination, kGlobal);
    EXPECT_EQ(clears[1].first.destination, kBrakes);
    EXPECT_EQ(clears[2].first.destination, kBrakes);
    // The first round waits for the silent body controller: 600 ms.
    EXPECT_EQ(clears[1].first.at - clears[0].first.at, Milliseconds(600 + 200));
    EXPECT_EQ(clears[2].first.at - clears[1].first.at, Milliseconds(20 + 200));
    // DM1, DM2 and DM5 read again 5 s after the last answer.
    const auto reread = requests_for(bus, kPgnDm1);
    ASSERT_EQ(reread.size(), 2U);
    EXPECT_EQ(reread[1].first.at - clears[2].first.at, Milliseconds(20 + 5000));

    const nlohmann::json j = clear_json(r);
    EXPECT_EQ(j["dm"], 11);
    EXPECT_EQ(j["to"], "all");
    EXPECT_EQ(j["ecus"][0]["address"], 0);
    EXPECT_EQ(j["ecus"][0]["answer"], "ack");
    EXPECT_EQ(j["ecus"][0]["after"], "erased");
    EXPECT_EQ(j["ecus"][1]["answer"], "nack");
    EXPECT_EQ(j["ecus"][1]["after"], "not erased");
    EXPECT_EQ(j["ecus"][2]["answer"], "ack");
    EXPECT_EQ(j["ecus"][2]["busy_retries"], 2);
    EXPECT_EQ(j["ecus"][2]["after"], "partly erased");
    EXPECT_EQ(j["ecus"][2]["codes_after"][0]["spn"], 1809);
    EXPECT_EQ(j["ecus"][3]["answer"], "silent");
    EXPECT_EQ(j["summary"]["partly_erased"], 1);
    EXPECT_EQ(j["summary"]["not_erased"], 2);
    EXPECT_EQ(j["safety"]["engine_speed"], 650.0);
    EXPECT_FALSE(j.contains("refused"));
}

TEST(Clear, PreviouslyActiveCodesOfOneNodeAllErased) {
    FakeBus bus;
    add_truck(bus, 0, 650);
    ClearOptions o;
    o.kind = ClearKind::previous;
    o.to = kEngine;
    // No preview: the fleet's confirm reads what is there itself.
    const ClearResult r = execute_clear(bus, o, nullptr);
    ASSERT_EQ(r.ecus.size(), 1U);
    EXPECT_EQ(r.ecus[0].answer, Outcome::ack);
    EXPECT_EQ(r.ecus[0].before.size(), 2U);
    EXPECT_TRUE(r.ecus[0].after.empty());
    EXPECT_EQ(r.ecus[0].erasure, Erasure::erased);
    EXPECT_EQ(clear_exit_status(r), vehcan::kExitOk);
    const auto clears = requests_for(bus, kPgnDm3);
    ASSERT_EQ(clears.size(), 1U);
    EXPECT_EQ(clears[0].first.destination, kEngine);
    EXPECT_TRUE(requests_for(bus, kPgnDm11).empty());
}

TEST(Clear, NothingIsSentWhileTheVehicleMovesOrItsSpeedIsUnknown) {
    for (const bool moving : {true, false}) {
        FakeBus bus;
        if (moving) {
            add_truck(bus, 80, 1500);
        }
        ClearOptions o;
        o.engine_running_allowed = true;
        const ClearResult r = execute_clear(bus, o, nullptr);
        EXPECT_EQ(r.safety.refusal, moving ? Refusal::moving : Refusal::speed_unknown);
        EXPECT_TRUE(bus.requests().empty()) << "not even a read";
        EXPECT_EQ(clear_exit_status(r), vehcan::kExitUnsafe);
        const nlohmann::json j = clear_json(r);
        EXPECT_EQ(j["refused"], r.safety.reason);
        EXPECT_EQ(j["safety"]["allowed"], false);
        if (moving) {
            EXPECT_EQ(r.safety.reason,
                      "the vehicle moves: wheel-based vehicle speed (SPN 84) 80.0 km/h from 0x00");
        }
    }
}

TEST(Clear, ActiveCodesWaitForTheEngineUnlessAllowed) {
    FakeBus bus;
    add_truck(bus, 0, 650);
    ClearOptions o;
    o.kind = ClearKind::active;
    const ClearResult r = execute_clear(bus, o, nullptr);
    EXPECT_EQ(r.safety.refusal, Refusal::engine_running);
    EXPECT_TRUE(requests_for(bus, kPgnDm11).empty());
}

TEST(Clear, AnEcuBusyThroughoutIsAskedFiveTimesMore) {
    FakeBus bus;
    bus.every(Milliseconds(100), message(kPgnCcvs, kEngine, ccvs(0)));
    FakeEcu brakes;
    brakes.address = kBrakes;
    brakes.answers = {{kPgnDm2, hex("04FF13070202FFFF")}};
    brakes.clear_answers = {3};
    bus.add(brakes);
    ClearOptions o;
    const ClearResult r = execute_clear(bus, o, nullptr);
    ASSERT_EQ(r.ecus.size(), 1U);
    EXPECT_EQ(r.ecus[0].answer, Outcome::busy);
    EXPECT_EQ(r.ecus[0].busy_retries, 5);
    EXPECT_EQ(r.ecus[0].erasure, Erasure::not_erased);
    EXPECT_EQ(requests_for(bus, kPgnDm3).size(), 6U);
}

TEST(Clear, VerdictFromTheListsBeforeAndAfter) {
    auto verdict = [](const std::vector<uint32_t> &before,
                      const std::optional<std::vector<uint32_t>> &after, bool before_read = true) {
        EcuClear e;
        e.before_read = before_read;
        for (uint32_t spn : before) {
            e.before.push_back(TroubleCode{spn, 1, 1, false, false, ""});
        }
        e.after_read = after.has_value();
        for (uint32_t spn : after.value_or(std::vector<uint32_t>{})) {
            e.after.push_back(TroubleCode{spn, 1, 1, false, false, ""});
        }
        return judge_erasure(e);
    };
    EXPECT_EQ(verdict({1, 2}, std::vector<uint32_t>{}), Erasure::erased);
    EXPECT_EQ(verdict({1, 2}, std::vector<uint32_t>{3}), Erasure::erased) << "a new fault";
    EXPECT_EQ(verdict({1, 2}, std::vector<uint32_t>{2}), Erasure::partly_erased);
    EXPECT_EQ(verdict({1, 2}, std::vector<uint32_t>{2, 1}), Erasure::not_erased);
    EXPECT_EQ(verdict({1}, std::nullopt), Erasure::unknown);
    EXPECT_EQ(verdict({}, std::vector<uint32_t>{4}, false), Erasure::not_erased);
    EXPECT_EQ(verdict({}, std::vector<uint32_t>{}, false), Erasure::erased);
}

} // namespace
