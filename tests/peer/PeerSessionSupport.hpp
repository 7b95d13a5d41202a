#pragma once
// Two NativePeers of one session in one process: their wake-ups, the events their drains return,
// the H.264 clip the tests send, and a handler that loses chosen packets on the way out.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "peer/NativePeer.hpp"
#include "peer/NativePeerImpl.hpp"
#include "rtc/MediaHandler.hpp"
#include "rtc/NalUnit.hpp"
#include "rtc/RtpPacket.hpp"

namespace murel {

// The peer's own tests reach its connection through this.
struct NativePeerProbe {
    static NativePeer::Impl& impl(NativePeer& peer) { return *peer.impl_; }
};

namespace peertest {

using namespace std::chrono_literals;
inline constexpr auto kPatience = std::chrono::seconds(30);

// What PeerOptions::wake calls: counts and notifies. It can also hold the calling thread (the
// peer's receive path) until released, to stall a peer on purpose.
struct WakeState {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t count = 0;
    bool hold = false;
    std::shared_ptr<WakeState> also;  // woken as well (one waiter for two peers)

    void wake() {
        if (also) also->wake();
        std::unique_lock lock(mutex);
        ++count;
        changed.notify_all();
        changed.wait(lock, [this] { return !hold; });
    }
    std::uint64_t value() {
        std::lock_guard lock(mutex);
        return count;
    }
    void setHold(bool on) {
        std::lock_guard lock(mutex);
        hold = on;
        changed.notify_all();
    }
    // Waits until the count passes `seen` or the time-out ends; returns the count.
    std::uint64_t waitPast(std::uint64_t seen, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, timeout, [&] { return count > seen; });
        return count;
    }
    bool waitFor(std::uint64_t atLeast, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return count >= atLeast; });
    }
};

inline PeerOptions peerOptions(bool host, std::shared_ptr<WakeState> wake, std::string session = "session-1") {
    PeerOptions options;
    options.host = host;
    options.sessionId = std::move(session);
    options.bindAddress = "127.0.0.1";
    options.h264Level = host ? 42 : 52;
    options.bitrate = 20000000;
    options.wake = [wake] { wake->wake(); };
    return options;
}

// Runs `pump` until `done` holds or the time-out ends, waiting on `wake` (up to 20 ms at a time,
// so a drain also runs now and then without news: it paces the viewer's keyframe requests).
inline bool pumpUntil(const std::function<void()>& pump, WakeState& wake, const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::uint64_t seen = wake.value();
        pump();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        wake.waitPast(seen, 20ms);
    }
}

struct Side;
// Pumps until `side` has an event of `kind`; takes it.
std::optional<PeerEvent> pumpFor(const std::function<void()>& pump, Side& side, PeerEventKind kind,
                                 std::chrono::milliseconds timeout = kPatience);

struct Side {
    std::shared_ptr<WakeState> wake = std::make_shared<WakeState>();
    std::unique_ptr<NativePeer> peer;
    std::deque<PeerEvent> events;  // drained and not yet taken by the test
    bool draining = true;          // false: the test leaves this peer's mailbox alone
    std::size_t channelsOpen = 0;  // every ChannelsOpen ever drained

    void drain() {
        if (!peer || !draining) return;
        for (auto& e : peer->drain()) {
            if (e.kind == PeerEventKind::ChannelsOpen) ++channelsOpen;
            events.push_back(std::move(e));
        }
    }

    // Takes the first waiting event of that kind (the ones before it stay).
    std::optional<PeerEvent> take(PeerEventKind kind) {
        for (auto it = events.begin(); it != events.end(); ++it) {
            if (it->kind != kind) continue;
            PeerEvent e = std::move(*it);
            events.erase(it);
            return e;
        }
        return std::nullopt;
    }
    std::size_t count(PeerEventKind kind) const {
        return std::count_if(events.begin(), events.end(), [&](const PeerEvent& e) { return e.kind == kind; });
    }
};

