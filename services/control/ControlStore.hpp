#pragma once
// Durable state of the control service in one SQLite database (WAL journal): accounts, devices and
// the digests of the tokens issued to them. Not thread-safe: the owner serialises calls.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace murel {

enum class TokenKind : int { Account = 1, Device = 2 };

struct AccountRecord {
    std::string id;
    std::string email;
    std::string passwordHash;
};

struct DeviceRecord {
    std::string id;
    std::string accountId;
    std::string name;
    std::string platform;
    bool canHost = false;
};

struct TokenRecord {
    TokenKind kind = TokenKind::Account;
    std::string accountId;
    std::string deviceId;  // empty for account tokens
    std::int64_t expiresAt = 0;
};

class ControlStore {
public:
    static constexpr int kSchemaVersion = 1;

    // Opens (creating when missing) `directory`/control.db. Throws std::runtime_error.
    explicit ControlStore(const std::filesystem::path& directory);
    ~ControlStore();
    ControlStore(const ControlStore&) = delete;
    ControlStore& operator=(const ControlStore&) = delete;

    // False when the e-mail key is already taken.
    bool createAccount(const AccountRecord& account, std::int64_t now);
    std::optional<AccountRecord> findAccountByEmail(std::string_view email);

    void addToken(std::string_view digest, const TokenRecord& token);
    std::optional<TokenRecord> findToken(std::string_view digest);
    void deleteToken(std::string_view digest);
    // Keeps the `keep` newest account tokens of the account and deletes the rest; returns how many.
    int keepNewestAccountTokens(std::string_view accountId, std::size_t keep);
    // Removes expired tokens; returns how many.
    int deleteExpiredTokens(std::int64_t now);

    int countDevices(std::string_view accountId);
    void addDevice(const DeviceRecord& device, std::int64_t now);
    std::optional<DeviceRecord> findDevice(std::string_view deviceId);
    std::vector<DeviceRecord> listDevices(std::string_view accountId);
    // Deletes the device and every token issued to it, atomically.
    void removeDevice(std::string_view deviceId);

    int schemaVersion();

private:
    void exec(const char* sql);
    void migrate();

    sqlite3* db_ = nullptr;
};

}  // namespace murel
