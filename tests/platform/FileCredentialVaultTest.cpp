// The Linux file vault: private files, safe names, atomic replacement, crash safety.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CredentialBehaviour.hpp"
#include "FileCredentialVault.hpp"
#include "Sha256.hpp"

namespace murel::test {
namespace {

namespace fs = std::filesystem;

class FileCredentialVaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::path(::testing::TempDir()) /
               (std::string("murel-file-vault-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        directory = root / "data" / "murel" / "credentials";
    }
    void TearDown() override { fs::remove_all(root); }

    std::vector<std::string> files() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    static unsigned modeOf(const fs::path& path) {
        struct stat info {};
        EXPECT_EQ(::lstat(path.c_str(), &info), 0);
        return info.st_mode & 07777;
    }

    fs::path root;
    fs::path directory;
};

TEST_F(FileCredentialVaultTest, EntriesArePrivateFilesWithSafeNames) {
    FileCredentialVault vault(directory);
    CredentialStore store(vault, opensslSha256);
    const std::string target = store.credentialTarget("https://example.com", "a@b", true);
    store.saveCredential(target, sampleCredential());
    EXPECT_EQ(modeOf(directory), 0700u);
    const fs::path file = directory / FileCredentialVault::fileNameFor(target);
    EXPECT_EQ(file.filename().string(), "Murel%2Fv1%2F" + target.substr(9));
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(files(), std::vector<std::string>{file.filename().string()});  // no temporaries left

    // Names cannot escape the directory, and distinct targets never share a file.
    EXPECT_EQ(FileCredentialVault::fileNameFor("../x"), "%2E%2E%2Fx");
    EXPECT_NE(FileCredentialVault::fileNameFor("a/b"), FileCredentialVault::fileNameFor("a%2Fb"));
    vault.write("../escape", "u", "secret");
    EXPECT_FALSE(fs::exists(directory.parent_path() / "escape"));
    EXPECT_EQ(vault.read("../escape", 100), std::optional<std::string>("secret"));
}

TEST_F(FileCredentialVaultTest, ReadsAreBoundedAndSymlinksAreNotFollowed) {
    FileCredentialVault vault(directory);
    vault.write("t", "u", std::string(5000, 'a'));
    EXPECT_EQ(vault.read("t", 2560)->size(), 2561u);

    // A planted link is neither read through nor written through.
    const fs::path outside = root / "outside";
    { std::ofstream(outside) << "keep"; }
    fs::remove(directory / "t");
    fs::create_symlink(outside, directory / "t");
    try {
        vault.read("t", 100);
        ADD_FAILURE() << "read followed a symbolic link";
    } catch (const ProtocolError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Read credential failed", 0), 0u) << e.what();
    }
    vault.write("t", "u", "new");
    EXPECT_FALSE(fs::is_symlink(directory / "t"));
    EXPECT_EQ(vault.read("t", 100), std::optional<std::string>("new"));
    std::ifstream in(outside);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "keep");
}

// Dies by SIGKILL half-way through writing its temporary file.
class CrashingVault final : public FileCredentialVault {
public:
    using FileCredentialVault::FileCredentialVault;

protected:
    void writeTemporary(int fd, std::string_view blob) override {
        FileCredentialVault::writeTemporary(fd, blob.substr(0, blob.size() / 2));
        ::fsync(fd);
        ::raise(SIGKILL);
    }
};

TEST_F(FileCredentialVaultTest, ACrashMidWriteLeavesTheOldEntryWhole) {
    FileCredentialVault vault(directory);
    CredentialStore store(vault, opensslSha256);
    const std::string target = store.credentialTarget("https://example.com", "a@b", false);
    store.saveCredential(target, sampleCredential(false));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CrashingVault crashing(directory);
        CredentialStore crashingStore(crashing, opensslSha256);
        SavedCredential other = sampleCredential(false);
        other.device.token = std::string(2000, 'n');
        crashingStore.saveCredential(target, other);
        std::_Exit(0);  // not reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    EXPECT_EQ(store.readCredential(target), sampleCredential(false));
    EXPECT_EQ(files().size(), 2u);  // the entry and the dead writer's partial temporary

    // The next write clears what the dead writer left behind.
    SavedCredential next = sampleCredential(false);
    next.account.token = "after-crash";
    store.saveCredential(target, next);
    EXPECT_EQ(store.readCredential(target), next);
    EXPECT_EQ(files().size(), 1u);
}

TEST_F(FileCredentialVaultTest, DefaultDirectoryFollowsXdgDataHome) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string restore = saved != nullptr ? saved : "";
    ::setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(FileCredentialVault::defaultDirectory(), fs::path("/srv/data/murel/credentials"));
    ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
    const char* home = std::getenv("HOME");
    EXPECT_EQ(FileCredentialVault::defaultDirectory(),
              fs::path(home != nullptr ? home : "") / ".local/share/murel/credentials");
    if (saved != nullptr) {
        ::setenv("XDG_DATA_HOME", restore.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace
}  // namespace murel::test
