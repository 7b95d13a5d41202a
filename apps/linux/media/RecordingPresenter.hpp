#pragma once
// A presenter without a window, for tests and for a viewer that records: each presented picture is
// letterboxed into a client area of a fixed size (or its own size), its scene stamp is read, a line
// goes to presented.log in the folder and, up to a bound, the picture is written as a PPM file.
//
// presented.log, one line per present:
//   <index> <width>x<height> presented_ns=<steady ns> frame=<n or -> capture_ns=<ns or -> latency_us=<us or ->
// Frames: frame-<index, 6 digits>.ppm (the letterboxed client area, RGB).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "CpuPicture.hpp"
#include "FfmpegMedia.hpp"
#include "SyntheticScene.hpp"
#include "media/ViewerPresenter.hpp"

namespace murel {

struct RecordingPresenterOptions {
    // Where presented.log and the frames go; empty: nothing is written.
    std::filesystem::path folder;
    // The client area; 0 x 0: each picture's own size.
    std::uint32_t clientWidth = 0;
    std::uint32_t clientHeight = 0;
    // At most this many frame files; the log keeps counting.
    std::size_t maxFrameFiles = 300;
    // steady-clock nanoseconds; empty: the steady clock.
    std::function<std::int64_t()> clock;
};

struct PresentedFrame {
    std::size_t index = 0;
    std::int64_t presentedNs = 0;
    std::optional<SceneStamp> stamp;
    FrameRect destination;
};

class RecordingPresenter final : public ViewerPresenter {
public:
    explicit RecordingPresenter(RecordingPresenterOptions options);

    void presentEmpty() override;
    FrameRect destination() const override { return destination_; }

    // A hidden viewer consumes pictures without showing them.
    void setVisible(bool visible) { visible_ = visible; }
    // Called for each presented picture with the letterboxed client area (BGRA).
    void onPresented(std::function<void(const CpuPicture& client, const PresentedFrame&)> callback) {
        onPresented_ = std::move(callback);
    }
    std::size_t presentedCount() const { return presented_; }

protected:
    PresentResult presentPicture(const Picture& picture) override;

private:
    RecordingPresenterOptions options_;
    std::ofstream log_;
    BgraScaler scaler_;
    FrameRect destination_;
    bool visible_ = true;
    std::size_t presented_ = 0;
    std::function<void(const CpuPicture&, const PresentedFrame&)> onPresented_;
};

// Writes a BGRA picture as a binary PPM (RGB).
void writePpm(const CpuPicture& picture, const std::filesystem::path& file);

}  // namespace murel
