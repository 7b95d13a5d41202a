// Where user callbacks run: each connection's own serial callback thread, so a callback that blocks
// holds up neither the layer's timers nor another connection; ordered and bounded.
#include "common/SerialDispatcher.hpp"
#include "peer_test_support.hpp"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace rtc;
using namespace rtc::test;
using impl::SerialDispatcher;

namespace {

// A gate a callback waits at (at most `timeout`), opened by the test.
struct Gate {
    std::promise<void> entered, opened;
    std::shared_future<void> openedFuture = opened.get_future().share();
    std::atomic<bool> waitedInTime{false};

    void block(std::chrono::milliseconds timeout = 20s) {
        entered.set_value();
        waitedInTime = openedFuture.wait_for(timeout) == std::future_status::ready;
    }
};

// Opens a channel on `pair` and returns both ends' recorders once both ends saw it open.
struct OpenChannel {
    std::shared_ptr<DataChannel> local, remote;
    std::shared_ptr<ChannelEvents> localEvents, remoteEvents;
};

std::optional<OpenChannel> openChannel(PeerPair& pair, const std::string& label) {
    OpenChannel c;
    c.local = pair.offerer.pc->createDataChannel(label);
    c.localEvents = ChannelEvents::attach(c.local);
    if (!c.localEvents->opened.waitCount(1))
        return std::nullopt;
    if (!pair.answerer.events->channels.waitFor([&](const auto& all) { return byLabel(all).count(label) > 0; }))
        return std::nullopt;
    c.remote = byLabel(pair.answerer.events->channels.snapshot())[label];
    c.remoteEvents = ChannelEvents::attach(c.remote);
    return c;
}

bool roundTrip(OpenChannel& c, const std::string& text) {
    const auto before = c.remoteEvents->messages.size();
    c.local->send(text);
    return c.remoteEvents->messages.waitFor([&](const auto& all) {
        return all.size() > before && std::get<std::string>(all.back()) == text;
    });
}

} // namespace

