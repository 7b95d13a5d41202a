#include "ServiceOptions.hpp"

#include <charconv>
#include <stdexcept>

namespace murel {
namespace {

constexpr std::size_t kMaxIceUrls = 16;

std::int64_t parsePositive(std::string_view text, std::string_view option, std::int64_t max) {
    std::int64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < 1 || value > max) {
        throw std::invalid_argument(std::string(option) + " needs a whole number from 1 to " +
                                    std::to_string(max));
    }
    return value;
}

}  // namespace

void parseListenAddress(std::string_view text, std::string& host, std::uint16_t& port) {
    std::string_view hostPart;
    std::string_view portPart;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            throw std::invalid_argument("--listen needs ADDR:PORT, e.g. 127.0.0.1:8480 or [::1]:8480");
        }
        hostPart = text.substr(1, close - 1);
        portPart = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon) {
            throw std::invalid_argument("--listen needs ADDR:PORT, e.g. 127.0.0.1:8480 or [::1]:8480");
        }
        hostPart = text.substr(0, colon);
        portPart = text.substr(colon + 1);
    }
    if (hostPart.empty()) throw std::invalid_argument("--listen needs an address");
    unsigned value = 0;
    const auto* end = portPart.data() + portPart.size();
    const auto [ptr, ec] = std::from_chars(portPart.data(), end, value);
    if (portPart.empty() || ec != std::errc() || ptr != end || value > 65535) {
        throw std::invalid_argument("--listen port must be 0 to 65535");
    }
    host.assign(hostPart);
    port = static_cast<std::uint16_t>(value);
}

bool isAcceptableIceUrl(std::string_view url) {
    if (url.empty() || url.size() > 2048) return false;
    for (const char c : url) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x21 || u > 0x7E || c == '@') return false;
    }
    for (const std::string_view scheme : {"stun:", "stuns:", "turn:", "turns:"}) {
        if (url.starts_with(scheme) && url.size() > scheme.size()) return true;
    }
    return false;
}

