// H.264 access units through the packetizer and back through the depacketizers: byte-exact for
// every size and framing, whole frames from reordered and repeated packets, and the broken
// packet streams that must not turn into corrupted frames.
#include "rtc/H264RtpDepacketizer.hpp"
#include "rtc/H264RtpPacketizer.hpp"
#include "rtc/H265RtpDepacketizer.hpp"
#include "rtc/NalUnit.hpp"
#include "rtc/RtpPacket.hpp"

#include "rtp_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace rtc;
using namespace rtptest;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<RtpPacketizationConfig> config() {
    return std::make_shared<RtpPacketizationConfig>(1, "murel-screen", 102, 90000);
}

message_vector packetize(H264RtpPacketizer& packetizer, const binary& au, uint32_t timestamp) {
    message_vector messages{make_message(au, Message::Binary, std::make_shared<FrameInfo>(timestamp))};
    packetizer.outgoing(messages, nullptr);
    return messages;
}

message_vector depacketize(VideoRtpDepacketizer& depacketizer, message_vector packets) {
    depacketizer.incoming(packets, nullptr);
    return packets;
}

// A typical access unit: SPS, PPS, then slices of the given sizes (first one IDR).
std::vector<binary> accessUnit(std::mt19937& rng, const std::vector<std::size_t>& slices) {
    std::vector<binary> nals{makeNal(rng, 14, 0x67), makeNal(rng, 5, 0x68)};
    for (std::size_t i = 0; i < slices.size(); ++i) nals.push_back(makeNal(rng, slices[i], i == 0 ? 0x65 : 0x41));
    return nals;
}

}  // namespace

TEST(H264Packetizing, RoundTripIsByteExactFromTinyToEightMebibytes) {
    std::mt19937 rng(7);
    struct Case {
        std::vector<std::size_t> slices;
        std::vector<bool> fourByte;
    };
    const std::vector<Case> cases = {
        {{1}, {true}},                           // a 1-byte NAL unit (header only)
        {{10}, {false}},                         // 10-byte slice, 3-byte start codes
        {{1219, 1220, 1221}, {true, false}},     // around the fragment limit
        {{2438, 2439, 2440}, {false, true}},     // around two fragments
        {{150 * 1024}, {true}},                  // a typical large frame
        {std::vector<std::size_t>(40, 3000), {true, false, false}},  // many NAL units
        {{8 * 1024 * 1024 - 64}, {true}},        // the largest frame the viewer accepts
    };
    auto cfg = config();
    H264RtpPacketizer packetizer(H264RtpPacketizer::Separator::StartSequence, cfg);
    H264RtpDepacketizer depacketizer(H264RtpDepacketizer::Separator::StartSequence);
    uint32_t timestamp = 0xFFFFF000;  // wraps during the run
    for (const auto& c : cases) {
        const auto nals = accessUnit(rng, c.slices);
        const binary input = annexB(nals, c.fourByte);
        timestamp += 3000;
        const uint16_t firstSequence = cfg->sequenceNumber;
        auto packets = packetize(packetizer, input, timestamp);
        ASSERT_FALSE(packets.empty());
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const auto p = RtpPacket::parse(*packets[i]);
            ASSERT_TRUE(p);
            EXPECT_EQ(p->sequenceNumber(), uint16_t(firstSequence + i));
            EXPECT_EQ(p->timestamp(), timestamp);
            EXPECT_EQ(p->ssrc(), 1u);
            EXPECT_EQ(p->payloadType(), 102);
            EXPECT_EQ(p->marker(), i + 1 == packets.size()) << "packet " << i;
            EXPECT_LE(p->payload().size(), H264RtpPacketizer::DefaultMaxFragmentSize);
            EXPECT_GE(packets[i]->capacity(), packets[i]->size() + RtpPacketizer::kTrailerReserve);
        }
        auto frames = depacketize(depacketizer, std::move(packets));
        ASSERT_EQ(frames.size(), 1u) << input.size();
        EXPECT_TRUE(*frames[0] == annexB4(nals)) << "access unit of " << input.size() << " bytes";
        ASSERT_TRUE(frames[0]->frameInfo);
        EXPECT_EQ(frames[0]->frameInfo->timestamp, timestamp);
        EXPECT_EQ(cfg->timestamp, timestamp);
    }
}

