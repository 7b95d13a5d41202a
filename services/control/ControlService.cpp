#include "ControlService.hpp"

#include <algorithm>
#include <chrono>

namespace murel {
namespace {

constexpr std::size_t kMaxDevicesPerAccount = 32;
constexpr std::size_t kMaxEmailBytes = 254;
constexpr std::size_t kMinPasswordBytes = 12;
constexpr std::size_t kMaxPasswordBytes = 72;
constexpr std::size_t kMaxDeviceNameChars = 80;
constexpr std::size_t kMaxReasonBytes = 256;
constexpr std::size_t kMaxSdpBytes = 98304;
constexpr std::size_t kMaxCandidateBytes = 8191;

ApiReply reply(int status, const Json& body) { return {status, toCompactJson(body)}; }
ApiReply failure(int status, std::string_view message) {
    return reply(status, Json{{"error", std::string(message)}});
}

// Thrown inside a handler to answer with a refusal.
struct Refusal {
    int status;
    const char* message;
};

Json parseBody(const ApiRequest& request) {
    try {
        return parseWire(request.body, kControlBodyLimit);
    } catch (const ProtocolError&) {
        throw Refusal{400, "Request body must be a JSON object"};
    }
}

std::string stringMember(const Json& body, const char* key, std::size_t maxBytes, const char* message) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_string()) throw Refusal{400, message};
    const auto& value = it->get_ref<const std::string&>();
    if (value.size() > maxBytes) throw Refusal{400, message};
    return value;
}

bool validEmail(std::string_view email) {
    if (email.size() > kMaxEmailBytes) return false;
    const auto at = email.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == email.size()) return false;
    if (email.find('@', at + 1) != std::string_view::npos) return false;
    for (const char c : email) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) return false;
    }
    return true;
}

std::string emailKey(std::string_view email) {
    std::string key(email);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

// 1..80 characters of valid UTF-8 (the JSON parser already checked the encoding), no controls.
bool validDeviceName(std::string_view name) {
    std::size_t characters = 0;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
        if ((u & 0xC0) != 0x80) ++characters;
    }
    return characters >= 1 && characters <= kMaxDeviceNameChars;
}

bool isIdentifier(std::string_view value) {
    try {
        validateIdentifier(value);
        return true;
    } catch (const ProtocolError&) {
        return false;
    }
}

// "Bearer <token>" with a token of the credential alphabet; empty when malformed.
std::string bearerToken(std::string_view authorization) {
    constexpr std::string_view kScheme = "bearer ";
    if (authorization.size() <= kScheme.size()) return {};
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        char c = authorization[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kScheme[i]) return {};
    }
    std::string token(authorization.substr(kScheme.size()));
    try {
        validateCredential(token);
    } catch (const ProtocolError&) {
        wipe(token);
        return {};
    }
    return token;
}

Json sessionPayload(const std::string& id, const std::string& hostId, const std::string& clientId) {
    return Json{{"id", id}, {"host_id", hostId}, {"client_id", clientId}};
}

// The checks the receiving device applies to a relayed signal, made here so that one device can
// never make the service deliver something that breaks the other's connection.
bool validSignalPayload(const std::string& type, const Json& message) {
    const auto payload = message.find("payload");
    if (payload == message.end() || !payload->is_object()) return false;
    if (toCompactJson(*payload).size() > kMaxSdpBytes) return false;
    if (type == "offer" || type == "answer") {
        const auto sdp = payload->find("sdp");
        return sdp != payload->end() && sdp->is_string() && !sdp->get_ref<const std::string&>().empty() &&
               sdp->get_ref<const std::string&>().size() <= kMaxSdpBytes;
    }
    const auto candidate = payload->find("candidate");
    if (candidate == payload->end() || !candidate->is_string()) return false;
    const auto& text = candidate->get_ref<const std::string&>();
    if (text.empty() || text.size() > kMaxCandidateBytes) return false;
    const auto line = payload->find("line");
    if (line == payload->end() || !isNonNegativeInteger(*line)) return false;
    if (line->is_number_unsigned() ? line->get<std::uint64_t>() >= 64 : line->get<std::int64_t>() >= 64) {
        return false;
    }
    const auto mid = payload->find("mid");
    if (mid != payload->end() && !mid->is_null()) {
        if (!mid->is_string() || mid->get_ref<const std::string&>().size() > 256) return false;
    }
    return true;
}

}  // namespace

