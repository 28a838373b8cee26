// SPDX-License-Identifier: MIT
// The 64-bit NAME a node claims its source address with: its fields, the
// value they make, and the NAME vehcan claims with unless told otherwise.
#ifndef VEHCAN_CLAIM_NAME_H
#define VEHCAN_CLAIM_NAME_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vehcan::claim {

// The fields of a NAME, from its least significant bit. Each holds at most
// the bits its comment gives; make_name() refuses wider values.
struct NameFields {
    uint32_t identity_number = 0;           // bits 0-20 (21 bits)
    uint16_t manufacturer_code = 0;         // bits 21-31 (11 bits)
    uint8_t ecu_instance = 0;               // bits 32-34 (3 bits)
    uint8_t function_instance = 0;          // bits 35-39 (5 bits)
    uint8_t function = 0;                   // bits 40-47
    uint8_t vehicle_system = 0;             // bits 49-55 (7 bits; bit 48 is reserved, 0)
    uint8_t vehicle_system_instance = 0;    // bits 56-59 (4 bits)
    uint8_t industry_group = 0;             // bits 60-62 (3 bits)
    bool arbitrary_address_capable = false; // bit 63

    bool operator==(const NameFields &) const = default;
};

// The 64-bit NAME of the fields, or nothing when a field does not fit in
// its bits (the field's name is then written to *bad_field when given).
std::optional<uint64_t> make_name(const NameFields &f, std::string_view *bad_field = nullptr);
// The fields of a 64-bit NAME. The reserved bit 48 is ignored.
NameFields split_name(uint64_t name);
// Whether bit 63 says the node may take any address in 128-247.
constexpr bool arbitrary_address_capable(uint64_t name) {
    return (name >> 63U) != 0;
}

// Address Claimed's payload: the NAME, least significant byte first.
std::array<uint8_t, 8> name_payload(uint64_t name);
// The NAME of an 8-byte payload (later bytes ignored); nothing if shorter.
std::optional<uint64_t> payload_name(const uint8_t *data, size_t len);

// "A0810000001E240F" or "0xa0810000001e240f": exactly 16 hex digits after
// an optional 0x. Nothing for anything else.
std::optional<uint64_t> parse_name(std::string_view text);

// The default NAME's fixed fields. The identity number comes from the
// machine (default_identity_number()), so that two gateways differ:
//   arbitrary address capable  yes (a tool may take any free address)
//   industry group             0 (global)
//   vehicle system             0, instance 0
//   function                   129 (off-board diagnostic-service tool)
//   function instance          0
//   ECU instance               0
//   manufacturer code          0 (none assigned; a product sets its own with --name)
constexpr uint8_t kDefaultFunction = 129;
NameFields default_name_fields(uint32_t identity_number);

// A 21-bit number from the text of /etc/machine-id (FNV-1a over its
// characters, white space around it ignored, folded to 21 bits). Equal
// texts give equal numbers; the empty text gives 0.
uint32_t identity_number_of(std::string_view machine_id);
// identity_number_of() the contents of machine_id_file; when that file is
// missing or empty, of the host name.
uint32_t default_identity_number(const std::string &machine_id_file = "/etc/machine-id");

} // namespace vehcan::claim

#endif