TEST(H264Packetizing, FragmentsAreEvenAndRespectTheLimit) {
    std::mt19937 rng(3);
    auto cfg = config();
    H264RtpPacketizer packetizer(H264RtpPacketizer::Separator::LongStartSequence, cfg, 100);
    const binary nal = makeNal(rng, 1000, 0x65);  // 999 body bytes in 98-byte fragments: 11 packets
    auto packets = packetize(packetizer, annexB4({nal}), 1);
    ASSERT_EQ(packets.size(), 11u);
    std::size_t smallest = 1000, largest = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const auto payload = RtpPacket::parse(*packets[i])->payload();
        ASSERT_LE(payload.size(), 100u);
        EXPECT_EQ(std::to_integer<int>(payload[0]), (0x65 & 0xE0) | 28);  // FU indicator keeps NRI
        const int fu = std::to_integer<int>(payload[1]);
        EXPECT_EQ(fu & 0x1F, 5);
        EXPECT_EQ((fu & 0x80) != 0, i == 0);
        EXPECT_EQ((fu & 0x40) != 0, i == 10);
        smallest = std::min(smallest, payload.size());
        largest = std::max(largest, payload.size());
    }
    EXPECT_LE(largest - smallest, 1u);
    EXPECT_THROW(H264RtpPacketizer(H264RtpPacketizer::Separator::StartSequence, cfg, 2), std::invalid_argument);
}

TEST(H264Packetizing, PlayoutDelayAndOrientationExtensions) {
    std::mt19937 rng(4);
    auto cfg = config();
    cfg->playoutDelayId = 3;
    cfg->playoutDelayMin = 0x123;  // 12 bits each, 10 ms units
    cfg->playoutDelayMax = 0xABC;
    cfg->videoOrientationId = 4;
    cfg->videoOrientation = 0x02;
    H264RtpPacketizer packetizer(H264RtpPacketizer::Separator::StartSequence, cfg);
    const std::vector<binary> nals{makeNal(rng, 3000, 0x65)};
    auto packets = packetize(packetizer, annexB4(nals), 77);
    ASSERT_EQ(packets.size(), 3u);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const auto p = RtpPacket::parse(*packets[i]);
        ASSERT_TRUE(p);
        EXPECT_LE(p->payload().size(), H264RtpPacketizer::DefaultMaxFragmentSize);
        const auto delay = p->extension(3);
        const auto orientation = p->extension(4);
        EXPECT_EQ(delay.has_value(), i == 0);
        EXPECT_EQ(orientation.has_value(), i + 1 == packets.size());
        if (delay) {
            EXPECT_EQ(binary(delay->begin(), delay->end()), bytes({0x12, 0x3A, 0xBC}));
        }
        if (orientation) {
            EXPECT_EQ(binary(orientation->begin(), orientation->end()), bytes({0x02}));
        }
    }
    H264RtpDepacketizer depacketizer;
    auto frames = depacketize(depacketizer, packets);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(*frames[0] == annexB4(nals));
}

