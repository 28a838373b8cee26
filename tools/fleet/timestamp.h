// SPDX-License-Identifier: MIT
// The absolute time and the sequence number that every message of the
// fleet link carries, so that a backend places a backlog that comes late
// and sees every gap and duplicate.
#ifndef VEHCAN_FLEET_TIMESTAMP_H
#define VEHCAN_FLEET_TIMESTAMP_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace vehcan::cli {

// "2026-12-10T00:11:37.000123Z": RFC 3339, UTC, microseconds, from
// microseconds since 1970 (negative ones count back from 1970). Correct for
// any time a 64-bit count holds, also where time_t has 32 bits.
std::string rfc3339_utc(int64_t unix_us);

// The wall clock now, in microseconds since 1970.
int64_t unix_now_us();

// Adds "timestamp" (rfc3339_utc(unix_us)) and "seq" to a message.
void stamp_message(nlohmann::json &message, int64_t unix_us, uint64_t seq);

} // namespace vehcan::cli

#endif
