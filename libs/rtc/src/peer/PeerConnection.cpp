#include "rtc/PeerConnection.hpp"

#include "peer/DataChannelInternal.hpp"
#include "peer/MediaTransport.hpp"
#include "peer/TrackInternal.hpp"

#include "dtls/Certificate.hpp"
#include "dtls/DtlsTransport.hpp"
#include "common/Log.hpp"
#include "common/SafeCallback.hpp"
#include "sctp/SctpTransport.hpp"
#include "common/SerialDispatcher.hpp"
#include "common/TimerThread.hpp"
#include "ice/IceAgent.hpp"

#include <algorithm>
#include <ostream>
#include <set>
#include <stdexcept>
#include <thread>

namespace rtc {

namespace {

using impl::ByteSpan;
using TransportState = impl::Transport::State;

// Largest number of connection-level callbacks waiting to run. Their sources are bounded (states,
// at most a few dozen local candidates, channels and tracks bounded by the SCTP stream count), so
// this is never reached by a working connection; past it events are dropped rather than grown.
constexpr size_t kMaxDataChannels = 1024;
constexpr size_t kMaxTracks = SDP_MAX_MEDIA;
// UDP/IPv6 headers and the largest TURN framing (a Send indication) below a DTLS record.
constexpr size_t kDatagramOverhead = 40 + 8 + 36;

// The ICE agent seen as the datagram transport below DTLS.
class IceTransport final : public impl::Transport {
public:
    explicit IceTransport(std::shared_ptr<impl::IceAgent> agent) : mAgent(std::move(agent)) {}

    bool send(ByteSpan data) override {
        return mAgent->send(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
    }
    void receive(ByteSpan data) { deliver(data); }
    void setState(State state) { changeState(state); }

private:
    const std::shared_ptr<impl::IceAgent> mAgent;
};

Description::Direction reciprocal(Description::Direction direction) {
    using D = Description::Direction;
    switch (direction) {
    case D::SendOnly: return D::RecvOnly;
    case D::RecvOnly: return D::SendOnly;
    case D::SendRecv: return D::SendRecv;
    case D::Inactive: return D::Inactive;
    case D::Unknown: return D::SendRecv;
    }
    return D::Inactive;
}

bool sends(Description::Direction d) {
    return d == Description::Direction::SendOnly || d == Description::Direction::SendRecv ||
           d == Description::Direction::Unknown;
}
bool receives(Description::Direction d) {
    return d == Description::Direction::RecvOnly || d == Description::Direction::SendRecv ||
           d == Description::Direction::Unknown;
}

Description::Direction combine(bool send, bool receive) {
    using D = Description::Direction;
    if (send && receive) return D::SendRecv;
    if (send) return D::SendOnly;
    if (receive) return D::RecvOnly;
    return D::Inactive;
}

// The direction we answer with: what the offer allows, limited by what our track wants. A track
// whose description is a copy of the offered section (same direction) takes the mirrored one.
Description::Direction answerDirection(Description::Direction offered, Description::Direction local) {
    auto allowed = reciprocal(offered);
    if (local == offered || local == Description::Direction::Unknown)
        return allowed;
    return combine(sends(allowed) && sends(local), receives(allowed) && receives(local));
}

impl::Fingerprint toFingerprint(const CertificateFingerprint& fingerprint) {
    return impl::Fingerprint::parse(
        CertificateFingerprint::algorithmIdentifier(fingerprint.algorithm) + " " + fingerprint.value);
}

CertificateFingerprint fromFingerprint(const impl::Fingerprint& fingerprint) {
    CertificateFingerprint out;
    out.algorithm = CertificateFingerprint::Algorithm::Sha256;
    out.value = fingerprint.hex();
    return out;
}

bool isNumericHost(const std::string& host) {
    return impl::Address::fromString(host, 0).has_value();
}

} // namespace

struct detail::PeerConnectionImpl : std::enable_shared_from_this<detail::PeerConnectionImpl>, MediaSink {
    using State = PeerConnection::State;
    using GatheringState = PeerConnection::GatheringState;
    using SignalingState = PeerConnection::SignalingState;

    explicit PeerConnectionImpl(Configuration configuration);
    ~PeerConnectionImpl() override;
    void init();

    // Public operations.
    void setLocalDescription(Description::Type type);
    void setRemoteDescription(Description description);
    void addRemoteCandidate(Candidate candidate);
    std::shared_ptr<DataChannel> createDataChannel(std::string label, DataChannelInit init);
    std::shared_ptr<Track> addTrack(Description::Media description);
    void close();

    // Layer events.
    void onIceCandidate(const impl::IceCandidate& candidate);
    void onIceGatheringDone();
    void onIceState(impl::IceState state);
    void onIceData(std::span<const uint8_t> data);
    void onDtlsState(TransportState state);
    void onSctpState(TransportState state);
    void onRemoteChannel(std::shared_ptr<impl::DataChannel> channel);

    // MediaSink.
    bool sendMedia(binary packet, bool control) override;
    size_t maxMediaPacketSize() const override;

