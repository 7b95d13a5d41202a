#pragma once
// The status and error sentences the Controller shows; the interface displays them unchanged.

namespace murel::app::text {

inline constexpr const char* kUnableToStart = "Unable to start Murel";
inline constexpr const char* kComInitializationFailed = "Windows COM initialization failed";
inline constexpr const char* kUnableToContinue = "Unable to continue Murel";
inline constexpr const char* kUnexpectedFailure = "Unexpected internal failure";
inline constexpr const char* kQueuesFull = "Connection queues are full; session closed to release input";
inline constexpr const char* kSignalingDisconnected =
    "Signaling disconnected; refresh to reconnect or sign in again";

inline constexpr const char* kDeviceOnlineFailed = "Device online; operation could not be completed";
inline constexpr const char* kDeviceOffline = "Device offline; refresh to reconnect";
inline constexpr const char* kSignInPrompt = "Sign in to your Murel account";

inline constexpr const char* kSigningIn = "Signing in to your Murel account";
inline constexpr const char* kRestoring = "Restoring your Murel connection";
inline constexpr const char* kSigningOut = "Signing out";
inline constexpr const char* kNoSavedCredential = "No saved credential for this server, account and role";
inline constexpr const char* kRoleMismatch = "Saved device role mismatch";
inline constexpr const char* kRevocationFailed =
    "Device revocation failed; its credential remains valid until expiry. ";
inline constexpr const char* kLogoutIncomplete = "Server sign-out incomplete. ";
inline constexpr const char* kRemovalFailed =
    "Saved credentials could not be removed from Windows Credential Manager.";
inline constexpr const char* kSignedOut = "Signed out; saved credentials removed";
inline constexpr const char* kSignedOutLocally = "Signed out locally";

inline constexpr const char* kSignInBeforeSignaling = "Sign in before reconnecting device signaling";
inline constexpr const char* kConnectingSignaling = "Connecting device signaling";
inline constexpr const char* kWaitingForHello = "Authenticated; waiting for device signaling hello";
inline constexpr const char* kDeviceOnline = "Device online; select a ready host or enable hosting";
inline constexpr const char* kRefreshingDevices = "Refreshing your devices";
inline constexpr const char* kConnectSignalingFirst = "Connect device signaling before this action";
inline constexpr const char* kSessionReservedWaiting = "Session reserved; waiting for the host";
inline constexpr const char* kRefreshPaused = "Session active; host list refresh is paused";
inline constexpr const char* kHostListUpdated = "Device online; host list updated";
inline constexpr const char* kSessionEndedByPeer = "Session ended by peer or service";
inline constexpr const char* kServiceRejected =
    "Control service rejected an operation for this device or session";
inline constexpr const char* kUnexpectedSessionStart = "Unexpected session start or membership mismatch";
inline constexpr const char* kUnrequestedSessionEndFailed = "Could not end an unrequested session: ";

// Stream settings.
inline constexpr const char* kNotAdvertised = "The host has not advertised stream settings";
inline constexpr const char* kChangeInProgress = "A stream settings change is already in progress";
inline constexpr const char* kModeUnsupported = "Host does not support this stream mode";
inline constexpr const char* kCouldNotSendSettings = "Could not send stream settings";
inline constexpr const char* kCouldNotAdvertise = "Could not advertise stream settings";
inline constexpr const char* kCouldNotAdvertiseModes = "Could not advertise stream modes";
inline constexpr const char* kCouldNotAcknowledge = "Could not acknowledge stream settings";
inline constexpr const char* kStreamChangeTimedOut = "Stream settings change timed out after 15 seconds";
inline constexpr const char* kHostAudioUnavailable = "Windows host system audio is unavailable";
inline constexpr const char* kStreamModesUnavailable = "Stream modes unavailable";
inline constexpr const char* kApplyingSettings = "Applying stream settings";
inline constexpr const char* kSettingsApplied = "Stream settings applied";
inline constexpr const char* kSettingsRejected =
    "The host could not apply that stream mode; choose a lower resolution or FPS";
inline constexpr const char* kChooseStreamMode = "Choose a stream mode first";

// Sessions.
inline constexpr const char* kBusyWithSession =
    "End the pending or active session before starting another connection or enabling hosting";
inline constexpr const char* kConnecting = "Connecting to the selected host";
inline constexpr const char* kSessionEnded = "Session ended";
inline constexpr const char* kConnectionCancelled = "Connection cancelled";
inline constexpr const char* kConnectionEndedByPeer = "Connection ended by peer or service";
inline constexpr const char* kReservedSessionRejected = "Control service rejected the reserved session";
inline constexpr const char* kSessionAuthorized = "Session authorized; negotiating native WebRTC";
inline constexpr const char* kViewerNotReady = "Viewer is not ready for this session";
inline constexpr const char* kNoActiveStream = "No active stream to configure";
inline constexpr const char* kSignalingUnavailable = "Signaling unavailable";
inline constexpr const char* kTransportConnected = "Transport connected; waiting for video";
inline constexpr const char* kPeerClosed = "Native WebRTC connection closed";
inline constexpr const char* kPeerFailedPrefix = "Native WebRTC transport failed (";
inline constexpr const char* kUnexpectedCodec = "Unexpected video codec selection";
inline constexpr const char* kHevcWithoutDecoder = "HEVC selected without a verified GPU decoder";
inline constexpr const char* kViewingUnavailable = "Remote viewing is unavailable on this device";
inline constexpr const char* kHostingUnavailable = "Hosting is unavailable on this device";

// Video and input.
inline constexpr const char* kVideoPresented = "Remote video presented \xE2\x80\x94 F11 fullscreen, close viewer to disconnect";
inline constexpr const char* kVideoNotVisible = "Remote video decoded; viewer is not visible";
inline constexpr const char* kRecoveringVideo = "Recovering remote video; waiting for a keyframe";
inline constexpr const char* kKeepaliveFailed = "Input keepalive failed";
inline constexpr const char* kReliableInputFailed = "Reliable input could not be sent; session closed";

// Hosting.
inline constexpr const char* kPreparingHost = "Preparing this PC for remote access";
inline constexpr const char* kHostProfileRequired = "Sign in using the Host this PC profile first";
inline constexpr const char* kEndSessionFirst = "End the current session before enabling hosting";
inline constexpr const char* kHostingEnabled = "Hosting enabled";
inline constexpr const char* kCheckingHost = "Checking capture and hardware encoding before advertising readiness";
inline constexpr const char* kHostProducedFrame = "Hosting enabled; hardware H.264 produced a captured frame";
inline constexpr const char* kCannotPublishReadiness = "Cannot publish host readiness";
inline constexpr const char* kHostingDisabled = "Hosting disabled";

// Watchdogs.
inline constexpr const char* kStartTimedOut = "Session start did not arrive within 15 seconds";
inline constexpr const char* kNoUsableVideo = "Session produced no usable video within 15 seconds";
inline constexpr const char* kProbeTimedOut = "Hardware capture/encode probe produced no frame within 5 seconds";

}  // namespace murel::app::text
