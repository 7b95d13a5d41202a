// The stream settings dialog over status snapshots: which host modes are offered and as what, the
// lines it shows and when choosing and applying are possible.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ui/AccountPanel.hpp"
#include "ui/StreamSettingsView.hpp"
#include "ui/UiText.hpp"

namespace murel::ui {
namespace {

app::Status viewing(const StreamModes& modes) {
    app::Status s = initialStatus();
    s.signedIn = true;
    s.online = true;
    s.sessionActive = true;
    s.hostStreamSettingsKnown = true;
    s.hostStreamModes = modes;
    return s;
}

std::vector<std::string> labels(const DialogState& state, const StreamModes& modes) {
    std::vector<std::string> out;
    for (const StreamMode& mode : state.listed) out.push_back(modeLabel(mode, modes));
    return out;
}

TEST(StreamSettingsView, AFullHdHostOffersEveryRateUpTo240) {
    const StreamModes modes = buildStreamModes(1920, 1080, 60);
    app::Status s = viewing(modes);
    DialogState state;
    ASSERT_TRUE(needsRebuild(state, s));
    rebuildList(state, s);
    EXPECT_FALSE(needsRebuild(state, s));
    EXPECT_EQ(labels(state, modes),
              (std::vector<std::string>{"1920 × 1080 (Native) · 30 FPS", "1920 × 1080 (Native) · 60 FPS",
                                        "1920 × 1080 (Native) · 90 FPS", "1920 × 1080 (Native) · 120 FPS",
                                        "1920 × 1080 (Native) · 144 FPS", "1920 × 1080 (Native) · 165 FPS",
                                        "1920 × 1080 (Native) · 240 FPS"}));
    // The current configuration (1920 x 1080 at 60) is selected; applying it again is pointless.
    ASSERT_EQ(state.selection, 1u);
    DialogView view = dialogView(s, state, false, false);
    EXPECT_TRUE(view.comboEnabled);
    EXPECT_FALSE(view.applyEnabled);
    EXPECT_EQ(view.message, std::string(text::kMeasuredRates));
    EXPECT_EQ(view.nativeLine, "Native · 1920 × 1080 · 60 Hz");

    // 240 fps can be chosen and is requested in the format that carries it.
    state.selection = 6;
    view = dialogView(s, state, false, false);
    EXPECT_TRUE(view.applyEnabled);
    const auto apply = applyCandidate(s, state, false, false);
    ASSERT_TRUE(apply);
    EXPECT_EQ(apply->fps, 240);
    EXPECT_TRUE(apply->hasHeight);
    EXPECT_EQ(apply->maxBitrateBps, 100000000);
    EXPECT_NO_THROW(checkOfferedMode(*apply, modes));

    state.selection = 0;
    const auto thirty = applyCandidate(s, state, false, false);
    ASSERT_TRUE(thirty);
    EXPECT_EQ(thirty->maxBitrateBps, 10000000);
}

TEST(StreamSettingsView, ALaptopHostOffersItsOwnSize) {
    // Its modes are 1366 x 768: the older format (always 1080 lines) cannot carry any of them.
    const StreamModes modes = buildStreamModes(1366, 768, 60);
    app::Status s = viewing(modes);
    DialogState state;
    rebuildList(state, s);
    ASSERT_EQ(state.listed.size(), 7u);
    EXPECT_EQ(modeLabel(state.listed[1], modes), "1366 × 768 (Native) · 60 FPS");
    EXPECT_EQ(state.selection, std::nullopt);  // the current 1920 x 1080 is not among them
    DialogView view = dialogView(s, state, false, false);
    EXPECT_TRUE(view.comboEnabled);
    EXPECT_FALSE(view.applyEnabled);
    EXPECT_EQ(view.message, std::string(text::kChooseMode));

    state.selection = 1;
    const auto apply = applyCandidate(s, state, false, false);
    ASSERT_TRUE(apply);
    EXPECT_EQ(apply->width, 1366);
    EXPECT_EQ(apply->height, 768);
    EXPECT_EQ(apply->maxBitrateBps, 10118519);
    EXPECT_NO_THROW(checkOfferedMode(*apply, modes));
}

TEST(StreamSettingsView, BitrateCeilings) {
    StreamConfiguration current;  // 1920 x 1080, 60, 20,000,000
    EXPECT_FALSE(candidateConfiguration({1280, 720, 60, 99999}, current));
    EXPECT_FALSE(candidateConfiguration({1280, 720, 0, 5000000}, current));
    EXPECT_FALSE(candidateConfiguration({1280, 720, 241, 5000000}, current));
    EXPECT_FALSE(candidateConfiguration({1921, 1080, 60, 5000000}, current));  // odd width fails on its own

    auto c = candidateConfiguration({1280, 720, 60, 250000000}, current);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->maxBitrateBps, 100000000);
    // Same size and rate as now: the current, lower bitrate is kept.
    c = candidateConfiguration({1920, 1080, 60, 250000000}, current);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->maxBitrateBps, 20000000);
    current.maxBitrateBps = 8000000;
    c = candidateConfiguration({1920, 1080, 60, 6000000}, current);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->maxBitrateBps, 6000000);

    // A hand-made list: the mode below 100,000 bit/s is left out, the others stay in order.
    StreamModes modes{1920, 1080, 60, {{1280, 720, 30, 99999}, {1280, 720, 60, 250000000}, {1920, 1080, 60, 20000000}}};
    app::Status s = viewing(modes);
    DialogState state;
    rebuildList(state, s);
    ASSERT_EQ(state.listed.size(), 2u);
    EXPECT_EQ(state.listed[0].fps, 60);
    EXPECT_EQ(state.listed[0].width, 1280);
}

