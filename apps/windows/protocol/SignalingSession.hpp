#pragma once
// Signaling messages: the per-connection state machine that checks every received message against
// this device and the active session, and builders for the messages this program sends.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ControlApi.hpp"
#include "protocol/Wire.hpp"

namespace murel {

inline constexpr std::string_view kSignalingProtocol = "murel/1";
inline constexpr std::size_t kSignalTypeBytes = 32;
inline constexpr std::size_t kSignalSessionIdBytes = 256;
inline constexpr std::size_t kSignalPayloadLimit = 98304;  // compact payload of a peer signal
inline constexpr std::size_t kSdpLimit = 98304;
inline constexpr std::size_t kIceCandidateLimit = 8191;
inline constexpr std::size_t kIceMidBytes = 256;
inline constexpr std::uint64_t kIceMediaLineLimit = 64;    // line is 0..63
inline constexpr std::size_t kMaxQueuedCandidates = 256;

// The exact bytes of a heartbeat.
inline constexpr std::string_view kHeartbeatMessage = R"({"type":"heartbeat"})";

// Reasons a hosting device publishes with host.status.
inline constexpr std::string_view kHostStatusChecking = "Checking Windows capture and hardware H.264";
inline constexpr std::string_view kHostStatusReady = "Ready";
inline constexpr std::string_view kHostStatusDisabled = "Hosting is disabled";
inline constexpr std::string_view kHostStatusUnavailable = "Windows capture or codec unavailable";

enum class SignalEventKind { None, Hello, SessionStart, SessionEnd, Description, Candidate, Error };

struct SignalEvent {
    SignalEventKind kind = SignalEventKind::None;
    Json message;  // the whole received object; null when the message is ignored
};

class SignalingSession {
public:
    explicit SignalingSession(std::string deviceId);

    // Checks one received message and advances the state. Throws ProtocolError; a throw leaves the
    // state exactly as it was.
    SignalEvent classify(const Json& message);

    // When sessionId names the active session: candidates may flow from now on; returns the held
    // ice messages in arrival order and empties the queue. Otherwise returns nothing and changes
    // nothing.
    std::vector<Json> takeQueuedCandidates(std::string_view sessionId);

    // True when a session is active and this device is its host.
    bool isHost() const;

    void reset();

    const std::string& deviceId() const { return deviceId_; }
    bool helloSeen() const { return helloSeen_; }
    const std::optional<SessionInfo>& session() const { return session_; }
    bool remoteReady() const { return remoteReady_; }
    std::size_t queuedCandidateCount() const { return queuedCandidates_.size(); }

private:
    SignalEvent classifyHello(const Json& message);
    SignalEvent classifySessionStart(const Json& message, const std::string& sessionId);
    SignalEvent classifyPeerSignal(const Json& message, const std::string& type);

    std::string deviceId_;
    bool helloSeen_ = false;
    std::optional<SessionInfo> session_;
    bool remoteReady_ = false;
    std::deque<Json> queuedCandidates_;
};

// Messages sent by this program. Each checks its input against what a receiver accepts and
// throws ProtocolError rather than build something the other side must refuse.
Json makeHeartbeatMessage();
Json makeHostStatusMessage(bool ready, std::string_view reason);

// An offer or answer. With a non-empty streamRequestId the payload also carries
// "stream_request_id", and an offer "stream_configuration" (a stream configuration object).
Json makeDescriptionMessage(std::string_view type, std::string_view sessionId, std::string_view sdp,
                            std::string_view streamRequestId = {},
                            const Json& streamConfiguration = Json());
Json makeIceMessage(std::string_view sessionId, std::string_view candidate, std::string_view mid,
                    std::uint64_t line, std::string_view streamRequestId = {});

// Adds the stream tag to an outgoing offer, answer or ice message (nothing when requestId is
// empty): "stream_request_id" always, "stream_configuration" on offers. Throws
// "Invalid protocol message" when the tagged payload would exceed the payload limit.
void tagStreamRequest(Json& signal, std::string_view requestId, const Json& streamConfiguration);

// Locally built copies of what the service sends, to prime a session's own signaling state.
Json makeHelloMessage(std::string_view deviceId);
Json makeSessionStartMessage(const SessionInfo& session);

}  // namespace murel
