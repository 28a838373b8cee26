// SPDX-License-Identifier: MIT
// The operations of commands from the fleet in vehcan monitor: see
// command_operations.h.
#include "command_operations.h"
#include "bus_tap.h"
#include "candump.h"
#include "decode.h"
#include "scan.h"

#include <clear.h>
#include <compact_codec.h>
#include <read.h>
#include <request_window.h>
#include <signing.h>
#include <timestamp.h>

#include <fmt/format.h>

namespace vehcan::cli {

namespace {

using commands::OperationCall;
using commands::OperationOutput;
using commands::Reason;
using nlohmann::json;

constexpr uint8_t kGlobal = 0xFF;
// A capture's log compresses well; a middle level keeps the gateway's CPU
// time small for up to 300 s of frames.
constexpr int kCaptureZstdLevel = 9;

std::optional<uint8_t> node_of(const json &arguments) {
    const int address = arguments.value("address", 255);
    if (address == kGlobal) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(address);
}

// The diagnostics' socket at the monitor's address, its sends through the
// gate, for the length of one operation.
class OperationBus {
  public:
    OperationBus(const OperationPlace &place, const OperationCall &call)
        : socket_(place.interface, [address = place.address] { return address->source(); }),
          gated_(socket_, *call.gate, call.deadline) {}
    diag::Bus &bus() { return gated_; }

