// SPDX-License-Identifier: MIT
// What vehcan monitor tells the service manager, from bring-up to stop:
// READY=1 once the stack is up (and the uplink started), STATUS= every few
// seconds, WATCHDOG=1 while the stack's threads still turn. Does nothing
// but count when not started by systemd.
#ifndef VEHCAN_SERVICE_MONITOR_SERVICE_H
#define VEHCAN_SERVICE_MONITOR_SERVICE_H

#include "service_runtime.h"

#include <string>

namespace vehcan::service {

class MonitorService {
  public:
    MonitorService();

    // Around the stack's start: the threads that appear between the two
    // calls are the stack's, and the watchdog watches them.
    void before_stack();
    void stack_up(int bitrate);

    // READY=1 with the first status.
    void ready(unsigned long messages, const std::string &broker);

    // Each turn of the monitor loop (at least once a second): the status
    // every kStatusEvery, the watchdog every quarter of its interval while
    // the stack's threads turn.
    void tick(unsigned long messages, const std::string &broker);

    void reloading() { notifier_.reloading(); }
    void reloaded(unsigned long messages, const std::string &broker) { ready(messages, broker); }
    void stopping() { notifier_.stopping("stopping: committing the uplink, then offline"); }

    static constexpr auto kStatusEvery = std::chrono::seconds(5);
    // The stack's receiver wakes every 5 s without traffic.
    static constexpr auto kThreadWindow = std::chrono::seconds(12);

  private:
    std::string status(unsigned long messages, const std::string &broker, Clock::time_point now);

    Notifier notifier_;
    ThreadWatch threads_{kThreadWindow};
    std::set<pid_t> before_;
    int bitrate_ = 0;
    unsigned long last_messages_ = 0;
    Clock::time_point last_status_{};
    Clock::time_point last_watchdog_{};
    bool reported_stuck_ = false;
};

} // namespace vehcan::service

#endif
