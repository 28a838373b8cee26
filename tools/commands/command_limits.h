// SPDX-License-Identifier: MIT
// The bounds on what commands make the gateway do: a token bucket, the
// transmit gate every frame of a command passes, and the tokens that tie a
// diag.clear confirmation to the preparation a person saw.
#ifndef VEHCAN_COMMANDS_COMMAND_LIMITS_H
#define VEHCAN_COMMANDS_COMMAND_LIMITS_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace vehcan::commands {

using SteadyClock = std::chrono::steady_clock;

// ---- token bucket ------------------------------------------------------------------------------

// Holds at most burst tokens and gains rate of them a second. Not
// thread-safe. A rate of zero or less never refills.
class TokenBucket {
  public:
    // Starts full at now.
    TokenBucket(double rate, double burst, SteadyClock::time_point now);

    // Takes n tokens when there are n; false (and nothing taken) otherwise.
    bool take(SteadyClock::time_point now, double n = 1);
    // How long until n tokens are there; zero when they are now. The
    // duration::max() when they never will be (n beyond burst, rate zero).
    SteadyClock::duration wait_for(SteadyClock::time_point now, double n = 1);

  private:
    void refill(SteadyClock::time_point now);

    double rate_;
    double burst_;
    double tokens_;
    SteadyClock::time_point last_;
};

// ---- transmit gate -----------------------------------------------------------------------------

// Every frame a command's operation puts on the bus passes here first, all
// operations together: at most rate frames a second, in bursts of at most
// one second's worth (at least 1). Thread-safe.
class TransmitGate {
  public:
    using Now = std::function<SteadyClock::time_point()>;
    using Sleep = std::function<void(SteadyClock::duration)>;

    // now and sleep default to the steady clock and this_thread::sleep_for.
    explicit TransmitGate(double rate, Now now = {}, Sleep sleep = {});

    // Waits until frames frames may be sent, and takes them. False, having
    // taken nothing, when that would be later than deadline or when frames
    // is more than a burst: the operation then sends nothing and fails.
    bool acquire(int frames, SteadyClock::time_point deadline);

    // Frames let through and refused since the start.
    uint64_t passed() const;
    uint64_t refused() const;

  private:
    Now now_;
    Sleep sleep_;
    mutable std::mutex mutex_;
    TokenBucket bucket_;
    uint64_t passed_ = 0;
    uint64_t refused_ = 0;
};

// ---- diag.clear tokens -------------------------------------------------------------------------

// A token is given by diag.clear's prepare step and taken by its confirm:
// valid kClearTokenLife from its issue, once, for the same key and the same
// clear (its scope: which codes, of which ECU; see clear_scope()).
// Kept in memory: a restart of the gateway voids every token. At most
// kMaxClearTokens live at once; beyond that the oldest goes. Thread-safe.
inline constexpr std::chrono::seconds kClearTokenLife{60};
inline constexpr size_t kMaxClearTokens = 16;

class ClearTokens {
  public:
    // A new token (32 hex digits from libsodium's generator) for this key
    // and scope. Throws std::runtime_error without a random source.
    std::string issue(const std::string &key_id, const std::string &scope,
                      SteadyClock::time_point now);

    // True once for a token issued to this key and scope less than
    // kClearTokenLife before now; the token is gone after any redeem() of
    // it, whatever the answer (a wrong guess costs the right one nothing
    // more than a new prepare).
    bool redeem(const std::string &token, const std::string &key_id, const std::string &scope,
                SteadyClock::time_point now);

    size_t live(SteadyClock::time_point now);

  private:
    struct Issued {
        std::string key_id;
        std::string scope;
        SteadyClock::time_point at;
    };
    void drop_expired(SteadyClock::time_point now);

    std::mutex mutex_;
    std::map<std::string, Issued> tokens_;
};

} // namespace vehcan::commands

#endif
