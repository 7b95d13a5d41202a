#include "Frontend.hpp"

#include <chrono>
#include <thread>
#include <utility>

#include <unistd.h>

#include "app/ControllerText.hpp"
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
// A host whose hosting was switched off by a failed session or probe enables it again after this.
constexpr int kRehostIntervalMs = 2000;
// How long `view` waits for its host to be online and ready.
constexpr int kHostReadyTimeoutMs = 30000;
// How long ending a session or hosting may take before the worker is stopped anyway.
constexpr int kEndTimeoutMs = 10000;

Command formCommand(CommandKind kind, const CliOptions& options) {
    Command command;
    command.kind = kind;
    command.server = options.server;
    command.email = options.email;
    command.hostRole = options.hostRole;
    return command;
}

std::string modeText(std::int32_t width, std::int32_t height, std::int32_t fps) {
    return std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(fps);
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

Frontend::Frontend(app::Controller& controller, std::ostream& out, const volatile std::sig_atomic_t& stop,
                   bool terminal, FrontendServices services)
    : controller_(controller),
      out_(out),
      stop_(stop),
      terminal_(terminal),
      services_(std::move(services)),
      printer_(out, terminal),
      last_(controller.snapshot()) {}

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
        case CliAction::Host:
            return host(options);
        case CliAction::View:
            return view(options);
        case CliAction::Help:
            break;
    }
    return finish(kExitUsage, "Failed: no command");
}

int Frontend::signIn(const CliOptions& options, std::string password) {
    if (!signInOnly(options, std::move(password))) return stop_ ? interrupted() : failed(last_.error);
    out_ << (options.action == CliAction::SignUp ? "Signed up as " : "Signed in as ") << last_.accountEmail
         << "; this device is " << last_.deviceId << '\n';
    return finish(kExitSuccess, "OK: " + last_.message);
}