TEST(SerialDispatcher, RunsTasksInOrderOffTheCallersThreadAndSurvivesThrowingTasks) {
    SerialDispatcher dispatcher;
    std::mutex mutex;
    std::vector<std::pair<int, int>> ran; // (poster, sequence)
    std::vector<std::thread::id> threads;
    std::promise<void> done;
    constexpr int kPosters = 4, kEach = 500;
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p)
        posters.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i)
                ASSERT_TRUE(dispatcher.post([&, p, i] {
                    std::lock_guard lock(mutex);
                    ran.emplace_back(p, i);
                    threads.push_back(std::this_thread::get_id());
                    if (i % 100 == 7)
                        throw std::runtime_error("a callback failed");
                }));
        });
    for (auto& t : posters)
        t.join();
    ASSERT_TRUE(dispatcher.post([&] { done.set_value(); }));
    ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);

    std::lock_guard lock(mutex);
    ASSERT_EQ(ran.size(), std::size_t(kPosters * kEach)); // a throwing task did not stop the rest
    std::vector<int> next(kPosters, 0);
    for (auto [p, i] : ran)
        EXPECT_EQ(i, next[p]++) << "poster " << p; // each poster's tasks in the order posted
    for (auto id : threads) {
        EXPECT_EQ(id, threads.front()); // one thread runs them all, one at a time
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST(SerialDispatcher, QueueIsBoundedByTasksAndBytesWithAReserveForEvents) {
    SerialDispatcher dispatcher(4, 1000);
    Gate gate;
    std::atomic<int> ran{0};
    ASSERT_TRUE(dispatcher.post([&] { gate.block(); }));
    ASSERT_EQ(gate.entered.get_future().wait_for(20s), std::future_status::ready);

    auto count = [&] { ++ran; };
    EXPECT_TRUE(dispatcher.post(count, 600));
    EXPECT_FALSE(dispatcher.post(count, 401)) << "over the byte bound";
    EXPECT_TRUE(dispatcher.post(count, 400));
    EXPECT_TRUE(dispatcher.post(count, 0));
    EXPECT_TRUE(dispatcher.post(count, 0));
    EXPECT_FALSE(dispatcher.post(count, 1)) << "over the task bound";
    // Events without payload still fit, up to their reserve.
    std::size_t events = 0;
    while (events < 10 * SerialDispatcher::kEventReserve && dispatcher.post(count, 0))
        ++events;
    EXPECT_EQ(events, SerialDispatcher::kEventReserve);

    std::promise<void> drained;
    gate.opened.set_value();
    // Room again once the queue drained: the last task proves everything before it ran.
    while (!dispatcher.post([&] { drained.set_value(); }))
        std::this_thread::yield();
    ASSERT_EQ(drained.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_EQ(ran.load(), int(4 + events));
}

TEST(SerialDispatcher, DestructionDropsQueuedTasksAndMayHappenInsideATask) {
    std::atomic<int> ran{0};
    auto dispatcher = std::make_unique<SerialDispatcher>();
    Gate gate;
    ASSERT_TRUE(dispatcher->post([&] { gate.block(); }));
    ASSERT_EQ(gate.entered.get_future().wait_for(20s), std::future_status::ready);
    // Only the queued tasks hold the token: its deleter tells when they were dropped unrun.
    std::promise<void> dropped;
    {
        std::shared_ptr<int> token(new int(0), [&dropped](int* p) {
            delete p;
            dropped.set_value();
        });
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(dispatcher->post([&ran, token] { ++ran; }));
    }
    std::thread destroyer([&] { dispatcher.reset(); }); // waits for the running task
    ASSERT_EQ(dropped.get_future().wait_for(20s), std::future_status::ready);
    gate.opened.set_value();
    destroyer.join();
    EXPECT_EQ(ran.load(), 0);
    EXPECT_TRUE(gate.waitedInTime);

    // The last owner released inside one of its own tasks: no self-join, no crash.
    auto owner = std::make_shared<SerialDispatcher>();
    auto* raw = owner.get();
    std::promise<void> released;
    ASSERT_TRUE(raw->post([&owner, &released] {
        owner.reset();
        released.set_value();
    }));
    ASSERT_EQ(released.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_EQ(owner, nullptr);
}

TEST(PeerCallbacks, BlockedCallbackDelaysNeitherAnotherConnectionsHandshakeNorItsData) {
    // Pair A's answerer blocks in onStateChange(Connected) until pair B connected and carried a
    // message; then in onMessage until B carried another. Were callbacks run on a thread shared by
    // connections, B could not even signal while A blocks and the gates would time out.
    PeerPair a, b;
    auto aState = std::make_shared<Gate>();
    auto aEvents = a.answerer.events;
    a.answerer.pc->onStateChange([aEvents, aState](PeerConnection::State s) {
        aEvents->states.record(s);
        if (s == PeerConnection::State::Connected)
            aState->block();
    });
    auto aLocal = a.offerer.pc->createDataChannel("a");
    auto aLocalEvents = ChannelEvents::attach(aLocal);
    a.offer();
    ASSERT_EQ(aState->entered.get_future().wait_for(20s), std::future_status::ready);

    b.offer();
    auto bChannel = openChannel(b, "b");
    ASSERT_TRUE(bChannel) << "B did not connect while A's callback was blocked";
    EXPECT_TRUE(roundTrip(*bChannel, "first"));
    aState->opened.set_value();

    // A goes on: its channel opens and its own events come in order after the blocked one.
    ASSERT_TRUE(a.waitConnected());
    ASSERT_TRUE(aLocalEvents->opened.waitCount(1));
    ASSERT_TRUE(aEvents->channels.waitCount(1));
    auto aRemote = aEvents->channels.snapshot().front();
    auto aMessage = std::make_shared<Gate>();
    auto aReceived = std::make_shared<Recorder<std::string>>();
    aRemote->onMessage([aMessage, aReceived](message_variant m) {
        aReceived->record(std::get<std::string>(m));
        if (aReceived->size() == 1)
            aMessage->block();
    });
    for (const char* text : {"one", "two", "three"})
        ASSERT_TRUE(aLocal->send(std::string(text)));
    ASSERT_EQ(aMessage->entered.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(roundTrip(*bChannel, "second")) << "B's data waited for A's callback";
    aMessage->opened.set_value();

    // Later callbacks of A run only after the blocked one returned: both gates were opened in time.
    ASSERT_TRUE(aReceived->waitCount(3));
    EXPECT_EQ(aReceived->snapshot(), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_TRUE(aState->waitedInTime);
    EXPECT_TRUE(aMessage->waitedInTime);
}
