#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "input/InputMessage.hpp"
#include "input/InputText.hpp"
#include "input/ViewerInputCapture.hpp"

namespace murel {
namespace {

using app::Command;
using app::CommandKind;

// Windows virtual keys and lParam as keyboard messages carry them.
constexpr std::uint32_t kVkEscape = 0x1B, kVkF4 = 0x73, kVkF11 = 0x7A, kVkA = 0x41, kVkControl = 0x11,
                        kVkMenu = 0x12, kVkNumLock = 0x90, kVkPause = 0x13, kVkProcessKey = 0xE5,
                        kVkHangul = 0x15;
constexpr std::uint32_t kExtended = 1u << 24, kAltContext = 1u << 29, kWasDown = 1u << 30;
std::uint32_t lparam(std::uint32_t scan, std::uint32_t flags = 0) { return (scan << 16) | 1 | flags; }

// Behaves as a Win32 viewer does: focus and capture changes are delivered back synchronously.
class FakeViewer final : public ViewerInputPort {
public:
    ViewerInputCapture* capture = nullptr;
    std::vector<Command> posted;
    bool focused = false;
    bool mouseCaptured = false;
    bool fullscreen = false;
    bool forwardingBoxFocused = false;
    int fullscreenToggles = 0;
    int closes = 0;
    bool refusePosts = false;

    bool post(Command command) override {
        if (refusePosts) return false;
        posted.push_back(std::move(command));
        return true;
    }
    bool surfaceHasFocus() override { return focused; }
    void focusSurface() override {
        focused = true;
        forwardingBoxFocused = false;
    }
    void focusForwardingToggle() override {
        forwardingBoxFocused = true;
        if (focused) {
            focused = false;
            capture->focusLost();
        }
    }
    void captureMouse() override { mouseCaptured = true; }
    void releaseMouse() override {
        if (mouseCaptured) {
            mouseCaptured = false;
            capture->captureLost();
        }
    }
    bool isFullscreen() override { return fullscreen; }
    void toggleFullscreen() override {
        capture->releaseAll();  // the window's own toggle lets go first
        fullscreen = !fullscreen;
        ++fullscreenToggles;
        focusSurface();
    }
    void closeViewer() override { ++closes; }

    std::vector<Command> take() { return std::exchange(posted, {}); }
};

bool isRelease(const Command& c) { return c.kind == CommandKind::ReleaseInput; }

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        viewer.capture = &capture;
        viewer.focused = true;
        capture.startViewing();
        capture.sessionChanged(true, {100, 50, 800, 450});
    }

    void key(std::uint32_t vk, std::uint32_t lp, bool down, bool ctrl = false, bool alt = false,
             bool imeNative = false) {
        capture.keyChanged(windowsKeyEvent(vk, lp, down, ctrl, alt, imeNative));
    }

    // The key messages among the posted commands, as "code down/up".
    static std::vector<std::string> keys(const std::vector<Command>& commands) {
        std::vector<std::string> out;
        for (const Command& c : commands) {
            if (c.kind == CommandKind::Input && c.message.at("kind") == "key") {
                out.push_back(std::to_string(c.message.at("code").get<int>()) +
                              (c.message.at("down").get<bool>() ? " down" : " up"));
            }
        }
        return out;
    }

    FakeViewer viewer;
    ViewerInputCapture capture{viewer};
};

TEST(MapToFrame, EdgesBelongToThePicture) {
    const app::VideoRect rect{100, 50, 800, 450};
    EXPECT_EQ(mapToFrame(500, 275, rect), std::make_pair(0.5, 0.5));
    EXPECT_EQ(mapToFrame(900, 500, rect), std::make_pair(1.0, 1.0));
    EXPECT_EQ(mapToFrame(100, 50, rect), std::make_pair(0.0, 0.0));
    EXPECT_EQ(mapToFrame(901, 275, rect), std::nullopt);
    EXPECT_EQ(mapToFrame(99.5, 275, rect), std::nullopt);
    EXPECT_EQ(mapToFrame(500, 500.01, rect), std::nullopt);
    // A right edge that does not come back exactly as the width is still at most 1.
    const app::VideoRect odd{0.1, 0.7, 1279.3, 719.9};
    const auto corner = mapToFrame(0.1 + 1279.3, 0.7 + 719.9, odd);
    ASSERT_TRUE(corner);
    EXPECT_LE(corner->first, 1.0);
    EXPECT_LE(corner->second, 1.0);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(mapToFrame(500, 275, {}), std::nullopt) << "nothing shown";
    EXPECT_EQ(mapToFrame(0, 0, {0, 0, 0, 450}), std::nullopt);
    EXPECT_EQ(mapToFrame(0, 0, {0, 0, -5, 450}), std::nullopt);
    EXPECT_EQ(mapToFrame(500, 275, {nan, 50, 800, 450}), std::nullopt);
    EXPECT_EQ(mapToFrame(500, 275, {100, 50, inf, 450}), std::nullopt);
    EXPECT_EQ(mapToFrame(nan, 275, rect), std::nullopt);
}