ControlService::ControlService(ControlStore& store, ServiceConfig config, PasswordHasher hasher,
                               Clock clock, Logger logger)
    : store_(store),
      config_(std::move(config)),
      hasher_(std::move(hasher)),
      clock_(std::move(clock)),
      logger_(std::move(logger)),
      emailLimiter_(config_.signInFailuresPerEmail, config_.signInWindowSeconds),
      addressLimiter_(config_.signInFailuresPerAddress, config_.signInWindowSeconds),
      registrationLimiter_(config_.registrationsPerAddress, config_.registrationWindowSeconds),
      unauthenticatedLimiter_(config_.unauthenticatedPerSecond, 2 * config_.unauthenticatedPerSecond) {
    if (!clock_) {
        clock_ = [] {
            return std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                .count();
        };
    }
}

void ControlService::log(LogLevel level, std::string_view line) const {
    if (logger_) logger_(level, line);
}

bool ControlService::admitUnauthenticated(const std::string& remote) {
    std::lock_guard lock(mutex_);
    return unauthenticatedLimiter_.take(remote, clock_());
}

ApiReply ControlService::tooManyRequests(const std::string& remote, std::string_view what, std::int64_t retryAfter) {
    if (const auto held = refusalLog_.admit()) {
        std::string line = "refused " + std::string(what) + " from " + remote + ": 429";
        if (*held > 0) line += " (" + std::to_string(*held) + " more refusals since the last such line)";
        log(LogLevel::Warning, line);
    }
    ApiReply out = failure(429, "Too many requests; try again later");
    out.retryAfter = std::max<std::int64_t>(retryAfter, 1);
    return out;
}

ApiReply ControlService::handle(const ApiRequest& request) {
    // Sign-in, registration and the health check are unauthenticated by nature and are counted
    // before any work; any other request counts once it turns out to carry no valid token.
    const std::string_view target = request.target;
    const bool open = target == "/v1/auth/register" || target == "/v1/auth/login" || target == "/healthz";
    if (open && !admitUnauthenticated(request.remote)) {
        return tooManyRequests(request.remote, "unauthenticated requests", 1);
    }
    bool authenticated = false;
    ApiReply out = route(request, authenticated);
    if (!open && !authenticated && !admitUnauthenticated(request.remote)) {
        return tooManyRequests(request.remote, "unauthenticated requests", 1);
    }
    return out;
}

