#include "dtls_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

using namespace rtc::impl;
using namespace rtc::impl::test;
using State = Transport::State;

namespace {

ByteSpan bytesOf(const std::string& text) {
    return ByteSpan(reinterpret_cast<const std::byte*>(text.data()), text.size());
}

std::string textOf(ByteSpan bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool failed(const std::vector<State>& s) { return contains(s, State::Failed); }
bool closed(const std::vector<State>& s) { return contains(s, State::Closed); }

} // namespace

TEST(MemoryTransport, DeliversInOrderRefusesOversizeAndLosesOnRequest) {
    MemoryLinkOptions options;
    options.maxDatagramSize = 100;
    options.dropFirst = 2;
    auto [a, b] = MemoryTransport::createPair(options);
    Recorder<std::string> received;
    b->onReceive([&](ByteSpan data) { received.record(textOf(data)); });

    EXPECT_FALSE(a->send(bytesOf(std::string(101, 'x'))));
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(a->send(bytesOf(std::to_string(i))));
    ASSERT_TRUE(received.waitCount(18));
    auto items = received.snapshot();
    ASSERT_EQ(items.size(), 18u);
    for (int i = 0; i < 18; ++i)
        EXPECT_EQ(items[i], std::to_string(i + 2));
    auto stats = a->stats();
    EXPECT_EQ(stats.oversized, 1u);
    EXPECT_EQ(stats.dropped, 2u);
    EXPECT_EQ(stats.delivered, 18u);
    b->resetCallbacks();
}

TEST(MemoryTransport, SameSeedLosesTheSameDatagrams) {
    auto run = [](std::uint32_t seed) {
        MemoryLinkOptions options;
        options.lossRate = 0.3;
        options.seed = seed;
        auto [a, b] = MemoryTransport::createPair(options);
        Recorder<std::string> received;
        b->onReceive([&](ByteSpan data) { received.record(textOf(data)); });
        for (int i = 0; i < 200; ++i)
            a->send(bytesOf(std::to_string(i)));
        auto expected = 200 - a->stats().dropped;
        EXPECT_TRUE(received.waitCount(expected));
        b->resetCallbacks();
        return received.snapshot();
    };
    auto first = run(7);
    auto second = run(7);
    auto other = run(8);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
    EXPECT_LT(first.size(), 190u);
    EXPECT_GT(first.size(), 100u);
}

TEST(DtlsTransport, HandshakeCarriesDataBothWaysInBothRoles) {
    DtlsPair pair;
    Recorder<std::string> atClient, atServer;
    pair.client->onReceive([&](ByteSpan d) { atClient.record(textOf(d)); });
    pair.server->onReceive([&](ByteSpan d) { atServer.record(textOf(d)); });
    EXPECT_FALSE(pair.client->send(bytesOf("too early")));
    pair.start();
    ASSERT_TRUE(pair.waitConnected()) << pair.client->error() << " / " << pair.server->error();

    EXPECT_EQ(pair.client->role(), DtlsTransport::Role::Client);
    EXPECT_EQ(pair.server->role(), DtlsTransport::Role::Server);
    EXPECT_EQ(pair.client->remoteFingerprint(), pair.serverCertificate->fingerprint());
    EXPECT_EQ(pair.server->remoteFingerprint(), pair.clientCertificate->fingerprint());

    ASSERT_TRUE(pair.client->send(bytesOf("hello server")));
    ASSERT_TRUE(pair.server->send(bytesOf("hello client")));
    ASSERT_TRUE(atServer.waitCount(1));
    ASSERT_TRUE(atClient.waitCount(1));
    EXPECT_EQ(atServer.snapshot()[0], "hello server");
    EXPECT_EQ(atClient.snapshot()[0], "hello client");

    auto states = pair.clientStates.snapshot();
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[0], State::Connecting);
    EXPECT_EQ(states[1], State::Connected);
}

