#include "ui/AccountPanel.hpp"

#include <algorithm>
#include <utility>

#include "ui/ControlIds.hpp"
#include "ui/UiText.hpp"

namespace murel::ui {

namespace {

constexpr int kSignInGroup[] = {kIdEmailLabel, kIdEmail,    kIdPasswordLabel,  kIdPassword, kIdPasswordHint,
                                kIdSubmit,     kIdToggleSignUp, kIdRestore, kIdOpenSettings, kIdOriginCaption};
constexpr int kSettingsGroup[] = {kIdServer, kIdDeviceName, kIdHostRole, kIdSettingsDone, kIdServerLabel,
                                  kIdDeviceNameLabel};
constexpr int kSignedInGroup[] = {kIdThisPcName, kIdThisPcState, kIdAccountLine, kIdHosting,   kIdSignOut,
                                  kIdRefresh,    kIdSessionLine, kIdShowViewer,  kIdEndSession};

template <std::size_t N>
bool contains(const int (&ids)[N], int id) {
    return std::find(std::begin(ids), std::end(ids), id) != std::end(ids);
}

std::string str(std::string_view text) { return std::string(text); }

}  // namespace

bool inSettingsGroup(int id) { return contains(kSettingsGroup, id); }
bool inSignInGroup(int id) { return contains(kSignInGroup, id); }
bool inSignedInGroup(int id) { return contains(kSignedInGroup, id); }

app::Status initialStatus() {
    app::Status status;
    status.message = str(text::kInitialStatus);
    return status;
}

bool commandBlocked(const PanelState& state, const app::Status& status) {
    return state.commandInFlight || status.busy || status.reservationPending;
}

Screen screenOf(const app::Status& status, const PanelState& state) {
    if (status.signedIn) return Screen::SignedIn;
    return state.settingsMode ? Screen::Settings : Screen::SignIn;
}

PanelView panelView(const app::Status& status, const PanelState& state, std::string_view serverText) {
    PanelView view;
    view.screen = screenOf(status, state);
    const bool blocked = commandBlocked(state, status);

    for (int id : kSignInGroup) view.controls[id].visible = !status.signedIn && !state.settingsMode;
    for (int id : kSettingsGroup) view.controls[id].visible = !status.signedIn && state.settingsMode;
    for (int id : kSignedInGroup) view.controls[id].visible = status.signedIn;
    if (!status.sessionActive) {
        view.controls[kIdSessionLine].visible = false;
        view.controls[kIdShowViewer].visible = false;
        view.controls[kIdEndSession].visible = false;
    }
    if (status.hostsActiveSession) view.controls[kIdShowViewer].visible = false;
    view.hostListVisible = status.signedIn;
    view.controls[kIdLine].visible = true;
    view.online = status.online;

    if (status.signedIn) {
        view.controls[kIdThisPcName].text = status.deviceName.empty() ? str(text::kThisWindowsPc) : status.deviceName;
        view.controls[kIdAccountLine].text = status.accountEmail;
        view.controls[kIdThisPcState].text = str(status.hostReady     ? text::kRemoteAccessOn
                                                 : status.hostProfile ? text::kRemoteAccessOff
                                                                      : text::kClientProfile);
        ControlView& hosting = view.controls[kIdHosting];
        hosting.text = str(status.hostReady ? text::kHostingOff : text::kHostingOn);
        hosting.enabled = !blocked && status.online && status.hostProfile &&
                          !(!status.hostReady && status.sessionActive);
        view.controls[kIdSignOut].enabled = !blocked;
        view.controls[kIdRefresh].enabled = !blocked;
        view.controls[kIdEndSession].enabled = !blocked;
        view.controls[kIdSessionLine].text = str(status.hostsActiveSession ? text::kSharingThisPc : text::kViewerOpen);
        view.defaultButton = 0;
    } else {
        for (int id : kSignInGroup) view.controls[id].enabled = !blocked;
        for (int id : kSettingsGroup) view.controls[id].enabled = !blocked;
        view.controls[kIdSubmit].text = str(blocked            ? text::kConnecting
                                            : state.signUpMode ? text::kCreateAccount
                                                               : text::kSignIn);
        view.controls[kIdToggleSignUp].text = str(state.signUpMode ? text::kToSignIn : text::kToSignUp);
        view.controls[kIdOriginCaption].text = std::string(serverText);
        view.formTitle = str(state.settingsMode ? text::kConnectionSettings
                             : state.signUpMode ? text::kCreateAccount
                                                : text::kWelcomeBack);
        view.formSubtitle = str(state.settingsMode ? text::kSettingsSubtitle : text::kSignInSubtitle);
        view.defaultButton = state.settingsMode ? kIdSettingsDone : kIdSubmit;
    }

    if (!state.localError.empty()) {
        view.line = state.localError;
    } else if (!status.error.empty()) {
        view.line = status.error;
    } else if (status.signedIn) {
        if (state.commandInFlight || status.reservationPending) {
            view.line = str(text::kPreparing);
        } else if (status.online && status.sessionActive) {
            view.line = str(text::kManageSession);
        } else if (status.online) {
            view.line = str(text::kConnectToDevices);
        } else {
            view.line = str(text::kDisconnected);
        }
    }
    view.lineIsError = !state.localError.empty() || !status.error.empty();
    return view;
}

SubmitCheck checkSubmit(app::CommandKind kind, std::string_view email, std::string_view password) {
    if (email.empty()) return {str(text::kEnterEmail), kIdEmail};
    if (kind == app::CommandKind::Restore) return {};
    if (password.empty()) return {str(text::kEnterPassword), kIdPassword};
    if (kind == app::CommandKind::SignUp &&
        (password.size() < kMinPasswordBytes || password.size() > kMaxPasswordBytes)) {
        return {str(text::kPasswordLength), kIdPassword};
    }
    return {};
}

app::CommandKind submitKind(const PanelState& state) {
    return state.signUpMode ? app::CommandKind::SignUp : app::CommandKind::SignIn;
}

app::Command accountCommand(app::CommandKind kind, std::string server, std::string email, std::string&& password,
                            std::string deviceName, bool hostRole) {
    app::Command command(kind);
    command.server = std::move(server);
    command.email = std::move(email);
    command.password = std::move(password);
    command.deviceName = std::move(deviceName);
    command.hostRole = hostRole;
    return command;
}

void notePosted(PanelState& state, bool accepted, std::uint64_t counter) {
    if (accepted) {
        state.commandInFlight = true;
        state.postedAt = counter;
        state.localError.clear();
    } else {
        state.localError = str(text::kPostRefused);
    }
}

bool toggleSignUp(PanelState& state, const app::Status& status) {
    if (state.closing || commandBlocked(state, status)) return false;
    state.signUpMode = !state.signUpMode;
    state.localError.clear();
    return true;
}

std::string hostListKey(const std::vector<HostInfo>& hosts) {
    std::string key;
    for (const HostInfo& host : hosts) {
        for (const std::string* part : {&host.id, &host.name, &host.platform, &host.reason}) {
            key += *part;
            key.push_back('\0');
        }
        for (bool flag : {host.online, host.ready, host.busy}) {
            key.push_back(flag ? '1' : '0');
            key.push_back('\0');
        }
    }
    return key;
}

PollOutcome applySnapshot(PanelState& state, const app::Status& previous, const app::Status& next, bool viewerExists) {
    PollOutcome outcome;
    if (state.commandInFlight && next.completedOperations != state.postedAt) {
        state.commandInFlight = false;
        outcome.commandCompleted = true;
    }
    if (next.signedIn && !previous.signedIn) {
        outcome.signedInNow = true;
        state.localError.clear();
        state.settingsMode = false;
    }
    std::string key = hostListKey(next.hosts);
    if (key != state.hostKey) {
        state.hostKey = std::move(key);
        outcome.rebuildRows = true;
    }
    if ((previous.sessionActive && !next.sessionActive) ||
        (previous.reservationPending && !next.reservationPending && !next.sessionActive)) {
        outcome.endViewer = true;
    }
    if (outcome.commandCompleted && !next.sessionActive && viewerExists && !next.error.empty()) {
        outcome.dropViewerOnError = true;
    }
    outcome.refreshPanel = outcome.commandCompleted || outcome.rebuildRows || next.signedIn != previous.signedIn ||
                           next.message != previous.message || next.error != previous.error ||
                           next.busy != previous.busy || next.reservationPending != previous.reservationPending ||
                           next.hostReady != previous.hostReady || next.online != previous.online ||
                           next.sessionActive != previous.sessionActive;
    outcome.invalidateViewer =
        next.viewerInputActive != previous.viewerInputActive || next.message != previous.message;
    return outcome;
}

Rect editInFrame(const Rect& frame) { return {frame.x + 12, frame.y + 9, frame.w - 24, frame.h - 18}; }

PanelLayout panelLayout(Screen screen, int width, int height, bool sessionActive) {
    PanelLayout layout;
    const int W = width;
    const int H = height;
    if (screen == Screen::SignedIn) {
        const int D = W < 310 ? 0 : W - 309;
        const int S = sessionActive ? 203 : 129;
        layout.controls = {
            {kIdLine, {277, 79, D, 28}},
            {kIdRefresh, {W - 128, 35, 96, 36}},
            {kIdThisPcName, {34, H - 196, 177, 26}},
            {kIdHosting, {34, H - 164, 177, 34}},
            {kIdThisPcState, {34, H - 120, 177, 20}},
            {kIdAccountLine, {24, H - 72, 197, 22}},
            {kIdSignOut, {24, H - 50, 197, 30}},
            {kIdSessionLine, {293, 135, std::max(D - 270, 1), 40}},
            {kIdShowViewer, {W - 284, 137, 128, 36}},
            {kIdEndSession, {W - 144, 137, 96, 36}},
        };
        layout.hostList = Rect{277, S, D, std::max(H - S - 52, 0)};
        return layout;
    }
    const int T = std::max(32, (H - 480) / 2);
    const int X = W - 400;
    const bool settings = screen == Screen::Settings;
    layout.title = {X, T, 360, 40};
    layout.subtitle = {X, T + 52, 360, 44};
    const Rect field1{X, T + 136, 360, 38};
    const Rect field2{X, T + 216, 360, 38};
    const int edit1 = settings ? kIdServer : kIdEmail;
    const int edit2 = settings ? kIdDeviceName : kIdPassword;
    layout.fields = {{edit1, field1}, {edit2, field2}};
    layout.controls = {
        {settings ? kIdServerLabel : kIdEmailLabel, {X, T + 110, 360, 20}},
        {edit1, editInFrame(field1)},
        {settings ? kIdDeviceNameLabel : kIdPasswordLabel, {X, T + 190, 360, 20}},
        {edit2, editInFrame(field2)},
    };
    if (settings) {
        layout.controls.push_back({kIdHostRole, {X, T + 282, 360, 30}});
        layout.controls.push_back({kIdSettingsDone, {X, T + 336, 360, 42}});
    } else {
        layout.controls.push_back({kIdPasswordHint, {X, T + 260, 360, 20}});
        layout.controls.push_back({kIdSubmit, {X, T + 298, 360, 42}});
        layout.controls.push_back({kIdToggleSignUp, {X, T + 352, 360, 30}});
        layout.controls.push_back({kIdRestore, {X, T + 390, 360, 30}});
        layout.controls.push_back({kIdOpenSettings, {X, T + 440, 94, 30}});
        layout.controls.push_back({kIdOriginCaption, {W - 292, T + 440, 252, 30}});
    }
    layout.controls.push_back({kIdLine, {X, T + 480, 360, 58}});
    return layout;
}

}  // namespace murel::ui
