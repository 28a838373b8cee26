// SPDX-License-Identifier: MIT
// The fleet link's disk spool over SQLite: see spool.h.
#include "spool.h"
#include "timestamp.h"
#include <failure.h>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fmt/format.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vehcan::cli {

namespace {

// The bound is enforced down to this share of max_bytes, so that a full
// spool drops a batch now and then rather than a few rows at every commit.
constexpr double kDropTo = 0.95;

// "20261210T001500Z" for the name of a database set aside.
std::string compact_utc_now() {
    const std::string t = rfc3339_utc(unix_now_us());
    std::string s;
    for (char c : t.substr(0, 19)) {
        if (c != '-' && c != ':') {
            s += c;
        }
    }
    return s + "Z";
}

} // namespace

// ---- open and close ----

Spool::Spool(std::string dir, uint64_t max_bytes, size_t memory_capacity)
    : dir_(std::move(dir)), path_(dir_ + "/spool.db"), max_bytes_(max_bytes),
      memory_capacity_(memory_capacity == 0 ? 1 : memory_capacity) {
    struct stat st {};
    if (stat(dir_.c_str(), &st) != 0) {
        if (mkdir(dir_.c_str(), 0750) != 0 && errno != EEXIST) {
            throw Failure(kExitUsage, fmt::format("--spool {}: {}", dir_,
                                                  std::generic_category().message(errno)));
        }
    } else if (!S_ISDIR(st.st_mode)) {
        throw Failure(kExitUsage, fmt::format("--spool {}: not a directory", dir_));
    }
    open_database();
}

Spool::~Spool() {
    close();
}

void Spool::open_database() {
    std::string why;
    if (try_open(why)) {
        return;
    }
    if (db_ != nullptr) {
        // Opened, but SQLite found it corrupt (or no database at all).
        set_aside(why);
        if (try_open(why)) {
            return;
        }
    }
    close_database();
    fmt::print(stderr, "spool: cannot use {} ({}): messages are kept in memory only\n", path_, why);
}

// Opens path_ and reads its state. False with the reason when that failed;
// db_ is left open when SQLite reported the file corrupt, closed otherwise.
bool Spool::try_open(std::string &why) {
    const int rc =
        sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        why = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        close_database();
        return false;
    }
    try {
        configure();
        return true;
    } catch (const SqlError &e) {
        why = e.text;
        if (!corrupt(e.rc)) {
            close_database();
        }
        return false;
    }
}

void Spool::configure() {
    sqlite3_busy_timeout(db_, 1000);
    sqlite3_stmt *check_stmt = prepare("PRAGMA quick_check");
    std::string verdict;
    int rc = sqlite3_step(check_stmt);
    if (rc == SQLITE_ROW) {
        const unsigned char *text = sqlite3_column_text(check_stmt, 0);
        verdict = text != nullptr ? reinterpret_cast<const char *>(text) : "";
    }
    sqlite3_finalize(check_stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        check(rc, "checking the database");
    }
    if (verdict != "ok") {
        throw SqlError{SQLITE_CORRUPT, "quick_check: " + verdict};
    }
    // WAL: a commit appends to the log instead of rewriting the database,
    // and a cut during it never spoils what was committed before.
    // synchronous=FULL: the log is synced at each commit (one fsync a
    // flush), so a power cut loses no committed transaction; NORMAL would
    // leave the last ones to the kernel's write-back, half a minute on a
    // default kernel.
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    // Checkpoints (two more fsyncs each) once the log holds about 16 MB;
    // after one the log file is cut back to 4 MB.
    exec("PRAGMA wal_autocheckpoint=4000");
    exec("PRAGMA journal_size_limit=4194304");
    exec("CREATE TABLE IF NOT EXISTS messages (id INTEGER PRIMARY KEY, topic TEXT NOT NULL, "
         "payload BLOB NOT NULL, retain INTEGER NOT NULL)");
    exec("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL)");
    exec("CREATE TABLE IF NOT EXISTS open_batch (id INTEGER PRIMARY KEY CHECK (id = 1), "
         "topic TEXT NOT NULL, payload BLOB NOT NULL, retain INTEGER NOT NULL)");
    exec("CREATE TABLE IF NOT EXISTS open_birth (id INTEGER PRIMARY KEY CHECK (id = 1), "
         "topic TEXT NOT NULL, payload BLOB NOT NULL, retain INTEGER NOT NULL)");
    // A batch an earlier run left open waits behind everything else, after
    // the birth it refers to when that had not gone out.
    exec("BEGIN IMMEDIATE; INSERT INTO messages (id, topic, payload, retain) SELECT "
         "(SELECT coalesce(max(id), 0) + 1 FROM messages), topic, payload, retain FROM "
         "open_birth; INSERT INTO messages (id, topic, payload, retain) SELECT "
         "(SELECT coalesce(max(id), 0) + 1 FROM messages), topic, payload, retain FROM "
         "open_batch; DELETE FROM open_birth; DELETE FROM open_batch; COMMIT");
    const auto last_id = query_int("SELECT coalesce(max(id), 0) FROM messages");
    next_id_ = std::max(next_id_, last_id + 1);
    const auto seq = static_cast<uint64_t>(
        query_int("SELECT coalesce((SELECT value FROM meta WHERE key = 'next_seq'), 1)"));
    next_seq_ = std::max(next_seq_, seq);
    committed_seq_ = seq;
    stored_ = static_cast<uint64_t>(query_int("SELECT count(*) FROM messages"));
    insert_ = prepare("INSERT INTO messages (id, topic, payload, retain) VALUES (?, ?, ?, ?)");
    delete_ = prepare("DELETE FROM messages WHERE id = ?");
    select_ = prepare("SELECT id, topic, payload, retain FROM messages WHERE id > ? ORDER BY id "
                      "LIMIT ?");
    set_seq_ = prepare("INSERT OR REPLACE INTO meta (key, value) VALUES ('next_seq', ?)");
    set_open_ = prepare("INSERT OR REPLACE INTO open_batch (id, topic, payload, retain) VALUES "
                        "(1, ?, ?, ?)");
    clear_open_ = prepare("DELETE FROM open_batch");
    set_open_birth_ = prepare("INSERT OR REPLACE INTO open_birth (id, topic, payload, retain) "
                              "VALUES (1, ?, ?, ?)");
    clear_open_birth_ = prepare("DELETE FROM open_birth");
    recount_untaken();
}

