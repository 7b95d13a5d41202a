#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sodium.h>
#include <sqlite3.h>
#include <unistd.h>

#include "ControlService.hpp"
#include "ControlStore.hpp"
#include "Crypto.hpp"
#include "protocol/ControlApi.hpp"
#include "protocol/SignalingSession.hpp"
#include "protocol/Wire.hpp"

namespace murel {
namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "murel-control-unit-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Records what the service sends to one device, parsed and as sent.
class FakeLink : public SignalingLink {
public:
    void deliver(std::string message) override {
        messages.push_back(parseWire(message, kSignalingMessageLimit));
        texts.push_back(std::move(message));
    }
    void disconnect() override { disconnected = true; }

    std::vector<Json> take() {
        texts.clear();
        return std::exchange(messages, {});
    }
    std::vector<Json> messages;
    std::vector<std::string> texts;
    bool disconnected = false;
};

struct Device {
    std::string id;
    std::string token;
    std::shared_ptr<FakeLink> link;
};

class ServiceTest : public ::testing::Test {
public:
    explicit ServiceTest(ServiceConfig c = config())
        : store(dir.path()),
          service(store, std::move(c), PasswordHasher(crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN),
                  [this] { return now.load(); }) {}

    static ServiceConfig config() {
        ServiceConfig c;
        c.stunUrls = {"stun:stun.example.org:3478"};
        c.turnUrls = {"turn:turn.example.org:3478?transport=udp", "turns:turn.example.org:5349"};
        c.turnSecret = "relay-secret";
        c.turnTtlSeconds = 600;
        // The per-address allowances have tests of their own; these tests make many requests from
        // one address at one instant.
        c.unauthenticatedPerSecond = 1000;
        c.registrationsPerAddress = 1000;
        return c;
    }

    ApiReply call(std::string method, std::string target, std::string token = {}, const Json& body = nullptr,
                  std::string remote = "127.0.0.1") {
        ApiRequest r{std::move(method), std::move(target), token.empty() ? "" : "Bearer " + token,
                     body.is_null() ? "" : toCompactJson(body), std::move(remote)};
        return service.handle(r);
    }
    static Json json(const ApiReply& reply) { return parseWire(reply.body, kControlBodyLimit); }

    std::string account(const std::string& email = "owner@example.org") {
        const auto r = call("POST", "/v1/auth/register", {}, {{"email", email}, {"password", "correct horse battery"}});
        EXPECT_EQ(r.status, 201) << r.body;
        return json(r)["token"].get<std::string>();
    }
    Device device(const std::string& accountToken, bool canHost, const std::string& name = "PC") {
        const auto r = call("POST", "/v1/devices", accountToken,
                            {{"name", name}, {"platform", "windows"}, {"can_host", canHost}});
        EXPECT_EQ(r.status, 201) << r.body;
        const auto body = json(r);
        return {body["id"].get<std::string>(), body["token"].get<std::string>(), std::make_shared<FakeLink>()};
    }
    void online(Device& d) {
        ASSERT_EQ(service.admitSignaling("Bearer " + d.token, d.link).status, 101);
        const auto hello = d.link->take();
        ASSERT_EQ(hello.size(), 1u);
        SignalingSession session(d.id);
        EXPECT_EQ(session.classify(hello[0]).kind, SignalEventKind::Hello);
    }
    void send(Device& d, const Json& message) { EXPECT_TRUE(service.receiveSignaling(d.link, toCompactJson(message))); }
    void ready(Device& d) {
        send(d, {{"type", "host.status"}, {"payload", {{"ready", true}, {"reason", "Ready"}}}});
    }

