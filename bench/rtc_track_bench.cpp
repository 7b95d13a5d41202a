// Video track latency over loopback: a host track (packetizer, sender reports, NACK responder,
// PLI handler) sends 150 KB H.264 access units at 60 fps to a viewer track (depacketizer,
// receiving session). Measures sendFrame -> onFrame latency and how long sendFrame holds its
// caller (wall and the calling thread's CPU time), as percentiles over all frames.
//
//   rtc_track_bench [frames=600] [frame-bytes=153600] [fps=60]

#include "rtc/H264RtpDepacketizer.hpp"
#include "rtc/H264RtpPacketizer.hpp"
#include "rtc/PliHandler.hpp"
#include "rtc/RtcpNackResponder.hpp"
#include "rtc/RtcpReceivingSession.hpp"
#include "rtc/RtcpSrReporter.hpp"
#include "rtc/rtc.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace std::chrono;
using Clock = steady_clock;

namespace {

rtc::binary makeAccessUnit(std::mt19937& rng, std::size_t size) {
    rtc::binary au = {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}, std::byte{0x65}};
    int zeros = 0;
    while (au.size() < size) {
        int v = int(rng() & 0xFF);
        if (zeros >= 2 && v <= 3) v = 4;
        zeros = v == 0 ? zeros + 1 : 0;
        au.push_back(std::byte(v));
    }
    if (au.back() == std::byte{0}) au.back() = std::byte{0x80};
    return au;
}

double threadCpuMicroseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) * 1e-3;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5))];
}

