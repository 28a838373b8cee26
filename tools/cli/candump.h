// SPDX-License-Identifier: MIT
// Parsing of can-utils candump captures, one line at a time.
//
// Two formats are read, as candump writes them:
//   log (candump -l):     (1436509052.249713) can0 18FEF100#0102030405060708
//   screen (default):     can0  18FEF100   [8]  01 02 03 04 05 06 07 08
// The screen format may carry a "(timestamp)" prefix (-t a/d/z) and the
// ASCII column of -a at its end. CAN FD lines ("##" and "[NN]" lengths) are
// accepted with up to 64 data bytes.
//
// The parser is a pure function over one line so that a fuzzer can drive it:
// it never throws, allocates only for the interface name and the error text,
// and reads nothing beyond the string view it is given.
#ifndef VEHCAN_CLI_CANDUMP_H
#define VEHCAN_CLI_CANDUMP_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vehcan::cli {

struct CanFrame {
    bool has_time = false;
    int64_t time_us = 0;      // capture time in microseconds, when has_time
    std::string interface;    // e.g. "can0"
    uint32_t id = 0;          // identifier without flag bits
    bool extended = false;    // 29-bit identifier
    bool remote = false;      // remote transmission request, no data
    bool error_frame = false; // controller error report, not bus traffic
    uint8_t len = 0;          // number of data bytes
    std::array<uint8_t, 64> data{};
};

enum class LineKind {
    frame, // *frame holds the parsed frame
    blank, // empty or whitespace-only line, or a '#' comment: nothing to do
    error, // *error holds a one-line reason (without the line number)
};

// Parses one line of a candump capture. On LineKind::frame the frame is
// written to *frame; on LineKind::error the reason to *error; otherwise
// neither is touched. Trailing '\r' and '\n' are ignored.
LineKind parse_candump_line(std::string_view line, CanFrame *frame, std::string *error);

// One frame as candump -l writes it, without the line's end:
// "(1436509052.249713) can0 18FEF100#0102030405060708" (an 11-bit identifier
// in 3 digits). A payload of 9 to 64 bytes, which no classic frame carries
// (a whole message the stack reassembled), is written as a CAN FD frame
// ("18FEEC00##0..."), which the parser above reads back; nothing for more.
std::optional<std::string> candump_log_line(int64_t time_us, std::string_view interface,
                                            uint32_t id, bool extended, const uint8_t *data,
                                            size_t len);

} // namespace vehcan::cli

#endif
