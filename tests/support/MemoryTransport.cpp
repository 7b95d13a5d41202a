#include "MemoryTransport.hpp"

#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace rtc::impl {

struct MemoryTransport::Link : std::enable_shared_from_this<MemoryTransport::Link> {
    using Clock = std::chrono::steady_clock;

    struct Packet {
        int to;
        std::vector<std::byte> bytes;
    };

    explicit Link(MemoryLinkOptions options) : options(options), random(options.seed) {}

    MemoryLinkOptions options;
    std::mutex mutex;
    std::condition_variable condition;
    std::mt19937 random;
    std::map<std::pair<Clock::time_point, std::uint64_t>, Packet> queue;
    std::uint64_t sequence = 0;
    std::size_t queued[2] = {0, 0};  // in flight from each end: a flood one way never drops the other
    MemoryLinkStats stats[2];
    std::weak_ptr<MemoryTransport> ends[2];
    bool open[2] = {true, true};
    bool failed = false;
    bool stopping = false;
    std::thread thread;

    bool send(int from, ByteSpan data) {
        std::unique_lock lock(mutex);
        auto& s = stats[from];
        if (stopping || failed || !open[from])
            return false;
        if (data.size() > options.maxDatagramSize) {
            ++s.oversized;
            return false;
        }
        ++s.sent;
        bool drop = s.sent <= options.dropFirst;
        if (options.lossRate > 0.0) {
            double draw = std::uniform_real_distribution<double>(0.0, 1.0)(random);
            drop = drop || draw < options.lossRate;
        }
        if (queued[from] >= options.maxQueuedDatagrams)
            drop = true;
        if (drop) {
            ++s.dropped;
            return true; // a lossy link accepts the datagram and loses it
        }
        auto when = Clock::now() + options.delay;
        if (options.jitter.count() > 0)
            when += std::chrono::microseconds(std::uniform_int_distribution<std::int64_t>(
                0, options.jitter.count())(random));
        bool first = queue.empty() || when < queue.begin()->first.first;
        queue.emplace(std::make_pair(when, sequence++),
                      Packet{1 - from, std::vector<std::byte>(data.begin(), data.end())});
        ++queued[from];
        lock.unlock();
        if (first)
            condition.notify_one();
        return true;
    }

    void run() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            if (queue.empty()) {
                condition.wait(lock);
                continue;
            }
            auto first = queue.begin();
            if (first->first.first > Clock::now()) {
                const auto when = first->first.first; // a copy: the queue may change meanwhile
                condition.wait_until(lock, when);
                continue;
            }
            Packet packet = std::move(first->second);
            queue.erase(first);
            --queued[1 - packet.to];
            if (failed || !open[packet.to])
                continue;
            ++stats[1 - packet.to].delivered;
            auto end = ends[packet.to].lock();
            lock.unlock();
            if (end) {
                end->receive(packet.bytes);
                end.reset();
            }
            lock.lock();
        }
    }
};

std::pair<std::shared_ptr<MemoryTransport>, std::shared_ptr<MemoryTransport>>
MemoryTransport::createPair(MemoryLinkOptions options) {
    auto link = std::make_shared<Link>(options);
    auto a = std::make_shared<MemoryTransport>(link, 0);
    auto b = std::make_shared<MemoryTransport>(link, 1);
    link->ends[0] = a;
    link->ends[1] = b;
    // The thread owns the link, so it stays valid even if an end is destroyed on the thread.
    link->thread = std::thread([link] { link->run(); });
    a->setState(State::Connected);
    b->setState(State::Connected);
    return {a, b};
}

MemoryTransport::MemoryTransport(std::shared_ptr<Link> link, int side)
    : mLink(std::move(link)), mSide(side) {}

MemoryTransport::~MemoryTransport() {
    std::thread thread;
    {
        std::lock_guard lock(mLink->mutex);
        mLink->open[mSide] = false;
        if (!mLink->ends[1 - mSide].expired())
            return; // the other end still uses the link
        mLink->stopping = true;
        thread = std::move(mLink->thread);
    }
    mLink->condition.notify_all();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
}

bool MemoryTransport::send(ByteSpan data) { return mLink->send(mSide, data); }

MemoryLinkStats MemoryTransport::stats() const {
    std::lock_guard lock(mLink->mutex);
    return mLink->stats[mSide];
}

void MemoryTransport::fail() {
    std::shared_ptr<MemoryTransport> ends[2];
    {
        std::lock_guard lock(mLink->mutex);
        mLink->failed = true;
        mLink->queue.clear();
        mLink->queued[0] = mLink->queued[1] = 0;
        ends[0] = mLink->ends[0].lock();
        ends[1] = mLink->ends[1].lock();
    }
    for (auto& end : ends)
        if (end)
            end->setState(State::Failed);
}

void MemoryTransport::close() {
    {
        std::lock_guard lock(mLink->mutex);
        mLink->open[mSide] = false;
    }
    setState(State::Closed);
}

void MemoryTransport::receive(ByteSpan data) { deliver(data); }

} // namespace rtc::impl