TEST(DtlsTransport, RecordsDoNotExceedTheMtu) {
    MemoryLinkOptions link;
    link.maxDatagramSize = 600;
    DtlsTransport::Options options;
    options.mtu = 600;
    DtlsPair pair(link, options);
    pair.start();
    // Certificates and key exchange must be fragmented to fit 600-byte datagrams.
    ASSERT_TRUE(pair.waitConnected()) << pair.client->error() << " / " << pair.server->error();
    EXPECT_EQ(pair.linkClient->stats().oversized, 0u);
    EXPECT_EQ(pair.linkServer->stats().oversized, 0u);

    std::size_t limit = pair.client->maxPayloadSize();
    EXPECT_GT(limit, 500u);
    EXPECT_LE(limit, 600u);
    Recorder<std::size_t> sizes;
    pair.server->onReceive([&](ByteSpan d) { sizes.record(d.size()); });
    EXPECT_TRUE(pair.client->send(bytesOf(std::string(limit, 'a'))));
    EXPECT_FALSE(pair.client->send(bytesOf(std::string(limit + 1, 'a'))));
    ASSERT_TRUE(sizes.waitCount(1));
    EXPECT_EQ(sizes.snapshot()[0], limit);
    EXPECT_EQ(pair.linkClient->stats().oversized, 0u);
}

TEST(DtlsTransport, FingerprintMismatchFailsWithClearError) {
    DtlsPair pair({}, {}, /*wrongFingerprintAtClient=*/true);
    std::atomic<int> received{0};
    pair.server->onReceive([&](ByteSpan) { ++received; });
    pair.start();
    ASSERT_TRUE(pair.clientStates.waitFor(failed));
    EXPECT_EQ(pair.client->error(), "DTLS certificate fingerprint mismatch");
    EXPECT_FALSE(contains(pair.clientStates.snapshot(), State::Connected));
    EXPECT_FALSE(pair.client->send(bytesOf("secret")));
    EXPECT_FALSE(pair.client->srtpKeys().has_value());
    // The server gets the alert and fails too instead of waiting forever.
    ASSERT_TRUE(pair.serverStates.waitFor(failed));
    EXPECT_FALSE(pair.server->send(bytesOf("secret")));
    EXPECT_EQ(received.load(), 0);
}

TEST(DtlsTransport, ServerChecksTheClientFingerprintToo) {
    auto [a, b] = MemoryTransport::createPair();
    auto clientCertificate = Certificate::generate();
    auto serverCertificate = Certificate::generate();
    auto stranger = Certificate::generate();
    auto client = DtlsTransport::create(a, clientCertificate, serverCertificate->fingerprint(),
                                        DtlsTransport::Role::Client);
    auto server = DtlsTransport::create(b, serverCertificate, stranger->fingerprint(),
                                        DtlsTransport::Role::Server);
    Recorder<State> serverStates, clientStates;
    server->onStateChange([&](State s) { serverStates.record(s); });
    client->onStateChange([&](State s) { clientStates.record(s); });
    server->start();
    client->start();
    ASSERT_TRUE(serverStates.waitFor(failed));
    EXPECT_EQ(server->error(), "DTLS certificate fingerprint mismatch");
    EXPECT_FALSE(contains(serverStates.snapshot(), State::Connected));
    // The client may have finished its side first; it must not keep a working session.
    ASSERT_TRUE(clientStates.waitFor([](const std::vector<State>& s) {
        return contains(s, State::Failed) || contains(s, State::Closed);
    }));
    server->resetCallbacks();
    client->resetCallbacks();
}

TEST(DtlsTransport, ExportsMatchingSrtpKeys) {
    DtlsPair pair;
    pair.start();
    ASSERT_TRUE(pair.waitConnected());
    auto client = pair.client->srtpKeys();
    auto server = pair.server->srtpKeys();
    ASSERT_TRUE(client.has_value());
    ASSERT_TRUE(server.has_value());
    // Both offer AEAD_AES_128_GCM first.
    EXPECT_EQ(client->profile, SrtpProfile::AeadAes128Gcm);
    EXPECT_EQ(server->profile, SrtpProfile::AeadAes128Gcm);
    EXPECT_EQ(client->clientKey.size(), 16u);
    EXPECT_EQ(client->clientSalt.size(), 12u);
    EXPECT_EQ(client->localKey(), server->remoteKey());
    EXPECT_EQ(client->localSalt(), server->remoteSalt());
    EXPECT_EQ(client->remoteKey(), server->localKey());
    EXPECT_EQ(client->remoteSalt(), server->localSalt());
    EXPECT_EQ(client->clientKey, server->clientKey);
    EXPECT_NE(client->clientKey, client->serverKey);
    EXPECT_NE(client->clientSalt, client->serverSalt);
}

