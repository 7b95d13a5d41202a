// A full ICE agent (RFC 8445) with trickle, consent freshness (RFC 7675) and relayed candidates
// through a TURN client, for one component over UDP.
//
// Threads: the agent runs its own thread with a poll loop. Public methods may be called from any
// thread. Callbacks run on the agent thread and never while an internal lock is held, so they may
// call back into the agent. close() waits for a callback in flight to return (unless it is called
// from that callback) and no callback runs after close() returns; do not call close() or destroy
// the agent while holding a lock that your callbacks take.
#pragma once

#include "ice/IceCandidate.hpp"
#include "ice/Socket.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rtc::impl {

enum class IceState { New, Checking, Connected, Completed, Failed, Disconnected, Closed };
enum class IceRole { Controlling, Controlled };

const char* toString(IceState state);

struct IceServerConfig {
    std::string host;  // name or numeric address
    uint16_t port = 3478;
    bool relay = false;  // TURN (allocates a relayed candidate) rather than STUN only
    std::string username;
    std::string password;
};

// All protocol timers; tests shrink them instead of waiting.
struct IceTimings {
    std::chrono::milliseconds pacing{50};     // Ta: one new check per interval
    std::chrono::milliseconds checkRto{250};  // first check retransmission time-out, doubling
    std::chrono::milliseconds maxCheckRto{3000};
    int checkTransmissions = 7;
    std::chrono::milliseconds stunRto{500};  // STUN server and TURN requests
    int stunTransmissions = 5;
    std::chrono::milliseconds nominationDelay{
        300};  // regular nomination waits this long for better pairs
    std::chrono::milliseconds consentInterval{5000};
    std::chrono::milliseconds disconnectedTimeout{8000};
    std::chrono::milliseconds consentTimeout{30000};
    std::chrono::milliseconds checkingTimeout{30000};  // without any working pair
    std::chrono::milliseconds gatheringTimeout{10000};
};

struct IceAgentConfig {
    std::vector<IceServerConfig> servers;
    std::string bindAddress;  // numeric; empty binds every interface
    uint16_t portRangeBegin = 0;
    uint16_t portRangeEnd = 0;
    bool relayOnly = false;  // offer and use relayed candidates only
    bool enableIpv4 = true;
    bool enableIpv6 = true;
    bool loopbackOnly = false;  // host candidates on loopback interfaces only (tests)
    bool aggressiveNomination = false;
    size_t maxRemoteCandidates = 64;
    size_t maxPairs = 256;
    size_t maxHostCandidates = 8;
    size_t maxDatagram = 65536;
    std::string software;
    IceTimings timings;
};

struct IceAgentCallbacks {
    std::function<void(const IceCandidate&)> onLocalCandidate;
    std::function<void()> onGatheringDone;
    std::function<void(IceState)> onStateChange;
    // A non-STUN datagram (DTLS, RTP, ...) from the remote side of a working pair, or of a pair on
    // which the remote side sent an authenticated check (it may be ahead of our own checks).
    std::function<void(std::span<const uint8_t>)> onData;
};

class IceAgent {
public:
    IceAgent(IceAgentConfig config, IceAgentCallbacks callbacks);
    ~IceAgent();
    IceAgent(const IceAgent&) = delete;
    IceAgent& operator=(const IceAgent&) = delete;

    std::string localUfrag() const;
    std::string localPassword() const;
    IceRole role() const;
    void setRole(IceRole role);
    void setRemoteCredentials(const std::string& ufrag, const std::string& password);

    // Trickled candidates, before or after the remote credentials. False when the line is
    // malformed, of a kind this agent does not use (TCP, host names), a duplicate, or over the
    // bound.
    bool addRemoteCandidate(std::string_view sdpLine);
    bool addRemoteCandidate(const IceCandidate& candidate);
    // The remote side will send no more candidates (end-of-candidates).
    void setRemoteGatheringDone();

    // Opens the sockets and gathers host, server-reflexive and relayed candidates; once only.
    // Resolves server host names on the calling thread.
    void gather();

    // Sends over the selected pair (or the best working one before nomination). False when there
    // is none or the agent failed or closed.
    bool send(std::span<const uint8_t> data);

    void close();

    // Closed is set by close() but not reported through onStateChange.
    IceState state() const;
    // Everything gathered or learned, including what is never signalled (host candidates of a
    // relay-only agent, peer-reflexive ones).
    std::vector<IceCandidate> localCandidates() const;
    // Local and remote candidate of the pair in use.
    std::optional<std::pair<IceCandidate, IceCandidate>> selectedPair() const;
    // Why the agent failed (TURN errors, time-outs); empty otherwise.
    std::string lastError() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace rtc::impl
