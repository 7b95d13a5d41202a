#include "ice/IceAgent.hpp"

#include "common/Log.hpp"

#include "ice/StunMessage.hpp"
#include "ice/TurnClient.hpp"

#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

namespace rtc::impl {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* toString(IceState state) {
    switch (state) {
        case IceState::New:
            return "new";
        case IceState::Checking:
            return "checking";
        case IceState::Connected:
            return "connected";
        case IceState::Completed:
            return "completed";
        case IceState::Failed:
            return "failed";
        case IceState::Disconnected:
            return "disconnected";
        case IceState::Closed:
            return "closed";
    }
    return "unknown";
}

namespace {

std::string randomIceString(size_t length) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> bytes(length);
    if (RAND_bytes(bytes.data(), static_cast<int>(length)) != 1)
        throw std::runtime_error("RAND_bytes failed");
    std::string s(length, 'A');
    for (size_t i = 0; i < length; ++i) s[i] = alphabet[bytes[i] & 63];
    return s;
}

uint64_t randomUint64() {
    uint64_t v = 0;
    if (RAND_bytes(reinterpret_cast<uint8_t*>(&v), sizeof v) != 1)
        throw std::runtime_error("RAND_bytes failed");
    return v;
}

std::span<const uint8_t> asBytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

struct IceAgent::Impl {
    enum class PairState { Frozen, Waiting, InProgress, Succeeded, Failed };

    struct LocalSocket {
        std::unique_ptr<UdpSocket> socket;
        std::optional<size_t> base;  // host base, absent when relay-only
    };
    struct SrflxQuery {
        size_t socket;
        Address server;
        TransactionId id;
        std::vector<uint8_t> bytes;
        Clock::time_point next;
        milliseconds rto;
        int sent = 0;
        bool done = false;
    };
    struct Turn {
        std::unique_ptr<TurnClient> client;
        size_t socket;
        bool reported = false;
    };
    struct Base {
        bool relay = false;
        size_t socket = 0;
        size_t turn = 0;
        IceCandidate candidate;  // the candidate pairs report as local
        uint16_t localPreference = 0;
    };
    struct Pair {
        size_t base;
        size_t remote;
        uint64_t priority = 0;
        PairState state = PairState::Frozen;
        bool txActive = false;
        TransactionId tx{};
        std::vector<uint8_t> txBytes;
        Clock::time_point next;
        milliseconds rto{0};
        int sent = 0;
        bool sentUseCandidate = false;
        bool sentControlling = false;
        bool nominating = false;
        bool nominated = false;
        bool nominateOnSuccess = false;
        // The remote side sent an authenticated check on this pair: it works from their end, so
        // their data (the first DTLS flight) may arrive before our own check of the pair succeeds.
        bool checkedByPeer = false;
        std::deque<TransactionId> consentTx;
        Clock::time_point lastConsent;
        Clock::time_point nextConsent;
    };

    Impl(IceAgentConfig c, IceAgentCallbacks cb) : config(std::move(c)), callbacks(std::move(cb)) {
        localUfrag = randomIceString(8);
        localPassword = randomIceString(24);
        tiebreaker = randomUint64();
        rng.seed(static_cast<uint32_t>(randomUint64()));
    }

    ~Impl() {
        secureWipe(localPassword);
        secureWipe(remotePassword);
        for (auto& s : config.servers) secureWipe(s.password);
    }

    IceAgentConfig config;
    IceAgentCallbacks callbacks;
    mutable std::mutex mutex;
    std::mutex joinMutex;
    SocketPoller poller;
    std::thread thread;
    std::atomic<bool> closed{false};
    bool stopping = false;

    std::string localUfrag, localPassword, remoteUfrag, remotePassword;
    bool haveRemoteCredentials = false;
    IceRole role = IceRole::Controlled;
    uint64_t tiebreaker = 0;
    IceState state = IceState::New;
    bool disconnected = false;
    std::string lastError;
    bool gatherStarted = false;
    bool gatheringDone = false;
    bool remoteGatheringDone = false;
    Clock::time_point gatherStart;
    Clock::time_point checkingStart;
    Clock::time_point nextPacing;
    std::optional<Clock::time_point> nominationDeadline;

    std::vector<LocalSocket> sockets;
    std::vector<SrflxQuery> srflx;
    std::vector<Turn> turns;
    std::vector<Base> bases;
    std::vector<IceCandidate> locals;
    std::vector<IceCandidate> remotes;
    std::vector<Pair> pairs;
    std::deque<size_t> triggered;
    std::optional<size_t> selected;
    std::vector<std::function<void()>> events;
    std::minstd_rand rng;

    // ---- events ----
    void queue(std::function<void()> f) {
        if (!closed) events.push_back(std::move(f));
    }

    void flushEvents() {
        std::vector<std::function<void()>> pending;
        {
            std::lock_guard lock(mutex);
            pending.swap(events);
        }
        for (auto& f : pending) {
            if (closed) return;
            f();
        }
    }