TEST(H264Packetizing, SeparatorsFrameNalUnitsAsDeclared) {
    const binary a = bytes({0x67, 0x42, 0x00, 0x1F}), b = bytes({0x68, 0xCE}), c = bytes({0x65, 0x88, 0x80});
    auto units = [](const binary& au, NalUnit::Separator s) {
        std::vector<binary> out;
        for (auto u : NalUnit::split(au, s)) out.emplace_back(u.begin(), u.end());
        return out;
    };
    using S = NalUnit::Separator;
    // Mixed 3- and 4-byte start codes with leading junk before the first start code.
    binary mixed = bytes({0x09, 0x00, 0x00, 0x00, 0x01});
    mixed.insert(mixed.end(), a.begin(), a.end());
    mixed.insert(mixed.end(), {std::byte{0}, std::byte{0}, std::byte{1}});
    mixed.insert(mixed.end(), b.begin(), b.end());
    mixed.insert(mixed.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}});
    mixed.insert(mixed.end(), c.begin(), c.end());
    EXPECT_EQ(units(mixed, S::StartSequence), (std::vector<binary>{a, b, c}));
    // Short: the zero before 00 00 01 stays with the unit before it.
    binary bWithZero = b;
    bWithZero.push_back(std::byte{0});
    EXPECT_EQ(units(mixed, S::ShortStartSequence), (std::vector<binary>{a, bWithZero, c}));
    // Long: 00 00 01 alone is no separator.
    binary aThenB = a;
    aThenB.insert(aThenB.end(), {std::byte{0}, std::byte{0}, std::byte{1}});
    aThenB.insert(aThenB.end(), b.begin(), b.end());
    EXPECT_EQ(units(mixed, S::LongStartSequence), (std::vector<binary>{aThenB, c}));
    // Length prefixes; a size running past the end stops the walk.
    binary lengths = bytes({0, 0, 0, 4});
    lengths.insert(lengths.end(), a.begin(), a.end());
    lengths.insert(lengths.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{2}});
    lengths.insert(lengths.end(), b.begin(), b.end());
    lengths.insert(lengths.end(), {std::byte{0}, std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0x65}});
    EXPECT_EQ(units(lengths, S::Length), (std::vector<binary>{a, b}));
    // Empty units between start codes and data without any start code.
    EXPECT_EQ(units(bytes({0, 0, 1, 0, 0, 1, 0x41, 0x9A, 0, 0, 0, 1}), S::StartSequence),
              (std::vector<binary>{bytes({0x41, 0x9A})}));
    EXPECT_TRUE(units(bytes({0x41, 0x9A, 0x00, 0x02}), S::StartSequence).empty());

    // Every framing survives the round trip through packetizer and depacketizer.
    for (S s : {S::Length, S::StartSequence, S::LongStartSequence, S::ShortStartSequence}) {
        binary au;
        for (const auto& n : {a, b, c}) {
            NalUnit::appendSeparator(au, s, n.size());
            au.insert(au.end(), n.begin(), n.end());
        }
        H264RtpPacketizer packetizer(s, config());
        H264RtpDepacketizer depacketizer(s);
        auto frames = depacketize(depacketizer, packetize(packetizer, au, 5));
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(*frames[0], au) << int(s);
    }
}

