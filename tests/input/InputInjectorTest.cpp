#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "InputTestSupport.hpp"
#include "input/InputInjector.hpp"
#include "input/RecordingInputSink.hpp"

#include "ErrorOf.hpp"

namespace murel {
namespace {

using test::bytes;
using Input = RecordedInput;

using murel::test::errorOf;

std::vector<std::string> described(const std::vector<RecordedInput>& inputs) {
    std::vector<std::string> out;
    for (const auto& input : inputs) out.push_back(describe(input));
    return out;
}

class InjectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        sink = std::make_shared<RecordingInputSink>(DesktopRect{0, 0, 1920, 1080});
        injector = std::make_unique<InputInjector>(sink, clock.clock());
        injector->enable({0, 0, 1920, 1080});
    }

    bool control(const Json& message) { return injector->apply(bytes(message), kControlChannel); }
    bool key(int code, bool down) { return control(makeKeyInput(code, down, ++sequence)); }
    bool button(int code, bool down, double x = 0.5, double y = 0.5) {
        return control(makeButtonInput(code, down, x, y, ++sequence));
    }
    bool scroll(double delta) { return control(makeScrollInput(delta, ++sequence)); }
    bool text(const std::string& t) { return control(makeTextInput(t, ++sequence)); }
    bool move(double x, double y) {
        return injector->apply(bytes(makeMoveInput(++pointerSequence, x, y)), kPointerChannel);
    }

    test::ManualInputClock clock;
    std::shared_ptr<RecordingInputSink> sink;
    std::unique_ptr<InputInjector> injector;
    std::uint64_t sequence = 0;
    std::uint64_t pointerSequence = 0;
};

TEST_F(InjectorTest, PointerMapsOntoTheCapturedMonitorsPlaceInTheVirtualDesktop) {
    sink->setVirtualDesktop({0, 0, 4480, 1440});
    injector->enable({1920, 0, 2560, 1440});
    ASSERT_TRUE(move(0, 0));
    ASSERT_TRUE(move(1, 1));
    ASSERT_TRUE(button(0, true, 0.5, 0.5));
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::moved(28093, 0), Input::moved(65535, 65535),
                                                // (1920 + 1279.5) * 65535 / 4479, 719.5 * 65535 / 1439
                                                Input::moved(46814, 32768),
                                                Input::pressed(MouseButton::Left, true)}));

    // A virtual desktop that starts left of and above zero.
    sink->setVirtualDesktop({-1280, -200, 3200, 1280});
    injector->enable({-1280, -200, 1280, 1024});  // lets go of the left button first
    ASSERT_TRUE(move(0, 0));
    ASSERT_TRUE(move(1, 1));
    // 1279 * 65535 / 3199 and 1023 * 65535 / 1279
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::pressed(MouseButton::Left, false),
                                                Input::moved(0, 0), Input::moved(26202, 52418)}));
}

TEST_F(InjectorTest, BoundsOutsideTheVirtualDesktopOrNotFiniteSwitchInputOff) {
    injector->enable({1000, 0, 1000, 1080});  // ends at 2000 of 1920
    EXPECT_EQ(errorOf([&] { move(0.5, 0.5); }), "Invalid protocol message");
    EXPECT_FALSE(injector->enabled());
    EXPECT_FALSE(move(0.5, 0.5)) << "input stays off until the next enable";
    EXPECT_TRUE(sink->inputs().empty());

    injector->enable({0, 0, 0, 1080});
    EXPECT_EQ(errorOf([&] { move(0.5, 0.5); }), "Invalid desktop coordinates");
    injector->enable({0, 0, std::nan(""), 1080});
    EXPECT_EQ(errorOf([&] { button(0, true); }), "Invalid desktop coordinates");
    sink->setVirtualDesktop({0, 0, 1, 1080});  // a one-pixel-wide desktop cannot be addressed
    injector->enable({0, 0, 1, 1080});
    EXPECT_EQ(errorOf([&] { move(0, 0); }), "Invalid desktop coordinates");
    EXPECT_TRUE(sink->inputs().empty());
    EXPECT_TRUE(injector->heldButtons().empty()) << "a button whose move failed is not held";
}

