#pragma once
// The application core: one worker thread that alone touches the network, the saved credentials
// and (later) the peer and the media. The interface meets it through post, snapshot, requestStop
// and workerStopped only.

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/Command.hpp"
#include "app/CommandQueue.hpp"
#include "app/Platform.hpp"
#include "app/Status.hpp"
#include "platform/CredentialStore.hpp"
#include "platform/Http.hpp"
#include "platform/SignalingSocket.hpp"
#include "protocol/SignalingSession.hpp"
#include "protocol/Wire.hpp"

namespace murel::app {

class Controller {
public:
    // Starts the worker thread; std::system_error when it cannot be started, std::invalid_argument
    // when the platform lacks a required member.
    explicit Controller(Platform platform);
    // Requests the stop, joins the worker and releases everything.
    ~Controller();

    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Queues the command or refuses it at once; the outcome shows later in the snapshot. Commands
    // of flows this build does not have (Connect, EndSession, EnableHosting, DisableHosting,
    // ApplyStreamSettings) are refused.
    bool post(Command command);
    // A copy of the last published status.
    Status snapshot() const;
    // Asks the worker to shut down; returns at once. Watch workerStopped.
    void requestStop();
    // True once the worker has finished for good.
    bool workerStopped() const;

private:
    // Shows the worker as busy while a blocking step runs; an operation's scope counts it as
    // completed on exit unless the operation was marked as pending beyond its handler. An
    // operation left by an exception is counted only once the pass has reported the failure:
    // the interface takes the counter's move as "finished, here is the outcome", and the error
    // containment publishes (busy) before it has set the error.
    class BusyScope {
    public:
        BusyScope(Controller& controller, bool countsOperation)
            : controller_(controller), counts_(countsOperation), exceptions_(std::uncaught_exceptions()) {
            ++controller_.busyDepth_;
            controller_.publishStatus();
        }
        ~BusyScope() {
            --controller_.busyDepth_;
            if (!counts_) return;
            if (std::uncaught_exceptions() > exceptions_) {
                ++controller_.failedOperations_;
            } else {
                ++controller_.working_.completedOperations;
            }
        }
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

        // The operation ends later; finishPendingOperation counts it then.
        void markPending() {
            counts_ = false;
            controller_.pendingOperation_ = true;
        }

    private:
        Controller& controller_;
        bool counts_;
        int exceptions_;
    };

    void workerMain();
    void runLoop();
    void runPass(WorkBatch& batch);
    void handleCommand(Command& command);
    void containError(const std::exception& error);
    void shutdown();
    void releaseAfterFailure() noexcept;
    void finalise();

    std::int64_t nowMilliseconds() const;
    void setStatus(std::string text);
    void setError(std::string text);
    void publishStatus();
    void finishPendingOperation();

    // Account flow.
    void signIn(Command& command);
    void registerDeviceAgain(const Command& command);
    void signOut(bool full);
    void clearCredential();

    // Presence.
    void connectSignaling();
    void handleSignalingEvent(const Json& message);
    void handleSessionStart(const Json& message, const std::string& sessionId);
    void refreshDevices();
    void refreshDeviceListPeriodically(std::int64_t now);
    void endSession(bool notifyService);
    void sendHostStatus(bool ready, std::string_view reason);

    // Input (no peer in this build: input is checked and dropped).
    void handleInput(Command& command);

    void tick();

    // Members are destroyed in reverse order: the socket (whose threads call into the queue)
    // goes before the queue it calls.
    Platform platform_;
    std::shared_ptr<WorkerWake> wake_;
    CommandQueue queue_;
    std::atomic<bool> workerStopped_{false};

    // Worker-owned from here on.
    std::int32_t busyDepth_ = 0;
    std::uint64_t signalingGeneration_ = 0;
    bool pendingOperation_ = false;
    std::uint64_t failedOperations_ = 0;  // left by an exception; counted when the pass ends
    Status working_;

    // Account state: replaced together.
    std::optional<SavedCredential> credential_;
    std::optional<ServerOrigin> origin_;
    std::unique_ptr<Http> http_;
    std::unique_ptr<CredentialStore> store_;
    std::string storeTarget_;

    // Signaling state.
    std::unique_ptr<SignalingSession> signaling_;
    std::unique_ptr<SignalingSocket> socket_;
    std::optional<std::int64_t> lastDeviceListMs_;  // the last device list request; none: never

    // Hosting state (the hosting flow is not part of this build; these stay false).
    bool hostingEnabled_ = false;
    bool hostReady_ = false;
    std::int64_t probeDeadlineMs_ = 0;

    std::thread worker_;
};

}  // namespace murel::app
