// SPDX-License-Identifier: MIT
// The claimer's state and the choice of an address.
#include "arbitration.h"

#include <fmt/format.h>

namespace vehcan::claim {

// ---- address book ----------------------------------------------------------------

void AddressBook::forget(uint64_t name) {
    for (auto it = holders_.begin(); it != holders_.end(); ++it) {
        if (it->second == name) {
            holders_.erase(it);
            return;
        }
    }
}

void AddressBook::claimed(uint8_t address, uint64_t name) {
    if (address > kLastUnicastAddress) {
        return;
    }
    const auto current = holder(address);
    // Two NAMEs claiming one address: the lower keeps it.
    if (current && *current != name && !wins(name, *current)) {
        return;
    }
    forget(name);
    holders_[address] = name;
}

void AddressBook::cannot_claim(uint64_t name) {
    forget(name);
}

std::optional<uint64_t> AddressBook::holder(uint8_t address) const {
    const auto it = holders_.find(address);
    if (it == holders_.end()) {
        return std::nullopt;
    }
    return it->second;
}

// ---- choice of an address -----------------------------------------------------------

std::optional<uint8_t> choose_address(uint8_t preferred, uint64_t name, const AddressBook &book,
                                      const std::set<uint8_t> &lost) {
    if (preferred <= kLastUnicastAddress && lost.count(preferred) == 0) {
        const auto holder = book.holder(preferred);
        if (!holder || *holder == name || wins(name, *holder)) {
            return preferred;
        }
    }
    if (!arbitrary_address_capable(name)) {
        return std::nullopt;
    }
    for (unsigned a = kFirstArbitraryAddress; a <= kLastArbitraryAddress; ++a) {
        const auto address = static_cast<uint8_t>(a);
        if (lost.count(address) == 0 && !book.holder(address)) {
            return address;
        }
    }
    return std::nullopt;
}

// ---- events -----------------------------------------------------------------------------

std::string describe(const ClaimEvent &e) {
    switch (e.kind) {
    case ClaimEvent::Kind::claimed:
        return fmt::format("claimed 0x{:02X}", e.address);
    case ClaimEvent::Kind::defended:
        return fmt::format("0x{:02X} also claimed by NAME {:016X} (higher): claimed again",
                           e.address, e.rival);
    case ClaimEvent::Kind::moved:
        return fmt::format("0x{:02X} taken by NAME {:016X} (lower): claiming 0x{:02X}", e.previous,
                           e.rival, e.address);
    case ClaimEvent::Kind::cannot_claim:
        if (e.rival == 0) {
            return "no free address: Cannot Claim sent, transmitting nothing more";
        }
        return fmt::format("0x{:02X} taken by NAME {:016X} (lower) and no other address may be "
                           "taken: Cannot Claim sent, transmitting nothing more",
                           e.previous, e.rival);
    }
    return {};
}

// ---- claimer ------------------------------------------------------------------------------

Claimer::Claimer(uint64_t name, uint8_t preferred) : name_(name), preferred_(preferred) {}

Step Claimer::start(TimePoint now) {
    Step step;
    if (state_ != State::idle) {
        return step;
    }
    step.sends.push_back({Send::Kind::request_for_claim, kNullAddress});
    state_ = State::listening;
    deadline_ = now + kContentionWait;
    return step;
}

void Claimer::claim_next(Step &step, uint8_t previous, uint64_t rival, TimePoint now) {
    const auto next = choose_address(preferred_, name_, book_, lost_);
    if (!next) {
        address_ = kNullAddress;
        state_ = State::lost;
        step.sends.push_back({Send::Kind::cannot_claim, kNullAddress});
        step.events.push_back({ClaimEvent::Kind::cannot_claim, kNullAddress, previous, rival});
        return;
    }
    if (previous != kNullAddress && *next != previous) {
        step.events.push_back({ClaimEvent::Kind::moved, *next, previous, rival});
    }
    address_ = *next;
    state_ = State::claiming;
    deadline_ = now + kContentionWait;
    step.sends.push_back({Send::Kind::claim, address_});
}

Step Claimer::claim_heard(uint8_t source, uint64_t name, TimePoint now) {
    Step step;
    if (name == name_) {
        return step;
    }
    if (source == kNullAddress) {
        book_.cannot_claim(name);
        return step;
    }
    book_.claimed(source, name);
    const bool ours = (state_ == State::claiming || state_ == State::held) && source == address_;
    if (!ours) {
        return step;
    }
    if (wins(name_, name)) {
        step.sends.push_back({Send::Kind::claim, address_});
        step.events.push_back({ClaimEvent::Kind::defended, address_, kNullAddress, name});
        return step;
    }
    const uint8_t previous = address_;
    lost_.insert(previous);
    claim_next(step, previous, name, now);
    return step;
}

Step Claimer::request_heard(uint8_t destination) {
    Step step;
    const bool to_us =
        destination == kGlobalAddress || (destination == address_ && address_ != kNullAddress);
    if (!to_us) {
        return step;
    }
    if (state_ == State::claiming || state_ == State::held) {
        step.sends.push_back({Send::Kind::claim, address_});
    } else if (state_ == State::lost) {
        step.sends.push_back({Send::Kind::cannot_claim, kNullAddress});
    }
    return step;
}

Step Claimer::tick(TimePoint now) {
    Step step;
    if (state_ == State::listening && now >= deadline_) {
        const auto holder = book_.holder(preferred_);
        const bool taken = holder && *holder != name_ && !wins(name_, *holder);
        // The preferred address already held by a lower NAME is never
        // claimed: the move is said at once.
        if (taken) {
            lost_.insert(preferred_);
        }
        claim_next(step, taken ? preferred_ : kNullAddress, taken ? *holder : 0, now);
    } else if (state_ == State::claiming && now >= deadline_) {
        state_ = State::held;
        step.events.push_back({ClaimEvent::Kind::claimed, address_, kNullAddress, 0});
    }
    return step;
}

std::optional<TimePoint> Claimer::deadline() const {
    if (state_ == State::listening || state_ == State::claiming) {
        return deadline_;
    }
    return std::nullopt;
}

} // namespace vehcan::claim
