// The mailbox on its own: queue bound and sticky failure, keyframe-request coalescing, the video
// queue's keyframe gate, drain order, close, and the local-signal rules (descriptions and
// candidates, held and flushed, bounded, deduplicated).

#include <gtest/gtest.h>

#include "PeerTestSupport.hpp"
#include "peer/Mailbox.hpp"
#include "rtc/Candidate.hpp"
#include "rtc/Description.hpp"

namespace murel {
namespace {

using namespace peertest;
using K = PeerEventKind;

PeerEvent channelMessage(int n) {
    PeerEvent e = PeerEvent::of(K::ChannelMessage);
    e.bytes = bytes({n & 0xFF});
    return e;
}

TEST(Mailbox, QueuesInOrderAndWakesPerEvent) {
    WakeCounter wake;
    Mailbox mailbox(wake.callable());
    mailbox.push(PeerEvent::of(K::Connected));
    mailbox.push(channelMessage(1));
    mailbox.push(PeerEvent::failure(PeerFailure::InvalidInput));  // an event failure does not stop later ones
    mailbox.push(channelMessage(2));
    EXPECT_EQ(wake.value(), 4);
    auto drained = mailbox.drain();
    ASSERT_EQ(kinds(drained.events), (std::vector<K>{K::Connected, K::ChannelMessage, K::Failure, K::ChannelMessage}));
    EXPECT_EQ(drained.events[2].reason, PeerFailure::InvalidInput);
    EXPECT_EQ(drained.events[3].bytes, bytes({2}));
    EXPECT_TRUE(mailbox.drain().events.empty());
}

TEST(Mailbox, SixtyFifthItemSetsStickyOverflow) {
    WakeCounter wake;
    Mailbox mailbox(wake.callable());
    for (int i = 0; i < 64; ++i) mailbox.push(channelMessage(i));
    EXPECT_EQ(mailbox.waitingItems(), 64u);
    EXPECT_EQ(wake.value(), 64);
    mailbox.push(channelMessage(64));
    EXPECT_EQ(wake.value(), 65) << "the failure wakes the worker";
    mailbox.push(PeerEvent::of(K::Connected));  // discarded, no wake
    mailbox.fail(PeerFailure::ConnectionFailure);  // the first reason stays
    EXPECT_EQ(wake.value(), 65);
    for (int round = 0; round < 3; ++round) {
        auto drained = mailbox.drain();
        ASSERT_EQ(drained.events.size(), 1u);
        EXPECT_EQ(drained.events[0].kind, K::Failure);
        EXPECT_EQ(drained.events[0].reason, PeerFailure::MailboxOverflow);
    }
    mailbox.push(videoFrame(h264Keyframe()));
    EXPECT_EQ(mailbox.drain().events.size(), 1u) << "a failed mailbox queues no video either";
}

TEST(Mailbox, KeyframeRequestsCoalesceWhileOneWaits) {
    Mailbox mailbox(nullptr);
    mailbox.push(PeerEvent::of(K::KeyframeRequest));
    mailbox.push(PeerEvent::of(K::KeyframeRequest));
    mailbox.push(channelMessage(1));
    mailbox.push(PeerEvent::of(K::KeyframeRequest));
    EXPECT_EQ(kinds(mailbox.drain().events), (std::vector<K>{K::KeyframeRequest, K::ChannelMessage}));
    mailbox.push(PeerEvent::of(K::KeyframeRequest));
    EXPECT_EQ(kinds(mailbox.drain().events), (std::vector<K>{K::KeyframeRequest}));
    // A waiting request is not counted twice against the bound either.
    for (int i = 0; i < 63; ++i) mailbox.push(channelMessage(i));
    mailbox.push(PeerEvent::of(K::KeyframeRequest));
    mailbox.push(PeerEvent::of(K::KeyframeRequest));
    EXPECT_EQ(mailbox.drain().events.size(), 64u);
}

TEST(Mailbox, CloseIsFinal) {
    WakeCounter wake;
    Mailbox mailbox(wake.callable());
    mailbox.push(channelMessage(1));
    mailbox.push(videoFrame(h264Keyframe()));
    mailbox.close();
    EXPECT_TRUE(mailbox.isClosed());
    const int before = wake.value();
    mailbox.push(channelMessage(2));
    mailbox.fail(PeerFailure::ChannelFailure);
    mailbox.reportLoss();
    mailbox.chooseCodec(kCodecHevc);
    EXPECT_EQ(wake.value(), before);
    EXPECT_TRUE(mailbox.drain().events.empty());
    EXPECT_FALSE(mailbox.restartVideo().has_value());
    EXPECT_FALSE(mailbox.attach(kControlChannel, nullptr));
}

TEST(Mailbox, FailedDrainDropsQueuedVideoAndSignals) {
    Mailbox mailbox(nullptr);
    mailbox.push(videoFrame(h264Keyframe()));
    mailbox.push(videoFrame(h264Delta()));
    mailbox.push(channelMessage(1));
    mailbox.fail(PeerFailure::InvalidLocalSignal);
    auto drained = mailbox.drain();
    ASSERT_EQ(drained.events.size(), 1u);
    EXPECT_EQ(drained.events[0].reason, PeerFailure::InvalidLocalSignal);
    EXPECT_EQ(mailbox.droppedFrames(), 2u);
    EXPECT_EQ(mailbox.waitingItems(), 0u);
}

TEST(MailboxVideo, WaitsForKeyframeThenDeliversAfterOtherEvents) {
    WakeCounter wake;
    Mailbox mailbox(wake.callable());
    mailbox.chooseCodec(kCodecH264);
    EXPECT_EQ(wake.value(), 1);
    mailbox.push(videoFrame(h264Delta(), 10));  // dropped: waiting for a keyframe; no wake
    EXPECT_EQ(wake.value(), 1);
    mailbox.push(videoFrame(h264Keyframe(), 20));
    mailbox.push(videoFrame(h264Delta(), 30));
    mailbox.push(PeerEvent::of(K::Connected));
    auto drained = mailbox.drain();
    ASSERT_EQ(kinds(drained.events), (std::vector<K>{K::VideoCodec, K::Connected, K::VideoFrame, K::VideoFrame}));
    EXPECT_EQ(drained.events[0].codec, kCodecH264);
    EXPECT_EQ(drained.events[2].rtpTimestamp, 20u);
    EXPECT_EQ(drained.events[2].bytes, h264Keyframe());
    EXPECT_EQ(drained.events[3].rtpTimestamp, 30u);
    EXPECT_FALSE(drained.waitingForKeyframe);
    EXPECT_EQ(mailbox.droppedFrames(), 1u);
}

TEST(MailboxVideo, NinthFrameFlushesTheQueueAndIsKeptOnlyIfKeyframe) {
    for (const bool ninthIsKey : {false, true}) {
        Mailbox mailbox(nullptr);
        mailbox.push(videoFrame(h264Keyframe(), 0));
        for (uint32_t i = 1; i < 8; ++i) mailbox.push(videoFrame(h264Delta(), i));
        mailbox.push(videoFrame(ninthIsKey ? h264Keyframe() : h264Delta(), 8));
        auto drained = mailbox.drain();
        ASSERT_FALSE(drained.events.empty());
        EXPECT_EQ(drained.events[0].kind, K::VideoLoss);
        EXPECT_EQ(drained.events[0].droppedFrames, ninthIsKey ? 8u : 9u);
        if (ninthIsKey) {
            ASSERT_EQ(drained.events.size(), 2u);
            EXPECT_EQ(drained.events[1].rtpTimestamp, 8u);
            EXPECT_FALSE(drained.waitingForKeyframe);
        } else {
            EXPECT_EQ(drained.events.size(), 1u);
            EXPECT_TRUE(drained.waitingForKeyframe);
        }
    }
}

TEST(MailboxVideo, ByteBoundFlushesBeforeSixteenMegabytes) {
    Mailbox mailbox(nullptr);
    binary big = annexB4({h264Nal(7), h264Nal(8), h264Nal(5, 6 * 1024 * 1024)});
    mailbox.push(videoFrame(big, 1));
    mailbox.push(videoFrame(annexB4({h264Nal(1, 6 * 1024 * 1024)}), 2));
    mailbox.push(videoFrame(annexB4({h264Nal(1, 5 * 1024 * 1024)}), 3));  // would pass 16 MiB
    auto drained = mailbox.drain();
    ASSERT_EQ(kinds(drained.events), (std::vector<K>{K::VideoLoss}));
    EXPECT_EQ(drained.events[0].droppedFrames, 3u);
}

TEST(MailboxVideo, LossReportDropsQueueAndAsksForKeyframeOnce) {
    WakeCounter wake;
    Mailbox mailbox(wake.callable());
    mailbox.push(videoFrame(h264Keyframe(), 1));
    mailbox.push(videoFrame(h264Delta(), 2));
    mailbox.reportLoss();
    mailbox.reportLoss();
    EXPECT_EQ(wake.value(), 4);
    mailbox.push(videoFrame(h264Delta(), 3));  // not a keyframe: dropped while waiting
    auto drained = mailbox.drain();
    ASSERT_EQ(kinds(drained.events), (std::vector<K>{K::VideoLoss}));
    EXPECT_EQ(drained.events[0].droppedFrames, 3u);
    EXPECT_TRUE(drained.waitingForKeyframe);
    EXPECT_TRUE(mailbox.drain().events.empty()) << "one VideoLoss per request";
}

TEST(MailboxVideo, RestartVideoFlushesWithoutAnotherLossEvent) {
    Mailbox mailbox(nullptr);
    mailbox.push(videoFrame(h264Keyframe(), 1));
    mailbox.reportLoss();
    mailbox.push(videoFrame(h264Keyframe(), 2));
    EXPECT_EQ(mailbox.restartVideo(), std::optional<std::uint64_t>(2));
    auto drained = mailbox.drain();
    EXPECT_TRUE(drained.events.empty());
    EXPECT_TRUE(drained.waitingForKeyframe);
}

TEST(MailboxVideo, ChoosingTheCodecStartsAFreshQueue) {
    Mailbox mailbox(nullptr);
    mailbox.push(videoFrame(h264Keyframe()));
    mailbox.push(videoFrame(h264Delta()));
    mailbox.reportLoss();
    mailbox.chooseCodec(kCodecHevc);
    EXPECT_EQ(mailbox.droppedFrames(), 0u);
    mailbox.push(videoFrame(h264Keyframe()));  // not HEVC: invalid, flushed, keyframe wanted
    mailbox.push(videoFrame(hevcKeyframe(), 7));
    auto drained = mailbox.drain();
    ASSERT_EQ(kinds(drained.events), (std::vector<K>{K::VideoCodec, K::VideoLoss, K::VideoFrame}));
    EXPECT_EQ(drained.events[0].codec, kCodecHevc);
    EXPECT_EQ(drained.events[1].droppedFrames, 1u);
    EXPECT_EQ(drained.events[2].rtpTimestamp, 7u);
}

TEST(MailboxVideo, HevcRaslPicturesAreDroppedEvenWhenNotWaiting) {
    Mailbox mailbox(nullptr);
    mailbox.chooseCodec(kCodecHevc);
    mailbox.push(videoFrame(hevcKeyframe(), 1));
    mailbox.push(videoFrame(annexB4({hevcNal(8, 16)}), 2));  // RASL_N
    mailbox.push(videoFrame(hevcDelta(), 3));
    auto drained = mailbox.drain();
    ASSERT_EQ(kinds(drained.events), (std::vector<K>{K::VideoCodec, K::VideoFrame, K::VideoFrame}));
    EXPECT_EQ(drained.events[1].rtpTimestamp, 1u);
    EXPECT_EQ(drained.events[2].rtpTimestamp, 3u);
    EXPECT_EQ(mailbox.droppedFrames(), 1u);
}

// ---- local signals ----

rtc::Description localDescription(const std::vector<std::string>& videoMids, bool data,
                                   const std::vector<std::string>& candidates = {},
                                   const std::string& type = "offer") {
    return rtc::Description(sdpText(videoMids, data, candidates), type);
}

const char* kSession = "session-1";

TEST(MailboxSignals, DescriptionGoesOutWithoutCandidatesAndThenEachCandidate) {
    Mailbox mailbox(nullptr);
    mailbox.localDescription(localDescription({"video"}, true, {hostCandidate(5000), hostCandidate(5002)}), kSession);
    auto events = mailbox.drain().events;
    ASSERT_EQ(events.size(), 3u);
    const Json& offer = events[0].signal;
    EXPECT_EQ(offer["type"], "offer");
    EXPECT_EQ(offer["session_id"], kSession);
    const std::string sdp = offer["payload"]["sdp"];
    EXPECT_EQ(sdp.find("a=candidate"), std::string::npos);
    EXPECT_NE(sdp.find("a=mid:video"), std::string::npos);
    for (int i = 1; i <= 2; ++i) {
        const Json& ice = events[i].signal;
        EXPECT_EQ(ice["type"], "ice");
        EXPECT_EQ(ice["session_id"], kSession);
        EXPECT_EQ(ice["payload"]["mid"], "video");
        EXPECT_EQ(ice["payload"]["line"], 0);
        EXPECT_EQ(ice["payload"]["candidate"], hostCandidate(i == 1 ? 5000 : 5002));
    }
}

TEST(MailboxSignals, EarlyCandidatesWaitForTheDescriptionAndNameTheirLine) {
    Mailbox mailbox(nullptr);
    mailbox.localCandidate(rtc::Candidate(hostCandidate(6000), "data"), kSession);
    mailbox.localCandidate(rtc::Candidate(hostCandidate(6000), "data"), kSession);  // repeated: once
    EXPECT_EQ(mailbox.waitingItems(), 1u);
    EXPECT_TRUE(mailbox.drain().events.empty());
    // The same candidate embedded in the description is signalled once as well.
    mailbox.localDescription(localDescription({"v0", "v1"}, true, {hostCandidate(6000)}), kSession);
    auto events = mailbox.drain().events;
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].signal["type"], "offer");
    EXPECT_EQ(events[1].signal["payload"]["mid"], "data");
    EXPECT_EQ(events[1].signal["payload"]["line"], 2);
    EXPECT_EQ(events[2].signal["payload"]["mid"], "v0");
    EXPECT_EQ(events[2].signal["payload"]["line"], 0);
}