ServiceOptions parseServiceOptions(const std::vector<std::string>& args,
                                   std::string_view environmentDataHome,
                                   std::string_view environmentHome) {
    ServiceOptions options;
    bool ttlGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
            return args[++i];
        };
        auto count = [&](std::int64_t max) { return static_cast<std::size_t>(parsePositive(value(), arg, max)); };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--listen") {
            parseListenAddress(value(), options.listenHost, options.listenPort);
        } else if (arg == "--data") {
            options.dataDir = value();
            if (options.dataDir.empty()) throw std::invalid_argument("--data needs a directory");
        } else if (arg == "--tls-cert") {
            options.tlsCert = value();
        } else if (arg == "--tls-key") {
            options.tlsKey = value();
        } else if (arg == "--stun" || arg == "--turn") {
            const std::string& url = value();
            const bool stun = arg == "--stun";
            if (!isAcceptableIceUrl(url) ||
                (stun != (url.starts_with("stun:") || url.starts_with("stuns:")))) {
                throw std::invalid_argument(arg + " URL is not a valid " + (stun ? "stun:/stuns:" : "turn:/turns:") +
                                            " URL: " + url);
            }
            (stun ? options.stunUrls : options.turnUrls).push_back(url);
        } else if (arg == "--turn-secret") {
            options.turnSecretFile = value();
        } else if (arg == "--turn-ttl") {
            options.turnTtlSeconds = parsePositive(value(), arg, 7 * 86400);
            ttlGiven = true;
        } else if (arg == "--log-level") {
            const auto level = parseLogLevel(value());
            if (!level) throw std::invalid_argument("--log-level needs error, warning, info or debug");
            options.logLevel = *level;
        } else if (arg == "--max-connections") {
            options.maxConnections = count(1'000'000);
        } else if (arg == "--max-connections-per-address") {
            options.maxConnectionsPerAddress = count(1'000'000);
        } else if (arg == "--unauthenticated-rate") {
            options.unauthenticatedPerSecond = count(100'000);
        } else if (arg == "--registrations-per-hour") {
            options.registrationsPerHour = count(100'000);
        } else if (arg == "--account-tokens") {
            options.accountTokens = count(10'000);
        } else if (arg == "--hash-queue") {
            options.hashQueue = count(100'000);
        } else if (arg == "--test-fast-hashes") {
            options.testFastHashes = true;
        } else if (arg == "--test-idle-seconds") {
            options.signalingIdleSeconds = static_cast<int>(parsePositive(value(), arg, 3600));
        } else {
            throw std::invalid_argument("unknown option " + arg + " (see --help)");
        }
    }
    if (options.help) return options;
    if (options.maxConnectionsPerAddress > options.maxConnections) {
        throw std::invalid_argument("--max-connections-per-address cannot exceed --max-connections");
    }
    if (options.tlsCert.empty() != options.tlsKey.empty()) {
        throw std::invalid_argument("--tls-cert and --tls-key go together");
    }
    if (options.stunUrls.size() + options.turnUrls.size() > kMaxIceUrls) {
        throw std::invalid_argument("at most 16 --stun and --turn URLs in all");
    }
    if (!options.turnUrls.empty() && options.turnSecretFile.empty()) {
        throw std::invalid_argument("--turn needs --turn-secret");
    }
    if (options.turnUrls.empty() && (!options.turnSecretFile.empty() || ttlGiven)) {
        throw std::invalid_argument("--turn-secret and --turn-ttl need at least one --turn URL");
    }
    if (options.dataDir.empty()) {
        if (!environmentDataHome.empty()) {
            options.dataDir = std::filesystem::path(environmentDataHome) / "murel-control";
        } else if (!environmentHome.empty()) {
            options.dataDir =
                std::filesystem::path(environmentHome) / ".local" / "share" / "murel-control";
        } else {
            throw std::invalid_argument("no --data given and neither XDG_DATA_HOME nor HOME is set");
        }
    }
    return options;
}

std::string serviceUsage() {
    return R"(Usage: murel-control [options]

The Murel control service: accounts, devices, session reservations, relay (TURN)
credentials and the signaling WebSocket, over HTTP(S) under /v1/.

Options:
  --listen ADDR:PORT    address to listen on (default 127.0.0.1:8480; IPv6 as [::1]:8480;
                        port 0 picks a free port). Plain HTTP is refused on any address
                        that is not loopback: give --tls-cert and --tls-key for that.
  --data DIR            directory of the SQLite database control.db
                        (default $XDG_DATA_HOME/murel-control, else
                        ~/.local/share/murel-control). Created with mode 0700.
  --tls-cert FILE       PEM certificate chain; serves HTTPS and WSS
  --tls-key FILE        PEM private key of that certificate
  --stun URL            STUN server handed to devices (stun: or stuns:); repeatable
  --turn URL            TURN server handed to devices (turn: or turns:); repeatable;
                        needs --turn-secret
  --turn-secret FILE    file holding the shared secret configured in the TURN server
                        (coturn: use-auth-secret, static-auth-secret=...); surrounding
                        whitespace is ignored
  --turn-ttl SECONDS    lifetime of TURN credentials (default 86400)
  --log-level LEVEL     error, warning, info or debug (default info)
  -h, --help            this text

Limits (per address: an IPv4 address or an IPv6 /64):
  --max-connections N              connections held at once (default 16000)
  --max-connections-per-address N  connections one address may hold (default 64)
  --unauthenticated-rate N         requests per second per address without a valid
                                   token, bursts of twice as many (default 10); more
                                   get 429 with Retry-After
  --registrations-per-hour N       account registrations per address (default 10)
  --account-tokens N               live sign-ins per account; a new one beyond this
                                   revokes the oldest (default 64)
  --hash-queue N                   sign-ins and registrations waiting for a password
                                   hashing worker; more get 503 (default 64)

At most 16 STUN and TURN URLs in all. The server prints "listening on ADDR:PORT" once
it accepts connections, logs to stderr with a level on each line (info: one line per
request or connection event; refusals a client can repeat at will at most once a
second; never a password or token), and stops cleanly on SIGINT or SIGTERM.
GET /healthz answers 200 {"status":"ok"} while the service and its database work.
)";
}

}  // namespace murel
