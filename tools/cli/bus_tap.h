// SPDX-License-Identifier: MIT
// A promiscuous J1939 socket of the tool's own on can0, beside the stack.
// The stack's queue records carry a message's PGN and payload but not its
// sender, and its filter drops acknowledgements while a request is pending;
// the tap sees every message with its source address.
#ifndef VEHCAN_CLI_BUS_TAP_H
#define VEHCAN_CLI_BUS_TAP_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace vehcan::cli {

struct Acknowledgement {
    int control = -1; // 0 positive, 1 negative, 2 access denied, 3 cannot respond
    uint8_t sender = 0;
};

// Remembers, per PGN, the senders of its last few payloads. Fed by BusTap;
// usable on its own (the tests feed it).
class SenderIndex {
  public:
    void record(uint8_t sender, uint32_t pgn, const uint8_t *data, size_t len);
    // The sender of the latest message of pgn with exactly these bytes;
    // failing that the latest sender of pgn; nothing when pgn was not heard.
    std::optional<uint8_t> sender_of(uint32_t pgn, const uint8_t *data, size_t len) const;
    // Whether a message of pgn with exactly these bytes was heard lately.
    bool holds(uint32_t pgn, const uint8_t *data, size_t len) const;
    // Every source address heard and how many messages it sent.
    const std::map<uint8_t, unsigned long> &heard() const { return heard_; }

  private:
    struct Seen {
        uint8_t sender;
        std::vector<uint8_t> data;
    };
    const Seen *match(uint32_t pgn, const uint8_t *data, size_t len) const;
    static constexpr size_t kPerPgn = 8;
    std::map<uint32_t, std::deque<Seen>> latest_; // newest first
    std::map<uint8_t, unsigned long> heard_;
};

class BusTap {
  public:
    // Opens the socket on can0 and starts reading on a thread of its own. A
    // tap that cannot open its socket (ok() false) just knows nothing.
    BusTap();
    ~BusTap();
    BusTap(const BusTap &) = delete;
    BusTap &operator=(const BusTap &) = delete;

    bool ok() const { return fd_ >= 0; }
    std::optional<uint8_t> sender_of(uint32_t pgn, const uint8_t *data, size_t len) const;
    // As sender_of, for a message the stack has just delivered: the tap's
    // thread may not have read it yet, so this waits up to patience for it.
    // A PGN whose bytes the tap once failed to see in time is not waited
    // for again (the kernel may hand the tap other bytes than the stack).
    std::optional<uint8_t> sender_of_latest(uint32_t pgn, const uint8_t *data, size_t len,
                                            std::chrono::milliseconds patience);
    std::map<uint8_t, unsigned long> heard() const;
    // The latest acknowledgement (PGN 59392) about pgn, if any was seen.
    std::optional<Acknowledgement> acknowledgement(uint32_t pgn) const;

  private:
    void run();

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable recorded_;
    SenderIndex index_;
    std::set<uint32_t> not_awaited_;
    std::map<uint32_t, Acknowledgement> acks_;
    std::thread thread_;
};

} // namespace vehcan::cli

#endif
