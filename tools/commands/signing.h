// SPDX-License-Identifier: MIT
// Ed25519 for commands from the fleet, through libsodium: the keys the
// gateway trusts, verification and (for the tests and the tools of the
// fleet's side) signing, and the base64 that carries keys and signatures.
//
// Every function here is safe to call from several threads once
// crypto_ready() returned true (libsodium's own functions are).
#ifndef VEHCAN_COMMANDS_SIGNING_H
#define VEHCAN_COMMANDS_SIGNING_H

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vehcan::commands {

using PublicKey = std::array<uint8_t, 32>;
using SecretKey = std::array<uint8_t, 64>; // libsodium's: the seed, then the public key
using Seed = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;
using Digest = std::array<uint8_t, 32>; // SHA-256

// Initialises libsodium once. False when it cannot (no entropy source):
// nothing is then verified and every command is refused.
bool crypto_ready();

// ---- base64 ------------------------------------------------------------------------------------

// Standard base64 with padding (RFC 4648 section 4), as Python's
// base64.b64encode writes it. Anything else (URL alphabet, missing padding,
// white space, more than max_bytes decoded) gives nothing.
std::optional<std::vector<uint8_t>> decode_base64(std::string_view text, size_t max_bytes);
std::string encode_base64(const uint8_t *data, size_t size);

std::string hex(const uint8_t *data, size_t size);

// ---- keys --------------------------------------------------------------------------------------

// A key id: 1 to 64 of A-Z a-z 0-9 . _ -
bool valid_key_id(std::string_view id);

// A public key as vehcan.conf gives it: 32 bytes in base64. Nothing for
// another length, bad base64, or bytes that are not a point of the curve
// that libsodium verifies against (a key that no signature can match, or
// one of small order that many could).
std::optional<PublicKey> parse_public_key(std::string_view base64);

// The public keys the gateway takes commands from, by key id.
using KeyRing = std::map<std::string, PublicKey, std::less<>>;

// A file of keys: one "KEYID BASE64" a line; blank lines and lines that
// start with '#' are skipped. On a bad line, returns false with the line's
// number (from 1) and the problem.
bool parse_key_lines(std::string_view text, KeyRing &keys, int &bad_line, std::string &problem);

// ---- signatures --------------------------------------------------------------------------------

bool verify(const PublicKey &key, std::string_view message, const Signature &signature);
Signature sign(const SecretKey &key, std::string_view message);
SecretKey secret_from_seed(const Seed &seed);
PublicKey public_of(const SecretKey &key);

Digest sha256(std::string_view bytes);

// n random bytes from libsodium's generator. Throws std::runtime_error when
// libsodium could not be initialised.
std::vector<uint8_t> random_bytes(size_t n);

} // namespace vehcan::commands

#endif
