// SPDX-License-Identifier: MIT
// The address claim on a Linux CAN_J1939 interface: the Claimer of
// arbitration.h driven by a thread of its own, which hears the bus's
// claims and requests, sends what the claimer asks for, and defends the
// address for as long as the object lives.
//
// Two sockets: a promiscuous one without a NAME that hears every Address
// Claimed (PGN 60928) and Request (PGN 59904) on the bus, and one bound
// to the NAME and the address being claimed (SO_BROADCAST) that sends
// them. The kernel learns the NAME's address from these claims; it never
// claims by itself. Other sockets of the process (the stack's requests)
// send from the held address without a NAME.
#ifndef VEHCAN_CLAIM_BUS_CLAIM_H
#define VEHCAN_CLAIM_BUS_CLAIM_H

#include "arbitration.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vehcan::claim {

struct ClaimSettings {
    std::string interface = "can0";
    uint64_t name = 0;
    uint8_t preferred = 0xF9;
    // Called from the claim's thread with each event (claimed, moved, ...).
    std::function<void(const ClaimEvent &)> on_event;
};

// Losses the thread cannot report to a caller, counted.
struct ClaimCounters {
    unsigned long frames_heard = 0; // claims and requests received
    unsigned long frames_sent = 0;
    unsigned long send_failures = 0; // sendto() or bind() refused
};

class BusClaim {
  public:
    // Opens both sockets on the interface and starts the claim on its
    // thread: a Request for Address Claimed to all from 0xFE, 250 ms for
    // the answers, the claim, 250 ms for contention. Throws
    // std::system_error (with errno) when a socket cannot be opened, set up
    // or bound (no interface, no CAN_J1939 in the kernel).
    explicit BusClaim(ClaimSettings settings);
    // Stops the thread and closes the sockets. The address is not given
    // up on the bus: a node that falls silent keeps its claim until
    // another NAME takes it.
    ~BusClaim();
    BusClaim(const BusClaim &) = delete;
    BusClaim &operator=(const BusClaim &) = delete;

    // Waits until the address is held or Cannot Claim was sent, at most
    // limit. Returns the state then.
    Claimer::State wait_settled(std::chrono::milliseconds limit);
    // The address to send from now; nothing while claiming and after
    // Cannot Claim. Thread-safe.
    std::optional<uint8_t> address() const;
    Claimer::State state() const;
    uint64_t name() const { return settings_.name; }
    // The NAME holding address according to the claims heard, if any.
    std::optional<uint64_t> holder(uint8_t address) const;
    ClaimCounters counters() const;

  private:
    void run();
    void carry_out(const Step &step);
    void receive();
    bool send(const Send &s);
    int sender_for(uint8_t source);

    ClaimSettings settings_;
    int ifindex_ = 0;
    int listen_fd_ = -1;
    int send_fd_ = -1;
    uint8_t send_fd_address_ = kGlobalAddress; // the address send_fd_ is bound to
    Claimer claimer_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    ClaimCounters counters_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace vehcan::claim

#endif
