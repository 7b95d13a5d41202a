#include "platform/win/CredentialManagerVault.hpp"

#include <windows.h>
#include <wincred.h>

#include <algorithm>
#include <cstdint>

#include "platform/win/TextConversion.hpp"
#include "platform/win/WinError.hpp"

namespace murel::win {

namespace {

// Zeroes and frees an entry returned by CredReadW on every path.
class ReadEntry {
public:
    ReadEntry() = default;
    ~ReadEntry() {
        if (entry_ == nullptr) return;
        if (entry_->CredentialBlob != nullptr) SecureZeroMemory(entry_->CredentialBlob, entry_->CredentialBlobSize);
        CredFree(entry_);
    }
    ReadEntry(const ReadEntry&) = delete;
    ReadEntry& operator=(const ReadEntry&) = delete;

    PCREDENTIALW* out() { return &entry_; }
    const CREDENTIALW* operator->() const { return entry_; }

private:
    PCREDENTIALW entry_ = nullptr;
};

}  // namespace

void CredentialManagerVault::write(std::string_view target, std::string_view userName, std::string_view blob) {
    constexpr const char* step = "Save credential";
    // Credential Manager enforces its own blob limit (mingw's CRED_MAX_CREDENTIAL_BLOB_SIZE is the
    // outdated 512); only a size that does not fit the field is refused here.
    if (blob.size() > MAXDWORD) throwWin32(ERROR_INVALID_PARAMETER, step);
    std::wstring targetName = utf8ToUtf16(target);
    std::wstring user = utf8ToUtf16(userName);
    CREDENTIALW entry{};
    entry.Flags = 0;
    entry.Type = CRED_TYPE_GENERIC;
    entry.TargetName = targetName.data();
    entry.CredentialBlobSize = static_cast<DWORD>(blob.size());
    // CredWriteW only reads the blob, and no copy is made here.
    entry.CredentialBlob = reinterpret_cast<LPBYTE>(const_cast<char*>(blob.data()));
    entry.Persist = CRED_PERSIST_LOCAL_MACHINE;
    entry.UserName = user.data();
    const BOOL ok = CredWriteW(&entry, 0);
    const DWORD error = GetLastError();
    if (!ok) throwWin32(error, step);
}

std::optional<std::string> CredentialManagerVault::read(std::string_view target, std::size_t maxBytes) {
    const std::wstring targetName = utf8ToUtf16(target);
    ReadEntry entry;
    if (!CredReadW(targetName.c_str(), CRED_TYPE_GENERIC, 0, entry.out())) {
        const DWORD error = GetLastError();
        if (error == ERROR_NOT_FOUND) return std::nullopt;
        throwWin32(error, "Read credential");
    }
    const std::size_t stored = entry->CredentialBlob == nullptr ? 0 : entry->CredentialBlobSize;
    // One byte past the limit is enough for the caller to see that the record is too long.
    const std::size_t kept = maxBytes == SIZE_MAX ? stored : std::min(stored, maxBytes + 1);
    std::string blob;
    blob.reserve(kept);
    blob.assign(reinterpret_cast<const char*>(entry->CredentialBlob), kept);
    return blob;
}

void CredentialManagerVault::remove(std::string_view target) {
    const std::wstring targetName = utf8ToUtf16(target);
    if (CredDeleteW(targetName.c_str(), CRED_TYPE_GENERIC, 0)) return;
    const DWORD error = GetLastError();
    if (error == ERROR_NOT_FOUND) return;
    throwWin32(error, "Remove saved credential");
}

}  // namespace murel::win
