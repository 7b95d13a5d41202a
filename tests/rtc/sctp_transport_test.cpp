#include "dtls_test_support.hpp"

#include "sctp/UsrsctpLibrary.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>

using namespace rtc::impl;
using namespace rtc::impl::test;
using State = Transport::State;

namespace {

ChannelReliability unorderedNoRetransmit() {
    ChannelReliability r;
    r.unordered = true;
    r.maxRetransmits = 0;
    return r;
}

// Waits until the remote side announced `count` channels and returns them.
std::vector<std::shared_ptr<DataChannel>> announced(Recorder<std::shared_ptr<DataChannel>>& r,
                                                    std::size_t count) {
    EXPECT_TRUE(r.waitCount(count));
    return r.snapshot();
}

} // namespace

TEST(SctpTransport, BothReliabilityKindsOpenAndEchoBothWays) {
    SctpPair pair;
    ASSERT_TRUE(pair.waitConnected()) << pair.client->error() << pair.server->error();

    auto control = pair.client->createChannel("murel.control.v1");
    auto pointer = pair.client->createChannel("murel.pointer.v1", "", unorderedNoRetransmit());
    ChannelProbe controlProbe, pointerProbe;
    controlProbe.attach(control);
    pointerProbe.attach(pointer);
    // DTLS client: even stream ids.
    EXPECT_EQ(control->stream() % 2, 0);
    EXPECT_EQ(pointer->stream() % 2, 0);
    EXPECT_NE(control->stream(), pointer->stream());

    auto remote = announced(pair.serverChannels, 2);
    ASSERT_EQ(remote.size(), 2u);
    std::map<std::string, std::shared_ptr<DataChannel>> byLabel;
    std::map<std::string, std::unique_ptr<ChannelProbe>> probes;
    for (auto& channel : remote) {
        byLabel[channel->label()] = channel;
        probes[channel->label()] = std::make_unique<ChannelProbe>();
        auto* probe = probes[channel->label()].get();
        // Echo every message from the receive callback.
        std::weak_ptr<DataChannel> weak = channel;
        channel->onMessage([probe, weak](Message m) {
            probe->messages.record(m);
            if (auto c = weak.lock())
                c->sendMessage(m);
        });
    }
    ASSERT_TRUE(byLabel.count("murel.control.v1") && byLabel.count("murel.pointer.v1"));
    auto remoteControl = byLabel["murel.control.v1"];
    auto remotePointer = byLabel["murel.pointer.v1"];
    EXPECT_EQ(remoteControl->stream(), control->stream());
    EXPECT_EQ(remotePointer->stream(), pointer->stream());
    EXPECT_FALSE(remoteControl->reliability().unordered);
    EXPECT_FALSE(remoteControl->reliability().maxRetransmits.has_value());
    EXPECT_FALSE(remoteControl->reliability().maxPacketLifeTime.has_value());
    EXPECT_EQ(remotePointer->reliability(), unorderedNoRetransmit());
    EXPECT_TRUE(remoteControl->isOpen());

    ASSERT_TRUE(controlProbe.opened.waitCount(1));
    ASSERT_TRUE(pointerProbe.opened.waitCount(1));
    EXPECT_TRUE(control->send(std::string_view("hello control")));
    auto binary = pattern(300, 1);
    EXPECT_TRUE(pointer->send(ByteSpan(binary)));

    ASSERT_TRUE(controlProbe.messages.waitCount(1));
    ASSERT_TRUE(pointerProbe.messages.waitCount(1));
    EXPECT_EQ(textOf(controlProbe.messages.snapshot()[0]), "hello control");
    EXPECT_EQ(binaryOf(pointerProbe.messages.snapshot()[0]), binary);
    // The type survives: text stays text, binary stays binary.
    EXPECT_TRUE(std::holds_alternative<std::string>(probes["murel.control.v1"]->messages.snapshot()[0]));
    EXPECT_TRUE(std::holds_alternative<std::vector<std::byte>>(
        probes["murel.pointer.v1"]->messages.snapshot()[0]));
}

