// Signaling classification must never crash or throw anything but ProtocolError, a refusal must leave
// the state as it was, and the candidate queue must stay bounded and ordered. The input is a
// sequence of messages separated by newlines, classified in turn by sessions already greeted and
// inside a session (one as viewer, one as host), so the peer-signal paths are reached at once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/SignalingSession.hpp"

namespace {

using murel::Json;
using murel::SignalEvent;
using murel::SignalEventKind;
using murel::SignalingSession;

void check(bool condition) {
    if (!condition) std::abort();
}

struct Snapshot {
    bool helloSeen;
    std::optional<murel::SessionInfo> session;
    bool remoteReady;
    std::size_t queued;

    explicit Snapshot(const SignalingSession& s)
        : helloSeen(s.helloSeen()), session(s.session()), remoteReady(s.remoteReady()),
          queued(s.queuedCandidateCount()) {}
    bool operator==(const Snapshot&) const = default;
};

void feed(SignalingSession& s, const Json& message) {
    const Snapshot before(s);
    SignalEvent event;
    try {
        event = s.classify(message);
    } catch (const murel::ProtocolError&) {
        check(Snapshot(s) == before);
        return;
    }
    check(s.queuedCandidateCount() <= murel::kMaxQueuedCandidates);
    if (event.kind == SignalEventKind::None) {
        check(event.message.is_null());
    } else {
        check(event.message == message);
    }
    if (event.kind == SignalEventKind::Description) {
        // What was held is handed over in one piece and only for this session.
        const std::string id = s.session()->id;
        check(s.takeQueuedCandidates(id + "x").empty());
        const std::size_t held = s.queuedCandidateCount();
        const std::vector<Json> taken = s.takeQueuedCandidates(id);
        check(taken.size() == held && s.queuedCandidateCount() == 0 && s.remoteReady());
        for (const Json& candidate : taken) {
            check(candidate.at("type") == "ice" && candidate.at("session_id") == id);
        }
    }
    if (event.kind == SignalEventKind::SessionEnd) check(!s.session() && s.queuedCandidateCount() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const murel::SessionInfo info{"session-1", "host-1", "viewer-1"};
    SignalingSession viewer(info.clientId);
    SignalingSession host(info.hostId);
    SignalingSession fresh(info.clientId);
    for (SignalingSession* s : {&viewer, &host}) {
        check(s->classify(murel::makeHelloMessage(s->deviceId())).kind == SignalEventKind::Hello);
        check(s->classify(murel::makeSessionStartMessage(info)).kind == SignalEventKind::SessionStart);
    }

    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (int count = 0; count < 16 && !rest.empty(); ++count) {
        const std::size_t end = rest.find('\n');
        const std::string_view text = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        Json message;
        try {
            message = murel::parseWire(text, murel::kSignalingMessageLimit);
        } catch (const murel::ProtocolError&) {
            continue;
        }
        feed(viewer, message);
        feed(host, message);
        feed(fresh, message);
    }
    return 0;
}
