#pragma once
// What the main window shows for a status snapshot and the interface's own flags: which screen,
// which controls are visible and enabled, their changing texts, the message line, the layout; and
// what each 50 ms poll of the Controller must do. Pure code: the window procedure only paints and
// routes.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Command.hpp"
#include "app/Status.hpp"
#include "ui/Geometry.hpp"

namespace murel::ui {

// The interface's flags of the main window (interface thread only).
struct PanelState {
    bool closing = false;
    bool signUpMode = false;
    bool settingsMode = false;
    bool commandInFlight = false;
    std::uint64_t postedAt = 0;  // completedOperations when the command in flight was posted
    std::string localError;      // shown on the message line before anything else; empty: none
    std::string hostKey;         // the host list the device rows were built from
};

// The snapshot the interface holds before its first poll.
app::Status initialStatus();

// A user command cannot start: one is in flight, or the Controller is busy or waits for a session.
bool commandBlocked(const PanelState& state, const app::Status& status);

enum class Screen { SignIn, Settings, SignedIn };
Screen screenOf(const app::Status& status, const PanelState& state);

struct ControlView {
    bool visible = false;
    bool enabled = true;
    std::optional<std::string> text;  // set only for texts that follow the state
};

struct PanelView {
    Screen screen = Screen::SignIn;
    std::map<int, ControlView> controls;  // 101..126
    bool hostListVisible = false;
    std::string line;  // control 112
    bool lineIsError = false;
    std::string formTitle;     // signed-out screens
    std::string formSubtitle;  // signed-out screens
    bool online = false;       // the signaling chip
    int defaultButton = 0;     // what Enter presses: 106, 114 or none
};

// serverText: the current text of the server edit (101), echoed by the caption 120.
PanelView panelView(const app::Status& status, const PanelState& state, std::string_view serverText);

// Submitting the account form. `error` empty: post the command; otherwise show it and focus
// `focus` (102 for a missing e-mail, 103 for the password).
struct SubmitCheck {
    std::string error;
    int focus = 0;
};
SubmitCheck checkSubmit(app::CommandKind kind, std::string_view email, std::string_view password);

// The kind the sign-in button posts (sign-up in sign-up mode).
app::CommandKind submitKind(const PanelState& state);

// The account form as a command. The password is moved out of `password`; what a move leaves in a
// short string's inline buffer is the caller's to wipe.
app::Command accountCommand(app::CommandKind kind, std::string server, std::string email, std::string&& password,
                            std::string deviceName, bool hostRole);

// The posting helper's bookkeeping around Controller::post: `counter` is completedOperations as
// seen before posting.
void notePosted(PanelState& state, bool accepted, std::uint64_t counter);

// The sign-up toggle (107); false when it is ignored.
bool toggleSignUp(PanelState& state, const app::Status& status);

// What one poll must do after taking a new snapshot (the state is updated here).
struct PollOutcome {
    bool commandCompleted = false;
    bool signedInNow = false;         // clear the password edit
    bool rebuildRows = false;         // the host list changed
    bool endViewer = false;           // close the settings dialog, release input, hide the viewer
    bool dropViewerOnError = false;   // destroy the settings dialog and hide the viewer
    bool refreshPanel = false;
    bool invalidateViewer = false;
};
PollOutcome applySnapshot(PanelState& state, const app::Status& previous, const app::Status& next, bool viewerExists);

// The key of a host list: ids, names, platforms, detail lines and the three flags, NUL-separated.
std::string hostListKey(const std::vector<HostInfo>& hosts);

// Layout of the main window's controls (96-dpi units) for a client of W x H units.
struct FieldFrame {
    int editId = 0;
    Rect frame;  // the painted frame; the edit sits inside it
};
struct PanelLayout {
    std::vector<std::pair<int, Rect>> controls;  // the controls of the screen, and 112
    std::optional<Rect> hostList;                // signed in only
    std::vector<FieldFrame> fields;              // signed-out screens
    Rect title;
    Rect subtitle;
};
PanelLayout panelLayout(Screen screen, int width, int height, bool sessionActive);

// Where the edit control sits inside a painted field frame.
Rect editInFrame(const Rect& frame);

// Controls are placed again only when one of these changed.
struct PanelLayoutKey {
    int width = -1;
    int height = -1;
    int dpi = 0;
    bool signedIn = false;
    bool settingsMode = false;
    bool sessionActive = false;
    bool operator==(const PanelLayoutKey&) const = default;
};

// Minimum client size of the main window, 96-dpi units.
inline constexpr int kMainMinWidth = 980;
inline constexpr int kMainMinHeight = 680;
inline constexpr int kMainWidth = 1120;
inline constexpr int kMainHeight = 740;

// Controls of the settings form; the other signed-out controls are the sign-in form's.
bool inSettingsGroup(int id);
bool inSignInGroup(int id);
bool inSignedInGroup(int id);

// Sign-up passwords are 12..72 bytes of UTF-8.
inline constexpr std::size_t kMinPasswordBytes = 12;
inline constexpr std::size_t kMaxPasswordBytes = 72;

}  // namespace murel::ui