    void setState(IceState s) {
        if (s == state || state == IceState::Closed) return;
        if (state == IceState::Failed) return;
        state = s;
        if (s == IceState::Checking) checkingStart = Clock::now();
        queue([this, s] {
            if (callbacks.onStateChange) callbacks.onStateChange(s);
        });
    }

    void failPair(Pair& p, std::string_view why) {
        p.state = PairState::Failed;
        if (!logEnabled(LogLevel::Info)) return;  // spares the address texts
        log(LogLevel::Info, "ICE pair ", bases[p.base].candidate.address.toString(), " -> ",
            remotes[p.remote].address.toString(), " failed: ", why);
    }

    void fail(const std::string& reason) {
        if (state == IceState::Failed || state == IceState::Closed) return;
        log(LogLevel::Warning, "ICE failed: ", reason);
        if (lastError.empty()) lastError = reason;
        setState(IceState::Failed);
    }

    void updateState() {
        if (state == IceState::Failed || state == IceState::Closed) return;
        if (disconnected) return setState(IceState::Disconnected);
        if (selected) return setState(IceState::Completed);
        for (auto& p : pairs)
            if (p.state == PairState::Succeeded) return setState(IceState::Connected);
        if (haveRemoteCredentials && gatherStarted) setState(IceState::Checking);
    }

    void emitLocal(const IceCandidate& c) {
        locals.push_back(c);
        queue([this, c] {
            if (callbacks.onLocalCandidate) callbacks.onLocalCandidate(c);
        });
    }

    // ---- pairs ----
    uint64_t pairPriority(const Pair& p) const {
        uint64_t l = bases[p.base].candidate.priority;
        uint64_t r = remotes[p.remote].priority;
        uint64_t g = role == IceRole::Controlling ? l : r;
        uint64_t d = role == IceRole::Controlling ? r : l;
        return (std::min(g, d) << 32) + 2 * std::max(g, d) + (g > d ? 1 : 0);
    }

    void switchRole(IceRole r) {
        if (role == r) return;
        role = r;
        for (auto& p : pairs) p.priority = pairPriority(p);
        nominationDeadline.reset();
    }

    std::optional<size_t> findPair(size_t base, size_t remote) const {
        for (size_t i = 0; i < pairs.size(); ++i)
            if (pairs[i].base == base && pairs[i].remote == remote) return i;
        return std::nullopt;
    }

    std::optional<size_t> findRemote(const Address& a) const {
        for (size_t i = 0; i < remotes.size(); ++i)
            if (remotes[i].address == a) return i;
        return std::nullopt;
    }

    void formPair(size_t base, size_t remote, Clock::time_point now) {
        const Base& b = bases[base];
        const IceCandidate& r = remotes[remote];
        if (b.candidate.address.family() != r.address.family()) return;
        if (!b.relay && config.relayOnly) return;
        if (pairs.size() >= config.maxPairs || findPair(base, remote)) return;
        Pair p;
        p.base = base;
        p.remote = remote;
        p.priority = pairPriority(p);
        pairs.push_back(std::move(p));
        if (b.relay) turns[b.turn].client->addPeer(r.address, now);
    }

    size_t addBase(Base b, Clock::time_point now) {
        bases.push_back(std::move(b));
        size_t index = bases.size() - 1;
        for (size_t r = 0; r < remotes.size(); ++r) formPair(index, r, now);
        return index;
    }

    std::optional<size_t> addRemote(const IceCandidate& c, Clock::time_point now) {
        if (auto existing = findRemote(c.address)) {
            // A signalled candidate replaces what was learned from a check.
            auto& old = remotes[*existing];
            if (old.type == CandidateType::PeerReflexive &&
                c.type != CandidateType::PeerReflexive) {
                old = c;
                for (auto& p : pairs) p.priority = pairPriority(p);
                return existing;
            }
            return std::nullopt;
        }
        if (remotes.size() >= config.maxRemoteCandidates) return std::nullopt;
        remotes.push_back(c);
        size_t index = remotes.size() - 1;
        for (size_t b = 0; b < bases.size(); ++b) formPair(b, index, now);
        updateState();
        return index;
    }

    std::optional<size_t> activePair() const {
        if (selected) return selected;
        std::optional<size_t> best;
        for (size_t i = 0; i < pairs.size(); ++i)
            if (pairs[i].state == PairState::Succeeded &&
                (!best || pairs[i].priority > pairs[*best].priority))
                best = i;
        return best;
    }

    // ---- sending ----
    bool sendOnBase(size_t base, const Address& to, std::span<const uint8_t> data) {
        const Base& b = bases[base];
        if (b.relay) return turns[b.turn].client->sendTo(to, data);
        return sockets[b.socket].socket->sendTo(to, data);
    }

