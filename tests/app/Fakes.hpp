#pragma once
// A scripted platform for the Controller: a control service that records every request and can
// hold one, a signaling factory that hands out real sockets over an in-memory transport and keeps
// their handlers, a vault in memory with failure switches, and a clock advanced by hand.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MediaFakes.hpp"
#include "app/Controller.hpp"
#include "app/Platform.hpp"
#include "input/RecordingInputSink.hpp"
#include "platform/CredentialStore.hpp"
#include "protocol/Wire.hpp"

namespace murel::app::test {

inline constexpr std::chrono::seconds kPatience{20};

// Polls `ready` until it holds or the patience runs out; true when it held.
inline bool eventually(const std::function<bool()>& ready) {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < until) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ready();
}

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string bearer;
    Json body;
};

// The control service as the Controller's HTTP handles see it.
class FakeService {
public:
    using Reply = std::function<Json(const RecordedRequest&)>;

    // "METHOD /path" -> reply; a reply may throw to fail the request.
    void on(const std::string& route, Reply reply) {
        std::lock_guard<std::mutex> guard(lock_);
        replies_[route] = std::move(reply);
    }
    void fail(const std::string& route, const std::string& text) {
        on(route, [text](const RecordedRequest&) -> Json { throw ProtocolError(text); });
    }
    // Requests on `route` wait in the service until it is released. Several routes may be held.
    void hold(const std::string& route) {
        std::lock_guard<std::mutex> guard(lock_);
        heldRoutes_.insert(route);
    }
    // True once a request waits on `route` (on any held route when empty).
    bool waitHeld(const std::string& route = {}) {
        return eventually([&] {
            std::lock_guard<std::mutex> guard(lock_);
            return route.empty() ? !waiting_.empty() : waiting_.count(route) != 0;
        });
    }
    // Lets the requests of `route` (of every route when empty) go on.
    void release(const std::string& route = {}) {
        std::lock_guard<std::mutex> guard(lock_);
        if (route.empty()) {
            heldRoutes_.clear();
        } else {
            heldRoutes_.erase(route);
        }
        changed_.notify_all();
    }

    Json request(const HttpRequest& request) {
        RecordedRequest recorded{request.method, request.path, request.bearer, request.body};
        std::string route = request.method + " " + request.path;
        Reply reply;
        {
            std::unique_lock<std::mutex> guard(lock_);
            log_.push_back(recorded);
            if (heldRoutes_.count(route) != 0) {
                waiting_.insert(route);
                changed_.wait_for(guard, kPatience, [&] { return heldRoutes_.count(route) == 0; });
                waiting_.erase(route);
            }
            auto found = replies_.find(route);
            if (found == replies_.end()) {
                // Paths with an id at the end: "DELETE /v1/devices/*".
                const auto slash = route.rfind('/');
                found = replies_.find(route.substr(0, slash + 1) + "*");
            }
            if (found == replies_.end()) throw ProtocolError("Unexpected request " + route);
            reply = found->second;
        }
        return reply(recorded);
    }

    std::vector<RecordedRequest> requests() {
        std::lock_guard<std::mutex> guard(lock_);
        return log_;
    }
    std::size_t count(const std::string& route) {
        std::lock_guard<std::mutex> guard(lock_);
        std::size_t n = 0;
        for (const auto& entry : log_) {
            if (entry.method + " " + entry.path == route) ++n;
        }
        return n;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<std::string, Reply> replies_;
    std::vector<RecordedRequest> log_;
    std::set<std::string> heldRoutes_;
    std::multiset<std::string> waiting_;
};

class FakeHttp final : public Http {
public:
    explicit FakeHttp(std::shared_ptr<FakeService> service) : service_(std::move(service)) {}
    Json request(const HttpRequest& request) override { return service_->request(request); }

private:
    std::shared_ptr<FakeService> service_;
};

// A WebSocket that never receives anything by itself: the tests speak through the handlers the
// Controller gave the socket, exactly as the socket's receive thread would.
class QuietTransport final : public WebSocketTransport {
public:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        bool closed = false;
        std::vector<std::string> sent;
    };

    explicit QuietTransport(std::shared_ptr<State> state) : state_(std::move(state)) {}

