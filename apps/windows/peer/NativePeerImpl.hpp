#pragma once
// NativePeer's state. Private to the peer (and its tests); everything but the mailbox is touched
// by the owning thread only.

#include <cstdint>
#include <memory>

#include "peer/IceServerList.hpp"
#include "peer/Mailbox.hpp"
#include "peer/NativePeer.hpp"
#include "peer/PeerTypes.hpp"
#include "rtc/PeerConnection.hpp"

namespace murel {

struct NativePeer::Impl {
    PeerOptions options;  // wake has moved on into the mailbox
    IceCounters ice;
    std::shared_ptr<Mailbox> mailbox;  // the only strong reference
    std::shared_ptr<rtc::PeerConnection> connection;
    std::shared_ptr<rtc::Track> track;
    std::int64_t lastKeyframeRequest = 0;  // steady clock, nanoseconds
    bool closed = false;
    // The track refused a frame: units without an IDR picture are held back until one with it.
    bool holdUntilIdr = false;

    void receiveVideo(const rtc::Description& offer);
    bool sendKeyframeRequest();
};

}  // namespace murel
