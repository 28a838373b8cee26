// SPDX-License-Identifier: MIT
// The gateway's side of the envelope as a program, for the tests that check
// it against the fleet's Python side (tests/commands/test_vehcan_commands.py):
//
//   commands_tool sign KEYFILE ID VEHICLE OPERATION ARGUMENTS ISSUED EXPIRES NONCE
//       prints the envelope, signed with a key file the Python side wrote
//   commands_tool verify KEYID=BASE64 < ENVELOPE
//       checks it as the gate does (envelope, key, signature, body) and
//       prints the command as JSON; on failure the reason name, exit 1
#include "envelope.h"
#include "signing.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

using namespace vehcan::commands;
using nlohmann::json;

namespace {

int fail(const std::string &why) {
    std::cerr << why << "\n";
    return 1;
}

int run_sign(char **argv) {
    std::ifstream in(argv[0]);
    std::stringstream text;
    text << in.rdbuf();
    const json key = json::parse(text.str(), nullptr, false);
    if (!key.is_object() || !key.contains("seed") || !key.contains("key_id")) {
        return fail("not a key file");
    }
    const auto seed_bytes = decode_base64(key["seed"].get<std::string>(), 32);
    if (!seed_bytes || seed_bytes->size() != 32) {
        return fail("not a key file");
    }
    Seed seed{};
    std::copy(seed_bytes->begin(), seed_bytes->end(), seed.begin());
    Command c;
    c.id = argv[1];
    c.vehicle = argv[2];
    c.operation = argv[3];
    c.arguments = json::parse(argv[4]);
    c.issued_at = std::stoll(argv[5]);
    c.expires_at = std::stoll(argv[6]);
    c.nonce = argv[7];
    std::cout << make_envelope(key["key_id"].get<std::string>(), make_body(c),
                               secret_from_seed(seed))
              << "\n";
    return 0;
}

int run_verify(const std::string &key_arg) {
    const auto eq = key_arg.find('=');
    if (eq == std::string::npos) {
        return fail("usage: verify KEYID=BASE64");
    }
    const auto key = parse_public_key(key_arg.substr(eq + 1));
    if (!key) {
        return fail("not a public key");
    }
    std::string payload((std::istreambuf_iterator<char>(std::cin)),
                        std::istreambuf_iterator<char>());
    while (!payload.empty() && (payload.back() == '\n' || payload.back() == '\r')) {
        payload.pop_back();
    }
    Envelope e;
    std::string why;
    if (!parse_envelope(payload, e, why)) {
        return fail("malformed: " + why);
    }
    if (e.key_id != key_arg.substr(0, eq)) {
        return fail("unknown_key");
    }
    if (!verify(*key, signed_bytes(e.key_id, e.body), e.signature)) {
        return fail("bad_signature");
    }
    Command c;
    if (!parse_command(e.body, c, why)) {
        return fail("malformed: " + why);
    }
    std::cout << json{{"id", c.id},
                      {"vehicle", c.vehicle},
                      {"operation", c.operation},
                      {"arguments", c.arguments},
                      {"issued_at", c.issued_at},
                      {"expires_at", c.expires_at},
                      {"nonce", c.nonce}}
                     .dump()
              << "\n";
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (!crypto_ready()) {
        return fail("libsodium did not start");
    }
    const std::string action = argc > 1 ? argv[1] : "";
    try {
        if (action == "sign" && argc == 10) {
            return run_sign(argv + 2);
        }
        if (action == "verify" && argc == 3) {
            return run_verify(argv[2]);
        }
    } catch (const std::exception &e) {
        return fail(e.what());
    }
    return fail("usage: commands_tool sign KEYFILE ID VEHICLE OPERATION ARGUMENTS ISSUED EXPIRES "
                "NONCE | verify KEYID=BASE64");
}