TEST(SctpTransport, ServerOpenedChannelsUseOddIdsAndCarryEmptyMessages) {
    SctpPair pair;
    ASSERT_TRUE(pair.waitConnected());
    auto first = pair.server->createChannel("s1", "proto");
    auto second = pair.server->createChannel("s2");
    EXPECT_EQ(first->stream() % 2, 1);
    EXPECT_EQ(second->stream() % 2, 1);
    ChannelProbe local;
    local.attach(first);
    auto remote = announced(pair.clientChannels, 2);
    auto it = std::find_if(remote.begin(), remote.end(), [](auto& c) { return c->label() == "s1"; });
    ASSERT_NE(it, remote.end());
    EXPECT_EQ((*it)->protocol(), "proto");
    ChannelProbe probe;
    probe.attach(*it);
    ASSERT_TRUE(local.opened.waitCount(1));

    first->send(std::string_view(""));
    first->send(ByteSpan());
    first->send(std::string_view("after"));
    ASSERT_TRUE(probe.messages.waitCount(3));
    auto messages = probe.messages.snapshot();
    ASSERT_TRUE(std::holds_alternative<std::string>(messages[0]));
    EXPECT_TRUE(std::get<std::string>(messages[0]).empty());
    ASSERT_TRUE(std::holds_alternative<std::vector<std::byte>>(messages[1]));
    EXPECT_TRUE(std::get<std::vector<std::byte>>(messages[1]).empty());
    EXPECT_EQ(textOf(messages[2]), "after");
}

TEST(SctpTransport, MessagesUpToTheLimitArriveWholeAndLargerAreRefused) {
    SctpTransport::Options options;
    options.localMaxMessageSize = 4096;
    options.remoteMaxMessageSize = 4096;
    SctpPair pair(options);
    ASSERT_TRUE(pair.waitConnected());
    auto channel = pair.client->createChannel("limit");
    ChannelProbe local;
    local.attach(channel);
    auto remote = announced(pair.serverChannels, 1);
    ChannelProbe probe;
    probe.attach(remote[0]);
    ASSERT_TRUE(local.opened.waitCount(1));
    EXPECT_EQ(channel->maxMessageSize(), 4096u);

    auto exact = pattern(4096, 2);
    auto over = pattern(4097, 3);
    EXPECT_TRUE(channel->send(ByteSpan(exact)));
    EXPECT_THROW(channel->send(ByteSpan(over)), std::invalid_argument);
    EXPECT_THROW(channel->send(std::string(4097, 't')), std::invalid_argument);
    EXPECT_TRUE(channel->send(std::string(4096, 't')));
    EXPECT_EQ(channel->bufferedAmount() <= 8192, true);

    ASSERT_TRUE(probe.messages.waitCount(2));
    auto messages = probe.messages.snapshot();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(binaryOf(messages[0]), exact);
    EXPECT_EQ(textOf(messages[1]), std::string(4096, 't'));
    EXPECT_TRUE(local.errors.snapshot().empty());
}

TEST(SctpTransport, AReceiverDropsMessagesAboveItsOwnLimit) {
    // A peer that ignores our announced limit: its message is dropped whole, never truncated or
    // buffered without bound, and the channel goes on.
    SctpTransport::Options sender;
    sender.remoteMaxMessageSize = 8192;
    SctpTransport::Options receiver;
    receiver.localMaxMessageSize = 4096;
    SctpPair pair(sender, {}, receiver);
    ASSERT_TRUE(pair.waitConnected());
    auto channel = pair.client->createChannel("greedy");
    ChannelProbe local;
    local.attach(channel);
    auto remote = announced(pair.serverChannels, 1);
    ChannelProbe probe;
    probe.attach(remote[0]);
    ASSERT_TRUE(local.opened.waitCount(1));
    EXPECT_TRUE(channel->send(ByteSpan(pattern(4097, 3))));  // one byte over is over
    EXPECT_TRUE(channel->send(ByteSpan(pattern(6000, 4))));
    EXPECT_TRUE(channel->send(ByteSpan(pattern(4096, 5))));
    ASSERT_TRUE(probe.errors.waitCount(2));
    EXPECT_EQ(probe.errors.snapshot()[0], "Received message exceeds the size limit");
    EXPECT_EQ(probe.errors.snapshot()[1], "Received message exceeds the size limit");
    ASSERT_TRUE(probe.messages.waitCount(1));
    EXPECT_EQ(binaryOf(probe.messages.snapshot()[0]), pattern(4096, 5));
    EXPECT_TRUE(remote[0]->isOpen());
}