  private:
    diag::SocketBus socket_;
    GatedBus gated_;
};

diag::NameLookup names_of(const Database *db) {
    if (db == nullptr) {
        return {};
    }
    return [db](uint32_t spn) { return db->spn_description(spn); };
}

// ---- request ----------------------------------------------------------------------------------

OperationOutput run_request(const OperationPlace &place, const OperationCall &call) {
    const auto pgn = call.arguments.at("pgn").get<uint32_t>();
    const auto to = call.arguments.at("to").get<uint8_t>();
    OperationBus b(place, call);
    std::set<uint8_t> expected;
    if (to != kGlobal) {
        expected.insert(to);
    }
    diag::Collected c;
    // A request lost on the bus earns a second, as vehcan request gives it.
    for (int attempt = 0; attempt < 2 && c.answers.empty(); ++attempt) {
        c = diag::request_and_collect(b.bus(), pgn, to, diag::Timing{}, expected,
                                      place.interrupted);
    }
    const uint8_t from = b.bus().address();
    // The first in address order of those that answered: a request to all
    // is answered by one message, as vehcan request prints one.
    for (const auto &[source, answer] : c.answers) {
        if (answer.outcome == diag::Outcome::answered) {
            json j = request_json(pgn, answer.data, place.db);
            j["source"] = source;
            return OperationOutput::success(std::move(j));
        }
    }
    for (const auto &[source, answer] : c.answers) {
        if (answer.outcome != diag::Outcome::silent) {
            return OperationOutput::failure(
                fmt::format("request for PGN {} refused by 0x{:02X}: {}", pgn, source,
                            diag::outcome_text(answer.outcome)));
        }
    }
    return OperationOutput::failure(
        fmt::format("no answer to two requests for PGN {} from 0x{:02X} to 0x{:02X}, {} ms each",
                    pgn, from, to, diag::Timing{}.answer_wait.count()));
}

// ---- scan -------------------------------------------------------------------------------------

OperationOutput run_scan(const OperationPlace &place, const OperationCall &call) {
    const BusTap tap;
    OperationBus b(place, call);
    ScanSettings settings;
    settings.timeout = call.arguments.value("timeout", 2.0);
    settings.db = place.db;
    if (place.address->claimed()) {
        settings.ours = place.address->name();
    }
    settings.interrupted = place.interrupted;
    const ScanFindings f =
        scan_nodes(b.bus(), tap, settings, [&place] { return place.address->used(); });
    return OperationOutput::success(scan_json(f));
}

// ---- diagnostics ------------------------------------------------------------------------------

OperationOutput run_diag_read(const OperationPlace &place, const OperationCall &call) {
    diag::ReadOptions r;
    r.from_node = node_of(call.arguments);
    r.spn_name = names_of(place.db);
    r.interrupted = place.interrupted;
    OperationBus b(place, call);
    return OperationOutput::success(diag::diag_read(b.bus(), r));
}

OperationOutput run_diag_clear(const OperationPlace &place, const OperationCall &call) {
    diag::ClearOptions c;
    c.kind = call.arguments.value("codes", "previous") == "active" ? diag::ClearKind::active
                                                                   : diag::ClearKind::previous;
    c.to = node_of(call.arguments);
    c.spn_name = names_of(place.db);
    c.interrupted = place.interrupted;
    OperationBus b(place, call);
    if (call.arguments.value("step", "") == "prepare") {
        return OperationOutput::success(diag::diag_clear_prepare(b.bus(), c));
    }
    // The safety rules on the live data of this moment: a refusal sent
    // nothing and is the command's failure.
    json j = diag::diag_clear_confirm(b.bus(), c);
    if (j.contains("refused")) {
        return OperationOutput::failure(
            fmt::format("nothing cleared: {}", j["refused"].get<std::string>()));
    }
    return OperationOutput::success(std::move(j));
}

// ---- capture ----------------------------------------------------------------------------------

OperationOutput run_capture(const OperationPlace &place, const OperationCall &call) {
    const double seconds = call.arguments.value("seconds", 10.0);
    const int64_t since = unix_now_us() - static_cast<int64_t>(seconds * 1e6);
    std::optional<std::vector<RingFrame>> frames = place.ring ? place.ring(since) : std::nullopt;
    if (!frames) {
        return OperationOutput::failure("capture takes the frames from the compact uplink's "
                                        "ring buffer: this gateway runs the json uplink",
                                        Reason::kNotAvailable);
    }
    return OperationOutput::success(capture_json(*frames, seconds));
}

} // namespace

void GatedBus::send(uint32_t pgn, uint8_t destination, diag::ByteView data) {
    if (!gate_.acquire(1, deadline_)) {
        throw TransmitRefused(fmt::format("the transmit gate lets no frame through before the "
                                          "command expires: PGN {} to 0x{:02X} not sent",
                                          pgn, destination));
    }
    bus_.send(pgn, destination, data);
}

json request_json(uint32_t pgn, const std::vector<uint8_t> &data, const Database *db) {
    json j = to_json(decode_payload(pgn, data.data(), data.size(), db));
    j["length"] = data.size();
    return j;
}

json capture_json(const std::vector<RingFrame> &frames, double seconds) {
    std::string log;
    size_t written = 0;
    size_t skipped = 0;
    for (const RingFrame &f : frames) {
        const auto line =
            candump_log_line(f.unix_us, "can0", f.id, true,
                             reinterpret_cast<const uint8_t *>(f.data.data()), f.data.size());
        if (!line) {
            ++skipped; // a message of more than 64 bytes
            continue;
        }
        log += *line;
        log += '\n';
        ++written;
    }
    const std::optional<std::string> packed = zstd_compress(log, kCaptureZstdLevel);
    if (!packed) {
        throw std::runtime_error("zstd could not compress the capture");
    }
    json j = {{"seconds", seconds},
              {"frames", written},
              {"skipped", skipped},
              {"from", frames.empty() ? json(nullptr) : json(rfc3339_utc(frames.front().unix_us))},
              {"to", frames.empty() ? json(nullptr) : json(rfc3339_utc(frames.back().unix_us))},
              {"format", "candump-log"},
              {"compression", "zstd"},
              {"bytes", log.size()}};
    j["data"] =
        commands::encode_base64(reinterpret_cast<const uint8_t *>(packed->data()), packed->size());
    return j;
}

void set_command_handlers(commands::Executor &executor, const OperationPlace &place) {
    executor.set_handler("request",
                         [place](const OperationCall &c) { return run_request(place, c); });
    executor.set_handler("scan", [place](const OperationCall &c) { return run_scan(place, c); });
    executor.set_handler("diag.read",
                         [place](const OperationCall &c) { return run_diag_read(place, c); });
    executor.set_handler("diag.clear",
                         [place](const OperationCall &c) { return run_diag_clear(place, c); });
    executor.set_handler("capture",
                         [place](const OperationCall &c) { return run_capture(place, c); });
}

} // namespace vehcan::cli
