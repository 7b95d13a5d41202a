// Stream configurations arrive on the control channel: whatever parses must validate, write back
// to the same JSON and read back to the same configuration; nothing else may escape but ProtocolError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/StreamSettings.hpp"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void exercise(const murel::Json& value) {
    murel::StreamConfiguration configuration;
    try {
        configuration = murel::parseStreamConfiguration(value);
    } catch (const murel::ProtocolError&) {
        return;
    }
    murel::validateStreamConfiguration(configuration);  // must not throw
    check(configuration.hasHeight || configuration.height == 1080);
    const murel::Json written = murel::streamConfigurationJson(configuration, configuration.hasHeight);
    check(written == value);
    const std::string compact = murel::toCompactJson(written);
    check(compact.size() <= murel::kStreamMessageLimit);
    check(murel::parseStreamConfiguration(murel::parseWire(compact, murel::kStreamMessageLimit)) == configuration);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > murel::kStreamMessageLimit) return 0;
    // Stream-settings messages are parsed without exceptions; invalid JSON is simply not one.
    const murel::Json value = murel::Json::parse(data, data + size, nullptr, false);
    if (value.is_discarded()) return 0;
    exercise(value);
    // The same form travels as the "configuration" member of a request.
    if (value.is_object() && value.contains("configuration")) exercise(value["configuration"]);
    return 0;
}
