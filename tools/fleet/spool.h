// SPDX-License-Identifier: MIT
// The fleet link's disk spool: every message the uplink publishes is first
// written to a SQLite database in DIR, so that neither a dead zone nor a
// power cut loses it.
//
// Messages are added in memory and written together by commit(), one
// transaction (and one fsync) per call; the uplink commits at most every
// --spool-flush-ms. Only committed messages are handed out to be published,
// so that a number a backend saw is never reused after a crash. A message
// leaves the database when acknowledge() was called for it and the next
// commit() ran. The oldest go first when the database holds more than
// max_bytes; a database SQLite finds corrupt (at open or later) is moved
// aside under a dated name and a new one started; when the disk is full the
// spool keeps new messages in memory (at most memory_capacity, the oldest
// dropped) until they are out, then tries the disk again. (Deleting
// delivered messages takes room in SQLite's log too: on a disk that stays
// full they stay in the database and go out again at the next run, where
// the backend sees them as duplicates by their "seq".) Each of these is
// said on stderr in one line. The spool never throws once constructed.
//
// Not thread-safe: the uplink's connection thread owns it.
#ifndef VEHCAN_FLEET_SPOOL_H
#define VEHCAN_FLEET_SPOOL_H

#include "uplink_parts.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vehcan::cli {

// A message with its place in the spool: ids grow with every add(), across
// runs too.
struct SpooledMessage {
    int64_t id = 0;
    Outgoing message;
};

class Spool {
  public:
    // Opens DIR/spool.db, making DIR (one level) and the database when
    // missing. Throws Failure(kExitUsage) only when DIR is no directory and
    // cannot be made; a database that cannot be opened or created leaves
    // the spool in memory, said on stderr.
    Spool(std::string dir, uint64_t max_bytes, size_t memory_capacity);
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // The first sequence number this run may give out: one past the last
    // one the spool committed in an earlier run, 1 for a new spool.
    uint64_t next_seq() const { return next_seq_; }

    // A message to keep: written at the next commit(). Returns its id.
    int64_t add(Outgoing message);
    // The batch still being filled (the compact uplink's), as it stands,
    // with the birth it refers to when that birth has not gone out yet:
    // written with the next commit() in place of the ones before, nothing
    // clears them. At the next open, a batch left there (the run ended
    // without closing it: a power cut, a kill) becomes the last message
    // waiting, behind its birth, so that a power cut loses no more of it
    // than a commit period.
    void set_open(std::optional<Outgoing> batch, std::optional<Outgoing> birth = std::nullopt);
    // The message with this id was delivered: removed at the next commit().
    void acknowledge(int64_t id);
    // Writes what was added and acknowledged since the last commit, and
    // next_seq (the first number not yet given out), in one transaction;
    // then drops the oldest messages beyond max_bytes.
    void commit(uint64_t next_seq);
    // Up to n messages, oldest first, that were committed (or kept in
    // memory) and not handed out by an earlier take().
    std::vector<SpooledMessage> take(size_t n);
    // Messages not handed out yet, those waiting for commit() included.
    uint64_t waiting() const { return untaken_ + memory_.size() + pending_.size(); }

    // Messages take() would hand out now.
    uint64_t takeable() const { return untaken_ + memory_.size(); }

    // Messages dropped for the bound (or the memory's) since the start.
    uint64_t dropped() const { return dropped_; }
    // Messages in the database now, delivered or not.
    uint64_t stored() const { return stored_; }
    // The bytes of the database's pages in use.
    uint64_t bytes_used();
    // True while new messages are kept in memory (full disk, no database).
    bool in_memory() const { return db_ == nullptr || full_; }
    const std::string &path() const { return path_; }

    // Commits what is left (with the next_seq of the last commit) and closes
    // the database. Called by the destructor too; later calls do nothing.
    void close();

  private:
    struct SqlError {
        int rc;
        std::string text;
    };

    void open_database();
    bool try_open(std::string &why);
    void configure();
    void set_aside(const std::string &why);
    void close_database();
    void check(int rc, const char *what) const;
    sqlite3_stmt *prepare(const char *sql) const;
    void exec(const char *sql) const;
    int64_t query_int(const char *sql) const;
    void write_transaction(bool with_inserts, uint64_t next_seq);
    void write_open(sqlite3_stmt *set, sqlite3_stmt *clear, const std::optional<Outgoing> &m,
                    const char *what) const;
    void enforce_bound();
    void to_memory(std::vector<SpooledMessage> rows);
    bool corrupt(int rc) const;
    void recount_untaken();

    std::string dir_;
    std::string path_;
    uint64_t max_bytes_;
    size_t memory_capacity_;

    sqlite3 *db_ = nullptr;
    sqlite3_stmt *insert_ = nullptr;
    sqlite3_stmt *delete_ = nullptr;
    sqlite3_stmt *select_ = nullptr;
    sqlite3_stmt *set_seq_ = nullptr;
    sqlite3_stmt *set_open_ = nullptr;
    sqlite3_stmt *clear_open_ = nullptr;
    sqlite3_stmt *set_open_birth_ = nullptr;
    sqlite3_stmt *clear_open_birth_ = nullptr;

    std::vector<SpooledMessage> pending_; // added, not yet committed
    std::vector<int64_t> acked_;          // delivered, not yet deleted
    std::optional<Outgoing> open_;        // the open batch, for the next commit
    std::optional<Outgoing> open_birth_;  // and its birth, not sent yet
    bool open_changed_ = false;
    std::deque<SpooledMessage> memory_; // committed to memory (disk full)
    int64_t next_id_ = 1;
    int64_t cursor_ = 0; // the highest id take() handed out
    uint64_t next_seq_ = 1;
    uint64_t committed_seq_ = 0; // the next_seq in the database
    uint64_t untaken_ = 0;       // rows in the database beyond cursor_
    uint64_t stored_ = 0;
    uint64_t dropped_ = 0;
    bool full_ = false;
    bool closed_ = false;
};

} // namespace vehcan::cli

#endif
