// SPDX-License-Identifier: MIT
// The configuration file: toml++ parses it and reports where each node
// stands, so that every problem names its line.
#include "service_config.h"

#include "operations.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fmt/format.h>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <system_error>
#include <toml++/toml.h>

namespace vehcan::service {

namespace {

// ---- where a problem is ----------------------------------------------------------------------

[[noreturn]] void fail_at(const std::string &path, const toml::source_region &where,
                          const std::string &problem) {
    if (where.begin.line == 0) {
        throw ConfigError(fmt::format("{}: {}", path, problem));
    }
    throw ConfigError(fmt::format("{}:{}: {}", path, where.begin.line, problem));
}

std::string type_name(const toml::node &n) {
    switch (n.type()) {
    case toml::node_type::string:
        return "a string";
    case toml::node_type::integer:
        return "an integer";
    case toml::node_type::floating_point:
        return "a number";
    case toml::node_type::boolean:
        return "true or false";
    case toml::node_type::table:
        return "a table";
    case toml::node_type::array:
        return "an array";
    default:
        return "a date or time";
    }
}

// One key of a section: its node and its full name for messages.
struct Key {
    const std::string &path;
    std::string name; // "mqtt.qos"
    const toml::node &node;

    [[noreturn]] void fail(const std::string &problem) const {
        fail_at(path, node.source(), fmt::format("{} {}", name, problem));
    }
    [[noreturn]] void wrong_type(const char *wanted) const {
        fail(fmt::format("must be {}, not {}", wanted, type_name(node)));
    }

