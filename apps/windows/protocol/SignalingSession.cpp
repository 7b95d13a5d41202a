#include "protocol/SignalingSession.hpp"

#include <utility>

namespace murel {
namespace {

constexpr const char* kInvalidProtocolMessage = "Invalid protocol message";
constexpr const char* kIdentityMismatch = "Signaling identity mismatch";
constexpr const char* kMembershipMismatch = "Session membership mismatch";

const Json* findMember(const Json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

bool isPresent(const Json* value) { return value != nullptr && !value->is_null(); }

// Compact size of a payload; a value that cannot be serialised (invalid UTF-8 in a locally built
// object) is as unacceptable as an oversized one.
std::size_t compactSize(const Json& value) {
    try {
        return toCompactJson(value).size();
    } catch (const Json::exception&) {
        throw ProtocolError(kInvalidProtocolMessage);
    }
}

bool isNonEmptyStringUpTo(const Json* value, std::size_t maxBytes) {
    if (value == nullptr || !value->is_string()) return false;
    const auto& text = value->get_ref<const std::string&>();
    return !text.empty() && text.size() <= maxBytes;
}

// The rules a receiver applies to an ice payload.
void checkIcePayload(const Json& payload) {
    throwUnless(isNonEmptyStringUpTo(findMember(payload, "candidate"), kIceCandidateLimit),
                kInvalidProtocolMessage);
    const Json* line = findMember(payload, "line");
    throwUnless(line != nullptr && isNonNegativeInteger(*line) &&
                    line->get<std::uint64_t>() < kIceMediaLineLimit,
                kInvalidProtocolMessage);
    const Json* mid = findMember(payload, "mid");
    if (isPresent(mid)) {
        throwUnless(mid->is_string() && mid->get_ref<const std::string&>().size() <= kIceMidBytes,
                    kInvalidProtocolMessage);
    }
}

bool sameSession(const SessionInfo& a, const SessionInfo& b) {
    return a.id == b.id && a.hostId == b.hostId && a.clientId == b.clientId;
}

}  // namespace

SignalingSession::SignalingSession(std::string deviceId) : deviceId_(std::move(deviceId)) {}

bool SignalingSession::isHost() const { return session_.has_value() && session_->hostId == deviceId_; }

void SignalingSession::reset() {
    helloSeen_ = false;
    session_.reset();
    remoteReady_ = false;
    queuedCandidates_.clear();
}

std::vector<Json> SignalingSession::takeQueuedCandidates(std::string_view sessionId) {
    if (!session_ || session_->id != sessionId) return {};
    std::vector<Json> taken;
    taken.reserve(queuedCandidates_.size());
    for (Json& candidate : queuedCandidates_) taken.push_back(std::move(candidate));
    queuedCandidates_.clear();
    remoteReady_ = true;
    return taken;
}

SignalEvent SignalingSession::classify(const Json& message) {
    const std::string type = requireString(message, "type", kSignalTypeBytes);
    std::string sessionId;
    if (isPresent(findMember(message, "session_id"))) {
        sessionId = requireString(message, "session_id", kSignalSessionIdBytes);
    }

    if (type == "hello") return classifyHello(message);

    const bool forActiveSession = session_.has_value() && session_->id == sessionId;

    // The service may report an error or end a session before it greets the device.
    if (type == "error") {
        if (sessionId.empty() || forActiveSession) return {SignalEventKind::Error, message};
        return {};
    }
    if (type == "session.end") {
        if (!forActiveSession) return {};
        SignalEvent event{SignalEventKind::SessionEnd, message};
        session_.reset();
        queuedCandidates_.clear();
        remoteReady_ = false;
        return event;
    }

    throwUnless(helloSeen_, "Signaling hello required");

    if (type == "heartbeat") return {};
    if (type == "session.start") return classifySessionStart(message, sessionId);

    // Peer signals for no session, or for another one, are stale: dropped without error.
    if (!forActiveSession) return {};
    return classifyPeerSignal(message, type);
}

SignalEvent SignalingSession::classifyHello(const Json& message) {
    const Json* payload = findMember(message, "payload");
    throwUnless(payload != nullptr, kInvalidProtocolMessage);
    const std::string protocol = requireString(*payload, "protocol", 32);
    const std::string deviceId = requireString(*payload, "device_id", 256);
    throwUnless(protocol == kSignalingProtocol && deviceId == deviceId_, kIdentityMismatch);
    throwUnless(!helloSeen_, "Duplicate signaling hello");
    helloSeen_ = true;
    return {SignalEventKind::Hello, message};
}

SignalEvent SignalingSession::classifySessionStart(const Json& message, const std::string& sessionId) {
    const Json* payload = findMember(message, "payload");
    throwUnless(payload != nullptr, kInvalidProtocolMessage);
    SessionInfo started = readSessionInfo(*payload);
    throwUnless(started.id == sessionId && (started.hostId == deviceId_ || started.clientId == deviceId_),
                kMembershipMismatch);
    if (session_) {
        if (sameSession(*session_, started)) return {};  // the service repeated itself
        throw ProtocolError("Session already active");
    }
    SignalEvent event{SignalEventKind::SessionStart, message};
    session_ = std::move(started);
    remoteReady_ = false;
    queuedCandidates_.clear();
    return event;
}

SignalEvent SignalingSession::classifyPeerSignal(const Json& message, const std::string& type) {
    const Json* payload = findMember(message, "payload");
    throwUnless(payload != nullptr && payload->is_object() && compactSize(*payload) <= kSignalPayloadLimit,
                kInvalidProtocolMessage);

    if (type == "offer" || type == "answer") {
        // The host offers and the viewer answers.
        throwUnless((type == "answer") == isHost(), "Unexpected SDP direction");
        throwUnless(isNonEmptyStringUpTo(findMember(*payload, "sdp"), kSdpLimit), kInvalidProtocolMessage);
        return {SignalEventKind::Description, message};
    }
    if (type == "ice") {
        checkIcePayload(*payload);
        if (remoteReady_) return {SignalEventKind::Candidate, message};
        // Held until the remote description is in place.
        throwUnless(queuedCandidates_.size() < kMaxQueuedCandidates, "Too many queued ICE candidates");
        queuedCandidates_.push_back(message);
        return {};
    }
    throw ProtocolError("Unsupported signaling message");
}

Json makeHeartbeatMessage() { return Json{{"type", "heartbeat"}}; }

Json makeHostStatusMessage(bool ready, std::string_view reason) {
    return Json{{"type", "host.status"},
                {"payload", Json{{"ready", ready}, {"reason", std::string(reason)}}}};
}

void tagStreamRequest(Json& signal, std::string_view requestId, const Json& streamConfiguration) {
    if (requestId.empty()) return;
    const Json* type = findMember(signal, "type");
    const Json* payload = findMember(signal, "payload");
    throwUnless(type != nullptr && type->is_string() && payload != nullptr && payload->is_object(),
                kInvalidProtocolMessage);
    const auto& kind = type->get_ref<const std::string&>();
    throwUnless(kind == "offer" || kind == "answer" || kind == "ice", kInvalidProtocolMessage);
    const bool isOffer = kind == "offer";
    throwUnless(!isOffer || streamConfiguration.is_object(), kInvalidProtocolMessage);

    // Tag a copy so that a refusal leaves the signal untouched.
    Json tagged = *payload;
    tagged["stream_request_id"] = std::string(requestId);
    if (isOffer) tagged["stream_configuration"] = streamConfiguration;
    throwUnless(compactSize(tagged) <= kSignalPayloadLimit, kInvalidProtocolMessage);
    signal["payload"] = std::move(tagged);
}

Json makeDescriptionMessage(std::string_view type, std::string_view sessionId, std::string_view sdp,
                            std::string_view streamRequestId, const Json& streamConfiguration) {
    throwUnless(type == "offer" || type == "answer", kInvalidProtocolMessage);
    validateIdentifier(sessionId);
    throwUnless(!sdp.empty() && sdp.size() <= kSdpLimit, kInvalidProtocolMessage);
    Json signal{{"type", std::string(type)},
                {"session_id", std::string(sessionId)},
                {"payload", Json{{"sdp", std::string(sdp)}}}};
    // SDP line ends are escaped when serialised, so the payload can outgrow the raw SDP.
    throwUnless(compactSize(signal["payload"]) <= kSignalPayloadLimit, kInvalidProtocolMessage);
    tagStreamRequest(signal, streamRequestId, streamConfiguration);
    return signal;
}

Json makeIceMessage(std::string_view sessionId, std::string_view candidate, std::string_view mid,
                    std::uint64_t line, std::string_view streamRequestId) {
    validateIdentifier(sessionId);
    Json payload{{"candidate", std::string(candidate)}, {"mid", std::string(mid)}, {"line", line}};
    checkIcePayload(payload);
    Json signal{{"type", "ice"}, {"session_id", std::string(sessionId)}, {"payload", std::move(payload)}};
    throwUnless(compactSize(signal["payload"]) <= kSignalPayloadLimit, kInvalidProtocolMessage);
    tagStreamRequest(signal, streamRequestId, Json());
    return signal;
}

Json makeHelloMessage(std::string_view deviceId) {
    return Json{{"type", "hello"},
                {"payload", Json{{"protocol", std::string(kSignalingProtocol)},
                                 {"device_id", std::string(deviceId)}}}};
}

Json makeSessionStartMessage(const SessionInfo& session) {
    return Json{{"type", "session.start"},
                {"session_id", session.id},
                {"payload", Json{{"id", session.id}, {"host_id", session.hostId}, {"client_id", session.clientId}}}};
}

}  // namespace murel
