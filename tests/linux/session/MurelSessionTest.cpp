// Two `murel` processes in a session through a real murel-control on loopback: a host on one
// private X display sending its synthetic scene, a viewer on another showing it in its window (or
// recording it), xdotool acting as the viewer's user, and a client of the host's display reading
// what arrives there.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.hpp"
#include "ControlProcess.hpp"
#include "Coturn.hpp"
#include "SyntheticScene.hpp"
#include "XProbe.hpp"
#include "XReader.hpp"
#include "XvfbDisplay.hpp"

namespace murel::test {

// XReader's header brings the input behaviour suite; its typed cases run in the XTest sink's tests.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SinkBehaviour);

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kPassword = "session-test-password";
constexpr const char* kHostName = "Session Host";
constexpr int kWidth = 640;  // small pictures keep the suite fast on two cores
constexpr int kHeight = 360;
constexpr auto kLong = 60s;  // generous: CI shares two cores with everything else

constexpr const char* kPresented = "status: Remote video presented";

// One account with two devices, each in its own data folder, on one murel-control.
struct Account {
    std::string email;
    fs::path hostData;
    fs::path viewerData;
};

fs::path scratch(const std::string& name) {
    static int counter = 0;
    const fs::path path = fs::path(::testing::TempDir()) /
                          ("murel-session-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + name);
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

Account makeAccount(const std::string& origin, const std::string& email) {
    Account account{email, scratch("host-device"), scratch("viewer-device")};
    const auto host = runToEnd({MUREL_BINARY, "signup", "--server", origin, "--email", email, "--name", kHostName, "--host"},
                               {{"XDG_DATA_HOME", account.hostData.string()}}, std::string(kPassword) + "\n");
    if (host.status != 0) throw std::runtime_error("host signup failed:\n" + host.output);
    const auto viewer = runToEnd({MUREL_BINARY, "signin", "--server", origin, "--email", email, "--name", "Session Viewer"},
                                 {{"XDG_DATA_HOME", account.viewerData.string()}}, std::string(kPassword) + "\n");
    if (viewer.status != 0) throw std::runtime_error("viewer signin failed:\n" + viewer.output);
    return account;
}

std::unique_ptr<ChildProcess> startHost(const std::string& origin, const Account& account, const XvfbDisplay& display,
                                        std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {MUREL_BINARY, "host", "--server", origin, "--email", account.email, "--synthetic",
                                     "--scene", std::to_string(kWidth) + "x" + std::to_string(kHeight) + "@30"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<ChildProcess>(
        args, std::map<std::string, std::string>{{"XDG_DATA_HOME", account.hostData.string()}, {"DISPLAY", display.name()}});
}

std::unique_ptr<ChildProcess> startViewer(const std::string& origin, const Account& account, const XvfbDisplay& display,
                                          std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {MUREL_BINARY, "view", kHostName, "--server", origin, "--email", account.email};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<ChildProcess>(
        args, std::map<std::string, std::string>{{"XDG_DATA_HOME", account.viewerData.string()}, {"DISPLAY", display.name()}});
}

// xdotool on a display, as the user at that display.
void xdotool(const XvfbDisplay& display, std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/xdotool");
    const auto done = runToEnd(args, {{"DISPLAY", display.name()}}, {}, 30s);
    ASSERT_EQ(done.status, 0) << done.output;
}

// Reads what arrives on the host's display until `enough` holds or the time is up.
std::vector<Arrived> collect(XReader& reader, const std::function<bool(const std::vector<Arrived>&)>& enough,
                             std::chrono::milliseconds timeout = 20s) {
    std::vector<Arrived> arrived;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!enough(arrived) && std::chrono::steady_clock::now() < deadline) reader.read(arrived, 200ms);
    return arrived;
}

bool hasButton(const std::vector<Arrived>& arrived, Arrived::Kind kind) {
    return std::any_of(arrived.begin(), arrived.end(), [&](const Arrived& a) { return a.kind == kind && a.button == 0; });
}

// Frame numbers of presented.log, in the order presented.
std::vector<std::uint32_t> recordedFrames(const fs::path& folder, std::vector<std::string>* sizes = nullptr) {
    std::ifstream log(folder / "presented.log");
    std::vector<std::uint32_t> frames;
    std::string line;
    const std::regex pattern(R"(^\d+ (\d+x\d+) presented_ns=\d+ frame=(\d+) )");
    while (std::getline(log, line)) {
        std::smatch match;
        if (!std::regex_search(line, match, pattern)) continue;
        frames.push_back(static_cast<std::uint32_t>(std::stoul(match[2])));
        if (sizes) sizes->push_back(match[1]);
    }
    return frames;
}

// What coturn's log says about the sessions it relayed: successful allocations and the bytes it
// received from peers through them ("rb=" of its usage reports, which are cumulative per session).
struct TurnUse {
    int allocations = 0;
    int sessionsReported = 0;
    std::uint64_t peerBytes = 0;
    std::string log;
};

TurnUse turnUse(const fs::path& file) {
    TurnUse use;
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    use.log = text.str();
    std::map<std::string, std::uint64_t> perSession;
    const std::regex usage(R"(session (\d+): usage: .*rb=(\d+))");
    std::istringstream lines(use.log);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("ALLOCATE processed, success") != std::string::npos) ++use.allocations;
        std::smatch match;
        if (std::regex_search(line, match, usage)) {
            perSession[match[1]] = std::max<std::uint64_t>(perSession[match[1]], std::stoull(match[2]));
        }
    }
    use.sessionsReported = static_cast<int>(perSession.size());
    for (const auto& [session, bytes] : perSession) use.peerBytes += bytes;
    return use;
}

// coturn writes an allocation's usage when it closes it, a moment after the client's last refresh:
// read the log again until every allocation has reported, or the time is up.
TurnUse waitTurnUse(const fs::path& file, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        TurnUse use = turnUse(file);
        if ((use.allocations > 0 && use.sessionsReported >= use.allocations) ||
            std::chrono::steady_clock::now() >= deadline) {
            return use;
        }
        std::this_thread::sleep_for(100ms);
    }
}

