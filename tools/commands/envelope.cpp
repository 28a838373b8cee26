// SPDX-License-Identifier: MIT
// The envelope's parsers. JSON goes through nlohmann's SAX interface first,
// which sees every key and every level as they come, so that duplicates and
// depth are refused before a document is built; then through its parser
// with exceptions off.
#include "envelope.h"

#include <set>
#include <vector>

namespace vehcan::commands {

using nlohmann::json;

namespace {

// ---- the strict JSON pass ----------------------------------------------------------------------

// Refuses a key given twice in one object and nesting beyond kMaxDepth.
// (nlohmann itself refuses numbers beyond a double's range.)
class StrictnessCheck {
  public:
    explicit StrictnessCheck(std::string &why) : why_(why) {}

    bool null() { return true; }
    bool boolean(bool /*value*/) { return true; }
    bool number_integer(json::number_integer_t /*value*/) { return true; }
    bool number_unsigned(json::number_unsigned_t /*value*/) { return true; }
    bool number_float(json::number_float_t /*value*/, const json::string_t & /*text*/) {
        return true;
    }
    bool string(json::string_t & /*value*/) { return true; }
    bool binary(json::binary_t & /*value*/) { return false; }
    bool start_object(std::size_t /*elements*/) {
        keys_.emplace_back();
        return deeper();
    }
    bool key(json::string_t &name) {
        if (!keys_.back().insert(name).second) {
            why_ = "a member is given twice";
            return false;
        }
        return true;
    }
    bool end_object() {
        keys_.pop_back();
        --depth_;
        return true;
    }
    bool start_array(std::size_t /*elements*/) {
        keys_.emplace_back(); // keeps keys_ and depth_ in step
        return deeper();
    }
    bool end_array() {
        keys_.pop_back();
        --depth_;
        return true;
    }
    bool parse_error(std::size_t /*position*/, const std::string & /*last_token*/,
                     const nlohmann::detail::exception & /*error*/) {
        why_ = "not JSON";
        return false;
    }

  private:
    bool deeper() {
        if (++depth_ > kMaxDepth) {
            why_ = "nested too deeply";
            return false;
        }
        return true;
    }

    std::string &why_;
    std::vector<std::set<std::string>> keys_;
    int depth_ = 0;
};

// ---- member formats ----------------------------------------------------------------------------

bool is_alnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool all_of(std::string_view s, bool (*ok)(char)) {
    for (const char c : s) {
        if (!ok(c)) {
            return false;
        }
    }
    return true;
}

// A string member of an object, or nothing when it is missing or no string.
const std::string *string_member(const json &object, const char *name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get_ptr<const std::string *>() : nullptr;
}

bool integer_member(const json &object, const char *name, int64_t &out) {
    const auto it = object.find(name);
    if (it == object.end()) {
        return false;
    }
    if (it->is_number_unsigned()) {
        const auto v = it->get<uint64_t>();
        if (v > static_cast<uint64_t>(kMaxUnixSeconds)) {
            return false;
        }
        out = static_cast<int64_t>(v);
        return true;
    }
    if (it->is_number_integer()) {
        out = it->get<int64_t>();
        return out >= 0 && out <= kMaxUnixSeconds;
    }
    return false;
}

bool only_members(const json &object, std::initializer_list<const char *> names) {
    for (const auto &[key, value] : object.items()) {
        bool listed = false;
        for (const char *n : names) {
            listed = listed || key == n;
        }
        if (!listed) {
            return false;
        }
    }
    return true;
}

} // namespace

bool parse_strict_json(std::string_view text, size_t max_bytes, json &out, std::string &why) {
    if (text.size() > max_bytes) {
        why = "too large";
        return false;
    }
    try {
        StrictnessCheck check(why);
        if (!json::sax_parse(text.begin(), text.end(), &check)) {
            if (why.empty()) {
                why = "not JSON";
            }
            return false;
        }
        out = json::parse(text.begin(), text.end(), nullptr, false);
    } catch (const std::exception &) {
        // nlohmann reports through the SAX handler; this is for anything
        // else it may throw (allocation), which must not leave the parser.
        why = "not JSON";
        return false;
    }
    if (out.is_discarded()) {
        why = "not JSON";
        return false;
    }
    return true;
}

bool valid_command_id(std::string_view id) {
    return !id.empty() && id.size() <= 64 && is_alnum(id.front()) && all_of(id, [](char c) {
        return is_alnum(c) || c == '.' || c == '_' || c == ':' || c == '-';
    });
}

bool valid_vehicle(std::string_view vehicle) {
    return !vehicle.empty() && vehicle.size() <= 64 && all_of(vehicle, [](char c) {
        return c > ' ' && c < 0x7F && c != '/' && c != '+' && c != '#';
    });
}

bool valid_operation_name(std::string_view name) {
    return !name.empty() && name.size() <= 32 && all_of(name, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
    });
}

bool valid_nonce(std::string_view nonce) {
    return nonce.size() >= 16 && nonce.size() <= 64 &&
           all_of(nonce, [](char c) { return is_alnum(c) || c == '_' || c == '-'; });
}

// ---- the envelope ------------------------------------------------------------------------------

