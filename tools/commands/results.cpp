// SPDX-License-Identifier: MIT
// Outcome and reason names, one table each, and the result messages.
#include "results.h"

#include <array>
#include <utility>

namespace vehcan::commands {

namespace {

constexpr std::array<std::pair<Outcome, const char *>, 6> kOutcomes{{
    {Outcome::kAccepted, "accepted"},
    {Outcome::kRunning, "running"},
    {Outcome::kSucceeded, "succeeded"},
    {Outcome::kFailed, "failed"},
    {Outcome::kRejected, "rejected"},
    {Outcome::kExpired, "expired"},
}};

struct ReasonRow {
    Reason reason;
    const char *name;
    const char *text;
};

constexpr std::array<ReasonRow, 19> kReasons{{
    {Reason::kNone, "", ""},
    {Reason::kMalformed, "malformed", "the message is not a version 1 command envelope"},
    {Reason::kUnknownKey, "unknown_key",
     "the command is signed with a key this gateway does not know"},
    {Reason::kBadSignature, "bad_signature", "the command's signature does not verify"},
    {Reason::kWrongVehicle, "wrong_vehicle", "the command is for another vehicle"},
    {Reason::kRetained, "retained",
     "the command came as a retained message, which a broker "
     "delivers again to every subscriber"},
    {Reason::kExpired, "expired", "the command expired before it could run"},
    {Reason::kIssuedInFuture, "issued_in_future",
     "the command is issued further ahead of the gateway's clock than commands.max_skew"},
    {Reason::kLifetimeTooLong, "lifetime_too_long",
     "the command is valid for longer than commands.max_lifetime"},
    {Reason::kReplayed, "replayed", "the command's id or nonce was seen before"},
    {Reason::kOperationNotAllowed, "operation_not_allowed",
     "the operation is not in commands.allowed_operations"},
    {Reason::kBadArguments, "bad_arguments", "the operation's arguments are not valid"},
    {Reason::kPgnNotAllowed, "pgn_not_allowed", "the PGN is not in commands.allowed_pgns"},
    {Reason::kRateLimited, "rate_limited", "too many commands in commands.rate_period"},
    {Reason::kBadToken, "bad_token",
     "the confirmation's token is unknown, used, expired or from another key or address"},
    {Reason::kStoreUnavailable, "store_unavailable",
     "the gateway could not record the command, so it does not run it"},
    {Reason::kNotAvailable, "not_available", "this gateway cannot run the operation now"},
    {Reason::kOperationFailed, "operation_failed", "the operation failed"},
    {Reason::kInterrupted, "interrupted",
     "the gateway stopped while the command ran; it is not run again"},
}};

const ReasonRow &row_of(Reason r) {
    for (const auto &row : kReasons) {
        if (row.reason == r) {
            return row;
        }
    }
    return kReasons[0];
}

} // namespace

const char *outcome_name(Outcome o) {
    for (const auto &[outcome, name] : kOutcomes) {
        if (outcome == o) {
            return name;
        }
    }
    return "";
}

std::optional<Outcome> outcome_from_name(std::string_view name) {
    for (const auto &[outcome, n] : kOutcomes) {
        if (name == n) {
            return outcome;
        }
    }
    return std::nullopt;
}

const char *reason_name(Reason r) {
    return row_of(r).name;
}
const char *reason_text(Reason r) {
    return row_of(r).text;
}

bool is_final(Outcome o) {
    return o != Outcome::kAccepted && o != Outcome::kRunning;
}

std::string result_json(const Result &r, bool duplicate) {
    nlohmann::ordered_json j;
    j["v"] = 1;
    j["id"] = r.id;
    j["operation"] = r.operation;
    j["outcome"] = outcome_name(r.outcome);
    if (r.reason != Reason::kNone) {
        j["reason"] = reason_name(r.reason);
        j["text"] = r.text.empty() ? std::string(reason_text(r.reason)) : r.text;
    }
    if (r.outcome == Outcome::kSucceeded) {
        j["result"] = r.result;
    }
    j["at"] = r.at;
    if (duplicate) {
        j["duplicate"] = true;
    }
    // An operation's output may hold bytes that are not UTF-8 (a text read
    // from an ECU): they are replaced rather than failing the result.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string unattributed_json(Reason reason, const std::string &text,
                              const std::string &payload_sha256_hex, int64_t at) {
    nlohmann::ordered_json j;
    j["v"] = 1;
    j["outcome"] = outcome_name(Outcome::kRejected);
    j["reason"] = reason_name(reason);
    j["text"] = text;
    j["sha256"] = payload_sha256_hex;
    j["at"] = at;
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string result_topic(std::string_view id) {
    return "cmd/" + std::string(id);
}

} // namespace vehcan::commands
