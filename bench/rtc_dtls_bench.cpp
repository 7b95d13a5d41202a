// Data-channel costs of the DTLS + SCTP layer over an in-memory datagram link (no ICE, no sockets):
// set-up time (DTLS handshake, SCTP association, channel open), round trip of 100-byte messages
// echoed from the receive callback, and bulk throughput of 16 KiB messages with the sender keeping
// bufferedAmount at most 1 MiB.
//
// usage: rtc_dtls_bench [round trips=2000] [bulk seconds=5]
#include "dtls/Certificate.hpp"
#include "dtls/DtlsTransport.hpp"
#include "MemoryTransport.hpp"
#include "sctp/SctpTransport.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace rtc::impl;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct Stack {
    std::shared_ptr<MemoryTransport> linkA, linkB;
    std::shared_ptr<DtlsTransport> dtlsA, dtlsB;
    std::shared_ptr<SctpTransport> sctpA, sctpB;
    std::shared_ptr<DataChannel> local, remote;
};

template <typename T> T waitFor(std::future<T>& future, const char* what) {
    if (future.wait_for(30s) != std::future_status::ready) {
        std::fprintf(stderr, "timed out waiting for %s\n", what);
        std::exit(1);
    }
    return future.get();
}

// Builds a connected stack and returns it with the set-up time (certificates excluded: a peer
// connection generates its certificate before the offer).
Stack connect(double& setupMs) {
    Stack s;
    auto certA = Certificate::generate();
    auto certB = Certificate::generate();
    std::tie(s.linkA, s.linkB) = MemoryTransport::createPair();
    auto start = Clock::now();
    s.dtlsA = DtlsTransport::create(s.linkA, certA, certB->fingerprint(), DtlsTransport::Role::Client);
    s.dtlsB = DtlsTransport::create(s.linkB, certB, certA->fingerprint(), DtlsTransport::Role::Server);
    std::promise<void> upA, upB;
    std::atomic<int> once{0};
    s.dtlsA->onStateChange([&](Transport::State st) { if (st == Transport::State::Connected && !(once.fetch_or(1) & 1)) upA.set_value(); });
    s.dtlsB->onStateChange([&](Transport::State st) { if (st == Transport::State::Connected && !(once.fetch_or(2) & 2)) upB.set_value(); });
    s.dtlsB->start();
    s.dtlsA->start();
    auto fa = upA.get_future(), fb = upB.get_future();
    waitFor(fa, "DTLS");
    waitFor(fb, "DTLS");
    s.dtlsA->resetCallbacks();
    s.dtlsB->resetCallbacks();

    SctpTransport::Options options;
    options.mtu = s.dtlsA->maxPayloadSize();
    options.dtlsClient = true;
    s.sctpA = SctpTransport::create(s.dtlsA, options);
    options.dtlsClient = false;
    s.sctpB = SctpTransport::create(s.dtlsB, options);
    std::promise<std::shared_ptr<DataChannel>> announced;
    s.sctpB->onChannel([&](std::shared_ptr<DataChannel> c) { announced.set_value(c); });
    s.sctpB->start();
    s.sctpA->start();
    s.local = s.sctpA->createChannel("bench");
    std::promise<void> opened;
    s.local->onOpen([&] { opened.set_value(); });
    auto fo = opened.get_future();
    auto fr = announced.get_future();
    waitFor(fo, "channel open");
    s.remote = waitFor(fr, "channel announcement");
    setupMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    s.local->onOpen(nullptr);
    s.sctpB->onChannel(nullptr);
    return s;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

} // namespace

