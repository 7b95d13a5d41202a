#pragma once
// Host input behaviour over a real sink: an InputInjector drives the backend's sink and the
// backend reports what actually arrived at the desktop (a window that receives it). The same
// cases run on every backend that can run here: the recording sink, XTest on a private Xvfb,
// SendInput under Wine.
//
// A backend B is a type with
//   static std::unique_ptr<InputRig> makeRig();
// where the rig owns the sink and a window covering the whole virtual desktop that has the
// keyboard focus.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "InputTestSupport.hpp"
#include "input/InputInjector.hpp"

namespace murel::test {

// One input as the receiving window saw it.
struct Arrived {
    enum class Kind { KeyDown, KeyUp, ButtonDown, ButtonUp, Wheel, Character };
    Kind kind = Kind::KeyDown;
    ScanKey key;             // keys: as the window system reports them
    int button = 0;          // buttons: 0 left, 1 right, 2 middle
    int x = 0;               // buttons: pointer position, virtual-desktop pixels
    int y = 0;
    int notches = 0;         // wheel: positive away from the user
    char32_t character = 0;  // typed text

    static Arrived keyDown(ScanKey key) { return {Kind::KeyDown, key}; }
    static Arrived keyUp(ScanKey key) { return {Kind::KeyUp, key}; }
    static Arrived buttonDown(int button, int x, int y) { return {Kind::ButtonDown, {}, button, x, y}; }
    static Arrived buttonUp(int button, int x, int y) { return {Kind::ButtonUp, {}, button, x, y}; }
    static Arrived typed(char32_t c) {
        Arrived a;
        a.kind = Kind::Character;
        a.character = c;
        return a;
    }

    bool operator==(const Arrived&) const = default;
};

inline void PrintTo(const Arrived& a, std::ostream* out) {
    static const char* names[] = {"key down", "key up", "button down", "button up", "wheel", "char"};
    *out << names[static_cast<int>(a.kind)];
    switch (a.kind) {
    case Arrived::Kind::KeyDown:
    case Arrived::Kind::KeyUp:
        *out << (a.key.extended ? " E0 " : " ") << a.key.scanCode;
        break;
    case Arrived::Kind::ButtonDown:
    case Arrived::Kind::ButtonUp:
        *out << " " << a.button << " at " << a.x << "," << a.y;
        break;
    case Arrived::Kind::Wheel:
        *out << " " << a.notches;
        break;
    case Arrived::Kind::Character:
        *out << " U+" << std::hex << static_cast<unsigned>(a.character) << std::dec;
        break;
    }
}

// Whole wheel notches out of wheel units, as a window system hands them to applications.
class NotchCounter {
public:
    void add(int units, std::vector<Arrived>& into) {
        remainder_ += units;
        const int notches = remainder_ / kWheelNotch;
        remainder_ -= notches * kWheelNotch;
        if (notches == 0) return;
        Arrived a;
        a.kind = Arrived::Kind::Wheel;
        a.notches = notches;
        into.push_back(a);
    }

private:
    int remainder_ = 0;
};

using ArrivedFilter = std::function<bool(const Arrived&)>;

inline bool isKey(const Arrived& a) { return a.kind == Arrived::Kind::KeyDown || a.kind == Arrived::Kind::KeyUp; }
inline bool isButton(const Arrived& a) {
    return a.kind == Arrived::Kind::ButtonDown || a.kind == Arrived::Kind::ButtonUp;
}
inline bool isCharacter(const Arrived& a) { return a.kind == Arrived::Kind::Character; }
inline bool isWheel(const Arrived& a) { return a.kind == Arrived::Kind::Wheel; }

class InputRig {
public:
    virtual ~InputRig() = default;
    virtual std::shared_ptr<InputSink> sink() = 0;
    // The virtual desktop the backend was set up with, in pixels.
    virtual DesktopRect screen() = 0;
    // Collects what arrives until `enough` holds for everything collected so far (true) or the
    // time runs out (false). Everything collected stays in arrived().
    virtual bool waitUntil(const std::function<bool(const std::vector<Arrived>&)>& enough,
                           std::chrono::milliseconds timeout) = 0;
    virtual const std::vector<Arrived>& arrived() const = 0;
};

// The arrivals that pass `filter`, in order.
inline std::vector<Arrived> only(const std::vector<Arrived>& all, const ArrivedFilter& filter) {
    std::vector<Arrived> out;
    for (const Arrived& a : all) {
        if (filter(a)) out.push_back(a);
    }
    return out;
}

template <class B>
class SinkBehaviour : public ::testing::Test {
protected:
    void SetUp() override {
        rig = B::makeRig();
        injector = std::make_unique<InputInjector>(rig->sink(), clock.clock());
        injector->enable(rig->screen());
    }
    void TearDown() override {
        injector.reset();  // releases what a failed test left held
        rig.reset();
    }

    void control(const Json& message) {
        ASSERT_TRUE(injector->apply(serializeInputMessage(message), kControlChannel)) << message.dump();
    }
    void key(int code, bool down) { control(makeKeyInput(code, down, ++sequence)); }
    void button(int code, bool down, double x, double y) { control(makeButtonInput(code, down, x, y, ++sequence)); }

    // Waits until `count` arrivals pass `filter`, then returns those.
    std::vector<Arrived> expectArrivals(const ArrivedFilter& filter, std::size_t count) {
        rig->waitUntil([&](const std::vector<Arrived>& all) { return only(all, filter).size() >= count; },
                       std::chrono::seconds(10));
        return only(rig->arrived(), filter);
    }

    int wheelTotal() {
        int total = 0;
        for (const Arrived& a : only(rig->arrived(), isWheel)) total += a.notches;
        return total;
    }

