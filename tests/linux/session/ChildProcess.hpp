#pragma once
// A program run by a test: its output (stdout and stderr together) collected by a reader thread
// and searchable while it runs, its own environment additions, standard input from a string.
// The child is killed with the test process (PR_SET_PDEATHSIG) and by the destructor.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace murel::test {

class ChildProcess {
public:
    // argv[0] is the program's path. `environment` adds to (or replaces in) this process's.
    ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> environment = {},
                 std::string input = {});
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::string output() const;
    // Waits until the output holds `text` at or after byte `from`; its position, or nothing.
    std::optional<std::size_t> waitFor(const std::string& text, std::chrono::milliseconds timeout,
                                       std::size_t from = 0) const;
    // Waits for a line that starts with `prefix` (after `from`) and returns the whole line.
    std::optional<std::string> waitForLine(const std::string& prefix, std::chrono::milliseconds timeout,
                                           std::size_t from = 0) const;

    void signal(int number);
    // The exit status (128 + signal for a killed child), or nothing when it is still running.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    bool running();
    pid_t pid() const { return pid_; }

private:
    void read(int fd);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::string output_;
    bool closed_ = false;
};

// Runs a program to its end (at most `timeout`, then it is killed) and returns its status and output.
struct Finished {
    int status = -1;
    std::string output;
};
Finished runToEnd(std::vector<std::string> argv, std::map<std::string, std::string> environment = {},
                  std::string input = {}, std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace murel::test
