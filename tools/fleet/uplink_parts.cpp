// SPDX-License-Identifier: MIT
// The broker-free parts of the MQTT uplink: see uplink_parts.h.
#include "uplink_parts.h"
#include <failure.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <fmt/format.h>
#include <unistd.h>

namespace vehcan::cli {

namespace {

constexpr int kPortMqtt = 1883;
constexpr int kPortMqtts = 8883;
constexpr std::chrono::seconds kBackoffLongest{60};

Failure bad_url(std::string_view url, std::string_view why) {
    return Failure(kExitUsage, fmt::format("--mqtt '{}': {} (expected mqtt://host[:port] or "
                                           "mqtts://host[:port])",
                                           url, why));
}

} // namespace

// ---- where the broker is ----

BrokerUrl parse_broker_url(std::string_view url) {
    BrokerUrl b;
    std::string_view rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        b.port = kPortMqtt;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        b.tls = true;
        b.port = kPortMqtts;
    } else {
        throw bad_url(url, "unknown scheme");
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.remove_suffix(1);
    }
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            throw bad_url(url, "no ']' after the IPv6 address");
        }
        b.host = std::string(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            throw bad_url(url, "text after the address");
        }
        if (!rest.empty()) {
            port = rest.substr(1);
        }
    } else {
        const size_t colon = rest.find(':');
        b.host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = rest.substr(colon + 1);
        }
    }
    if (b.host.empty()) {
        throw bad_url(url, "no host");
    }
    if (b.host.find_first_of("/?@ ") != std::string::npos) {
        throw bad_url(url, "a path, query or user in the URL (use --mqtt-user)");
    }
    if (port.data() != nullptr && (port.empty() || rest.find(':') != rest.rfind(':'))) {
        throw bad_url(url, "bad port");
    }
    if (!port.empty()) {
        int p = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
        if (ec != std::errc() || end != port.data() + port.size() || p < 1 || p > 65535) {
            throw bad_url(url, fmt::format("bad port '{}'", port));
        }
        b.port = p;
    }
    return b;
}

// ---- names ----

std::string topic_level(std::string_view name) {
    std::string s;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        s += (c == '/' || c == '+' || c == '#' || u <= 0x20 || u == 0x7F) ? '_' : c;
    }
    return s.empty() ? "unknown" : s;
}

std::string initial_vehicle(std::string_view configured) {
    if (!configured.empty()) {
        return topic_level(configured);
    }
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') {
        return "unknown";
    }
    return topic_level(name.data());
}

std::string client_id_for(std::string_view vehicle, bool replay) {
    return fmt::format("vehcan-{}{}", topic_level(vehicle), replay ? "-replay" : "");
}

// ---- reconnect back-off ----

std::chrono::seconds Backoff::next() {
    current_ =
        current_.count() == 0 ? std::chrono::seconds(1) : std::min(current_ * 2, kBackoffLongest);
    return current_;
}

// ---- rate limit ----

RateLimiter::RateLimiter(double hz)
    : interval_us_(hz > 0 ? static_cast<int64_t>(std::llround(1e6 / hz)) : 0) {}

bool RateLimiter::admit(uint32_t pgn, int source, int64_t time_us) {
    if (interval_us_ == 0) {
        return true;
    }
    auto [it, first] = last_us_.try_emplace({pgn, source}, time_us);
    if (first) {
        return true;
    }
    if (time_us - it->second < interval_us_) {
        return false;
    }
    it->second = time_us;
    return true;
}

// ---- backlog ----

void Backlog::push(Outgoing m) {
    if (queue_.size() == capacity_) {
        queue_.pop_front();
        ++dropped_;
    }
    queue_.push_back(std::move(m));
}

void Backlog::push_front(std::vector<Outgoing> messages) {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        queue_.push_front(std::move(*it));
    }
    while (queue_.size() > capacity_) {
        queue_.pop_front();
        ++dropped_;
    }
}

Outgoing Backlog::pop() {
    Outgoing m = std::move(queue_.front());
    queue_.pop_front();
    return m;
}

// ---- active trouble codes ----

bool TroubleCodeState::active(const nlohmann::json &node) {
    if (!node["dtcs"].empty()) {
        return true;
    }
    for (const auto &[lamp, state] : node["lamps"].items()) {
        if (state != "off") {
            return true;
        }
    }
    return false;
}

// What a change is judged by: the lamps and each code's SPN and FMI (an
// occurrence count that grows is no new fault).
std::string TroubleCodeState::key(const nlohmann::json &node) {
    std::vector<std::pair<long, int>> codes;
    for (const auto &c : node["dtcs"]) {
        codes.emplace_back(c.value("spn", 0L), c.value("fmi", 0));
    }
    std::sort(codes.begin(), codes.end());
    std::string k = node["lamps"].dump();
    for (const auto &[spn, fmi] : codes) {
        k += fmt::format(";{}/{}", spn, fmi);
    }
    return k;
}

std::optional<std::string> TroubleCodeState::update(int source, const nlohmann::json &dm1) {
    const nlohmann::json node{{"lamps", dm1.value("lamps", nlohmann::json::object())},
                              {"dtcs", dm1.value("dtcs", nlohmann::json::array())}};
    const auto it = nodes_.find(source);
    const bool was = it != nodes_.end();
    const bool now = active(node);
    bool changed = was != now;
    if (was && now) {
        changed = key(it->second) != key(node);
    }
    if (now) {
        nodes_[source] = node;
    } else if (was) {
        nodes_.erase(it);
    }
    if (!changed && published_) {
        return std::nullopt;
    }
    published_ = true;
    nlohmann::json nodes = nlohmann::json::array();
    for (const auto &[s, n] : nodes_) {
        nlohmann::json e = n;
        if (s >= 0) {
            e["source"] = s;
        }
        nodes.push_back(e);
    }
    nlohmann::json payload{{"nodes", nodes}};
    for (const char *field : {"time", "timestamp", "seq"}) {
        if (dm1.contains(field)) {
            payload[field] = dm1[field];
        }
    }
    return payload.dump();
}

} // namespace vehcan::cli