    std::string text() const {
        if (const auto *s = node.as_string()) {
            return s->get();
        }
        wrong_type("a string");
    }
    bool boolean() const {
        if (const auto *b = node.as_boolean()) {
            return b->get();
        }
        wrong_type("true or false");
    }
    int64_t integer(int64_t low, int64_t high) const {
        const auto *i = node.as_integer();
        if (i == nullptr) {
            wrong_type("an integer");
        }
        const int64_t v = i->get();
        if (v < low || v > high) {
            fail(fmt::format("must be from {} to {}, not {}", low, high, v));
        }
        return v;
    }
    // A number of any sign.
    double any_number() const {
        if (const auto *i = node.as_integer()) {
            return static_cast<double>(i->get());
        }
        if (const auto *f = node.as_floating_point()) {
            if (std::isnan(f->get())) {
                fail("must be a number, not nan");
            }
            return f->get();
        }
        wrong_type("a number");
    }
    double number(double low) const {
        double v = 0;
        if (const auto *i = node.as_integer()) {
            v = static_cast<double>(i->get());
        } else if (const auto *f = node.as_floating_point()) {
            v = f->get();
        } else {
            wrong_type("a number");
        }
        if (!(v >= low)) { // NaN too
            fail(fmt::format("must be {} or more, not {}", low, v));
        }
        return v;
    }
};

using KeyReader = std::function<void(const Key &)>;

// The names of a table's entries, in order, each between before and after:
// what an "unknown" message offers instead.
template <typename Table>
std::string names_of(const Table &table, const char *before, const char *after) {
    std::string names;
    for (const auto &entry : table) {
        names += fmt::format("{}{}{}{}", names.empty() ? "" : ", ", before, entry.first, after);
    }
    return names;
}

// Hands each key of the section to its reader; a key without one is a typo
// or a setting of another version, and is refused rather than ignored.
void read_section(const std::string &path, const std::string &section, const toml::node &node,
                  const std::map<std::string, KeyReader> &readers) {
    const auto *table = node.as_table();
    if (table == nullptr) {
        fail_at(path, node.source(), fmt::format("[{}] must be a table", section));
    }
    for (auto &&[key, value] : *table) {
        const std::string name(key.str());
        const auto it = readers.find(name);
        if (it == readers.end()) {
            fail_at(path, key.source().begin.line != 0 ? key.source() : value.source(),
                    fmt::format("unknown key {} in [{}] (its keys: {})", name, section,
                                names_of(readers, "", "")));
        }
        it->second(Key{path, fmt::format("{}.{}", section, name), value});
    }
}

// ---- the password ----------------------------------------------------------------------------

std::string strip_line_end(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s;
}

std::string directory_of(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

std::string read_whole(const std::string &file, const Key *where) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        const std::string why =
            fmt::format("cannot read {}: {}", file, std::generic_category().message(errno));
        if (where != nullptr) {
            where->fail(why);
        }
        throw ConfigError(why);
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The file a key names (a relative name is taken beside the configuration),
// which must be a regular file whose mode has none of the bits in forbidden:
// "others may <action> (mode ...): it must be mode <wanted>" otherwise.
std::string guarded_file(const Key &k, const std::string &config_path, mode_t forbidden,
                         const char *action, const char *wanted) {
    std::string file = k.text();
    if (file.empty()) {
        k.fail("is empty");
    }
    if (file[0] != '/') {
        file = directory_of(config_path) + file;
    }
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        k.fail(fmt::format("names {}, which cannot be read: {}", file,
                           std::generic_category().message(errno)));
    }
    if (!S_ISREG(st.st_mode)) {
        k.fail(fmt::format("names {}, which is not a file", file));
    }
    if ((st.st_mode & forbidden) != 0) {
        k.fail(fmt::format("names {}, which others may {} (mode {:04o}): it must be mode {}", file,
                           action, st.st_mode & 07777U, wanted));
    }
    return file;
}

// The password file may be read by its owner only: a password that every
// user of the gateway can read is refused, not used.
std::string read_password_file(const Key &k, const std::string &config_path) {
    const std::string file = guarded_file(k, config_path, 077U, "read", "0600");
    return strip_line_end(read_whole(file, &k));
}

uint64_t parse_name(const Key &k) {
    std::string s = k.text();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.erase(0, 2);
    }
    if (s.empty() || s.size() > 16 ||
        s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        k.fail(
            fmt::format("must be the 64-bit NAME in hex (up to 16 digits), not \"{}\"", k.text()));
    }
    return std::stoull(s, nullptr, 16);
}

// ---- commands from the fleet ----------------------------------------------------------------

using commands::CommandPolicy;

void add_key(const Key &where, CommandPolicy &policy, const std::string &id,
             const commands::PublicKey &key) {
    if (!policy.keys.emplace(id, key).second) {
        where.fail(fmt::format("gives the key id {} a second time", id));
    }
}

// [commands.keys]: key id = "base64 public key".
void read_keys_table(const Key &k, CommandPolicy &policy) {
    const auto *table = k.node.as_table();
    if (table == nullptr) {
        k.wrong_type("a table of key ids and public keys");
    }
    for (auto &&[id, value] : *table) {
        const Key entry{k.path, fmt::format("{}.{}", k.name, id.str()), value};
        if (!commands::valid_key_id(id.str())) {
            entry.fail("is not a key id: 1 to 64 of A-Z a-z 0-9 . _ -");
        }
        const auto key = commands::parse_public_key(entry.text());
        if (!key) {
            entry.fail("must be an Ed25519 public key: 32 bytes in base64");
        }
        add_key(entry, policy, std::string(id.str()), *key);
    }
}

// keys_file: lines of "KEYID BASE64". Public keys are no secret, but whoever
// may write the file may command the vehicle: it must be writable by its
// owner only.
void read_keys_file(const Key &k, const std::string &config_path, CommandPolicy &policy) {
    const std::string file = guarded_file(k, config_path, 022U, "write", "0644 or stricter");
    commands::KeyRing keys;
    int line = 0;
    std::string problem;
    if (!commands::parse_key_lines(read_whole(file, &k), keys, line, problem)) {
        throw ConfigError(fmt::format("{}:{}: {}", file, line, problem));
    }
    for (const auto &[id, key] : keys) {
        add_key(k, policy, id, key);
    }
}

std::set<std::string, std::less<>> read_operations(const Key &k) {
    const auto *array = k.node.as_array();
    if (array == nullptr) {
        k.wrong_type("an array of operation names");
    }
    std::set<std::string, std::less<>> out;
    for (const auto &item : *array) {
        const Key entry{k.path, k.name, item};
        const std::string name = entry.text();
        if (commands::find_operation(name) == nullptr) {
            entry.fail(fmt::format("names {}, which is none of request, scan, diag.read, "
                                   "diag.clear, capture",
                                   name));
        }
        out.insert(name);
    }
    return out;
}

std::set<uint32_t> read_pgns(const Key &k) {
    const auto *array = k.node.as_array();
    if (array == nullptr) {
        k.wrong_type("an array of PGNs");
    }
    std::set<uint32_t> out;
    for (const auto &item : *array) {
        out.insert(static_cast<uint32_t>(Key{k.path, k.name, item}.integer(0, 0x3FFFF)));
    }
    return out;
}

} // namespace

// ---- the sections ----------------------------------------------------------------------------

