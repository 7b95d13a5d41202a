#include "peer/IceServerList.hpp"

#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>

#include "protocol/Wire.hpp"

namespace murel {
namespace {

constexpr std::size_t kMaxServers = 16;
constexpr std::size_t kMaxUrls = 16;
constexpr std::size_t kMaxUrlBytes = 2048;
constexpr std::size_t kMaxSecretBytes = 1024;
constexpr std::uint64_t kMaxStun = 1;
constexpr std::uint64_t kMaxTurn = 2;

constexpr const char* kInvalidConfiguration = "Invalid ICE configuration";
constexpr const char* kInvalidUrl = "Invalid ICE server URL";

struct Scheme {
    bool turn;
    bool secure;
};

std::optional<Scheme> classify(std::string_view url) {
    if (url.starts_with("stuns:")) return Scheme{false, true};
    if (url.starts_with("turns:")) return Scheme{true, true};
    if (url.starts_with("turn:")) return Scheme{true, false};
    if (url.starts_with("stun:")) return Scheme{false, false};
    return std::nullopt;
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

using Identity = std::tuple<int, bool, int, std::string, std::uint16_t, std::string, std::string>;

}  // namespace

std::vector<rtc::IceServer> buildIceServerList(const std::vector<IceServer>& servers, IceCounters& counters) {
    throwUnless(servers.size() <= kMaxServers, kInvalidConfiguration);
    std::vector<rtc::IceServer> out;
    std::set<Identity> seen;
    for (const auto& server : servers) {
        throwUnless(!server.urls.empty() && server.username.size() <= kMaxSecretBytes &&
                        server.credential.size() <= kMaxSecretBytes,
                    kInvalidConfiguration);
        for (const auto& url : server.urls) {
            ++counters.urls;
            throwUnless(counters.urls <= kMaxUrls, kInvalidUrl);
            throwUnless(!url.empty() && url.size() <= kMaxUrlBytes, kInvalidUrl);
            for (const char c : url) {
                const auto byte = static_cast<unsigned char>(c);
                // No credentials inside URLs, no spaces, controls or non-ASCII.
                throwUnless(byte != '@' && byte >= 0x21 && byte <= 0x7E, kInvalidUrl);
            }
            const auto scheme = classify(url);
            throwUnless(scheme.has_value(), "Unsupported ICE URI scheme");
            if (scheme->turn)
                throwUnless(!server.username.empty() && !server.credential.empty(),
                            "TURN requires device credentials");
            std::optional<rtc::IceServer> entry;
            try {
                entry.emplace(url.starts_with("stuns:") ? "stun:" + url.substr(6) : url);
            } catch (const std::invalid_argument&) {
                throw ProtocolError(kInvalidUrl);
            }
            if (scheme->turn) {
                entry->username = server.username;
                entry->password = server.credential;
            }
            Identity identity{int(entry->type), scheme->secure, int(entry->relayType), lowerAscii(entry->hostname),
                              entry->port, entry->username, entry->password};
            if (!seen.insert(std::move(identity)).second) {
                ++counters.duplicates;
                continue;
            }
            const bool turn = entry->type == rtc::IceServer::Type::Turn;
            if (scheme->secure || (turn && entry->relayType != rtc::IceServer::RelayType::TurnUdp)) {
                ++counters.unsupported;
                continue;
            }
            std::uint64_t& used = turn ? counters.turnUsed : counters.stunUsed;
            if (used >= (turn ? kMaxTurn : kMaxStun)) {
                ++counters.overLimit;
                continue;
            }
            ++used;
            out.push_back(std::move(*entry));
        }
    }
    return out;
}

}  // namespace murel
