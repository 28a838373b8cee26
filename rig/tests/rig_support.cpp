// SPDX-License-Identifier: MIT
#include "rig_support.h"

#include "j1939_stack.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vehcan::rig {
namespace {

// Entries of a /proc directory, less own: the descriptor that the listing
// itself holds open while it counts /proc/self/fd.
int count_entries(const char *directory, int own) {
    std::error_code error;
    int n = 0;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        ++n;
    }
    return error ? -1 : n - own;
}

} // namespace

pid_t spawn(std::vector<std::string> args) {
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    return pid;
}

Sim::Sim(const std::vector<std::string> &args) {
    std::vector<std::string> all = {VEHCAN_SIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = spawn(all);
}

Sim::~Sim() {
    stop();
}

int Sim::wait(std::chrono::milliseconds timeout) {
    const Clock::time_point end = Clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return -1;
        }
        if (Clock::now() >= end) {
            stop();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

void Sim::pause() {
    if (pid_ > 0) {
        kill(pid_, SIGSTOP);
    }
}

void Sim::resume() {
    if (pid_ > 0) {
        kill(pid_, SIGCONT);
    }
}

void Sim::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT); // a paused process takes the SIGTERM only once it goes on
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

int run_sim(const std::vector<std::string> &args, std::chrono::milliseconds timeout) {
    Sim sim(args);
    return sim.wait(timeout);
}

bool shell(const std::string &command) {
    const pid_t pid = spawn({"/bin/sh", "-c", command});
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

int open_descriptor_count() {
    return count_entries("/proc/self/fd", 1);
}

int thread_count() {
    return count_entries("/proc/self/task", 0);
}

bool next_broadcast_of(uint32_t pgn, Payload &payload, std::chrono::milliseconds timeout) {
    const Clock::time_point end = Clock::now() + timeout;
    while (Clock::now() < end) {
        uint8_t buffer[255] = {};
        int len = 0;
        unsigned long got = 0;
        if (j1939_recv_broadcast_response(buffer, &len, &got) == 0 && got == pgn) {
            payload.assign(buffer, buffer + len);
            return true;
        }
    }
    return false;
}

std::vector<Payload> take_broadcasts_of(uint32_t pgn) {
    std::vector<Payload> found;
    mq_attr a{};
    while (mq_getattr(bc_mq, &a) == 0 && a.mq_curmsgs > 0) {
        uint8_t buffer[255] = {};
        int len = 0;
        unsigned long got = 0;
        if (j1939_recv_broadcast_response(buffer, &len, &got) != 0) {
            break;
        }
        if (got == pgn) {
            found.emplace_back(buffer, buffer + len);
        }
    }
    return found;
}

void drain_output_queues() {
    clear_message_queue(bc_mq);
    clear_message_queue(req_resp_mq);
}

std::string text_of(const Payload &p) {
    return std::string(p.begin(), p.end());
}

} // namespace vehcan::rig
