// SPDX-License-Identifier: MIT
// The gate and the desk: every rejection class with its answer and nothing
// run, the edges of expiry, skew and lifetime, duplicates and replays, the
// rate limit, the bound on answers to forged messages, and the audit lines.
#include "commands_support.h"

#include <gtest/gtest.h>

using namespace vehcan::commands;
using namespace vehcan::commands::testing;
using nlohmann::json;

namespace {

// A desk whose every operation counts its runs and succeeds.
class Gate : public ::testing::Test {
  protected:
    void SetUp() override { make(policy_for(fleet)); }

    void make(CommandPolicy policy) {
        rig = std::make_unique<DeskRig>(std::move(policy), dir.path());
        for (const auto &op : operation_table()) {
            rig->executor().set_handler(op.name, [this](const OperationCall &call) {
                runs.push_back(call.id);
                return OperationOutput::success(
                    json{{"ran", call.operation}, {"args", call.arguments}});
            });
        }
    }

    std::vector<Published> deliver(const Command &c, bool retained = false) {
        return rig->deliver(fleet.envelope(c), retained);
    }

    ScratchDir dir;
    FleetKey fleet{"fleet-1", 1};
    std::unique_ptr<DeskRig> rig;
    std::vector<std::string> runs;
};

std::vector<std::string> outcomes(const std::vector<Published> &p) {
    std::vector<std::string> out;
    out.reserve(p.size());
    for (const auto &m : p) {
        out.push_back(m.message.value("outcome", "?"));
    }
    return out;
}

} // namespace

// ---- a command that runs -----------------------------------------------------------------------

TEST_F(Gate, AnAcceptedCommandIsRecordedThenRunAndAnsweredAtEachStep) {
    const auto p = deliver(command("c-1", "diag.read", {{"address", 0}}));
    ASSERT_EQ(outcomes(p), (std::vector<std::string>{"accepted", "running", "succeeded"}));
    for (const auto &m : p) {
        EXPECT_EQ(m.topic, "cmd/c-1");
        EXPECT_EQ(m.message["id"], "c-1");
        EXPECT_EQ(m.message["operation"], "diag.read");
        EXPECT_EQ(m.message["at"], kNow);
        EXPECT_FALSE(m.message.contains("reason"));
    }
    EXPECT_EQ(p[2].message["result"], (json{{"ran", "diag.read"}, {"args", {{"address", 0}}}}));
    EXPECT_EQ(runs, std::vector<std::string>{"c-1"});
    const auto stored = rig->store().find("c-1");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->outcome, Outcome::kSucceeded);
    EXPECT_EQ(json::parse(stored->result), p[2].message);
    EXPECT_EQ(rig->audit,
              std::vector<std::string>{"command c-1 key fleet-1 operation diag.read: succeeded"});
}

TEST_F(Gate, DefaultsOfTheArgumentsReachTheOperation) {
    const auto p = deliver(command("c-1", "request", {{"pgn", 65260}}));
    ASSERT_EQ(p.size(), 3U);
    EXPECT_EQ(p[2].message["result"]["args"], (json{{"pgn", 65260}, {"to", 255}}));
}

// ---- before the signature ----------------------------------------------------------------------

