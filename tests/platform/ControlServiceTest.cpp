// The Linux HTTP client and signaling socket against the real murel-control on loopback.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <vector>
#include <filesystem>
#include <regex>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Backend.hpp"
#include "LinuxBackend.hpp"
#include "TestServer.hpp"
#include "platform/HttpClient.hpp"
#include "platform/SignalingSocket.hpp"
#include "protocol/ControlApi.hpp"

#ifndef MUREL_CONTROL_BINARY
#error "MUREL_CONTROL_BINARY must name the murel-control executable"
#endif

namespace murel::test {
namespace {

namespace fs = std::filesystem;

// Runs murel-control on an ephemeral loopback port with a private data directory; stops it with
// SIGTERM (SIGKILL if it lingers) and removes the directory.
class ControlProcess {
public:
    explicit ControlProcess(std::vector<std::string> extraArgs = {}, std::string name = "plain") {
        data_ = fs::path(::testing::TempDir()) / ("murel-control-" + name + "-" + std::to_string(::getpid()));
        fs::remove_all(data_);
        fs::create_directories(data_);
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        // Everything the child needs is prepared before fork: it only redirects and execs.
        std::vector<std::string> args = {MUREL_CONTROL_BINARY, "--listen", "127.0.0.1:0", "--data",
                                          data_.string()};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::dup2(pipeFds[1], 1);
            ::dup2(pipeFds[1], 2);
            ::execv(MUREL_CONTROL_BINARY, argv.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        output_ = pipeFds[0];
        reader_ = std::thread([this] { drain(); });
        if (!waitFor([this] { return port() != 0 || exited_.load(); }, std::chrono::seconds(20)) ||
            port() == 0) {
            stop();
            throw std::runtime_error("murel-control did not start:\n" + log());
        }
    }

    ~ControlProcess() { stop(); }

    std::uint16_t port() {
        std::lock_guard<std::mutex> guard(lock_);
        return port_;
    }
    std::string log() {
        std::lock_guard<std::mutex> guard(lock_);
        return log_;
    }
    ServerOrigin origin(const std::string& scheme = "http", const std::string& host = "127.0.0.1") {
        return parseServerOrigin(scheme + "://" + host + ":" + std::to_string(port()));
    }
    const fs::path& data() const { return data_; }

private:
    void drain() {
        char buffer[4096];
        static const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+))");
        for (;;) {
            const ssize_t n = ::read(output_, buffer, sizeof buffer);
            if (n <= 0) break;
            std::lock_guard<std::mutex> guard(lock_);
            log_.append(buffer, static_cast<std::size_t>(n));
            std::smatch match;
            if (port_ == 0 && std::regex_search(log_, match, listening)) {
                port_ = static_cast<std::uint16_t>(std::stoi(match[1].str()));
            }
        }
        exited_ = true;
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (!waitFor([this] { return exited_.load(); }, std::chrono::seconds(10))) ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
        if (output_ >= 0) ::close(output_);
        output_ = -1;
        std::error_code ignored;
        fs::remove_all(data_, ignored);
    }

    fs::path data_;
    pid_t pid_ = -1;
    int output_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::string log_;
    std::uint16_t port_ = 0;
    std::atomic<bool> exited_{false};
};

class ControlServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            control = new ControlProcess();
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
    void SetUp() override { ASSERT_NE(control, nullptr) << "murel-control is not running"; }
    static void TearDownTestSuite() {
        delete control;
        control = nullptr;
    }

    std::unique_ptr<Http> http() {
        return std::make_unique<HttpClient>(LinuxBackend::makeHttpTransport(control->origin(), std::chrono::seconds(15)));
    }

    // A fresh account with one host-capable device.
    std::pair<AccountCredential, DeviceCredential> enrol(const std::string& name) {
        auto client = http();
        const AccountCredential account =
            requestAuth(*client, true, name + "@example.com", "correct horse battery");
        const DeviceCredential device = requestDeviceRegistration(*client, account.token, "pc-" + name, true);
        return {account, device};
    }

    static ControlProcess* control;
};

ControlProcess* ControlServiceTest::control = nullptr;

TEST_F(ControlServiceTest, RequestRoundTripAndRefusal) {
    auto client = http();
    const auto [account, device] = enrol("roundtrip");
    const AccountCredential again = requestAuth(*client, false, "roundtrip@example.com", "correct horse battery");
    EXPECT_EQ(again.userId, account.userId);
    const auto hosts = requestHosts(*client, device.token);
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].id, device.id);

    try {
        requestHosts(*client, "not-a-valid-token");
        ADD_FAILURE() << "an unknown token was accepted";
    } catch (const ProtocolError& e) {
        EXPECT_STREQ(e.what(), "Control API returned HTTP 401");
    }
}

