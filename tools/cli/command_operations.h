// SPDX-License-Identifier: MIT
// The operations that commands from the fleet run in `vehcan monitor`
// (docs/commands.md): request, scan, diag.read and diag.clear on the live
// bus, capture from the compact uplink's ring buffer. Each bus operation
// sends from the address the monitor claimed and defends, through a J1939
// socket of its own at that address, and every frame it sends passes the
// executor's transmit gate first; its result is the JSON that the matching
// `vehcan ... --json` prints.
#ifndef VEHCAN_CLI_COMMAND_OPERATIONS_H
#define VEHCAN_CLI_COMMAND_OPERATIONS_H

#include "compact.h"
#include "database.h"
#include "our_address.h"

#include <diag_bus.h>
#include <operations.h>

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vehcan::cli {

// What the operations work with; everything must outlive the executor's
// use of the handlers.
struct OperationPlace {
    OurAddress *address = nullptr; // the monitor's claim
    const Database *db = nullptr;  // names the trouble codes' SPNs; may be null
    // The ring buffer's frames heard at or after a Unix time in µs; nothing
    // without the compact uplink.
    std::function<std::optional<std::vector<RingFrame>>(int64_t since_us)> ring;
    std::function<bool()> interrupted; // the service is stopping
    std::string interface = "can0";
};

// Sets the handlers of request, scan, diag.read, diag.clear and capture.
void set_command_handlers(commands::Executor &executor, const OperationPlace &place);

// ---- the parts, shared with the command line and reached by the tests ----

// A frame the transmit gate would not let through before the command
// expired: the operation sends nothing more.
class TransmitRefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A bus whose sends each pass the gate first, with the command's deadline.
class GatedBus : public diag::Bus {
  public:
    GatedBus(diag::Bus &bus, commands::TransmitGate &gate,
             commands::SteadyClock::time_point deadline)
        : bus_(bus), gate_(gate), deadline_(deadline) {}
    uint8_t address() override { return bus_.address(); }
    // Throws TransmitRefused when the gate refuses.
    void send(uint32_t pgn, uint8_t destination, diag::ByteView data) override;
    std::optional<diag::BusEvent> next(diag::Clock::time_point deadline) override {
        return bus_.next(deadline);
    }
    void discard_pending() override { bus_.discard_pending(); }
    diag::Clock::time_point now() override { return bus_.now(); }

  private:
    diag::Bus &bus_;
    commands::TransmitGate &gate_;
    commands::SteadyClock::time_point deadline_;
};

// The answer to a request as `vehcan request --json` prints it: the decoded
// message and its length.
nlohmann::json request_json(uint32_t pgn, const std::vector<uint8_t> &data, const Database *db);

// The capture's result: the frames as a candump log (candump.h's lines),
// compressed with zstd, in base64, and what it covers:
// {"seconds":10,"frames":N,"from":"...Z","to":"...Z","skipped":0,
//  "format":"candump-log","compression":"zstd","data":"<base64>"}.
nlohmann::json capture_json(const std::vector<RingFrame> &frames, double seconds);

} // namespace vehcan::cli

#endif
