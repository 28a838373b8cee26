// SPDX-License-Identifier: MIT
// pgnparse: parses a PGN written in decimal into an unsigned 16-bit value and
// prints it. Stands alone: it does not use libvehcan.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main() {
    const char pgn_text[20] = "61444";
    // The PGN is kept modulo 65536, as a 16-bit PGN field holds it.
    const auto pgn = static_cast<uint16_t>(std::strtol(pgn_text, nullptr, 10));
    std::printf("The number(unsigned long integer) is %d\n", static_cast<int>(pgn));
    return 0;
}
