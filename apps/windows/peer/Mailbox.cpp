#include "peer/Mailbox.hpp"

#include <algorithm>
#include <variant>

#include "protocol/SignalingSession.hpp"
#include "rtc/Candidate.hpp"
#include "rtc/Description.hpp"

namespace murel {
namespace {

constexpr std::size_t kMaxMediaEntries = 64;
constexpr std::size_t kMaxMidBytes = 255;
constexpr std::size_t kMaxLocalCandidates = 256;

}  // namespace

const char* peerFailureWord(PeerFailure reason) {
    switch (reason) {
    case PeerFailure::None: return "none";
    case PeerFailure::MailboxOverflow: return "mailbox-overflow";
    case PeerFailure::InvalidLocalSignal: return "invalid-local-signal";
    case PeerFailure::LocalSignalFailure: return "local-signal-failure";
    case PeerFailure::InvalidChannel: return "invalid-channel";
    case PeerFailure::ChannelFailure: return "channel-failure";
    case PeerFailure::InvalidInput: return "invalid-input";
    case PeerFailure::ConnectionFailure: return "connection-failure";
    case PeerFailure::InvalidVideo: return "invalid-video";
    case PeerFailure::EmptyVideo: return "empty-video";
    case PeerFailure::OversizedVideo: return "oversized-video";
    case PeerFailure::InputBackpressure: return "input-backpressure";
    case PeerFailure::InputSendFailure: return "input-send-failure";
    case PeerFailure::VideoSendFailure: return "video-send-failure";
    case PeerFailure::KeyframeRequestFailure: return "keyframe-request-failure";
    }
    return "unknown";
}

Mailbox::Mailbox(std::function<void()> wake) : wake_(std::move(wake)) {}

void Mailbox::notifyLocked() {
    if (wake_) wake_();
}

void Mailbox::failLocked(PeerFailure reason) {
    if (closed_ || failed_) return;
    failed_ = true;
    reason_ = reason;
    notifyLocked();
}

void Mailbox::pushLocked(PeerEvent event) {
    if (closed_ || failed_) return;
    if (event.kind == PeerEventKind::VideoFrame) {
        const auto result = video_.push(std::move(event));
        if (result.keyframeWanted) keyframeRequested_ = true;
        if (result.queued || result.keyframeWanted) notifyLocked();
        return;
    }
    if (event.kind == PeerEventKind::KeyframeRequest && queuedKeyframeRequests_ > 0) return;
    if (events_.size() + pending_.size() >= kMailboxLimit) {
        failLocked(PeerFailure::MailboxOverflow);
        return;
    }
    if (event.kind == PeerEventKind::KeyframeRequest) ++queuedKeyframeRequests_;
    events_.push_back(std::move(event));
    notifyLocked();
}

void Mailbox::push(PeerEvent event) {
    std::lock_guard lock(mutex_);
    pushLocked(std::move(event));
}

void Mailbox::fail(PeerFailure reason) {
    std::lock_guard lock(mutex_);
    failLocked(reason);
}

Mailbox::Drained Mailbox::drain() {
    Drained out;
    std::lock_guard lock(mutex_);
    if (closed_) return out;
    if (failed_) {
        events_.clear();
        queuedKeyframeRequests_ = 0;
        pending_.clear();
        video_.flush();
        out.events.push_back(PeerEvent::failure(reason_));
        return out;
    }
    out.events.reserve(events_.size() + video_.size() + 1);
    for (auto& event : events_) out.events.push_back(std::move(event));
    events_.clear();
    queuedKeyframeRequests_ = 0;
    if (keyframeRequested_) {
        keyframeRequested_ = false;
        PeerEvent loss = PeerEvent::of(PeerEventKind::VideoLoss);
        loss.droppedFrames = video_.droppedFrames();
        out.events.push_back(std::move(loss));
    }
    video_.takeInto(out.events);
    out.waitingForKeyframe = video_.waitingForKeyframe();
    return out;
}

std::pair<Mailbox::Channel, Mailbox::Channel> Mailbox::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    events_.clear();
    queuedKeyframeRequests_ = 0;
    video_.flush();
    keyframeRequested_ = false;
    pending_.clear();
    sent_.clear();
    mids_.clear();
    lastSdp_.clear();
    lastType_.clear();
    return {std::move(control_), std::move(pointer_)};
}

bool Mailbox::isClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

bool Mailbox::attach(std::int32_t channel, Channel dataChannel) {
    std::lock_guard lock(mutex_);
    Channel& slot = channel == kPointerChannel ? pointer_ : control_;
    if (closed_ || slot) return false;
    slot = std::move(dataChannel);
    return true;
}

void Mailbox::channelOpened(
    const std::function<bool(rtc::DataChannel& control, rtc::DataChannel& pointer)>& bothOpen) {
    std::lock_guard lock(mutex_);
    // Both channels may open before either callback runs; the event is raised once.
    if (channelsOpenReported_ || !control_ || !pointer_ || closed_ || failed_) return;
    if (!bothOpen(*control_, *pointer_)) return;
    channelsOpenReported_ = true;
    pushLocked(PeerEvent::of(PeerEventKind::ChannelsOpen));
}

Mailbox::InputChannel Mailbox::inputChannel(std::int32_t channel) const {
    std::lock_guard lock(mutex_);
    InputChannel out;
    out.failed = failed_;
    if (!failed_) out.channel = channel == kPointerChannel ? pointer_ : control_;
    return out;
}

