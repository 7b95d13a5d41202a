#pragma once
// The device list as rows of text, the connect rule, and the scroll arithmetic of its cards.
// Positions and sizes are 96-dpi units.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "app/Status.hpp"
#include "ui/AccountPanel.hpp"
#include "ui/Geometry.hpp"

namespace murel::ui {

inline constexpr int kRowPitch = 112;   // one card and the gap below it
inline constexpr int kCardHeight = 104;
inline constexpr int kScrollLine = 32;
inline constexpr int kWheelNotchPixels = 72;

struct DeviceRow {
    std::string hostId;
    std::string name;
    std::string state;       // state, platform suffix and " · 이 기기" for this PC
    std::string detail;      // the host's reason while online
    std::string buttonText;  // the connect button's window text: name + "에 연결"
    std::string buttonLabel; // what the button shows: "연결", or "이 기기"
    bool thisDevice = false;
};

std::vector<DeviceRow> deviceRows(const app::Status& status);

// Whether row i may be connected to now (also the enabled rule of its button).
bool mayConnect(const app::Status& status, const PanelState& state, std::size_t row);

// The largest scroll position for the rows in a list `clientHeight` high.
int maxScroll(std::size_t rows, int clientHeight);
int clampScroll(int position, std::size_t rows, int clientHeight);

struct ScrollBar {
    int min = 0;
    int max = 0;
    int page = 0;
    int pos = 0;
    bool operator==(const ScrollBar&) const = default;
};
// The scroll bar for a (clamped) position.
ScrollBar scrollBar(std::size_t rows, int clientHeight, int position);

enum class ScrollRequest { LineUp, LineDown, PageUp, PageDown, Track, Top, Bottom };
// The position a scroll-bar request asks for (clamped by the caller).
int scrollRequestTarget(ScrollRequest request, int position, int page, int trackPosition, int maximum);
// One notch (120) moves 72 units; positive deltas scroll up.
int wheelTarget(int position, int wheelDelta);

// The position that makes card `row` fully visible, or nothing when it already is.
std::optional<int> revealRow(std::size_t row, int position, int clientHeight);

struct RowRects {
    Rect card;
    Rect iconTile;
    Rect glyph;
    Rect name;
    Rect state;
    Rect detail;
    Rect button;
};
RowRects rowRects(std::size_t row, int position, int listWidth);

struct EmptyListRects {
    Rect glyph;
    Rect title;
    Rect body;
};
EmptyListRects emptyListRects(int listWidth, int clientHeight);

}  // namespace murel::ui