inline std::optional<PeerEvent> pumpFor(const std::function<void()>& pump, Side& side, PeerEventKind kind,
                                        std::chrono::milliseconds timeout) {
    std::optional<PeerEvent> found;
    pumpUntil(pump, *side.wake, [&] { return (found = side.take(kind)).has_value(); }, timeout);
    return found;
}

// Host and viewer whose signals travel through a queue standing in for the service: every
// LocalSignal one drain returns is serialised, parsed back and applied to the other peer.
class LoopbackSession {
public:
    Side host, viewer;
    std::shared_ptr<WakeState> either = std::make_shared<WakeState>();

    explicit LoopbackSession(bool allowHevc = false) {
        host.wake->also = either;
        viewer.wake->also = either;
        host.peer = std::make_unique<NativePeer>(peerOptions(true, host.wake));
        auto options = peerOptions(false, viewer.wake);
        options.allowHevc = allowHevc;
        viewer.peer = std::make_unique<NativePeer>(std::move(options));
    }

    void start() { host.peer->createOffer(); }

    void pump() {
        for (Side* side : {&host, &viewer}) {
            side->drain();
            Side& other = side == &host ? viewer : host;
            for (auto it = side->events.begin(); it != side->events.end();) {
                if (it->kind != PeerEventKind::LocalSignal) {
                    ++it;
                    continue;
                }
                const Json wire = parseWire(toCompactJson(it->signal), kSignalingMessageLimit);
                it = side->events.erase(it);
                if (!other.peer) continue;
                try {
                    other.peer->applyRemoteSignal(wire);
                } catch (const std::exception& e) {
                    ADD_FAILURE() << "applying " << wire.value("type", "") << ": " << e.what();
                }
            }
        }
    }

    std::optional<PeerEvent> waitFor(Side& side, PeerEventKind kind, std::chrono::milliseconds timeout = kPatience) {
        std::optional<PeerEvent> found;
        pumpUntil([&] { return (found = side.take(kind)).has_value(); }, timeout);
        return found;
    }
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kPatience) {
        return peertest::pumpUntil([this] { pump(); }, *either, done, timeout);
    }

    bool connect() {
        start();
        return waitFor(host, PeerEventKind::Connected).has_value() &&
               waitFor(viewer, PeerEventKind::Connected).has_value() &&
               waitFor(host, PeerEventKind::ChannelsOpen).has_value() &&
               waitFor(viewer, PeerEventKind::ChannelsOpen).has_value();
    }
};

// Access units of the H.264 clip made for the tests (path in MUREL_PEER_CLIP): each unit is
// preceded by its size, 4 bytes big-endian.
inline std::vector<PeerBytes> readClip() {
    std::vector<PeerBytes> units;
    const char* path = std::getenv("MUREL_PEER_CLIP");
    if (!path) return units;
    std::ifstream in(path, std::ios::binary);
    unsigned char size[4];
    while (in.read(reinterpret_cast<char*>(size), 4)) {
        const std::uint32_t n = std::uint32_t(size[0]) << 24 | std::uint32_t(size[1]) << 16 |
                                std::uint32_t(size[2]) << 8 | size[3];
        PeerBytes unit(n);
        if (!in.read(reinterpret_cast<char*>(unit.data()), n)) break;
        units.push_back(std::move(unit));
    }
    return units;
}

