#pragma once

#include "dtls/Certificate.hpp"
#include "dtls/DtlsTransport.hpp"
#include "EventRecorder.hpp"
#include "MemoryTransport.hpp"
#include "sctp/SctpTransport.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace rtc::impl::test {

using namespace std::chrono_literals;

// For conditions nobody signals (an object released by another thread): polls until true.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Records everything a callback saw, under a lock, and wakes waiters.
template <typename T> using Recorder = murel::test::EventRecorder<T>;

inline bool contains(const std::vector<Transport::State>& states, Transport::State state) {
    for (auto s : states)
        if (s == state)
            return true;
    return false;
}

// Two DTLS ends over an in-memory link: `client` is a=setup:active.
struct DtlsPair {
    std::shared_ptr<MemoryTransport> linkClient, linkServer;
    std::shared_ptr<Certificate> clientCertificate, serverCertificate;
    std::shared_ptr<DtlsTransport> client, server;
    Recorder<Transport::State> clientStates, serverStates;

    explicit DtlsPair(MemoryLinkOptions link = {}, DtlsTransport::Options options = {},
                      bool wrongFingerprintAtClient = false) {
        std::tie(linkClient, linkServer) = MemoryTransport::createPair(link);
        clientCertificate = Certificate::generate("client");
        serverCertificate = Certificate::generate("server");
        auto expectedAtClient = serverCertificate->fingerprint();
        if (wrongFingerprintAtClient)
            expectedAtClient = Certificate::generate("impostor")->fingerprint();
        client = DtlsTransport::create(linkClient, clientCertificate, expectedAtClient,
                                       DtlsTransport::Role::Client, options);
        server = DtlsTransport::create(linkServer, serverCertificate,
                                       clientCertificate->fingerprint(),
                                       DtlsTransport::Role::Server, options);
        client->onStateChange([this](Transport::State s) { clientStates.record(s); });
        server->onStateChange([this](Transport::State s) { serverStates.record(s); });
    }

    void start() {
        server->start();
        client->start();
    }

    bool waitConnected(std::chrono::milliseconds timeout = 20s) {
        auto connected = [](const std::vector<Transport::State>& s) {
            return contains(s, Transport::State::Connected);
        };
        return clientStates.waitFor(connected, timeout) && serverStates.waitFor(connected, timeout);
    }

    ~DtlsPair() {
        // Callbacks capture this object; drop them before members go away.
        if (client)
            client->resetCallbacks();
        if (server)
            server->resetCallbacks();
    }
};

} // namespace rtc::impl::test

namespace rtc::impl::test {

// Two SCTP transports over a connected DTLS pair; `client` is the DTLS client (even stream ids).
struct SctpPair {
    DtlsPair dtls;
    std::shared_ptr<SctpTransport> client, server;
    Recorder<std::shared_ptr<DataChannel>> clientChannels, serverChannels;
    Recorder<Transport::State> clientStates, serverStates;
    bool dtlsUp = false;

    explicit SctpPair(SctpTransport::Options options = {}, MemoryLinkOptions link = {},
                      std::optional<SctpTransport::Options> serverOverride = std::nullopt)
        : dtls(link) {
        dtls.start();
        dtlsUp = dtls.waitConnected();
        if (!dtlsUp)
            return;
        options.mtu = dtls.client->maxPayloadSize();
        auto clientOptions = options;
        clientOptions.dtlsClient = true;
        auto serverOptions = serverOverride.value_or(options);
        serverOptions.mtu = options.mtu;
        serverOptions.dtlsClient = false;
        client = SctpTransport::create(dtls.client, clientOptions);
        server = SctpTransport::create(dtls.server, serverOptions);
        client->onChannel([this](std::shared_ptr<DataChannel> c) { clientChannels.record(c); });
        server->onChannel([this](std::shared_ptr<DataChannel> c) { serverChannels.record(c); });
        client->onStateChange([this](Transport::State s) { clientStates.record(s); });
        server->onStateChange([this](Transport::State s) { serverStates.record(s); });
        server->start();
        client->start();
    }

    bool waitConnected(std::chrono::milliseconds timeout = 20s) {
        if (!dtlsUp)
            return false;
        auto up = [](const std::vector<Transport::State>& s) {
            return contains(s, Transport::State::Connected);
        };
        return clientStates.waitFor(up, timeout) && serverStates.waitFor(up, timeout);
    }

    ~SctpPair() {
        if (client)
            client->resetCallbacks();
        if (server)
            server->resetCallbacks();
    }
};

// Collects one channel's events.
struct ChannelProbe {
    Recorder<Message> messages;
    Recorder<int> opened, closed;
    Recorder<std::string> errors;
    Recorder<int> low;

    void attach(const std::shared_ptr<DataChannel>& channel, bool withMessages = true) {
        if (withMessages)
            channel->onMessage([this](Message m) { messages.record(std::move(m)); });
        channel->onOpen([this] { opened.record(1); });
        channel->onClosed([this] { closed.record(1); });
        channel->onError([this](std::string e) { errors.record(std::move(e)); });
        channel->onBufferedAmountLow([this] { low.record(1); });
    }
};

inline std::string textOf(const Message& message) {
    if (auto* text = std::get_if<std::string>(&message))
        return *text;
    return "<binary>";
}

inline std::vector<std::byte> binaryOf(const Message& message) {
    if (auto* bytes = std::get_if<std::vector<std::byte>>(&message))
        return *bytes;
    return {};
}

inline std::vector<std::byte> pattern(std::size_t size, unsigned seed) {
    std::vector<std::byte> out(size);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::byte>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return out;
}

} // namespace rtc::impl::test
