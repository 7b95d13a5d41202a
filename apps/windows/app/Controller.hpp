#pragma once
// The application core: one worker thread that alone touches the network, the saved credentials,
// the peer connection and the media. The interface meets it through post, snapshot, requestStop
// and workerStopped only.
//
// The flows live in their own files: AccountFlow (sign-in, sign-out), Presence (signaling and the
// device list), ViewerSession (connect, session start and end), SessionMedia (media of a session,
// peer signals and events), Hosting (readiness probe, host pump), VideoPump (the viewer's video
// and remote input) and Watchdogs (tick, deadlines, statistics, the worker's wait).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Command.hpp"
#include "app/CommandQueue.hpp"
#include "app/Platform.hpp"
#include "app/SessionPeer.hpp"
#include "app/Status.hpp"
#include "app/StreamSettingsExchange.hpp"
#include "input/InputInjector.hpp"
#include "media/MediaTypes.hpp"
#include "platform/CredentialStore.hpp"
#include "platform/SignalingSocket.hpp"
#include "protocol/Http.hpp"
#include "protocol/SignalingSession.hpp"
#include "protocol/Wire.hpp"

namespace murel::app {

inline constexpr std::int64_t kSessionLimitMs = 15000;   // start of a reserved session; first video
inline constexpr std::int64_t kProbeLimitMs = 5000;      // the host's first encoded picture
inline constexpr std::int64_t kKeepaliveIntervalMs = 250;
inline constexpr std::int64_t kRateWindowMs = 1000;
inline constexpr std::size_t kFrameQueueLimit = 8;       // received frames waiting for the decoder
inline constexpr int kDecodesPerPass = 8;

// The wait of one pass of the worker: 1 ms while video waits for decoding or presentation,
// otherwise 8 ms, shortened to the host's next capture time when that is scheduled (0: none),
// never below 0.
std::chrono::nanoseconds workerWait(bool videoWaiting, std::int64_t nextCaptureNs, std::int64_t nowNs);

// The host's next capture time after one taken at nowNs: one interval after the previous schedule
// (or after now when there was none), never in the past (late passes skip ahead, never burst).
std::int64_t nextCaptureTime(std::int64_t scheduledNs, std::int64_t nowNs, std::int32_t fps);

// 100-ns media time to the 90 kHz RTP clock (time / 1000 x 9, wrapping in 32 bits), and back
// (rtp x 1000 / 9, in 64 bits: the product does not fit 32).
std::uint32_t rtpTimestampOf(std::int64_t mediaTime);
std::int64_t mediaTimeOf(std::uint32_t rtpTimestamp);

class Controller {
public:
    // Starts the worker thread; std::system_error when it cannot be started, std::invalid_argument
    // when the platform lacks a required member.
    explicit Controller(Platform platform);
    // Requests the stop, joins the worker and releases everything.
    ~Controller();

    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Queues the command or refuses it at once; the outcome shows later in the snapshot.
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

    // Runs teardown steps so that a failing one does not skip the others; the first failure is
    // raised once all have run.
    class Teardown {
    public:
        template <typename Step>
        void step(Step&& run) {
            try {
                run();
            } catch (const std::exception&) {
                if (!first_) first_ = std::current_exception();
            }
        }
        void finish() {
            if (first_) std::rethrow_exception(std::exchange(first_, nullptr));
        }

    private:
        std::exception_ptr first_;
    };

    // The exchange's view of the current session.
    class StreamLink final : public StreamSettingsLink {
    public:
        explicit StreamLink(Controller& controller) : controller_(controller) {}
        bool sendControl(std::string_view message) override;
        const std::optional<StreamModes>& ownModes() override;
        void rebuildMedia(const StreamConfiguration& configuration, const std::string& requestId) override;
        void renegotiate() override;

    private:
        Controller& controller_;
        std::exception_ptr installFailure_;
    };

    // Everything createMedia builds before it replaces anything.
    struct MediaBuild {
        StreamConfiguration configuration;
        std::string requestId;
        bool host = false;
        std::unique_ptr<HardwareH264Encoder> encoder;
        std::unique_ptr<SessionPeer> peer;
        std::unique_ptr<VideoDecoder> decoder;
        std::unique_ptr<VideoDecoder> hevcDecoder;
        std::unique_ptr<SignalingSession> signaling;
    };

    struct QueuedFrame {
        PeerBytes bytes;
        std::uint32_t rtpTimestamp = 0;
    };

    // Controller.cpp: the worker loop and what every flow shares.
    void workerMain();
    void runLoop();
    void runPass(WorkBatch& batch);
    void handleCommand(Command& command);
    void containError(const std::exception& error);
    void shutdown();
    void releaseAfterFailure() noexcept;
    void finalise();
    std::int64_t nowMilliseconds() const;
    std::int64_t nowNanoseconds() const;
    void setStatus(std::string text);
    void setError(std::string text);
    void publishStatus();
    void finishPendingOperation();
    bool online() const;
    bool sessionActive() const;
    bool hostsSession() const;
    void requireOnline() const;
    void ensureGraphics();
    void restoreTimerResolution() noexcept;