    TempDir dir;
    ControlStore store;
    std::atomic<std::int64_t> now{1'800'000'000};
    ControlService service;
};

TEST(Crypto, TokensDigestsAndRelayCredentials) {
    const auto a = randomToken();
    const auto b = randomToken();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), 43u);
    EXPECT_NO_THROW(validateCredential(a));
    EXPECT_NO_THROW(validateIdentifier(randomIdentifier("d_")));
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // RFC 2202 HMAC-SHA1 case 2, base64.
    EXPECT_EQ(turnCredential("Jefe", "what do ya want for nothing?"), "7/zfauXrL6LSdBbV8YTfnCWafHk=");
    EXPECT_EQ(isoUtc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(isoUtc(1'800'000'000), "2027-01-15T08:00:00Z");
    EXPECT_TRUE(constantTimeEquals("abc", "abc"));
    EXPECT_FALSE(constantTimeEquals("abc", "abd"));
    EXPECT_FALSE(constantTimeEquals("abc", "abcd"));
}

TEST(Crypto, PasswordHashesAreSaltedArgon2id) {
    PasswordHasher hasher(crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN);
    const auto h1 = hasher.hash("correct horse battery");
    const auto h2 = hasher.hash("correct horse battery");
    EXPECT_TRUE(h1.starts_with("$argon2id$"));
    EXPECT_NE(h1, h2);
    EXPECT_TRUE(hasher.verify(h1, "correct horse battery"));
    EXPECT_FALSE(hasher.verify(h1, "correct horse batterz"));
    EXPECT_FALSE(hasher.verify("garbage", "correct horse battery"));
    // The default limits are the interactive ones, not the test minimum.
    EXPECT_TRUE(PasswordHasher().hash("x").find("m=65536") != std::string::npos);
}

TEST(Store, SurvivesReopenAndRefusesNewerSchema) {
    TempDir dir;
    {
        ControlStore store(dir.path());
        EXPECT_EQ(store.schemaVersion(), ControlStore::kSchemaVersion);
        ASSERT_TRUE(store.createAccount({"u_1", "a@b.c", "hash"}, 1));
        EXPECT_FALSE(store.createAccount({"u_2", "a@b.c", "hash"}, 1));
        store.addDevice({"d_1", "u_1", "PC", "windows", true}, 1);
        store.addToken("digest-a", {TokenKind::Device, "u_1", "d_1", 100});
        store.addToken("digest-b", {TokenKind::Account, "u_1", "", 50});
        EXPECT_EQ(store.deleteExpiredTokens(50), 1);
    }
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "control.db-wal") ||
                std::filesystem::exists(dir.path() / "control.db"));
    EXPECT_EQ(std::filesystem::status(dir.path()).permissions() & std::filesystem::perms::others_all,
              std::filesystem::perms::none);
    {
        ControlStore store(dir.path());
        ASSERT_TRUE(store.findAccountByEmail("a@b.c"));
        EXPECT_EQ(store.findAccountByEmail("a@b.c")->id, "u_1");
        const auto token = store.findToken("digest-a");
        ASSERT_TRUE(token);
        EXPECT_EQ(token->deviceId, "d_1");
        EXPECT_EQ(token->kind, TokenKind::Device);
        EXPECT_FALSE(store.findToken("digest-b"));
        store.removeDevice("d_1");
        EXPECT_FALSE(store.findToken("digest-a"));
        EXPECT_FALSE(store.findDevice("d_1"));
        EXPECT_EQ(store.countDevices("u_1"), 0);
        // Listed in registration order.
        for (const char* id : {"d_c", "d_a", "d_b"}) store.addDevice({id, "u_1", id, "linux", false}, 5);
        const auto listed = store.listDevices("u_1");
        ASSERT_EQ(listed.size(), 3u);
        EXPECT_EQ(listed[0].id, "d_c");
        EXPECT_EQ(listed[2].id, "d_b");
    }
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir.path() / "control.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "UPDATE schema_version SET version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    EXPECT_THROW(ControlStore{dir.path()}, std::runtime_error);
}

TEST_F(ServiceTest, RegistrationAndSignInRules) {
    const auto token = account("Owner@Example.org");
    EXPECT_NO_THROW(validateCredential(token));
    // The e-mail is matched without regard to ASCII case.
    auto r = call("POST", "/v1/auth/register", {}, {{"email", "owner@example.org"}, {"password", "another password"}});
    EXPECT_EQ(r.status, 409);
    r = call("POST", "/v1/auth/login", {}, {{"email", "OWNER@example.org"}, {"password", "correct horse battery"}});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(json(r)["token"], token);

    const std::string longEmail = std::string(250, 'a') + "@b.c";  // 254 bytes
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, {{"email", longEmail}, {"password", std::string(72, 'p')}}).status, 201);
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, {{"email", "a" + longEmail}, {"password", std::string(12, 'p')}}).status, 400);
    for (const char* bad : {"no-at.example.org", "two@@example.org", "a@b@c", "@example.org", "user@", "us er@x.y"}) {
        EXPECT_EQ(call("POST", "/v1/auth/register", {}, {{"email", bad}, {"password", "long enough pw"}}).status, 400) << bad;
    }
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, {{"email", "x@y.z"}, {"password", std::string(11, 'p')}}).status, 400);
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, {{"email", "x@y.z"}, {"password", std::string(73, 'p')}}).status, 400);
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, {{"email", "x@y.z"}, {"password", 123456789012345}}).status, 400);
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, Json::array()).status, 400);
    EXPECT_EQ(call("POST", "/v1/auth/register").status, 400);
    EXPECT_EQ(call("GET", "/v1/auth/register").status, 405);
    EXPECT_EQ(call("GET", "/v1/nothing").status, 404);
    EXPECT_EQ(call("GET", "/v1/hosts?x=1").status, 400);
}