TEST_F(CaptureTest, AClickInThePictureSendsItsRelativePoint) {
    capture.buttonChanged(0, true, 500, 275);
    EXPECT_TRUE(viewer.mouseCaptured);
    capture.buttonChanged(0, false, 900, 500);
    EXPECT_FALSE(viewer.mouseCaptured) << "the last button up lets the mouse go";
    const auto sent = viewer.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].kind, CommandKind::Input);
    EXPECT_EQ(sent[0].channel, kControlChannel);
    EXPECT_EQ(sent[0].message,
              (Json{{"version", 1}, {"kind", "button"}, {"sequence", 1}, {"code", 0}, {"down", true},
                    {"x", 0.5}, {"y", 0.5}}));
    EXPECT_EQ(sent[1].message.at("x"), 1.0);
    EXPECT_EQ(sent[1].message.at("y"), 1.0);
    EXPECT_EQ(sent[1].message.at("down"), false);

    capture.pointerMoved(100, 50);
    const auto moves = viewer.take();
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0].channel, kPointerChannel);
    EXPECT_EQ(moves[0].message, makeMoveInput(3, 0.0, 0.0)) << "pointer messages number themselves";

    capture.startViewing();
    capture.pointerMoved(500, 275);
    EXPECT_EQ(viewer.take().at(0).message.at("sequence"), 1) << "a new connection starts again";
}

TEST_F(CaptureTest, AButtonOutsideThePictureReleasesEverythingAndSendsNothing) {
    capture.buttonChanged(1, true, 901, 275);
    const auto sent = viewer.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(isRelease(sent[0]));
    EXPECT_FALSE(viewer.mouseCaptured);
    capture.pointerMoved(901, 275);
    EXPECT_TRUE(viewer.take().empty()) << "a plain move outside sends nothing";
}

TEST_F(CaptureTest, DraggingOutOfThePictureReleasesOnTheFirstMoveOutside) {
    capture.buttonChanged(0, true, 500, 275);
    capture.pointerMoved(800, 400);
    viewer.take();
    capture.pointerMoved(950, 400);
    const auto sent = viewer.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(isRelease(sent[0]));
    EXPECT_EQ(capture.heldButtons(), 0u);
    EXPECT_FALSE(viewer.mouseCaptured);
    capture.pointerMoved(960, 400);
    capture.buttonChanged(0, false, 960, 400);
    const auto after = viewer.take();
    ASSERT_EQ(after.size(), 1u) << "only the up outside, which releases again";
    EXPECT_TRUE(isRelease(after[0]));
}

TEST_F(CaptureTest, APressGivesTheSurfaceTheFocusFirst) {
    viewer.focused = false;
    capture.pointerMoved(500, 275);
    EXPECT_TRUE(viewer.take().empty()) << "no focus, no forwarding";
    capture.buttonChanged(2, true, 500, 275);
    EXPECT_TRUE(viewer.focused);
    const auto sent = viewer.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].message.at("code"), 2);
}

TEST_F(CaptureTest, HeldButtonsAreLetGoWhenInputStopsOrTheCaptureIsLost) {
    capture.buttonChanged(0, true, 500, 275);
    viewer.take();
    // The picture was hidden while the button was down: the next event cannot be forwarded, so
    // the button and the mouse are let go instead of staying captured.
    capture.sessionChanged(false, {});
    capture.pointerMoved(500, 275);
    auto sent = viewer.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(isRelease(sent[0]));
    EXPECT_FALSE(viewer.mouseCaptured);

    capture.sessionChanged(true, {100, 50, 800, 450});
    capture.buttonChanged(0, true, 500, 275);
    viewer.take();
    viewer.mouseCaptured = false;  // another window took the mouse
    capture.captureLost();
    sent = viewer.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(isRelease(sent[0]));
    EXPECT_EQ(capture.heldButtons(), 0u);
    capture.captureLost();
    EXPECT_TRUE(viewer.take().empty()) << "nothing held, nothing to release";
}

