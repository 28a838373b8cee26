// SPDX-License-Identifier: MIT
// The gate's checks, in the order command_gate.h lists.
#include "command_gate.h"

#include "operations.h"

#include <fmt/format.h>

namespace vehcan::commands {

namespace {

// The verdict is taken by reference so that texts built from its command
// (fmt::format(..., c.id)) are made before anything moves out of it: the
// order in which a call's arguments are evaluated is not fixed.
Verdict unattributed(Verdict &&v, Reason reason) {
    v.kind = Verdict::Kind::kUnattributed;
    v.reason = reason;
    v.text = reason_text(reason);
    return std::move(v);
}

Verdict rejected(Verdict &&v, Reason reason, std::string text = {}) {
    v.kind = Verdict::Kind::kRejected;
    v.reason = reason;
    v.text = text.empty() ? std::string(reason_text(reason)) : std::move(text);
    return std::move(v);
}

std::string utc(int64_t unix_s) {
    // The gate names times in its texts as UTC, without the C library's
    // locale or time zone.
    const int64_t days = unix_s >= 0 ? unix_s / 86400 : (unix_s - 86399) / 86400;
    const int64_t secs = unix_s - days * 86400;
    // Civil date from days since 1970-01-01 (H. Hinnant's algorithm).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", y, m, d, secs / 3600, secs / 60 % 60,
                       secs % 60);
}

} // namespace

CommandGate::CommandGate(const CommandPolicy &policy, CommandStore &store)
    : policy_(policy), store_(store) {}

Verdict CommandGate::check(std::string_view payload, bool retained, int64_t now_ms) {
    Verdict v;
    const Digest whole = sha256(payload);
    v.payload_sha256 = hex(whole.data(), whole.size());

    // ---- 1-3: anyone's message ----
    Envelope envelope;
    std::string why;
    if (!parse_envelope(payload, envelope, why)) {
        return unattributed(std::move(v), Reason::kMalformed);
    }
    const auto key = policy_.keys.find(envelope.key_id);
    if (key == policy_.keys.end()) {
        return unattributed(std::move(v), Reason::kUnknownKey);
    }
    const std::string message = signed_bytes(envelope.key_id, envelope.body);
    if (!verify(key->second, message, envelope.signature)) {
        return unattributed(std::move(v), Reason::kBadSignature);
    }

    // ---- 4-5: a key holder's body ----
    v.key_id = envelope.key_id;
    v.digest = sha256(message);
    Command &c = v.command;
    if (!parse_command(envelope.body, c, why)) {
        c.id = command_id_of(envelope.body);
        if (c.id.empty()) {
            return unattributed(std::move(v), Reason::kMalformed);
        }
        v.id_free = !store_.find(c.id).has_value();
        v.nonce_free = false;
        return rejected(std::move(v), Reason::kMalformed, "the command is malformed: " + why);
    }
    v.body_parsed = true;
    if (auto stored = store_.find(c.id)) {
        v.id_free = false;
        if (stored->digest == v.digest) {
            v.kind = Verdict::Kind::kDuplicate;
            v.stored = std::move(stored);
            return v;
        }
        v.nonce_free = false;
        return rejected(std::move(v), Reason::kReplayed,
                        fmt::format("the id {} belongs to another command", c.id));
    }
    v.nonce_free = !store_.nonce_seen(c.nonce);

    // ---- 6-12: this delivery, this vehicle, this time ----
    if (retained) {
        return rejected(std::move(v), Reason::kRetained);
    }
    if (vehicles_.count(c.vehicle) == 0) {
        return rejected(std::move(v), Reason::kWrongVehicle,
                        fmt::format("the command is for vehicle {}, not this one", c.vehicle));
    }
    if (now_ms >= c.expires_at * 1000) {
        return rejected(std::move(v), Reason::kExpired,
                        fmt::format("the command expired at {}", utc(c.expires_at)));
    }
    if (c.issued_at * 1000 > now_ms + policy_.max_skew_s * 1000) {
        return rejected(std::move(v), Reason::kIssuedInFuture,
                        fmt::format("the command is issued at {}, more than {} s ahead of the "
                                    "gateway's clock ({})",
                                    utc(c.issued_at), policy_.max_skew_s, utc(now_ms / 1000)));
    }
    if (c.expires_at - c.issued_at > policy_.max_lifetime_s) {
        return rejected(std::move(v), Reason::kLifetimeTooLong,
                        fmt::format("the command is valid for {} s, more than "
                                    "commands.max_lifetime ({} s)",
                                    c.expires_at - c.issued_at, policy_.max_lifetime_s));
    }
    if (c.issued_at < store_.horizon()) {
        return rejected(std::move(v), Reason::kReplayed,
                        fmt::format("the command is issued before the gateway's record of "
                                    "commands begins ({}), so it cannot be told from a replay",
                                    utc(store_.horizon())));
    }
    if (!v.nonce_free) {
        return rejected(std::move(v), Reason::kReplayed,
                        "the command's nonce was another command's");
    }

    // ---- 13-15: what it asks for ----
    const OperationSpec *op = find_operation(c.operation);
    if (op == nullptr) {
        return rejected(std::move(v), Reason::kOperationNotAllowed,
                        fmt::format("there is no operation {}", c.operation));
    }
    if (policy_.allowed_operations.count(c.operation) == 0) {
        return rejected(std::move(v), Reason::kOperationNotAllowed,
                        fmt::format("{} is not in commands.allowed_operations", c.operation));
    }
    ArgumentCheck args = op->check(c.arguments, policy_, v.arguments);
    if (args.reason != Reason::kNone) {
        return rejected(std::move(v), args.reason, fmt::format("{}: {}", c.operation, args.text));
    }
    const int64_t window_ms = policy_.rate_period_s * 1000;
    if (store_.counted_since(now_ms - window_ms + 1) >= policy_.rate_limit) {
        return rejected(std::move(v), Reason::kRateLimited,
                        fmt::format("{} commands were accepted in the last {} s, the most "
                                    "commands.rate_limit allows",
                                    policy_.rate_limit, policy_.rate_period_s));
    }
    v.kind = Verdict::Kind::kAccept;
    return v;
}

} // namespace vehcan::commands
