// SPDX-License-Identifier: MIT
// The bus of the diagnostics on Linux CAN_J1939: see diag_bus.h.
#include "diag_bus.h"

#include <failure.h>
#include <j1939_address.h>

#include <cerrno>
#include <cstring>
#include <fmt/format.h>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vehcan::diag {

namespace {

constexpr size_t kLargestMessage = 1785; // the transport protocol's
constexpr uint8_t kPriority = 6;
constexpr uint8_t kTpRts = 16;
constexpr uint8_t kTpBam = 32;
constexpr uint8_t kTpAbort = 255;
constexpr int kSendAttempts = 3;

std::string errno_text(int error) {
    return std::generic_category().message(error);
}

} // namespace

void wait_until(Bus &bus, Clock::time_point deadline, const std::function<bool()> &interrupted,
                const std::function<void(const BusEvent &)> &on_event) {
    while (bus.now() < deadline && !(interrupted && interrupted())) {
        if (auto e = bus.next(deadline); e && on_event) {
            on_event(*e);
        }
    }
}

SocketBus::SocketBus(std::string interface, std::function<std::optional<uint8_t>()> source)
    : interface_(std::move(interface)), source_(std::move(source)) {
    ifindex_ = if_nametoindex(interface_.c_str());
    if (ifindex_ == 0) {
        throw Failure(kExitStack, fmt::format("no interface {}", interface_));
    }
    raw_fd_ = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (raw_fd_ < 0) {
        throw Failure(kExitStack, fmt::format("cannot open a raw CAN socket on {}: {}", interface_,
                                              errno_text(errno)));
    }
    // TP.CM only: data page 0, PDU format 0xEC, any destination and source.
    const can_filter tp_cm{CAN_EFF_FLAG | 0xECU << 16U, CAN_EFF_FLAG | 0x3FFU << 16U};
    ::setsockopt(raw_fd_, SOL_CAN_RAW, CAN_RAW_FILTER, &tp_cm, sizeof tp_cm);
    sockaddr_can local{};
    local.can_family = AF_CAN;
    local.can_ifindex = static_cast<int>(ifindex_);
    if (::bind(raw_fd_, reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0) {
        const int error = errno;
        ::close(raw_fd_);
        throw Failure(kExitStack, fmt::format("cannot bind a raw CAN socket on {}: {}", interface_,
                                              errno_text(error)));
    }
    try {
        bind_to(current_address());
    } catch (...) {
        ::close(raw_fd_);
        throw;
    }
}

SocketBus::~SocketBus() {
    if (j1939_fd_ >= 0) {
        ::close(j1939_fd_);
    }
    if (raw_fd_ >= 0) {
        ::close(raw_fd_);
    }
}

uint8_t SocketBus::address() {
    return current_address();
}

uint8_t SocketBus::current_address() {
    const std::optional<uint8_t> a = source_();
    if (!a) {
        throw Failure(kExitCannotClaim, "no address to send from: ours was lost to a lower NAME "
                                        "and no other could be claimed");
    }
    return *a;
}

void SocketBus::bind_to(uint8_t address) {
    if (j1939_fd_ >= 0) {
        ::close(j1939_fd_);
        j1939_fd_ = -1;
        bound_.reset();
    }
    const int fd = ::socket(PF_CAN, SOCK_DGRAM | SOCK_CLOEXEC, CAN_J1939);
    if (fd < 0) {
        throw Failure(kExitStack, fmt::format("cannot open a J1939 socket on {}: {}", interface_,
                                              errno_text(errno)));
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const int priority = kPriority;
    ::setsockopt(fd, SOL_CAN_J1939, SO_J1939_SEND_PRIO, &priority, sizeof priority);
    const sockaddr_can local = j1939_address(ifindex_, J1939_NO_PGN, address);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0) {
        const int error = errno;
        ::close(fd);
        throw Failure(kExitStack, fmt::format("cannot bind a J1939 socket to 0x{:02X} on {}: {}",
                                              address, interface_, errno_text(error)));
    }
    j1939_fd_ = fd;
    bound_ = address;
}

void SocketBus::send(uint32_t pgn, uint8_t destination, ByteView data) {
    const uint8_t from = current_address();
    if (bound_ != from) {
        bind_to(from);
    }
    const sockaddr_can to = j1939_address(ifindex_, pgn, destination);
    int error = 0;
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        if (::sendto(j1939_fd_, data.data(), data.size(), 0,
                     reinterpret_cast<const sockaddr *>(&to), sizeof to) >= 0) {
            return;
        }
        error = errno;
        if (error != ENOBUFS && error != EAGAIN && error != EINTR) {
            break;
        }
        // The controller's queue is full for a moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw Failure(kExitStack, fmt::format("cannot send PGN {} from 0x{:02X} to 0x{:02X} on {}: {}",
                                          pgn, from, destination, interface_, errno_text(error)));
}

