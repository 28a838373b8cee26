// SPDX-License-Identifier: MIT
// replay --uplink-cost: see uplink_cost.h.
#include "uplink_cost.h"

#include "pgn_names.h"
#include "uplink_parts.h"

#include <failure.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fmt/format.h>
#include <fstream>
#include <limits>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vehcan::cli {

namespace {

constexpr uint32_t kPgnDm1 = 65226;
constexpr uint32_t kPgnVehicleIdentification = 65260;
// Rows of the report that are no PGN.
constexpr int64_t kFraming = -1; // MQTT headers, envelopes, births, the status
constexpr int64_t kEvents = -2;  // event windows
constexpr int64_t kStatusEveryUs =
    std::chrono::duration_cast<std::chrono::microseconds>(kStatusRefresh).count();
constexpr size_t kStatusBytes = 220; // a status payload, about

// The bytes of one MQTT 3.1.1 PUBLISH: fixed header, remaining length,
// topic, packet id (QoS 1), payload.
size_t publish_bytes(size_t topic, size_t payload, int qos) {
    const size_t remaining = 2 + topic + (qos > 0 ? 2 : 0) + payload;
    size_t length_bytes = 1;
    for (size_t r = remaining; r >= 128; r /= 128) {
        ++length_bytes;
    }
    return 1 + length_bytes + remaining;
}

std::string size_text(double bytes) {
    if (bytes >= 1e6) {
        return fmt::format("{:.2f} MB", bytes / 1e6);
    }
    if (bytes >= 1e3) {
        return fmt::format("{:.1f} kB", bytes / 1e3);
    }
    return fmt::format("{:.0f} B", bytes);
}

std::string host_name() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') {
        return "unknown";
    }
    return name.data();
}

} // namespace

struct UplinkCost::Mode {
    std::string name;
    std::unique_ptr<CompactEncoder> encoder; // none: json
    TroubleCodeState codes;
    std::map<int64_t, double> bytes; // per PGN, and the framing and event rows
    double total = 0;
    int64_t next_status_us = 0;
    uint64_t seq = 1; // each mode numbers its own batches, as a gateway would
    bool dm1_seen = false;
};

UplinkCost::UplinkCost(const MqttOptions &o, std::string save_dir)
    : o_(o), vehicle_(topic_level(o.vehicle.empty() ? host_name() : o.vehicle)),
      save_dir_(std::move(save_dir)) {
    if (!save_dir_.empty() && mkdir(save_dir_.c_str(), 0755) != 0 && errno != EEXIST) {
        throw Failure(kExitUsage, fmt::format("--uplink-save {}: {}", save_dir_,
                                              std::generic_category().message(errno)));
    }
    while (!o_.topic_prefix.empty() && o_.topic_prefix.back() == '/') {
        o_.topic_prefix.pop_back();
    }
    CollectionSettings chosen = o.collection;
    CollectionSettings exact;
    exact.exact = true;
    exact.name = "exact";
    for (CollectionSettings *c : {&chosen, &exact}) {
        auto mode = std::make_unique<Mode>();
        mode->name = c->exact ? "exact" : c->name;
        mode->encoder = std::make_unique<CompactEncoder>(*c, vehicle_, o.database,
                                                         [m = mode.get()] { return m->seq++; });
        modes_.push_back(std::move(mode));
    }
    auto json = std::make_unique<Mode>();
    json->name = "json";
    modes_.push_back(std::move(json));
}

UplinkCost::~UplinkCost() = default;

std::string UplinkCost::topic(const char *leaf) const {
    return fmt::format("{}/{}/{}", o_.topic_prefix, vehicle_, leaf);
}

void UplinkCost::publish(Mode &mode, uint32_t pgn, const std::string &topic, size_t payload) {
    const auto all = static_cast<double>(publish_bytes(topic.size(), payload, o_.qos));
    mode.bytes[pgn] += static_cast<double>(payload);
    mode.bytes[kFraming] += all - static_cast<double>(payload);
    mode.total += all;
}

