// Input validation must never crash or throw, a refusal must leave the receiver's state untouched,
// an acceptance must record exactly that message's sequence and time, and no message belongs to both
// channels. The input is a sequence of messages separated by newlines, checked in turn against one
// receiver with a clock that may run backwards.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "input/InputMessage.hpp"

namespace {

using murel::InputSequenceState;
using murel::Json;

void check(bool condition) {
    if (!condition) std::abort();
}

bool sameState(const InputSequenceState& a, const InputSequenceState& b) {
    return a.lastSequence == b.lastSequence && a.hasSequence == b.hasSequence &&
           a.lastAcceptedMs == b.lastAcceptedMs && a.hasAccepted == b.hasAccepted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputSequenceState state;
    std::int64_t now = 1000;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (int count = 0; count < 16 && !rest.empty(); ++count) {
        const std::size_t end = rest.find('\n');
        const std::string_view text = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        // Let the text steer the clock a little, backwards included.
        now += static_cast<std::int64_t>(text.size() % 1500) - 200;
        Json message;
        try {
            message = murel::parseWire(text, murel::kInputMessageLimit);
        } catch (const murel::ProtocolError&) {
            continue;
        }

        const InputSequenceState before = state;
        const bool timedOutBefore = murel::inputTimedOut(state, now);
        InputSequenceState probe = state;
        const bool onPointer = murel::validateInputMessage(probe, message, murel::kPointerChannel, now);
        probe = state;
        const bool onControl = murel::validateInputMessage(probe, message, murel::kControlChannel, now);
        check(!(onPointer && onControl));

        const int channel = onPointer ? murel::kPointerChannel : murel::kControlChannel;
        const bool accepted = murel::validateInputMessage(state, message, channel, now);
        check(accepted == (onPointer || onControl));
        if (!accepted) {
            check(sameState(state, before));
            check(murel::inputTimedOut(state, now) == timedOutBefore);
            continue;
        }
        const auto sequence = message.at("sequence").get<std::uint64_t>();
        const auto index = static_cast<std::size_t>(channel);
        check(state.hasSequence[index] && state.lastSequence[index] == sequence);
        check(!before.hasSequence[index] || sequence > before.lastSequence[index]);
        check(state.lastSequence[1 - index] == before.lastSequence[1 - index]);
        check(state.hasAccepted && state.lastAcceptedMs == now && !murel::inputTimedOut(state, now));
        // The same message again is a replay.
        InputSequenceState replay = state;
        check(!murel::validateInputMessage(replay, message, channel, now));
        // An accepted key code either maps to a scan code that maps back, or to nothing.
        if (message.at("kind") == "key") {
            const auto code = message.at("code").get<std::uint64_t>();
            if (const auto key = murel::scanKeyForCode(code)) {
                check(murel::keyCodeForScan(key->scanCode, key->extended) == static_cast<int>(code));
            }
        }
    }
    return 0;
}
