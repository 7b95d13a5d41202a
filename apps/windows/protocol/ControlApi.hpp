#pragma once
// The control-service requests: each builds one HttpRequest, sends it through murel::Http and turns
// the reply object into a checked record. Tokens and ids are checked before anything is sent, so a
// malformed one never reaches the wire.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Http.hpp"
#include "protocol/Wire.hpp"

namespace murel {

struct AccountCredential {
    std::string token;
    std::string userId;
    std::string expiresAt;  // kept as received, never interpreted

    bool operator==(const AccountCredential&) const = default;
};

struct DeviceCredential {
    std::string id;
    std::string token;
    std::string expiresAt;  // kept as received, never interpreted

    bool operator==(const DeviceCredential&) const = default;
};

struct HostInfo {
    std::string id;
    std::string name;
    std::string platform;
    bool online = false;
    bool ready = false;
    bool busy = false;
    std::string reason;

    bool operator==(const HostInfo&) const = default;
};

struct SessionInfo {
    std::string id;
    std::string hostId;
    std::string clientId;

    bool operator==(const SessionInfo&) const = default;
};

struct IceServer {
    std::vector<std::string> urls;
    std::string username;    // may be empty
    std::string credential;  // may be empty

    bool operator==(const IceServer&) const = default;
};

struct IceConfiguration {
    std::vector<IceServer> servers;
    std::int64_t expiresAt = 0;  // seconds since 1970-01-01 UTC; meaningful only with hasExpiry
    bool hasExpiry = false;

    bool operator==(const IceConfiguration&) const = default;
};

// Reads {"id","host_id","client_id"}: three identifiers, host and client distinct. Also used for the
// payload of a signaled session start.
SessionInfo readSessionInfo(const Json& object);

// Sign-up (POST /v1/auth/register) when signUp is true, otherwise sign-in (POST /v1/auth/login).
AccountCredential requestAuth(Http& http, bool signUp, std::string_view email, std::string_view password);

// POST /v1/auth/logout with the account token.
void requestLogout(Http& http, std::string_view accountToken);

// POST /v1/devices with the account token; registers this device under `platform` ("windows" for
// this program; the Linux front end says "linux"), able to host when canHost is set.
DeviceCredential requestDeviceRegistration(Http& http, std::string_view accountToken,
                                           std::string_view deviceName, bool canHost,
                                           std::string_view platform = "windows");

// DELETE /v1/devices/<deviceId> with the account token.
void requestDeviceRemoval(Http& http, std::string_view accountToken, std::string_view deviceId);

// GET /v1/hosts with the device token; at most 32 hosts, in reply order.
std::vector<HostInfo> requestHosts(Http& http, std::string_view deviceToken);

// POST /v1/sessions with the device token; the reservation must name this device as client and the
// requested host as host.
SessionInfo requestSession(Http& http, const DeviceCredential& device, std::string_view hostId);

// DELETE /v1/sessions/<sessionId> with the device token.
void requestSessionEnd(Http& http, const DeviceCredential& device, std::string_view sessionId);

// GET /v1/ice with the device token. nowSeconds is the current time in whole seconds since
// 1970-01-01 UTC; a reply whose expiry is not later than it is refused.
IceConfiguration requestIceServers(Http& http, const DeviceCredential& device, std::int64_t nowSeconds);

}  // namespace murel