TEST(MailboxSignals, RepeatedDescriptionEmitsNothingAndADifferentOneFails) {
    Mailbox mailbox(nullptr);
    mailbox.localDescription(localDescription({"video"}, true), kSession);
    mailbox.localDescription(localDescription({"video"}, true), kSession);
    EXPECT_EQ(mailbox.drain().events.size(), 1u);
    mailbox.localDescription(localDescription({"video"}, false), kSession);
    auto events = mailbox.drain().events;
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].reason, PeerFailure::InvalidLocalSignal);
}

TEST(MailboxSignals, TwoHundredFiftySixCandidatesAndNoMore) {
    Mailbox mailbox(nullptr);
    mailbox.localDescription(localDescription({"video"}, false), kSession);
    for (int i = 0; i < 256; ++i) {
        mailbox.localCandidate(rtc::Candidate(hostCandidate(10000 + i), "video"), kSession);
        if (i % 32 == 31) {
            auto events = mailbox.drain().events;
            ASSERT_FALSE(events.empty());
            ASSERT_EQ(events.back().kind, K::LocalSignal) << "after " << i + 1;
        }
    }
    mailbox.localCandidate(rtc::Candidate(hostCandidate(10000), "video"), kSession);  // a repeat is ignored
    EXPECT_TRUE(mailbox.drain().events.empty());
    mailbox.localCandidate(rtc::Candidate(hostCandidate(20000), "video"), kSession);
    auto events = mailbox.drain().events;
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].reason, PeerFailure::InvalidLocalSignal);
}

