// SPDX-License-Identifier: MIT
// What the subcommands share: the exit codes, the failure they throw, the
// output stream and the parsers of command-line values.
#ifndef VEHCAN_CLI_COMMON_H
#define VEHCAN_CLI_COMMON_H

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vehcan::cli {

// The exit codes of vehcan, as its --help lists them.
enum ExitCode : int {
    kExitOk = 0,
    kExitInternal = 1,    // a fault of vehcan itself
    kExitUsage = 2,       // bad command line or value: malformed hex, unknown PGN, ...
    kExitCapture = 3,     // capture file unreadable or with a bad line
    kExitDatabase = 4,    // database missing, broken, or without the entry asked for
    kExitStack = 5,       // the stack could not come up on can0
    kExitNoAnswer = 6,    // a request got no answer in time
    kExitRefused = 7,     // a request was refused (negative acknowledgement)
    kExitBroker = 8,      // the MQTT broker refused the connection (user name, password)
    kExitCannotClaim = 9, // no source address could be claimed: Cannot Claim was sent
};

// A failure that ends the program with a one-line message and an exit code.
class Failure : public std::runtime_error {
  public:
    Failure(int code, const std::string &message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

// Where vehcan's own output goes. The library prints a few lines of its own
// to standard output; main() moves those aside so that they never mix with
// the tool's output, JSON lines included.
FILE *out();
void set_out(FILE *stream);

// "61444", "0xF004": a PGN of at most 18 bits. Throws Failure(kExitUsage).
uint32_t parse_pgn(std::string_view text);
// "0".."255" or "0x00".."0xFF". Throws Failure(kExitUsage).
uint8_t parse_address(std::string_view text, std::string_view what);
// "EEFE00", "ee fe 00", "ee:fe:00", "0xEE,0xFE": 1 to 1785 bytes.
// Throws Failure(kExitUsage) naming the first bad character.
std::vector<uint8_t> parse_hex_bytes(std::string_view text);

} // namespace vehcan::cli

#endif
