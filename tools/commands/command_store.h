// SPDX-License-Identifier: MIT
// The gateway's record of commands: every signed command it answered, by id
// and nonce, with its last result, in a SQLite database DIR/commands.db in
// the spool's directory.
//
// The record is the seen set that stops replays, across restarts and power
// cuts: each write is its own transaction in SQLite's write-ahead log with
// synchronous=FULL, so once insert() returned the command is on the disk,
// and the gate inserts a command as accepted before anything of it runs.
// A row goes when its command expired kKeepAfterExpiryS ago and it left the
// rate limit's window (prune()).
//
// The file is the commands' own, not the spool's database: the record must
// be written at once, before a command runs, while the spool batches its
// writes; and a spool set aside or shrunk for its bound must never take the
// seen set with it.
//
// The horizon: a new database (the first start, or after a corrupt one was
// set aside) records the clock at its creation, and the gate refuses every
// command issued before it, since the record cannot tell those from replays.
//
// Not thread-safe: one owner (the command desk, under its lock).
#ifndef VEHCAN_COMMANDS_COMMAND_STORE_H
#define VEHCAN_COMMANDS_COMMAND_STORE_H

#include "results.h"
#include "signing.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace vehcan::commands {

// The database cannot be opened, read or written; what() says why.
class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct StoredCommand {
    std::string id;
    Digest digest{}; // SHA-256 of the signed bytes
    std::string key_id;
    std::string operation;
    Outcome outcome = Outcome::kAccepted;
    std::string result; // the last result message sent for it
};

struct NewCommand {
    std::string id;
    std::string nonce; // empty: not kept (it was another command's already)
    Digest digest{};
    std::string key_id;
    std::string operation;
    int64_t received_ms = 0; // the gateway's clock, Unix milliseconds
    int64_t expires_at = 0;  // Unix seconds
    bool counted = false;    // accepted: counts toward the rate limit
    Outcome outcome = Outcome::kAccepted;
    std::string result;
};

class CommandStore {
  public:
    // Opens DIR/commands.db, making the database when missing (DIR must
    // exist). now_s is the horizon of a new database. A database SQLite
    // finds corrupt is renamed to commands.db.corrupt-SECONDS and a new one
    // made (set_aside() names it). Throws StoreError when no database can
    // be used.
    CommandStore(const std::string &dir, int64_t now_s);
    ~CommandStore();
    CommandStore(const CommandStore &) = delete;
    CommandStore &operator=(const CommandStore &) = delete;

    const std::string &path() const { return path_; }
    // Where a corrupt database went at open, or "".
    const std::string &set_aside() const { return set_aside_; }
    // Unix seconds: commands issued before this cannot be told from replays.
    int64_t horizon() const { return horizon_; }

    // Each of these throws StoreError when SQLite fails.
    std::optional<StoredCommand> find(std::string_view id);
    bool nonce_seen(std::string_view nonce);
    // Accepted commands received at or after since_ms.
    int64_t counted_since(int64_t since_ms);
    // Records a command; on the disk when it returns.
    void insert(const NewCommand &c);
    // Its new state and the result message sent for it; on the disk when
    // it returns.
    void update(std::string_view id, Outcome outcome, const std::string &result);
    // Commands still accepted or running: at open, those a stopped run left.
    std::vector<StoredCommand> unfinished();
    // Removes commands that expired keep_ms before now_ms and were received
    // before the rate window; returns how many.
    int64_t prune(int64_t now_ms, int64_t window_ms, int64_t keep_ms);
    // Rows in the record.
    int64_t size();

  private:
    void open(int64_t now_s);
    bool try_open(std::string &why);
    void close();
    void exec(const char *sql);

    std::string path_;
    std::string set_aside_;
    sqlite3 *db_ = nullptr;
    int64_t horizon_ = 0;
};

} // namespace vehcan::commands

#endif
