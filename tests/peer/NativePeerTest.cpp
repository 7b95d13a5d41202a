// Two NativePeers, a host and a viewer, in one process; their signals travel through a queue
// standing in for the service. Channels both ways and their limits, real H.264 units delivered
// intact, keyframe requests, a lost packet, congestion and overflow, and closing.

#include <gtest/gtest.h>

#include <thread>

#include "PeerSessionSupport.hpp"
#include "PeerTestSupport.hpp"
#include "peer/VideoAccessUnit.hpp"

namespace murel {
namespace {

using namespace peertest;
using K = PeerEventKind;

std::string constructionError(PeerOptions options) {
    try {
        NativePeer peer(std::move(options));
    } catch (const ProtocolError& e) {
        return e.what();
    }
    return "no error";
}

PeerBytes message(std::size_t size, int seed) {
    PeerBytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = std::byte((i * 7 + seed) & 0xFF);
    return out;
}

TEST(NativePeer, ConstructionChecksItsOptions) {
    auto wake = std::make_shared<WakeState>();
    auto options = [&] { return peerOptions(true, wake); };
    auto o = options();
    o.sessionId = "session.1";
    EXPECT_EQ(constructionError(o), "Invalid identifier");
    o = options();
    o.sessionId = "";
    EXPECT_EQ(constructionError(o), "Invalid identifier");
    o = options();
    o.h264Level = 40;
    EXPECT_EQ(constructionError(o), "Unsupported H.264 level");
    o = options();
    o.bitrate = 99999;
    EXPECT_EQ(constructionError(o), "Invalid peer stream bitrate");
    o = options();
    o.bitrate = 100000001;
    EXPECT_EQ(constructionError(o), "Invalid peer stream bitrate");
    o = options();
    o.iceServers = {IceServer{{"turn:relay.example.org"}, "", ""}};
    EXPECT_EQ(constructionError(o), "TURN requires device credentials");
    o = options();
    o.bitrate = 100000000;
    o.iceServers = {IceServer{{"stun:127.0.0.1:3478", "stuns:127.0.0.1"}, "", ""}};
    NativePeer peer(o);
    EXPECT_EQ(peer.iceCounters(), (IceCounters{2, 1, 0, 0, 1, 0}));
    EXPECT_EQ(wake->value(), 0u);
}

TEST(NativePeer, OnlyAnOpenHostOffers) {
    auto wake = std::make_shared<WakeState>();
    NativePeer viewer(peerOptions(false, wake));
    try {
        viewer.createOffer();
        ADD_FAILURE() << "a viewer made an offer";
    } catch (const ProtocolError& e) {
        EXPECT_STREQ(e.what(), "Only an active host creates offers");
    }
    NativePeer host(peerOptions(true, wake));
    EXPECT_FALSE(host.sendVideoFrame(h264Keyframe(), 0)) << "not connected yet";
    EXPECT_FALSE(host.sendInput(std::string_view("{}"), kControlChannel)) << "channel not open yet";
    EXPECT_FALSE(viewer.sendVideoFrame(h264Keyframe(), 0));
    EXPECT_EQ(viewer.requestKeyframe().kind, K::VideoLoss);
    host.close();
    EXPECT_THROW(host.createOffer(), ProtocolError);
    EXPECT_TRUE(host.drain().empty());
}

TEST(NativePeerSession, ChannelsOpenOnceAndCarryInputBothWays) {
    LoopbackSession session;
    ASSERT_TRUE(session.connect());
    EXPECT_EQ(session.host.channelsOpen, 1u);
    EXPECT_EQ(session.viewer.channelsOpen, 1u);
    // The viewer's codec choice came with the offer.
    auto codec = session.viewer.take(K::VideoCodec);
    ASSERT_TRUE(codec);
    EXPECT_EQ(codec->codec, kCodecH264);

    auto& viewer = *session.viewer.peer;
    auto& host = *session.host.peer;
    const PeerBytes full = message(4096, 1), empty;
    EXPECT_TRUE(viewer.sendInput(full, kControlChannel));
    EXPECT_TRUE(viewer.sendInput(empty, kControlChannel));
    EXPECT_FALSE(viewer.sendInput(message(4097, 2), kControlChannel));
    EXPECT_FALSE(viewer.sendInput(message(4097, 2), kPointerChannel));
    EXPECT_TRUE(viewer.sendInput(message(4096, 3), kPointerChannel));
    // Control messages keep their order; the unordered pointer message may come at any point.
    std::vector<PeerBytes> control, pointer;
    for (int i = 0; i < 3; ++i) {
        auto e = session.waitFor(session.host, K::ChannelMessage);
        ASSERT_TRUE(e);
        (e->channel == kPointerChannel ? pointer : control).push_back(e->bytes);
    }
    EXPECT_EQ(control, (std::vector<PeerBytes>{full, empty}));
    EXPECT_EQ(pointer, (std::vector<PeerBytes>{message(4096, 3)}));
    EXPECT_TRUE(host.sendInput(std::string_view(R"({"type":"stream.modes"})"), kControlChannel));
    auto toViewer = session.waitFor(session.viewer, K::ChannelMessage);
    ASSERT_TRUE(toViewer);
    EXPECT_EQ(toViewer->channel, kControlChannel);
    EXPECT_EQ(toViewer->bytes.size(), 23u);
    EXPECT_EQ(session.host.count(K::Failure) + session.viewer.count(K::Failure), 0u)
        << "refused sends leave no event";
    EXPECT_EQ(session.host.channelsOpen, 1u);
    EXPECT_EQ(session.viewer.channelsOpen, 1u);
}

TEST(NativePeerSession, H264UnitsArriveIntactAndInOrder) {
    const auto clip = readClip();
    ASSERT_GE(clip.size(), 20u) << "MUREL_PEER_CLIP names no clip";
    LoopbackSession session;
    ASSERT_TRUE(session.connect());
    auto& host = *session.host.peer;
    ASSERT_TRUE(isH264Keyframe(clip[0]));
    for (std::size_t i = 0; i < clip.size(); ++i) {
        const std::uint32_t timestamp = 90000u + std::uint32_t(i) * 1500u;
        ASSERT_TRUE(host.sendVideoFrame(clip[i], timestamp)) << i;
        auto frame = session.waitFor(session.viewer, K::VideoFrame);
        ASSERT_TRUE(frame) << "unit " << i << " did not arrive";
        EXPECT_EQ(frame->rtpTimestamp, timestamp);
        EXPECT_EQ(frame->bytes, withLongStartCodes(clip[i])) << "unit " << i;
    }
    // (A KeyframeRequest may have come: the viewer asks while its first keyframe is on the way.)
    EXPECT_EQ(session.viewer.count(K::VideoLoss), 0u);
    // The whole unit as a span of bytes, and the size bounds.
    EXPECT_TRUE(host.sendVideoFrame(asUint8(clip[1]), 1));
    EXPECT_FALSE(host.sendVideoFrame(PeerBytes{}, 2));
    EXPECT_FALSE(host.sendVideoFrame(PeerBytes(8388609), 3));
    EXPECT_TRUE(host.sendVideoFrame(PeerBytes(8388608), 4)) << "exactly the limit is sent";
}

TEST(NativePeerSession, KeyframeRequestsCoalesceOnTheHost) {
    LoopbackSession session;
    ASSERT_TRUE(session.connect());
    auto& host = *session.host.peer;
    auto& viewer = *session.viewer.peer;
    // The viewer's receiving session sends requests once it has seen the stream.
    ASSERT_TRUE(host.sendVideoFrame(h264Keyframe(), 1000));
    ASSERT_TRUE(session.waitFor(session.viewer, K::VideoFrame));
    session.pump();
    session.host.events.clear();
    session.host.draining = false;
    const std::uint64_t hostWakes = session.host.wake->value();
    for (int i = 0; i < 3; ++i) {
        PeerEvent loss = viewer.requestKeyframe();
        EXPECT_EQ(loss.kind, K::VideoLoss);
    }
    // Sent after the three requests on the same transport, so it arrives after them.
    ASSERT_TRUE(viewer.sendInput(std::string_view("after"), kControlChannel));
    // The first request and the message each wake the host once; the repeats are discarded.
    ASSERT_TRUE(session.host.wake->waitFor(hostWakes + 2, kPatience));
    session.host.draining = true;
    auto marker = session.waitFor(session.host, K::ChannelMessage);
    ASSERT_TRUE(marker);
    EXPECT_EQ(session.host.count(K::KeyframeRequest), 1u);
}

TEST(NativePeerSession, LostPacketDropsFramesUntilTheNextKeyframe) {
    const auto clip = readClip();
    ASSERT_GE(clip.size(), 20u);
    // A packet of the second keyframe is lost: everything up to the third keyframe is dropped.
    std::size_t lossAt = 0, nextKey = 0;
    for (std::size_t i = 1; i < clip.size() && !nextKey; ++i) {
        if (!isH264Keyframe(clip[i])) continue;
        if (!lossAt) lossAt = i;
        else nextKey = i;
    }
    ASSERT_TRUE(lossAt && nextKey) << "the clip needs three keyframes";
    ASSERT_GT(clip[lossAt].size(), 3000u) << "the lost packet must leave the frame incomplete";

    LoopbackSession session;
    ASSERT_TRUE(session.connect());
    auto& host = *session.host.peer;
    auto dropper = std::make_shared<PacketDropper>();
    NativePeerProbe::impl(host).track->getMediaHandler()->addToChain(dropper);

    std::vector<std::uint32_t> received;
    auto collect = [&] {
        while (auto f = session.viewer.take(K::VideoFrame)) {
            received.push_back(f->rtpTimestamp);
            const std::size_t index = f->rtpTimestamp / 3000;
            EXPECT_EQ(f->bytes, withLongStartCodes(clip[index])) << index;
        }
    };
    for (std::size_t i = 0; i < lossAt; ++i) {
        ASSERT_TRUE(host.sendVideoFrame(clip[i], std::uint32_t(i) * 3000));
        ASSERT_TRUE(session.waitFor(session.viewer, K::VideoFrame)) << i;
        received.push_back(std::uint32_t(i) * 3000);
    }
    dropper->dropInNextFrame(2);
    for (std::size_t i = lossAt; i < nextKey; ++i) ASSERT_TRUE(host.sendVideoFrame(clip[i], std::uint32_t(i) * 3000));
    auto loss = session.waitFor(session.viewer, K::VideoLoss);
    ASSERT_TRUE(loss);
    EXPECT_EQ(dropper->dropped(), 1u);
    ASSERT_TRUE(session.waitFor(session.host, K::KeyframeRequest)) << "the viewer asks the host for a keyframe";
    // One at a time: the viewer queues at most 8 frames between drains.
    for (std::size_t i = nextKey; i < clip.size(); ++i) {
        ASSERT_TRUE(host.sendVideoFrame(clip[i], std::uint32_t(i) * 3000));
        ASSERT_TRUE(session.pumpUntil([&] {
            collect();
            return !received.empty() && received.back() == std::uint32_t(i) * 3000;
        })) << "unit " << i << " after the loss; received " << ::testing::PrintToString(received);
    }
    std::vector<std::uint32_t> expected;
    for (std::size_t i = 0; i < clip.size(); ++i)
        if (i < lossAt || i >= nextKey) expected.push_back(std::uint32_t(i) * 3000);
    EXPECT_EQ(received, expected) << "nothing between the loss and the next keyframe is handed on";
}

TEST(NativePeerSession, CongestedInputAndAStalledMailbox) {
    LoopbackSession session;
    ASSERT_TRUE(session.connect());
    session.pump();
    session.host.events.clear();
    session.viewer.events.clear();
    auto& viewer = *session.viewer.peer;

    // The host's receive path stalls in its first wake-up: nothing it receives is acknowledged.
    session.host.draining = false;
    const std::uint64_t before = session.host.wake->value();
    session.host.wake->setHold(true);
    struct Release {
        WakeState& wake;
        ~Release() { wake.setHold(false); }
    } release{*session.host.wake};

    const PeerBytes full = message(4096, 9);
    std::size_t sent = 0;
    while (sent < 5000 && viewer.sendInput(full, kControlChannel)) ++sent;
    ASSERT_LT(sent, 5000u) << "the control channel never congested";
    std::size_t pointerSent = 0;
    while (pointerSent < 100 && viewer.sendInput(full, kPointerChannel)) ++pointerSent;
    EXPECT_EQ(pointerSent, 16u) << "a congested pointer channel takes 64 KiB and drops the rest";
    auto events = viewer.drain();
    ASSERT_EQ(events.size(), 1u) << "one refusal on the control channel, none on the pointer channel";
    EXPECT_EQ(events[0].kind, K::Failure);
    EXPECT_EQ(events[0].reason, PeerFailure::InputBackpressure);

    // Released, the host takes 64 messages; the 65th ends its mailbox for good.
    session.host.wake->setHold(false);
    ASSERT_TRUE(session.host.wake->waitFor(before + 65, kPatience));
    for (int i = 0; i < 3; ++i) {
        auto failed = session.host.peer->drain();
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].reason, PeerFailure::MailboxOverflow);
    }
    EXPECT_FALSE(session.host.peer->sendInput(std::string_view("x"), kControlChannel)) << "a failed peer sends nothing";
}

