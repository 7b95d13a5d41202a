#include "SyntheticScene.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "media/MediaClock.hpp"
#include "media/MediaError.hpp"

namespace murel {
namespace {

constexpr int kCodeColumns = 32;
constexpr int kCodeRows = 4;
constexpr int kCodeBits = kCodeColumns * kCodeRows;  // 16 sync + 32 frame + 64 time + 16 checksum
constexpr double kCodeRowFraction = 1.0 / 24;
constexpr std::uint16_t kSync = 0xB38F;
constexpr Bgr kBackground{96, 96, 96};
constexpr Bgr kSquare{0, 128, 255};

using Bits = std::array<bool, kCodeBits>;

std::uint16_t crc16(const std::uint8_t* bytes, std::size_t length) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<std::uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                      : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

std::array<std::uint8_t, 12> payload(std::uint32_t frame, std::int64_t captureNs) {
    std::array<std::uint8_t, 12> bytes{};
    const auto time = static_cast<std::uint64_t>(captureNs);
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(frame >> (24 - 8 * i));
    for (int i = 0; i < 8; ++i)
        bytes[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(time >> (56 - 8 * i));
    return bytes;
}

Bits encode(std::uint32_t frame, std::int64_t captureNs) {
    const std::array<std::uint8_t, 12> bytes = payload(frame, captureNs);
    const std::uint16_t crc = crc16(bytes.data(), bytes.size());
    Bits bits{};
    int at = 0;
    const auto put = [&](std::uint64_t value, int count) {
        for (int i = count - 1; i >= 0; --i) bits[static_cast<std::size_t>(at++)] = ((value >> i) & 1) != 0;
    };
    put(kSync, 16);
    for (std::uint8_t byte : bytes) put(byte, 8);
    put(crc, 16);
    return bits;
}

struct Layout {
    double blockWidth;
    double blockHeight;
    double top;
};

Layout layoutOf(std::uint32_t width, std::uint32_t height) {
    const double blockHeight = height * kCodeRowFraction;
    return {static_cast<double>(width) / kCodeColumns, blockHeight, height - kCodeRows * blockHeight};
}

void fill(const CpuPicture& picture, std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1, Bgr colour) {
    x0 = std::clamp<std::int64_t>(x0, 0, picture.width());
    x1 = std::clamp<std::int64_t>(x1, 0, picture.width());
    y0 = std::clamp<std::int64_t>(y0, 0, picture.height());
    y1 = std::clamp<std::int64_t>(y1, 0, picture.height());
    if (x0 >= x1 || y0 >= y1) return;
    std::uint8_t* first = picture.row(static_cast<std::uint32_t>(y0)) + 4 * x0;
    for (std::int64_t x = x0; x < x1; ++x) {
        std::uint8_t* pixel = first + 4 * (x - x0);
        pixel[0] = colour.b;
        pixel[1] = colour.g;
        pixel[2] = colour.r;
        pixel[3] = 255;
    }
    const auto bytes = static_cast<std::size_t>(4 * (x1 - x0));
    for (std::int64_t y = y0 + 1; y < y1; ++y) {
        std::memcpy(picture.row(static_cast<std::uint32_t>(y)) + 4 * x0, first, bytes);
    }
}

std::int64_t edge(double value) { return static_cast<std::int64_t>(std::floor(value + 0.5)); }

int luma(const std::uint8_t* pixel) { return (29 * pixel[0] + 150 * pixel[1] + 77 * pixel[2]) >> 8; }

}  // namespace

const std::array<Bgr, 8> kSceneBars = {{
    {255, 255, 255},
    {0, 255, 255},
    {255, 255, 0},
    {0, 255, 0},
    {255, 0, 255},
    {0, 0, 255},
    {255, 0, 0},
    {0, 0, 0},
}};

void drawScene(const CpuPicture& target, std::uint32_t frameNumber, std::int64_t captureNs) {
    throwUnless(target.format() == PixelFormat::Bgra && target.width() >= kSceneMinSide &&
                    target.height() >= kSceneMinSide,
                "The test scene needs a BGRA picture of at least 32 x 32");
    const std::int64_t w = target.width();
    const std::int64_t h = target.height();
    const Layout layout = layoutOf(target.width(), target.height());

    fill(target, 0, 0, w, h, kBackground);
    for (int i = 0; i < 8; ++i) {
        fill(target, edge(w * i / 8.0), 0, edge(w * (i + 1) / 8.0), h / 2, kSceneBars[static_cast<std::size_t>(i)]);
    }

    // The square fills the band between the bars and the code, moving right and wrapping.
    const std::int64_t bandTop = h / 2 + 2;
    const std::int64_t bandBottom = edge(layout.top) - 2;
    const std::int64_t side = std::max<std::int64_t>(2, bandBottom - bandTop);
    const std::int64_t travel = std::max<std::int64_t>(1, w - side);
    const std::int64_t step = std::max<std::int64_t>(1, w / 64);
    const std::int64_t x = static_cast<std::int64_t>((static_cast<std::uint64_t>(frameNumber) * step) % travel);
    fill(target, x, bandTop, x + side, bandTop + side, kSquare);

    const Bits bits = encode(frameNumber, captureNs);
    for (int i = 0; i < kCodeBits; ++i) {
        const int row = i / kCodeColumns;
        const int column = i % kCodeColumns;
        const std::uint8_t level = bits[static_cast<std::size_t>(i)] ? 255 : 0;
        fill(target, edge(column * layout.blockWidth), edge(layout.top + row * layout.blockHeight),
             edge((column + 1) * layout.blockWidth), edge(layout.top + (row + 1) * layout.blockHeight),
             {level, level, level});
    }
}

ScenePoint sceneBarCentre(int index, std::uint32_t width, std::uint32_t height) {
    return {width * (index + 0.5) / 8.0, height / 4.0};
}

std::optional<SceneStamp> readSceneStamp(const std::uint8_t* bgra, std::uint32_t width, std::uint32_t height,
                                         std::ptrdiff_t stride) {
    if (bgra == nullptr || width < kSceneMinSide || height < kSceneMinSide) return std::nullopt;
    const Layout layout = layoutOf(width, height);
    Bits bits{};
    for (int i = 0; i < kCodeBits; ++i) {
        const int row = i / kCodeColumns;
        const int column = i % kCodeColumns;
        // The middle half of the block in each direction, at least one pixel.
        const double left = (column + 0.25) * layout.blockWidth;
        const double right = (column + 0.75) * layout.blockWidth;
        const double top = layout.top + (row + 0.25) * layout.blockHeight;
        const double bottom = layout.top + (row + 0.75) * layout.blockHeight;
        const auto x0 = static_cast<std::uint32_t>(std::clamp(std::floor(left), 0.0, width - 1.0));
        const auto x1 = std::max(x0 + 1, static_cast<std::uint32_t>(std::clamp(std::ceil(right), 0.0, double(width))));
        const auto y0 = static_cast<std::uint32_t>(std::clamp(std::floor(top), 0.0, height - 1.0));
        const auto y1 =
            std::max(y0 + 1, static_cast<std::uint32_t>(std::clamp(std::ceil(bottom), 0.0, double(height))));
        long sum = 0;
        long count = 0;
        for (std::uint32_t y = y0; y < y1; ++y) {
            const std::uint8_t* row = bgra + stride * static_cast<std::ptrdiff_t>(y);
            for (std::uint32_t x = x0; x < x1; ++x) {
                sum += luma(row + 4 * x);
                ++count;
            }
        }
        bits[static_cast<std::size_t>(i)] = sum > 128 * count;
    }

    int at = 0;
    const auto take = [&](int count) {
        std::uint64_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 1) | (bits[static_cast<std::size_t>(at++)] ? 1 : 0);
        return value;
    };
    if (take(16) != kSync) return std::nullopt;
    const auto frame = static_cast<std::uint32_t>(take(32));
    const auto time = static_cast<std::int64_t>(take(64));
    const auto crc = static_cast<std::uint16_t>(take(16));
    const std::array<std::uint8_t, 12> bytes = payload(frame, time);
    if (crc16(bytes.data(), bytes.size()) != crc) return std::nullopt;
    return SceneStamp{frame, time};
}

std::optional<SceneStamp> readSceneStamp(const CpuPicture& picture) {
    if (picture.format() != PixelFormat::Bgra) return std::nullopt;
    return readSceneStamp(picture.plane(0).data, picture.width(), picture.height(), picture.plane(0).stride);
}

Bgr averageColour(const CpuPicture& picture, double x, double y, int radius) {
    const auto cx = static_cast<std::int64_t>(x);
    const auto cy = static_cast<std::int64_t>(y);
    long sums[3] = {0, 0, 0};
    long count = 0;
    for (std::int64_t py = cy - radius; py <= cy + radius; ++py) {
        if (py < 0 || py >= picture.height()) continue;
        for (std::int64_t px = cx - radius; px <= cx + radius; ++px) {
            if (px < 0 || px >= picture.width()) continue;
            const std::uint8_t* pixel = picture.row(static_cast<std::uint32_t>(py)) + 4 * px;
            for (int c = 0; c < 3; ++c) sums[c] += pixel[c];
            ++count;
        }
    }
    if (count == 0) return {};
    return {static_cast<std::uint8_t>(sums[0] / count), static_cast<std::uint8_t>(sums[1] / count),
            static_cast<std::uint8_t>(sums[2] / count)};
}

SyntheticDesktopCapture::SyntheticDesktopCapture(SyntheticSceneOptions options, std::function<std::int64_t()> clock)
    : options_(options), clock_(std::move(clock)) {
    throwUnless(options_.width >= kSceneMinSide && options_.height >= kSceneMinSide &&
                    options_.width <= kMaxDesktopSide && options_.height <= kMaxDesktopSide,
                "The test scene needs 32...8192 pixels on each side");
    if (!clock_) clock_ = steadyNanoseconds;
}

FrameRect SyntheticDesktopCapture::desktopBounds() const {
    return {0, 0, static_cast<double>(options_.width), static_cast<double>(options_.height)};
}

DesktopCapture::Acquired SyntheticDesktopCapture::acquireFrame(std::uint32_t) {
    acquiredAt_ = clock_();
    return Acquired::Frame;
}

PictureDescription SyntheticDesktopCapture::describeAcquired() {
    return {PixelFormat::Bgra, options_.width, options_.height, 1};
}

PictureHandle SyntheticDesktopCapture::copyAcquired() {
    std::shared_ptr<CpuPicture> picture = CpuPicture::allocate(PixelFormat::Bgra, options_.width, options_.height);
    drawScene(*picture, next_++, acquiredAt_);
    return picture;
}

}  // namespace murel
