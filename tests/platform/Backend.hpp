#pragma once
// What the behaviour suites need from a platform backend. A backend is a type with:
//   static std::unique_ptr<HttpTransport> makeHttpTransport(const ServerOrigin&,
//                                                           std::chrono::milliseconds receiveTimeout);
//   static std::unique_ptr<WebSocketTransport> makeWebSocketTransport(const ServerOrigin&);
//   static std::unique_ptr<CredentialVault> makeVault(const std::string& scratch);
//   static Sha256Function sha256();
// Each suite is type-parameterised; a test binary instantiates it once per backend it builds.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "EventRecorder.hpp"
#include "platform/SignalingSocket.hpp"

namespace murel::test {

// A clock that only moves when the test says so. Waiters poll briefly so an advance is seen at
// once without the clock having to know every condition variable.
class ManualClock final : public HeartbeatClock {
public:
    std::chrono::nanoseconds now() override {
        std::lock_guard<std::mutex> guard(lock_);
        return now_;
    }
    void advance(std::chrono::nanoseconds by) {
        std::lock_guard<std::mutex> guard(lock_);
        now_ += by;
    }
    void waitUntil(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                   std::chrono::nanoseconds deadline, const std::function<bool()>& ready) override {
        while (!ready() && now() < deadline) {
            wake.wait_for(lock, std::chrono::milliseconds(1));
        }
    }

private:
    std::mutex lock_;
    std::chrono::nanoseconds now_{std::chrono::hours(1)};
};

// Collects what a SignalingSocket reports, from whichever thread reports it, and waits on it.
class SocketEvents {
public:
    SignalingSocket::MessageHandler messageHandler() {
        return [this](Json message) { messages_.record(std::move(message)); };
    }
    SignalingSocket::FailureHandler failureHandler() {
        return [this](const std::string& reason) { failures_.record(reason); };
    }
    std::vector<Json> messages() const { return messages_.snapshot(); }
    std::vector<std::string> failures() const { return failures_.snapshot(); }
    bool waitForMessages(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        return messages_.waitCount(count, timeout);
    }
    bool waitForFailure(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        return failures_.waitCount(1, timeout);
    }

private:
    EventRecorder<Json> messages_;
    EventRecorder<std::string> failures_;
};

}  // namespace murel::test
