// SPDX-License-Identifier: MIT
// The claim's sockets and thread.
#include "bus_claim.h"

#include <j1939_address.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace vehcan::claim {

namespace {

constexpr uint32_t kPgnAddressClaimed = 60928; // 0xEE00
constexpr uint32_t kPgnRequest = 59904;        // 0xEA00
constexpr uint32_t kPdu1Mask = 0x3FF00;        // the PGN without its destination byte
// The thread looks at the stop flag at least this often.
constexpr int kLongestWaitMs = 100;
constexpr auto kErrorPause = std::chrono::milliseconds(20);

int bind_to(int fd, const sockaddr_can &a) {
    return ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
}

int set_flag(int fd, int level, int option) {
    const int on = 1;
    return ::setsockopt(fd, level, option, &on, sizeof on);
}

[[noreturn]] void fail(int fd, const char *what) {
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    throw std::system_error(error, std::generic_category(), what);
}

} // namespace

BusClaim::BusClaim(ClaimSettings settings)
    : settings_(std::move(settings)), claimer_(settings_.name, settings_.preferred) {
    ifindex_ = static_cast<int>(::if_nametoindex(settings_.interface.c_str()));
    if (ifindex_ == 0) {
        throw std::system_error(errno, std::generic_category(),
                                "no interface " + settings_.interface);
    }
    const int fd = ::socket(PF_CAN, SOCK_DGRAM | SOCK_CLOEXEC, CAN_J1939);
    if (fd < 0) {
        fail(fd, "cannot open a J1939 socket");
    }
    // Every claim and request on the bus, whoever it is addressed to.
    const std::array<j1939_filter, 2> filters{{
        {0, 0, kPgnAddressClaimed, kPdu1Mask, 0, 0},
        {0, 0, kPgnRequest, kPdu1Mask, 0, 0},
    }};
    if (set_flag(fd, SOL_CAN_J1939, SO_J1939_PROMISC) < 0 ||
        set_flag(fd, SOL_SOCKET, SO_BROADCAST) < 0 ||
        ::setsockopt(fd, SOL_CAN_J1939, SO_J1939_FILTER, filters.data(),
                     static_cast<socklen_t>(sizeof filters)) < 0) {
        fail(fd, "cannot set up the J1939 socket of the address claim");
    }
    if (bind_to(fd, j1939_address(ifindex_, J1939_NO_NAME, J1939_NO_PGN, J1939_NO_ADDR)) < 0) {
        fail(fd, "cannot bind the J1939 socket of the address claim");
    }
    listen_fd_ = fd;
    if (sender_for(kNullAddress) < 0) {
        const int error = errno;
        ::close(listen_fd_);
        throw std::system_error(error, std::generic_category(),
                                "cannot bind a J1939 socket to the NAME");
    }
    thread_ = std::thread([this] { run(); });
}

BusClaim::~BusClaim() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    if (send_fd_ >= 0) {
        ::close(send_fd_);
    }
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
    }
}

// ---- state, for the program's threads -------------------------------------------------

Claimer::State BusClaim::wait_settled(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return claimer_.settled(); });
    return claimer_.state();
}

std::optional<uint8_t> BusClaim::address() const {
    const std::lock_guard lock(mutex_);
    if (claimer_.state() != Claimer::State::held) {
        return std::nullopt;
    }
    return claimer_.address();
}

Claimer::State BusClaim::state() const {
    const std::lock_guard lock(mutex_);
    return claimer_.state();
}

std::optional<uint64_t> BusClaim::holder(uint8_t address) const {
    const std::lock_guard lock(mutex_);
    return claimer_.book().holder(address);
}

ClaimCounters BusClaim::counters() const {
    const std::lock_guard lock(mutex_);
    return counters_;
}

// ---- the thread -----------------------------------------------------------------------

void BusClaim::run() {
    {
        const std::lock_guard lock(mutex_);
        carry_out(claimer_.start(Clock::now()));
    }
    while (!stop_.load()) {
        int wait_ms = kLongestWaitMs;
        {
            const std::lock_guard lock(mutex_);
            if (const auto d = claimer_.deadline()) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(*d - Clock::now());
                wait_ms =
                    static_cast<int>(std::clamp<long long>(left.count() + 1, 0, kLongestWaitMs));
            }
        }
        pollfd p{listen_fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait_ms);
        if (ready > 0) {
            receive();
        } else if (ready < 0 && errno != EINTR) {
            std::this_thread::sleep_for(kErrorPause);
        }
        const std::lock_guard lock(mutex_);
        carry_out(claimer_.tick(Clock::now()));
    }
}

