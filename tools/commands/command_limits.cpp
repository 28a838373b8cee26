// SPDX-License-Identifier: MIT
// The token bucket, the transmit gate and the diag.clear tokens.
#include "command_limits.h"

#include "signing.h"

#include <algorithm>
#include <thread>

namespace vehcan::commands {

// ---- token bucket ------------------------------------------------------------------------------

TokenBucket::TokenBucket(double rate, double burst, SteadyClock::time_point now)
    : rate_(rate), burst_(burst), tokens_(burst), last_(now) {}

void TokenBucket::refill(SteadyClock::time_point now) {
    if (now <= last_) {
        return;
    }
    if (rate_ > 0) {
        const double seconds = std::chrono::duration<double>(now - last_).count();
        tokens_ = std::min(burst_, tokens_ + seconds * rate_);
    }
    last_ = now;
}

bool TokenBucket::take(SteadyClock::time_point now, double n) {
    refill(now);
    if (tokens_ + 1e-9 < n) {
        return false;
    }
    tokens_ = std::max(0.0, tokens_ - n);
    return true;
}

SteadyClock::duration TokenBucket::wait_for(SteadyClock::time_point now, double n) {
    refill(now);
    if (tokens_ + 1e-9 >= n) {
        return SteadyClock::duration::zero();
    }
    if (n > burst_ || rate_ <= 0) {
        return SteadyClock::duration::max();
    }
    const auto wait = std::chrono::duration<double>((n - tokens_) / rate_);
    // Rounded up, so that after the wait the tokens are there.
    return std::chrono::ceil<SteadyClock::duration>(wait);
}

// ---- transmit gate -----------------------------------------------------------------------------

TransmitGate::TransmitGate(double rate, Now now, Sleep sleep)
    : now_(now ? std::move(now) : Now([] { return SteadyClock::now(); })),
      sleep_(sleep ? std::move(sleep)
                   : Sleep([](SteadyClock::duration d) { std::this_thread::sleep_for(d); })),
      bucket_(rate, std::max(1.0, rate), now_()) {}

bool TransmitGate::acquire(int frames, SteadyClock::time_point deadline) {
    const auto n = static_cast<double>(std::max(frames, 0));
    for (;;) {
        SteadyClock::duration wait{};
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            const auto now = now_();
            if (bucket_.take(now, n)) {
                passed_ += static_cast<uint64_t>(n);
                return true;
            }
            wait = bucket_.wait_for(now, n);
            if (wait == SteadyClock::duration::max() || now + wait > deadline) {
                refused_ += static_cast<uint64_t>(n);
                return false;
            }
        }
        // Another operation may take the tokens meanwhile: then this waits again.
        sleep_(wait);
    }
}

uint64_t TransmitGate::passed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return passed_;
}

uint64_t TransmitGate::refused() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
}

// ---- diag.clear tokens -------------------------------------------------------------------------

void ClearTokens::drop_expired(SteadyClock::time_point now) {
    std::erase_if(tokens_, [&](const auto &t) { return now - t.second.at >= kClearTokenLife; });
}

std::string ClearTokens::issue(const std::string &key_id, const std::string &scope,
                               SteadyClock::time_point now) {
    const auto bytes = random_bytes(16);
    std::string token = hex(bytes.data(), bytes.size());
    const std::lock_guard<std::mutex> lock(mutex_);
    drop_expired(now);
    while (tokens_.size() >= kMaxClearTokens) {
        const auto oldest = std::min_element(tokens_.begin(), tokens_.end(), [](auto &a, auto &b) {
            return a.second.at < b.second.at;
        });
        tokens_.erase(oldest);
    }
    tokens_[token] = Issued{key_id, scope, now};
    return token;
}

bool ClearTokens::redeem(const std::string &token, const std::string &key_id,
                         const std::string &scope, SteadyClock::time_point now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    drop_expired(now);
    const auto it = tokens_.find(token);
    if (it == tokens_.end()) {
        return false;
    }
    const bool ok = it->second.key_id == key_id && it->second.scope == scope;
    tokens_.erase(it);
    return ok;
}

size_t ClearTokens::live(SteadyClock::time_point now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    drop_expired(now);
    return tokens_.size();
}

} // namespace vehcan::commands
