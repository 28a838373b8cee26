// SPDX-License-Identifier: MIT
// What the gateway lets commands from the fleet do: the [commands] section
// of vehcan.conf (tools/service/service_config.cpp reads it into this).
#ifndef VEHCAN_COMMANDS_COMMAND_POLICY_H
#define VEHCAN_COMMANDS_COMMAND_POLICY_H

#include "signing.h"

#include <cstdint>
#include <set>
#include <string>

namespace vehcan::commands {

struct CommandPolicy {
    // Off unless the file turns it on: the service then does not subscribe
    // to the command topic at all.
    bool enabled = false;
    // The keys commands may be signed with (commands.keys and keys_file).
    KeyRing keys;
    // How far issued_at may be ahead of the gateway's clock.
    int64_t max_skew_s = 300;
    // The longest a command may be valid (expires_at - issued_at); it also
    // bounds how long the gateway keeps the record of a command.
    int64_t max_lifetime_s = 86400;
    // The operations commands may run; none unless listed.
    std::set<std::string, std::less<>> allowed_operations;
    // The PGNs `request` may ask for; none unless listed.
    std::set<uint32_t> allowed_pgns;
    // At most rate_limit commands accepted in any rate_period_s seconds
    // (a sliding window over the record, so a restart does not reset it).
    int64_t rate_limit = 10;
    int64_t rate_period_s = 60;
    // Frames a second that commands may put on the bus, all together.
    double transmit_rate = 20;
};

// How long the record of a command is kept after it expires: a clock set
// back by less than this cannot make a command new again.
inline constexpr int64_t kKeepAfterExpiryS = 86400;

} // namespace vehcan::commands

#endif