TEST_F(Gate, MessagesNotSignedByAKnownKeyAreAnsweredWithoutTheirIdAndNotRecorded) {
    const FleetKey stranger("fleet-9", 9);
    const FleetKey impostor("fleet-1", 9); // a known key id, another key
    const std::string good = fleet.envelope(command("c-evil"));
    std::string tampered = good;
    tampered[tampered.find("\"body\":\"") + 9] ^= 0x01; // still base64, another body
    const std::vector<std::pair<std::string, std::string>> cases{
        {"not json", "malformed"},
        {R"({"v":2,"key":"fleet-1","body":"e30=","sig":""})", "malformed"},
        {stranger.envelope(command("c-evil")), "unknown_key"},
        {impostor.envelope(command("c-evil")), "bad_signature"},
        {tampered, "bad_signature"},
        // Signed, but without an id that could name a topic.
        {fleet.envelope_of_body(R"({"id":"a/b"})"), "malformed"},
    };
    for (const auto &[payload, reason] : cases) {
        rig->steady += std::chrono::seconds(1); // below the bound on these answers
        const auto p = rig->deliver(payload);
        ASSERT_EQ(p.size(), 1U) << payload;
        EXPECT_EQ(p[0].topic, "cmd/_rejected");
        EXPECT_EQ(p[0].message["outcome"], "rejected");
        EXPECT_EQ(p[0].message["reason"], reason) << payload;
        const Digest d = sha256(payload);
        EXPECT_EQ(p[0].message["sha256"], hex(d.data(), d.size()));
        // Nothing of the message in the answer: not its id, not its key id.
        EXPECT_FALSE(p[0].message.contains("id"));
        EXPECT_EQ(p[0].message.dump().find("evil"), std::string::npos);
        EXPECT_EQ(p[0].message.dump().find("fleet-9"), std::string::npos);
    }
    EXPECT_EQ(rig->store().size(), 0);
    EXPECT_TRUE(runs.empty());
    ASSERT_EQ(rig->audit.size(), cases.size());
    EXPECT_EQ(rig->audit[2].find("fleet-9"), std::string::npos);
    EXPECT_EQ(rig->audit[2].rfind("command message sha256 ", 0), 0U);
    EXPECT_NE(rig->audit[2].find(": rejected (unknown_key)"), std::string::npos);
    // The forged c-evil never entered the record: the real one still runs.
    EXPECT_EQ(outcomes(deliver(command("c-evil"))).back(), "succeeded");
}

TEST_F(Gate, AnswersToForgedMessagesAreBoundedAndTheRestCounted) {
    for (int i = 0; i < 20; ++i) {
        rig->deliver("forged " + std::to_string(i));
    }
    EXPECT_EQ(rig->published.size(), static_cast<size_t>(kUnattributedBurst));
    EXPECT_EQ(rig->audit.size(), static_cast<size_t>(kUnattributedBurst));
    EXPECT_EQ(rig->desk().counters().unattributed, 20U);
    EXPECT_EQ(rig->desk().counters().unanswered, 15U);
    rig->steady += std::chrono::seconds(1);
    rig->deliver("forged 21");
    ASSERT_EQ(rig->published.size(), static_cast<size_t>(kUnattributedBurst) + 1);
    EXPECT_NE(rig->audit.back().find("(15 more messages not answered before this one)"),
              std::string::npos)
        << rig->audit.back();
    // A signed command is not held back by the forged ones.
    EXPECT_EQ(outcomes(deliver(command("c-1"))).back(), "succeeded");
}

// ---- after it: each class, answered on the command's topic and recorded -----------------------

TEST_F(Gate, EverySignedRejectionClassIsAnsweredOnItsIdAndNothingRuns) {
    struct Case {
        const char *name;
        Command command;
        bool retained;
        const char *outcome;
        const char *reason;
    };
    auto with = [](Command c, auto change) {
        change(c);
        return c;
    };
    const std::vector<Case> cases{
        {"retained", command("r-1"), true, "rejected", "retained"},
        {"vehicle", with(command("r-2"), [](Command &c) { c.vehicle = "OTHERVIN000000000"; }),
         false, "rejected", "wrong_vehicle"},
        {"expired",
         with(command("r-3"),
              [](Command &c) {
                  c.issued_at = kNow - 600;
                  c.expires_at = kNow - 1;
              }),
         false, "expired", "expired"},
        {"future",
         with(command("r-4"),
              [](Command &c) {
                  c.issued_at = kNow + 301;
                  c.expires_at = kNow + 600;
              }),
         false, "rejected", "issued_in_future"},
        {"lifetime", with(command("r-5"), [](Command &c) { c.expires_at = kNow + 86401; }), false,
         "rejected", "lifetime_too_long"},
        {"horizon", with(command("r-6"), [](Command &c) { c.issued_at = kNow - 3601; }), false,
         "rejected", "replayed"},
        {"not allowed", command("r-7", "format.disk"), false, "rejected", "operation_not_allowed"},
        {"arguments", command("r-8", "scan", {{"timeout", "2"}}), false, "rejected",
         "bad_arguments"},
        {"pgn", command("r-9", "request", {{"pgn", 61444}}), false, "rejected", "pgn_not_allowed"},
    };
    for (const auto &c : cases) {
        rig->steady += std::chrono::seconds(1); // below the bound on duplicate answers
        const auto p = deliver(c.command, c.retained);
        ASSERT_EQ(p.size(), 1U) << c.name;
        EXPECT_EQ(p[0].topic, "cmd/" + c.command.id) << c.name;
        EXPECT_EQ(p[0].message["id"], c.command.id);
        EXPECT_EQ(p[0].message["outcome"], c.outcome) << c.name;
        EXPECT_EQ(p[0].message["reason"], c.reason) << c.name;
        EXPECT_FALSE(p[0].message["text"].get<std::string>().empty());
        EXPECT_EQ(rig->audit.back(), "command " + c.command.id + " key fleet-1 operation " +
                                         c.command.operation + ": " + c.outcome + " (" + c.reason +
                                         ")");
        // Recorded: a second delivery gets the same answer, marked.
        const auto again = deliver(c.command, c.retained);
        ASSERT_EQ(again.size(), 1U);
        EXPECT_EQ(again[0].message["reason"], c.reason);
        EXPECT_EQ(again[0].message["duplicate"], true);
    }
    EXPECT_TRUE(runs.empty());
    EXPECT_EQ(rig->desk().counters().accepted, 0U);
}