TEST(DtlsTransport, CompletesDespiteLostFlightsByRetransmitting) {
    MemoryLinkOptions link;
    link.dropFirst = 2; // each side's first flight (or part of it) is lost
    link.lossRate = 0.2;
    link.seed = 42;
    link.jitter = 2ms;
    DtlsTransport::Options options;
    options.initialRetransmit = 100ms;
    options.maxRetransmit = 400ms;
    DtlsPair pair(link, options);
    pair.start();
    ASSERT_TRUE(pair.waitConnected(30s)) << pair.client->error() << " / " << pair.server->error();
    EXPECT_GT(pair.client->retransmissions() + pair.server->retransmissions(), 0u);
    EXPECT_GT(pair.linkClient->stats().dropped + pair.linkServer->stats().dropped, 2u);
    auto client = pair.client->srtpKeys();
    auto server = pair.server->srtpKeys();
    ASSERT_TRUE(client && server);
    EXPECT_EQ(client->localKey(), server->remoteKey());
}

TEST(DtlsTransport, GivesUpWhenThePeerNeverAnswers) {
    MemoryLinkOptions link;
    link.lossRate = 1.0;
    DtlsTransport::Options options;
    options.handshakeTimeout = 1500ms;
    options.initialRetransmit = 100ms;
    DtlsPair pair(link, options);
    pair.start();
    ASSERT_TRUE(pair.clientStates.waitFor(failed));
    EXPECT_EQ(pair.client->error(), "DTLS handshake timed out");
    EXPECT_GE(pair.client->retransmissions(), 2u);
}

TEST(DtlsTransport, CloseNotifyIsSeenByThePeer) {
    DtlsPair pair;
    pair.start();
    ASSERT_TRUE(pair.waitConnected());
    pair.server->close();
    ASSERT_TRUE(pair.serverStates.waitFor(closed));
    ASSERT_TRUE(pair.clientStates.waitFor(closed));
    EXPECT_FALSE(contains(pair.clientStates.snapshot(), State::Failed));
    EXPECT_FALSE(pair.client->send(bytesOf("after close")));
    pair.server->close(); // idempotent
}

TEST(DtlsTransport, LowerFailureFailsTheSession) {
    DtlsPair pair;
    pair.start();
    ASSERT_TRUE(pair.waitConnected());
    pair.linkClient->fail();
    ASSERT_TRUE(pair.clientStates.waitFor(failed));
    ASSERT_TRUE(pair.serverStates.waitFor(failed));
    EXPECT_FALSE(pair.client->error().empty());
}

TEST(DtlsTransport, ConcurrentSendersAndCloseFromACallbackDoNotDeadlock) {
    DtlsPair pair;
    std::atomic<int> received{0};
    std::shared_ptr<DtlsTransport> server = pair.server;
    pair.server->onReceive([&received, weak = std::weak_ptr(server)](ByteSpan) {
        if (++received == 500)
            if (auto s = weak.lock())
                s->close(); // close from inside the receive callback
    });
    pair.start();
    ASSERT_TRUE(pair.waitConnected());
    std::vector<std::thread> senders;
    std::atomic<bool> stop{false};
    for (int t = 0; t < 3; ++t)
        senders.emplace_back([&] {
            std::string payload(200, 'p');
            while (!stop.load() && pair.client->state() == State::Connected)
                pair.client->send(bytesOf(payload));
        });
    ASSERT_TRUE(pair.serverStates.waitFor(closed));
    ASSERT_TRUE(pair.clientStates.waitFor(closed));
    stop = true;
    for (auto& t : senders)
        t.join();
    EXPECT_GE(received.load(), 500);
}

TEST(DtlsTransport, DestroyingBothEndsMidHandshakeIsSafe) {
    for (int i = 0; i < 5; ++i) {
        MemoryLinkOptions link;
        link.delay = 1ms;
        auto pair = std::make_unique<DtlsPair>(link);
        pair->start();
        std::weak_ptr<DtlsTransport> client = pair->client, server = pair->server;
        std::this_thread::sleep_for(std::chrono::milliseconds(i)); // different handshake stages
        pair.reset();
        // Nothing (timers, link thread, callbacks) keeps a transport alive after its owner.
        EXPECT_TRUE(eventually([&] { return client.expired() && server.expired(); }));
    }
}
