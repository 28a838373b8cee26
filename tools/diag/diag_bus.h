// SPDX-License-Identifier: MIT
// The bus as the diagnostics see it: messages sent from our address, the
// messages that reach it (to us or to all), the transfers that other nodes
// announce, and the time. read, clear and quiet run over this interface
// only, so that they are unit-tested against simulated ECUs on a clock of
// their own, and run on the gateway over SocketBus.
#ifndef VEHCAN_DIAG_DIAG_BUS_H
#define VEHCAN_DIAG_DIAG_BUS_H

#include "dm_layouts.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vehcan::diag {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// What reached us: a message (whole: the kernel reassembled a transfer), or
// the announcement of a transfer (a BAM, or an RTS to us) that will take a
// while, or the abort of one.
struct BusEvent {
    enum class Kind { message, transfer_announced, transfer_aborted };
    Kind kind = Kind::message;
    uint32_t pgn = 0; // the message's, or the transfer's
    uint8_t source = 0;
    uint8_t destination = kGlobal;
    Bytes data;           // Kind::message
    size_t size = 0;      // Kind::transfer_announced: bytes announced
    unsigned packets = 0; // Kind::transfer_announced
};

class Bus {
  public:
    virtual ~Bus() = default;
    // Our source address. Throws Failure(kExitCannotClaim) when there is
    // none to send from (a lower NAME took ours and no other was free).
    virtual uint8_t address() = 0;
    // Sends pgn (priority 6) to destination (kGlobal: all). Throws
    // Failure(kExitStack) when the interface refuses it.
    virtual void send(uint32_t pgn, uint8_t destination, ByteView data) = 0;
    // The next event, waiting at most until deadline; nothing at the deadline
    // (or earlier, when a signal interrupted the wait).
    virtual std::optional<BusEvent> next(Clock::time_point deadline) = 0;
    // Forgets what was received and not yet taken: before a request, so
    // that an old broadcast is not taken for its answer.
    virtual void discard_pending() = 0;
    virtual Clock::time_point now() = 0;
};

// Waits until deadline, passing every event to on_event (which may be
// empty), unless interrupted() turns true first.
void wait_until(Bus &bus, Clock::time_point deadline, const std::function<bool()> &interrupted,
                const std::function<void(const BusEvent &)> &on_event = {});

// ---- the Linux CAN_J1939 bus ---------------------------------------------------------

// Two sockets on interface: a CAN_J1939 socket bound to our address (with
// SO_BROADCAST) that sends and receives, and, because the kernel hands a
// J1939 socket only whole messages, a raw CAN socket that sees the
// transport protocol's announcements (TP.CM) so that a wait can stretch
// for a transfer under way. A socket bound to our address is also what
// makes the kernel answer an RTS to us with CTS: without one it lets the
// transfer fail.
class SocketBus : public Bus {
  public:
    // source gives our address before each send (a claim may move it); the
    // J1939 socket is bound again when it changes. Throws Failure(kExitStack)
    // when the sockets cannot be opened on interface.
    SocketBus(std::string interface, std::function<std::optional<uint8_t>()> source);
    ~SocketBus() override;
    SocketBus(const SocketBus &) = delete;
    SocketBus &operator=(const SocketBus &) = delete;

    uint8_t address() override;
    void send(uint32_t pgn, uint8_t destination, ByteView data) override;
    std::optional<BusEvent> next(Clock::time_point deadline) override;
    void discard_pending() override;
    Clock::time_point now() override { return Clock::now(); }

  private:
    uint8_t current_address();
    void bind_to(uint8_t address);
    std::optional<BusEvent> read_message();
    std::optional<BusEvent> read_announcement();

    std::string interface_;
    std::function<std::optional<uint8_t>()> source_;
    unsigned ifindex_ = 0;
    int j1939_fd_ = -1;
    int raw_fd_ = -1;
    std::optional<uint8_t> bound_;
};

} // namespace vehcan::diag

#endif
