// SPDX-License-Identifier: MIT
// candump line parser: see candump.h for the formats.
#include "candump.h"
#include "hex_digit.h"

#include <ctime>
#include <fmt/format.h>
#include <vector>

namespace vehcan::cli {

namespace {

constexpr uint32_t kErrorFlag = 0x20000000U; // CAN_ERR_FLAG as candump prints it
constexpr uint32_t kMaxExtendedId = 0x1FFFFFFFU;
constexpr uint32_t kMaxStandardId = 0x7FFU;
constexpr size_t kClassicMax = 8;
constexpr size_t kFdMax = 64;

bool is_space(char c) {
    return c == ' ' || c == '\t';
}

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space(text[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < text.size() && !is_space(text[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(text.substr(start, i - start));
        }
    }
    return words;
}

bool parse_decimal(std::string_view digits, int64_t *out) {
    if (digits.empty() || digits.size() > 12) {
        return false;
    }
    int64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

// "1436509052.249713" (absolute, -t a/d/z) -> microseconds.
bool parse_seconds(std::string_view text, int64_t *time_us) {
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    int64_t seconds = 0;
    int64_t fraction = 0;
    std::string_view frac = text.substr(dot + 1);
    if (!parse_decimal(text.substr(0, dot), &seconds) || frac.size() > 9 ||
        !parse_decimal(frac, &fraction)) {
        return false;
    }
    for (size_t n = frac.size(); n < 6; ++n) {
        fraction *= 10;
    }
    for (size_t n = frac.size(); n > 6; --n) {
        fraction /= 10;
    }
    *time_us = seconds * 1000000 + fraction;
    return true;
}

// "2015-07-10 08:17:32.249713" (-t A, local time as candump prints it; read as UTC).
bool parse_date_time(std::string_view text, int64_t *time_us) {
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':') {
        return false;
    }
    int64_t year = 0;
    int64_t month = 0;
    int64_t day = 0;
    int64_t hour = 0;
    int64_t minute = 0;
    int64_t second_us = 0;
    if (!parse_decimal(text.substr(0, 4), &year) || !parse_decimal(text.substr(5, 2), &month) ||
        !parse_decimal(text.substr(8, 2), &day) || !parse_decimal(text.substr(11, 2), &hour) ||
        !parse_decimal(text.substr(14, 2), &minute) ||
        !parse_seconds(text.substr(17), &second_us)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59) {
        return false;
    }
    std::tm tm{};
    tm.tm_year = static_cast<int>(year - 1900);
    tm.tm_mon = static_cast<int>(month - 1);
    tm.tm_mday = static_cast<int>(day);
    tm.tm_hour = static_cast<int>(hour);
    tm.tm_min = static_cast<int>(minute);
    const time_t base = timegm(&tm);
    if (base == static_cast<time_t>(-1)) {
        return false;
    }
    *time_us = static_cast<int64_t>(base) * 1000000 + second_us;
    return true;
}

// Identifier as candump prints it: 3 hex digits for 11 bits, 8 for 29 bits
// (with bit 29 set for an error frame).
bool parse_identifier(std::string_view text, CanFrame *frame, std::string *error) {
    if (text.size() != 3 && text.size() != 8) {
        *error = "identifier '" + std::string(text) + "' is neither 3 nor 8 hex digits";
        return false;
    }
    uint32_t id = 0;
    for (char c : text) {
        const int v = hex_digit(c);
        if (v < 0) {
            *error = "identifier '" + std::string(text) + "' is not hexadecimal";
            return false;
        }
        id = id << 4 | static_cast<uint32_t>(v);
    }
    if (text.size() == 3) {
        if (id > kMaxStandardId) {
            *error = "11-bit identifier '" + std::string(text) + "' is above 7FF";
            return false;
        }
        frame->id = id;
        frame->extended = false;
        return true;
    }
    frame->error_frame = (id & kErrorFlag) != 0;
    if (!frame->error_frame && id > kMaxExtendedId) {
        *error = "29-bit identifier '" + std::string(text) + "' is above 1FFFFFFF";
        return false;
    }
    frame->id = id & kMaxExtendedId;
    frame->extended = true;
    return true;
}

// Data of the log format: hex pairs, optionally separated by '.'.
bool parse_log_data(std::string_view text, size_t limit, CanFrame *frame, std::string *error) {
    size_t n = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '.') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            *error = "odd number of hex digits in data '" + std::string(text) + "'";
            return false;
        }
        const int hi = hex_digit(text[i]);
        const int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            *error = "data '" + std::string(text) + "' is not hexadecimal";
            return false;
        }
        if (n == limit) {
            *error = "more than " + std::to_string(limit) + " data bytes";
            return false;
        }
        frame->data[n++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    frame->len = static_cast<uint8_t>(n);
    return true;
}

// "18FEF100#0102..." / "123#R" / "123##1AABB".
bool parse_log_frame(std::string_view word, CanFrame *frame, std::string *error) {
    const size_t hash = word.find('#');
    if (hash == std::string_view::npos) {
        *error = "frame '" + std::string(word) + "' has no '#'";
        return false;
    }
    if (!parse_identifier(word.substr(0, hash), frame, error)) {
        return false;
    }
    std::string_view rest = word.substr(hash + 1);
    if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        frame->remote = true;
        frame->len = 0;
        return true;
    }
    if (!rest.empty() && rest[0] == '#') {
        // CAN FD: one flags digit, then up to 64 bytes.
        if (rest.size() < 2 || hex_digit(rest[1]) < 0) {
            *error = "CAN FD frame '" + std::string(word) + "' lacks its flags digit";
            return false;
        }
        return parse_log_data(rest.substr(2), kFdMax, frame, error);
    }
    return parse_log_data(rest, kClassicMax, frame, error);
}

