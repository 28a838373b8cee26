// SPDX-License-Identifier: MIT
// vehcan scan: who is on the bus. A Request for Address Claimed to all
// nodes, every claim collected, then each node's identifications and
// active trouble codes. The procedure (scan.h) serves the fleet's scan
// command too.
#include "bus_session.h"
#include "bus_tap.h"
#include "commands.h"
#include "common.h"
#include "decode.h"
#include "identification.h"
#include "node_identity.h"
#include "our_address.h"
#include "scan.h"

#include <diag_text.h>
#include <j1939_stack.h>
#include <request_window.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fmt/format.h>
#include <map>
#include <optional>
#include <set>

namespace vehcan::cli {

namespace {

constexpr uint32_t kPgnAddressClaimed = 60928;
constexpr uint32_t kPgnDm1 = 65226;
constexpr uint8_t kGlobal = 0xFF;

// Passes everything through, and keeps the claims and DM1s that come by
// while the scan waits for other answers (the latest of each sender).
class ListeningBus : public diag::Bus {
  public:
    explicit ListeningBus(diag::Bus &bus) : bus_(bus) {}
    uint8_t address() override { return bus_.address(); }
    void send(uint32_t pgn, uint8_t destination, diag::ByteView data) override {
        bus_.send(pgn, destination, data);
    }
    std::optional<diag::BusEvent> next(diag::Clock::time_point deadline) override {
        auto e = bus_.next(deadline);
        if (e && e->kind == diag::BusEvent::Kind::message &&
            (e->pgn == kPgnAddressClaimed || e->pgn == kPgnDm1)) {
            (e->pgn == kPgnAddressClaimed ? claims_ : dm1s_)[e->source] = e->data;
        }
        return e;
    }
    // (what came before a request is kept: the requests discard only the
    // socket's backlog, which this has seen by then or never will)
    void discard_pending() override { bus_.discard_pending(); }
    diag::Clock::time_point now() override { return bus_.now(); }

    const std::map<uint8_t, diag::Bytes> &claims() const { return claims_; }
    const std::map<uint8_t, diag::Bytes> &dm1s() const { return dm1s_; }
    // Listens without asking anything.
    void listen(diag::Milliseconds how_long, const std::function<bool()> &interrupted) {
        diag::wait_until(*this, now() + how_long, interrupted);
    }