// The encoder's births and batches, each batch's bytes shared out over the
// PGNs by their share of its uncompressed series.
void UplinkCost::drain(Mode &mode) {
    for (const CompactPayload &p : mode.encoder->take()) {
        const bool birth = p.kind == CompactPayload::Kind::birth;
        if (!save_dir_.empty() && &mode == modes_.front().get()) {
            const std::string file =
                fmt::format("{}/{:04}-{}.pb", save_dir_, ++saved_, birth ? "birth" : "batch");
            std::ofstream f(file, std::ios::binary);
            f.write(p.bytes.data(), static_cast<std::streamsize>(p.bytes.size()));
            if (!f) {
                throw Failure(kExitUsage, fmt::format("--uplink-save: cannot write {}", file));
            }
        }
        const std::string t = topic(birth ? "birth" : "batch");
        const auto all = static_cast<double>(publish_bytes(t.size(), p.bytes.size(), o_.qos));
        mode.total += all;
        double shared = 0;
        if (!birth && p.plain_bytes > 0) {
            const double per_plain =
                static_cast<double>(p.bytes.size()) / static_cast<double>(p.plain_bytes);
            for (const auto &[pgn, plain] : p.plain_by_pgn) {
                const double b = static_cast<double>(plain) * per_plain;
                mode.bytes[pgn == 0 ? kEvents : static_cast<int64_t>(pgn)] += b;
                shared += b;
            }
        }
        mode.bytes[kFraming] += all - shared;
    }
}

void UplinkCost::frame(int64_t unix_us, uint32_t id, const uint8_t *data, size_t len) {
    for (auto &mode : modes_) {
        if (mode->encoder) {
            mode->encoder->frame(unix_us, id, data, len);
        }
    }
}

void UplinkCost::message(const UplinkMessage &m, const nlohmann::json &json) {
    if (m.pgn == kPgnVehicleIdentification) {
        for (const UplinkValue &v : m.values) {
            if (v.name == "VIN" && !v.text.empty()) {
                vehicle_ = topic_level(v.text);
            }
        }
    }
    for (auto &mode : modes_) {
        if (m.unix_us >= mode->next_status_us) {
            // (json publishes its status once, compact refreshes its counters)
            const auto all =
                static_cast<double>(publish_bytes(topic("status").size(), kStatusBytes, o_.qos));
            mode->bytes[kFraming] += all;
            mode->total += all;
            mode->next_status_us =
                mode->encoder ? m.unix_us + kStatusEveryUs : std::numeric_limits<int64_t>::max();
        }
        bool dm1_changed = false;
        if (m.pgn == kPgnDm1 && m.json != nullptr) {
            if (auto payload = mode->codes.update(m.source, *m.json)) {
                publish(*mode, kPgnDm1, topic("dm1"), payload->size());
                // (as the uplink judges it)
                dm1_changed = dm1_is_news(mode->dm1_seen, *payload);
                mode->dm1_seen = true;
            }
        }
        if (mode->encoder) {
            mode->encoder->add(m, dm1_changed);
            drain(*mode);
        } else {
            publish(*mode, m.pgn, topic(std::to_string(m.pgn).c_str()), json.dump().size());
        }
    }
}

