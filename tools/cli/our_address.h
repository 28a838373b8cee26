// SPDX-License-Identifier: MIT
// The source address vehcan's commands send from on the live bus: claimed
// with the gateway's NAME before the first request and defended while the
// command runs, or, with --no-claim, fixed by the integrator.
#ifndef VEHCAN_CLI_OUR_ADDRESS_H
#define VEHCAN_CLI_OUR_ADDRESS_H

#include <bus_claim.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vehcan::cli {

// --from, --name and --no-claim, the same for monitor, request and scan.
struct ClaimOptions {
    std::string from = "0xF9"; // the preferred (or, with no_claim, the fixed) address
    std::string name;          // 16 hex digits; empty: the default NAME
    bool no_claim = false;
};

// The options checked, before the bus comes up.
struct AddressPlan {
    uint8_t from = 0xF9;
    uint64_t name = 0;
    bool claim = true;
};
// Throws Failure(kExitUsage) for a --from that is not 0-253 and a --name
// that is not 16 hex digits. The default NAME is claim::default_name_fields()
// with the identity number of this machine.
AddressPlan plan_address(const ClaimOptions &o);

class OurAddress {
  public:
    // Without a claim, just the fixed address. With one, claims on can0 (so
    // after bring_up()) and waits until the address is held, telling on
    // stderr what it does. Throws Failure(kExitCannotClaim) when no address
    // could be claimed (Cannot Claim was sent), Failure(kExitStack) when the
    // claim's sockets cannot be opened.
    explicit OurAddress(const AddressPlan &plan);
    ~OurAddress();
    OurAddress(const OurAddress &) = delete;
    OurAddress &operator=(const OurAddress &) = delete;

    // The address to send from now; nothing once a lower NAME took ours and
    // no other could be claimed (nothing may be sent then). Remembers each
    // address it gave. Thread-safe (the monitor's loop and the fleet's
    // commands send from it at once).
    std::optional<uint8_t> source();
    // Whether Cannot Claim was sent: nothing will be sent from here on.
    bool lost() const;
    // source(), or throws Failure(kExitCannotClaim).
    uint8_t source_or_fail();
    // Whether the address was claimed (false with --no-claim).
    bool claimed() const { return plan_.claim; }
    uint64_t name() const { return plan_.name; }
    // Every address source() gave.
    std::set<uint8_t> used() const;
    // Ends the defence: before the stack takes can0 down.
    void stop();
    // Reports of the defence are kept instead of printed (while a screen
    // is drawn); flush_reports() prints the kept ones.
    void hold_reports(bool hold);
    void flush_reports();

  private:
    void report(const std::string &line);

    AddressPlan plan_;
    std::unique_ptr<claim::BusClaim> claim_;
    mutable std::mutex used_mutex_;
    std::set<uint8_t> used_; // under used_mutex_
    std::mutex reports_mutex_;
    bool hold_ = false;
    std::vector<std::string> held_reports_;
};

// Makes address on the bus that bring_up() brought up: a claim that fails
// takes the stack down again before its Failure goes on.
void claim_on_live_bus(std::optional<OurAddress> &address, const AddressPlan &plan);

} // namespace vehcan::cli

#endif
