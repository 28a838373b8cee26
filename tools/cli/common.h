// SPDX-License-Identifier: MIT
// What the subcommands share: the exit codes, the failure they throw and the
// value parsers (tools/common), and the output stream.
#ifndef VEHCAN_CLI_COMMON_H
#define VEHCAN_CLI_COMMON_H

#include <failure.h>
#include <values.h>

#include <cstdio>

namespace vehcan::cli {

// Where vehcan's own output goes. The library prints a few lines of its own
// to standard output; main() moves those aside so that they never mix with
// the tool's output, JSON lines included.
FILE *out();
void set_out(FILE *stream);

} // namespace vehcan::cli

#endif