TEST(MailboxSignals, HeldCandidatesCountAgainstTheBound) {
    Mailbox mailbox(nullptr);
    for (int i = 0; i < 62; ++i) mailbox.push(channelMessage(i));
    mailbox.localCandidate(rtc::Candidate(hostCandidate(7000), "video"), kSession);  // 63rd item
    EXPECT_EQ(mailbox.waitingItems(), 63u);
    mailbox.localCandidate(rtc::Candidate(hostCandidate(7001), "video"), kSession);  // would be 64th
    auto events = mailbox.drain().events;
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].reason, PeerFailure::MailboxOverflow);

    Mailbox second(nullptr);
    for (int i = 0; i < 63; ++i) second.push(channelMessage(i));
    second.localCandidate(rtc::Candidate(hostCandidate(7000), "video"), kSession);
    EXPECT_EQ(second.drain().events[0].reason, PeerFailure::MailboxOverflow);
}

TEST(MailboxSignals, BrokenLocalSignalsEndThePeer) {
    {
        Mailbox mailbox(nullptr);  // a candidate for a media id the description lacks
        mailbox.localCandidate(rtc::Candidate(hostCandidate(7000), "audio"), kSession);
        mailbox.localDescription(localDescription({"video"}, false), kSession);
        auto events = mailbox.drain().events;
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].reason, PeerFailure::InvalidLocalSignal);
    }
    {
        Mailbox mailbox(nullptr);  // a description without media
        mailbox.localDescription(rtc::Description("", rtc::Description::Type::Offer), kSession);
        EXPECT_EQ(mailbox.drain().events[0].reason, PeerFailure::InvalidLocalSignal);
    }
    {
        Mailbox mailbox(nullptr);  // neither offer nor answer
        mailbox.localDescription(localDescription({"video"}, false, {}, "pranswer"), kSession);
        EXPECT_EQ(mailbox.drain().events[0].reason, PeerFailure::InvalidLocalSignal);
    }
    {
        Mailbox mailbox(nullptr);  // a candidate without a media id
        mailbox.localDescription(localDescription({"video"}, false), kSession);
        mailbox.drain();
        mailbox.localCandidate(rtc::Candidate(hostCandidate(7000)), kSession);
        EXPECT_EQ(mailbox.drain().events[0].reason, PeerFailure::InvalidLocalSignal);
    }
}

