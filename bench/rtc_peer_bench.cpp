// Two peer connections over loopback: data-channel round trip, bulk throughput and set-up time.
//
//   rtc_peer_bench [--rounds N] [--seconds S] [--count N] [--verbose 1]
//
// Round trip: 100-byte messages echoed from the remote receive callback, one in flight at a time.
// Bulk: 16 KiB messages on a reliable ordered channel for S seconds, keeping bufferedAmount at or
// below 1 MiB; counts bytes received by the peer. Set-up: from the offer to both channels open.
#include "rtc/rtc.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono;
using Clock = steady_clock;

namespace {

struct Flag {
    std::mutex mutex;
    std::condition_variable condition;
    int count = 0;
    void add() {
        { std::lock_guard lock(mutex); ++count; }
        condition.notify_all();
    }
    bool waitFor(int wanted, milliseconds timeout = milliseconds(20000)) {
        std::unique_lock lock(mutex);
        return condition.wait_for(lock, timeout, [&] { return count >= wanted; });
    }
};

struct Pair {
    std::shared_ptr<rtc::PeerConnection> offerer, answerer;
    std::shared_ptr<rtc::DataChannel> local;   // offerer's channel
    std::shared_ptr<rtc::DataChannel> remote;  // answerer's side of it
    std::shared_ptr<Flag> opened = std::make_shared<Flag>();
    std::mutex mutex;
    std::condition_variable remoteArrived;

    bool connect(rtc::DataChannelInit init = {}) {
        rtc::Configuration config;
        config.bindAddress = "127.0.0.1";
        offerer = std::make_shared<rtc::PeerConnection>(config);
        answerer = std::make_shared<rtc::PeerConnection>(config);
        std::weak_ptr<rtc::PeerConnection> weakOfferer = offerer, weakAnswerer = answerer;
        offerer->onLocalDescription([weakAnswerer](rtc::Description d) {
            if (auto a = weakAnswerer.lock()) {
                a->setRemoteDescription(d);
                a->setLocalDescription();
            }
        });
        answerer->onLocalDescription([weakOfferer](rtc::Description d) {
            if (auto o = weakOfferer.lock())
                o->setRemoteDescription(d);
        });
        offerer->onLocalCandidate([weakAnswerer](rtc::Candidate c) {
            if (auto a = weakAnswerer.lock())
                a->addRemoteCandidate(c);
        });
        answerer->onLocalCandidate([weakOfferer](rtc::Candidate c) {
            if (auto o = weakOfferer.lock())
                o->addRemoteCandidate(c);
        });
        auto opened = this->opened;
        answerer->onDataChannel([this, opened](std::shared_ptr<rtc::DataChannel> channel) {
            {
                std::lock_guard lock(mutex);
                remote = channel;
            }
            channel->onOpen([opened] { opened->add(); });
            remoteArrived.notify_all();
        });
        local = offerer->createDataChannel("bench", init);
        local->onOpen([opened] { opened->add(); });
        offerer->setLocalDescription(rtc::Description::Type::Offer);
        if (!opened->waitFor(2))
            return false;
        std::unique_lock lock(mutex);
        return remoteArrived.wait_for(lock, seconds(5), [&] { return remote != nullptr; });
    }

