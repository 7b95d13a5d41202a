// The periodic step of the worker: the order of its work, every deadline it enforces, the
// frame-rate statistics and the worker's wait between passes.

#include <algorithm>
#include <limits>

#include "app/Controller.hpp"
#include "app/ControllerText.hpp"

namespace murel::app {

namespace {

constexpr std::chrono::nanoseconds kVideoWait = std::chrono::milliseconds(1);
constexpr std::chrono::nanoseconds kIdleWait = std::chrono::milliseconds(8);
constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

}  // namespace

std::chrono::nanoseconds workerWait(bool videoWaiting, std::int64_t nextCaptureNs, std::int64_t nowNs) {
    std::chrono::nanoseconds wait = videoWaiting ? kVideoWait : kIdleWait;
    if (nextCaptureNs != 0) {
        const std::int64_t left = nextCaptureNs > nowNs ? nextCaptureNs - nowNs : 0;
        wait = std::min(wait, std::chrono::nanoseconds(left));
    }
    return wait;
}

std::int64_t nextCaptureTime(std::int64_t scheduledNs, std::int64_t nowNs, std::int32_t fps) {
    const std::int64_t interval = kNanosecondsPerSecond / std::max<std::int32_t>(fps, 1);
    const std::int64_t next = (scheduledNs != 0 ? scheduledNs : nowNs) + interval;
    return next > nowNs ? next : nowNs + interval;
}

std::uint32_t rtpTimestampOf(std::int64_t mediaTime) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(mediaTime / 1000 * 9));
}

std::int64_t mediaTimeOf(std::uint32_t rtpTimestamp) {
    return static_cast<std::int64_t>(rtpTimestamp) * 1000 / 9;
}

void Controller::tick() {
    const std::int64_t now = nowMilliseconds();

    if (reservation_ && sessionDeadlineMs_ != 0 && now > sessionDeadlineMs_) {
        endSession(true);
        throw ProtocolError(text::kStartTimedOut);
    }
    if (injector_) injector_->expire();
    refreshDeviceListPeriodically(now);
    pumpPeerEvents();
    if (encoder_ && hostingEnabled_) pumpHost(now);
    if (decoder_ && peer_) pumpViewer(now);
    updateFrameRates(now);
    if (streams_.timedOut(now)) throw ProtocolError(text::kStreamChangeTimedOut);
    if (sessionDeadlineMs_ != 0 && now > sessionDeadlineMs_) throw ProtocolError(text::kNoUsableVideo);
}

void Controller::updateFrameRates(std::int64_t now) {
    if (rateWindowStartMs_ == 0 || now - rateWindowStartMs_ < kRateWindowMs) return;
    const double seconds = static_cast<double>(now - rateWindowStartMs_) / 1000.0;
    working_.decodeFps = static_cast<double>(framesDecoded_ - rateWindowDecoded_) / seconds;
    working_.presentFps = static_cast<double>(framesPresented_ - rateWindowPresented_) / seconds;
    rateWindowStartMs_ = now;
    rateWindowDecoded_ = framesDecoded_;
    rateWindowPresented_ = framesPresented_;
}

std::chrono::nanoseconds Controller::nextWait() const {
    const bool videoWaiting = !frameQueue_.empty() || pendingTexture_ != nullptr;
    // The host wakes for its next capture, which waits for the transport during a session's set-up.
    const bool capturing = encoder_ && hostingEnabled_ && (!peer_ || transportConnected_);
    return workerWait(videoWaiting, capturing ? nextCaptureNs_ : 0, capturing ? nowNanoseconds() : 0);
}

}  // namespace murel::app
