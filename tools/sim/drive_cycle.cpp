// SPDX-License-Identifier: MIT
// The drive cycle as a table of phases: each phase moves the engine speed,
// the vehicle speed and the coolant temperature linearly from where the last
// one ended, with a small ripple on the engine speed so that it never stands
// still.
#include "drive_cycle.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace vehcan::sim {
namespace {

struct Phase {
    double until_s; // the phase ends at this time of the cycle
    double rpm;     // values reached at its end
    double kmh;
    double coolant;
};

// Starts (t = 0) at 650 rpm, 0 km/h, 92 degC.
constexpr DriveState kStart{650, 0, 92, false};
constexpr std::array kPhases{
    Phase{10, 650, 0, 93},    // idle
    Phase{40, 1600, 85, 101}, // pull away
    Phase{60, 1500, 82, 104}, // cruise, getting hot
    Phase{120, 1450, 80, 90}, // cruise, cooling down
    Phase{150, 650, 0, 89},   // slow down
    Phase{180, 650, 0, 92},   // idle
};
static_assert(kPhases.back().until_s == kDriveCyclePeriod);

constexpr double kRippleRpm = 25;
constexpr double kRipplePeriod = 7;

double lerp(double from, double to, double share) {
    return from + (to - from) * share;
}

uint16_t scaled16(double value, double per_bit) {
    return static_cast<uint16_t>(std::clamp(std::lround(value / per_bit), 0L, 0xFAFFL));
}

void put16(std::vector<uint8_t> &payload, size_t index, uint16_t raw) {
    if (payload.size() >= index + 2) {
        payload[index] = static_cast<uint8_t>(raw);
        payload[index + 1] = static_cast<uint8_t>(raw >> 8);
    }
}

} // namespace

DriveState drive_state(double t) {
    const double at = std::fmod(std::max(t, 0.0), kDriveCyclePeriod);
    DriveState from = kStart;
    double begin = 0;
    for (const Phase &p : kPhases) {
        if (at < p.until_s) {
            const double share = (at - begin) / (p.until_s - begin);
            DriveState s;
            s.engine_rpm = lerp(from.engine_rpm, p.rpm, share) +
                           kRippleRpm * std::sin(2 * std::numbers::pi * at / kRipplePeriod);
            s.vehicle_kmh = lerp(from.vehicle_kmh, p.kmh, share);
            s.coolant_celsius = lerp(from.coolant_celsius, p.coolant, share);
            s.overheat = s.coolant_celsius >= kOverheatCelsius;
            return s;
        }
        from = DriveState{p.rpm, p.kmh, p.coolant, false};
        begin = p.until_s;
    }
    return kStart;
}

void write_engine_speed(std::vector<uint8_t> &eec1, double rpm) {
    put16(eec1, 3, scaled16(rpm, 0.125));
}

void write_coolant(std::vector<uint8_t> &et1, double celsius) {
    if (!et1.empty()) {
        et1[0] = static_cast<uint8_t>(std::clamp(std::lround(celsius + 40), 0L, 250L));
    }
}

void write_wheel_speed(std::vector<uint8_t> &ccvs, double kmh) {
    put16(ccvs, 1, scaled16(kmh, 1.0 / 256));
}

void write_tachograph_speed(std::vector<uint8_t> &tco1, double kmh) {
    put16(tco1, 6, scaled16(kmh, 1.0 / 256));
}

} // namespace vehcan::sim