TEST_F(ServiceTest, FailedSignInsAreLimitedPerEmailAndPerAddress) {
    account();
    const Json wrong{{"email", "owner@example.org"}, {"password", "wrong password!"}};
    const Json right{{"email", "owner@example.org"}, {"password", "correct horse battery"}};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(call("POST", "/v1/auth/login", {}, wrong).status, 401);
    // Even the right password is refused while the e-mail is blocked.
    auto refused = call("POST", "/v1/auth/login", {}, right);
    EXPECT_EQ(refused.status, 429);
    EXPECT_GE(refused.retryAfter, 1);
    EXPECT_LE(refused.retryAfter, 900);
    now += 901;
    EXPECT_EQ(call("POST", "/v1/auth/login", {}, right).status, 200);

    // Unknown accounts count against the client address too.
    for (int i = 0; i < 30; ++i) {
        const Json guess{{"email", "guess" + std::to_string(i) + "@example.org"}, {"password", "whatever pass"}};
        EXPECT_EQ(call("POST", "/v1/auth/login", {}, guess, "10.0.0.9").status, 401);
    }
    EXPECT_EQ(call("POST", "/v1/auth/login", {}, right, "10.0.0.9").status, 429);
    EXPECT_EQ(call("POST", "/v1/auth/login", {}, right, "10.0.0.8").status, 200);
}

TEST_F(ServiceTest, TokensAreKindBoundExpireAndDieOnLogout) {
    const auto accountToken = account();
    auto pc = device(accountToken, true);
    // A device token is not an account token and the other way round.
    EXPECT_EQ(call("POST", "/v1/devices", pc.token, {{"name", "x"}, {"platform", "linux"}, {"can_host", false}}).status, 401);
    EXPECT_EQ(call("GET", "/v1/hosts", accountToken).status, 401);
    EXPECT_EQ(call("GET", "/v1/hosts", pc.token).status, 200);
    EXPECT_EQ(call("GET", "/v1/hosts", "not a token").status, 401);
    EXPECT_EQ(service.handle({"GET", "/v1/hosts", "Basic " + pc.token, "", "x"}).status, 401);
    EXPECT_EQ(service.handle({"GET", "/v1/hosts", "bearer " + pc.token, "", "x"}).status, 200);

    EXPECT_EQ(call("POST", "/v1/auth/logout", accountToken).status, 200);
    EXPECT_EQ(call("POST", "/v1/auth/logout", accountToken).status, 401);
    EXPECT_EQ(call("POST", "/v1/devices", accountToken, {{"name", "x"}, {"platform", "linux"}, {"can_host", false}}).status, 401);
    // The device keeps working after the account signs out.
    EXPECT_EQ(call("GET", "/v1/hosts", pc.token).status, 200);

    const auto second = account("second@example.org");
    now += 30 * 86400;  // account tokens last 30 days
    EXPECT_EQ(call("POST", "/v1/auth/logout", second).status, 401);
    EXPECT_EQ(call("GET", "/v1/hosts", pc.token).status, 200);
    now += 366 * 86400;
    EXPECT_EQ(call("GET", "/v1/hosts", pc.token).status, 401);
    EXPECT_EQ(service.admitSignaling("Bearer " + pc.token, pc.link).status, 401);
}

