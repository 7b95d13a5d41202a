#pragma once
// The stream settings dialog as plain values: which host modes it offers and as what
// configuration, its labels and lines, and when choosing and applying are possible.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/Status.hpp"
#include "protocol/StreamSettings.hpp"

namespace murel::ui {

// The configuration a host mode is requested as: the current configuration with the mode's size
// and rate in the current format (height included), its bitrate ceiling capped at 100,000,000 and
// at the current bitrate when size and rate stay the same. Nothing when the mode's ceiling is below
// 100,000 or its rate is outside 1..240, or the configuration fails validation on its own.
std::optional<StreamConfiguration> candidateConfiguration(const StreamMode& mode, const StreamConfiguration& current);

// Whether two configurations ask for the same stream. The format flag is not part of it: the
// older format's 1920 x 1080 is the same picture as the current format's.
bool sameStream(const StreamConfiguration& a, const StreamConfiguration& b);

// "1920 × 1080 (Native) · 60 FPS".
std::string modeLabel(const StreamMode& mode, const StreamModes& capabilities);

// One decimal in fixed notation; "—" for a negative or non-finite rate.
std::string formatRate(double rate);

// The modes of the capabilities that are offered, in the host's order.
std::vector<StreamMode> offeredModes(const StreamModes& capabilities, const StreamConfiguration& current);

struct DialogState {
    std::string settingsMessage;
    bool applyInFlight = false;
    std::uint64_t postedAt = 0;                     // completedOperations when the apply was posted
    std::optional<StreamConfiguration> requested;   // while applyInFlight
    std::vector<StreamMode> listed;                 // what the combo box holds, in display order
    std::optional<StreamModes> builtFrom;           // the capabilities the list was built from
    std::optional<std::size_t> selection;           // index into listed
};

// Ends an apply once the counter moved, the Controller shows a pending change, or the session is
// gone.
void endApplyIfDone(DialogState& state, const app::Status& status);

// Whether the capabilities differ from those the list was built from.
bool needsRebuild(const DialogState& state, const app::Status& status);
// Rebuilds the list and keeps the selection on the same size and rate (or picks the current
// configuration's when nothing was selected).
void rebuildList(DialogState& state, const app::Status& status);

struct DialogView {
    bool comboEnabled = false;
    bool applyEnabled = false;
    std::string nativeLine;     // 132
    std::string requestedLine;  // 136
    std::string receivedLine;   // 137
    std::string presentedLine;  // 138
    std::string message;        // 139
    bool messageIsError = false;
};

// commandInFlight and closing are the main window's flags.
DialogView dialogView(const app::Status& status, const DialogState& state, bool commandInFlight, bool closing);

// The viewer's "화면 설정" button, and opening the dialog.
bool settingsAvailable(const app::Status& status, bool closing);

// The configuration "적용" would post, when it is enabled.
std::optional<StreamConfiguration> applyCandidate(const app::Status& status, const DialogState& state,
                                                  bool commandInFlight, bool closing);
// Bookkeeping after posting ApplyStreamSettings; `counter` as seen before posting.
void noteApplyPosted(DialogState& state, bool accepted, std::uint64_t counter,
                     const StreamConfiguration& configuration);

}  // namespace murel::ui