bool Frontend::signInOnly(const CliOptions& options, std::string password) {
    Command command = formCommand(
        options.action == CliAction::SignUp ? CommandKind::SignUp : CommandKind::SignIn, options);
    command.deviceName = options.deviceName.empty() ? defaultDeviceName() : options.deviceName;
    command.password = std::move(password);
    const bool done = runOperation(std::move(command));
    if (!done) {
        if (last_.error.empty()) last_.error = "Command refused";
        return false;
    }
    if (!last_.error.empty() || !last_.signedIn) return false;
    return waitOnline(kHelloTimeoutMs);
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


std::int64_t Frontend::nowMs() const {
    if (services_.clockMs) return services_.clockMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Frontend::showFigures(bool host) {
    const std::int64_t now = nowMs();
    LiveFigures figures;
    figures.host = host;
    if (host && !last_.sessionActive) {
        printer_.live(last_.hostReady ? "ready, waiting for a viewer" : "not ready", now);
        return;
    }
    figures.decodeFps = last_.decodeFps;
    figures.presentFps = last_.presentFps;
    if (last_.videoCodecKnown) figures.codec = last_.videoCodec;
    figures.width = last_.decodedWidth;
    figures.height = last_.decodedHeight;
    if (last_.sessionActive) figures.modeFps = last_.streamConfiguration.fps;
    printer_.live(formatFigures(figures), now);
}

void Frontend::showStreamMode(std::string& shown) {
    if (!last_.sessionActive) return;
    const StreamConfiguration& c = last_.streamConfiguration;
    const std::string mode = modeText(c.width, c.height, c.fps);
    if (mode == shown) return;
    printer_.line("Stream: " + mode);
    shown = mode;
}

int Frontend::host(const CliOptions& options) {
    if (!restore(options)) {
        if (stop_) return interrupted();
        if (last_.error != app::text::kNoSavedCredential || !services_.askPassword) return failed(last_.error);
        // Nothing saved for the host profile yet: sign in once and register this device as a host.
        printer_.line("No saved sign-in for hosting; signing in to register this device as a host");
        std::string password;
        try {
            password = services_.askPassword();
        } catch (const std::exception& e) {
            return stop_ ? interrupted() : failed(e.what());
        }
        CliOptions signInOptions = options;
        signInOptions.action = CliAction::SignIn;
        signInOptions.hostRole = true;
        if (!signInOnly(signInOptions, std::move(password))) return stop_ ? interrupted() : failed(last_.error);
    } else {
        if (!last_.error.empty()) return failed(last_.error);
        if (!waitOnline(kHelloTimeoutMs)) return stop_ ? interrupted() : failed(last_.error);
    }
    if (!last_.hostProfile) return failed("This device is signed in without the host profile; sign in with --host");

    Command enable(CommandKind::EnableHosting);
    if (!runOperation(std::move(enable))) {
        return stop_ ? interrupted() : failed(last_.error.empty() ? "Command refused" : last_.error);
    }
    if (!last_.error.empty() || !last_.hostReady) return failed(last_.error);
    printer_.line("Hosting as " + (last_.deviceName.empty() ? last_.deviceId : last_.deviceName) + " [" +
                  last_.deviceId + "]; Ctrl-C stops");

    std::string shownError;
    std::string shownMode;
    bool wasInSession = false;
    std::int64_t lastAttempt = nowMs();
    while (!stop_) {
        if (last_.error != shownError) {
            if (!last_.error.empty()) printer_.line("error: " + last_.error);
            shownError = last_.error;
        }
        if (last_.sessionActive != wasInSession) {
            wasInSession = last_.sessionActive;
            bitRate_.reset();
            sentRate_.reset();
            shownMode.clear();
        }
        showStreamMode(shownMode);
        if (!last_.signedIn) return failed(last_.error.empty() ? "Signed out" : last_.error);
        if (controller_.workerStopped()) return failed(last_.error.empty() ? last_.message : last_.error);
        showFigures(true);

        // A failed session or probe switches hosting off and a lost channel takes the device
        // offline; a host left running is expected to come back by itself.
        const std::int64_t now = nowMs();
        if (!last_.busy && now - lastAttempt >= (last_.online ? kRehostIntervalMs : kReconnectIntervalMs)) {
            if (!last_.online) {
                lastAttempt = now;
                controller_.post(formCommand(CommandKind::RefreshDevices, options));
            } else if (!last_.hostReady && !last_.sessionActive && !last_.reservationPending) {
                lastAttempt = now;
                printer_.line("Enabling hosting again");
                controller_.post(Command(CommandKind::EnableHosting));
            }
        }
        sleepTick();
        poll();
    }

    // Ending hosting first tells the viewer's side through the service and the host list at once.
    const std::uint64_t before = last_.completedOperations;
    if (last_.signedIn && last_.online && controller_.post(Command(CommandKind::DisableHosting))) {
        const std::int64_t deadline = nowMs() + kEndTimeoutMs;
        while (controller_.snapshot().completedOperations == before && nowMs() < deadline) {
            std::this_thread::sleep_for(kPollInterval);
        }
        poll();
    }
    return finish(kExitSuccess, "OK: Stopped");
}

std::optional<HostInfo> Frontend::findReadyHost(const CliOptions& options, std::string& verdict) {
    const std::int64_t deadline = nowMs() + kHostReadyTimeoutMs;
    std::string waitingShown;
    for (;;) {
        if (!runOperation(formCommand(CommandKind::RefreshDevices, options))) {
            verdict = last_.error.empty() ? "Command refused" : last_.error;
            return std::nullopt;
        }
        if (!last_.error.empty()) {
            verdict = last_.error;
            return std::nullopt;
        }
        std::vector<HostInfo> named;
        std::optional<HostInfo> match;
        for (const HostInfo& host : last_.hosts) {
            if (host.id == options.device) match = host;
            if (host.name == options.device) named.push_back(host);
        }
        if (!match && named.size() > 1) {
            verdict = std::to_string(named.size()) + " devices are named '" + options.device +
                      "'; give the id instead (murel devices lists them)";
            return std::nullopt;
        }
        if (!match && named.size() == 1) match = named.front();
        if (match && match->id == last_.deviceId) {
            verdict = "'" + options.device + "' is this device";
            return std::nullopt;
        }
        if (match && match->online && match->ready && !match->busy) return match;

        std::string waiting;
        if (!match) {
            waiting = "No device named '" + options.device + "' (or with that id) in this account";
        } else if (!match->online) {
            waiting = "'" + options.device + "' is offline";
        } else if (match->busy) {
            waiting = "'" + options.device + "' is in another session";
        } else {
            waiting = "'" + options.device + "' is not ready to host" +
                      (match->reason.empty() ? std::string() : " (" + match->reason + ")");
        }
        if (nowMs() >= deadline || stop_) {
            verdict = waiting;
            return std::nullopt;
        }
        if (waiting != waitingShown) {
            printer_.line(waiting + "; waiting");
            waitingShown = waiting;
        }
        // The device list is refreshed by asking again; a second is often enough for a host that
        // is starting.
        for (int i = 0; i < 20 && !stop_; ++i) sleepTick();
    }
}

void Frontend::requestMode(const std::optional<PictureSize>& mode) {
    if (!last_.sessionActive || !last_.hostStreamSettingsKnown || !last_.hostStreamModes ||
        last_.hostStreamModes->modes.empty()) {
        printer_.line("The host has not advertised its stream modes yet");
        return;
    }
    const std::vector<StreamMode>& modes = last_.hostStreamModes->modes;
    std::optional<StreamMode> chosen;
    if (mode) {
        for (const StreamMode& offered : modes) {
            if (offered.width == mode->width && offered.height == mode->height && offered.fps == mode->fps) {
                chosen = offered;
            }
        }
        if (!chosen) {
            std::string list;
            for (const StreamMode& offered : modes) {
                list += (list.empty() ? "" : ", ") + modeText(offered.width, offered.height, offered.fps);
            }
            printer_.line("error: the host does not offer " + modeText(mode->width, mode->height, mode->fps) +
                          "; it offers " + list);
            return;
        }
    } else {
        // The mode after the current configuration in the host's list, wrapping around.
        const StreamConfiguration& current = last_.streamConfiguration;
        std::size_t next = 0;
        for (std::size_t i = 0; i < modes.size(); ++i) {
            if (modes[i].width == current.width && modes[i].height == current.height && modes[i].fps == current.fps) {
                next = (i + 1) % modes.size();
            }
        }
        chosen = modes[next];
    }
    StreamConfiguration configuration;
    configuration.width = chosen->width;
    configuration.height = chosen->height;
    configuration.fps = chosen->fps;
    configuration.maxBitrateBps = chosen->maxBitrateBps;
    configuration.hasHeight = true;
    Command command(CommandKind::ApplyStreamSettings);
    command.streamConfiguration = configuration;
    printer_.line("Asking the host for " + modeText(chosen->width, chosen->height, chosen->fps));
    if (!controller_.post(std::move(command))) printer_.line("error: the stream settings request was refused");
}

int Frontend::view(const CliOptions& options) {
    if (!restore(options)) return stop_ ? interrupted() : failed(last_.error);
    if (!last_.error.empty()) return failed(last_.error);
    if (!waitOnline(kHelloTimeoutMs)) return stop_ ? interrupted() : failed(last_.error);

    std::string verdict;
    const std::optional<HostInfo> target = findReadyHost(options, verdict);
    if (!target) return stop_ ? interrupted() : failed(verdict);
    const std::string hostName = target->name.empty() ? target->id : target->name;

    bool modeWanted = false;
    std::unique_ptr<ViewerWindow> window;
    if (!options.recordDir) {
        if (!services_.openWindow) return failed("No window system here; use --record DIR");
        ViewerWindowOptions windowOptions;
        if (options.window) {
            windowOptions.width = options.window->width;
            windowOptions.height = options.window->height;
        }
        windowOptions.title = "Murel: " + hostName;
        ViewerWindowHandlers handlers;
        handlers.post = [this](Command command) { return controller_.post(std::move(command)); };
        handlers.nextMode = [&modeWanted] { modeWanted = true; };
        try {
            window = services_.openWindow(windowOptions, std::move(handlers));
        } catch (const std::exception& e) {
            return failed(e.what());
        }
        window->startViewing();
    }

    Command connect(CommandKind::Connect);
    connect.hostId = target->id;
    connect.surface = window ? window->surface() : 0;
    const std::int64_t connectAt = nowMs();
    printer_.line("Connecting to " + hostName + " [" + target->id + "]");
    if (!runOperation(std::move(connect))) {
        return stop_ ? interrupted() : failed(last_.error.empty() ? "Command refused" : last_.error);
    }
    if (!last_.error.empty()) return failed(last_.error);

    std::string shownError;
    std::string shownMode;
    bool sessionSeen = false;
    bool firstPicture = false;
    bool modeAsked = false;
    bool closing = false;
    std::uint64_t endBefore = 0;
    std::int64_t endDeadline = 0;
    for (;;) {
        if (window && !window->closed()) {
            window->pump(kPollInterval);
        } else {
            std::this_thread::sleep_for(kPollInterval);
        }
        poll();
        if (window && !window->closed()) {
            window->update(last_);
            window->setTitle("Murel: " + hostName + (last_.viewerInputActive ? "" : " (" + last_.message + ")"));
        }
        if (last_.error != shownError) {
            if (!last_.error.empty()) printer_.line("error: " + last_.error);
            shownError = last_.error;
        }
        if (last_.sessionActive || last_.reservationPending) sessionSeen = true;
        showStreamMode(shownMode);
        if (!firstPicture && last_.framesPresented > 0) {
            firstPicture = true;
            printer_.line("First picture " + std::to_string(nowMs() - connectAt) + " ms after connecting");
        }
        if (options.mode && !modeAsked && firstPicture && last_.hostStreamSettingsKnown && last_.hostStreamModes) {
            modeAsked = true;
            requestMode(options.mode);
        }
        if (modeWanted) {
            modeWanted = false;
            requestMode(std::nullopt);
        }
        if (controller_.workerStopped()) return failed(last_.error.empty() ? last_.message : last_.error);

        const bool ended = !last_.sessionActive && !last_.reservationPending && !last_.busy;
        if (closing) {
            if (last_.completedOperations != endBefore || nowMs() >= endDeadline) {
                return finish(kExitSuccess, "OK: " + (last_.message.empty() ? std::string("Session ended") : last_.message));
            }
            continue;
        }
        if (sessionSeen && ended) {
            if (!last_.error.empty()) return failed(last_.error);
            return finish(kExitSuccess, "OK: " + last_.message);
        }
        if (!sessionSeen && ended && !last_.error.empty()) return failed(last_.error);
        if ((window && window->closed()) || stop_) {
            // Closing the window (or Ctrl-C) ends the session, telling the service.
            closing = true;
            endBefore = last_.completedOperations;
            endDeadline = nowMs() + kEndTimeoutMs;
            if (!controller_.post(Command(CommandKind::EndSession))) {
                return finish(kExitFailure, "Failed: the session could not be ended");
            }
            continue;
        }
        if (last_.sessionActive) showFigures(false);
    }
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
        printer_.line("status: " + last_.message);
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
    printer_.end();
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
