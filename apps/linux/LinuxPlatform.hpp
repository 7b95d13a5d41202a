#pragma once
// The Controller's platform on Linux: Boost.Beast transports under the portable HTTP client and
// signaling socket, saved sign-ins in files under $XDG_DATA_HOME/murel/credentials, OpenSSL
// SHA-256, the steady clock, random (version 4) request ids and the native peer. The worker thread
// needs no apartment here. The caller adds the media makers and the input sink it wants.

#include <filesystem>
#include <optional>

#include "BeastTransport.hpp"
#include "app/Platform.hpp"

namespace murel {

struct LinuxPlatformOptions {
    // Time-outs and an extra trust anchor for the transports.
    TransportOptions transport;
    // Where saved sign-ins live; nothing: FileCredentialVault::defaultDirectory(), read once when
    // the platform is made.
    std::optional<std::filesystem::path> credentialDirectory;
};

app::Platform makeLinuxPlatform(LinuxPlatformOptions options = {});

}  // namespace murel
