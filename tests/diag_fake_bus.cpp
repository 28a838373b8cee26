// SPDX-License-Identifier: MIT
// The simulated ECUs of the diagnostics' tests: see diag_fake_bus.h.
#include "diag_fake_bus.h"

#include <algorithm>
#include <stdexcept>

namespace vehcan::diag::testing {

BusEvent message(uint32_t pgn, uint8_t source, Bytes data, uint8_t destination) {
    BusEvent e;
    e.pgn = pgn;
    e.source = source;
    e.destination = destination;
    e.data = std::move(data);
    return e;
}

Bytes hex(std::string_view text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(
            static_cast<uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

std::vector<std::pair<Sent, uint32_t>> FakeBus::requests() const {
    std::vector<std::pair<Sent, uint32_t>> out;
    for (const Sent &s : sent) {
        if (s.pgn == kPgnRequest && s.data.size() == 3) {
            out.emplace_back(s, s.data[0] | static_cast<uint32_t>(s.data[1]) << 8U |
                                    static_cast<uint32_t>(s.data[2]) << 16U);
        }
    }
    return out;
}

void FakeBus::send(uint32_t pgn, uint8_t destination, ByteView data) {
    sent.push_back({now_, pgn, destination, Bytes(data.begin(), data.end())});
    if (pgn != kPgnRequest || data.size() != 3) {
        return;
    }
    const uint32_t asked =
        data[0] | static_cast<uint32_t>(data[1]) << 8U | static_cast<uint32_t>(data[2]) << 16U;
    for (auto &ecu : ecus_) {
        if (destination == ecu->address || (destination == kGlobal && ecu->answers_global)) {
            request(*ecu, asked, destination);
        }
    }
}

void FakeBus::request(FakeEcu &ecu, uint32_t pgn, uint8_t destination) {
    if (pgn == kPgnDm3 || pgn == kPgnDm11) {
        const size_t n = ecu.clears_seen++;
        if (ecu.clear_answers.empty()) {
            return;
        }
        const uint8_t control = ecu.clear_answers[std::min(n, ecu.clear_answers.size() - 1)];
        if (control == 0 && ecu.on_clear) {
            ecu.on_clear(ecu, pgn);
        }
        acknowledge(ecu, control, pgn);
        return;
    }
    if (const auto it = ecu.answers.find(pgn); it != ecu.answers.end()) {
        answer(ecu, pgn, it->second, destination);
    } else if (destination == ecu.address) {
        acknowledge(ecu, 1, pgn); // not supported
    }
}

void FakeBus::answer(FakeEcu &ecu, uint32_t pgn, const Bytes &payload, uint8_t destination) {
    if (payload.size() <= 8) {
        at(ecu.latency, message(pgn, ecu.address, payload));
        return;
    }
    // A BAM to all, or an RTS to us; the kernel hands over the whole message
    // once the last packet is in.
    BusEvent announce;
    announce.kind = BusEvent::Kind::transfer_announced;
    announce.pgn = pgn;
    announce.source = ecu.address;
    announce.destination = destination == kGlobal ? kGlobal : us_;
    announce.size = payload.size();
    announce.packets = static_cast<unsigned>((payload.size() + 6) / 7);
    at(ecu.latency, announce);
    at(ecu.latency + ecu.per_packet * announce.packets,
       message(pgn, ecu.address, payload, announce.destination));
}

void FakeBus::acknowledge(FakeEcu &ecu, uint8_t control, uint32_t pgn) {
    at(ecu.latency, message(kPgnAcknowledgement, ecu.address,
                            {control, 0xFF, 0xFF, 0xFF, us_, static_cast<uint8_t>(pgn),
                             static_cast<uint8_t>(pgn >> 8U), static_cast<uint8_t>(pgn >> 16U)}));
}

std::optional<BusEvent> FakeBus::next(Clock::time_point deadline) {
    // Each periodic message's next occurrence, when due by the deadline,
    // becomes an event (one per call: the deadline may be far).
    for (Periodic &p : periodic_) {
        while (p.next < now_) {
            p.next += p.period; // nobody listened then
        }
        if (p.next <= deadline) {
            events_.emplace(p.next, p.event);
            p.next += p.period;
        }
    }
    if (events_.empty() || events_.begin()->first > deadline) {
        now_ = std::max(now_, deadline);
        return std::nullopt;
    }
    auto it = events_.begin();
    now_ = std::max(now_, it->first);
    BusEvent e = std::move(it->second);
    events_.erase(it);
    return e;
}

void FakeBus::discard_pending() {
    events_.erase(events_.begin(), events_.upper_bound(now_));
}

} // namespace vehcan::diag::testing
