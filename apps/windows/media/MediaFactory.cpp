#include "media/MediaFactory.hpp"

#include "media/MediaError.hpp"

namespace murel {

void runHevcPreflight(const MediaFactory& media, GraphicsDevice& device, const PreflightTiming& timing) {
    throwUnless(static_cast<bool>(media.makeDecoder), media_text::kHevcUnavailable);
    runHevcPreflight([&] { return media.makeDecoder(device, VideoCodec::Hevc, 64, 64, 30); }, timing);
}

TimerResolutionScope::TimerResolutionScope(const MediaFactory& media) {
    if (media.raiseTimerResolution && media.raiseTimerResolution()) {
        raised_ = true;
        restore_ = media.restoreTimerResolution;
    }
}

TimerResolutionScope::~TimerResolutionScope() {
    if (raised_ && restore_) restore_();
}

}  // namespace murel
