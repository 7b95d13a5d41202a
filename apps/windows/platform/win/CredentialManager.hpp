#pragma once
// Generic Credential Manager entries: write, read and delete by target name.

#include <string>
#include <string_view>

namespace murel::win {

// CredWriteW of a CRED_TYPE_GENERIC entry persisted for the local machine; replaces an existing
// entry whole. Failure is step "Save credential".
void writeGenericCredential(const std::wstring& target, std::string_view blob, const std::wstring& userName);

// CredReadW: copies the blob into `blob` and returns true, or returns false when no entry exists.
// The entry's own copy of the blob is zeroed before it is freed. Other failures are step
// "Read credential".
bool readGenericCredential(const std::wstring& target, std::string& blob);

// CredDeleteW; an absent entry counts as deleted. Failure is step "Remove saved credential".
void deleteGenericCredential(const std::wstring& target);

}  // namespace murel::win