TEST_F(ServiceTest, DeviceRegistrationRules) {
    const auto token = account();
    const auto ok = [&](const Json& body) { return call("POST", "/v1/devices", token, body).status; };
    const auto first = call("POST", "/v1/devices", token, {{"name", std::string(80, 'n')}, {"platform", "linux"}, {"can_host", false}});
    ASSERT_EQ(first.status, 201);
    // 80 characters, each two bytes in UTF-8.
    std::string wide;
    for (int i = 0; i < 80; ++i) wide += "\xC3\xA9";
    EXPECT_EQ(ok({{"name", wide}, {"platform", "macos"}, {"can_host", false}}), 201);
    EXPECT_EQ(ok({{"name", wide + "x"}, {"platform", "macos"}, {"can_host", false}}), 400);
    EXPECT_EQ(ok({{"name", std::string(81, 'n')}, {"platform", "linux"}, {"can_host", false}}), 400);
    EXPECT_EQ(ok({{"name", ""}, {"platform", "linux"}, {"can_host", false}}), 400);
    EXPECT_EQ(ok({{"name", "tab\there"}, {"platform", "linux"}, {"can_host", false}}), 400);
    EXPECT_EQ(ok({{"name", "PC"}, {"platform", "Windows"}, {"can_host", false}}), 400);
    EXPECT_EQ(ok({{"name", "PC"}, {"platform", "windows"}, {"can_host", "yes"}}), 400);
    EXPECT_EQ(ok({{"name", "PC"}, {"platform", "windows"}}), 400);
    for (int i = 2; i < 32; ++i) EXPECT_EQ(ok({{"name", "PC"}, {"platform", "windows"}, {"can_host", true}}), 201);
    EXPECT_EQ(ok({{"name", "PC 33"}, {"platform", "windows"}, {"can_host", true}}), 409);

    // The program's own reply checks accept what the service lists.
    auto pc = device(account("other@example.org"), true);
    class Direct : public Http {
    public:
        Direct(ServiceTest& t) : t_(t) {}
        Json request(const HttpRequest& r) override {
            const auto reply = t_.call(r.method, r.path, r.bearer, r.body);
            if (reply.status < 200 || reply.status > 299) throw ProtocolError("Control API returned HTTP " + std::to_string(reply.status));
            return parseWire(reply.body, kControlBodyLimit);
        }
        ServiceTest& t_;
    } http(*this);
    const auto hosts = requestHosts(http, pc.token);
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].id, pc.id);
    EXPECT_FALSE(hosts[0].online);
    EXPECT_EQ(requestHosts(http, json(first)["token"].get<std::string>()).size(), 32u) << "full account lists all devices";
}