    std::vector<uint8_t> buildCheck(Pair& p, bool useCandidate, TransactionId& id) {
        StunMessage m(StunClass::Request, stun::kBinding);
        id = m.transactionId();
        m.addString(stun::kUsername, remoteUfrag + ":" + localUfrag);
        m.addUint32(stun::kPriority, IceCandidate::computePriority(CandidateType::PeerReflexive,
                                                                   bases[p.base].localPreference));
        if (role == IceRole::Controlling) {
            m.addUint64(stun::kIceControlling, tiebreaker);
            if (useCandidate) m.addFlag(stun::kUseCandidate);
        } else {
            m.addUint64(stun::kIceControlled, tiebreaker);
        }
        if (!config.software.empty()) m.addString(stun::kSoftware, config.software);
        StunMessage::EncodeOptions options;
        options.integrity = StunMessage::Integrity::Sha1;
        options.key = asBytes(remotePassword);
        return m.encode(options);
    }

    void startCheck(size_t index, Clock::time_point now) {
        Pair& p = pairs[index];
        p.sentUseCandidate =
            role == IceRole::Controlling && (config.aggressiveNomination || p.nominating);
        p.sentControlling = role == IceRole::Controlling;
        p.txBytes = buildCheck(p, p.sentUseCandidate, p.tx);
        p.txActive = true;
        p.sent = 1;
        p.rto = config.timings.checkRto;
        p.next = now + p.rto;
        // A working pair stays usable while its nomination check is under way.
        if (p.state != PairState::Succeeded) p.state = PairState::InProgress;
        sendOnBase(p.base, remotes[p.remote].address, p.txBytes);
    }

    void sendConsent(size_t index, Clock::time_point now) {
        Pair& p = pairs[index];
        TransactionId id;
        auto bytes = buildCheck(p, false, id);
        p.consentTx.push_back(id);
        while (p.consentTx.size() > 4) p.consentTx.pop_front();
        auto interval = config.timings.consentInterval.count();
        std::uniform_int_distribution<int64_t> jitter(interval * 8 / 10,
                                                      std::max<int64_t>(interval * 12 / 10, 1));
        p.nextConsent = now + milliseconds(jitter(rng));
        sendOnBase(p.base, remotes[p.remote].address, bytes);
    }

    void nominate(size_t index) {
        pairs[index].nominated = true;
        if (!selected || pairs[index].priority > pairs[*selected].priority) selected = index;
        updateState();
    }

    // ---- receiving ----
    void reply(size_t base, const Address& to, const StunMessage& request, int code,
               const char* reason, bool withIntegrity, const std::vector<uint16_t>& unknown = {}) {
        StunMessage r(code == 0 ? StunClass::SuccessResponse : StunClass::ErrorResponse,
                      request.method(), request.transactionId());
        if (code == 0)
            r.addAddress(stun::kXorMappedAddress, to);
        else
            r.addError(code, reason);
        if (!unknown.empty()) r.addUnknownAttributes(unknown);
        if (!config.software.empty()) r.addString(stun::kSoftware, config.software);
        StunMessage::EncodeOptions options;
        if (withIntegrity) {
            options.integrity = StunMessage::Integrity::Sha1;
            options.key = asBytes(localPassword);
        }
        sendOnBase(base, to, r.encode(options));
    }

    void handleRequest(size_t base, const Address& from, const StunMessage& m,
                       std::span<const uint8_t> raw, Clock::time_point now) {
        auto username = m.getString(stun::kUsername);
        if (!username || !m.hasIntegrity()) return reply(base, from, m, 400, "Bad Request", false);
        auto colon = username->find(':');
        if (colon == std::string::npos || username->substr(0, colon) != localUfrag ||
            !m.verifyIntegrity(raw, asBytes(localPassword)))
            return reply(base, from, m, 401, "Unauthorized", false);
        if (!m.unknownRequired().empty())
            return reply(base, from, m, 420, "Unknown Attribute", true, m.unknownRequired());
        auto priority = m.getUint32(stun::kPriority);
        if (!priority || *priority == 0) return reply(base, from, m, 400, "Bad Request", true);

        auto theirControlling = m.getUint64(stun::kIceControlling);
        auto theirControlled = m.getUint64(stun::kIceControlled);
        if (role == IceRole::Controlling && theirControlling) {
            if (tiebreaker >= *theirControlling)
                return reply(base, from, m, 487, "Role Conflict", true);
            switchRole(IceRole::Controlled);
        } else if (role == IceRole::Controlled && theirControlled) {
            if (tiebreaker >= *theirControlled)
                switchRole(IceRole::Controlling);
            else
                return reply(base, from, m, 487, "Role Conflict", true);
        }
        reply(base, from, m, 0, "", true);

        auto remote = findRemote(from);
        if (!remote) {
            IceCandidate c;
            c.type = CandidateType::PeerReflexive;
            c.address = from;
            c.priority = *priority;
            c.foundation = IceCandidate::makeFoundation(CandidateType::PeerReflexive, from, "");
            remote = addRemote(c, now);
            if (!remote) return;
        }
        auto pairIndex = findPair(base, *remote);
        if (!pairIndex) return;
        Pair& p = pairs[*pairIndex];
        if (m.hasFingerprint()) p.checkedByPeer = true;
        if (m.has(stun::kUseCandidate) && role == IceRole::Controlled) {
            if (p.state == PairState::Succeeded)
                nominate(*pairIndex);
            else
                p.nominateOnSuccess = true;
        }
        if (p.state != PairState::Succeeded && p.state != PairState::InProgress) {
            p.state = PairState::Waiting;
            if (std::find(triggered.begin(), triggered.end(), *pairIndex) == triggered.end())
                triggered.push_back(*pairIndex);
        }
    }

