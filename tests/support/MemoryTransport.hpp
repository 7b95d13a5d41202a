#pragma once

#include "common/Transport.hpp"

#include <chrono>
#include <cstdint>
#include <memory>

namespace rtc::impl {

// Impairments applied by a MemoryTransport pair. With the same seed and the same sequence of sends
// the same datagrams are dropped and delayed.
struct MemoryLinkOptions {
    double lossRate = 0.0;                      // probability that a datagram is dropped
    std::size_t dropFirst = 0;                  // the first N datagrams of each direction are dropped
    std::chrono::microseconds delay{0};         // fixed one-way delay
    std::chrono::microseconds jitter{0};        // extra uniform delay 0..jitter; reorders datagrams
    std::uint32_t seed = 1;
    std::size_t maxDatagramSize = 1500;         // larger datagrams are refused by send()
    std::size_t maxQueuedDatagrams = 8192;      // datagrams in flight per direction; more are dropped
};

struct MemoryLinkStats {
    std::uint64_t sent = 0;       // accepted by send()
    std::uint64_t delivered = 0;
    std::uint64_t dropped = 0;    // lost on purpose or because the link queue was full
    std::uint64_t oversized = 0;  // refused by send()
};

// One end of an in-memory datagram link. Both ends share one delivery thread, which calls the
// receive callbacks.
class MemoryTransport final : public Transport {
public:
    struct Link;

    // Creates two connected ends; datagrams sent on one arrive on the other.
    static std::pair<std::shared_ptr<MemoryTransport>, std::shared_ptr<MemoryTransport>>
    createPair(MemoryLinkOptions options = {});

    MemoryTransport(std::shared_ptr<Link> link, int side);
    ~MemoryTransport() override;

    bool send(ByteSpan data) override;

    // Statistics of the datagrams sent by this end.
    MemoryLinkStats stats() const;

    // Simulates the link going away: both ends become Failed and drop everything after.
    void fail();
    // Closes this end: it stops sending and receiving.
    void close();

private:
    friend struct Link;
    void receive(ByteSpan data);
    void setState(State state) { changeState(state); }

    std::shared_ptr<Link> mLink;
    int mSide;
};

} // namespace rtc::impl