TEST_F(ControlServiceTest, SignalingHelloHeartbeatAndCleanClose) {
    const auto [account, device] = enrol("signaling");
    ManualClock clock;
    SocketEvents events;
    auto socket = std::make_unique<SignalingSocket>(LinuxBackend::makeWebSocketTransport(control->origin()),
                                                    device.token, events.messageHandler(),
                                                    events.failureHandler(), clock);
    ASSERT_TRUE(waitFor([&] { return !events.messages().empty(); }));
    const Json hello = events.messages()[0];
    EXPECT_EQ(hello["type"], "hello");
    EXPECT_EQ(hello["payload"]["protocol"], "murel/1");
    EXPECT_EQ(hello["payload"]["device_id"], device.id);

    // The heartbeat leaves at 15 s; then a malformed status draws an error. The service handles a
    // connection's messages in order, so that error being the only reply shows the heartbeat was
    // received and accepted quietly.
    clock.advance(std::chrono::seconds(15));
    ASSERT_TRUE(socket->send({{"type", "host.status"}, {"payload", {{"ready", "yes"}}}}));
    ASSERT_TRUE(waitFor([&] { return events.messages().size() >= 2; }));
    const auto messages = events.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1]["type"], "error");
    EXPECT_TRUE(events.failures().empty());

    // A second connection of the same device is refused while the first is live...
    try {
        SignalingSocket second(LinuxBackend::makeWebSocketTransport(control->origin()), device.token,
                               [](Json) {}, [](const std::string&) {});
        ADD_FAILURE() << "a second live connection was accepted";
    } catch (const SignalingUpgradeRejected& e) {
        EXPECT_STREQ(e.what(), "Signaling upgrade rejected; sign in again or disconnect the other instance");
        EXPECT_EQ(e.status(), kUpgradeConflict);
    }

    // ...and accepted once the first closed cleanly.
    socket->close();
    EXPECT_TRUE(events.failures().empty());
    socket.reset();
    std::unique_ptr<SignalingSocket> next;
    ASSERT_TRUE(waitFor([&] {
        try {
            next = std::make_unique<SignalingSocket>(LinuxBackend::makeWebSocketTransport(control->origin()),
                                                     device.token, [](Json) {}, [](const std::string&) {});
            return true;
        } catch (const ProtocolError&) {
            return false;
        }
    }));
    next->close();

    // A refused upgrade: a token the service does not know.
    try {
        SignalingSocket refused(LinuxBackend::makeWebSocketTransport(control->origin()), "unknown-token",
                                [](Json) {}, [](const std::string&) {});
        ADD_FAILURE() << "an unknown token was upgraded";
    } catch (const SignalingUpgradeRejected& e) {
        EXPECT_STREQ(e.what(), "Signaling upgrade rejected; sign in again or disconnect the other instance");
        EXPECT_EQ(e.status(), kUpgradeUnauthorized);
    }
}

// HTTPS and WSS with a certificate made for the test: trusted only when its anchor is given, and
// only for the name it was issued to.
class ControlServiceTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new fs::path(fs::path(::testing::TempDir()) / ("murel-tls-" + std::to_string(::getpid())));
        fs::remove_all(*dir);
        fs::create_directories(*dir);
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
            "-subj /CN=murel-test -addext subjectAltName=IP:127.0.0.1 -keyout " +
            (*dir / "key.pem").string() + " -out " + (*dir / "cert.pem").string() + " 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        try {
            control = new ControlProcess({"--tls-cert", (*dir / "cert.pem").string(), "--tls-key",
                                          (*dir / "key.pem").string()},
                                         "tls");
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
    void SetUp() override { ASSERT_NE(control, nullptr) << "murel-control is not running"; }
    static void TearDownTestSuite() {
        delete control;
        control = nullptr;
        fs::remove_all(*dir);
        delete dir;
    }

    static std::string failureOf(const ServerOrigin& origin, const std::string& ca) {
        TransportOptions options;
        options.extraCaFile = ca;
        HttpClient client(makeBeastHttpTransport(origin, options));
        try {
            requestHosts(client, "unknown-token");
        } catch (const ProtocolError& e) {
            return e.what();
        }
        return {};
    }

    static fs::path* dir;
    static ControlProcess* control;
};

fs::path* ControlServiceTlsTest::dir = nullptr;
ControlProcess* ControlServiceTlsTest::control = nullptr;

TEST_F(ControlServiceTlsTest, CertificateAndNameAreVerified) {
    const std::string ca = (*dir / "cert.pem").string();
    // Trusted and matching: the request reaches the service, which refuses the token.
    EXPECT_EQ(failureOf(control->origin("https"), ca), "Control API returned HTTP 401");
    // Not trusted.
    const std::string untrusted = failureOf(control->origin("https"), "");
    EXPECT_EQ(untrusted.rfind("Send HTTP request failed", 0), 0u) << untrusted;
    // Trusted, but issued for another name.
    const std::string mismatch = failureOf(control->origin("https", "localhost"), ca);
    EXPECT_EQ(mismatch.rfind("Send HTTP request failed", 0), 0u) << mismatch;
}

TEST_F(ControlServiceTlsTest, SecureSignalingDeliversHello) {
    TransportOptions options;
    options.extraCaFile = (*dir / "cert.pem").string();
    HttpClient client(makeBeastHttpTransport(control->origin("https"), options));
    const AccountCredential account = requestAuth(client, true, "tls@example.com", "correct horse battery");
    const DeviceCredential device = requestDeviceRegistration(client, account.token, "tls-pc", false);
    SocketEvents events;
    SignalingSocket socket(makeBeastWebSocketTransport(control->origin("https"), options), device.token,
                           events.messageHandler(), events.failureHandler());
    ASSERT_TRUE(waitFor([&] { return !events.messages().empty(); }));
    EXPECT_EQ(events.messages()[0]["payload"]["device_id"], device.id);
    socket.close();
    EXPECT_TRUE(events.failures().empty());
}

}  // namespace
}  // namespace murel::test