ApiReply ControlService::route(const ApiRequest& request, bool& authenticated) {
    try {
        const std::string_view target = request.target;
        if (target.find_first_of("?#") != std::string_view::npos) {
            return failure(400, "Query strings are not accepted");
        }
        const auto& method = request.method;
        auto only = [&](const char* allowed) -> std::optional<ApiReply> {
            if (method != allowed) return failure(405, "Method not allowed");
            return std::nullopt;
        };
        constexpr std::string_view kDevicesPrefix = "/v1/devices/";
        constexpr std::string_view kSessionsPrefix = "/v1/sessions/";

        if (target == "/v1/auth/register") {
            if (auto r = only("POST")) return *r;
            return registerAccount(request);
        }
        if (target == "/v1/auth/login") {
            if (auto r = only("POST")) return *r;
            return login(request);
        }

        if (target == "/healthz") {
            if (auto r = only("GET")) return *r;
            return health();
        }

        std::lock_guard lock(mutex_);
        auto as = [&](TokenKind kind) {
            auto caller = authenticate(request.authorization, kind);
            authenticated = caller.has_value();
            return caller;
        };
        auto asAccount = [&]() { return as(TokenKind::Account); };
        auto asDevice = [&]() { return as(TokenKind::Device); };
        const char* kUnauthorized = "Missing, invalid or expired token";

        if (target == "/v1/auth/logout") {
            if (auto r = only("POST")) return *r;
            const auto caller = asAccount();
            return caller ? logout(*caller) : failure(401, kUnauthorized);
        }
        if (target == "/v1/devices") {
            if (auto r = only("POST")) return *r;
            const auto caller = asAccount();
            return caller ? addDevice(*caller, request) : failure(401, kUnauthorized);
        }
        if (target.starts_with(kDevicesPrefix)) {
            if (auto r = only("DELETE")) return *r;
            const auto caller = asAccount();
            if (!caller) return failure(401, kUnauthorized);
            const auto id = target.substr(kDevicesPrefix.size());
            if (!isIdentifier(id)) return failure(400, "Invalid device id");
            return removeDevice(*caller, id);
        }
        if (target == "/v1/hosts") {
            if (auto r = only("GET")) return *r;
            const auto caller = asDevice();
            return caller ? listHosts(*caller) : failure(401, kUnauthorized);
        }
        if (target == "/v1/sessions") {
            if (auto r = only("POST")) return *r;
            const auto caller = asDevice();
            return caller ? reserveSession(*caller, request) : failure(401, kUnauthorized);
        }
        if (target.starts_with(kSessionsPrefix)) {
            if (auto r = only("DELETE")) return *r;
            const auto caller = asDevice();
            if (!caller) return failure(401, kUnauthorized);
            const auto id = target.substr(kSessionsPrefix.size());
            if (!isIdentifier(id)) return failure(400, "Invalid session id");
            return endSessionRequest(*caller, id);
        }
        if (target == "/v1/ice") {
            if (auto r = only("GET")) return *r;
            const auto caller = asDevice();
            return caller ? iceServers(*caller) : failure(401, kUnauthorized);
        }
        if (target == "/v1/signaling") return failure(400, "WebSocket upgrade required");
        return failure(404, "Not found");
    } catch (const Refusal& refusal) {
        return failure(refusal.status, refusal.message);
    } catch (const std::exception& e) {
        log(LogLevel::Error, std::string("internal error: ") + e.what());
        return failure(500, "Internal error");
    }
}

ApiReply ControlService::health() {
    try {
        std::lock_guard lock(mutex_);
        if (store_.schemaVersion() != ControlStore::kSchemaVersion) return failure(503, "Database unavailable");
    } catch (const std::exception& e) {
        log(LogLevel::Error, std::string("health check: ") + e.what());
        return failure(503, "Database unavailable");
    }
    return reply(200, Json{{"status", "ok"}});
}

std::optional<ControlService::Caller> ControlService::authenticate(std::string_view authorization,
                                                                   TokenKind kind) {
    std::string token = bearerToken(authorization);
    if (token.empty()) return std::nullopt;
    const std::string digest = sha256Hex(token);
    wipe(token);
    const auto record = store_.findToken(digest);
    if (!record || record->kind != kind) return std::nullopt;
    if (record->expiresAt <= clock_()) {
        store_.deleteToken(digest);
        return std::nullopt;
    }
    return Caller{record->accountId, record->deviceId, digest};
}

ApiReply ControlService::issueAccountToken(const std::string& accountId, int status) {
    const auto expires = clock_() + config_.accountTokenSeconds;
    std::string token = randomToken();
    store_.addToken(sha256Hex(token), TokenRecord{TokenKind::Account, accountId, {}, expires});
    const int revoked = store_.keepNewestAccountTokens(accountId, config_.maxAccountTokens);
    if (revoked > 0) log(LogLevel::Info, "oldest sign-in revoked user=" + accountId);
    ApiReply out = reply(status, Json{{"token", token}, {"user_id", accountId}, {"expires_at", isoUtc(expires)}});
    wipe(token);
    return out;
}

