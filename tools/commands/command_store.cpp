// SPDX-License-Identifier: MIT
// The record of commands in SQLite.
#include "command_store.h"

#include <cstdio>
#include <sqlite3.h>
#include <string>

namespace vehcan::commands {

namespace {

// One prepared statement, finalised when it goes out of scope.
class Statement {
  public:
    Statement(sqlite3 *db, const char *sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) {
            throw StoreError(std::string("commands.db: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int i, std::string_view text) {
        check(
            sqlite3_bind_text(s_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement &bind(int i, int64_t v) {
        check(sqlite3_bind_int64(s_, i, v));
        return *this;
    }
    Statement &bind_blob(int i, const uint8_t *data, size_t size) {
        check(sqlite3_bind_blob(s_, i, data, static_cast<int>(size), SQLITE_TRANSIENT));
        return *this;
    }
    Statement &bind_null(int i) {
        check(sqlite3_bind_null(s_, i));
        return *this;
    }
    // True for a row, false when done.
    bool step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            throw StoreError(std::string("commands.db: ") + sqlite3_errmsg(db_));
        }
        return false;
    }
    int64_t integer(int col) const { return sqlite3_column_int64(s_, col); }
    std::string text(int col) const {
        const auto *p = sqlite3_column_text(s_, col);
        return p == nullptr ? std::string()
                            : std::string(reinterpret_cast<const char *>(p),
                                          static_cast<size_t>(sqlite3_column_bytes(s_, col)));
    }
    Digest digest(int col) const {
        Digest d{};
        const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(s_, col));
        if (p != nullptr && sqlite3_column_bytes(s_, col) == static_cast<int>(d.size())) {
            std::copy(p, p + d.size(), d.begin());
        }
        return d;
    }

  private:
    void check(int rc) const {
        if (rc != SQLITE_OK) {
            throw StoreError(std::string("commands.db: ") + sqlite3_errmsg(db_));
        }
    }
    sqlite3 *db_;
    sqlite3_stmt *s_ = nullptr;
};

constexpr const char *kSchema = R"(
CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS commands(
  id TEXT PRIMARY KEY,
  nonce TEXT UNIQUE,
  digest BLOB NOT NULL,
  key_id TEXT NOT NULL,
  operation TEXT NOT NULL,
  received_ms INTEGER NOT NULL,
  expires_at INTEGER NOT NULL,
  counted INTEGER NOT NULL,
  outcome TEXT NOT NULL,
  result TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS commands_counted ON commands(received_ms) WHERE counted = 1;
)";

StoredCommand stored_from(const Statement &s) {
    StoredCommand c;
    c.id = s.text(0);
    c.digest = s.digest(1);
    c.key_id = s.text(2);
    c.operation = s.text(3);
    // A row this version did not write reads as failed: never run again.
    c.outcome = outcome_from_name(s.text(4)).value_or(Outcome::kFailed);
    c.result = s.text(5);
    return c;
}

} // namespace

CommandStore::CommandStore(const std::string &dir, int64_t now_s) : path_(dir + "/commands.db") {
    open(now_s);
}

CommandStore::~CommandStore() {
    close();
}

void CommandStore::close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

void CommandStore::exec(const char *sql) {
    char *message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string why = message != nullptr ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw StoreError("commands.db: " + why);
    }
}

// Opens and checks the database; false with the reason when SQLite finds
// it corrupt (or no database at all).
bool CommandStore::try_open(std::string &why) {
    const int rc =
        sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        const std::string text = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        close();
        throw StoreError(path_ + ": " + text);
    }
    sqlite3_busy_timeout(db_, 2000);
    sqlite3_stmt *check = nullptr;
    int step = SQLITE_ERROR;
    if (sqlite3_prepare_v2(db_, "PRAGMA quick_check", -1, &check, nullptr) == SQLITE_OK) {
        step = sqlite3_step(check);
        if (step == SQLITE_ROW) {
            const auto *text = sqlite3_column_text(check, 0);
            why = text != nullptr ? reinterpret_cast<const char *>(text) : "";
        }
    } else {
        why = sqlite3_errmsg(db_);
    }
    const int code = sqlite3_errcode(db_);
    sqlite3_finalize(check);
    if (step == SQLITE_ROW && why == "ok") {
        return true;
    }
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB || step == SQLITE_ROW) {
        return false;
    }
    const std::string text = sqlite3_errmsg(db_);
    close();
    throw StoreError(path_ + ": " + text);
}