TEST_F(InjectorTest, ScrollSendsWholeWheelUnitsAndKeepsTheFraction) {
    ASSERT_TRUE(scroll(40));
    ASSERT_TRUE(scroll(-20));
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::wheeled(120), Input::wheeled(-60)}));

    for (int i = 0; i < 3; ++i) ASSERT_TRUE(scroll(0.1));
    EXPECT_TRUE(sink->inputs().empty());
    ASSERT_TRUE(scroll(0.1));
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::wheeled(1)}));
    EXPECT_NEAR(injector->scrollRemainder(), 0.2, 1e-9);

    // Towards the user the fraction is kept below zero, and one unit comes out per -1.
    ASSERT_TRUE(scroll(-0.5));  // 0.2 - 1.5 = -1.3
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::wheeled(-1)}));
    EXPECT_NEAR(injector->scrollRemainder(), -0.3, 1e-9);
    ASSERT_TRUE(scroll(1000));
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::wheeled(2999)}));

    injector->enable({0, 0, 1920, 1080});
    EXPECT_EQ(injector->scrollRemainder(), 0) << "a new viewer starts without the old fraction";
}

TEST_F(InjectorTest, KeysGoByScanCodeAndUnmappedCodesLeaveTheSequenceAlone) {
    ASSERT_TRUE(key(0, true));
    ASSERT_TRUE(key(76, true));  // keypad Enter
    ASSERT_TRUE(key(71, true));  // Num Lock: plain 0x45
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::keyed({30, false}, true),
                                                Input::keyed({28, true}, true),
                                                Input::keyed({69, false}, true)}));
    EXPECT_EQ(injector->heldKeys(), (std::set<int>{0, 71, 76}));

    // Code 52 has no row: ignored before the sequence check, so the same sequence still counts.
    EXPECT_FALSE(control(makeKeyInput(52, true, sequence + 1)));
    EXPECT_TRUE(sink->inputs().empty());
    EXPECT_TRUE(control(makeKeyInput(0, false, sequence + 1)));
    ++sequence;
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::keyed({30, false}, false)}));
    EXPECT_EQ(injector->heldKeys(), (std::set<int>{71, 76}));
}

TEST_F(InjectorTest, RefusedAndStaleMessagesInjectNothing) {
    ASSERT_TRUE(key(0, true));
    sink->take();
    EXPECT_FALSE(control(makeKeyInput(1, true, sequence)));  // replayed sequence
    EXPECT_FALSE(injector->apply(bytes(makeKeyInput(1, true, ++sequence)), kPointerChannel));
    EXPECT_FALSE(injector->apply("{\"kind\":\"key\"", kControlChannel));
    EXPECT_FALSE(injector->apply(std::string(5000, ' '), kControlChannel));
    EXPECT_FALSE(control(makeTextInput("a\x1b", ++sequence)));
    EXPECT_TRUE(sink->inputs().empty());

    injector->disable();
    sink->take();
    EXPECT_FALSE(key(2, true)) << "nothing is accepted while disabled";
    EXPECT_TRUE(sink->inputs().empty());
}

TEST_F(InjectorTest, ReleaseLetsGoOfKeysInOrderThenButtons) {
    ASSERT_TRUE(key(59, true));  // left Ctrl
    ASSERT_TRUE(key(0, true));
    ASSERT_TRUE(button(1, true));
    ASSERT_TRUE(button(0, true));
    sink->take();
    ASSERT_TRUE(control(makeReleaseInput(++sequence)));
    EXPECT_EQ(described(sink->take()),
              (std::vector<std::string>{"key 30 up", "key 29 up", "button 0 up", "button 1 up"}));
    EXPECT_TRUE(injector->heldKeys().empty());
    EXPECT_TRUE(injector->heldButtons().empty());
    ASSERT_TRUE(control(makeReleaseInput(++sequence)));
    EXPECT_TRUE(sink->inputs().empty()) << "nothing held, nothing sent";
}

