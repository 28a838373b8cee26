// SPDX-License-Identifier: MIT
// What the service tells systemd, and the watch over the stack's threads
// that decides whether the watchdog is fed.
#include "service_runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using vehcan::service::Clock;
using vehcan::service::ThreadWatch;

namespace {

pid_t own_tid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// A thread that wakes every 20 ms, as the stack's threads wake at their
// time-outs.
struct TurningThread {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> stop{false};
    std::thread thread{[this] {
        tid = own_tid();
        while (!stop) {
            std::this_thread::sleep_for(20ms);
        }
    }};
    TurningThread() {
        while (tid == 0) {
            std::this_thread::sleep_for(1ms);
        }
    }
    ~TurningThread() {
        stop = true;
        thread.join();
    }
    TurningThread(const TurningThread &) = delete;
    TurningThread &operator=(const TurningThread &) = delete;
};

// A thread that blocks on a pipe nobody writes to until it is released,
// as a thread that hangs.
struct HangingThread {
    int pipe_fds[2]{-1, -1};
    std::atomic<pid_t> tid{0};
    std::thread thread;
    HangingThread() {
        EXPECT_EQ(pipe(pipe_fds), 0);
        thread = std::thread([this] {
            tid = own_tid();
            char c = 0;
            (void)read(pipe_fds[0], &c, 1);
        });
        while (tid == 0) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(100ms); // until it sits in read()
    }
    ~HangingThread() {
        (void)write(pipe_fds[1], "x", 1);
        thread.join();
        close(pipe_fds[0]);
        close(pipe_fds[1]);
    }
    HangingThread(const HangingThread &) = delete;
    HangingThread &operator=(const HangingThread &) = delete;
};

} // namespace

// ---- the stack's threads ---------------------------------------------------------------------

TEST(ThreadWatch, ATurningThreadIsAlivePastTheWindow) {
    TurningThread t;
    EXPECT_EQ(vehcan::service::process_threads().count(t.tid), 1U);
    ThreadWatch watch(500ms);
    const auto t0 = Clock::now();
    watch.watch({t.tid}, t0);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(watch.alive(t0 + 2s)); // it switched since: seen at t0 + 2 s
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(watch.alive(t0 + 2s + 400ms));
    EXPECT_EQ(watch.stuck(), 0);
}

TEST(ThreadWatch, AHangingThreadFailsOnceTheWindowPassed) {
    TurningThread turning;
    HangingThread hanging;
    ThreadWatch watch(500ms);
    const auto t0 = Clock::now();
    watch.watch({turning.tid, hanging.tid}, t0);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(watch.alive(t0 + 400ms)); // within the window
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(watch.alive(t0 + 600ms));
    EXPECT_EQ(watch.stuck(), hanging.tid.load());
}

TEST(ThreadWatch, AnEndedThreadFailsAtOnce) {
    std::atomic<pid_t> tid{0};
    std::thread short_lived([&tid] { tid = own_tid(); });
    short_lived.join();
    ThreadWatch watch(10s);
    const auto t0 = Clock::now();
    watch.watch({tid.load()}, t0);
    EXPECT_EQ(vehcan::service::thread_switches(tid), -1);
    EXPECT_FALSE(watch.alive(t0 + 1ms));
    EXPECT_EQ(watch.stuck(), tid.load());
    // Nothing watched proves nothing.
    ThreadWatch empty(10s);
    EXPECT_FALSE(empty.alive(Clock::now()));
}

// ---- systemd -----------------------------------------------------------------------------------

namespace {

// The service manager's end of $NOTIFY_SOCKET.
class NotifySocket {
  public:
    NotifySocket() {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        path_ = "/tmp/vehcan-notify-" + std::to_string(getpid());
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path_.copy(a.sun_path, sizeof a.sun_path - 1);
        unlink(path_.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        timeval tv{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads the environment here
        setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    }
    ~NotifySocket() {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads the environment here
        unsetenv("NOTIFY_SOCKET");
        close(fd_);
        unlink(path_.c_str());
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;
    // The next datagram, or "" after a second.
    std::string next() const {
        char buf[512];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

  private:
    int fd_ = -1;
    std::string path_;
};

} // namespace

TEST(Notifier, TellsReadinessStatusAndTheWatchdog) {
    NotifySocket manager;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads the environment here
    setenv("WATCHDOG_USEC", "20000000", 1);
    const vehcan::service::Notifier n;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads the environment here
    unsetenv("WATCHDOG_USEC");
    EXPECT_TRUE(n.managed());
    EXPECT_EQ(n.watchdog_interval(), 20s);
    vehcan::service::Notifier(n).ready("250 kbit/s, 0 messages (0/s)");
    EXPECT_EQ(manager.next(), "READY=1\nSTATUS=250 kbit/s, 0 messages (0/s)");
    vehcan::service::Notifier(n).watchdog();
    EXPECT_EQ(manager.next(), "WATCHDOG=1");
    vehcan::service::Notifier(n).stopping("bye");
    EXPECT_EQ(manager.next(), "STOPPING=1\nSTATUS=bye");
}

TEST(Notifier, SilentWithoutAServiceManager) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads the environment here
    unsetenv("NOTIFY_SOCKET");
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads the environment here
    unsetenv("WATCHDOG_USEC");
    vehcan::service::Notifier n;
    EXPECT_FALSE(n.managed());
    EXPECT_EQ(n.watchdog_interval(), Clock::duration::zero());
    n.ready("x"); // nowhere to go, and no failure
}

TEST(Notifier, StatusLineInWords) {
    EXPECT_EQ(vehcan::service::status_text(250000, 1234, 56.4, "connected"),
              "250 kbit/s, 1234 messages (56/s), broker connected");
    EXPECT_EQ(vehcan::service::status_text(500000, 0, 0, ""), "500 kbit/s, 0 messages (0/s)");
}

TEST(Journal, NoPriorityPrefixUnlessStandardErrorIsTheJournal) {
    // The test's standard error is not the journal's stream, whatever
    // $JOURNAL_STREAM the test was started with.
    EXPECT_EQ(vehcan::service::priority_prefix(vehcan::service::Priority::kError), "");
}
