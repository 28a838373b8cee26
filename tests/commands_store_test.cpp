// SPDX-License-Identifier: MIT
// The record of commands: across a reopen, across a process killed between
// accepting a command and running it, a corrupt file, and pruning.
#include "commands_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace vehcan::commands;
using namespace vehcan::commands::testing;
using nlohmann::json;

namespace {

NewCommand row(const std::string &id, int64_t received_s, int64_t expires_s,
               Outcome outcome = Outcome::kSucceeded) {
    NewCommand n;
    n.id = id;
    n.nonce = "nonce-" + id + "-0123456789";
    n.digest = sha256(id);
    n.key_id = "fleet-1";
    n.operation = "scan";
    n.received_ms = received_s * 1000;
    n.expires_at = expires_s;
    n.counted = true;
    n.outcome = outcome;
    n.result = R"({"v":1,"id":")" + id + "\"}";
    return n;
}

} // namespace

TEST(CommandStore, TheRecordAndItsHorizonOutliveTheProcessThatWroteThem) {
    ScratchDir dir;
    {
        CommandStore s(dir.path(), kNow);
        EXPECT_EQ(s.horizon(), kNow);
        s.insert(row("c-1", kNow, kNow + 300));
        s.update("c-1", Outcome::kFailed, R"({"outcome":"failed"})");
    }
    CommandStore s(dir.path(), kNow + 5000);
    EXPECT_EQ(s.horizon(), kNow); // set once, when the record began
    EXPECT_TRUE(s.set_aside().empty());
    const auto c = s.find("c-1");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->digest, sha256("c-1"));
    EXPECT_EQ(c->key_id, "fleet-1");
    EXPECT_EQ(c->operation, "scan");
    EXPECT_EQ(c->outcome, Outcome::kFailed);
    EXPECT_EQ(c->result, R"({"outcome":"failed"})");
    EXPECT_TRUE(s.nonce_seen("nonce-c-1-0123456789"));
    EXPECT_FALSE(s.nonce_seen("nonce-c-2-0123456789"));
    EXPECT_FALSE(s.find("c-2").has_value());
    // An id is recorded once.
    EXPECT_THROW(s.insert(row("c-1", kNow, kNow + 300)), StoreError);
}

TEST(CommandStore, ACommandKilledBetweenAcceptAndRunIsSeenAndNeverRunAgain) {
    ScratchDir dir;
    const FleetKey fleet("fleet-1", 1);
    const std::string envelope = fleet.envelope(command("c-1", "diag.read"));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The gateway: accepts, starts the operation, and is killed in it.
        close(ready[0]);
        DeskRig rig(policy_for(fleet), dir.path());
        rig.executor().set_handler("diag.read", [&](const OperationCall &) {
            const char byte = 'r';
            (void)!write(ready[1], &byte, 1);
            pause();
            return OperationOutput::success(json::object());
        });
        if (auto job = rig.desk().receive(envelope, false)) {
            rig.desk().execute(*job);
        }
        _exit(3); // not reached: the handler blocks
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    // The next start finds the command recorded and running.
    DeskRig rig(policy_for(fleet), dir.path());
    int runs = 0;
    rig.executor().set_handler("diag.read", [&](const OperationCall &) {
        ++runs;
        return OperationOutput::success(json::object());
    });
    const auto left = rig.store().find("c-1");
    ASSERT_TRUE(left);
    EXPECT_EQ(left->outcome, Outcome::kRunning);
    EXPECT_EQ(rig.desk().finish_interrupted(), 1U);
    ASSERT_EQ(rig.published.size(), 1U);
    EXPECT_EQ(rig.published[0].topic, "cmd/c-1");
    EXPECT_EQ(rig.published[0].message["outcome"], "failed");
    EXPECT_EQ(rig.published[0].message["reason"], "interrupted");
    EXPECT_EQ(rig.audit.back(),
              "command c-1 key fleet-1 operation diag.read: failed (interrupted)");
    // Delivered again, as a broker would after the restart: not run.
    const auto again = rig.deliver(envelope);
    ASSERT_EQ(again.size(), 1U);
    EXPECT_EQ(again[0].message["reason"], "interrupted");
    EXPECT_EQ(again[0].message["duplicate"], true);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(rig.desk().finish_interrupted(), 0U);
}

TEST(CommandStore, ACorruptRecordIsSetAsideAndNothingIssuedBeforeRuns) {
    ScratchDir dir;
    {
        CommandStore s(dir.path(), kNow - 86400);
        s.insert(row("c-1", kNow - 100, kNow + 300));
    }
    {
        std::ofstream garbage(dir.path() + "/commands.db", std::ios::trunc | std::ios::binary);
        garbage << std::string(8192, 'x');
    }
    CommandStore s(dir.path(), kNow);
    EXPECT_EQ(s.set_aside(), dir.path() + "/commands.db.corrupt-" + std::to_string(kNow));
    EXPECT_TRUE(std::filesystem::exists(s.set_aside()));
    EXPECT_FALSE(s.find("c-1").has_value());
    // c-1 is forgotten, but it was issued before the new horizon: the gate
    // refuses it as a replay.
    EXPECT_EQ(s.horizon(), kNow);
    const FleetKey fleet("fleet-1", 1);
    CommandPolicy p = policy_for(fleet);
    CommandGate gate(p, s);
    gate.set_vehicles({kVehicle});
    Command c = command("c-1");
    c.issued_at = kNow - 100;
    const Verdict v = gate.check(fleet.envelope(c), false, kNow * 1000);
    EXPECT_EQ(v.kind, Verdict::Kind::kRejected);
    EXPECT_EQ(v.reason, Reason::kReplayed);
}

TEST(CommandStore, PruningKeepsWhatExpiryTheRateWindowOrARunStillNeed) {
    ScratchDir dir;
    CommandStore s(dir.path(), kNow - 86400 * 10);
    const int64_t keep_ms = kKeepAfterExpiryS * 1000;
    s.insert(row("old", kNow - 86400 * 3, kNow - 86400 * 2));
    s.insert(row("kept-by-expiry", kNow - 86400 * 3, kNow - 86400 + 10));
    s.insert(row("running", kNow - 86400 * 3, kNow - 86400 * 2, Outcome::kRunning));
    s.insert(row("in-window", kNow - 30, kNow - 86400 * 2));
    EXPECT_EQ(s.prune(kNow * 1000, 60 * 1000, keep_ms), 1);
    EXPECT_FALSE(s.find("old").has_value());
    EXPECT_FALSE(s.nonce_seen("nonce-old-0123456789"));
    for (const char *id : {"kept-by-expiry", "running", "in-window"}) {
        EXPECT_TRUE(s.find(id).has_value()) << id;
    }
    EXPECT_EQ(s.counted_since(kNow * 1000 - 60 * 1000 + 1), 1);
    // Eleven seconds on, the second has been expired for a day and a second.
    EXPECT_EQ(s.prune((kNow + 11) * 1000, 60 * 1000, keep_ms), 1);
    EXPECT_FALSE(s.find("kept-by-expiry").has_value());
    EXPECT_EQ(s.size(), 2);
}
