// murel: the command-line front end of the Linux program.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "CommandLine.hpp"
#include "Frontend.hpp"
#include "LinuxPlatform.hpp"
#include "PasswordInput.hpp"
#include "ViewerWindow.hpp"
#include "XTestInputSink.hpp"
#include "app/Controller.hpp"
#include "protocol/Wipe.hpp"
#include "rtc/Log.hpp"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int) { stopSignal = 1; }

// SIGINT and SIGTERM only raise the flag that the password prompt and the front end watch.
void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

// The password of signup and signin. On a terminal a new account's password is asked twice, since
// a typing error cannot be seen.
std::string askPassword(const murel::CliOptions& options) {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    int promptFd = STDERR_FILENO;
    int tty = -1;
    if (terminal) {
        tty = ::open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (tty >= 0) promptFd = tty;
    }
    struct CloseTty {
        int fd;
        ~CloseTty() {
            if (fd >= 0) ::close(fd);
        }
    } closeTty{tty};

    std::string password = murel::readPassword(STDIN_FILENO, promptFd, "Password for " + options.email + ": ", &stopSignal);
    if (terminal && options.action == murel::CliAction::SignUp) {
        std::string again;
        try {
            again = murel::readPassword(STDIN_FILENO, promptFd, "Repeat the password: ", &stopSignal);
        } catch (...) {
            murel::wipe(password);
            throw;
        }
        const bool same = again == password;
        murel::wipe(again);
        if (!same) {
            murel::wipe(password);
            throw murel::PasswordInputError("The passwords do not match");
        }
    }
    return password;
}

// The platform of this run: the session commands choose their media (and the host its input sink).
murel::app::Platform makePlatform(const murel::CliOptions& options) {
    murel::LinuxPlatformOptions platformOptions;
    murel::LinuxMediaOptions& media = platformOptions.media;
    if (options.synthetic) {
        media.capture = murel::LinuxMediaOptions::Capture::Synthetic;
        if (options.scene) {
            media.scene.width = static_cast<std::uint32_t>(options.scene->width);
            media.scene.height = static_cast<std::uint32_t>(options.scene->height);
            if (options.scene->fps > 0) media.scene.refreshRate = static_cast<std::uint32_t>(options.scene->fps);
        }
    }
    if (options.recordDir) {
        std::error_code error;
        std::filesystem::create_directories(*options.recordDir, error);
        if (error) throw std::runtime_error("Cannot create " + *options.recordDir + ": " + error.message());
        media.recordTo = std::filesystem::path(*options.recordDir);
    }
    murel::app::Platform platform = murel::makeLinuxPlatform(std::move(platformOptions));
    if (options.relayOnly) {
        platform.makePeer = [inner = std::move(platform.makePeer)](murel::PeerOptions peer) {
            peer.relayOnly = true;
            return inner(std::move(peer));
        };
    }
    // The host injects the viewer's input into $DISPLAY. A synthetic host without a display has
    // nowhere to put it and runs without; otherwise a display that cannot take input is an error.
    if (options.action == murel::CliAction::Host) {
        const char* display = std::getenv("DISPLAY");
        if (!options.synthetic || (display != nullptr && display[0] != '\0')) {
            platform.inputSink = std::make_shared<murel::XTestInputSink>();
        }
    }
    return platform;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    murel::CliOptions options;
    try {
        options = murel::parseCommandLine(args);
    } catch (const murel::UsageError& e) {
        std::cerr << "murel: " << e.what() << "\nTry 'murel --help'.\n";
        return murel::kExitUsage;
    }
    if (options.action == murel::CliAction::Help) {
        std::cout << murel::cliUsage();
        return murel::kExitSuccess;
    }
    if (options.verbose) {
        rtc::setLogSink(rtc::LogLevel::Debug, [](rtc::LogLevel level, std::string_view text) {
            // One write per line, so lines from the layer's threads do not interleave.
            std::string line = "murel: rtc ";
            line.append(rtc::toString(level)).append(": ").append(text).append("\n");
            std::cerr << line << std::flush;
        });
    }

    // Before any X11 call: the viewer window, the presenter and the input sink each run on a
    // thread of their own.
    if (options.action == murel::CliAction::Host || options.action == murel::CliAction::View) murel::initX11Threads();

    installSignalHandlers();
    std::string password;
    if (murel::actionNeedsPassword(options.action)) {
        try {
            password = askPassword(options);
        } catch (const murel::PasswordInterrupted&) {
            std::cout << "\nFailed: Interrupted" << std::endl;
            return murel::kExitInterrupted;
        } catch (const std::exception& e) {
            std::cout << "Failed: " << e.what() << std::endl;
            return murel::kExitFailure;
        }
    }

    try {
        murel::app::Controller controller(makePlatform(options));
        murel::FrontendServices services;
        services.askPassword = [&options] {
            murel::CliOptions signIn = options;
            signIn.action = murel::CliAction::SignIn;
            return askPassword(signIn);
        };
        services.openWindow = murel::makeX11ViewerWindow;
        murel::Frontend frontend(controller, std::cout, stopSignal, ::isatty(STDOUT_FILENO) == 1, std::move(services));
        return frontend.run(options, std::move(password));
    } catch (const std::exception& e) {
        murel::wipe(password);
        std::cout << "Failed: " << e.what() << std::endl;
        return murel::kExitFailure;
    }
}