// Moves the corrupt database (and its log) aside under a dated name. The
// sequence numbers go on where the old file says they were, when it still
// says so.
void Spool::set_aside(const std::string &why) {
    try {
        const auto seq = static_cast<uint64_t>(
            query_int("SELECT coalesce((SELECT value FROM meta WHERE key = 'next_seq'), 1)"));
        next_seq_ = std::max(next_seq_, seq);
    } catch (const SqlError &) {
        // (nothing to save)
    }
    close_database();
    const std::string aside = fmt::format("{}.corrupt-{}", path_, compact_utc_now());
    const bool moved = std::rename(path_.c_str(), aside.c_str()) == 0;
    (void)std::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
    (void)unlink((path_ + "-shm").c_str());
    fmt::print(stderr, "spool: {} is corrupt ({}): {}, a new spool started\n", path_, why,
               moved ? "moved aside to " + aside : "could not move it aside, deleted");
    if (!moved) {
        (void)unlink(path_.c_str());
    }
    stored_ = 0;
    untaken_ = 0;
}

void Spool::close_database() {
    for (sqlite3_stmt **s : {&insert_, &delete_, &select_, &set_seq_, &set_open_, &clear_open_,
                             &set_open_birth_, &clear_open_birth_}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
    if (db_ != nullptr) {
        sqlite3_close(db_);
        db_ = nullptr;
    }
}

void Spool::close() {
    if (closed_) {
        return;
    }
    commit(next_seq_);
    close_database();
    closed_ = true;
}

// ---- SQLite's calls ----

bool Spool::corrupt(int rc) const {
    return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB;
}

void Spool::check(int rc, const char *what) const {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        throw SqlError{rc, fmt::format("{}: {}", what, sqlite3_errstr(rc))};
    }
}

sqlite3_stmt *Spool::prepare(const char *sql) const {
    sqlite3_stmt *s = nullptr;
    check(sqlite3_prepare_v2(db_, sql, -1, &s, nullptr), sql);
    return s;
}

void Spool::exec(const char *sql) const {
    check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), sql);
}

int64_t Spool::query_int(const char *sql) const {
    sqlite3_stmt *s = prepare(sql);
    const int rc = sqlite3_step(s);
    const int64_t v = rc == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_finalize(s);
    check(rc, sql);
    return v;
}

void Spool::recount_untaken() {
    sqlite3_stmt *s = prepare("SELECT count(*) FROM messages WHERE id > ?");
    sqlite3_bind_int64(s, 1, cursor_);
    const int rc = sqlite3_step(s);
    untaken_ = rc == SQLITE_ROW ? static_cast<uint64_t>(sqlite3_column_int64(s, 0)) : 0;
    sqlite3_finalize(s);
    check(rc, "counting the messages");
}

