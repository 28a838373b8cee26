// SPDX-License-Identifier: MIT
// Time stamps of the fleet link: see timestamp.h.
#include "timestamp.h"

#include <chrono>
#include <fmt/format.h>

namespace vehcan::cli {

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's
// civil_from_days): no gmtime_r, whose time_t is 32 bits on armhf.
void civil_from_days(int64_t days, int64_t &year, unsigned &month, unsigned &day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

std::string rfc3339_utc(int64_t unix_us) {
    constexpr int64_t kUsPerDay = 86400LL * 1000000LL;
    int64_t days = unix_us / kUsPerDay;
    int64_t rest = unix_us % kUsPerDay;
    if (rest < 0) {
        rest += kUsPerDay;
        --days;
    }
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_days(days, year, month, day);
    const int64_t seconds = rest / 1000000;
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", year, month, day,
                       seconds / 3600, seconds / 60 % 60, seconds % 60, rest % 1000000);
}

int64_t unix_now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void stamp_message(nlohmann::json &message, int64_t unix_us, uint64_t seq) {
    message["timestamp"] = rfc3339_utc(unix_us);
    message["seq"] = seq;
}

} // namespace vehcan::cli
