// SPDX-License-Identifier: MIT
// NAME fields to and from 64 bits, and the default NAME.
#include "name.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace vehcan::claim {

namespace {

struct Field {
    std::string_view name;
    unsigned first; // least significant bit
    unsigned width;
};

constexpr Field kIdentity{"identity number", 0, 21};
constexpr Field kManufacturer{"manufacturer code", 21, 11};
constexpr Field kEcuInstance{"ECU instance", 32, 3};
constexpr Field kFunctionInstance{"function instance", 35, 5};
constexpr Field kFunction{"function", 40, 8};
constexpr Field kVehicleSystem{"vehicle system", 49, 7};
constexpr Field kSystemInstance{"vehicle system instance", 56, 4};
constexpr Field kIndustryGroup{"industry group", 60, 3};
constexpr Field kArbitrary{"arbitrary address capable", 63, 1};

constexpr uint64_t mask(unsigned width) {
    return (uint64_t{1} << width) - 1;
}

template <typename T>
T get(uint64_t name, const Field &f) {
    return static_cast<T>((name >> f.first) & mask(f.width));
}

constexpr uint32_t kFnvOffset = 2166136261U;
constexpr uint32_t kFnvPrime = 16777619U;

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

std::optional<uint64_t> make_name(const NameFields &f, std::string_view *bad_field) {
    uint64_t name = 0;
    bool fits = true;
    auto put = [&](const Field &field, uint64_t value) {
        if (!fits) {
            return;
        }
        if (value > mask(field.width)) {
            fits = false;
            if (bad_field != nullptr) {
                *bad_field = field.name;
            }
            return;
        }
        name |= value << field.first;
    };
    put(kIdentity, f.identity_number);
    put(kManufacturer, f.manufacturer_code);
    put(kEcuInstance, f.ecu_instance);
    put(kFunctionInstance, f.function_instance);
    put(kFunction, f.function);
    put(kVehicleSystem, f.vehicle_system);
    put(kSystemInstance, f.vehicle_system_instance);
    put(kIndustryGroup, f.industry_group);
    put(kArbitrary, f.arbitrary_address_capable ? 1 : 0);
    if (!fits) {
        return std::nullopt;
    }
    return name;
}

NameFields split_name(uint64_t name) {
    NameFields f;
    f.identity_number = get<uint32_t>(name, kIdentity);
    f.manufacturer_code = get<uint16_t>(name, kManufacturer);
    f.ecu_instance = get<uint8_t>(name, kEcuInstance);
    f.function_instance = get<uint8_t>(name, kFunctionInstance);
    f.function = get<uint8_t>(name, kFunction);
    f.vehicle_system = get<uint8_t>(name, kVehicleSystem);
    f.vehicle_system_instance = get<uint8_t>(name, kSystemInstance);
    f.industry_group = get<uint8_t>(name, kIndustryGroup);
    f.arbitrary_address_capable = get<uint8_t>(name, kArbitrary) != 0;
    return f;
}

std::array<uint8_t, 8> name_payload(uint64_t name) {
    std::array<uint8_t, 8> out{};
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(name >> (8 * i));
    }
    return out;
}

std::optional<uint64_t> payload_name(const uint8_t *data, size_t len) {
    if (data == nullptr || len < 8) {
        return std::nullopt;
    }
    uint64_t name = 0;
    for (size_t i = 0; i < 8; ++i) {
        name |= uint64_t{data[i]} << (8 * i);
    }
    return name;
}

std::optional<uint64_t> parse_name(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.size() != 16) {
        return std::nullopt;
    }
    uint64_t name = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), name, 16);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return name;
}

NameFields default_name_fields(uint32_t identity_number) {
    NameFields f;
    f.identity_number = identity_number & static_cast<uint32_t>(mask(kIdentity.width));
    f.function = kDefaultFunction;
    f.arbitrary_address_capable = true;
    return f;
}

uint32_t identity_number_of(std::string_view machine_id) {
    while (!machine_id.empty() && blank(machine_id.front())) {
        machine_id.remove_prefix(1);
    }
    while (!machine_id.empty() && blank(machine_id.back())) {
        machine_id.remove_suffix(1);
    }
    if (machine_id.empty()) {
        return 0;
    }
    uint32_t hash = kFnvOffset;
    for (const char c : machine_id) {
        hash ^= static_cast<uint8_t>(c);
        hash *= kFnvPrime;
    }
    // Folding the upper 11 bits in keeps every input bit's influence.
    return (hash ^ (hash >> kIdentity.width)) & static_cast<uint32_t>(mask(kIdentity.width));
}

uint32_t default_identity_number(const std::string &machine_id_file) {
    std::ifstream in(machine_id_file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        std::array<char, 256> host{};
        if (gethostname(host.data(), host.size() - 1) == 0) {
            text = host.data();
        }
    }
    return identity_number_of(text);
}

} // namespace vehcan::claim