    unsigned upgrade(std::string_view, std::string_view) override { return 101; }
    void completeUpgrade() override {}
    WebSocketReceived receive(std::span<char>) override {
        std::unique_lock<std::mutex> guard(state_->lock);
        state_->changed.wait(guard, [this] { return state_->closed; });
        throw std::runtime_error("closed");
    }
    void sendText(std::string_view message) override {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->sent.emplace_back(message);
    }
    void close() noexcept override {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->closed = true;
        state_->changed.notify_all();
    }

private:
    std::shared_ptr<State> state_;
};

struct OpenedSocket {
    ServerOrigin origin;
    std::string token;
    SignalingSocket::MessageHandler onMessage;
    SignalingSocket::FailureHandler onFailure;
    std::shared_ptr<QuietTransport::State> transport;

    bool closed() {
        std::lock_guard<std::mutex> guard(transport->lock);
        return transport->closed;
    }
};

class FakeSignaling {
public:
    SignalingFactory factory() {
        return [this](const ServerOrigin& origin, std::string_view token, SignalingSocket::MessageHandler onMessage,
                      SignalingSocket::FailureHandler onFailure) -> std::unique_ptr<SignalingSocket> {
            std::string failure;
            {
                std::lock_guard<std::mutex> guard(lock_);
                failure = failNext_;
                failNext_.clear();
            }
            if (!failure.empty()) throw ProtocolError(failure);
            {
                std::lock_guard<std::mutex> guard(lock_);
                const auto refused = refusedTokens_.find(std::string(token));
                if (refused != refusedTokens_.end()) {
                    ++refusals_;
                    throw SignalingUpgradeRejected(refused->second);
                }
            }
            auto opened = std::make_shared<OpenedSocket>();
            opened->origin = origin;
            opened->token = std::string(token);
            opened->onMessage = onMessage;
            opened->onFailure = onFailure;
            opened->transport = std::make_shared<QuietTransport::State>();
            auto socket = std::make_unique<SignalingSocket>(std::make_unique<QuietTransport>(opened->transport),
                                                            token, std::move(onMessage), std::move(onFailure));
            std::lock_guard<std::mutex> guard(lock_);
            opened_.push_back(opened);
            return socket;
        };
    }
    // Every upgrade with this device token is answered with `status`.
    void refuseToken(const std::string& token, unsigned status) {
        std::lock_guard<std::mutex> guard(lock_);
        refusedTokens_[token] = status;
    }
    std::size_t refusals() {
        std::lock_guard<std::mutex> guard(lock_);
        return refusals_;
    }
    void failNext(std::string text) {
        std::lock_guard<std::mutex> guard(lock_);
        failNext_ = std::move(text);
    }
    std::size_t count() {
        std::lock_guard<std::mutex> guard(lock_);
        return opened_.size();
    }
    std::shared_ptr<OpenedSocket> socket(std::size_t index) {
        std::lock_guard<std::mutex> guard(lock_);
        return opened_.at(index);
    }
    std::shared_ptr<OpenedSocket> last() {
        std::lock_guard<std::mutex> guard(lock_);
        return opened_.back();
    }

private:
    std::mutex lock_;
    std::vector<std::shared_ptr<OpenedSocket>> opened_;
    std::string failNext_;
    std::map<std::string, unsigned> refusedTokens_;
    std::size_t refusals_ = 0;
};

class MemoryVault final : public CredentialVault {
public:
    void write(std::string_view target, std::string_view, std::string_view blob) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (failWrite) throw ProtocolError("Save credential failed (Windows error 5)");
        entries_[std::string(target)] = std::string(blob);
    }
    std::optional<std::string> read(std::string_view target, std::size_t maxBytes) override {
        std::lock_guard<std::mutex> guard(lock_);
        ++reads_;
        auto found = entries_.find(std::string(target));
        if (found == entries_.end()) return std::nullopt;
        return found->second.substr(0, maxBytes + 1);
    }
    void remove(std::string_view target) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (failRemove) throw ProtocolError("Remove saved credential failed (Windows error 5)");
        entries_.erase(std::string(target));
    }

    void put(const std::string& target, const std::string& blob) {
        std::lock_guard<std::mutex> guard(lock_);
        entries_[target] = blob;
    }
    std::optional<std::string> get(const std::string& target) {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = entries_.find(target);
        if (found == entries_.end()) return std::nullopt;
        return found->second;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> guard(lock_);
        return entries_.size();
    }
    int reads() {
        std::lock_guard<std::mutex> guard(lock_);
        return reads_;
    }

    std::atomic<bool> failWrite{false};
    std::atomic<bool> failRemove{false};

