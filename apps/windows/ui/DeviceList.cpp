#include "ui/DeviceList.hpp"

#include <algorithm>

#include "ui/UiText.hpp"

namespace murel::ui {

std::vector<DeviceRow> deviceRows(const app::Status& status) {
    std::vector<DeviceRow> rows;
    rows.reserve(status.hosts.size());
    for (const HostInfo& host : status.hosts) {
        DeviceRow row;
        row.hostId = host.id;
        row.name = host.name;
        row.thisDevice = !status.deviceId.empty() && host.id == status.deviceId;
        row.state = std::string(!host.online ? text::kStateOffline
                                : host.busy  ? text::kStateBusy
                                : host.ready ? text::kStateReady
                                             : text::kStateHostOff);
        if (host.platform == "macos") {
            row.state += text::kSuffixMac;
        } else if (host.platform == "windows") {
            row.state += text::kSuffixWindows;
        }
        if (row.thisDevice) row.state += text::kSuffixThisDevice;
        row.detail = host.online ? host.reason : std::string();
        row.buttonText = host.name + std::string(text::kConnectTo);
        row.buttonLabel = std::string(row.thisDevice ? text::kThisDevice : text::kConnect);
        rows.push_back(std::move(row));
    }
    return rows;
}

bool mayConnect(const app::Status& status, const PanelState& state, std::size_t row) {
    if (row >= status.hosts.size()) return false;
    if (state.closing || commandBlocked(state, status) || !status.online || status.sessionActive) return false;
    const HostInfo& host = status.hosts[row];
    return host.online && host.ready && !host.busy && host.id != status.deviceId;
}

int maxScroll(std::size_t rows, int clientHeight) {
    const long long content = static_cast<long long>(kRowPitch) * static_cast<long long>(rows);
    return static_cast<int>(std::max<long long>(0, content - clientHeight));
}

int clampScroll(int position, std::size_t rows, int clientHeight) {
    return std::clamp(position, 0, maxScroll(rows, clientHeight));
}

ScrollBar scrollBar(std::size_t rows, int clientHeight, int position) {
    const int content = kRowPitch * static_cast<int>(rows);
    ScrollBar bar;
    bar.min = 0;
    bar.max = std::max(content - 1, 0);
    bar.page = std::min(std::max(content, 1), std::max(clientHeight, 0));
    bar.pos = clampScroll(position, rows, clientHeight);
    return bar;
}

int scrollRequestTarget(ScrollRequest request, int position, int page, int trackPosition, int maximum) {
    switch (request) {
    case ScrollRequest::LineUp: return position - kScrollLine;
    case ScrollRequest::LineDown: return position + kScrollLine;
    case ScrollRequest::PageUp: return position - page;
    case ScrollRequest::PageDown: return position + page;
    case ScrollRequest::Track: return trackPosition;
    case ScrollRequest::Top: return 0;
    case ScrollRequest::Bottom: return maximum;
    }
    return position;
}

int wheelTarget(int position, int wheelDelta) { return position - wheelDelta * kWheelNotchPixels / 120; }

std::optional<int> revealRow(std::size_t row, int position, int clientHeight) {
    const int top = kRowPitch * static_cast<int>(row);
    if (top < position) return top;
    if (top + kCardHeight > position + clientHeight) return top + kCardHeight - clientHeight;
    return std::nullopt;
}

RowRects rowRects(std::size_t row, int position, int listWidth) {
    const int Y = kRowPitch * static_cast<int>(row) - position;
    const int Wl = listWidth;
    RowRects r;
    r.card = {0, Y, Wl, kCardHeight};
    r.iconTile = {18, Y + 24, 52, 52};
    r.glyph = {25, Y + 31, 38, 38};
    r.name = {88, Y + 16, std::max(Wl - 222, 1), 28};
    r.state = {88, Y + 48, std::max(Wl - 222, 1), 20};
    r.detail = {88, Y + 74, std::max(Wl - 112, 1), 18};
    r.button = {Wl - 110, Y + 28, 92, 38};
    return r;
}

EmptyListRects emptyListRects(int listWidth, int clientHeight) {
    const int half = clientHeight / 2;
    const int G = half < 123 ? 28 : half - 94;
    EmptyListRects r;
    r.glyph = {listWidth / 2 - 26, G, 52, 52};
    r.title = {16, G + 72, listWidth - 32, 32};
    r.body = {20, G + 118, listWidth - 40, 60};
    return r;
}

}  // namespace murel::ui
