#pragma once
// Checks one signal received for the peer (an offer, an answer or an ICE candidate) and turns it
// into what the connection takes. Pure: applying it is the peer's work.

#include <optional>
#include <string>
#include <variant>

#include "protocol/Wire.hpp"
#include "rtc/Candidate.hpp"
#include "rtc/Description.hpp"

namespace murel {

struct RemoteCandidate {
    rtc::Candidate candidate;  // with the media id of the remote description's entry
    unsigned int line = 0;
};

using RemoteSignal = std::variant<rtc::Description, RemoteCandidate>;

// `host`: this peer is the host (takes answers) or the viewer (takes offers). `remote`: the
// connection's remote description, needed for candidates. Throws ProtocolError with the signal's
// fault ("Mismatched peer session", "Unexpected SDP direction", "SDP too large", "Remote SDP must
// be applied before ICE", "Invalid ICE media index", "ICE mid/index mismatch", "ICE candidate too
// large", "Unsupported peer signal", "Invalid peer signal"); an SDP or candidate the parser
// refuses throws the parser's std::invalid_argument.
RemoteSignal parseRemoteSignal(const Json& signal, const std::string& sessionId, bool host,
                               const std::optional<rtc::Description>& remote);

}  // namespace murel
