// Throughput of the depth-checked wire parser against a plain nlohmann::json::parse of the same
// bytes, on messages shaped like the real traffic: a host list of 32 entries, an offer carrying a
// 6 KB SDP, and one remote-input message.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/Wire.hpp"

namespace {

using murel::Json;

std::string hostList() {
    Json hosts = Json::array();
    for (int i = 0; i < 32; ++i) {
        hosts.push_back({{"id", "device-" + std::to_string(1000 + i) + "-3f2a9c"},
                         {"name", "Workstation " + std::to_string(i) + " (\xeb\xb3\xb8\xec\x82\xac)"},
                         {"platform", i % 3 == 0 ? "linux" : "windows"},
                         {"online", i % 2 == 0},
                         {"ready", i % 4 == 0},
                         {"busy", false},
                         {"reason", i % 4 == 0 ? "Ready" : "Hosting is disabled"}});
    }
    return Json{{"hosts", hosts}}.dump();
}

std::string offer() {
    std::string sdp =
        "v=0\r\no=- 4611731400430051336 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n"
        "a=group:BUNDLE 0 1\r\na=msid-semantic: WMS\r\n"
        "m=video 9 UDP/TLS/RTP/SAVPF 96 97 102 103\r\nc=IN IP4 0.0.0.0\r\n"
        "a=rtcp:9 IN IP4 0.0.0.0\r\na=ice-ufrag:8hhY\r\na=ice-pwd:asd88fgpdd777uzjYhagZg\r\n"
        "a=ice-options:trickle\r\na=fingerprint:sha-256 "
        "D2:FA:0E:C3:22:59:5E:14:95:69:92:3D:13:B4:84:24:2C:C2:A2:C0:3E:FD:34:8E:5E:EA:6F:AF:52:CE:E6:0F\r\n"
        "a=setup:actpass\r\na=mid:0\r\na=sendonly\r\na=rtcp-mux\r\na=rtcp-rsize\r\n";
    int line = 0;
    while (sdp.size() < 6000) {
        sdp += "a=rtpmap:" + std::to_string(96 + line % 30) + " H264/90000\r\n";
        sdp += "a=rtcp-fb:" + std::to_string(96 + line % 30) + " nack pli\r\n";
        sdp += "a=fmtp:" + std::to_string(96 + line % 30) +
               " level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f\r\n";
        sdp += "a=candidate:" + std::to_string(line) +
               " 1 udp 2122260223 192.168.1." + std::to_string(line % 250) + " 5" +
               std::to_string(1000 + line) + " typ host generation 0\r\n";
        ++line;
    }
    return Json{{"type", "offer"},
                {"session_id", "session-5c1f0e2b"},
                {"payload", {{"sdp", sdp}, {"stream_request_id", "0F8FAD5B-D9CB-469F-A165-70867728950E"}}}}
        .dump();
}

std::string inputMessage() {
    return Json{{"version", 1}, {"kind", "button"}, {"sequence", 123456}, {"code", 0},
                {"down", true}, {"x", 0.4183}, {"y", 0.77124}}
        .dump();
}

template <class Parse>
double megabytesPerSecond(const std::string& message, Parse parse) {
    using Clock = std::chrono::steady_clock;
    const std::size_t iterations = std::max<std::size_t>(1, (16u << 20) / message.size());
    const auto start = Clock::now();
    std::size_t sink = 0;
    for (std::size_t i = 0; i < iterations; ++i) sink += parse(message).size();
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    if (sink == 0) std::puts("");  // keeps the parse from being optimised away
    return double(message.size()) * double(iterations) / elapsed.count() / 1e6;
}

}  // namespace

int main() {
    const std::vector<std::pair<const char*, std::string>> messages = {
        {"host list (32 entries)", hostList()},
        {"offer with 6 KB SDP", offer()},
        {"input message", inputMessage()},
    };
    std::printf("%-24s %8s %14s %14s %7s\n", "message", "bytes", "parseWire MB/s", "json::parse MB/s",
                "ratio");
    double worst = 0;
    for (const auto& [name, message] : messages) {
        // Alternate the two parsers and keep the best of seven runs each, so that load from other
        // processes affects both alike.
        double wire = 0, plain = 0;
        for (int run = 0; run < 7; ++run) {
            wire = std::max(wire, megabytesPerSecond(message, [](const std::string& m) {
                                return murel::parseWire(m, murel::kControlBodyLimit);
                            }));
            plain = std::max(plain, megabytesPerSecond(message, [](const std::string& m) { return Json::parse(m); }));
        }
        const double ratio = plain / wire;  // cost of the checked parse relative to the plain one
        worst = std::max(worst, ratio);
        std::printf("%-24s %8zu %14.1f %14.1f %6.2fx\n", name, message.size(), wire, plain, ratio);
    }
    std::printf("worst cost ratio parseWire/json::parse: %.2fx (goal: at most 1.30x)\n", worst);
    return 0;
}