TEST(H264Depacketizing, ReorderedAndRepeatedPacketsStillMakeWholeFrames) {
    std::mt19937 rng(11);
    auto cfg = config();
    H264RtpPacketizer packetizer(H264RtpPacketizer::Separator::StartSequence, cfg);
    H264RtpDepacketizer depacketizer(H264RtpDepacketizer::Separator::StartSequence);
    std::vector<binary> expected;
    message_vector stream;
    message_vector previousFrame;
    for (int frame = 0; frame < 30; ++frame) {
        const auto nals = accessUnit(rng, {std::size_t(500 + frame * 997), 40});
        expected.push_back(annexB4(nals));
        auto packets = packetize(packetizer, annexB(nals, {frame % 2 == 0}), 3000u * frame);
        message_vector arrival = packets;
        if (frame > 0) {
            // Inside a frame: any order, the marker packet anywhere, some packets twice.
            std::shuffle(arrival.begin(), arrival.end(), rng);
            for (int d = 0; d < 3; ++d) arrival.insert(arrival.begin() + rng() % arrival.size(), packets[rng() % packets.size()]);
            // Late repeats of the previous frame, after it was complete.
            arrival.insert(arrival.begin() + rng() % arrival.size(), previousFrame.front());
            arrival.push_back(previousFrame.back());
        }
        previousFrame = packets;
        stream.insert(stream.end(), arrival.begin(), arrival.end());
    }
    // Fed in small batches, as datagrams arrive.
    std::vector<binary> received;
    for (std::size_t at = 0; at < stream.size(); at += 3) {
        message_vector batch(stream.begin() + at, stream.begin() + std::min(stream.size(), at + 3));
        for (auto& f : depacketize(depacketizer, std::move(batch))) received.push_back(*f);
    }
    ASSERT_EQ(received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(received[i] == expected[i]) << "frame " << i;
}

TEST(H264Depacketizing, BrokenFragmentsAndAggregatesNeverBecomeCorruptUnits) {
    H264RtpDepacketizer d(H264RtpDepacketizer::Separator::StartSequence);
    const binary sps = bytes({0x67, 0x42, 0xE0, 0x1F});
    auto fu = [](int indicator, int header, std::initializer_list<int> data) {
        binary p = bytes({indicator, header});
        for (int v : data) p.push_back(std::byte(v));
        return p;
    };
    auto run = [&](std::vector<std::pair<uint16_t, binary>> packets, uint32_t ts) {
        message_vector batch;
        for (std::size_t i = 0; i < packets.size(); ++i)
            batch.push_back(rtp(packets[i].first, ts, i + 1 == packets.size(), packets[i].second));
        return d.reassemble(batch);
    };
    const binary expectSps = [&] {
        binary e = bytes({0, 0, 0, 1});
        e.insert(e.end(), sps.begin(), sps.end());
        return e;
    }();

    // Complete FU-A: start, middle, end.
    auto whole = run({{1, fu(0x7C, 0x85, {1, 2})}, {2, fu(0x7C, 0x05, {3})}, {3, fu(0x7C, 0x45, {4})}}, 10);
    ASSERT_TRUE(whole);
    EXPECT_EQ(*whole, bytes({0, 0, 0, 1, 0x65, 1, 2, 3, 4}));
    EXPECT_EQ(whole->frameInfo->timestamp, 10u);

    // A lost middle fragment (sequence 2 missing): start and end match, but the unit is dropped.
    auto gap = run({{1, sps}, {2, fu(0x7C, 0x85, {1})}, {4, fu(0x7C, 0x45, {4})}}, 11);
    ASSERT_TRUE(gap);
    EXPECT_EQ(*gap, expectSps);
    // No end bit: dropped.
    auto open = run({{1, sps}, {2, fu(0x7C, 0x85, {1})}, {3, fu(0x7C, 0x05, {2})}}, 12);
    ASSERT_TRUE(open);
    EXPECT_EQ(*open, expectSps);
    // A middle fragment whose rebuilt header differs from the start's (NRI changed).
    auto mixed = run({{1, fu(0x7C, 0x85, {1})}, {2, fu(0x5C, 0x05, {2})}, {3, fu(0x7C, 0x45, {3})}, {4, sps}}, 13);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(*mixed, expectSps);
    // Start and end bits together, reserved bit, inner type 0: invalid.
    EXPECT_FALSE(run({{1, fu(0x7C, 0xC5, {1})}}, 14));
    EXPECT_FALSE(run({{1, fu(0x7C, 0xA5, {1})}, {2, fu(0x7C, 0x45, {1})}}, 15));
    EXPECT_FALSE(run({{1, fu(0x7C, 0x80, {1})}, {2, fu(0x7C, 0x40, {1})}}, 16));
    // Continuation without a start.
    EXPECT_FALSE(run({{1, fu(0x7C, 0x05, {1})}, {2, fu(0x7C, 0x45, {1})}}, 17));

    // STAP-A with two units.
    auto stap = run({{1, bytes({0x78, 0x00, 0x02, 0x67, 0xAA, 0x00, 0x01, 0x68})}}, 18);
    ASSERT_TRUE(stap);
    EXPECT_EQ(*stap, bytes({0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68}));
    // Its last unit's size running one byte past the payload: the whole aggregate is skipped.
    EXPECT_FALSE(run({{1, bytes({0x78, 0x00, 0x02, 0x67, 0xAA, 0x00, 0x02, 0x68})}}, 19));
    // A unit of size 0, a forbidden bit inside, a trailing half size field.
    EXPECT_FALSE(run({{1, bytes({0x78, 0x00, 0x00, 0x00, 0x01, 0x68})}}, 20));
    EXPECT_FALSE(run({{1, bytes({0x78, 0x00, 0x01, 0xE8})}}, 21));
    EXPECT_FALSE(run({{1, bytes({0x78, 0x00, 0x01, 0x68, 0x00})}}, 22));
    // Unsupported packetizations and the forbidden bit.
    EXPECT_FALSE(run({{1, bytes({0x19, 0, 0, 0, 1, 0x68})}}, 23));  // STAP-B
    EXPECT_FALSE(run({{1, bytes({0x1D, 0x85, 1})}}, 24));           // FU-B
    EXPECT_FALSE(run({{1, bytes({0xE5, 0x88})}}, 25));

    // Padding-only packets make no frame; padding is removed from media packets.
    message_vector padded{rtp(1, 26, true, {}, 0x1234, 8)};
    EXPECT_FALSE(d.reassemble(padded));
    message_vector paddedMedia{rtp(1, 27, true, sps, 0x1234, 3)};
    auto frame = d.reassemble(paddedMedia);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, expectSps);
    // Malformed RTP (bad padding count) is skipped.
    binary badPadding = RtpPacket::build(header(1, 28, true), sps, 2);
    badPadding.back() = std::byte{200};
    message_vector bad{std::make_shared<Message>(badPadding)};
    EXPECT_FALSE(d.reassemble(bad));
}

