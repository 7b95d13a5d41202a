// Two NativePeers (a host and a viewer) over loopback, each driven by its own worker thread that
// waits for its wake-up and drains, as the Controller's worker does.
//   frames: 150 KB H.264 access units at 60 fps, from sendVideoFrame on the host's worker to the
//           viewer's drain returning them; also how long sendVideoFrame holds its caller.
//   input:  100-byte messages, one at a time, from sendInput on the viewer to the host's drain,
//           on the control (reliable) and the pointer channel.
//
//   peer_bench [frames=600] [frame-bytes=153600] [fps=60] [messages=2000]

#include "peer/NativePeer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;
using Clock = steady_clock;
using murel::NativePeer;
using murel::PeerBytes;
using murel::PeerEvent;
using murel::PeerEventKind;

namespace {

struct Wake {
    std::mutex mutex;
    std::condition_variable condition;
    std::uint64_t count = 0;
    void signal() {
        std::lock_guard lock(mutex);
        ++count;
        condition.notify_all();
    }
    std::uint64_t value() {
        std::lock_guard lock(mutex);
        return count;
    }
    // Waits for a wake-up after `seen` (at most `timeout`); returns the new count.
    std::uint64_t wait(std::uint64_t seen, milliseconds timeout) {
        std::unique_lock lock(mutex);
        condition.wait_for(lock, timeout, [&] { return count != seen; });
        return count;
    }
};

struct Worker {
    Wake wake;
    std::unique_ptr<NativePeer> peer;
    std::vector<PeerEvent> events;
};

murel::PeerOptions options(bool host, Wake& wake) {
    murel::PeerOptions o;
    o.host = host;
    o.sessionId = "bench";
    o.bindAddress = "127.0.0.1";
    o.h264Level = 52;
    o.bitrate = 100000000;
    o.wake = [&wake] { wake.signal(); };
    return o;
}

// NAL units of `size` bytes without start-code emulation.
PeerBytes nal(std::mt19937& rng, std::size_t size, std::uint8_t header) {
    PeerBytes out = {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}, std::byte{header}};
    while (out.size() < size + 4) out.push_back(std::byte(1 + rng() % 255));
    return out;
}

PeerBytes accessUnit(std::mt19937& rng, std::size_t size, bool key) {
    if (!key) return nal(rng, size, 0x41);
    PeerBytes out = nal(rng, 12, 0x67);
    const PeerBytes pps = nal(rng, 6, 0x68), idr = nal(rng, size - 26, 0x65);
    out.insert(out.end(), pps.begin(), pps.end());
    out.insert(out.end(), idr.begin(), idr.end());
    return out;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5))];
}

// Drains both peers and hands each one's signals to the other, until `done` or 20 s.
bool negotiate(Worker& host, Worker& viewer, const std::function<bool()>& done) {
    const auto deadline = Clock::now() + seconds(20);
    while (Clock::now() < deadline) {
        for (auto* side : {&host, &viewer}) {
            auto* other = side == &host ? &viewer : &host;
            for (auto& e : side->peer->drain()) {
                if (e.kind == PeerEventKind::LocalSignal)
                    other->peer->applyRemoteSignal(e.signal);
                else
                    side->events.push_back(std::move(e));
            }
        }
        if (done()) return true;
        viewer.wake.wait(viewer.wake.value(), milliseconds(5));
    }
    return false;
}

