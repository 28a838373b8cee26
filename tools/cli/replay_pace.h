// SPDX-License-Identifier: MIT
// Paces a replay by its capture's time stamps: speed 1 plays the frames at
// the pace they were recorded, 2 twice as fast, 0 (or a capture without
// time stamps) as fast as they can be read.
#ifndef VEHCAN_CLI_REPLAY_PACE_H
#define VEHCAN_CLI_REPLAY_PACE_H

#include "candump.h"

#include <chrono>
#include <cstdint>
#include <thread>

namespace vehcan::cli {

class ReplayPace {
  public:
    explicit ReplayPace(double speed) : speed_(speed) {}

    // Sleeps until frame f is due: its time after the first frame's, divided
    // by the speed, after the first frame was let through.
    void wait_for(const CanFrame &f) {
        if (speed_ <= 0 || !f.has_time) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!started_) {
            started_ = true;
            first_us_ = f.time_us;
            wall_start_ = now;
            return;
        }
        const auto due = wall_start_ + std::chrono::microseconds(static_cast<int64_t>(
                                           static_cast<double>(f.time_us - first_us_) / speed_));
        if (due > now) {
            std::this_thread::sleep_until(due);
        }
    }

  private:
    double speed_;
    bool started_ = false;
    int64_t first_us_ = 0;
    std::chrono::steady_clock::time_point wall_start_{};
};

} // namespace vehcan::cli

#endif