TEST(H264Depacketizing, FrameBufferHandsOverOnMarkerNewerTimestampOrBound) {
    const binary idr = bytes({0x65, 0x88});
    const binary slice = bytes({0x41, 0x9A});
    H264RtpDepacketizer d(H264RtpDepacketizer::Separator::StartSequence, 4096);
    ManualClock clock;
    d.setClock(clock.clock());
    auto feed = [&](message_vector batch) {
        d.incoming(batch, nullptr);
        return batch;
    };
    // RTCP passes through untouched, in place.
    auto rtcpMessage = control(bytes({0x80, 201, 0, 1, 0, 0, 0, 1}));
    auto out = feed({rtcpMessage});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], rtcpMessage);

    // Frame 1 complete with marker.
    out = feed({rtp(100, 1000, false, idr), rtp(101, 1000, true, slice)});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->frameInfo->timestamp, 1000u);
    // Frame 2's marker packet (103) comes late, after frame 3 began: frame 2 is held and the
    // late packet completes it, as a retransmission would.
    out = feed({rtp(102, 2000, false, slice)});
    EXPECT_TRUE(out.empty());
    out = feed({rtp(104, 3000, false, slice)});
    EXPECT_TRUE(out.empty());
    out = feed({rtp(103, 2000, true, slice)});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->frameInfo->timestamp, 2000u);
    EXPECT_EQ(out[0]->size(), 12u);
    out = feed({rtp(105, 3000, true, slice)});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->frameInfo->timestamp, 3000u);
    EXPECT_EQ(out[0]->size(), 12u);
    // Marker first, hole in the middle: waits until the hole is filled (a retransmission).
    out = feed({rtp(106, 4000, false, idr), rtp(108, 4000, true, slice)});
    EXPECT_TRUE(out.empty());
    out = feed({rtp(107, 4000, false, slice)});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->size(), 18u);
    // The frame's first packet missing (previous frame ended at 108): waits for it as well.
    out = feed({rtp(110, 5000, true, slice)});
    EXPECT_TRUE(out.empty());
    out = feed({rtp(109, 5000, false, idr)});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->size(), 12u);
    // A frame that never gets repaired is handed over incomplete once it waited the hold time
    // (nothing asks for repairs here, so only reordering is waited for), or as soon as the next
    // frame is complete; always in order.
    out = feed({rtp(111, 6000, false, idr), rtp(113, 7000, false, slice)});
    EXPECT_TRUE(out.empty());
    clock.advance(VideoRtpDepacketizer::ReorderHoldTime - 1ms);
    out = feed({rtp(115, 8000, false, slice)});
    EXPECT_TRUE(out.empty());
    clock.advance(1ms);
    EXPECT_EQ(d.wakeTime(), clock.now());
    out = feed({});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->frameInfo->timestamp, 6000u);
    out = feed({rtp(116, 8000, true, slice)});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->frameInfo->timestamp, 7000u);
    EXPECT_EQ(out[1]->frameInfo->timestamp, 8000u);
    // Packets of frames already handed over are dropped, whatever their timestamp.
    out = feed({rtp(112, 6000, true, slice), rtp(114, 7000, true, slice)});
    EXPECT_TRUE(out.empty());
    // Above the byte bound: handed over as it is, the rest of that timestamp discarded.
    binary big(1500, std::byte{0x11});
    big[0] = std::byte{0x41};
    message_vector flood;
    for (uint16_t s = 117; s < 121; ++s) flood.push_back(rtp(s, 9000, false, big));
    flood.push_back(rtp(121, 9000, true, slice));
    out = feed(flood);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->size(), 3u * 1504);  // the three packets buffered before the bound
    // The next frame flows again.
    out = feed({rtp(122, 10000, true, idr)});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->frameInfo->timestamp, 10000u);
    // A new SSRC starts afresh even with an older sequence number.
    out = feed({rtp(5, 100, true, idr, 0x9999)});
    ASSERT_EQ(out.size(), 1u);
    // Short or non-version-2 packets are dropped.
    auto junk = std::make_shared<Message>(bytes({0x80, 0x66, 0, 6}));
    auto v1 = rtp(6, 200, true, idr, 0x9999);
    (*v1)[0] = std::byte{0x40};
    out = feed({junk, v1});
    EXPECT_TRUE(out.empty());
}

