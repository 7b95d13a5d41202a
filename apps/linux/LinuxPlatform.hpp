#pragma once
// The Controller's platform on Linux: Boost.Beast transports under the portable HTTP client and
// signaling socket, saved sign-ins in files under $XDG_DATA_HOME/murel/credentials, OpenSSL
// SHA-256, the steady clock, random (version 4) request ids, the Linux media (X11 or synthetic
// capture, libswscale, libavcodec, X11 or recording presenter) and the native peer. The worker
// thread needs no apartment here. The caller adds the input sink it wants (XTest, or none).

#include <filesystem>
#include <optional>

#include "BeastTransport.hpp"
#include "LinuxMediaFactory.hpp"
#include "app/Platform.hpp"

namespace murel {

struct LinuxPlatformOptions {
    // Time-outs and an extra trust anchor for the transports.
    TransportOptions transport;
    // Where saved sign-ins live; nothing: FileCredentialVault::defaultDirectory(), read once when
    // the platform is made.
    std::optional<std::filesystem::path> credentialDirectory;
    // Capture source, presenter and codec settings of the platform's media.
    LinuxMediaOptions media;
};

app::Platform makeLinuxPlatform(LinuxPlatformOptions options = {});

}  // namespace murel
