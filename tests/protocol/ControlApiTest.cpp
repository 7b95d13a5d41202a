#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "ErrorOf.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "FakeHttp.hpp"
#include "protocol/ControlApi.hpp"

namespace murel {
namespace {

using test::FakeHttp;

using test::errorOf;

const DeviceCredential kDevice{"dev-1", "device.token~1", "2031-01-01T00:00:00Z"};
constexpr std::int64_t kNow = 1'800'000'000;

Json accountReply() {
    return {{"token", "acct!token"}, {"user_id", "user_7"}, {"expires_at", "2031-01-01T00:00:00Z"}};
}

Json deviceReply() {
    return {{"id", "dev-1"}, {"token", "device.token~1"}, {"expires_at", "later"}};
}

Json host(std::string id) {
    return {{"id", std::move(id)}, {"name", "Office PC"}, {"platform", "windows"}, {"online", true},
            {"ready", false},       {"busy", false},      {"reason", "starting"}};
}

Json session(std::string id, std::string hostId, std::string clientId) {
    return {{"id", std::move(id)}, {"host_id", std::move(hostId)}, {"client_id", std::move(clientId)}};
}

Json iceReply(Json servers) { return {{"ice_servers", std::move(servers)}}; }

Json iceReply(Json servers, Json expiresAt) {
    return {{"ice_servers", std::move(servers)}, {"expires_at", std::move(expiresAt)}};
}

Json turnServer() {
    return {{"urls", {"turn:relay.example:3478?transport=udp"}}, {"username", "u1"}, {"credential", "c1"}};
}

// ---------------------------------------------------------------------------------------------
// Request shapes

TEST(ControlApiRequests, SignInAndSignUpCarryCredentialsInBodyAndNoBearer) {
    FakeHttp http;
    http.reply(accountReply()).reply(accountReply());

    const auto account = requestAuth(http, false, "me@example.com", "pass word ü");
    EXPECT_EQ(account, (AccountCredential{"acct!token", "user_7", "2031-01-01T00:00:00Z"}));
    requestAuth(http, true, "me@example.com", "pw");

    const auto sent = http.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_EQ(sent[0].path, "/v1/auth/login");
    EXPECT_EQ(sent[0].bearer, "");
    EXPECT_EQ(toCompactJson(sent[0].body), R"({"email":"me@example.com","password":"pass word ü"})");
    EXPECT_EQ(sent[1].method, "POST");
    EXPECT_EQ(sent[1].path, "/v1/auth/register");
    EXPECT_EQ(sent[1].bearer, "");
    EXPECT_EQ(toCompactJson(sent[1].body), R"({"email":"me@example.com","password":"pw"})");
}

TEST(ControlApiRequests, AccountCallsCarryTheAccountToken) {
    FakeHttp http;
    http.reply(deviceReply()).reply(deviceReply()).reply(Json::object()).reply({{"ok", true}});

    EXPECT_EQ(requestDeviceRegistration(http, "acct!token", "Office PC", true),
              (DeviceCredential{"dev-1", "device.token~1", "later"}));
    requestDeviceRegistration(http, "acct!token", "", false);
    requestDeviceRemoval(http, "acct!token", "dev-1");
    requestLogout(http, "acct!token");  // members of a "nothing" reply are ignored

    const auto sent = http.requests();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_EQ(sent[0].path, "/v1/devices");
    EXPECT_EQ(sent[0].bearer, "acct!token");
    EXPECT_EQ(toCompactJson(sent[0].body), R"({"can_host":true,"name":"Office PC","platform":"windows"})");
    EXPECT_EQ(toCompactJson(sent[1].body), R"({"can_host":false,"name":"","platform":"windows"})");
    EXPECT_EQ(sent[2].method, "DELETE");
    EXPECT_EQ(sent[2].path, "/v1/devices/dev-1");
    EXPECT_EQ(sent[2].bearer, "acct!token");
    EXPECT_TRUE(sent[2].body.is_null());
    EXPECT_EQ(sent[3].method, "POST");
    EXPECT_EQ(sent[3].path, "/v1/auth/logout");
    EXPECT_EQ(sent[3].bearer, "acct!token");
    EXPECT_TRUE(sent[3].body.is_null());
}

TEST(ControlApiRequests, DeviceCallsCarryTheDeviceToken) {
    FakeHttp http;
    http.reply({{"hosts", Json::array()}})
        .reply(session("s-1", "host-9", "dev-1"))
        .reply(Json::object())
        .reply(iceReply(Json::array()));

    requestHosts(http, kDevice.token);
    requestSession(http, kDevice, "host-9");
    requestSessionEnd(http, kDevice, "s-1");
    requestIceServers(http, kDevice, kNow);

    const auto sent = http.requests();
    ASSERT_EQ(sent.size(), 4u);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"GET", "/v1/hosts"}, {"POST", "/v1/sessions"}, {"DELETE", "/v1/sessions/s-1"}, {"GET", "/v1/ice"}};
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].method, expected[i].first) << i;
        EXPECT_EQ(sent[i].path, expected[i].second) << i;
        EXPECT_EQ(sent[i].bearer, "device.token~1") << i;
        if (i != 1) {
            EXPECT_TRUE(sent[i].body.is_null()) << i;
        }
    }
    EXPECT_EQ(toCompactJson(sent[1].body), R"({"host_id":"host-9"})");
    // The caller's credential is left intact; only the call's own copies are wiped.
    EXPECT_EQ(kDevice.token, "device.token~1");
}

