// session_bench: two `murel` processes in a session through a real murel-control on loopback
// (direct UDP between the peers), measured on this machine's one steady clock:
//   - glass to glass: the host's synthetic scene stamps each picture with its capture time; the
//     recording viewer logs when it presented it (1280x720@30 and 1920x1080@30);
//   - connect to first picture, as the viewer reports it;
//   - input: a key pressed on the viewer's display (XTest) until the host's display delivers it to
//     a window there.
//
// Usage: session_bench --murel PATH --control PATH [--seconds N] [--keys N]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "ChildProcess.hpp"
#include "XvfbDisplay.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

namespace fs = std::filesystem;
using murel::test::ChildProcess;
using murel::test::XvfbDisplay;
using namespace std::chrono_literals;

constexpr const char* kPassword = "session-bench-password";
constexpr const char* kEmail = "bench@example.com";
constexpr const char* kHostName = "Bench Host";

std::string murelPath;
std::string controlPath;

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

fs::path scratch(const std::string& name) {
    const fs::path path = fs::temp_directory_path() / ("murel-session-bench-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

struct Service {
    std::unique_ptr<ChildProcess> process;
    std::string origin;
};

Service startControl() {
    Service service;
    service.process = std::make_unique<ChildProcess>(std::vector<std::string>{
        controlPath, "--listen", "127.0.0.1:0", "--data", scratch("control").string(), "--test-fast-hashes"});
    const auto line = service.process->waitForLine("listening on ", 30s);
    if (!line) throw std::runtime_error("murel-control did not start:\n" + service.process->output());
    const std::smatch match = [&] {
        std::smatch m;
        static const std::regex pattern(R"(listening on (127\.0\.0\.1:\d+))");
        std::regex_search(*line, m, pattern);
        return m;
    }();
    if (match.empty()) throw std::runtime_error("murel-control did not say where it listens: " + *line);
    service.origin = "http://" + match[1].str();
    return service;
}

void signIn(const std::string& origin, const fs::path& data, const std::string& action, const std::string& name,
            bool host) {
    std::vector<std::string> args = {murelPath, action, "--server", origin, "--email", kEmail, "--name", name};
    if (host) args.push_back("--host");
    const auto done = murel::test::runToEnd(args, {{"XDG_DATA_HOME", data.string()}}, std::string(kPassword) + "\n");
    if (done.status != 0) throw std::runtime_error(action + " failed:\n" + done.output);
}

struct Devices {
    fs::path host = scratch("host-device");
    fs::path viewer = scratch("viewer-device");
};

std::unique_ptr<ChildProcess> startHost(const Service& service, const Devices& devices, const std::string& display,
                                        const std::string& scene) {
    auto host = std::make_unique<ChildProcess>(
        std::vector<std::string>{murelPath, "host", "--server", service.origin, "--email", kEmail, "--synthetic",
                                 "--scene", scene},
        std::map<std::string, std::string>{{"XDG_DATA_HOME", devices.host.string()}, {"DISPLAY", display}});
    if (!host->waitFor("Hosting as", 60s)) throw std::runtime_error("the host did not start:\n" + host->output());
    return host;
}

void stop(ChildProcess& process) {
    process.signal(SIGINT);
    if (!process.waitExit(20s)) process.signal(SIGKILL);
    process.waitExit(20s);
}

std::optional<double> firstPictureMs(const ChildProcess& viewer) {
    const auto line = viewer.waitForLine("First picture ", 1s);
    if (!line) return std::nullopt;
    return std::stod(line->substr(std::string("First picture ").size()));
}

struct GlassResult {
    std::vector<double> latencyMs;
    double fps = 0;
    std::optional<double> firstMs;
};

GlassResult glassToGlass(const Service& service, const Devices& devices, int width, int height, int seconds) {
    XvfbDisplay display(640, 360);
    const std::string mode = std::to_string(width) + "x" + std::to_string(height) + "@30";
    auto host = startHost(service, devices, display.name(), mode);
    const fs::path record = scratch("record-" + mode);
    ChildProcess viewer({murelPath, "view", kHostName, "--server", service.origin, "--email", kEmail, "--record",
                         record.string(), "--mode", mode},
                        {{"XDG_DATA_HOME", devices.viewer.string()}});
    GlassResult result;
    if (!viewer.waitFor("Stream: " + mode, 60s)) {
        throw std::runtime_error("the mode was not applied:\n" + viewer.output() + "\n--- host ---\n" + host->output());
    }
    result.firstMs = firstPictureMs(viewer);
    // Let the new stream settle, then measure what is presented from here on.
    std::this_thread::sleep_for(1s);
    const auto countLines = [&] {
        std::ifstream log(record / "presented.log");
        std::size_t lines = 0;
        std::string line;
        while (std::getline(log, line)) ++lines;
        return lines;
    };
    const std::size_t start = countLines();
    const std::int64_t startNs = steadyNs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const std::int64_t endNs = steadyNs();
    stop(viewer);
    stop(*host);

    std::ifstream log(record / "presented.log");
    std::string line;
    std::size_t index = 0;
    std::size_t counted = 0;
    static const std::regex pattern(R"(presented_ns=(\d+) frame=\d+ capture_ns=\d+ latency_us=(\d+))");
    while (std::getline(log, line)) {
        if (index++ < start) continue;
        std::smatch match;
        if (!std::regex_search(line, match, pattern)) continue;
        const std::int64_t presented = std::stoll(match[1]);
        if (presented > endNs) break;
        result.latencyMs.push_back(std::stod(match[2]) / 1000.0);
        ++counted;
    }
    result.fps = static_cast<double>(counted) * 1e9 / static_cast<double>(endNs - startNs);
    fs::remove_all(record);
    return result;
}

// A window on the host's display that takes the keyboard and reports key presses.
class KeyWatcher {
public:
    explicit KeyWatcher(const std::string& name) {
        display_ = XOpenDisplay(name.c_str());
        if (display_ == nullptr) throw std::runtime_error("cannot open " + name);
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = KeyPressMask | KeyReleaseMask;
        window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 64, 64, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(display_, window_);
        XSync(display_, False);
        XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
        XSync(display_, False);
    }
    ~KeyWatcher() {
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
    }
    // The steady time a press (or release) arrived, or nothing within the timeout.
    std::optional<std::int64_t> wait(bool press, std::chrono::milliseconds timeout) {
        const std::int64_t deadline = steadyNs() + std::chrono::nanoseconds(timeout).count();
        for (;;) {
            while (XPending(display_) > 0) {
                XEvent event{};
                XNextEvent(display_, &event);
                if (event.type == (press ? KeyPress : KeyRelease)) return steadyNs();
            }
            const std::int64_t left = deadline - steadyNs();
            if (left <= 0) return std::nullopt;
            pollfd fd{ConnectionNumber(display_), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left / 1000000 + 1));
        }
    }

private:
    Display* display_ = nullptr;
    Window window_ = 0;
};

struct InputResult {
    std::vector<double> latencyMs;
    int lost = 0;
};

InputResult inputLatency(const Service& service, const Devices& devices, int keys) {
    XvfbDisplay hostDisplay(640, 360);
    XvfbDisplay viewerDisplay(640, 360);
    auto host = startHost(service, devices, hostDisplay.name(), "640x360@30");
    ChildProcess viewer({murelPath, "view", kHostName, "--server", service.origin, "--email", kEmail},
                        {{"XDG_DATA_HOME", devices.viewer.string()}, {"DISPLAY", viewerDisplay.name()}});
    if (!viewer.waitFor("status: Remote video presented", 60s)) {
        throw std::runtime_error("no picture:\n" + viewer.output());
    }
    KeyWatcher watcher(hostDisplay.name());
    Display* user = XOpenDisplay(viewerDisplay.name().c_str());
    if (user == nullptr) throw std::runtime_error("cannot open the viewer's display");
    // A click in the picture gives the viewer the keyboard.
    XTestFakeMotionEvent(user, 0, 320, 180, CurrentTime);
    XTestFakeButtonEvent(user, 1, True, CurrentTime);
    XTestFakeButtonEvent(user, 1, False, CurrentTime);
    XSync(user, False);
    std::this_thread::sleep_for(500ms);
    const unsigned keycode = XKeysymToKeycode(user, XK_f);

    InputResult result;
    for (int i = 0; i < keys; ++i) {
        while (watcher.wait(true, 0ms)) {
        }
        const std::int64_t sent = steadyNs();
        XTestFakeKeyEvent(user, keycode, True, CurrentTime);
        XFlush(user);
        const auto arrived = watcher.wait(true, 2s);
        XTestFakeKeyEvent(user, keycode, False, CurrentTime);
        XFlush(user);
        watcher.wait(false, 2s);
        if (arrived) {
            result.latencyMs.push_back(static_cast<double>(*arrived - sent) / 1e6);
        } else {
            ++result.lost;
        }
        std::this_thread::sleep_for(20ms);
    }
    XCloseDisplay(user);
    stop(viewer);
    stop(*host);
    return result;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    std::string five;
    std::string fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 10;
    int keys = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--murel") murelPath = argv[i + 1];
        else if (key == "--control") controlPath = argv[i + 1];
        else if (key == "--seconds") seconds = std::atoi(argv[i + 1]);
        else if (key == "--keys") keys = std::atoi(argv[i + 1]);
    }
    if (murelPath.empty() || controlPath.empty() || seconds < 1 || keys < 1) {
        std::fprintf(stderr, "usage: session_bench --murel PATH --control PATH [--seconds N] [--keys N]\n");
        return 2;
    }
    try {
        std::printf("load average before: %s\n", loadAverage().c_str());
        Service service = startControl();
        Devices devices;
        signIn(service.origin, devices.host, "signup", kHostName, true);
        signIn(service.origin, devices.viewer, "signin", "Bench Viewer", false);

        std::vector<double> firsts;
        // 640x360 is the baseline: what the pipeline costs apart from the work per pixel.
        for (const auto& [width, height] : std::vector<std::pair<int, int>>{{640, 360}, {1280, 720}, {1920, 1080}}) {
            const GlassResult glass = glassToGlass(service, devices, width, height, seconds);
            if (glass.firstMs) firsts.push_back(*glass.firstMs);
            std::printf("glass to glass %dx%d@30: p50 %.1f ms, p95 %.1f ms, p99 %.1f ms, %zu pictures, %.1f presented/s\n",
                        width, height, percentile(glass.latencyMs, 0.5), percentile(glass.latencyMs, 0.95),
                        percentile(glass.latencyMs, 0.99), glass.latencyMs.size(), glass.fps);
            std::fflush(stdout);
        }
        const InputResult input = inputLatency(service, devices, keys);
        std::printf("input, key on the viewer's display to the host's window: p50 %.2f ms, p95 %.2f ms, p99 %.2f ms, "
                    "%zu keys, %d lost\n",
                    percentile(input.latencyMs, 0.5), percentile(input.latencyMs, 0.95),
                    percentile(input.latencyMs, 0.99), input.latencyMs.size(), input.lost);
        std::printf("connect to first picture: ");
        for (const double ms : firsts) std::printf("%.0f ms ", ms);
        std::printf("\nload average after: %s\n", loadAverage().c_str());
        stop(*service.process);
        for (const fs::path& folder : {devices.host, devices.viewer, scratch("control")}) fs::remove_all(folder);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "session_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
