#include "app/Controller.hpp"

#include <chrono>
#include <stdexcept>
#include <utility>

#include "app/ControllerText.hpp"
#include "protocol/Wipe.hpp"

namespace murel::app {

namespace {

// Without video waiting for the decoder or a capture schedule the worker wakes every 8 ms.
constexpr std::chrono::milliseconds kIdleWait{8};

// Kinds whose flows this build has. The session, hosting and stream-settings flows add theirs.
bool handledKind(CommandKind kind) {
    switch (kind) {
    case CommandKind::SignIn:
    case CommandKind::SignUp:
    case CommandKind::Restore:
    case CommandKind::SignOut:
    case CommandKind::RefreshDevices:
    case CommandKind::Input:
    case CommandKind::ReleaseInput:
        return true;
    default:
        return false;
    }
}

}  // namespace

Controller::Controller(Platform platform)
    : platform_(std::move(platform)), wake_(std::make_shared<WorkerWake>()), queue_(wake_) {
    if (!platform_.makeHttp || !platform_.openSignaling || !platform_.credentialVault ||
        !platform_.sha256) {
        throw std::invalid_argument("Controller platform lacks HTTP, signaling or credential services");
    }
    if (!platform_.clock) platform_.clock = steadyClockNanoseconds;
    if (!platform_.requestIds) platform_.requestIds = randomGuidSource();
    queue_.publish(working_);
    worker_ = std::thread(&Controller::workerMain, this);
}

Controller::~Controller() {
    queue_.requestStop();
    if (worker_.joinable()) worker_.join();
}

bool Controller::post(Command command) {
    if (workerStopped_.load() || !handledKind(command.kind)) {
        wipePassword(command.password);
        return false;
    }
    const bool accepted = queue_.post(std::move(command));
    wipePassword(command.password);  // what the move left behind
    return accepted;
}

Status Controller::snapshot() const { return queue_.snapshot(); }

void Controller::requestStop() { queue_.requestStop(); }

bool Controller::workerStopped() const { return workerStopped_.load(); }

std::int64_t Controller::nowMilliseconds() const { return platform_.clock() / 1000000; }

void Controller::setStatus(std::string text) { working_.message = std::move(text); }

void Controller::setError(std::string text) { working_.error = std::move(text); }

void Controller::publishStatus() {
    working_.signedIn = credential_.has_value();
    working_.busy = busyDepth_ != 0 || (hostingEnabled_ && !hostReady_);
    working_.hostProfile = credential_.has_value() && credential_->host;
    if (!credential_) {
        working_.deviceId.clear();
        working_.accountEmail.clear();
        working_.deviceName.clear();
    } else {
        working_.deviceId = credential_->device.id;
        for (const HostInfo& host : working_.hosts) {
            if (host.id == working_.deviceId) {
                working_.deviceName = host.name;
                break;
            }
        }
    }
    const bool haveSession = signaling_ && signaling_->session().has_value();
    working_.online = signaling_ && signaling_->helloSeen();
    working_.hostReady = hostingEnabled_ && hostReady_;
    working_.sessionActive = haveSession;
    working_.hostsActiveSession = haveSession && signaling_->isHost();
    // Reservations, the peer and the viewer's video arrive with the session flow.
    working_.reservationPending = false;
    working_.viewerInputActive = false;
    queue_.publish(working_);
}

void Controller::finishPendingOperation() {
    if (!pendingOperation_) return;
    pendingOperation_ = false;
    ++working_.completedOperations;
}

void Controller::workerMain() {
    WorkerApartment& apartment = platform_.apartment;
    bool entered = false;
    try {
        entered = apartment.enter ? apartment.enter() : true;
    } catch (...) {
        entered = false;
    }
    if (!entered) {
        setStatus(text::kUnableToStart);
        setError(text::kComInitializationFailed);
        finalise();
        workerStopped_.exchange(true);
        return;
    }

    bool mediaStarted = false;
    try {
        if (apartment.startMedia) apartment.startMedia();
        mediaStarted = true;
        runLoop();
        shutdown();
        mediaStarted = false;
        if (apartment.stopMedia) apartment.stopMedia();
    } catch (const std::exception& error) {
        setStatus(text::kUnableToContinue);
        setError(error.what());
        releaseAfterFailure();
    } catch (...) {
        setStatus(text::kUnableToContinue);
        setError(text::kUnexpectedFailure);
        releaseAfterFailure();
    }
    if (mediaStarted && apartment.stopMedia) apartment.stopMedia();
    finalise();
    if (apartment.leave) apartment.leave();
    workerStopped_.exchange(true);
}

void Controller::runLoop() {
    for (;;) {
        // The 1 ms wait while video awaits decoding and the host's capture pacing join here with
        // the video pumps.
        WorkBatch batch = queue_.take(kIdleWait);
        if (batch.stop) return;
        runPass(batch);
    }
}

void Controller::runPass(WorkBatch& batch) {
    std::size_t next = 0;  // the first command of the batch not yet started
    try {
        if (batch.overflow) throw ProtocolError(text::kQueuesFull);
        for (SignalingEvent& event : batch.events) {
            if (queue_.stopRequested()) break;
            if (event.generation != signalingGeneration_) continue;  // an older socket's
            if (event.closed) {
                BusyScope scope(*this, false);
                signOut(false);
                throw ProtocolError(text::kSignalingDisconnected);
            }
            handleSignalingEvent(event.message);
        }
        while (next < batch.commands.size()) {
            if (queue_.stopRequested()) break;
            Command& command = batch.commands[next++];
            handleCommand(command);
            publishStatus();
        }
        if (!queue_.stopRequested()) tick();
    } catch (const std::exception& error) {
        containError(error);
    }
    // Commands that never ran (a failure or a stop ended the pass) still complete for the
    // interface, which waits for the counter to move.
    for (std::size_t i = next; i < batch.commands.size(); ++i) {
        if (isOperation(batch.commands[i].kind)) ++working_.completedOperations;
        wipePassword(batch.commands[i].password);
    }
    // The failed operation completes in the same snapshot that shows its error.
    working_.completedOperations += std::exchange(failedOperations_, 0);
    publishStatus();
}

void Controller::handleCommand(Command& command) {
    WipePasswordOnExit wipeOnExit(command.password);
    switch (command.kind) {
    case CommandKind::SignIn:
    case CommandKind::SignUp:
    case CommandKind::Restore: {
        setError({});
        setStatus(command.kind == CommandKind::Restore ? text::kRestoring : text::kSigningIn);
        BusyScope scope(*this, true);
        signIn(command);
        break;
    }
    case CommandKind::SignOut: {
        setError({});
        setStatus(text::kSigningOut);
        BusyScope scope(*this, true);
        signOut(true);
        break;
    }
    case CommandKind::RefreshDevices: {
        setError({});
        setStatus(text::kRefreshingDevices);
        BusyScope scope(*this, true);
        refreshDevices();
        break;
    }
    case CommandKind::Input:
        handleInput(command);
        break;
    case CommandKind::ReleaseInput:
        // Only a viewer with a peer has anything to release; no peer exists in this build.
        break;
    default:
        // post() refuses every other kind, so none reaches the queue.
        if (isOperation(command.kind)) ++working_.completedOperations;
        break;
    }
}

void Controller::handleInput(Command& command) {
    (void)command;
    if (!credential_ || !signaling_ || !signaling_->helloSeen()) {
        throw ProtocolError(text::kConnectSignalingFirst);
    }
    // Input flows only while this device views an active session over a connected peer; until
    // then it is dropped without error.
}

void Controller::containError(const std::exception& error) {
    const std::string text = error.what();
    {
        BusyScope scope(*this, false);
        try {
            endSession(true);
        } catch (const std::exception&) {
            // The session is gone locally either way; the failure that brought us here is the one
            // the user needs to see.
        }
        if (hostingEnabled_) {
            hostingEnabled_ = false;
            hostReady_ = false;
            probeDeadlineMs_ = 0;
            if (socket_) sendHostStatus(false, kHostStatusUnavailable);
        }
        finishPendingOperation();
        if (credential_) {
            setStatus(signaling_ && signaling_->helloSeen() ? text::kDeviceOnlineFailed
                                                             : text::kDeviceOffline);
        } else {
            setStatus(text::kSignInPrompt);
        }
        setError(text);
    }
    // Not published here: the caller first counts the operations of the batch that will not run,
    // so the interface never sees the failure reported with part of its batch still pending.
}

void Controller::tick() {
    const std::int64_t now = nowMilliseconds();
    // Reservation watchdog and input-injector expiry come with the session and hosting flows.
    refreshDeviceListPeriodically(now);
    // Peer events, the host and viewer pumps, frame-rate statistics and the session and stream
    // settings watchdogs follow here in that order once the media exists.
}

void Controller::shutdown() {
    signOut(false);
    hostingEnabled_ = false;
    hostReady_ = false;
    finishPendingOperation();
    clearCredential();
}

void Controller::releaseAfterFailure() noexcept {
    // The worker is ending on an unexpected failure: still close the channel and wipe the tokens.
    try {
        ++signalingGeneration_;
        if (socket_) {
            socket_->close();
            socket_.reset();
        }
        signaling_.reset();
        hostingEnabled_ = false;
        hostReady_ = false;
        finishPendingOperation();
        clearCredential();
    } catch (...) {
    }
}

void Controller::finalise() {
    try {
        working_.completedOperations += std::exchange(failedOperations_, 0);
        working_.completedOperations += queue_.close();
        publishStatus();
    } catch (...) {
        // Nothing is left to report to.
    }
}

}  // namespace murel::app