TEST_F(Gate, ReusedIdsAndNoncesAreReplays) {
    ASSERT_EQ(outcomes(deliver(command("c-1"))).back(), "succeeded");
    // Same id, other bytes (a new nonce): rejected, and the stored result stays.
    Command other = command("c-1", "diag.read");
    other.nonce = "another-nonce-0123456";
    auto p = deliver(other);
    ASSERT_EQ(p.size(), 1U);
    EXPECT_EQ(p[0].message["reason"], "replayed");
    EXPECT_EQ(p[0].message["text"], "the id c-1 belongs to another command");
    EXPECT_EQ(rig->store().find("c-1")->operation, "scan");
    // A new id with the first command's nonce.
    Command same_nonce = command("c-2");
    same_nonce.nonce = command("c-1").nonce;
    p = deliver(same_nonce);
    ASSERT_EQ(p.size(), 1U);
    EXPECT_EQ(p[0].topic, "cmd/c-2");
    EXPECT_EQ(p[0].message["reason"], "replayed");
    EXPECT_EQ(p[0].message["text"], "the command's nonce was another command's");
    EXPECT_EQ(runs, std::vector<std::string>{"c-1"});
    // The id's rejection is not recorded (the id is c-1's): a replay of it
    // is answered within the bound on unrecorded answers only.
    rig->steady += std::chrono::seconds(60);
    const size_t before = rig->published.size();
    for (int i = 0; i < 20; ++i) {
        deliver(other);
    }
    EXPECT_EQ(rig->published.size() - before, static_cast<size_t>(kUnattributedBurst));
}

TEST_F(Gate, ChecksOfTheDeliveryComeBeforeThoseOfWhatIsAsked) {
    // Retained, for another vehicle, expired and not allowed at once: the
    // first check in the order answers.
    Command c = command("c-1", "format.disk");
    c.vehicle = "OTHERVIN000000000";
    c.expires_at = kNow;
    c.issued_at = kNow - 10;
    EXPECT_EQ(deliver(c, true)[0].message["reason"], "retained");
    c.id = "c-2";
    c.nonce = "nonce-for-c-2-000000";
    EXPECT_EQ(deliver(c)[0].message["reason"], "wrong_vehicle");
    c.id = "c-3";
    c.nonce = "nonce-for-c-3-000000";
    c.vehicle = "truck-7"; // the configured name is a name of this vehicle too
    EXPECT_EQ(deliver(c)[0].message["reason"], "expired");
}

// ---- time: the edges ---------------------------------------------------------------------------

TEST_F(Gate, ExpiryHasNoLeewayAtItsLastMillisecond) {
    Command c = command("c-1");
    c.expires_at = kNow + 10;
    rig->wall_ms = c.expires_at * 1000 - 1;
    EXPECT_EQ(outcomes(deliver(c)).back(), "succeeded");
    c = command("c-2");
    c.expires_at = kNow + 10;
    rig->wall_ms = c.expires_at * 1000;
    EXPECT_EQ(outcomes(deliver(c)), std::vector<std::string>{"expired"});
}

TEST_F(Gate, SkewIsAllowedUpToItsBoundAndNotAMillisecondMore) {
    CommandPolicy p = policy_for(fleet);
    p.max_skew_s = 30;
    make(p);
    Command c = command("c-1");
    rig->wall_ms = (c.issued_at - 30) * 1000;
    EXPECT_EQ(outcomes(deliver(c)).back(), "succeeded");
    c = command("c-2");
    rig->wall_ms = (c.issued_at - 30) * 1000 - 1;
    const auto answer = deliver(c);
    EXPECT_EQ(answer[0].message["reason"], "issued_in_future");
    EXPECT_EQ(answer[0].message["text"],
              "the command is issued at 2024-06-10T06:13:20Z, more than 30 s ahead of the "
              "gateway's clock (2024-06-10T06:12:49Z)");
}

