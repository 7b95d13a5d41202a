#pragma once
// The values that pass between the media objects: pictures, captured desktop images, encoded access
// units, decoded frames and present results. Portable: a platform's pictures derive from Picture.

#include <cstdint>
#include <memory>
#include <vector>

namespace murel {

// Pixel formats by their DXGI_FORMAT numbers, so a Windows texture's format converts unchanged.
// A Windows picture may report any other DXGI number; I420 exists only for CPU pictures (three
// planes, the software decoders' output) and has no DXGI counterpart.
enum class PixelFormat : std::uint32_t {
    Unknown = 0,
    Bgra = 87,             // DXGI_FORMAT_B8G8R8A8_UNORM
    Nv12 = 103,            // DXGI_FORMAT_NV12
    I420 = 0x30323449u,    // 'I420'
};

struct PictureDescription {
    PixelFormat format = PixelFormat::Unknown;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // Slices in the picture (a decoder's texture array on Windows); 1 for a plain picture.
    std::uint32_t arraySize = 1;
};

// One picture owned by a media backend: a D3D11 texture (all of its slices) on Windows, an image in
// memory on Linux. Backends downcast to their own type; a picture made by another backend is
// refused. Thread use follows the object that made it. Pictures are always owned through a
// PictureHandle, so a backend that must keep one alive past a call can take shared_from_this().
class Picture : public std::enable_shared_from_this<Picture> {
public:
    virtual ~Picture() = default;
    virtual PictureDescription describe() const = 0;
};

// Shared: the host keeps its last captured picture while a converted copy waits in the encoder,
// and a decoded picture stays valid while any holder keeps it.
using PictureHandle = std::shared_ptr<const Picture>;

// Rectangles in pixels of a window or desktop (doubles: letterboxing yields fractions).
struct FrameRect {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    bool operator==(const FrameRect&) const = default;
};

// A desktop image taken by DesktopCapture::capture.
struct CapturedFrame {
    // B8G8R8A8 picture of the whole output, owned by this frame; null when hasFrame is false.
    PictureHandle picture;
    // The output's desktop rectangle when capture (re)started.
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    // Capture clock ticks: QueryPerformanceCounter units on Windows (the frame's present time when
    // known, else the time of the copy), steady-clock nanoseconds on Linux.
    std::int64_t timestamp = 0;
    // False: no new image since the last call; the other fields are then unspecified.
    bool hasFrame = false;
};

// One complete Annex-B H.264 access unit (4...8 MiB) from the encoder.
struct EncodedAccessUnit {
    std::vector<std::uint8_t> bytes;
    // 100-ns units: the timestamp the picture was submitted with.
    std::int64_t timestamp = 0;
};

// One decoded picture. Move-only: it holds the decoder's surface (Windows: the output sample) and
// dropping it gives the surface back.
struct DecodedFrame {
    // NV12 on Windows (usually a texture array, see slice); I420 or NV12 on Linux.
    PictureHandle picture;
    std::uint32_t slice = 0;
    // Visible size (the display aperture), at most the picture's size.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // 100-ns units: the timestamp of the access unit this picture came from.
    std::int64_t timestamp = 0;
    // 0 when timestamp was read; otherwise the platform's error code of reading it (an HRESULT on
    // Windows), reported by whoever needs the timestamp.
    std::uint32_t timestampError = 0;

    DecodedFrame() = default;
    DecodedFrame(DecodedFrame&&) noexcept = default;
    DecodedFrame& operator=(DecodedFrame&&) noexcept = default;
    DecodedFrame(const DecodedFrame&) = delete;
    DecodedFrame& operator=(const DecodedFrame&) = delete;
};

enum class VideoCodec : std::int32_t { H264 = 0, Hevc = 1 };

enum class PresentStatus : std::int32_t { Presented = 0, NotShown = 1, Occluded = 2 };

struct PresentResult {
    PresentStatus status = PresentStatus::NotShown;
    // False: the presenter could not take the picture now; the caller keeps it and offers it (or a
    // newer one) again. status is then meaningless.
    bool consumed = false;

    bool operator==(const PresentResult&) const = default;
};

}  // namespace murel