private:
    std::mutex lock_;
    std::map<std::string, std::string> entries_;
    int reads_ = 0;
};

// Not a real digest, but deterministic and distinct per input, which is all the store needs.
inline Sha256Digest fakeSha256(std::string_view data) {
    Sha256Digest digest{};
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t round = 0; round < digest.size(); ++round) {
        for (const char c : data) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        h ^= round;
        digest[round] = static_cast<std::uint8_t>(h >> 24);
    }
    return digest;
}

// A clock advanced by hand. It counts its readings, though the input injector's watchdog reads it
// too: to know that a worker pass has seen a change, wait on PassCounter instead.
class ManualClock {
public:
    std::int64_t now() {
        ++reads_;
        return nanoseconds_.load();
    }
    void advanceMilliseconds(std::int64_t ms) { nanoseconds_ += ms * 1000000; }
    void advanceNanoseconds(std::int64_t ns) { nanoseconds_ += ns; }
    std::int64_t peek() const { return nanoseconds_.load(); }
    std::uint64_t reads() const { return reads_.load(); }
    // Waits until the worker has read the clock `passes` more times.
    bool waitReads(std::uint64_t passes) {
        const std::uint64_t start = reads();
        return eventually([&] { return reads() >= start + passes; });
    }

private:
    std::atomic<std::int64_t> nanoseconds_{1'000'000'000'000};
    std::atomic<std::uint64_t> reads_{0};
};

// Counts the worker's passes, so a test can wait until a pass has started after a change.
class PassCounter {
public:
    void completed() {
        std::unique_lock<std::mutex> guard(lock_);
        ++passes_;
        parked_ = held_;
        changed_.notify_all();
        changed_.wait(guard, [&] { return !held_; });
        parked_ = false;
    }
    // Holds the worker at the end of its next pass, so that what a test then delivers and posts
    // reaches it together, in one batch. True once it is held there.
    bool holdAfterPass() {
        std::unique_lock<std::mutex> guard(lock_);
        held_ = true;
        return changed_.wait_for(guard, kPatience, [&] { return parked_; });
    }
    void releaseHold() {
        std::lock_guard<std::mutex> guard(lock_);
        held_ = false;
        changed_.notify_all();
    }
    // Waits until `count` more passes have completed: the last of them began after this call.
    bool wait(std::uint64_t count = 2) {
        std::unique_lock<std::mutex> guard(lock_);
        const std::uint64_t until = passes_ + count;
        return changed_.wait_for(guard, kPatience, [&] { return passes_ >= until; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t passes_ = 0;
    bool held_ = false;
    bool parked_ = false;
};

inline constexpr std::int64_t kWallClockSeconds = 1893456000;  // 2030-01-01

struct FakePlatform {
    std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
    std::shared_ptr<FakeSignaling> signaling = std::make_shared<FakeSignaling>();
    std::shared_ptr<MemoryVault> vault = std::make_shared<MemoryVault>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<MediaLab> media = std::make_shared<MediaLab>();
    std::shared_ptr<PeerLab> peers = std::make_shared<PeerLab>();
    std::shared_ptr<RecordingInputSink> sink = std::make_shared<RecordingInputSink>();
    std::shared_ptr<PassCounter> passes = std::make_shared<PassCounter>();
    std::vector<std::string> apartmentLog;  // written by the worker only, read after it stopped
    std::mutex apartmentLock;

    Platform make(WorkerApartment apartment = {}) {
        Platform platform;
        platform.clock = [clock = clock] { return clock->now(); };
        media->clock = [clock = clock] { return clock->peek(); };
        platform.media = fakeMedia(media);
        platform.makePeer = peers->factory();
        platform.inputSink = sink;
        platform.wallClockSeconds = [] { return kWallClockSeconds; };
        platform.passCompleted = [passes = passes] { passes->completed(); };
        platform.makeHttp = [service = service](const ServerOrigin&) -> std::unique_ptr<Http> {
            return std::make_unique<FakeHttp>(service);
        };
        platform.openSignaling = signaling->factory();
        platform.credentialVault = vault;
        platform.sha256 = fakeSha256;
        platform.apartment = std::move(apartment);
        return platform;
    }

    std::string target(const std::string& origin, const std::string& email, bool host) {
        return CredentialStore(*vault, fakeSha256).credentialTarget(origin, email, host);
    }
};

}  // namespace murel::app::test
