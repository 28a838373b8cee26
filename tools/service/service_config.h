// SPDX-License-Identifier: MIT
// The gateway's configuration file, /etc/vehcan/vehcan.conf (TOML), as
// `vehcan monitor --config FILE` reads it. Its sections:
//
//   [monitor]  db, json, log, quiet, duration
//   [mqtt]     url, topic_prefix, vehicle, rate_limit, qos, backlog, user,
//              password_file, ca, cert, key
//   [spool]    dir, flush_ms, max_mb
//   [address]  name, preferred, claim
//   [collection]  uplink, mode, name, heartbeat_s, batch_s, batch_kb,
//              event_before_s, event_after_s, dm1_events, zstd_level
//   [[signal]] (any number) pgn, spn, source, tolerance, reconstruction,
//              heartbeat_s, min_interval_s, exclude, raw, event_above,
//              event_below, event_name, event_interval_s
//
//   [commands] enabled, keys (a table: key id = base64 public key),
//              keys_file, max_skew, max_lifetime, allowed_operations,
//              allowed_pgns, rate_limit, rate_period, transmit_rate
//
// [collection] and [[signal]] are the compact uplink's campaign
// (docs/fleet.md); a file holding only them serves replay --config.
//
// Every key is optional; a key that is not there leaves the command line's
// default. Options given on the command line override the file. The MQTT
// password is never in the file: it comes from password_file (which must be
// readable by its owner only) or from systemd's credential "mqtt-password"
// ($CREDENTIALS_DIRECTORY/mqtt-password, LoadCredential=).
#ifndef VEHCAN_SERVICE_SERVICE_CONFIG_H
#define VEHCAN_SERVICE_SERVICE_CONFIG_H

#include "command_policy.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vehcan::service {

// A configuration that cannot be used: what() is the one line
// "FILE:LINE: problem" (FILE alone when no line applies).
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Each member is empty when the file does not set it.
struct MonitorSettings {
    std::optional<std::string> db;
    std::optional<bool> json;
    std::optional<bool> log;
    std::optional<bool> quiet;
    std::optional<double> duration; // seconds, 0: no limit
};

struct MqttSettings {
    std::optional<std::string> url;
    std::optional<std::string> topic_prefix;
    std::optional<std::string> vehicle;
    std::optional<double> rate_limit;
    std::optional<int> qos;
    std::optional<int64_t> backlog;
    std::optional<std::string> user;
    std::optional<std::string> ca_file;
    std::optional<std::string> cert_file;
    std::optional<std::string> key_file;
    // The password, read from password_file or the credential when the
    // file was loaded; empty when neither gives one.
    std::optional<std::string> password;
};

// The store-and-forward spool of the uplink (monitor --spool DIR,
// --spool-flush-ms, --spool-max-mb).
struct SpoolSettings {
    std::optional<std::string> dir;
    std::optional<int64_t> flush_ms;
    std::optional<int64_t> max_mb;
};

// Our own place on the bus (--name HEX, --from ADDRESS, --no-claim).
struct AddressSettings {
    std::optional<uint64_t> name;     // the 64-bit NAME we claim with
    std::optional<uint8_t> preferred; // the address we claim first
    std::optional<bool> claim;        // false: use the address without claiming
};

// The compact uplink's collection as a whole.
struct CollectionSection {
    std::optional<std::string> uplink; // "compact" or "json"
    std::optional<bool> exact;         // mode = "exact"
    std::optional<std::string> name;   // the campaign's name in the birth
    std::optional<double> heartbeat_s;
    std::optional<double> batch_s;
    std::optional<int64_t> batch_kb;
    std::optional<double> event_before_s;
    std::optional<double> event_after_s;
    std::optional<bool> dm1_events;
    std::optional<int64_t> zstd_level;
};

// One [[signal]] table: the values it is about (pgn, spn, source) and what
// it changes for them. At least pgn or spn is set.
struct SignalSection {
    std::optional<int64_t> pgn;
    std::optional<int64_t> spn;
    std::optional<int64_t> source;
    std::optional<double> tolerance;
    std::optional<bool> linear; // reconstruction = "linear" / "step"
    std::optional<double> heartbeat_s;
    std::optional<double> min_interval_s;
    bool exclude = false;
    bool raw = false;
    std::optional<double> event_above;
    std::optional<double> event_below;
    std::string event_name;
    std::optional<double> event_interval_s;
    int line = 0;
};

struct ServiceConfig {
    std::string path;
    MonitorSettings monitor;
    MqttSettings mqtt;
    SpoolSettings spool;
    AddressSettings address;
    CollectionSection collection;
    std::vector<SignalSection> signals;
    // Commands from the fleet: not on the command line, so the defaults of
    // CommandPolicy stand where the file says nothing.
    commands::CommandPolicy commands;
};

// Reads and checks the file. credentials_dir is systemd's
// $CREDENTIALS_DIRECTORY (empty: none). Throws ConfigError for a file that
// cannot be read, a TOML syntax error, an unknown section or key, a value of
// the wrong type or out of range, a password file that cannot be read or
// that others may read, a commands key that is no Ed25519 public key, a
// keys file that others may write, commands enabled without a key.
ServiceConfig load_config(const std::string &path, const std::string &credentials_dir);

// The same from text already read (path only names it in errors; a
// relative password_file is taken from the current directory).
ServiceConfig parse_config(const std::string &text, const std::string &path,
                           const std::string &credentials_dir);

// The credential's name under $CREDENTIALS_DIRECTORY.
inline constexpr const char *kPasswordCredential = "mqtt-password";

} // namespace vehcan::service

#endif