// ---------------------------------------------------------------------------------------------
// Input checks come before any traffic

TEST(ControlApiInputChecks, MalformedTokensNeverReachTheWire) {
    const std::vector<std::string> badTokens = {"", "has space", std::string(4097, 'a'), "tab\t",
                                                "caf\xc3\xa9", std::string("nul\0x", 5)};
    for (const auto& token : badTokens) {
        FakeHttp http;
        const DeviceCredential device{"dev-1", token, ""};
        EXPECT_EQ(errorOf([&] { requestLogout(http, token); }), "Invalid credential");
        EXPECT_EQ(errorOf([&] { requestDeviceRegistration(http, token, "PC", true); }), "Invalid credential");
        // The token is checked before the id, so a bad id does not change the message.
        EXPECT_EQ(errorOf([&] { requestDeviceRemoval(http, token, "bad.id"); }), "Invalid credential");
        EXPECT_EQ(errorOf([&] { requestHosts(http, token); }), "Invalid credential");
        EXPECT_EQ(errorOf([&] { requestSession(http, device, "bad.id"); }), "Invalid credential");
        EXPECT_EQ(errorOf([&] { requestSessionEnd(http, device, "bad.id"); }), "Invalid credential");
        EXPECT_EQ(errorOf([&] { requestIceServers(http, device, kNow); }), "Invalid credential");
        EXPECT_EQ(http.requestCount(), 0u) << token;
    }
    FakeHttp http;
    http.reply(Json::object());
    EXPECT_NO_THROW(requestLogout(http, std::string(4096, '~')));  // longest token passes
}

TEST(ControlApiInputChecks, MalformedIdsNeverReachTheWire) {
    // Path separators and traversal must never be spliced into the request path.
    const std::vector<std::string> badIds = {"", "a.b", "../hosts", "x/y", "s?x=1", "s#f", "a b",
                                             std::string(257, 'a')};
    for (const auto& id : badIds) {
        FakeHttp http;
        EXPECT_EQ(errorOf([&] { requestDeviceRemoval(http, "acct!token", id); }), "Invalid identifier") << id;
        EXPECT_EQ(errorOf([&] { requestSession(http, kDevice, id); }), "Invalid identifier") << id;
        EXPECT_EQ(errorOf([&] { requestSessionEnd(http, kDevice, id); }), "Invalid identifier") << id;
        EXPECT_EQ(http.requestCount(), 0u) << id;
    }
    FakeHttp http;
    http.reply(Json::object());
    const std::string longest(256, 'Z');
    requestSessionEnd(http, kDevice, longest);
    EXPECT_EQ(http.lastRequest().path, "/v1/sessions/" + longest);
}

