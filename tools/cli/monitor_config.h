// SPDX-License-Identifier: MIT
// The configuration file's settings as the options of vehcan monitor.
#ifndef VEHCAN_CLI_MONITOR_CONFIG_H
#define VEHCAN_CLI_MONITOR_CONFIG_H

#include "commands.h"

#include <service_config.h>

#include <set>
#include <string>

namespace vehcan::cli {

// Sets each option of o that the file sets, unless o.given names it (given
// on the command line, which overrides the file). The password from the
// file or credential always applies: no option carries one.
void apply_config(const service::ServiceConfig &c, MonitorOptions &o);

// The file's [collection] and [[signal]] tables (the compact uplink's
// campaign) onto m, unless given names --uplink or --exact.
void apply_collection(const service::ServiceConfig &c, MqttOptions &m,
                      const std::set<std::string> &given);

// Whether two sets of uplink options make the same connection.
bool same_uplink(const MqttOptions &a, const MqttOptions &b);

} // namespace vehcan::cli

#endif