TEST_F(Gate, LifetimeIsAllowedUpToItsBound) {
    CommandPolicy p = policy_for(fleet);
    p.max_lifetime_s = 600;
    make(p);
    Command c = command("c-1");
    c.expires_at = c.issued_at + 600;
    EXPECT_EQ(outcomes(deliver(c)).back(), "succeeded");
    c = command("c-2");
    c.expires_at = c.issued_at + 601;
    EXPECT_EQ(deliver(c)[0].message["reason"], "lifetime_too_long");
}

TEST_F(Gate, ACommandThatExpiresWhileItWaitsIsNotRun) {
    Command c = command("c-1");
    c.expires_at = kNow + 5;
    auto job = rig->desk().receive(fleet.envelope(c), false);
    ASSERT_TRUE(job);
    rig->wall_ms = (kNow + 5) * 1000;
    rig->desk().execute(*job);
    EXPECT_TRUE(runs.empty());
    EXPECT_EQ(rig->published.back().message["outcome"], "expired");
    EXPECT_EQ(rig->store().find("c-1")->outcome, Outcome::kExpired);
}

// ---- duplicates --------------------------------------------------------------------------------

TEST_F(Gate, ADuplicateGetsTheStoredResultAndNeverASecondRun) {
    const std::string envelope = fleet.envelope(command("c-1"));
    const auto first = rig->deliver(envelope);
    ASSERT_EQ(first.size(), 3U);
    // Later, even past the command's expiry: the same answer, marked.
    rig->wall_ms += 3600 * 1000;
    auto again = rig->deliver(envelope);
    ASSERT_EQ(again.size(), 1U);
    json expected = first[2].message;
    expected["duplicate"] = true;
    EXPECT_EQ(again[0].message, expected);
    EXPECT_EQ(again[0].topic, "cmd/c-1");
    // After a restart of the gateway too.
    rig->restart();
    again = rig->deliver(envelope);
    ASSERT_EQ(again.size(), 1U);
    EXPECT_EQ(again[0].message, expected);
    EXPECT_EQ(runs.size(), 1U);
    EXPECT_EQ(rig->desk().counters().duplicates, 1U); // the new desk's own count
}

TEST_F(Gate, DuplicateAnswersAreBounded) {
    const std::string envelope = fleet.envelope(command("c-1"));
    rig->deliver(envelope);
    const size_t before = rig->published.size();
    for (int i = 0; i < 50; ++i) {
        rig->deliver(envelope);
    }
    EXPECT_EQ(rig->published.size() - before, static_cast<size_t>(kDuplicatesBurst));
    EXPECT_EQ(runs.size(), 1U);
}

// ---- rate limit --------------------------------------------------------------------------------

TEST_F(Gate, TheRateLimitIsASlidingWindowThatSurvivesARestart) {
    CommandPolicy p = policy_for(fleet);
    p.rate_limit = 3;
    p.rate_period_s = 60;
    make(p);
    for (const char *id : {"c-1", "c-2", "c-3"}) {
        EXPECT_EQ(outcomes(deliver(command(id))).back(), "succeeded") << id;
        rig->wall_ms += 10 * 1000;
    }
    rig->restart();
    const auto limited = deliver(command("c-4"));
    ASSERT_EQ(limited.size(), 1U);
    EXPECT_EQ(limited[0].message["reason"], "rate_limited");
    // c-1 leaves the window 60 s after it came (at kNow): room for one.
    rig->wall_ms = (kNow + 60) * 1000 - 1;
    EXPECT_EQ(deliver(command("c-5"))[0].message["reason"], "rate_limited");
    rig->wall_ms = (kNow + 60) * 1000;
    EXPECT_EQ(outcomes(deliver(command("c-6"))).back(), "succeeded");
    EXPECT_EQ(deliver(command("c-7"))[0].message["reason"], "rate_limited");
    // Rejections do not use the budget up.
    EXPECT_EQ(runs, (std::vector<std::string>{"c-1", "c-2", "c-3", "c-6"}));
}