TEST_F(ServiceTest, PresenceReservationRelayAndEnd) {
    const auto token = account();
    auto host = device(token, true, "Host");
    auto viewer = device(token, false, "Viewer");
    auto third = device(token, true, "Third");
    online(host);
    online(viewer);
    online(third);
    // A second connection of the same device is refused while the first lives.
    EXPECT_EQ(service.admitSignaling("Bearer " + host.token, std::make_shared<FakeLink>()).status, 409);

    auto hostEntry = [&](const std::string& id) {
        const auto list = json(call("GET", "/v1/hosts", viewer.token))["hosts"];
        for (const auto& h : list) if (h["id"] == id) return h;
        return Json();
    };
    EXPECT_EQ(hostEntry(host.id)["online"], true);
    EXPECT_EQ(hostEntry(host.id)["ready"], false);
    EXPECT_EQ(call("POST", "/v1/sessions", viewer.token, {{"host_id", host.id}}).status, 409) << "not ready";
    ready(host);
    EXPECT_EQ(hostEntry(host.id)["ready"], true);
    EXPECT_EQ(hostEntry(host.id)["reason"], "Ready");

    // A device that did not register for hosting cannot claim readiness.
    send(viewer, {{"type", "host.status"}, {"payload", {{"ready", true}, {"reason", "Ready"}}}});
    ASSERT_EQ(viewer.link->messages.size(), 1u);
    EXPECT_EQ(viewer.link->take()[0]["type"], "error");
    send(viewer, {{"type", "host.status"}, {"payload", {{"ready", false}, {"reason", "Hosting is disabled"}}}});
    EXPECT_TRUE(viewer.link->messages.empty()) << "withdrawing readiness is never an error";
    EXPECT_EQ(hostEntry(viewer.id)["reason"], "Hosting not offered");
    EXPECT_EQ(call("POST", "/v1/sessions", host.token, {{"host_id", viewer.id}}).status, 409);
    EXPECT_EQ(call("POST", "/v1/sessions", viewer.token, {{"host_id", viewer.id}}).status, 400);
    EXPECT_EQ(call("POST", "/v1/sessions", viewer.token, {{"host_id", "d_unknown"}}).status, 404);
    EXPECT_EQ(call("POST", "/v1/sessions", viewer.token, {{"host_id", "bad.id"}}).status, 400);

    const auto r = call("POST", "/v1/sessions", viewer.token, {{"host_id", host.id}});
    ASSERT_EQ(r.status, 201) << r.body;
    const auto info = readSessionInfo(json(r));
    EXPECT_EQ(info.hostId, host.id);
    EXPECT_EQ(info.clientId, viewer.id);
    EXPECT_EQ(hostEntry(host.id)["busy"], true);
    EXPECT_EQ(call("POST", "/v1/sessions", viewer.token, {{"host_id", host.id}}).status, 409) << "busy";
    ready(third);
    EXPECT_EQ(call("POST", "/v1/sessions", viewer.token, {{"host_id", third.id}}).status, 409) << "viewer busy";

    // Both members get session.start; their own state machines accept it.
    SignalingSession hostSide(host.id), viewerSide(viewer.id);
    hostSide.classify(parseWire(toCompactJson(Json{{"type", "hello"}, {"payload", {{"protocol", "murel/1"}, {"device_id", host.id}}}}), 1000));
    viewerSide.classify(parseWire(toCompactJson(Json{{"type", "hello"}, {"payload", {{"protocol", "murel/1"}, {"device_id", viewer.id}}}}), 1000));
    auto hostMsgs = host.link->take();
    auto viewerMsgs = viewer.link->take();
    ASSERT_EQ(hostMsgs.size(), 1u);
    ASSERT_EQ(viewerMsgs.size(), 1u);
    EXPECT_EQ(hostSide.classify(hostMsgs[0]).kind, SignalEventKind::SessionStart);
    EXPECT_EQ(viewerSide.classify(viewerMsgs[0]).kind, SignalEventKind::SessionStart);
    EXPECT_TRUE(third.link->take().empty());

    // Offer from host reaches only the viewer, byte for byte.
    const std::string offer = R"({"type":"offer","session_id":")" + info.id +
                              R"(","payload":{"sdp":"v=0\r\n","stream_request_id":"x"},"extra":[1,2]})";
    ASSERT_TRUE(service.receiveSignaling(host.link, offer));
    ASSERT_EQ(viewer.link->messages.size(), 1u);
    EXPECT_EQ(toCompactJson(viewer.link->messages[0]), toCompactJson(parseWire(offer, 100000)));
    EXPECT_EQ(viewer.link->texts[0], toCompactJson(parseWire(offer, 100000))) << "sent as the service read it";
    EXPECT_EQ(viewerSide.classify(viewer.link->take()[0]).kind, SignalEventKind::Description);
    EXPECT_TRUE(host.link->messages.empty());
    EXPECT_TRUE(third.link->messages.empty());

    // Wrong direction, bad candidate, foreign or unknown session: refused with an error, not relayed.
    send(viewer, {{"type", "offer"}, {"session_id", info.id}, {"payload", {{"sdp", "v=0"}}}});
    send(host, {{"type", "ice"}, {"session_id", info.id}, {"payload", {{"candidate", "c"}, {"line", 64}}}});
    send(host, {{"type", "ice"}, {"session_id", info.id}, {"payload", {{"candidate", ""}, {"line", 0}}}});
    send(third, {{"type", "ice"}, {"session_id", info.id}, {"payload", {{"candidate", "c"}, {"line", 0}}}});
    send(host, {{"type", "ice"}, {"session_id", "s_other"}, {"payload", {{"candidate", "c"}, {"line", 0}}}});
    send(host, {{"type", "bogus"}});
    send(host, {{"no_type", 1}});
    EXPECT_TRUE(viewer.link->messages.size() == 1 && viewer.link->messages[0]["type"] == "error");
    viewer.link->take();
    EXPECT_EQ(host.link->messages.size(), 5u);
    for (const auto& m : host.link->take()) EXPECT_EQ(m["type"], "error");
    ASSERT_EQ(third.link->messages.size(), 1u);
    EXPECT_EQ(third.link->take()[0]["type"], "error");

    send(viewer, {{"type", "answer"}, {"session_id", info.id}, {"payload", {{"sdp", "v=0"}}}});
    send(viewer, {{"type", "ice"}, {"session_id", info.id}, {"payload", {{"candidate", "candidate:1"}, {"mid", nullptr}, {"line", 0}}}});
    send(viewer, {{"type", "heartbeat"}});
    ASSERT_EQ(host.link->messages.size(), 2u);
    EXPECT_EQ(hostSide.classify(host.link->messages[0]).kind, SignalEventKind::Description);
    hostSide.takeQueuedCandidates(info.id);
    EXPECT_EQ(hostSide.classify(host.link->messages[1]).kind, SignalEventKind::Candidate);
    host.link->take();
    EXPECT_TRUE(viewer.link->messages.empty());

    // Only members may end it; the end reaches both.
    EXPECT_EQ(call("DELETE", "/v1/sessions/" + info.id, third.token).status, 403);
    EXPECT_EQ(call("DELETE", "/v1/sessions/" + info.id, host.token).status, 200);
    EXPECT_EQ(call("DELETE", "/v1/sessions/" + info.id, host.token).status, 404);
    EXPECT_EQ(hostSide.classify(host.link->take().at(0)).kind, SignalEventKind::SessionEnd);
    EXPECT_EQ(viewerSide.classify(viewer.link->take().at(0)).kind, SignalEventKind::SessionEnd);
    EXPECT_EQ(hostEntry(host.id)["busy"], false);

    // A member's disconnect ends the next session for the other.
    const auto again = call("POST", "/v1/sessions", viewer.token, {{"host_id", host.id}});
    ASSERT_EQ(again.status, 201);
    host.link->take();
    viewer.link->take();
    service.leaveSignaling(host.link);
    const auto end = viewer.link->take();
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0]["type"], "session.end");
    EXPECT_EQ(end[0]["session_id"], json(again)["id"]);
    EXPECT_EQ(hostEntry(host.id)["online"], false);
    EXPECT_EQ(service.sessionCount(), 0u);
    // Reconnecting is allowed once the old connection is gone.
    host.link = std::make_shared<FakeLink>();
    online(host);

    // On shutdown the service lets go of every connection it holds.
    ASSERT_EQ(call("POST", "/v1/sessions", viewer.token, {{"host_id", third.id}}).status, 201);
    service.detachAll();
    EXPECT_EQ(service.onlineCount(), 0u);
    EXPECT_EQ(service.sessionCount(), 0u);
    EXPECT_EQ(host.link.use_count(), 1);
    EXPECT_EQ(viewer.link.use_count(), 1);
}