ApiReply ControlService::registerAccount(const ApiRequest& request) {
    Json body = parseBody(request);
    const std::string email = stringMember(body, "email", kMaxEmailBytes, "Invalid e-mail address");
    if (!validEmail(email)) return failure(400, "Invalid e-mail address");
    std::string password = stringMember(body, "password", 4096, "Password must be 12 to 72 bytes");
    wipe(body["password"].get_ref<std::string&>());
    if (password.size() < kMinPasswordBytes || password.size() > kMaxPasswordBytes) {
        wipe(password);
        return failure(400, "Password must be 12 to 72 bytes");
    }
    const std::string key = emailKey(email);
    const std::string addressKey = "r:" + request.remote;
    {
        std::lock_guard lock(mutex_);
        const auto now = clock_();
        if (registrationLimiter_.blocked(addressKey, now)) {
            wipe(password);
            return tooManyRequests(request.remote, "registrations", registrationLimiter_.retryAfter(addressKey, now));
        }
        registrationLimiter_.record(addressKey, now);
    }
    // The password is hashed whether or not the address is taken, so a taken address answers 409
    // only after the time a new account takes.
    std::string hash;
    try {
        hash = hasher_.hash(password);
    } catch (...) {
        wipe(password);
        throw;
    }
    wipe(password);
    std::lock_guard lock(mutex_);
    const std::string id = randomIdentifier("u_");
    if (!store_.createAccount(AccountRecord{id, key, hash}, clock_())) {
        return failure(409, "E-mail address already registered");
    }
    log(LogLevel::Info, "account registered user=" + id);
    return issueAccountToken(id, 201);
}

ApiReply ControlService::login(const ApiRequest& request) {
    Json body = parseBody(request);
    const std::string email = stringMember(body, "email", kMaxEmailBytes, "Invalid e-mail address");
    std::string password = stringMember(body, "password", 4096, "Invalid password");
    wipe(body["password"].get_ref<std::string&>());
    if (!validEmail(email) || password.size() < kMinPasswordBytes || password.size() > kMaxPasswordBytes) {
        wipe(password);
        return failure(400, "Invalid e-mail address or password");
    }
    const std::string emailKeyText = "e:" + emailKey(email);
    const std::string addressKey = "a:" + request.remote;
    std::optional<AccountRecord> account;
    {
        std::lock_guard lock(mutex_);
        const auto now = clock_();
        if (emailLimiter_.blocked(emailKeyText, now) || addressLimiter_.blocked(addressKey, now)) {
            wipe(password);
            const auto retryAfter = std::max(emailLimiter_.retryAfter(emailKeyText, now),
                                             addressLimiter_.retryAfter(addressKey, now));
            ApiReply out = tooManyRequests(request.remote, "sign-in after failures", retryAfter);
            out.body = toCompactJson(Json{{"error", "Too many failed sign-ins; try again later"}});
            return out;
        }
        account = store_.findAccountByEmail(emailKey(email));
    }
    bool ok = false;
    if (account) {
        ok = hasher_.verify(account->passwordHash, password);
    } else {
        hasher_.spendVerifyTime(password);
    }
    wipe(password);
    std::lock_guard lock(mutex_);
    if (!ok) {
        const auto now = clock_();
        emailLimiter_.record(emailKeyText, now);
        addressLimiter_.record(addressKey, now);
        return failure(401, "Wrong e-mail address or password");
    }
    emailLimiter_.reset(emailKeyText);
    return issueAccountToken(account->id, 200);
}

ApiReply ControlService::logout(const Caller& caller) {
    store_.deleteToken(caller.digest);
    return reply(200, Json::object());
}

ApiReply ControlService::addDevice(const Caller& caller, const ApiRequest& request) {
    const Json body = parseBody(request);
    const std::string name = stringMember(body, "name", kMaxDeviceNameChars * 4, "Invalid device name");
    if (!validDeviceName(name)) return failure(400, "Invalid device name");
    const std::string platform = stringMember(body, "platform", 16, "Invalid platform");
    if (platform != "windows" && platform != "linux" && platform != "macos") {
        return failure(400, "Invalid platform");
    }
    const auto canHost = body.find("can_host");
    if (canHost == body.end() || !canHost->is_boolean()) return failure(400, "Invalid can_host");
    if (static_cast<std::size_t>(store_.countDevices(caller.accountId)) >= kMaxDevicesPerAccount) {
        return failure(409, "Device limit reached");
    }
    const DeviceRecord device{randomIdentifier("d_"), caller.accountId, name, platform,
                              canHost->get<bool>()};
    const auto now = clock_();
    const auto expires = now + config_.deviceTokenSeconds;
    store_.addDevice(device, now);
    std::string token = randomToken();
    store_.addToken(sha256Hex(token), TokenRecord{TokenKind::Device, caller.accountId, device.id, expires});
    ApiReply out = reply(201, Json{{"id", device.id}, {"token", token}, {"expires_at", isoUtc(expires)}});
    wipe(token);
    log(LogLevel::Info, "device registered device=" + device.id + " user=" + caller.accountId);
    return out;
}