TEST(SctpTransport, LargeMessagesAreReassembledIntact) {
    SctpPair pair; // default limit: 256 KiB
    ASSERT_TRUE(pair.waitConnected());
    auto channel = pair.client->createChannel("bulk");
    ChannelProbe local;
    local.attach(channel);
    auto remote = announced(pair.serverChannels, 1);
    ChannelProbe probe;
    probe.attach(remote[0]);
    ASSERT_TRUE(local.opened.waitCount(1));
    std::vector<std::vector<std::byte>> sent;
    for (unsigned i = 0; i < 6; ++i) {
        sent.push_back(pattern(i == 0 ? 262144 : 1000 + i * 40000, i));
        ASSERT_TRUE(channel->send(ByteSpan(sent.back())));
    }
    ASSERT_TRUE(probe.messages.waitCount(sent.size()));
    auto messages = probe.messages.snapshot();
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(binaryOf(messages[i]), sent[i]) << i;
    EXPECT_THROW(channel->send(ByteSpan(pattern(262145, 9))), std::invalid_argument);
}

TEST(SctpTransport, OrderedChannelKeepsOrderOverALossyLink) {
    MemoryLinkOptions link;
    link.lossRate = 0.05;
    link.jitter = std::chrono::microseconds(500);
    link.seed = 3;
    SctpPair pair({}, link);
    ASSERT_TRUE(pair.waitConnected(30s));
    auto channel = pair.client->createChannel("ordered");
    ChannelProbe local;
    local.attach(channel);
    auto remote = announced(pair.serverChannels, 1);
    ChannelProbe probe;
    probe.attach(remote[0]);
    ASSERT_TRUE(local.opened.waitCount(1));
    const int count = 1500;
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(channel->send(std::to_string(i)));
    ASSERT_TRUE(probe.messages.waitCount(count, 60s));
    auto messages = probe.messages.snapshot();
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(textOf(messages[i]), std::to_string(i)) << "position " << i;
}

TEST(SctpTransport, PartialReliabilityGivesUpWhereReliableDoesNot) {
    MemoryLinkOptions link;
    link.lossRate = 0.15;
    link.seed = 11;
    SctpPair pair({}, link);
    ASSERT_TRUE(pair.waitConnected(30s));
    auto lossy = pair.client->createChannel("lossy", "", unorderedNoRetransmit());
    auto reliable = pair.client->createChannel("reliable");
    ChannelProbe lossyLocal, reliableLocal;
    lossyLocal.attach(lossy);
    reliableLocal.attach(reliable);
    auto remote = announced(pair.serverChannels, 2);
    std::map<std::string, std::unique_ptr<ChannelProbe>> probes;
    for (auto& c : remote) {
        probes[c->label()] = std::make_unique<ChannelProbe>();
        probes[c->label()]->attach(c);
    }
    ASSERT_TRUE(lossyLocal.opened.waitCount(1));
    ASSERT_TRUE(reliableLocal.opened.waitCount(1));
    const int count = 400;
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(lossy->send(std::to_string(i)));
        ASSERT_TRUE(reliable->send(std::to_string(i)));
    }
    ASSERT_TRUE(probes["reliable"]->messages.waitCount(count, 60s));
    auto got = probes["lossy"]->messages.snapshot();
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), static_cast<std::size_t>(count)); // some were abandoned, not retried
    std::set<std::string> unique;
    for (auto& m : got)
        unique.insert(textOf(m));
    EXPECT_EQ(unique.size(), got.size()); // never duplicated
}

