#pragma once
// The Linux backends' picture: an image in memory, BGRA (one plane), NV12 (Y, interleaved UV) or
// I420 (Y, U, V). Its memory is either its own (64-byte aligned rows) or borrowed from a decoder
// frame, which the picture then keeps alive.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "media/MediaTypes.hpp"

namespace murel {

class CpuPicture final : public Picture {
public:
    struct Plane {
        std::uint8_t* data = nullptr;
        std::ptrdiff_t stride = 0;  // bytes from one row to the next
    };

    // Borrowed memory: owner keeps it valid for the picture's lifetime.
    CpuPicture(PixelFormat format, std::uint32_t width, std::uint32_t height, std::array<Plane, 3> planes,
               std::shared_ptr<void> owner);

    // A new picture with its own memory (contents unspecified). Sizes are validated (1...16384).
    static std::shared_ptr<CpuPicture> allocate(PixelFormat format, std::uint32_t width, std::uint32_t height);

    PictureDescription describe() const override { return {format_, width_, height_, 1}; }
    PixelFormat format() const { return format_; }
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    const Plane& plane(int index) const { return planes_[static_cast<std::size_t>(index)]; }
    // 1 for BGRA, 2 for NV12, 3 for I420.
    int planeCount() const;

    // Row y of plane 0 (BGRA: 4 bytes per pixel).
    std::uint8_t* row(std::uint32_t y) const {
        return planes_[0].data + planes_[0].stride * static_cast<std::ptrdiff_t>(y);
    }

private:
    PixelFormat format_;
    std::uint32_t width_;
    std::uint32_t height_;
    std::array<Plane, 3> planes_;
    std::shared_ptr<void> owner_;
};

// The picture as a CpuPicture; throws "Picture does not belong to this media device" for a picture
// of another backend.
const CpuPicture& cpuPicture(const Picture& picture);

}  // namespace murel
