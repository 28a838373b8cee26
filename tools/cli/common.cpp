// SPDX-License-Identifier: MIT
// The output stream of vehcan: see common.h.
#include "common.h"

namespace vehcan::cli {

namespace {

FILE *g_out = stdout;

} // namespace

FILE *out() {
    return g_out;
}
void set_out(FILE *stream) {
    g_out = stream;
}

} // namespace vehcan::cli