uint64_t Spool::bytes_used() {
    if (db_ == nullptr) {
        return 0;
    }
    try {
        const int64_t pages = query_int("PRAGMA page_count") - query_int("PRAGMA freelist_count");
        return static_cast<uint64_t>(pages * query_int("PRAGMA page_size"));
    } catch (const SqlError &) {
        return 0;
    }
}

// ---- in and out ----

int64_t Spool::add(Outgoing message) {
    pending_.push_back({next_id_++, std::move(message)});
    return pending_.back().id;
}

void Spool::set_open(std::optional<Outgoing> batch, std::optional<Outgoing> birth) {
    if (!batch && !open_ && !birth && !open_birth_) {
        return;
    }
    open_ = std::move(batch);
    open_birth_ = std::move(birth);
    open_changed_ = true;
}

void Spool::acknowledge(int64_t id) {
    acked_.push_back(id);
}

void Spool::to_memory(std::vector<SpooledMessage> rows) {
    for (SpooledMessage &m : rows) {
        if (memory_.size() == memory_capacity_) {
            memory_.pop_front();
            ++dropped_;
        }
        memory_.push_back(std::move(m));
    }
}

// One transaction: the deletes of delivered messages, the new messages
// (with_inserts) and the next sequence number. Throws SqlError after a
// rollback.
void Spool::write_transaction(bool with_inserts, uint64_t next_seq) {
    exec("BEGIN IMMEDIATE");
    try {
        uint64_t deleted = 0;
        for (int64_t id : acked_) {
            sqlite3_reset(delete_);
            sqlite3_bind_int64(delete_, 1, id);
            check(sqlite3_step(delete_), "deleting a delivered message");
            deleted += static_cast<uint64_t>(sqlite3_changes(db_));
        }
        if (with_inserts) {
            for (const SpooledMessage &m : pending_) {
                sqlite3_reset(insert_);
                sqlite3_bind_int64(insert_, 1, m.id);
                sqlite3_bind_text(insert_, 2, m.message.topic.data(),
                                  static_cast<int>(m.message.topic.size()), SQLITE_STATIC);
                sqlite3_bind_blob(insert_, 3, m.message.payload.data(),
                                  static_cast<int>(m.message.payload.size()), SQLITE_STATIC);
                sqlite3_bind_int(insert_, 4, m.message.retain ? 1 : 0);
                check(sqlite3_step(insert_), "writing a message");
            }
        }
        sqlite3_reset(set_seq_);
        sqlite3_bind_int64(set_seq_, 1, static_cast<int64_t>(next_seq));
        check(sqlite3_step(set_seq_), "writing the sequence number");
        if (open_changed_) {
            write_open(set_open_, clear_open_, open_, "the open batch");
            write_open(set_open_birth_, clear_open_birth_, open_birth_, "the open batch's birth");
        }
        exec("COMMIT");
        committed_seq_ = next_seq;
        open_changed_ = false;
        stored_ = stored_ - std::min(stored_, deleted) + (with_inserts ? pending_.size() : 0);
    } catch (const SqlError &) {
        (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    for (sqlite3_stmt *s :
         {insert_, delete_, set_seq_, set_open_, clear_open_, set_open_birth_, clear_open_birth_}) {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
}

// One row of the open batch's tables: written, or cleared when there is none.
void Spool::write_open(sqlite3_stmt *set, sqlite3_stmt *clear, const std::optional<Outgoing> &m,
                       const char *what) const {
    if (!m) {
        check(sqlite3_step(clear), fmt::format("clearing {}", what).c_str());
        return;
    }
    sqlite3_bind_text(set, 1, m->topic.data(), static_cast<int>(m->topic.size()), SQLITE_STATIC);
    sqlite3_bind_blob(set, 2, m->payload.data(), static_cast<int>(m->payload.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int(set, 3, m->retain ? 1 : 0);
    check(sqlite3_step(set), fmt::format("writing {}", what).c_str());
}

void Spool::commit(uint64_t next_seq) {
    if (closed_) {
        return;
    }
    next_seq_ = std::max(next_seq_, next_seq);
    // Nothing new: no transaction, no write to the flash.
    if (pending_.empty() && acked_.empty() && next_seq_ == committed_seq_ && !open_changed_) {
        return;
    }
    if (db_ == nullptr) {
        to_memory(std::move(pending_));
        pending_.clear();
        acked_.clear();
        return;
    }
    // While messages wait in memory, new ones queue behind them there, so
    // that they go out in order; once memory is empty the disk is tried again.
    const bool inserts = !full_ || memory_.empty();
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            write_transaction(inserts, next_seq_);
            if (inserts) {
                untaken_ += pending_.size();
                pending_.clear();
                if (full_) {
                    full_ = false;
                    fmt::print(stderr, "spool: {} has room again: messages go to the disk\n",
                               path_);
                }
            } else {
                to_memory(std::move(pending_)); // behind those already there
                pending_.clear();
            }
            acked_.clear();
            break;
        } catch (const SqlError &e) {
            if (corrupt(e.rc) && attempt == 0) {
                set_aside(e.text);
                std::string why;
                if (try_open(why)) {
                    continue; // the same transaction into the new database
                }
                close_database();
                fmt::print(stderr, "spool: cannot use {} ({}): messages are kept in memory only\n",
                           path_, why);
                commit(next_seq_);
                return;
            }
            // A full disk, or one that fails to write: go on from memory.
            if (!full_) {
                fmt::print(stderr,
                           "spool: cannot write {} ({}): new messages are kept in memory, at "
                           "most {}, until they are out\n",
                           path_, e.text, memory_capacity_);
            }
            full_ = true;
            to_memory(std::move(pending_));
            pending_.clear();
            // Deleting what was delivered may be what frees the room. The
            // deletes need room in the log themselves: copied into the
            // database and cut to nothing, it may find some.
            (void)sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
            try {
                write_transaction(false, next_seq_);
                acked_.clear();
            } catch (const SqlError &) {
                // (kept for the next commit)
            }
            break;
        }
    }
    enforce_bound();
}

// Drops the oldest messages while the database holds more than max_bytes.
void Spool::enforce_bound() {
    if (db_ == nullptr || max_bytes_ == 0) {
        return;
    }
    for (int round = 0; round < 4; ++round) {
        const uint64_t used = bytes_used();
        if (used <= max_bytes_ || stored_ == 0) {
            return;
        }
        const auto target = static_cast<double>(max_bytes_) * kDropTo;
        const double share = (static_cast<double>(used) - target) / static_cast<double>(used);
        const auto rows = std::max<int64_t>(1, std::llround(share * static_cast<double>(stored_)));
        try {
            sqlite3_stmt *s = prepare(
                "DELETE FROM messages WHERE id IN (SELECT id FROM messages ORDER BY id LIMIT ?)");
            sqlite3_bind_int64(s, 1, rows);
            const int rc = sqlite3_step(s);
            sqlite3_finalize(s);
            check(rc, "dropping the oldest messages");
            const auto gone = static_cast<uint64_t>(sqlite3_changes(db_));
            dropped_ += gone;
            stored_ -= std::min(stored_, gone);
            recount_untaken();
        } catch (const SqlError &e) {
            fmt::print(stderr, "spool: cannot drop the oldest messages of {}: {}\n", path_, e.text);
            return;
        }
    }
}

std::vector<SpooledMessage> Spool::take(size_t n) {
    std::vector<SpooledMessage> out;
    if (db_ != nullptr && untaken_ > 0) {
        try {
            sqlite3_reset(select_);
            sqlite3_bind_int64(select_, 1, cursor_);
            sqlite3_bind_int64(select_, 2, static_cast<int64_t>(n));
            int rc = 0;
            while ((rc = sqlite3_step(select_)) == SQLITE_ROW) {
                SpooledMessage m;
                m.id = sqlite3_column_int64(select_, 0);
                const auto *topic = sqlite3_column_text(select_, 1);
                m.message.topic.assign(reinterpret_cast<const char *>(topic),
                                       static_cast<size_t>(sqlite3_column_bytes(select_, 1)));
                const auto *payload = static_cast<const char *>(sqlite3_column_blob(select_, 2));
                m.message.payload.assign(payload == nullptr ? "" : payload,
                                         static_cast<size_t>(sqlite3_column_bytes(select_, 2)));
                m.message.retain = sqlite3_column_int(select_, 3) != 0;
                cursor_ = m.id;
                out.push_back(std::move(m));
            }
            sqlite3_reset(select_);
            check(rc, "reading the messages");
            untaken_ -= std::min<uint64_t>(untaken_, out.size());
            if (out.size() < n) {
                untaken_ = 0;
            }
        } catch (const SqlError &e) {
            if (corrupt(e.rc)) {
                set_aside(e.text);
                std::string why;
                if (!try_open(why)) {
                    close_database();
                    fmt::print(stderr,
                               "spool: cannot use {} ({}): messages are kept in memory only\n",
                               path_, why);
                }
            } else {
                fmt::print(stderr, "spool: cannot read {}: {}\n", path_, e.text);
            }
        }
    }
    while (out.size() < n && !memory_.empty()) {
        cursor_ = std::max(cursor_, memory_.front().id);
        out.push_back(std::move(memory_.front()));
        memory_.pop_front();
    }
    return out;
}

} // namespace vehcan::cli