ApiReply ControlService::removeDevice(const Caller& caller, std::string_view deviceId) {
    const auto device = store_.findDevice(deviceId);
    if (!device) return failure(404, "Unknown device");
    if (device->accountId != caller.accountId) return failure(403, "Device belongs to another account");
    store_.removeDevice(device->id);
    const auto active = deviceSession_.find(device->id);
    if (active != deviceSession_.end()) endSession(active->second, "Device removed");
    const auto online = presence_.find(device->id);
    if (online != presence_.end()) {
        online->second.link->disconnect();
        linkDevice_.erase(online->second.link.get());
        presence_.erase(online);
    }
    log(LogLevel::Info, "device removed device=" + device->id);
    return reply(200, Json::object());
}

ApiReply ControlService::listHosts(const Caller& caller) {
    Json hosts = Json::array();
    for (const auto& device : store_.listDevices(caller.accountId)) {
        const auto online = presence_.find(device.id);
        const bool isOnline = online != presence_.end();
        const bool busy = deviceSession_.contains(device.id);
        bool ready = false;
        std::string reason;
        if (!isOnline) {
            reason = "Offline";
        } else if (!device.canHost) {
            reason = "Hosting not offered";
        } else if (!online->second.statusSeen) {
            reason = "Waiting for host status";
        } else {
            ready = online->second.ready;
            reason = online->second.reason;
        }
        hosts.push_back(Json{{"id", device.id},
                             {"name", device.name},
                             {"platform", device.platform},
                             {"online", isOnline},
                             {"ready", ready},
                             {"busy", busy},
                             {"reason", reason}});
    }
    return reply(200, Json{{"hosts", std::move(hosts)}});
}

ApiReply ControlService::reserveSession(const Caller& caller, const ApiRequest& request) {
    const Json body = parseBody(request);
    const std::string hostId = stringMember(body, "host_id", 256, "Invalid host_id");
    if (!isIdentifier(hostId)) return failure(400, "Invalid host_id");
    const auto host = store_.findDevice(hostId);
    if (!host) return failure(404, "Unknown host");
    if (host->accountId != caller.accountId) return failure(403, "Host belongs to another account");
    if (hostId == caller.deviceId) return failure(400, "A device cannot connect to itself");
    const auto client = presence_.find(caller.deviceId);
    if (client == presence_.end()) return failure(409, "This device is not connected to signaling");
    const auto hostPresence = presence_.find(hostId);
    if (hostPresence == presence_.end()) return failure(409, "Host is offline");
    if (!host->canHost || !hostPresence->second.ready) return failure(409, "Host is not ready");
    if (deviceSession_.contains(hostId)) return failure(409, "Host is busy");
    if (deviceSession_.contains(caller.deviceId)) return failure(409, "This device is already in a session");

    const Session session{randomIdentifier("s_"), hostId, caller.deviceId};
    sessions_.emplace(session.id, session);
    deviceSession_[session.hostId] = session.id;
    deviceSession_[session.clientId] = session.id;
    const Json payload = sessionPayload(session.id, session.hostId, session.clientId);
    const std::string start =
        toCompactJson(Json{{"type", "session.start"}, {"session_id", session.id}, {"payload", payload}});
    hostPresence->second.link->deliver(start);
    client->second.link->deliver(start);
    log(LogLevel::Info, "session started session=" + session.id + " host=" + session.hostId + " client=" + session.clientId);
    return reply(201, payload);
}

