// The viewer's side of a session's media: received frames through the decoder, the newest picture
// converted and presented, recovery when video is lost, and the user's input on its way to the host.

#include <span>
#include <utility>

#include "app/Controller.hpp"
#include "app/ControllerText.hpp"
#include "input/InputMessage.hpp"

namespace murel::app {

void Controller::takeDecodedFrames(std::optional<DecodedFrame>& latest, std::uint64_t& count) {
    std::vector<DecodedFrame> frames = decoder_->decodedFrames();
    count += frames.size();
    if (!frames.empty()) latest = std::move(frames.back());  // older pictures of the pass are dropped
}

void Controller::pumpViewer(std::int64_t now) {
    std::optional<DecodedFrame> latest;
    std::uint64_t count = 0;
    takeDecodedFrames(latest, count);
    for (int submitted = 0; submitted < kDecodesPerPass && !frameQueue_.empty(); ++submitted) {
        const QueuedFrame& frame = frameQueue_.front();
        const auto bytes = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(frame.bytes.data()),
                                                         frame.bytes.size());
        if (decoder_->decode(bytes, mediaTimeOf(frame.rtpTimestamp))) {
            frameQueue_.pop_front();
            takeDecodedFrames(latest, count);
            continue;
        }
        // Not taken now: the decoder first has to give back pictures; the frame waits otherwise.
        const std::uint64_t before = count;
        takeDecodedFrames(latest, count);
        if (count == before) break;
    }
    if (latest) {
        pendingTexture_ = converter_->convert(latest->picture, latest->slice, PixelFormat::Bgra, latest->width,
                                              latest->height, latest->width, latest->height,
                                              static_cast<std::uint32_t>(streams_.appliedConfiguration().fps));
        working_.decodedWidth = static_cast<std::int32_t>(latest->width);
        working_.decodedHeight = static_cast<std::int32_t>(latest->height);
    }
    framesDecoded_ += count;

    if (pendingTexture_ && presenter_) {
        const PresentResult result = presenter_->present(pendingTexture_);
        if (result.consumed) {
            pendingTexture_.reset();
            if (result.status == PresentStatus::Presented) {
                lastPresentOk_ = true;
                ++framesPresented_;
                const FrameRect shown = presenter_->destination();
                working_.videoRect = VideoRect{shown.x, shown.y, shown.w, shown.h};
                sessionDeadlineMs_ = 0;
                setStatus(text::kVideoPresented);
            } else {
                // Hidden, minimised or covered: the user cannot see what they would be acting on.
                working_.videoRect = VideoRect{};
                if (lastPresentOk_ && peer_) (void)sendRelease(*peer_);
                lastPresentOk_ = false;
                working_.viewerInputActive = false;
                setStatus(text::kVideoNotVisible);
            }
        }
    }

    if (viewerInputAllowed() && now - lastKeepaliveMs_ >= kKeepaliveIntervalMs) {
        lastKeepaliveMs_ = now;
        Json keepalive = makeKeepaliveInput(++inputSequence_);
        if (!peer_->sendInput(serializeInputMessage(keepalive), kControlChannel)) {
            throw ProtocolError(text::kKeepaliveFailed);
        }
    }
}

void Controller::recoverVideo() {
    frameQueue_.clear();
    pendingTexture_.reset();
    const StreamConfiguration& configuration = streams_.appliedConfiguration();
    const VideoCodec codec =
        working_.videoCodecKnown && working_.videoCodec == kCodecHevc ? VideoCodec::Hevc : VideoCodec::H264;
    decoder_.reset();
    decoder_ = platform_.media.makeDecoder(*device_, codec, static_cast<std::uint32_t>(configuration.width),
                                           static_cast<std::uint32_t>(configuration.height),
                                           static_cast<std::uint32_t>(configuration.fps));
    if (lastPresentOk_ && peer_) (void)sendRelease(*peer_);
    lastPresentOk_ = false;
    working_.viewerInputActive = false;
    working_.videoRect = VideoRect{};
    ++working_.videoRecoveries;
    if (sessionDeadlineMs_ == 0) sessionDeadlineMs_ = nowMilliseconds() + kSessionLimitMs;
    setStatus(text::kRecoveringVideo);
}

bool Controller::sendRelease(SessionPeer& peer) {
    try {
        return peer.sendInput(serializeInputMessage(makeReleaseInput(++inputSequence_)), kControlChannel);
    } catch (const std::exception&) {
        return false;
    }
}

void Controller::handleInput(Command& command) {
    requireOnline();
    // Input counts only while the user sees the host's picture; otherwise it is dropped.
    if (!working_.viewerInputActive || !peer_ || !command.message.is_object()) return;
    if (command.channel == kControlChannel) setInputSequence(command.message, ++inputSequence_);
    const bool sent = peer_->sendInput(serializeInputMessage(command.message), command.channel);
    if (!sent && command.channel == kControlChannel) throw ProtocolError(text::kReliableInputFailed);
}

void Controller::releaseRemoteInput() {
    if (peer_ && signaling_ && !signaling_->isHost()) (void)sendRelease(*peer_);
}

}  // namespace murel::app
