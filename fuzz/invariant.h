// SPDX-License-Identifier: MIT
// A broken invariant ends the fuzz run: libFuzzer keeps the input that
// broke it as a crash artifact.
#ifndef VEHCAN_FUZZ_INVARIANT_H
#define VEHCAN_FUZZ_INVARIANT_H

#include <cstdio>
#include <cstdlib>

inline void check(bool ok, const char *what) {
    if (!ok) {
        (void)std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

#endif
