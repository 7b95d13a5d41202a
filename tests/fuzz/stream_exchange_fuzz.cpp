// Control-channel messages from the other peer, as both roles of the stream-settings exchange see
// them: nothing may throw out of the handler (failures of the host's rebuild become a refusal),
// every reply is one of the two answers carrying a valid request id, and the viewer's state changes
// only as its rules allow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "app/StreamSettingsExchange.hpp"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

class Link final : public murel::app::StreamSettingsLink {
public:
    bool sendControl(std::string_view message) override {
        const murel::Json sent = murel::Json::parse(message);
        const std::string kind = sent.at("kind").get<std::string>();
        check(kind == "stream.rejected" || kind == "stream.applied" || kind == "stream.capabilities" ||
              kind == "stream.modes");
        if (kind == "stream.rejected") check(murel::parseRequestId(sent.at("requestID")).has_value());
        ++sends;
        return true;
    }
    const std::optional<murel::StreamModes>& ownModes() override { return modes; }
    void rebuildMedia(const murel::StreamConfiguration& configuration, const std::string& requestId) override {
        murel::validateStreamConfiguration(configuration);
        check(!configuration.systemAudio);
        check(murel::parseRequestId(murel::Json(requestId)) == requestId);
        if (configuration.fps == 45) throw murel::ProtocolError("Encoder refused the mode");
        ++rebuilds;
    }
    void renegotiate() override {}

    std::optional<murel::StreamModes> modes;
    int sends = 0;
    int rebuilds = 0;
};

murel::GuidSource ids() {
    return []() -> std::optional<murel::Guid> { return murel::Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}; };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    static const murel::StreamModes offered = murel::buildStreamModes(2560, 1440, 144);
    Link link;
    link.modes = offered;

    murel::app::StreamSettingsExchange host(ids());
    const auto asHost = host.handleMessage(bytes, 0, true, 0, link);
    check(size <= murel::kStreamMessageLimit || asHost == murel::app::StreamMessageOutcome::NotStreamSettings);
    check(link.rebuilds <= 1 && link.sends <= 1);
    check(link.rebuilds == 0 || host.pending().has_value());
    // The same message again never gets a second answer.
    const int sendsBefore = link.sends;
    host.handleMessage(bytes, 0, true, 0, link);
    check(link.sends == sendsBefore);

    murel::app::StreamSettingsExchange viewer(ids());
    const auto asViewer = viewer.handleMessage(bytes, 0, false, 0, link);
    check(asViewer != murel::app::StreamMessageOutcome::Applied && asViewer != murel::app::StreamMessageOutcome::Rejected);
    if (viewer.offeredModes()) murel::validateStreamModes(*viewer.offeredModes());
    check(!viewer.pending());
    // Nothing arrives on the pointer channel as stream settings.
    check(viewer.handleMessage(bytes, 1, false, 0, link) == murel::app::StreamMessageOutcome::NotStreamSettings);
    return 0;
}
