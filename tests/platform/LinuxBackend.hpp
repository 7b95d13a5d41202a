#pragma once
// The Linux backend of the behaviour suites: Beast transports, the file vault, OpenSSL SHA-256.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "BeastTransport.hpp"
#include "FileCredentialVault.hpp"
#include "Sha256.hpp"

namespace murel::test {

struct LinuxBackend {
    static std::unique_ptr<HttpTransport> makeHttpTransport(const ServerOrigin& origin,
                                                            std::chrono::milliseconds receiveTimeout) {
        TransportOptions options;
        options.receiveTimeout = receiveTimeout;
        return makeBeastHttpTransport(origin, options);
    }
    static std::unique_ptr<WebSocketTransport> makeWebSocketTransport(const ServerOrigin& origin) {
        return makeBeastWebSocketTransport(origin);
    }
    static std::unique_ptr<CredentialVault> makeVault(const std::string& scratch) {
        std::filesystem::remove_all(scratch);
        return std::make_unique<FileCredentialVault>(std::filesystem::path(scratch) / "credentials");
    }
    static Sha256Function sha256() { return opensslSha256; }
};

}  // namespace murel::test