std::optional<BusEvent> SocketBus::read_message() {
    std::array<uint8_t, kLargestMessage + 1> buf{};
    sockaddr_can from{};
    iovec iov{buf.data(), buf.size()};
    alignas(cmsghdr)
        std::array<char, CMSG_SPACE(sizeof(uint8_t)) * 2 + CMSG_SPACE(sizeof(uint64_t))>
            control{};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(j1939_fd_, &msg, MSG_DONTWAIT);
    if (n < 0 || (msg.msg_flags & MSG_TRUNC) != 0) {
        return std::nullopt; // nothing, or longer than any diagnostic message
    }
    BusEvent e;
    e.pgn = from.can_addr.j1939.pgn;
    e.source = from.can_addr.j1939.addr;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_CAN_J1939 && c->cmsg_type == SCM_J1939_DEST_ADDR) {
            std::memcpy(&e.destination, CMSG_DATA(c), sizeof e.destination);
        }
    }
    e.data.assign(buf.begin(), buf.begin() + n);
    return e;
}

std::optional<BusEvent> SocketBus::read_announcement() {
    can_frame frame{};
    const ssize_t n = ::recv(raw_fd_, &frame, sizeof frame, MSG_DONTWAIT);
    if (n != static_cast<ssize_t>(sizeof frame) || frame.len != 8) {
        return std::nullopt;
    }
    const uint8_t control = frame.data[0];
    if (control != kTpRts && control != kTpBam && control != kTpAbort) {
        return std::nullopt; // CTS and end-of-message acknowledgements: the kernel's business
    }
    BusEvent e;
    e.kind =
        control == kTpAbort ? BusEvent::Kind::transfer_aborted : BusEvent::Kind::transfer_announced;
    e.source = static_cast<uint8_t>(frame.can_id & 0xFFU);
    e.destination = static_cast<uint8_t>(frame.can_id >> 8U & 0xFFU);
    e.pgn = frame.data[5] | static_cast<uint32_t>(frame.data[6]) << 8U |
            static_cast<uint32_t>(frame.data[7]) << 16U;
    e.size = frame.data[1] | static_cast<size_t>(frame.data[2]) << 8U;
    e.packets = frame.data[3];
    return e;
}

std::optional<BusEvent> SocketBus::next(Clock::time_point deadline) {
    if (bound_ != source_()) {
        bind_to(current_address()); // the claim moved: answers now go to the new address
    }
    const auto left = std::chrono::ceil<Milliseconds>(deadline - Clock::now());
    std::array<pollfd, 2> fds{pollfd{raw_fd_, POLLIN, 0}, pollfd{j1939_fd_, POLLIN, 0}};
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
        return std::nullopt; // the deadline, or a signal
    }
    // An announcement comes before the message it announces.
    if ((fds[0].revents & POLLIN) != 0) {
        if (auto e = read_announcement()) {
            return e;
        }
    }
    if ((fds[1].revents & POLLIN) != 0) {
        return read_message();
    }
    if ((fds[1].revents & POLLERR) != 0) {
        int error = 0;
        socklen_t len = sizeof error; // a link going down reports ENETDOWN once
        ::getsockopt(j1939_fd_, SOL_SOCKET, SO_ERROR, &error, &len);
    }
    return std::nullopt;
}

void SocketBus::discard_pending() {
    std::array<uint8_t, kLargestMessage + 1> buf{};
    for (const int fd : {j1939_fd_, raw_fd_}) {
        while (::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT) >= 0) {
        }
    }
}

} // namespace vehcan::diag
