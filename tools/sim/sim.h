// SPDX-License-Identifier: MIT
// Shared pieces of vehcan-sim: its options, the bus-rate gate and the run
// modes (the truck, the flood, the raw transport scenarios).
#ifndef VEHCAN_TOOLS_SIM_SIM_H
#define VEHCAN_TOOLS_SIM_SIM_H

#include "can_link.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>

namespace vehcan::sim {

struct Options {
    std::string interface = "can1"; // where the simulated ECUs sit
    std::string watch = "can0";     // the controller whose rate the gate compares
    uint32_t bus_rate = 500000;     // the simulated bus's bit rate
    bool gate = true;
    double duration_s = 0;    // truck mode: 0 runs until SIGINT/SIGTERM
    bool drive = false;       // truck mode: follow the drive cycle instead of fixed values
    bool parked = false;      // truck mode: standing still with the engine at idle
    bool diag_ecus = false;   // truck mode: a transmission, brakes and a body controller too
    double drive_start_s = 0; // where in the drive cycle to begin
    double flood_s = 0;       // > 0: flood mode for that long
    double flood_rate = 0;    // flood frames per second; 0: as fast as the bus takes
    std::string scenario;     // non-empty: send one raw transport scenario
    std::string vin = "1HTMKAAN0CH123456";
    std::string second_vin = "2FRHDUYS2Y1234567";
    std::string report;   // file for the flood's or truck's counts
    std::string road_log; // non-empty: write a road drive as a candump log there
    uint32_t seed = 1;    // the road drive's
    bool quiet = false;
};

// Set by SIGINT and SIGTERM.
extern volatile std::sig_atomic_t g_stop;

using Clock = std::chrono::steady_clock;

// A physical bus looks silent to a controller set to another rate, and a
// controller that is down sees nothing: the simulator transmits only while
// the watched interface is up at the simulated rate. Re-reads the link at
// most every 50 ms.
class BusGate {
  public:
    explicit BusGate(const Options &options);
    bool open();
    // Waits up to timeout for the gate to open; false on time-out or stop.
    bool wait_open(std::chrono::milliseconds timeout);

  private:
    LinkWatcher watcher_;
    uint32_t rate_;
    bool enabled_;
    bool last_ = false;
    Clock::time_point next_check_{};
};

// Microseconds of the monotonic clock, truncated to 32 bits: the send time
// that flood payloads carry. Receivers in the same machine compare it with
// their own reading, modulo 2^32.
uint32_t monotonic_microseconds32();

int run_truck(const Options &options);
// A raw CAN socket on the interface ifindex that only sends (its filter
// list is empty). Returns the descriptor, or -1 with errno set.
int open_raw_sender(unsigned ifindex);

int run_flood(const Options &options);
int run_scenario(const Options &options);

// Names of the raw transport scenarios, for the usage text.
const char *scenario_names();

} // namespace vehcan::sim

#endif
