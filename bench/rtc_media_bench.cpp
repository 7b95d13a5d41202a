// Send-side media throughput on one core, no network: 150 KB H.264 access units through the
// packetizer, sender reporter and NACK history, then SRTP protection of every packet (into a
// reused buffer, as the packets stay shared with the NACK history). Reports MB/s of access-unit
// input for each stage added, for both SRTP profiles. Throughput is input bytes per second of
// this thread's CPU time (the machine may be shared); wall time is shown beside it.
//
//   rtc_media_bench [frames=2000] [frame-bytes=153600]

#include "rtc/H264RtpPacketizer.hpp"
#include "rtc/PliHandler.hpp"
#include "rtc/RtcpNackResponder.hpp"
#include "rtc/RtcpSrReporter.hpp"
#include "rtp/SrtpSession.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace rtc;
using Clock = std::chrono::steady_clock;

namespace {

// An access unit as an encoder leaves it: SPS, PPS, then slices, no start-code emulation inside.
binary makeAccessUnit(std::mt19937& rng, std::size_t size) {
    binary au;
    auto nal = [&](uint8_t header, std::size_t length) {
        au.insert(au.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}, std::byte{header}});
        int zeros = 0;
        for (std::size_t i = 1; i < length; ++i) {
            int v = int(rng() & 0xFF);
            if (zeros >= 2 && v <= 3) v = 4;
            zeros = v == 0 ? zeros + 1 : 0;
            au.push_back(std::byte(v));
        }
        if (au.back() == std::byte{0}) au.back() = std::byte{0x80};
    };
    nal(0x67, 14);
    nal(0x68, 5);
    const std::size_t slices = 4;
    const std::size_t slice = (size - au.size()) / slices - 5;
    for (std::size_t i = 0; i < slices; ++i) nal(i == 0 ? 0x65 : 0x41, slice);
    return au;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Result {
    double seconds = 0;  // CPU
    double wall = 0;
    std::size_t packets = 0;
};

enum class Stage { Packetize, Chain, ChainAndSrtp };

Result run(Stage stage, impl::SrtpProfile profile, const std::vector<binary>& frames, int count) {
    auto config = std::make_shared<RtpPacketizationConfig>(1, "murel-screen", 102, 90000);
    auto packetizer = std::make_shared<H264RtpPacketizer>(H264RtpPacketizer::Separator::StartSequence, config);
    if (stage != Stage::Packetize) {
        packetizer->addToChain(std::make_shared<RtcpSrReporter>(config));
        packetizer->addToChain(std::make_shared<RtcpNackResponder>(512));
        packetizer->addToChain(std::make_shared<PliHandler>([] {}));
    }
    const std::vector<uint8_t> key(16, 0x11), salt(profile == impl::SrtpProfile::AeadAes128Gcm ? 12 : 14, 0x22);
    impl::SrtpSession srtp(profile, key, salt, key, salt);
    binary wire;
    wire.reserve(2048);
    const message_callback send = [](message_ptr) {};

    Result result;
    std::size_t sink = 0;
    const auto start = Clock::now();
    const double cpuStart = threadCpuSeconds();
    for (int i = 0; i < count; ++i) {
        const binary& au = frames[i % frames.size()];
        message_vector messages{make_message(au, Message::Binary, std::make_shared<FrameInfo>(uint32_t(i) * 1500))};
        packetizer->outgoingChain(messages, send);
        for (const auto& m : messages) {
            ++result.packets;
            if (stage == Stage::ChainAndSrtp) {
                const auto r = m->type == Message::Control ? srtp.protectRtcp(*m, wire) : srtp.protectRtp(*m, wire);
                if (r != impl::SrtpSession::Result::Ok) {
                    std::fprintf(stderr, "protect failed: %s\n", impl::toString(r));
                    std::exit(1);
                }
                sink += wire.size();
            } else {
                sink += m->size();
            }
        }
    }
    result.seconds = threadCpuSeconds() - cpuStart;
    result.wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (sink == 0) std::fprintf(stderr, "nothing produced\n");
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::size_t frameBytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 150 * 1024;
    std::mt19937 rng(42);
    std::vector<binary> frames;
    for (int i = 0; i < 8; ++i) frames.push_back(makeAccessUnit(rng, frameBytes));
    const double megabytes = double(frames[0].size()) * count / 1e6;

    std::printf("rtc_media_bench: %d access units of %zu bytes (%.1f MB), one core\n", count, frames[0].size(), megabytes);
    struct Row {
        const char* name;
        Stage stage;
        impl::SrtpProfile profile;
    };
    const Row rows[] = {
        {"packetize only", Stage::Packetize, impl::SrtpProfile::Aes128CmSha1_80},
        {"packetize + SR + NACK history + PLI", Stage::Chain, impl::SrtpProfile::Aes128CmSha1_80},
        {"... + SRTP AES_CM_128_HMAC_SHA1_80", Stage::ChainAndSrtp, impl::SrtpProfile::Aes128CmSha1_80},
        {"... + SRTP AEAD_AES_128_GCM", Stage::ChainAndSrtp, impl::SrtpProfile::AeadAes128Gcm},
    };
    run(Stage::ChainAndSrtp, impl::SrtpProfile::Aes128CmSha1_80, frames, 50);  // warm-up
    for (const auto& row : rows) {
        const Result r = run(row.stage, row.profile, frames, count);
        std::printf("  %-40s %8.1f MB/s  %7.1f us CPU/frame  (wall %7.1f us)  %4zu packets/frame\n", row.name,
                    megabytes / r.seconds, r.seconds * 1e6 / count, r.wall * 1e6 / count, r.packets / std::size_t(count));
    }
    return 0;
}
