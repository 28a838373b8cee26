// The subcommands of vehcan. Each returns the exit code, or throws Failure.
#ifndef VEHCAN_CLI_COMMANDS_H
#define VEHCAN_CLI_COMMANDS_H

#include "database.h"

#include <optional>
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
    bool strict = false; // stop at the first malformed line
};
int run_replay(const ReplayOptions &o);

struct MonitorOptions {
    double duration = 0; // seconds; 0: until Ctrl-C
    std::string db;
    bool json = false;
};
int run_monitor(const MonitorOptions &o);

struct RequestOptions {
    std::string pgn;
    std::string from = "0xF9";
    std::string to = "0xFF";
    std::string db;
    bool json = false;
};
int run_request(const RequestOptions &o);

} // namespace vehcan::cli

#endif
