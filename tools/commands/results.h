// SPDX-License-Identifier: MIT
// What the gateway answers to a command: its outcome, the reason when it
// was not carried out, and the JSON of the result message.
//
// A command's results go to PREFIX/VEHICLE/cmd/ID (QoS 1, not retained),
// one message per state it reaches, each a JSON object:
//
//   {"v":1,"id":"c-17","operation":"diag.read","outcome":"succeeded",
//    "at":1718000000,"result":{...}}
//   {"v":1,"id":"c-18","operation":"request","outcome":"rejected",
//    "reason":"pgn_not_allowed","text":"PGN 61444 is not in commands.allowed_pgns",
//    "at":1718000003}
//
//   outcome   accepted | running | succeeded | failed | rejected | expired
//   reason    with failed, rejected and expired: one of the names below
//   text      with a reason: the same for a person, in English
//   result    with succeeded: the operation's JSON
//   at        the gateway's clock, Unix seconds
//   duplicate true when this is the stored result sent again for a command
//             delivered twice (never a second run)
//
// A message that cannot be tied to a signed command id (one that is not a
// signed envelope, or a signed body without a usable id) is answered, at a
// bounded rate, on PREFIX/VEHICLE/cmd/_rejected, without an id, with the
// SHA-256 of the MQTT payload instead:
//
//   {"v":1,"outcome":"rejected","reason":"bad_signature","text":"...",
//    "sha256":"<64 hex digits>","at":1718000004}
#ifndef VEHCAN_COMMANDS_RESULTS_H
#define VEHCAN_COMMANDS_RESULTS_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace vehcan::commands {

enum class Outcome { kAccepted, kRunning, kSucceeded, kFailed, kRejected, kExpired };

// Why a command was not carried out, or failed. The names are the
// "reason" of the result message; they never change meaning.
enum class Reason {
    kNone,
    // rejected before the signature was checked, or by it
    kMalformed,    // "malformed": not a version 1 envelope or body
    kUnknownKey,   // "unknown_key": no key of that id in the configuration
    kBadSignature, // "bad_signature": the signature does not verify
    // rejected after it (the command is signed)
    kWrongVehicle,        // "wrong_vehicle"
    kRetained,            // "retained": delivered as a retained MQTT message
    kExpired,             // "expired" (outcome expired): at or past expires_at
    kIssuedInFuture,      // "issued_in_future": issued_at beyond the clock plus max_skew
    kLifetimeTooLong,     // "lifetime_too_long": expires_at - issued_at beyond max_lifetime
    kReplayed,            // "replayed": id or nonce seen before, or issued before the record began
    kOperationNotAllowed, // "operation_not_allowed"
    kBadArguments,        // "bad_arguments"
    kPgnNotAllowed,       // "pgn_not_allowed"
    kRateLimited,         // "rate_limited"
    kBadToken,            // "bad_token": diag.clear confirm without a live token of its own
    kStoreUnavailable,    // "store_unavailable": the command could not be recorded
    // failed after it was accepted
    kNotAvailable,    // "not_available": this gateway cannot run the operation now
    kOperationFailed, // "operation_failed": the operation ran and failed
    kInterrupted,     // "interrupted": the gateway stopped while it ran; not run again
};

const char *outcome_name(Outcome o);
std::optional<Outcome> outcome_from_name(std::string_view name);
const char *reason_name(Reason r);
// The fixed sentence for a reason; the gate adds detail where the detail
// comes from a signed command.
const char *reason_text(Reason r);

// True for the outcomes after which nothing more is sent.
bool is_final(Outcome o);

// A result message for a command.
// Only nlohmann::json's destructor, which allocates to free nested values,
// could throw (bad_alloc) from the implicit members of this struct.
// NOLINTNEXTLINE(bugprone-exception-escape)
struct Result {
    std::string id;
    std::string operation;
    Outcome outcome = Outcome::kAccepted;
    Reason reason = Reason::kNone;
    std::string text;
    nlohmann::json result; // succeeded only
    int64_t at = 0;        // Unix seconds
};

std::string result_json(const Result &r, bool duplicate = false);

// The answer on cmd/_rejected to a message that names no signed id.
std::string unattributed_json(Reason reason, const std::string &text,
                              const std::string &payload_sha256_hex, int64_t at);

// Topic levels below PREFIX/VEHICLE.
std::string result_topic(std::string_view id); // "cmd/ID"
inline constexpr const char *kUnattributedTopic = "cmd/_rejected";

} // namespace vehcan::commands

#endif
