// Feeds arbitrary text to the ICE server URL parser. What parses must describe a usable server, and
// the URL written back from its fields must parse to the same fields.
#include "rtc/Common.hpp"
#include "rtc/IceServer.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

std::string percentEncode(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                 c == '_' || c == '~';
    if (plain) {
      out += char(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string url(reinterpret_cast<const char*>(data), size);
  rtc::IceServer server("h", uint16_t(1));
  try {
    server = rtc::IceServer(url);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  if (server.hostname.empty() || server.port == 0) __builtin_trap();
  if (server.type == rtc::IceServer::Type::Stun && (!server.username.empty() || !server.password.empty())) __builtin_trap();

  using Relay = rtc::IceServer::RelayType;
  bool turn = server.type == rtc::IceServer::Type::Turn;
  std::string rebuilt = turn ? (server.relayType == Relay::TurnTls ? "turns:" : "turn:") : "stun:";
  if (!server.username.empty()) {
    rebuilt += percentEncode(server.username);
    if (!server.password.empty()) rebuilt += ":" + percentEncode(server.password);
    rebuilt += "@";
  }
  bool v6 = server.hostname.find(':') != std::string::npos;
  rebuilt += v6 ? "[" + server.hostname + "]" : server.hostname;
  rebuilt += ":" + std::to_string(server.port);
  if (server.relayType == Relay::TurnTcp) rebuilt += "?transport=tcp";

  // Percent-encoding can triple the user name and password: a rebuilt URL past the length bound is
  // refused for its length alone, which says nothing about the fields.
  if (rebuilt.size() > rtc::ICE_SERVER_URL_MAX_LENGTH) return 0;
  rtc::IceServer again(rebuilt);  // must not throw
  if (again.hostname != server.hostname || again.port != server.port || again.type != server.type ||
      again.relayType != server.relayType || again.username != server.username || again.password != server.password)
    __builtin_trap();
  return 0;
}
