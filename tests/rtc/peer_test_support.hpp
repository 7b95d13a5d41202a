#pragma once
// Two PeerConnections in one process over loopback, with the signaling between them done by the
// test: automatically (descriptions and candidates forwarded as they appear, optionally edited) or
// by hand.

#include "rtc/rtc.hpp"

#include "dtls_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rtc::test {

using namespace std::chrono_literals;
using impl::test::Recorder;

inline Configuration loopbackConfig(std::optional<size_t> maxMessageSize = std::nullopt) {
    Configuration config;
    config.bindAddress = "127.0.0.1";
    config.maxMessageSize = maxMessageSize;
    return config;
}

// What one connection reported. Callbacks keep it alive through a shared_ptr, never the test.
struct Events {
    Recorder<PeerConnection::State> states;
    Recorder<PeerConnection::GatheringState> gathering;
    Recorder<Description> descriptions;
    Recorder<Candidate> candidates;
    Recorder<std::shared_ptr<DataChannel>> channels;
    Recorder<std::shared_ptr<Track>> tracks;

    bool waitState(PeerConnection::State state, std::chrono::milliseconds timeout = 20s) {
        return states.waitFor(
            [state](const auto& all) { return std::find(all.begin(), all.end(), state) != all.end(); },
            timeout);
    }
    bool sawState(PeerConnection::State state) {
        auto all = states.snapshot();
        return std::find(all.begin(), all.end(), state) != all.end();
    }
};

struct Side {
    std::shared_ptr<PeerConnection> pc;
    std::shared_ptr<Events> events = std::make_shared<Events>();
};

// Edits an SDP text on its way to the other side.
using SdpFilter = std::function<std::string(const std::string&)>;

// Registers the recording callbacks; with `peer`, also forwards descriptions (answering offers) and
// candidates to it.
inline void wire(Side& side, const std::shared_ptr<PeerConnection>& peer, SdpFilter filter = nullptr) {
    auto events = side.events;
    std::weak_ptr<PeerConnection> weakPeer = peer;
    side.pc->onStateChange([events](PeerConnection::State s) { events->states.record(s); });
    side.pc->onGatheringStateChange([events](PeerConnection::GatheringState s) { events->gathering.record(s); });
    side.pc->onDataChannel([events](std::shared_ptr<DataChannel> c) { events->channels.record(std::move(c)); });
    side.pc->onTrack([events](std::shared_ptr<Track> t) { events->tracks.record(std::move(t)); });
    side.pc->onLocalDescription([events, weakPeer, filter](Description d) {
        events->descriptions.record(d);
        auto other = weakPeer.lock();
        if (!other)
            return;
        std::string text = d.generateSdp();
        if (filter)
            text = filter(text);
        try {
            other->setRemoteDescription(Description(text, d.typeString()));
            if (d.type() == Description::Type::Offer)
                other->setLocalDescription(Description::Type::Answer);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "signaling failed: " << e.what();
        }
    });
    side.pc->onLocalCandidate([events, weakPeer](Candidate c) {
        events->candidates.record(c);
        if (auto other = weakPeer.lock()) {
            try {
                other->addRemoteCandidate(c);
            } catch (const std::exception&) {
                // the other side closed meanwhile
            }
        }
    });
}

struct PeerPair {
    Side offerer, answerer;

    explicit PeerPair(Configuration offererConfig = loopbackConfig(),
                      Configuration answererConfig = loopbackConfig(), bool forward = true,
                      SdpFilter offerFilter = nullptr, SdpFilter answerFilter = nullptr) {
        offerer.pc = std::make_shared<PeerConnection>(offererConfig);
        answerer.pc = std::make_shared<PeerConnection>(answererConfig);
        wire(offerer, forward ? answerer.pc : nullptr, offerFilter);
        wire(answerer, forward ? offerer.pc : nullptr, answerFilter);
    }

    void offer() { offerer.pc->setLocalDescription(Description::Type::Offer); }

    bool waitConnected(std::chrono::milliseconds timeout = 20s) {
        return offerer.events->waitState(PeerConnection::State::Connected, timeout) &&
               answerer.events->waitState(PeerConnection::State::Connected, timeout);
    }

    ~PeerPair() {
        for (auto* side : {&offerer, &answerer})
            if (side->pc)
                side->pc->resetCallbacks();
        offerer.pc.reset();
        answerer.pc.reset();
    }
};

// Collects one public channel's events.
struct ChannelEvents {
    Recorder<message_variant> messages;
    Recorder<int> opened, closed;
    Recorder<std::string> errors;

    static std::shared_ptr<ChannelEvents> attach(const std::shared_ptr<DataChannel>& channel) {
        auto events = std::make_shared<ChannelEvents>();
        channel->onOpen([events] { events->opened.record(1); });
        channel->onClosed([events] { events->closed.record(1); });
        channel->onError([events](std::string e) { events->errors.record(std::move(e)); });
        channel->onMessage([events](message_variant m) { events->messages.record(std::move(m)); });
        return events;
    }
};

inline binary pattern(size_t size, unsigned seed) {
    binary out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::byte>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return out;
}

inline std::map<std::string, std::shared_ptr<DataChannel>> byLabel(
    const std::vector<std::shared_ptr<DataChannel>>& channels) {
    std::map<std::string, std::shared_ptr<DataChannel>> out;
    for (auto& c : channels)
        out[c->label()] = c;
    return out;
}

// Runs `work` on its own thread and reports whether it finished in time (a deadlock does not).
inline bool finishes(std::function<void()> work, std::chrono::milliseconds timeout = 30s) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    return future.wait_for(timeout) == std::future_status::ready;
}

} // namespace rtc::test
