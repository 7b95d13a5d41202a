#pragma once
// Saved sign-in state: one entry per (server origin, account name, role), named by a hash so the
// name reveals neither server nor account, holding a small JSON record. Works over any
// CredentialVault.

#include <optional>
#include <string>
#include <string_view>

#include "platform/CredentialVault.hpp"
#include "protocol/ControlApi.hpp"

namespace murel {

struct SavedCredential {
    AccountCredential account;
    DeviceCredential device;
    bool host = false;

    bool operator==(const SavedCredential&) const = default;
};

inline constexpr std::string_view kCredentialTargetPrefix = "Murel/v1/";

// "Murel/v1/" + lower-case hex SHA-256 of origin "\n" account "\n" ("host" | "client").
// A failing hash throws "Credential scope hashing failed".
std::string credentialTarget(const Sha256Function& sha256, std::string_view normalisedOrigin,
                             std::string_view accountName, bool host);

// The compact JSON record (at most 2560 bytes, else "Credential is too large for Windows
// Credential Manager"), after both tokens passed validateCredential. The caller wipes it.
std::string serializeSavedCredential(const SavedCredential& credential);
// Parses and checks a stored record; see CredentialStore::readCredential for the failures.
SavedCredential parseSavedCredential(std::string_view blob);

class CredentialStore {
public:
    CredentialStore(CredentialVault& vault, Sha256Function sha256);

    std::string credentialTarget(std::string_view normalisedOrigin, std::string_view accountName,
                                 bool host) const;
    // Writes or replaces the entry; an oversized or invalid record is refused before the vault is
    // touched.
    void saveCredential(std::string_view target, const SavedCredential& credential);
    // Nothing when no entry exists. Failures: the parser's messages, "Invalid saved credential;
    // sign in again", the validators' messages, the vault's "Read credential" step.
    std::optional<SavedCredential> readCredential(std::string_view target);
    // Absent entries count as removed.
    void removeCredential(std::string_view target);

private:
    CredentialVault& vault_;
    Sha256Function sha256_;
};

}  // namespace murel