TEST(StreamSettingsView, NoCapabilitiesYet) {
    app::Status s = initialStatus();
    s.sessionActive = true;
    DialogState state;
    rebuildList(state, s);
    const DialogView view = dialogView(s, state, false, false);
    EXPECT_TRUE(state.listed.empty());
    EXPECT_FALSE(view.comboEnabled);
    EXPECT_FALSE(view.applyEnabled);
    EXPECT_EQ(view.message, std::string(text::kWaitingModes));
    EXPECT_FALSE(view.messageIsError);
    EXPECT_EQ(view.nativeLine, std::string(text::kNativeWaiting));
    EXPECT_EQ(view.requestedLine, "요청 · 1920 × 1080 · 60 FPS");
    EXPECT_EQ(view.receivedLine, "수신·디코딩 · 코덱 확인 중 · 0.0 FPS");
    EXPECT_EQ(view.presentedLine, "출력 · 0.0 FPS");
}

TEST(StreamSettingsView, RatesAndReceivedLine) {
    EXPECT_EQ(formatRate(59.94), "59.9");
    EXPECT_EQ(formatRate(0), "0.0");
    EXPECT_EQ(formatRate(-1), "—");
    EXPECT_EQ(formatRate(std::numeric_limits<double>::quiet_NaN()), "—");
    EXPECT_EQ(formatRate(std::numeric_limits<double>::infinity()), "—");

    app::Status s = viewing(buildStreamModes(1920, 1080, 60));
    s.videoCodecKnown = true;
    s.videoCodec = 1;
    s.decodeFps = 59.94;
    s.presentFps = -1;
    s.decodedWidth = 1920;
    s.decodedHeight = 1080;
    DialogView view = dialogView(s, DialogState{}, false, false);
    EXPECT_EQ(view.receivedLine, "수신·디코딩 · HEVC · 59.9 FPS · 1920 × 1080");
    EXPECT_EQ(view.presentedLine, "출력 · —");
    s.videoCodec = 0;
    s.decodedHeight = 0;
    view = dialogView(s, DialogState{}, false, false);
    EXPECT_EQ(view.receivedLine, "수신·디코딩 · H.264 · 59.9 FPS");
}

