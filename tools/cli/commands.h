// SPDX-License-Identifier: MIT
// The subcommands of vehcan. Each returns the exit code, or throws Failure.
#ifndef VEHCAN_CLI_COMMANDS_H
#define VEHCAN_CLI_COMMANDS_H

#include "database.h"
#include "our_address.h"
#include "uplink.h"

#include <command_policy.h>

#include <optional>
#include <set>
#include <string>

namespace vehcan::cli {

// --db FILE, else $VEHCAN_DB; nothing when neither is given.
std::optional<std::string> database_path(const std::string &option);
// Opens the database at path, or throws Failure(kExitDatabase).
Database open_database(const std::string &path);

struct DecodeOptions {
    std::string pgn;
    std::string hex;
    std::string db;
    bool json = false;
};
int run_decode(const DecodeOptions &o);

struct DtcOptions {
    std::string hex;
    std::string db;
    bool json = false;
    std::string spn_conversion = "auto"; // auto, 4 or legacy
};
int run_dtc(const DtcOptions &o);

struct DbOptions {
    std::string pgn;
    std::string spn;
    std::string state;
    std::string service;
    std::string db;
    bool json = false;
};
int run_db(const DbOptions &o);

struct ReplayOptions {
    std::string file;
    std::string db;
    bool json = false;
    bool strict = false;       // stop at the first malformed line
    bool quiet = false;        // no timeline or summary (with --mqtt)
    double speed = 0;          // 1: at the capture's own pace, 2: twice as fast; 0: at once
    MqttOptions mqtt;          // url empty: no uplink
    std::string report;        // --report FILE: the capture's page instead of the timeline
    std::string spn;           // --spn LIST: the signals the report charts (default: all)
    uint32_t bitrate = 250000; // the bus's, for the report's bus load
    std::string config;        // the compact uplink's campaign
    bool uplink_cost = false;
    std::string uplink_save; // the compact payloads to this directory (with the cost report)
};
int run_replay(const ReplayOptions &o);

struct PlotOptions {
    std::string file;
    std::string spn;    // the signals, "190,84"
    std::string output; // "": standard output
    std::string db;
    int width = 960;
};
// A few signals of a capture as an SVG chart (docs/report.md).
int run_plot(const PlotOptions &o);

struct MonitorOptions {
    double duration = 0; // seconds; 0: until Ctrl-C
    std::string db;
    bool json = false;
    bool log = false;                 // the line log even on a terminal
    bool quiet = false;               // no messages on standard output (with --mqtt)
    MqttOptions mqtt;                 // url empty: no uplink
    ClaimOptions claim;               // the address of the VIN request
    std::string config;               // --config FILE; SIGHUP re-reads its [mqtt] section
    std::set<std::string> given;      // the options given on the command line ("--qos")
    commands::CommandPolicy commands; // the file's [commands]: off unless it enables them
};
// On a terminal (without --log or --json) the live view of live_view.h;
// otherwise one line per message, or one JSON object per message.
int run_monitor(const MonitorOptions &o);

struct ScanOptions {
    double timeout = 2; // seconds to listen for Address Claimed answers
    std::string db;
    bool json = false;
    ClaimOptions claim; // the address of the identification requests
};
// The bus inventory. kExitOk when a node claimed its address, else throws
// Failure(kExitNoAnswer) after printing what was heard.
int run_scan(const ScanOptions &o);

struct RequestOptions {
    std::string pgn;
    ClaimOptions claim;
    std::string to = "0xFF";
    std::string db;
    bool json = false;
};
int run_request(const RequestOptions &o);

// vehcan diag read | clear | quiet (docs/diagnostics.md).
struct DiagOptions {
    std::string from_node = "all";       // read: all, or one node's address
    std::string dms;                     // read: "1,2,4"; empty: the default list
    std::string spn_conversion = "auto"; // auto, 4 or legacy
    bool quiet_bus = false;              // read: other nodes' broadcasts stopped (DM13) meanwhile
    bool previous = false;               // clear: DM3
    bool active = false;                 // clear: DM11
    std::string to = "all";              // clear and quiet: all, or one node's address
    bool yes = false;                    // clear without asking
    bool engine_running = false;         // clear --active although the engine runs
    double seconds = 0;                  // quiet: 0 until Ctrl-C
    bool json = false;
    std::string db;
    ClaimOptions claim;
};
int run_diag_read(const DiagOptions &o);
int run_diag_clear(const DiagOptions &o);
int run_diag_quiet(const DiagOptions &o);

} // namespace vehcan::cli

#endif
