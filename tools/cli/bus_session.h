// SPDX-License-Identifier: MIT
// What the subcommands on the live bus share: interrupts, the stack's
// bring-up on can0 with the bit-rate probe shown, and one request with its
// answer or refusal.
#ifndef VEHCAN_CLI_BUS_SESSION_H
#define VEHCAN_CLI_BUS_SESSION_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace vehcan::cli {

// The VIN is sent on request only: monitor asks all nodes for it up to
// kVinRequests times, kVinRetry apart, until one answers.
constexpr uint32_t kPgnVehicleIdentification = 65260;
constexpr int kVinRequests = 3;
constexpr auto kVinRetry = std::chrono::seconds(5);

// Set by SIGINT and SIGTERM once catch_interrupts() ran.
extern std::atomic<bool> g_stop;
// Installs the handlers, without SA_RESTART: a wait in progress ends early.
void catch_interrupts();

// Brings the stack up on can0, telling on stderr what it does (each probed
// rate). Returns the detected bit rate. Throws Failure(kExitStack) with the
// reason when the stack cannot come up. rate_found, when given, runs once
// the probe heard traffic and before the stack starts receiving: a socket
// of the caller's opened there hears everything the stack delivers.
int bring_up(const std::function<void()> &rate_found = {});

struct RequestAnswer {
    bool answered = false;
    std::vector<uint8_t> data;
    int ack = -1; // acknowledgement control byte, when one came instead
    int ack_from = -1;
};

// Sends one Request for pgn from one address to another and waits for the
// answer (the stack's 2 to 3 s). Without one, tells the acknowledgement
// that came instead, if any. Throws Failure(kExitStack) when the request
// cannot be sent.
RequestAnswer ask(uint32_t pgn, uint8_t from, uint8_t to);

// "negative acknowledgement (NACK)" for 1, and so on.
std::string_view ack_text(int control);

} // namespace vehcan::cli

#endif
