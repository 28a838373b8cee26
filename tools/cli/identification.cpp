// SPDX-License-Identifier: MIT
// Splitting and labelling of the identification messages.
#include "identification.h"

#include <array>
#include <fmt/format.h>

namespace vehcan::cli {

namespace {

constexpr std::array kScanOrder{kPgnComponentIdentification, kPgnSoftwareIdentification,
                                kPgnEcuIdentification};

constexpr std::array<std::string_view, 4> kComponentLabels{"make", "model", "serial number",
                                                           "unit number"};
constexpr std::array<std::string_view, 6> kEcuLabels{"part number", "serial number", "location",
                                                     "type",        "manufacturer",  "hardware id"};

bool is_padding(char c) {
    return c == '\0' || static_cast<unsigned char>(c) == 0xFF;
}

} // namespace

std::span<const uint32_t> identification_pgns() {
    return kScanOrder;
}

std::vector<std::string> split_at_asterisks(std::string_view text) {
    std::vector<std::string> fields;
    size_t begin = 0;
    for (size_t star = text.find('*'); star != std::string_view::npos;
         star = text.find('*', begin)) {
        fields.emplace_back(text.substr(begin, star - begin));
        begin = star + 1;
    }
    std::string_view rest = text.substr(begin);
    while (!rest.empty() && is_padding(rest.back())) {
        rest.remove_suffix(1);
    }
    if (!rest.empty()) {
        fields.emplace_back(rest);
    }
    return fields;
}

std::vector<IdentificationField> identification_fields(uint32_t pgn, const uint8_t *data,
                                                       size_t len) {
    std::vector<IdentificationField> out;
    if (data == nullptr || len == 0) {
        return out;
    }
    std::string_view text(reinterpret_cast<const char *>(data), len);
    size_t wanted = SIZE_MAX;
    if (pgn == kPgnSoftwareIdentification) {
        wanted = data[0];
        text.remove_prefix(1);
    }
    const std::vector<std::string> fields = split_at_asterisks(text);
    for (size_t i = 0; i < fields.size() && i < wanted; ++i) {
        std::string label;
        if (pgn == kPgnSoftwareIdentification) {
            label = fmt::format("software {}", i + 1);
        } else if (pgn == kPgnComponentIdentification && i < kComponentLabels.size()) {
            label = kComponentLabels[i];
        } else if (pgn == kPgnEcuIdentification && i < kEcuLabels.size()) {
            label = kEcuLabels[i];
        } else {
            label = fmt::format("field {}", i + 1);
        }
        out.push_back({label, fields[i]});
    }
    return out;
}

std::string_view identification_title(uint32_t pgn) {
    switch (pgn) {
    case kPgnComponentIdentification:
        return "component identification";
    case kPgnSoftwareIdentification:
        return "software identification";
    case kPgnEcuIdentification:
        return "ECU identification";
    default:
        return "identification";
    }
}

} // namespace vehcan::cli
