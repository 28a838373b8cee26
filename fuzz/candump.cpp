// SPDX-License-Identifier: MIT
// Fuzzes the CLI's candump line parser. The line lies in a buffer of
// exactly its length, so a read beyond the view is an AddressSanitizer
// report.
//
// Checked: a frame has an identifier within its width and at most 64 data
// bytes (8 for a classic frame); an error carries a reason; and every frame
// written back in the log format (candump -l) parses to the same frame.
#include "candump.h"
#include "invariant.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using vehcan::cli::CanFrame;
using vehcan::cli::LineKind;
using vehcan::cli::parse_candump_line;

bool same(const CanFrame &a, const CanFrame &b) {
    return a.has_time == b.has_time && (!a.has_time || a.time_us == b.time_us) &&
           a.interface == b.interface && a.id == b.id && a.extended == b.extended &&
           a.remote == b.remote && a.error_frame == b.error_frame && a.len == b.len &&
           a.data == b.data;
}

bool writable_as_log(const CanFrame &f) {
    if (f.interface.empty() || f.interface[0] == '(' || f.interface[0] == '#') {
        return false;
    }
    for (char c : f.interface) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            return false;
        }
    }
    return !f.has_time || (f.time_us >= 0 && f.time_us / 1000000 < 1000000000000);
}

std::string as_log_line(const CanFrame &f) {
    char buf[64];
    std::string line;
    if (f.has_time) {
        (void)std::snprintf(buf, sizeof buf, "(%" PRId64 ".%06" PRId64 ") ", f.time_us / 1000000,
                            f.time_us % 1000000);
        line += buf;
    }
    line += f.interface + ' ';
    if (f.extended) {
        (void)std::snprintf(buf, sizeof buf, "%08" PRIX32 "#",
                            f.id | (f.error_frame ? 0x20000000U : 0U));
    } else {
        (void)std::snprintf(buf, sizeof buf, "%03" PRIX32 "#", f.id);
    }
    line += buf;
    if (f.remote) {
        return line + 'R';
    }
    if (f.len > 8) {
        line += "#0";
    }
    for (int i = 0; i < f.len; ++i) {
        (void)std::snprintf(buf, sizeof buf, "%02X", f.data[static_cast<size_t>(i)]);
        line += buf;
    }
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact copy: the parser may read nothing past the line.
    const std::unique_ptr<char[]> line(new char[size]);
    std::copy(data, data + size, line.get());
    CanFrame frame;
    std::string error;
    const LineKind kind = parse_candump_line({line.get(), size}, &frame, &error);
    if (kind == LineKind::error) {
        check(!error.empty(), "error without a reason");
        return 0;
    }
    if (kind != LineKind::frame) {
        return 0;
    }
    check(frame.extended ? frame.id <= 0x1FFFFFFF : frame.id <= 0x7FF, "identifier width");
    check(frame.len <= 64, "more than 64 data bytes");
    check(!frame.remote || frame.len == 0, "remote frame with data");
    if (!writable_as_log(frame)) {
        return 0;
    }
    const std::string again = as_log_line(frame);
    CanFrame reparsed;
    std::string why;
    check(parse_candump_line(again, &reparsed, &why) == LineKind::frame, "log line refused");
    check(same(frame, reparsed), "log line parses to another frame");
    return 0;
}
