#include "RecordingPresenter.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "media/MediaClock.hpp"
#include "media/MediaError.hpp"

namespace murel {

RecordingPresenter::RecordingPresenter(RecordingPresenterOptions options) : options_(std::move(options)) {
    if (!options_.clock) options_.clock = steadyNanoseconds;
    if (!options_.folder.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options_.folder, error);
        log_.open(options_.folder / "presented.log", std::ios::out | std::ios::trunc);
        throwUnless(log_.is_open(), "Cannot write the recording log");
    }
}

void RecordingPresenter::presentEmpty() { destination_ = {}; }

PresentResult RecordingPresenter::presentPicture(const Picture& picture) {
    destination_ = {};
    if (!visible_) return {PresentStatus::NotShown, true};
    checkPresentable(picture);
    const CpuPicture& source = cpuPicture(picture);
    const std::uint32_t width = options_.clientWidth != 0 ? options_.clientWidth : source.width();
    const std::uint32_t height = options_.clientHeight != 0 ? options_.clientHeight : source.height();

    const FrameRect fitted = fitRect(width, height, source.width(), source.height());
    std::shared_ptr<CpuPicture> client = CpuPicture::allocate(PixelFormat::Bgra, width, height);
    for (std::uint32_t y = 0; y < height; ++y) std::memset(client->row(y), 0, std::size_t{width} * 4);
    const auto x0 = static_cast<std::uint32_t>(std::lround(fitted.x));
    const auto y0 = static_cast<std::uint32_t>(std::lround(fitted.y));
    const auto x1 = std::min(width, static_cast<std::uint32_t>(std::lround(fitted.x + fitted.w)));
    const auto y1 = std::min(height, static_cast<std::uint32_t>(std::lround(fitted.y + fitted.h)));
    if (x1 > x0 && y1 > y0) {
        scaler_.scale(source, client->row(y0) + std::ptrdiff_t{4} * x0, client->plane(0).stride, x1 - x0, y1 - y0);
    }

    PresentedFrame record;
    record.index = presented_++;
    record.presentedNs = options_.clock();
    record.destination = fitted;
    if (x1 > x0 && y1 > y0) {
        record.stamp =
            readSceneStamp(client->row(y0) + std::ptrdiff_t{4} * x0, x1 - x0, y1 - y0, client->plane(0).stride);
    }
    destination_ = fitted;

    if (log_.is_open()) {
        char line[256];
        if (record.stamp) {
            std::snprintf(line, sizeof line, "%zu %ux%u presented_ns=%lld frame=%u capture_ns=%lld latency_us=%lld\n",
                          record.index, width, height, static_cast<long long>(record.presentedNs), record.stamp->frame,
                          static_cast<long long>(record.stamp->captureNs),
                          static_cast<long long>((record.presentedNs - record.stamp->captureNs) / 1000));
        } else {
            std::snprintf(line, sizeof line, "%zu %ux%u presented_ns=%lld frame=- capture_ns=- latency_us=-\n",
                          record.index, width, height, static_cast<long long>(record.presentedNs));
        }
        log_ << line;
        log_.flush();
        if (record.index < options_.maxFrameFiles) {
            char name[32];
            std::snprintf(name, sizeof name, "frame-%06zu.ppm", record.index);
            writePpm(*client, options_.folder / name);
        }
    }
    if (onPresented_) onPresented_(*client, record);
    return {PresentStatus::Presented, true};
}

void writePpm(const CpuPicture& picture, const std::filesystem::path& file) {
    throwUnless(picture.format() == PixelFormat::Bgra, media_text::kPresentNeedsBgra);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    throwUnless(out.is_open(), "Cannot write a recorded frame");
    out << "P6\n" << picture.width() << ' ' << picture.height() << "\n255\n";
    std::vector<char> row(std::size_t{picture.width()} * 3);
    for (std::uint32_t y = 0; y < picture.height(); ++y) {
        const std::uint8_t* in = picture.row(y);
        for (std::uint32_t x = 0; x < picture.width(); ++x) {
            row[3 * x] = static_cast<char>(in[4 * x + 2]);
            row[3 * x + 1] = static_cast<char>(in[4 * x + 1]);
            row[3 * x + 2] = static_cast<char>(in[4 * x]);
        }
        out.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
    throwUnless(out.good(), "Cannot write a recorded frame");
}

}  // namespace murel
