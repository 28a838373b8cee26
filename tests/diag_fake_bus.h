// SPDX-License-Identifier: MIT
// A bus for the diagnostics' tests: simulated ECUs that answer requests
// (single frames, transfers announced and completed later, NACKs) and
// clears (ACK, NACK, busy, silence) on a clock of the test's own, which
// jumps to the next event instead of sleeping, so that a 5 s settle or a
// 40 s transfer costs nothing.
#ifndef VEHCAN_TESTS_DIAG_FAKE_BUS_H
#define VEHCAN_TESTS_DIAG_FAKE_BUS_H

#include <diag_bus.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace vehcan::diag::testing {

using namespace std::chrono_literals;

class FakeBus;

// One simulated ECU: the DMs it answers and what it does with a clear.
struct FakeEcu {
    uint8_t address = 0;
    std::map<uint32_t, Bytes> answers; // by PGN; longer than 8 bytes: by transfer
    Milliseconds latency{20};          // until the answer begins
    Milliseconds per_packet{50};       // of a transfer
    // The acknowledgement control bytes it answers successive clears with
    // (0 ACK, 1 NACK, 2 denied, 3 busy); once used up, the last repeats.
    // Empty: it says nothing.
    std::vector<uint8_t> clear_answers;
    // Run on each ACKed clear (pgn 65228 or 65235): what it erases.
    std::function<void(FakeEcu &, uint32_t pgn)> on_clear;
    bool answers_global = true; // false: only requests sent to it

    size_t clears_seen = 0;
};

struct Sent {
    Clock::time_point at;
    uint32_t pgn = 0;
    uint8_t destination = 0;
    Bytes data;
};

class FakeBus : public Bus {
  public:
    explicit FakeBus(uint8_t us = 0xF9) : us_(us) {}

    uint8_t address() override { return us_; }
    void send(uint32_t pgn, uint8_t destination, ByteView data) override;
    std::optional<BusEvent> next(Clock::time_point deadline) override;
    void discard_pending() override;
    Clock::time_point now() override { return now_; }

    FakeEcu &add(FakeEcu ecu) {
        ecus_.push_back(std::make_unique<FakeEcu>(std::move(ecu)));
        return *ecus_.back();
    }
    // Schedules an event after this long.
    void at(Milliseconds after, BusEvent e) { events_.emplace(now_ + after, std::move(e)); }
    // A message every period from now on, forever.
    void every(Milliseconds period, BusEvent e) {
        periodic_.push_back({period, now_, std::move(e)});
    }
    // Requests (PGN 59904) sent, with the PGN each asked for.
    std::vector<std::pair<Sent, uint32_t>> requests() const;

    std::vector<Sent> sent;
    Clock::time_point start() const { return start_; }

  private:
    struct Periodic {
        Milliseconds period;
        Clock::time_point next;
        BusEvent event;
    };
    void request(FakeEcu &ecu, uint32_t pgn, uint8_t destination);
    void answer(FakeEcu &ecu, uint32_t pgn, const Bytes &payload, uint8_t destination);
    void acknowledge(FakeEcu &ecu, uint8_t control, uint32_t pgn);

    uint8_t us_;
    Clock::time_point start_ = Clock::time_point{} + std::chrono::hours(1);
    Clock::time_point now_ = start_;
    std::multimap<Clock::time_point, BusEvent> events_;
    std::vector<Periodic> periodic_;
    std::vector<std::unique_ptr<FakeEcu>> ecus_;
};

// A message from source to all.
BusEvent message(uint32_t pgn, uint8_t source, Bytes data, uint8_t destination = kGlobal);
Bytes hex(std::string_view text);

} // namespace vehcan::diag::testing

#endif