    // AccountFlow.cpp
    void signIn(Command& command);
    void registerDeviceAgain(const Command& command);
    void signOut(bool full);
    void clearCredential();

    // Presence.cpp
    void connectSignaling();
    void handleSignalingEvent(const Json& message);
    void refreshDevices();
    void refreshDeviceListPeriodically(std::int64_t now);

    // ViewerSession.cpp
    void connect(const Command& command);
    void handleSessionStart(const Json& message, const std::string& sessionId);
    void setUpSession();
    void applyStreamSettings(const Command& command);
    void endSession(bool notifyService);

    // SessionMedia.cpp
    void createMedia(const StreamConfiguration& configuration, const std::string& streamRequestId);
    MediaBuild buildMedia(const StreamConfiguration& configuration, const std::string& streamRequestId);
    void installMedia(MediaBuild build, Teardown& teardown);
    void handlePeerSignal(const Json& message);
    void applyDescriptionOrCandidate(const Json& message);
    void pumpPeerEvents();
    void handlePeerEvent(PeerEvent& event, bool& dropFrames);
    void sendLocalSignal(Json signal);
    void closePeer(std::unique_ptr<SessionPeer>& peer, Teardown& teardown);
    void releaseInjectedInput(Teardown& teardown);

    // Hosting.cpp
    void enableHosting();
    void disableHosting();
    void stopHosting();
    bool publishReady(bool ready, std::string_view reason);
    void pumpHost(std::int64_t now);

    // VideoPump.cpp
    void pumpViewer(std::int64_t now);
    void takeDecodedFrames(std::optional<DecodedFrame>& latest, std::uint64_t& count);
    void recoverVideo();
    void handleInput(Command& command);
    void releaseRemoteInput();
    bool sendRelease(SessionPeer& peer);
    bool viewerInputAllowed() const;

    // Watchdogs.cpp
    void tick();
    void updateFrameRates(std::int64_t now);
    std::chrono::nanoseconds nextWait() const;

    // Members are destroyed in reverse order: the socket (whose threads call into the queue)
    // goes before the queue it calls, the media objects before the device they were made on.
    Platform platform_;
    std::shared_ptr<WorkerWake> wake_;
    CommandQueue queue_;
    std::atomic<bool> workerStopped_{false};
    std::unique_ptr<InputInjector> injector_;  // host input, for the Controller's whole life

    // Worker-owned from here on.
    std::int32_t busyDepth_ = 0;
    std::uint64_t signalingGeneration_ = 0;
    bool pendingOperation_ = false;
    bool stopping_ = false;
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

    // Shared media.
    std::unique_ptr<GraphicsDevice> device_;
    std::unique_ptr<VideoConverter> converter_;

    // Session state.
    std::optional<SessionInfo> reservation_;
    std::int64_t sessionDeadlineMs_ = 0;
    std::vector<IceServer> iceServers_;
    std::unique_ptr<SignalingSession> mediaSignaling_;
    std::unique_ptr<SessionPeer> retiredPeer_;
    std::unique_ptr<SessionPeer> peer_;
    StreamSettingsExchange streams_;
    StreamLink streamLink_{*this};
    bool transportConnected_ = false;
    bool channelsOpen_ = false;
    bool timerRaised_ = false;

    // Viewer.
    std::unique_ptr<ViewerPresenter> presenter_;
    std::uint64_t surface_ = 0;
    std::unique_ptr<VideoDecoder> decoder_;
    std::unique_ptr<VideoDecoder> hevcDecoder_;
    bool noHevc_ = false;
    bool hevcVerified_ = false;
    std::deque<QueuedFrame> frameQueue_;
    PictureHandle pendingTexture_;
    bool lastPresentOk_ = false;
    std::uint64_t inputSequence_ = 0;
    std::int64_t lastKeepaliveMs_ = 0;
    std::uint64_t framesDecoded_ = 0;
    std::uint64_t framesPresented_ = 0;
    std::int64_t rateWindowStartMs_ = 0;
    std::uint64_t rateWindowDecoded_ = 0;
    std::uint64_t rateWindowPresented_ = 0;

    // Hosting.
    bool hostingEnabled_ = false;
    bool hostReady_ = false;
    std::int64_t probeDeadlineMs_ = 0;
    std::unique_ptr<DesktopCapture> capturer_;
    std::optional<CapturedFrame> heldFrame_;
    std::unique_ptr<HardwareH264Encoder> encoder_;
    std::int32_t encodeWidth_ = 0;
    std::int32_t encodeHeight_ = 0;
    std::int64_t nextCaptureNs_ = 0;
    std::optional<StreamModes> hostModes_;

    std::thread worker_;
};

}  // namespace murel::app
