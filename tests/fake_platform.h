// SPDX-License-Identifier: MIT
// A scripted platform for the stack's tests: the shell, J1939 sockets and
// thread creation are simulated; message queues and poll are the real ones
// with a small depth that fits the default queue limits.
#ifndef VEHCAN_TESTS_FAKE_PLATFORM_H
#define VEHCAN_TESTS_FAKE_PLATFORM_H

#include "j1939_stack.h"
#include "platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace fake {

constexpr long kQueueDepth =
    4; // three queues of 4 records: many test processes fit the per-user queue limit at once
constexpr unsigned int kCan0Index = 7;

struct Frame {
    uint32_t pgn = 0;
    std::vector<uint8_t> data;
    bool has_address = true; // false: the socket reports no sender address
    uint8_t source = 0x00;
    uint8_t destination = J1939_NO_ADDR; // J1939_NO_ADDR: the kernel names no receiver
};

struct Socket {
    bool promiscuous = false;
    bool broadcast = false;
    bool bound = false;
    bool has_receive_timeout = false;
    sockaddr_can address{};
};

struct Sent {
    int fd = -1;
    sockaddr_can to{};
    std::vector<uint8_t> data;
};

struct State {
    std::mutex mutex;
    std::condition_variable frames_ready;

    // shell
    std::vector<std::string> commands;
    std::set<int> rates_with_traffic;
    int link_rate = 0;
    bool listen_only_supported = true;
    std::function<int(const std::string &)> command_result; // default: 0

    // sockets
    int next_fd = 100;
    std::map<int, Socket> open_sockets;
    std::vector<int> closed;
    int sockets_created = 0;
    int fail_socket_call = 0; // the Nth socket() call fails (1-based); 0: none
    bool fail_bind = false;
    bool fail_broadcast_option = false;
    bool fail_close = false;
    bool fail_send = false;
    bool probe_receives_empty_message = false;
    std::deque<Frame> frames;           // what the receive socket delivers
    int receive_errno = 0;              // non-zero: every receive fails with it
    int receive_calls = 0;              // every receive, the probe's included
    int stream_receive_calls = 0;       // receives on the promiscuous receive socket
    int batch_receive_calls = 0;        // receiver calls, each of which may take several messages
    uint64_t stream_messages_taken = 0; // non-empty frames handed to the receive socket's reader
    unsigned int largest_batch = 0;
    std::vector<Sent> sent;

    // the monotonic clock, as the stack sees it: the real one plus this
    std::chrono::nanoseconds clock_offset{0};

    // queues
    bool stale_queues_present = false;
    std::vector<std::string> unlinked;

    // threads
    int threads_created = 0;
    int fail_thread_call = 0; // the Nth pthread_create fails (1-based)
};

State &state();

// Installs the fake platform (and resets its state).
void install();

// Hands a frame to the receive socket.
void deliver(uint32_t pgn, std::vector<uint8_t> data, bool has_address = true);

// Hands a frame from source to destination to the receive socket.
void deliver_between(uint8_t source, uint8_t destination, uint32_t pgn, std::vector<uint8_t> data);

// Moves the stack's monotonic clock forward.
void advance_clock(std::chrono::milliseconds by);

// Waits until pred() holds under the state lock, or the time runs out.
bool wait_until(const std::function<bool()> &pred,
                std::chrono::milliseconds limit = std::chrono::milliseconds(3000));

// Commands that the fake shell ran, in order.
std::vector<std::string> commands();

// Brings the stack up on the fake platform with traffic at 250000 bit/s.
// Returns j1939_can_init()'s result.
int bring_up();

// The link-up and link-down commands, as the stack composes them.
std::string link_up(int rate, const char *listen_only = nullptr);
extern const char *const kLinkDown;

// Counts the queue calls of the stack on the real queues: count() routes
// mq_timedreceive, mq_receive and poll to the system through counters that
// start at zero.
struct QueueCalls {
    static inline std::atomic<int> timed{0};
    static inline std::atomic<int> plain{0};
    static inline std::atomic<int> polls{0};

    static void count() {
        timed = 0;
        plain = 0;
        polls = 0;
        auto &p = vehcan::detail::platform();
        p.mq_timedreceive = [](mqd_t q, char *msg, size_t len, unsigned int *prio,
                               const timespec *deadline) {
            ++timed;
            return ::mq_timedreceive(q, msg, len, prio, deadline);
        };
        p.mq_receive = [](mqd_t q, char *msg, size_t len, unsigned int *prio) {
            ++plain;
            return ::mq_receive(q, msg, len, prio);
        };
        p.poll = [](pollfd *fds, nfds_t n, int timeout_ms) {
            ++polls;
            return ::poll(fds, n, timeout_ms);
        };
    }
};

} // namespace fake

#endif
