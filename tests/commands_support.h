// SPDX-License-Identifier: MIT
// What the tests of commands share: a fleet that signs, a scratch directory
// for the record, clocks the test turns, and a desk whose publications and
// audit lines are kept for checking.
#ifndef VEHCAN_TESTS_COMMANDS_SUPPORT_H
#define VEHCAN_TESTS_COMMANDS_SUPPORT_H

#include "command_desk.h"
#include "envelope.h"
#include "scratch_dir.h"
#include "signing.h"

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace vehcan::commands::testing {

// 2024-06-10T06:13:20Z, the tests' "now".
inline constexpr int64_t kNow = 1718000000;
inline constexpr const char *kVehicle = "1FUJGLDR5CLBP8834";

// A key of the fleet, made from a fixed seed byte.
struct FleetKey {
    std::string id;
    SecretKey secret{};
    PublicKey public_key{};

    FleetKey(std::string key_id, uint8_t seed_byte) : id(std::move(key_id)) {
        Seed seed{};
        seed.fill(seed_byte);
        secret = secret_from_seed(seed);
        public_key = public_of(secret);
    }
    std::string envelope(const Command &c) const { return make_envelope(id, make_body(c), secret); }
    std::string envelope_of_body(const std::string &body) const {
        return make_envelope(id, body, secret);
    }
};

// A valid command for kVehicle, issued at kNow, valid 300 s.
inline Command command(const std::string &id, const std::string &operation = "scan",
                       nlohmann::json arguments = nlohmann::json::object()) {
    Command c;
    c.id = id;
    c.vehicle = kVehicle;
    c.operation = operation;
    c.arguments = std::move(arguments);
    c.issued_at = kNow;
    c.expires_at = kNow + 300;
    c.nonce = "nonce-" + id + "-0123456789";
    return c;
}

// A policy that allows every operation, PGN 65260 and 10 commands a minute.
inline CommandPolicy policy_for(const FleetKey &key) {
    CommandPolicy p;
    p.enabled = true;
    p.keys.emplace(key.id, key.public_key);
    p.allowed_operations = {"request", "scan", "diag.read", "diag.clear", "capture"};
    p.allowed_pgns = {65260};
    return p;
}

struct Published {
    std::string topic;
    nlohmann::json message;
};

// A desk over a record in a scratch directory, with clocks the test sets.
class DeskRig {
  public:
    explicit DeskRig(CommandPolicy policy, const std::string &dir)
        : store_(std::make_unique<CommandStore>(dir, kNow - 3600)),
          executor_(std::make_unique<Executor>(policy.transmit_rate, [this] { return steady; })),
          policy_(std::move(policy)), dir_(dir) {
        make_desk();
    }

    // The gateway restarts: a new store on the same file, a new desk.
    void restart() {
        desk_.reset();
        store_ = std::make_unique<CommandStore>(dir_, wall_ms / 1000);
        make_desk();
    }

    CommandDesk &desk() { return *desk_; }
    CommandStore &store() { return *store_; }
    Executor &executor() { return *executor_; }

    // Sends a message and runs what is accepted; returns what was published.
    std::vector<Published> deliver(const std::string &payload, bool retained = false) {
        const size_t before = published.size();
        if (auto job = desk_->receive(payload, retained)) {
            desk_->execute(*job);
        }
        return {published.begin() + static_cast<std::ptrdiff_t>(before), published.end()};
    }

    int64_t wall_ms = kNow * 1000;
    SteadyClock::time_point steady{std::chrono::hours(1000)};
    std::vector<Published> published;
    std::vector<std::string> audit;

  private:
    void make_desk() {
        desk_ = std::make_unique<CommandDesk>(
            policy_, *store_, *executor_,
            [this](const std::string &topic, const std::string &payload) {
                published.push_back({topic, nlohmann::json::parse(payload)});
            },
            [this](AuditLevel, const std::string &line) { audit.push_back(line); },
            CommandDesk::Clocks{[this] { return wall_ms; }, [this] { return steady; }});
        desk_->set_vehicles({kVehicle, "truck-7"});
    }

    std::unique_ptr<CommandStore> store_;
    std::unique_ptr<Executor> executor_;
    CommandPolicy policy_;
    std::string dir_;
    std::unique_ptr<CommandDesk> desk_;
};

} // namespace vehcan::commands::testing

#endif
