// SPDX-License-Identifier: MIT
// The command envelope: the fixed vector shared with the fleet's Python
// side, what the signature covers, and every way an envelope or body is
// malformed.
#include "commands_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace vehcan::commands;
using namespace vehcan::commands::testing;
using nlohmann::json;

namespace {

json vector_file() {
    std::ifstream in(VEHCAN_SOURCE_DIR "/tests/commands/vector.json");
    std::stringstream s;
    s << in.rdbuf();
    return json::parse(s.str());
}

std::string b64(std::string_view s) {
    return encode_base64(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

// The reason parse_envelope gives, or "ok".
std::string envelope_problem(const std::string &payload) {
    Envelope e;
    std::string why;
    return parse_envelope(payload, e, why) ? "ok" : why;
}

std::string body_problem(const std::string &body) {
    Command c;
    std::string why;
    return parse_command(body, c, why) ? "ok" : why;
}

// A valid body with one member replaced (or removed, with a null value).
std::string body_with(const std::string &member, const json &value) {
    json body = json::parse(make_body(command("c-1")));
    if (value.is_null()) {
        body.erase(member);
    } else {
        body[member] = value;
    }
    return body.dump();
}

} // namespace

// ---- the vector both sides check ---------------------------------------------------------------

TEST(CommandEnvelope, TheSharedVectorSignsAndVerifiesByteForByte) {
    const json v = vector_file();
    const auto seed_bytes = decode_base64(v["seed"].get<std::string>(), 32);
    ASSERT_TRUE(seed_bytes && seed_bytes->size() == 32);
    Seed seed{};
    std::copy(seed_bytes->begin(), seed_bytes->end(), seed.begin());
    const SecretKey secret = secret_from_seed(seed);
    const PublicKey pub = public_of(secret);
    EXPECT_EQ(encode_base64(pub.data(), pub.size()), v["public"]);

    const std::string body = v["body"];
    const std::string key_id = v["key_id"];
    const std::string message = signed_bytes(key_id, body);
    EXPECT_EQ(hex(reinterpret_cast<const uint8_t *>(message.data()), message.size()),
              v["signed_bytes_hex"]);
    // Ed25519 is deterministic: the same key and bytes give the same signature.
    const Signature s = sign(secret, message);
    EXPECT_EQ(encode_base64(s.data(), s.size()), v["signature"]);
    EXPECT_EQ(make_envelope(key_id, body, secret), v["envelope"]);

    Envelope e;
    std::string why;
    ASSERT_TRUE(parse_envelope(v["envelope"].get<std::string>(), e, why)) << why;
    EXPECT_EQ(e.key_id, key_id);
    EXPECT_EQ(e.body, body);
    EXPECT_TRUE(verify(*parse_public_key(v["public"].get<std::string>()),
                       signed_bytes(e.key_id, e.body), e.signature));
    Command c;
    ASSERT_TRUE(parse_command(e.body, c, why)) << why;
    EXPECT_EQ(c.id, "c-0001");
    EXPECT_EQ(c.vehicle, "1FUJGLDR5CLBP8834");
    EXPECT_EQ(c.operation, "request");
    EXPECT_EQ(c.arguments, (json{{"pgn", 65260}, {"to", 0}}));
    EXPECT_EQ(c.issued_at, 1718000000);
    EXPECT_EQ(c.expires_at, 1718000300);
    EXPECT_EQ(c.nonce, "q0Ywv3rN2bZ8cPz4kT1uXA");
    // The body this side writes for the same command is the same bytes.
    EXPECT_EQ(make_body(c), body);
}

TEST(CommandEnvelope, TheSignatureCoversContextKeyIdAndEveryBodyByte) {
    const FleetKey key("fleet-1", 7);
    const std::string body = make_body(command("c-1"));
    const Signature s = sign(key.secret, signed_bytes(key.id, body));
    EXPECT_TRUE(verify(key.public_key, signed_bytes(key.id, body), s));
    // Another key id, the body without the context, one flipped bit anywhere.
    EXPECT_FALSE(verify(key.public_key, signed_bytes("fleet-2", body), s));
    EXPECT_FALSE(verify(key.public_key, "fleet-1" + std::string(1, '\0') + body, s));
    for (size_t i = 0; i < body.size(); i += 17) {
        std::string altered = body;
        altered[i] = static_cast<char>(altered[i] ^ 0x01);
        EXPECT_FALSE(verify(key.public_key, signed_bytes(key.id, altered), s)) << i;
    }
    Signature bad = s;
    bad[63] ^= 0x10;
    EXPECT_FALSE(verify(key.public_key, signed_bytes(key.id, body), bad));
    // Another key's public half.
    EXPECT_FALSE(verify(FleetKey("fleet-1", 8).public_key, signed_bytes(key.id, body), s));
}

// ---- the envelope ------------------------------------------------------------------------------

TEST(CommandEnvelope, OnlyAVersion1ObjectOfFourMembersParses) {
    const std::string body = b64("{}");
    const std::string sig = encode_base64(Signature{}.data(), 64);
    const auto with = [&](const std::string &members) { return "{" + members + "}"; };
    const std::string good = R"("v":1,"key":"k","body":")" + body + R"(","sig":")" + sig + "\"";
    EXPECT_EQ(envelope_problem(with(good)), "ok");
    EXPECT_EQ(envelope_problem(with(good + R"(,"x":1)")),
              "the envelope must be an object of v, key, body and sig only");
    EXPECT_EQ(envelope_problem(with(good + R"(,"v":1)")),
              "the envelope is a member is given twice");
    EXPECT_EQ(envelope_problem("[1]"),
              "the envelope must be an object of v, key, body and sig only");
    EXPECT_EQ(envelope_problem(""), "the envelope is not JSON");
    EXPECT_EQ(envelope_problem("{\"v\":1"), "the envelope is not JSON");
    EXPECT_EQ(envelope_problem("\xff\xfe"), "the envelope is not JSON");
    for (const char *v : {"2", "1.0", "\"1\"", "true", "-1"}) {
        std::string e = good;
        e.replace(e.find(":1"), 2, std::string(":") + v);
        EXPECT_EQ(envelope_problem(with(e)), "the envelope is not of version 1") << v;
    }
    std::string no_key = good;
    no_key.replace(no_key.find("\"k\""), 3, "\"a/b\"");
    EXPECT_EQ(envelope_problem(with(no_key)), "the envelope's key is missing or not a key id");
}

TEST(CommandEnvelope, BodyAndSignatureMustBeStrictBase64OfTheirSize) {
    const std::string sig = encode_base64(Signature{}.data(), 64);
    const auto envelope = [](const std::string &body, const std::string &s) {
        return json{{"v", 1}, {"key", "k"}, {"body", body}, {"sig", s}}.dump();
    };
    EXPECT_EQ(envelope_problem(envelope("e30=", sig)), "ok");
    // Missing padding, the URL alphabet, white space, non-zero spare bits.
    for (const char *body : {"e30", "e3-=", "e3 0=", "e31="}) {
        EXPECT_EQ(envelope_problem(envelope(body, sig)),
                  "the envelope's body is missing, not base64 or too large")
            << body;
    }
    EXPECT_EQ(envelope_problem(envelope(b64(std::string(kMaxBodyBytes, ' ')), sig)), "ok");
    EXPECT_EQ(envelope_problem(envelope(b64(std::string(kMaxBodyBytes + 1, ' ')), sig)),
              "the envelope's body is missing, not base64 or too large");
    EXPECT_EQ(envelope_problem(envelope("e30=", encode_base64(Signature{}.data(), 63))),
              "the envelope's signature is missing or not 64 bytes in base64");
    EXPECT_EQ(
        envelope_problem(envelope("e30=", encode_base64(std::array<uint8_t, 65>{}.data(), 65))),
        "the envelope's signature is missing or not 64 bytes in base64");
}

TEST(CommandEnvelope, SizeAndDepthAreBoundedBeforeAnythingIsBuilt) {
    EXPECT_EQ(envelope_problem(std::string(kMaxMessageBytes + 1, ' ')),
              "the envelope is too large");
    std::string deep = std::string(kMaxDepth + 1, '[') + std::string(kMaxDepth + 1, ']');
    EXPECT_EQ(envelope_problem(deep), "the envelope is nested too deeply");
    // A body's arguments at the deepest level allowed, and one deeper.
    json args = json::object();
    for (int i = 0; i < kMaxDepth - 2; ++i) {
        args = json{{"a", args}};
    }
    EXPECT_EQ(body_problem(body_with("arguments", args)), "ok");
    EXPECT_EQ(body_problem(body_with("arguments", json{{"a", args}})),
              "the body is nested too deeply");
}

// ---- the body ----------------------------------------------------------------------------------

TEST(CommandBody, EveryMemberIsRequiredAndTyped) {
    EXPECT_EQ(body_problem(make_body(command("c-1"))), "ok");
    for (const char *m : {"id", "vehicle", "operation", "arguments", "issued_at", "nonce"}) {
        EXPECT_NE(body_problem(body_with(m, nullptr)), "ok") << m;
        EXPECT_NE(body_problem(body_with(m, json::array())), "ok") << m;
    }
    EXPECT_EQ(body_problem(body_with("extra", 1)),
              "the body has a member that version 1 does not know");
    EXPECT_EQ(body_problem(body_with("arguments", "pgn=1")),
              "arguments is missing or not an object");
    EXPECT_EQ(body_problem(body_with("issued_at", 1.5)),
              "issued_at and expires_at must be Unix seconds (integers)");
    EXPECT_EQ(body_problem(body_with("issued_at", -1)),
              "issued_at and expires_at must be Unix seconds (integers)");
    EXPECT_EQ(body_problem(body_with("expires_at", kMaxUnixSeconds + 1)),
              "issued_at and expires_at must be Unix seconds (integers)");
    EXPECT_EQ(body_problem(body_with("expires_at", kNow)), "expires_at is not after issued_at");
    EXPECT_EQ(body_problem("{\"id\":\"a\",\"id\":\"b\"}"), "the body is a member is given twice");
    EXPECT_EQ(body_problem("[]"), "the body is not a JSON object");
    // A number beyond a double's range (it could only be infinity).
    std::string huge = make_body(command("c-1"));
    huge.replace(huge.find("{}"), 2, R"({"timeout":1e400})");
    EXPECT_EQ(body_problem(huge), "the body is not JSON");
}

TEST(CommandBody, IdsStayOneTopicLevelAndNamesKeepTheirAlphabets) {
    for (const char *id : {"c-1", "A", "2024-06-10T06:13:20.ab_c",
                           "0123456789012345678901234567890123456789012345678901234567890123"}) {
        EXPECT_TRUE(valid_command_id(id)) << id;
    }
    // MQTT's separators and wildcards, the reserved _rejected, ".." and
    // anything longer than 64.
    for (const char *id : {"", "a/b", "a+", "#", "_rejected", "..", "-a", "a b", "é",
                           "01234567890123456789012345678901234567890123456789012345678901234"}) {
        EXPECT_FALSE(valid_command_id(id)) << id;
        EXPECT_NE(body_problem(body_with("id", id)), "ok") << id;
    }
    EXPECT_TRUE(valid_vehicle("1FUJGLDR5CLBP8834"));
    for (const char *v : {"", "truck 7", "a/b", "a+", "a#", "tab\t"}) {
        EXPECT_FALSE(valid_vehicle(v)) << v;
    }
    EXPECT_TRUE(valid_operation_name("diag.clear"));
    EXPECT_FALSE(valid_operation_name("Diag.Clear"));
    EXPECT_TRUE(valid_nonce("q0Ywv3rN2bZ8cPz4kT1uXA"));
    EXPECT_FALSE(valid_nonce("short"));
    EXPECT_FALSE(valid_nonce("q0Ywv3rN2bZ8cPz4kT1uXA=="));
    EXPECT_TRUE(valid_key_id("fleet-1.ops_2"));
    EXPECT_FALSE(valid_key_id("fleet 1"));
}

TEST(CommandBody, TheIdOfAMalformedBodyIsReadOnlyWhenItIsWellFormed) {
    EXPECT_EQ(command_id_of(body_with("nonce", nullptr)), "c-1");
    EXPECT_EQ(command_id_of(body_with("id", "a/b")), "");
    EXPECT_EQ(command_id_of("{\"id\":\"c-1\""), "");
    EXPECT_EQ(command_id_of("{\"id\":\"c-1\",\"id\":\"c-2\"}"), "");
}

// ---- keys --------------------------------------------------------------------------------------

TEST(CommandKeys, PublicKeysMustBePointsOfTheCurve) {
    const FleetKey key("fleet-1", 3);
    const std::string text = encode_base64(key.public_key.data(), 32);
    ASSERT_TRUE(parse_public_key(text).has_value());
    EXPECT_EQ(*parse_public_key(text), key.public_key);
    EXPECT_FALSE(parse_public_key(encode_base64(key.public_key.data(), 31)).has_value());
    // The identity point (small order): every signature with R = identity
    // and S = 0 would verify under it.
    std::array<uint8_t, 32> identity{};
    identity[0] = 1;
    EXPECT_FALSE(parse_public_key(encode_base64(identity.data(), 32)).has_value());
    EXPECT_FALSE(parse_public_key(encode_base64(std::array<uint8_t, 32>{}.data(), 32)).has_value());
}

TEST(CommandKeys, AKeyFileNamesItsBadLine) {
    const std::string a = encode_base64(FleetKey("a", 1).public_key.data(), 32);
    const std::string b = encode_base64(FleetKey("b", 2).public_key.data(), 32);
    KeyRing keys;
    int line = 0;
    std::string problem;
    ASSERT_TRUE(parse_key_lines("# fleet keys\n\nfleet-a " + a + "\n  fleet-b\t" + b + "  \r\n",
                                keys, line, problem))
        << problem;
    EXPECT_EQ(keys.size(), 2U);
    EXPECT_EQ(keys.at("fleet-b"), FleetKey("b", 2).public_key);
    keys.clear();
    EXPECT_FALSE(parse_key_lines("fleet-a " + a + "\nfleet-a " + b + "\n", keys, line, problem));
    EXPECT_EQ(line, 2);
    EXPECT_EQ(problem, "the key id fleet-a is given twice");
    keys.clear();
    EXPECT_FALSE(parse_key_lines("fleet-a " + a + "\n# x\nfleet-c AAAA\n", keys, line, problem));
    EXPECT_EQ(line, 3);
    keys.clear();
    EXPECT_FALSE(parse_key_lines("fleet/a " + a + "\n", keys, line, problem));
    EXPECT_EQ(line, 1);
}
