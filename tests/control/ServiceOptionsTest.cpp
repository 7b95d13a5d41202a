#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServiceOptions.hpp"
#include "AttemptLimiter.hpp"

namespace murel {
namespace {

ServiceOptions parse(std::vector<std::string> args, std::string dataHome = "/xdg", std::string home = "/home/u") {
    return parseServiceOptions(args, dataHome, home);
}

TEST(ServiceOptions, DefaultsAndDataDirectory) {
    const auto o = parse({});
    EXPECT_EQ(o.listenHost, "127.0.0.1");
    EXPECT_EQ(o.listenPort, 8480);
    EXPECT_EQ(o.dataDir, "/xdg/murel-control");
    EXPECT_EQ(parse({}, "", "/home/u").dataDir, "/home/u/.local/share/murel-control");
    EXPECT_THROW(parse({}, "", ""), std::invalid_argument);
    EXPECT_EQ(parse({"--data", "/srv/murel"}, "", "").dataDir, "/srv/murel");
    EXPECT_FALSE(o.tls());
    EXPECT_FALSE(o.testFastHashes);
    EXPECT_EQ(o.signalingIdleSeconds, 45);
    EXPECT_TRUE(parse({"--help"}).help);
    EXPECT_EQ(o.logLevel, LogLevel::Info);
    EXPECT_EQ(o.maxConnections, 16000u);
    EXPECT_EQ(o.maxConnectionsPerAddress, 64u);
    EXPECT_EQ(o.unauthenticatedPerSecond, 10u);
    EXPECT_EQ(o.registrationsPerHour, 10u);
    EXPECT_EQ(o.accountTokens, 64u);
    EXPECT_EQ(o.hashQueue, 64u);
}

TEST(ServiceOptions, LimitsAndLogLevel) {
    const auto o = parse({"--max-connections", "100", "--max-connections-per-address", "5", "--unauthenticated-rate", "3",
                          "--registrations-per-hour", "2", "--account-tokens", "7", "--hash-queue", "9", "--log-level",
                          "debug"});
    EXPECT_EQ(o.maxConnections, 100u);
    EXPECT_EQ(o.maxConnectionsPerAddress, 5u);
    EXPECT_EQ(o.unauthenticatedPerSecond, 3u);
    EXPECT_EQ(o.registrationsPerHour, 2u);
    EXPECT_EQ(o.accountTokens, 7u);
    EXPECT_EQ(o.hashQueue, 9u);
    EXPECT_EQ(o.logLevel, LogLevel::Debug);
    EXPECT_EQ(parse({"--log-level", "warn"}).logLevel, LogLevel::Warning);
    EXPECT_EQ(parse({"--log-level", "error"}).logLevel, LogLevel::Error);
    EXPECT_THROW(parse({"--log-level", "loud"}), std::invalid_argument);
    EXPECT_THROW(parse({"--max-connections", "0"}), std::invalid_argument);
    EXPECT_THROW(parse({"--hash-queue", "-1"}), std::invalid_argument);
    EXPECT_THROW(parse({"--max-connections", "10", "--max-connections-per-address", "11"}), std::invalid_argument);
    EXPECT_NE(serviceUsage().find("--max-connections-per-address"), std::string::npos);
}

TEST(ServiceOptions, ListenAddresses) {
    auto o = parse({"--listen", "[::1]:9000"});
    EXPECT_EQ(o.listenHost, "::1");
    EXPECT_EQ(o.listenPort, 9000);
    o = parse({"--listen", "0.0.0.0:0"});
    EXPECT_EQ(o.listenHost, "0.0.0.0");
    EXPECT_EQ(o.listenPort, 0);
    for (const char* bad : {"127.0.0.1", "127.0.0.1:", ":80", "127.0.0.1:65536", "::1:80", "[::1]80", "host:8x"}) {
        EXPECT_THROW(parse({"--listen", bad}), std::invalid_argument) << bad;
    }
    EXPECT_THROW(parse({"--listen"}), std::invalid_argument);
}

TEST(ServiceOptions, IceServersAndTls) {
    const auto o = parse({"--stun", "stun:a.org", "--stun", "stuns:b.org:5349", "--turn", "turn:c.org?transport=tcp",
                          "--turn-secret", "/etc/secret", "--turn-ttl", "600"});
    EXPECT_EQ(o.stunUrls.size(), 2u);
    EXPECT_EQ(o.turnUrls.size(), 1u);
    EXPECT_EQ(o.turnTtlSeconds, 600);
    EXPECT_THROW(parse({"--turn", "turn:c.org"}), std::invalid_argument);                      // no secret
    EXPECT_THROW(parse({"--turn-secret", "/s"}), std::invalid_argument);                      // no TURN URL
    EXPECT_THROW(parse({"--stun", "turn:c.org"}), std::invalid_argument);                     // wrong kind
    EXPECT_THROW(parse({"--stun", "STUN:c.org"}), std::invalid_argument);                     // case-sensitive
    EXPECT_THROW(parse({"--stun", "stun:user@c.org"}), std::invalid_argument);
    EXPECT_THROW(parse({"--stun", "stun:"}), std::invalid_argument);
    EXPECT_THROW(parse({"--stun", "stun:a b"}), std::invalid_argument);
    EXPECT_THROW(parse({"--turn", "turn:c.org", "--turn-secret", "/s", "--turn-ttl", "0"}), std::invalid_argument);
    std::vector<std::string> many;
    for (int i = 0; i < 16; ++i) many.insert(many.end(), {"--stun", "stun:s" + std::to_string(i) + ".org"});
    EXPECT_NO_THROW(parse(many));
    many.insert(many.end(), {"--stun", "stun:one-more.org"});
    EXPECT_THROW(parse(many), std::invalid_argument);
    EXPECT_TRUE(parse({"--tls-cert", "c.pem", "--tls-key", "k.pem"}).tls());
    EXPECT_THROW(parse({"--tls-cert", "c.pem"}), std::invalid_argument);
    EXPECT_THROW(parse({"--frobnicate"}), std::invalid_argument);
    EXPECT_FALSE(isAcceptableIceUrl(std::string("stun:") + std::string(2044, 'a')));
    EXPECT_TRUE(isAcceptableIceUrl(std::string("stun:") + std::string(2043, 'a')));
}

TEST(AttemptLimiter, SlidingWindowAndBoundedKeys) {
    AttemptLimiter limiter(3, 100, 4);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(limiter.blocked("k", 1000 + i));
        EXPECT_EQ(limiter.retryAfter("k", 1000 + i), 0);
        limiter.record("k", 1000 + i);
    }
    EXPECT_TRUE(limiter.blocked("k", 1003));
    EXPECT_EQ(limiter.retryAfter("k", 1003), 97) << "until the oldest attempt leaves the window";
    EXPECT_EQ(limiter.retryAfter("k", 1099), 1);
    EXPECT_FALSE(limiter.blocked("other", 1003));
    // The oldest failure leaves the window at 1100.
    EXPECT_TRUE(limiter.blocked("k", 1099));
    EXPECT_FALSE(limiter.blocked("k", 1100));
    limiter.record("k", 1100);
    EXPECT_TRUE(limiter.blocked("k", 1100));
    limiter.reset("k");
    EXPECT_FALSE(limiter.blocked("k", 1100));
    for (int i = 0; i < 10; ++i) limiter.record("key" + std::to_string(i), 2000 + i);
    EXPECT_LE(limiter.keyCount(), 4u);
}

}  // namespace
}  // namespace murel
