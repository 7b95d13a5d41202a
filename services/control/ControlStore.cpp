#include "ControlStore.hpp"

#include <stdexcept>
#include <sys/stat.h>

#include <sqlite3.h>

namespace murel {
namespace {

[[noreturn]] void fail(sqlite3* db, const char* what) {
    throw std::runtime_error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "no database"));
}

// One prepared statement, finalised on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) fail(db, "prepare");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::string_view text) {
        if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK) {
            fail(db_, "bind");
        }
        return *this;
    }
    Statement& bind(int index, std::int64_t value) {
        if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) fail(db_, "bind");
        return *this;
    }
    Statement& bindNull(int index) {
        if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) fail(db_, "bind");
        return *this;
    }
    // True while a row is available.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(db_, "step");
    }
    // Runs a statement that must succeed; returns the SQLite result code (DONE or CONSTRAINT).
    int run() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_DONE || (rc & 0xFF) == SQLITE_CONSTRAINT) return rc & 0xFF;
        fail(db_, "step");
    }
    std::string text(int column) {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    std::int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace

ControlStore::ControlStore(const std::filesystem::path& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) throw std::runtime_error("cannot create data directory " + directory.string());
    ::chmod(directory.c_str(), 0700);
    const auto file = directory / "control.db";
    const mode_t old = ::umask(077);  // the database and its WAL files are private
    const int rc = sqlite3_open_v2(file.c_str(), &db_,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    ::umask(old);
    if (rc != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open " + file.string() + ": " + message);
    }
    try {
        sqlite3_busy_timeout(db_, 5000);
        {
            // journal_mode answers with the mode in force; anything but wal is a failure.
            Statement mode(db_, "PRAGMA journal_mode=WAL");
            if (!mode.step() || mode.text(0) != "wal") {
                throw std::runtime_error("database refuses WAL journal mode");
            }
        }
        // NORMAL in WAL mode keeps every committed transaction across a process crash.
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=ON");
        migrate();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

ControlStore::~ControlStore() {
    if (db_) sqlite3_close(db_);
}

void ControlStore::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(std::string("SQL failed: ") + message);
    }
}

int ControlStore::schemaVersion() {
    Statement s(db_, "SELECT version FROM schema_version");
    return s.step() ? static_cast<int>(s.integer(0)) : 0;
}

void ControlStore::migrate() {
    exec("BEGIN IMMEDIATE");
    try {
        exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
        const int version = schemaVersion();
        if (version > kSchemaVersion) {
            throw std::runtime_error("database schema version " + std::to_string(version) +
                                     " is newer than this server understands");
        }
        if (version < 1) {
            exec("CREATE TABLE accounts("
                 " id TEXT PRIMARY KEY,"
                 " email TEXT NOT NULL UNIQUE,"
                 " password_hash TEXT NOT NULL,"
                 " created_at INTEGER NOT NULL)");
            exec("CREATE TABLE devices("
                 " id TEXT PRIMARY KEY,"
                 " account_id TEXT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
                 " name TEXT NOT NULL,"
                 " platform TEXT NOT NULL,"
                 " can_host INTEGER NOT NULL,"
                 " created_at INTEGER NOT NULL)");
            exec("CREATE INDEX devices_account ON devices(account_id)");
            exec("CREATE TABLE tokens("
                 " digest TEXT PRIMARY KEY,"
                 " kind INTEGER NOT NULL,"
                 " account_id TEXT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
                 " device_id TEXT REFERENCES devices(id) ON DELETE CASCADE,"
                 " expires_at INTEGER NOT NULL)");
            exec("CREATE INDEX tokens_device ON tokens(device_id)");
            exec("CREATE INDEX tokens_expiry ON tokens(expires_at)");
            exec("DELETE FROM schema_version");
            exec("INSERT INTO schema_version(version) VALUES (1)");
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

bool ControlStore::createAccount(const AccountRecord& account, std::int64_t now) {
    Statement s(db_,
                "INSERT INTO accounts(id, email, password_hash, created_at) VALUES (?1, ?2, ?3, ?4)");
    s.bind(1, account.id).bind(2, account.email).bind(3, account.passwordHash).bind(4, now);
    return s.run() == SQLITE_DONE;
}

std::optional<AccountRecord> ControlStore::findAccountByEmail(std::string_view email) {
    Statement s(db_, "SELECT id, email, password_hash FROM accounts WHERE email = ?1");
    s.bind(1, email);
    if (!s.step()) return std::nullopt;
    return AccountRecord{s.text(0), s.text(1), s.text(2)};
}

void ControlStore::addToken(std::string_view digest, const TokenRecord& token) {
    Statement s(db_,
                "INSERT INTO tokens(digest, kind, account_id, device_id, expires_at)"
                " VALUES (?1, ?2, ?3, ?4, ?5)");
    s.bind(1, digest).bind(2, static_cast<std::int64_t>(token.kind)).bind(3, token.accountId);
    if (token.deviceId.empty()) {
        s.bindNull(4);
    } else {
        s.bind(4, token.deviceId);
    }
    s.bind(5, token.expiresAt);
    if (s.run() != SQLITE_DONE) fail(db_, "token insert");
}

std::optional<TokenRecord> ControlStore::findToken(std::string_view digest) {
    Statement s(db_,
                "SELECT kind, account_id, COALESCE(device_id, ''), expires_at FROM tokens"
                " WHERE digest = ?1");
    s.bind(1, digest);
    if (!s.step()) return std::nullopt;
    return TokenRecord{static_cast<TokenKind>(s.integer(0)), s.text(1), s.text(2), s.integer(3)};
}

void ControlStore::deleteToken(std::string_view digest) {
    Statement s(db_, "DELETE FROM tokens WHERE digest = ?1");
    s.bind(1, digest);
    s.run();
}

int ControlStore::keepNewestAccountTokens(std::string_view accountId, std::size_t keep) {
    Statement s(db_,
                "DELETE FROM tokens WHERE kind = ?1 AND account_id = ?2 AND rowid NOT IN"
                " (SELECT rowid FROM tokens WHERE kind = ?1 AND account_id = ?2"
                "  ORDER BY expires_at DESC, rowid DESC LIMIT ?3)");
    s.bind(1, static_cast<std::int64_t>(TokenKind::Account)).bind(2, accountId);
    s.bind(3, static_cast<std::int64_t>(keep));
    s.run();
    return sqlite3_changes(db_);
}

int ControlStore::deleteExpiredTokens(std::int64_t now) {
    Statement s(db_, "DELETE FROM tokens WHERE expires_at <= ?1");
    s.bind(1, now);
    s.run();
    return sqlite3_changes(db_);
}

int ControlStore::countDevices(std::string_view accountId) {
    Statement s(db_, "SELECT COUNT(*) FROM devices WHERE account_id = ?1");
    s.bind(1, accountId);
    return s.step() ? static_cast<int>(s.integer(0)) : 0;
}

void ControlStore::addDevice(const DeviceRecord& device, std::int64_t now) {
    Statement s(db_,
                "INSERT INTO devices(id, account_id, name, platform, can_host, created_at)"
                " VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    s.bind(1, device.id).bind(2, device.accountId).bind(3, device.name).bind(4, device.platform);
    s.bind(5, static_cast<std::int64_t>(device.canHost ? 1 : 0)).bind(6, now);
    if (s.run() != SQLITE_DONE) fail(db_, "device insert");
}

std::optional<DeviceRecord> ControlStore::findDevice(std::string_view deviceId) {
    Statement s(db_, "SELECT id, account_id, name, platform, can_host FROM devices WHERE id = ?1");
    s.bind(1, deviceId);
    if (!s.step()) return std::nullopt;
    return DeviceRecord{s.text(0), s.text(1), s.text(2), s.text(3), s.integer(4) != 0};
}

std::vector<DeviceRecord> ControlStore::listDevices(std::string_view accountId) {
    Statement s(db_,
                "SELECT id, account_id, name, platform, can_host FROM devices WHERE account_id = ?1"
                " ORDER BY rowid");
    s.bind(1, accountId);
    std::vector<DeviceRecord> out;
    while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2), s.text(3), s.integer(4) != 0});
    return out;
}

void ControlStore::removeDevice(std::string_view deviceId) {
    exec("BEGIN IMMEDIATE");
    try {
        Statement tokens(db_, "DELETE FROM tokens WHERE device_id = ?1");
        tokens.bind(1, deviceId);
        tokens.run();
        Statement device(db_, "DELETE FROM devices WHERE id = ?1");
        device.bind(1, deviceId);
        device.run();
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace murel
