// SPDX-License-Identifier: MIT
// The command envelope, version 1: what a fleet publishes on
// PREFIX/VEHICLE/cmd, and the exact bytes its Ed25519 signature covers.
//
// The MQTT payload is a JSON object of exactly four members:
//
//   {"v":1,"key":"fleet-1","body":"<base64>","sig":"<base64>"}
//
// body is the command itself, a JSON object in UTF-8, carried in base64 so
// that the bytes signed are the bytes received: nothing is canonicalised,
// so no two parsers can disagree about what was signed. The signature
// covers
//
//   "vehcan-command-v1" 0x00 KEY 0x00 BODY
//
// (the context string, a NUL, the key id in ASCII, a NUL, the body's
// bytes): the context keeps a signature on anything else of vehcan's from
// passing as a command, the key id binds the signature to the key named.
// The body's members, all required, none other allowed:
//
//   id          1-64 of A-Z a-z 0-9 . _ : - , starting with a letter or digit
//               (it becomes the result's topic level PREFIX/VEHICLE/cmd/ID)
//   vehicle     1-64 printable ASCII characters but / + # and space
//   operation   1-32 of a-z 0-9 . _
//   arguments   a JSON object (the operation's; {} when it takes none)
//   issued_at   integer Unix seconds
//   expires_at  integer Unix seconds, after issued_at
//   nonce       16-64 of A-Z a-z 0-9 _ - (base64url of 12 or more random bytes)
//
// Both objects are parsed strictly: a member given twice, a member not
// listed, a value of another type, nesting deeper than kMaxDepth, invalid
// UTF-8 or anything beyond the size limits is malformed. The parsers never
// throw and never read past their input.
#ifndef VEHCAN_COMMANDS_ENVELOPE_H
#define VEHCAN_COMMANDS_ENVELOPE_H

#include "signing.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vehcan::commands {

inline constexpr int kEnvelopeVersion = 1;
inline constexpr std::string_view kSignatureContext = "vehcan-command-v1";
// The largest MQTT payload of the command topic, and the largest body.
inline constexpr size_t kMaxMessageBytes = 16384;
inline constexpr size_t kMaxBodyBytes = 8192;
// Objects and arrays inside each other, the envelope or body itself counting 1.
inline constexpr int kMaxDepth = 6;
// Times beyond this (the year 5138) are malformed: the gate computes in
// milliseconds and must not overflow.
inline constexpr int64_t kMaxUnixSeconds = 100000000000;

// The outer object: nothing in it is trusted until the signature verified.
struct Envelope {
    std::string key_id;
    std::string body; // the decoded bytes
    Signature signature{};
};

// The body, once the signature verified.
struct Command {
    std::string id;
    std::string vehicle;
    std::string operation;
    nlohmann::json arguments = nlohmann::json::object();
    int64_t issued_at = 0;
    int64_t expires_at = 0;
    std::string nonce;
};

// Parses the MQTT payload. False with a short fixed reason (no byte of the
// input in it) when it is not a version 1 envelope.
bool parse_envelope(std::string_view payload, Envelope &out, std::string &why);

// Parses a body. False with the reason, which may name a member.
bool parse_command(std::string_view body, Command &out, std::string &why);

// The id alone, when the body has one that is well formed; else "". For a
// signed body that is otherwise malformed, so that its rejection can be
// answered on the command's own topic.
std::string command_id_of(std::string_view body);

// The bytes the signature covers.
std::string signed_bytes(std::string_view key_id, std::string_view body);

// A body for a command: compact JSON, members in the order listed above.
// The body is what gets signed; it need not be canonical.
std::string make_body(const Command &c);

// The envelope's JSON for a body signed with key (the fleet's side, and
// the tests).
std::string make_envelope(std::string_view key_id, std::string_view body, const SecretKey &key);

// ---- the formats of the members ----------------------------------------------------------------

bool valid_command_id(std::string_view id);
bool valid_vehicle(std::string_view vehicle);
bool valid_operation_name(std::string_view name);
bool valid_nonce(std::string_view nonce);

// Parses text as JSON into out with the strict rules above (duplicates,
// depth, size). Never throws.
bool parse_strict_json(std::string_view text, size_t max_bytes, nlohmann::json &out,
                       std::string &why);

} // namespace vehcan::commands

#endif