ServiceConfig parse_config(const std::string &text, const std::string &path,
                           const std::string &credentials_dir) {
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error &e) {
        fail_at(path, e.source(), std::string(e.description()));
    }
    ServiceConfig c;
    c.path = path;
    std::optional<Key> password_key;
    std::string password_file;

    const std::map<std::string, KeyReader> monitor{
        {"db", [&](const Key &k) { c.monitor.db = k.text(); }},
        {"json", [&](const Key &k) { c.monitor.json = k.boolean(); }},
        {"log", [&](const Key &k) { c.monitor.log = k.boolean(); }},
        {"quiet", [&](const Key &k) { c.monitor.quiet = k.boolean(); }},
        {"duration", [&](const Key &k) { c.monitor.duration = k.number(0); }},
    };
    const std::map<std::string, KeyReader> mqtt{
        {"url", [&](const Key &k) { c.mqtt.url = k.text(); }},
        {"topic_prefix", [&](const Key &k) { c.mqtt.topic_prefix = k.text(); }},
        {"vehicle", [&](const Key &k) { c.mqtt.vehicle = k.text(); }},
        {"rate_limit", [&](const Key &k) { c.mqtt.rate_limit = k.number(0); }},
        {"qos", [&](const Key &k) { c.mqtt.qos = static_cast<int>(k.integer(0, 1)); }},
        {"backlog", [&](const Key &k) { c.mqtt.backlog = k.integer(1, 100000000); }},
        {"user", [&](const Key &k) { c.mqtt.user = k.text(); }},
        {"password",
         [&](const Key &k) {
             k.fail("must not hold the password: name a file of mode 0600 in "
                    "mqtt.password_file, or give it as systemd credential mqtt-password");
         }},
        {"password_file", [&](const Key &k) { password_key.emplace(k); }},
        {"ca", [&](const Key &k) { c.mqtt.ca_file = k.text(); }},
        {"cert", [&](const Key &k) { c.mqtt.cert_file = k.text(); }},
        {"key", [&](const Key &k) { c.mqtt.key_file = k.text(); }},
    };
    const std::map<std::string, KeyReader> spool{
        {"dir", [&](const Key &k) { c.spool.dir = k.text(); }},
        {"flush_ms", [&](const Key &k) { c.spool.flush_ms = k.integer(1, 3600000); }},
        {"max_mb", [&](const Key &k) { c.spool.max_mb = k.integer(1, 1048576); }},
    };
    const std::map<std::string, KeyReader> address{
        {"name", [&](const Key &k) { c.address.name = parse_name(k); }},
        // 254 is the null address and 255 the global one: neither is ours.
        {"preferred",
         [&](const Key &k) { c.address.preferred = static_cast<uint8_t>(k.integer(0, 253)); }},
        {"claim", [&](const Key &k) { c.address.claim = k.boolean(); }},
    };
    const std::map<std::string, KeyReader> collection{
        {"uplink",
         [&](const Key &k) {
             const std::string v = k.text();
             if (v != "compact" && v != "json") {
                 k.fail(fmt::format("must be \"compact\" or \"json\", not \"{}\"", v));
             }
             c.collection.uplink = v;
         }},
        {"mode",
         [&](const Key &k) {
             const std::string v = k.text();
             if (v != "default" && v != "exact") {
                 k.fail(fmt::format("must be \"default\" or \"exact\", not \"{}\"", v));
             }
             c.collection.exact = v == "exact";
         }},
        {"name", [&](const Key &k) { c.collection.name = k.text(); }},
        {"heartbeat_s", [&](const Key &k) { c.collection.heartbeat_s = k.number(0.001); }},
        {"batch_s", [&](const Key &k) { c.collection.batch_s = k.number(0.001); }},
        {"batch_kb", [&](const Key &k) { c.collection.batch_kb = k.integer(1, 65536); }},
        {"event_before_s", [&](const Key &k) { c.collection.event_before_s = k.number(0); }},
        {"event_after_s", [&](const Key &k) { c.collection.event_after_s = k.number(0); }},
        {"dm1_events", [&](const Key &k) { c.collection.dm1_events = k.boolean(); }},
        {"zstd_level", [&](const Key &k) { c.collection.zstd_level = k.integer(0, 22); }},
    };
    SignalSection *signal = nullptr; // the [[signal]] being read
    const std::map<std::string, KeyReader> signal_keys{
        {"pgn", [&](const Key &k) { signal->pgn = k.integer(0, 0x3FFFF); }},
        {"spn", [&](const Key &k) { signal->spn = k.integer(1, 0x7FFFF); }},
        {"source", [&](const Key &k) { signal->source = k.integer(0, 253); }},
        {"tolerance", [&](const Key &k) { signal->tolerance = k.number(0); }},
        {"reconstruction",
         [&](const Key &k) {
             const std::string v = k.text();
             if (v != "step" && v != "linear") {
                 k.fail(fmt::format("must be \"step\" or \"linear\", not \"{}\"", v));
             }
             signal->linear = v == "linear";
         }},
        {"heartbeat_s", [&](const Key &k) { signal->heartbeat_s = k.number(0.001); }},
        {"min_interval_s", [&](const Key &k) { signal->min_interval_s = k.number(0); }},
        {"exclude", [&](const Key &k) { signal->exclude = k.boolean(); }},
        {"raw", [&](const Key &k) { signal->raw = k.boolean(); }},
        {"event_above", [&](const Key &k) { signal->event_above = k.any_number(); }},
        {"event_below", [&](const Key &k) { signal->event_below = k.any_number(); }},
        {"event_name", [&](const Key &k) { signal->event_name = k.text(); }},
        {"event_interval_s", [&](const Key &k) { signal->event_interval_s = k.number(0); }},
    };
    std::optional<Key> commands_enabled;
    const std::map<std::string, KeyReader> commands{
        {"enabled",
         [&](const Key &k) {
             c.commands.enabled = k.boolean();
             commands_enabled.emplace(k);
         }},
        {"keys", [&](const Key &k) { read_keys_table(k, c.commands); }},
        {"keys_file", [&](const Key &k) { read_keys_file(k, path, c.commands); }},
        {"max_skew", [&](const Key &k) { c.commands.max_skew_s = k.integer(0, 86400); }},
        {"max_lifetime",
         [&](const Key &k) { c.commands.max_lifetime_s = k.integer(1, 30 * 86400); }},
        {"allowed_operations",
         [&](const Key &k) { c.commands.allowed_operations = read_operations(k); }},
        {"allowed_pgns", [&](const Key &k) { c.commands.allowed_pgns = read_pgns(k); }},
        {"rate_limit", [&](const Key &k) { c.commands.rate_limit = k.integer(1, 10000); }},
        {"rate_period", [&](const Key &k) { c.commands.rate_period_s = k.integer(1, 86400); }},
        {"transmit_rate",
         [&](const Key &k) {
             const double v = k.number(1);
             if (v > 2000) {
                 k.fail(fmt::format("must be from 1 to 2000 frames a second, not {}", v));
             }
             c.commands.transmit_rate = v;
         }},
    };
    const std::map<std::string, const std::map<std::string, KeyReader> *> sections{
        {"monitor", &monitor},       {"mqtt", &mqtt},
        {"spool", &spool},           {"address", &address},
        {"collection", &collection}, {"commands", &commands}};

    for (auto &&[key, node] : root) {
        const std::string name(key.str());
        if (name == "signal") {
            const auto *tables = node.as_array();
            if (tables == nullptr || !tables->is_array_of_tables()) {
                fail_at(path, node.source(), "signal must be tables: [[signal]]");
            }
            for (const toml::node &table : *tables) {
                c.signals.emplace_back();
                signal = &c.signals.back();
                signal->line = static_cast<int>(table.source().begin.line);
                read_section(path, "signal", table, signal_keys);
                if (!signal->pgn && !signal->spn) {
                    fail_at(path, table.source(), "a [[signal]] names a pgn, an spn or both");
                }
            }
            continue;
        }
        const auto it = sections.find(name);
        if (it == sections.end()) {
            fail_at(path, key.source().begin.line != 0 ? key.source() : node.source(),
                    node.is_table() ? fmt::format("unknown section [{}] (the sections: {})", name,
                                                  names_of(sections, "[", "]"))
                                    : fmt::format("{} is outside a section ([monitor], "
                                                  "[mqtt], [spool], [address], [collection] or "
                                                  "[commands])",
                                                  name));
        }
        read_section(path, name, node, *it->second);
    }

    if (c.commands.enabled && c.commands.keys.empty()) {
        commands_enabled->fail("is true, but no key is given in [commands.keys] or "
                               "commands.keys_file: no command could ever be verified");
    }

    if (password_key) {
        c.mqtt.password = read_password_file(*password_key, path);
    } else if (!credentials_dir.empty()) {
        const std::string credential = credentials_dir + "/" + kPasswordCredential;
        struct stat st {};
        if (stat(credential.c_str(), &st) == 0) {
            c.mqtt.password = strip_line_end(read_whole(credential, nullptr));
        }
    }
    return c;
}

ServiceConfig load_config(const std::string &path, const std::string &credentials_dir) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError(fmt::format("{}: cannot read the configuration: {}", path,
                                      std::generic_category().message(errno)));
    }
    std::ostringstream s;
    s << in.rdbuf();
    return parse_config(s.str(), path, credentials_dir);
}

} // namespace vehcan::service
