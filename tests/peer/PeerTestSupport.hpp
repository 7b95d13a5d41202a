#pragma once
// Helpers of the peer tests: access units of both codecs, session descriptions with chosen media
// ids and candidates, and shortcuts over drained events.

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "peer/PeerTypes.hpp"
#include "rtp_test_support.hpp"

namespace murel::peertest {

using rtc::binary;
using rtptest::annexB4;
using rtptest::bytes;

// H.264 NAL units with a little body (emulation-free).
inline binary h264Nal(uint8_t type, std::size_t size = 8) {
    binary nal(size, std::byte{0x5A});
    nal[0] = std::byte(0x60 | type);  // NRI 3
    return nal;
}
inline binary h264Keyframe() { return annexB4({h264Nal(7), h264Nal(8), h264Nal(5, 64)}); }
inline binary h264Delta(std::size_t size = 64) { return annexB4({h264Nal(1, size)}); }

// HEVC NAL units: layer 0, temporal id 1; slices start with first_slice_segment_in_pic_flag set.
inline binary hevcNal(uint8_t type, std::size_t size = 8, bool firstSlice = true) {
    binary nal(size, std::byte{0x5A});
    nal[0] = std::byte(type << 1);
    nal[1] = std::byte{0x01};
    if (size > 2) nal[2] = std::byte(firstSlice ? 0x80 : 0x00);
    return nal;
}
inline binary hevcKeyframe() { return annexB4({hevcNal(32), hevcNal(33), hevcNal(34), hevcNal(19, 64)}); }
inline binary hevcDelta() { return annexB4({hevcNal(1, 64)}); }

inline PeerEvent videoFrame(binary bytes, uint32_t timestamp = 0) {
    PeerEvent event = PeerEvent::of(PeerEventKind::VideoFrame);
    event.bytes = std::move(bytes);
    event.rtpTimestamp = timestamp;
    return event;
}

inline std::vector<PeerEventKind> kinds(const std::vector<PeerEvent>& events) {
    std::vector<PeerEventKind> out;
    for (const auto& e : events) out.push_back(e.kind);
    return out;
}

inline std::size_t countKind(const std::vector<PeerEvent>& events, PeerEventKind kind) {
    std::size_t n = 0;
    for (const auto& e : events) n += e.kind == kind;
    return n;
}

// A fingerprint and ICE credentials are required of a remote description; the values are arbitrary.
inline std::string sdpText(const std::vector<std::string>& videoMids, bool data,
                           const std::vector<std::string>& candidates = {}, const std::string& video = {}) {
    std::string mids;
    for (const auto& m : videoMids) mids += " " + m;
    if (data) mids += " data";
    std::string out =
        "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE" + mids +
        "\r\na=ice-ufrag:abcd\r\na=ice-pwd:abcdefghijklmnopqrstuvwx\r\n"
        "a=fingerprint:sha-256 "
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89\r\n"
        "a=setup:actpass\r\n";
    bool first = true;
    auto candidateLines = [&] {
        std::string lines;
        if (first)
            for (const auto& c : candidates) lines += "a=" + c + "\r\n";
        first = false;
        return lines;
    };
    for (const auto& mid : videoMids) {
        out += video.empty() ? "m=video 9 UDP/TLS/RTP/SAVPF 102\r\nc=IN IP4 0.0.0.0\r\na=rtcp-mux\r\n"
                               "a=sendonly\r\na=rtpmap:102 H264/90000\r\n"
                             : video;
        out += "a=mid:" + mid + "\r\n" + candidateLines();
    }
    if (data) {
        out += "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\na=mid:data\r\n"
               "a=sctp-port:5000\r\n" +
               candidateLines();
    }
    return out;
}

inline std::string hostCandidate(int port) {
    return "candidate:1 1 udp 2130706431 127.0.0.1 " + std::to_string(port) + " typ host";
}

// Counts wake calls (the mailbox calls it with its lock held; it only counts).
struct WakeCounter {
    std::shared_ptr<std::atomic<int>> count = std::make_shared<std::atomic<int>>(0);
    std::function<void()> callable() const {
        return [count = count] { count->fetch_add(1); };
    }
    int value() const { return count->load(); }
};

}  // namespace murel::peertest
