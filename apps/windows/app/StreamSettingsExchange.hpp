#pragma once
// The stream-settings exchange of one session, both roles: the host advertises that it takes
// changes and which modes it offers, the viewer asks for one configuration, the host refuses it at
// once or rebuilds its media for it and acknowledges once the renegotiated connection is up. The
// messages are small JSON objects on the peer's control channel, next to remote input.
//
// The exchange keeps the session's bookkeeping (applied request and configuration, the pending
// change with its 15 s deadline and, on the viewer, the candidates held for a tagged restart, the
// host's seen request ids, what the host advertised) and decides; the Controller carries out what
// touches the peer and the media through StreamSettingsLink.
//
// Threads: the Controller's worker only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/RequestId.hpp"
#include "protocol/StreamSettings.hpp"
#include "protocol/Wire.hpp"

namespace murel::app {

inline constexpr std::int64_t kStreamChangeLimitMs = 15000;
inline constexpr std::size_t kSeenRequestIdLimit = 64;
inline constexpr std::size_t kHeldCandidateLimit = 64;
inline constexpr std::size_t kHeldCandidateBytes = 10240;  // compact text, exclusive

// What the exchange needs from the session it belongs to.
class StreamSettingsLink {
public:
    virtual ~StreamSettingsLink() = default;
    // One message on the current peer's control channel; false when it was refused.
    virtual bool sendControl(std::string_view message) = 0;
    // Host: the modes this display offers, when they could be computed.
    virtual const std::optional<StreamModes>& ownModes() = 0;
    // Host: builds the media for the configuration and request id (the new peer replaces the
    // current one). Throws when it cannot; nothing is replaced then.
    virtual void rebuildMedia(const StreamConfiguration& configuration, const std::string& requestId) = 0;
    // Host: starts the renegotiation on the peer rebuildMedia installed.
    virtual void renegotiate() = 0;
};

struct PendingStreamChange {
    std::string requestId;
    StreamConfiguration configuration;
    std::int64_t deadlineMs = 0;
    // Viewer: the host's tagged offer was taken and the receiving side rebuilt.
    bool offerSeen = false;
    // Viewer: ice messages of the tagged renegotiation that arrived before its offer.
    std::vector<Json> heldCandidates;
};

// What a received control-channel message turned out to be.
enum class StreamMessageOutcome {
    NotStreamSettings,  // not taken: the host injects it as input, the viewer drops it
    Consumed,           // a stream-settings message, handled or dropped silently
    Applied,            // viewer: the pending change completed ("Stream settings applied")
    Rejected,           // viewer: the host refused the pending change
};

// Where a received offer, answer or ice message of the active session goes.
enum class PeerSignalRoute {
    Current,  // tagged like the current media: classify it and hand it to the peer
    Held,     // an early candidate of the pending tagged restart, kept for later
    Restart,  // the pending restart's offer: rebuild with `configuration`, then treat as Current
    Ignore,
};

struct PeerSignalDecision {
    PeerSignalRoute route = PeerSignalRoute::Ignore;
    std::string requestId;              // Restart: the tag the new media is built for
    StreamConfiguration configuration;  // Restart: the configuration the offer carries
};

class StreamSettingsExchange {
public:
    explicit StreamSettingsExchange(GuidSource requestIds);

    // Forgets everything of the session: applied request (back to the default configuration),
    // pending change, seen ids, what the host advertised.
    void reset();

    // What the media now in use was built for.
    void setApplied(const StreamConfiguration& configuration, std::string requestId);
    const std::string& appliedRequestId() const { return appliedRequestId_; }
    const StreamConfiguration& appliedConfiguration() const { return appliedConfiguration_; }

    const std::optional<PendingStreamChange>& pending() const { return pending_; }
    // True when a change is pending and nowMs is later than its deadline.
    bool timedOut(std::int64_t nowMs) const;

    // Offers one data-channel message. Only control-channel messages of at most 4096 bytes that
    // parse as an object whose "kind" starts with "stream." are taken. Host: a valid request is
    // either refused with "stream.rejected" or applied (link.rebuildMedia, then link.renegotiate,
    // which may throw). Viewer: capabilities, modes, and the answer to its pending change.
    StreamMessageOutcome handleMessage(std::string_view bytes, std::int32_t channel, bool isHost,
                                       std::int64_t nowMs, StreamSettingsLink& link);

    // Host: sends "stream.capabilities" and, when the display's modes are known, "stream.modes".
    void advertise(StreamSettingsLink& link);
    // Host, every time both data channels of a peer are open: acknowledges a pending change that
    // the current media was built for, then advertises.
    void channelsOpen(StreamSettingsLink& link);

    // Viewer: asks the host for a configuration. `sessionReady`: an active session with this device
    // as its client and a peer whose transport is connected.
    void request(const StreamConfiguration& configuration, bool sessionReady, std::int64_t nowMs,
                 StreamSettingsLink& link);
    bool hostSupportsSettings() const { return hostSupportsSettings_; }
    const std::optional<StreamModes>& offeredModes() const { return offeredModes_; }

    // Viewer and host: routes a received offer, answer or ice message by its "stream_request_id".
    // Early candidates of the pending restart are kept here (at most 64, each under 10240 bytes).
    PeerSignalDecision routePeerSignal(const Json& message, bool isHost);
    // Viewer: the restart's offer was taken; returns the held candidates in arrival order.
    std::vector<Json> beginRestart();

private:
    StreamMessageOutcome handleAsHost(const Json& message, const std::string& kind, std::int64_t nowMs,
                                      StreamSettingsLink& link);
    StreamMessageOutcome handleAsViewer(const Json& message, const std::string& kind);
    void reject(const std::string& requestId, StreamSettingsLink& link);

    GuidSource requestIds_;
    std::string appliedRequestId_;
    StreamConfiguration appliedConfiguration_;
    std::optional<PendingStreamChange> pending_;
    std::set<std::string> seenRequestIds_;  // host
    bool hostSupportsSettings_ = false;      // viewer
    std::optional<StreamModes> offeredModes_;  // viewer
};

}  // namespace murel::app