void Mailbox::chooseCodec(std::int32_t codec) {
    std::lock_guard lock(mutex_);
    video_ = VideoFrameQueue(codec);
    PeerEvent event = PeerEvent::of(PeerEventKind::VideoCodec);
    event.codec = codec;
    pushLocked(std::move(event));
}

void Mailbox::reportLoss() {
    std::lock_guard lock(mutex_);
    if (closed_ || failed_) return;
    video_.flush();
    keyframeRequested_ = true;
    notifyLocked();
}

std::optional<std::uint64_t> Mailbox::restartVideo() {
    std::lock_guard lock(mutex_);
    if (closed_) return std::nullopt;
    video_.flush();
    keyframeRequested_ = false;
    return video_.droppedFrames();
}

std::size_t Mailbox::waitingItems() const {
    std::lock_guard lock(mutex_);
    return events_.size() + pending_.size();
}

std::uint64_t Mailbox::droppedFrames() const {
    std::lock_guard lock(mutex_);
    return video_.droppedFrames();
}

void Mailbox::localDescription(rtc::Description description, const std::string& sessionId) {
    std::lock_guard lock(mutex_);
    if (closed_ || failed_) return;
    try {
        // The candidates travel as their own signals; the description goes without them.
        const std::vector<rtc::Candidate> candidates = description.extractCandidates();
        const std::string sdp = description.generateSdp();
        const std::string type = description.typeString();
        if (sdp.size() > kSdpLimit || (type != "offer" && type != "answer")) {
            failLocked(PeerFailure::InvalidLocalSignal);
            return;
        }
        if (lastSdp_.empty()) {
            const std::size_t count = description.mediaCount();
            if (count < 1 || count > kMaxMediaEntries) {
                failLocked(PeerFailure::InvalidLocalSignal);
                return;
            }
            std::vector<std::string> mids;
            for (unsigned int i = 0; i < count; ++i) {
                std::string mid = std::visit([](const auto* entry) { return entry->mid(); },
                                             std::as_const(description).media(i));
                if (mid.empty() || mid.size() > kMaxMidBytes ||
                    std::find(mids.begin(), mids.end(), mid) != mids.end()) {
                    failLocked(PeerFailure::InvalidLocalSignal);
                    return;
                }
                mids.push_back(std::move(mid));
            }
            Json signal;
            try {
                signal = makeDescriptionMessage(type, sessionId, sdp);
            } catch (const ProtocolError&) {
                // Larger than a receiver accepts once serialised.
                failLocked(PeerFailure::InvalidLocalSignal);
                return;
            }
            PeerEvent event = PeerEvent::of(PeerEventKind::LocalSignal);
            event.signal = std::move(signal);
            pushLocked(std::move(event));
            mids_ = std::move(mids);
            lastSdp_ = sdp;
            lastType_ = type;
            while (!pending_.empty() && !failed_) {
                PendingCandidate next = std::move(pending_.front());
                pending_.pop_front();
                emitCandidateLocked(next.mid, next.text, sessionId);
            }
        } else if (sdp != lastSdp_ || type != lastType_) {
            failLocked(PeerFailure::InvalidLocalSignal);
            return;
        }
        for (const auto& candidate : candidates) localCandidateLocked(candidate.mid(), candidate.candidate(), sessionId);
    } catch (...) {
        failLocked(PeerFailure::LocalSignalFailure);
    }
}

void Mailbox::localCandidate(const rtc::Candidate& candidate, const std::string& sessionId) {
    std::lock_guard lock(mutex_);
    try {
        localCandidateLocked(candidate.mid(), candidate.candidate(), sessionId);
    } catch (...) {
        failLocked(PeerFailure::LocalSignalFailure);
    }
}

void Mailbox::localCandidateLocked(const std::string& mid, const std::string& text, const std::string& sessionId) {
    if (closed_ || failed_) return;
    if (mid.empty() || mid.size() > kMaxMidBytes || text.empty() || text.size() > kIceCandidateLimit) {
        failLocked(PeerFailure::InvalidLocalSignal);
        return;
    }
    auto key = std::make_pair(mid, text);
    if (sent_.count(key)) return;
    if (sent_.size() >= kMaxLocalCandidates) {
        failLocked(PeerFailure::InvalidLocalSignal);
        return;
    }
    sent_.insert(std::move(key));
    if (!lastSdp_.empty()) {
        emitCandidateLocked(mid, text, sessionId);
    } else if (pending_.size() + events_.size() >= kMailboxLimit - 1) {
        failLocked(PeerFailure::MailboxOverflow);
    } else {
        pending_.push_back(PendingCandidate{mid, text});
    }
}

void Mailbox::emitCandidateLocked(const std::string& mid, const std::string& text, const std::string& sessionId) {
    const auto it = std::find(mids_.begin(), mids_.end(), mid);
    if (mid.empty() || it == mids_.end()) {
        failLocked(PeerFailure::InvalidLocalSignal);
        return;
    }
    PeerEvent event = PeerEvent::of(PeerEventKind::LocalSignal);
    try {
        event.signal = makeIceMessage(sessionId, text, mid, static_cast<std::uint64_t>(it - mids_.begin()));
    } catch (const ProtocolError&) {
        failLocked(PeerFailure::InvalidLocalSignal);
        return;
    }
    pushLocked(std::move(event));
}

}  // namespace murel
