#include "peer/VideoCodecs.hpp"

#include <cctype>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "peer/PeerTypes.hpp"
#include "protocol/Wire.hpp"

namespace murel {
namespace {

constexpr const char* kTransportCc = "transport-cc";
constexpr std::string_view kTransportWideCcDraft =
    "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01";
constexpr std::string_view kTransportWideCc02 = "urn:ietf:params:rtp-hdrext:transport-wide-cc-02";

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Every key of the format parameters with the values it was given (absent value: nullopt).
using Parameters = std::map<std::string, std::vector<std::optional<std::string>>>;

Parameters parseParameters(const std::vector<std::string>& fmtps) {
    Parameters out;
    for (const auto& fmtp : fmtps) {
        std::string_view rest = fmtp;
        for (;;) {
            const auto semicolon = rest.find(';');
            const std::string_view part = trim(rest.substr(0, semicolon));
            if (!part.empty()) {
                const auto equals = part.find('=');
                std::string key(trim(part.substr(0, equals)));
                for (char& c : key)
                    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
                std::optional<std::string> value;
                if (equals != std::string_view::npos) value = std::string(trim(part.substr(equals + 1)));
                out[key].push_back(std::move(value));
            }
            if (semicolon == std::string_view::npos) break;
            rest.remove_prefix(semicolon + 1);
        }
    }
    return out;
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// A non-empty run of decimal digits that fits in 32 bits.
std::optional<std::uint32_t> decimal32(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + std::uint64_t(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// The key occurs at most once, with a value.
const std::string* single(const Parameters& parameters, const std::string& key, bool& ok) {
    const auto it = parameters.find(key);
    if (it == parameters.end()) return nullptr;
    if (it->second.size() != 1 || !it->second.front()) {
        ok = false;
        return nullptr;
    }
    return &*it->second.front();
}

template <class Test>
bool passes(const rtc::Description::Media::RtpMap* map, Test test) {
    return map != nullptr && test(*map);
}

}  // namespace

std::string h264ProfileLevelId(std::int32_t level) {
    switch (level) {
    case 41: return "42e029";
    case 42: return "42e02a";
    case 50: return "42e032";
    case 51: return "42e033";
    case 52: return "42e034";
    default: throw ProtocolError("Unsupported H.264 level");
    }
}

rtc::Description::Video hostVideoMedia(std::int32_t level, std::uint32_t bitrate) {
    rtc::Description::Video video(kVideoMid, rtc::Description::Direction::SendOnly);
    video.addH264Codec(kVideoPayloadType, "profile-level-id=" + h264ProfileLevelId(level) +
                                              ";packetization-mode=1;level-asymmetry-allowed=1");
    video.addSSRC(kVideoSsrc, std::string(kVideoCname), std::string(kVideoStreamId), std::string(kVideoTrackId));
    video.setBitrate(static_cast<int>((std::uint64_t(bitrate) + 999) / 1000));
    return video;
}

bool passesH264Test(const rtc::Description::Media::RtpMap& map) {
    if (map.format != "H264") return false;
    const Parameters parameters = parseParameters(map.fmtps);
    bool ok = true;
    const std::string* profile = single(parameters, "profile-level-id", ok);
    if (!ok) return false;
    if (!profile) return true;
    if (profile->size() != 6) return false;
    for (const char c : *profile)
        if (!isHex(c)) return false;
    const int levelIdc = hexValue((*profile)[4]) * 16 + hexValue((*profile)[5]);
    static constexpr int kLevels[] = {10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52};
    for (const int allowed : kLevels)
        if (levelIdc == allowed) return true;
    return false;
}

bool passesHevcTest(const rtc::Description::Media::RtpMap& map) {
    if (map.format != "H265" || map.clockRate != 90000) return false;
    const Parameters parameters = parseParameters(map.fmtps);
    struct Rule {
        const char* key;
        bool (*allowed)(std::uint32_t);
    };
    static constexpr Rule kRules[] = {
        {"profile-id", [](std::uint32_t v) { return v == 1; }},
        {"tier-flag", [](std::uint32_t v) { return v <= 1; }},
        {"level-id",
         [](std::uint32_t v) {
             for (const std::uint32_t level : {30u, 60u, 63u, 90u, 93u, 120u, 123u, 150u, 153u, 156u, 183u})
                 if (v == level) return true;
             return false;
         }},
        {"profile-space", [](std::uint32_t v) { return v == 0; }},
        {"sprop-max-don-diff", [](std::uint32_t v) { return v == 0; }},
    };
    for (const auto& rule : kRules) {
        bool ok = true;
        const std::string* text = single(parameters, rule.key, ok);
        if (!ok) return false;
        if (!text) continue;
        const auto value = decimal32(*text);
        if (!value || !rule.allowed(*value)) return false;
    }
    const auto txMode = parameters.find("tx-mode");
    if (txMode != parameters.end())
        for (const auto& value : txMode->second)
            if (!value || *value != "SRST") return false;
    return true;
}

VideoSelection selectVideo(const rtc::Description::Media& offered, bool allowHevc) {
    VideoSelection selection{offered, kCodecH264};
    auto& media = selection.media;
    std::optional<std::int32_t> codec;
    for (const int pt : media.payloadTypes()) {
        const auto* map = media.rtpMap(pt);
        if (allowHevc && passes(map, passesHevcTest)) {
            codec = kCodecHevc;
            break;
        }
        if (passes(map, passesH264Test)) {
            codec = kCodecH264;
            break;
        }
    }
    throwUnless(codec.has_value(), "Remote host did not offer a usable video codec");
    selection.codec = *codec;
    const auto test = *codec == kCodecHevc ? passesHevcTest : passesH264Test;
    for (const int pt : media.payloadTypes()) {
        // A payload type may already be gone with the one it repairs.
        if (!media.hasPayloadType(pt)) continue;
        if (!passes(media.rtpMap(pt), test)) media.removeRtpMap(pt);
    }
    throwUnless(!media.payloadTypes().empty(), "Remote host did not offer supported H.264 through Level 5.2");
    for (const int pt : media.payloadTypes())
        if (auto* map = media.rtpMap(pt)) map->removeFeedback(kTransportCc);
    for (const int id : media.extIds()) {
        const auto* map = media.extMap(id);
        if (map && (map->uri == kTransportWideCcDraft || map->uri == kTransportWideCc02)) media.removeExtMap(id);
    }
    return selection;
}

}  // namespace murel
