#include "media/DesktopCapture.hpp"

#include <functional>
#include <utility>

#include "media/MediaError.hpp"

namespace murel {

void checkCaptureTimeout(std::uint32_t timeoutMs) {
    throwUnless(timeoutMs <= kMaxCaptureTimeoutMs, media_text::kCaptureTimeoutUnbounded);
}

std::uint32_t roundRefreshRate(std::uint32_t numerator, std::uint32_t denominator) {
    if (numerator == 0 || denominator == 0) return 0;
    const std::uint64_t rate = (static_cast<std::uint64_t>(numerator) + denominator / 2) / denominator;
    return rate > 1 ? static_cast<std::uint32_t>(rate) : 0;
}

std::uint32_t pickRefreshRate(std::uint32_t preferred, std::uint32_t fallback) {
    if (preferred > 1) return preferred;
    if (fallback > 1) return fallback;
    return kDefaultRefreshRate;
}

namespace {

// Gives an acquired image back however the capture step ends.
class HeldFrame {
public:
    explicit HeldFrame(std::function<void()> release) : release_(std::move(release)) {}
    ~HeldFrame() { release_(); }
    HeldFrame(const HeldFrame&) = delete;
    HeldFrame& operator=(const HeldFrame&) = delete;

private:
    std::function<void()> release_;
};

}  // namespace

CapturedFrame DesktopCapture::capture(std::uint32_t timeoutMs) {
    checkCaptureTimeout(timeoutMs);
    if (!duplicating()) startDuplication();

    CapturedFrame frame;
    switch (acquireFrame(timeoutMs)) {
        case Acquired::NoNewFrame:
            return frame;
        case Acquired::AccessLost:
            stopDuplication();
            throw TransientMediaError(media_text::kCaptureLost);
        case Acquired::Frame:
            break;
    }

    const HeldFrame held([this] { releaseFrame(); });
    throwUnless(!protectedContentMasked(), media_text::kCaptureProtected);
    const PictureDescription description = describeAcquired();
    throwUnless(description.format == PixelFormat::Bgra && description.width >= 1 && description.height >= 1 &&
                    description.width <= kMaxDesktopSide && description.height <= kMaxDesktopSide,
                media_text::kCaptureFormat);
    frame.picture = copyAcquired();
    frame.timestamp = acquiredTimestamp();
    const FrameRect bounds = desktopBounds();
    frame.x = bounds.x;
    frame.y = bounds.y;
    frame.width = bounds.w;
    frame.height = bounds.h;
    frame.hasFrame = true;
    return frame;
}

}  // namespace murel