    // With mMutex held.
    void setStateLocked(State state);
    void setSignalingLocked(SignalingState state);
    Description makeOfferLocked();
    Description makeAnswerLocked();
    std::shared_ptr<impl::DtlsTransport> prepareDtlsLocked(bool& startNow);
    std::shared_ptr<detail::TrackInternal> findTrackLocked(const std::string& mid) const;

    void startSctp(const std::shared_ptr<impl::DtlsTransport>& dtls);
    void startMedia(const std::shared_ptr<impl::DtlsTransport>& dtls);
    void bindLocal(const std::shared_ptr<detail::DataChannelInternal>& internal,
                   const std::shared_ptr<impl::SctpTransport>& sctp);
    void gather();

    // Runs `task` after the ones posted before it, on the connection's dispatcher, never on the
    // caller's stack; not at all once the connection is gone.
    void post(std::function<void()> task);

    const Configuration config;
    const size_t localMaxMessageSize;
    std::shared_ptr<impl::Certificate> certificate;
    std::shared_ptr<impl::IceAgent> agent;
    std::shared_ptr<IceTransport> iceTransport;

    mutable std::mutex mutex;
    State state = State::New;
    GatheringState gathering = GatheringState::New;
    SignalingState signaling = SignalingState::Stable;
    bool closed = false;
    bool negotiated = false; // one offer/answer exchange completed
    bool localIsOfferer = false;
    std::optional<Description> local, remote;
    std::vector<Candidate> earlyCandidates; // trickled before the remote description
    std::set<std::string> remoteCandidateTexts;
    std::vector<std::weak_ptr<detail::DataChannelInternal>> pendingChannels;
    std::vector<std::shared_ptr<detail::TrackInternal>> tracks;
    std::shared_ptr<impl::DtlsTransport> dtls;
    std::shared_ptr<impl::SctpTransport> sctp;
    std::shared_ptr<MediaTransport> media;
    bool dtlsClient = false;
    bool dtlsStarted = false;
    bool dtlsConnected = false;
    bool iceConnected = false;
    bool iceDisconnected = false;
    bool gatherStarted = false;
    std::thread gatherThread;

    impl::SafeCallback<Description> localDescriptionCallback;
    impl::SafeCallback<Candidate> localCandidateCallback;
    impl::SafeCallback<State> stateCallback;
    impl::SafeCallback<GatheringState> gatheringCallback;
    impl::SafeCallback<SignalingState> signalingCallback;
    impl::SafeCallback<std::shared_ptr<DataChannel>> dataChannelCallback;
    impl::SafeCallback<std::shared_ptr<Track>> trackCallback;