int main(int argc, char** argv) {
    const int roundTrips = argc > 1 ? std::atoi(argv[1]) : 2000;
    const double bulkSeconds = argc > 2 ? std::atof(argv[2]) : 5.0;

    std::vector<double> setups;
    for (int i = 0; i < 5; ++i) {
        double ms = 0;
        connect(ms);
        setups.push_back(ms);
    }
    double setupMs = 0;
    Stack s = connect(setupMs);
    setups.push_back(setupMs);
    std::printf("set-up (DTLS + SCTP + channel open), 6 runs: p50 %.2f ms, max %.2f ms\n",
                percentile(setups, 0.5), percentile(setups, 1.0));

    // Round trip: the remote echoes from its receive callback.
    std::weak_ptr<DataChannel> remote = s.remote;
    s.remote->onMessage([remote](Message m) {
        if (auto c = remote.lock())
            c->sendMessage(m);
    });
    std::mutex mutex;
    std::condition_variable cv;
    int echoes = 0;
    s.local->onMessage([&](Message) {
        { std::lock_guard lock(mutex); ++echoes; }
        cv.notify_one();
    });
    std::vector<std::byte> small(100, std::byte{0x5A});
    std::vector<double> rtts;
    rtts.reserve(roundTrips);
    for (int i = 0; i < roundTrips; ++i) {
        auto t0 = Clock::now();
        s.local->send(small);
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, 10s, [&] { return echoes == i + 1; })) {
            std::fprintf(stderr, "echo %d lost\n", i);
            return 1;
        }
        rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::printf("round trip, 100-byte messages, %d samples: p50 %.1f us, p90 %.1f us, p99 %.1f us, "
                "max %.1f us\n",
                roundTrips, percentile(rtts, 0.5), percentile(rtts, 0.9), percentile(rtts, 0.99),
                percentile(rtts, 1.0));

    // Bulk: 16 KiB messages, bufferedAmount kept at most 1 MiB.
    s.remote->onMessage(nullptr);
    std::atomic<std::uint64_t> received{0};
    s.remote->onMessage([&](Message m) { received += std::get<std::vector<std::byte>>(m).size(); });
    std::vector<std::byte> chunk(16 * 1024, std::byte{0x33});
    const std::size_t cap = 1024 * 1024;
    s.local->setBufferedAmountLowThreshold(cap / 2);
    std::condition_variable lowCv;
    s.local->onBufferedAmountLow([&] { lowCv.notify_one(); });
    auto begin = Clock::now();
    auto end = begin + std::chrono::duration<double>(bulkSeconds);
    std::uint64_t sent = 0;
    while (Clock::now() < end) {
        if (s.local->bufferedAmount() + chunk.size() > cap) {
            std::unique_lock lock(mutex);
            lowCv.wait_for(lock, 5ms, [&] { return s.local->bufferedAmount() + chunk.size() <= cap; });
            continue;
        }
        if (s.local->send(chunk))
            sent += chunk.size();
    }
    // Count what arrived by the deadline plus the tail that was in flight.
    auto arrivedBy = received.load();
    auto seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("bulk, 16 KiB messages for %.1f s: %.1f MB/s delivered (%.1f MB/s offered)\n", seconds,
                arrivedBy / seconds / 1e6, sent / seconds / 1e6);
    auto drainDeadline = Clock::now() + 30s;
    while (received.load() < sent && Clock::now() < drainDeadline)
        std::this_thread::sleep_for(1ms);
    if (received.load() != sent) {
        std::fprintf(stderr, "bulk: %llu of %llu bytes arrived\n",
                     static_cast<unsigned long long>(received.load()), static_cast<unsigned long long>(sent));
        return 1;
    }
    s.local->resetCallbacks();
    s.remote->resetCallbacks();
    s.sctpA->stop();
    s.sctpB->stop();
    // The layer's threads may hold the last references for a moment; let them finish before the
    // process exits, so that no teardown races the C library's exit handlers.
    std::weak_ptr<DtlsTransport> dtlsA = s.dtlsA, dtlsB = s.dtlsB;
    std::weak_ptr<MemoryTransport> linkA = s.linkA, linkB = s.linkB;
    s = Stack{};
    auto deadline = Clock::now() + 10s;
    while (!(dtlsA.expired() && dtlsB.expired() && linkA.expired() && linkB.expired()) &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    return 0;
}
