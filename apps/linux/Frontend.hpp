#pragma once
// The `murel` command-line front end: posts the account form's commands to the Controller and
// follows them through its status snapshots, as the Windows interface does from its 50 ms timer.

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "CommandLine.hpp"
#include "LiveStatus.hpp"
#include "ViewerWindow.hpp"
#include "app/Controller.hpp"

namespace murel {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// What the session commands need from the program around the front end.
struct FrontendServices {
    // `host` without a saved sign-in: the password to sign in with (throws when it cannot be read).
    std::function<std::string()> askPassword;
    // `view` without --record: the window the picture is presented in.
    std::function<std::unique_ptr<ViewerWindow>(const ViewerWindowOptions&, ViewerWindowHandlers)> openWindow;
    // Milliseconds of a monotonic clock, for the live figures (empty: the steady clock).
    std::function<std::int64_t()> clockMs;
};

class Frontend {
public:
    // `stop` is raised by the process's SIGINT/SIGTERM handler; `out` receives every line.
    // `terminal`: `out` is a terminal, where Ctrl-C has echoed "^C" without a line end, and where
    // the live figures of host and view are rewritten on one line.
    Frontend(app::Controller& controller, std::ostream& out, const volatile std::sig_atomic_t& stop,
             bool terminal = false, FrontendServices services = {});

    // Runs the action and returns the exit status. `password` is moved into the command and wiped
    // here. The Controller is stopped (requestStop, then wait for workerStopped) before it returns.
    int run(const CliOptions& options, std::string password);

private:
    int signIn(const CliOptions& options, std::string password);
    // Signs in (up or in) and waits for the device to be online; false with `last_.error` set.
    bool signInOnly(const CliOptions& options, std::string password);
    int signOut(const CliOptions& options);
    int devices(const CliOptions& options);
    int online(const CliOptions& options);
    int host(const CliOptions& options);
    int view(const CliOptions& options);

    // view: the device named or numbered `device`, once it is online and ready; nothing (with
    // `verdict` set) when it does not exist, is ambiguous or does not become ready in time.
    std::optional<HostInfo> findReadyHost(const CliOptions& options, std::string& verdict);
    // view: asks the host for `mode`, or for the next of its advertised modes when nothing is given.
    void requestMode(const std::optional<PictureSize>& mode);
    // "Stream: WxH@FPS" when the session's stream configuration differs from `shown`.
    void showStreamMode(std::string& shown);
    // The live figures from the latest snapshot.
    void showFigures(bool host);
    std::int64_t nowMs() const;

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
    FrontendServices services_;
    StatusPrinter printer_;
    RateMeter bitRate_;
    RateMeter sentRate_;
    app::Status last_;
    std::string printedMessage_;
};

// The name a device registers with when --name is not given: the host name, or "Linux PC".
std::string defaultDeviceName();

}  // namespace murel