TEST(NativePeerSession, RefusedFrameHoldsBackDeltasUntilAnIdr) {
    LoopbackSession session;
    ASSERT_TRUE(session.connect());
    session.pump();
    session.host.events.clear();
    auto& host = *session.host.peer;
    // Small enough that a burst of them fits the receiver's socket buffer, large enough that
    // queueing one is much quicker than sending it.
    const PeerBytes big = annexB4({h264Nal(7), h264Nal(8), h264Nal(5, 24 * 1024)});
    const PeerBytes delta = annexB4({h264Nal(1, 24 * 1024)});
    std::size_t taken = 0;
    while (taken < 200 && host.sendVideoFrame(taken == 0 ? big : delta, std::uint32_t(taken) * 3000)) ++taken;
    ASSERT_LT(taken, 200u) << "the track never refused a frame";
    EXPECT_GE(taken, 16u);
    auto request = session.waitFor(session.host, K::KeyframeRequest, 1s);
    ASSERT_TRUE(request) << "a refused frame asks the encoder for a keyframe";
    // Wait until the queued frames have left: a packet sent on the track goes after them. (An
    // empty receiver report; the viewer ignores it.)
    const PeerBytes emptyReport{std::byte{0x80}, std::byte{201}, std::byte{0}, std::byte{1},
                                std::byte{0},    std::byte{0},   std::byte{0}, std::byte{9}};
    NativePeerProbe::impl(host).track->send(emptyReport.data(), emptyReport.size());
    EXPECT_FALSE(host.sendVideoFrame(delta, 900000)) << "a delta unit would reference the refused one";
    EXPECT_TRUE(host.sendVideoFrame(annexB4({h264Nal(6), h264Nal(5, 1000)}), 903000)) << "an IDR unit restarts";
    EXPECT_TRUE(host.sendVideoFrame(delta, 906000));
}