TEST_F(CaptureTest, WheelNotchesBecomeFortyPerNotchInsideThePicture) {
    capture.wheelTurned(500, 275, -120);
    capture.wheelTurned(500, 275, 240);
    capture.wheelTurned(950, 275, 120);
    const auto sent = viewer.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].message, makeScrollInput(-40.0));
    EXPECT_EQ(sent[0].channel, kControlChannel);
    EXPECT_EQ(sent[1].message.at("delta"), 80.0);
}

TEST_F(CaptureTest, NothingIsSentWithoutForwardingActiveInputOrFocus) {
    capture.forwardingToggled(false);
    EXPECT_TRUE(isRelease(viewer.take().at(0)));
    EXPECT_TRUE(viewer.focused) << "the focus returns to the surface";
    key(kVkA, lparam(30), true);
    capture.buttonChanged(0, true, 500, 275);
    capture.textEntered("x");
    capture.wheelTurned(500, 275, 120);
    EXPECT_TRUE(viewer.take().empty());

    capture.forwardingToggled(true);
    viewer.take();
    capture.sessionChanged(false, {100, 50, 800, 450});
    key(kVkA, lparam(30), true);
    EXPECT_TRUE(viewer.take().empty());

    capture.sessionChanged(true, {100, 50, 800, 450});
    viewer.focused = false;
    key(kVkA, lparam(30), true);
    EXPECT_TRUE(viewer.take().empty());
    viewer.focused = true;
    key(kVkA, lparam(30), true);
    EXPECT_EQ(keys(viewer.take()), (std::vector<std::string>{"0 down"}));
}

TEST_F(CaptureTest, CtrlAltEscapeHandsControlBackAndSendsNoKey) {
    key(kVkControl, lparam(29), true);
    key(kVkMenu, lparam(56, kAltContext), true, true, true);
    viewer.take();
    key(kVkEscape, lparam(1, kAltContext), true, true, true);
    const auto sent = viewer.take();
    EXPECT_TRUE(keys(sent).empty());
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(isRelease(sent.front()));
    EXPECT_TRUE(viewer.forwardingBoxFocused);
    EXPECT_FALSE(viewer.focused);
    // The key-ups that follow reach a surface without the focus.
    key(kVkEscape, lparam(1, kAltContext), false, true, true);
    key(kVkMenu, lparam(56), false, true, false);
    key(kVkControl, lparam(29), false);
    EXPECT_TRUE(keys(viewer.take()).empty());
}

TEST_F(CaptureTest, F11SwitchesFullScreenOncePerPressAndIsNeverSent) {
    key(kVkF11, lparam(87), true);
    key(kVkF11, lparam(87, kWasDown), true);  // auto-repeat
    key(kVkF11, lparam(87, kWasDown), true);
    EXPECT_EQ(viewer.fullscreenToggles, 1);
    EXPECT_TRUE(capture.isSwallowed(LocalKey::F11));
    key(kVkF11, lparam(87), false);
    EXPECT_FALSE(capture.isSwallowed(LocalKey::F11));
    key(kVkF11, lparam(87), true);
    key(kVkF11, lparam(87), false);
    EXPECT_EQ(viewer.fullscreenToggles, 2);
    EXPECT_TRUE(keys(viewer.take()).empty());
}

TEST_F(CaptureTest, EscapeLeavesFullScreenLocallyButIsSentInAWindow) {
    key(kVkEscape, lparam(1), true);
    key(kVkEscape, lparam(1), false);
    EXPECT_EQ(keys(viewer.take()), (std::vector<std::string>{"53 down", "53 up"}));

    viewer.fullscreen = true;
    key(kVkEscape, lparam(1), true);
    EXPECT_FALSE(viewer.fullscreen);
    key(kVkEscape, lparam(1), false);  // now windowed, but its down was kept local
    EXPECT_TRUE(keys(viewer.take()).empty());
}