TEST(SctpTransport, CloseFromEitherSideIsSeenByTheOther) {
    SctpPair pair;
    ASSERT_TRUE(pair.waitConnected());
    auto a = pair.client->createChannel("closed-by-client");
    auto b = pair.client->createChannel("closed-by-server");
    ChannelProbe aLocal, bLocal;
    aLocal.attach(a);
    bLocal.attach(b);
    auto remote = announced(pair.serverChannels, 2);
    std::map<std::string, std::shared_ptr<DataChannel>> byLabel;
    std::map<std::string, std::unique_ptr<ChannelProbe>> probes;
    for (auto& c : remote) {
        byLabel[c->label()] = c;
        probes[c->label()] = std::make_unique<ChannelProbe>();
        probes[c->label()]->attach(c);
    }
    ASSERT_TRUE(aLocal.opened.waitCount(1));
    ASSERT_TRUE(bLocal.opened.waitCount(1));
    const auto streamA = a->stream();

    // Data sent just before close still arrives before the close.
    a->send(std::string_view("last words"));
    a->close();
    ASSERT_TRUE(probes["closed-by-client"]->closed.waitCount(1));
    ASSERT_TRUE(aLocal.closed.waitCount(1));
    ASSERT_EQ(probes["closed-by-client"]->messages.size(), 1u);
    EXPECT_EQ(textOf(probes["closed-by-client"]->messages.snapshot()[0]), "last words");
    EXPECT_TRUE(a->isClosed());
    EXPECT_TRUE(byLabel["closed-by-client"]->isClosed());
    EXPECT_THROW(a->send(std::string_view("x")), std::runtime_error);
    EXPECT_THROW(byLabel["closed-by-client"]->send(std::string_view("x")), std::runtime_error);

    byLabel["closed-by-server"]->close();
    ASSERT_TRUE(bLocal.closed.waitCount(1));
    ASSERT_TRUE(probes["closed-by-server"]->closed.waitCount(1));
    EXPECT_TRUE(b->isClosed());

    // The other channels stay usable and the freed id is reused once both directions reset.
    EXPECT_EQ(aLocal.closed.size(), 1u); // onClosed fires once
    ASSERT_TRUE(eventually([&] { return pair.client->channelCount() == 0 && pair.server->channelCount() == 0; }));
    auto again = pair.client->createChannel("again");
    EXPECT_EQ(again->stream(), streamA);
    ChannelProbe againLocal;
    againLocal.attach(again);
    auto all = announced(pair.serverChannels, 3);
    ChannelProbe againRemote;
    againRemote.attach(all[2]);
    EXPECT_EQ(all[2]->label(), "again");
    ASSERT_TRUE(againLocal.opened.waitCount(1));
    again->send(std::string_view("new life"));
    ASSERT_TRUE(againRemote.messages.waitCount(1));
    EXPECT_EQ(textOf(againRemote.messages.snapshot()[0]), "new life");
}

TEST(SctpTransport, ManyChannelsFromBothSides) {
    SctpPair pair;
    ASSERT_TRUE(pair.waitConnected());
    const int fromClient = 120, fromServer = 60;
    std::vector<std::shared_ptr<DataChannel>> local;
    for (int i = 0; i < fromClient; ++i)
        local.push_back(pair.client->createChannel("c" + std::to_string(i)));
    for (int i = 0; i < fromServer; ++i)
        local.push_back(pair.server->createChannel("s" + std::to_string(i)));
    std::set<std::uint16_t> ids;
    for (auto& c : local)
        ids.insert(c->stream());
    EXPECT_EQ(ids.size(), local.size());

    Recorder<std::string> received;
    auto listen = [&](const std::shared_ptr<DataChannel>& c) {
        std::string label = c->label();
        c->onMessage([&received, label](Message m) { received.record(label + "=" + textOf(m)); });
    };
    auto atServer = announced(pair.serverChannels, fromClient);
    auto atClient = announced(pair.clientChannels, fromServer);
    for (auto& c : atServer)
        listen(c);
    for (auto& c : atClient)
        listen(c);
    Recorder<int> opened;
    for (auto& c : local)
        c->onOpen([&] { opened.record(1); });
    ASSERT_TRUE(opened.waitCount(local.size()));
    for (auto& c : local)
        ASSERT_TRUE(c->send("from " + c->label()));
    ASSERT_TRUE(received.waitCount(local.size()));
    std::set<std::string> got;
    for (auto& r : received.snapshot())
        got.insert(r);
    for (auto& c : local)
        EXPECT_TRUE(got.count(c->label() + "=from " + c->label())) << c->label();
}

