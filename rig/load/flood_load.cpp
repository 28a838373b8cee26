// SPDX-License-Identifier: MIT
// Load measurement on the rig (reported, not asserted). Inside the guest:
// brings the stack up on can0, then lets vehcan-sim flood can1 and compares,
// side by side, what the library delivers through "/brdcst_queue" with what
// a plain promiscuous CAN_J1939 reader gets from the kernel.
//
//   vehcan_rig_load [SECONDS [FRAMES_PER_SECOND]]
//
// SECONDS of flood (30); FRAMES_PER_SECOND paces it (0, the default: as fast
// as the emulated bus takes frames). Run it with rig/run-guest.sh.
#include "j1939_stack.h"
#include "rig_support.h"
#include "stack_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <memory>
#include <net/if.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kFloodPgn = 0xFF10;

uint32_t now_us32() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000000U +
                                 static_cast<uint64_t>(t.tv_nsec) / 1000U);
}

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::set<int> task_ids() {
    std::set<int> ids;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/task", error), last;
         !error && it != last; it.increment(error)) {
        ids.insert(static_cast<int>(std::strtol(it->path().filename().c_str(), nullptr, 10)));
    }
    return ids;
}

// User plus system time of one of this process's threads.
double task_cpu_seconds(int tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size()) {
        const size_t space = stat.find(' ', at);
        fields.push_back(stat.substr(at, space - at));
        if (space == std::string::npos) {
            break;
        }
        at = space + 1;
    }
    // After the name: state is field 3, utime 14 and stime 15 (1-based).
    if (fields.size() < 13) {
        return 0;
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

struct Side {
    unsigned long count = 0;
    std::vector<uint32_t> latency_us;
    double cpu_s = 0;
    std::set<uint32_t> sequences;

    void take(const uint8_t *payload) {
        uint32_t sequence = 0;
        uint32_t sent = 0;
        std::memcpy(&sequence, payload, 4); // little-endian on every target of the rig
        std::memcpy(&sent, payload + 4, 4);
        ++count;
        latency_us.push_back(now_us32() - sent);
        sequences.insert(sequence);
    }

    uint32_t percentile(double q) {
        if (latency_us.empty()) {
            return 0;
        }
        const auto at = static_cast<size_t>(q * static_cast<double>(latency_us.size() - 1));
        std::nth_element(latency_us.begin(), latency_us.begin() + static_cast<long>(at),
                         latency_us.end());
        return latency_us[at];
    }
};

// What the kernel delivers to a promiscuous CAN_J1939 socket, counted and
// timed, without queues or threads in between.
void plain_reader(const std::atomic<bool> &stop, Side &side) {
    const int fd = ::socket(PF_CAN, SOCK_DGRAM, CAN_J1939);
    const int on = 1;
    ::setsockopt(fd, SOL_CAN_J1939, SO_J1939_PROMISC, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const timeval timeout = {0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_can local{};
    local.can_family = AF_CAN;
    local.can_ifindex = static_cast<int>(if_nametoindex("can0"));
    local.can_addr.j1939 = {J1939_NO_NAME, J1939_NO_PGN, J1939_NO_ADDR};
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0) {
        std::perror("load: plain reader bind");
        ::close(fd);
        return;
    }
    const double cpu_start = thread_cpu_seconds();
    while (!stop) {
        uint8_t data[128];
        sockaddr_can from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, data, sizeof data, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n == 8 && from.can_addr.j1939.pgn == kFloodPgn) {
            side.take(data);
        }
    }
    side.cpu_s = thread_cpu_seconds() - cpu_start;
    ::close(fd);
}

// The host's side of the library: drains "/brdcst_queue".
void library_drainer(const std::atomic<bool> &stop, Side &side, double &cpu_s) {
    const double cpu_start = thread_cpu_seconds();
    while (!stop) {
        uint8_t data[255];
        int len = 0;
        unsigned long pgn = 0;
        if (j1939_recv_broadcast_response(data, &len, &pgn) == 0 && pgn == kFloodPgn && len == 8) {
            side.take(data);
        }
    }
    cpu_s = thread_cpu_seconds() - cpu_start;
}

void print_side(const char *name, Side &side, unsigned long sent) {
    std::printf("  %-28s %9lu frames (%lu distinct), lost %lu (%.2f %%), latency p50 %u us, "
                "p99 %u us\n",
                name, side.count, static_cast<unsigned long>(side.sequences.size()),
                sent - std::min<unsigned long>(sent, side.sequences.size()),
                sent == 0 ? 0.0
                          : 100.0 *
                                static_cast<double>(
                                    sent - std::min<unsigned long>(sent, side.sequences.size())) /
                                static_cast<double>(sent),
                side.percentile(0.50), side.percentile(0.99));
}

} // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 30.0;
    const double rate = argc > 2 ? std::strtod(argv[2], nullptr) : 0.0;
    (void)std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!vehcan::rig::shell(
            "ip link set can1 down && ip link set can1 up type can bitrate 500000")) {
        (void)std::fprintf(stderr, "load: cannot bring can1 up\n");
        return 1;
    }

    // Bring-up needs traffic: the truck plays until the stack is up.
    auto truck = std::make_unique<vehcan::rig::Sim>(std::vector<std::string>{"--quiet"});
    const std::set<int> before = task_ids();
    const int up = j1939_can_init();
    truck.reset();
    if (up != 0) {
        (void)std::fprintf(stderr, "load: bring-up failed (%d)\n", up);
        return 1;
    }
    std::vector<int> library_threads;
    for (const int id : task_ids()) {
        if (before.count(id) == 0) {
            library_threads.push_back(id);
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    clear_message_queue(bc_mq);

    std::atomic<bool> stop{false};
    Side plain;
    Side library;
    double drainer_cpu = 0;
    std::thread reader([&] { plain_reader(stop, plain); });
    std::thread drainer([&] { library_drainer(stop, library, drainer_cpu); });
    double library_cpu_start = 0;
    for (const int id : library_threads) {
        library_cpu_start += task_cpu_seconds(id);
    }
    const auto drains_start = vehcan::detail::counters().queue_drains.load();
    const auto received_start = vehcan::detail::counters().messages_received.load();

    const std::string report = "/tmp/vehcan-rig-load-" + std::to_string(getpid());
    std::vector<std::string> flood = {"--flood", std::to_string(seconds), "--report", report};
    if (rate > 0) {
        flood.insert(flood.end(), {"--flood-rate", std::to_string(rate)});
    }
    vehcan::rig::Sim flooder(flood);
    flooder.wait(std::chrono::seconds(static_cast<long>(seconds) + 60));
    std::this_thread::sleep_for(std::chrono::seconds(3)); // let the queues empty
    stop = true;
    reader.join();
    drainer.join();
    double library_cpu = -library_cpu_start;
    for (const int id : library_threads) {
        library_cpu += task_cpu_seconds(id);
    }

    unsigned long sent = 0;
    double flood_seconds = 0;
    std::ifstream in(report);
    std::string key;
    while (in >> key) {
        if (key == "frames_sent") {
            in >> sent;
        } else if (key == "seconds") {
            in >> flood_seconds;
        }
    }
    (void)std::remove(report.c_str());

    std::printf("load: flood of %.1f s (%s), %lu frames sent (%.0f frames/s)\n", flood_seconds,
                rate > 0 ? "paced" : "as fast as the bus takes", sent,
                flood_seconds > 0 ? static_cast<double>(sent) / flood_seconds : 0.0);
    print_side("plain promiscuous reader:", plain, sent);
    print_side("library (/brdcst_queue):", library, sent);
    std::printf("  CPU: library's receiver and filter threads %.2f s, the host's draining thread "
                "%.2f s; plain reader %.2f s\n",
                library_cpu, drainer_cpu, plain.cpu_s);
    std::printf("  library: %llu messages received, %llu queue drains\n",
                static_cast<unsigned long long>(
                    vehcan::detail::counters().messages_received.load() - received_start),
                static_cast<unsigned long long>(vehcan::detail::counters().queue_drains.load() -
                                                drains_start));
    return 0;
}