namespace {

// Stands for a receiving session that asks for repairs with the given round trip.
class RepairsAsked final : public MediaHandler {
public:
    explicit RepairsAsked(std::chrono::microseconds roundTrip) : roundTrip(roundTrip) {}
    std::optional<std::chrono::microseconds> repairRoundTrip() const override { return roundTrip; }
    std::chrono::microseconds roundTrip;
};

}  // namespace

// With repairs asked for, a damaged frame waits about two repair round trips (bounded) from the
// moment it is overdue, and the frames after it wait behind it: delivery stays in order.
TEST(H264Depacketizing, DamagedFramesWaitTwiceTheRepairRoundTripInOrder) {
    const binary idr = bytes({0x65, 0x88});
    const binary slice = bytes({0x41, 0x9A});
    auto d = std::make_shared<H264RtpDepacketizer>(H264RtpDepacketizer::Separator::StartSequence);
    auto repairs = std::make_shared<RepairsAsked>(60ms);
    d->addToChain(repairs);
    ManualClock clock;
    d->setClock(clock.clock());
    auto feed = [&](message_vector batch) {
        d->incoming(batch, nullptr);
        std::vector<uint32_t> timestamps;
        for (const auto& f : batch) timestamps.push_back(f->frameInfo->timestamp);
        return timestamps;
    };
    using T = std::vector<uint32_t>;
    EXPECT_EQ(feed({rtp(10, 1000, true, idr)}), T{1000});
    // Frame 2000 misses 12; frame 3000 is whole but waits behind it.
    EXPECT_TRUE(feed({rtp(11, 2000, false, idr), rtp(13, 2000, true, slice)}).empty());
    const auto overdue = clock.now();
    clock.advance(10ms);
    EXPECT_TRUE(feed({rtp(14, 3000, true, slice)}).empty());
    EXPECT_EQ(d->wakeTime(), overdue + 120ms);
    // A repair within the hold time completes it; both go at once.
    clock.set(overdue + 119ms);
    EXPECT_EQ(feed({rtp(12, 2000, false, slice)}), (T{2000, 3000}));
    EXPECT_FALSE(d->wakeTime());

    // Unrepaired: handed over incomplete when the hold time is up, the next one right after.
    EXPECT_TRUE(feed({rtp(15, 4000, false, idr), rtp(17, 4000, true, slice), rtp(18, 5000, true, slice)}).empty());
    clock.advance(120ms - 1us);
    EXPECT_TRUE(feed({}).empty());
    clock.advance(1us);
    EXPECT_EQ(feed({}), (T{4000, 5000}));
    // The repair, too late now, is dropped.
    EXPECT_TRUE(feed({rtp(16, 4000, false, slice)}).empty());

    // A frame whose end never came and nothing newer: it waits the longest hold time from the
    // last packet received.
    EXPECT_TRUE(feed({rtp(19, 6000, false, idr)}).empty());
    clock.advance(VideoRtpDepacketizer::MaxHoldTime - 1ms);
    EXPECT_TRUE(feed({rtp(20, 6000, false, slice)}).empty());
    EXPECT_EQ(d->wakeTime(), clock.now() + VideoRtpDepacketizer::MaxHoldTime);
    clock.advance(VideoRtpDepacketizer::MaxHoldTime);
    EXPECT_EQ(feed({}), T{6000});
    // That frame's end is unknown now: the next frame, whole from 23 on, waits for the gap to be
    // accounted for. Late packets of the frame given up fill it (22 carries its marker), in any
    // order, and release it at once.
    EXPECT_TRUE(feed({rtp(23, 7000, true, slice)}).empty());
    EXPECT_TRUE(feed({rtp(22, 6000, true, slice)}).empty());
    EXPECT_EQ(feed({rtp(21, 6000, false, slice)}), T{7000});

    // The hold time follows the round trip within its bounds.
    repairs->roundTrip = 1ms;
    EXPECT_TRUE(feed({rtp(24, 8000, false, idr), rtp(26, 8000, true, slice)}).empty());
    EXPECT_EQ(d->wakeTime(), clock.now() + VideoRtpDepacketizer::MinHoldTime);
    repairs->roundTrip = 1s;
    EXPECT_TRUE(feed({}).empty());
    EXPECT_EQ(d->wakeTime(), clock.now() + VideoRtpDepacketizer::MaxHoldTime);
    clock.advance(VideoRtpDepacketizer::MaxHoldTime);
    EXPECT_EQ(feed({}), T{8000});

    // No more frames wait than the bound: the oldest is given up first.
    message_vector many;
    for (uint32_t f = 0; f <= VideoRtpDepacketizer::MaxBufferedFrames; ++f)
        many.push_back(rtp(uint16_t(100 + 2 * f), 9000 + f, false, idr));  // each missing its end
    auto out = feed(many);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], 9000u);
}

