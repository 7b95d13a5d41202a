#include "LinuxPlatform.hpp"

#include <memory>
#include <stdexcept>
#include <utility>

#include <pwd.h>
#include <unistd.h>

#include "FileCredentialVault.hpp"
#include "Sha256.hpp"

namespace murel {
namespace {

// The default folder of saved sign-ins. Without XDG_DATA_HOME and HOME the vault's default would be
// relative to the working directory, scattering sign-ins wherever the program is started; the
// account database's home folder is used instead.
std::filesystem::path credentialDirectory() {
    std::filesystem::path directory = FileCredentialVault::defaultDirectory();
    if (directory.is_absolute()) return directory;
    const passwd* account = ::getpwuid(::getuid());
    if (account == nullptr || account->pw_dir == nullptr || account->pw_dir[0] != '/') {
        throw std::runtime_error("Cannot find a folder for saved sign-ins; set XDG_DATA_HOME or HOME");
    }
    return std::filesystem::path(account->pw_dir) / ".local" / "share" / "murel" / "credentials";
}

}  // namespace

app::Platform makeLinuxPlatform(LinuxPlatformOptions options) {
    app::Platform platform;
    platform.clock = app::steadyClockNanoseconds;

    const TransportOptions transport = options.transport;
    platform.makeHttp = app::httpOverTransport(
        [transport](const ServerOrigin& origin) { return makeBeastHttpTransport(origin, transport); });
    platform.openSignaling = app::signalingOverTransport(
        [transport](const ServerOrigin& origin) { return makeBeastWebSocketTransport(origin, transport); });

    // The directory is fixed now, so a later change of XDG_DATA_HOME cannot move a running
    // program's saved sign-ins.
    platform.credentialVault = std::make_shared<FileCredentialVault>(
        options.credentialDirectory ? std::move(*options.credentialDirectory)
                                    : credentialDirectory());
    platform.sha256 = opensslSha256;
    platform.requestIds = randomGuidSource();
    // Nothing to enter or leave on the worker thread: no COM, no Media Foundation.
    platform.apartment = {};
    platform.media = makeLinuxMediaFactory(std::move(options.media));
    platform.makePeer = app::nativePeerFactory();
    // The input sink depends on the front end's choice (XTest on a display, or nothing to drive).
    platform.deviceKind = "linux";
    return platform;
}

}  // namespace murel
