#pragma once
// A WebRTC peer connection: one ICE agent, one DTLS transport (BUNDLE), an SCTP association for data
// channels and SRTP for media tracks.
//
// Negotiation is explicit: setLocalDescription() makes the offer or the answer, which arrives
// through onLocalDescription; local candidates trickle through onLocalCandidate (and are added to
// localDescription(), which ends with a=end-of-candidates once gathering completed). Renegotiation
// after the first offer/answer exchange is not supported and throws std::logic_error.
//
// Threads: public calls from any thread, also from inside callbacks. Every callback of a connection
// (its own, its data channels' and its tracks') runs on that connection's callback thread, one at a
// time in the order of their events, never on the caller's stack, never on the layer's network or
// timer threads and never under a lock that a public call takes: a slow callback delays only the
// callbacks of its own connection. Callbacks queue up to a bound (received messages and frames
// also by bytes); what does not fit is dropped and reported through the channel's or track's
// onError. Once the connection is destroyed its own queued callbacks are not made, but one already
// running may still finish, and channels and tracks may call theirs after close() returned, so
// callbacks should hold what they use by weak reference.

#include "rtc/Candidate.hpp"
#include "rtc/Configuration.hpp"
#include "rtc/DataChannel.hpp"
#include "rtc/Description.hpp"
#include "rtc/Reliability.hpp"
#include "rtc/Track.hpp"

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

namespace rtc {

// Credentials a local description should use instead of generated ones (not supported: the ICE
// agent always generates its own; giving either throws std::invalid_argument).
struct LocalDescriptionInit {
    std::optional<std::string> iceUfrag;
    std::optional<std::string> icePwd;
};

namespace detail {
struct PeerConnectionImpl;
}

class PeerConnection final {
public:
    enum class State : int { New, Connecting, Connected, Disconnected, Failed, Closed };
    enum class GatheringState : int { New, InProgress, Complete };
    enum class SignalingState : int { Stable, HaveLocalOffer, HaveRemoteOffer };

    PeerConnection();
    // Throws std::invalid_argument for a configuration it cannot honour (RSA certificate, a port
    // range that is not one).
    explicit PeerConnection(Configuration config);
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    // Closes every channel and track, tells the peer (DTLS close_notify) and releases the sockets.
    // Idempotent.
    void close();

    const Configuration* config() const;
    State state() const;
    GatheringState gatheringState() const;
    SignalingState signalingState() const;
    std::optional<Description> localDescription() const;
    std::optional<Description> remoteDescription() const;
    // Remote candidates seen so far (trickled or embedded), at most SDP_MAX_CANDIDATES.
    size_t remoteCandidateCount() const;

    // Unspec makes an answer when a remote offer is pending, an offer otherwise. Offer in Stable
    // (a repeat while the offer is pending does nothing); Answer with a remote offer pending.
    // Throws std::logic_error otherwise, and after close().
    void setLocalDescription(Description::Type type = Description::Type::Unspec,
                             LocalDescriptionInit init = {});
    // Throws std::invalid_argument for a description without ICE credentials, without a usable
    // fingerprint or without any section, std::logic_error for the wrong type in this state.
    void setRemoteDescription(Description description);
    // Before the remote description too (kept and used once it arrives). Candidates this agent cannot
    // use (TCP, unresolved host names) are ignored. Throws std::logic_error after close().
    void addRemoteCandidate(Candidate candidate);

    // Throws std::invalid_argument for a negotiated channel without id, an id of the wrong parity
    // once known, or both reliability limits; std::logic_error after close().
    std::shared_ptr<DataChannel> createDataChannel(std::string label, DataChannelInit init = {});
    // A media section to offer (or to answer with, matched by mid). Throws std::invalid_argument for
    // a duplicate mid, std::logic_error after close() or once negotiated.
    std::shared_ptr<Track> addTrack(Description::Media description);

    void onDataChannel(std::function<void(std::shared_ptr<DataChannel> channel)> callback);
    void onTrack(std::function<void(std::shared_ptr<Track> track)> callback);
    void onLocalDescription(std::function<void(Description description)> callback);
    void onLocalCandidate(std::function<void(Candidate candidate)> callback);
    void onStateChange(std::function<void(State state)> callback);
    void onGatheringStateChange(std::function<void(GatheringState state)> callback);
    void onSignalingStateChange(std::function<void(SignalingState state)> callback);
    // Clears every callback; one already running may still finish.
    void resetCallbacks();

private:
    std::shared_ptr<detail::PeerConnectionImpl> mImpl;
};

std::ostream& operator<<(std::ostream& out, PeerConnection::State state);
std::ostream& operator<<(std::ostream& out, PeerConnection::GatheringState state);

}  // namespace rtc
