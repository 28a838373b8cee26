// SPDX-License-Identifier: MIT
// The configuration file's settings as the options of vehcan monitor.
#ifndef VEHCAN_SERVICE_MONITOR_CONFIG_H
#define VEHCAN_SERVICE_MONITOR_CONFIG_H

#include "commands.h"
#include "service_config.h"

#include <set>
#include <string>

namespace vehcan::service {

// Sets each option of o that the file sets, unless o.given names it (given
// on the command line, which overrides the file). The password from the
// file or credential always applies: no option carries one.
void apply_config(const ServiceConfig &c, cli::MonitorOptions &o);

// Whether two sets of uplink options make the same connection.
bool same_uplink(const cli::MqttOptions &a, const cli::MqttOptions &b);

} // namespace vehcan::service

#endif