    void handleResponse(const Address& from, const StunMessage& m, std::span<const uint8_t> raw,
                        Clock::time_point now) {
        for (size_t i = 0; i < pairs.size(); ++i) {
            Pair& p = pairs[i];
            bool isCheck = p.txActive && p.tx == m.transactionId();
            bool isConsent = std::find(p.consentTx.begin(), p.consentTx.end(), m.transactionId()) !=
                             p.consentTx.end();
            if (!isCheck && !isConsent) continue;
            if (!haveRemoteCredentials || !m.verifyIntegrity(raw, asBytes(remotePassword))) return;
            bool symmetric = from == remotes[p.remote].address;
            if (isConsent) {
                if (symmetric && m.messageClass() == StunClass::SuccessResponse) {
                    p.lastConsent = now;
                    if (disconnected) {
                        disconnected = false;
                        updateState();
                    }
                }
                return;
            }
            p.txActive = false;
            if (m.messageClass() == StunClass::ErrorResponse) {
                auto error = m.getError();
                if (error && error->code == 487) {
                    switchRole(p.sentControlling ? IceRole::Controlled : IceRole::Controlling);
                    p.state = PairState::Waiting;
                    triggered.push_back(i);
                } else {
                    failPair(p, error ? "error " + std::to_string(error->code) + " " + error->reason
                                      : std::string("error response"));
                    if (p.nominating) p.nominating = false;
                }
                return;
            }
            if (!symmetric) {
                failPair(p, "the answer came from another address");
                return;
            }
            if (auto mapped = m.getAddress(stun::kXorMappedAddress);
                mapped && !bases[p.base].relay) {
                bool known = std::any_of(locals.begin(), locals.end(),
                                         [&](auto& c) { return c.address == *mapped; });
                if (!known && locals.size() < 64) {
                    IceCandidate c;
                    c.type = CandidateType::PeerReflexive;
                    c.address = *mapped;
                    c.priority = IceCandidate::computePriority(CandidateType::PeerReflexive,
                                                               bases[p.base].localPreference);
                    c.foundation =
                        IceCandidate::makeFoundation(CandidateType::PeerReflexive, *mapped, "");
                    locals.push_back(c);  // learned, never signalled
                }
            }
            p.state = PairState::Succeeded;
            p.lastConsent = now;
            p.nextConsent = now + config.timings.consentInterval;
            // Pairs of the same foundations are likely to work too.
            for (auto& q : pairs) {
                if (q.state == PairState::Frozen &&
                    bases[q.base].candidate.foundation == bases[p.base].candidate.foundation &&
                    remotes[q.remote].foundation == remotes[p.remote].foundation)
                    q.state = PairState::Waiting;
            }
            if (role == IceRole::Controlling) {
                if (p.sentUseCandidate)
                    nominate(i);
                else if (!nominationDeadline)
                    nominationDeadline = now + config.timings.nominationDelay;
            } else if (p.nominateOnSuccess) {
                nominate(i);
            }
            updateState();
            return;
        }
    }

    void handleSrflxResponse(const StunMessage& m) {
        for (auto& q : srflx) {
            if (q.done || q.id != m.transactionId()) continue;
            q.done = true;
            if (m.messageClass() != StunClass::SuccessResponse) return;
            auto mapped = m.getAddress(stun::kXorMappedAddress);
            if (!mapped) mapped = m.getAddress(stun::kMappedAddress);
            if (mapped) addServerReflexive(q.socket, *mapped, q.server);
            return;
        }
    }

    void addServerReflexive(size_t socket, const Address& mapped, const Address& server) {
        if (config.relayOnly || !sockets[socket].base) return;
        bool known =
            std::any_of(locals.begin(), locals.end(), [&](auto& c) { return c.address == mapped; });
        if (known || locals.size() >= 64) return;
        const Base& b = bases[*sockets[socket].base];
        IceCandidate c;
        c.type = CandidateType::ServerReflexive;
        c.address = mapped;
        c.related = b.candidate.address;
        c.priority =
            IceCandidate::computePriority(CandidateType::ServerReflexive, b.localPreference);
        c.foundation = IceCandidate::makeFoundation(CandidateType::ServerReflexive,
                                                    b.candidate.address, server.ip());
        emitLocal(c);
    }

