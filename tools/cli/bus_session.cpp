// SPDX-License-Identifier: MIT
// The stack's bring-up on can0 and single requests, for monitor, request
// and scan.
#include "bus_session.h"
#include "bus_tap.h"
#include "common.h"

#include <j1939_stack.h>

#include <array>
#include <csignal>
#include <fmt/format.h>
#include <fstream>
#include <net/if.h>
#include <string>
#include <unistd.h>

namespace vehcan::cli {

namespace {

constexpr std::array kProbeRates{250000, 500000, 1000000, 125000, 100000};
constexpr int kCapNetAdmin = 12;

extern "C" void on_interrupt(int) {
    g_stop.store(true);
}

} // namespace

std::atomic<bool> g_stop{false};

void catch_interrupts() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a wait in progress ends early
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

namespace {

// Whether this process may reconfigure network links (CAP_NET_ADMIN in its
// effective set, which root has).
bool may_configure_links() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            const unsigned long long caps = std::stoull(line.substr(7), nullptr, 16);
            return ((caps >> kCapNetAdmin) & 1U) != 0;
        }
    }
    return geteuid() == 0;
}

} // namespace

// The probe runs first through j1939_find_baudrate() so that each rate can be shown;
// j1939_can_init() then finds the same rate at its first listen.
int bring_up(const std::function<void()> &rate_found) {
    if (!may_configure_links()) {
        throw Failure(kExitStack, "reconfiguring can0 needs root or CAP_NET_ADMIN: run vehcan "
                                  "as root");
    }
    if (if_nametoindex("can0") == 0) {
        throw Failure(kExitStack, "no interface can0: is a CAN controller present and its "
                                  "driver loaded?");
    }
    int detected = 0;
    for (int rate : kProbeRates) {
        fmt::print(stderr, "probing {} bit/s... ", rate);
        (void)std::fflush(stderr);
        const int rc = j1939_find_baudrate(rate);
        if (rc == 0) {
            fmt::print(stderr, "traffic\n");
            detected = rate;
            break;
        }
        if (rc == J1939_ERR_NO_BUS_TRAFFIC) {
            fmt::print(stderr, "no traffic\n");
        } else if (rc == J1939_ERR_LINK_UP || rc == J1939_ERR_LINK_DOWN) {
            fmt::print(stderr, "failed\n");
            throw Failure(kExitStack, fmt::format("cannot set can0 to {} bit/s (error {}): is "
                                                  "it a CAN interface that may be reconfigured?",
                                                  rate, rc));
        } else {
            fmt::print(stderr, "failed\n");
            throw Failure(kExitStack,
                          fmt::format("cannot open a J1939 socket on can0 (error {}): does the "
                                      "kernel have CAN_J1939 (module can-j1939)?",
                                      rc));
        }
        if (g_stop.load()) {
            throw Failure(kExitStack, "interrupted while probing");
        }
    }
    if (detected == 0) {
        throw Failure(kExitStack, "no traffic at any bit rate: is the bus connected and a node "
                                  "powered?");
    }
    if (rate_found) {
        rate_found();
    }
    const int rc = j1939_can_init();
    switch (rc) {
    case 0:
        break;
    case J1939_ERR_MQ_OPEN:
        throw Failure(kExitStack, "cannot create the message queues: the queue limits are too "
                                  "low (fs.mqueue.msg_max must be 5000 or more and "
                                  "RLIMIT_MSGQUEUE about 80 MB; root lifts them)");
    case J1939_FAIL:
        throw Failure(kExitStack, "the bus fell silent during bring-up");
    case J1939_ERR_THREAD_CREATE:
        throw Failure(kExitStack, "cannot start the stack's threads");
    default:
        throw Failure(kExitStack,
                      fmt::format("cannot bring up can0 at the detected rate (error {})", rc));
    }
    fmt::print(stderr, "can0 up at {} bit/s\n", detected);
    return detected;
}

RequestAnswer ask(uint32_t pgn, uint8_t from, uint8_t to) {
    const BusTap watch; // the stack drops acknowledgements while the request is pending
    const int sent = j1939_send_request_message(static_cast<uint16_t>(pgn), from, to);
    if (sent < 0) {
        throw Failure(
            kExitStack,
            fmt::format("cannot send the request from 0x{:02X} (error {}){}", from, sent,
                        sent == J1939_ERR_SOCK_BIND ? ": the address is not usable on can0" : ""));
    }
    RequestAnswer a;
    std::array<uint8_t, 256> buf{};
    int len = -1;
    if (j1939_recv_request_response(buf.data(), &len, pgn) == 0 && len >= 0) {
        a.answered = true;
        a.data.assign(buf.begin(), buf.begin() + len);
        return a;
    }
    if (const auto ack = watch.acknowledgement(pgn)) {
        a.ack = ack->control;
        a.ack_from = ack->sender;
    }
    return a;
}

std::string_view ack_text(int control) {
    switch (control) {
    case 1:
        return "negative acknowledgement (NACK)";
    case 2:
        return "access denied";
    case 3:
        return "cannot respond";
    default:
        return "acknowledgement";
    }
}

} // namespace vehcan::cli