// The unit as the viewer hands it on: the same NAL units, each after a 4-byte start code.
inline PeerBytes withLongStartCodes(const PeerBytes& unit) {
    PeerBytes out;
    for (auto nal : rtc::NalUnit::split(unit, rtc::NalUnit::Separator::StartSequence)) {
        out.insert(out.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

// Placed last in a sending chain: drops the RTP packets the test picks, as a lossy network would.
class PacketDropper final : public rtc::MediaHandler {
public:
    // Drops packet `index` (0-based) of the next frame with at least index + 1 packets.
    void dropInNextFrame(std::size_t index) {
        std::lock_guard lock(mutex_);
        armed_ = index;
    }
    std::size_t dropped() const {
        std::lock_guard lock(mutex_);
        return dropped_;
    }

    void outgoing(rtc::message_vector& messages, const rtc::message_callback&) override {
        std::lock_guard lock(mutex_);
        if (!armed_) return;
        std::vector<std::size_t> rtp;
        for (std::size_t i = 0; i < messages.size(); ++i)
            if (messages[i] && messages[i]->type == rtc::Message::Binary && !rtc::isRtcp(*messages[i])) rtp.push_back(i);
        if (rtp.size() <= *armed_) return;
        messages.erase(messages.begin() + std::ptrdiff_t(rtp[*armed_]));
        armed_.reset();
        ++dropped_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<std::size_t> armed_;
    std::size_t dropped_ = 0;
};

}  // namespace peertest
}  // namespace murel

namespace murel::peertest {

// A host built directly on the connection layer, so a test can offer our viewer what our own host
// never would (wrong channels, text messages, oversized messages). Its signals wait in an inbox
// that the test applies to the viewer on its own thread.
class RawHost {
public:
    std::shared_ptr<rtc::PeerConnection> pc;
    // Edits our viewer's answer before the raw host applies it.
    std::function<std::string(std::string)> answerFilter;

    RawHost() {
        rtc::Configuration config;
        config.bindAddress = "127.0.0.1";
        pc = std::make_shared<rtc::PeerConnection>(config);
        rtc::Description::Video video("video", rtc::Description::Direction::SendOnly);
        video.addH264Codec(102);
        video.addSSRC(5, "raw");
        pc->addTrack(video);
        auto inbox = inbox_;
        pc->onLocalDescription([inbox](rtc::Description d) {
            inbox->put(Json{{"type", d.typeString()}, {"session_id", "session-1"}, {"payload", {{"sdp", d.generateSdp()}}}});
        });
        pc->onLocalCandidate([inbox](rtc::Candidate c) {
            // The offer's media lines: the video track first, then the data application.
            inbox->put(Json{{"type", "ice"},
                            {"session_id", "session-1"},
                            {"payload", {{"candidate", c.candidate()}, {"mid", c.mid()}, {"line", c.mid() == "video" ? 0 : 1}}}});
        });
    }
    ~RawHost() {
        pc->resetCallbacks();
        pc->close();
    }

    // Applies what the raw host signalled to `viewer`, and what the viewer signalled to the raw host.
    void exchange(Side& viewer) {
        for (auto& signal : inbox_->takeAll()) {
            try {
                viewer.peer->applyRemoteSignal(signal);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "viewer applying " << signal.value("type", "") << ": " << e.what();
            }
        }
        viewer.drain();
        for (auto it = viewer.events.begin(); it != viewer.events.end();) {
            if (it->kind != PeerEventKind::LocalSignal) {
                ++it;
                continue;
            }
            const Json signal = std::move(it->signal);
            it = viewer.events.erase(it);
            const Json& payload = signal["payload"];
            if (signal["type"] == "answer") {
                std::string sdp = payload["sdp"];
                if (answerFilter) sdp = answerFilter(sdp);
                pc->setRemoteDescription(rtc::Description(sdp, "answer"));
            } else {
                pc->addRemoteCandidate(rtc::Candidate(payload["candidate"].get<std::string>(), payload["mid"].get<std::string>()));
            }
        }
    }

    // Exchanges signals until `done` holds, or until the viewer has an event of `kind` (taken).
    bool waitUntil(Side& viewer, const std::function<bool()>& done, std::chrono::milliseconds timeout = kPatience) {
        return pumpUntil([&] { exchange(viewer); }, *viewer.wake, done, timeout);
    }
    std::optional<PeerEvent> waitFor(Side& viewer, PeerEventKind kind, std::chrono::milliseconds timeout = kPatience) {
        return pumpFor([&] { exchange(viewer); }, viewer, kind, timeout);
    }

private:
    struct Inbox {
        std::mutex mutex;
        std::vector<Json> signals;
        void put(Json signal) {
            std::lock_guard lock(mutex);
            signals.push_back(std::move(signal));
        }
        std::vector<Json> takeAll() {
            std::lock_guard lock(mutex);
            return std::exchange(signals, {});
        }
    };
    std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
};

}  // namespace murel::peertest