bool parse_envelope(std::string_view payload, Envelope &out, std::string &why) {
    json doc;
    if (!parse_strict_json(payload, kMaxMessageBytes, doc, why)) {
        why = "the envelope is " + why;
        return false;
    }
    if (!doc.is_object() || !only_members(doc, {"v", "key", "body", "sig"})) {
        why = "the envelope must be an object of v, key, body and sig only";
        return false;
    }
    const auto v = doc.find("v");
    if (v == doc.end() || !v->is_number_unsigned() || v->get<uint64_t>() != kEnvelopeVersion) {
        why = "the envelope is not of version 1";
        return false;
    }
    const std::string *key = string_member(doc, "key");
    if (key == nullptr || !valid_key_id(*key)) {
        why = "the envelope's key is missing or not a key id";
        return false;
    }
    const std::string *body = string_member(doc, "body");
    const auto body_bytes = body != nullptr ? decode_base64(*body, kMaxBodyBytes) : std::nullopt;
    if (!body_bytes) {
        why = "the envelope's body is missing, not base64 or too large";
        return false;
    }
    const std::string *sig = string_member(doc, "sig");
    const auto sig_bytes = sig != nullptr ? decode_base64(*sig, 64) : std::nullopt;
    if (!sig_bytes || sig_bytes->size() != 64) {
        why = "the envelope's signature is missing or not 64 bytes in base64";
        return false;
    }
    out.key_id = *key;
    out.body.assign(body_bytes->begin(), body_bytes->end());
    std::copy(sig_bytes->begin(), sig_bytes->end(), out.signature.begin());
    return true;
}

// ---- the body ----------------------------------------------------------------------------------

bool parse_command(std::string_view body, Command &out, std::string &why) {
    json doc;
    if (!parse_strict_json(body, kMaxBodyBytes, doc, why)) {
        why = "the body is " + why;
        return false;
    }
    if (!doc.is_object()) {
        why = "the body is not a JSON object";
        return false;
    }
    if (!only_members(
            doc, {"id", "vehicle", "operation", "arguments", "issued_at", "expires_at", "nonce"})) {
        why = "the body has a member that version 1 does not know";
        return false;
    }
    const std::string *id = string_member(doc, "id");
    if (id == nullptr || !valid_command_id(*id)) {
        why = "id is missing or not 1-64 of A-Z a-z 0-9 . _ : - starting with a letter or digit";
        return false;
    }
    const std::string *vehicle = string_member(doc, "vehicle");
    if (vehicle == nullptr || !valid_vehicle(*vehicle)) {
        why = "vehicle is missing or not 1-64 printable characters without / + # or space";
        return false;
    }
    const std::string *operation = string_member(doc, "operation");
    if (operation == nullptr || !valid_operation_name(*operation)) {
        why = "operation is missing or not 1-32 of a-z 0-9 . _";
        return false;
    }
    const auto arguments = doc.find("arguments");
    if (arguments == doc.end() || !arguments->is_object()) {
        why = "arguments is missing or not an object";
        return false;
    }
    int64_t issued = 0;
    int64_t expires = 0;
    if (!integer_member(doc, "issued_at", issued) || !integer_member(doc, "expires_at", expires)) {
        why = "issued_at and expires_at must be Unix seconds (integers)";
        return false;
    }
    if (expires <= issued) {
        why = "expires_at is not after issued_at";
        return false;
    }
    const std::string *nonce = string_member(doc, "nonce");
    if (nonce == nullptr || !valid_nonce(*nonce)) {
        why = "nonce is missing or not 16-64 of A-Z a-z 0-9 _ -";
        return false;
    }
    out.id = *id;
    out.vehicle = *vehicle;
    out.operation = *operation;
    out.arguments = *arguments;
    out.issued_at = issued;
    out.expires_at = expires;
    out.nonce = *nonce;
    return true;
}

std::string command_id_of(std::string_view body) {
    json doc;
    std::string why;
    if (!parse_strict_json(body, kMaxBodyBytes, doc, why) || !doc.is_object()) {
        return "";
    }
    const std::string *id = string_member(doc, "id");
    return id != nullptr && valid_command_id(*id) ? *id : "";
}

// ---- writing -----------------------------------------------------------------------------------

std::string signed_bytes(std::string_view key_id, std::string_view body) {
    std::string out;
    out.reserve(kSignatureContext.size() + key_id.size() + body.size() + 2);
    out += kSignatureContext;
    out += '\0';
    out += key_id;
    out += '\0';
    out += body;
    return out;
}

std::string make_body(const Command &c) {
    // nlohmann's ordered_json keeps the members in the order written.
    nlohmann::ordered_json body;
    body["id"] = c.id;
    body["vehicle"] = c.vehicle;
    body["operation"] = c.operation;
    body["arguments"] = c.arguments;
    body["issued_at"] = c.issued_at;
    body["expires_at"] = c.expires_at;
    body["nonce"] = c.nonce;
    return body.dump();
}

std::string make_envelope(std::string_view key_id, std::string_view body, const SecretKey &key) {
    const Signature s = sign(key, signed_bytes(key_id, body));
    nlohmann::ordered_json e;
    e["v"] = kEnvelopeVersion;
    e["key"] = key_id;
    e["body"] = encode_base64(reinterpret_cast<const uint8_t *>(body.data()), body.size());
    e["sig"] = encode_base64(s.data(), s.size());
    return e.dump();
}

} // namespace vehcan::commands
