// SPDX-License-Identifier: MIT
// The operations a command can ask for: a table of each one's name and
// argument check, and the executor that runs them through handlers the
// service supplies (the scan, the request, the diagnostics, the capture
// ring), with the transmit gate and the diag.clear tokens.
//
// Arguments (JSON members; any member not listed is refused):
//
//   request     pgn: 0-262143 (in commands.allowed_pgns), to: 0-255 (default 255)
//   scan        timeout: seconds, 0.5-10 (default 2)
//   diag.read   address: 0-253, or 255 for every ECU (default 255)
//   diag.clear  step: "prepare" | "confirm", address: 0-253 or 255,
//               codes: "previous" (DM3, the default) | "active" (DM11),
//               token: with confirm, the token prepare gave (32 hex digits)
//   capture     seconds: the last 1-300 seconds (default 10)
//
// diag.clear is two commands: prepare says what clearing would lose and
// gives a token valid for 60 s; confirm with that token, signed by the same
// key for the same codes of the same address, clears. A confirmation without
// a live token of its own is rejected (bad_token) before it is recorded as
// accepted.
#ifndef VEHCAN_COMMANDS_OPERATIONS_H
#define VEHCAN_COMMANDS_OPERATIONS_H

#include "command_limits.h"
#include "command_policy.h"
#include "results.h"

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>

namespace vehcan::commands {

// ---- the table ---------------------------------------------------------------------------------

// The longest capture a command may ask for, in seconds.
inline constexpr double kLongestCaptureS = 300;

// What a check found: kNone, or kBadArguments / kPgnNotAllowed with a text.
struct ArgumentCheck {
    Reason reason = Reason::kNone;
    std::string text;
};

struct OperationSpec {
    const char *name;
    // Whether it puts frames on the bus (through the transmit gate).
    bool transmits;
    // Checks args against the operation and the policy; on success fills
    // normalized with every argument, defaults included.
    ArgumentCheck (*check)(const nlohmann::json &args, const CommandPolicy &policy,
                           nlohmann::json &normalized);
};

std::span<const OperationSpec> operation_table();
// The operation of that name, or nullptr.
const OperationSpec *find_operation(std::string_view name);

// What a diag.clear token stands for, from the command's checked arguments:
// "previous@255", "active@0". A confirm redeems only a token of its own scope.
std::string clear_scope(const nlohmann::json &arguments);

// ---- running them ------------------------------------------------------------------------------

struct OperationCall {
    std::string id;
    std::string key_id;
    std::string operation;
    nlohmann::json arguments; // checked, defaults filled in
    // Every frame the operation sends passes this first.
    TransmitGate *gate = nullptr;
    // The command's expiry on the steady clock: nothing is sent after it.
    SteadyClock::time_point deadline;
};

// What a handler returns: success with the operation's JSON (as the
// matching `vehcan ... --json` prints it), or a failure with its reason
// (kOperationFailed or kNotAvailable) and text.
// Only nlohmann::json's destructor, which allocates to free nested values,
// could throw (bad_alloc) from the implicit members of this struct.
// NOLINTNEXTLINE(bugprone-exception-escape)
struct OperationOutput {
    bool ok = false;
    nlohmann::json result;
    Reason reason = Reason::kOperationFailed;
    std::string text;

    static OperationOutput success(nlohmann::json result);
    static OperationOutput failure(std::string text, Reason reason = Reason::kOperationFailed);
};

// Runs one operation. May be called from any thread; must not return
// before the operation stopped sending. May throw: the executor turns an
// exception into a failure.
using Handler = std::function<OperationOutput(const OperationCall &)>;

class Executor {
  public:
    // transmit_rate: frames a second for the gate. now: the steady clock
    // (tests inject one).
    explicit Executor(double transmit_rate, std::function<SteadyClock::time_point()> now = {});

    // Set before commands arrive; an operation without a handler fails with
    // not_available.
    void set_handler(const std::string &operation, Handler handler);
    bool has_handler(std::string_view operation) const;

    // Runs the call's operation. For diag.clear's prepare step a success
    // also gets "token" and "token_valid_s" in its result.
    OperationOutput run(OperationCall call);

    TransmitGate &gate() { return gate_; }
    ClearTokens &tokens() { return tokens_; }
    SteadyClock::time_point now() const { return now_(); }

  private:
    std::function<SteadyClock::time_point()> now_;
    TransmitGate gate_;
    ClearTokens tokens_;
    std::map<std::string, Handler, std::less<>> handlers_;
};

} // namespace vehcan::commands

#endif
