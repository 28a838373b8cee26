// SPDX-License-Identifier: MIT
// Clearing trouble codes (DM3: previously active, DM11: active) in two
// steps, so that a person or a remote operator decides between them:
// prepare_clear() reads what would be lost; execute_clear() checks the
// vehicle at that moment, sends the clear, collects each ECU's answer
// (retrying a busy one), waits for the ECUs to settle and reads again to
// tell per ECU whether the codes are gone.
//
// The safety rule: nothing is cleared while the vehicle moves (wheel-based
// vehicle speed, SPN 84 in CCVS, above 0 in the last second) or while its
// speed is unknown (no valid SPN 84 heard in that second); active codes are
// not cleared while the engine runs (engine speed, SPN 190 in EEC1, above 0)
// or its speed is unknown, unless the caller allows a running engine.
#ifndef VEHCAN_DIAG_CLEAR_H
#define VEHCAN_DIAG_CLEAR_H

#include "read.h"

namespace vehcan::diag {

enum class ClearKind {
    previous, // DM3
    active,   // DM11
};

// ---- the safety check ------------------------------------------------------------------------

// What the bus said about the vehicle during one listening window.
struct LiveState {
    std::optional<double> vehicle_speed; // km/h: the highest valid SPN 84 heard
    std::optional<uint8_t> vehicle_speed_source;
    std::optional<double> engine_speed; // rpm: the highest valid SPN 190 heard
    std::optional<uint8_t> engine_speed_source;
    Milliseconds listened{0};
};
// Takes SPN 84 out of CCVS (bytes 2-3, 1/256 km/h) and SPN 190 out of EEC1
// (bytes 4-5, 0.125 rpm); other messages and values outside the valid
// range are ignored.
void take_live(LiveState &state, const BusEvent &event);
// Forgets what was received before, then listens for window.
LiveState listen_live(Bus &bus, Milliseconds window, const std::function<bool()> &interrupted);

enum class Refusal {
    none,
    moving,
    speed_unknown,
    engine_running,
    engine_speed_unknown,
};
struct SafetyVerdict {
    Refusal refusal = Refusal::none;
    std::string reason; // "" when allowed
};
SafetyVerdict judge_safety(const LiveState &live, ClearKind kind, bool engine_running_allowed);

// ---- the clear
// -----------------------------------------------------------------------------------

struct ClearOptions {
    ClearKind kind = ClearKind::previous;
    std::optional<uint8_t> to; // nothing: every node (a global request)
    bool engine_running_allowed = false;
    SpnConversion conversion = SpnConversion::automatic;
    Timing timing;
    Milliseconds busy_retry_delay{200};
    int busy_retries = 5;
    Milliseconds settle{5000};         // from the clear to the reading again
    Milliseconds live_window{1000};    // the safety check's "last second"
    NameLookup spn_name;               // may be empty
    std::function<bool()> interrupted; // may be empty
};

int clear_dm(ClearKind kind);        // 3 or 11
int cleared_list_dm(ClearKind kind); // 2 or 1: the DM whose codes the clear erases

// What a clear would erase, read before it.
struct ClearPreview {
    ReadResult before; // DM1, DM2, DM4 and DM5
    LiveState live;    // the vehicle as it was while reading
    SafetyVerdict safety;
};
// Listens to the vehicle, then reads DM1, DM2, DM4 and DM5 from options.to
// (or all). Refuses nothing: the verdict is in the preview.
ClearPreview prepare_clear(Bus &bus, const ClearOptions &options);

enum class Erasure { erased, partly_erased, not_erased, unknown };
// "erased", "partly erased", "not erased", "unknown".
std::string_view erasure_word(Erasure e);

struct EcuClear {
    uint8_t address = 0;
    Outcome answer = Outcome::silent; // ack, nack, denied, busy or silent
    int busy_retries = 0;
    std::vector<TroubleCode> before; // the cleared list's codes before; empty if not read
    bool before_read = false;
    std::vector<TroubleCode> after; // and after
    bool after_read = false;
    Erasure erasure = Erasure::unknown;
    std::optional<Readiness> dm5_before;
    std::optional<Readiness> dm5_after;
};

struct ClearResult {
    ClearKind kind = ClearKind::previous;
    std::optional<uint8_t> to;
    bool engine_running_allowed = false;
    LiveState live;
    SafetyVerdict safety; // refusal != none: nothing was sent
    std::vector<EcuClear> ecus;
    Milliseconds took{0};
    bool interrupted = false;
};

// erased / partly erased / not erased from the codes before and after: none
// of the earlier codes left, some left, all left. A list not read again is
// unknown; without a list from before, any code after counts as left.
Erasure judge_erasure(const EcuClear &ecu);

// Checks the vehicle (listen_live), refusing as judge_safety() says; then
// clears, collects the answers, retries each busy ECU after
// busy_retry_delay up to busy_retries times (to its own address), waits
// settle and reads DM1, DM2 and DM5 again. before: the preview shown (its
// ECUs are those expected to answer); null reads it first. Throws what
// Bus::send() throws.
ClearResult execute_clear(Bus &bus, const ClearOptions &options, const ClearPreview *before);

// {"dm":3,"to":"all","safety":{..},"ecus":[{"address":0,"codes":[..],"freeze_frames":[..]}],..}
nlohmann::json preview_json(const ClearPreview &preview, const ClearOptions &options);
// {"dm":11,"to":"all","safety":{..},"ecus":[{"address":0,"answer":"ack","busy_retries":1,
//  "after":"erased",..}],..}; with "refused" (the reason) when nothing was sent.
nlohmann::json clear_json(const ClearResult &result);
// kExitOk; kExitUnsafe when refused; kExitNotErased when an ECU kept codes or
// could not be read again.
int clear_exit_status(const ClearResult &result);

// The remote commands diag.clear prepare and confirm.
nlohmann::json diag_clear_prepare(Bus &bus, const ClearOptions &options);
nlohmann::json diag_clear_confirm(Bus &bus, const ClearOptions &options);

// What the clear would erase from one ECU of the preview: the cleared
// list's codes, and the freeze frames that go with them (DM11: all).
std::vector<TroubleCode> codes_to_lose(const EcuDiagnostics &ecu, ClearKind kind);
std::vector<FreezeFrame> freeze_frames_to_lose(const EcuDiagnostics &ecu, ClearKind kind);

} // namespace vehcan::diag

#endif
