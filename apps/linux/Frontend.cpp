#include "Frontend.hpp"

#include <chrono>
#include <thread>
#include <utility>

#include <unistd.h>

#include "protocol/Wipe.hpp"

namespace murel {
namespace {

using app::Command;
using app::CommandKind;
using app::Status;

constexpr auto kPollInterval = std::chrono::milliseconds(50);
// Time allowed for the service's hello once the channel is open, and for the worker to stop.
constexpr int kHelloTimeoutMs = 20000;
constexpr int kStopTimeoutMs = 30000;
// `online` asks the Controller to reconnect this often while the channel is down.
constexpr int kReconnectIntervalMs = 5000;

Command formCommand(CommandKind kind, const CliOptions& options) {
    Command command;
    command.kind = kind;
    command.server = options.server;
    command.email = options.email;
    command.hostRole = options.hostRole;
    return command;
}

std::string hostLine(const HostInfo& host, const std::string& thisDevice) {
    std::string line = host.id == thisDevice ? "  * " : "    ";
    line += host.name.empty() ? std::string("(unnamed)") : host.name;
    line += "  [" + host.id + "]  " + host.platform;
    line += host.online ? "  online" : "  offline";
    if (host.ready) line += ", ready to host";
    if (host.busy) line += ", in a session";
    if (!host.reason.empty()) line += " (" + host.reason + ")";
    return line;
}

}  // namespace

std::string defaultDeviceName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        std::string text(name);
        if (text.size() > kMaxDeviceNameCharacters) text.resize(kMaxDeviceNameCharacters);
        return text;
    }
    return "Linux PC";
}

Frontend::Frontend(app::Controller& controller, std::ostream& out,
                   const volatile std::sig_atomic_t& stop, bool terminal)
    : controller_(controller), out_(out), stop_(stop), terminal_(terminal), last_(controller.snapshot()) {}

int Frontend::run(const CliOptions& options, std::string password) {
    WipeOnExit wipePassword(password);
    switch (options.action) {
        case CliAction::SignUp:
        case CliAction::SignIn:
            return signIn(options, std::move(password));
        case CliAction::Restore: {
            if (!restore(options)) return stop_ ? interrupted() : failed(last_.error);
            if (!last_.error.empty()) return failed(last_.error);
            if (!waitOnline(kHelloTimeoutMs)) {
                return stop_ ? interrupted() : failed(last_.error);
            }
            out_ << "Signed in as " << last_.accountEmail << "; this device is " << last_.deviceId << '\n';
            return finish(kExitSuccess, "OK: " + last_.message);
        }
        case CliAction::SignOut:
            return signOut(options);
        case CliAction::Devices:
            return devices(options);
        case CliAction::Online:
            return online(options);
        case CliAction::Help:
            break;
    }
    return finish(kExitUsage, "Failed: no command");
}

int Frontend::signIn(const CliOptions& options, std::string password) {
    Command command = formCommand(
        options.action == CliAction::SignUp ? CommandKind::SignUp : CommandKind::SignIn, options);
    command.deviceName = options.deviceName.empty() ? defaultDeviceName() : options.deviceName;
    command.password = std::move(password);
    const bool done = runOperation(std::move(command));
    if (!done) return stop_ ? interrupted() : failed(last_.error.empty() ? "Command refused" : last_.error);
    if (!last_.error.empty() || !last_.signedIn) return failed(last_.error);
    if (!waitOnline(kHelloTimeoutMs)) return stop_ ? interrupted() : failed(last_.error);
    out_ << (options.action == CliAction::SignUp ? "Signed up as " : "Signed in as ") << last_.accountEmail
         << "; this device is " << last_.deviceId << '\n';
    return finish(kExitSuccess, "OK: " + last_.message);
}

bool Frontend::restore(const CliOptions& options) {
    if (!runOperation(formCommand(CommandKind::Restore, options))) return false;
    return last_.signedIn;
}

