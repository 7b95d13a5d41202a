#pragma once
// The `murel` command-line front end: posts the account form's commands to the Controller and
// follows them through its status snapshots, as the Windows interface does from its 50 ms timer.

#include <csignal>
#include <ostream>
#include <string>

#include "CommandLine.hpp"
#include "app/Controller.hpp"

namespace murel {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

class Frontend {
public:
    // `stop` is raised by the process's SIGINT/SIGTERM handler; `out` receives every line.
    // `terminal`: `out` is a terminal, where Ctrl-C has echoed "^C" without a line end.
    Frontend(app::Controller& controller, std::ostream& out, const volatile std::sig_atomic_t& stop,
             bool terminal = false);

    // Runs the action and returns the exit status. `password` is moved into the command and wiped
    // here. The Controller is stopped (requestStop, then wait for workerStopped) before it returns.
    int run(const CliOptions& options, std::string password);

private:
    int signIn(const CliOptions& options, std::string password);
    int signOut(const CliOptions& options);
    int devices(const CliOptions& options);
    int online(const CliOptions& options);

    // Restores the saved sign-in; true when a credential is installed afterwards (even when the
    // signaling channel could not be opened).
    bool restore(const CliOptions& options);
    // Posts one operation and waits until completedOperations moves on. False when refused or
    // interrupted; `last_` holds the latest snapshot either way.
    bool runOperation(app::Command command);
    // Waits for the signaling hello, an error or the time-out.
    bool waitOnline(int timeoutMs);
    void poll();
    void sleepTick();
    void printDevices();
    int finish(int status, const std::string& verdict);
    // The verdict of a failure: the Controller's error text as it is (its status line when it
    // gave no error).
    int failed(const std::string& error) {
        return finish(kExitFailure, "Failed: " + (!error.empty() ? error
                                                  : !last_.message.empty() ? last_.message
                                                                           : std::string("Operation failed")));
    }
    int interrupted() { return finish(kExitInterrupted, "Failed: Interrupted"); }
    void stopController();

    app::Controller& controller_;
    std::ostream& out_;
    const volatile std::sig_atomic_t& stop_;
    bool terminal_;
    app::Status last_;
    std::string printedMessage_;
};

// The name a device registers with when --name is not given: the host name, or "Linux PC".
std::string defaultDeviceName();

}  // namespace murel
