// The Controller over the real Linux platform services (Beast transports, the file vault, OpenSSL
// hashing) against a real murel-control on loopback, and against a scripted server where the
// service must misbehave. Each device keeps its saved sign-in under its own XDG_DATA_HOME.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <unistd.h>

#include "ControlProcess.hpp"
#include "LinuxPlatform.hpp"
#include "TestServer.hpp"
#include "app/Controller.hpp"
#include "protocol/SignalingSession.hpp"

namespace murel::test {
namespace {

namespace fs = std::filesystem;
using app::Command;
using app::CommandKind;
using app::Controller;
using app::Status;

constexpr auto kPatience = std::chrono::seconds(60);
constexpr const char* kPassword = "linux-controller-password";
constexpr const char* kSignalingDisconnected = "Signaling disconnected; refresh to reconnect or sign in again";

// A private XDG_DATA_HOME for one device; the previous value comes back when it goes.
class DataHome {
public:
    explicit DataHome(const std::string& name) {
        static int counter = 0;
        path_ = fs::path(::testing::TempDir()) /
                ("murel-linux-xdg-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + name);
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~DataHome() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    fs::path credentials() const { return path_ / "murel" / "credentials"; }
    std::size_t savedEntries() const {
        if (!fs::exists(credentials())) return 0;
        std::size_t count = 0;
        for (const auto& entry : fs::directory_iterator(credentials())) {
            if (entry.is_regular_file()) ++count;
        }
        return count;
    }

private:
    fs::path path_;
};

// One device: a Controller built by makeLinuxPlatform() while XDG_DATA_HOME names its own folder,
// driven as the interface drives it (post, then poll snapshots until completedOperations moves).
class Device {
public:
    Device(const DataHome& home, std::string server, std::string email, bool host = false)
        : server_(std::move(server)), email_(std::move(email)), host_(host) {
        const char* previous = std::getenv("XDG_DATA_HOME");
        const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
        ::setenv("XDG_DATA_HOME", home.path().c_str(), 1);
        controller_ = std::make_unique<Controller>(makeLinuxPlatform());
        if (saved) ::setenv("XDG_DATA_HOME", saved->c_str(), 1);
        else ::unsetenv("XDG_DATA_HOME");
    }
    ~Device() { stop(); }

    Command command(CommandKind kind) const {
        Command command;
        command.kind = kind;
        command.server = server_;
        command.email = email_;
        command.hostRole = host_;
        command.deviceName = "linux-test-pc";
        if (kind == CommandKind::SignIn || kind == CommandKind::SignUp) command.password = kPassword;
        return command;
    }

    // Posts an operation and waits for its completion; the snapshot after it.
    Status operate(Command command) {
        const std::uint64_t before = controller_->snapshot().completedOperations;
        EXPECT_TRUE(controller_->post(std::move(command))) << "command refused";
        Status status;
        const bool done = waitFor(
            [&] {
                status = controller_->snapshot();
                return status.completedOperations != before;
            },
            kPatience);
        EXPECT_TRUE(done) << "operation did not complete; status: " << status.message;
        return controller_->snapshot();
    }
    Status operate(CommandKind kind) { return operate(command(kind)); }

    // Waits until `ready` holds for a snapshot; returns the last snapshot seen.
    Status waitUntil(const std::function<bool(const Status&)>& ready, const char* what) {
        Status status;
        const bool reached = waitFor(
            [&] {
                status = controller_->snapshot();
                return ready(status);
            },
            kPatience);
        EXPECT_TRUE(reached) << "timed out waiting for " << what << "; status \"" << status.message
                             << "\", error \"" << status.error << "\"";
        return status;
    }
    Status waitOnline() {
        return waitUntil([](const Status& s) { return s.online && !s.busy; }, "the signaling hello");
    }

    Status snapshot() const { return controller_->snapshot(); }

    void stop() {
        if (!controller_) return;
        controller_->requestStop();
        EXPECT_TRUE(waitFor([&] { return controller_->workerStopped(); }, kPatience)) << "worker did not stop";
        controller_.reset();
    }

private:
    std::string server_;
    std::string email_;
    bool host_;
    std::unique_ptr<Controller> controller_;
};

const HostInfo* findHost(const Status& status, const std::string& id) {
    for (const HostInfo& host : status.hosts) {
        if (host.id == id) return &host;
    }
    return nullptr;
}

class LinuxControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            control_ = std::make_unique<ControlProcess>();
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
    }
    ControlProcess& control() { return *control_; }

