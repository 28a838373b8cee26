// SPDX-License-Identifier: MIT
// A drive on the road as a truck's bus reports it, written as a candump log
// without a bus: town, country road and motorway stretches with stops,
// gear changes (the engine speed drops at each upshift), a torque that
// follows the pull and the grade, sensor noise on the engine speed, a
// coolant that warms with the load (and overheats once, raising the DM1
// fault until it cooled down), and the running totals (distance, fuel,
// hours) counting up. Beside the groups vehcan decodes, the transmission's
// (ETC1, ETC2), an aftertreatment group and a proprietary one go out at
// their usual rates, as on a real truck. Deterministic for a seed.
#ifndef VEHCAN_TOOLS_SIM_ROAD_DRIVE_H
#define VEHCAN_TOOLS_SIM_ROAD_DRIVE_H

#include <cstdint>
#include <ostream>
#include <string>

namespace vehcan::sim {

struct RoadDriveOptions {
    double seconds = 3600;
    double start_unix_s = 1796000000; // the log's first time stamp
    uint32_t seed = 1;
    std::string interface = "can0";
    std::string vin = "1HTMKAAN0CH123456";
};

// Writes the drive to out in candump -l form; returns the frames written.
uint64_t write_road_drive(std::ostream &out, const RoadDriveOptions &o);

} // namespace vehcan::sim

#endif
