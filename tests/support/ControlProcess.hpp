#pragma once
// murel-control as a child process on a loopback port, with a private data directory that outlives
// a stop, so the service can be stopped mid-session and started again on the same port with the
// same accounts and devices. The directory goes with the object.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.hpp"

namespace murel::test {

class ControlProcess {
public:
    // Starts on an ephemeral port with fast password hashes and `extraArgs` (TLS files, limits).
    // Throws when it does not come up.
    explicit ControlProcess(std::vector<std::string> extraArgs = {});
    ~ControlProcess();

    ControlProcess(const ControlProcess&) = delete;
    ControlProcess& operator=(const ControlProcess&) = delete;

    // SIGTERM, then SIGKILL if it lingers; waits for the process. The data directory stays.
    void stop();
    // Starts again on the port of the first start. Throws when it does not come up.
    void restart();

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>", or with another scheme or host name for the same port.
    std::string origin(const std::string& scheme = "http", const std::string& host = "127.0.0.1") const {
        return scheme + "://" + host + ":" + std::to_string(port_);
    }
    const std::filesystem::path& data() const { return data_; }
    // Everything every run so far has written.
    std::string log() const;
    bool running() const { return process_ != nullptr; }

private:
    void start(std::uint16_t port);

    std::filesystem::path data_;
    std::vector<std::string> extraArgs_;
    std::unique_ptr<ChildProcess> process_;
    std::string earlierLog_;
    std::uint16_t port_ = 0;
};

}  // namespace murel::test
