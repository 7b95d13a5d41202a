#include "protocol/ControlApi.hpp"

#include <limits>
#include <utility>

namespace murel {
namespace {

constexpr const char* kInvalidProtocolMessage = "Invalid protocol message";
constexpr std::size_t kIdentifierBytes = 256;
constexpr std::size_t kTokenBytes = 4096;
constexpr std::size_t kExpiryTextBytes = 128;
constexpr std::size_t kMaxHosts = 32;
constexpr std::size_t kMaxIceServers = 16;
constexpr std::size_t kMaxIceUrls = 16;
constexpr std::size_t kMaxIceUrlBytes = 2048;
constexpr std::size_t kMaxIceSecretBytes = 1024;

// Overwrites a string's bytes through a volatile pointer so the stores cannot be dropped as dead.
void wipe(std::string& text) noexcept {
    volatile char* bytes = text.data();
    for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
    text.clear();
}

void wipeStrings(Json& value) noexcept {
    if (value.is_string()) {
        wipe(value.get_ref<std::string&>());
    } else if (value.is_structured()) {
        for (auto& element : value) wipeStrings(element);
    }
}

// Request bodies carry passwords and replies carry tokens: both are wiped once the call is over,
// also when it fails.
class Exchange {
public:
    Exchange(std::string method, std::string path, std::string_view bearer, Json body = nullptr) {
        request_.method = std::move(method);
        request_.path = std::move(path);
        request_.bearer.assign(bearer);
        request_.body = std::move(body);
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;
    ~Exchange() {
        wipe(request_.bearer);
        wipeStrings(request_.body);
        wipeStrings(reply_);
    }

    const Json& send(Http& http) {
        reply_ = http.request(request_);
        wipe(request_.bearer);
        wipeStrings(request_.body);
        return reply_;
    }

private:
    HttpRequest request_;
    Json reply_;
};

bool hasPrefix(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

void checkIceUrl(std::string_view url, const IceServer& server, bool hasExpiry) {
    throwUnless(!url.empty() && url.size() <= kMaxIceUrlBytes, kInvalidProtocolMessage);
    for (const char c : url) {
        const auto u = static_cast<unsigned char>(c);
        throwUnless(u >= 0x21 && u <= 0x7E && u != '@', kInvalidProtocolMessage);
    }
    const bool turn = hasPrefix(url, "turn:") || hasPrefix(url, "turns:");
    const bool stun = hasPrefix(url, "stun:") || hasPrefix(url, "stuns:");
    throwUnless(turn || stun, "Unsupported ICE URI scheme");
    if (turn) {
        throwUnless(!server.username.empty() && !server.credential.empty() && hasExpiry,
                    "TURN requires expiring device credentials");
    }
}

// An optional string member: absent is empty; present must be a string within the limit.
std::string optionalString(const Json& object, std::string_view key, std::size_t maxBytes) {
    if (object.find(key) == object.end()) return {};
    return requireString(object, key, maxBytes);
}

void wipeSecrets(IceConfiguration& config) noexcept {
    for (auto& server : config.servers) {
        wipe(server.username);
        wipe(server.credential);
    }
}

void readIceConfiguration(const Json& reply, std::int64_t nowSeconds, IceConfiguration& config) {
    const auto list = reply.find("ice_servers");
    throwUnless(list != reply.end() && list->is_array() && list->size() <= kMaxIceServers,
                kInvalidProtocolMessage);

    const auto expiry = reply.find("expires_at");
    if (expiry != reply.end() && !expiry->is_null()) {
        throwUnless(isNonNegativeInteger(*expiry) &&
                        expiry->get<std::uint64_t>() <=
                            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()),
                    kInvalidProtocolMessage);
        config.expiresAt = static_cast<std::int64_t>(expiry->get<std::uint64_t>());
        config.hasExpiry = true;
        throwUnless(nowSeconds < config.expiresAt, "Relay credentials expired; reconnect to refresh");
    }

    std::size_t urlCount = 0;
    config.servers.reserve(list->size());
    for (const Json& element : *list) {
        throwUnless(element.is_object(), kInvalidProtocolMessage);
        const auto urls = element.find("urls");
        throwUnless(urls != element.end() && urls->is_array() && !urls->empty(), kInvalidProtocolMessage);

        // Added before its checks so that a failure wipes its relay credential with the rest.
        IceServer& server = config.servers.emplace_back();
        server.username = optionalString(element, "username", kMaxIceSecretBytes);
        server.credential = optionalString(element, "credential", kMaxIceSecretBytes);
        for (const Json& url : *urls) {
            ++urlCount;
            throwUnless(url.is_string() && urlCount <= kMaxIceUrls, kInvalidProtocolMessage);
            const auto& text = url.get_ref<const std::string&>();
            checkIceUrl(text, server, config.hasExpiry);
            server.urls.push_back(text);
        }
    }
}

}  // namespace

SessionInfo readSessionInfo(const Json& object) {
    SessionInfo session;
    session.id = requireString(object, "id", kIdentifierBytes);
    session.hostId = requireString(object, "host_id", kIdentifierBytes);
    session.clientId = requireString(object, "client_id", kIdentifierBytes);
    validateIdentifier(session.id);
    validateIdentifier(session.hostId);
    validateIdentifier(session.clientId);
    throwUnless(session.hostId != session.clientId, kInvalidProtocolMessage);
    return session;
}

AccountCredential requestAuth(Http& http, bool signUp, std::string_view email, std::string_view password) {
    Json body = Json::object();
    body["email"] = std::string(email);
    body["password"] = std::string(password);
    Exchange exchange("POST", signUp ? "/v1/auth/register" : "/v1/auth/login", {}, std::move(body));
    const Json& reply = exchange.send(http);

    AccountCredential account;
    try {
        account.token = requireString(reply, "token", kTokenBytes);
        account.userId = requireString(reply, "user_id", kIdentifierBytes);
        account.expiresAt = requireString(reply, "expires_at", kExpiryTextBytes);
        validateCredential(account.token);
        validateIdentifier(account.userId);
    } catch (...) {
        wipe(account.token);
        throw;
    }
    return account;
}

void requestLogout(Http& http, std::string_view accountToken) {
    validateCredential(accountToken);
    Exchange exchange("POST", "/v1/auth/logout", accountToken);
    exchange.send(http);
}

DeviceCredential requestDeviceRegistration(Http& http, std::string_view accountToken,
                                           std::string_view deviceName, bool canHost,
                                           std::string_view platform) {
    validateCredential(accountToken);
    Json body = Json::object();
    body["name"] = std::string(deviceName);
    body["platform"] = std::string(platform);
    body["can_host"] = canHost;
    Exchange exchange("POST", "/v1/devices", accountToken, std::move(body));
    const Json& reply = exchange.send(http);

    DeviceCredential device;
    try {
        device.id = requireString(reply, "id", kIdentifierBytes);
        device.token = requireString(reply, "token", kTokenBytes);
        device.expiresAt = requireString(reply, "expires_at", kExpiryTextBytes);
        validateIdentifier(device.id);
        validateCredential(device.token);
    } catch (...) {
        wipe(device.token);
        throw;
    }
    return device;
}

void requestDeviceRemoval(Http& http, std::string_view accountToken, std::string_view deviceId) {
    validateCredential(accountToken);
    validateIdentifier(deviceId);
    Exchange exchange("DELETE", "/v1/devices/" + std::string(deviceId), accountToken);
    exchange.send(http);
}

std::vector<HostInfo> requestHosts(Http& http, std::string_view deviceToken) {
    validateCredential(deviceToken);
    Exchange exchange("GET", "/v1/hosts", deviceToken);
    const Json& reply = exchange.send(http);

    const auto list = reply.find("hosts");
    throwUnless(list != reply.end() && list->is_array() && list->size() <= kMaxHosts,
                kInvalidProtocolMessage);
    std::vector<HostInfo> hosts;
    hosts.reserve(list->size());
    for (const Json& element : *list) {
        throwUnless(element.is_object(), kInvalidProtocolMessage);
        HostInfo host;
        host.id = requireString(element, "id", kIdentifierBytes);
        host.name = requireString(element, "name", 8192);
        host.platform = requireString(element, "platform", 32);
        host.online = requireBool(element, "online");
        host.ready = requireBool(element, "ready");
        host.busy = requireBool(element, "busy");
        host.reason = requireString(element, "reason", 256);
        validateIdentifier(host.id);
        hosts.push_back(std::move(host));
    }
    return hosts;
}

SessionInfo requestSession(Http& http, const DeviceCredential& device, std::string_view hostId) {
    validateCredential(device.token);
    validateIdentifier(hostId);
    Json body = Json::object();
    body["host_id"] = std::string(hostId);
    Exchange exchange("POST", "/v1/sessions", device.token, std::move(body));
    const Json& reply = exchange.send(http);

    SessionInfo session = readSessionInfo(reply);
    throwUnless(session.clientId == device.id && session.hostId == hostId, "Session membership mismatch");
    return session;
}

void requestSessionEnd(Http& http, const DeviceCredential& device, std::string_view sessionId) {
    validateCredential(device.token);
    validateIdentifier(sessionId);
    Exchange exchange("DELETE", "/v1/sessions/" + std::string(sessionId), device.token);
    exchange.send(http);
}

IceConfiguration requestIceServers(Http& http, const DeviceCredential& device, std::int64_t nowSeconds) {
    validateCredential(device.token);
    Exchange exchange("GET", "/v1/ice", device.token);
    const Json& reply = exchange.send(http);
    IceConfiguration config;
    try {
        readIceConfiguration(reply, nowSeconds, config);
    } catch (...) {
        wipeSecrets(config);
        throw;
    }
    return config;
}

}  // namespace murel