TEST_F(InjectorTest, ARefusedReleaseKeepsOnlyThatKeyHeldAndIsReported) {
    ASSERT_TRUE(key(0, true));
    ASSERT_TRUE(key(1, true));
    ASSERT_TRUE(button(0, true));
    sink->take();
    sink->setRefusal([](const Input& input) { return input == Input::keyed({30, false}, false); });
    EXPECT_EQ(errorOf([&] { injector->releaseAll(); }), "Windows blocked one or more input releases");
    EXPECT_EQ(described(sink->take()), (std::vector<std::string>{"key 31 up", "button 0 up"}));
    EXPECT_EQ(injector->heldKeys(), (std::set<int>{0}));
    EXPECT_TRUE(injector->heldButtons().empty());

    sink->setRefusal(nullptr);
    injector->releaseAll();
    EXPECT_EQ(described(sink->take()), (std::vector<std::string>{"key 30 up"}));
    EXPECT_TRUE(injector->heldKeys().empty());
}

TEST_F(InjectorTest, AFailedInjectionSwitchesInputOffAndReleasesEverything) {
    ASSERT_TRUE(key(56, true));  // left Shift
    ASSERT_TRUE(button(2, true));
    sink->take();
    sink->setRefusal([](const Input& input) { return input.kind == Input::Kind::Key && input.down; });
    EXPECT_EQ(errorOf([&] { key(0, true); }),
              "Windows blocked remote input (desktop or integrity restriction)");
    EXPECT_FALSE(injector->enabled());
    EXPECT_EQ(described(sink->take()), (std::vector<std::string>{"key 42 up", "button 2 up"}));
    EXPECT_TRUE(injector->heldKeys().empty());

    // When the release fails too, that failure is the one reported.
    sink->setRefusal(nullptr);
    injector->enable({0, 0, 1920, 1080});
    ASSERT_TRUE(key(56, true));
    sink->setRefusal([](const Input& input) { return input.kind == Input::Kind::Key; });
    EXPECT_EQ(errorOf([&] { key(0, true); }), "Windows blocked one or more input releases");
    EXPECT_EQ(injector->heldKeys(), (std::set<int>{56}));
}

TEST_F(InjectorTest, TextTypesEveryCharacterAndRefusesBrokenUtf8) {
    std::string longText;
    for (int i = 0; i < 682; ++i) longText += "\xED\x95\x9C";  // U+D55C, 3 bytes
    longText += "ab";                                          // 2048 bytes
    ASSERT_EQ(longText.size(), 2048u);
    ASSERT_TRUE(text(longText));
    const auto typed = sink->take();
    ASSERT_EQ(typed.size(), 684u);
    EXPECT_EQ(typed.front(), Input::typed(0xD55C));
    EXPECT_EQ(typed[682], Input::typed(U'a'));
    EXPECT_EQ(typed.back(), Input::typed(U'b'));

    ASSERT_TRUE(text("\xF0\x9F\x98\x80\t\n"));  // outside the first plane, tab, line feed
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::typed(0x1F600), Input::typed(U'\t'),
                                                Input::typed(U'\n')}));

    // Overlong, surrogate and truncated forms never get past the parser: ignored, input stays on.
    for (const std::string bad : {"\xC0\xAF", "\xED\xA0\x80", "ab\xE2\x82", "\xF4\x90\x80\x80",
                                  "\\ud800"}) {
        const std::string raw = "{\"kind\":\"text\",\"sequence\":" + std::to_string(++sequence) +
                                ",\"text\":\"" + bad + "\",\"version\":1}";
        EXPECT_FALSE(injector->apply(raw, kControlChannel)) << raw;
    }
    EXPECT_TRUE(injector->enabled());
    EXPECT_TRUE(sink->inputs().empty());
}

TEST_F(InjectorTest, SilenceReleasesAfter750MsOnTheInjectedClock) {
    ASSERT_TRUE(button(0, true));
    ASSERT_TRUE(key(0, true));
    sink->take();
    clock.advanceMs(749);
    injector->expire();
    EXPECT_TRUE(sink->inputs().empty());
    clock.advanceMs(1);
    injector->expire();
    EXPECT_EQ(described(sink->take()), (std::vector<std::string>{"key 30 up", "button 0 up"}));
    EXPECT_TRUE(injector->heldButtons().empty());

    // Still silent: checked again, without effect; a new message restarts the count.
    injector->expire();
    EXPECT_TRUE(sink->inputs().empty());
    ASSERT_TRUE(control(makeKeepaliveInput(++sequence)));
    ASSERT_TRUE(key(1, true));
    clock.advanceMs(700);
    injector->expire();
    EXPECT_TRUE(sink->inputs().size() == 1u) << "only the key press";
}

