// SPDX-License-Identifier: MIT
// The address claim without a bus: who holds which address, which address
// to claim, and the claimer's state as claims and requests come in and
// time passes. Each step returns the frames to send; claim_socket.h puts
// them on the bus. Nothing here reads a clock: the caller passes the time.
#ifndef VEHCAN_CLAIM_ARBITRATION_H
#define VEHCAN_CLAIM_ARBITRATION_H

#include "name.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vehcan::claim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

constexpr uint8_t kNullAddress = 0xFE;   // Cannot Claim and not-yet-claimed requests come from here
constexpr uint8_t kGlobalAddress = 0xFF; // to all nodes
constexpr uint8_t kLastUnicastAddress = 0xFD;
constexpr uint8_t kFirstArbitraryAddress = 128;
constexpr uint8_t kLastArbitraryAddress = 247;
// How long a claim (or the first request) waits for contention.
constexpr auto kContentionWait = std::chrono::milliseconds(250);

// The lower NAME wins an address.
constexpr bool wins(uint64_t name, uint64_t rival) {
    return name < rival;
}

// Who holds which address, from the claims heard. A NAME holds one address
// at a time: its claim of another moves it, its Cannot Claim removes it.
class AddressBook {
  public:
    void claimed(uint8_t address, uint64_t name);
    void cannot_claim(uint64_t name);
    std::optional<uint64_t> holder(uint8_t address) const;
    const std::map<uint8_t, uint64_t> &holders() const { return holders_; }

  private:
    void forget(uint64_t name);
    std::map<uint8_t, uint64_t> holders_;
};

// The address for name to claim: preferred unless a lower NAME holds it or
// it is in lost; failing that, for an arbitrary-capable NAME, the lowest
// address of 128-247 that nobody holds and that is not in lost. Nothing
// when neither is left (a NAME that is not arbitrary capable then cannot
// claim).
std::optional<uint8_t> choose_address(uint8_t preferred, uint64_t name, const AddressBook &book,
                                      const std::set<uint8_t> &lost);

// A frame the claimer asks to send. Claims and Cannot Claims carry the
// claimer's NAME; the request asks all nodes for Address Claimed.
struct Send {
    enum class Kind { request_for_claim, claim, cannot_claim };
    Kind kind = Kind::claim;
    uint8_t source = kNullAddress;
    bool operator==(const Send &) const = default;
};

// What happened, for the program to say.
struct ClaimEvent {
    enum class Kind {
        claimed,      // address held after the contention wait
        defended,     // a higher NAME claimed our address: our claim again
        moved,        // a lower NAME took previous: claiming address instead
        cannot_claim, // no address left: Cannot Claim sent, nothing more
    };
    Kind kind = Kind::claimed;
    uint8_t address = kNullAddress;  // the address now claimed or held
    uint8_t previous = kNullAddress; // moved, cannot_claim: the address given up (0xFE: none)
    uint64_t rival = 0;              // defended, moved, cannot_claim: the other NAME (0: none)
    bool operator==(const ClaimEvent &) const = default;
};
// One line for the event, e.g. "0xF9 taken by NAME 0123456789ABCDEF (lower):
// claiming 0x80".
std::string describe(const ClaimEvent &e);

struct Step {
    std::vector<Send> sends;
    std::vector<ClaimEvent> events;
};

// One NAME's claim of an address and its defence. Not thread-safe: one
// caller at a time.
class Claimer {
  public:
    enum class State {
        idle,      // start() not called yet
        listening, // asked all nodes for their claims, waiting for them
        claiming,  // claim sent, waiting for contention
        held,      // the address is ours: send from it
        lost,      // Cannot Claim sent; nothing more is sent but answers to requests
    };

    Claimer(uint64_t name, uint8_t preferred);

    // Asks all nodes for their claims (from the null address) and listens
    // until deadline().
    Step start(TimePoint now);
    // Address Claimed (source 0-253) or Cannot Claim (source 0xFE) heard
    // from another node. Claims with our own NAME are another process of
    // this gateway's and change nothing.
    Step claim_heard(uint8_t source, uint64_t name, TimePoint now);
    // A Request for Address Claimed to destination heard: all nodes (0xFF)
    // or our address are answered with the claim (or, after losing, with
    // Cannot Claim).
    Step request_heard(uint8_t destination);
    // Moves on once deadline() has passed; otherwise does nothing.
    Step tick(TimePoint now);

    State state() const { return state_; }
    // When tick() has work next; nothing in held and lost.
    std::optional<TimePoint> deadline() const;
    // The address claimed or held; 0xFE before the first claim and when lost.
    uint8_t address() const { return address_; }
    bool settled() const { return state_ == State::held || state_ == State::lost; }
    uint64_t name() const { return name_; }
    const AddressBook &book() const { return book_; }

  private:
    void claim_next(Step &step, uint8_t previous, uint64_t rival, TimePoint now);

    uint64_t name_;
    uint8_t preferred_;
    State state_ = State::idle;
    uint8_t address_ = kNullAddress;
    TimePoint deadline_{};
    AddressBook book_;
    std::set<uint8_t> lost_; // addresses a lower NAME took from us
};

} // namespace vehcan::claim

#endif
