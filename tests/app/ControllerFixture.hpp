#pragma once
// A Controller over the fake platform, with a scripted control service for one account.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Fakes.hpp"
#include "app/Controller.hpp"
#include "protocol/SignalingSession.hpp"

namespace murel::app::test {

inline constexpr const char* kServer = "https://control.example";
inline constexpr const char* kEmail = "user@example.com";

inline Json hostEntry(const std::string& id, const std::string& name) {
    return Json{{"id", id},         {"name", name}, {"platform", "windows"}, {"online", true},
                {"ready", false},   {"busy", false}, {"reason", "Hosting is disabled"}};
}

class ControllerTest : public ::testing::Test {
protected:
    void TearDown() override {
        fake.passes->releaseHold();  // a test that failed while holding the worker
        controller.reset();
    }

    void start(WorkerApartment apartment = {}) {
        controller = std::make_unique<Controller>(fake.make(std::move(apartment)));
    }

    // The service signs in `userId` and registers devices as `deviceId`.
    void scriptAccount(const std::string& userId = "user-1", const std::string& deviceId = "device-1") {
        auto auth = [userId](const RecordedRequest&) {
            return Json{{"token", "account-token-" + userId}, {"user_id", userId},
                        {"expires_at", "2030-01-01T00:00:00Z"}};
        };
        fake.service->on("POST /v1/auth/login", auth);
        fake.service->on("POST /v1/auth/register", auth);
        fake.service->on("POST /v1/devices", [deviceId](const RecordedRequest&) {
            return Json{{"id", deviceId}, {"token", "device-token-" + deviceId},
                        {"expires_at", "2030-01-01T00:00:00Z"}};
        });
        fake.service->on("GET /v1/hosts", [deviceId](const RecordedRequest&) {
            return Json{{"hosts", Json::array({hostEntry(deviceId, "Study PC"), hostEntry("host-2", "Office PC")})}};
        });
        fake.service->on("DELETE /v1/devices/*", [](const RecordedRequest&) { return Json::object(); });
        fake.service->on("POST /v1/auth/logout", [](const RecordedRequest&) { return Json::object(); });
        fake.service->on("DELETE /v1/sessions/*", [](const RecordedRequest&) { return Json::object(); });
    }

    static Command signInCommand(CommandKind kind = CommandKind::SignIn, bool host = false) {
        Command command(kind);
        command.server = kServer;
        command.email = kEmail;
        command.password = "correct horse battery staple";
        command.deviceName = "Windows PC";
        command.hostRole = host;
        return command;
    }

    std::string target(bool host = false) {
        return fake.target(parseServerOrigin(kServer).origin, kEmail, host);
    }

    template <typename Predicate>
    Status waitStatus(Predicate ready) {
        Status status;
        const bool held = eventually([&] {
            status = controller->snapshot();
            return ready(status);
        });
        EXPECT_TRUE(held) << "status stayed at: " << status.message << " / " << status.error;
        return status;
    }

    Status waitOperations(std::uint64_t count) {
        return waitStatus([count](const Status& s) { return s.completedOperations >= count; });
    }

    // Posts an operation and waits until it has completed.
    Status run(Command command) {
        const std::uint64_t before = controller->snapshot().completedOperations;
        EXPECT_TRUE(controller->post(std::move(command)));
        return waitOperations(before + 1);
    }

    void deliver(const std::shared_ptr<OpenedSocket>& socket, Json message) { socket->onMessage(std::move(message)); }

    // Signs in, greets the device and waits for the first device list.
    Status signInOnline(const std::string& deviceId = "device-1") {
        run(signInCommand());
        deliver(fake.signaling->last(), makeHelloMessage(deviceId));
        return waitStatus([](const Status& s) { return s.online && !s.hosts.empty(); });
    }

    FakePlatform fake;
    std::unique_ptr<Controller> controller;
};

}  // namespace murel::app::test
