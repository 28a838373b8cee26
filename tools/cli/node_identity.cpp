// SPDX-License-Identifier: MIT
// NAME decoding and the tables of addresses, functions and industry groups.
#include "node_identity.h"

#include <algorithm>
#include <array>
#include <fmt/format.h>

namespace vehcan::cli {

namespace {

struct Entry {
    uint8_t number;
    std::string_view name;
};

// Preferred source addresses (SAE J1939 appendix, on-highway use). Sorted.
constexpr std::array kAddresses{
    Entry{0x00, "engine #1"},
    Entry{0x01, "engine #2"},
    Entry{0x02, "turbocharger"},
    Entry{0x03, "transmission #1"},
    Entry{0x04, "transmission #2"},
    Entry{0x05, "shift console, primary"},
    Entry{0x06, "shift console, secondary"},
    Entry{0x07, "power take-off (main or rear)"},
    Entry{0x08, "axle, steering"},
    Entry{0x09, "axle, drive #1"},
    Entry{0x0A, "axle, drive #2"},
    Entry{0x0B, "brakes, system controller"},
    Entry{0x0C, "brakes, steer axle"},
    Entry{0x0D, "brakes, drive axle #1"},
    Entry{0x0E, "brakes, drive axle #2"},
    Entry{0x0F, "retarder, engine"},
    Entry{0x10, "retarder, driveline"},
    Entry{0x11, "cruise control"},
    Entry{0x12, "fuel system"},
    Entry{0x13, "steering controller"},
    Entry{0x14, "suspension, steer axle"},
    Entry{0x15, "suspension, drive axle #1"},
    Entry{0x16, "suspension, drive axle #2"},
    Entry{0x17, "instrument cluster #1"},
    Entry{0x18, "trip recorder"},
    Entry{0x19, "climate control #1"},
    Entry{0x1A, "alternator/charging system"},
    Entry{0x1B, "aerodynamic control"},
    Entry{0x1C, "vehicle navigation"},
    Entry{0x1D, "vehicle security"},
    Entry{0x1E, "electrical system"},
    Entry{0x1F, "starter system"},
    Entry{0x20, "tractor-trailer bridge #1"},
    Entry{0x21, "body controller"},
    Entry{0xEE, "tachograph"},
    Entry{0xF9, "off-board diagnostic service tool #1"},
    Entry{0xFA, "off-board diagnostic service tool #2"},
    Entry{0xFB, "on-board data logger"},
    Entry{0xFC, "reserved for experimental use"},
    Entry{0xFD, "reserved for OEM"},
    Entry{0xFE, "null address (cannot claim)"},
    Entry{0xFF, "global (all nodes)"},
};

// Functions 0-127: the same in every industry group. Sorted.
constexpr std::array kGlobalFunctions{
    Entry{0, "engine"},
    Entry{1, "auxiliary power unit"},
    Entry{2, "electric propulsion control"},
    Entry{3, "transmission"},
    Entry{4, "battery pack monitor"},
    Entry{5, "shift control/console"},
    Entry{6, "power take-off (main or rear)"},
    Entry{7, "axle, steering"},
    Entry{8, "axle, drive"},
    Entry{9, "brakes, system controller"},
    Entry{10, "brakes, steer axle"},
    Entry{11, "brakes, drive axle"},
    Entry{12, "retarder, engine"},
    Entry{13, "retarder, driveline"},
    Entry{14, "cruise control"},
    Entry{15, "fuel system"},
    Entry{16, "steering controller"},
    Entry{17, "suspension, steer axle"},
    Entry{18, "suspension, drive axle"},
    Entry{19, "instrument cluster"},
    Entry{20, "trip recorder"},
    Entry{21, "cab climate control"},
    Entry{22, "aerodynamic control"},
    Entry{23, "vehicle navigation"},
    Entry{24, "vehicle security"},
    Entry{25, "network interconnect ECU"},
    Entry{26, "body controller"},
    Entry{27, "power take-off (secondary or front)"},
    Entry{28, "off-vehicle gateway"},
    Entry{29, "virtual terminal (in cab)"},
    Entry{30, "management computer"},
    Entry{31, "propulsion battery charger"},
    Entry{32, "headway controller"},
    Entry{33, "system monitor"},
};

// Functions 128 and up of the global group (0). Sorted.
constexpr std::array kGlobalGroupFunctions{
    Entry{129, "off-board diagnostic-service tool"},
    Entry{130, "on-board data logger"},
};

// Functions 128 and up of the on-highway group (1). Sorted.
constexpr std::array kOnHighwayFunctions{
    Entry{128, "tachograph"},
    Entry{129, "door controller"},
};

constexpr std::array<std::string_view, 8> kIndustryGroups{
    "global",
    "on-highway equipment",
    "agricultural and forestry equipment",
    "construction equipment",
    "marine",
    "industrial, process control, stationary",
    "",
    "",
};

template <size_t N>
constexpr bool sorted(const std::array<Entry, N> &t) {
    return std::is_sorted(t.begin(), t.end(),
                          [](const Entry &a, const Entry &b) { return a.number < b.number; });
}
static_assert(sorted(kAddresses) && sorted(kGlobalFunctions) && sorted(kGlobalGroupFunctions) &&
              sorted(kOnHighwayFunctions));

template <size_t N>
std::string_view lookup(const std::array<Entry, N> &t, uint8_t number) {
    const auto *it = std::lower_bound(t.begin(), t.end(), number,
                                      [](const Entry &e, uint8_t n) { return e.number < n; });
    return it != t.end() && it->number == number ? it->name : std::string_view{};
}

constexpr uint8_t kGlobalGroup = 0;
constexpr uint8_t kOnHighway = 1;
constexpr uint8_t kFirstGroupFunction = 128;

std::string with_name(unsigned value, std::string_view name) {
    return name.empty() ? fmt::format("{}", value) : fmt::format("{} ({})", value, name);
}

} // namespace

J1939Name decode_name(uint64_t raw) {
    return J1939Name{claim::split_name(raw), raw};
}

std::optional<J1939Name> decode_name(const uint8_t *payload, size_t len) {
    const auto raw = claim::payload_name(payload, len);
    if (!raw) {
        return std::nullopt;
    }
    return decode_name(*raw);
}

std::string_view address_meaning(uint8_t address) {
    return lookup(kAddresses, address);
}

std::string_view function_name(uint8_t function, uint8_t industry_group) {
    if (function < kFirstGroupFunction) {
        return lookup(kGlobalFunctions, function);
    }
    if (industry_group == kGlobalGroup) {
        return lookup(kGlobalGroupFunctions, function);
    }
    return industry_group == kOnHighway ? lookup(kOnHighwayFunctions, function)
                                        : std::string_view{};
}

std::string_view industry_group_name(uint8_t industry_group) {
    if (industry_group >= kIndustryGroups.size()) {
        return {};
    }
    return kIndustryGroups[industry_group];
}

std::vector<std::pair<std::string, std::string>> name_facts(const J1939Name &n) {
    return {
        {"NAME", fmt::format("{:016X}", n.raw)},
        {"identity number", fmt::format("{} (0x{:06X})", n.identity_number, n.identity_number)},
        {"manufacturer code", fmt::format("{}", n.manufacturer_code)},
        {"ECU instance", fmt::format("{}", n.ecu_instance)},
        {"function instance", fmt::format("{}", n.function_instance)},
        {"function", with_name(n.function, function_name(n.function, n.industry_group))},
        {"vehicle system", fmt::format("{}", n.vehicle_system)},
        {"vehicle system instance", fmt::format("{}", n.vehicle_system_instance)},
        {"industry group", with_name(n.industry_group, industry_group_name(n.industry_group))},
        {"arbitrary address", n.arbitrary_address_capable ? "capable" : "not capable"},
    };
}

std::string name_text(const J1939Name &n, std::string_view indent) {
    std::string s;
    for (const auto &[label, value] : name_facts(n)) {
        s += fmt::format("{}{:<24} {}\n", indent, label, value);
    }
    return s;
}

nlohmann::json name_json(const J1939Name &n) {
    nlohmann::json j = {
        {"raw", fmt::format("{:016X}", n.raw)},
        {"identity_number", n.identity_number},
        {"manufacturer_code", n.manufacturer_code},
        {"ecu_instance", n.ecu_instance},
        {"function_instance", n.function_instance},
        {"function", n.function},
        {"vehicle_system", n.vehicle_system},
        {"vehicle_system_instance", n.vehicle_system_instance},
        {"industry_group", n.industry_group},
        {"arbitrary_address_capable", n.arbitrary_address_capable},
    };
    if (auto f = function_name(n.function, n.industry_group); !f.empty()) {
        j["function_name"] = f;
    }
    if (auto g = industry_group_name(n.industry_group); !g.empty()) {
        j["industry_group_name"] = g;
    }
    return j;
}

} // namespace vehcan::cli
