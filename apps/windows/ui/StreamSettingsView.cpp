#include "ui/StreamSettingsView.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

#include "ui/UiText.hpp"

namespace murel::ui {

namespace {

constexpr std::int32_t kMinBitrate = 100000;
constexpr std::int32_t kMaxBitrate = 100000000;

bool sameSizeAndRate(const StreamMode& mode, const StreamConfiguration& c) {
    return mode.width == c.width && mode.height == c.height && mode.fps == c.fps;
}

std::string sizeText(std::int32_t width, std::int32_t height) {
    return std::to_string(width) + " × " + std::to_string(height);
}

bool controlsUsable(const app::Status& status, const DialogState& state, bool commandInFlight, bool closing) {
    return !(commandInFlight || status.busy || status.reservationPending || state.applyInFlight ||
             status.streamSettingsPending || !status.sessionActive || status.hostsActiveSession || closing);
}

std::optional<StreamConfiguration> selectedCandidate(const app::Status& status, const DialogState& state) {
    if (!state.selection || *state.selection >= state.listed.size()) return std::nullopt;
    return candidateConfiguration(state.listed[*state.selection], status.streamConfiguration);
}

}  // namespace

std::optional<StreamConfiguration> candidateConfiguration(const StreamMode& mode, const StreamConfiguration& current) {
    if (mode.maxBitrateBps < kMinBitrate || mode.fps < 1 || mode.fps > 240) return std::nullopt;
    StreamConfiguration candidate = current;
    candidate.width = mode.width;
    candidate.height = mode.height;
    candidate.fps = mode.fps;
    candidate.hasHeight = true;
    candidate.maxBitrateBps = std::min(mode.maxBitrateBps, kMaxBitrate);
    if (sameSizeAndRate(mode, current)) {
        candidate.maxBitrateBps = std::min(current.maxBitrateBps, candidate.maxBitrateBps);
    }
    try {
        validateStreamConfiguration(candidate);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return candidate;
}

bool sameStream(const StreamConfiguration& a, const StreamConfiguration& b) {
    return a.width == b.width && a.height == b.height && a.fps == b.fps && a.maxBitrateBps == b.maxBitrateBps &&
           a.systemAudio == b.systemAudio && a.audioBufferMilliseconds == b.audioBufferMilliseconds;
}

std::string modeLabel(const StreamMode& mode, const StreamModes& capabilities) {
    std::string label = sizeText(mode.width, mode.height);
    if (mode.width == capabilities.nativeWidth && mode.height == capabilities.nativeHeight) label += " (Native)";
    label += " · " + std::to_string(mode.fps) + " FPS";
    return label;
}

std::string formatRate(double rate) {
    if (!std::isfinite(rate) || rate < 0) return "—";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f", rate);
    return buffer;
}

std::vector<StreamMode> offeredModes(const StreamModes& capabilities, const StreamConfiguration& current) {
    std::vector<StreamMode> offered;
    for (const StreamMode& mode : capabilities.modes) {
        if (candidateConfiguration(mode, current)) offered.push_back(mode);
    }
    return offered;
}

void endApplyIfDone(DialogState& state, const app::Status& status) {
    if (!state.applyInFlight) return;
    if (status.completedOperations != state.postedAt || status.streamSettingsPending || !status.sessionActive) {
        state.applyInFlight = false;
        state.requested.reset();
    }
}

bool needsRebuild(const DialogState& state, const app::Status& status) {
    return state.builtFrom != status.hostStreamModes;
}

void rebuildList(DialogState& state, const app::Status& status) {
    std::optional<StreamMode> keep;
    if (state.selection && *state.selection < state.listed.size()) keep = state.listed[*state.selection];
    state.listed.clear();
    state.selection.reset();
    state.builtFrom = status.hostStreamModes;
    if (!status.hostStreamModes) return;
    state.listed = offeredModes(*status.hostStreamModes, status.streamConfiguration);
    const StreamConfiguration& current = status.streamConfiguration;
    for (std::size_t i = 0; i < state.listed.size(); ++i) {
        const StreamMode& mode = state.listed[i];
        const bool match = keep ? (mode.width == keep->width && mode.height == keep->height && mode.fps == keep->fps)
                                : sameSizeAndRate(mode, current);
        if (match) {
            state.selection = i;
            break;
        }
    }
}

DialogView dialogView(const app::Status& status, const DialogState& state, bool commandInFlight, bool closing) {
    DialogView view;
    const bool usable = controlsUsable(status, state, commandInFlight, closing);
    view.comboEnabled = status.hostStreamSettingsKnown && status.hostStreamModes.has_value() &&
                        !state.listed.empty() && usable;
    const std::optional<StreamConfiguration> candidate = selectedCandidate(status, state);
    view.applyEnabled = view.comboEnabled && candidate && !sameStream(*candidate, status.streamConfiguration);

    if (status.hostStreamModes) {
        const StreamModes& caps = *status.hostStreamModes;
        view.nativeLine = "Native · " + sizeText(caps.nativeWidth, caps.nativeHeight) + " · " +
                          std::to_string(caps.nativeFps) + " Hz";
    } else {
        view.nativeLine = std::string(text::kNativeWaiting);
    }

    const StreamConfiguration& shown =
        state.applyInFlight && state.requested ? *state.requested : status.streamConfiguration;
    view.requestedLine = "요청 · " + sizeText(shown.width, shown.height) + " · " + std::to_string(shown.fps) + " FPS";

    const auto rate = [](double value) {
        const std::string text = formatRate(value);
        return text == "—" ? text : text + " FPS";
    };
    view.receivedLine = "수신·디코딩 · ";
    view.receivedLine += !status.videoCodecKnown        ? std::string(text::kCodecPending)
                         : status.videoCodec == 1 ? std::string("HEVC")
                                                  : std::string("H.264");
    view.receivedLine += " · " + rate(status.decodeFps);
    if (status.decodedWidth != 0 && status.decodedHeight != 0) {
        view.receivedLine += " · " + sizeText(status.decodedWidth, status.decodedHeight);
    }
    view.presentedLine = "출력 · " + rate(status.presentFps);

    if (!state.settingsMessage.empty()) {
        view.message = state.settingsMessage;
    } else if (state.applyInFlight || status.streamSettingsPending) {
        view.message = std::string(text::kApplying);
    } else if (!status.error.empty()) {
        view.message = status.error;
    } else if (status.hostStreamSettingsKnown) {
        view.message = std::string(candidate ? text::kMeasuredRates : text::kChooseMode);
    } else {
        view.message = std::string(text::kWaitingModes);
    }
    view.messageIsError = !state.settingsMessage.empty() || !status.error.empty();
    return view;
}

bool settingsAvailable(const app::Status& status, bool closing) { return !closing && !status.hostsActiveSession; }

std::optional<StreamConfiguration> applyCandidate(const app::Status& status, const DialogState& state,
                                                  bool commandInFlight, bool closing) {
    if (!dialogView(status, state, commandInFlight, closing).applyEnabled) return std::nullopt;
    return selectedCandidate(status, state);
}

void noteApplyPosted(DialogState& state, bool accepted, std::uint64_t counter,
                     const StreamConfiguration& configuration) {
    state.applyInFlight = accepted;
    if (accepted) {
        state.postedAt = counter;
        state.requested = configuration;
        state.settingsMessage.clear();
    } else {
        state.requested.reset();
        state.settingsMessage = std::string(text::kSendFailed);
    }
}

}  // namespace murel::ui
