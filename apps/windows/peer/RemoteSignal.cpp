#include "peer/RemoteSignal.hpp"

#include "protocol/SignalingSession.hpp"

namespace murel {
namespace {

constexpr const char* kInvalidPeerSignal = "Invalid peer signal";

const Json& member(const Json& object, const char* key) {
    if (!object.is_object()) throw ProtocolError(kInvalidPeerSignal);
    const auto it = object.find(key);
    if (it == object.end()) throw ProtocolError(kInvalidPeerSignal);
    return *it;
}

const std::string& stringMember(const Json& object, const char* key) {
    const Json& value = member(object, key);
    if (!value.is_string()) throw ProtocolError(kInvalidPeerSignal);
    return value.get_ref<const std::string&>();
}

// The media line index: a JSON integer naming an entry of the description. Anything else is
// refused before it is converted (a huge or negative number has no index).
unsigned int mediaIndex(const Json& line, unsigned int mediaCount) {
    if (line.is_number_unsigned()) {
        const auto value = line.get<std::uint64_t>();
        throwUnless(value < mediaCount, "Invalid ICE media index");
        return static_cast<unsigned int>(value);
    }
    if (line.is_number_integer()) {
        const auto value = line.get<std::int64_t>();
        throwUnless(value >= 0 && static_cast<std::uint64_t>(value) < mediaCount, "Invalid ICE media index");
        return static_cast<unsigned int>(value);
    }
    if (line.is_number_float() || line.is_boolean()) throw ProtocolError("Invalid ICE media index");
    throw ProtocolError(kInvalidPeerSignal);
}

}  // namespace

RemoteSignal parseRemoteSignal(const Json& signal, const std::string& sessionId, bool host,
                               const std::optional<rtc::Description>& remote) {
    if (!signal.is_object()) throw ProtocolError(kInvalidPeerSignal);
    const auto session = signal.find("session_id");
    throwUnless(session != signal.end() && *session == Json(sessionId), "Mismatched peer session");
    const std::string& type = stringMember(signal, "type");
    const Json& payload = member(signal, "payload");
    if (!payload.is_object()) throw ProtocolError(kInvalidPeerSignal);

    if (type == "offer" || type == "answer") {
        throwUnless(type == (host ? "answer" : "offer"), "Unexpected SDP direction");
        const std::string& sdp = stringMember(payload, "sdp");
        throwUnless(sdp.size() <= kSdpLimit, "SDP too large");
        // An empty text would make a fresh local description, not read a remote one.
        throwUnless(!sdp.empty(), kInvalidPeerSignal);
        return rtc::Description(sdp, type);
    }
    if (type == "ice") {
        throwUnless(remote.has_value(), "Remote SDP must be applied before ICE");
        const unsigned int line = mediaIndex(member(payload, "line"), remote->mediaCount());
        const std::string mid =
            std::visit([](const auto* entry) { return entry->mid(); }, remote->media(line));
        const auto given = payload.find("mid");
        if (given != payload.end() && !given->is_null())
            throwUnless(*given == Json(mid), "ICE mid/index mismatch");
        const std::string& text = stringMember(payload, "candidate");
        throwUnless(text.size() <= kIceCandidateLimit, "ICE candidate too large");
        return RemoteCandidate{rtc::Candidate(text, mid), line};
    }
    throw ProtocolError("Unsupported peer signal");
}

}  // namespace murel