namespace {

// An independent H.265 packetizer for the tests: AP for small units, FU for large ones.
message_vector packetizeHevc(const std::vector<binary>& nals, uint16_t& sequence, uint32_t ts, std::size_t max) {
    message_vector out;
    std::vector<binary> payloads;
    binary ap;
    auto flushAp = [&] {
        if (ap.empty()) return;
        payloads.push_back(ap);
        ap.clear();
    };
    for (const auto& nal : nals) {
        if (nal.size() + 2 <= 200) {
            if (ap.empty()) ap = bytes({48 << 1, 1});
            ap.push_back(std::byte(nal.size() >> 8));
            ap.push_back(std::byte(nal.size() & 0xFF));
            ap.insert(ap.end(), nal.begin(), nal.end());
            continue;
        }
        flushAp();
        if (nal.size() <= max) {
            payloads.push_back(nal);
            continue;
        }
        const uint8_t type = (std::to_integer<uint8_t>(nal[0]) >> 1) & 0x3F;
        for (std::size_t at = 2; at < nal.size(); at += max - 3) {
            const std::size_t n = std::min(max - 3, nal.size() - at);
            binary p = bytes({(std::to_integer<int>(nal[0]) & 0x81) | (49 << 1), std::to_integer<int>(nal[1]),
                              (at == 2 ? 0x80 : 0) | (at + n == nal.size() ? 0x40 : 0) | type});
            p.insert(p.end(), nal.begin() + at, nal.begin() + at + n);
            payloads.push_back(p);
        }
    }
    flushAp();
    for (std::size_t i = 0; i < payloads.size(); ++i) out.push_back(rtp(sequence++, ts, i + 1 == payloads.size(), payloads[i]));
    return out;
}

}  // namespace

