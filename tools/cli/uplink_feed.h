// SPDX-License-Identifier: MIT
// The decoded message in the form the compact uplink takes it: each field
// with its scaling, range and the sender's indicators (uplink_message.h).
#ifndef VEHCAN_CLI_UPLINK_FEED_H
#define VEHCAN_CLI_UPLINK_FEED_H

#include "decode.h"
#include "uplink.h"
#include "uplink_message.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>

namespace vehcan::cli {

// The message m for the compact uplink: d is its decoding, data and len its
// payload (borrowed by the result), unix_us when it was heard, source its
// sender (-1: not known). A DM1 and the vehicle identification carry their
// JSON (to_json() with "time" seconds and "timestamp"), which *json_store
// keeps for the call.
UplinkMessage uplink_message(const Decoded &d, const uint8_t *data, size_t len, int64_t unix_us,
                             int source, double seconds, std::optional<nlohmann::json> &json_store);

// Sends one message to a compact uplink.
void feed_compact(Uplink &uplink, const Decoded &d, const uint8_t *data, size_t len,
                  int64_t unix_us, int source, double seconds);

} // namespace vehcan::cli

#endif
