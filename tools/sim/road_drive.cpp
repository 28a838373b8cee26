// SPDX-License-Identifier: MIT
// A drive on the road as a candump log: see road_drive.h.
#include "road_drive.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace vehcan::sim {
namespace {

constexpr double kStepS = 0.01; // the model's tick and ETC1's period
constexpr std::array kGearRatios{14.9, 11.7, 9.0, 7.1, 5.5, 4.4, 3.4, 2.7, 2.1, 1.7, 1.3, 1.0};
constexpr double kAxleRatio = 2.8;
constexpr double kWheelRadiusM = 0.51;
constexpr double kIdleRpm = 600;
constexpr double kUpshiftRpm = 1650;
constexpr double kDownshiftRpm = 1050;

// A stretch of the drive: the speed it is driven at, for how long.
struct Stretch {
    double kmh;
    double seconds;
};

class Truck {
  public:
    explicit Truck(uint32_t seed) : random_(seed) {}

    // One tick: the driver's target speed, the truck's answer.
    void step(double target_kmh, double grade) {
        const double v = kmh_ / 3.6;
        const double wanted = (target_kmh / 3.6 - v) / 4.0; // close the gap in ~4 s
        accel_ = std::clamp(wanted, -1.2, 0.45 - 0.5 * std::max(0.0, grade) * 9.81 / 9.81);
        accel_ += noise_(random_) * 0.02;
        kmh_ = std::max(0.0, kmh_ + accel_ * kStepS * 3.6);
        if (kmh_ < 0.3 && target_kmh == 0) {
            kmh_ = 0;
        }
        // gears: up at the top of the band, down at its bottom
        const double wheel_rpm = kmh_ / 3.6 / (2 * M_PI * kWheelRadiusM) * 60;
        double rpm = wheel_rpm * kAxleRatio * kGearRatios[gear_];
        if (rpm > kUpshiftRpm && gear_ + 1 < kGearRatios.size()) {
            ++gear_;
            shift_s_ = 0.6; // the clutch is out, the engine drops
        } else if (rpm < kDownshiftRpm && gear_ > 0) {
            --gear_;
            shift_s_ = 0.4;
        }
        rpm = std::max(kIdleRpm, wheel_rpm * kAxleRatio * kGearRatios[gear_]);
        if (shift_s_ > 0) {
            shift_s_ -= kStepS;
            rpm = std::max(kIdleRpm, rpm * 0.92);
        }
        // a speed governor's ripple and the sensor's noise
        rpm_ += (rpm - rpm_) * 0.2;
        // load: the pull, the grade, rolling resistance
        const double pull = accel_ + 9.81 * (grade + 0.006) + 0.0004 * v * v;
        torque_ += (std::clamp(pull * 25.0 + 8.0, 0.0, 100.0) - torque_) * 0.05;
        if (shift_s_ > 0 || accel_ < -0.2) {
            torque_ *= 0.9;
        }
        // the coolant follows the load slowly; the thermostat holds ~90 degC
        const double heat = 85.0 + 0.2 * torque_ + hot_extra_;
        coolant_ += (heat - coolant_) * kStepS / 120.0;
        // totals
        distance_m_ += v * kStepS;
        fuel_l_ += (0.6 + 0.045 * torque_ * rpm_ / 1000.0) / 3600.0 * kStepS;
        hours_ += kStepS / 3600.0;
    }

    double rpm_reading() { return rpm_ + noise_(random_) * 1.5; }
    double kmh() const { return kmh_; }
    double torque() const { return torque_; }
    double coolant() const { return coolant_; }
    double distance_m() const { return distance_m_; }
    double fuel_l() const { return fuel_l_; }
    double hours() const { return hours_; }
    int gear() const { return static_cast<int>(gear_) + 1; }
    bool braking() const { return accel_ < -0.3; }
    void overheat(bool on) { hot_extra_ = on ? 18 : 0; }
    double noise() { return noise_(random_); }

