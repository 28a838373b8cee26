// SPDX-License-Identifier: MIT
// vehcan-sim's diagnostic memories as the rig's suites read them: what a
// clear erases on each simulated ECU and what it answers, checked through
// the library's DM1 decoder (rig.stack_on_kernel's reading) and the
// diagnostics room's parsers (rig.diag's).
#include "diagnostics.h"
#include "truck_pgns.h"

#include <dm_layouts.h>
#include <j1939_stack.h>

#include <gtest/gtest.h>
#include <utility>
#include <vector>

using namespace vehcan::sim;
using namespace vehcan::sim::pgn;
using vehcan::diag::SpnConversion;

namespace {

// The (SPN, FMI) pairs of a code list the ECU sends for pgn.
std::vector<std::pair<uint32_t, uint8_t>> codes(const DiagnosticMemory &m, uint32_t pgn) {
    const auto payload = m.payload(pgn);
    EXPECT_TRUE(payload.has_value()) << "PGN " << pgn;
    std::vector<std::pair<uint32_t, uint8_t>> out;
    if (payload) {
        for (const auto &c :
             vehcan::diag::parse_trouble_code_list(*payload, SpnConversion::automatic).codes) {
            out.emplace_back(c.spn, c.fmi);
        }
    }
    return out;
}

using Codes = std::vector<std::pair<uint32_t, uint8_t>>;

TEST(SimDiagnostics, EngineDm3ThenDm11LeavesADm1WithoutCodeOrLamp) {
    DiagnosticMemory engine = DiagnosticMemory::engine();
    // DM3 erases the history and its freeze frame, not the active code.
    EXPECT_EQ(engine.clear(kPgnDm3), ClearReply::ack);
    EXPECT_EQ(codes(engine, kPgnDm2), Codes{});
    EXPECT_EQ(codes(engine, kPgnDm1), (Codes{{110, 16}}));
    const auto frames =
        vehcan::diag::parse_freeze_frames(*engine.payload(kPgnDm4), SpnConversion::automatic);
    ASSERT_EQ(frames.frames.size(), 1U);
    EXPECT_EQ(frames.frames[0].code.spn, 110U);

    // DM11: the DM1 broadcast says "no code", lamps off, as the library reads it.
    EXPECT_EQ(engine.clear(kPgnDm11), ClearReply::ack);
    const auto dm1 = engine.payload(kPgnDm1);
    ASSERT_TRUE(dm1.has_value());
    EXPECT_EQ(*dm1, (Bytes{0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}));
    dtc_dat dtc{};
    ASSERT_EQ(decode_dtc(kPgnDm1, dm1->data(), static_cast<int>(dm1->size()), &dtc), 0);
    EXPECT_EQ(dtc.spn, 0U);
    EXPECT_EQ(dtc.awl_status, 0);
    EXPECT_EQ(engine.active_count(), 0U);
    EXPECT_TRUE(
        vehcan::diag::parse_freeze_frames(*engine.payload(kPgnDm4), SpnConversion::automatic)
            .frames.empty());
    // Readiness: no codes counted, the supported monitors not complete again.
    const auto readiness = vehcan::diag::parse_readiness(*engine.payload(kPgnDm5));
    ASSERT_TRUE(readiness.has_value());
    EXPECT_EQ(readiness->active, 0);
    EXPECT_EQ(readiness->previously_active, 0);
    for (const auto &m : readiness->monitors) {
        EXPECT_FALSE(m.supported && m.complete) << m.name;
    }

    // The drive cycle's overheat raises the code again; its end keeps it as history.
    engine.overheat(true);
    EXPECT_EQ(codes(engine, kPgnDm1), (Codes{{110, 16}}));
    engine.overheat(false);
    EXPECT_EQ(codes(engine, kPgnDm1), Codes{});
    EXPECT_EQ(codes(engine, kPgnDm2), (Codes{{110, 16}}));
}

TEST(SimDiagnostics, EachEcuAnswersAClearItsOwnWay) {
    // The brakes: busy twice, then ACK; the fault still present comes back.
    DiagnosticMemory brakes = DiagnosticMemory::brakes();
    EXPECT_EQ(brakes.clear(kPgnDm11), ClearReply::busy);
    EXPECT_EQ(codes(brakes, kPgnDm1), (Codes{{1809, 14}, {1810, 3}})) << "busy erased";
    EXPECT_EQ(brakes.clear(kPgnDm11), ClearReply::busy);
    EXPECT_EQ(brakes.clear(kPgnDm11), ClearReply::ack);
    EXPECT_EQ(codes(brakes, kPgnDm1), (Codes{{1809, 14}}));
    EXPECT_EQ(codes(brakes, kPgnDm2), (Codes{{1811, 2}})) << "DM11 keeps the history";
    EXPECT_EQ(brakes.clear(kPgnDm3), ClearReply::busy) << "the next clear finds it busy again";

    // The transmission refuses and keeps its legacy-layout codes; the body
    // controller says nothing and keeps its codes.
    DiagnosticMemory transmission = DiagnosticMemory::transmission();
    EXPECT_EQ(transmission.clear(kPgnDm11), ClearReply::nack);
    EXPECT_EQ(transmission.clear(kPgnDm3), ClearReply::nack);
    EXPECT_EQ(codes(transmission, kPgnDm1), (Codes{{177, 0}}));
    EXPECT_EQ(codes(transmission, kPgnDm2), (Codes{{127, 3}, {161, 8}}));
    DiagnosticMemory body = DiagnosticMemory::body_controller();
    EXPECT_EQ(body.clear(kPgnDm3), ClearReply::none);
    EXPECT_EQ(codes(body, kPgnDm2), (Codes{{2635, 6}}));
    EXPECT_FALSE(body.payload(kPgnDm5).has_value()) << "the body controller has no readiness";
}

} // namespace