TEST(NativePeerSession, CloseFromEitherSide) {
    for (const bool hostCloses : {true, false}) {
        LoopbackSession session;
        ASSERT_TRUE(session.connect());
        Side& closing = hostCloses ? session.host : session.viewer;
        Side& other = hostCloses ? session.viewer : session.host;
        closing.peer->close();
        closing.peer->close();  // a second close does nothing
        EXPECT_TRUE(closing.peer->drain().empty());
        EXPECT_TRUE(session.waitFor(other, K::Closed)) << (hostCloses ? "viewer" : "host") << " saw no close";
        // A closed peer ignores signals, even ones for another session, and sends nothing.
        EXPECT_NO_THROW(closing.peer->applyRemoteSignal(Json{{"type", "offer"}, {"session_id", "other"}}));
        EXPECT_FALSE(closing.peer->sendInput(std::string_view("x"), kControlChannel));
        EXPECT_FALSE(closing.peer->sendVideoFrame(h264Keyframe(), 0));
        EXPECT_EQ(closing.peer->requestKeyframe().droppedFrames, 0u);
        EXPECT_TRUE(closing.peer->drain().empty());
    }
}

TEST(NativePeerSession, SignalsThatBreakTheRulesThrow) {
    LoopbackSession session;
    auto& viewer = *session.viewer.peer;
    auto& host = *session.host.peer;
    auto error = [](NativePeer& peer, const Json& signal) -> std::string {
        try {
            peer.applyRemoteSignal(signal);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "no error";
    };
    const Json ice{{"type", "ice"},
                   {"session_id", "session-1"},
                   {"payload", {{"candidate", hostCandidate(5000)}, {"mid", "video"}, {"line", 0}}}};
    EXPECT_EQ(error(viewer, ice), "Remote SDP must be applied before ICE");
    const Json answer{{"type", "answer"}, {"session_id", "session-1"}, {"payload", {{"sdp", sdpText({"video"}, true)}}}};
    EXPECT_EQ(error(viewer, answer), "Unexpected SDP direction");
    Json offer = answer;
    offer["type"] = "offer";
    EXPECT_EQ(error(host, offer), "Unexpected SDP direction");
    offer["session_id"] = "session-2";
    EXPECT_EQ(error(viewer, offer), "Mismatched peer session");
    // An offer without a video line, or without a usable codec.
    offer["session_id"] = "session-1";
    offer["payload"]["sdp"] = sdpText({}, true);
    EXPECT_EQ(error(viewer, offer), "Remote host did not offer a screen track");
    offer["payload"]["sdp"] = sdpText({"video"}, true, {},
                                      "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=rtcp-mux\r\n"
                                      "a=sendonly\r\na=rtpmap:96 VP8/90000\r\n");
    EXPECT_EQ(error(viewer, offer), "Remote host did not offer a usable video codec");
}

}  // namespace
}  // namespace murel