TEST_F(ServiceTest, DeviceRemovalRevokesAndDisconnects) {
    const auto token = account();
    auto host = device(token, true);
    auto viewer = device(token, false);
    online(host);
    online(viewer);
    ready(host);
    ASSERT_EQ(call("POST", "/v1/sessions", viewer.token, {{"host_id", host.id}}).status, 201);
    viewer.link->take();
    const auto stranger = account("stranger@example.org");
    EXPECT_EQ(call("DELETE", "/v1/devices/" + host.id, stranger).status, 403);
    EXPECT_EQ(call("DELETE", "/v1/devices/d_nothing", token).status, 404);
    EXPECT_EQ(call("DELETE", "/v1/devices/" + host.id, token).status, 200);
    EXPECT_TRUE(host.link->disconnected);
    EXPECT_EQ(viewer.link->take().at(0)["type"], "session.end");
    EXPECT_EQ(call("GET", "/v1/hosts", host.token).status, 401);
    EXPECT_EQ(service.admitSignaling("Bearer " + host.token, std::make_shared<FakeLink>()).status, 401);
    // Messages still arriving on the dropped connection go nowhere.
    EXPECT_TRUE(service.receiveSignaling(host.link, R"({"type":"heartbeat"})"));
    service.leaveSignaling(host.link);
    EXPECT_EQ(json(call("GET", "/v1/hosts", viewer.token))["hosts"].size(), 1u);
    // Non-JSON text is the transport's cue to close.
    EXPECT_FALSE(service.receiveSignaling(viewer.link, "not json"));
    EXPECT_FALSE(service.receiveSignaling(viewer.link, "[1]"));
}

TEST_F(ServiceTest, IceServersCarryCoturnCredentials) {
    auto pc = device(account(), true);
    const auto reply = json(call("GET", "/v1/ice", pc.token));
    ASSERT_EQ(reply["ice_servers"].size(), 2u);
    const auto& turn = reply["ice_servers"][1];
    const auto expires = now.load() + 600;
    EXPECT_EQ(reply["expires_at"], expires);
    EXPECT_EQ(turn["username"], std::to_string(expires) + ":" + pc.id);
    EXPECT_EQ(turn["credential"], turnCredential("relay-secret", turn["username"].get<std::string>()));
    class Direct : public Http {
    public:
        explicit Direct(Json r) : reply_(std::move(r)) {}
        Json request(const HttpRequest&) override { return reply_; }
        Json reply_;
    } http(reply);
    const auto ice = requestIceServers(http, DeviceCredential{pc.id, pc.token, ""}, now.load());
    EXPECT_TRUE(ice.hasExpiry);
    ASSERT_EQ(ice.servers.size(), 2u);
    EXPECT_EQ(ice.servers[1].urls.size(), 2u);
}

