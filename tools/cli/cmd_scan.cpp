// SPDX-License-Identifier: MIT
// vehcan scan: who is on the bus. A Request for Address Claimed to all
// nodes, every claim collected, then each node's identifications and
// active trouble codes.
#include "bus_session.h"
#include "bus_tap.h"
#include "commands.h"
#include "common.h"
#include "decode.h"
#include "identification.h"
#include "node_identity.h"
#include "our_address.h"

#include <diag_text.h>
#include <j1939_stack.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fmt/format.h>
#include <map>
#include <mqueue.h>
#include <optional>
#include <set>
#include <thread>

namespace vehcan::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPgnAddressClaimed = 60928;
constexpr uint32_t kPgnDm1 = 65226;
constexpr uint8_t kGlobal = 0xFF;

struct Message {
    uint32_t pgn;
    std::vector<uint8_t> data;
};

struct IdentificationResult {
    uint32_t pgn = 0;
    enum class Status { answered, not_supported, no_answer } status = Status::no_answer;
    std::vector<IdentificationField> fields;
    int ack = -1; // the refusal's control byte
};

struct Node {
    uint8_t address = 0;
    std::optional<J1939Name> name; // none: heard, but no claim came from it
    bool ours = false;             // this gateway's own claim
    unsigned long messages = 0;    // heard during the scan
    std::vector<IdentificationResult> identifications;
    std::optional<Decoded> dm1;
    size_t dm1_length = 0;
    // Asked of the node itself: previously active codes (DM2) and readiness (DM5).
    std::optional<diag::EcuDiagnostics> diagnostics;
};

