// SPDX-License-Identifier: MIT
// Fuzzes the parsers of the command envelope, which read what anyone who
// can publish to the broker sends. The input lies in a buffer of exactly
// its length, and is given both as an envelope and as a body.
//
// Checked: no exception leaves a parser; an envelope that parses has a valid
// key id, a body within its limit, and written back (make_envelope's form)
// parses to the same; a body that parses has members of their formats with
// expires_at after issued_at, and make_body of it parses to the same
// command; the id of a malformed body is empty or a valid id.
#include "envelope.h"
#include "invariant.h"

#include <memory>
#include <string>
#include <string_view>

using namespace vehcan::commands;

namespace {

bool same(const Command &a, const Command &b) {
    return a.id == b.id && a.vehicle == b.vehicle && a.operation == b.operation &&
           a.arguments == b.arguments && a.issued_at == b.issued_at &&
           a.expires_at == b.expires_at && a.nonce == b.nonce;
}

void as_envelope(std::string_view input) {
    Envelope e;
    std::string why;
    if (!parse_envelope(input, e, why)) {
        check(!why.empty(), "a refused envelope has a reason");
        return;
    }
    check(valid_key_id(e.key_id), "the key id is valid");
    check(e.body.size() <= kMaxBodyBytes, "the body is within its limit");
    const nlohmann::json written{
        {"v", 1},
        {"key", e.key_id},
        {"body", encode_base64(reinterpret_cast<const uint8_t *>(e.body.data()), e.body.size())},
        {"sig", encode_base64(e.signature.data(), e.signature.size())}};
    Envelope again;
    check(parse_envelope(written.dump(), again, why), "a written envelope parses");
    check(again.key_id == e.key_id && again.body == e.body && again.signature == e.signature,
          "a written envelope parses to the same");
}

void as_body(std::string_view input) {
    const std::string id = command_id_of(input);
    check(id.empty() || valid_command_id(id), "an id read alone is valid");
    Command c;
    std::string why;
    if (!parse_command(input, c, why)) {
        check(!why.empty(), "a refused body has a reason");
        return;
    }
    check(id == c.id, "the id read alone is the command's");
    check(valid_command_id(c.id) && valid_vehicle(c.vehicle) && valid_operation_name(c.operation) &&
              valid_nonce(c.nonce),
          "the members have their formats");
    check(c.arguments.is_object(), "the arguments are an object");
    check(c.issued_at >= 0 && c.expires_at > c.issued_at && c.expires_at <= kMaxUnixSeconds,
          "the times are in range and in order");
    // Strings of a parsed body are valid UTF-8, so writing cannot throw. A
    // number written back may be longer than it came ("1e2" is "100.0").
    const std::string written = make_body(c);
    if (written.size() > kMaxBodyBytes) {
        return;
    }
    Command again;
    check(parse_command(written, again, why), "a written body parses");
    check(same(c, again), "a written body parses to the same command");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::unique_ptr<char[]> copy(new char[size]);
    std::copy(data, data + size, copy.get());
    const std::string_view input(copy.get(), size);
    as_envelope(input);
    as_body(input);
    return 0;
}
