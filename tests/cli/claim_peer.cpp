// SPDX-License-Identifier: MIT
// Another node for the rig's address-claim cases: on a raw CAN socket it
// claims one address with its NAME, answers Requests for Address Claimed,
// and defends the address against higher NAMEs.
//   claim_peer INTERFACE NAME ADDRESS [DELAY_SECONDS]
// With a delay it stays silent that long before its claim (a node that
// takes an address in the middle of another's run). Prints one line per
// claim it sends; runs until SIGTERM or SIGINT.
#include <name.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void on_signal(int) {
    g_stop = 1;
}

constexpr uint32_t kPfRequest = 0xEA;
constexpr uint32_t kPfAddressClaimed = 0xEE;

int open_raw(const char *interface) {
    const int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        return -1;
    }
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = static_cast<int>(::if_nametoindex(interface));
    if (a.can_ifindex == 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_claim(int fd, uint64_t name, uint8_t address) {
    can_frame f{};
    f.can_id = CAN_EFF_FLAG | 6U << 26U | kPfAddressClaimed << 16U | 0xFFU << 8U | address;
    f.can_dlc = 8;
    const auto payload = vehcan::claim::name_payload(name);
    std::memcpy(f.data, payload.data(), payload.size());
    if (::write(fd, &f, sizeof f) == static_cast<ssize_t>(sizeof f)) {
        std::printf("claim_peer: claimed 0x%02X\n", address);
        (void)std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        (void)std::fprintf(stderr, "usage: claim_peer INTERFACE NAME ADDRESS [DELAY_SECONDS]\n");
        return 2;
    }
    const auto name = vehcan::claim::parse_name(argv[2]);
    const unsigned long address = std::strtoul(argv[3], nullptr, 0);
    const double delay = argc > 4 ? std::strtod(argv[4], nullptr) : 0;
    if (!name || address > 0xFD) {
        (void)std::fprintf(stderr, "claim_peer: bad NAME or address\n");
        return 2;
    }
    const auto ours = static_cast<uint8_t>(address);
    const int fd = open_raw(argv[1]);
    if (fd < 0) {
        (void)std::fprintf(stderr, "claim_peer: %s: %s\n", argv[1], strerrordesc_np(errno));
        return 1;
    }
    (void)std::signal(SIGTERM, on_signal);
    (void)std::signal(SIGINT, on_signal);
    const auto claim_at = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(delay));
    bool claimed = false;
    while (g_stop == 0) {
        if (!claimed && std::chrono::steady_clock::now() >= claim_at) {
            send_claim(fd, *name, ours);
            claimed = true;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
            continue;
        }
        can_frame f{};
        if (::read(fd, &f, sizeof f) != static_cast<ssize_t>(sizeof f) ||
            (f.can_id & CAN_EFF_FLAG) == 0 || !claimed) {
            continue;
        }
        const uint32_t pf = (f.can_id >> 16U) & 0xFFU;
        const uint32_t ps = (f.can_id >> 8U) & 0xFFU;
        const uint32_t sa = f.can_id & 0xFFU;
        if (pf == kPfRequest && f.can_dlc >= 3 && f.data[0] == 0x00 && f.data[1] == 0xEE &&
            f.data[2] == 0x00 && (ps == 0xFF || ps == ours)) {
            send_claim(fd, *name, ours);
        } else if (pf == kPfAddressClaimed && sa == ours && f.can_dlc == 8) {
            const auto rival = vehcan::claim::payload_name(f.data, 8);
            if (rival && *rival > *name) {
                send_claim(fd, *name, ours); // ours is lower: the address stays ours
            }
        }
    }
    ::close(fd);
    return 0;
}
