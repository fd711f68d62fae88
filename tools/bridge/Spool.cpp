// SPDX-License-Identifier: Apache-2.0
#include "Spool.hpp"

#include <sqlite3.h>

#include <fmt/format.h>

namespace orvex::bridge {

namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS messages (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  topic TEXT NOT NULL,
  payload BLOB NOT NULL,
  retain INTEGER NOT NULL,
  correlation BLOB
);
CREATE TABLE IF NOT EXISTS sequences (
  reader TEXT PRIMARY KEY,
  last INTEGER NOT NULL
);
)";

// A statement that resets itself when it goes out of use.
struct Reset {
    sqlite3_stmt* statement;
    ~Reset() {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
};

}  // namespace

std::unique_ptr<Spool> Spool::open(const std::string& path, std::size_t limit, bool syncFull,
                                   std::string& error) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        error = fmt::format("cannot open spool {}: {}", path,
                            db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<Spool> spool(new Spool(db, limit, syncFull));
    // Another bridge on the same spool would publish the same messages twice and hand out
    // the same sequence numbers: a lock held for the life of the process keeps it out.
    sqlite3_busy_timeout(db, 0);
    const std::string sync = syncFull ? "PRAGMA synchronous=FULL;" : "PRAGMA synchronous=NORMAL;";
    if (!spool->exec("PRAGMA journal_mode=WAL;") || !spool->exec(sync.c_str()) ||
        !spool->exec(kSchema) || !spool->exec("PRAGMA locking_mode=EXCLUSIVE;") ||
        !spool->exec("BEGIN EXCLUSIVE; COMMIT;")) {
        error = fmt::format("cannot use spool {}: {}", path, spool->lastError_);
        return nullptr;
    }
    spool->insert_ = spool->prepare(
        "INSERT INTO messages (topic, payload, retain, correlation) VALUES (?, ?, ?, ?)");
    spool->select_ = spool->prepare(
        "SELECT id, topic, payload, retain, correlation FROM messages WHERE id > ? ORDER BY id "
        "LIMIT ?");
    spool->delete_ = spool->prepare("DELETE FROM messages WHERE id = ?");
    spool->sequence_ = spool->prepare(
        "INSERT INTO sequences (reader, last) VALUES (?, ?) "
        "ON CONFLICT (reader) DO UPDATE SET last = excluded.last");
    if (!spool->insert_ || !spool->select_ || !spool->delete_ || !spool->sequence_ ||
        !spool->loadState()) {
        error = fmt::format("cannot use spool {}: {}", path, spool->lastError_);
        return nullptr;
    }
    return spool;
}

Spool::Spool(sqlite3* db, std::size_t limit, bool syncFull)
    : db_(db), limit_(limit), reserve_(limit / 100 + 16), syncFull_(syncFull) {}

Spool::~Spool() {
    if (inTransaction_) commit();
    for (auto* s : {insert_, select_, delete_, sequence_}) sqlite3_finalize(s);
    sqlite3_close(db_);
}

bool Spool::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    lastError_ = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

sqlite3_stmt* Spool::prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
        lastError_ = sqlite3_errmsg(db_);
        return nullptr;
    }
    return statement;
}

bool Spool::loadState() {
    sequences_.clear();
    sqlite3_stmt* count = prepare("SELECT COUNT(*) FROM messages");
    sqlite3_stmt* readers = prepare("SELECT reader, last FROM sequences");
    bool ok = count && readers;
    if (ok && sqlite3_step(count) == SQLITE_ROW) {
        size_ = static_cast<std::size_t>(sqlite3_column_int64(count, 0));
    } else {
        ok = false;
    }
    while (ok && sqlite3_step(readers) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(readers, 0));
        sequences_[name ? name : ""] = sqlite3_column_int64(readers, 1);
    }
    sqlite3_finalize(count);
    sqlite3_finalize(readers);
    return ok;
}

