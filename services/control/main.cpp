// murel-control: accounts, devices, sessions, relay credentials and signaling for Murel.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <sys/resource.h>

#include <sodium.h>

#include "ControlServer.hpp"
#include "ControlService.hpp"
#include "ControlStore.hpp"
#include "ServiceOptions.hpp"

namespace {

std::mutex logMutex;
murel::LogLevel logThreshold = murel::LogLevel::Info;

// "<UTC time with milliseconds> <level> <text>" on stderr, for levels up to the chosen one.
void logLine(murel::LogLevel level, std::string_view line) {
    if (level > logThreshold) return;
    const auto now = std::chrono::system_clock::now();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::string stamp = murel::isoUtc(seconds);
    stamp.insert(stamp.size() - 1, "." + std::string(millis < 100 ? (millis < 10 ? "00" : "0") : "") +
                                       std::to_string(millis));
    std::lock_guard lock(logMutex);
    std::cerr << stamp << ' ' << murel::logLevelName(level) << ' ' << line << '\n' << std::flush;
}

std::string readSecret(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read TURN secret file " + file.string());
    std::ostringstream buffer;
    buffer << in.rdbuf();
    std::string secret = buffer.str();
    const auto first = secret.find_first_not_of(" \t\r\n");
    const auto last = secret.find_last_not_of(" \t\r\n");
    std::string trimmed = first == std::string::npos ? std::string() : secret.substr(first, last - first + 1);
    murel::wipe(secret);
    if (trimmed.empty()) throw std::runtime_error("TURN secret file " + file.string() + " is empty");
    if (trimmed.size() > 4096) throw std::runtime_error("TURN secret longer than 4096 bytes");
    return trimmed;
}

void raiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    murel::ServiceOptions options;
    try {
        const char* dataHome = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        options = murel::parseServiceOptions(std::vector<std::string>(argv + 1, argv + argc),
                                             dataHome ? dataHome : "", home ? home : "");
    } catch (const std::exception& e) {
        std::cerr << "murel-control: " << e.what() << '\n';
        return 2;
    }
    if (options.help) {
        std::cout << murel::serviceUsage();
        return 0;
    }
    logThreshold = options.logLevel;
    try {
        if (sodium_init() < 0) throw std::runtime_error("libsodium initialisation failed");
        raiseFileLimit();
        murel::ServiceConfig config;
        config.stunUrls = options.stunUrls;
        config.turnUrls = options.turnUrls;
        config.turnTtlSeconds = options.turnTtlSeconds;
        config.registrationsPerAddress = options.registrationsPerHour;
        config.registrationWindowSeconds = 3600;
        config.unauthenticatedPerSecond = options.unauthenticatedPerSecond;
        config.maxAccountTokens = options.accountTokens;
        if (!options.turnSecretFile.empty()) config.turnSecret = readSecret(options.turnSecretFile);

        murel::ControlStore store(options.dataDir);
        logLine(murel::LogLevel::Info, "database " + (options.dataDir / "control.db").string() + " schema " +
                                           std::to_string(store.schemaVersion()));
        murel::PasswordHasher hasher = options.testFastHashes
                                           ? murel::PasswordHasher(crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN)
                                           : murel::PasswordHasher();
        if (options.testFastHashes) logLine(murel::LogLevel::Warning, "weak password hashing for tests");
        murel::ControlService service(store, std::move(config), std::move(hasher), {}, logLine);
        return murel::runControlServer(service, options, logLine);
    } catch (const std::exception& e) {
        logLine(murel::LogLevel::Error, std::string("fatal: ") + e.what());
        return 1;
    }
}