// After the viewer left, the host's session is over and it waits for the next viewer. Which end
// reaches the host first is a race: the service's word ("ended by peer or service") or the viewer's
// peer closing ("Native WebRTC connection closed", after which hosting is switched on again).
::testing::AssertionResult hostReadyAgain(ChildProcess& host, std::size_t from) {
    // The figures ticker may print "ready" before the end's own lines, so look for the end first.
    std::optional<std::size_t> ended;
    host.waitOutput(
        [&](const std::string& output) {
            for (const char* end : {"status: Session ended by peer or service", "error: Native WebRTC connection closed"}) {
                const auto at = output.find(end, std::min(from, output.size()));
                if (at != std::string::npos && (!ended || at < *ended)) ended = at;
            }
            return ended.has_value();
        },
        kLong);
    if (!ended) return ::testing::AssertionFailure() << "the host's session did not end\n" << host.output();
    if (!host.waitFor("stats: ready, waiting for a viewer", kLong, *ended)) {
        return ::testing::AssertionFailure() << "the host is not ready again\n" << host.output();
    }
    if (!host.running()) return ::testing::AssertionFailure() << "the host stopped\n" << host.output();
    return ::testing::AssertionSuccess();
}

// The suite's service and account, shared by every case that needs no relay.
class MurelSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        control_ = new ControlProcess();
        account_ = new Account(makeAccount(control_->origin(), "session@example.com"));
    }
    static void TearDownTestSuite() {
        delete account_;
        delete control_;
        account_ = nullptr;
        control_ = nullptr;
    }

    static ControlProcess* control_;
    static Account* account_;
};

ControlProcess* MurelSession::control_ = nullptr;
Account* MurelSession::account_ = nullptr;

