// SPDX-License-Identifier: MIT
#include "service_runtime.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fmt/format.h>
#include <fstream>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace vehcan::service {

// ---- journald ---------------------------------------------------------------------------------

bool stderr_is_journal() {
    static const bool journal = [] {
        const char *stream = std::getenv("JOURNAL_STREAM"); // NOLINT(concurrency-mt-unsafe)
        struct stat st {};
        if (stream == nullptr || fstat(STDERR_FILENO, &st) != 0) {
            return false;
        }
        unsigned long long dev = 0;
        unsigned long long ino = 0;
        // NOLINTNEXTLINE(cert-err34-c): a malformed value leaves 0, which never matches
        if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) {
            return false;
        }
        return dev == static_cast<unsigned long long>(st.st_dev) &&
               ino == static_cast<unsigned long long>(st.st_ino);
    }();
    return journal;
}

std::string priority_prefix(Priority p) {
    return stderr_is_journal() ? fmt::format("<{}>", static_cast<int>(p)) : std::string();
}

void log_line(Priority p, const std::string &text) {
    fmt::print(stderr, "{}{}\n", priority_prefix(p), text);
    (void)std::fflush(stderr);
}

// ---- reload -----------------------------------------------------------------------------------

std::atomic<bool> g_reload{false};

namespace {
extern "C" void on_hangup(int) {
    g_reload.store(true);
}
} // namespace

void catch_reload() {
    struct sigaction sa {};
    sa.sa_handler = on_hangup;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &sa, nullptr);
}

// ---- the stack's threads ----------------------------------------------------------------------

std::set<pid_t> process_threads() {
    std::set<pid_t> threads;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return threads;
    }
    while (const dirent *e = readdir(dir)) { // NOLINT(concurrency-mt-unsafe): one reader
        char *end = nullptr;
        const long tid = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && tid > 0) {
            threads.insert(static_cast<pid_t>(tid));
        }
    }
    closedir(dir);
    return threads;
}

long long thread_switches(pid_t tid) {
    std::ifstream status(fmt::format("/proc/self/task/{}/status", tid));
    if (!status) {
        return -1;
    }
    long long switches = 0;
    bool counted = false;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("State:", 0) == 0 && line.find_first_of("ZX", 6) != std::string::npos) {
            return -1; // ended, not yet reaped
        }
        for (const char *key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
            const std::string k(key);
            if (line.rfind(k, 0) == 0) {
                switches += std::strtoll(line.c_str() + k.size(), nullptr, 10);
                counted = true;
            }
        }
    }
    return counted ? switches : -1;
}

void ThreadWatch::watch(const std::set<pid_t> &threads, Clock::time_point now) {
    for (const pid_t tid : threads) {
        threads_[tid] = Seen{thread_switches(tid), now};
    }
}

bool ThreadWatch::alive(Clock::time_point now) {
    stuck_ = 0;
    if (threads_.empty()) {
        return false;
    }
    bool all = true;
    for (auto &[tid, seen] : threads_) {
        const long long switches = thread_switches(tid);
        if (switches >= 0 && switches != seen.switches) {
            seen = Seen{switches, now};
        }
        if (switches < 0 || now - seen.when > window_) {
            if (all) {
                stuck_ = tid;
            }
            all = false;
        }
    }
    return all;
}

// ---- systemd ----------------------------------------------------------------------------------

Notifier::Notifier() {
    managed_ = std::getenv("NOTIFY_SOCKET") != nullptr; // NOLINT(concurrency-mt-unsafe)
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        watchdog_ = std::chrono::microseconds(usec);
    }
}

void Notifier::ready(const std::string &status) {
    if (managed_) {
        sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
    }
}

void Notifier::status(const std::string &status) {
    if (managed_) {
        sd_notifyf(0, "STATUS=%s", status.c_str());
    }
}

void Notifier::reloading() {
    if (managed_) {
        sd_notify(0, "RELOADING=1\nSTATUS=reloading the configuration");
    }
}

void Notifier::stopping(const std::string &status) {
    if (managed_) {
        sd_notifyf(0, "STOPPING=1\nSTATUS=%s", status.c_str());
    }
}

void Notifier::watchdog() {
    if (managed_) {
        sd_notify(0, "WATCHDOG=1");
    }
}

std::string status_text(int bitrate, unsigned long messages, double per_second,
                        const std::string &broker) {
    std::string s =
        fmt::format("{} kbit/s, {} messages ({:.0f}/s)", bitrate / 1000, messages, per_second);
    if (!broker.empty()) {
        s += ", broker " + broker;
    }
    return s;
}

} // namespace vehcan::service
