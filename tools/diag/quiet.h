// SPDX-License-Identifier: MIT
// A quiet bus (DM13): other nodes stop their broadcasts while vehcan works,
// and start them again afterwards. The nodes keep the stop only while a
// hold signal comes at most 6 s apart: QuietBus sends one every 5 s from
// inside its waits, so that whatever runs over it (a read, or just the
// waiting of vehcan diag quiet) keeps the bus quiet without thinking of it.
// Requests and their answers go on as usual: DM13 stops broadcasts only.
#ifndef VEHCAN_DIAG_QUIET_H
#define VEHCAN_DIAG_QUIET_H

#include "diag_bus.h"

#include <string>

namespace vehcan::diag {

constexpr Milliseconds kHoldPeriod{5000};

class QuietBus : public Bus {
  public:
    // Sends the stop (DM13) to destination (kGlobal: all nodes). Throws what
    // Bus::send() throws.
    explicit QuietBus(Bus &inner, uint8_t destination = kGlobal,
                      Milliseconds hold_period = kHoldPeriod);
    // Starts the broadcasts again if finish() did not; errors are dropped
    // (the nodes go back by themselves 6 s after the last hold).
    ~QuietBus() override;
    QuietBus(const QuietBus &) = delete;
    QuietBus &operator=(const QuietBus &) = delete;

    // Sends the start (DM13). Throws what Bus::send() throws.
    void finish();
    unsigned holds() const { return holds_; }

    uint8_t address() override { return inner_.address(); }
    void send(uint32_t pgn, uint8_t destination, ByteView data) override {
        inner_.send(pgn, destination, data);
    }
    // Sends the hold signal whenever one is due while it waits.
    std::optional<BusEvent> next(Clock::time_point deadline) override;
    void discard_pending() override { inner_.discard_pending(); }
    Clock::time_point now() override { return inner_.now(); }

  private:
    void hold_if_due();

    Bus &inner_;
    uint8_t destination_;
    Milliseconds hold_period_;
    Clock::time_point last_hold_;
    unsigned holds_ = 0;
    bool finished_ = false;
};

struct QuietOptions {
    Milliseconds duration{0}; // 0: until interrupted
    uint8_t destination = kGlobal;
    std::function<bool()> interrupted; // may be empty
    // Told each step ("broadcasts stopped", each hold, "started again").
    std::function<void(const std::string &)> report;
};

struct QuietResult {
    Milliseconds quiet{0};
    unsigned holds = 0;
    unsigned long heard = 0; // messages from other nodes while quiet
};

// vehcan diag quiet: stop, hold every 5 s until the duration ends or
// interrupted() turns true, start again.
QuietResult run_quiet(Bus &bus, const QuietOptions &options);

} // namespace vehcan::diag

#endif