TEST(SctpTransport, StreamIdsRunOutCleanly) {
    SctpTransport::Options options;
    options.maxStreams = 8;
    SctpPair pair(options);
    ASSERT_TRUE(pair.waitConnected());
    for (int i = 0; i < 4; ++i)
        pair.client->createChannel("c" + std::to_string(i));
    EXPECT_THROW(pair.client->createChannel("one too many"), std::runtime_error);
    announced(pair.serverChannels, 4);
    // Pre-negotiated ids must be in range and unused.
    EXPECT_THROW(pair.server->createChannel("x", "", {}, std::uint16_t{8}), std::invalid_argument);
    EXPECT_THROW(pair.server->createChannel("x", "", {}, std::uint16_t{0}), std::invalid_argument);
}

TEST(SctpTransport, PreNegotiatedChannelsSkipTheHandshake) {
    SctpPair pair;
    ASSERT_TRUE(pair.waitConnected());
    auto a = pair.client->createChannel("neg", "", {}, std::uint16_t{7});
    auto b = pair.server->createChannel("neg", "", {}, std::uint16_t{7});
    EXPECT_TRUE(a->negotiated());
    ChannelProbe pa, pb;
    pa.attach(a);
    pb.attach(b);
    ASSERT_TRUE(pa.opened.waitCount(1)); // onOpen set after the fact still fires
    ASSERT_TRUE(pb.opened.waitCount(1));
    a->send(std::string_view("ping"));
    ASSERT_TRUE(pb.messages.waitCount(1));
    EXPECT_EQ(textOf(pb.messages.snapshot()[0]), "ping");
    EXPECT_EQ(pair.serverChannels.size(), 0u); // nothing was announced
}

TEST(SctpTransport, MessagesBeforeOnMessageAreKeptInOrder) {
    SctpPair pair;
    ASSERT_TRUE(pair.waitConnected());
    auto channel = pair.client->createChannel("early");
    ChannelProbe local;
    local.attach(channel);
    auto remote = announced(pair.serverChannels, 1);
    ASSERT_TRUE(local.opened.waitCount(1));
    for (int i = 0; i < 5; ++i)
        channel->send(std::to_string(i));
    // Wait until they have certainly arrived: a later message on a second, listened channel.
    auto marker = pair.client->createChannel("marker");
    auto remotes = announced(pair.serverChannels, 2);
    ChannelProbe markerProbe;
    markerProbe.attach(remotes[1]);
    ChannelProbe markerLocal;
    markerLocal.attach(marker);
    ASSERT_TRUE(markerLocal.opened.waitCount(1));
    marker->send(std::string_view("m"));
    ASSERT_TRUE(markerProbe.messages.waitCount(1));

    ChannelProbe late;
    late.attach(remote[0]);
    ASSERT_TRUE(late.messages.waitCount(5));
    auto messages = late.messages.snapshot();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(textOf(messages[i]), std::to_string(i));
    ASSERT_TRUE(late.opened.waitCount(1)); // open was announced before a callback existed
}

