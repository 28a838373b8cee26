// SPDX-License-Identifier: MIT
// The command desk: what the service does with each message of
// PREFIX/VEHICLE/cmd. It passes the message through the gate, records what
// the gate let through before anything runs, runs it through the executor,
// publishes every result, writes the audit line and counts what it could
// not answer.
//
// The service supplies two hooks: publish(TOPIC_TAIL, PAYLOAD), where the
// tail is "cmd/ID" or "cmd/_rejected" below PREFIX/VEHICLE (QoS 1, not
// retained), and audit(LEVEL, LINE), one line per command with its id, key,
// operation and outcome (for the journal). Both are called with the desk's
// lock held, from the thread that called receive() or execute(): they must
// not call back into the desk, and publish must not wait for the broker.
//
// What a message can make the gateway do:
//   - unsigned, unknown key, bad signature, or signed without a usable id:
//     nothing recorded; one answer on cmd/_rejected and one audit line, at
//     most kUnattributedPerSecond a second (burst kUnattributedBurst); past
//     that only a counter grows, and the next answered one says how many
//     were not;
//   - a duplicate of a recorded command: its stored result again, marked
//     duplicate, at most kDuplicatesPerSecond a second; never a second run;
//   - a signed command the record cannot hold (a malformed body, an id that
//     is another command's): its rejection, under the same bound as the
//     unattributed answers;
//   - any other signed command: recorded with its result (one row per id),
//     then either one rejection, or accepted, running and its final result.
#ifndef VEHCAN_COMMANDS_COMMAND_DESK_H
#define VEHCAN_COMMANDS_COMMAND_DESK_H

#include "command_gate.h"
#include "command_limits.h"
#include "command_policy.h"
#include "command_store.h"
#include "operations.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vehcan::commands {

inline constexpr double kUnattributedPerSecond = 1;
inline constexpr double kUnattributedBurst = 5;
inline constexpr double kDuplicatesPerSecond = 1;
inline constexpr double kDuplicatesBurst = 5;

enum class AuditLevel { kInfo, kNotice, kWarning, kError };

// A command that was accepted and recorded: execute() runs it.
struct Job {
    std::string id;
    std::string key_id;
    std::string operation;
    nlohmann::json arguments;
    int64_t expires_at = 0; // Unix seconds
};

// Only grow; read with counters().
struct DeskCounters {
    uint64_t received = 0;
    uint64_t accepted = 0;
    uint64_t succeeded = 0;
    uint64_t failed = 0;
    uint64_t expired = 0;
    uint64_t rejected = 0;     // signed commands, expired ones not included
    uint64_t duplicates = 0;   // deliveries of recorded commands
    uint64_t unattributed = 0; // messages not tied to a signed id
    uint64_t unanswered = 0;   // unattributed or duplicate, past their bound
};

class CommandDesk {
  public:
    using Publish = std::function<void(const std::string &topic_tail, const std::string &payload)>;
    using Audit = std::function<void(AuditLevel level, const std::string &line)>;
    // The gateway's clock in Unix milliseconds, and the steady clock; each
    // defaults to the system's.
    struct Clocks {
        std::function<int64_t()> wall_ms;
        std::function<SteadyClock::time_point()> steady;
    };

    // The store and executor must outlive the desk.
    CommandDesk(CommandPolicy policy, CommandStore &store, Executor &executor, Publish publish,
                Audit audit, Clocks clocks = {});

    // The names the vehicle goes by (see CommandGate::set_vehicles).
    void set_vehicles(std::set<std::string> names);

    // Handles one message of the command topic; retained is the MQTT
    // retain flag of its delivery. Publishes a rejection or duplicate at
    // once; for a command it accepts, records it (on the disk when this
    // returns), publishes "accepted" and returns the job: the caller runs
    // it with execute(), on a thread of its choice. Never throws.
    std::optional<Job> receive(std::string_view payload, bool retained);

    // Runs an accepted job: publishes "running", runs the operation, records
    // and publishes its result ("expired" and nothing run when the command
    // expired meanwhile). The operation runs without the desk's lock.
    // Never throws.
    void execute(const Job &job);

    // An accepted job that will not run (the service has no room for it, or
    // stops before its turn): recorded, published and audited as failed
    // with reason (kNotAvailable, kInterrupted) and text. Never throws.
    void abandon(const Job &job, Reason reason, const std::string &text);

    // At start: commands the last run left accepted or running (it stopped
    // or lost power while they ran) become failed "interrupted", are
    // published and audited; they never run again. Returns how many.
    size_t finish_interrupted();

    // Drops records past their keeping time (the service calls it now and
    // then, say hourly). Returns how many went.
    int64_t prune();

    DeskCounters counters() const;

  private:
    void answer_unattributed(const Verdict &v, int64_t now_ms);
    void answer_duplicate(const Verdict &v);
    void answer_rejected(const Verdict &v, int64_t now_ms);
    void finish(const Job &job, Outcome outcome, Reason reason, const std::string &text,
                nlohmann::json result);
    std::string audit_tail();

    CommandPolicy policy_;
    CommandStore &store_;
    Executor &executor_;
    Publish publish_;
    Audit audit_;
    Clocks clocks_;
    CommandGate gate_;

    mutable std::mutex mutex_;
    TokenBucket unattributed_bucket_;
    TokenBucket duplicate_bucket_;
    uint64_t unanswered_since_ = 0; // since the last answered one
    DeskCounters counters_;
};

// "command ID key KEY operation OP: OUTCOME (REASON)", the audit line.
std::string audit_line(const std::string &id, const std::string &key_id,
                       const std::string &operation, Outcome outcome, Reason reason);

} // namespace vehcan::commands

#endif