std::optional<std::int64_t> Spool::append(const std::string& reader, const std::string& topic,
                                          bool retain, SpoolKind kind,
                                          const std::function<std::string(std::int64_t)>& payload,
                                          const std::string& correlation) {
    const std::size_t room = kind == SpoolKind::record ? limit_ : limit_ + reserve_;
    if (size_ >= room) return std::nullopt;
    const bool own = !inTransaction_;
    if (own) begin();
    const std::int64_t sequence = lastSequence(reader) + 1;
    const std::string body = payload(sequence);
    bool ok = false;
    {
        Reset r{insert_};
        sqlite3_bind_text(insert_, 1, topic.data(), static_cast<int>(topic.size()), SQLITE_STATIC);
        sqlite3_bind_blob(insert_, 2, body.data(), static_cast<int>(body.size()), SQLITE_STATIC);
        sqlite3_bind_int(insert_, 3, retain ? 1 : 0);
        if (correlation.empty()) {
            sqlite3_bind_null(insert_, 4);
        } else {
            sqlite3_bind_blob(insert_, 4, correlation.data(), static_cast<int>(correlation.size()),
                              SQLITE_STATIC);
        }
        ok = sqlite3_step(insert_) == SQLITE_DONE;
    }
    if (ok) {
        Reset r{sequence_};
        sqlite3_bind_text(sequence_, 1, reader.data(), static_cast<int>(reader.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(sequence_, 2, sequence);
        ok = sqlite3_step(sequence_) == SQLITE_DONE;
    }
    if (!ok) {
        lastError_ = sqlite3_errmsg(db_);
        // Nothing half-done stays: the whole transaction goes and the counts are read again.
        exec("ROLLBACK");
        inTransaction_ = false;
        appended_ = false;
        loadState();
        return std::nullopt;
    }
    sequences_[reader] = sequence;
    ++size_;
    appended_ = true;
    if (own && !commit()) return std::nullopt;
    return sequence;
}

std::vector<SpooledMessage> Spool::after(std::int64_t id, std::size_t max) {
    std::vector<SpooledMessage> out;
    Reset r{select_};
    sqlite3_bind_int64(select_, 1, id);
    sqlite3_bind_int64(select_, 2, static_cast<sqlite3_int64>(max));
    while (sqlite3_step(select_) == SQLITE_ROW) {
        SpooledMessage m;
        m.id = sqlite3_column_int64(select_, 0);
        const auto* topic = reinterpret_cast<const char*>(sqlite3_column_text(select_, 1));
        m.topic = topic ? topic : "";
        const auto* payload = static_cast<const char*>(sqlite3_column_blob(select_, 2));
        m.payload.assign(payload ? payload : "",
                         static_cast<std::size_t>(sqlite3_column_bytes(select_, 2)));
        m.retain = sqlite3_column_int(select_, 3) != 0;
        if (sqlite3_column_type(select_, 4) != SQLITE_NULL) {
            const auto* c = static_cast<const char*>(sqlite3_column_blob(select_, 4));
            m.correlation.assign(c ? c : "",
                                 static_cast<std::size_t>(sqlite3_column_bytes(select_, 4)));
        }
        out.push_back(std::move(m));
    }
    return out;
}

void Spool::remove(std::int64_t id) {
    Reset r{delete_};
    sqlite3_bind_int64(delete_, 1, id);
    if (sqlite3_step(delete_) == SQLITE_DONE && sqlite3_changes(db_) > 0 && size_ > 0) --size_;
}

void Spool::begin() {
    if (inTransaction_) return;
    inTransaction_ = exec("BEGIN");
}

bool Spool::commit() {
    if (!inTransaction_) return true;
    inTransaction_ = false;
    // A removal that is lost in a power cut only means the message is published once more,
    // so a transaction of removals alone does not wait for the disk.
    const bool relaxed = syncFull_ && !appended_;
    appended_ = false;
    if (relaxed) exec("PRAGMA synchronous=NORMAL");
    const bool ok = exec("COMMIT");
    if (relaxed) exec("PRAGMA synchronous=FULL");
    if (ok) return true;
    exec("ROLLBACK");
    loadState();
    return false;
}

std::int64_t Spool::lastSequence(const std::string& reader) const {
    const auto it = sequences_.find(reader);
    return it == sequences_.end() ? 0 : it->second;
}

}  // namespace orvex::bridge