// ---------------------------------------------------------------------------------------------
// Account and device replies

TEST(ControlApiAuthReply, ValidationMessages) {
    auto authWith = [](Json reply) {
        FakeHttp http;
        http.reply(std::move(reply));
        return errorOf([&] { requestAuth(http, false, "a@b.c", "pw"); });
    };
    auto with = [](const char* key, Json value) {
        Json reply = accountReply();
        reply[key] = std::move(value);
        return reply;
    };
    auto without = [](const char* key) {
        Json reply = accountReply();
        reply.erase(key);
        return reply;
    };
    EXPECT_EQ(authWith(with("user_id", "user.7")), "Invalid identifier");
    EXPECT_EQ(authWith(with("token", "has space")), "Invalid credential");
    EXPECT_EQ(authWith(with("token", "")), "Invalid credential");
    EXPECT_EQ(authWith(without("expires_at")), "Invalid protocol message");
    EXPECT_EQ(authWith(without("token")), "Invalid protocol message");
    EXPECT_EQ(authWith(without("user_id")), "Invalid protocol message");
    EXPECT_EQ(authWith(with("expires_at", 1893456000)), "Invalid protocol message");
    EXPECT_EQ(authWith(with("token", std::string(4097, 'a'))), "Invalid protocol message");
    EXPECT_EQ(authWith(with("user_id", std::string(257, 'a'))), "Invalid protocol message");
    EXPECT_EQ(authWith(with("expires_at", std::string(129, '1'))), "Invalid protocol message");
    EXPECT_EQ(authWith(with("expires_at", std::string(128, '1'))), "<no error>");
    EXPECT_EQ(authWith(with("token", std::string(4096, 'a'))), "<no error>");
    EXPECT_EQ(authWith(with("extra", Json::array())), "<no error>");

    // All members are read before any is validated, and the token is validated before the id.
    Json badBoth = with("user_id", "user.7");
    EXPECT_EQ(authWith(badBoth), "Invalid identifier");
    badBoth["token"] = "a b";
    EXPECT_EQ(authWith(badBoth), "Invalid credential");
    badBoth.erase("expires_at");
    EXPECT_EQ(authWith(badBoth), "Invalid protocol message");
}

TEST(ControlApiDeviceReply, ValidationMessages) {
    auto registerWith = [](Json reply) {
        FakeHttp http;
        http.reply(std::move(reply));
        return errorOf([&] { requestDeviceRegistration(http, "acct!token", "PC", false); });
    };
    Json reply = deviceReply();
    reply["token"] = "sp ace";
    EXPECT_EQ(registerWith(reply), "Invalid credential");
    reply["id"] = "dev.1";  // the id is validated before the token
    EXPECT_EQ(registerWith(reply), "Invalid identifier");
    reply.erase("expires_at");
    EXPECT_EQ(registerWith(reply), "Invalid protocol message");
    reply = deviceReply();
    reply["id"] = true;
    EXPECT_EQ(registerWith(reply), "Invalid protocol message");
    reply = deviceReply();
    reply["expires_at"] = std::string(129, 'x');
    EXPECT_EQ(registerWith(reply), "Invalid protocol message");
}

// ---------------------------------------------------------------------------------------------
// Host list

TEST(ControlApiHosts, ListIsReturnedInReplyOrder) {
    FakeHttp http;
    Json second = host("h_2");
    second["name"] = "";
    second["reason"] = "";
    second["busy"] = true;
    http.reply({{"hosts", {host("h-1"), second}}, {"extra", 1}});
    const auto hosts = requestHosts(http, "t");
    ASSERT_EQ(hosts.size(), 2u);
    EXPECT_EQ(hosts[0], (HostInfo{"h-1", "Office PC", "windows", true, false, false, "starting"}));
    EXPECT_EQ(hosts[1], (HostInfo{"h_2", "", "windows", true, false, true, ""}));

    http.reply({{"hosts", Json::array()}});
    EXPECT_TRUE(requestHosts(http, "t").empty());
}

