// SPDX-License-Identifier: MIT
// The parameter groups that the simulated truck sends and answers, shared by
// vehcan-sim and the rig tests that check what arrives.
#ifndef VEHCAN_TOOLS_SIM_TRUCK_PGNS_H
#define VEHCAN_TOOLS_SIM_TRUCK_PGNS_H

#include <cstdint>

namespace vehcan::sim::pgn {

constexpr uint32_t kPgnDm13 = 57088; // stop/start broadcast
constexpr uint32_t kPgnAcknowledgement = 59392;
constexpr uint32_t kPgnRequest = 59904;
constexpr uint32_t kPgnAddressClaimed = 60928;
constexpr uint32_t kPgnEec1 = 61444;
constexpr uint32_t kPgnDm23 = 64949;
constexpr uint32_t kPgnDm24 = 64950;
constexpr uint32_t kPgnDm25 = 64951;
constexpr uint32_t kPgnEcuIdentification = 64965;
constexpr uint32_t kPgnDriverIdentification = 65131;
constexpr uint32_t kPgnTco1 = 65132;
constexpr uint32_t kPgnVdhr = 65217;
constexpr uint32_t kPgnDm1 = 65226;
constexpr uint32_t kPgnDm2 = 65227;
constexpr uint32_t kPgnDm3 = 65228;
constexpr uint32_t kPgnDm4 = 65229;
constexpr uint32_t kPgnDm5 = 65230;
constexpr uint32_t kPgnDm6 = 65231;
constexpr uint32_t kPgnDm11 = 65235;
constexpr uint32_t kPgnDm12 = 65236;
constexpr uint32_t kPgnSoftwareIdentification = 65242;
constexpr uint32_t kPgnHours = 65253;
constexpr uint32_t kPgnLfc = 65257;
constexpr uint32_t kPgnComponentIdentification = 65259;
constexpr uint32_t kPgnVehicleIdentification = 65260;
constexpr uint32_t kPgnEt1 = 65262;
constexpr uint32_t kPgnCcvs = 65265;
constexpr uint32_t kPgnFlood = 0xFF10; // proprietary B, numbered flood frames

} // namespace vehcan::sim::pgn

#endif