std::size_t count(const std::vector<PeerEvent>& events, PeerEventKind kind) {
    return std::count_if(events.begin(), events.end(), [&](const PeerEvent& e) { return e.kind == kind; });
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 600;
    const std::size_t frameBytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 150 * 1024;
    const int fps = argc > 3 ? std::atoi(argv[3]) : 60;
    const int messages = argc > 4 ? std::atoi(argv[4]) : 2000;

    Worker host, viewer;
    host.peer = std::make_unique<NativePeer>(options(true, host.wake));
    viewer.peer = std::make_unique<NativePeer>(options(false, viewer.wake));
    host.peer->createOffer();
    if (!negotiate(host, viewer, [&] {
            return count(host.events, PeerEventKind::ChannelsOpen) && count(viewer.events, PeerEventKind::ChannelsOpen);
        })) {
        std::fprintf(stderr, "the peers did not connect\n");
        return 1;
    }

    std::mt19937 rng(7);
    std::vector<PeerBytes> units;
    for (int i = 0; i < 8; ++i) units.push_back(accessUnit(rng, frameBytes, i == 0));

    // ---- frames ----
    std::vector<Clock::time_point> sentAt(std::size_t(frames) + 1);
    std::vector<double> latency, callerTime;
    std::atomic<bool> hostDone{false};
    std::mutex timesMutex;
    int received = 0, refused = 0, keyframeRequests = 0;
    std::thread viewerWorker([&] {
        std::uint64_t seen = 0;
        while (received < frames) {
            seen = viewer.wake.wait(seen, milliseconds(8));
            const auto events = viewer.peer->drain();
            const auto now = Clock::now();
            for (const auto& e : events) {
                if (e.kind != PeerEventKind::VideoFrame) continue;
                std::lock_guard lock(timesMutex);
                latency.push_back(duration<double, std::milli>(now - sentAt[e.rtpTimestamp / 1500]).count());
                ++received;
            }
            if (hostDone && viewer.wake.wait(seen, milliseconds(500)) == seen) break;  // the rest is lost
        }
    });
    const auto interval = nanoseconds(1000000000LL / fps);
    auto next = Clock::now();
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_until(next);
        next += interval;
        for (const auto& e : host.peer->drain()) keyframeRequests += e.kind == PeerEventKind::KeyframeRequest;
        PeerBytes unit = units[i == 0 ? 0 : 1 + i % 7];
        {
            std::lock_guard lock(timesMutex);
            sentAt[std::size_t(i)] = Clock::now();
        }
        const auto before = Clock::now();
        const bool sent = host.peer->sendVideoFrame(std::move(unit), std::uint32_t(i) * 1500);
        callerTime.push_back(duration<double, std::micro>(Clock::now() - before).count());
        refused += !sent;
    }
    hostDone = true;
    viewerWorker.join();
    std::printf("frames: %d sent (%zu bytes, %d fps), %d received, %d refused, %d keyframe requests\n", frames,
                frameBytes, fps, received, refused, keyframeRequests);
    std::printf("  sendVideoFrame -> viewer drain: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(latency, 0.5),
                percentile(latency, 0.99), percentile(latency, 1.0));
    std::printf("  time in sendVideoFrame: p50 %.1f us, p99 %.1f us\n", percentile(callerTime, 0.5),
                percentile(callerTime, 0.99));

    // ---- input ----
    for (const std::int32_t channel : {murel::kControlChannel, murel::kPointerChannel}) {
        std::vector<double> inputLatency;
        std::atomic<int> arrived{0};
        Wake arrivedWake;
        std::atomic<bool> stop{false};
        Clock::time_point sendTime;
        std::mutex sendMutex;
        std::thread hostWorker([&] {
            std::uint64_t seen = 0;
            while (!stop) {
                seen = host.wake.wait(seen, milliseconds(8));
                const auto events = host.peer->drain();
                const auto now = Clock::now();
                for (const auto& e : events) {
                    if (e.kind != PeerEventKind::ChannelMessage || e.channel != channel) continue;
                    {
                        std::lock_guard lock(sendMutex);
                        inputLatency.push_back(duration<double, std::micro>(now - sendTime).count());
                    }
                    arrived.fetch_add(1);
                    arrivedWake.signal();
                }
            }
        });
        const std::string message(100, 'm');
        int lost = 0;
        for (int i = 0; i < messages; ++i) {
            const int before = arrived.load();
            const std::uint64_t seen = arrivedWake.value();
            {
                std::lock_guard lock(sendMutex);
                sendTime = Clock::now();
            }
            viewer.peer->sendInput(message, channel);
            arrivedWake.wait(seen, milliseconds(200));
            lost += arrived.load() == before;
        }
        stop = true;
        hostWorker.join();
        std::printf("input (%s): %d messages, %d lost; sendInput -> host drain: p50 %.1f us, p99 %.1f us\n",
                    channel == murel::kControlChannel ? "control" : "pointer", messages, lost,
                    percentile(inputLatency, 0.5), percentile(inputLatency, 0.99));
    }
    host.peer->close();
    viewer.peer->close();
    return 0;
}