// The picture in the viewer's window, its order, the user's keys, text and clicks on the host's
// display, a mode picked from the keyboard, and the window's close box ending the session on
// both sides.
TEST_F(MurelSession, WindowShowsTheHostAndCarriesInput) {
    XvfbDisplay hostDisplay(kWidth, kHeight);
    XvfbDisplay viewerDisplay(kWidth, kHeight);
    auto host = startHost(control_->origin(), *account_, hostDisplay);
    ASSERT_TRUE(host->waitFor("Hosting as " + std::string(kHostName), kLong)) << host->output();

    // The host's user: a window over the whole screen that has the keyboard.
    XReader hostScreen(hostDisplay.name(), kWidth, kHeight);

    auto viewer = startViewer(control_->origin(), *account_, viewerDisplay);
    ASSERT_TRUE(viewer->waitFor(kPresented, kLong)) << viewer->output() << "\n--- host ---\n" << host->output();
    EXPECT_TRUE(viewer->waitForLine("First picture ", 5s)) << viewer->output();
    EXPECT_TRUE(host->waitFor("Stream: ", 5s)) << host->output();

    XProbe viewerScreen(viewerDisplay.name());
    const auto window = viewerScreen.findWindow("murel", 10s);
    ASSERT_TRUE(window) << "the viewer has no window on its display";

    // The scene's frame numbers, read from the window a few times, only move forward.
    std::vector<std::uint32_t> seen;
    for (int i = 0; i < 40 && seen.size() < 6; ++i) {
        if (const auto picture = viewerScreen.grab(*window)) {
            if (const auto stamp = readSceneStamp(picture->bgra.data(), picture->width, picture->height,
                                                  static_cast<std::ptrdiff_t>(picture->width) * 4)) {
                if (seen.empty() || stamp->frame != seen.back()) seen.push_back(stamp->frame);
            }
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_GE(seen.size(), 3u) << "the window does not show the host's scene";
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "a frame went backwards";

    // A click at the picture's top-left corner focuses the window and lands at the host's.
    xdotool(viewerDisplay, {"mousemove", "0", "0", "click", "1"});
    auto arrived = collect(hostScreen, [](const auto& a) { return hasButton(a, Arrived::Kind::ButtonUp); });
    ASSERT_TRUE(hasButton(arrived, Arrived::Kind::ButtonDown)) << "no click reached the host\n" << viewer->output();
    const auto down = *std::find_if(arrived.begin(), arrived.end(),
                                    [](const Arrived& a) { return a.kind == Arrived::Kind::ButtonDown; });
    EXPECT_EQ(down.x, 0);
    EXPECT_EQ(down.y, 0);

    // The bottom-right corner: the last pixel of the picture maps to within a pixel of the host's.
    xdotool(viewerDisplay, {"mousemove", std::to_string(kWidth - 1), std::to_string(kHeight - 1), "click", "1"});
    arrived = collect(hostScreen, [](const auto& a) { return hasButton(a, Arrived::Kind::ButtonUp); });
    ASSERT_TRUE(hasButton(arrived, Arrived::Kind::ButtonDown));
    const auto corner = *std::find_if(arrived.begin(), arrived.end(),
                                      [](const Arrived& a) { return a.kind == Arrived::Kind::ButtonDown; });
    EXPECT_NEAR(corner.x, kWidth - 1, 1);
    EXPECT_NEAR(corner.y, kHeight - 1, 1);

    // A key by its place on the keyboard, and text the layout has no key for.
    xdotool(viewerDisplay, {"key", "a"});
    arrived = collect(hostScreen, [](const auto& a) {
        return std::any_of(a.begin(), a.end(), [](const Arrived& x) { return x.kind == Arrived::Kind::KeyUp; });
    });
    const std::vector<Arrived> keyA = {Arrived::keyDown({0x1E, false}), Arrived::keyUp({0x1E, false})};
    EXPECT_EQ(arrived, keyA);

    viewerScreen.bindKeysyms({0xE9, 0x100D55C});  // é and 한, on keys the host has no place for
    xdotool(viewerDisplay, {"type", "--delay", "100", "\xC3\xA9\xED\x95\x9C"});
    std::u32string typed;
    collect(hostScreen, [&](const auto& a) {
        typed.clear();
        for (const Arrived& x : a) {
            if (x.kind == Arrived::Kind::Character) typed += x.character;
        }
        return typed.size() >= 2;
    });
    EXPECT_EQ(typed, U"\u00E9\uD55C");

    // Ctrl+Alt+M asks for the next of the host's modes; both sides then run it.
    const std::size_t before = viewer->output().size();
    xdotool(viewerDisplay, {"key", "ctrl+alt+m"});
    const auto asked = viewer->waitForLine("Asking the host for ", 10s, before);
    ASSERT_TRUE(asked) << viewer->output();
    const std::string mode = asked->substr(std::string("Asking the host for ").size());
    EXPECT_TRUE(viewer->waitFor("Stream: " + mode, kLong, before)) << viewer->output();
    EXPECT_TRUE(host->waitFor("Stream: " + mode, kLong)) << host->output();
    EXPECT_TRUE(viewer->waitFor(kPresented, kLong, before));

    // The close box ends the session on both sides; the host stays up for the next viewer.
    const std::size_t hostBefore = host->output().size();
    viewerScreen.requestClose(*window);
    const auto status = viewer->waitExit(kLong);
    ASSERT_TRUE(status) << "the viewer did not end\n" << viewer->output();
    EXPECT_EQ(*status, 0) << viewer->output();
    EXPECT_TRUE(viewer->waitForLine("OK: Session ended", 1s)) << viewer->output();
    EXPECT_TRUE(hostReadyAgain(*host, hostBefore));
    EXPECT_FALSE(viewerScreen.exists(*window));

    host->signal(SIGINT);
    EXPECT_EQ(host->waitExit(kLong), 0) << host->output();
    EXPECT_TRUE(host->waitForLine("OK: Stopped", 1s)) << host->output();
}

// A viewer without a window records what it presents: every frame in order, the mode asked for on
// the command line applied, and the host's death ending the session with the service's words.
TEST_F(MurelSession, RecordingViewerAndAHostThatDies) {
    XvfbDisplay hostDisplay(kWidth, kHeight);
    const fs::path record = scratch("record");
    auto host = startHost(control_->origin(), *account_, hostDisplay);
    ASSERT_TRUE(host->waitFor("Hosting as", kLong)) << host->output();
    auto viewer = startViewer(control_->origin(), *account_, hostDisplay,
                              {"--record", record.string(), "--mode", std::to_string(kWidth) + "x" + std::to_string(kHeight) + "@30"});
    ASSERT_TRUE(viewer->waitFor(kPresented, kLong)) << viewer->output() << "\n--- host ---\n" << host->output();
    const std::string mode = "Stream: " + std::to_string(kWidth) + "x" + std::to_string(kHeight) + "@30";
    ASSERT_TRUE(viewer->waitFor(mode, kLong)) << viewer->output();
    EXPECT_TRUE(host->waitFor(mode, kLong)) << host->output();
    const std::size_t afterMode = viewer->output().size();
    ASSERT_TRUE(viewer->waitFor("stats: ", kLong, afterMode)) << viewer->output();

    // A second of pictures after the mode change, then the host dies without a word.
    std::this_thread::sleep_for(1s);
    host->signal(SIGKILL);
    const auto status = viewer->waitExit(kLong);
    ASSERT_TRUE(status) << viewer->output();
    EXPECT_EQ(*status, 0) << viewer->output();
    EXPECT_TRUE(viewer->waitForLine("OK: Session ended by peer or service", 1s)) << viewer->output();

    std::vector<std::string> sizes;
    const auto frames = recordedFrames(record, &sizes);
    ASSERT_GE(frames.size(), 10u) << "too few pictures recorded";
    for (std::size_t i = 1; i < frames.size(); ++i) {
        ASSERT_LT(frames[i - 1], frames[i]) << "picture " << i << " is older than or the same as the one before";
    }
    for (const std::string& size : sizes) EXPECT_EQ(size, std::to_string(kWidth) + "x" + std::to_string(kHeight));
}

// Both devices told to use the relay only: the session runs through coturn, which carries the video.
TEST(MurelRelaySession, RelayOnlyThroughCoturn) {
    if (!Coturn::installed()) GTEST_SKIP() << "coturn is not installed";
    Coturn turn(CoturnOptions::relayOnHost());
    ASSERT_TRUE(turn.running());
    const fs::path secretFolder = scratch("turn-secret");
    const fs::path secret = secretFolder / "secret";
    {
        std::ofstream file(secret);
        file << Coturn::kSecret;
    }
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    ControlProcess control({"--turn", "turn:127.0.0.1:" + std::to_string(turn.port()) + "?transport=udp",
                            "--turn-secret", secret.string()});
    const Account account = makeAccount(control.origin(), "relay@example.com");

    XvfbDisplay hostDisplay(kWidth, kHeight);
    const fs::path record = scratch("relay-record");
    auto host = startHost(control.origin(), account, hostDisplay, {"--relay-only"});
    ASSERT_TRUE(host->waitFor("Hosting as", kLong)) << host->output();
    auto viewer = startViewer(control.origin(), account, hostDisplay, {"--record", record.string(), "--relay-only"});
    const auto presented = viewer->waitFor(kPresented, kLong);
    ASSERT_TRUE(presented) << viewer->output() << "\n--- host ---\n" << host->output();
    // Two figures lines after the first picture: a second or more of relayed video.
    const auto figures = viewer->waitFor("stats: ", kLong, *presented);
    ASSERT_TRUE(figures) << viewer->output();
    ASSERT_TRUE(viewer->waitFor("stats: ", kLong, *figures + 1)) << viewer->output();

    // Ctrl-C on the viewer ends the session for both.
    const std::size_t hostBefore = host->output().size();
    viewer->signal(SIGINT);
    EXPECT_EQ(viewer->waitExit(kLong), 0) << viewer->output();
    EXPECT_TRUE(viewer->waitForLine("OK: Session ended", 1s)) << viewer->output();
    EXPECT_TRUE(hostReadyAgain(*host, hostBefore));
    EXPECT_GE(recordedFrames(record).size(), 5u);

    // Only relayed candidates existed, so the relay carried the session: the server saw both
    // devices allocate and relay data between them.
    host->signal(SIGINT);
    EXPECT_EQ(host->waitExit(kLong), 0) << host->output();
    const TurnUse use = waitTurnUse(turn.logFile(), kLong);
    EXPECT_GE(use.allocations, 2) << use.log;
    EXPECT_GT(use.peerBytes, 10000u) << use.log << "\n--- host ---\n" << host->output() << "\n--- viewer ---\n"
                                     << viewer->output();
}

}  // namespace
}  // namespace murel::test
