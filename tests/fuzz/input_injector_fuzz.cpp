// The host's injector must survive any sequence of received messages: it never throws anything
// but ProtocolError, a throw always leaves input switched off, what it holds is always a mapped
// key or a real button, the scroll remainder stays below one unit, and every pointer position it
// injects is inside the absolute range. The first byte picks the monitor's place (inside or
// sticking out of the desktop) and which inputs the system refuses; each further line is one
// message, on the pointer channel when its length is odd.
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "input/InputInjector.hpp"
#include "input/RecordingInputSink.hpp"

namespace {

using murel::DesktopRect;
using murel::RecordedInput;

void check(bool condition) {
    if (!condition) std::abort();
}

std::atomic<std::int64_t> nowNs{1'000'000'000'000};

struct Rig {
    std::shared_ptr<murel::RecordingInputSink> sink =
        std::make_shared<murel::RecordingInputSink>(DesktopRect{-1280, 0, 3200, 1080});
    murel::InputInjector injector{sink, [] { return nowNs.load(); }};
};

Rig& rig() {
    static Rig instance;
    return instance;
}

void checkState(murel::InputInjector& injector, murel::RecordingInputSink& sink) {
    for (const int code : injector.heldKeys()) check(murel::scanKeyForCode(static_cast<std::uint64_t>(code)).has_value());
    for (const int button : injector.heldButtons()) check(button >= 0 && button <= 2);
    check(std::fabs(injector.scrollRemainder()) < 1.0);
    for (const RecordedInput& input : sink.take()) {
        if (input.kind == RecordedInput::Kind::Move) {
            check(input.x >= 0 && input.x <= murel::kAbsoluteCoordinateMax);
            check(input.y >= 0 && input.y <= murel::kAbsoluteCoordinateMax);
        }
        if (input.kind == RecordedInput::Kind::Character) {
            check(input.character <= 0x10FFFF && (input.character < 0xD800 || input.character > 0xDFFF));
        }
        if (input.kind == RecordedInput::Kind::Wheel) check(input.wheel != 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Rig& r = rig();
    const std::uint8_t mode = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

    r.sink->setRefusal(nullptr);
    const DesktopRect bounds = (mode & 1) ? DesktopRect{1000, 0, 1920, 1080}  // sticks out
                                          : DesktopRect{-1280, 56, 1280, 1024};
    try {
        r.injector.enable(bounds);
    } catch (const murel::ProtocolError&) {
        check(false);  // nothing is refused while enabling
    }
    switch ((mode >> 1) & 3) {
    case 1:
        r.sink->setRefusal([](const RecordedInput& input) { return !input.down; });
        break;
    case 2:
        r.sink->setRefusal([](const RecordedInput& input) { return input.kind == RecordedInput::Kind::Key; });
        break;
    default:
        break;
    }

    for (int count = 0; count < 16 && !rest.empty(); ++count) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        nowNs += static_cast<std::int64_t>(line.size() % 900) * 1'000'000;
        const int channel = line.size() % 2 ? murel::kPointerChannel : murel::kControlChannel;
        try {
            r.injector.apply(line, channel);
        } catch (const murel::ProtocolError&) {
            check(!r.injector.enabled());
        }
        try {
            r.injector.expire();
        } catch (const murel::ProtocolError&) {
        }
        checkState(r.injector, *r.sink);
    }
    // Whatever is still held can be let go once the system takes it again.
    r.sink->setRefusal(nullptr);
    r.injector.releaseAll();
    check(r.injector.heldKeys().empty() && r.injector.heldButtons().empty());
    r.sink->take();
    return 0;
}
