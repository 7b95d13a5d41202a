// Host input on a private Xvfb: the injector drives the XTest sink and a window of another X
// client, covering the whole screen and holding the keyboard focus, reports what arrived.

#include "SinkBehaviour.hpp"
#include "XReader.hpp"
#include "XTestInputSink.hpp"
#include "XvfbDisplay.hpp"

namespace murel::test {
namespace {

XvfbDisplay& sharedDisplay() {
    static XvfbDisplay display(1024, 768);
    return display;
}

class XTestRig final : public InputRig {
public:
    XTestRig()
        : reader_(sharedDisplay().name(), sharedDisplay().width(), sharedDisplay().height()),
          sink_(std::make_shared<XTestInputSink>(sharedDisplay().name())) {}

    std::shared_ptr<InputSink> sink() override { return sink_; }
    DesktopRect screen() override {
        return {0, 0, static_cast<double>(sharedDisplay().width()), static_cast<double>(sharedDisplay().height())};
    }
    bool waitUntil(const std::function<bool(const std::vector<Arrived>&)>& enough,
                   std::chrono::milliseconds timeout) override {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!enough(arrived_)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            reader_.read(arrived_, std::min(left, std::chrono::milliseconds(50)));
        }
        return true;
    }
    const std::vector<Arrived>& arrived() const override { return arrived_; }

    XReader& reader() { return reader_; }
    std::shared_ptr<XTestInputSink>& xtest() { return sink_; }

private:
    XReader reader_;
    std::shared_ptr<XTestInputSink> sink_;
    std::vector<Arrived> arrived_;
};

struct XTestBackend {
    static std::unique_ptr<InputRig> makeRig() { return std::make_unique<XTestRig>(); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(XTest, SinkBehaviour, XTestBackend);

TEST(XTestInputSink, TypingLeavesTheKeymapAsItFoundIt) {
    XTestRig rig;
    const auto before = rig.reader().keycodesWithSymbols();
    ASSERT_GT(rig.xtest()->spareKeycodes(), 8u);
    for (const char32_t c : std::u32string(U"\u00e9\u00df\uac00x")) ASSERT_TRUE(rig.sink()->character(c));
    // Once they have arrived the server has made every change the sink asked for.
    ASSERT_TRUE(rig.waitUntil([](const std::vector<Arrived>& all) { return only(all, isCharacter).size() >= 4; },
                              std::chrono::seconds(10)));
    EXPECT_EQ(rig.reader().keycodesWithSymbols().size(), before.size() + 4);
    rig.xtest().reset();
    EXPECT_EQ(rig.reader().keycodesWithSymbols(), before);
}

TEST(XTestInputSink, MoreDistinctCharactersThanSpareKeycodesStillArriveInOrder) {
    XTestRig rig;
    // Read as they come, as a desktop does: a keycode is only given a new character after the
    // reader has seen the old one.
    const std::size_t count = rig.xtest()->spareKeycodes() + 20;
    std::u32string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char32_t>(0xAC00 + i);
    for (const char32_t c : text) {
        ASSERT_TRUE(rig.sink()->character(c));
        const std::size_t typed = only(rig.arrived(), isCharacter).size() + 1;
        ASSERT_TRUE(rig.waitUntil([&](const std::vector<Arrived>& all) { return only(all, isCharacter).size() >= typed; },
                                  std::chrono::seconds(10)));
    }
    std::u32string arrived;
    for (const Arrived& a : only(rig.arrived(), isCharacter)) arrived += a.character;
    EXPECT_TRUE(arrived == text);
}

TEST(XTestInputSink, ALineBreakTypesReturnOnceForCarriageReturnLineFeed) {
    XTestRig rig;
    for (const char32_t c : std::u32string(U"a\r\nb\nc\r")) ASSERT_TRUE(rig.sink()->character(c));
    rig.waitUntil([](const std::vector<Arrived>& all) { return only(all, isCharacter).size() >= 6; },
                  std::chrono::seconds(10));
    std::u32string arrived;
    for (const Arrived& a : only(rig.arrived(), isCharacter)) arrived += a.character;
    EXPECT_TRUE(arrived == U"a\nb\nc\n");
}

TEST(XTestInputSink, RefusesWhatItCannotInject) {
    XTestRig rig;
    EXPECT_FALSE(rig.sink()->key({0x54, false}, true));  // Alt+SysRq's code: no evdev key
    EXPECT_FALSE(rig.sink()->key({0x30, true}, true));   // no extended key there
    EXPECT_FALSE(rig.sink()->character(0xD800));
    EXPECT_FALSE(rig.sink()->button(static_cast<MouseButton>(7), true));
    EXPECT_THROW(XTestInputSink("\x01not-a-display"), ProtocolError);
}

}  // namespace
}  // namespace murel::test