TEST_F(InjectorTest, TheWatchdogReadsTheSameClockAsTheMessages) {
    ASSERT_TRUE(button(0, true));
    sink->take();
    // Real time passes while the injected clock stands still: the watchdog runs but finds the
    // viewer alive. On any other clock (an hour apart from this one) it would release at once.
    const auto passes = injector->watchdogPasses();
    ASSERT_TRUE(test::eventually([&] { return injector->watchdogPasses() >= passes + 3; }));
    EXPECT_TRUE(sink->inputs().empty());
    EXPECT_EQ(injector->heldButtons(), (std::set<int>{0}));

    // Without a tick from the Controller, the watchdog lets go once the injected clock says so.
    clock.advanceMs(750);
    ASSERT_TRUE(sink->waitForInputs(1, std::chrono::seconds(10)));
    EXPECT_EQ(sink->take(), (std::vector<Input>{Input::pressed(MouseButton::Left, false)}));
    EXPECT_TRUE(injector->heldButtons().empty());
}

TEST_F(InjectorTest, TheWatchdogRetriesARefusedReleaseUntilItIsTaken) {
    ASSERT_TRUE(key(0, true));
    sink->take();
    sink->setRefusal([](const Input&) { return true; });
    clock.advanceMs(800);
    ASSERT_TRUE(test::eventually([&] { return sink->refusedCount() >= 2; }));
    EXPECT_EQ(injector->heldKeys(), (std::set<int>{0}));
    sink->setRefusal(nullptr);
    ASSERT_TRUE(sink->waitForInputs(1, std::chrono::seconds(10)));
    EXPECT_EQ(described(sink->take()), (std::vector<std::string>{"key 30 up"}));
}

TEST_F(InjectorTest, EnableRestartsSequencesAndDestructionReleases) {
    ASSERT_TRUE(control(makeKeyInput(0, true, 100)));
    ASSERT_TRUE(injector->apply(bytes(makeMoveInput(50, 0, 0)), kPointerChannel));
    sink->take();
    injector->enable({0, 0, 1920, 1080});  // re-targeted: let go first
    EXPECT_EQ(described(sink->take()), (std::vector<std::string>{"key 30 up"}));
    EXPECT_TRUE(control(makeKeyInput(3, true, 1))) << "a new viewer's sequences start anew";
    EXPECT_TRUE(injector->apply(bytes(makeMoveInput(1, 0, 0)), kPointerChannel));
    sink->take();
    injector.reset();
    EXPECT_EQ(described(sink->take()), (std::vector<std::string>{"key 33 up"}));
}

TEST_F(InjectorTest, ARefusedReleaseWhileDisablingStillForgetsTheOldViewer) {
    ASSERT_TRUE(control(makeKeyInput(0, true, 500)));
    ASSERT_TRUE(control(makeScrollInput(0.2, 501)));  // 0.6 of a wheel unit left over
    ASSERT_GT(injector->scrollRemainder(), 0.5);
    sink->take();
    sink->setRefusal([](const Input&) { return true; });
    EXPECT_EQ(errorOf([&] { injector->disable(); }), "Windows blocked one or more input releases");
    EXPECT_FALSE(injector->enabled());
    EXPECT_EQ(injector->scrollRemainder(), 0);
    EXPECT_EQ(injector->heldKeys(), (std::set<int>{0})) << "kept for the next attempt";

    // Re-targeting tries the release again and, once it is taken, accepts a new viewer from 1.
    EXPECT_THROW(injector->enable({0, 0, 1920, 1080}), ProtocolError);
    EXPECT_FALSE(injector->enabled());
    sink->setRefusal(nullptr);
    injector->enable({0, 0, 1920, 1080});
    EXPECT_TRUE(control(makeKeyInput(1, true, 1)));
    EXPECT_EQ(described(sink->take()), (std::vector<std::string>{"key 30 up", "key 31 down"}));
}

TEST(InjectorConstruction, NeedsASinkAndAClock) {
    test::ManualInputClock clock;
    EXPECT_THROW(InputInjector(nullptr, clock.clock()), std::invalid_argument);
    EXPECT_THROW(InputInjector(std::make_shared<RecordingInputSink>(), nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace murel
