// SPDX-License-Identifier: MIT
// The tap's socket and the index of senders it fills.
#include "bus_tap.h"

#include <algorithm>
#include <array>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vehcan::cli {

namespace {
constexpr uint32_t kPgnAcknowledgement = 59392;
constexpr size_t kLargestMessage = 1785; // a whole transport-protocol transfer
} // namespace

// ---- sender index -------------------------------------------------------------------

void SenderIndex::record(uint8_t sender, uint32_t pgn, const uint8_t *data, size_t len) {
    ++heard_[sender];
    std::deque<Seen> &seen = latest_[pgn];
    seen.push_front({sender, std::vector<uint8_t>(data, data + len)});
    if (seen.size() > kPerPgn) {
        seen.pop_back();
    }
}

const SenderIndex::Seen *SenderIndex::match(uint32_t pgn, const uint8_t *data, size_t len) const {
    const auto it = latest_.find(pgn);
    if (it == latest_.end()) {
        return nullptr;
    }
    for (const Seen &s : it->second) {
        if (std::equal(s.data.begin(), s.data.end(), data, data + len)) {
            return &s;
        }
    }
    return nullptr;
}

bool SenderIndex::holds(uint32_t pgn, const uint8_t *data, size_t len) const {
    return match(pgn, data, len) != nullptr;
}

std::optional<uint8_t> SenderIndex::sender_of(uint32_t pgn, const uint8_t *data, size_t len) const {
    if (const Seen *s = match(pgn, data, len)) {
        return s->sender;
    }
    const auto it = latest_.find(pgn);
    if (it == latest_.end() || it->second.empty()) {
        return std::nullopt;
    }
    return it->second.front().sender;
}

// ---- tap ----------------------------------------------------------------------------

BusTap::BusTap() {
    fd_ = socket(PF_CAN, SOCK_DGRAM | SOCK_CLOEXEC, CAN_J1939);
    if (fd_ < 0) {
        return;
    }
    const int on = 1;
    setsockopt(fd_, SOL_CAN_J1939, SO_J1939_PROMISC, &on, sizeof on);
    // Short waits, so that the destructor never waits long for the thread.
    struct timeval tv {
        0, 200000
    };
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(if_nametoindex("can0"));
    addr.can_addr.j1939.name = J1939_NO_NAME;
    addr.can_addr.j1939.pgn = J1939_NO_PGN;
    addr.can_addr.j1939.addr = J1939_NO_ADDR;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    thread_ = std::thread([this] { run(); });
}

BusTap::~BusTap() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::optional<uint8_t> BusTap::sender_of(uint32_t pgn, const uint8_t *data, size_t len) const {
    const std::lock_guard lock(mutex_);
    return index_.sender_of(pgn, data, len);
}

std::optional<uint8_t> BusTap::sender_of_latest(uint32_t pgn, const uint8_t *data, size_t len,
                                                std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    if (ok() && !not_awaited_.contains(pgn) &&
        !recorded_.wait_for(lock, patience, [&] { return index_.holds(pgn, data, len); })) {
        not_awaited_.insert(pgn);
    }
    return index_.sender_of(pgn, data, len);
}

std::map<uint8_t, unsigned long> BusTap::heard() const {
    const std::lock_guard lock(mutex_);
    return index_.heard();
}

std::optional<Acknowledgement> BusTap::acknowledgement(uint32_t pgn) const {
    const std::lock_guard lock(mutex_);
    const auto it = acks_.find(pgn);
    return it == acks_.end() ? std::nullopt : std::optional<Acknowledgement>(it->second);
}

void BusTap::run() {
    std::vector<uint8_t> data(kLargestMessage);
    while (!stop_.load()) {
        sockaddr_can from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(fd_, data.data(), data.size(), 0,
                                   reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) {
            continue;
        }
        const uint32_t pgn = from.can_addr.j1939.pgn;
        const uint8_t sender = from.can_addr.j1939.addr;
        {
            const std::lock_guard lock(mutex_);
            index_.record(sender, pgn, data.data(), static_cast<size_t>(n));
            if (pgn == kPgnAcknowledgement && n >= 8) {
                const uint32_t about = data[5] | static_cast<uint32_t>(data[6]) << 8 |
                                       static_cast<uint32_t>(data[7]) << 16;
                acks_[about] = Acknowledgement{data[0], sender};
            }
        }
        recorded_.notify_all();
    }
}

} // namespace vehcan::cli