struct Signal {
    std::mutex mutex;
    std::condition_variable condition;
    int count = 0;
    void add() {
        {
            std::lock_guard lock(mutex);
            ++count;
        }
        condition.notify_all();
    }
    bool waitFor(int wanted, milliseconds timeout) {
        std::unique_lock lock(mutex);
        return condition.wait_for(lock, timeout, [&] { return count >= wanted; });
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 600;
    const std::size_t frameBytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 150 * 1024;
    const double fps = argc > 3 ? std::atof(argv[3]) : 60.0;

    rtc::Configuration config;
    config.bindAddress = "127.0.0.1";
    auto host = std::make_shared<rtc::PeerConnection>(config);
    auto viewer = std::make_shared<rtc::PeerConnection>(config);
    std::weak_ptr<rtc::PeerConnection> weakHost = host, weakViewer = viewer;
    host->onLocalDescription([weakViewer](rtc::Description d) {
        if (auto v = weakViewer.lock()) {
            v->setRemoteDescription(d);
            v->setLocalDescription();
        }
    });
    viewer->onLocalDescription([weakHost](rtc::Description d) {
        if (auto h = weakHost.lock()) h->setRemoteDescription(d);
    });
    host->onLocalCandidate([weakViewer](rtc::Candidate c) {
        if (auto v = weakViewer.lock()) v->addRemoteCandidate(c);
    });
    viewer->onLocalCandidate([weakHost](rtc::Candidate c) {
        if (auto h = weakHost.lock()) h->addRemoteCandidate(c);
    });

    // Host chain.
    rtc::Description::Video video("video", rtc::Description::Direction::SendOnly);
    video.addH264Codec(102);
    video.addSSRC(1, "murel-screen", "murel-desktop", "murel-screen");
    auto sending = host->addTrack(video);
    auto rtpConfig = std::make_shared<rtc::RtpPacketizationConfig>(1, "murel-screen", 102, 90000);
    auto packetizer = std::make_shared<rtc::H264RtpPacketizer>(rtc::H264RtpPacketizer::Separator::StartSequence, rtpConfig);
    packetizer->addToChain(std::make_shared<rtc::RtcpSrReporter>(rtpConfig));
    packetizer->addToChain(std::make_shared<rtc::RtcpNackResponder>(512));
    packetizer->addToChain(std::make_shared<rtc::PliHandler>([] {}));
    sending->setMediaHandler(packetizer);

    // Viewer chain and latency bookkeeping.
    std::vector<Clock::time_point> sentAt(std::size_t(frames) + 1);
    std::vector<double> latencies;
    std::mutex latencyMutex;
    std::atomic<int> received{0}, wrongSize{0};
    auto opened = std::make_shared<Signal>();
    auto arrived = std::make_shared<Signal>();
    std::shared_ptr<rtc::Track> receiving;
    std::mutex trackMutex;
    std::condition_variable trackArrived;
    viewer->onTrack([&](std::shared_ptr<rtc::Track> track) {
        auto depacketizer = std::make_shared<rtc::H264RtpDepacketizer>(rtc::H264RtpDepacketizer::Separator::StartSequence);
        depacketizer->addToChain(std::make_shared<rtc::RtcpReceivingSession>());
        track->setMediaHandler(depacketizer);
        track->onOpen([opened] { opened->add(); });
        track->onFrame([&, arrived](rtc::binary data, rtc::FrameInfo info) {
            const auto now = Clock::now();
            const std::size_t index = info.timestamp / 1500;
            if (data.size() != frameBytes) ++wrongSize;
            if (index >= 1 && index < sentAt.size()) {
                std::lock_guard lock(latencyMutex);
                latencies.push_back(duration<double, std::micro>(now - sentAt[index]).count());
            }
            ++received;
            arrived->add();
        });
        {
            std::lock_guard lock(trackMutex);
            receiving = track;
        }
        trackArrived.notify_all();
    });
    sending->onOpen([opened] { opened->add(); });
    host->setLocalDescription(rtc::Description::Type::Offer);
    if (!opened->waitFor(2, seconds(30))) {
        std::fprintf(stderr, "rtc_track_bench: tracks did not open\n");
        return 1;
    }

    std::mt19937 rng(3);
    std::vector<rtc::binary> units;
    for (int i = 0; i < 8; ++i) units.push_back(makeAccessUnit(rng, frameBytes));

    std::vector<double> holds, holdCpu;
    const auto interval = duration_cast<Clock::duration>(duration<double>(1.0 / fps));
    const auto start = Clock::now();
    for (int i = 1; i <= frames; ++i) {
        std::this_thread::sleep_until(start + interval * i);
        rtc::binary frame = units[std::size_t(i) % units.size()];  // the copy is the caller's, not timed
        const auto before = Clock::now();
        const double cpuBefore = threadCpuMicroseconds();
        sentAt[std::size_t(i)] = before;
        sending->sendFrame(std::move(frame), rtc::FrameInfo(uint32_t(i) * 1500));
        holds.push_back(duration<double, std::micro>(Clock::now() - before).count());
        holdCpu.push_back(threadCpuMicroseconds() - cpuBefore);
    }
    arrived->waitFor(frames, seconds(10));

    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    std::vector<double> copy;
    {
        std::lock_guard lock(latencyMutex);
        copy = latencies;
    }
    std::printf("rtc_track_bench: %d frames of %zu bytes at %.0f fps over loopback (load average %.1f)\n", frames,
                frameBytes, fps, load);
    std::printf("  frames received      %d (%d of another size)\n", received.load(), wrongSize.load());
    std::printf("  sendFrame -> onFrame p50 %8.1f us   p99 %8.1f us   max %8.1f us\n", percentile(copy, 0.5),
                percentile(copy, 0.99), percentile(copy, 1.0));
    std::printf("  sendFrame holds      p50 %8.1f us   p99 %8.1f us   max %8.1f us\n", percentile(holds, 0.5),
                percentile(holds, 0.99), percentile(holds, 1.0));
    std::printf("  ... of it on CPU     p50 %8.1f us   p99 %8.1f us   max %8.1f us\n", percentile(holdCpu, 0.5),
                percentile(holdCpu, 0.99), percentile(holdCpu, 1.0));

    host->resetCallbacks();
    viewer->resetCallbacks();
    {
        std::lock_guard lock(trackMutex);
        if (receiving) receiving->resetCallbacks();
    }
    sending->resetCallbacks();
    host->close();
    viewer->close();
    return received.load() == frames ? 0 : 2;
}
