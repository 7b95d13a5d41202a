// DCEP parsing must never crash or read out of bounds, and whatever it accepts must serialise
// back to exactly the bytes it came from (the format has one encoding per message).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sctp/Dcep.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const rtc::impl::ByteSpan bytes(reinterpret_cast<const std::byte*>(data), size);
    auto message = rtc::impl::DcepMessage::parse(bytes);
    if (!message)
        return 0;
    const std::vector<std::byte> again = message->serialize();
    if (again.size() != size || !std::equal(again.begin(), again.end(), bytes.begin()))
        std::abort();
    // The reliability read from the message must describe the same channel type.
    auto reopened = rtc::impl::DcepMessage::open(message->label, message->protocol,
                                                 message->reliability(), message->priority);
    if (message->type == rtc::impl::DcepMessage::Type::Open &&
        (reopened.channelType != message->channelType ||
         ((message->channelType & 0x7F) != 0 &&
          reopened.reliabilityParameter != message->reliabilityParameter)))
        std::abort();
    return 0;
}
