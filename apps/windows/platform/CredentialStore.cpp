#include "platform/CredentialStore.hpp"

#include <utility>

#include "protocol/Wipe.hpp"

namespace murel {

namespace {

constexpr const char* kInvalidSaved = "Invalid saved credential; sign in again";

// Zeros every string inside a parsed record before the tree is freed.
void wipeStrings(Json& value) noexcept {
    if (value.is_string()) {
        wipe(value.get_ref<std::string&>());
    } else if (value.is_structured()) {
        for (Json& child : value) wipeStrings(child);
    }
}

struct JsonWipe {
    Json& value;
    ~JsonWipe() { wipeStrings(value); }
};

const Json& requireObject(const Json& parent, const char* key) {
    const auto it = parent.find(key);
    throwUnless(it != parent.end() && it->is_object(), kInvalidSaved);
    return *it;
}

std::string requireText(const Json& parent, const char* key) {
    const auto it = parent.find(key);
    throwUnless(it != parent.end() && it->is_string(), kInvalidSaved);
    return it->get<std::string>();
}

}  // namespace

std::string credentialTarget(const Sha256Function& sha256, std::string_view normalisedOrigin,
                             std::string_view accountName, bool host) {
    std::string scope;
    scope.reserve(normalisedOrigin.size() + accountName.size() + 8);
    scope.append(normalisedOrigin);
    scope.push_back('\n');
    scope.append(accountName);
    scope.push_back('\n');
    scope.append(host ? "host" : "client");

    Sha256Digest digest;
    try {
        digest = sha256(scope);
    } catch (...) {
        throw ProtocolError("Credential scope hashing failed");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string target(kCredentialTargetPrefix);
    for (const std::uint8_t byte : digest) {
        target.push_back(kHex[byte >> 4]);
        target.push_back(kHex[byte & 0x0F]);
    }
    return target;
}

std::string serializeSavedCredential(const SavedCredential& credential) {
    validateCredential(credential.account.token);
    validateCredential(credential.device.token);
    Json record = {
        {"account",
         {{"token", credential.account.token},
          {"user_id", credential.account.userId},
          {"expires_at", credential.account.expiresAt}}},
        {"device",
         {{"id", credential.device.id},
          {"token", credential.device.token},
          {"expires_at", credential.device.expiresAt}}},
        {"host", credential.host},
    };
    JsonWipe wipeRecord{record};
    std::string blob = toCompactJson(record);
    if (blob.size() > kCredentialRecordLimit) {
        wipe(blob);
        throw ProtocolError("Credential is too large for Windows Credential Manager");
    }
    return blob;
}

SavedCredential parseSavedCredential(std::string_view blob) {
    Json record = parseWire(blob, kCredentialRecordLimit);
    JsonWipe wipeRecord{record};
    const Json& account = requireObject(record, "account");
    const Json& device = requireObject(record, "device");
    const auto host = record.find("host");
    throwUnless(host != record.end() && host->is_boolean(), kInvalidSaved);

    SavedCredential result;
    try {
        result.account.token = requireText(account, "token");
        result.account.userId = requireText(account, "user_id");
        result.account.expiresAt = requireText(account, "expires_at");
        result.device.id = requireText(device, "id");
        result.device.token = requireText(device, "token");
        result.device.expiresAt = requireText(device, "expires_at");
        result.host = host->get<bool>();

        validateCredential(result.account.token);
        validateCredential(result.device.token);
        validateIdentifier(result.account.userId);
        validateIdentifier(result.device.id);
    } catch (...) {
        wipe(result.account.token);
        wipe(result.device.token);
        throw;
    }
    return result;
}

CredentialStore::CredentialStore(CredentialVault& vault, Sha256Function sha256)
    : vault_(vault), sha256_(std::move(sha256)) {}

std::string CredentialStore::credentialTarget(std::string_view normalisedOrigin,
                                              std::string_view accountName, bool host) const {
    return murel::credentialTarget(sha256_, normalisedOrigin, accountName, host);
}

void CredentialStore::saveCredential(std::string_view target, const SavedCredential& credential) {
    std::string blob = serializeSavedCredential(credential);
    WipeOnExit wipeBlob(blob);
    vault_.write(target, credential.account.userId, blob);
}

std::optional<SavedCredential> CredentialStore::readCredential(std::string_view target) {
    std::optional<std::string> blob = vault_.read(target, kCredentialRecordLimit);
    if (!blob) return std::nullopt;
    WipeOnExit wipeBlob(*blob);
    return parseSavedCredential(*blob);
}

void CredentialStore::removeCredential(std::string_view target) {
    vault_.remove(target);
}

}  // namespace murel