void CommandStore::open(int64_t now_s) {
    std::string why;
    if (!try_open(why)) {
        close();
        // A corrupt record is kept for a person to look at; a new one starts
        // with its horizon at now, so nothing it forgot can run again.
        set_aside_ = path_ + ".corrupt-" + std::to_string(now_s);
        if (std::rename(path_.c_str(), set_aside_.c_str()) != 0) {
            throw StoreError(path_ + " is corrupt (" + why + ") and cannot be moved aside");
        }
        for (const char *suffix : {"-wal", "-shm"}) {
            (void)std::remove((path_ + suffix).c_str());
        }
        if (!try_open(why)) {
            close();
            throw StoreError(path_ + ": a new database is corrupt too: " + why);
        }
    }
    try {
        exec("PRAGMA journal_mode=WAL");
        // Every commit reaches the disk before insert() returns.
        exec("PRAGMA synchronous=FULL");
        exec(kSchema);
        Statement set(db_, "INSERT OR IGNORE INTO meta(name, value) VALUES('horizon', ?)");
        set.bind(1, now_s).step();
        Statement get(db_, "SELECT value FROM meta WHERE name = 'horizon'");
        horizon_ = get.step() ? get.integer(0) : now_s;
    } catch (...) {
        close();
        throw;
    }
}

std::optional<StoredCommand> CommandStore::find(std::string_view id) {
    Statement s(db_,
                "SELECT id, digest, key_id, operation, outcome, result FROM commands WHERE id = ?");
    s.bind(1, id);
    if (!s.step()) {
        return std::nullopt;
    }
    return stored_from(s);
}

bool CommandStore::nonce_seen(std::string_view nonce) {
    Statement s(db_, "SELECT 1 FROM commands WHERE nonce = ?");
    s.bind(1, nonce);
    return s.step();
}

int64_t CommandStore::counted_since(int64_t since_ms) {
    Statement s(db_, "SELECT count(*) FROM commands WHERE counted = 1 AND received_ms >= ?");
    s.bind(1, since_ms);
    return s.step() ? s.integer(0) : 0;
}

void CommandStore::insert(const NewCommand &c) {
    Statement s(db_, "INSERT INTO commands(id, nonce, digest, key_id, operation, received_ms, "
                     "expires_at, counted, outcome, result) VALUES(?,?,?,?,?,?,?,?,?,?)");
    s.bind(1, c.id);
    if (c.nonce.empty()) {
        s.bind_null(2);
    } else {
        s.bind(2, c.nonce);
    }
    s.bind_blob(3, c.digest.data(), c.digest.size())
        .bind(4, c.key_id)
        .bind(5, c.operation)
        .bind(6, c.received_ms)
        .bind(7, c.expires_at)
        .bind(8, int64_t{c.counted ? 1 : 0})
        .bind(9, outcome_name(c.outcome))
        .bind(10, c.result);
    s.step();
}

void CommandStore::update(std::string_view id, Outcome outcome, const std::string &result) {
    Statement s(db_, "UPDATE commands SET outcome = ?, result = ? WHERE id = ?");
    s.bind(1, outcome_name(outcome)).bind(2, result).bind(3, id);
    s.step();
}

std::vector<StoredCommand> CommandStore::unfinished() {
    Statement s(db_, "SELECT id, digest, key_id, operation, outcome, result FROM commands "
                     "WHERE outcome IN ('accepted', 'running') ORDER BY received_ms");
    std::vector<StoredCommand> out;
    while (s.step()) {
        out.push_back(stored_from(s));
    }
    return out;
}

int64_t CommandStore::prune(int64_t now_ms, int64_t window_ms, int64_t keep_ms) {
    Statement s(db_, "DELETE FROM commands WHERE expires_at * 1000 + ? < ? AND received_ms < ? "
                     "AND outcome NOT IN ('accepted', 'running')");
    s.bind(1, keep_ms).bind(2, now_ms).bind(3, now_ms - window_ms);
    s.step();
    return sqlite3_changes(db_);
}

int64_t CommandStore::size() {
    Statement s(db_, "SELECT count(*) FROM commands");
    return s.step() ? s.integer(0) : 0;
}

} // namespace vehcan::commands
