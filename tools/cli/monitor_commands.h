// SPDX-License-Identifier: MIT
// Commands from the fleet in vehcan monitor (docs/commands.md): the
// service's commands (tools/service/command_service.h) opened from the
// configuration, the route of the uplink's command messages to them, and
// their answers through the uplink. The uplink's thread may deliver a
// message while the commands are being taken down: the route is closed
// first, then the worker stops.
#ifndef VEHCAN_CLI_MONITOR_COMMANDS_H
#define VEHCAN_CLI_MONITOR_COMMANDS_H

#include "commands.h"
#include "uplink.h"

#include <command_service.h>

#include <mutex>
#include <optional>

namespace vehcan::cli {

class MonitorCommands {
  public:
    MonitorCommands() = default;
    ~MonitorCommands() { stop(); }
    MonitorCommands(const MonitorCommands &) = delete;
    MonitorCommands &operator=(const MonitorCommands &) = delete;

    // Opens the record (in o.mqtt.spool_dir) when the configuration enables
    // commands and the monitor has a broker and a spool directory; otherwise,
    // or when the record cannot be opened, says in the journal why the
    // command topic is not subscribed.
    void open(const MonitorOptions &o);
    bool on() const { return service_.has_value(); }
    // (on() only)
    service::CommandService &service() { return *service_; }

    // The uplink's command sink; empty when commands are off.
    CommandSink sink();

    // Answers go through this uplink from now on; null: held meanwhile
    // (while a reload replaces it). The uplink must outlive the next call.
    void answer_through(Uplink *uplink);

    // Closes the route, then stops the worker (its running operation ends
    // first): before the address the operations send from goes.
    void stop();

  private:
    std::optional<service::CommandService> service_;
    std::mutex mutex_;
    bool route_open_ = false; // under mutex_
};

} // namespace vehcan::cli

#endif