void UplinkCost::report(std::FILE *out, const std::string &file, int64_t start_us, int64_t end_us,
                        bool as_json) {
    for (auto &mode : modes_) {
        if (mode->encoder) {
            mode->encoder->finish(end_us);
            drain(*mode);
        }
    }
    const double seconds = std::max(1e-3, static_cast<double>(end_us - start_us) / 1e6);
    const double per_hour = 3600.0 / seconds;
    // The rows: every PGN of any mode, the costliest in json first.
    std::vector<int64_t> rows;
    for (const auto &mode : modes_) {
        for (const auto &[pgn, bytes] : mode->bytes) {
            if (std::find(rows.begin(), rows.end(), pgn) == rows.end()) {
                rows.push_back(pgn);
            }
        }
    }
    const Mode &json_mode = *modes_.back();
    auto bytes_of = [](const Mode &m, int64_t row) {
        const auto it = m.bytes.find(row);
        return it != m.bytes.end() ? it->second : 0.0;
    };
    std::stable_sort(rows.begin(), rows.end(), [&](int64_t a, int64_t b) {
        if ((a < 0) != (b < 0)) {
            return a >= 0;
        }
        return bytes_of(json_mode, a) > bytes_of(json_mode, b);
    });
    if (as_json) {
        nlohmann::json modes = nlohmann::json::object();
        for (const auto &mode : modes_) {
            nlohmann::json by_pgn = nlohmann::json::object();
            for (int64_t row : rows) {
                if (row >= 0) {
                    by_pgn[std::to_string(row)] = std::llround(bytes_of(*mode, row) * per_hour);
                }
            }
            nlohmann::json j{
                {"bytes", std::llround(mode->total)},
                {"bytes_per_hour", std::llround(mode->total * per_hour)},
                {"framing_per_hour", std::llround(bytes_of(*mode, kFraming) * per_hour)},
                {"events_per_hour", std::llround(bytes_of(*mode, kEvents) * per_hour)},
                {"by_pgn_per_hour", by_pgn}};
            if (mode->encoder) {
                const CompactCounters &c = mode->encoder->counters();
                j["births"] = c.births;
                j["batches"] = c.batches;
                j["points"] = c.points;
                j["readings"] = c.readings;
                j["compression_ratio"] = c.compressed_bytes > 0
                                             ? static_cast<double>(c.plain_bytes) /
                                                   static_cast<double>(c.compressed_bytes)
                                             : 0.0;
            }
            modes[mode->name] = j;
        }
        fmt::print(out, "{}\n",
                   nlohmann::json{
                       {"uplink_cost", {{"file", file}, {"seconds", seconds}, {"modes", modes}}}}
                       .dump());
        return;
    }
    fmt::print(out, "uplink cost of {} ({:.1f} s of capture), per vehicle-hour at its rate:\n",
               file, seconds);
    fmt::print(out, "  {:>6}  {:<8}", "PGN", "");
    for (const auto &mode : modes_) {
        fmt::print(out, " {:>11}", mode->name);
    }
    fmt::print(out, "\n");
    for (int64_t row : rows) {
        std::string label;
        std::string name;
        if (row == kFraming) {
            name = "framing (MQTT headers, envelopes, births, status)";
        } else if (row == kEvents) {
            name = "event windows";
        } else {
            label = std::to_string(row);
            if (const PgnName *n = find_pgn_name(static_cast<uint32_t>(row))) {
                name = n->acronym;
            }
        }
        fmt::print(out, "  {:>6}  {:<8}", label, row < 0 ? "" : name);
        for (const auto &mode : modes_) {
            fmt::print(out, " {:>11}", size_text(bytes_of(*mode, row) * per_hour));
        }
        fmt::print(out, "{}\n", row < 0 ? "  " + name : "");
    }
    fmt::print(out, "  {:>6}  {:<8}", "total", "");
    for (const auto &mode : modes_) {
        fmt::print(out, " {:>11}", size_text(mode->total * per_hour));
    }
    fmt::print(out, "\n");
    for (const auto &mode : modes_) {
        if (!mode->encoder) {
            continue;
        }
        const CompactCounters &c = mode->encoder->counters();
        fmt::print(out,
                   "{}: {} readings sent as {} points in {} batches, {} births; zstd {:.1f}:1\n",
                   mode->name, c.readings, c.points, c.batches, c.births,
                   c.compressed_bytes > 0 ? static_cast<double>(c.plain_bytes) /
                                                static_cast<double>(c.compressed_bytes)
                                          : 0.0);
    }
}

} // namespace vehcan::cli