    // Returns true when `data` is application data for the layer above.
    bool handlePeer(size_t base, const Address& from, std::span<const uint8_t> data,
                    Clock::time_point now) {
        auto kind = stun::classify(data);
        if (kind == stun::PacketKind::Stun) {
            auto m = StunMessage::parse(data);
            if (!m || m->method() != stun::kBinding) return false;
            if (m->isRequest())
                handleRequest(base, from, *m, data, now);
            else if (m->isResponse())
                handleResponse(from, *m, data, now);
            return false;
        }
        // Only DTLS and RTP/RTCP go up; anything else on the port is dropped.
        if (kind != stun::PacketKind::Dtls && kind != stun::PacketKind::Rtp) return false;
        if (state == IceState::Failed || state == IceState::Closed) return false;
        for (auto& p : pairs)
            if (p.base == base && (p.state == PairState::Succeeded || p.checkedByPeer) &&
                remotes[p.remote].address == from)
                return true;
        return false;
    }

    bool handleDatagram(size_t socket, const Address& from, std::span<const uint8_t> data,
                        std::vector<uint8_t>& storage, std::span<const uint8_t>& payload,
                        Clock::time_point now) {
        for (size_t t = 0; t < turns.size(); ++t) {
            auto& turn = turns[t];
            if (turn.socket != socket || turn.client->server() != from) continue;
            TurnClient::PeerData pd;
            auto result = turn.client->handle(data, now, pd);
            afterTurnChange(t, now);
            if (result == TurnClient::Input::Consumed) return false;
            if (result == TurnClient::Input::PeerData) {
                std::optional<size_t> relayBase;
                for (size_t b = 0; b < bases.size(); ++b)
                    if (bases[b].relay && bases[b].turn == t) relayBase = b;
                if (!relayBase) return false;
                if (!pd.storage.empty()) {
                    storage = std::move(pd.storage);
                    pd.data = storage;
                }
                payload = pd.data;
                return handlePeer(*relayBase, pd.peer, pd.data, now);
            }
        }
        if (stun::classify(data) == stun::PacketKind::Stun) {
            auto m = StunMessage::parse(data);
            if (!m) return false;
            if (m->isResponse() && m->method() == stun::kBinding) {
                for (auto& q : srflx) {
                    if (q.id == m->transactionId()) {
                        if (q.server == from) handleSrflxResponse(*m);
                        return false;
                    }
                }
            }
        }
        auto base = sockets[socket].base;
        if (!base) return false;
        payload = data;
        return handlePeer(*base, from, data, now);
    }

    void afterTurnChange(size_t t, Clock::time_point now) {
        auto& turn = turns[t];
        if (turn.reported) return;
        auto s = turn.client->state();
        if (s == TurnClient::State::Allocated) {
            turn.reported = true;
            uint16_t pref = static_cast<uint16_t>(65535 - t);
            IceCandidate c;
            c.type = CandidateType::Relayed;
            c.address = turn.client->relayedAddress();
            if (turn.client->mappedAddress().isValid()) c.related = turn.client->mappedAddress();
            c.priority = IceCandidate::computePriority(CandidateType::Relayed, pref);
            c.foundation = IceCandidate::makeFoundation(CandidateType::Relayed, c.address,
                                                        turn.client->server().ip());
            emitLocal(c);
            Base b;
            b.relay = true;
            b.socket = turn.socket;
            b.turn = t;
            b.candidate = c;
            b.localPreference = pref;
            addBase(std::move(b), now);
            if (turn.client->mappedAddress().isValid())
                addServerReflexive(turn.socket, turn.client->mappedAddress(),
                                   turn.client->server());
        } else if (s == TurnClient::State::Failed) {
            turn.reported = true;
            if (lastError.empty()) lastError = turn.client->error();
            if (config.relayOnly && std::all_of(turns.begin(), turns.end(), [](auto& x) {
                    return x.reported && x.client->state() != TurnClient::State::Allocated;
                }))
                fail(lastError);
        }
    }

    // ---- timers ----
    void tick(Clock::time_point now) {
        if (stopping || state == IceState::Closed) return;
        retransmitServerQueries(now);
        for (size_t t = 0; t < turns.size(); ++t) {
            turns[t].client->tick(now);
            afterTurnChange(t, now);
        }
        checkGatheringDone(now);
        if (state == IceState::Failed || !haveRemoteCredentials) return;
        retransmitChecks(now);
        if (now >= nextPacing) startNextCheck(now);
        if (role == IceRole::Controlling && !config.aggressiveNomination && !selected)
            nominateBestPair(now);
        if (!checkConsent(now)) return;
        if (state == IceState::Checking) checkPairsExhausted(now);
    }

    // Binding requests to STUN servers, retransmitted until answered or out of tries.
    void retransmitServerQueries(Clock::time_point now) {
        for (auto& q : srflx) {
            if (q.done || q.next > now) continue;
            if (q.sent >= config.timings.stunTransmissions) {
                q.done = true;
                continue;
            }
            sockets[q.socket].socket->sendTo(q.server, q.bytes);
            ++q.sent;
            q.next = now + q.rto;
            q.rto *= 2;
        }
    }

