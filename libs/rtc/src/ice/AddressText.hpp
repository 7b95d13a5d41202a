// The operating-system hooks behind Address's text form: posix/Socket.cpp or win/Socket.cpp
// defines them, and Address.cpp does the rest of the parsing and formatting.
#pragma once

#include "ice/Socket.hpp"

#include <cstdint>
#include <string>

namespace rtc::impl::addresstext {

// Numeric IP text (no zone) to 4 or 16 network-order bytes in `out`; false when it is not one.
bool parse(AddressFamily family, const std::string& text, uint8_t* out);
// 4 or 16 network-order bytes to numeric text.
std::string format(AddressFamily family, const uint8_t* bytes);
// The interface index of a named zone ("eth0"), or 0 where zones have no names or none matches.
uint32_t zoneIndexByName(const std::string& zone);

}  // namespace rtc::impl::addresstext
