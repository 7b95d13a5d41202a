// "stream.modes" messages: whatever parses must validate and round-trip, every offered mode must be
// requestable at exactly its ceiling and not above it. The first six bytes also drive the host side:
// modes built for any native size and rate are valid, sorted and never upscale.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/StreamSettings.hpp"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void exerciseParse(const murel::Json& value) {
    murel::StreamModes modes;
    try {
        modes = murel::parseStreamModes(value);
    } catch (const murel::ProtocolError&) {
        return;
    }
    murel::validateStreamModes(modes);  // must not throw
    const murel::Json written = murel::streamModesJson(modes);
    check(written == value);
    const std::string compact = murel::toCompactJson(written);
    check(compact.size() <= murel::kStreamMessageLimit);
    check(murel::parseStreamModes(murel::parseWire(compact, murel::kStreamMessageLimit)) == modes);
    for (const murel::StreamMode& mode : modes.modes) {
        murel::StreamConfiguration request;
        request.width = mode.width;
        request.height = mode.height;
        request.fps = mode.fps;
        request.maxBitrateBps = mode.maxBitrateBps;
        request.hasHeight = true;
        murel::checkOfferedMode(request, modes);  // must not throw
        if (mode.maxBitrateBps < 100000000) {
            ++request.maxBitrateBps;
            try {
                murel::checkOfferedMode(request, modes);
                std::abort();
            } catch (const murel::ProtocolError& error) {
                check(std::string(error.what()) == "Stream bitrate exceeds the offered mode ceiling");
            }
        }
    }
}

void exerciseBuild(const std::uint8_t* data) {
    // Covers 1..4097 and 0..241, one step past each limit.
    const int width = 1 + (data[0] | data[1] << 8) % 4097;
    const int height = 1 + (data[2] | data[3] << 8) % 4097;
    const int fps = (data[4] | data[5] << 8) % 242;
    const bool valid = width >= 2 && height >= 2 && fps >= 1 && fps <= 240 && width <= 4096 && height <= 4096;
    murel::StreamModes modes;
    try {
        modes = murel::buildStreamModes(width, height, fps);
    } catch (const murel::ProtocolError& error) {
        check(!valid && std::string(error.what()) == "Invalid stream settings");
        return;
    }
    check(valid);
    check(!modes.modes.empty() && modes.modes.size() <= murel::kMaxStreamModes);
    for (std::size_t i = 0; i < modes.modes.size(); ++i) {
        const auto& mode = modes.modes[i];
        check(mode.width <= width && mode.height <= height);
        if (i > 0) {
            const auto& before = modes.modes[i - 1];
            check(before.width < mode.width || (before.width == mode.width && before.height < mode.height) ||
                  (before.width == mode.width && before.height == mode.height && before.fps < mode.fps));
        }
    }
    check(murel::parseStreamModes(murel::streamModesJson(modes)) == modes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > murel::kStreamMessageLimit) return 0;
    if (size >= 6) exerciseBuild(data);
    const murel::Json value = murel::Json::parse(data, data + size, nullptr, false);
    if (value.is_discarded()) return 0;
    exerciseParse(value);
    return 0;
}
