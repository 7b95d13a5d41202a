#pragma once
// coturn on an ephemeral loopback UDP port with time-limited shared-secret credentials (the TURN REST
// scheme the control service hands out), started and stopped by a test. It dies with the test
// process, even when the test crashes.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.hpp"

namespace murel::test {

struct CoturnOptions {
    static CoturnOptions relayOnHost() {
        CoturnOptions options;
        options.relayOnHostAddress = true;
        return options;
    }
    static CoturnOptions withArgs(std::vector<std::string> args) {
        CoturnOptions options;
        options.extraArgs = std::move(args);
        return options;
    }

    // Chromium will not send from a host address to a loopback one, so tests against it put the
    // relay on the machine's own address when it has one; 127.0.0.1 otherwise.
    bool relayOnHostAddress = false;
    // More server options (--stale-nonce=1, --max-allocate-lifetime=4, ...).
    std::vector<std::string> extraArgs;
};

class Coturn {
public:
    static constexpr const char* kProgram = "/usr/bin/turnserver";
    static constexpr const char* kSecret = "murel-test-secret";
    static constexpr const char* kRealm = "murel.test";

    // Check running() afterwards: a server that did not answer within a few tries is not there.
    explicit Coturn(CoturnOptions options = {});
    ~Coturn();

    Coturn(const Coturn&) = delete;
    Coturn& operator=(const Coturn&) = delete;

    static bool installed();
    bool running() const { return process_ != nullptr; }
    std::uint16_t port() const { return port_; }
    // Where relayed candidates point.
    const std::string& relayAddress() const { return relayAddress_; }
    bool relayIsLoopback() const { return relayAddress_ == "127.0.0.1"; }
    // The server's log (--verbose): allocations, permissions and per-session usage.
    std::filesystem::path logFile() const { return dir_ / "turn.log"; }

    // A user name valid for an hour and its password: base64(HMAC-SHA1(secret, user)).
    static std::pair<std::string, std::string> credentials(const std::string& secret = kSecret);

private:
    bool waitReady();

    std::filesystem::path dir_;
    std::string relayAddress_ = "127.0.0.1";
    std::unique_ptr<ChildProcess> process_;
    std::uint16_t port_ = 0;
};

}  // namespace murel::test