// The service with small per-address allowances.
class LimitsTest : public ServiceTest {
public:
    LimitsTest() : ServiceTest(limits()) {}
    static ServiceConfig limits() {
        ServiceConfig c;
        c.registrationsPerAddress = 3;
        c.unauthenticatedPerSecond = 2;
        c.maxAccountTokens = 3;
        return c;
    }
    static Json credentials(const std::string& email) { return {{"email", email}, {"password", "correct horse battery"}}; }
    static std::string token(const ApiReply& reply) { return json(reply)["token"].get<std::string>(); }
};

TEST_F(LimitsTest, RegistrationsArePacedPerAddressAndATakenAddressCountsToo) {
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, credentials("one@example.org")).status, 201);
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, credentials("one@example.org")).status, 409) << "the program relies on 409";
    ++now;
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, credentials("two@example.org")).status, 201);
    ++now;
    const auto refused = call("POST", "/v1/auth/register", {}, credentials("three@example.org"));
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.retryAfter, 3600 - 2) << "until the first of the three leaves the hour";
    EXPECT_TRUE(parseWire(refused.body, kControlBodyLimit).contains("error"));
    // Invalid input is answered before it counts; other addresses are not affected.
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, {{"email", "bad"}, {"password", "correct horse battery"}}).status, 400);
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, credentials("three@example.org"), "10.0.0.2").status, 201);
    now += 3600 - 2;
    EXPECT_EQ(call("POST", "/v1/auth/register", {}, credentials("four@example.org")).status, 201);
}

TEST_F(LimitsTest, LiveSignInsPerAccountAreCappedOldestFirst) {
    const auto registered = call("POST", "/v1/auth/register", {}, credentials("cap@example.org"));
    ASSERT_EQ(registered.status, 201);
    std::vector<std::string> tokens{token(registered)};
    const auto device = call("POST", "/v1/devices", tokens[0], {{"name", "PC"}, {"platform", "linux"}, {"can_host", false}});
    ASSERT_EQ(device.status, 201);
    for (int i = 0; i < 3; ++i) {
        ++now;  // one request a second stays within the unauthenticated allowance
        const auto signedIn = call("POST", "/v1/auth/login", {}, credentials("cap@example.org"));
        ASSERT_EQ(signedIn.status, 200) << signedIn.body;
        tokens.push_back(token(signedIn));
    }
    EXPECT_EQ(call("POST", "/v1/auth/logout", tokens[0]).status, 401) << "the oldest sign-in was revoked";
    for (std::size_t i = 1; i < tokens.size(); ++i) EXPECT_EQ(call("POST", "/v1/auth/logout", tokens[i]).status, 200) << i;
    EXPECT_EQ(call("GET", "/v1/hosts", token(device)).status, 200) << "device tokens are not account sign-ins";
}

TEST_F(LimitsTest, RequestsWithoutAValidTokenArePacedPerAddress) {
    const auto registered = call("POST", "/v1/auth/register", {}, credentials("pace@example.org"), "10.9.9.9");
    ASSERT_EQ(registered.status, 201);
    const auto device = call("POST", "/v1/devices", token(registered), {{"name", "PC"}, {"platform", "linux"}, {"can_host", false}},
                             "10.9.9.9");
    ASSERT_EQ(device.status, 201);
    const std::string deviceToken = token(device);
    // Bursts of twice the rate, then the rate.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(call("GET", "/v1/hosts", "not-a-token").status, 401) << i;
    const auto refused = call("GET", "/v1/hosts", "not-a-token");
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.retryAfter, 1);
    EXPECT_EQ(call("POST", "/v1/auth/login", {}, credentials("pace@example.org")).status, 429) << "sign-in counts before hashing";
    EXPECT_EQ(call("GET", "/healthz").status, 429);
    EXPECT_EQ(service.admitSignaling("Bearer not-a-token", std::make_shared<FakeLink>(), "127.0.0.1").status, 429);
    // A valid token is never held back, and other addresses have their own allowance.
    EXPECT_EQ(call("GET", "/v1/hosts", deviceToken).status, 200);
    EXPECT_EQ(call("GET", "/v1/hosts", "not-a-token", nullptr, "10.0.0.2").status, 401);
    ++now;
    EXPECT_EQ(call("GET", "/v1/nothing").status, 404);
    EXPECT_EQ(call("GET", "/healthz").status, 200);
    EXPECT_EQ(call("GET", "/v1/nothing").status, 429);
}

