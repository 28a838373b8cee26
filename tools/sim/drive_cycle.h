// SPDX-License-Identifier: MIT
// The simulated truck's drive cycle: what the engine and the tachograph
// report at a given time, repeating every kDriveCyclePeriod seconds. The
// truck idles, pulls away, cruises, slows down and idles again; the coolant
// overheats during the cruise, which raises the DM1 fault (SPN 110, FMI 16)
// until it has cooled down.
#ifndef VEHCAN_TOOLS_SIM_DRIVE_CYCLE_H
#define VEHCAN_TOOLS_SIM_DRIVE_CYCLE_H

#include <cstdint>
#include <vector>

namespace vehcan::sim {

constexpr double kDriveCyclePeriod = 180.0; // seconds
// The coolant temperature from which the engine reports its fault.
constexpr double kOverheatCelsius = 100.0;

struct DriveState {
    double engine_rpm = 0;
    double vehicle_kmh = 0;
    double coolant_celsius = 0;
    bool overheat = false; // coolant_celsius >= kOverheatCelsius
};

// The state at t seconds into the cycle (any t >= 0; it repeats).
DriveState drive_state(double t);

// The state's parameters written into the payloads that carry them, each
// an 8-byte payload of its PGN: EEC1 bytes 4-5 (0.125 rpm/bit), ET1 byte 1
// (1 degC/bit, offset -40), CCVS bytes 2-3 and TCO1 bytes 7-8
// (1/256 km/h per bit). Other bytes are left as they are.
void write_engine_speed(std::vector<uint8_t> &eec1, double rpm);
void write_coolant(std::vector<uint8_t> &et1, double celsius);
void write_wheel_speed(std::vector<uint8_t> &ccvs, double kmh);
void write_tachograph_speed(std::vector<uint8_t> &tco1, double kmh);

} // namespace vehcan::sim

#endif
