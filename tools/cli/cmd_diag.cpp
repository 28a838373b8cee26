// SPDX-License-Identifier: MIT
// vehcan diag read, clear and quiet: the stack brought up on can0, our
// address claimed, then the diagnostics room (tools/diag) over a J1939
// socket of its own at that address.
#include "bus_session.h"
#include "commands.h"
#include "common.h"
#include "node_identity.h"
#include "our_address.h"

#include <clear.h>
#include <diag_text.h>
#include <quiet.h>

#include <j1939_stack.h>

#include <cstdio>
#include <fmt/format.h>
#include <iostream>
#include <unistd.h>

namespace vehcan::cli {

namespace {

// The live bus for the length of one command: can0 up, the address claimed
// and defended, the diagnostics' socket bound to it. Ends in that order's
// reverse.
class DiagSession {
  public:
    explicit DiagSession(const AddressPlan &plan) {
        catch_interrupts();
        bring_up();
        claim_on_live_bus(address_, plan);
        try {
            bus_.emplace("can0", [this] { return address_->source(); });
        } catch (...) {
            end();
            throw;
        }
    }
    ~DiagSession() { end(); }
    DiagSession(const DiagSession &) = delete;
    DiagSession &operator=(const DiagSession &) = delete;

    diag::Bus &bus() { return *bus_; }

    void end() {
        if (ended_) {
            return;
        }
        ended_ = true;
        bus_.reset();
        address_.reset();
        j1939_can_deinit();
    }

  private:
    std::optional<OurAddress> address_;
    std::optional<diag::SocketBus> bus_;
    bool ended_ = false;
};

bool interrupted() {
    return g_stop.load();
}

std::string address_name(uint8_t address) {
    return std::string(address_meaning(address));
}

// The database's SPN names, when a database is given.
diag::NameLookup name_lookup(const std::optional<Database> &db) {
    if (!db) {
        return {};
    }
    return [&db](uint32_t spn) { return db->spn_description(spn); };
}

std::optional<Database> database_of(const DiagOptions &o) {
    if (auto path = database_path(o.db)) {
        return open_database(*path);
    }
    return std::nullopt;
}

bool answered_anything(const diag::ReadResult &r) {
    for (const diag::EcuDiagnostics &ecu : r.ecus) {
        for (const auto &[dm, result] : ecu.dms) {
            if (result.outcome != diag::Outcome::silent) {
                return true;
            }
        }
    }
    return false;
}

void print_json(const nlohmann::json &j) {
    fmt::print(out(), "{}\n", j.dump());
    (void)std::fflush(out());
}

// The question on the terminal; true for "yes".
bool confirmed(const std::string &question) {
    fmt::print(stderr, "{} [yes/no] ", question);
    (void)std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        return false;
    }
    return answer == "yes" || answer == "y";
}

} // namespace

int run_diag_read(const DiagOptions &o) {
    diag::ReadOptions r;
    r.from_node = diag::parse_node(o.from_node, "--from-node");
    if (!o.dms.empty()) {
        r.dms = diag::parse_dm_list(o.dms);
    }
    r.conversion = diag::parse_conversion_option(o.spn_conversion);
    r.quiet_bus = o.quiet_bus;
    const AddressPlan plan = plan_address(o.claim);
    const std::optional<Database> db = database_of(o);
    r.spn_name = name_lookup(db);
    r.interrupted = interrupted;
    DiagSession session(plan);
    const diag::ReadResult result = diag::read_diagnostics(session.bus(), r);
    session.end();
    if (o.json) {
        print_json(diag::read_json(result));
    } else {
        fmt::print(out(), "{}", diag::read_text(result, address_name));
    }
    if (!answered_anything(result)) {
        throw Failure(kExitNoAnswer,
                      r.from_node ? fmt::format("0x{:02X} answered none of the DMs", *r.from_node)
                                  : "no ECU answered any of the DMs");
    }
    return kExitOk;
}

