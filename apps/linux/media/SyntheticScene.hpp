#pragma once
// A moving test scene for a host without a real desktop, and its reader. Each picture shows eight
// colour bars (top half), a square that moves with the frame number (middle) and, along the bottom,
// a code of 4 x 32 black and white blocks carrying the frame number and the capture time with a
// checksum. The blocks are large (1/32 of the width, 1/24 of the height) so the code survives
// scaling, chroma subsampling and H.264 compression; the reader samples each block's centre, so it
// also reads pictures that were letterboxed or scaled, given the picture's rectangle.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "CpuPicture.hpp"
#include "media/DesktopCapture.hpp"

namespace murel {

struct SceneStamp {
    std::uint32_t frame = 0;
    std::int64_t captureNs = 0;  // steady-clock nanoseconds

    bool operator==(const SceneStamp&) const = default;
};

struct Bgr {
    std::uint8_t b = 0;
    std::uint8_t g = 0;
    std::uint8_t r = 0;
};

// White, yellow, cyan, green, magenta, red, blue, black.
extern const std::array<Bgr, 8> kSceneBars;
inline constexpr std::uint32_t kSceneMinSide = 32;

// Draws picture frameNumber into a BGRA picture of at least 32 x 32.
void drawScene(const CpuPicture& target, std::uint32_t frameNumber, std::int64_t captureNs);

// The centre of bar index (0...7) in a picture of width x height.
struct ScenePoint {
    double x = 0;
    double y = 0;
};
ScenePoint sceneBarCentre(int index, std::uint32_t width, std::uint32_t height);

// Reads the code of a BGRA picture given by its top-left pixel, size and row stride; nothing when
// the blocks do not read as a valid code (a different picture, or one damaged beyond the checksum).
std::optional<SceneStamp> readSceneStamp(const std::uint8_t* bgra, std::uint32_t width, std::uint32_t height,
                                         std::ptrdiff_t stride);
std::optional<SceneStamp> readSceneStamp(const CpuPicture& picture);

// The colour at (x, y) of a BGRA picture, averaged over a (2r+1)^2 square clipped to the picture.
Bgr averageColour(const CpuPicture& picture, double x, double y, int radius = 2);

struct SyntheticSceneOptions {
    std::uint32_t width = 1280;
    std::uint32_t height = 720;
    std::uint32_t refreshRate = 60;
};

// A DesktopCapture whose every call draws the next picture of the scene (numbered from 0), stamped
// with the clock's time at the call.
class SyntheticDesktopCapture final : public DesktopCapture {
public:
    // clock: steady-clock nanoseconds; empty means the steady clock.
    explicit SyntheticDesktopCapture(SyntheticSceneOptions options, std::function<std::int64_t()> clock = {});

    FrameRect desktopBounds() const override;
    std::uint32_t refreshRate() override { return options_.refreshRate; }
    // The number the next picture will carry.
    std::uint32_t nextFrameNumber() const { return next_; }

protected:
    bool duplicating() const override { return true; }
    void startDuplication() override {}
    void stopDuplication() noexcept override {}
    Acquired acquireFrame(std::uint32_t timeoutMs) override;
    bool protectedContentMasked() override { return false; }
    PictureDescription describeAcquired() override;
    PictureHandle copyAcquired() override;
    std::int64_t acquiredTimestamp() override { return acquiredAt_; }
    void releaseFrame() noexcept override {}

private:
    SyntheticSceneOptions options_;
    std::function<std::int64_t()> clock_;
    std::uint32_t next_ = 0;
    std::int64_t acquiredAt_ = 0;
};

}  // namespace murel