    // The user's callbacks, this connection's and its channels' and tracks', run here.
    const std::shared_ptr<impl::SerialDispatcher> dispatcher = std::make_shared<impl::SerialDispatcher>();
};

detail::PeerConnectionImpl::PeerConnectionImpl(Configuration configuration)
    : config(std::move(configuration)),
      localMaxMessageSize(config.maxMessageSize.value_or(DEFAULT_LOCAL_MAX_MESSAGE_SIZE)) {
    if (config.certificateType == CertificateType::Rsa)
        throw std::invalid_argument("RSA certificates are not supported");
    if (config.portRangeEnd < config.portRangeBegin)
        throw std::invalid_argument("Invalid port range");
    if (localMaxMessageSize == 0)
        throw std::invalid_argument("Invalid maximum message size");
    if (config.mtu && (*config.mtu < 576 || *config.mtu > 65535))
        throw std::invalid_argument("Invalid MTU");
    certificate = impl::Certificate::generate("rtc");
}

detail::PeerConnectionImpl::~PeerConnectionImpl() {
    close();
}

void detail::PeerConnectionImpl::init() {
    impl::IceAgentConfig ice;
    for (const auto& server : config.iceServers) {
        if (server.type == IceServer::Type::Turn && server.relayType != IceServer::RelayType::TurnUdp)
            continue; // the agent relays over UDP only
        impl::IceServerConfig entry;
        entry.host = server.hostname;
        entry.port = server.port;
        entry.relay = server.type == IceServer::Type::Turn;
        if (entry.relay) {
            entry.username = server.username;
            entry.password = server.password;
        }
        ice.servers.push_back(std::move(entry));
    }
    ice.bindAddress = config.bindAddress.value_or("");
    ice.portRangeBegin = config.portRangeBegin;
    ice.portRangeEnd = config.portRangeEnd;
    ice.relayOnly = config.iceTransportPolicy == TransportPolicy::Relay;
    // A new check every 20 ms instead of 50: the connection comes up a few pacing intervals sooner
    // and a handful of candidate pairs stays far below any rate concern.
    ice.timings.pacing = std::chrono::milliseconds(20);

    std::weak_ptr<PeerConnectionImpl> weak = weak_from_this();
    impl::IceAgentCallbacks callbacks;
    callbacks.onLocalCandidate = [weak](const impl::IceCandidate& candidate) {
        if (auto self = weak.lock())
            self->onIceCandidate(candidate);
    };
    callbacks.onGatheringDone = [weak] {
        if (auto self = weak.lock())
            self->onIceGatheringDone();
    };
    callbacks.onStateChange = [weak](impl::IceState state) {
        if (auto self = weak.lock())
            self->onIceState(state);
    };
    callbacks.onData = [weak](std::span<const uint8_t> data) {
        if (auto self = weak.lock())
            self->onIceData(data);
    };
    agent = std::make_shared<impl::IceAgent>(std::move(ice), std::move(callbacks));
    iceTransport = std::make_shared<IceTransport>(agent);
}

void detail::PeerConnectionImpl::post(std::function<void()> task) {
    std::weak_ptr<PeerConnectionImpl> weak = weak_from_this();
    dispatcher->post([weak, task = std::move(task)] {
        if (auto self = weak.lock())
            task();
    });
}

void detail::PeerConnectionImpl::setStateLocked(State next) {
    if (state == next || state == State::Closed)
        return;
    if (state == State::Failed && next != State::Closed)
        return;
    state = next;
    post([this, next] { stateCallback(next); });
}

void detail::PeerConnectionImpl::setSignalingLocked(SignalingState next) {
    if (signaling == next)
        return;
    signaling = next;
    post([this, next] { signalingCallback(next); });
}

std::shared_ptr<detail::TrackInternal> detail::PeerConnectionImpl::findTrackLocked(const std::string& mid) const {
    for (const auto& track : tracks) {
        std::lock_guard lock(track->mutex);
        if (track->description.mid() == mid)
            return track;
    }
    return nullptr;
}

Description detail::PeerConnectionImpl::makeOfferLocked() {
    Description offer("", Description::Type::Offer, Description::Role::ActPass);
    offer.setIceAttribute(agent->localUfrag(), agent->localPassword());
    offer.setFingerprint(fromFingerprint(certificate->fingerprint()));
    offer.addIceOption("trickle");
    for (const auto& track : tracks) {
        std::lock_guard lock(track->mutex);
        offer.addMedia(track->description);
    }
    bool channels = !pendingChannels.empty() || tracks.empty();
    if (channels) {
        std::string mid = "data";
        for (int n = 1; offer.hasMid(mid); ++n)
            mid = "data" + std::to_string(n);
        Description::Application application(mid);
        application.setSctpPort(DEFAULT_SCTP_PORT);
        application.setMaxMessageSize(localMaxMessageSize);
        offer.addMedia(std::move(application));
    }
    return offer;
}

Description detail::PeerConnectionImpl::makeAnswerLocked() {
    // Our DTLS role: the offerer lets us choose (actpass); otherwise the opposite of its own.
    auto role = remote->role() == Description::Role::Active ? Description::Role::Passive
                                                             : Description::Role::Active;
    Description answer("", Description::Type::Answer, role);
    answer.setIceAttribute(agent->localUfrag(), agent->localPassword());
    answer.setFingerprint(fromFingerprint(certificate->fingerprint()));
    answer.addIceOption("trickle");
    for (unsigned int i = 0; i < remote->mediaCount(); ++i) {
        auto entry = std::as_const(*remote).media(i);
        if (auto* const* application = std::get_if<const Description::Application*>(&entry)) {
            auto reply = (*application)->reciprocate();
            reply.setSctpPort(DEFAULT_SCTP_PORT);
            reply.setMaxMessageSize(localMaxMessageSize);
            if ((*application)->isRemoved())
                reply.markRemoved();
            answer.addMedia(std::move(reply));
            continue;
        }
        const auto* offered = std::get<const Description::Media*>(entry);
        auto track = findTrackLocked(offered->mid());
        if (!track || offered->isRemoved()) {
            auto reply = offered->reciprocate();
            reply.markRemoved();
            answer.addMedia(std::move(reply));
            continue;
        }
        std::lock_guard lock(track->mutex);
        auto reply = track->description;
        if (!track->remote) {
            reply.setDirection(answerDirection(offered->direction(), reply.direction()));
            track->description.setDirection(reply.direction());
        }
        if (!sends(reply.direction())) {
            reply.clearSSRCs();
            track->description.clearSSRCs();
        }
        answer.addMedia(std::move(reply));
    }
    return answer;
}

std::shared_ptr<impl::DtlsTransport> detail::PeerConnectionImpl::prepareDtlsLocked(bool& startNow) {
    startNow = false;
    if (dtls || !local || !remote || !negotiated)
        return nullptr;
    if (localIsOfferer)
        dtlsClient = remote->role() == Description::Role::Passive;
    else
        dtlsClient = local->role() == Description::Role::Active;
    impl::DtlsTransport::Options options;
    size_t mtu = config.mtu.value_or(DEFAULT_MTU);
    options.mtu = std::max<size_t>(mtu - kDatagramOverhead, 500);
    // A lost first flight costs this much set-up time, and one is lost whenever the client's
    // candidate pair works before the server's does (the server's agent drops data from a pair it
    // has not validated yet). The timer doubles after each loss.
    options.initialRetransmit = std::chrono::milliseconds(50);
    options.maxRetransmit = std::chrono::milliseconds(3000);
    options.offerSrtp = true;
    dtls = impl::DtlsTransport::create(iceTransport, certificate, toFingerprint(*remote->fingerprint()),
                                       dtlsClient ? impl::DtlsTransport::Role::Client
                                                  : impl::DtlsTransport::Role::Server,
                                       options);
    std::weak_ptr<PeerConnectionImpl> weak = weak_from_this();
    dtls->onStateChange([weak](TransportState state) {
        if (auto self = weak.lock())
            self->onDtlsState(state);
    });
    // The server only answers, so it listens at once; the client's first flight waits for a
    // working candidate pair instead of burning its first retransmission.
    if (!dtlsClient || iceConnected) {
        dtlsStarted = true;
        startNow = true;
    }
    return dtls;
}

void detail::PeerConnectionImpl::setLocalDescription(Description::Type type) {
    std::shared_ptr<impl::DtlsTransport> startDtls;
    bool startGather = false;
    {
        std::lock_guard lock(mutex);
        if (closed)
            throw std::logic_error("Peer connection is closed");
        if (type == Description::Type::Unspec)
            type = signaling == SignalingState::HaveRemoteOffer ? Description::Type::Answer
                                                                : Description::Type::Offer;
        Description description("");
        if (type == Description::Type::Offer) {
            if (signaling == SignalingState::HaveLocalOffer)
                return; // the pending offer stands
            if (signaling != SignalingState::Stable || negotiated)
                throw std::logic_error("Renegotiation is not supported");
            description = makeOfferLocked();
            localIsOfferer = true;
            agent->setRole(impl::IceRole::Controlling);
            setSignalingLocked(SignalingState::HaveLocalOffer);
        } else if (type == Description::Type::Answer) {
            if (signaling != SignalingState::HaveRemoteOffer)
                throw std::logic_error("No remote offer to answer");
            description = makeAnswerLocked();
            localIsOfferer = false;
            negotiated = true;
            setSignalingLocked(SignalingState::Stable);
        } else {
            throw std::logic_error("Unsupported local description type " +
                                   Description::typeToString(type));
        }
        local = description;
        post([this, description = std::move(description)] { localDescriptionCallback(description); });
        if (!gatherStarted) {
            gatherStarted = true;
            startGather = true;
            gathering = GatheringState::InProgress;
            post([this] { gatheringCallback(GatheringState::InProgress); });
        }
        bool startNow = false;
        auto created = prepareDtlsLocked(startNow);
        if (startNow)
            startDtls = created;
    }
    if (startDtls)
        startDtls->start();
    if (startGather)
        gather();
}

void detail::PeerConnectionImpl::gather() {
    bool resolve = std::any_of(config.iceServers.begin(), config.iceServers.end(),
                               [](const IceServer& s) { return !isNumericHost(s.hostname); });
    if (!resolve) {
        agent->gather(); // opens sockets only: quick
        return;
    }
    // Server names are looked up by the agent on the calling thread; keep that off the caller.
    std::lock_guard lock(mutex);
    if (closed)
        return;
    auto ice = agent;
    gatherThread = std::thread([ice] { ice->gather(); });
}

void detail::PeerConnectionImpl::setRemoteDescription(Description description) {
    if (!description.iceUfrag() || !description.icePwd())
        throw std::invalid_argument("Remote description has no ICE credentials");
    auto fingerprint = description.fingerprint();
    if (!fingerprint || !fingerprint->isValid())
        throw std::invalid_argument("Remote description has no valid certificate fingerprint");
    (void)toFingerprint(*fingerprint); // throws std::invalid_argument when unusable
    if (description.mediaCount() == 0)
        throw std::invalid_argument("Remote description has no media section");

    std::shared_ptr<impl::DtlsTransport> startDtls;
    std::vector<std::string> candidates;
    bool remoteEnded = false;
    const std::string ufrag = *description.iceUfrag();
    const std::string pwd = *description.icePwd();
    {
        std::lock_guard lock(mutex);
        if (closed)
            throw std::logic_error("Peer connection is closed");
        if (description.type() == Description::Type::Unspec)
            description.hintType(signaling == SignalingState::HaveLocalOffer ? Description::Type::Answer
                                                                           : Description::Type::Offer);
        if (description.type() == Description::Type::Offer) {
            if (signaling != SignalingState::Stable || negotiated)
                throw std::logic_error("Renegotiation is not supported");
        } else if (description.type() == Description::Type::Answer) {
            if (signaling != SignalingState::HaveLocalOffer)
                throw std::logic_error("Got an answer without a local offer");
            for (unsigned int i = 0; i < description.mediaCount(); ++i) {
                auto entry = std::as_const(description).media(i);
                std::string mid = std::visit([](const auto* e) { return e->mid(); }, entry);
                if (!local->hasMid(mid))
                    throw std::invalid_argument("Remote answer has a media id the offer lacks: " + mid);
            }
        } else {
            throw std::logic_error("Unsupported remote description type " + description.typeString());
        }

        // Announced remote media sections without a local track become remote tracks.
        std::vector<std::shared_ptr<Track>> announced;
        for (unsigned int i = 0; i < description.mediaCount(); ++i) {
            auto entry = std::as_const(description).media(i);
            auto* const* media = std::get_if<const Description::Media*>(&entry);
            if (!media || (*media)->isRemoved())
                continue;
            auto track = findTrackLocked((*media)->mid());
            if (!track) {
                if (description.type() != Description::Type::Offer || tracks.size() >= kMaxTracks)
                    continue;
                track = std::make_shared<detail::TrackInternal>(weak_from_this(), (*media)->reciprocate(), true, dispatcher);
                tracks.push_back(track);
                announced.push_back(detail::TrackInternal::handle(track));
            }
            for (auto ssrc : (*media)->getSSRCs())
                track->addRemoteSsrc(ssrc);
        }

        for (auto& early : earlyCandidates) {
            try {
                description.addCandidate(early);
            } catch (const std::length_error&) {
                break;
            }
        }
        earlyCandidates.clear();
        for (const auto& candidate : description.candidates()) {
            if (remoteCandidateTexts.size() < SDP_MAX_CANDIDATES &&
                remoteCandidateTexts.insert(candidate.candidate()).second)
                candidates.push_back(candidate.candidate());
        }
        remoteEnded = description.ended();

        if (description.type() == Description::Type::Offer) {
            agent->setRole(impl::IceRole::Controlled);
            setSignalingLocked(SignalingState::HaveRemoteOffer);
        } else {
            negotiated = true;
            setSignalingLocked(SignalingState::Stable);
        }
        remote = std::move(description);
        for (auto& track : announced)
            post([this, track] { trackCallback(track); });
        bool startNow = false;
        auto created = prepareDtlsLocked(startNow);
        if (startNow)
            startDtls = created;
    }
    agent->setRemoteCredentials(ufrag, pwd);
    for (const auto& text : candidates)
        agent->addRemoteCandidate(text);
    if (remoteEnded)
        agent->setRemoteGatheringDone();
    if (startDtls)
        startDtls->start();
}

void detail::PeerConnectionImpl::addRemoteCandidate(Candidate candidate) {
    {
        std::lock_guard lock(mutex);
        if (closed)
            throw std::logic_error("Peer connection is closed");
        if (remoteCandidateTexts.size() >= SDP_MAX_CANDIDATES)
            return; // bounded: later ones are ignored
        if (!remoteCandidateTexts.insert(candidate.candidate()).second)
            return;
        if (remote) {
            if (!candidate.hasMid())
                candidate.hintMid(remote->bundleMid());
            try {
                remote->addCandidate(candidate);
            } catch (const std::length_error&) {
            }
        } else {
            earlyCandidates.push_back(candidate);
        }
    }
    // Before the remote credentials too: the agent pairs it once it has them.
    agent->addRemoteCandidate(candidate.candidate());
}

void detail::PeerConnectionImpl::bindLocal(const std::shared_ptr<detail::DataChannelInternal>& internal,
                                     const std::shared_ptr<impl::SctpTransport>& transport) {
    std::optional<uint16_t> stream;
    if (internal->negotiated)
        stream = internal->requestedId;
    std::shared_ptr<impl::DataChannel> channel;
    try {
        channel = transport->createChannel(internal->label, internal->protocol,
                                           toImpl(internal->reliability), stream);
    } catch (const std::exception& e) {
        std::function<void(std::string)> error;
        {
            std::lock_guard lock(internal->mutex);
            error = internal->errorCallback;
        }
        internal->closeUnbound();
        if (error) {
            std::string text = e.what();
            internal->post([error, text] { error(text); });
        }
        return;
    }
    if (!internal->bind(channel))
        channel->close();
}

std::shared_ptr<DataChannel> detail::PeerConnectionImpl::createDataChannel(std::string label,
                                                                      DataChannelInit init) {
    if (init.reliability.maxRetransmits && init.reliability.maxPacketLifeTime)
        throw std::invalid_argument("A data channel has at most one reliability limit");
    if (init.negotiated && !init.id)
        throw std::invalid_argument("A negotiated data channel needs an id");
    if (init.id && *init.id >= kMaxDataChannels)
        throw std::invalid_argument("Data channel id out of range");
    if (label.size() > 65535 || init.protocol.size() > 65535)
        throw std::invalid_argument("Data channel label or protocol too long");
    if (!init.negotiated)
        init.id.reset(); // announced channels take the next id of our DTLS role
    auto internal = std::make_shared<detail::DataChannelInternal>(std::move(label), std::move(init),
                                                            localMaxMessageSize, dispatcher);
    std::shared_ptr<impl::SctpTransport> transport;
    {
        std::lock_guard lock(mutex);
        if (closed)
            throw std::logic_error("Peer connection is closed");
        if (sctp) {
            transport = sctp;
        } else {
            std::erase_if(pendingChannels, [](const auto& w) { return w.expired(); });
            if (pendingChannels.size() >= kMaxDataChannels)
                throw std::runtime_error("Too many data channels");
            pendingChannels.push_back(internal);
        }
    }
    if (transport)
        bindLocal(internal, transport);
    return detail::DataChannelInternal::handle(internal);
}

std::shared_ptr<Track> detail::PeerConnectionImpl::addTrack(Description::Media description) {
    std::lock_guard lock(mutex);
    if (closed)
        throw std::logic_error("Peer connection is closed");
    if (negotiated || signaling == SignalingState::HaveLocalOffer)
        throw std::logic_error("Tracks are added before the first negotiation");
    if (description.mid().empty())
        throw std::invalid_argument("Track needs a media id");
    if (findTrackLocked(description.mid()))
        throw std::invalid_argument("Duplicate track media id " + description.mid());
    if (tracks.size() >= kMaxTracks)
        throw std::invalid_argument("Too many tracks");
    auto internal = std::make_shared<detail::TrackInternal>(weak_from_this(), std::move(description), false, dispatcher);
    tracks.push_back(internal);
    return detail::TrackInternal::handle(internal);
}

void detail::PeerConnectionImpl::close() {
    std::shared_ptr<impl::DtlsTransport> oldDtls;
    std::shared_ptr<impl::SctpTransport> oldSctp;
    std::shared_ptr<MediaTransport> oldMedia;
    std::vector<std::weak_ptr<detail::DataChannelInternal>> pending;
    std::vector<std::shared_ptr<detail::TrackInternal>> oldTracks;
    std::thread gatherer;
    {
        std::lock_guard lock(mutex);
        if (closed)
            return;
        closed = true;
        oldDtls = std::move(dtls);
        oldSctp = std::move(sctp);
        oldMedia = std::move(media);
        pending.swap(pendingChannels);
        oldTracks = tracks;
        gatherer = std::move(gatherThread);
        setStateLocked(State::Closed);
    }
    // close_notify first, while the agent can still carry it: the peer learns of the end at once.
    if (oldDtls)
        oldDtls->close();
    if (oldMedia)
        oldMedia->stop();
    // The channels' onClosed must not run on the caller's stack (it may hold its own locks).
    if (oldSctp)
        impl::TimerThread::instance().post([oldSctp] { oldSctp->stop(); });
    if (agent)
        agent->close();
    if (gatherer.joinable()) {
        if (gatherer.get_id() == std::this_thread::get_id())
            gatherer.detach();
        else
            gatherer.join();
    }
    for (auto& weak : pending)
        if (auto internal = weak.lock())
            internal->closeUnbound();
    for (auto& track : oldTracks)
        track->close();
}

void detail::PeerConnectionImpl::onIceCandidate(const impl::IceCandidate& iceCandidate) {
    std::lock_guard lock(mutex);
    if (closed || !local)
        return;
    std::optional<Candidate> candidate;
    try {
        candidate.emplace(iceCandidate.toSdp(), local->bundleMid());
        local->addCandidate(*candidate);
    } catch (const std::exception& e) {
        if (!candidate) {
            impl::log(LogLevel::Warning, "local candidate not signalled: ", e.what());
            return; // a line our own parser refuses is not signalled
        }
    }
    post([this, c = *candidate] { localCandidateCallback(c); });
}

void detail::PeerConnectionImpl::onIceGatheringDone() {
    std::lock_guard lock(mutex);
    if (closed || gathering == GatheringState::Complete)
        return;
    gathering = GatheringState::Complete;
    if (local)
        local->endCandidates();
    post([this] { gatheringCallback(GatheringState::Complete); });
}

void detail::PeerConnectionImpl::onIceState(impl::IceState iceState) {
    std::shared_ptr<impl::DtlsTransport> startDtls;
    std::optional<TransportState> lower;
    {
        std::lock_guard lock(mutex);
        if (closed)
            return;
        switch (iceState) {
        case impl::IceState::New:
            break;
        case impl::IceState::Checking:
            if (state == State::New)
                setStateLocked(State::Connecting);
            break;
        case impl::IceState::Connected:
        case impl::IceState::Completed:
            iceConnected = true;
            lower = TransportState::Connected;
            if (iceDisconnected) {
                iceDisconnected = false;
                if (state == State::Disconnected)
                    setStateLocked(dtlsConnected ? State::Connected : State::Connecting);
            }
            if (state == State::New)
                setStateLocked(State::Connecting);
            if (dtls && dtlsClient && !dtlsStarted) {
                dtlsStarted = true;
                startDtls = dtls;
            }
            break;
        case impl::IceState::Disconnected:
            iceDisconnected = true;
            if (state == State::Connected || state == State::Connecting)
                setStateLocked(State::Disconnected);
            break;
        case impl::IceState::Failed:
            setStateLocked(State::Failed);
            lower = TransportState::Failed;
            break;
        case impl::IceState::Closed:
            break;
        }
    }
    if (lower)
        iceTransport->setState(*lower); // a failure reaches DTLS (and so SCTP) from here
    if (startDtls)
        startDtls->start();
}

void detail::PeerConnectionImpl::onIceData(std::span<const uint8_t> data) {
    if (data.empty())
        return;
    // RFC 7983: 20..63 DTLS, 128..191 RTP and RTCP (STUN never gets here).
    uint8_t first = data[0];
    if (first >= 20 && first <= 63) {
        iceTransport->receive(ByteSpan(reinterpret_cast<const std::byte*>(data.data()), data.size()));
    } else if (first >= 128 && first <= 191) {
        std::shared_ptr<MediaTransport> transport;
        {
            std::lock_guard lock(mutex);
            transport = media;
        }
        if (transport)
            transport->incoming(data);
    }
}

void detail::PeerConnectionImpl::onDtlsState(TransportState dtlsState) {
    std::shared_ptr<impl::DtlsTransport> connected;
    std::shared_ptr<impl::SctpTransport> stopSctp;
    std::shared_ptr<MediaTransport> stopMedia;
    bool remoteClosed = false;
    {
        std::lock_guard lock(mutex);
        if (closed || !dtls)
            return;
        switch (dtlsState) {
        case TransportState::Connected:
            dtlsConnected = true;
            connected = dtls;
            // Without data channels the connection is up now; with them once SCTP is.
            if (!(local->application() && remote->application()) && !iceDisconnected)
                setStateLocked(State::Connected);
            break;
        case TransportState::Failed:
            setStateLocked(State::Failed);
            stopSctp = sctp;
            stopMedia = media;
            break;
        case TransportState::Closed:
            remoteClosed = true; // the peer's close_notify
            break;
        default:
            break;
        }
    }
    if (connected) {
        startMedia(connected);
        startSctp(connected);
    }
    if (stopSctp)
        stopSctp->stop();
    if (stopMedia)
        stopMedia->stop();
    // Not inline: this runs inside the layers' receive path, and close() waits for the network
    // thread.
    if (remoteClosed)
        post([this] { close(); });
}

void detail::PeerConnectionImpl::startSctp(const std::shared_ptr<impl::DtlsTransport>& transport) {
    impl::SctpTransport::Options options;
    {
        std::lock_guard lock(mutex);
        if (closed || sctp)
            return;
        const auto* localApp = local->application();
        const auto* remoteApp = remote->application();
        if (!localApp || !remoteApp || localApp->isRemoved() || remoteApp->isRemoved())
            return;
        options.dtlsClient = dtlsClient;
        options.localPort = localApp->sctpPort().value_or(DEFAULT_SCTP_PORT);
        options.remotePort = remoteApp->sctpPort().value_or(DEFAULT_SCTP_PORT);
        options.localMaxMessageSize = localMaxMessageSize;
        options.remoteMaxMessageSize =
            remoteApp->maxMessageSize().value_or(DEFAULT_REMOTE_MAX_MESSAGE_SIZE);
        options.maxStreams = kMaxDataChannels;
    }
    options.mtu = transport->maxPayloadSize();
    auto created = impl::SctpTransport::create(transport, options);
    std::weak_ptr<PeerConnectionImpl> weak = weak_from_this();
    created->onChannel([weak](std::shared_ptr<impl::DataChannel> channel) {
        if (auto self = weak.lock())
            self->onRemoteChannel(std::move(channel));
        else
            channel->close();
    });
    created->onStateChange([weak](TransportState state) {
        if (auto self = weak.lock())
            self->onSctpState(state);
    });
    std::vector<std::weak_ptr<detail::DataChannelInternal>> pending;
    {
        std::lock_guard lock(mutex);
        if (closed || sctp)
            return;
        sctp = created;
        pending.swap(pendingChannels);
    }
    created->start();
    for (auto& weakInternal : pending)
        if (auto internal = weakInternal.lock())
            bindLocal(internal, created);
}

void detail::PeerConnectionImpl::onSctpState(TransportState sctpState) {
    bool closeNow = false;
    {
        std::lock_guard lock(mutex);
        if (closed)
            return;
        switch (sctpState) {
        case TransportState::Connected:
            if (!iceDisconnected)
                setStateLocked(State::Connected);
            break;
        case TransportState::Failed:
            setStateLocked(State::Failed);
            break;
        case TransportState::Closed:
            closeNow = true; // the peer shut the association down
            break;
        default:
            break;
        }
    }
    if (closeNow)
        post([this] { close(); });
}

void detail::PeerConnectionImpl::onRemoteChannel(std::shared_ptr<impl::DataChannel> channel) {
    {
        std::lock_guard lock(mutex);
        if (!closed) {
            auto wrapped = detail::DataChannelInternal::handle(std::make_shared<detail::DataChannelInternal>(channel, dispatcher));
            post([this, wrapped] { dataChannelCallback(wrapped); });
            return;
        }
    }
    channel->close();
}

void detail::PeerConnectionImpl::startMedia(const std::shared_ptr<impl::DtlsTransport>& transport) {
    std::vector<std::shared_ptr<detail::TrackInternal>> open;
    std::shared_ptr<MediaTransport> created;
    {
        std::lock_guard lock(mutex);
        if (closed || media || tracks.empty())
            return;
        auto keys = transport->srtpKeys();
        if (!keys)
            return; // the peer declined use_srtp: tracks stay closed
        try {
            created = std::make_shared<MediaTransport>(*keys, agent, tracks);
        } catch (const std::exception& e) {
            impl::log(LogLevel::Error, "SRTP keys refused, tracks stay closed: ", e.what());
            return; // keys the SRTP session cannot use: tracks stay closed
        }
        media = created;
        open = tracks;
    }
    for (auto& track : open)
        track->open();
}

bool detail::PeerConnectionImpl::sendMedia(binary packet, bool control) {
    std::shared_ptr<MediaTransport> transport;
    {
        std::lock_guard lock(mutex);
        transport = media;
    }
    return transport && transport->send(std::move(packet), control);
}

size_t detail::PeerConnectionImpl::maxMediaPacketSize() const {
    size_t mtu = config.mtu.value_or(DEFAULT_MTU);
    return mtu > kDatagramOverhead + 32 ? mtu - kDatagramOverhead - 32 : 0;
}

// ---- public wrapper ----

PeerConnection::PeerConnection() : PeerConnection(Configuration{}) {}

PeerConnection::PeerConnection(Configuration config)
    : mImpl(std::make_shared<detail::PeerConnectionImpl>(std::move(config))) {
    mImpl->init();
}

PeerConnection::~PeerConnection() {
    try {
        mImpl->close();
    } catch (const std::exception& e) {
        impl::log(LogLevel::Warning, "closing the peer connection failed: ", e.what());
    } catch (...) {
        impl::log(LogLevel::Warning, "closing the peer connection failed");
    }
}

void PeerConnection::close() { mImpl->close(); }

const Configuration* PeerConnection::config() const { return &mImpl->config; }

PeerConnection::State PeerConnection::state() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->state;
}

PeerConnection::GatheringState PeerConnection::gatheringState() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->gathering;
}

