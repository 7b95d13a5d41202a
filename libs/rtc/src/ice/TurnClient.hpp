// TURN client over UDP (RFC 8656): allocation with long-term credentials, refresh, permissions,
// channel binding and the Send/Data and ChannelData framings. It owns no socket: datagrams for the
// server leave through the send function and the owner feeds back what the server sends.
// Not thread-safe; the owner serialises calls.
#pragma once

#include "ice/Socket.hpp"
#include "ice/StunMessage.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace rtc::impl {

class TurnClient {
public:
    using Clock = std::chrono::steady_clock;
    using SendFunction = std::function<void(std::span<const uint8_t>)>;

    struct Config {
        Address server;
        std::string username;
        std::string password;
        std::chrono::milliseconds rto{500};
        int maxTransmissions = 5;
        uint32_t lifetime = 600;  // seconds asked for
        std::string software;
        size_t maxPeers = 64;
    };

    enum class State { Idle, Allocating, Allocated, Failed, Closed };

    struct PeerData {
        Address peer;
        std::span<const uint8_t> data;
        std::vector<uint8_t> storage;  // backs `data` for Data indications
    };
    enum class Input { NotTurn, Consumed, PeerData };

    TurnClient(Config config, SendFunction send);
    ~TurnClient();
    TurnClient(const TurnClient&) = delete;
    TurnClient& operator=(const TurnClient&) = delete;

    void start(Clock::time_point now);
    // Feeds a datagram that came from the server address.
    Input handle(std::span<const uint8_t> datagram, Clock::time_point now, PeerData& out);
    // Asks for a permission and a channel towards `peer` (idempotent).
    void addPeer(const Address& peer, Clock::time_point now);
    // Relays `data` to `peer`: ChannelData once the channel is bound, a Send indication before.
    bool sendTo(const Address& peer, std::span<const uint8_t> data);
    // Retransmissions and refreshes.
    void tick(Clock::time_point now);
    // Releases the allocation (a Refresh with lifetime 0, sent once).
    void shutdown();

    State state() const { return state_; }
    const Address& server() const { return config_.server; }
    const Address& relayedAddress() const { return relayed_; }
    const Address& mappedAddress() const { return mapped_; }
    const std::string& error() const { return error_; }
    bool hasChannel(const Address& peer) const;
    bool hasPermission(const Address& peer) const;

private:
    enum class Kind { Allocate, Refresh, CreatePermission, ChannelBind };
    struct Transaction {
        Kind kind;
        StunMessage request;  // without authentication attributes
        std::vector<uint8_t> bytes;
        Clock::time_point next;
        std::chrono::milliseconds rto;
        int sent = 0;
        int authRetries = 0;
        Address peer;
        uint16_t channel = 0;
    };
    struct Permission {
        bool installed = false;
        bool pending = false;
        Clock::time_point refreshAt;
    };
    struct Channel {
        uint16_t number = 0;
        bool bound = false;
        bool pending = false;
        Clock::time_point refreshAt;
    };

    void sendRequest(Kind kind, StunMessage request, Clock::time_point now,
                     const Address& peer = {}, uint16_t channel = 0, int authRetries = 0);
    void transmit(Transaction& t, Clock::time_point now);
    std::vector<uint8_t> sign(const StunMessage& request);
    void onResponse(Transaction t, const StunMessage& response, std::span<const uint8_t> raw,
                    Clock::time_point now);
    void onTimeout(const Transaction& t);
    void fail(std::string reason);
    void requestPermission(const Address& peer, Clock::time_point now);
    void requestChannel(const Address& peer, Clock::time_point now);
    std::string ipKey(const Address& a) const { return a.ip(); }

    Config config_;
    SendFunction send_;
    State state_ = State::Idle;
    std::string error_;
    std::string realm_;
    std::string nonce_;
    std::vector<uint8_t> key_;
    Address relayed_;
    Address mapped_;
    Clock::time_point refreshAt_;
    std::map<TransactionId, Transaction> transactions_;
    std::map<std::string, Permission> permissions_;  // by peer IP
    std::map<std::string, Channel> channels_;        // by peer "ip:port"
    std::map<uint16_t, Address> channelPeers_;
    uint16_t nextChannel_ = 0x4000;  // channel numbers run 0x4000-0x4FFF
};

}  // namespace rtc::impl
