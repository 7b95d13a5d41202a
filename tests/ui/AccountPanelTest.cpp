// The main window's screens over status snapshots: visibility, enabling, texts, the message line,
// submitting the form, the poll's decisions and the layout.
#include <gtest/gtest.h>

#include <string>

#include "ui/AccountPanel.hpp"
#include "ui/ControlIds.hpp"
#include "ui/UiText.hpp"

namespace murel::ui {
namespace {

using app::CommandKind;
using app::Status;

Status signedIn() {
    Status s = initialStatus();
    s.signedIn = true;
    s.online = true;
    s.hostProfile = true;
    s.accountEmail = "me@example.com";
    s.deviceName = "Studio PC";
    s.deviceId = "dev-1";
    return s;
}

std::string str(std::string_view text) { return std::string(text); }

TEST(AccountPanel, BeforeTheFirstPollTheSignInFormShowsOnly) {
    const Status s = initialStatus();
    EXPECT_EQ(s.message, "Sign in to your Murel account");
    EXPECT_FALSE(s.signedIn || s.busy || s.online || s.sessionActive || s.reservationPending);
    EXPECT_TRUE(s.hosts.empty());
    EXPECT_FALSE(s.hostStreamModes.has_value());
    EXPECT_EQ(s.streamConfiguration.width, 1920);
    EXPECT_EQ(s.streamConfiguration.height, 1080);
    EXPECT_EQ(s.streamConfiguration.fps, 60);
    EXPECT_EQ(s.streamConfiguration.maxBitrateBps, 20000000);

    const PanelView view = panelView(s, PanelState{}, "https://murel.example.com");
    EXPECT_EQ(view.screen, Screen::SignIn);
    int shown = 0;
    for (const auto& [id, control] : view.controls) {
        if (!control.visible) continue;
        ++shown;
        EXPECT_TRUE(inSignInGroup(id) || id == kIdLine) << id;
        EXPECT_TRUE(control.enabled) << id;
    }
    EXPECT_EQ(shown, 11);  // ten sign-in controls and the message line
    EXPECT_FALSE(view.hostListVisible);
    EXPECT_EQ(view.controls.at(kIdSubmit).text, str(text::kSignIn));
    EXPECT_EQ(view.controls.at(kIdToggleSignUp).text, str(text::kToSignUp));
    EXPECT_EQ(view.controls.at(kIdOriginCaption).text, "https://murel.example.com");
    EXPECT_EQ(view.formTitle, str(text::kWelcomeBack));
    EXPECT_EQ(view.formSubtitle, str(text::kSignInSubtitle));
    EXPECT_EQ(view.line, "");
    EXPECT_FALSE(view.lineIsError);
    EXPECT_EQ(view.defaultButton, kIdSubmit);
}

TEST(AccountPanel, SettingsFormAndSignUpVariant) {
    PanelState state;
    state.settingsMode = true;
    PanelView view = panelView(initialStatus(), state, "http://127.0.0.1:8480");
    EXPECT_EQ(view.screen, Screen::Settings);
    for (int id : {kIdServer, kIdDeviceName, kIdHostRole, kIdSettingsDone, kIdServerLabel, kIdDeviceNameLabel}) {
        EXPECT_TRUE(view.controls.at(id).visible) << id;
    }
    for (int id : {kIdEmail, kIdPassword, kIdSubmit, kIdOriginCaption}) EXPECT_FALSE(view.controls.at(id).visible);
    EXPECT_EQ(view.formTitle, str(text::kConnectionSettings));
    EXPECT_EQ(view.formSubtitle, str(text::kSettingsSubtitle));
    EXPECT_EQ(view.defaultButton, kIdSettingsDone);

    state.settingsMode = false;
    state.signUpMode = true;
    view = panelView(initialStatus(), state, "x");
    EXPECT_EQ(view.controls.at(kIdSubmit).text, str(text::kCreateAccount));
    EXPECT_EQ(view.controls.at(kIdToggleSignUp).text, str(text::kToSignIn));
    EXPECT_EQ(view.formTitle, str(text::kCreateAccount));
}

TEST(AccountPanel, WhileACommandRunsTheFormIsDisabledAndReadsConnecting) {
    for (int which = 0; which < 3; ++which) {
        PanelState state;
        Status s = initialStatus();
        if (which == 0) state.commandInFlight = true;
        if (which == 1) s.busy = true;
        if (which == 2) s.reservationPending = true;
        for (bool settings : {false, true}) {
            state.settingsMode = settings;
            const PanelView view = panelView(s, state, "");
            for (const auto& [id, control] : view.controls) {
                if (inSignInGroup(id) || inSettingsGroup(id)) {
                    EXPECT_FALSE(control.enabled) << which << " " << id;
                }
            }
            EXPECT_EQ(view.controls.at(kIdSubmit).text, str(text::kConnecting));
        }
    }
}

TEST(AccountPanel, SignedInShellAndSessionCard) {
    Status s = signedIn();
    PanelView view = panelView(s, PanelState{}, "");
    EXPECT_EQ(view.screen, Screen::SignedIn);
    EXPECT_TRUE(view.hostListVisible);
    for (int id : {kIdThisPcName, kIdThisPcState, kIdAccountLine, kIdHosting, kIdSignOut, kIdRefresh}) {
        EXPECT_TRUE(view.controls.at(id).visible) << id;
    }
    for (int id : {kIdSessionLine, kIdShowViewer, kIdEndSession, kIdEmail, kIdServer}) {
        EXPECT_FALSE(view.controls.at(id).visible) << id;
    }
    EXPECT_EQ(view.controls.at(kIdThisPcName).text, "Studio PC");
    EXPECT_EQ(view.controls.at(kIdAccountLine).text, "me@example.com");
    EXPECT_EQ(view.defaultButton, 0);

    s.sessionActive = true;
    view = panelView(s, PanelState{}, "");
    EXPECT_TRUE(view.controls.at(kIdSessionLine).visible);
    EXPECT_TRUE(view.controls.at(kIdShowViewer).visible);
    EXPECT_TRUE(view.controls.at(kIdEndSession).visible);
    EXPECT_EQ(view.controls.at(kIdSessionLine).text, str(text::kViewerOpen));

    s.hostsActiveSession = true;
    view = panelView(s, PanelState{}, "");
    EXPECT_FALSE(view.controls.at(kIdShowViewer).visible);
    EXPECT_TRUE(view.controls.at(kIdEndSession).visible);
    EXPECT_EQ(view.controls.at(kIdSessionLine).text, str(text::kSharingThisPc));

    s.deviceName.clear();
    EXPECT_EQ(panelView(s, PanelState{}, "").controls.at(kIdThisPcName).text, str(text::kThisWindowsPc));
}

TEST(AccountPanel, HostingSwitchRules) {
    Status s = signedIn();
    PanelView view = panelView(s, PanelState{}, "");
    EXPECT_TRUE(view.controls.at(kIdHosting).enabled);
    EXPECT_EQ(view.controls.at(kIdHosting).text, str(text::kHostingOn));
    EXPECT_EQ(view.controls.at(kIdThisPcState).text, str(text::kRemoteAccessOff));

    auto enabledWith = [](auto change) {
        Status t = signedIn();
        PanelState state;
        change(t, state);
        return panelView(t, state, "").controls.at(kIdHosting).enabled;
    };
    EXPECT_FALSE(enabledWith([](Status& t, PanelState&) { t.online = false; }));
    EXPECT_FALSE(enabledWith([](Status& t, PanelState&) { t.hostProfile = false; }));
    EXPECT_FALSE(enabledWith([](Status& t, PanelState&) { t.busy = true; }));
    EXPECT_FALSE(enabledWith([](Status& t, PanelState&) { t.reservationPending = true; }));
    EXPECT_FALSE(enabledWith([](Status&, PanelState& p) { p.commandInFlight = true; }));
    // Not hosting while a session runs: hosting cannot start; hosting already on can stop.
    EXPECT_FALSE(enabledWith([](Status& t, PanelState&) { t.sessionActive = true; }));
    EXPECT_TRUE(enabledWith([](Status& t, PanelState&) {
        t.sessionActive = true;
        t.hostReady = true;
    }));

    s.hostReady = true;
    view = panelView(s, PanelState{}, "");
    EXPECT_EQ(view.controls.at(kIdHosting).text, str(text::kHostingOff));
    EXPECT_EQ(view.controls.at(kIdThisPcState).text, str(text::kRemoteAccessOn));
    s.hostReady = false;
    s.hostProfile = false;
    EXPECT_EQ(panelView(s, PanelState{}, "").controls.at(kIdThisPcState).text, str(text::kClientProfile));
}

TEST(AccountPanel, SignOutRefreshAndEndSessionFollowTheBlockingFlags) {
    Status s = signedIn();
    s.sessionActive = true;
    for (int which = 0; which < 4; ++which) {
        Status t = s;
        PanelState state;
        if (which == 1) state.commandInFlight = true;
        if (which == 2) t.busy = true;
        if (which == 3) t.reservationPending = true;
        const PanelView view = panelView(t, state, "");
        for (int id : {kIdSignOut, kIdRefresh, kIdEndSession}) {
            EXPECT_EQ(view.controls.at(id).enabled, which == 0) << which << " " << id;
        }
    }
}

TEST(AccountPanel, MessageLinePrecedence) {
    Status s = signedIn();
    PanelState state;
    EXPECT_EQ(panelView(s, state, "").line, str(text::kConnectToDevices));
    s.sessionActive = true;
    EXPECT_EQ(panelView(s, state, "").line, str(text::kManageSession));
    s.online = false;
    EXPECT_EQ(panelView(s, state, "").line, str(text::kDisconnected));
    s.reservationPending = true;
    EXPECT_EQ(panelView(s, state, "").line, str(text::kPreparing));
    s.reservationPending = false;
    state.commandInFlight = true;
    EXPECT_EQ(panelView(s, state, "").line, str(text::kPreparing));
    EXPECT_FALSE(panelView(s, state, "").lineIsError);

    s.error = "Control API returned HTTP 401";
    PanelView view = panelView(s, state, "");
    EXPECT_EQ(view.line, "Control API returned HTTP 401");
    EXPECT_TRUE(view.lineIsError);
    state.localError = str(text::kPostRefused);
    view = panelView(s, state, "");
    EXPECT_EQ(view.line, str(text::kPostRefused));
    EXPECT_TRUE(view.lineIsError);

    // Signed out, without errors, the line is empty.
    Status out = initialStatus();
    out.message = "Signing in to your Murel account";
    EXPECT_EQ(panelView(out, PanelState{}, "").line, "");
}

TEST(AccountPanel, PasswordLengthIsCheckedAtSignUpOnly) {
    const std::string eleven = "abcdefghijk";
    ASSERT_EQ(eleven.size(), 11u);
    SubmitCheck check = checkSubmit(CommandKind::SignUp, "me@example.com", eleven);
    EXPECT_EQ(check.error, str(text::kPasswordLength));
    EXPECT_EQ(check.focus, kIdPassword);
    EXPECT_EQ(checkSubmit(CommandKind::SignIn, "me@example.com", eleven).error, "");

    // Eight Hangul syllables are 24 bytes of UTF-8.
    const std::string hangul = "가나다라마바사아";
    ASSERT_EQ(hangul.size(), 24u);
    EXPECT_EQ(checkSubmit(CommandKind::SignUp, "me@example.com", hangul).error, "");
    EXPECT_EQ(checkSubmit(CommandKind::SignUp, "me@example.com", std::string(12, 'a')).error, "");
    EXPECT_EQ(checkSubmit(CommandKind::SignUp, "me@example.com", std::string(72, 'a')).error, "");
    EXPECT_EQ(checkSubmit(CommandKind::SignUp, "me@example.com", std::string(73, 'a')).error,
              str(text::kPasswordLength));

    check = checkSubmit(CommandKind::SignIn, "me@example.com", "");
    EXPECT_EQ(check.error, str(text::kEnterPassword));
    EXPECT_EQ(check.focus, kIdPassword);
    check = checkSubmit(CommandKind::SignUp, "", "");
    EXPECT_EQ(check.error, str(text::kEnterEmail));
    EXPECT_EQ(check.focus, kIdEmail);

    // The saved sign-in needs no password, but an e-mail.
    EXPECT_EQ(checkSubmit(CommandKind::Restore, "me@example.com", "").error, "");
    EXPECT_EQ(checkSubmit(CommandKind::Restore, "", "").error, str(text::kEnterEmail));

    PanelState state;
    EXPECT_EQ(submitKind(state), CommandKind::SignIn);
    state.signUpMode = true;
    EXPECT_EQ(submitKind(state), CommandKind::SignUp);

    const app::Command command =
        accountCommand(CommandKind::SignUp, "http://127.0.0.1:1", "me@example.com", "pw", "Lab PC", true);
    EXPECT_EQ(command.kind, CommandKind::SignUp);
    EXPECT_EQ(command.server, "http://127.0.0.1:1");
    EXPECT_EQ(command.password, "pw");
    EXPECT_EQ(command.deviceName, "Lab PC");
    EXPECT_TRUE(command.hostRole);
}

TEST(AccountPanel, ACommandStaysInFlightUntilTheCounterMoves) {
    PanelState state;
    Status s = initialStatus();
    s.completedOperations = 4;
    notePosted(state, true, s.completedOperations);
    EXPECT_TRUE(commandBlocked(state, s));
    EXPECT_EQ(panelView(s, state, "").controls.at(kIdSubmit).text, str(text::kConnecting));
    // A second click is refused while in flight, and the sign-up toggle is ignored.
    EXPECT_FALSE(toggleSignUp(state, s));
    EXPECT_FALSE(state.signUpMode);

    Status same = s;
    same.busy = true;
    PollOutcome outcome = applySnapshot(state, s, same, false);
    EXPECT_FALSE(outcome.commandCompleted);
    EXPECT_TRUE(state.commandInFlight);

    Status done = same;
    done.busy = false;
    done.completedOperations = 5;
    done.error = "Invalid e-mail or password";
    outcome = applySnapshot(state, same, done, false);
    EXPECT_TRUE(outcome.commandCompleted);
    EXPECT_TRUE(outcome.refreshPanel);
    EXPECT_FALSE(state.commandInFlight);
    EXPECT_TRUE(toggleSignUp(state, done));
    EXPECT_TRUE(state.signUpMode);

    notePosted(state, false, 5);
    EXPECT_EQ(state.localError, str(text::kPostRefused));
    EXPECT_FALSE(state.commandInFlight);
    notePosted(state, true, 5);
    EXPECT_EQ(state.localError, "");
}

TEST(AccountPanel, PollDecisions) {
    PanelState state;
    state.settingsMode = true;
    state.localError = "old";
    Status before = initialStatus();
    Status after = signedIn();
    PollOutcome outcome = applySnapshot(state, before, after, false);
    EXPECT_TRUE(outcome.signedInNow);
    EXPECT_FALSE(state.settingsMode);
    EXPECT_EQ(state.localError, "");
    EXPECT_TRUE(outcome.refreshPanel);
    EXPECT_FALSE(outcome.rebuildRows);  // still no hosts

    // The rows are rebuilt only when the host list really changed.
    Status withHosts = after;
    withHosts.hosts = {HostInfo{"h1", "Desk", "windows", true, true, false, "Ready"}};
    EXPECT_TRUE(applySnapshot(state, after, withHosts, false).rebuildRows);
    EXPECT_FALSE(applySnapshot(state, withHosts, withHosts, false).rebuildRows);
    Status renamed = withHosts;
    renamed.hosts[0].reason = "Capture failed";
    EXPECT_TRUE(applySnapshot(state, withHosts, renamed, false).rebuildRows);
    Status flag = renamed;
    flag.hosts[0].busy = true;
    EXPECT_TRUE(applySnapshot(state, renamed, flag, false).rebuildRows);

    // Counters that the panel does not show change nothing.
    Status frames = flag;
    frames.framesDecoded = 99;
    frames.decodeFps = 59.9;
    outcome = applySnapshot(state, flag, frames, false);
    EXPECT_FALSE(outcome.refreshPanel);
    EXPECT_FALSE(outcome.invalidateViewer);

    Status active = frames;
    active.sessionActive = true;
    EXPECT_TRUE(applySnapshot(state, frames, active, true).refreshPanel);
    Status ended = active;
    ended.sessionActive = false;
    EXPECT_TRUE(applySnapshot(state, active, ended, true).endViewer);

    // A reservation that ends without a session also closes the viewer.
    Status pending = frames;
    pending.reservationPending = true;
    Status gone = frames;
    EXPECT_TRUE(applySnapshot(state, pending, gone, true).endViewer);
    Status started = frames;
    started.sessionActive = true;
    EXPECT_FALSE(applySnapshot(state, pending, started, true).endViewer);

    // A command that completes with an error and no session drops an existing viewer.
    state.commandInFlight = true;
    state.postedAt = frames.completedOperations;
    Status failed = frames;
    failed.completedOperations += 1;
    failed.error = "Host is not ready";
    outcome = applySnapshot(state, frames, failed, true);
    EXPECT_TRUE(outcome.dropViewerOnError);
    state.commandInFlight = true;
    EXPECT_FALSE(applySnapshot(state, frames, failed, false).dropViewerOnError);

    Status input = frames;
    input.viewerInputActive = true;
    EXPECT_TRUE(applySnapshot(state, frames, input, true).invalidateViewer);
}

TEST(AccountPanel, HostListKeySeparatesFields) {
    const std::vector<HostInfo> a = {HostInfo{"ab", "c", "windows", true, false, false, ""}};
    const std::vector<HostInfo> b = {HostInfo{"a", "bc", "windows", true, false, false, ""}};
    EXPECT_NE(hostListKey(a), hostListKey(b));
    EXPECT_EQ(hostListKey({}), "");
}

bool inside(const Rect& r, int width, int height) {
    return r.x >= 0 && r.y >= 0 && r.w > 0 && r.h > 0 && r.x + r.w <= width && r.y + r.h <= height;
}

TEST(AccountPanel, LayoutKeepsEveryControlInsideTheClient) {
    for (auto [w, h] : {std::pair{kMainWidth, kMainHeight}, std::pair{kMainMinWidth, kMainMinHeight}}) {
        for (Screen screen : {Screen::SignIn, Screen::Settings, Screen::SignedIn}) {
            for (bool session : {false, true}) {
                const PanelLayout layout = panelLayout(screen, w, h, session);
                for (const auto& [id, rect] : layout.controls) {
                    EXPECT_TRUE(inside(rect, w, h)) << id << " at " << w << "x" << h;
                }
                if (layout.hostList) {
                    EXPECT_TRUE(inside(*layout.hostList, w, h));
                }
            }
        }
    }
}

TEST(AccountPanel, LayoutPositions) {
    PanelLayout layout = panelLayout(Screen::SignIn, 1120, 740, false);
    auto find = [&](int id) {
        for (const auto& [cid, rect] : layout.controls)
            if (cid == id) return rect;
        ADD_FAILURE() << "no control " << id;
        return Rect{};
    };
    // T = max(32, (740 - 480) / 2) = 130; X = 1120 - 400.
    EXPECT_EQ(find(kIdSubmit), (Rect{720, 428, 360, 42}));
    EXPECT_EQ(find(kIdEmail), (Rect{732, 275, 336, 20}));
    EXPECT_EQ(find(kIdOriginCaption), (Rect{828, 570, 252, 30}));
    EXPECT_EQ(find(kIdLine), (Rect{720, 610, 360, 58}));
    ASSERT_EQ(layout.fields.size(), 2u);
    EXPECT_EQ(layout.fields[1].editId, kIdPassword);
    EXPECT_EQ(layout.fields[1].frame, (Rect{720, 346, 360, 38}));

    layout = panelLayout(Screen::Settings, 1120, 500, false);  // T floors at 32
    EXPECT_EQ(find(kIdSettingsDone), (Rect{720, 368, 360, 42}));
    EXPECT_EQ(find(kIdServer), (Rect{732, 177, 336, 20}));

    layout = panelLayout(Screen::SignedIn, 1120, 740, false);
    EXPECT_EQ(*layout.hostList, (Rect{277, 129, 811, 559}));
    EXPECT_EQ(find(kIdSignOut), (Rect{24, 690, 197, 30}));
    layout = panelLayout(Screen::SignedIn, 1120, 740, true);
    EXPECT_EQ(*layout.hostList, (Rect{277, 203, 811, 485}));
    EXPECT_EQ(find(kIdEndSession), (Rect{976, 137, 96, 36}));
    // A window too narrow for the list gives it no width instead of a negative one.
    layout = panelLayout(Screen::SignedIn, 300, 100, false);
    EXPECT_EQ(layout.hostList->w, 0);
    EXPECT_EQ(layout.hostList->h, 0);
}

}  // namespace
}  // namespace murel::ui
