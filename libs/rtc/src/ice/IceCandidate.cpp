#include "ice/IceCandidate.hpp"

#include <charconv>
#include <vector>

namespace rtc::impl {
namespace {

std::vector<std::string_view> splitSpaces(std::string_view s) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size() && out.size() < 64) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

template <typename T>
std::optional<T> number(std::string_view s) {
    T v{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool validFoundation(std::string_view f) {
    if (f.empty() || f.size() > 32) return false;
    for (char c : f) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '/';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

const char* IceCandidate::typeName(CandidateType type) {
    switch (type) {
        case CandidateType::Host:
            return "host";
        case CandidateType::ServerReflexive:
            return "srflx";
        case CandidateType::PeerReflexive:
            return "prflx";
        case CandidateType::Relayed:
            return "relay";
    }
    return "host";
}

uint32_t IceCandidate::typePreference(CandidateType type) {
    switch (type) {
        case CandidateType::Host:
            return 126;
        case CandidateType::PeerReflexive:
            return 110;
        case CandidateType::ServerReflexive:
            return 100;
        case CandidateType::Relayed:
            return 0;
    }
    return 0;
}

uint32_t IceCandidate::computePriority(CandidateType type, uint16_t localPreference,
                                       uint32_t component) {
    return (typePreference(type) << 24) + (uint32_t(localPreference) << 8) + (256 - component);
}

std::string IceCandidate::makeFoundation(CandidateType type, const Address& base,
                                         std::string_view server) {
    // FNV-1a over the inputs; only equality of foundations matters.
    uint32_t h = 2166136261u;
    auto mix = [&h](std::string_view s) {
        for (char c : s) {
            h ^= uint8_t(c);
            h *= 16777619u;
        }
    };
    mix(typeName(type));
    mix("|");
    mix(base.ip());
    mix("|");
    mix(server);
    return std::to_string(h);
}

std::string IceCandidate::toSdp() const {
    std::string s = "candidate:" + foundation + " " + std::to_string(component) + " UDP " +
                    std::to_string(priority) + " " + address.ip() + " " +
                    std::to_string(address.port()) + " typ " + typeName(type);
    if (related && type != CandidateType::Host)
        s += " raddr " + related->ip() + " rport " + std::to_string(related->port());
    return s;
}

std::optional<IceCandidate> IceCandidate::parse(std::string_view line) {
    if (line.size() > 1024) return std::nullopt;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.remove_suffix(1);
    if (line.substr(0, 2) == "a=") line.remove_prefix(2);
    if (line.substr(0, 10) == "candidate:") line.remove_prefix(10);
    auto f = splitSpaces(line);
    if (f.size() < 8 || f[6] != "typ") return std::nullopt;
    IceCandidate c;
    if (!validFoundation(f[0])) return std::nullopt;
    c.foundation = std::string(f[0]);
    auto component = number<uint32_t>(f[1]);
    auto priority = number<uint32_t>(f[3]);
    auto port = number<uint16_t>(f[5]);
    if (!component || *component < 1 || *component > 256 || !priority || *priority == 0 || !port ||
        *port == 0)
        return std::nullopt;
    if (!iequals(f[2], "udp")) return std::nullopt;
    auto address = Address::fromString(f[4], *port);
    if (!address || address->isAny()) return std::nullopt;
    c.component = *component;
    c.priority = *priority;
    c.address = *address;
    if (f[7] == "host")
        c.type = CandidateType::Host;
    else if (f[7] == "srflx")
        c.type = CandidateType::ServerReflexive;
    else if (f[7] == "prflx")
        c.type = CandidateType::PeerReflexive;
    else if (f[7] == "relay")
        c.type = CandidateType::Relayed;
    else
        return std::nullopt;

    std::optional<std::string_view> raddr;
    std::optional<uint16_t> rport;
    for (size_t i = 8; i + 1 < f.size(); i += 2) {
        if (f[i] == "raddr")
            raddr = f[i + 1];
        else if (f[i] == "rport")
            rport = number<uint16_t>(f[i + 1]);
        // generation, network-id, network-cost, ufrag, tcptype: not used
    }
    if (raddr && rport) {
        if (auto r = Address::fromString(*raddr, *rport)) c.related = *r;
    }
    return c;
}

}  // namespace rtc::impl
