// SPDX-License-Identifier: MIT
#include "fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <thread>

namespace fake {
namespace {

State *g_state = new State; // never destroyed: detached stack threads outlive main

int fake_system(const char *command) {
    const std::lock_guard lock(g_state->mutex);
    const std::string cmd = command;
    g_state->commands.push_back(cmd);
    const std::string up = "ip link set can0 up type can bitrate ";
    if (cmd.rfind(up, 0) == 0) {
        if (cmd.find("listen-only") != std::string::npos && !g_state->listen_only_supported) {
            return 2 << 8; // the shell's status for ip's refusal
        }
        std::istringstream rest(cmd.substr(up.size()));
        rest >> g_state->link_rate;
    }
    return g_state->command_result ? g_state->command_result(cmd) : 0;
}

int fake_socket(int domain, int type, int protocol) {
    const std::lock_guard lock(g_state->mutex);
    ++g_state->sockets_created;
    if (g_state->sockets_created == g_state->fail_socket_call || domain != PF_CAN ||
        type != SOCK_DGRAM || protocol != CAN_J1939) {
        errno = EMFILE;
        return -1;
    }
    const int fd = g_state->next_fd++;
    g_state->open_sockets[fd] = Socket{};
    return fd;
}

int fake_setsockopt(int fd, int level, int name, const void *value, socklen_t len) {
    const std::lock_guard lock(g_state->mutex);
    auto it = g_state->open_sockets.find(fd);
    if (it == g_state->open_sockets.end()) {
        errno = EBADF;
        return -1;
    }
    if (level == SOL_CAN_J1939 && name == SO_J1939_PROMISC && len == sizeof(int)) {
        it->second.promiscuous = *static_cast<const int *>(value) == 1;
    } else if (level == SOL_SOCKET && name == SO_BROADCAST && len == sizeof(int)) {
        if (g_state->fail_broadcast_option) {
            errno = ENOPROTOOPT;
            return -1;
        }
        it->second.broadcast = *static_cast<const int *>(value) == 1;
    } else if (level == SOL_SOCKET && name == SO_RCVTIMEO && len == sizeof(timeval)) {
        const auto *tv = static_cast<const timeval *>(value);
        it->second.has_receive_timeout = tv->tv_sec == 5 && tv->tv_usec == 0;
    }
    return 0;
}

int fake_bind(int fd, const sockaddr *addr, socklen_t len) {
    const std::lock_guard lock(g_state->mutex);
    auto it = g_state->open_sockets.find(fd);
    if (it == g_state->open_sockets.end()) {
        errno = EBADF;
        return -1;
    }
    if (g_state->fail_bind || len != sizeof(sockaddr_can)) {
        errno = EADDRINUSE;
        return -1;
    }
    std::memcpy(&it->second.address, addr, sizeof(sockaddr_can));
    it->second.bound = true;
    return 0;
}

// Waits for the next frame on the receive socket fd. Returns its length
// (cut to len), or -1 with errno set; on the probe socket a frame of 8 bytes
// stands for traffic at the current rate.
ssize_t receive_frame(int fd, void *buf, size_t len, Frame &frame) {
    std::unique_lock lock(g_state->mutex);
    ++g_state->receive_calls;
    auto it = g_state->open_sockets.find(fd);
    if (it == g_state->open_sockets.end()) {
        errno = EBADF;
        return -1;
    }
    if (!it->second.promiscuous) { // the probe socket
        if (g_state->rates_with_traffic.count(g_state->link_rate) == 0) {
            errno = EAGAIN;
            return -1;
        }
        frame.has_address = false;
        return g_state->probe_receives_empty_message ? 0 : 8;
    }
    ++g_state->stream_receive_calls;
    if (g_state->receive_errno != 0) {
        errno = g_state->receive_errno;
        return -1;
    }
    // A short stand-in for the socket's 5-second receive time-out.
    g_state->frames_ready.wait_for(lock, std::chrono::milliseconds(100),
                                   [] { return !g_state->frames.empty(); });
    if (g_state->frames.empty()) {
        errno = EAGAIN;
        return -1;
    }
    frame = std::move(g_state->frames.front());
    g_state->frames.pop_front();
    if (!frame.data.empty()) {
        ++g_state->stream_messages_taken;
    }
    const size_t n = std::min(len, frame.data.size());
    if (n != 0) { // an empty frame's data() may be null, which memcpy does not take
        std::memcpy(buf, frame.data.data(), n);
    }
    return static_cast<ssize_t>(n);
}

void fill_address(const Frame &f, sockaddr *to, socklen_t len) {
    if (f.has_address && to != nullptr && len >= sizeof(sockaddr_can)) {
        auto *a = reinterpret_cast<sockaddr_can *>(to);
        a->can_family = AF_CAN;
        a->can_addr.j1939.pgn = f.pgn;
        a->can_addr.j1939.addr = f.source;
    }
}

ssize_t fake_recvfrom(int fd, void *buf, size_t len, int /*flags*/, sockaddr *from,
                      socklen_t *from_len) {
    Frame f;
    const ssize_t n = receive_frame(fd, buf, len, f);
    if (n >= 0 && from_len != nullptr) {
        fill_address(f, from, *from_len);
    }
    return n;
}

// As the kernel does: the receiver's address, when there is one, comes as
// control data.
ssize_t fake_recvmsg(int fd, msghdr *message, int /*flags*/) {
    if (message->msg_iovlen != 1) {
        errno = EINVAL;
        return -1;
    }
    Frame f;
    const ssize_t n =
        receive_frame(fd, message->msg_iov[0].iov_base, message->msg_iov[0].iov_len, f);
    if (n < 0) {
        return n;
    }
    fill_address(f, static_cast<sockaddr *>(message->msg_name), message->msg_namelen);
    size_t used = 0;
    if (f.destination != J1939_NO_ADDR && message->msg_controllen >= CMSG_SPACE(1)) {
        cmsghdr *c = CMSG_FIRSTHDR(message);
        c->cmsg_level = SOL_CAN_J1939;
        c->cmsg_type = SCM_J1939_DEST_ADDR;
        c->cmsg_len = CMSG_LEN(1);
        *CMSG_DATA(c) = f.destination;
        used = CMSG_SPACE(1);
    }
    message->msg_controllen = used;
    return n;
}

// As the kernel does with MSG_WAITFORONE: waits for the first message
// only, then takes the frames already delivered, up to count.
int fake_recvmmsg(int fd, mmsghdr *messages, unsigned int count, int flags, timespec *) {
    if ((flags & MSG_WAITFORONE) == 0 || count == 0) {
        errno = EINVAL;
        return -1;
    }
    unsigned int taken = 0;
    while (taken < count) {
        if (taken > 0) {
            const std::lock_guard lock(g_state->mutex);
            if (g_state->frames.empty() || g_state->receive_errno != 0) {
                break;
            }
        }
        const ssize_t n = fake_recvmsg(fd, &messages[taken].msg_hdr, 0);
        if (n < 0) {
            if (taken == 0) {
                return -1;
            }
            break;
        }
        messages[taken].msg_len = static_cast<unsigned int>(n);
        ++taken;
    }
    {
        const std::lock_guard lock(g_state->mutex);
        ++g_state->batch_receive_calls;
        g_state->largest_batch = std::max(g_state->largest_batch, taken);
    }
    return static_cast<int>(taken);
}

int fake_clock_gettime(clockid_t clock, timespec *now) {
    const int rc = ::clock_gettime(clock, now);
    if (rc == 0 && clock == CLOCK_MONOTONIC) {
        const std::lock_guard lock(g_state->mutex);
        const auto total = std::chrono::seconds(now->tv_sec) +
                           std::chrono::nanoseconds(now->tv_nsec) + g_state->clock_offset;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(total);
        now->tv_sec = static_cast<time_t>(seconds.count());
        now->tv_nsec = static_cast<long>((total - seconds).count());
    }
    return rc;
}

ssize_t fake_sendto(int fd, const void *buf, size_t len, int /*flags*/, const sockaddr *to,
                    socklen_t to_len) {
    const std::lock_guard lock(g_state->mutex);
    if (g_state->open_sockets.count(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    Sent s;
    s.fd = fd;
    if (to_len == sizeof(sockaddr_can)) {
        std::memcpy(&s.to, to, sizeof(sockaddr_can));
    }
    const auto *bytes = static_cast<const uint8_t *>(buf);
    s.data.assign(bytes, bytes + len);
    g_state->sent.push_back(s);
    if (g_state->fail_send) {
        errno = ENETDOWN;
        return -1;
    }
    return static_cast<ssize_t>(len);
}

int fake_close(int fd) {
    const std::lock_guard lock(g_state->mutex);
    if (g_state->open_sockets.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    g_state->closed.push_back(fd);
    if (g_state->fail_close) {
        errno = EIO;
        return -1;
    }
    return 0;
}

unsigned int fake_if_nametoindex(const char *name) {
    return std::strcmp(name, "can0") == 0 ? kCan0Index : 0;
}

int fake_access(const char *path, int mode) {
    const std::lock_guard lock(g_state->mutex);
    if (g_state->stale_queues_present && mode == F_OK &&
        std::strncmp(path, "/dev/mqueue/", 12) == 0) {
        return 0;
    }
    errno = ENOENT;
    return -1;
}

int fake_mq_unlink(const char *name) {
    {
        const std::lock_guard lock(g_state->mutex);
        g_state->unlinked.emplace_back(name);
    }
    return ::mq_unlink(name);
}

int fake_setrlimit(int, const rlimit *) {
    return 0;
}

int fake_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*body)(void *),
                        void *arg) {
    {
        const std::lock_guard lock(g_state->mutex);
        ++g_state->threads_created;
        if (g_state->threads_created == g_state->fail_thread_call) {
            return EAGAIN;
        }
    }
    return ::pthread_create(thread, attr, body, arg);
}

} // namespace

const char *const kLinkDown = "ifconfig can0 down";

State &state() {
    return *g_state;
}

void install() {
    // The previous state may still be in use by a stack thread: it stays
    // alive, and reachable for LeakSanitizer, to the end of the process.
    static auto *retired = new std::vector<State *>;
    retired->push_back(g_state);
    g_state = new State;
    auto &p = vehcan::detail::platform();
    p = vehcan::detail::linux_platform();
    p.socket = fake_socket;
    p.setsockopt = fake_setsockopt;
    p.bind = fake_bind;
    p.recvfrom = fake_recvfrom;
    p.recvmsg = fake_recvmsg;
    p.recvmmsg = fake_recvmmsg;
    p.clock_gettime = fake_clock_gettime;
    p.sendto = fake_sendto;
    p.close = fake_close;
    p.if_nametoindex = fake_if_nametoindex;
    p.system = fake_system;
    p.access = fake_access;
    p.mq_unlink = fake_mq_unlink;
    p.setrlimit = fake_setrlimit;
    p.pthread_create = fake_pthread_create;
    p.queue_depth = kQueueDepth;
}

void deliver(uint32_t pgn, std::vector<uint8_t> data, bool has_address) {
    {
        const std::lock_guard lock(g_state->mutex);
        g_state->frames.push_back(Frame{pgn, std::move(data), has_address});
    }
    g_state->frames_ready.notify_all();
}

void deliver_between(uint8_t source, uint8_t destination, uint32_t pgn, std::vector<uint8_t> data) {
    {
        const std::lock_guard lock(g_state->mutex);
        Frame f{pgn, std::move(data), true, source, destination};
        g_state->frames.push_back(std::move(f));
    }
    g_state->frames_ready.notify_all();
}

void advance_clock(std::chrono::milliseconds by) {
    const std::lock_guard lock(g_state->mutex);
    g_state->clock_offset += by;
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        {
            const std::lock_guard lock(g_state->mutex);
            if (pred()) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<std::string> commands() {
    const std::lock_guard lock(g_state->mutex);
    return g_state->commands;
}

int bring_up() {
    {
        const std::lock_guard lock(g_state->mutex);
        g_state->rates_with_traffic = {250000};
    }
    return j1939_can_init();
}

std::string link_up(int rate, const char *listen_only) {
    std::string cmd = "ip link set can0 up type can bitrate " + std::to_string(rate);
    if (listen_only != nullptr) {
        cmd += std::string(" listen-only ") + listen_only;
    }
    return cmd;
}

} // namespace fake