int run_diag_clear(const DiagOptions &o) {
    if (o.previous == o.active) {
        throw Failure(kExitUsage, "give --previous (DM3: previously active codes) or --active "
                                  "(DM11: active codes)");
    }
    diag::ClearOptions c;
    c.kind = o.previous ? diag::ClearKind::previous : diag::ClearKind::active;
    c.to = diag::parse_node(o.to, "--to");
    c.engine_running_allowed = o.engine_running;
    c.conversion = diag::parse_conversion_option(o.spn_conversion);
    c.interrupted = interrupted;
    if (!o.yes && isatty(STDIN_FILENO) == 0) {
        throw Failure(kExitUsage, "not on a terminal, so nobody can confirm the clear: give --yes "
                                  "to clear without asking");
    }
    const AddressPlan plan = plan_address(o.claim);
    const std::optional<Database> db = database_of(o);
    c.spn_name = name_lookup(db);
    DiagSession session(plan);
    auto refuse = [&](const diag::SafetyVerdict &v) {
        const bool engine = v.refusal == diag::Refusal::engine_running ||
                            v.refusal == diag::Refusal::engine_speed_unknown;
        return Failure(kExitUnsafe, fmt::format("nothing cleared: {}{}", v.reason,
                                                engine ? " (--engine-running allows it)" : ""));
    };
    fmt::print(stderr,
               "checking the vehicle for {} ms, then reading what the clear would "
               "erase\n",
               c.live_window.count());
    const diag::ClearPreview preview = diag::prepare_clear(session.bus(), c);
    if (preview.safety.refusal != diag::Refusal::none) {
        session.end();
        if (o.json) {
            nlohmann::json j = diag::preview_json(preview, c);
            j["refused"] = preview.safety.reason;
            print_json(j);
        }
        throw refuse(preview.safety);
    }
    // The preview goes where a person reads it: the terminal, or standard
    // output when only the result's JSON is wanted there.
    const std::string shown = diag::preview_text(preview, c, address_name);
    fmt::print(o.json ? stderr : out(), "{}", shown);
    (void)std::fflush(out());
    if (!o.yes && !confirmed(fmt::format("send DM{} to {}?", diag::clear_dm(c.kind),
                                         c.to ? fmt::format("0x{:02X}", *c.to) : "all nodes"))) {
        session.end();
        throw Failure(kExitNotConfirmed, "not confirmed: nothing was cleared");
    }
    fmt::print(stderr, "sending DM{}; reading again {} s after the answers\n",
               diag::clear_dm(c.kind), c.settle.count() / 1000);
    const diag::ClearResult result = diag::execute_clear(session.bus(), c, &preview);
    session.end();
    if (o.json) {
        print_json(diag::clear_json(result));
    } else {
        fmt::print(out(), "{}", diag::clear_text(result, address_name));
    }
    switch (diag::clear_exit_status(result)) {
    case kExitUnsafe:
        throw refuse(result.safety);
    case kExitNotErased: {
        size_t kept = 0;
        for (const diag::EcuClear &e : result.ecus) {
            kept += e.erasure == diag::Erasure::erased ? 0U : 1U;
        }
        throw Failure(kExitNotErased,
                      fmt::format("{} of {} ECU{} did not erase every code (or could not be read "
                                  "again)",
                                  kept, result.ecus.size(), result.ecus.size() == 1 ? "" : "s"));
    }
    default:
        return kExitOk;
    }
}

int run_diag_quiet(const DiagOptions &o) {
    if (o.seconds < 0) {
        throw Failure(kExitUsage, "--seconds must be 0 (until Ctrl-C) or more");
    }
    diag::QuietOptions q;
    q.duration = diag::Milliseconds(static_cast<int64_t>(o.seconds * 1000.0));
    q.destination = diag::parse_node(o.to, "--to").value_or(diag::kGlobal);
    q.interrupted = interrupted;
    q.report = [](const std::string &line) {
        fmt::print(out(), "{}\n", line);
        (void)std::fflush(out());
    };
    const AddressPlan plan = plan_address(o.claim);
    DiagSession session(plan);
    diag::run_quiet(session.bus(), q);
    return kExitOk;
}

} // namespace vehcan::cli