  private:
    std::mt19937 random_;
    std::normal_distribution<double> noise_{0, 1};
    double kmh_ = 0;
    double accel_ = 0;
    double rpm_ = kIdleRpm;
    double torque_ = 8;
    double coolant_ = 82;
    double hot_extra_ = 0;
    double shift_s_ = 0;
    size_t gear_ = 0;
    double distance_m_ = 123456780;
    double fuel_l_ = 98765.5;
    double hours_ = 4321.5;
};

// ---- frames ----

class Log {
  public:
    Log(std::ostream &out, const RoadDriveOptions &o) : out_(out), o_(o) {}
    void frame(double t, uint32_t id, const std::vector<uint8_t> &data) {
        char line[96];
        const int n = std::snprintf(line, sizeof line, "(%.6f) %s %08X#", o_.start_unix_s + t,
                                    o_.interface.c_str(), id);
        std::string s(line, static_cast<size_t>(n));
        for (uint8_t b : data) {
            char hex[3];
            (void)std::snprintf(hex, sizeof hex, "%02X", b);
            s += hex;
        }
        out_ << s << '\n';
        ++frames_;
    }
    // A broadcast of more than 8 bytes: BAM, then its data frames (packed
    // closer than a real sender would, to keep the log in time order).
    void bam(double t, uint32_t pgn, uint8_t source, const std::vector<uint8_t> &payload) {
        const auto packets = static_cast<uint8_t>((payload.size() + 6) / 7);
        frame(t, 0x18ECFF00U | source,
              {0x20, static_cast<uint8_t>(payload.size()),
               static_cast<uint8_t>(payload.size() >> 8), packets, 0xFF, static_cast<uint8_t>(pgn),
               static_cast<uint8_t>(pgn >> 8), static_cast<uint8_t>(pgn >> 16)});
        for (uint8_t p = 0; p < packets; ++p) {
            std::vector<uint8_t> d{static_cast<uint8_t>(p + 1)};
            for (size_t i = 0; i < 7; ++i) {
                const size_t at = p * 7U + i;
                d.push_back(at < payload.size() ? payload[at] : 0xFF);
            }
            frame(t + 0.0001 * (p + 1), 0x18EBFF00U | source, d);
        }
    }
    uint64_t frames() const { return frames_; }

  private:
    std::ostream &out_;
    const RoadDriveOptions &o_;
    uint64_t frames_ = 0;
};

uint32_t id_of(uint32_t priority, uint32_t pgn, uint8_t source) {
    return priority << 26U | pgn << 8U | source;
}

void put(std::vector<uint8_t> &d, size_t at, uint64_t raw, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        d[at + i] = static_cast<uint8_t>(raw >> (8 * i));
    }
}

uint64_t scaled(double value, double resolution, double offset = 0) {
    return static_cast<uint64_t>(std::max(0.0, std::round((value - offset) / resolution)));
}

// The stretches of a drive, repeated as long as it lasts: town with stops,
// a country road, the motorway, town again, a stop at a depot.
std::vector<Stretch> route(std::mt19937 &random) {
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<Stretch> r;
    r.push_back({0, 60});
    for (int i = 0; i < 6; ++i) {
        r.push_back({30 + 20 * u(random), 40 + 50 * u(random)});
        r.push_back({0, 10 + 30 * u(random)}); // lights
    }
    for (int i = 0; i < 5; ++i) {
        r.push_back({60 + 20 * u(random), 90 + 120 * u(random)});
    }
    for (int i = 0; i < 6; ++i) {
        r.push_back({84 + 5 * u(random), 200 + 200 * u(random)});
    }
    for (int i = 0; i < 4; ++i) {
        r.push_back({25 + 25 * u(random), 40 + 60 * u(random)});
        r.push_back({0, 15 + 30 * u(random)});
    }
    r.push_back({0, 120});
    return r;
}

} // namespace

