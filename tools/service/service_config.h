// SPDX-License-Identifier: MIT
// The gateway's configuration file, /etc/vehcan/vehcan.conf (TOML), as
// `vehcan monitor --config FILE` reads it. Five sections:
//
//   [monitor]  db, json, log, quiet, duration
//   [mqtt]     url, topic_prefix, vehicle, rate_limit, qos, backlog, user,
//              password_file, ca, cert, key
//   [spool]    dir, flush_ms, max_mb
//   [address]  name, preferred, claim
//   [commands] enabled, keys (a table: key id = base64 public key),
//              keys_file, max_skew, max_lifetime, allowed_operations,
//              allowed_pgns, rate_limit, rate_period, transmit_rate
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

struct ServiceConfig {
    std::string path;
    MonitorSettings monitor;
    MqttSettings mqtt;
    SpoolSettings spool;
    AddressSettings address;
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
