#pragma once
// CredentialVault over Windows Credential Manager: one generic entry per target.

#include "platform/CredentialVault.hpp"

namespace murel::win {

class CredentialManagerVault final : public CredentialVault {
public:
    // CredWriteW of a CRED_TYPE_GENERIC entry persisted for the local machine, UserName the user
    // id; replaces an existing entry whole. Failure is step "Save credential".
    void write(std::string_view target, std::string_view userName, std::string_view blob) override;
    // CredReadW; ERROR_NOT_FOUND gives nothing. The entry's own blob is zeroed before CredFree.
    // Failure is step "Read credential".
    std::optional<std::string> read(std::string_view target, std::size_t maxBytes) override;
    // CredDeleteW; an absent entry counts as deleted. Failure is step "Remove saved credential".
    void remove(std::string_view target) override;
};

}  // namespace murel::win
