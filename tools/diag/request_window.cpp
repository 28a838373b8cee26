// SPDX-License-Identifier: MIT
// A request and its answers within the bounded wait: see request_window.h.
#include "request_window.h"

#include <algorithm>
#include <array>

namespace vehcan::diag {

namespace {

struct OutcomeName {
    Outcome outcome;
    std::string_view word;
    std::string_view text;
};
constexpr std::array kOutcomeNames{
    OutcomeName{Outcome::answered, "answered", "answered"},
    OutcomeName{Outcome::ack, "ack", "acknowledged"},
    OutcomeName{Outcome::nack, "nack", "negative acknowledgement (NACK)"},
    OutcomeName{Outcome::denied, "denied", "access denied"},
    OutcomeName{Outcome::busy, "busy", "busy (cannot respond now)"},
    OutcomeName{Outcome::silent, "silent", "silent"},
};

const OutcomeName &name_of(Outcome o) {
    const auto *it = std::find_if(kOutcomeNames.begin(), kOutcomeNames.end(),
                                  [o](const OutcomeName &n) { return n.outcome == o; });
    return it != kOutcomeNames.end() ? *it : kOutcomeNames.back();
}

} // namespace

std::string_view outcome_word(Outcome o) {
    return name_of(o).word;
}

std::string_view outcome_text(Outcome o) {
    return name_of(o).text;
}

namespace {

Outcome outcome_of(uint8_t control) {
    switch (static_cast<AckControl>(control)) {
    case AckControl::positive:
        return Outcome::ack;
    case AckControl::access_denied:
        return Outcome::denied;
    case AckControl::cannot_respond:
        return Outcome::busy;
    default:
        return Outcome::nack;
    }
}

// The state of one request's wait.
class Window {
  public:
    Window(uint32_t pgn, uint8_t destination, uint8_t us, const Timing &timing,
           Clock::time_point start)
        : pgn_(pgn), destination_(destination), us_(us), timing_(timing),
          base_end_(start + timing.answer_wait) {}

    void take(const BusEvent &e, Clock::time_point now, Collected &c) {
        const bool from_asked = destination_ == kGlobal || e.source == destination_;
        const bool to_us = e.destination == kGlobal || e.destination == us_;
        if (!from_asked || !to_us) {
            return;
        }
        switch (e.kind) {
        case BusEvent::Kind::message:
            if (e.pgn == pgn_) {
                c.answers[e.source] = Answer{Outcome::answered, e.data};
                transfers_.erase(e.source);
            } else if (e.pgn == kPgnAcknowledgement) {
                const auto ack = parse_acknowledgement(e.data);
                // An acknowledgement to all names the requester it answers.
                if (ack && ack->pgn == pgn_ && (ack->address == us_ || e.destination == us_)) {
                    Answer &a = c.answers[e.source];
                    if (a.outcome != Outcome::answered) {
                        a = Answer{outcome_of(ack->control), {}};
                    }
                    transfers_.erase(e.source);
                }
            }
            break;
        case BusEvent::Kind::transfer_announced:
            if (e.pgn == pgn_ && c.answers.count(e.source) == 0) {
                transfers_[e.source] =
                    now + timing_.per_packet * e.packets + timing_.transfer_margin;
                ++c.transfers;
            }
            break;
        case BusEvent::Kind::transfer_aborted:
            if (e.pgn == pgn_ && transfers_.erase(e.source) > 0) {
                ++c.aborted;
            }
            break;
        }
    }

    Clock::time_point end() const {
        Clock::time_point end = base_end_;
        for (const auto &[source, deadline] : transfers_) {
            end = std::max(end, deadline);
        }
        return end;
    }

    bool done(const Collected &c, const std::set<uint8_t> &expected) const {
        if (destination_ != kGlobal) {
            return c.answers.count(destination_) != 0;
        }
        return !expected.empty() && transfers_.empty() &&
               std::all_of(expected.begin(), expected.end(),
                           [&](uint8_t a) { return c.answers.count(a) != 0; });
    }

  private:
    uint32_t pgn_;
    uint8_t destination_;
    uint8_t us_;
    Timing timing_;
    Clock::time_point base_end_;
    std::map<uint8_t, Clock::time_point> transfers_; // source -> when it must be done
};

} // namespace

Collected request_and_collect(Bus &bus, uint32_t pgn, uint8_t destination, const Timing &timing,
                              const std::set<uint8_t> &expected,
                              const std::function<bool()> &interrupted) {
    const uint8_t us = bus.address();
    bus.discard_pending();
    const auto request = encode_request(pgn);
    bus.send(kPgnRequest, destination, request);
    const Clock::time_point start = bus.now();
    Window window(pgn, destination, us, timing, start);
    Collected c;
    while (!window.done(c, expected) && !(interrupted && interrupted())) {
        const Clock::time_point end = window.end();
        if (bus.now() >= end) {
            break;
        }
        if (auto e = bus.next(end)) {
            window.take(*e, bus.now(), c);
        }
    }
    c.took = std::chrono::duration_cast<Milliseconds>(bus.now() - start);
    return c;
}

} // namespace vehcan::diag