PeerConnection::SignalingState PeerConnection::signalingState() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->signaling;
}

std::optional<Description> PeerConnection::localDescription() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->local;
}

std::optional<Description> PeerConnection::remoteDescription() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->remote;
}

size_t PeerConnection::remoteCandidateCount() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->remoteCandidateTexts.size();
}

void PeerConnection::setLocalDescription(Description::Type type, LocalDescriptionInit init) {
    if (init.iceUfrag || init.icePwd)
        throw std::invalid_argument("Local ICE credentials cannot be chosen");
    mImpl->setLocalDescription(type);
}

void PeerConnection::setRemoteDescription(Description description) {
    mImpl->setRemoteDescription(std::move(description));
}

void PeerConnection::addRemoteCandidate(Candidate candidate) {
    mImpl->addRemoteCandidate(std::move(candidate));
}

std::shared_ptr<DataChannel> PeerConnection::createDataChannel(std::string label, DataChannelInit init) {
    return mImpl->createDataChannel(std::move(label), std::move(init));
}

std::shared_ptr<Track> PeerConnection::addTrack(Description::Media description) {
    return mImpl->addTrack(std::move(description));
}

void PeerConnection::onDataChannel(std::function<void(std::shared_ptr<DataChannel>)> callback) {
    mImpl->dataChannelCallback.set(std::move(callback));
}

