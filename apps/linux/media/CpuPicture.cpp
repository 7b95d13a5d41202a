#include "CpuPicture.hpp"

#include <cstdlib>
#include <new>
#include <utility>

#include "media/MediaError.hpp"

namespace murel {
namespace {

constexpr std::size_t kRowAlignment = 64;

std::size_t aligned(std::size_t bytes) { return (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment; }

}  // namespace

CpuPicture::CpuPicture(PixelFormat format, std::uint32_t width, std::uint32_t height, std::array<Plane, 3> planes,
                       std::shared_ptr<void> owner)
    : format_(format), width_(width), height_(height), planes_(planes), owner_(std::move(owner)) {}

int CpuPicture::planeCount() const {
    switch (format_) {
        case PixelFormat::Nv12:
            return 2;
        case PixelFormat::I420:
            return 3;
        default:
            return 1;
    }
}

std::shared_ptr<CpuPicture> CpuPicture::allocate(PixelFormat format, std::uint32_t width, std::uint32_t height) {
    throwUnless(width >= 1 && height >= 1 && width <= 16384 && height <= 16384 &&
                    (format == PixelFormat::Bgra || format == PixelFormat::Nv12 || format == PixelFormat::I420),
                "Invalid picture size or format");
    const std::size_t w = width;
    const std::size_t h = height;
    const std::size_t chromaRows = (h + 1) / 2;
    std::array<std::size_t, 3> strides{};
    std::array<std::size_t, 3> rows{};
    if (format == PixelFormat::Bgra) {
        strides = {aligned(w * 4), 0, 0};
        rows = {h, 0, 0};
    } else if (format == PixelFormat::Nv12) {
        strides = {aligned(w), aligned((w + 1) / 2 * 2), 0};
        rows = {h, chromaRows, 0};
    } else {
        strides = {aligned(w), aligned((w + 1) / 2), aligned((w + 1) / 2)};
        rows = {h, chromaRows, chromaRows};
    }
    std::size_t total = 0;
    for (std::size_t i = 0; i < 3; ++i) total += strides[i] * rows[i];
    // Spare bytes past the end: SIMD converters may read a little beyond the last row.
    void* memory = std::aligned_alloc(kRowAlignment, aligned(total + kRowAlignment));
    if (memory == nullptr) throw std::bad_alloc();
    std::shared_ptr<void> owner(memory, std::free);

    std::array<Plane, 3> planes{};
    auto* next = static_cast<std::uint8_t*>(memory);
    for (std::size_t i = 0; i < 3; ++i) {
        if (rows[i] == 0) continue;
        planes[i] = {next, static_cast<std::ptrdiff_t>(strides[i])};
        next += strides[i] * rows[i];
    }
    return std::make_shared<CpuPicture>(format, width, height, planes, std::move(owner));
}

const CpuPicture& cpuPicture(const Picture& picture) {
    const auto* cpu = dynamic_cast<const CpuPicture*>(&picture);
    throwUnless(cpu != nullptr, media_text::kForeignPicture);
    return *cpu;
}

}  // namespace murel