// "[8]" (classic) or "[08]" (FD).
bool parse_length(std::string_view word, size_t *len, bool *fd, std::string *error) {
    if (word.size() < 3 || word.front() != '[' || word.back() != ']' || word.size() > 4) {
        *error = "expected a length like [8], found '" + std::string(word) + "'";
        return false;
    }
    int64_t v = 0;
    if (!parse_decimal(word.substr(1, word.size() - 2), &v) || v > static_cast<int64_t>(kFdMax)) {
        *error = "bad length '" + std::string(word) + "'";
        return false;
    }
    *fd = word.size() == 4;
    if (!*fd && v > static_cast<int64_t>(kClassicMax)) {
        *error = "length " + std::string(word) + " is above 8 for a classic frame";
        return false;
    }
    *len = static_cast<size_t>(v);
    return true;
}

// "can0  18FEF100   [8]  01 02 ... ['........']" after the timestamp.
bool parse_screen_frame(const std::vector<std::string_view> &words, size_t first, CanFrame *frame,
                        std::string *error) {
    if (words.size() < first + 3) {
        *error = "too few fields for a candump line";
        return false;
    }
    frame->interface = std::string(words[first]);
    if (!parse_identifier(words[first + 1], frame, error)) {
        return false;
    }
    size_t len = 0;
    bool fd = false;
    if (!parse_length(words[first + 2], &len, &fd, error)) {
        return false;
    }
    size_t next = first + 3;
    if (next < words.size() && words[next] == "remote") {
        frame->remote = true;
        frame->len = 0;
        return true;
    }
    if (words.size() < next + len) {
        *error = "length [" + std::to_string(len) + "] but only " +
                 std::to_string(words.size() - next) + " data bytes";
        return false;
    }
    for (size_t k = 0; k < len; ++k) {
        std::string_view byte = words[next + k];
        const int hi = byte.size() == 2 ? hex_digit(byte[0]) : -1;
        const int lo = byte.size() == 2 ? hex_digit(byte[1]) : -1;
        if (hi < 0 || lo < 0) {
            *error = "data byte '" + std::string(byte) + "' is not two hex digits";
            return false;
        }
        frame->data[k] = static_cast<uint8_t>(hi << 4 | lo);
    }
    frame->len = static_cast<uint8_t>(len);
    next += len;
    // Only the ASCII column of -a may follow the data.
    if (next < words.size() && words[next].front() != '\'') {
        *error = "more data bytes than length [" + std::to_string(len) + "]";
        return false;
    }
    return true;
}

} // namespace

LineKind parse_candump_line(std::string_view line, CanFrame *frame, std::string *error) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    size_t start = 0;
    while (start < line.size() && is_space(line[start])) {
        ++start;
    }
    if (start == line.size() || line[start] == '#') {
        return LineKind::blank;
    }
    line.remove_prefix(start);

    CanFrame parsed;
    std::string reason;
    if (line.front() == '(') {
        const size_t close = line.find(')');
        if (close == std::string_view::npos) {
            *error = "timestamp has no closing ')'";
            return LineKind::error;
        }
        const std::string_view stamp = line.substr(1, close - 1);
        if (!parse_seconds(stamp, &parsed.time_us) && !parse_date_time(stamp, &parsed.time_us)) {
            *error = "bad timestamp '(" + std::string(stamp) + ")'";
            return LineKind::error;
        }
        parsed.has_time = true;
        line.remove_prefix(close + 1);
    }
    const std::vector<std::string_view> words = split_words(line);
    bool ok = false;
    // Log lines written with -x carry a direction flag (R or T) after the frame.
    const bool log_line =
        words.size() >= 2 && words[1].find('#') != std::string_view::npos &&
        (words.size() == 2 || (words.size() == 3 && (words[2] == "R" || words[2] == "T")));
    if (log_line) {
        parsed.interface = std::string(words[0]);
        ok = parse_log_frame(words[1], &parsed, &reason);
    } else if (words.size() >= 3) {
        ok = parse_screen_frame(words, 0, &parsed, &reason);
    } else {
        reason = "not a candump line";
    }
    if (!ok) {
        *error = reason;
        return LineKind::error;
    }
    *frame = parsed;
    return LineKind::frame;
}

std::optional<std::string> candump_log_line(int64_t time_us, std::string_view interface,
                                            uint32_t id, bool extended, const uint8_t *data,
                                            size_t len) {
    if (len > kFdMax) {
        return std::nullopt;
    }
    const int64_t seconds = time_us >= 0 ? time_us / 1000000 : (time_us - 999999) / 1000000;
    std::string line =
        fmt::format("({}.{:06}) {} ", seconds, time_us - seconds * 1000000, interface);
    line += extended ? fmt::format("{:08X}", id & kMaxExtendedId)
                     : fmt::format("{:03X}", id & kMaxStandardId);
    line += len > kClassicMax ? "##0" : "#";
    for (size_t i = 0; i < len; ++i) {
        line += fmt::format("{:02X}", data[i]);
    }
    return line;
}

} // namespace vehcan::cli
