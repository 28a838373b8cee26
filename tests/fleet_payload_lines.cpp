// SPDX-License-Identifier: MIT
// The MQTT tests' decoder of the compact uplink: reads what a subscriber
// saw, one "TOPIC HEXPAYLOAD" line per message (mosquitto_sub -F '%t %x'),
// decodes every birth and batch in order with the gateway's decoder, and
// prints the decoded lines on standard output. On standard error: each gap
// and repeat of the batches' seq, then one summary line
//   births B batches N historical lines H first seq F last seq L covered until T
//   historical from HF until HT
// (T: the end of the latest span a batch covered; HF and HT: the earliest
// start and the latest end of the spans the historical batches covered;
// RFC 3339, or "-").
// Exit status 1 when a payload does not decode.
#include "compact_decoder.h"
#include "timestamp.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

std::string from_hex(const std::string &hex) {
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

int main() {
    vehcan::cli::CompactDecoder decoder;
    std::string line;
    size_t births = 0;
    size_t batches = 0;
    size_t historical = 0;
    int64_t historical_from_us = 0;
    int64_t historical_until_us = 0;
    while (std::getline(std::cin, line)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) {
            continue;
        }
        const std::string topic = line.substr(0, space);
        const bool birth = ends_with(topic, "/birth");
        if ((!birth && !ends_with(topic, "/batch")) || space + 1 >= line.size()) {
            continue; // other topics, and an empty payload clearing a retained birth
        }
        try {
            const size_t known = decoder.timelines().size();
            const auto lines = decoder.feed(from_hex(line.substr(space + 1)));
            if (birth) {
                ++births;
                (void)known;
                continue;
            }
            ++batches;
            const auto &span = decoder.last_batch();
            if (span.historical) {
                historical_from_us = historical_from_us == 0
                                         ? span.from_us
                                         : std::min(historical_from_us, span.from_us);
                historical_until_us = std::max(historical_until_us, span.until_us);
            }
            for (const auto &j : lines) {
                historical += j.contains("historical") ? 1U : 0U;
                std::cout << j.dump() << "\n";
            }
        } catch (const vehcan::cli::FormatError &e) {
            std::cerr << "cannot decode a payload of " << topic << ": " << e.what() << "\n";
            return 1;
        }
    }
    const auto &seqs = decoder.seqs();
    for (size_t i = 1; i < seqs.size(); ++i) {
        if (seqs[i] > seqs[i - 1] + 1) {
            std::cerr << "seq gap: " << seqs[i - 1] << " then " << seqs[i] << "\n";
        } else if (seqs[i] <= seqs[i - 1]) {
            std::cerr << "seq repeat: " << seqs[i] << " after " << seqs[i - 1] << "\n";
        }
    }
    auto when = [](int64_t us) { return us > 0 ? vehcan::cli::rfc3339_utc(us) : std::string("-"); };
    std::cerr << "births " << births << " batches " << batches << " historical lines " << historical
              << " first seq " << (seqs.empty() ? 0 : seqs.front()) << " last seq "
              << (seqs.empty() ? 0 : seqs.back()) << " covered until "
              << when(decoder.covered_until_us()) << " historical from " << when(historical_from_us)
              << " until " << when(historical_until_us) << "\n";
    return 0;
}
