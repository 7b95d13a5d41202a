#include "platform/win/CredentialManager.hpp"

#include <windows.h>
#include <wincred.h>

#include "platform/win/WinError.hpp"

namespace murel::win {

void writeGenericCredential(const std::wstring& target, std::string_view blob, const std::wstring& userName) {
    constexpr const char* step = "Save credential";
    // Credential Manager enforces its own blob limit (mingw's CRED_MAX_CREDENTIAL_BLOB_SIZE is the
    // outdated 512); only a size that does not fit the field is refused here.
    if (blob.size() > MAXDWORD) throwWin32(ERROR_INVALID_PARAMETER, step);
    CREDENTIALW entry{};
    entry.Flags = 0;
    entry.Type = CRED_TYPE_GENERIC;
    entry.TargetName = const_cast<LPWSTR>(target.c_str());
    entry.CredentialBlobSize = static_cast<DWORD>(blob.size());
    // CredWriteW only reads the blob.
    entry.CredentialBlob = reinterpret_cast<LPBYTE>(const_cast<char*>(blob.data()));
    entry.Persist = CRED_PERSIST_LOCAL_MACHINE;
    entry.UserName = const_cast<LPWSTR>(userName.c_str());
    const BOOL ok = CredWriteW(&entry, 0);
    const DWORD error = GetLastError();
    if (!ok) throwWin32(error, step);
}

bool readGenericCredential(const std::wstring& target, std::string& blob) {
    PCREDENTIALW entry = nullptr;
    if (!CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &entry)) {
        const DWORD error = GetLastError();
        if (error == ERROR_NOT_FOUND) return false;
        throwWin32(error, "Read credential");
    }
    try {
        if (entry->CredentialBlobSize > 0 && entry->CredentialBlob != nullptr) {
            blob.assign(reinterpret_cast<const char*>(entry->CredentialBlob), entry->CredentialBlobSize);
        } else {
            blob.clear();
        }
    } catch (...) {
        SecureZeroMemory(entry->CredentialBlob, entry->CredentialBlobSize);
        CredFree(entry);
        throw;
    }
    if (entry->CredentialBlob != nullptr) SecureZeroMemory(entry->CredentialBlob, entry->CredentialBlobSize);
    CredFree(entry);
    return true;
}

void deleteGenericCredential(const std::wstring& target) {
    if (CredDeleteW(target.c_str(), CRED_TYPE_GENERIC, 0)) return;
    const DWORD error = GetLastError();
    if (error == ERROR_NOT_FOUND) return;
    throwWin32(error, "Remove saved credential");
}

}  // namespace murel::win
