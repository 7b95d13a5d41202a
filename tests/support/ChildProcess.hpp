#pragma once
// A program run by a test: its output (stdout, and stderr unless it goes to a file) collected by a
// reader thread and searchable while it runs, its own environment additions, standard input from a
// string or written while it runs. The child is killed with the test process (PR_SET_PDEATHSIG)
// and by the destructor.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace murel::test {

struct ChildOptions {
    // Added to (or replacing in) this process's environment.
    std::map<std::string, std::string> environment;
    // Written to standard input at the start.
    std::string input;
    // Standard input stays open for write() until closeInput(); otherwise it ends after `input`.
    bool keepInputOpen = false;
    // When set, stderr is appended to this file instead of joining the collected output.
    std::filesystem::path errorFile;
    // The child leads its own process group and stop()/the destructor kill the whole group, so
    // programs that start helpers of their own leave none behind.
    bool ownGroup = false;
    // When set, the output is handed over line by line (without the newline) on the reader thread
    // instead of being collected: for programs that speak a line protocol. A last line without a
    // newline is handed over when the output ends, then onEnd is called.
    std::function<void(std::string line)> onLine;
    std::function<void()> onEnd;
};

class ChildProcess {
public:
    // argv[0] is the program's path. Throws std::runtime_error when it cannot be started.
    ChildProcess(std::vector<std::string> argv, ChildOptions options);
    ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> environment = {},
                 std::string input = {});
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes to standard input (keepInputOpen); false when the child no longer reads it.
    bool write(std::string_view text);
    void closeInput();

    std::string output() const;
    // Waits until `done(output)` holds or the output ends; whether it held.
    bool waitOutput(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout) const;
    // Waits until the output holds `text` at or after byte `from`; its position, or nothing.
    std::optional<std::size_t> waitFor(const std::string& text, std::chrono::milliseconds timeout,
                                       std::size_t from = 0) const;
    // Waits for a line that starts with `prefix` (after `from`) and returns the whole line.
    std::optional<std::string> waitForLine(const std::string& prefix, std::chrono::milliseconds timeout,
                                           std::size_t from = 0) const;
    // Waits for the end of the output (the child and everything it passed its stdout to are gone).
    bool waitOutputClosed(std::chrono::milliseconds timeout) const;

    void signal(int number);
    // The exit status (128 + signal for a killed child), or nothing when it is still running.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    // SIGTERM, SIGKILL when it has not gone within `grace`; the exit status. Also reads the rest of
    // the output, so output() is complete afterwards.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
    bool running();
    pid_t pid() const { return pid_; }

private:
    void read(int fd, std::function<void(std::string)> onLine, std::function<void()> onEnd);
    void kill(int number);

    pid_t pid_ = -1;
    bool ownGroup_ = false;
    std::optional<int> status_;
    std::thread reader_;
    std::mutex inputLock_;
    int input_ = -1;
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
