#include "rtc/PliHandler.hpp"

#include "rtc/Rtcp.hpp"

namespace rtc {

namespace {
constexpr std::size_t kMaxFirSources = 64;
}

PliHandler::PliHandler(std::function<void()> onPli) : mOnPli(std::move(onPli)) {}

void PliHandler::incoming(message_vector& messages, const message_callback&) {
    bool requested = false;
    for (const auto& m : messages) {
        if (!m || m->type != Message::Control) continue;
        const auto packets = rtcp::parse(*m);
        if (!packets) continue;
        for (const auto& p : *packets) {
            if (std::holds_alternative<rtcp::PictureLossIndication>(p)) {
                requested = true;
            } else if (const auto* fir = std::get_if<rtcp::FullIntraRequest>(&p)) {
                std::lock_guard lock(mMutex);
                for (const auto& entry : fir->entries) {
                    auto it = mLastFir.find(entry.ssrc);
                    if (it != mLastFir.end() && it->second == entry.sequenceNumber) continue;
                    if (it == mLastFir.end() && mLastFir.size() >= kMaxFirSources) mLastFir.clear();
                    mLastFir[entry.ssrc] = entry.sequenceNumber;
                    requested = true;
                }
            }
        }
    }
    if (requested && mOnPli) mOnPli();
}

}  // namespace rtc
