#pragma once
// Saved credentials on Linux: one file per target in a private directory, mode 0600, replaced
// atomically (temporary file, fsync, rename, directory fsync) so a crash leaves either the old or
// the new entry, never a mix.

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/CredentialVault.hpp"

namespace murel {

class FileCredentialVault : public CredentialVault {
public:
    // Entries live directly in `directory`, created (mode 0700) on the first write.
    explicit FileCredentialVault(std::filesystem::path directory);

    // $XDG_DATA_HOME/murel/credentials, or ~/.local/share/murel/credentials without XDG_DATA_HOME.
    static std::filesystem::path defaultDirectory();

    // The file name of a target: letters, digits, '-' and '_' as they are, every other byte as
    // '%' and two upper-case hex digits; so distinct targets never share a file and no name can
    // leave the directory or look like a temporary file.
    static std::string fileNameFor(std::string_view target);

    void write(std::string_view target, std::string_view userName, std::string_view blob) override;
    std::optional<std::string> read(std::string_view target, std::size_t maxBytes) override;
    void remove(std::string_view target) override;

    const std::filesystem::path& directory() const { return directory_; }

protected:
    // Writes the whole blob to the new entry's temporary file.
    virtual void writeTemporary(int fd, std::string_view blob);

private:
    void ensureDirectory();
    void removeAbandonedTemporaries(const std::string& name) noexcept;
    void syncDirectory();

    std::filesystem::path directory_;
};

}  // namespace murel