ApiReply ControlService::endSessionRequest(const Caller& caller, std::string_view sessionId) {
    const auto it = sessions_.find(std::string(sessionId));
    if (it == sessions_.end()) return failure(404, "Unknown session");
    if (it->second.hostId != caller.deviceId && it->second.clientId != caller.deviceId) {
        return failure(403, "Not a member of this session");
    }
    endSession(it->second.id, "Ended by request");
    return reply(200, Json::object());
}

void ControlService::endSession(const std::string& sessionId, std::string_view reason) {
    const auto it = sessions_.find(sessionId);
    if (it == sessions_.end()) return;
    const Session session = it->second;
    sessions_.erase(it);
    deviceSession_.erase(session.hostId);
    deviceSession_.erase(session.clientId);
    const std::string end = toCompactJson(
        Json{{"type", "session.end"}, {"session_id", session.id}, {"payload", {{"reason", std::string(reason)}}}});
    for (const auto* member : {&session.hostId, &session.clientId}) {
        const auto online = presence_.find(*member);
        if (online != presence_.end()) online->second.link->deliver(end);
    }
    log(LogLevel::Info, "session ended session=" + session.id + " (" + std::string(reason) + ")");
}

ApiReply ControlService::iceServers(const Caller& caller) {
    Json servers = Json::array();
    if (!config_.stunUrls.empty()) servers.push_back(Json{{"urls", config_.stunUrls}});
    Json out;
    if (!config_.turnUrls.empty()) {
        const auto expires = clock_() + config_.turnTtlSeconds;
        const std::string username = std::to_string(expires) + ":" + caller.deviceId;
        std::string credential = turnCredential(config_.turnSecret, username);
        servers.push_back(Json{{"urls", config_.turnUrls}, {"username", username}, {"credential", credential}});
        wipe(credential);
        out["expires_at"] = expires;
    }
    out["ice_servers"] = std::move(servers);
    return reply(200, out);
}

SignalingAdmission ControlService::admitSignaling(std::string_view authorization,
                                                  const std::shared_ptr<SignalingLink>& link, std::string_view remote) {
    std::lock_guard lock(mutex_);
    const auto caller = authenticate(authorization, TokenKind::Device);
    if (!caller) {
        if (!unauthenticatedLimiter_.take(std::string(remote), clock_())) {
            const ApiReply refused = tooManyRequests(std::string(remote), "signaling upgrades", 1);
            return {429, {}, refused.retryAfter};
        }
        return {401, {}};
    }
    if (presence_.contains(caller->deviceId)) return {409, caller->deviceId};
    const auto device = store_.findDevice(caller->deviceId);
    if (!device) return {401, {}};
    presence_.emplace(caller->deviceId, Presence{link, caller->accountId, device->canHost, false, false, {}});
    linkDevice_[link.get()] = caller->deviceId;
    link->deliver(toCompactJson(
        Json{{"type", "hello"}, {"payload", {{"protocol", "murel/1"}, {"device_id", caller->deviceId}}}}));
    log(LogLevel::Info, "signaling open device=" + caller->deviceId);
    return {101, caller->deviceId};
}

void ControlService::sendError(Presence& presence, std::string_view sessionId, std::string_view message) {
    Json error{{"type", "error"}, {"payload", {{"message", std::string(message)}}}};
    if (!sessionId.empty()) error["session_id"] = std::string(sessionId);
    presence.link->deliver(toCompactJson(error));
}