    ManualInputClock clock;
    std::unique_ptr<InputRig> rig;
    std::unique_ptr<InputInjector> injector;
    std::uint64_t sequence = 0;
};

TYPED_TEST_SUITE_P(SinkBehaviour);

TYPED_TEST_P(SinkBehaviour, TheVirtualDesktopIsTheWholeScreen) {
    const DesktopRect desktop = this->rig->sink()->virtualDesktop();
    EXPECT_EQ(desktop, this->rig->screen());
    EXPECT_GT(desktop.width, 1);
    EXPECT_GT(desktop.height, 1);
}

TYPED_TEST_P(SinkBehaviour, KeysArriveAsThePhysicalKeysTheyName) {
    this->key(0, true);    // A
    this->key(0, false);
    this->key(126, true);  // Up: extended
    this->key(126, false);
    this->key(60, true);   // right Shift
    this->key(60, false);
    const auto keys = this->expectArrivals(isKey, 6);
    EXPECT_EQ(keys, (std::vector<Arrived>{Arrived::keyDown({30, false}), Arrived::keyUp({30, false}),
                                          Arrived::keyDown({72, true}), Arrived::keyUp({72, true}),
                                          Arrived::keyDown({54, false}), Arrived::keyUp({54, false})}));
}

TYPED_TEST_P(SinkBehaviour, TextArrivesCharacterByCharacter) {
    // Latin, Hangul, a character outside the first plane, punctuation and a tab.
    this->control(makeTextInput("aZ\xED\x95\x9C\xEA\xB8\x80\xF0\x9F\x98\x80!\t", ++this->sequence));
    const auto typed = this->expectArrivals(isCharacter, 7);
    EXPECT_EQ(typed, (std::vector<Arrived>{Arrived::typed(U'a'), Arrived::typed(U'Z'), Arrived::typed(0xD55C),
                                           Arrived::typed(0xAE00), Arrived::typed(0x1F600), Arrived::typed(U'!'),
                                           Arrived::typed(U'\t')}));
}

TYPED_TEST_P(SinkBehaviour, ClicksAtThePicturesCornersLandOnTheDesktopsCorners) {
    const DesktopRect screen = this->rig->screen();
    const int right = static_cast<int>(screen.x + screen.width - 1);
    const int bottom = static_cast<int>(screen.y + screen.height - 1);
    this->button(0, true, 1, 1);
    this->button(0, false, 1, 1);
    this->button(1, true, 0, 0);
    this->button(1, false, 0, 0);
    const auto buttons = this->expectArrivals(isButton, 4);
    EXPECT_EQ(buttons, (std::vector<Arrived>{Arrived::buttonDown(0, right, bottom), Arrived::buttonUp(0, right, bottom),
                                             Arrived::buttonDown(1, static_cast<int>(screen.x), static_cast<int>(screen.y)),
                                             Arrived::buttonUp(1, static_cast<int>(screen.x), static_cast<int>(screen.y))}));
}

TYPED_TEST_P(SinkBehaviour, WheelTurnsWholeNotchesBothWays) {
    this->control(makeScrollInput(40, ++this->sequence));
    this->rig->waitUntil([&](const std::vector<Arrived>&) { return this->wheelTotal() == 1; }, std::chrono::seconds(10));
    EXPECT_EQ(this->wheelTotal(), 1);
    this->control(makeScrollInput(-20, ++this->sequence));  // half a notch: nothing yet on X
    this->control(makeScrollInput(-20, ++this->sequence));
    this->control(makeScrollInput(-80, ++this->sequence));
    this->rig->waitUntil([&](const std::vector<Arrived>&) { return this->wheelTotal() == -2; }, std::chrono::seconds(10));
    EXPECT_EQ(this->wheelTotal(), -2);
    for (const Arrived& a : only(this->rig->arrived(), isWheel)) EXPECT_NE(a.notches, 0);
}

TYPED_TEST_P(SinkBehaviour, AReleaseLetsGoOfHeldKeysAndButtons) {
    this->key(56, true);  // left Shift
    this->button(2, true, 0.5, 0.5);
    this->control(makeReleaseInput(++this->sequence));
    const auto keys = this->expectArrivals(isKey, 2);
    const auto buttons = this->expectArrivals(isButton, 2);
    EXPECT_EQ(keys, (std::vector<Arrived>{Arrived::keyDown({42, false}), Arrived::keyUp({42, false})}));
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[1].kind, Arrived::Kind::ButtonUp);
    EXPECT_EQ(buttons[1].button, 2);
}

TYPED_TEST_P(SinkBehaviour, SilenceReleasesThroughTheWatchdog) {
    this->key(59, true);  // left Ctrl
    this->expectArrivals(isKey, 1);
    this->clock.advanceMs(750);  // no tick, no message: only the watchdog acts
    const auto keys = this->expectArrivals(isKey, 2);
    EXPECT_EQ(keys, (std::vector<Arrived>{Arrived::keyDown({29, false}), Arrived::keyUp({29, false})}));
    EXPECT_TRUE(this->injector->heldKeys().empty());
}

REGISTER_TYPED_TEST_SUITE_P(SinkBehaviour, TheVirtualDesktopIsTheWholeScreen, KeysArriveAsThePhysicalKeysTheyName,
                            TextArrivesCharacterByCharacter, ClicksAtThePicturesCornersLandOnTheDesktopsCorners,
                            WheelTurnsWholeNotchesBothWays, AReleaseLetsGoOfHeldKeysAndButtons,
                            SilenceReleasesThroughTheWatchdog);

}  // namespace murel::test
