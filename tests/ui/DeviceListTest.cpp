// Device rows, the connect rule and the card list's scrolling.
#include <gtest/gtest.h>

#include "ui/DeviceList.hpp"
#include "ui/UiText.hpp"

namespace murel::ui {
namespace {

app::Status listed() {
    app::Status s = initialStatus();
    s.signedIn = true;
    s.online = true;
    s.deviceId = "me";
    s.hosts = {
        HostInfo{"me", "This one", "windows", true, false, false, "Hosting is off"},
        HostInfo{"mac", "Studio & Co", "macos", true, true, false, "Ready"},
        HostInfo{"lin", "Lab", "linux", true, true, true, "In a session"},
        HostInfo{"off", "Old laptop", "windows", false, true, false, "Last seen yesterday"},
        HostInfo{"cold", "Tower", "windows", true, false, false, "Capture unavailable"},
    };
    return s;
}

TEST(DeviceList, RowTexts) {
    const auto rows = deviceRows(listed());
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].state, "호스트 꺼짐 · Windows · 이 기기");
    EXPECT_TRUE(rows[0].thisDevice);
    EXPECT_EQ(rows[0].buttonLabel, "이 기기");
    EXPECT_EQ(rows[0].detail, "Hosting is off");

    // Names keep their ampersand; the window text names the device.
    EXPECT_EQ(rows[1].name, "Studio & Co");
    EXPECT_EQ(rows[1].state, "연결 가능 · macOS");
    EXPECT_EQ(rows[1].buttonText, "Studio & Co에 연결");
    EXPECT_EQ(rows[1].buttonLabel, "연결");
    EXPECT_FALSE(rows[1].thisDevice);

    EXPECT_EQ(rows[2].state, "사용 중");  // no suffix for other platforms
    EXPECT_EQ(rows[3].state, "오프라인 · Windows");
    EXPECT_EQ(rows[3].detail, "");  // the reason is shown only while online
    EXPECT_EQ(rows[4].state, "호스트 꺼짐 · Windows");
}

TEST(DeviceList, ConnectRule) {
    app::Status s = listed();
    PanelState state;
    // Only the ready, idle, online host that is not this PC.
    EXPECT_FALSE(mayConnect(s, state, 0));
    EXPECT_TRUE(mayConnect(s, state, 1));
    EXPECT_FALSE(mayConnect(s, state, 2));
    EXPECT_FALSE(mayConnect(s, state, 3));
    EXPECT_FALSE(mayConnect(s, state, 4));
    EXPECT_FALSE(mayConnect(s, state, 5));  // not a row

    auto with = [&](auto change) {
        app::Status t = s;
        PanelState p;
        change(t, p);
        return mayConnect(t, p, 1);
    };
    EXPECT_FALSE(with([](app::Status& t, PanelState&) { t.online = false; }));
    EXPECT_FALSE(with([](app::Status& t, PanelState&) { t.sessionActive = true; }));
    EXPECT_FALSE(with([](app::Status& t, PanelState&) { t.reservationPending = true; }));
    EXPECT_FALSE(with([](app::Status& t, PanelState&) { t.busy = true; }));
    EXPECT_FALSE(with([](app::Status&, PanelState& p) { p.commandInFlight = true; }));
    EXPECT_FALSE(with([](app::Status&, PanelState& p) { p.closing = true; }));
    EXPECT_TRUE(with([](app::Status&, PanelState&) {}));
}

TEST(DeviceList, TwentyRowsInAFiveHundredUnitList) {
    EXPECT_EQ(maxScroll(20, 500), 1740);
    EXPECT_EQ(clampScroll(-5, 20, 500), 0);
    EXPECT_EQ(clampScroll(5000, 20, 500), 1740);
    EXPECT_EQ(scrollBar(20, 500, 9999), (ScrollBar{0, 2239, 500, 1740}));
    // One wheel notch is 72 units; towards the user scrolls down.
    EXPECT_EQ(wheelTarget(100, -120), 172);
    EXPECT_EQ(wheelTarget(100, 120), 28);
    EXPECT_EQ(wheelTarget(0, -60), 36);
    // Tabbing to the last button scrolls its card into view, the first one back.
    EXPECT_EQ(revealRow(19, 0, 500), 19 * 112 + 104 - 500);
    EXPECT_EQ(revealRow(0, 1740, 500), 0);
    EXPECT_EQ(revealRow(3, 0, 500), std::nullopt);
    EXPECT_EQ(revealRow(4, 0, 500), 4 * 112 + 104 - 500);  // ends at 552, below the view

    EXPECT_EQ(scrollRequestTarget(ScrollRequest::LineDown, 100, 500, 0, 1740), 132);
    EXPECT_EQ(scrollRequestTarget(ScrollRequest::LineUp, 100, 500, 0, 1740), 68);
    EXPECT_EQ(scrollRequestTarget(ScrollRequest::PageDown, 100, 500, 0, 1740), 600);
    EXPECT_EQ(scrollRequestTarget(ScrollRequest::PageUp, 100, 500, 0, 1740), -400);
    EXPECT_EQ(scrollRequestTarget(ScrollRequest::Track, 100, 500, 777, 1740), 777);
    EXPECT_EQ(scrollRequestTarget(ScrollRequest::Top, 100, 500, 0, 1740), 0);
    EXPECT_EQ(scrollRequestTarget(ScrollRequest::Bottom, 100, 500, 0, 1740), 1740);
}

TEST(DeviceList, ShortListsDoNotScroll) {
    EXPECT_EQ(maxScroll(0, 500), 0);
    EXPECT_EQ(maxScroll(4, 500), 0);
    EXPECT_EQ(scrollBar(0, 500, 40), (ScrollBar{0, 0, 1, 0}));
    EXPECT_EQ(scrollBar(2, 500, 40), (ScrollBar{0, 223, 224, 0}));
}

TEST(DeviceList, RowAndEmptyListGeometry) {
    const RowRects r = rowRects(2, 100, 811);
    EXPECT_EQ(r.card, (Rect{0, 124, 811, 104}));
    EXPECT_EQ(r.name, (Rect{88, 140, 589, 28}));
    EXPECT_EQ(r.state, (Rect{88, 172, 589, 20}));
    EXPECT_EQ(r.detail, (Rect{88, 198, 699, 18}));
    EXPECT_EQ(r.button, (Rect{701, 152, 92, 38}));
    EXPECT_EQ(r.iconTile, (Rect{18, 148, 52, 52}));
    EXPECT_EQ(rowRects(0, 0, 100).name.w, 1);  // narrow lists keep labels at least one unit wide

    EmptyListRects e = emptyListRects(811, 559);
    EXPECT_EQ(e.glyph, (Rect{379, 185, 52, 52}));
    EXPECT_EQ(e.title, (Rect{16, 257, 779, 32}));
    EXPECT_EQ(e.body, (Rect{20, 303, 771, 60}));
    e = emptyListRects(811, 240);
    EXPECT_EQ(e.glyph.y, 28);
}

}  // namespace
}  // namespace murel::ui