    ~Pair() {
        if (offerer)
            offerer->resetCallbacks();
        if (answerer)
            answerer->resetCallbacks();
        if (local)
            local->resetCallbacks();
        if (remote)
            remote->resetCallbacks();
        offerer.reset();
        answerer.reset();
    }
};

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p * (values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

bool verbose = false;

void setupTime(int rounds) {
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        Pair pair;
        auto start = Clock::now();
        if (!pair.connect()) {
            std::printf("set-up: round %d did not connect\n", i);
            return;
        }
        ms.push_back(duration<double, std::milli>(Clock::now() - start).count());
        if (verbose)
            std::printf("  set-up round %d: %.1f ms\n", i, ms.back());
    }
    std::printf("set-up (offer to both channels open), %d rounds: p50 %.1f ms, p90 %.1f ms, max %.1f ms\n",
                rounds, percentile(ms, 0.5), percentile(ms, 0.9), percentile(ms, 1.0));
}

void roundTrip(int count) {
    Pair pair;
    if (!pair.connect()) {
        std::printf("round trip: did not connect\n");
        return;
    }
    std::weak_ptr<rtc::DataChannel> weakRemote = pair.remote;
    pair.remote->onMessage([weakRemote](rtc::message_variant m) {
        if (auto c = weakRemote.lock())
            c->send(std::move(m));
    });
    std::mutex mutex;
    std::condition_variable condition;
    int received = 0;
    pair.local->onMessage([&](rtc::message_variant) {
        { std::lock_guard lock(mutex); ++received; }
        condition.notify_all();
    });
    rtc::binary message(100, std::byte{0x5a});
    std::vector<double> us;
    us.reserve(count);
    for (int i = 0; i < count + 100; ++i) { // the first 100 warm up
        auto start = Clock::now();
        pair.local->send(message);
        std::unique_lock lock(mutex);
        if (!condition.wait_for(lock, seconds(5), [&] { return received > i; })) {
            std::printf("round trip: message %d lost\n", i);
            break;
        }
        if (i >= 100)
            us.push_back(duration<double, std::micro>(Clock::now() - start).count());
    }
    pair.local->onMessage(nullptr);
    std::printf("round trip, 100-byte messages, %zu samples: p50 %.1f us, p99 %.1f us, max %.1f us\n",
                us.size(), percentile(us, 0.5), percentile(us, 0.99), percentile(us, 1.0));
}

void bulk(double seconds) {
    Pair pair;
    if (!pair.connect()) {
        std::printf("bulk: did not connect\n");
        return;
    }
    std::atomic<uint64_t> receivedBytes{0};
    pair.remote->onMessage([&](rtc::message_variant m) {
        receivedBytes += std::visit([](auto& v) { return v.size(); }, m);
    });
    constexpr size_t kMessage = 16 * 1024;
    constexpr size_t kLimit = 1024 * 1024;
    rtc::binary message(kMessage, std::byte{0x42});
    std::mutex mutex;
    std::condition_variable low;
    pair.local->setBufferedAmountLowThreshold(kLimit / 2);
    pair.local->onBufferedAmountLow([&] { low.notify_all(); });
    uint64_t sent = 0;
    size_t maxBuffered = 0;
    auto start = Clock::now();
    auto end = start + duration_cast<Clock::duration>(duration<double>(seconds));
    while (Clock::now() < end) {
        if (pair.local->bufferedAmount() + kMessage > kLimit) {
            std::unique_lock lock(mutex);
            low.wait_for(lock, milliseconds(5),
                         [&] { return pair.local->bufferedAmount() + kMessage <= kLimit; });
            continue;
        }
        if (!pair.local->send(message))
            continue;
        sent += kMessage;
        maxBuffered = std::max(maxBuffered, pair.local->bufferedAmount());
    }
    auto sendEnd = Clock::now();
    // Count what arrives of what was sent (the tail in flight is given a moment).
    auto deadline = Clock::now() + milliseconds(3000);
    while (receivedBytes.load() < sent && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(1));
    auto last = Clock::now();
    double elapsed = duration<double>(last - start).count();
    std::printf("bulk, 16 KiB messages, %.1f s sending: %.1f MB/s received (%.0f MB of %.0f MB), "
                "max bufferedAmount %zu bytes, drain after sending %.0f ms\n",
                seconds, receivedBytes.load() / elapsed / 1e6, receivedBytes.load() / 1e6, sent / 1e6,
                maxBuffered, duration<double, std::milli>(last - sendEnd).count());
    pair.remote->onMessage(nullptr);
    pair.local->onBufferedAmountLow(nullptr);
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 20;
    double seconds = 5;
    int count = 2000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--count"))
            count = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--verbose"))
            verbose = std::atoi(argv[i + 1]) != 0;
    }
    setupTime(rounds);
    roundTrip(count);
    bulk(seconds);
    return 0;
}
