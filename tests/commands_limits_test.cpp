// SPDX-License-Identifier: MIT
// The bounds on what commands do: the token bucket, the transmit gate, the
// diag.clear tokens, and each operation's arguments.
#include "command_limits.h"
#include "operations.h"

#include <gtest/gtest.h>

using namespace vehcan::commands;
using namespace std::chrono_literals;
using nlohmann::json;

// ---- the token bucket and the transmit gate ----------------------------------------------------

TEST(TokenBucket, ABurstThenTheRate) {
    const SteadyClock::time_point t0{1000s};
    TokenBucket b(2, 4, t0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(b.take(t0)) << i;
    }
    EXPECT_FALSE(b.take(t0));
    EXPECT_EQ(b.wait_for(t0), 500ms);
    EXPECT_FALSE(b.take(t0 + 499ms));
    EXPECT_TRUE(b.take(t0 + 500ms));
    // Never more than the burst, however long it waited.
    EXPECT_TRUE(b.take(t0 + 3600s, 4));
    EXPECT_FALSE(b.take(t0 + 3600s));
    EXPECT_EQ(b.wait_for(t0 + 3600s, 5), SteadyClock::duration::max());
}

TEST(TransmitGate, FramesWaitForTheRateAndGiveUpAtTheDeadline) {
    SteadyClock::time_point now{100s};
    std::vector<SteadyClock::duration> slept;
    TransmitGate gate(
        10, [&] { return now; },
        [&](SteadyClock::duration d) {
            slept.push_back(d);
            now += d;
        });
    const auto start = now;
    for (int i = 0; i < 25; ++i) {
        ASSERT_TRUE(gate.acquire(1, start + 10s)) << i;
    }
    // Ten at once, then one every 100 ms.
    EXPECT_EQ(slept.size(), 15U);
    EXPECT_GE(now - start, 1500ms);
    EXPECT_LT(now - start, 1510ms);
    EXPECT_EQ(gate.passed(), 25U);
    // A frame it could send only after its deadline is not sent.
    EXPECT_FALSE(gate.acquire(1, now + 50ms));
    EXPECT_FALSE(gate.acquire(11, now + 3600s)); // more than a burst, ever
    EXPECT_EQ(gate.refused(), 12U);
    EXPECT_EQ(gate.passed(), 25U);
    EXPECT_TRUE(gate.acquire(1, now + 100ms));
}

// ---- diag.clear tokens -------------------------------------------------------------------------

TEST(ClearTokens, OneUseSixtySecondsAndABoundOnHowManyLive) {
    ClearTokens tokens;
    const SteadyClock::time_point t0{50s};
    const std::string a = tokens.issue("fleet-1", "previous@0", t0);
    EXPECT_EQ(a.size(), 32U);
    EXPECT_TRUE(tokens.redeem(a, "fleet-1", "previous@0", t0 + 59s));
    EXPECT_FALSE(tokens.redeem(a, "fleet-1", "previous@0", t0 + 59s));
    const std::string b = tokens.issue("fleet-1", "previous@0", t0);
    EXPECT_FALSE(tokens.redeem(b, "fleet-1", "previous@0", t0 + 60s));
    std::vector<std::string> many;
    for (size_t i = 0; i < kMaxClearTokens + 2; ++i) {
        many.push_back(tokens.issue("fleet-1", "active@3", t0 + std::chrono::seconds(i)));
    }
    EXPECT_EQ(tokens.live(t0 + 20s), kMaxClearTokens);
    EXPECT_FALSE(tokens.redeem(many[0], "fleet-1", "active@3", t0 + 20s)); // the oldest went
    EXPECT_FALSE(tokens.redeem(many[1], "fleet-1", "active@3", t0 + 20s));
    EXPECT_TRUE(tokens.redeem(many[2], "fleet-1", "active@3", t0 + 20s));
}

// ---- the operations' arguments -----------------------------------------------------------------

namespace {

// "ok" with the normalized arguments, or the reason and text.
std::string check(const char *operation, const json &args) {
    CommandPolicy policy;
    policy.allowed_pgns = {65260, 0xFECA};
    json normalized;
    const ArgumentCheck r = find_operation(operation)->check(args, policy, normalized);
    if (r.reason == Reason::kNone) {
        return "ok " + normalized.dump();
    }
    return std::string(reason_name(r.reason)) + ": " + r.text;
}

} // namespace

