// Media sections of a session description: the common part, the data application and RTP media.
#include "rtc/Description.hpp"

#include "sdp/SdpText.hpp"

#include <algorithm>
#include <stdexcept>

namespace rtc {
namespace {

using Direction = Description::Direction;

[[noreturn]] void fail(const std::string& what) {
    throw std::invalid_argument("Invalid SDP: " + what);
}

std::optional<Direction> parseDirection(std::string_view s) {
    if (s == "sendrecv") return Direction::SendRecv;
    if (s == "sendonly") return Direction::SendOnly;
    if (s == "recvonly") return Direction::RecvOnly;
    if (s == "inactive") return Direction::Inactive;
    return std::nullopt;
}

// "<key>:<value>" attributes: the key and the value; a flag attribute has an empty value.
std::pair<std::string_view, std::string_view> splitAttribute(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {line, {}};
    return {line.substr(0, colon), line.substr(colon + 1)};
}

bool matchesAttribute(const std::string& attribute, const std::string& key) {
    return attribute == key || (attribute.size() > key.size() && sdp::startsWith(attribute, key) &&
                                attribute[key.size()] == ':');
}

int parsePayloadType(std::string_view s) {
    auto pt = sdp::parseNumber<int>(s);
    if (!pt || *pt > 127) fail("bad payload type \"" + std::string(s.substr(0, 16)) + "\"");
    return *pt;
}

void checkId(int id) {
    if (id < 1 || id > 255 || id == 15)
        throw std::invalid_argument("Invalid SDP: extmap id out of range");
}

// The apt=<pt> parameter of a retransmission format.
std::optional<int> associatedPayloadType(const Description::Media::RtpMap& map) {
    if (!sdp::iequals(map.format, "rtx")) return std::nullopt;
    for (const auto& fmtp : map.fmtps) {
        std::string_view rest = fmtp;
        while (!rest.empty()) {
            size_t semi = rest.find(';');
            std::string_view part = sdp::trim(rest.substr(0, semi));
            rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
            size_t eq = part.find('=');
            if (eq == std::string_view::npos) continue;
            if (sdp::iequals(sdp::trim(part.substr(0, eq)), "apt"))
                if (auto pt = sdp::parseNumber<int>(sdp::trim(part.substr(eq + 1)))) return *pt;
        }
    }
    return std::nullopt;
}

}  // namespace

// Entry

Description::Entry::Entry(std::string type, std::string protocol, std::string mid,
                          Direction direction)
    : mType(std::move(type)), mProtocol(std::move(protocol)), mMid(std::move(mid)),
      mDirection(direction) {}

std::string Description::Entry::description() const {
    std::string out = mProtocol;
    for (const auto& format : formats()) out += " " + format;
    return out;
}

void Description::Entry::addAttribute(std::string attribute) {
    sdp::requireLineText(attribute, "attribute");
    if (attribute.empty()) throw std::invalid_argument("empty attribute");
    // What the model writes itself would come out twice (and fail to read back).
    auto [key, value] = splitAttribute(attribute);
    bool owned =
        parseDirection(attribute).has_value() || (key == "rtcp-fb" && !sdp::startsWith(value, "*"));
    for (std::string_view k :
         {"mid", "ice-ufrag", "ice-pwd", "ice-options", "fingerprint", "setup", "candidate",
          "end-of-candidates", "extmap", "rtpmap", "fmtp", "ssrc", "sctp-port", "max-message-size"})
        owned = owned || key == k;
    if (owned)
        throw std::invalid_argument("attribute \"" + std::string(key) + "\" has its own setter");
    mAttributes.push_back(std::move(attribute));
}

void Description::Entry::removeAttribute(const std::string& attribute) {
    std::erase_if(mAttributes,
                  [&](const std::string& a) { return matchesAttribute(a, attribute); });
}

Description::Entry::ExtMap::ExtMap(int id_, std::string uri_, Direction direction_)
    : id(id_), uri(std::move(uri_)), direction(direction_) {
    checkId(id);
    sdp::requireLineText(uri, "extmap uri");
    if (uri.empty() || uri.find_first_of(" \t") != std::string::npos)
        throw std::invalid_argument("Invalid SDP: bad extmap uri");
}

Description::Entry::ExtMap::ExtMap(std::string_view description) {
    auto fields = sdp::splitFields(description, 64);
    if (fields.size() < 2) fail("extmap without uri");
    std::string_view idText = fields[0];
    size_t slash = idText.find('/');
    if (slash != std::string_view::npos) {
        auto dir = parseDirection(idText.substr(slash + 1));
        if (!dir) fail("bad extmap direction");
        direction = *dir;
        idText = idText.substr(0, slash);
    }
    auto value = sdp::parseNumber<int>(idText);
    if (!value) fail("bad extmap id");
    id = *value;
    checkId(id);
    uri = std::string(fields[1]);
    // Extension attributes are the rest of the line as written.
    size_t uriEnd = static_cast<size_t>(fields[1].data() - description.data()) + fields[1].size();
    attributes = std::string(sdp::trim(description.substr(uriEnd)));
}

std::vector<int> Description::Entry::extIds() const {
    std::vector<int> ids;
    for (const auto& map : mExtMaps) ids.push_back(map.id);
    return ids;
}

Description::Entry::ExtMap* Description::Entry::extMap(int id) {
    for (auto& map : mExtMaps)
        if (map.id == id) return &map;
    return nullptr;
}

const Description::Entry::ExtMap* Description::Entry::extMap(int id) const {
    for (const auto& map : mExtMaps)
        if (map.id == id) return &map;
    return nullptr;
}

void Description::Entry::addExtMap(ExtMap map) {
    checkId(map.id);
    sdp::requireLineText(map.uri, "extmap uri");
    sdp::requireLineText(map.attributes, "extmap attributes");
    if (map.uri.empty() || map.uri.find_first_of(" \t") != std::string::npos)
        throw std::invalid_argument("Invalid SDP: bad extmap uri");
    if (auto* existing = extMap(map.id))
        *existing = std::move(map);
    else
        mExtMaps.push_back(std::move(map));
}

void Description::Entry::removeExtMap(int id) {
    std::erase_if(mExtMaps, [id](const ExtMap& map) { return map.id == id; });
}

void Description::Entry::parseSdpLine(std::string_view line) {
    if (auto direction = parseDirection(line)) {
        mDirection = *direction;
        return;
    }
    auto [key, value] = splitAttribute(line);
    if (key == "extmap") {
        ExtMap map(value);
        if (extMap(map.id)) fail("duplicate extmap id " + std::to_string(map.id));
        mExtMaps.push_back(std::move(map));
        return;
    }
    mAttributes.emplace_back(line);
}

void Description::Entry::generateSpecific(std::string&, std::string_view) const {}

std::string Description::Entry::generateSdp(std::string_view eol, std::string_view addr,
                                            uint16_t port) const {
    std::string out;
    generateInto(out, eol, addr, port, {});
    return out;
}

void Description::Entry::generateInto(std::string& out, std::string_view eol, std::string_view addr,
                                      uint16_t port, std::string_view transport) const {
    auto line = [&](std::string_view text) {
        out += text;
        out += eol;
    };
    std::string formatsText = description();
    bool rejected = mRemoved;
    // An RTP section left without formats cannot be written as a usable m= line: it goes out
    // rejected.
    if (formats().empty()) {
        rejected = true;
        formatsText += " 0";
    }
    line("m=" + mType + " " + std::to_string(rejected ? 0 : port) + " " + formatsText);
    bool v6 = std::string_view(addr).find(':') != std::string_view::npos;
    line(std::string("c=IN ") + (v6 ? "IP6 " : "IP4 ") + std::string(addr));
    if (auto* media = dynamic_cast<const Media*>(this); media && media->bitrate() > 0)
        line("b=AS:" + std::to_string(media->bitrate()));
    for (const auto& bandwidth : mBandwidths) line("b=" + bandwidth);
    if (!mMid.empty()) line("a=mid:" + mMid);
    out += transport;
    switch (mDirection) {
        case Direction::SendRecv:
            line("a=sendrecv");
            break;
        case Direction::SendOnly:
            line("a=sendonly");
            break;
        case Direction::RecvOnly:
            line("a=recvonly");
            break;
        case Direction::Inactive:
            line("a=inactive");
            break;
        case Direction::Unknown:
            break;
    }
    for (const auto& attribute : mAttributes) line("a=" + attribute);
    for (const auto& map : mExtMaps) {
        std::string text = "a=extmap:" + std::to_string(map.id);
        if (map.direction != Direction::Unknown) text += "/" + directionToString(map.direction);
        text += " " + map.uri;
        if (!map.attributes.empty()) text += " " + map.attributes;
        line(text);
    }
    generateSpecific(out, eol);
}

// Application

Description::Application::Application(std::string mid)
    : Entry("application", "UDP/DTLS/SCTP", std::move(mid), Direction::Unknown),
      mSctpPort(DEFAULT_SCTP_PORT) {
    mFormats = {"webrtc-datachannel"};
}

Description::Application::Application(std::string protocol, std::vector<std::string> formats,
                                      std::string mid)
    : Entry("application", std::move(protocol), std::move(mid), Direction::Unknown) {
    // The older form "DTLS/SCTP <port>" (with a=sctpmap) names the SCTP port as its format.
    if (legacy()) {
        if (formats.size() != 1) fail("DTLS/SCTP section needs exactly one port");
        auto port = sdp::parseNumber<unsigned>(formats[0]);
        if (!port || *port == 0 || *port > 65535) fail("bad SCTP port");
        mSctpPort = static_cast<uint16_t>(*port);
    }
    mFormats = std::move(formats);
}

bool Description::Application::legacy() const {
    return mProtocol == "DTLS/SCTP";
}

std::vector<std::string> Description::Application::formats() const {
    if (legacy() && mSctpPort) return {std::to_string(*mSctpPort)};
    return mFormats;
}

Description::Application Description::Application::reciprocate() const {
    Application other = *this;
    other.mMaxMessageSize.reset();
    return other;
}

void Description::Application::parseSdpLine(std::string_view line) {
    auto [key, value] = splitAttribute(line);
    if (key == "sctp-port") {
        auto port = sdp::parseNumber<unsigned>(value);
        if (!port || *port == 0 || *port > 65535) fail("bad sctp-port");
        mSctpPort = static_cast<uint16_t>(*port);
        return;
    }
    if (key == "max-message-size") {
        auto size = sdp::parseNumber<uint64_t>(value);
        if (!size) fail("bad max-message-size");
        // 0 means "no limit" (RFC 8841); anything beyond what memory can take is the same in
        // practice.
        mMaxMessageSize = static_cast<size_t>(std::min<uint64_t>(*size, SIZE_MAX));
        return;
    }
    Entry::parseSdpLine(line);
}

void Description::Application::generateSpecific(std::string& out, std::string_view eol) const {
    if (mSctpPort && !legacy()) (out += "a=sctp-port:" + std::to_string(*mSctpPort)) += eol;
    if (mMaxMessageSize) (out += "a=max-message-size:" + std::to_string(*mMaxMessageSize)) += eol;
}

// Media

Description::Media::Media(std::string type, std::string mid, Direction direction)
    : Entry(std::move(type), "UDP/TLS/RTP/SAVPF", std::move(mid), direction) {
    mAttributes.push_back("rtcp-mux");
}

Description::Media::Media(std::string type, std::string protocol, std::vector<std::string> formats,
                          std::string mid)
    : Entry(std::move(type), std::move(protocol), std::move(mid), Direction::Unknown) {
    // RTP profiles list payload types; other protocols keep their formats as written.
    if (mProtocol.find("RTP") != std::string::npos) {
        for (const auto& format : formats) {
            int pt = parsePayloadType(format);
            if (hasPayloadType(pt)) fail("payload type " + format + " listed twice");
            mPayloadTypes.push_back(pt);
            mRtpMaps.emplace_back(pt);
        }
    } else {
        mFormats = std::move(formats);
    }
}

std::string Description::Media::description() const {
    return Entry::description();
}

std::vector<std::string> Description::Media::formats() const {
    if (mProtocol.find("RTP") == std::string::npos) return mFormats;
    std::vector<std::string> out;
    for (int pt : mPayloadTypes) out.push_back(std::to_string(pt));
    return out;
}

Description::Media::RtpMap::RtpMap(int payloadType_) : payloadType(payloadType_) {
    if (payloadType < 0 || payloadType > 127)
        throw std::invalid_argument("Invalid SDP: payload type out of range");
}

Description::Media::RtpMap::RtpMap(std::string_view description) {
    auto fields = sdp::splitFields(description, 2);
    if (fields.size() != 2) fail("bad rtpmap");
    payloadType = parsePayloadType(fields[0]);
    std::string_view encoding = fields[1];
    size_t slash = encoding.find('/');
    if (slash == std::string_view::npos || slash == 0) fail("rtpmap without clock rate");
    format = std::string(encoding.substr(0, slash));
    std::string_view rest = encoding.substr(slash + 1);
    size_t slash2 = rest.find('/');
    auto clock = sdp::parseNumber<int>(rest.substr(0, slash2));
    if (!clock || *clock <= 0) fail("bad rtpmap clock rate");
    clockRate = *clock;
    if (slash2 != std::string_view::npos) {
        encParams = std::string(rest.substr(slash2 + 1));
        if (encParams.empty()) fail("empty rtpmap encoding parameters");
    }
}

void Description::Media::RtpMap::removeFeedback(const std::string& feedback) {
    std::erase_if(rtcpFbs, [&](const std::string& fb) {
        return fb == feedback || (fb.size() > feedback.size() && sdp::startsWith(fb, feedback) &&
                                  fb[feedback.size()] == ' ');
    });
}

void Description::Media::RtpMap::addFeedback(std::string feedback) {
    sdp::requireLineText(feedback, "feedback");
    if (rtcpFbs.size() >= SDP_MAX_PARAMETERS) throw std::length_error("too many rtcp-fb lines");
    rtcpFbs.push_back(std::move(feedback));
}

void Description::Media::RtpMap::addParameter(std::string parameter) {
    sdp::requireLineText(parameter, "fmtp");
    if (fmtps.size() >= SDP_MAX_PARAMETERS) throw std::length_error("too many fmtp lines");
    fmtps.push_back(std::move(parameter));
}

void Description::Media::RtpMap::removeParameter(const std::string& parameter) {
    std::erase(fmtps, parameter);
}

bool Description::Media::hasPayloadType(int payloadType) const {
    return std::find(mPayloadTypes.begin(), mPayloadTypes.end(), payloadType) !=
           mPayloadTypes.end();
}

Description::Media::RtpMap* Description::Media::rtpMap(int payloadType) {
    for (auto& map : mRtpMaps)
        if (map.payloadType == payloadType) return &map;
    return nullptr;
}

const Description::Media::RtpMap* Description::Media::rtpMap(int payloadType) const {
    for (const auto& map : mRtpMaps)
        if (map.payloadType == payloadType) return &map;
    return nullptr;
}

void Description::Media::addRtpMap(RtpMap map) {
    if (map.payloadType < 0 || map.payloadType > 127)
        throw std::invalid_argument("Invalid SDP: payload type out of range");
    sdp::requireLineText(map.format, "format");
    sdp::requireLineText(map.encParams, "encoding parameters");
    if (map.format.find_first_of(" \t/") != std::string::npos)
        throw std::invalid_argument("Invalid SDP: bad format name");
    if (map.rtcpFbs.size() > SDP_MAX_PARAMETERS || map.fmtps.size() > SDP_MAX_PARAMETERS)
        throw std::length_error("too many rtcp-fb or fmtp lines");
    for (const auto& fb : map.rtcpFbs) sdp::requireLineText(fb, "feedback");
    for (const auto& fmtp : map.fmtps) sdp::requireLineText(fmtp, "fmtp");
    if (auto* existing = rtpMap(map.payloadType)) {
        *existing = std::move(map);
        return;
    }
    mPayloadTypes.push_back(map.payloadType);
    mRtpMaps.push_back(std::move(map));
}

void Description::Media::removeRtpMap(int payloadType) {
    if (!hasPayloadType(payloadType)) return;
    std::vector<int> doomed{payloadType};
    for (const auto& map : mRtpMaps)
        if (associatedPayloadType(map) == payloadType) doomed.push_back(map.payloadType);
    for (int pt : doomed) {
        std::erase(mPayloadTypes, pt);
        std::erase_if(mRtpMaps, [pt](const RtpMap& map) { return map.payloadType == pt; });
    }
}

void Description::Media::removeFormat(const std::string& format) {
    std::vector<int> doomed;
    for (const auto& map : mRtpMaps)
        if (sdp::iequals(map.format, format)) doomed.push_back(map.payloadType);
    for (int pt : doomed) removeRtpMap(pt);
}

void Description::Media::addSSRC(uint32_t ssrc, std::optional<std::string> name,
                                 std::optional<std::string> msid,
                                 std::optional<std::string> trackId) {
    auto token = [](const std::optional<std::string>& s, const char* what) {
        if (s &&
            (s->empty() || !sdp::isLineText(*s) || s->find_first_of(" \t") != std::string::npos))
            throw std::invalid_argument(std::string("Invalid SDP: bad ") + what);
    };
    token(name, "cname");
    token(msid, "msid");
    token(trackId, "track id");
    auto it = std::find_if(mSsrcs.begin(), mSsrcs.end(),
                           [ssrc](const Ssrc& s) { return s.ssrc == ssrc; });
    if (it == mSsrcs.end()) {
        if (mSsrcs.size() >= SDP_MAX_SSRCS) throw std::length_error("too many SSRCs");
        mSsrcs.push_back({ssrc, {}});
        it = std::prev(mSsrcs.end());
    } else {
        it->attributes.clear();
    }
    if (name) it->attributes.push_back("cname:" + *name);
    if (msid) {
        std::string value = *msid + (trackId ? " " + *trackId : std::string());
        it->attributes.push_back("msid:" + value);
        bool sectionMsid =
            std::any_of(mAttributes.begin(), mAttributes.end(),
                        [](const std::string& a) { return matchesAttribute(a, "msid"); });
        if (!sectionMsid) mAttributes.push_back("msid:" + value);
    }
}

void Description::Media::removeSSRC(uint32_t ssrc) {
    std::erase_if(mSsrcs, [ssrc](const Ssrc& s) { return s.ssrc == ssrc; });
}

void Description::Media::clearSSRCs() {
    mSsrcs.clear();
}

bool Description::Media::hasSSRC(uint32_t ssrc) const {
    return std::any_of(mSsrcs.begin(), mSsrcs.end(),
                       [ssrc](const Ssrc& s) { return s.ssrc == ssrc; });
}

std::vector<uint32_t> Description::Media::getSSRCs() const {
    std::vector<uint32_t> out;
    for (const auto& s : mSsrcs) out.push_back(s.ssrc);
    return out;
}

std::vector<uint32_t> Description::Media::ssrcs() const {
    return getSSRCs();
}

std::optional<std::string> Description::Media::getCNameForSsrc(uint32_t ssrc) const {
    for (const auto& s : mSsrcs)
        if (s.ssrc == ssrc)
            for (const auto& attribute : s.attributes)
                if (sdp::startsWith(attribute, "cname:")) return attribute.substr(6);
    return std::nullopt;
}

std::vector<std::string> Description::Media::ssrcAttributes(uint32_t ssrc) const {
    for (const auto& s : mSsrcs)
        if (s.ssrc == ssrc) return s.attributes;
    return {};
}

Description::Media Description::Media::reciprocate() const {
    Media other = *this;
    switch (mDirection) {
        case Direction::SendOnly:
            other.mDirection = Direction::RecvOnly;
            break;
        case Direction::RecvOnly:
            other.mDirection = Direction::SendOnly;
            break;
        default:
            break;
    }
    other.mSsrcs.clear();
    // Stream identity and SSRC grouping describe the offerer's sending side.
    other.removeAttribute("msid");
    other.removeAttribute("ssrc-group");
    return other;
}

void Description::Media::parseSdpLine(std::string_view line) {
    auto [key, value] = splitAttribute(line);
    bool rtp = mProtocol.find("RTP") != std::string::npos;
    if (rtp && (key == "rtpmap" || key == "fmtp" || key == "rtcp-fb")) {
        size_t space = value.find_first_of(" \t");
        std::string_view ptText = value.substr(0, space);
        std::string_view rest =
            space == std::string_view::npos ? std::string_view() : sdp::trim(value.substr(space));
        if (ptText == "*") {  // wildcard feedback applies to every format; kept as written
            mAttributes.emplace_back(line);
            return;
        }
        int pt = parsePayloadType(ptText);
        RtpMap* map = rtpMap(pt);
        // Attributes of a format that the m= line does not list are meaningless (RFC 8866, 6.6);
        // drop them.
        if (!map) return;
        if (key == "rtpmap") {
            if (!map->format.empty()) fail("second rtpmap for payload type " + std::to_string(pt));
            RtpMap parsed(value);
            map->format = std::move(parsed.format);
            map->clockRate = parsed.clockRate;
            map->encParams = std::move(parsed.encParams);
        } else {
            if (rest.empty()) fail(std::string(key) + " without a value");
            auto& list = key == "fmtp" ? map->fmtps : map->rtcpFbs;
            if (list.size() >= SDP_MAX_PARAMETERS) fail("too many " + std::string(key) + " lines");
            list.emplace_back(rest);
        }
        return;
    }
    if (key == "ssrc") {
        size_t space = value.find_first_of(" \t");
        auto ssrc = sdp::parseNumber<uint32_t>(value.substr(0, space));
        if (!ssrc) fail("bad ssrc");
        std::string_view attribute =
            space == std::string_view::npos ? std::string_view() : sdp::trim(value.substr(space));
        if (attribute.empty()) fail("ssrc without an attribute");
        auto it = std::find_if(mSsrcs.begin(), mSsrcs.end(),
                               [&](const Ssrc& s) { return s.ssrc == *ssrc; });
        if (it == mSsrcs.end()) {
            if (mSsrcs.size() >= SDP_MAX_SSRCS) fail("too many SSRCs");
            mSsrcs.push_back({*ssrc, {}});
            it = std::prev(mSsrcs.end());
        }
        it->attributes.emplace_back(attribute);
        return;
    }
    Entry::parseSdpLine(line);
}

void Description::Media::generateSpecific(std::string& out, std::string_view eol) const {
    auto line = [&](std::string_view text) {
        out += text;
        out += eol;
    };
    for (int pt : mPayloadTypes) {
        const RtpMap* map = rtpMap(pt);
        if (!map) continue;
        std::string prefix = std::to_string(pt);
        if (!map->format.empty()) {
            std::string text =
                "a=rtpmap:" + prefix + " " + map->format + "/" + std::to_string(map->clockRate);
            if (!map->encParams.empty()) text += "/" + map->encParams;
            line(text);
        }
        for (const auto& fb : map->rtcpFbs) line("a=rtcp-fb:" + prefix + " " + fb);
        for (const auto& fmtp : map->fmtps) line("a=fmtp:" + prefix + " " + fmtp);
    }
    for (const auto& s : mSsrcs)
        for (const auto& attribute : s.attributes)
            line("a=ssrc:" + std::to_string(s.ssrc) + " " + attribute);
}

// Audio / Video

Description::Audio::Audio(std::string mid, Direction direction)
    : Media("audio", std::move(mid), direction) {}

void Description::Audio::addAudioCodec(int payloadType, std::string codec,
                                       std::optional<std::string> profile) {
    RtpMap map(payloadType);
    size_t slash = codec.find('/');
    map.format = codec.substr(0, slash);
    map.clockRate = 48000;
    map.encParams = "2";
    if (slash != std::string::npos) {
        std::string_view rest = std::string_view(codec).substr(slash + 1);
        size_t slash2 = rest.find('/');
        auto clock = sdp::parseNumber<int>(rest.substr(0, slash2));
        if (!clock || *clock <= 0) throw std::invalid_argument("Invalid SDP: bad codec clock rate");
        map.clockRate = *clock;
        map.encParams =
            slash2 == std::string_view::npos ? std::string() : std::string(rest.substr(slash2 + 1));
    }
    if (profile) map.addParameter(*profile);
    addRtpMap(std::move(map));
}

void Description::Audio::addOpusCodec(int payloadType, std::optional<std::string> profile) {
    addAudioCodec(payloadType, "opus", std::move(profile));
}

Description::Video::Video(std::string mid, Direction direction)
    : Media("video", std::move(mid), direction) {}

void Description::Video::addVideoCodec(int payloadType, std::string codec,
                                       std::optional<std::string> profile) {
    RtpMap map(payloadType);
    map.format = std::move(codec);
    map.clockRate = 90000;
    map.addFeedback("nack");
    map.addFeedback("nack pli");
    map.addFeedback("ccm fir");
    if (profile) map.addParameter(*profile);
    addRtpMap(std::move(map));
}

void Description::Video::addH264Codec(int payloadType, std::optional<std::string> profile) {
    addVideoCodec(payloadType, "H264", std::move(profile));
}

void Description::Video::addH265Codec(int payloadType, std::optional<std::string> profile) {
    addVideoCodec(payloadType, "H265", std::move(profile));
}

void Description::Video::addVP8Codec(int payloadType) {
    addVideoCodec(payloadType, "VP8");
}

}  // namespace rtc