TEST(ControlApiHosts, CountLimit) {
    Json hosts = Json::array();
    for (int i = 0; i < 32; ++i) hosts.push_back(host("h" + std::to_string(i)));
    FakeHttp http;
    http.reply({{"hosts", hosts}});
    EXPECT_EQ(requestHosts(http, "t").size(), 32u);
    hosts.push_back(host("h32"));
    http.reply({{"hosts", hosts}});
    EXPECT_EQ(errorOf([&] { requestHosts(http, "t"); }), "Invalid protocol message");
}

TEST(ControlApiHosts, OneBadElementFailsTheWholeCall) {
    auto hostsWith = [](Json reply) {
        FakeHttp http;
        http.reply(std::move(reply));
        return errorOf([&] { requestHosts(http, "t"); });
    };
    auto listWithBadSecond = [&](const char* key, Json value) {
        Json bad = host("h-2");
        if (value.is_discarded()) {
            bad.erase(key);
        } else {
            bad[key] = std::move(value);
        }
        return hostsWith({{"hosts", {host("h-1"), bad}}});
    };
    const Json missing = Json(Json::value_t::discarded);
    EXPECT_EQ(hostsWith(Json::object()), "Invalid protocol message");
    EXPECT_EQ(hostsWith({{"hosts", Json::object()}}), "Invalid protocol message");
    EXPECT_EQ(hostsWith({{"hosts", nullptr}}), "Invalid protocol message");
    EXPECT_EQ(hostsWith({{"hosts", {host("h-1"), "h-2"}}}), "Invalid protocol message");
    EXPECT_EQ(listWithBadSecond("online", "true"), "Invalid protocol message");
    EXPECT_EQ(listWithBadSecond("ready", 1), "Invalid protocol message");
    EXPECT_EQ(listWithBadSecond("busy", missing), "Invalid protocol message");
    EXPECT_EQ(listWithBadSecond("reason", missing), "Invalid protocol message");
    EXPECT_EQ(listWithBadSecond("id", "h.2"), "Invalid identifier");
    EXPECT_EQ(listWithBadSecond("id", ""), "Invalid identifier");
    EXPECT_EQ(listWithBadSecond("id", std::string(257, 'h')), "Invalid protocol message");
    EXPECT_EQ(listWithBadSecond("name", std::string(8193, 'n')), "Invalid protocol message");
    EXPECT_EQ(listWithBadSecond("name", std::string(8192, 'n')), "<no error>");
    EXPECT_EQ(listWithBadSecond("platform", std::string(33, 'p')), "Invalid protocol message");
    EXPECT_EQ(listWithBadSecond("platform", std::string(32, 'p')), "<no error>");
    EXPECT_EQ(listWithBadSecond("reason", std::string(257, 'r')), "Invalid protocol message");
    EXPECT_EQ(listWithBadSecond("reason", std::string(256, 'r')), "<no error>");
}

// ---------------------------------------------------------------------------------------------
// Sessions