TEST_F(ServiceTest, HealthCheck) {
    const auto health = call("GET", "/healthz");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(json(health), Json({{"status", "ok"}}));
    EXPECT_EQ(call("POST", "/healthz").status, 405);
}

TEST_F(ServiceTest, RelayedSignalsAreWhatWasCheckedAndDuplicateNamesAreRefused) {
    const auto token = account();
    auto host = device(token, true, "Host");
    auto viewer = device(token, false, "Viewer");
    online(host);
    online(viewer);
    ready(host);
    const auto r = call("POST", "/v1/sessions", viewer.token, {{"host_id", host.id}});
    ASSERT_EQ(r.status, 201);
    const std::string session = json(r)["id"].get<std::string>();
    host.link->take();
    viewer.link->take();

    // Spacing, member order and escapes of the sender's text do not reach the receiver.
    const std::string sent = "{ \"session_id\" : \"" + session +
                             "\", \"type\":\"offer\",\n \"payload\": {\"sdp\": \"v=0\\r\\n\", \"stream_request_id\": \"\\u0072\"} }";
    ASSERT_TRUE(service.receiveSignaling(host.link, sent));
    ASSERT_EQ(viewer.link->texts.size(), 1u);
    EXPECT_EQ(viewer.link->texts[0],
              R"({"payload":{"sdp":"v=0\r\n","stream_request_id":"r"},"session_id":")" + session + R"(","type":"offer"})");
    viewer.link->take();

    // A name given twice, at any depth, is refused: the receiver could read the other one.
    const std::vector<std::string> duplicated = {
        R"({"type":"ice","session_id":")" + session + R"(","payload":{"candidate":"c","line":0},"type":"offer"})",
        R"({"type":"offer","session_id":")" + session + R"(","session_id":"s_other","payload":{"sdp":"v=0"}})",
        R"({"type":"offer","session_id":")" + session + R"(","payload":{"sdp":"v=0","sdp":"v=1"}})",
        R"({"type":"offer","session_id":")" + session + R"(","payload":{"sdp":"v=0","x":[{"a":1,"\u0061":2}]}})",
    };
    for (const auto& text : duplicated) {
        ASSERT_TRUE(service.receiveSignaling(host.link, text)) << text;
        const auto answer = host.link->take();
        ASSERT_EQ(answer.size(), 1u) << text;
        EXPECT_EQ(answer[0]["type"], "error") << text;
    }
    EXPECT_TRUE(viewer.link->messages.empty());
    // The same names in different objects are fine.
    ASSERT_TRUE(service.receiveSignaling(
        host.link, R"({"type":"offer","session_id":")" + session + R"(","payload":{"sdp":"v=0","x":{"sdp":1}}})"));
    EXPECT_EQ(viewer.link->take().size(), 1u);
}

TEST(IceWithoutTurn, StunOnlyHasNoExpiry) {
    TempDir dir;
    ControlStore store(dir.path());
    ServiceConfig config;
    ControlService service(store, config, PasswordHasher(crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN));
    auto reg = service.handle({"POST", "/v1/auth/register", "", R"({"email":"a@b.c","password":"123456789012"})", "x"});
    ASSERT_EQ(reg.status, 201);
    const auto token = parseWire(reg.body, kControlBodyLimit)["token"].get<std::string>();
    auto dev = service.handle({"POST", "/v1/devices", "Bearer " + token, R"({"name":"a","platform":"linux","can_host":false})", "x"});
    ASSERT_EQ(dev.status, 201);
    const auto deviceToken = parseWire(dev.body, kControlBodyLimit)["token"].get<std::string>();
    const auto ice = parseWire(service.handle({"GET", "/v1/ice", "Bearer " + deviceToken, "", "x"}).body, kControlBodyLimit);
    EXPECT_EQ(ice, Json::parse(R"({"ice_servers":[]})"));
}

}  // namespace
}  // namespace murel