    // Gathering ends when every server has answered or given up, or at the time-out.
    void checkGatheringDone(Clock::time_point now) {
        if (!gatherStarted || gatheringDone) return;
        bool pending = std::any_of(srflx.begin(), srflx.end(), [](auto& q) { return !q.done; }) ||
                       std::any_of(turns.begin(), turns.end(), [](auto& t) { return !t.reported; });
        if (!pending || now - gatherStart > config.timings.gatheringTimeout) {
            gatheringDone = true;
            queue([this] {
                if (callbacks.onGatheringDone) callbacks.onGatheringDone();
            });
        }
    }

    // Connectivity checks in flight: retransmit with a doubling time-out, fail the pair at the end.
    void retransmitChecks(Clock::time_point now) {
        for (size_t i = 0; i < pairs.size(); ++i) {
            Pair& p = pairs[i];
            if (!p.txActive || p.next > now) continue;
            if (p.sent >= config.timings.checkTransmissions) {
                p.txActive = false;
                failPair(p, "no answer");
                p.nominating = false;
                continue;
            }
            sendOnBase(p.base, remotes[p.remote].address, p.txBytes);
            ++p.sent;
            p.rto = std::min(p.rto * 2, config.timings.maxCheckRto);
            p.next = now + p.rto;
        }
    }

    // One new check per pacing interval: a triggered one first, else the best waiting or frozen pair.
    void startNextCheck(Clock::time_point now) {
        std::optional<size_t> next;
        while (!triggered.empty() && !next) {
            size_t i = triggered.front();
            triggered.pop_front();
            if (pairs[i].state == PairState::Waiting) next = i;
        }
        if (!next) {
            for (auto wanted : {PairState::Waiting, PairState::Frozen}) {
                for (size_t i = 0; i < pairs.size(); ++i)
                    if (pairs[i].state == wanted &&
                        (!next || pairs[i].priority > pairs[*next].priority))
                        next = i;
                if (next) break;
            }
        }
        if (next) {
            startCheck(*next, now);
            nextPacing = now + config.timings.pacing;
        }
    }

    // Regular nomination: once better pairs had their chance, nominate the best working pair.
    void nominateBestPair(Clock::time_point now) {
        bool inFlight = std::any_of(pairs.begin(), pairs.end(), [](auto& p) { return p.nominating; });
        bool settled = std::none_of(pairs.begin(), pairs.end(), [](auto& p) {
            return p.state == PairState::Frozen || p.state == PairState::Waiting ||
                   p.state == PairState::InProgress;
        });
        if (inFlight || !nominationDeadline || (now < *nominationDeadline && !settled)) return;
        std::optional<size_t> best;
        for (size_t i = 0; i < pairs.size(); ++i)
            if (pairs[i].state == PairState::Succeeded &&
                (!best || pairs[i].priority > pairs[*best].priority))
                best = i;
        if (best) {
            pairs[*best].nominating = true;
            startCheck(*best, now);
        }
    }

    // Consent freshness on the pair in use. False when consent expired and the agent failed.
    bool checkConsent(Clock::time_point now) {
        if (state != IceState::Connected && state != IceState::Completed &&
            state != IceState::Disconnected)
            return true;
        auto a = activePair();
        if (!a) return true;
        Pair& p = pairs[*a];
        if (now >= p.nextConsent) sendConsent(*a, now);
        auto silent = now - p.lastConsent;
        if (silent > config.timings.consentTimeout) {
            fail("consent expired: no answer from " + remotes[p.remote].address.toString());
            return false;
        }
        if (silent > config.timings.disconnectedTimeout && !disconnected) {
            disconnected = true;
            updateState();
        }
        return true;
    }

    // While checking: fail once every pair failed and neither side can add more, or at the time-out.
    void checkPairsExhausted(Clock::time_point now) {
        bool allFailed = !pairs.empty() && std::all_of(pairs.begin(), pairs.end(), [](auto& p) {
            return p.state == PairState::Failed;
        });
        if (allFailed && remoteGatheringDone && gatheringDone)
            fail("every candidate pair failed");
        else if (now - checkingStart > config.timings.checkingTimeout)
            fail("connectivity checks timed out");
    }

    bool active() const {
        return state == IceState::Checking || (gatherStarted && !gatheringDone) ||
               std::any_of(pairs.begin(), pairs.end(), [](auto& p) { return p.txActive; });
    }

    // ---- thread ----
    void run() {
        std::vector<uint8_t> buffer(config.maxDatagram);
        for (;;) {
            std::vector<UdpSocket*> list;
            milliseconds timeout;
            {
                std::lock_guard lock(mutex);
                if (stopping) break;
                for (auto& s : sockets) list.push_back(s.socket.get());
                timeout = active() ? milliseconds(5) : milliseconds(50);
                timeout = std::min(timeout,
                                   std::max(milliseconds(1), config.timings.consentInterval / 4));
            }
            flushEvents();
            auto ready = poller.wait(list, timeout);
            for (size_t index : ready) {
                for (int budget = 0; budget < 256; ++budget) {
                    Address from;
                    auto n = list[index]->receiveFrom(buffer, from);
                    if (!n) break;
                    std::vector<uint8_t> storage;
                    std::span<const uint8_t> payload;
                    bool deliver;
                    {
                        std::lock_guard lock(mutex);
                        if (stopping) return;
                        deliver =
                            handleDatagram(index, from, std::span<const uint8_t>(buffer.data(), *n),
                                           storage, payload, Clock::now());
                    }
                    flushEvents();
                    if (deliver && !closed && callbacks.onData) callbacks.onData(payload);
                }
            }
            {
                std::lock_guard lock(mutex);
                if (stopping) break;
                tick(Clock::now());
            }
            flushEvents();
        }
    }