// Collects what the stack routes to its broadcast queue while the scan runs;
// who sent each message is settled at the end, once the tap has seen all.
class Collector {
  public:
    void drain() {
        mq_attr a{};
        while (mq_getattr(bc_mq, &a) == 0 && a.mq_curmsgs > 0) {
            int len = 0;
            unsigned long pgn = 0;
            if (j1939_recv_broadcast_response(buf_.data(), &len, &pgn) != 0 || len < 0) {
                return;
            }
            keep(static_cast<uint32_t>(pgn), buf_.data(), static_cast<size_t>(len));
        }
    }
    void listen(std::chrono::duration<double> how_long) {
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(how_long);
        while (!g_stop.load() && Clock::now() < end) {
            drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    void keep(uint32_t pgn, const uint8_t *data, size_t len) {
        if (pgn == kPgnAddressClaimed || pgn == kPgnDm1) {
            kept_.push_back({pgn, std::vector<uint8_t>(data, data + len)});
        }
    }
    const std::vector<Message> &kept() const { return kept_; }
    bool heard_a_claim() const {
        return std::any_of(kept_.begin(), kept_.end(),
                           [](const Message &m) { return m.pgn == kPgnAddressClaimed; });
    }

  private:
    std::array<uint8_t, 256> buf_{};
    std::vector<Message> kept_;
};

IdentificationResult identify(uint32_t pgn, uint8_t from, uint8_t address) {
    IdentificationResult r;
    r.pgn = pgn;
    const RequestAnswer a = ask(pgn, from, address);
    if (a.answered) {
        r.status = IdentificationResult::Status::answered;
        r.fields = identification_fields(pgn, a.data.data(), a.data.size());
    } else if (a.ack > 0 && a.ack_from == address) {
        r.status = IdentificationResult::Status::not_supported;
        r.ack = a.ack;
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

std::string node_text(const Node &n) {
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

nlohmann::json node_json(const Node &n) {
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

} // namespace

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
    Collector collected;
    std::optional<OurAddress> address;
    claim_on_live_bus(address, plan);
    // Each request from wherever the claim stands at the time.
    auto from = [&] {
        try {
            return address->source_or_fail();
        } catch (const Failure &) {
            address.reset();
            j1939_can_deinit();
            throw;
        }
    };

    // The first claim comes back as the request's answer, the others reach
    // the broadcast queue while the request waits and during the listening.
    fmt::print(stderr, "requesting Address Claimed (PGN 60928) from all nodes, listening {} s\n",
               format_number(o.timeout));
    // A request lost on the bus (or sent while a node was not listening yet)
    // earns one more, as vehcan request gives a time-out one more try.
    for (int attempt = 0; attempt < 2 && !g_stop.load() && !collected.heard_a_claim(); ++attempt) {
        const RequestAnswer first = ask(kPgnAddressClaimed, from(), kGlobal);
        if (first.answered) {
            collected.keep(kPgnAddressClaimed, first.data.data(), first.data.size());
        }
        collected.listen(std::chrono::duration<double>(o.timeout));
    }

    std::map<uint8_t, Node> nodes;
    for (const Message &m : collected.kept()) {
        if (m.pgn != kPgnAddressClaimed) {
            continue;
        }
        const auto name = decode_name(m.data.data(), m.data.size());
        const auto sender = tap.sender_of(m.pgn, m.data.data(), m.data.size());
        if (name && sender) {
            nodes[*sender].address = *sender;
            nodes[*sender].name = name;
            nodes[*sender].ours = address->claimed() && name->raw == address->name();
        }
    }
    // DM2 and DM5 through a socket of the scan's own at our address, which
    // takes answers of any length by RTS/CTS.
    std::optional<diag::SocketBus> diag_bus;
    try {
        diag_bus.emplace("can0", [&] { return address->source(); });
    } catch (const Failure &) {
        address.reset();
        j1939_can_deinit();
        throw;
    }
    const size_t claimed = nodes.size();
    const bool ours_answered =
        std::any_of(nodes.begin(), nodes.end(), [](const auto &n) { return n.second.ours; });
    for (auto &[node_address, node] : nodes) {
        if (g_stop.load()) {
            break;
        }
        if (node.ours) {
            continue; // nothing to ask ourselves
        }
        fmt::print(stderr, "asking 0x{:02X} for its identifications\n", node_address);
        for (const uint32_t pgn : identification_pgns()) {
            node.identifications.push_back(identify(pgn, from(), node_address));
            collected.drain();
        }
        diag::ReadOptions diagnostics;
        diagnostics.from_node = node_address;
        diagnostics.dms = {2, 5};
        if (db) {
            diagnostics.spn_name = [&db](uint32_t spn) { return db->spn_description(spn); };
        }
        diagnostics.interrupted = [] { return g_stop.load(); };
        try {
            diag::ReadResult read = diag::read_diagnostics(*diag_bus, diagnostics);
            node.diagnostics = std::move(read.ecus.front());
        } catch (const Failure &) {
            diag_bus.reset();
            address.reset();
            j1939_can_deinit();
            throw;
        }
        collected.drain();
    }
    diag_bus.reset();
    collected.drain();
    const std::set<uint8_t> ours = address->used();
    address.reset();
    j1939_can_deinit();

    // Senders heard that never claimed (the tool's own requests aside).
    for (const auto &[sender, count] : tap.heard()) {
        if (ours.count(sender) == 0 || nodes.count(sender) != 0) {
            nodes[sender].address = sender;
            nodes[sender].messages = count;
        }
    }
    for (const Message &m : collected.kept()) {
        if (m.pgn != kPgnDm1) {
            continue;
        }
        const auto sender = tap.sender_of(m.pgn, m.data.data(), m.data.size());
        if (sender && nodes.count(*sender) != 0) {
            Node &n = nodes[*sender];
            n.dm1 = decode_payload(m.pgn, m.data.data(), m.data.size(), db ? &*db : nullptr);
            n.dm1_length = m.data.size();
        }
    }

    if (o.json) {
        for (const auto &[node_address, node] : nodes) {
            fmt::print(out(), "{}\n", node_json(node).dump());
        }
    } else {
        fmt::print(out(),
                   "can0 at {} bit/s: {} node{} answered the Request for Address Claimed{}, {} "
                   "other sender{} heard\n",
                   bit_rate, claimed, claimed == 1 ? "" : "s",
                   ours_answered ? " (this gateway among them)" : "", nodes.size() - claimed,
                   nodes.size() - claimed == 1 ? "" : "s");
        for (const auto &[node_address, node] : nodes) {
            fmt::print(out(), "\n{}", node_text(node));
        }
    }
    if (claimed == (ours_answered ? 1U : 0U)) {
        throw Failure(kExitNoAnswer, ours_answered ? "no other node answered the Request for "
                                                     "Address Claimed"
                                                   : "no node answered the Request for Address "
                                                     "Claimed");
    }
    return kExitOk;
}

} // namespace vehcan::cli