bool ControlService::receiveSignaling(const std::shared_ptr<SignalingLink>& link, std::string_view text) {
    Json message;
    bool duplicates = false;
    try {
        message = parseWireUnique(text, kSignalingMessageLimit);
    } catch (const ProtocolError& e) {
        // A name given twice is refused with an error; anything else that is no JSON object closes.
        if (std::string_view(e.what()) != kDuplicateMemberName) return false;
        duplicates = true;
    }
    std::lock_guard lock(mutex_);
    const auto owner = linkDevice_.find(link.get());
    if (owner == linkDevice_.end()) return true;  // already detached; the close is under way
    const std::string deviceId = owner->second;
    Presence& presence = presence_.at(deviceId);
    if (duplicates) {
        sendError(presence, {}, "Duplicate member names are not accepted");
        return true;
    }

    const auto type = message.find("type");
    if (type == message.end() || !type->is_string() || type->get_ref<const std::string&>().size() > 32) {
        sendError(presence, {}, "Invalid protocol message");
        return true;
    }
    std::string sessionId;
    const auto sid = message.find("session_id");
    if (sid != message.end() && !sid->is_null()) {
        if (!sid->is_string() || sid->get_ref<const std::string&>().size() > 256) {
            sendError(presence, {}, "Invalid protocol message");
            return true;
        }
        sessionId = sid->get<std::string>();
    }
    const std::string& kind = type->get_ref<const std::string&>();
    if (kind == "heartbeat") return true;
    if (kind == "host.status") {
        const auto payload = message.find("payload");
        if (payload == message.end() || !payload->is_object()) {
            sendError(presence, {}, "Invalid host status");
            return true;
        }
        const auto ready = payload->find("ready");
        const auto reason = payload->find("reason");
        if (ready == payload->end() || !ready->is_boolean() || reason == payload->end() ||
            !reason->is_string() || reason->get_ref<const std::string&>().size() > kMaxReasonBytes) {
            sendError(presence, {}, "Invalid host status");
            return true;
        }
        if (!presence.canHost) {
            // Withdrawing readiness is harmless (a viewer switching hosting off says so); claiming
            // it is refused, since this device was not registered to host.
            if (ready->get<bool>()) sendError(presence, {}, "This device is not registered for hosting");
            return true;
        }
        presence.statusSeen = true;
        presence.ready = ready->get<bool>();
        presence.reason = reason->get<std::string>();
        return true;
    }
    if (kind == "offer" || kind == "answer" || kind == "ice") {
        relay(deviceId, presence, kind, sessionId, message);
        return true;
    }
    sendError(presence, sessionId, "Unsupported signaling message");
    return true;
}

void ControlService::relay(const std::string& deviceId, Presence& presence, const std::string& type,
                           const std::string& sessionId, const Json& message) {
    const auto it = sessions_.find(sessionId);
    if (sessionId.empty() || it == sessions_.end() ||
        (it->second.hostId != deviceId && it->second.clientId != deviceId)) {
        sendError(presence, sessionId, "Unknown session");
        return;
    }
    const bool fromHost = it->second.hostId == deviceId;
    if ((type == "offer" && !fromHost) || (type == "answer" && fromHost)) {
        sendError(presence, sessionId, "Unexpected SDP direction");
        return;
    }
    if (!validSignalPayload(type, message)) {
        sendError(presence, sessionId, "Invalid signaling payload");
        return;
    }
    const std::string& peerId = fromHost ? it->second.clientId : it->second.hostId;
    const auto peer = presence_.find(peerId);
    if (peer == presence_.end()) {
        sendError(presence, sessionId, "Peer is offline");
        return;
    }
    // What was checked is what is sent, never the sender's own text.
    peer->second.link->deliver(toCompactJson(message));
}

void ControlService::leaveSignaling(const std::shared_ptr<SignalingLink>& link) {
    std::lock_guard lock(mutex_);
    const auto owner = linkDevice_.find(link.get());
    if (owner == linkDevice_.end()) return;
    const std::string deviceId = owner->second;
    linkDevice_.erase(owner);
    const auto active = deviceSession_.find(deviceId);
    if (active != deviceSession_.end()) endSession(active->second, "Peer disconnected");
    presence_.erase(deviceId);
    log(LogLevel::Info, "signaling closed device=" + deviceId);
}

void ControlService::housekeeping() {
    std::lock_guard lock(mutex_);
    const int removed = store_.deleteExpiredTokens(clock_());
    if (removed > 0) log(LogLevel::Info, "expired tokens removed: " + std::to_string(removed));
}

void ControlService::detachAll() {
    std::unordered_map<std::string, Presence> released;
    {
        std::lock_guard lock(mutex_);
        released.swap(presence_);
        linkDevice_.clear();
        sessions_.clear();
        deviceSession_.clear();
    }
    // The links are released here, outside the lock.
}

std::size_t ControlService::onlineCount() {
    std::lock_guard lock(mutex_);
    return presence_.size();
}

std::size_t ControlService::sessionCount() {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

}  // namespace murel
