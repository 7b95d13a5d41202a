// The peer's ICE server list: limits, URL checks, schemes, credentials, duplicates, what is left
// out and the counters.

#include <gtest/gtest.h>

#include "peer/IceServerList.hpp"
#include "protocol/Wire.hpp"

namespace murel {
namespace {

IceServer server(std::vector<std::string> urls, std::string username = {}, std::string credential = {}) {
    return IceServer{std::move(urls), std::move(username), std::move(credential)};
}

std::string errorOf(const std::vector<IceServer>& servers) {
    IceCounters counters;
    try {
        buildIceServerList(servers, counters);
    } catch (const ProtocolError& e) {
        return e.what();
    }
    return "no error";
}

TEST(IceServerList, ServerAndUrlLimits) {
    std::vector<IceServer> seventeen(17, server({"stun:stun.example.org"}));
    EXPECT_EQ(errorOf(seventeen), "Invalid ICE configuration");
    std::vector<std::string> eight;
    for (int i = 0; i < 8; ++i) eight.push_back("stun:s" + std::to_string(i) + ".example.org");
    EXPECT_EQ(errorOf({server(eight), server(eight)}), "no error");
    EXPECT_EQ(errorOf({server(eight), server(eight), server({"stun:late.example.org"})}), "Invalid ICE server URL");
    EXPECT_EQ(errorOf({server({})}), "Invalid ICE configuration");
    EXPECT_EQ(errorOf({server({"stun:a.example.org"}, std::string(1025, 'u'))}), "Invalid ICE configuration");
    EXPECT_EQ(errorOf({server({"stun:a.example.org"}, "u", std::string(1025, 'p'))}), "Invalid ICE configuration");
    EXPECT_EQ(errorOf({server({"turn:a.example.org"}, std::string(1024, 'u'), std::string(1024, 'p'))}), "no error");
}

TEST(IceServerList, UrlText) {
    EXPECT_EQ(errorOf({server({"turn:user@relay.example.org"}, "u", "p")}), "Invalid ICE server URL");
    EXPECT_EQ(errorOf({server({"stun:stun example.org"})}), "Invalid ICE server URL");
    EXPECT_EQ(errorOf({server({""})}), "Invalid ICE server URL");
    EXPECT_EQ(errorOf({server({"stun:" + std::string(2044, 'a')})}), "Invalid ICE server URL");
    EXPECT_EQ(errorOf({server({"stun:st\xc3\xbcn.example.org"})}), "Invalid ICE server URL");
    EXPECT_EQ(errorOf({server({"stun:"})}), "Invalid ICE server URL") << "the parser refuses an empty host";
    EXPECT_EQ(errorOf({server({"stun:a.example.org:0"})}), "Invalid ICE server URL");
}

TEST(IceServerList, Schemes) {
    EXPECT_EQ(errorOf({server({"STUN:stun.example.org"})}), "Unsupported ICE URI scheme");
    EXPECT_EQ(errorOf({server({"http://stun.example.org"})}), "Unsupported ICE URI scheme");
    EXPECT_EQ(errorOf({server({"stun:a.example.org"}), server({"turn:relay.example.org"}, "u", "")}),
              "TURN requires device credentials");
    EXPECT_EQ(errorOf({server({"turns:relay.example.org"}, "", "p")}), "TURN requires device credentials");
    // Secure schemes are checked, then left out.
    IceCounters counters;
    auto list = buildIceServerList({server({"stuns:stun.example.org", "turns:relay.example.org"}, "u", "p")}, counters);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(counters, (IceCounters{2, 0, 0, 0, 2, 0}));
}

TEST(IceServerList, UsedEntriesAndCounters) {
    IceCounters counters;
    auto list = buildIceServerList(
        {server({"stun:Stun.Example.org", "stun:stun.example.org", "stun:other.example.org:3479"}),
         server({"turn:r1.example.org", "turn:r2.example.org?transport=tcp", "turn:r3.example.org:3480",
                 "turn:r4.example.org", "turn:R1.example.org"},
                "device", "secret")},
        counters);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].type, rtc::IceServer::Type::Stun);
    EXPECT_EQ(list[0].hostname, "Stun.Example.org") << "the host keeps its case";
    EXPECT_EQ(list[0].port, 3478);
    EXPECT_TRUE(list[0].username.empty());
    EXPECT_EQ(list[1].type, rtc::IceServer::Type::Turn);
    EXPECT_EQ(list[1].hostname, "r1.example.org");
    EXPECT_EQ(list[1].username, "device");
    EXPECT_EQ(list[1].password, "secret");
    EXPECT_EQ(list[1].relayType, rtc::IceServer::RelayType::TurnUdp);
    EXPECT_EQ(list[2].hostname, "r3.example.org");
    EXPECT_EQ(list[2].port, 3480);
    // 8 URLs; stun: 1 used, 1 duplicate (case), 1 over the limit; turn: 2 used, TCP unsupported,
    // r4 over the limit, R1 a duplicate.
    EXPECT_EQ(counters, (IceCounters{8, 1, 2, 2, 1, 2}));
}

TEST(IceServerList, DifferentCredentialsAreDifferentServers) {
    IceCounters counters;
    auto list = buildIceServerList({server({"turn:r.example.org"}, "a", "p"), server({"turn:r.example.org"}, "b", "p")},
                                   counters);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(counters.duplicates, 0u);
}

}  // namespace
}  // namespace murel
