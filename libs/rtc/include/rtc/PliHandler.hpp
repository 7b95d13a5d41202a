#pragma once
// Calls its callback when the receiver asks for a keyframe: a picture loss indication (RFC 4585
// section 6.3.1) or a full intra request (RFC 5104 section 4.3.1). A FIR repeating the sequence
// number of the previous FIR for the same SSRC is a retransmission of that request and is not
// reported again. The callback runs on the receiving thread, at most once per incoming batch.

#include "rtc/MediaHandler.hpp"

#include <functional>
#include <map>
#include <mutex>

namespace rtc {

class PliHandler final : public MediaHandler {
public:
    explicit PliHandler(std::function<void()> onPli);

    void incoming(message_vector& messages, const message_callback& send) override;

private:
    const std::function<void()> mOnPli;
    std::mutex mMutex;
    std::map<uint32_t, uint8_t> mLastFir;  // per media SSRC, bounded by what the FIRs name
};

}  // namespace rtc
