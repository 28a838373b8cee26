// SPDX-License-Identifier: MIT
#include "monitor_service.h"

#include <fmt/format.h>

namespace vehcan::service {

MonitorService::MonitorService() = default;

void MonitorService::before_stack() {
    before_ = process_threads();
}

void MonitorService::stack_up(int bitrate) {
    bitrate_ = bitrate;
    std::set<pid_t> started;
    for (const pid_t tid : process_threads()) {
        if (before_.count(tid) == 0) {
            started.insert(tid);
        }
    }
    threads_.watch(started, Clock::now());
    if (notifier_.watchdog_interval() > Clock::duration::zero() && started.empty()) {
        log_line(Priority::kWarning, "the stack started no thread of its own to watch");
    }
}

std::string MonitorService::status(unsigned long messages, const std::string &broker,
                                   Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - last_status_).count();
    const double rate = last_status_ == Clock::time_point{} || seconds <= 0
                            ? 0.0
                            : static_cast<double>(messages - last_messages_) / seconds;
    last_messages_ = messages;
    last_status_ = now;
    return status_text(bitrate_, messages, rate, broker);
}

void MonitorService::ready(unsigned long messages, const std::string &broker) {
    notifier_.ready(status(messages, broker, Clock::now()));
}

void MonitorService::tick(unsigned long messages, const std::string &broker) {
    if (!notifier_.managed()) {
        return;
    }
    const auto now = Clock::now();
    if (now - last_status_ >= kStatusEvery) {
        notifier_.status(status(messages, broker, now));
    }
    const auto interval = notifier_.watchdog_interval();
    if (interval <= Clock::duration::zero() || now - last_watchdog_ < interval / 4) {
        return;
    }
    if (threads_.alive(now)) {
        notifier_.watchdog();
        last_watchdog_ = now;
        reported_stuck_ = false;
    } else if (!reported_stuck_) {
        log_line(Priority::kError,
                 fmt::format("the stack's thread {} has stopped: the watchdog is no longer fed",
                             threads_.stuck()));
        reported_stuck_ = true;
    }
}

} // namespace vehcan::service
