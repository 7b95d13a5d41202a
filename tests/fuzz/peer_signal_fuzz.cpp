// Received peer signals (signaling JSON -> session description or candidate) and the viewer's
// codec choice on every offer that parses. Only the refusals the peer documents may be thrown;
// a candidate must name an entry of the description; a chosen video line keeps only payload
// types of the chosen codec and no transport-wide congestion control.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "peer/PeerTypes.hpp"
#include "peer/RemoteSignal.hpp"
#include "peer/VideoCodecs.hpp"
#include "protocol/Wire.hpp"

namespace {

using namespace murel;

void check(bool condition) {
    if (!condition) std::abort();
}

const std::string kSession = "fuzz-session";

const char* kRemoteSdp =
    "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE video data\r\n"
    "a=ice-ufrag:abcd\r\na=ice-pwd:abcdefghijklmnopqrstuvwx\r\n"
    "a=fingerprint:sha-256 "
    "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89\r\n"
    "m=video 9 UDP/TLS/RTP/SAVPF 102\r\nc=IN IP4 0.0.0.0\r\na=mid:video\r\na=sendonly\r\na=rtcp-mux\r\n"
    "a=rtpmap:102 H264/90000\r\n"
    "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\na=mid:data\r\na=sctp-port:5000\r\n";

void checkSelection(const rtc::Description::Media& offered, bool allowHevc) {
    try {
        const VideoSelection selection = selectVideo(offered, allowHevc);
        check(selection.codec == kCodecH264 || (allowHevc && selection.codec == kCodecHevc));
        const auto test = selection.codec == kCodecHevc ? passesHevcTest : passesH264Test;
        check(!selection.media.payloadTypes().empty());
        for (const int pt : selection.media.payloadTypes()) {
            const auto* map = selection.media.rtpMap(pt);
            check(map && test(*map));
            for (const auto& feedback : map->rtcpFbs)
                check(feedback != "transport-cc" && feedback.rfind("transport-cc ", 0) != 0);
        }
        for (const int id : selection.media.extIds()) {
            const std::string& uri = selection.media.extMap(id)->uri;
            check(uri != "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01" &&
                  uri != "urn:ietf:params:rtp-hdrext:transport-wide-cc-02");
        }
        (void)selection.media.generateSdp();
    } catch (const ProtocolError&) {
    }
}

void apply(const Json& signal, bool host, const std::optional<rtc::Description>& remote) {
    try {
        RemoteSignal parsed = parseRemoteSignal(signal, kSession, host, remote);
        if (auto* description = std::get_if<rtc::Description>(&parsed)) {
            check(description->typeString() == (host ? "answer" : "offer"));
            for (unsigned int i = 0; i < description->mediaCount(); ++i) {
                auto entry = description->media(i);
                if (auto* media = std::get_if<rtc::Description::Media*>(&entry); media && (*media)->type() == "video") {
                    checkSelection(**media, true);
                    checkSelection(**media, false);
                }
            }
        } else {
            const auto& candidate = std::get<RemoteCandidate>(parsed);
            check(remote && candidate.line < remote->mediaCount());
            const std::string mid = std::visit([](const auto* e) { return e->mid(); }, remote->media(candidate.line));
            check(candidate.candidate.mid() == mid);
        }
    } catch (const ProtocolError&) {
    } catch (const std::invalid_argument&) {  // the SDP or candidate parser's refusal
    } catch (const std::length_error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::optional<rtc::Description> remote = rtc::Description(kRemoteSdp, "offer");
    Json signal;
    try {
        signal = parseWire(std::string_view(reinterpret_cast<const char*>(data), size), kSignalingMessageLimit);
    } catch (const ProtocolError&) {
        return 0;
    }
    for (const bool host : {false, true}) {
        apply(signal, host, remote);
        apply(signal, host, std::nullopt);
    }
    return 0;
}