TEST(MailboxSignals, CloseForgetsTheLocalSignalState) {
    Mailbox mailbox(nullptr);
    mailbox.localCandidate(rtc::Candidate(hostCandidate(7000), "video"), kSession);
    mailbox.close();
    EXPECT_EQ(mailbox.waitingItems(), 0u);
    mailbox.localDescription(localDescription({"video"}, false), kSession);
    EXPECT_TRUE(mailbox.drain().events.empty());
}

TEST(PeerFailureWords, EveryReasonHasItsWord) {
    const char* words[] = {"none",
                           "mailbox-overflow",
                           "invalid-local-signal",
                           "local-signal-failure",
                           "invalid-channel",
                           "channel-failure",
                           "invalid-input",
                           "connection-failure",
                           "invalid-video",
                           "empty-video",
                           "oversized-video",
                           "input-backpressure",
                           "input-send-failure",
                           "video-send-failure",
                           "keyframe-request-failure"};
    for (int i = 0; i < 15; ++i) EXPECT_STREQ(peerFailureWord(static_cast<PeerFailure>(i)), words[i]);
    EXPECT_STREQ(peerFailureWord(static_cast<PeerFailure>(15)), "unknown");
    EXPECT_STREQ(peerFailureWord(static_cast<PeerFailure>(-1)), "unknown");
}

}  // namespace
}  // namespace murel
