// Feeds arbitrary datagrams to the RTCP compound reader; what reads must write back and read the
// same. Also drives the RTCP consumers of the media chains (NACK responder, PLI handler,
// receiving session) with it.
#include "rtc/PliHandler.hpp"
#include "rtc/Rtcp.hpp"
#include "rtc/RtcpNackResponder.hpp"
#include "rtc/RtcpReceivingSession.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace rtc;

namespace {

template <typename T>
void roundTrip(const T& packet) {
    binary bytes;
    rtcp::write(bytes, packet);
    auto again = rtcp::parse(bytes);
    if (!again || again->size() != 1) std::abort();
    const auto* back = std::get_if<T>(&again->front());
    if (!back) std::abort();
    if constexpr (std::is_same_v<T, rtcp::Nack>) {
        auto a = packet.lost, b = back->lost;
        std::sort(a.begin(), a.end());
        a.erase(std::unique(a.begin(), a.end()), a.end());
        std::sort(b.begin(), b.end());
        b.erase(std::unique(b.begin(), b.end()), b.end());
        if (a != b || back->mediaSsrc != packet.mediaSsrc) std::abort();
    } else {
        if (!(*back == packet)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
    const bool valid = rtcp::isValidCompound(input);
    const auto packets = rtcp::parse(input);
    if (packets && !valid) std::abort();
    if (packets) {
        for (const auto& p : *packets) {
            std::visit(
                [](const auto& packet) {
                    using T = std::decay_t<decltype(packet)>;
                    if constexpr (std::is_same_v<T, rtcp::Other>) {
                        if (packet.body.size() % 4 == 0) roundTrip(packet);
                    } else {
                        roundTrip(packet);
                    }
                },
                p);
        }
    }

    static auto responder = std::make_shared<RtcpNackResponder>(64);
    static auto pli = std::make_shared<PliHandler>([] {});
    static auto session = [] {
        auto s = std::make_shared<RtcpReceivingSession>(5, "fuzz", 90000, std::chrono::milliseconds(0));
        s->setNackEnabled(true, std::chrono::milliseconds(0));
        return s;
    }();
    std::size_t sent = 0;
    const message_callback send = [&](message_ptr m) {
        if (!m) std::abort();
        ++sent;
    };
    message_vector messages{make_message(binary(input.begin(), input.end()), Message::Control)};
    pli->incoming(messages, send);
    responder->incoming(messages, send);
    session->incoming(messages, send);
    if (messages.size() != 1) std::abort();
    return 0;
}