TEST(OperationArguments, EachOperationTakesItsArgumentsAndFillsDefaults) {
    EXPECT_EQ(check("request", {{"pgn", 65260}}), R"(ok {"pgn":65260,"to":255})");
    EXPECT_EQ(check("request", {{"pgn", 0xFECA}, {"to", 0}}), R"(ok {"pgn":65226,"to":0})");
    EXPECT_EQ(check("scan", json::object()), R"(ok {"timeout":2.0})");
    EXPECT_EQ(check("scan", {{"timeout", 0.5}}), R"(ok {"timeout":0.5})");
    EXPECT_EQ(check("diag.read", json::object()), R"(ok {"address":255})");
    EXPECT_EQ(check("diag.read", {{"address", 0}}), R"(ok {"address":0})");
    EXPECT_EQ(check("diag.clear", {{"step", "prepare"}, {"address", 0}}),
              R"(ok {"address":0,"codes":"previous","step":"prepare"})");
    EXPECT_EQ(check("diag.clear", {{"step", "confirm"},
                                   {"address", 255},
                                   {"codes", "active"},
                                   {"token", "0123456789abcdef0123456789abcdef"}}),
              R"(ok {"address":255,"codes":"active","step":"confirm",)"
              R"("token":"0123456789abcdef0123456789abcdef"})");
    EXPECT_EQ(check("capture", json::object()), R"(ok {"seconds":10.0})");
}

TEST(OperationArguments, WhatAnOperationDoesNotTakeIsRefusedWithItsReason) {
    EXPECT_EQ(check("request", {{"pgn", 61444}}),
              "pgn_not_allowed: PGN 61444 (0xF004) is not in commands.allowed_pgns");
    EXPECT_EQ(check("request", json::object()), "bad_arguments: pgn is missing");
    EXPECT_EQ(check("request", {{"pgn", 0x40000}}), "bad_arguments: pgn must be from 0 to 262143");
    EXPECT_EQ(check("request", {{"pgn", "65260"}}), "bad_arguments: pgn must be an integer");
    EXPECT_EQ(check("request", {{"pgn", 65260.0}}), "bad_arguments: pgn must be an integer");
    EXPECT_EQ(check("request", {{"pgn", 18446744073709551615ULL}}),
              "bad_arguments: pgn must be from 0 to 262143");
    EXPECT_EQ(check("request", {{"pgn", 65260}, {"to", 256}}),
              "bad_arguments: to must be from 0 to 255");
    EXPECT_EQ(check("request", {{"pgn", 65260}, {"data", "00"}}),
              "bad_arguments: unknown argument \"data\"");
    EXPECT_EQ(check("scan", {{"timeout", 60}}), "bad_arguments: timeout must be from 0.5 to 10");
    EXPECT_EQ(check("diag.read", {{"address", 254}}),
              "bad_arguments: address must be from 0 to 253, or 255 for every ECU");
    EXPECT_EQ(check("diag.clear", {{"address", 0}}),
              "bad_arguments: step must be \"prepare\" or \"confirm\"");
    EXPECT_EQ(check("diag.clear", {{"step", "prepare"}}), "bad_arguments: address is missing");
    EXPECT_EQ(check("diag.clear", {{"step", "confirm"}, {"address", 0}}),
              "bad_arguments: token must be the 32 hex digits that prepare gave");
    EXPECT_EQ(check("diag.clear", {{"step", "prepare"}, {"address", 0}, {"token", "x"}}),
              "bad_arguments: unknown argument \"token\"");
    EXPECT_EQ(check("diag.clear", {{"step", "prepare"}, {"address", 0}, {"codes", "all"}}),
              "bad_arguments: codes must be \"previous\" (DM3) or \"active\" (DM11)");
    EXPECT_EQ(check("capture", {{"seconds", 0}}), "bad_arguments: seconds must be from 1 to 300");
    EXPECT_EQ(find_operation("format.disk"), nullptr);
}