void PeerConnection::onTrack(std::function<void(std::shared_ptr<Track>)> callback) {
    mImpl->trackCallback.set(std::move(callback));
}

void PeerConnection::onLocalDescription(std::function<void(Description)> callback) {
    mImpl->localDescriptionCallback.set(std::move(callback));
}

void PeerConnection::onLocalCandidate(std::function<void(Candidate)> callback) {
    mImpl->localCandidateCallback.set(std::move(callback));
}

void PeerConnection::onStateChange(std::function<void(State)> callback) {
    mImpl->stateCallback.set(std::move(callback));
}

void PeerConnection::onGatheringStateChange(std::function<void(GatheringState)> callback) {
    mImpl->gatheringCallback.set(std::move(callback));
}

void PeerConnection::onSignalingStateChange(std::function<void(SignalingState)> callback) {
    mImpl->signalingCallback.set(std::move(callback));
}

void PeerConnection::resetCallbacks() {
    mImpl->localDescriptionCallback.reset();
    mImpl->localCandidateCallback.reset();
    mImpl->stateCallback.reset();
    mImpl->gatheringCallback.reset();
    mImpl->signalingCallback.reset();
    mImpl->dataChannelCallback.reset();
    mImpl->trackCallback.reset();
}

std::ostream& operator<<(std::ostream& out, PeerConnection::State state) {
    switch (state) {
    case PeerConnection::State::New: return out << "new";
    case PeerConnection::State::Connecting: return out << "connecting";
    case PeerConnection::State::Connected: return out << "connected";
    case PeerConnection::State::Disconnected: return out << "disconnected";
    case PeerConnection::State::Failed: return out << "failed";
    case PeerConnection::State::Closed: return out << "closed";
    }
    return out << "unknown";
}

std::ostream& operator<<(std::ostream& out, PeerConnection::GatheringState state) {
    switch (state) {
    case PeerConnection::GatheringState::New: return out << "new";
    case PeerConnection::GatheringState::InProgress: return out << "in-progress";
    case PeerConnection::GatheringState::Complete: return out << "complete";
    }
    return out << "unknown";
}

}  // namespace rtc