// ---- failures ----------------------------------------------------------------------------------

TEST_F(Gate, AnOperationThatFailsOrIsMissingFailsWithItsReason) {
    rig->executor().set_handler("scan", [](const OperationCall &) -> OperationOutput {
        throw std::runtime_error("no bus: can0 is down");
    });
    auto p = deliver(command("c-1"));
    ASSERT_EQ(outcomes(p), (std::vector<std::string>{"accepted", "running", "failed"}));
    EXPECT_EQ(p[2].message["reason"], "operation_failed");
    EXPECT_EQ(p[2].message["text"], "no bus: can0 is down");
    EXPECT_EQ(rig->audit.back(),
              "command c-1 key fleet-1 operation scan: failed (operation_failed)");

    ScratchDir other;
    DeskRig empty(policy_for(fleet), other.path());
    p = empty.deliver(fleet.envelope(command("c-2")));
    ASSERT_EQ(p.size(), 3U);
    EXPECT_EQ(p[2].message["reason"], "not_available");
}

// ---- diag.clear --------------------------------------------------------------------------------

TEST_F(Gate, ClearingNeedsTheTokenOfAPreparationByTheSameKeyForTheSameAddress) {
    auto prepare = deliver(command("p-1", "diag.clear", {{"step", "prepare"}, {"address", 0}}));
    ASSERT_EQ(outcomes(prepare).back(), "succeeded");
    const std::string token = prepare.back().message["result"]["token"];
    EXPECT_EQ(prepare.back().message["result"]["token_valid_s"], 60);
    EXPECT_EQ(token.size(), 32U);

    const auto confirm = [&](const std::string &id, const std::string &t, int address) {
        return deliver(
            command(id, "diag.clear", {{"step", "confirm"}, {"address", address}, {"token", t}}));
    };
    // Another address: refused, and the token is spent by the attempt.
    EXPECT_EQ(confirm("k-1", token, 1)[0].message["reason"], "bad_token");
    EXPECT_EQ(confirm("k-2", token, 0)[0].message["reason"], "bad_token");

    // A token of the previously active codes does not clear the active ones.
    prepare = deliver(command("p-0", "diag.clear", {{"step", "prepare"}, {"address", 0}}));
    const std::string previous = prepare.back().message["result"]["token"];
    EXPECT_EQ(
        deliver(command(
            "k-0", "diag.clear",
            {{"step", "confirm"}, {"address", 0}, {"codes", "active"}, {"token", previous}}))[0]
            .message["reason"],
        "bad_token");

    // A fresh one, confirmed in time, runs once.
    prepare = deliver(command("p-2", "diag.clear", {{"step", "prepare"}, {"address", 0}}));
    const std::string fresh = prepare.back().message["result"]["token"];
    EXPECT_NE(fresh, token);
    rig->steady += std::chrono::seconds(59);
    EXPECT_EQ(outcomes(confirm("k-3", fresh, 0)).back(), "succeeded");
    EXPECT_EQ(confirm("k-4", fresh, 0)[0].message["reason"], "bad_token");

    // One left for 60 s is gone.
    prepare = deliver(command("p-3", "diag.clear", {{"step", "prepare"}, {"address", 0}}));
    const std::string late = prepare.back().message["result"]["token"];
    rig->steady += std::chrono::seconds(60);
    EXPECT_EQ(confirm("k-5", late, 0)[0].message["reason"], "bad_token");

    // Another key holder cannot use this key's token.
    CommandPolicy p = policy_for(fleet);
    const FleetKey second("fleet-2", 2);
    p.keys.emplace(second.id, second.public_key);
    ScratchDir d2;
    DeskRig two(p, d2.path());
    two.executor().set_handler("diag.clear", [](const OperationCall &) {
        return OperationOutput::success(json::object());
    });
    const auto pr = two.deliver(
        fleet.envelope(command("p-9", "diag.clear", {{"step", "prepare"}, {"address", 0}})));
    const std::string theirs = pr.back().message["result"]["token"];
    const auto stolen = two.deliver(second.envelope(
        command("k-9", "diag.clear", {{"step", "confirm"}, {"address", 0}, {"token", theirs}})));
    EXPECT_EQ(stolen[0].message["reason"], "bad_token");
    EXPECT_EQ(runs, (std::vector<std::string>{"p-1", "p-0", "p-2", "k-3", "p-3"}));
}