  private:
    diag::Bus &bus_;
    std::map<uint8_t, diag::Bytes> claims_;
    std::map<uint8_t, diag::Bytes> dm1s_;
};

int ack_control(diag::Outcome o) {
    switch (o) {
    case diag::Outcome::nack:
        return 1;
    case diag::Outcome::denied:
        return 2;
    case diag::Outcome::busy:
        return 3;
    default:
        return 0;
    }
}

IdentificationResult identify(diag::Bus &bus, uint32_t pgn, uint8_t address,
                              const std::function<bool()> &interrupted) {
    IdentificationResult r;
    r.pgn = pgn;
    const diag::Collected c =
        diag::request_and_collect(bus, pgn, address, diag::Timing{}, {address}, interrupted);
    const auto it = c.answers.find(address);
    if (it == c.answers.end()) {
        return r;
    }
    if (it->second.outcome == diag::Outcome::answered) {
        r.status = IdentificationResult::Status::answered;
        r.fields = identification_fields(pgn, it->second.data.data(), it->second.data.size());
    } else if (it->second.outcome != diag::Outcome::silent) {
        r.status = IdentificationResult::Status::not_supported;
        r.ack = ack_control(it->second.outcome);
    }
    return r;
}

std::string address_title(uint8_t address) {
    const std::string_view meaning = address_meaning(address);
    return meaning.empty() ? fmt::format("0x{:02X}", address)
                           : fmt::format("0x{:02X} ({})", address, meaning);
}

// ---- output ------------------------------------------------------------------------

// The node's DM2 count and DM5 readiness, under its DM1.
std::string diagnostics_text(const diag::EcuDiagnostics &e) {
    std::string s;
    const diag::DmResult &dm2 = e.dms.at(2);
    const auto *codes = std::get_if<diag::TroubleCodeList>(&dm2.parsed);
    if (codes == nullptr) {
        s += fmt::format("  {:<32} {}\n", "previously active codes (DM2)",
                         diag::outcome_text(dm2.outcome));
    } else {
        s += fmt::format("  {:<32} {}\n", "previously active codes (DM2)", codes->codes.size());
        for (const diag::TroubleCode &c : codes->codes) {
            s += fmt::format("    {}\n", diag::code_text(c));
        }
    }
    const diag::DmResult &dm5 = e.dms.at(5);
    if (const auto *r = std::get_if<diag::Readiness>(&dm5.parsed)) {
        s += fmt::format("  {:<32} {}\n", "readiness (DM5)", diag::dm_body(dm5).summary);
        s += fmt::format("    monitors: {}\n", diag::readiness_summary(*r));
    } else {
        s += fmt::format("  {:<32} {}\n", "readiness (DM5)", diag::dm_body(dm5).summary);
    }
    return s;
}

std::string status_text(const IdentificationResult &r) {
    switch (r.status) {
    case IdentificationResult::Status::not_supported:
        return fmt::format("not supported: {}", ack_text(r.ack));
    case IdentificationResult::Status::no_answer:
        return "no answer";
    default:
        return "";
    }
}

} // namespace

std::string node_text(const ScannedNode &n) {
    std::string s = fmt::format("node {}, {} message{} heard\n", address_title(n.address),
                                n.messages, n.messages == 1 ? "" : "s");
    if (!n.name) {
        s += "  did not answer the Request for Address Claimed\n";
    } else {
        if (n.ours) {
            s += "  this gateway (vehcan's own claim)\n";
        }
        s += name_text(*n.name, "  ");
    }
    for (const IdentificationResult &r : n.identifications) {
        const std::string title = fmt::format("{} ({})", identification_title(r.pgn), r.pgn);
        if (r.status != IdentificationResult::Status::answered) {
            s += fmt::format("  {:<32} {}\n", title, status_text(r));
            continue;
        }
        s += fmt::format("  {}\n", title);
        for (const IdentificationField &f : r.fields) {
            s += fmt::format("    {:<22} {}\n", f.label, f.value);
        }
    }
    if (!n.dm1) {
        s += "  trouble codes (DM1)              none heard during the scan\n";
    } else {
        s += "  trouble codes (DM1)\n";
        // The message's own lines without its title, one step further in.
        const std::string detail = detailed_text(*n.dm1, n.dm1_length);
        size_t line = detail.find('\n') + 1;
        while (line < detail.size()) {
            const size_t end = detail.find('\n', line);
            s += "  " + detail.substr(line, end - line + 1);
            line = end + 1;
        }
    }
    if (n.diagnostics) {
        s += diagnostics_text(*n.diagnostics);
    }
    return s;
}

nlohmann::json node_json(const ScannedNode &n) {
    nlohmann::json j = {{"address", n.address},
                        {"address_name", address_meaning(n.address)},
                        {"claimed", n.name.has_value()},
                        {"messages", n.messages},
                        {"ours", n.ours}};
    if (n.name) {
        j["name"] = name_json(*n.name);
    }
    nlohmann::json ids = nlohmann::json::object();
    for (const IdentificationResult &r : n.identifications) {
        nlohmann::json id = {{"pgn", r.pgn}};
        switch (r.status) {
        case IdentificationResult::Status::answered: {
            id["status"] = "answered";
            nlohmann::json fields = nlohmann::json::array();
            for (const IdentificationField &f : r.fields) {
                fields.push_back({{"label", f.label}, {"value", f.value}});
            }
            id["fields"] = fields;
            break;
        }
        case IdentificationResult::Status::not_supported:
            id["status"] = "not supported";
            id["acknowledgement"] = ack_text(r.ack);
            break;
        case IdentificationResult::Status::no_answer:
            id["status"] = "no answer";
            break;
        }
        std::string key(identification_title(r.pgn));
        std::replace(key.begin(), key.end(), ' ', '_');
        ids[key] = id;
    }
    j["identifications"] = ids;
    if (n.dm1) {
        const nlohmann::json dm1 = to_json(*n.dm1);
        j["dm1"] = {{"lamps", dm1["lamps"]}, {"dtcs", dm1["dtcs"]}};
    } else {
        j["dm1"] = nullptr;
    }
    if (n.diagnostics) {
        j["dm2"] = diag::dm_json(n.diagnostics->dms.at(2));
        j["dm5"] = diag::dm_json(n.diagnostics->dms.at(5));
    }
    return j;
}

nlohmann::json scan_json(const ScanFindings &f) {
    nlohmann::json nodes = nlohmann::json::array();
    for (const auto &[node_address, node] : f.nodes) {
        nodes.push_back(node_json(node));
    }
    return nodes;
}

ScanFindings scan_nodes(diag::Bus &bus, const BusTap &tap, const ScanSettings &settings,
                        const std::function<std::set<uint8_t>()> &sent_from) {
    ListeningBus listening(bus);
    auto say = [&](const std::string &line) {
        if (settings.say) {
            settings.say(line);
        }
    };
    auto interrupted = [&] { return settings.interrupted && settings.interrupted(); };
    const auto listen_for = std::chrono::duration_cast<diag::Milliseconds>(
        std::chrono::duration<double>(settings.timeout));

    // Every node answers the request for claims with its own claim to all.
    say(fmt::format("requesting Address Claimed (PGN 60928) from all nodes, listening {} s",
                    format_number(settings.timeout)));
    // A request lost on the bus (or sent while a node was not listening yet)
    // earns one more.
    for (int attempt = 0; attempt < 2 && !interrupted() && listening.claims().empty(); ++attempt) {
        diag::Timing timing;
        timing.answer_wait = listen_for;
        (void)diag::request_and_collect(listening, kPgnAddressClaimed, kGlobal, timing, {},
                                        interrupted);
    }

    ScanFindings f;
    for (const auto &[sender, data] : listening.claims()) {
        if (const auto name = decode_name(data.data(), data.size())) {
            ScannedNode &n = f.nodes[sender];
            n.address = sender;
            n.name = name;
            n.ours = settings.ours && name->raw == *settings.ours;
        }
    }
    f.claimed = f.nodes.size();
    f.ours_answered =
        std::any_of(f.nodes.begin(), f.nodes.end(), [](const auto &n) { return n.second.ours; });
    for (auto &[node_address, node] : f.nodes) {
        if (interrupted()) {
            break;
        }
        if (node.ours) {
            continue; // nothing to ask ourselves
        }
        say(fmt::format("asking 0x{:02X} for its identifications", node_address));
        for (const uint32_t pgn : identification_pgns()) {
            node.identifications.push_back(identify(listening, pgn, node_address, interrupted));
        }
        diag::ReadOptions diagnostics;
        diagnostics.from_node = node_address;
        diagnostics.dms = {2, 5};
        if (settings.db != nullptr) {
            diagnostics.spn_name = [db = settings.db](uint32_t spn) {
                return db->spn_description(spn);
            };
        }
        diagnostics.interrupted = interrupted;
        diag::ReadResult read = diag::read_diagnostics(listening, diagnostics);
        node.diagnostics = std::move(read.ecus.front());
    }

    // Senders heard that never claimed (our own requests aside).
    const std::set<uint8_t> ours = sent_from ? sent_from() : std::set<uint8_t>{};
    for (const auto &[sender, count] : tap.heard()) {
        if (ours.count(sender) == 0 || f.nodes.count(sender) != 0) {
            f.nodes[sender].address = sender;
            f.nodes[sender].messages = count;
        }
    }
    for (const auto &[sender, data] : listening.dm1s()) {
        if (f.nodes.count(sender) != 0) {
            ScannedNode &n = f.nodes[sender];
            n.dm1 = decode_payload(kPgnDm1, data.data(), data.size(), settings.db);
            n.dm1_length = data.size();
        }
    }
    return f;
}

int run_scan(const ScanOptions &o) {
    if (o.timeout <= 0) {
        throw Failure(kExitUsage, "--timeout must be more than 0 seconds");
    }
    std::optional<Database> db;
    if (auto path = database_path(o.db)) {
        db = open_database(*path);
    }
    const AddressPlan plan = plan_address(o.claim);
    catch_interrupts();
    const int bit_rate = bring_up();
    const BusTap tap;
    std::optional<OurAddress> address;
    claim_on_live_bus(address, plan);
    ScanFindings f;
    try {
        // Requests, answers and transfers through a socket of the scan's
        // own at our address, which takes answers of any length by RTS/CTS.
        diag::SocketBus bus("can0", [&] { return address->source(); });
        ScanSettings settings;
        settings.timeout = o.timeout;
        settings.db = db ? &*db : nullptr;
        if (address->claimed()) {
            settings.ours = address->name();
        }
        settings.interrupted = [] { return g_stop.load(); };
        settings.say = [](const std::string &line) { fmt::print(stderr, "{}\n", line); };
        f = scan_nodes(bus, tap, settings, [&] { return address->used(); });
    } catch (const Failure &) {
        address.reset();
        j1939_can_deinit();
        throw;
    }
    address.reset();
    j1939_can_deinit();

    if (o.json) {
        for (const auto &[node_address, node] : f.nodes) {
            fmt::print(out(), "{}\n", node_json(node).dump());
        }
    } else {
        const size_t others = f.nodes.size() - f.claimed;
        fmt::print(out(),
                   "can0 at {} bit/s: {} node{} answered the Request for Address Claimed{}, {} "
                   "other sender{} heard\n",
                   bit_rate, f.claimed, f.claimed == 1 ? "" : "s",
                   f.ours_answered ? " (this gateway among them)" : "", others,
                   others == 1 ? "" : "s");
        for (const auto &[node_address, node] : f.nodes) {
            fmt::print(out(), "\n{}", node_text(node));
        }
    }
    if (f.claimed == (f.ours_answered ? 1U : 0U)) {
        throw Failure(kExitNoAnswer, f.ours_answered ? "no other node answered the Request for "
                                                       "Address Claimed"
                                                     : "no node answered the Request for Address "
                                                       "Claimed");
    }
    return kExitOk;
}

} // namespace vehcan::cli