namespace murel {
namespace {

using namespace peertest;
using K = PeerEventKind;

std::shared_ptr<rtc::DataChannel> channel(RawHost& host, const char* label, bool ordered,
                                          std::optional<unsigned> maxRetransmits = std::nullopt) {
    rtc::DataChannelInit init;
    init.reliability.unordered = !ordered;
    init.reliability.maxRetransmits = maxRetransmits;
    return host.pc->createDataChannel(label, init);
}

TEST(NativePeerViewer, ChannelsOfTheWrongKindEndTheSession) {
    struct Case {
        const char* label;
        bool ordered;
        std::optional<unsigned> maxRetransmits;
    };
    for (const Case& c : {Case{kPointerChannelLabel, true, 0u}, Case{kPointerChannelLabel, false, 1u},
                          Case{kControlChannelLabel, false, std::nullopt}, Case{kControlChannelLabel, true, 0u},
                          Case{"murel.other.v1", true, std::nullopt}}) {
        RawHost host;
        Side viewer;
        viewer.peer = std::make_unique<NativePeer>(peerOptions(false, viewer.wake));
        auto wrong = channel(host, c.label, c.ordered, c.maxRetransmits);
        host.pc->setLocalDescription(rtc::Description::Type::Offer);
        auto failure = host.waitFor(viewer, K::Failure);
        ASSERT_TRUE(failure) << c.label;
        EXPECT_EQ(failure->reason, PeerFailure::InvalidChannel) << c.label;
    }
}

TEST(NativePeerViewer, SurplusChannelIsClosedQuietlyAndMessagesAreChecked) {
    RawHost host;
    host.answerFilter = [](std::string sdp) {
        // Let the raw host send more than our viewer announced it takes.
        const auto at = sdp.find("a=max-message-size:4096");
        EXPECT_NE(at, std::string::npos) << sdp;
        if (at != std::string::npos) sdp.replace(at, 23, "a=max-message-size:9000");
        return sdp;
    };
    Side viewer;
    viewer.peer = std::make_unique<NativePeer>(peerOptions(false, viewer.wake));
    auto control = channel(host, kControlChannelLabel, true);
    auto pointer = channel(host, kPointerChannelLabel, false, 0u);
    host.pc->setLocalDescription(rtc::Description::Type::Offer);
    ASSERT_TRUE(host.waitFor(viewer, K::ChannelsOpen));
    // The raw host's ends open once our viewer's acknowledgements arrive.
    ASSERT_TRUE(host.waitUntil(viewer, [&] { return control->isOpen() && pointer->isOpen(); }));
    auto surplus = channel(host, kControlChannelLabel, true);
    auto surplusClosed = std::make_shared<std::atomic<bool>>(false);
    surplus->onClosed([surplusClosed] { *surplusClosed = true; });
    EXPECT_TRUE(host.waitUntil(viewer, [&] { return surplusClosed->load(); }))
        << "the second control channel was not closed";
    EXPECT_EQ(viewer.count(K::Failure), 0u);
    EXPECT_EQ(viewer.count(K::Closed), 0u);

    ASSERT_TRUE(control->send(PeerBytes(4096, std::byte{7})));
    auto delivered = host.waitFor(viewer, K::ChannelMessage);
    ASSERT_TRUE(delivered);
    EXPECT_EQ(delivered->bytes.size(), 4096u);
    ASSERT_TRUE(pointer->send(std::string("text is not input")));
    auto text = host.waitFor(viewer, K::Failure);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->reason, PeerFailure::InvalidInput);
    ASSERT_TRUE(control->send(PeerBytes(4097, std::byte{7})));
    auto oversized = host.waitFor(viewer, K::Failure);
    ASSERT_TRUE(oversized);
    EXPECT_EQ(oversized->reason, PeerFailure::InvalidInput);
    EXPECT_EQ(viewer.channelsOpen, 1u);
}

}  // namespace
}  // namespace murel
