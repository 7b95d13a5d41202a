// The program's own Linux HTTP client and signaling socket against the real murel-control.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "BeastTransport.hpp"
#include "TestClient.hpp"
#include "platform/HttpClient.hpp"
#include "platform/SignalingSocket.hpp"
#include "protocol/ControlApi.hpp"

#include "ErrorOf.hpp"

namespace murel::test {
namespace {

using namespace std::chrono_literals;

using murel::test::errorOf;

// Collects what a SignalingSocket reports from its threads.
class Inbox {
public:
    void push(Json message) {
        std::lock_guard lock(mutex_);
        messages_.push_back(std::move(message));
        wake_.notify_all();
    }
    void fail(const std::string& reason) {
        std::lock_guard lock(mutex_);
        failures_.push_back(reason);
        wake_.notify_all();
    }
    // The next message of the given type, skipping others; null after the timeout.
    Json next(const std::string& type, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            while (!messages_.empty()) {
                Json m = std::move(messages_.front());
                messages_.pop_front();
                if (m.value("type", "") == type) return m;
            }
            if (wake_.wait_until(lock, deadline) == std::cv_status::timeout && messages_.empty()) return nullptr;
        }
    }
    std::string failure(std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, timeout, [&] { return !failures_.empty(); });
        return failures_.empty() ? std::string() : failures_.front();
    }

    SignalingSocket::MessageHandler onMessage() {
        return [this](Json m) { push(std::move(m)); };
    }
    SignalingSocket::FailureHandler onFailure() {
        return [this](const std::string& reason) { fail(reason); };
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Json> messages_;
    std::vector<std::string> failures_;
};

TEST(ProgramAgainstService, AccountDevicesSignalingAndSessions) {
    TempDir dir;
    ServerProcess server(dir.path() / "data");
    const auto origin = parseServerOrigin("http://127.0.0.1:" + std::to_string(server.port()));
    HttpClient http(makeBeastHttpTransport(origin));

    const auto account = requestAuth(http, true, "program@example.org", "correct horse battery");
    const auto host = requestDeviceRegistration(http, account.token, "Host PC", true);
    const auto viewer = requestDeviceRegistration(http, account.token, "Viewer PC", false);

    Inbox hostInbox;
    Inbox viewerInbox;
    SignalingSocket hostSocket(makeBeastWebSocketTransport(origin), host.token, hostInbox.onMessage(),
                               hostInbox.onFailure());
    SignalingSocket viewerSocket(makeBeastWebSocketTransport(origin), viewer.token, viewerInbox.onMessage(),
                                 viewerInbox.onFailure());
    const auto hello = hostInbox.next("hello");
    ASSERT_FALSE(hello.is_null());
    EXPECT_EQ(hello["payload"]["device_id"], host.id);
    EXPECT_EQ(hello["payload"]["protocol"], "murel/1");
    ASSERT_FALSE(viewerInbox.next("hello").is_null());

    // The same device cannot hold two connections.
    Inbox duplicateInbox;
    EXPECT_EQ(errorOf([&] {
                  SignalingSocket duplicate(makeBeastWebSocketTransport(origin), host.token,
                                            duplicateInbox.onMessage(), duplicateInbox.onFailure());
              }),
              "Signaling upgrade rejected; sign in again or disconnect the other instance");

    ASSERT_TRUE(hostSocket.send(Json{{"type", "host.status"}, {"payload", {{"ready", true}, {"reason", "Ready"}}}}));
    bool ready = false;
    for (int i = 0; i < 100 && !ready; ++i) {
        for (const auto& h : requestHosts(http, viewer.token)) ready = ready || (h.id == host.id && h.ready);
        if (!ready) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(ready);

    const auto session = requestSession(http, viewer, host.id);
    const auto hostStart = hostInbox.next("session.start");
    const auto viewerStart = viewerInbox.next("session.start");
    ASSERT_FALSE(hostStart.is_null());
    ASSERT_FALSE(viewerStart.is_null());
    EXPECT_EQ(readSessionInfo(hostStart["payload"]), session);
    EXPECT_EQ(readSessionInfo(viewerStart["payload"]), session);

    const Json offer{{"type", "offer"}, {"session_id", session.id}, {"payload", {{"sdp", "v=0\r\n"}}}};
    ASSERT_TRUE(hostSocket.send(offer));
    EXPECT_EQ(viewerInbox.next("offer"), offer);
    const Json ice{{"type", "ice"}, {"session_id", session.id},
                   {"payload", {{"candidate", "candidate:1 1 udp 1 127.0.0.1 5000 typ host"}, {"mid", "0"}, {"line", 0}}}};
    ASSERT_TRUE(viewerSocket.send(ice));
    EXPECT_EQ(hostInbox.next("ice"), ice);

    requestSessionEnd(http, host, session.id);
    EXPECT_EQ(hostInbox.next("session.end")["session_id"], session.id);
    EXPECT_EQ(viewerInbox.next("session.end")["session_id"], session.id);

    const auto ice0 = requestIceServers(http, viewer, 0);
    EXPECT_TRUE(ice0.servers.empty());
    EXPECT_FALSE(ice0.hasExpiry);

    // Removing the host closes its connection; its token no longer upgrades.
    requestDeviceRemoval(http, account.token, host.id);
    const auto reason = hostInbox.failure();
    EXPECT_TRUE(reason == "Signaling closed by server" || reason == "Signaling connection lost") << reason;
    hostSocket.close();
    EXPECT_EQ(errorOf([&] {
                  SignalingSocket again(makeBeastWebSocketTransport(origin), host.token, duplicateInbox.onMessage(),
                                        duplicateInbox.onFailure());
              }),
              "Signaling upgrade rejected; sign in again or disconnect the other instance");
    EXPECT_EQ(errorOf([&] { requestHosts(http, host.token); }), "Control API returned HTTP 401");

    requestLogout(http, account.token);
    EXPECT_EQ(errorOf([&] { requestDeviceRegistration(http, account.token, "Late", false); }),
              "Control API returned HTTP 401");
    viewerSocket.close();
    EXPECT_TRUE(viewerInbox.failure(100ms).empty()) << "a local close reports nothing";
}

}  // namespace
}  // namespace murel::test
