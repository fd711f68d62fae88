// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The durable spool: every message is stored here before it is published, and removed
// only when the broker has acknowledged it. An SQLite database in WAL mode; it also keeps
// each reader's last sequence number, so numbers go on rising across restarts.
//
// Used from one thread.

namespace orvex::bridge {

struct SpooledMessage {
    std::int64_t id = 0;  // spool order
    std::string topic;
    std::string payload;
    bool retain = false;
    // MQTT 5 correlation data of a reply (empty: none).
    std::string correlation;
};

enum class SpoolKind {
    // A reading or an export record: refused once the spool holds `limit` messages.
    record,
    // A status or a reply: these may use a small reserve above the limit, so that the news
    // that the spool is full can itself be spooled.
    control,
};

class Spool {
public:
    // Opens (or creates) the spool file. Nothing, with a one-line reason in `error`, when
    // it cannot be used.
    static std::unique_ptr<Spool> open(const std::string& path, std::size_t limit,
                                       bool syncFull, std::string& error);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Gives the reader its next sequence number, builds the payload with it and stores the
    // message, all or nothing. Returns the sequence number, or nothing when the spool is
    // full for this kind of message (or the disk refuses; see lastError()).
    std::optional<std::int64_t> append(const std::string& reader, const std::string& topic,
                                       bool retain, SpoolKind kind,
                                       const std::function<std::string(std::int64_t)>& payload,
                                       const std::string& correlation = {});
    // Up to `max` messages after `id`, oldest first.
    std::vector<SpooledMessage> after(std::int64_t id, std::size_t max);
    // Forgets an acknowledged message.
    void remove(std::int64_t id);

    // Groups the appends and removals up to commit() in one transaction (one disk sync).
    // Without it each one commits on its own.
    void begin();
    // Returns false (see lastError()) when the transaction could not be committed; the
    // appends since begin() are then lost and their sequence numbers given again.
    bool commit();

    std::size_t size() const { return size_; }
    std::size_t limit() const { return limit_; }
    // Whether a record would be refused now.
    bool full() const { return size_ >= limit_; }
    // The last sequence number given to `reader` (0: none yet).
    std::int64_t lastSequence(const std::string& reader) const;
    const std::string& lastError() const { return lastError_; }

private:
    Spool(sqlite3* db, std::size_t limit, bool syncFull);
    bool exec(const char* sql);
    sqlite3_stmt* prepare(const char* sql);
    bool loadState();

    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* delete_ = nullptr;
    sqlite3_stmt* sequence_ = nullptr;
    std::size_t limit_;
    std::size_t reserve_;
    std::size_t size_ = 0;
    bool syncFull_;
    bool inTransaction_ = false;
    bool appended_ = false;  // in the transaction under way
    std::map<std::string, std::int64_t> sequences_;
    std::string lastError_;
};

}  // namespace orvex::bridge