    std::unique_ptr<ControlProcess> control_;
};

TEST_F(LinuxControllerTest, SignInReusesTheSavedRegistrationAndRestoreNeedsNoPassword) {
    DataHome home("reuse");
    std::string deviceId;
    {
        Device device(home, control().origin(), "reuse@example.com");
        const Status signedUp = device.operate(CommandKind::SignUp);
        ASSERT_EQ(signedUp.error, "");
        ASSERT_TRUE(signedUp.signedIn);
        deviceId = signedUp.deviceId;
        EXPECT_FALSE(deviceId.empty());
        EXPECT_EQ(signedUp.accountEmail, "reuse@example.com");
        EXPECT_EQ(device.waitOnline().message, "Device online; select a ready host or enable hosting");
        EXPECT_EQ(home.savedEntries(), 1u) << "the sign-in is saved under XDG_DATA_HOME/murel/credentials";
    }

    // A new process signs in with the password: the saved registration is reused, so the account
    // still has exactly one device, the same one.
    {
        Device device(home, control().origin(), "reuse@example.com");
        const Status signedIn = device.operate(CommandKind::SignIn);
        ASSERT_EQ(signedIn.error, "");
        EXPECT_EQ(signedIn.deviceId, deviceId);
        device.waitOnline();
        const Status listed = device.operate(CommandKind::RefreshDevices);
        EXPECT_EQ(listed.error, "");
        EXPECT_EQ(listed.message, "Device online; host list updated");
        ASSERT_EQ(listed.hosts.size(), 1u) << "a second device was registered";
        EXPECT_EQ(listed.hosts[0].id, deviceId);
        EXPECT_EQ(listed.hosts[0].platform, "linux");
        EXPECT_TRUE(listed.hosts[0].online);
        EXPECT_EQ(listed.deviceName, "linux-test-pc");
    }

    // Restore without a password.
    {
        Device device(home, control().origin(), "reuse@example.com");
        Command restore = device.command(CommandKind::Restore);
        ASSERT_TRUE(restore.password.empty());
        const Status restored = device.operate(std::move(restore));
        ASSERT_EQ(restored.error, "");
        EXPECT_EQ(restored.deviceId, deviceId);
        EXPECT_TRUE(device.waitOnline().signedIn);
    }

    // The saved sign-in is per role: the host profile of this account has none.
    {
        Device device(home, control().origin(), "reuse@example.com", /*host=*/true);
        const Status refused = device.operate(CommandKind::Restore);
        EXPECT_EQ(refused.error, "No saved credential for this server, account and role");
        EXPECT_FALSE(refused.signedIn);
    }
}

TEST_F(LinuxControllerTest, SignOutWithTheServiceDownRemovesTheSavedSignIn) {
    DataHome home("signout");
    Device device(home, control().origin(), "signout@example.com");
    ASSERT_EQ(device.operate(CommandKind::SignUp).error, "");
    device.waitOnline();
    ASSERT_EQ(home.savedEntries(), 1u);

    control().stop();
    device.waitUntil([](const Status& s) { return !s.online && s.error == kSignalingDisconnected; },
                     "the closure to be reported");

    const Status signedOut = device.operate(CommandKind::SignOut);
    EXPECT_EQ(signedOut.message, "Signed out locally");
    EXPECT_EQ(signedOut.error,
              "Device revocation failed; its credential remains valid until expiry. Server sign-out incomplete. ");
    EXPECT_FALSE(signedOut.signedIn);
    EXPECT_EQ(signedOut.deviceId, "");
    EXPECT_EQ(home.savedEntries(), 0u) << "the saved sign-in was not removed";

    const Status restore = device.operate(CommandKind::Restore);
    EXPECT_EQ(restore.error, "No saved credential for this server, account and role");
}

TEST_F(LinuxControllerTest, TwoDevicesOfOneAccountSeeEachOtherOnline) {
    DataHome homeA("first");
    DataHome homeB("second");
    Device first(homeA, control().origin(), "pair@example.com");
    ASSERT_EQ(first.operate(CommandKind::SignUp).error, "");
    const std::string firstId = first.waitOnline().deviceId;

    Device second(homeB, control().origin(), "pair@example.com", /*host=*/true);
    const Status signedIn = second.operate(CommandKind::SignIn);
    ASSERT_EQ(signedIn.error, "");
    const std::string secondId = second.waitOnline().deviceId;
    ASSERT_NE(firstId, secondId) << "the second folder holds no registration, so a new device is made";

    for (Device* device : {&first, &second}) {
        const Status listed = device->operate(CommandKind::RefreshDevices);
        EXPECT_EQ(listed.error, "");
        ASSERT_EQ(listed.hosts.size(), 2u);
        const HostInfo* a = findHost(listed, firstId);
        const HostInfo* b = findHost(listed, secondId);
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(a->online);
        EXPECT_TRUE(b->online);
    }

    // The first device going away shows on the second at its next refresh.
    first.stop();
    const Status after = second.waitUntil(
        [&](const Status& s) {
            const HostInfo* a = findHost(s, firstId);
            return a && !a->online;
        },
        "the first device to be listed offline");
    EXPECT_TRUE(after.online);
}

TEST_F(LinuxControllerTest, ServiceRestartMidSessionThenRefreshReconnects) {
    DataHome home("restart");
    Device device(home, control().origin(), "restart@example.com");
    ASSERT_EQ(device.operate(CommandKind::SignUp).error, "");
    const std::string id = device.waitOnline().deviceId;

    control().stop();
    const Status dropped = device.waitUntil(
        [](const Status& s) { return s.error == kSignalingDisconnected && !s.busy; }, "the closure");
    EXPECT_EQ(dropped.message, "Device offline; refresh to reconnect");
    EXPECT_FALSE(dropped.online);
    EXPECT_TRUE(dropped.signedIn) << "a closure signs out locally only";
    EXPECT_TRUE(dropped.hosts.empty());

    // While the service is down a refresh fails and the device stays signed in.
    const Status failed = device.operate(CommandKind::RefreshDevices);
    EXPECT_NE(failed.error, "");
    EXPECT_TRUE(failed.signedIn);
    EXPECT_FALSE(failed.online);

    ASSERT_NO_THROW(control().restart());
    const Status reconnecting = device.operate(CommandKind::RefreshDevices);
    EXPECT_EQ(reconnecting.error, "");
    EXPECT_EQ(device.waitOnline().deviceId, id);
    const Status listed = device.operate(CommandKind::RefreshDevices);
    EXPECT_EQ(listed.error, "");
    ASSERT_NE(findHost(listed, id), nullptr);
    EXPECT_TRUE(findHost(listed, id)->online);
}

// A scripted service: sign-up, device registration and the device list answer as the real one
// does; the signaling channel greets the device twice.
TEST(LinuxControllerScriptedTest, DuplicateHelloIsContained) {
    const std::string deviceId = "d_scripted_device";
    // The second hello leaves once the test has seen the device online after the first.
    std::atomic<bool> sendDuplicate{false};
    TestServer server([&](TestConnection& c) {
        TestRequest request;
        while (c.readRequest(request)) {
            if (request.target == "/v1/signaling") {
                c.acceptUpgrade(request);
                const std::string hello = makeHelloMessage(deviceId).dump();
                c.sendFrame(kText, true, hello);
                while (!sendDuplicate && !server.stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                c.sendFrame(kText, true, hello);
                WsFrame frame;
                while (c.readFrame(frame, std::chrono::seconds(30))) {
                    if (frame.opcode == kClose) {
                        c.sendFrame(kClose, true, frame.payload.substr(0, 2));
                        return;
                    }
                }
                return;
            }
            if (request.target == "/v1/auth/register") {
                c.respond(200, R"({"expires_at":"2099-01-01T00:00:00Z","token":"account-token-1","user_id":"u_scripted"})",
                          "Content-Type: application/json\r\n");
            } else if (request.target == "/v1/devices") {
                c.respond(200, R"({"expires_at":"2099-01-01T00:00:00Z","id":")" + deviceId +
                                   R"(","token":"device-token-1"})",
                          "Content-Type: application/json\r\n");
            } else if (request.target == "/v1/hosts") {
                c.respond(200, R"({"hosts":[{"busy":false,"id":")" + deviceId +
                                   R"(","name":"linux-test-pc","online":true,"platform":"linux","ready":false,"reason":"Hosting not offered"}]})",
                          "Content-Type: application/json\r\n");
            } else {
                c.respond(200, "{}", "Content-Type: application/json\r\n");
            }
        }
    });

    DataHome home("scripted");
    const std::string origin = "http://127.0.0.1:" + std::to_string(server.port());
    Device device(home, origin, "scripted@example.com");
    const Status signedUp = device.operate(CommandKind::SignUp);
    ASSERT_EQ(signedUp.error, "") << "sign-up against the scripted service";
    const Status online = device.waitOnline();
    EXPECT_EQ(online.error, "");
    sendDuplicate = true;

    const Status contained = device.waitUntil(
        [](const Status& s) { return s.error == "Duplicate signaling hello" && !s.busy; },
        "the second hello to be refused");
    EXPECT_TRUE(contained.signedIn);
    EXPECT_EQ(contained.message, "Device online; operation could not be completed");

    // The worker goes on: the device list still arrives, and sign-out still completes.
    const Status listed = device.operate(CommandKind::RefreshDevices);
    EXPECT_EQ(listed.error, "");
    ASSERT_EQ(listed.hosts.size(), 1u);
    const Status signedOut = device.operate(CommandKind::SignOut);
    EXPECT_EQ(signedOut.message, "Signed out; saved credentials removed");
    EXPECT_FALSE(signedOut.signedIn);
    EXPECT_EQ(home.savedEntries(), 0u);
    device.stop();
    server.stop();
}

}  // namespace
}  // namespace murel::test