int Frontend::signOut(const CliOptions& options) {
    // The saved sign-in is installed first, so the device can be revoked with its own tokens; a
    // channel that cannot be opened (service down) does not stop the sign-out.
    if (!restore(options)) return stop_ ? interrupted() : failed(last_.error);
    if (!runOperation(formCommand(CommandKind::SignOut, options))) {
        return stop_ ? interrupted() : failed(last_.error.empty() ? "Command refused" : last_.error);
    }
    if (!last_.error.empty()) return failed(last_.error);
    return finish(kExitSuccess, "OK: " + last_.message);
}

int Frontend::devices(const CliOptions& options) {
    if (!restore(options)) return stop_ ? interrupted() : failed(last_.error);
    if (!last_.error.empty()) return failed(last_.error);
    if (!waitOnline(kHelloTimeoutMs)) return stop_ ? interrupted() : failed(last_.error);
    if (!runOperation(formCommand(CommandKind::RefreshDevices, options))) {
        return stop_ ? interrupted() : failed(last_.error.empty() ? "Command refused" : last_.error);
    }
    if (!last_.error.empty()) return failed(last_.error);
    printDevices();
    return finish(kExitSuccess, "OK: " + last_.message);
}

int Frontend::online(const CliOptions& options) {
    if (!restore(options)) return stop_ ? interrupted() : failed(last_.error);

    std::string shownError;
    std::vector<HostInfo> shownHosts;
    bool shownOnline = false;
    bool first = true;
    auto lastReconnect = std::chrono::steady_clock::now();
    while (!stop_) {
        if (first || last_.online != shownOnline) {
            out_ << (last_.online ? "online: yes" : "online: no") << '\n';
            shownOnline = last_.online;
        }
        if (last_.error != shownError) {
            if (!last_.error.empty()) out_ << "error: " << last_.error << '\n';
            shownError = last_.error;
        }
        if (first || last_.hosts != shownHosts) {
            shownHosts = last_.hosts;
            printDevices();
        }
        out_.flush();
        first = false;
        if (!last_.signedIn) return failed(last_.error.empty() ? "Signed out" : last_.error);
        if (controller_.workerStopped()) return failed(last_.error.empty() ? last_.message : last_.error);

        // The Controller reconnects on RefreshDevices once the channel has gone; ask for it
        // periodically rather than leaving the device offline.
        const auto now = std::chrono::steady_clock::now();
        if (!last_.online && !last_.busy && !last_.error.empty() &&
            now - lastReconnect >= std::chrono::milliseconds(kReconnectIntervalMs)) {
            lastReconnect = now;
            controller_.post(formCommand(CommandKind::RefreshDevices, options));
        }
        sleepTick();
        poll();
    }
    stopController();
    return finish(kExitSuccess, "OK: Stopped");
}

bool Frontend::runOperation(Command command) {
    const std::uint64_t before = controller_.snapshot().completedOperations;
    wipe(last_.error);
    if (!controller_.post(std::move(command))) {
        poll();
        return false;
    }
    for (;;) {
        poll();
        if (last_.completedOperations != before) return true;
        if (stop_) return false;
        sleepTick();
    }
}

bool Frontend::waitOnline(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        poll();
        if (last_.online) return true;
        if (!last_.error.empty() || !last_.signedIn || stop_ || controller_.workerStopped()) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            last_.error = "Device signaling hello did not arrive within " + std::to_string(timeoutMs / 1000) + " s";
            return false;
        }
        sleepTick();
    }
}

void Frontend::poll() {
    last_ = controller_.snapshot();
    if (!last_.message.empty() && last_.message != printedMessage_) {
        out_ << "status: " << last_.message << '\n';
        out_.flush();
        printedMessage_ = last_.message;
    }
}

void Frontend::sleepTick() {
    if (!stop_) std::this_thread::sleep_for(kPollInterval);
}

void Frontend::printDevices() {
    out_ << "devices: " << last_.hosts.size() << '\n';
    for (const HostInfo& host : last_.hosts) out_ << hostLine(host, last_.deviceId) << '\n';
}

int Frontend::finish(int status, const std::string& verdict) {
    stopController();
    if (stop_ && terminal_) out_ << '\n';  // after the echoed "^C"
    out_ << verdict << '\n';
    out_.flush();
    return status;
}

void Frontend::stopController() {
    if (controller_.workerStopped()) return;
    controller_.requestStop();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
    while (!controller_.workerStopped() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace murel
