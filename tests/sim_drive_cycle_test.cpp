// SPDX-License-Identifier: MIT
// The simulated truck's drive cycle: idle, pull away, cruise and overheat,
// cool down, slow down; and the bytes its values are sent in.
#include "drive_cycle.h"

#include <gtest/gtest.h>
#include <vector>

using namespace vehcan::sim;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DriveCycle, IdlesThenDrivesAndOverheatsDuringTheCruise) {
    const DriveState start = drive_state(0);
    EXPECT_DOUBLE_EQ(start.engine_rpm, 650);
    EXPECT_DOUBLE_EQ(start.vehicle_kmh, 0);
    EXPECT_DOUBLE_EQ(start.coolant_celsius, 92);
    EXPECT_FALSE(start.overheat);

    const DriveState pulling = drive_state(25); // half-way through the pull-away
    EXPECT_NEAR(pulling.engine_rpm, 1125, 25.0 + 1e-9);
    EXPECT_DOUBLE_EQ(pulling.vehicle_kmh, 42.5);
    EXPECT_DOUBLE_EQ(pulling.coolant_celsius, 97);
    EXPECT_FALSE(pulling.overheat);

    const DriveState hot = drive_state(60);
    EXPECT_DOUBLE_EQ(hot.coolant_celsius, 104);
    EXPECT_TRUE(hot.overheat);
    EXPECT_DOUBLE_EQ(hot.vehicle_kmh, 82);

    // The fault comes at 100 degC on the way up and goes below it later.
    EXPECT_FALSE(drive_state(36).overheat);
    EXPECT_TRUE(drive_state(37).overheat);
    EXPECT_TRUE(drive_state(77).overheat);
    EXPECT_FALSE(drive_state(78).overheat);
    EXPECT_DOUBLE_EQ(drive_state(170).vehicle_kmh, 0);
}

TEST(DriveCycle, EngineSpeedNeverStandsStillAndTheCycleRepeats) {
    EXPECT_NE(drive_state(100).engine_rpm, drive_state(101).engine_rpm);
    EXPECT_NE(drive_state(2).engine_rpm, drive_state(3).engine_rpm); // idling too
    for (double t : {0.0, 12.5, 61.0, 179.0}) {
        EXPECT_NEAR(drive_state(t + kDriveCyclePeriod).engine_rpm, drive_state(t).engine_rpm, 1e-6);
        EXPECT_NEAR(drive_state(t + 2 * kDriveCyclePeriod).coolant_celsius,
                    drive_state(t).coolant_celsius, 1e-6);
    }
}

TEST(DriveCycle, ValuesLandInTheirBytes) {
    Bytes eec1 = {0xF0, 0x7D, 0x8C, 0x00, 0x00, 0x00, 0xF0, 0x7D};
    write_engine_speed(eec1, 1500);
    EXPECT_EQ(eec1, (Bytes{0xF0, 0x7D, 0x8C, 0xE0, 0x2E, 0x00, 0xF0, 0x7D}));
    Bytes et1 = {0x00, 0x46, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    write_coolant(et1, 90);
    EXPECT_EQ(et1, (Bytes{0x82, 0x46, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    Bytes ccvs = {0xFF, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
    write_wheel_speed(ccvs, 80);
    EXPECT_EQ(ccvs, (Bytes{0xFF, 0x00, 0x50, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}));
    Bytes tco1 = {0x43, 0x10, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
    write_tachograph_speed(tco1, 85.5);
    EXPECT_EQ(tco1, (Bytes{0x43, 0x10, 0x00, 0xFF, 0xFF, 0xFF, 0x80, 0x55}));
    // Short payloads are left alone.
    Bytes short_one = {0x01, 0x02};
    write_engine_speed(short_one, 1500);
    EXPECT_EQ(short_one, (Bytes{0x01, 0x02}));
}

} // namespace