uint64_t write_road_drive(std::ostream &out, const RoadDriveOptions &o) {
    std::mt19937 random(o.seed * 7919U + 1);
    Truck truck(o.seed);
    Log log(out, o);
    const std::vector<Stretch> stretches = route(random);
    size_t stretch = 0;
    double stretch_left = stretches[0].seconds;
    double grade = 0;
    double grade_target = 0;
    bool overheat = false;
    bool fault = false;
    const auto ticks = static_cast<int64_t>(o.seconds / kStepS);
    std::vector<uint8_t> vin(o.vin.begin(), o.vin.end());
    vin.push_back('*');
    const std::string ids = "D1CARD000123456*D2CARD000654321*";
    for (int64_t i = 0; i < ticks; ++i) {
        const double t = static_cast<double>(i) * kStepS;
        stretch_left -= kStepS;
        if (stretch_left <= 0) {
            stretch = (stretch + 1) % stretches.size();
            stretch_left = stretches[stretch].seconds;
        }
        if (i % 1000 == 0) {
            grade_target = std::clamp(truck.noise() * 0.02, -0.05, 0.05);
        }
        grade += (grade_target - grade) * 0.002;
        // the overheat: once, a third of the way through, for three minutes
        overheat = t > o.seconds / 3 && t < o.seconds / 3 + 180;
        truck.overheat(overheat);
        truck.step(stretches[stretch].kmh, grade);
        auto every = [&](int64_t period_ms, int64_t phase_ms = 0) {
            return (i * 10 + phase_ms) % period_ms == 0;
        };
        // Within a 10 ms tick each group has its own slot, a little jitter
        // inside it, so that the log stays in time order.
        const double jitter = std::min(0.0009, 0.0002 * std::fabs(truck.noise()));
        // ETC1 (transmission, 10 ms): shaft speeds and the shift in progress
        {
            std::vector<uint8_t> d(8, 0xFF);
            d[0] = 0xC3;
            const double out_rpm = truck.kmh() / 3.6 / (2 * M_PI * kWheelRadiusM) * 60 * kAxleRatio;
            put(d, 1, scaled(out_rpm, 0.125), 2);
            d[3] = static_cast<uint8_t>(std::min(250.0, truck.torque()));
            put(d, 5, scaled(truck.rpm_reading(), 0.125), 2);
            log.frame(t + jitter, id_of(3, 61442, 0x03), d);
        }
        if (every(20)) { // EEC1: torque and engine speed
            std::vector<uint8_t> d(8, 0xFF);
            d[0] = truck.torque() > 1 ? 0x01 : 0x00;
            d[1] = static_cast<uint8_t>(std::clamp(truck.torque() + 125 + 3, 0.0, 250.0));
            d[2] = static_cast<uint8_t>(std::clamp(truck.torque() + 125, 0.0, 250.0));
            put(d, 3, scaled(truck.rpm_reading(), 0.125), 2);
            d[5] = 0x00;
            d[6] = 0xF0;
            d[7] = static_cast<uint8_t>(std::clamp(truck.torque() + 125, 0.0, 250.0));
            log.frame(t + 0.001 + jitter, id_of(3, 61444, 0x00), d);
        }
        if (every(50, 20)) { // EEC2: pedal and load
            std::vector<uint8_t> d(8, 0xFF);
            d[0] = 0xF0;
            d[1] = static_cast<uint8_t>(std::clamp(truck.torque() * 2.2, 0.0, 250.0));
            d[2] = static_cast<uint8_t>(std::clamp(truck.torque(), 0.0, 250.0));
            log.frame(t + 0.002 + jitter, id_of(3, 61443, 0x00), d);
        }
        if (every(50, 30)) { // TCO1 from the tachograph
            std::vector<uint8_t> d{0x43, 0x10, 0x00, 0xFF, 0xFF, 0xFF, 0, 0};
            d[0] = truck.kmh() > 0 ? 0x43 : 0x41;
            put(d, 6, scaled(truck.kmh() + 0.05 * truck.noise(), 1.0 / 256), 2);
            log.frame(t + 0.003 + jitter, id_of(3, 65132, 0xEE), d);
        }
        if (every(50, 40)) { // an aftertreatment group (no decoder)
            std::vector<uint8_t> d(8, 0xFF);
            put(d, 0, scaled(200 + 2 * truck.torque() + truck.noise(), 0.05, -200), 2);
            put(d, 2, scaled(400 + 3 * truck.torque(), 0.1), 2);
            log.frame(t + 0.004 + jitter, id_of(6, 61454, 0x3D), d);
        }
        if (every(100, 50)) { // CCVS: wheel speed, brake, cruise
            std::vector<uint8_t> d{0xF3, 0, 0, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF};
            put(d, 1, scaled(truck.kmh(), 1.0 / 256), 2);
            d[3] = static_cast<uint8_t>(0xC0 | (truck.braking() ? 0x10 : 0x00) |
                                        (truck.kmh() > 80 ? 0x01 : 0x00));
            log.frame(t + 0.005 + jitter, id_of(6, 65265, 0x00), d);
        }
        if (every(100, 60)) { // ETC2: the gear
            std::vector<uint8_t> d(8, 0xFF);
            d[0] = static_cast<uint8_t>(125 + truck.gear());
            d[3] = static_cast<uint8_t>(125 + truck.gear());
            log.frame(t + 0.006 + jitter, id_of(6, 61445, 0x03), d);
        }
        if (every(100, 70)) { // a proprietary group (no decoder), a counter in it
            std::vector<uint8_t> d(8, 0x00);
            put(d, 0, static_cast<uint64_t>(i / 10), 4);
            d[4] = static_cast<uint8_t>(truck.gear());
            log.frame(t + 0.007 + jitter, id_of(6, 65280, 0x27), d);
        }
        if (every(1000, 100)) { // once a second: ET1, LFC, HOURS, VDHR, DM1
            std::vector<uint8_t> et1(8, 0xFF);
            et1[0] = static_cast<uint8_t>(scaled(truck.coolant(), 1, -40));
            et1[1] = static_cast<uint8_t>(scaled(truck.coolant() - 4, 1, -40));
            log.frame(t + 0.0075, id_of(6, 65262, 0x00), et1);
            std::vector<uint8_t> lfc(8, 0xFF);
            put(lfc, 4, scaled(truck.fuel_l(), 0.5), 4);
            log.frame(t + 0.0076, id_of(6, 65257, 0x00), lfc);
            std::vector<uint8_t> hours(8, 0xFF);
            put(hours, 0, scaled(truck.hours(), 0.05), 4);
            log.frame(t + 0.0077, id_of(6, 65253, 0x00), hours);
            std::vector<uint8_t> vdhr(8, 0xFF);
            put(vdhr, 0, scaled(truck.distance_m(), 5), 4);
            log.frame(t + 0.0078, id_of(6, 65217, 0xEE), vdhr);
            // the fault comes at 100 degC and goes below 95 degC
            fault = fault ? truck.coolant() >= 95 : truck.coolant() >= 100;
            log.frame(t + 0.0079, id_of(6, 65226, 0x00),
                      fault ? std::vector<uint8_t>{0x04, 0xFF, 0x6E, 0x00, 0x10, 0x01, 0xFF, 0xFF}
                            : std::vector<uint8_t>{0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF});
        }
        if (every(5000, 300)) { // the driver ids, by BAM
            log.bam(t + 0.0082, 65131, 0xEE, std::vector<uint8_t>(ids.begin(), ids.end()));
        }
        if (every(60000, 500)) { // the VIN, asked for once a minute by a telematics unit
            log.bam(t + 0.0082, 65260, 0x00, vin);
        }
    }
    return log.frames();
}

} // namespace vehcan::sim