TEST(SctpTransport, BufferedAmountIsBoundedAndDrainsToTheLowMark) {
    SctpTransport::Options options;
    options.maxBufferedBytes = 3 * 1024 * 1024;
    MemoryLinkOptions link;
    link.delay = 2ms; // keep data in flight so that the send buffer fills
    SctpPair pair(options, link);
    ASSERT_TRUE(pair.waitConnected());
    auto channel = pair.client->createChannel("bulk");
    ChannelProbe local;
    local.attach(channel);
    auto remote = announced(pair.serverChannels, 1);
    std::atomic<std::size_t> bytes{0};
    Recorder<int> done;
    const std::size_t messageSize = 16 * 1024;
    remote[0]->onMessage([&](Message m) {
        bytes += binaryOf(m).size();
        done.record(1);
    });
    ASSERT_TRUE(local.opened.waitCount(1));
    channel->setBufferedAmountLowThreshold(256 * 1024);

    auto payload = pattern(messageSize, 5);
    std::size_t accepted = 0, peak = 0;
    bool refused = false;
    for (int i = 0; i < 600 && !refused; ++i) {
        if (channel->send(ByteSpan(payload))) {
            ++accepted;
            peak = std::max(peak, channel->bufferedAmount());
        } else {
            refused = true;
        }
    }
    // 9.6 MB offered at once: SCTP's own buffer fills, the rest waits in the bounded queue, and
    // the bound refuses what does not fit instead of growing.
    EXPECT_TRUE(refused);
    EXPECT_GT(peak, 256u * 1024);
    EXPECT_LE(peak, options.maxBufferedBytes);
    ASSERT_TRUE(local.low.waitCount(1, 60s));
    ASSERT_TRUE(done.waitCount(accepted, 60s));
    EXPECT_EQ(bytes.load(), accepted * messageSize);
    ASSERT_TRUE(eventually([&] { return channel->bufferedAmount() == 0; }));
}

TEST(SctpTransport, StopClosesChannelsOnBothSides) {
    SctpPair pair;
    ASSERT_TRUE(pair.waitConnected());
    auto channel = pair.client->createChannel("doomed");
    ChannelProbe local;
    local.attach(channel);
    auto remote = announced(pair.serverChannels, 1);
    ChannelProbe probe;
    probe.attach(remote[0]);
    ASSERT_TRUE(local.opened.waitCount(1));
    pair.client->stop();
    ASSERT_TRUE(local.closed.waitCount(1));
    ASSERT_TRUE(probe.closed.waitCount(1)); // the abort reaches the peer
    EXPECT_THROW(pair.client->createChannel("late"), std::runtime_error);
    EXPECT_THROW(channel->send(std::string_view("x")), std::runtime_error);
}

TEST(SctpTransport, DroppingEverythingFromACallbackIsSafe) {
    for (int round = 0; round < 3; ++round) {
        auto pair = std::make_unique<SctpPair>();
        ASSERT_TRUE(pair->waitConnected());
        auto channel = pair->client->createChannel("c");
        ChannelProbe local;
        local.attach(channel);
        auto remote = announced(pair->serverChannels, 1);
        ASSERT_TRUE(local.opened.waitCount(1));
        std::weak_ptr<SctpTransport> weakServer = pair->server;
        std::weak_ptr<DataChannel> weakChannel = remote[0];
        Recorder<int> dropped;
        // The server side's last owners are released from inside its own message callback.
        auto holder = std::make_shared<std::shared_ptr<SctpTransport>>(pair->server);
        pair->server->resetCallbacks();
        pair->server.reset();
        pair->serverChannels.clear();
        remote.clear();
        weakChannel.lock()->onMessage([holder, &dropped](Message) {
            holder->reset();
            dropped.record(1);
        });
        channel->send(std::string_view("bye"));
        ASSERT_TRUE(dropped.waitCount(1));
        EXPECT_TRUE(eventually([&] { return weakServer.expired(); }));
    }
    // With every transport gone the global library winds down as well.
    EXPECT_TRUE(eventually([] { return !UsrsctpLibrary::initialised(); }, 20s));
}
