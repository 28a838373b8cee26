// SPDX-License-Identifier: MIT
// The gate every message of the command topic passes: it decides, without
// running or recording anything, whether a command may run, and if not why.
//
// The checks, in this order, so that nothing unauthenticated is stored or
// echoed:
//
//   before the signature (the message is anyone's; the answer is
//   "unattributed": no id, no byte of the message in it)
//     1 a version 1 envelope within the size limits          malformed
//     2 a key of that id in the configuration                unknown_key
//     3 the signature verifies                               bad_signature
//   after it (the body is a key holder's)
//     4 a well-formed body (answered on its id if it has one) malformed
//     5 its id in the record with the same signed bytes      duplicate: the stored result
//       its id in the record with other bytes                replayed
//     6 not a retained message                               retained
//     7 for this vehicle                                     wrong_vehicle
//     8 now before expires_at                                expired
//     9 issued_at at most max_skew ahead of now              issued_in_future
//    10 expires_at - issued_at at most max_lifetime          lifetime_too_long
//    11 issued_at not before the record's horizon            replayed
//    12 its nonce not in the record                          replayed
//    13 an operation in commands.allowed_operations          operation_not_allowed
//    14 arguments the operation takes; a PGN allowed         bad_arguments, pgn_not_allowed
//    15 fewer than rate_limit accepted in rate_period        rate_limited
//
// Expiry has no leeway: a command that expired by the gateway's clock does
// not run, whatever the fleet's clock said.
#ifndef VEHCAN_COMMANDS_COMMAND_GATE_H
#define VEHCAN_COMMANDS_COMMAND_GATE_H

#include "command_policy.h"
#include "command_store.h"
#include "envelope.h"
#include "results.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vehcan::commands {

struct Verdict {
    enum class Kind {
        kUnattributed, // not signed (or no usable id): reason, payload_sha256
        kRejected,     // a signed command, not to run: reason, text, id
        kDuplicate,    // delivered before: stored
        kAccept,       // may run: command, arguments
    };
    Kind kind = Kind::kUnattributed;
    Reason reason = Reason::kNone;
    std::string text;
    std::string payload_sha256; // hex, of the MQTT payload

    // From the signature on (kRejected, kDuplicate, kAccept).
    std::string key_id;
    Digest digest{}; // SHA-256 of the signed bytes
    // From a well-formed body on; for a malformed one only command.id.
    Command command;
    bool body_parsed = false;
    // False when the record holds the id, or the nonce, already (another
    // command's): a rejection is then not recorded under it.
    bool id_free = true;
    bool nonce_free = true;

    std::optional<StoredCommand> stored; // kDuplicate
    nlohmann::json arguments;            // kAccept: checked, defaults filled in
};

class CommandGate {
  public:
    // The policy and store must outlive the gate.
    CommandGate(const CommandPolicy &policy, CommandStore &store);

    // The names a command's vehicle may have here: the VIN once known, the
    // configured vehicle id. A command matches any one of them.
    void set_vehicles(std::set<std::string> names) { vehicles_ = std::move(names); }
    const std::set<std::string> &vehicles() const { return vehicles_; }

    // The verdict on one message. now_ms: the gateway's clock, Unix
    // milliseconds. Reads the store; throws StoreError when it cannot.
    Verdict check(std::string_view payload, bool retained, int64_t now_ms);

  private:
    const CommandPolicy &policy_;
    CommandStore &store_;
    std::set<std::string> vehicles_;
};

} // namespace vehcan::commands

#endif
