#pragma once
// Pictures of one display, polled by the host once per frame interval.
//
// capture() is the shared algorithm; a backend supplies the duplication primitives below (Windows:
// DXGI desktop duplication on the shared D3D11 device; Linux: XShm of the X root window, or a
// synthetic scene). The shared part bounds the time-out, (re)starts duplication when needed, turns
// a lost duplication into a TransientMediaError, checks the image and gives every acquired image
// back to the backend (releaseFrame) on every path, failures included, so a failed copy never
// leaves the duplication holding a frame that blocks all later captures.
//
// Threads: the Controller's worker only.

#include <cstdint>

#include "media/MediaTypes.hpp"

namespace murel {

inline constexpr std::uint32_t kMaxCaptureTimeoutMs = 1000;
inline constexpr std::uint32_t kMaxDesktopSide = 8192;
inline constexpr std::uint32_t kDefaultRefreshRate = 60;

// Throws "Capture timeout must be bounded" above 1000 ms.
void checkCaptureTimeout(std::uint32_t timeoutMs);

// A refresh rate given as a fraction, rounded to the nearest whole rate; 0 when either part is 0
// or the result is not above 1 (the caller then tries its next source).
std::uint32_t roundRefreshRate(std::uint32_t numerator, std::uint32_t denominator);

// The first candidate above 1, else 60. Candidates in order of preference, 0 for "unknown".
std::uint32_t pickRefreshRate(std::uint32_t preferred, std::uint32_t fallback = 0);

class DesktopCapture {
public:
    virtual ~DesktopCapture() = default;

    // Never waits longer than timeoutMs (at most 1000; the host passes 0). hasFrame false: no new
    // image. Throws TransientMediaError "Desktop changed or locked; capture must be reinitialized"
    // when the duplication was lost (mode change, secure desktop); the object stays usable and the
    // next call starts a new duplication, failing with the start-up texts while the desktop stays
    // unavailable. Any other failure is a ProtocolError.
    CapturedFrame capture(std::uint32_t timeoutMs);

    // The output's desktop rectangle (left, top, width, height) as of the last (re)start.
    virtual FrameRect desktopBounds() const = 0;
    // Whole frames per second; 60 when the display does not say.
    virtual std::uint32_t refreshRate() = 0;

protected:
    enum class Acquired { NoNewFrame, AccessLost, Frame };

    DesktopCapture() = default;
    DesktopCapture(const DesktopCapture&) = delete;
    DesktopCapture& operator=(const DesktopCapture&) = delete;

    virtual bool duplicating() const = 0;
    // Releases an existing duplication and starts a new one, reading the output's bounds; throws
    // the start-up failures. Backends also call it from their constructor.
    virtual void startDuplication() = 0;
    // Releases the duplication (after access was lost). Must not throw.
    virtual void stopDuplication() noexcept = 0;
    // Waits up to timeoutMs for a new image. NoNewFrame and AccessLost hold nothing; a failure
    // throws and holds nothing; Frame holds the image until releaseFrame.
    virtual Acquired acquireFrame(std::uint32_t timeoutMs) = 0;
    // Asked while an image is held, in this order; each may throw.
    virtual bool protectedContentMasked() = 0;
    virtual PictureDescription describeAcquired() = 0;
    // The held image copied into a picture the frame owns.
    virtual PictureHandle copyAcquired() = 0;
    // Capture clock ticks of the held image (see CapturedFrame::timestamp).
    virtual std::int64_t acquiredTimestamp() = 0;
    // Gives the held image back. Called exactly once after every Frame. Must not throw.
    virtual void releaseFrame() noexcept = 0;
};

}  // namespace murel
