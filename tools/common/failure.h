// SPDX-License-Identifier: MIT
// The exit statuses of vehcan's programs and the failure their parts throw
// to end one with a line of explanation. Every tool room shares them: the
// command-line tool, the fleet link and the service.
#ifndef VEHCAN_COMMON_FAILURE_H
#define VEHCAN_COMMON_FAILURE_H

#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <string>

namespace vehcan {

// The exit codes of vehcan, as its --help and manual page list them.
enum ExitCode : int {
    kExitOk = 0,
    kExitInternal = 1,      // a fault of vehcan itself
    kExitUsage = 2,         // bad command line or value: malformed hex, unknown PGN, ...
    kExitCapture = 3,       // capture file unreadable or with a bad line
    kExitDatabase = 4,      // database missing, broken, or without the entry asked for
    kExitStack = 5,         // the stack could not come up on can0
    kExitNoAnswer = 6,      // a request got no answer in time
    kExitRefused = 7,       // a request was refused (negative acknowledgement)
    kExitBroker = 8,        // the MQTT broker refused the connection (user name, password)
    kExitCannotClaim = 9,   // no source address could be claimed: Cannot Claim was sent
    kExitUnsafe = 10,       // a clear refused by the safety check: the vehicle moves, the engine
                            // runs, or either is unknown
    kExitNotErased = 11,    // a clear left codes on an ECU, or an ECU could not be read again
    kExitNotConfirmed = 12, // a clear was not confirmed at the terminal
};

// What each exit code means, one entry per code in code order. vehcan's
// --help lists this table under "Exit status:", and its manual page is made
// from --help: a new code is added to the enum above and here, nowhere else.
struct ExitStatusMeaning {
    int code;
    const char *meaning;
};
inline constexpr ExitStatusMeaning kExitStatuses[] = {
    {kExitOk, "success"},
    {kExitInternal, "internal error of vehcan"},
    {kExitUsage, "bad command line or value (malformed hex, unknown PGN, bad address)"},
    {kExitCapture,
     "capture file unreadable or without a CAN frame, or (replay --strict) a malformed line"},
    {kExitDatabase, "database missing, broken, or without the entry asked for"},
    {kExitStack,
     "the stack could not come up on can0 (no can0, not root, queue limits, no traffic)"},
    {kExitNoAnswer, "no answer to a request in time"},
    {kExitRefused, "request refused by a negative acknowledgement"},
    {kExitBroker,
     "the MQTT broker refused the connection (bad user name or password, not authorized)"},
    {kExitCannotClaim, "no source address could be claimed: Cannot Claim was sent, nothing else"},
    {kExitUnsafe, "diag clear refused by the safety check: the vehicle moves, the engine runs, "
                  "or either is unknown"},
    {kExitNotErased, "diag clear left codes on an ECU, or could not read an ECU again"},
    {kExitNotConfirmed, "diag clear not confirmed at the terminal"},
};

constexpr bool exit_statuses_in_code_order() {
    for (std::size_t i = 0; i < std::size(kExitStatuses); ++i) {
        if (kExitStatuses[i].code != static_cast<int>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(exit_statuses_in_code_order(), "kExitStatuses: one entry per code, in order");

// The table as --help shows it: "Exit status:", then "  CODE  MEANING" a line.
inline std::string exit_status_help() {
    std::string text = "Exit status:";
    for (const ExitStatusMeaning &e : kExitStatuses) {
        text += "\n  " + std::to_string(e.code) + "  " + e.meaning;
    }
    return text;
}

// A failure that ends the program with a one-line message and an exit code.
class Failure : public std::runtime_error {
  public:
    Failure(int code, const std::string &message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

} // namespace vehcan

#endif
