// Bounded wire parsing must never crash, and whatever it accepts is an object whose compact form
// parses back to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/Wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    murel::Json value;
    try {
        value = murel::parseWire(text, murel::kControlBodyLimit);
    } catch (const murel::ProtocolError&) {
        return 0;
    }
    if (!value.is_object()) std::abort();
    // Re-parsing the compact form must give the same value.
    std::string compact;
    try {
        compact = murel::toCompactJson(value);
    } catch (const murel::Json::exception&) {
        std::abort();  // the parser accepted text the serialiser cannot write back
    }
    if (compact.size() <= murel::kControlBodyLimit && murel::parseWire(compact, murel::kControlBodyLimit) != value) {
        std::abort();
    }
    return 0;
}