TEST(StreamSettingsView, EnablingConditions) {
    const app::Status base = viewing(buildStreamModes(1920, 1080, 60));
    DialogState ready;
    rebuildList(ready, base);
    ready.selection = 3;
    ASSERT_TRUE(dialogView(base, ready, false, false).applyEnabled);

    auto check = [&](auto change, bool commandInFlight = false, bool closing = false) {
        app::Status s = base;
        DialogState state = ready;
        change(s, state);
        const DialogView view = dialogView(s, state, commandInFlight, closing);
        EXPECT_FALSE(view.comboEnabled);
        EXPECT_FALSE(view.applyEnabled);
        EXPECT_FALSE(applyCandidate(s, state, commandInFlight, closing));
    };
    check([](app::Status& s, DialogState&) { s.busy = true; });
    check([](app::Status& s, DialogState&) { s.reservationPending = true; });
    check([](app::Status& s, DialogState&) { s.streamSettingsPending = true; });
    check([](app::Status& s, DialogState&) { s.sessionActive = false; });
    check([](app::Status& s, DialogState&) { s.hostsActiveSession = true; });
    check([](app::Status& s, DialogState&) { s.hostStreamSettingsKnown = false; });
    check([](app::Status& s, DialogState&) { s.hostStreamModes.reset(); });
    check([](app::Status&, DialogState& d) { d.applyInFlight = true; });
    check([](app::Status&, DialogState& d) { d.listed.clear(); });
    check([](app::Status&, DialogState&) {}, true, false);
    check([](app::Status&, DialogState&) {}, false, true);

    EXPECT_TRUE(settingsAvailable(base, false));
    app::Status hosting = base;
    hosting.hostsActiveSession = true;
    EXPECT_FALSE(settingsAvailable(hosting, false));
    EXPECT_FALSE(settingsAvailable(base, true));
}

TEST(StreamSettingsView, ApplyingAndItsEnd) {
    app::Status s = viewing(buildStreamModes(1920, 1080, 60));
    s.completedOperations = 7;
    DialogState state;
    rebuildList(state, s);
    state.selection = 3;  // 120 fps
    const auto chosen = applyCandidate(s, state, false, false);
    ASSERT_TRUE(chosen);
    noteApplyPosted(state, true, s.completedOperations, *chosen);
    DialogView view = dialogView(s, state, false, false);
    EXPECT_EQ(view.requestedLine, "요청 · 1920 × 1080 · 120 FPS");
    EXPECT_EQ(view.message, std::string(text::kApplying));
    EXPECT_FALSE(view.comboEnabled);

    endApplyIfDone(state, s);
    EXPECT_TRUE(state.applyInFlight);
    s.completedOperations = 8;
    s.error = "The host could not apply that stream mode; choose a lower resolution or FPS";
    endApplyIfDone(state, s);
    EXPECT_FALSE(state.applyInFlight);
    view = dialogView(s, state, false, false);
    EXPECT_EQ(view.message, s.error);
    EXPECT_TRUE(view.messageIsError);
    EXPECT_EQ(view.requestedLine, "요청 · 1920 × 1080 · 60 FPS");

    // The Controller taking the change over also ends the local wait.
    noteApplyPosted(state, true, s.completedOperations, *chosen);
    s.streamSettingsPending = true;
    endApplyIfDone(state, s);
    EXPECT_FALSE(state.applyInFlight);
    EXPECT_EQ(dialogView(s, state, false, false).message, std::string(text::kApplying));

    // A refused post says so in the dialog's own words.
    noteApplyPosted(state, false, 8, *chosen);
    EXPECT_FALSE(state.applyInFlight);
    view = dialogView(s, state, false, false);
    EXPECT_EQ(view.message, std::string(text::kSendFailed));
    EXPECT_TRUE(view.messageIsError);
}

TEST(StreamSettingsView, RebuildKeepsTheChosenSizeAndRate) {
    app::Status s = viewing(buildStreamModes(1920, 1080, 60));
    DialogState state;
    rebuildList(state, s);
    state.selection = 4;  // 144 fps
    s.hostStreamModes = buildStreamModes(2560, 1440, 144);  // the host's desktop changed
    ASSERT_TRUE(needsRebuild(state, s));
    rebuildList(state, s);
    ASSERT_TRUE(state.selection);
    EXPECT_EQ(state.listed[*state.selection].width, 1920);
    EXPECT_EQ(state.listed[*state.selection].fps, 144);
    EXPECT_EQ(state.listed.size(), 12u);

    s.hostStreamModes.reset();
    rebuildList(state, s);
    EXPECT_TRUE(state.listed.empty());
    EXPECT_EQ(state.selection, std::nullopt);
}

}  // namespace
}  // namespace murel::ui