TEST_F(CaptureTest, FocusLossReleasesAndForgetsSwallowedKeys) {
    key(kVkF11, lparam(87), true);
    viewer.take();
    capture.focusLost();
    EXPECT_TRUE(isRelease(viewer.take().at(0)));
    EXPECT_FALSE(capture.isSwallowed(LocalKey::F11));
}

TEST_F(CaptureTest, AltF4ClosesTheViewerAndSendsNothing) {
    key(kVkF4, lparam(62, kAltContext), true, false, true);
    key(kVkF4, lparam(62, kAltContext), false, false, true);
    EXPECT_EQ(viewer.closes, 1);
    EXPECT_TRUE(keys(viewer.take()).empty());
    key(kVkF4, lparam(62), true);
    EXPECT_EQ(keys(viewer.take()), (std::vector<std::string>{"118 down"})) << "F4 alone is sent";
}

TEST_F(CaptureTest, InputMethodKeysStayLocalAndItsTextIsSent) {
    key(kVkHangul, lparam(0x72, kExtended), true);
    key(kVkProcessKey, lparam(30), true);  // the input method is turning A into text
    key(kVkA, lparam(30), false, false, false, true);
    key(kVkA, lparam(30), true, false, false, true);
    EXPECT_TRUE(keys(viewer.take()).empty());
    key(0x25, lparam(75, kExtended), true, false, false, true);  // Left is not a character key
    EXPECT_EQ(keys(viewer.take()), (std::vector<std::string>{"123 down"}));

    capture.textEntered("\xED\x95\x9C\xEA\xB8\x80");  // 한글
    const auto sent = viewer.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].channel, kControlChannel);
    EXPECT_EQ(sent[0].message, makeTextInput("\xED\x95\x9C\xEA\xB8\x80"));
    capture.textEntered("");
    capture.textEntered("\xFF");
    EXPECT_TRUE(viewer.take().empty());
}

TEST_F(CaptureTest, NumLockIsSentAndPauseIsNotMistakenForIt) {
    key(kVkNumLock, lparam(0x45, kExtended), true);  // as keyboard messages report Num Lock
    key(kVkNumLock, lparam(0x45, kExtended), false);
    key(kVkPause, lparam(0x45), true);
    key(kVkPause, lparam(0x45), false);
    EXPECT_EQ(keys(viewer.take()), (std::vector<std::string>{"71 down", "71 up"}));
    // The host presses Num Lock the way the keyboard sends it: plain 0x45.
    EXPECT_EQ(scanKeyForCode(71), (ScanKey{0x45, false}));

    key(0x2C, lparam(0x37, kExtended), true);  // Print Screen: not the keypad's multiply
    key(0x6A, lparam(0x37), true);             // keypad multiply
    key(0xA3, lparam(29, kExtended), true);    // right Ctrl
    EXPECT_EQ(keys(viewer.take()), (std::vector<std::string>{"67 down", "62 down"}));
}

TEST(WindowsKeyEvent, ReadsTheMessageBits) {
    const KeyEvent down = windowsKeyEvent(kVkF4, lparam(62, kExtended | kAltContext | kWasDown), true,
                                          true, false, true);
    EXPECT_EQ(down.scanCode, 62u);
    EXPECT_TRUE(down.extended);
    EXPECT_TRUE(down.altContext);
    EXPECT_TRUE(down.repeat);
    EXPECT_TRUE(down.ctrlHeld);
    EXPECT_FALSE(down.altHeld);
    EXPECT_TRUE(down.inputMethodNative);
    EXPECT_EQ(down.role, LocalKey::F4);
    // Key-ups always have bit 30 set; that is no repeat.
    EXPECT_FALSE(windowsKeyEvent(kVkA, lparam(30, kWasDown), false, false, false, false).repeat);
    EXPECT_EQ(windowsKeyEvent(kVkA, 0xFFu << 16, true, false, false, false).scanCode, 0xFFu);

    EXPECT_EQ(windowsKeyRole(0x20), LocalKey::Character);
    EXPECT_EQ(windowsKeyRole(0x30), LocalKey::Character);
    EXPECT_EQ(windowsKeyRole(0x5A), LocalKey::Character);
    EXPECT_EQ(windowsKeyRole(0x5B), LocalKey::Other);  // left Windows
    EXPECT_EQ(windowsKeyRole(0xBA), LocalKey::Character);
    EXPECT_EQ(windowsKeyRole(0xDF), LocalKey::Character);
    EXPECT_EQ(windowsKeyRole(0xE0), LocalKey::Other);
    EXPECT_EQ(windowsKeyRole(0xE2), LocalKey::Character);
    EXPECT_EQ(windowsKeyRole(0x16), LocalKey::InputMethod);
    EXPECT_EQ(windowsKeyRole(0x1A), LocalKey::InputMethod);
    EXPECT_EQ(windowsKeyRole(0x60), LocalKey::Other);  // keypad 0
}