// Called with mutex_ held.
void BusClaim::carry_out(const Step &step) {
    for (const Send &s : step.sends) {
        if (send(s)) {
            ++counters_.frames_sent;
        } else {
            ++counters_.send_failures;
        }
    }
    if (settings_.on_event) {
        for (const ClaimEvent &e : step.events) {
            settings_.on_event(e);
        }
    }
    if (!step.sends.empty() || !step.events.empty()) {
        changed_.notify_all();
    }
}

void BusClaim::receive() {
    for (;;) {
        std::array<uint8_t, 16> data{};
        sockaddr_can from{};
        std::array<char, CMSG_SPACE(sizeof(uint8_t)) + CMSG_SPACE(sizeof(uint64_t)) +
                             CMSG_SPACE(sizeof(uint8_t)) + 64>
            control{};
        iovec iov{data.data(), data.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        const ssize_t n = ::recvmsg(listen_fd_, &msg, MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                // An error the kernel reported (the link went down): once.
                std::this_thread::sleep_for(kErrorPause);
            }
            return;
        }
        uint8_t destination = kGlobalAddress; // when the kernel names none
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_CAN_J1939 && c->cmsg_type == SCM_J1939_DEST_ADDR) {
                std::memcpy(&destination, CMSG_DATA(c), sizeof destination);
            }
        }
        const uint32_t pgn = from.can_addr.j1939.pgn & kPdu1Mask;
        const uint8_t source = from.can_addr.j1939.addr;
        const auto len = static_cast<size_t>(n);
        const std::lock_guard lock(mutex_);
        ++counters_.frames_heard;
        if (pgn == kPgnAddressClaimed) {
            if (const auto name = payload_name(data.data(), len)) {
                carry_out(claimer_.claim_heard(source, *name, Clock::now()));
            }
        } else if (pgn == kPgnRequest && len >= 3 &&
                   (data[0] | data[1] << 8U | data[2] << 16U) == kPgnAddressClaimed) {
            carry_out(claimer_.request_heard(destination));
        }
    }
}

// The NAME's socket bound to source, opened anew when the address changes
// (the old one is closed only once the new one is bound, so the kernel
// never forgets the NAME in between).
int BusClaim::sender_for(uint8_t source) {
    if (send_fd_ >= 0 && send_fd_address_ == source) {
        return send_fd_;
    }
    const int fd = ::socket(PF_CAN, SOCK_DGRAM | SOCK_CLOEXEC, CAN_J1939);
    if (fd < 0) {
        return -1;
    }
    if (set_flag(fd, SOL_SOCKET, SO_BROADCAST) < 0 ||
        bind_to(fd, j1939_address(ifindex_, settings_.name, J1939_NO_PGN, source)) < 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    if (send_fd_ >= 0) {
        ::close(send_fd_);
    }
    send_fd_ = fd;
    send_fd_address_ = source;
    return fd;
}

bool BusClaim::send(const Send &s) {
    const int fd = sender_for(s.source);
    if (fd < 0) {
        return false;
    }
    const auto to_all = [&](uint32_t pgn) {
        return j1939_address(ifindex_, J1939_NO_NAME, pgn, kGlobalAddress);
    };
    ssize_t sent = -1;
    if (s.kind == Send::Kind::request_for_claim) {
        const std::array<uint8_t, 3> request{static_cast<uint8_t>(kPgnAddressClaimed),
                                             static_cast<uint8_t>(kPgnAddressClaimed >> 8U),
                                             static_cast<uint8_t>(kPgnAddressClaimed >> 16U)};
        const sockaddr_can to = to_all(kPgnRequest);
        sent = ::sendto(fd, request.data(), request.size(), 0,
                        reinterpret_cast<const sockaddr *>(&to), sizeof to);
    } else {
        const std::array<uint8_t, 8> payload = name_payload(settings_.name);
        const sockaddr_can to = to_all(kPgnAddressClaimed);
        sent = ::sendto(fd, payload.data(), payload.size(), 0,
                        reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
    return sent >= 0;
}

} // namespace vehcan::claim