    // ---- gathering ----
    using ResolvedServers = std::vector<std::pair<IceServerConfig, std::vector<Address>>>;

    void gather() {
        ResolvedServers servers;
        {
            std::lock_guard lock(mutex);
            if (gatherStarted || closed) return;
            gatherStarted = true;
            gatherStart = Clock::now();
            for (auto& s : config.servers) servers.push_back({s, {}});
        }
        for (auto& [server, addresses] : servers)
            addresses = Address::resolve(server.host, server.port);

        std::lock_guard lock(mutex);
        if (closed) return;
        auto now = Clock::now();
        std::optional<Address> bind;
        if (!config.bindAddress.empty()) {
            bind = Address::fromString(config.bindAddress, 0);
            if (!bind) lastError = "invalid bind address " + config.bindAddress;
        }
        uint16_t hostIndex = 0;
        for (auto family : {AddressFamily::V6, AddressFamily::V4}) {
            if (family == AddressFamily::V4 && !config.enableIpv4) continue;
            if (family == AddressFamily::V6 && !config.enableIpv6) continue;
            gatherFamily(family, bind, servers, hostIndex, now);
        }
        updateState();
    }

    // One socket per address family: its host candidates, then a STUN query or a TURN allocation
    // per server of that family.
    void gatherFamily(AddressFamily family, const std::optional<Address>& bind,
                      const ResolvedServers& servers, uint16_t& hostIndex, Clock::time_point now) {
        Address local;
        std::vector<Address> hosts;
        if (!hostAddresses(family, bind, local, hosts)) return;
        std::string error;
        auto socket = UdpSocket::open(local, config.portRangeBegin, config.portRangeEnd, &error);
        if (!socket) {
            if (lastError.empty()) lastError = error;
            return;
        }
        const size_t socketIndex = sockets.size();
        sockets.push_back({std::move(socket), std::nullopt});
        if (!hosts.empty()) addHostCandidates(socketIndex, family, hosts, hostIndex++, now);
        for (auto& [server, addresses] : servers) {
            auto it = std::find_if(addresses.begin(), addresses.end(),
                                   [&](auto& a) { return a.family() == family; });
            if (it == addresses.end()) continue;
            if (server.relay)
                startAllocation(socketIndex, server, *it, now);
            else if (!config.relayOnly && sockets[socketIndex].base)
                startServerReflexiveQuery(socketIndex, *it, now);
        }
    }

    // The address to bind and the host addresses it stands for; false when the family is not used.
    bool hostAddresses(AddressFamily family, const std::optional<Address>& bind, Address& local,
                       std::vector<Address>& hosts) const {
        InterfaceFilter filter;
        filter.ipv4 = family == AddressFamily::V4;
        filter.ipv6 = family == AddressFamily::V6;
        filter.loopbackOnly = config.loopbackOnly;
        if (bind) {
            if (bind->family() != family) return false;
            local = *bind;
            if (!bind->isAny())
                hosts.push_back(*bind);
            else
                hosts = enumerateInterfaces(filter);
        } else {
            hosts = enumerateInterfaces(filter);
            if (hosts.empty()) return false;
            local = config.loopbackOnly ? hosts.front() : Address::any(family);
        }
        if (hosts.size() > config.maxHostCandidates) hosts.resize(config.maxHostCandidates);
        return true;
    }

    // One base for the socket; a host candidate per address, signalled unless relay-only.
    void addHostCandidates(size_t socketIndex, AddressFamily family, const std::vector<Address>& hosts,
                           uint16_t hostIndex, Clock::time_point now) {
        const uint16_t port = sockets[socketIndex].socket->localAddress().port();
        Base base;
        base.socket = socketIndex;
        base.localPreference =
            static_cast<uint16_t>((family == AddressFamily::V6 ? 65535 : 49151) - hostIndex);
        std::vector<IceCandidate> candidates;
        for (auto& h : hosts) {
            IceCandidate c;
            c.type = CandidateType::Host;
            c.address = h;
            c.address.setPort(port);
            c.priority = IceCandidate::computePriority(
                CandidateType::Host, static_cast<uint16_t>(base.localPreference - candidates.size()));
            c.foundation = IceCandidate::makeFoundation(CandidateType::Host, h, "");
            candidates.push_back(c);
        }
        base.candidate = candidates.front();
        sockets[socketIndex].base = addBase(std::move(base), now);
        if (!config.relayOnly)
            for (auto& c : candidates) emitLocal(c);
        else
            for (auto& c : candidates) locals.push_back(c);  // for selectedPair reports only
    }