// Every piece of a split text must be accepted by a host, in order, and rebuild the text.
void expectHostAcceptsEveryPiece(const std::vector<std::string>& pieces, const std::string& whole) {
    InputSequenceState host;
    std::string rebuilt;
    std::uint64_t sequence = std::numeric_limits<std::uint64_t>::max() - pieces.size();
    for (const std::string& piece : pieces) {
        const Json message = makeTextInput(piece, ++sequence);
        EXPECT_LE(serializeInputMessage(message).size(), kInputMessageLimit);
        EXPECT_TRUE(decodeUtf8(piece).has_value()) << "cut inside a character";
        EXPECT_TRUE(validateInputMessage(host, message, kControlChannel, 0));
        rebuilt += piece;
    }
    EXPECT_TRUE(rebuilt == whole) << "the pieces do not rebuild the text";
}

TEST(SplitInputText, LongTextBecomesSeveralMessagesThatEachFit) {
    std::string hangul;
    for (int i = 0; i < 2048; ++i) hangul += "\xEA\xB0\x80";  // the longest input-method result
    const auto pieces = splitInputText(hangul);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0].size(), 2046u) << "2048 bytes would cut a character";
    expectHostAcceptsEveryPiece(pieces, hangul);

    // Quotes and backslashes double once escaped: the serialised size decides, not the bytes.
    const std::string quotes(2048, '"');
    const auto quoted = splitInputText(quotes);
    ASSERT_EQ(quoted.size(), 2u);
    EXPECT_GT(serializeInputMessage(makeTextInput(quotes)).size(), kInputMessageLimit);
    expectHostAcceptsEveryPiece(quoted, quotes);

    std::string mixed;  // 4332 bytes
    for (int i = 0; i < 1000; ++i) mixed += i % 3 ? "\\\xF0\x9F\x98\x80" : "a\r\n";
    const auto mixedPieces = splitInputText(mixed);
    EXPECT_EQ(mixedPieces.size(), 3u);
    expectHostAcceptsEveryPiece(mixedPieces, mixed);

    EXPECT_EQ(splitInputText("short"), (std::vector<std::string>{"short"}));
}

TEST(SplitInputText, RefusesWhatCannotBeTypedAndDropsControls) {
    EXPECT_TRUE(splitInputText("").empty());
    EXPECT_TRUE(splitInputText("ab\xE2\x82").empty());
    EXPECT_TRUE(splitInputText("\xED\xA0\x80").empty());
    EXPECT_TRUE(splitInputText(std::string(kCapturedTextLimit + 1, 'a')).empty());
    EXPECT_EQ(splitInputText(std::string(kCapturedTextLimit, 'a')).size(), 3u);
    EXPECT_EQ(splitInputText("a\x1b" "b\x7f\tc\x01"), (std::vector<std::string>{"ab\tc"}));
    EXPECT_TRUE(splitInputText("\x1b\x7f").empty());
}

TEST_F(CaptureTest, ALongInputMethodResultArrivesAsSeveralTextMessages) {
    std::string text;
    for (int i = 0; i < 1500; ++i) text += "\xED\x95\x9C";
    capture.textEntered(text);
    auto sent = viewer.take();
    ASSERT_EQ(sent.size(), 3u);
    std::string rebuilt;
    for (const Command& c : sent) {
        EXPECT_EQ(c.channel, kControlChannel);
        EXPECT_EQ(c.message.at("kind"), "text");
        rebuilt += c.message.at("text").get<std::string>();
    }
    EXPECT_EQ(rebuilt, text);

    viewer.refusePosts = true;
    capture.textEntered(text);
    viewer.refusePosts = false;
    EXPECT_TRUE(viewer.take().empty()) << "the rest of a refused text is not sent";
}

}  // namespace
}  // namespace murel
