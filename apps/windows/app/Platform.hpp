#pragma once
// Everything the Controller needs from the machine it runs on, handed over once at construction.
//
// How a platform is assembled: fill in the members below and pass the record to the Controller.
//   - clock: a monotonic nanosecond counter (empty: std::chrono::steady_clock). Tests pass a clock
//     they advance by hand, so the watchdogs are checked without waiting.
//   - makeHttp: one murel::Http per control-service origin. httpOverTransport() wraps a factory of
//     HttpTransport in the portable HttpClient (Linux: makeBeastHttpTransport); Windows may also
//     return its WinHttpClient directly.
//   - openSignaling: the signaling socket for an origin and device token. signalingOverTransport()
//     builds the portable SignalingSocket over a factory of WebSocketTransport (Linux:
//     makeBeastWebSocketTransport; Windows: WinHttpWebSocketTransport). The socket is owned
//     and destroyed through a SignalingSocket pointer (its destructor is virtual).
//   - credentialVault and sha256: the saved-credential primitives (Credential Manager + CNG, or
//     FileCredentialVault + opensslSha256).
//   - requestIds: the GUID source of stream-settings request ids (empty: randomGuidSource()).
//   - apartment: the worker thread's set-up and tear-down (COM + Media Foundation on Windows,
//     murel::win::comMediaFoundationApartment() in app/win/WorkerApartment.hpp;
//     left empty on Linux, where there is nothing to do).
// makeHttp, openSignaling, credentialVault and sha256 are required; the Controller's constructor
// throws std::invalid_argument when one is missing.
//
//   - media: the makers of the media objects (graphics device, capture, converter, encoder,
//     decoders, presenter) and the media timer resolution (media/MediaFactory.hpp): Windows
//     murel::win::makeWindowsMediaFactory(), Linux murel::makeLinuxMediaFactory(), tests fakes.
//     Without the viewing makers Connect fails with "Remote viewing is unavailable on this
//     device"; without the hosting makers EnableHosting with "Hosting is unavailable on this
//     device" (MediaFactory::canView / canHost).
//   - makePeer: the session's peer connection (nativePeerFactory() in both programs). Required
//     for sessions, like the media.
//   - inputSink: where the host injects the viewer's input (SendInput, XTest, or a recording sink
//     for a host without a desktop to drive). The Controller owns one InputInjector over it, on
//     the Controller's own clock. Empty: the host takes no remote input.
//   - wallClockSeconds: seconds since 1970 for relay credential expiry (empty: the system clock).
//   - passCompleted: called on the worker after every pass of its loop; for tests that step the
//     clock and must know that a pass has seen it. Leave empty.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/SessionPeer.hpp"
#include "input/InputSink.hpp"
#include "media/MediaFactory.hpp"
#include "platform/CredentialVault.hpp"
#include "platform/HttpTransport.hpp"
#include "platform/SignalingSocket.hpp"
#include "platform/WebSocketTransport.hpp"
#include "protocol/Http.hpp"
#include "protocol/RequestId.hpp"
#include "protocol/Wire.hpp"

namespace murel::app {

// Nanoseconds of a monotonic clock; only differences between readings mean anything.
using MonotonicClock = std::function<std::int64_t()>;

using HttpFactory = std::function<std::unique_ptr<Http>(const ServerOrigin& origin)>;
using HttpTransportFactory = std::function<std::unique_ptr<HttpTransport>(const ServerOrigin& origin)>;

// Opens the signaling channel (upgrade included) and starts its threads, or throws the socket's
// ProtocolError. The handlers are the Controller's; they run on the socket's threads.
using SignalingFactory = std::function<std::unique_ptr<SignalingSocket>(
    const ServerOrigin& origin, std::string_view deviceToken, SignalingSocket::MessageHandler onMessage,
    SignalingSocket::FailureHandler onFailure)>;
using WebSocketTransportFactory =
    std::function<std::unique_ptr<WebSocketTransport>(const ServerOrigin& origin)>;

// The worker thread's environment. Every member may be left empty, meaning "nothing to do".
struct WorkerApartment {
    // First call on the worker thread (CoInitializeEx, multithreaded). False: the apartment could
    // not be entered; the worker then reports "Unable to start Murel" / "Windows COM
    // initialization failed" and ends without calling leave.
    std::function<bool()> enter;
    // Second call (MFStartup). Throws ProtocolError on failure, e.g. the text checkHr makes for the
    // step "Start Media Foundation".
    std::function<void()> startMedia;
    // MFShutdown, after a successful startMedia. Must not throw.
    std::function<void()> stopMedia;
    // CoUninitialize, after a successful enter. Must not throw.
    std::function<void()> leave;
};

struct Platform {
    MonotonicClock clock;
    HttpFactory makeHttp;
    SignalingFactory openSignaling;
    std::shared_ptr<CredentialVault> credentialVault;
    Sha256Function sha256;
    GuidSource requestIds;
    WorkerApartment apartment;
    MediaFactory media;
    PeerFactory makePeer;
    std::shared_ptr<InputSink> inputSink;
    std::function<std::int64_t()> wallClockSeconds;
    std::function<void()> passCompleted;
    // What the device registers as with the control service.
    std::string deviceKind = "windows";
};

// std::chrono::steady_clock in nanoseconds.
std::int64_t steadyClockNanoseconds();

// std::chrono::system_clock in whole seconds since 1970-01-01 UTC.
std::int64_t systemClockSeconds();

// An HttpFactory that puts the portable HttpClient over each transport the factory makes.
HttpFactory httpOverTransport(HttpTransportFactory transports);

// A SignalingFactory that runs the portable SignalingSocket over each transport the factory makes.
SignalingFactory signalingOverTransport(WebSocketTransportFactory transports);

}  // namespace murel::app
