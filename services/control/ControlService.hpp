#pragma once
// The control service's rules, free of any network code: the REST operations under /v1/, the
// health check, the routing of signaling messages between the devices of an account, and the
// per-address limits on what clients without a valid token may ask. The transport hands every
// request and message in here and delivers what comes out. Every public operation is thread-safe;
// password hashing runs outside the lock so sign-ins do not stall signaling.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "AttemptLimiter.hpp"
#include "ControlStore.hpp"
#include "Crypto.hpp"
#include "Log.hpp"
#include "RateLimiter.hpp"
#include "protocol/Wire.hpp"

namespace murel {

struct ServiceConfig {
    std::vector<std::string> stunUrls;
    std::vector<std::string> turnUrls;
    std::string turnSecret;
    std::int64_t turnTtlSeconds = 86400;
    std::int64_t accountTokenSeconds = 30 * 86400;
    std::int64_t deviceTokenSeconds = 365 * 86400;
    std::size_t signInFailuresPerEmail = 5;
    std::size_t signInFailuresPerAddress = 30;
    std::int64_t signInWindowSeconds = 900;
    std::size_t registrationsPerAddress = 10;
    std::int64_t registrationWindowSeconds = 3600;
    // Requests without a valid token, per address and second; bursts of twice as many.
    std::size_t unauthenticatedPerSecond = 10;
    // Live account tokens per account; issuing one more revokes the oldest.
    std::size_t maxAccountTokens = 64;
};

struct ApiRequest {
    std::string method;
    std::string target;
    std::string authorization;  // the raw Authorization header value, empty when absent
    std::string body;
    std::string remote;  // the client's address (IPv4, or an IPv6 /64): the key of per-address limits
};

struct ApiReply {
    int status = 500;
    std::string body;            // compact JSON object
    std::int64_t retryAfter = 0;  // seconds, for a Retry-After header; 0: none
};

// One device's signaling connection as the transport exposes it. Both calls must return at once
// and must never call back into the service: the service calls them while holding its lock.
class SignalingLink {
public:
    virtual ~SignalingLink() = default;
    // Queues one text message for sending.
    virtual void deliver(std::string message) = 0;
    // Closes the connection; the transport still calls leaveSignaling afterwards.
    virtual void disconnect() = 0;
};

struct SignalingAdmission {
    int status = 401;  // 101 admitted, 401 bad token, 409 device already connected, 429 too many
    std::string deviceId;
    std::int64_t retryAfter = 0;
};

class ControlService {
public:
    using Clock = std::function<std::int64_t()>;  // Unix seconds
    using Logger = LogSink;

    ControlService(ControlStore& store, ServiceConfig config, PasswordHasher hasher, Clock clock = {},
                   Logger logger = {});

    ApiReply handle(const ApiRequest& request);

    // On 101 the link is registered and has been given the hello message. A refused token counts
    // against `remote`'s allowance of unauthenticated requests.
    SignalingAdmission admitSignaling(std::string_view authorization,
                                      const std::shared_ptr<SignalingLink>& link, std::string_view remote = {});
    // One received text message. False when the text is not a JSON object within the limit: the
    // transport closes the connection then. Offers, answers and candidates reach the other member
    // as the service read them, serialised again; a message with a member name twice is refused.
    bool receiveSignaling(const std::shared_ptr<SignalingLink>& link, std::string_view text);
    // The connection is gone: the device goes offline and its session ends.
    void leaveSignaling(const std::shared_ptr<SignalingLink>& link);

    // Drops expired tokens; call now and then.
    void housekeeping();

    // Forgets every connection and session without messages; the transport calls this on shutdown
    // so the connections die while their network objects are still usable.
    void detachAll();

    std::size_t onlineCount();
    std::size_t sessionCount();

private:
    struct Presence {
        std::shared_ptr<SignalingLink> link;
        std::string accountId;
        bool canHost = false;
        bool statusSeen = false;
        bool ready = false;
        std::string reason;
    };
    struct Session {
        std::string id;
        std::string hostId;
        std::string clientId;
    };
    struct Caller {
        std::string accountId;
        std::string deviceId;
        std::string digest;
    };

    ApiReply route(const ApiRequest& request, bool& authenticated);
    ApiReply health();
    ApiReply registerAccount(const ApiRequest& request);
    ApiReply login(const ApiRequest& request);
    ApiReply logout(const Caller& caller);
    ApiReply addDevice(const Caller& caller, const ApiRequest& request);
    ApiReply removeDevice(const Caller& caller, std::string_view deviceId);
    ApiReply listHosts(const Caller& caller);
    ApiReply reserveSession(const Caller& caller, const ApiRequest& request);
    ApiReply endSessionRequest(const Caller& caller, std::string_view sessionId);
    ApiReply iceServers(const Caller& caller);

    // Under the lock.
    std::optional<Caller> authenticate(std::string_view authorization, TokenKind kind);
    // Takes one unit of the address's allowance for unauthenticated requests; false when spent.
    bool admitUnauthenticated(const std::string& remote);
    ApiReply tooManyRequests(const std::string& remote, std::string_view what, std::int64_t retryAfter);
    ApiReply issueAccountToken(const std::string& accountId, int status);
    void endSession(const std::string& sessionId, std::string_view reason);
    void sendError(Presence& presence, std::string_view sessionId, std::string_view message);
    void relay(const std::string& deviceId, Presence& presence, const std::string& type,
               const std::string& sessionId, const Json& message);
    void log(LogLevel level, std::string_view line) const;

    ControlStore& store_;
    const ServiceConfig config_;
    const PasswordHasher hasher_;
    Clock clock_;
    Logger logger_;

    std::mutex mutex_;
    AttemptLimiter emailLimiter_;
    AttemptLimiter addressLimiter_;
    AttemptLimiter registrationLimiter_;
    RateLimiter unauthenticatedLimiter_;
    LogThrottle refusalLog_;
    std::unordered_map<std::string, Presence> presence_;           // by device id
    std::unordered_map<const SignalingLink*, std::string> linkDevice_;
    std::unordered_map<std::string, Session> sessions_;            // by session id
    std::unordered_map<std::string, std::string> deviceSession_;   // device id -> session id
};

}  // namespace murel