    // A TURN allocation from the socket; afterTurnChange() reports its outcome.
    void startAllocation(size_t socketIndex, const IceServerConfig& server, const Address& serverAddress,
                         Clock::time_point now) {
        TurnClient::Config tc;
        tc.server = serverAddress;
        tc.username = server.username;
        tc.password = server.password;
        tc.rto = config.timings.stunRto;
        tc.maxTransmissions = config.timings.stunTransmissions;
        tc.software = config.software;
        auto client = std::make_unique<TurnClient>(
            tc, [this, socketIndex, serverAddress](std::span<const uint8_t> d) {
                sockets[socketIndex].socket->sendTo(serverAddress, d);
            });
        client->start(now);
        turns.push_back({std::move(client), socketIndex, false});
    }

    // A binding request to a STUN server; tick() sends it and retransmits it.
    void startServerReflexiveQuery(size_t socketIndex, const Address& serverAddress, Clock::time_point now) {
        StunMessage request(StunClass::Request, stun::kBinding);
        SrflxQuery q;
        q.socket = socketIndex;
        q.server = serverAddress;
        q.id = request.transactionId();
        q.bytes = request.encode();
        q.rto = config.timings.stunRto;
        q.next = now;
        srflx.push_back(std::move(q));
    }
};

IceAgent::IceAgent(IceAgentConfig config, IceAgentCallbacks callbacks)
    : impl_(std::make_shared<Impl>(std::move(config), std::move(callbacks))) {
    auto self = impl_;
    impl_->thread = std::thread([self] { self->run(); });
}

IceAgent::~IceAgent() {
    close();
    std::lock_guard join(impl_->joinMutex);
    if (impl_->thread.joinable()) {
        // Destroyed from one of our own callbacks: the thread holds the state alive and ends by
        // itself.
        if (std::this_thread::get_id() == impl_->thread.get_id())
            impl_->thread.detach();
        else
            impl_->thread.join();
    }
}

std::string IceAgent::localUfrag() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->localUfrag;
}

std::string IceAgent::localPassword() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->localPassword;
}

IceRole IceAgent::role() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->role;
}

void IceAgent::setRole(IceRole role) {
    std::lock_guard lock(impl_->mutex);
    impl_->switchRole(role);
}

void IceAgent::setRemoteCredentials(const std::string& ufrag, const std::string& password) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->closed) return;
        impl_->remoteUfrag = ufrag;
        impl_->remotePassword = password;
        impl_->haveRemoteCredentials = true;
        impl_->updateState();
    }
    impl_->poller.wake();
}

bool IceAgent::addRemoteCandidate(std::string_view sdpLine) {
    auto c = IceCandidate::parse(sdpLine);
    return c && addRemoteCandidate(*c);
}

bool IceAgent::addRemoteCandidate(const IceCandidate& candidate) {
    if (candidate.component != 1 || !candidate.address.isValid() || candidate.address.port() == 0)
        return false;
    bool added;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->closed) return false;
        added = impl_->addRemote(candidate, Clock::now()).has_value();
    }
    impl_->poller.wake();
    return added;
}

void IceAgent::setRemoteGatheringDone() {
    std::lock_guard lock(impl_->mutex);
    impl_->remoteGatheringDone = true;
}

void IceAgent::gather() {
    impl_->gather();
    impl_->poller.wake();
}

bool IceAgent::send(std::span<const uint8_t> data) {
    std::lock_guard lock(impl_->mutex);
    auto& d = *impl_;
    if (d.closed || d.state == IceState::Failed || data.empty() ||
        data.size() > d.config.maxDatagram)
        return false;
    auto a = d.activePair();
    if (!a) return false;
    return d.sendOnBase(d.pairs[*a].base, d.remotes[d.pairs[*a].remote].address, data);
}

void IceAgent::close() {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->closed) {
            impl_->closed = true;
            impl_->stopping = true;
            impl_->state = IceState::Closed;
            impl_->events.clear();
            for (auto& t : impl_->turns) t.client->shutdown();
        }
    }
    impl_->poller.wake();
    std::lock_guard join(impl_->joinMutex);
    if (impl_->thread.joinable() && std::this_thread::get_id() != impl_->thread.get_id())
        impl_->thread.join();
}

IceState IceAgent::state() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->state;
}

std::vector<IceCandidate> IceAgent::localCandidates() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->locals;
}

std::optional<std::pair<IceCandidate, IceCandidate>> IceAgent::selectedPair() const {
    std::lock_guard lock(impl_->mutex);
    auto a = impl_->activePair();
    if (!a) return std::nullopt;
    auto& p = impl_->pairs[*a];
    return std::make_pair(impl_->bases[p.base].candidate, impl_->remotes[p.remote]);
}

std::string IceAgent::lastError() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastError;
}

}  // namespace rtc::impl
