// SPDX-License-Identifier: MIT
// Helpers of the rig's tests, which run inside the guest: the simulated
// truck as a child process, descriptor and thread counts of this process,
// and the library's queues seen from the host's side.
#ifndef VEHCAN_RIG_TESTS_RIG_SUPPORT_H
#define VEHCAN_RIG_TESTS_RIG_SUPPORT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vehcan::rig {

using Clock = std::chrono::steady_clock;
using Payload = std::vector<uint8_t>;

// A vehcan-sim process. The destructor stops it (SIGTERM) and reaps it.
class Sim {
  public:
    explicit Sim(const std::vector<std::string> &args);
    ~Sim();
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;

    bool running() const { return pid_ > 0; }
    // Waits for the process to end by itself; returns its exit status, or
    // -1 when it did not end within timeout (it is killed then).
    int wait(std::chrono::milliseconds timeout);
    void stop();
    // Holds the process (SIGSTOP) and lets it go on (SIGCONT): a truck that
    // sends nothing for a while without leaving the bus.
    void pause();
    void resume();

  private:
    pid_t pid_ = -1;
};

// Starts args[0] with the rest as its arguments; its pid, or -1.
pid_t spawn(std::vector<std::string> args);

// Runs vehcan-sim with args to its end; its exit status or -1.
int run_sim(const std::vector<std::string> &args,
            std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs a shell command; true when it exited with status 0.
bool shell(const std::string &command);

int open_descriptor_count(); // entries of /proc/self/fd
int thread_count();          // entries of /proc/self/task

// Takes records off "/brdcst_queue" until one of pgn arrives or timeout
// passes. Records of other PGNs are dropped.
bool next_broadcast_of(uint32_t pgn, Payload &payload,
                       std::chrono::milliseconds timeout = std::chrono::seconds(3));

// Every record now on "/brdcst_queue" of pgn, taking all records off.
std::vector<Payload> take_broadcasts_of(uint32_t pgn);

// Discards what "/brdcst_queue" and "/reqst_resp_queue" hold.
void drain_output_queues();

std::string text_of(const Payload &p);

} // namespace vehcan::rig

#endif
