// SPDX-License-Identifier: MIT
// Commands from the fleet in vehcan monitor: see monitor_commands.h.
#include "monitor_commands.h"

#include <service_runtime.h>

#include <fmt/format.h>

namespace vehcan::cli {

void MonitorCommands::open(const MonitorOptions &o) {
    namespace svc = vehcan::service;
    if (!o.commands.enabled) {
        return;
    }
    const char *off = ": the command topic is not subscribed";
    if (o.mqtt.url.empty()) {
        svc::log_line(svc::Priority::kWarning,
                      fmt::format("commands: enabled, but no [mqtt] url{}", off));
        return;
    }
    if (o.mqtt.spool_dir.empty()) {
        svc::log_line(svc::Priority::kError,
                      fmt::format("commands: their record lives in the spool's directory, and "
                                  "no [spool] dir is set{}",
                                  off));
        return;
    }
    try {
        service_.emplace(o.commands, o.mqtt.spool_dir, initial_vehicle(o.mqtt.vehicle));
    } catch (const commands::StoreError &e) {
        svc::log_line(svc::Priority::kError,
                      fmt::format("commands: the record cannot be opened: {}{}", e.what(), off));
        return;
    }
    svc::log_line(svc::Priority::kNotice,
                  fmt::format("commands: enabled, the record in {}", service_->record_path()));
    const std::lock_guard lock(mutex_);
    route_open_ = true;
}

CommandSink MonitorCommands::sink() {
    if (!service_) {
        return {};
    }
    return [this](const CommandMessage &m) {
        const std::lock_guard lock(mutex_);
        if (route_open_) {
            service_->receive(m.vehicle, m.payload, m.retained);
        }
    };
}

void MonitorCommands::answer_through(Uplink *uplink) {
    if (!service_) {
        return;
    }
    if (uplink == nullptr) {
        service_->attach({});
        return;
    }
    service_->attach(
        [uplink](const std::string &vehicle, const std::string &tail, const std::string &payload) {
            uplink->publish_result(vehicle, tail, payload);
        });
}

void MonitorCommands::stop() {
    {
        const std::lock_guard lock(mutex_);
        route_open_ = false;
    }
    service_.reset();
}

} // namespace vehcan::cli
