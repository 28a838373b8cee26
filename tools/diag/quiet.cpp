// SPDX-License-Identifier: MIT
// DM13 around whatever runs over the bus: see quiet.h.
#include "quiet.h"

#include <algorithm>
#include <fmt/format.h>

namespace vehcan::diag {

namespace {

void send_dm13(Bus &bus, uint8_t destination, BroadcastCommand command) {
    const auto data = encode_dm13(command);
    bus.send(kPgnDm13, destination, data);
}

} // namespace

QuietBus::QuietBus(Bus &inner, uint8_t destination, Milliseconds hold_period)
    : inner_(inner), destination_(destination), hold_period_(hold_period) {
    send_dm13(inner_, destination_, BroadcastCommand::stop);
    last_hold_ = inner_.now();
}

QuietBus::~QuietBus() {
    if (!finished_) {
        try {
            finish();
        } catch (...) { // NOLINT(bugprone-empty-catch): the nodes time out by themselves
        }
    }
}

void QuietBus::finish() {
    finished_ = true;
    send_dm13(inner_, destination_, BroadcastCommand::start);
}

void QuietBus::hold_if_due() {
    if (!finished_ && inner_.now() >= last_hold_ + hold_period_) {
        send_dm13(inner_, destination_, BroadcastCommand::hold);
        last_hold_ = inner_.now();
        ++holds_;
    }
}

std::optional<BusEvent> QuietBus::next(Clock::time_point deadline) {
    for (;;) {
        hold_if_due();
        const Clock::time_point hold_due = last_hold_ + hold_period_;
        const Clock::time_point until = finished_ ? deadline : std::min(deadline, hold_due);
        if (auto e = inner_.next(until)) {
            return e;
        }
        const Clock::time_point now = inner_.now();
        if (now >= deadline || now < until) {
            return std::nullopt; // the caller's deadline, or a signal
        }
    }
}

QuietResult run_quiet(Bus &bus, const QuietOptions &o) {
    auto report = [&](const std::string &line) {
        if (o.report) {
            o.report(line);
        }
    };
    QuietResult r;
    const uint8_t us = bus.address();
    const Clock::time_point start = bus.now();
    const Clock::time_point end =
        o.duration.count() > 0 ? start + o.duration : Clock::time_point::max();
    QuietBus quiet(bus, o.destination);
    report(o.destination == kGlobal
               ? "broadcasts stopped (DM13 to all nodes)"
               : fmt::format("broadcasts stopped (DM13 to 0x{:02X})", o.destination));
    unsigned long heard_since = 0;
    auto count = [&](const BusEvent &e) {
        if (e.kind == BusEvent::Kind::message && e.source != us) {
            ++r.heard;
            ++heard_since;
        }
    };
    unsigned holds_reported = 0;
    while (quiet.now() < end && !(o.interrupted && o.interrupted())) {
        // A second at a time, so that each hold is told when it went out.
        wait_until(quiet, std::min(end, quiet.now() + std::chrono::seconds(1)), o.interrupted,
                   count);
        if (quiet.holds() != holds_reported) {
            holds_reported = quiet.holds();
            const auto held = std::chrono::duration_cast<std::chrono::seconds>(quiet.now() - start);
            report(fmt::format("hold sent after {} s; {} message{} from other nodes since the "
                               "last report",
                               held.count(), heard_since, heard_since == 1 ? "" : "s"));
            heard_since = 0;
        }
    }
    quiet.finish();
    r.quiet = std::chrono::duration_cast<Milliseconds>(quiet.now() - start);
    r.holds = quiet.holds();
    report(fmt::format("broadcasts started again after {:.1f} s ({} hold{} sent)",
                       static_cast<double>(r.quiet.count()) / 1000.0, r.holds,
                       r.holds == 1 ? "" : "s"));
    return r;
}

} // namespace vehcan::diag
