// SPDX-License-Identifier: MIT
// replay --uplink-cost: what a capture would cost on the link in each
// uplink mode (the collection in force, exact, json), per PGN, counted as
// the MQTT packets the broker would receive, without a broker.
#ifndef VEHCAN_CLI_UPLINK_COST_H
#define VEHCAN_CLI_UPLINK_COST_H

#include "uplink.h"
#include "uplink_message.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace vehcan::cli {

class UplinkCost {
  public:
    // o: the uplink options the capture would run with (topic prefix,
    // vehicle, QoS, collection).
    // save_dir: also write each birth and batch of the collection in force
    // there, numbered in the order published ("0001-birth.pb", "0002-batch.pb").
    explicit UplinkCost(const MqttOptions &o, std::string save_dir = "");
    ~UplinkCost();
    UplinkCost(const UplinkCost &) = delete;
    UplinkCost &operator=(const UplinkCost &) = delete;

    void frame(int64_t unix_us, uint32_t id, const uint8_t *data, size_t len);
    // One message: m for the compact modes, json as --uplink json would
    // publish it.
    void message(const UplinkMessage &m, const nlohmann::json &json);
    // The capture ended at end_us (µs since 1970): what the encoders hold
    // goes out; then the report, per vehicle-hour of a capture that began at
    // start_us, on out (as one JSON object with as_json).
    void report(std::FILE *out, const std::string &file, int64_t start_us, int64_t end_us,
                bool as_json);

  private:
    struct Mode;
    void publish(Mode &mode, uint32_t pgn, const std::string &topic, size_t payload);
    void drain(Mode &mode);
    std::string topic(const char *leaf) const;

    MqttOptions o_;
    std::string vehicle_;
    std::vector<std::unique_ptr<Mode>> modes_; // the collection, exact, json
    std::string save_dir_;
    unsigned saved_ = 0;
};

} // namespace vehcan::cli

#endif
