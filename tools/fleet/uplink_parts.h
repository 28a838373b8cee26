// SPDX-License-Identifier: MIT
// The parts of the MQTT uplink that need no broker: the broker address, the
// topic and client names, the reconnect back-off, the per-(PGN, sender)
// rate limit, the bounded backlog and the active trouble-code state.
#ifndef VEHCAN_FLEET_UPLINK_PARTS_H
#define VEHCAN_FLEET_UPLINK_PARTS_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vehcan::cli {

// ---- where the broker is ----

struct BrokerUrl {
    bool tls = false; // mqtts://
    std::string host;
    int port = 0; // 1883 for mqtt://, 8883 for mqtts:// when the URL names none
};
// "mqtt://host[:port]" or "mqtts://host[:port]"; "[::1]:1883" for an IPv6
// address. Throws Failure(kExitUsage) naming what is wrong.
BrokerUrl parse_broker_url(std::string_view url);

// The compact link's status refreshes its counters at most this often (and
// at each connection): each refresh is some 250 bytes on the link, and an
// hour is the unit a fleet budgets its link in.
inline constexpr auto kStatusRefresh = std::chrono::hours(1);

// ---- names ----

// The vehicle's name as one topic level: '/', '+', '#', control characters
// and spaces become '_'; an empty name becomes "unknown".
std::string topic_level(std::string_view name);
// The vehicle's topic level before the VIN is known: the configured name
// (--vehicle, mqtt.vehicle), or this machine's host name without one.
std::string initial_vehicle(std::string_view configured);
// "vehcan-<vehicle>": a broker lets one connection per client id, so each
// vehicle (and each replay, which adds "-replay") has its own.
std::string client_id_for(std::string_view vehicle, bool replay);

// ---- reconnect back-off ----

// 1 s after the first failure, doubling to at most 60 s; reset() once a
// connection is up. Not thread-safe.
class Backoff {
  public:
    std::chrono::seconds next();
    void reset() { current_ = std::chrono::seconds(0); }

  private:
    std::chrono::seconds current_{0};
};

// ---- rate limit ----

// Lets through at most hz messages a second for each (PGN, sender): a
// message passes when none of its kind passed before or the last one that
// passed is at least 1/hz older (by the messages' own time stamps, so a
// replay is limited by its capture's clock). hz <= 0 lets everything pass.
class RateLimiter {
  public:
    explicit RateLimiter(double hz);
    bool admit(uint32_t pgn, int source, int64_t time_us);

  private:
    int64_t interval_us_;
    std::map<std::pair<uint32_t, int>, int64_t> last_us_;
};

// ---- backlog ----

struct Outgoing {
    std::string topic;
    std::string payload;
    bool retain = false;
    // Compact batches: the connection it was made on (0: none), so that one
    // sent on a later connection is marked historical. Not kept by the spool.
    uint64_t generation = 0;
    // The QoS it goes out with; -1: the uplink's (--qos). Not kept by the spool.
    int qos = -1;
};

// The messages waiting for the broker, oldest first, at most capacity of
// them: a push into a full backlog drops the oldest and counts it.
// Not thread-safe; the uplink guards it.
class Backlog {
  public:
    explicit Backlog(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
    void push(Outgoing m);
    // Puts messages that were sent but not acknowledged back in front, in
    // their order, so that they go out again first; beyond the capacity the
    // oldest are dropped and counted.
    void push_front(std::vector<Outgoing> messages);
    bool empty() const { return queue_.empty(); }
    size_t size() const { return queue_.size(); }
    Outgoing pop();
    uint64_t dropped() const { return dropped_; }

  private:
    size_t capacity_;
    std::deque<Outgoing> queue_;
    uint64_t dropped_ = 0;
};

// ---- active trouble codes ----

// Whether a changed DM1 (its payload as TroubleCodeState gives it) opens an
// event window: the first DM1 of a run is news only when it reports a fault.
inline bool dm1_is_news(bool seen_before, const std::string &payload) {
    return seen_before || payload.find("\"dtcs\"") != std::string::npos;
}

// The vehicle's active trouble codes and lamps, per sender, from the JSON
// of its DM1 messages. update() answers the new retained payload when the
// set of codes (SPN, FMI) or a lamp changed, and nothing otherwise.
// Payload: {"time":T,"timestamp":..,"seq":N,"nodes":[{"source":S,"lamps":{..},
// "dtcs":[..]}]} (time, timestamp and seq those of the DM1 that changed it), a node
// present while it reports a code or a lamp that is not off; "nodes":[] once
// every fault cleared.
class TroubleCodeState {
  public:
    std::optional<std::string> update(int source, const nlohmann::json &dm1);

  private:
    // A node's state: {"lamps":{..},"dtcs":[..]}.
    static bool active(const nlohmann::json &node);
    static std::string key(const nlohmann::json &node);
    std::map<int, nlohmann::json> nodes_;
    bool published_ = false;
};

} // namespace vehcan::cli

#endif
