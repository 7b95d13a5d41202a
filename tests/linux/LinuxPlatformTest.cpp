// The Linux platform record: where saved sign-ins go, and the pieces the Controller requires.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "FileCredentialVault.hpp"
#include "LinuxPlatform.hpp"

namespace murel {
namespace {

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_) ::setenv(name_, saved_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

std::filesystem::path vaultDirectory(const app::Platform& platform) {
    const auto* vault = dynamic_cast<const FileCredentialVault*>(platform.credentialVault.get());
    return vault ? vault->directory() : std::filesystem::path();
}

TEST(LinuxPlatform, SavedSignInsFollowXdgDataHomeAsItWasAtCreation) {
    ScopedEnv xdg("XDG_DATA_HOME", "/tmp/murel-platform-test-a");
    const app::Platform platform = makeLinuxPlatform();
    ::setenv("XDG_DATA_HOME", "/tmp/murel-platform-test-b", 1);
    EXPECT_EQ(vaultDirectory(platform), "/tmp/murel-platform-test-a/murel/credentials");

    LinuxPlatformOptions options;
    options.credentialDirectory = "/tmp/murel-platform-test-c";
    EXPECT_EQ(vaultDirectory(makeLinuxPlatform(options)), "/tmp/murel-platform-test-c");
}

TEST(LinuxPlatform, WithoutXdgDataHomeOrHomeSignInsStillGoToTheHomeFolder) {
    ScopedEnv xdg("XDG_DATA_HOME", "relative/ignored");
    ScopedEnv home("HOME", nullptr);
    const std::filesystem::path directory = vaultDirectory(makeLinuxPlatform());
    EXPECT_TRUE(directory.is_absolute()) << directory << " depends on the working directory";
    EXPECT_EQ(directory.filename(), "credentials");
    EXPECT_EQ(directory.parent_path().filename(), "murel");
}

TEST(LinuxPlatform, EveryRequiredPieceIsThere) {
    const app::Platform platform = makeLinuxPlatform();
    ASSERT_TRUE(platform.clock && platform.makeHttp && platform.openSignaling && platform.sha256 &&
                platform.requestIds && platform.credentialVault);
    EXPECT_FALSE(platform.apartment.enter || platform.apartment.startMedia || platform.apartment.stopMedia ||
                 platform.apartment.leave);

    const std::int64_t first = platform.clock();
    EXPECT_LE(first, platform.clock());

    const Sha256Digest digest = platform.sha256("abc");
    EXPECT_EQ(digest[0], 0xba);
    EXPECT_EQ(digest[31], 0xad);

    const std::optional<Guid> a = platform.requestIds();
    const std::optional<Guid> b = platform.requestIds();
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);
    EXPECT_EQ(a->data3 >> 12, 4) << "random (version 4) ids";
}

}  // namespace
}  // namespace murel
