// SPDX-License-Identifier: MIT
// The JSON of each diagnostic message's content, as vehcan diag prints it
// and the fleet's commands return it (docs/diagnostics.md lists every
// field). Keys are stable; new ones may be added, none renamed.
#ifndef VEHCAN_DIAG_DM_JSON_H
#define VEHCAN_DIAG_DM_JSON_H

#include "dm_layouts.h"

#include <nlohmann/json.hpp>
#include <string>

namespace vehcan::diag {

// "04FF6E00": upper-case hex, no separators.
std::string hex_string(ByteView bytes);

// {"spn":110,"fmi":16,"fmi_text":..,"occurrences":1,"conversion":"4",
//  "description":..(when named)}
nlohmann::json code_json(const TroubleCode &c);
// {"mil":"off","red_stop":"off","amber_warning":"on","protect":"off"}
nlohmann::json lamps_json(const Lamps &l, bool flash);
// {"lamps":{..},"flash":{..},"dtcs":[..]}
nlohmann::json code_list_json(const TroubleCodeList &l);
// [{..code..,"torque_mode":1,"torque_mode_text":..,"boost":..,"engine_speed":..,
//   "engine_load":..,"coolant_temperature":..,"vehicle_speed":..,"manufacturer":"A1B2"}]
nlohmann::json freeze_frames_json(const FreezeFrames &f);
// {"active":..,"previously_active":..,"obd_compliance":..,"obd_compliance_text":..,
//  "monitors":{"misfire":{"name":..,"continuous":true,"supported":..,"complete":..},..},
//  "monitors_supported":6,"monitors_complete":4}
nlohmann::json readiness_json(const Readiness &r);
// [{"spn":190,"length":2,"expanded_freeze_frame":true,"data_stream":true,"test_results":false}]
nlohmann::json spn_support_json(const SpnSupport &s);
// [{..code..,"values":[{"spn":190,"name":..,"value":1500,"unit":"rpm","raw":"E02E"}],
//   "manufacturer":"..", "undecoded":".." (without a DM24)}]
nlohmann::json expanded_freeze_frames_json(const ExpandedFreezeFrames &f);

} // namespace vehcan::diag

#endif
