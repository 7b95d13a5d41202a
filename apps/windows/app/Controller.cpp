#include "app/Controller.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "app/ControllerText.hpp"
#include "protocol/Wipe.hpp"

namespace murel::app {

Controller::Controller(Platform platform)
    : platform_(std::move(platform)),
      wake_(std::make_shared<WorkerWake>()),
      queue_(wake_),
      streams_(platform_.requestIds ? platform_.requestIds : randomGuidSource()) {
    if (!platform_.makeHttp || !platform_.openSignaling || !platform_.credentialVault ||
        !platform_.sha256) {
        throw std::invalid_argument("Controller platform lacks HTTP, signaling or credential services");
    }
    if (!platform_.clock) platform_.clock = steadyClockNanoseconds;
    if (!platform_.requestIds) platform_.requestIds = randomGuidSource();
    if (!platform_.wallClockSeconds) platform_.wallClockSeconds = systemClockSeconds;
    // The injector reads the same clock as the Controller, so a message's acceptance time and the
    // silence check can never come from two clocks.
    if (platform_.inputSink) injector_ = std::make_unique<InputInjector>(platform_.inputSink, platform_.clock);
    queue_.publish(working_);
    worker_ = std::thread(&Controller::workerMain, this);
}

Controller::~Controller() {
    queue_.requestStop();
    if (worker_.joinable()) worker_.join();
}

bool Controller::post(Command command) {
    if (workerStopped_.load()) {
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

std::int64_t Controller::nowNanoseconds() const { return platform_.clock(); }

void Controller::setStatus(std::string text) { working_.message = std::move(text); }

void Controller::setError(std::string text) { working_.error = std::move(text); }

bool Controller::online() const { return credential_ && signaling_ && signaling_->helloSeen(); }

bool Controller::sessionActive() const { return signaling_ && signaling_->session().has_value(); }

bool Controller::hostsSession() const { return sessionActive() && signaling_->isHost(); }

void Controller::requireOnline() const {
    if (!online()) throw ProtocolError(text::kConnectSignalingFirst);
}

void Controller::restoreTimerResolution() noexcept {
    if (!std::exchange(timerRaised_, false)) return;
    // The platform's restore must not throw; a failure would leave nothing to do but go on.
    try {
        if (platform_.media.restoreTimerResolution) platform_.media.restoreTimerResolution();
    } catch (...) {
    }
}

void Controller::ensureGraphics() {
    if (!device_) device_ = platform_.media.makeGraphicsDevice(0);
    if (!converter_) converter_ = platform_.media.makeConverter(*device_);
}

bool Controller::viewerInputAllowed() const {
    return sessionActive() && !signaling_->isHost() && peer_ && transportConnected_ && channelsOpen_ &&
           lastPresentOk_;
}

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
    working_.framesDecoded = framesDecoded_;
    working_.framesPresented = framesPresented_;
    working_.streamSettingsPending = streams_.pending().has_value();
    working_.streamConfiguration = streams_.appliedConfiguration();
    working_.hostStreamSettingsKnown = streams_.hostSupportsSettings();
    working_.hostStreamModes = streams_.offeredModes();
    working_.online = signaling_ && signaling_->helloSeen();
    working_.hostReady = hostingEnabled_ && hostReady_;
    working_.sessionActive = sessionActive();
    working_.hostsActiveSession = hostsSession();
    working_.reservationPending = reservation_.has_value();
    working_.viewerInputActive = viewerInputAllowed();
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
        WorkBatch batch = queue_.take(nextWait());
        if (batch.stop) return;
        runPass(batch);
        if (platform_.passCompleted) platform_.passCompleted();
    }
}

void Controller::runPass(WorkBatch& batch) {
    std::size_t next = 0;  // the first command of the batch not yet started
    try {
        if (batch.overflow) throw ProtocolError(text::kQueuesFull);
        // Ending a pending reservation goes before the pass's signaling events, so a session
        // start that arrives with it finds the reservation already gone.
        if (reservation_) {
            const auto found = std::find_if(batch.commands.begin(), batch.commands.end(),
                                            [](const Command& c) { return c.kind == CommandKind::EndSession; });
            if (found != batch.commands.end()) {
                Command command = std::move(*found);
                batch.commands.erase(found);
                handleCommand(command);
                publishStatus();
            }
        }
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
    case CommandKind::Connect:
        connect(command);
        break;
    case CommandKind::EndSession: {
        setError({});
        BusyScope scope(*this, true);
        endSession(true);
        setStatus(text::kSessionEnded);
        break;
    }
    case CommandKind::EnableHosting:
        enableHosting();
        break;
    case CommandKind::DisableHosting: {
        setError({});
        BusyScope scope(*this, true);
        disableHosting();
        break;
    }
    case CommandKind::Input:
        handleInput(command);
        break;
    case CommandKind::ReleaseInput:
        releaseRemoteInput();
        break;
    case CommandKind::ApplyStreamSettings:
        applyStreamSettings(command);
        break;
    }
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
            stopHosting();
            if (socket_) publishReady(false, kHostStatusUnavailable);
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

void Controller::shutdown() {
    stopping_ = true;
    Teardown teardown;
    // Nothing the viewer pressed may stay held on this desktop.
    releaseInjectedInput(teardown);
    teardown.step([&] { signOut(false); });
    presenter_.reset();
    hevcDecoder_.reset();
    decoder_.reset();
    stopHosting();
    closePeer(peer_, teardown);
    closePeer(retiredPeer_, teardown);
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
    converter_.reset();
    device_.reset();
    signaling_.reset();
    reservation_.reset();
    finishPendingOperation();
    clearCredential();
    restoreTimerResolution();
    // The worker is ending: a failed release has nobody left to report to but the status.
    try {
        teardown.finish();
    } catch (const std::exception& error) {
        setError(error.what());
    }
}

void Controller::releaseAfterFailure() noexcept {
    // The worker is ending on an unexpected failure: still close the channel, let go of injected
    // input, drop the media and wipe the tokens.
    try {
        stopping_ = true;
        ++signalingGeneration_;
        if (injector_) {
            try {
                injector_->disable();
            } catch (...) {
            }
        }
        if (socket_) {
            socket_->close();
            socket_.reset();
        }
        for (std::unique_ptr<SessionPeer>* peer : {&peer_, &retiredPeer_}) {
            if (*peer) {
                try {
                    (*peer)->close();
                } catch (...) {
                }
                peer->reset();
            }
        }
        presenter_.reset();
        decoder_.reset();
        hevcDecoder_.reset();
        pendingTexture_.reset();
        encoder_.reset();
        capturer_.reset();
        heldFrame_.reset();
        converter_.reset();
        device_.reset();
        signaling_.reset();
        hostingEnabled_ = false;
        hostReady_ = false;
        restoreTimerResolution();
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
