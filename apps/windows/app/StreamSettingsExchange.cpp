#include "app/StreamSettingsExchange.hpp"

#include <exception>
#include <utility>

#include "app/ControllerText.hpp"

namespace murel::app {

namespace {

constexpr std::string_view kKindPrefix = "stream.";

Json kindOnly(const char* kind) { return Json{{"kind", kind}}; }

Json withRequestId(const char* kind, const std::string& requestId) {
    return Json{{"kind", kind}, {"requestID", requestId}};
}

// The request id of a message that has exactly `members` members, one of them a valid requestID.
std::optional<std::string> requestIdOf(const Json& message, std::size_t members) {
    if (message.size() != members) return std::nullopt;
    const auto found = message.find("requestID");
    if (found == message.end()) return std::nullopt;
    return parseRequestId(*found);
}

}  // namespace

StreamSettingsExchange::StreamSettingsExchange(GuidSource requestIds) : requestIds_(std::move(requestIds)) {}

void StreamSettingsExchange::reset() {
    appliedRequestId_.clear();
    appliedConfiguration_ = StreamConfiguration{};
    pending_.reset();
    seenRequestIds_.clear();
    hostSupportsSettings_ = false;
    offeredModes_.reset();
}

void StreamSettingsExchange::setApplied(const StreamConfiguration& configuration, std::string requestId) {
    appliedConfiguration_ = configuration;
    appliedRequestId_ = std::move(requestId);
}

bool StreamSettingsExchange::timedOut(std::int64_t nowMs) const {
    return pending_ && nowMs > pending_->deadlineMs;
}

StreamMessageOutcome StreamSettingsExchange::handleMessage(std::string_view bytes, std::int32_t channel,
                                                           bool isHost, std::int64_t nowMs,
                                                           StreamSettingsLink& link) {
    if (channel != 0 || bytes.size() > kStreamMessageLimit) return StreamMessageOutcome::NotStreamSettings;
    const Json message = Json::parse(bytes, nullptr, false);
    if (!message.is_object()) return StreamMessageOutcome::NotStreamSettings;
    const auto kind = message.find("kind");
    if (kind == message.end() || !kind->is_string()) return StreamMessageOutcome::NotStreamSettings;
    const std::string& kindText = kind->get_ref<const std::string&>();
    if (kindText.compare(0, kKindPrefix.size(), kKindPrefix) != 0) {
        return StreamMessageOutcome::NotStreamSettings;
    }
    return isHost ? handleAsHost(message, kindText, nowMs, link) : handleAsViewer(message, kindText);
}

StreamMessageOutcome StreamSettingsExchange::handleAsHost(const Json& message, const std::string& kind,
                                                          std::int64_t nowMs, StreamSettingsLink& link) {
    if (kind != "stream.configure") return StreamMessageOutcome::Consumed;
    const std::optional<std::string> requestId = requestIdOf(message, 3);
    if (!requestId || !message.contains("configuration") || pending_) return StreamMessageOutcome::Consumed;
    // A repeat is dropped; past 64 requests in one session nothing more is answered.
    if (seenRequestIds_.count(*requestId) != 0) return StreamMessageOutcome::Consumed;
    if (seenRequestIds_.size() >= kSeenRequestIdLimit) return StreamMessageOutcome::Consumed;
    seenRequestIds_.insert(*requestId);

    StreamConfiguration configuration;
    try {
        configuration = parseStreamConfiguration(message.at("configuration"));
        if (configuration.systemAudio) throw ProtocolError(text::kHostAudioUnavailable);
        if (const std::optional<StreamModes>& modes = link.ownModes()) {
            checkOfferedMode(configuration, *modes);
        } else if (configuration.hasHeight) {
            throw ProtocolError(text::kStreamModesUnavailable);
        }
        link.rebuildMedia(configuration, *requestId);
    } catch (const std::exception&) {
        // The reason stays on this side; the viewer learns only that this request was refused.
        reject(*requestId, link);
        return StreamMessageOutcome::Consumed;
    }
    pending_ = PendingStreamChange{*requestId, configuration, nowMs + kStreamChangeLimitMs, false, {}};
    link.renegotiate();
    return StreamMessageOutcome::Consumed;
}

void StreamSettingsExchange::reject(const std::string& requestId, StreamSettingsLink& link) {
    // A refused send leaves the viewer to its own deadline; the channel reports its failure itself.
    (void)link.sendControl(toCompactJson(withRequestId("stream.rejected", requestId)));
}

StreamMessageOutcome StreamSettingsExchange::handleAsViewer(const Json& message, const std::string& kind) {
    if (kind == "stream.capabilities") {
        if (message.size() == 1) hostSupportsSettings_ = true;
        return StreamMessageOutcome::Consumed;
    }
    if (kind == "stream.modes") {
        try {
            offeredModes_ = parseStreamModes(message);
            hostSupportsSettings_ = true;
        } catch (const std::exception&) {
            // A malformed advertisement is dropped; whatever was known before stays.
        }
        return StreamMessageOutcome::Consumed;
    }
    if (kind != "stream.applied" && kind != "stream.rejected") return StreamMessageOutcome::Consumed;
    const std::optional<std::string> requestId = requestIdOf(message, 2);
    if (!requestId || !pending_ || pending_->requestId != *requestId) return StreamMessageOutcome::Consumed;
    // An acknowledgement counts only once the tagged offer was taken; a refusal only before.
    if (kind == "stream.applied") {
        if (!pending_->offerSeen) return StreamMessageOutcome::Consumed;
        pending_.reset();
        return StreamMessageOutcome::Applied;
    }
    if (pending_->offerSeen) return StreamMessageOutcome::Consumed;
    pending_.reset();
    return StreamMessageOutcome::Rejected;
}

void StreamSettingsExchange::advertise(StreamSettingsLink& link) {
    if (!link.sendControl(toCompactJson(kindOnly("stream.capabilities")))) {
        throw ProtocolError(text::kCouldNotAdvertise);
    }
    if (const std::optional<StreamModes>& modes = link.ownModes()) {
        if (!link.sendControl(toCompactJson(streamModesJson(*modes)))) {
            throw ProtocolError(text::kCouldNotAdvertiseModes);
        }
    }
}

void StreamSettingsExchange::channelsOpen(StreamSettingsLink& link) {
    if (pending_ && pending_->requestId == appliedRequestId_) {
        if (!link.sendControl(toCompactJson(withRequestId("stream.applied", pending_->requestId)))) {
            throw ProtocolError(text::kCouldNotAcknowledge);
        }
        pending_.reset();
    }
    advertise(link);
}

void StreamSettingsExchange::request(const StreamConfiguration& configuration, bool sessionReady,
                                     std::int64_t nowMs, StreamSettingsLink& link) {
    if (!sessionReady || !hostSupportsSettings_) throw ProtocolError(text::kNotAdvertised);
    if (pending_) throw ProtocolError(text::kChangeInProgress);
    if (offeredModes_) {
        checkOfferedMode(configuration, *offeredModes_);
    } else {
        // A host that listed no modes understands only the older format.
        validateStreamConfiguration(configuration);
        if (configuration.hasHeight) throw ProtocolError(text::kModeUnsupported);
    }
    std::string requestId = newRequestId(requestIds_);
    const Json message{{"kind", "stream.configure"},
                       {"requestID", requestId},
                       {"configuration", streamConfigurationJson(configuration, configuration.hasHeight)}};
    if (!link.sendControl(toCompactJson(message))) throw ProtocolError(text::kCouldNotSendSettings);
    pending_ = PendingStreamChange{std::move(requestId), configuration, nowMs + kStreamChangeLimitMs, false, {}};
}

PeerSignalDecision StreamSettingsExchange::routePeerSignal(const Json& message, bool isHost) {
    PeerSignalDecision decision;
    const auto payload = message.find("payload");
    if (payload == message.end() || !payload->is_object()) return decision;
    std::string requestId;
    if (const auto tag = payload->find("stream_request_id"); tag != payload->end()) {
        // A tag that is not a string names no request of ours.
        if (!tag->is_string()) return decision;
        requestId = tag->get<std::string>();
    }
    if (requestId == appliedRequestId_) {
        decision.route = PeerSignalRoute::Current;
        return decision;
    }
    if (isHost || !pending_ || pending_->requestId != requestId) return decision;

    const auto type = message.find("type");
    if (type == message.end() || !type->is_string()) return decision;
    if (*type == "ice") {
        if (pending_->heldCandidates.size() < kHeldCandidateLimit) {
            std::string text;
            try {
                text = toCompactJson(message);
            } catch (const std::exception&) {
                return decision;  // not serialisable: not a message worth keeping
            }
            if (text.size() < kHeldCandidateBytes) {
                pending_->heldCandidates.push_back(message);
                decision.route = PeerSignalRoute::Held;
            }
        }
        return decision;
    }
    if (*type != "offer" || pending_->offerSeen) return decision;
    const auto carried = payload->find("stream_configuration");
    if (carried == payload->end()) return decision;
    try {
        decision.configuration = parseStreamConfiguration(*carried);
    } catch (const std::exception&) {
        return decision;
    }
    if (!(decision.configuration == pending_->configuration)) return decision;
    decision.route = PeerSignalRoute::Restart;
    decision.requestId = requestId;
    return decision;
}

std::vector<Json> StreamSettingsExchange::beginRestart() {
    if (!pending_) return {};
    pending_->offerSeen = true;
    return std::exchange(pending_->heldCandidates, {});
}

}  // namespace murel::app
