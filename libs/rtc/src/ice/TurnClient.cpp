#include "ice/TurnClient.hpp"

#include "common/ByteOrder.hpp"
#include "common/Log.hpp"

#include <algorithm>

namespace rtc::impl {
namespace {
using std::chrono::seconds;
constexpr auto kPermissionRefresh = seconds(240);  // permissions live 300 s
constexpr auto kChannelRefresh = seconds(540);     // channel bindings live 600 s
constexpr uint16_t kLastChannel = 0x4FFF;
}  // namespace

TurnClient::TurnClient(Config config, SendFunction send)
    : config_(std::move(config)), send_(std::move(send)) {}

TurnClient::~TurnClient() {
    secureWipe(config_.password);
    secureWipe(key_);
}

void TurnClient::start(Clock::time_point now) {
    if (state_ != State::Idle) return;
    state_ = State::Allocating;
    StunMessage request(StunClass::Request, stun::kAllocate);
    request.addRequestedTransportUdp();
    request.addUint32(stun::kLifetime, config_.lifetime);
    sendRequest(Kind::Allocate, std::move(request), now);
}

std::vector<uint8_t> TurnClient::sign(const StunMessage& request) {
    StunMessage m = request;
    if (!config_.software.empty()) m.addString(stun::kSoftware, config_.software);
    if (key_.empty()) return m.encode();
    m.addString(stun::kUsername, config_.username);
    m.addString(stun::kRealm, realm_);
    m.addString(stun::kNonce, nonce_);
    StunMessage::EncodeOptions options;
    options.integrity = StunMessage::Integrity::Sha1;
    options.key = key_;
    return m.encode(options);
}

void TurnClient::sendRequest(Kind kind, StunMessage request, Clock::time_point now,
                             const Address& peer, uint16_t channel, int authRetries) {
    // Every attempt gets a new transaction id: it is a new request as far as the server knows.
    StunMessage fresh(StunClass::Request, request.method());
    for (auto& a : request.attributes()) {
        if (a.type == stun::kXorPeerAddress)
            fresh.addAddress(a.type, peer);
        else
            fresh.add(a.type, a.value);
    }
    Transaction t{kind, fresh, sign(fresh), now, config_.rto, 0, authRetries, peer, channel};
    auto id = fresh.transactionId();
    auto [it, inserted] = transactions_.emplace(id, std::move(t));
    if (inserted) transmit(it->second, now);
}

void TurnClient::transmit(Transaction& t, Clock::time_point now) {
    send_(t.bytes);
    ++t.sent;
    t.next = now + t.rto;
    t.rto = std::min(t.rto * 2, std::chrono::milliseconds(8000));
}

void TurnClient::fail(std::string reason) {
    if (state_ == State::Failed || state_ == State::Closed) return;
    log(LogLevel::Warning, reason);
    state_ = State::Failed;
    error_ = std::move(reason);
    transactions_.clear();
}

TurnClient::Input TurnClient::handle(std::span<const uint8_t> d, Clock::time_point now,
                                     PeerData& out) {
    if (state_ == State::Closed) return Input::NotTurn;
    if (stun::classify(d) == stun::PacketKind::ChannelData) {
        if (d.size() < 4) return Input::Consumed;
        uint16_t number = readU16(d.data());
        size_t length = readU16(d.data() + 2);
        if (length > d.size() - 4) return Input::Consumed;
        auto it = channelPeers_.find(number);
        if (it == channelPeers_.end()) return Input::Consumed;
        out.peer = it->second;
        out.data = d.subspan(4, length);
        return Input::PeerData;
    }
    if (!StunMessage::looksLikeStun(d)) return Input::NotTurn;
    auto message = StunMessage::parse(d);
    if (!message) return Input::NotTurn;
    if (message->messageClass() == StunClass::Indication && message->method() == stun::kData) {
        auto peer = message->getAddress(stun::kXorPeerAddress);
        auto* data = message->find(stun::kData_);
        if (!peer || data == nullptr || !hasPermission(*peer)) return Input::Consumed;
        out.peer = *peer;
        out.storage = data->value;
        out.data = out.storage;
        return Input::PeerData;
    }
    if (!message->isResponse()) return Input::NotTurn;
    auto it = transactions_.find(message->transactionId());
    if (it == transactions_.end()) return Input::NotTurn;
    // A response that claims integrity must carry ours; a forged one is dropped and the request
    // stays.
    if (!key_.empty() && message->hasIntegrity() && !message->verifyIntegrity(d, key_))
        return Input::Consumed;
    Transaction t = std::move(it->second);
    transactions_.erase(it);
    onResponse(std::move(t), *message, d, now);
    return Input::Consumed;
}

void TurnClient::onResponse(Transaction t, const StunMessage& response, std::span<const uint8_t>,
                            Clock::time_point now) {
    if (response.messageClass() == StunClass::ErrorResponse) {
        auto error = response.getError();
        int code = error ? error->code : 0;
        auto realm = response.getString(stun::kRealm);
        auto nonce = response.getString(stun::kNonce);
        if (code == 401 && key_.empty() && realm && nonce && t.authRetries == 0) {
            realm_ = *realm;
            nonce_ = *nonce;
            key_ = longTermKey(config_.username, realm_, config_.password);
            sendRequest(t.kind, t.request, now, t.peer, t.channel, t.authRetries + 1);
            return;
        }
        if (code == 438 && nonce && t.authRetries < 3) {
            nonce_ = *nonce;
            if (realm) realm_ = *realm;
            sendRequest(t.kind, t.request, now, t.peer, t.channel, t.authRetries + 1);
            return;
        }
        std::string what = std::to_string(code) + (error ? " " + error->reason : std::string());
        switch (t.kind) {
            case Kind::Allocate:
                fail(code == 401 ? "TURN authentication failed: " + what
                                 : "TURN allocation failed: " + what);
                break;
            case Kind::Refresh:
                fail("TURN refresh failed: " + what);
                break;
            case Kind::CreatePermission:
                log(LogLevel::Warning, "TURN permission for ", t.peer.toString(), " failed: ", what);
                permissions_[ipKey(t.peer)].pending = false;
                break;
            case Kind::ChannelBind:
                log(LogLevel::Warning, "TURN channel bind for ", t.peer.toString(), " failed: ", what);
                if (auto c = channels_.find(t.peer.toString()); c != channels_.end())
                    c->second.pending = false;
                break;
        }
        return;
    }

    switch (t.kind) {
        case Kind::Allocate: {
            auto relayed = response.getAddress(stun::kXorRelayedAddress);
            if (!relayed) {
                fail("TURN allocation failed: no relayed address");
                return;
            }
            relayed_ = *relayed;
            if (auto mapped = response.getAddress(stun::kXorMappedAddress)) mapped_ = *mapped;
            uint32_t lifetime = response.getUint32(stun::kLifetime).value_or(config_.lifetime);
            auto refresh = lifetime > 120 ? seconds(lifetime - 60)
                                          : seconds(std::max<uint32_t>(1, lifetime / 2));
            refreshAt_ = now + refresh;
            state_ = State::Allocated;
            break;
        }
        case Kind::Refresh: {
            uint32_t lifetime = response.getUint32(stun::kLifetime).value_or(config_.lifetime);
            auto refresh = lifetime > 120 ? seconds(lifetime - 60)
                                          : seconds(std::max<uint32_t>(1, lifetime / 2));
            refreshAt_ = now + refresh;
            break;
        }
        case Kind::CreatePermission: {
            auto& p = permissions_[ipKey(t.peer)];
            p.installed = true;
            p.pending = false;
            p.refreshAt = now + kPermissionRefresh;
            break;
        }
        case Kind::ChannelBind: {
            auto c = channels_.find(t.peer.toString());
            if (c == channels_.end()) break;
            c->second.bound = true;
            c->second.pending = false;
            c->second.refreshAt = now + kChannelRefresh;
            // A channel binding also installs the permission.
            auto& p = permissions_[ipKey(t.peer)];
            p.installed = true;
            break;
        }
    }
}

void TurnClient::requestPermission(const Address& peer, Clock::time_point now) {
    auto& p = permissions_[ipKey(peer)];
    if (p.pending) return;
    p.pending = true;
    StunMessage request(StunClass::Request, stun::kCreatePermission);
    request.addAddress(stun::kXorPeerAddress, peer);
    sendRequest(Kind::CreatePermission, std::move(request), now, peer);
}

void TurnClient::requestChannel(const Address& peer, Clock::time_point now) {
    auto& c = channels_[peer.toString()];
    if (c.pending) return;
    c.pending = true;
    StunMessage request(StunClass::Request, stun::kChannelBind);
    request.addChannelNumber(c.number);
    request.addAddress(stun::kXorPeerAddress, peer);
    sendRequest(Kind::ChannelBind, std::move(request), now, peer, c.number);
}

void TurnClient::addPeer(const Address& peer, Clock::time_point now) {
    if (state_ != State::Allocated || !peer.isValid() || peer.family() != relayed_.family()) return;
    if (!permissions_.contains(ipKey(peer))) {
        if (permissions_.size() >= config_.maxPeers) return;
        requestPermission(peer, now);
    }
    auto key = peer.toString();
    if (!channels_.contains(key) && channels_.size() < config_.maxPeers &&
        nextChannel_ <= kLastChannel) {
        Channel c;
        c.number = nextChannel_++;
        channels_[key] = c;
        channelPeers_[c.number] = peer;
        requestChannel(peer, now);
    }
}

bool TurnClient::hasChannel(const Address& peer) const {
    auto it = channels_.find(peer.toString());
    return it != channels_.end() && it->second.bound;
}

bool TurnClient::hasPermission(const Address& peer) const {
    auto it = permissions_.find(peer.ip());
    return it != permissions_.end() && it->second.installed;
}

bool TurnClient::sendTo(const Address& peer, std::span<const uint8_t> data) {
    if (state_ != State::Allocated || data.size() > 65535) return false;
    auto it = channels_.find(peer.toString());
    if (it != channels_.end() && it->second.bound) {
        std::vector<uint8_t> frame;
        frame.reserve(4 + data.size() + 3);
        appendU16(frame, it->second.number);
        appendU16(frame, uint16_t(data.size()));
        frame.insert(frame.end(), data.begin(), data.end());
        frame.resize((frame.size() + 3) & ~size_t(3), 0);
        send_(frame);
        return true;
    }
    StunMessage indication(StunClass::Indication, stun::kSend);
    indication.addAddress(stun::kXorPeerAddress, peer);
    indication.add(stun::kData_, data);
    StunMessage::EncodeOptions options;
    options.fingerprint = false;
    send_(indication.encode(options));
    return true;
}

void TurnClient::tick(Clock::time_point now) {
    if (state_ == State::Failed || state_ == State::Closed) return;
    std::vector<TransactionId> expired;
    for (auto& [id, t] : transactions_) {
        if (t.next > now) continue;
        if (t.sent >= config_.maxTransmissions)
            expired.push_back(id);
        else
            transmit(t, now);
    }
    for (auto& id : expired) {
        auto it = transactions_.find(id);
        Transaction t = std::move(it->second);
        transactions_.erase(it);
        onTimeout(t);
        if (state_ == State::Failed) return;
    }
    if (state_ != State::Allocated) return;
    if (now >= refreshAt_) {
        refreshAt_ = now + seconds(3600);  // rescheduled by the response
        StunMessage request(StunClass::Request, stun::kRefresh);
        request.addUint32(stun::kLifetime, config_.lifetime);
        sendRequest(Kind::Refresh, std::move(request), now);
    }
    for (auto& [ip, p] : permissions_) {
        if (p.installed && !p.pending && now >= p.refreshAt) {
            if (auto peer = Address::fromString(ip, 0)) requestPermission(*peer, now);
        }
    }
    for (auto& [key, c] : channels_) {
        if (c.bound && !c.pending && now >= c.refreshAt)
            requestChannel(channelPeers_[c.number], now);
    }
}

void TurnClient::onTimeout(const Transaction& t) {
    switch (t.kind) {
        case Kind::Allocate:
            fail("TURN server " + config_.server.toString() + " did not answer");
            break;
        case Kind::Refresh:
            fail("TURN refresh timed out");
            break;
        case Kind::CreatePermission:
            permissions_[ipKey(t.peer)].pending = false;
            break;
        case Kind::ChannelBind:
            if (auto c = channels_.find(t.peer.toString()); c != channels_.end())
                c->second.pending = false;
            break;
    }
}

void TurnClient::shutdown() {
    if (state_ == State::Allocated) {
        StunMessage request(StunClass::Request, stun::kRefresh);
        request.addUint32(stun::kLifetime, 0);
        send_(sign(request));
    }
    state_ = State::Closed;
    transactions_.clear();
}

}  // namespace rtc::impl