TEST(ControlApiSessionInfo, ReadingRules) {
    EXPECT_EQ(readSessionInfo(session("s-1", "h-1", "c-1")), (SessionInfo{"s-1", "h-1", "c-1"}));
    EXPECT_EQ(errorOf([] { readSessionInfo(session("s-1", "same", "same")); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { readSessionInfo(session("s.1", "h-1", "c-1")); }), "Invalid identifier");
    EXPECT_EQ(errorOf([] { readSessionInfo(session("s-1", "h-1", "")); }), "Invalid identifier");
    EXPECT_EQ(errorOf([] { readSessionInfo(session(std::string(257, 's'), "h-1", "c-1")); }),
              "Invalid protocol message");
    EXPECT_EQ(errorOf([] { readSessionInfo(Json::array()); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { readSessionInfo({{"id", "s-1"}, {"host_id", "h-1"}, {"client_id", 5}}); }),
              "Invalid protocol message");
    // Every member is read before any is validated.
    EXPECT_EQ(errorOf([] { readSessionInfo({{"id", "s.1"}, {"host_id", "h-1"}}); }), "Invalid protocol message");
    // Identifiers are validated before the host/client comparison.
    EXPECT_EQ(errorOf([] { readSessionInfo(session("s-1", "x.y", "x.y")); }), "Invalid identifier");
}

TEST(ControlApiSession, MembershipMustMatchTheRequest) {
    auto reserve = [](Json reply) {
        FakeHttp http;
        http.reply(std::move(reply));
        return errorOf([&] { requestSession(http, kDevice, "host-9"); });
    };
    EXPECT_EQ(reserve(session("s-1", "host-9", "dev-1")), "<no error>");
    EXPECT_EQ(reserve(session("s-1", "host-9", "dev-2")), "Session membership mismatch");
    EXPECT_EQ(reserve(session("s-1", "host-8", "dev-1")), "Session membership mismatch");
    EXPECT_EQ(reserve(session("s-1", "dev-1", "host-9")), "Session membership mismatch");
    EXPECT_EQ(reserve(session("s-1", "dev-1", "dev-1")), "Invalid protocol message");
    EXPECT_EQ(reserve(session("s 1", "host-9", "dev-1")), "Invalid identifier");
}

// ---------------------------------------------------------------------------------------------
// ICE servers

IceConfiguration iceFrom(Json reply, std::int64_t now = kNow) {
    FakeHttp http;
    http.reply(std::move(reply));
    return requestIceServers(http, kDevice, now);
}

std::string iceErrorOf(Json reply, std::int64_t now = kNow) {
    return errorOf([&] { iceFrom(std::move(reply), now); });
}

TEST(ControlApiIce, StunOnlyNeedsNoExpiryButTurnDoes) {
    const Json stun = {{"urls", {"stun:stun.example:3478", "stuns:stun.example:5349"}}};
    const auto config = iceFrom(iceReply({stun}));
    EXPECT_FALSE(config.hasExpiry);
    ASSERT_EQ(config.servers.size(), 1u);
    EXPECT_EQ(config.servers[0], (IceServer{{"stun:stun.example:3478", "stuns:stun.example:5349"}, "", ""}));

    EXPECT_EQ(iceErrorOf(iceReply({stun, turnServer()})), "TURN requires expiring device credentials");
    EXPECT_EQ(iceErrorOf(iceReply({stun, turnServer()}, nullptr)), "TURN requires expiring device credentials");

    const auto relayed = iceFrom(iceReply({stun, turnServer()}, kNow + 600));
    EXPECT_TRUE(relayed.hasExpiry);
    EXPECT_EQ(relayed.expiresAt, kNow + 600);
    ASSERT_EQ(relayed.servers.size(), 2u);
    EXPECT_EQ(relayed.servers[1], (IceServer{{"turn:relay.example:3478?transport=udp"}, "u1", "c1"}));

    Json turns = turnServer();
    turns["urls"] = {"turns:relay.example:443?transport=tcp"};
    turns["username"] = "";
    EXPECT_EQ(iceErrorOf(iceReply({turns}, kNow + 1)), "TURN requires expiring device credentials");
    turns["username"] = "u";
    turns.erase("credential");
    EXPECT_EQ(iceErrorOf(iceReply({turns}, kNow + 1)), "TURN requires expiring device credentials");
}

TEST(ControlApiIce, ExpiryRules) {
    const Json stun = {{"urls", {"stun:s"}}};
    EXPECT_EQ(iceErrorOf(iceReply({stun}, kNow)), "Relay credentials expired; reconnect to refresh");
    EXPECT_EQ(iceErrorOf(iceReply({stun}, kNow - 1)), "Relay credentials expired; reconnect to refresh");
    EXPECT_EQ(iceFrom(iceReply({stun}, kNow + 1)).expiresAt, kNow + 1);
    // An expired answer is refused even when it lists no servers.
    EXPECT_EQ(iceErrorOf(iceReply(Json::array(), 0)), "Relay credentials expired; reconnect to refresh");

    EXPECT_EQ(iceErrorOf(iceReply({stun}, -1)), "Invalid protocol message");
    EXPECT_EQ(iceErrorOf(iceReply({stun}, 1.5)), "Invalid protocol message");
    EXPECT_EQ(iceErrorOf(iceReply({stun}, static_cast<double>(kNow + 100))), "Invalid protocol message");
    EXPECT_EQ(iceErrorOf(iceReply({stun}, "1900000000")), "Invalid protocol message");
    EXPECT_EQ(iceErrorOf(iceReply({stun}, true)), "Invalid protocol message");
    const auto max = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(iceFrom(iceReply({stun}, max)).expiresAt, max);
    EXPECT_EQ(iceErrorOf(iceReply({stun}, static_cast<std::uint64_t>(max) + 1)), "Invalid protocol message");
    // Parsed from text, as the client receives it.
    FakeHttp http;
    http.replyText(R"({"ice_servers":[],"expires_at":9223372036854775808})");
    EXPECT_EQ(errorOf([&] { requestIceServers(http, kDevice, kNow); }), "Invalid protocol message");

    const auto nullExpiry = iceFrom(iceReply({stun}, nullptr));
    EXPECT_FALSE(nullExpiry.hasExpiry);
    EXPECT_EQ(nullExpiry.servers.size(), 1u);
    // The server list is checked first, then the expiry, then the servers.
    EXPECT_EQ(iceErrorOf({{"expires_at", 0}}), "Invalid protocol message");
    EXPECT_EQ(iceErrorOf(iceReply({{{"urls", {"http://x"}}}}, 0)), "Relay credentials expired; reconnect to refresh");
}

TEST(ControlApiIce, ServerAndUrlLimits) {
    auto servers = [](std::size_t count) {
        Json list = Json::array();
        for (std::size_t i = 0; i < count; ++i) list.push_back({{"urls", {"stun:s" + std::to_string(i)}}});
        return list;
    };
    EXPECT_EQ(iceFrom(iceReply(servers(16))).servers.size(), 16u);
    EXPECT_TRUE(iceFrom(iceReply(Json::array())).servers.empty());
    EXPECT_EQ(iceErrorOf(iceReply(servers(17))), "Invalid protocol message");
    EXPECT_EQ(iceErrorOf(Json::object()), "Invalid protocol message");
    EXPECT_EQ(iceErrorOf(iceReply(Json::object())), "Invalid protocol message");

    auto urls = [](std::size_t first, std::size_t count) {
        Json list = Json::array();
        for (std::size_t i = first; i < first + count; ++i) list.push_back("stun:u" + std::to_string(i));
        return list;
    };
    // 16 URLs over two servers pass; two servers with ten each fail on the 17th, before the 18th is
    // looked at (the 18th here has an unsupported scheme).
    EXPECT_EQ(iceFrom(iceReply({{{"urls", urls(0, 8)}}, {{"urls", urls(8, 8)}}})).servers[1].urls.size(), 8u);
    Json second = urls(10, 10);
    second[7] = "http://u17";
    EXPECT_EQ(iceErrorOf(iceReply({{{"urls", urls(0, 10)}}, {{"urls", second}}})), "Invalid protocol message");
    second[5] = "http://u16";  // the 16th URL is still checked in full
    EXPECT_EQ(iceErrorOf(iceReply({{{"urls", urls(0, 10)}}, {{"urls", second}}})), "Unsupported ICE URI scheme");
}

TEST(ControlApiIce, ServerEntryRules) {
    auto single = [](Json server) { return iceErrorOf(iceReply({std::move(server)}, kNow + 60)); };
    EXPECT_EQ(single("stun:s"), "Invalid protocol message");
    EXPECT_EQ(single(Json::object()), "Invalid protocol message");
    EXPECT_EQ(single({{"urls", Json::array()}}), "Invalid protocol message");
    EXPECT_EQ(single({{"urls", "stun:s"}}), "Invalid protocol message");
    EXPECT_EQ(single({{"urls", {"stun:s", 5}}}), "Invalid protocol message");
    EXPECT_EQ(single({{"urls", {"stun:s"}}, {"username", nullptr}}), "Invalid protocol message");
    EXPECT_EQ(single({{"urls", {"stun:s"}}, {"credential", 7}}), "Invalid protocol message");
    EXPECT_EQ(single({{"urls", {"stun:s"}}, {"username", std::string(1025, 'u')}}), "Invalid protocol message");
    EXPECT_EQ(single({{"urls", {"stun:s"}}, {"credential", std::string(1025, 'c')}}), "Invalid protocol message");
    EXPECT_EQ(single({{"urls", {"turn:t"}}, {"username", std::string(1024, 'u')}, {"credential", std::string(1024, 'c')}}),
              "<no error>");
}

TEST(ControlApiIce, UrlRules) {
    auto url = [](std::string text) {
        return iceErrorOf(iceReply({{{"urls", {std::move(text)}}, {"username", "u"}, {"credential", "c"}}}, kNow + 60));
    };
    EXPECT_EQ(url("stun:stun.example"), "<no error>");
    EXPECT_EQ(url("turn:relay.example"), "<no error>");
    EXPECT_EQ(url("STUN:stun.example"), "Unsupported ICE URI scheme");
    EXPECT_EQ(url("Turn:relay.example"), "Unsupported ICE URI scheme");
    EXPECT_EQ(url("https://relay.example"), "Unsupported ICE URI scheme");
    EXPECT_EQ(url("stun"), "Unsupported ICE URI scheme");
    EXPECT_EQ(url(""), "Invalid protocol message");
    EXPECT_EQ(url("turn:user@relay.example"), "Invalid protocol message");
    EXPECT_EQ(url("stun:a b"), "Invalid protocol message");
    EXPECT_EQ(url("stun:caf\xc3\xa9"), "Invalid protocol message");
    EXPECT_EQ(url("stun:" + std::string(2043, 'a')), "<no error>");
    EXPECT_EQ(url("stun:" + std::string(2044, 'a')), "Invalid protocol message");
}

// ---------------------------------------------------------------------------------------------
// Transport failures pass through unchanged

TEST(ControlApiTransport, FailuresPropagateUnchanged) {
    FakeHttp http;
    http.replyText("").fail("Control API returned HTTP 404").replyText("[]");
    // A 204 without a body is not a valid reply.
    EXPECT_EQ(errorOf([&] { requestSessionEnd(http, kDevice, "s-1"); }), "Message size exceeds protocol limit");
    EXPECT_EQ(errorOf([&] { requestHosts(http, kDevice.token); }), "Control API returned HTTP 404");
    EXPECT_EQ(errorOf([&] { requestLogout(http, "acct!token"); }), "Invalid protocol message");
    EXPECT_EQ(http.requestCount(), 3u);
}

TEST(FakeHttpScript, UnscriptedRequestFailsTheTest) {
    EXPECT_NONFATAL_FAILURE(
        {
            FakeHttp http;
            EXPECT_THROW(requestHosts(http, "t"), ProtocolError);
        },
        "unscripted request GET /v1/hosts");
    EXPECT_NONFATAL_FAILURE(
        {
            FakeHttp http;
            http.reply(Json::object());
        },
        "never requested");
}

}  // namespace
}  // namespace murel