TEST(H265Depacketizing, AggregatesAndFragmentsRebuildTheAccessUnit) {
    std::mt19937 rng(5);
    H265RtpDepacketizer d(H265RtpDepacketizer::Separator::StartSequence);
    uint16_t sequence = 65000;
    for (std::size_t slice : {std::size_t(300), std::size_t(1200), std::size_t(5000), std::size_t(400000)}) {
        const std::vector<binary> nals{makeHevcNal(rng, 24, 32), makeHevcNal(rng, 40, 33), makeHevcNal(rng, 8, 34),
                                       makeHevcNal(rng, slice, 19), makeHevcNal(rng, 100, 1)};
        auto packets = packetizeHevc(nals, sequence, uint32_t(slice), 1200);
        std::shuffle(packets.begin() + 1, packets.end(), rng);
        d.incoming(packets, nullptr);
        ASSERT_EQ(packets.size(), 1u) << slice;
        EXPECT_TRUE(*packets[0] == annexB4(nals)) << slice;
        EXPECT_EQ(packets[0]->frameInfo->timestamp, uint32_t(slice));
    }
}

TEST(H265Depacketizing, InvalidHeadersAndBrokenUnitsAreLeftOut) {
    H265RtpDepacketizer d;
    auto one = [&](std::vector<binary> payloads) {
        message_vector batch;
        for (std::size_t i = 0; i < payloads.size(); ++i)
            batch.push_back(rtp(uint16_t(i + 1), 9, i + 1 == payloads.size(), payloads[i]));
        return d.reassemble(batch);
    };
    const binary vps = bytes({0x40, 0x01, 0x0C});
    auto frame = one({vps});
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, bytes({0, 0, 0, 1, 0x40, 0x01, 0x0C}));
    EXPECT_FALSE(one({bytes({0xC0, 0x01, 0x0C})}));  // F bit
    EXPECT_FALSE(one({bytes({0x41, 0x01, 0x0C})}));  // layer id high bit
    EXPECT_FALSE(one({bytes({0x40, 0x09, 0x0C})}));  // layer id 1
    EXPECT_FALSE(one({bytes({0x40, 0x00, 0x0C})}));  // temporal id 0
    // FU start, middle with another type, end: dropped; a complete FU rebuilds the header.
    EXPECT_FALSE(one({bytes({0x62, 0x01, 0x93, 1}), bytes({0x62, 0x01, 0x01, 2}), bytes({0x62, 0x01, 0x53, 3})}));
    auto fu = one({bytes({0x62, 0x01, 0x93, 1}), bytes({0x62, 0x01, 0x13, 2}), bytes({0x62, 0x01, 0x53, 3})});
    ASSERT_TRUE(fu);
    EXPECT_EQ(*fu, bytes({0, 0, 0, 1, 0x26, 0x01, 1, 2, 3}));
    EXPECT_FALSE(one({bytes({0x62, 0x01, 0xB0, 1}), bytes({0x62, 0x01, 0x70, 2})}));  // inner type 48
    EXPECT_FALSE(one({bytes({0x62, 0x01, 0xD3, 1})}));                                // start and end
    // AP: two units; one unit's size running past the end; a unit with an invalid header.
    auto ap = one({bytes({0x60, 0x01, 0x00, 0x03, 0x40, 0x01, 0x0C, 0x00, 0x02, 0x42, 0x01})});
    ASSERT_TRUE(ap);
    EXPECT_EQ(*ap, bytes({0, 0, 0, 1, 0x40, 0x01, 0x0C, 0, 0, 0, 1, 0x42, 0x01}));
    EXPECT_FALSE(one({bytes({0x60, 0x01, 0x00, 0x03, 0x40, 0x01, 0x0C, 0x00, 0x03, 0x42, 0x01})}));
    EXPECT_FALSE(one({bytes({0x60, 0x01, 0x00, 0x03, 0x40, 0x00, 0x0C})}));
    EXPECT_FALSE(one({bytes({0x64, 0x01, 0x00, 0x00})}));  // PACI
}
