#pragma once
// murel-control as a child process on a loopback port, with a private data directory that outlives
// a stop, so the service can be stopped mid-session and started again on the same port with the
// same accounts and devices.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace murel::test {

class ControlProcess {
public:
    // Starts on an ephemeral port with fast password hashes. Throws when it does not come up.
    explicit ControlProcess(std::vector<std::string> extraArgs = {});
    ~ControlProcess();

    ControlProcess(const ControlProcess&) = delete;
    ControlProcess& operator=(const ControlProcess&) = delete;

    // SIGTERM, then SIGKILL if it lingers; waits for the process. The data directory stays.
    void stop();
    // Starts again on the port of the first start. Throws when it does not come up.
    void restart();

    std::uint16_t port() const { return port_; }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string log();
    bool running() const { return pid_ > 0; }

private:
    void start(std::uint16_t port);
    void drain(int fd);

    std::filesystem::path data_;
    std::vector<std::string> extraArgs_;
    pid_t pid_ = -1;
    int output_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::string log_;
    std::uint16_t port_ = 0;
    std::uint16_t announced_ = 0;
    std::atomic<bool> exited_{false};
};

}  // namespace murel::test
