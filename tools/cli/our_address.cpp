// SPDX-License-Identifier: MIT
// The claimed (or fixed) source address of the commands on the live bus.
#include "our_address.h"
#include "common.h"

#include <j1939_stack.h>
#include <name.h>

#include <chrono>
#include <fmt/format.h>
#include <system_error>

namespace vehcan::cli {

namespace {

// The claim settles in two waits of 250 ms; each move to another address
// costs one more. Far more than a bus with free addresses needs.
constexpr auto kSettleLimit = std::chrono::seconds(5);

} // namespace

AddressPlan plan_address(const ClaimOptions &o) {
    AddressPlan p;
    p.from = parse_address(o.from, "--from");
    p.claim = !o.no_claim;
    if (p.from > claim::kLastUnicastAddress) {
        throw Failure(kExitUsage,
                      fmt::format("--from 0x{:02X}: a node sends from 0x00-0xFD, not from the "
                                  "null (0xFE) or global (0xFF) address",
                                  p.from));
    }
    if (o.name.empty()) {
        p.name = *claim::make_name(claim::default_name_fields(claim::default_identity_number()));
    } else if (const auto name = claim::parse_name(o.name)) {
        p.name = *name;
    } else {
        throw Failure(kExitUsage, fmt::format("--name '{}': a NAME is 16 hex digits, e.g. "
                                              "A0810000001E240F",
                                              o.name));
    }
    return p;
}

OurAddress::OurAddress(const AddressPlan &plan) : plan_(plan) {
    if (!plan.claim) {
        return;
    }
    fmt::print(stderr, "claiming 0x{:02X} with NAME {:016X}\n", plan.from, plan.name);
    const auto begun = std::chrono::steady_clock::now();
    claim::ClaimSettings settings;
    settings.name = plan.name;
    settings.preferred = plan.from;
    settings.on_event = [this](const claim::ClaimEvent &e) {
        report(fmt::format("address claim: {}", claim::describe(e)));
    };
    try {
        claim_ = std::make_unique<claim::BusClaim>(settings);
    } catch (const std::system_error &e) {
        throw Failure(kExitStack, fmt::format("cannot claim an address on can0: {}", e.what()));
    }
    const auto state = claim_->wait_settled(kSettleLimit);
    if (state == claim::Claimer::State::lost) {
        const auto holder = claim_->holder(plan.from);
        claim_.reset();
        const std::string why =
            claim::arbitrary_address_capable(plan.name)
                ? "no address of 128-247 is free"
                : fmt::format("0x{:02X} is held by NAME {:016X}, which is lower, and NAME "
                              "{:016X} is not arbitrary address capable",
                              plan.from, holder.value_or(0), plan.name);
        throw Failure(kExitCannotClaim, fmt::format("cannot claim an address: {}; Cannot Claim "
                                                    "sent, nothing else",
                                                    why));
    }
    if (state != claim::Claimer::State::held) {
        claim_.reset();
        throw Failure(kExitStack, "the address claim did not settle: can0 does not send");
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - begun);
    fmt::print(stderr, "address 0x{:02X} held ({} ms)\n", claim_->address().value_or(0xFE),
               took.count());
}

OurAddress::~OurAddress() {
    stop();
}

std::optional<uint8_t> OurAddress::source() {
    std::optional<uint8_t> a;
    if (!claim_) {
        a = plan_.from;
    } else {
        // A move in progress settles within one contention wait.
        claim_->wait_settled(std::chrono::milliseconds(2 * claim::kContentionWait));
        a = claim_->address();
    }
    if (a) {
        const std::lock_guard lock(used_mutex_);
        used_.insert(*a);
    }
    return a;
}

std::set<uint8_t> OurAddress::used() const {
    const std::lock_guard lock(used_mutex_);
    return used_;
}

bool OurAddress::lost() const {
    return claim_ && claim_->state() == claim::Claimer::State::lost;
}

uint8_t OurAddress::source_or_fail() {
    if (const auto a = source()) {
        return *a;
    }
    throw Failure(kExitCannotClaim, "the address was lost to a lower NAME and no other could be "
                                    "claimed: transmitting nothing more");
}

void OurAddress::stop() {
    claim_.reset();
}

void OurAddress::report(const std::string &line) {
    const std::lock_guard lock(reports_mutex_);
    if (hold_) {
        held_reports_.push_back(line);
    } else {
        fmt::print(stderr, "{}\n", line);
    }
}

void OurAddress::hold_reports(bool hold) {
    const std::lock_guard lock(reports_mutex_);
    hold_ = hold;
}

void OurAddress::flush_reports() {
    const std::lock_guard lock(reports_mutex_);
    for (const std::string &line : held_reports_) {
        fmt::print(stderr, "{}\n", line);
    }
    held_reports_.clear();
}

void claim_on_live_bus(std::optional<OurAddress> &address, const AddressPlan &plan) {
    try {
        address.emplace(plan);
    } catch (const Failure &) {
        j1939_can_deinit();
        throw;
    }
}

} // namespace vehcan::cli
