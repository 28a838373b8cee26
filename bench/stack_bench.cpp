// SPDX-License-Identifier: MIT
// The stack's own figures on a scripted platform (no CAN needed):
//  - CPU used by the whole process with the stack up on a silent bus,
//  - CPU used by a retrieval call waiting on an empty queue,
//  - request-to-answer latency through the filter thread: a request is made
//    pending, an answer record is injected into "/recv_queue", and the time
//    until j1939_recv_request_response() returns it is measured.
// Run it in a private IPC namespace: unshare --ipc build/bench/stack_bench
#include "fake_platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void inject(uint32_t pgn) {
    char record[5078] = {};
    record[0] = 8;
    record[1] = static_cast<char>(pgn >> 8);
    record[2] = static_cast<char>(pgn);
    mq_send(resv_mq, record, sizeof record, 0);
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

} // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 10)) : 2000;
    fake::install();
    if (fake::bring_up() != 0) {
        (void)std::fprintf(stderr, "stack_bench: the stack did not come up\n");
        return 1;
    }

    // Idle: both threads up, nothing on the bus. The scripted socket wakes
    // the receiver every 100 ms (a real one every 5 s), so this is an upper
    // bound of the real figure.
    constexpr double kIdleSeconds = 3.0;
    double cpu0 = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdleSeconds));
    const double idle_percent = 100.0 * (process_cpu_seconds() - cpu0) / kIdleSeconds;

    // A retrieval call waiting out its deadline on an empty queue.
    uint8_t buf[255];
    int len = 0;
    unsigned long pgn = 0;
    const auto wait_start = Clock::now();
    cpu0 = thread_cpu_seconds();
    j1939_recv_broadcast_response(buf, &len, &pgn);
    const double wait_cpu = thread_cpu_seconds() - cpu0;
    const double wait_seconds = std::chrono::duration<double>(Clock::now() - wait_start).count();

    // Request to answer.
    std::vector<double> latency_us;
    latency_us.reserve(static_cast<size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
        j1939_send_request_message(65262, 0xF9, 0x00);
        const auto t0 = Clock::now();
        inject(65262);
        if (j1939_recv_request_response(buf, &len, 65262) != 0) {
            (void)std::fprintf(stderr, "stack_bench: answer %d timed out\n", i);
            return 1;
        }
        latency_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }

    std::printf("| stack: idle CPU, stack up, silent bus | %.3f %% of one core |\n", idle_percent);
    std::printf("| stack: CPU of a retrieval waiting %.2f s on an empty queue | %.3f %% |\n",
                wait_seconds, 100.0 * wait_cpu / wait_seconds);
    std::printf("| stack: request-to-answer latency through the filter, p50 | %.1f us |\n",
                percentile(latency_us, 0.50));
    std::printf("| stack: request-to-answer latency through the filter, p99 | %.1f us |\n",
                percentile(latency_us, 0.99));
    return 0;
}
