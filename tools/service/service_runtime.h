// SPDX-License-Identifier: MIT
// vehcan monitor as a systemd service: readiness and status through
// sd_notify(), the watchdog fed only while the stack's threads still turn,
// journald priorities on standard error, and SIGHUP for a reload.
#ifndef VEHCAN_SERVICE_SERVICE_RUNTIME_H
#define VEHCAN_SERVICE_SERVICE_RUNTIME_H

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>

namespace vehcan::service {

using Clock = std::chrono::steady_clock;

// ---- journald ---------------------------------------------------------------------------------

// syslog priorities as journald reads them from a "<N>" line prefix.
enum class Priority : int { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

// Whether standard error is connected to the journal ($JOURNAL_STREAM names
// its device and inode). Looked up once.
bool stderr_is_journal();

// "<3>" for kError when standard error is the journal, else "".
std::string priority_prefix(Priority p);

// Writes one line to standard error with the prefix.
void log_line(Priority p, const std::string &text);

// ---- reload -----------------------------------------------------------------------------------

// Set by SIGHUP once catch_reload() ran; the monitor loop clears it.
extern std::atomic<bool> g_reload;
void catch_reload();

// ---- the stack's threads ----------------------------------------------------------------------

// The threads of this process, by id (/proc/self/task).
std::set<pid_t> process_threads();

// Tells whether threads are still turning. A thread of the stack that
// waits for traffic still wakes at each receive time-out (every few
// seconds), so its count of context switches grows even on a silent bus;
// a thread that ended, or that hangs on a lock, stops counting.
class ThreadWatch {
  public:
    // window: the longest a live thread may go without a switch.
    explicit ThreadWatch(Clock::duration window) : window_(window) {}

    // Watches these threads from now on.
    void watch(const std::set<pid_t> &threads, Clock::time_point now);

    // Reads each thread's switch count. True when every watched thread
    // exists and counted a switch within the window before now; false also
    // when nothing is watched.
    bool alive(Clock::time_point now);

    // The first watched thread that failed the last alive(), or 0.
    pid_t stuck() const { return stuck_; }

  private:
    struct Seen {
        long long switches = -1;
        Clock::time_point when{};
    };
    Clock::duration window_;
    std::map<pid_t, Seen> threads_;
    pid_t stuck_ = 0;
};

// Voluntary plus involuntary context switches of one of our threads, or
// -1 when it no longer exists (or is a zombie).
long long thread_switches(pid_t tid);

// ---- systemd ----------------------------------------------------------------------------------

// sd_notify() for the service manager; every call does nothing when the
// process was not started by one (no $NOTIFY_SOCKET).
class Notifier {
  public:
    Notifier();
    bool managed() const { return managed_; }
    // WatchdogSec= as set for this process, or zero.
    Clock::duration watchdog_interval() const { return watchdog_; }

    void ready(const std::string &status);
    void status(const std::string &status);
    void reloading();
    void stopping(const std::string &status);
    void watchdog();

  private:
    bool managed_ = false;
    Clock::duration watchdog_{};
};

// The STATUS= line: "250 kbit/s, 1234 messages (56/s), broker connected".
std::string status_text(int bitrate, unsigned long messages, double per_second,
                        const std::string &broker);

} // namespace vehcan::service

#endif
