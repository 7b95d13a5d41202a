// The native peer under the Controller's peer interface.

#include <memory>
#include <utility>

#include "app/SessionPeer.hpp"
#include "peer/NativePeer.hpp"

namespace murel::app {

namespace {

class NativeSessionPeer final : public SessionPeer {
public:
    explicit NativeSessionPeer(PeerOptions options) : peer_(std::move(options)) {}

    void createOffer() override { peer_.createOffer(); }
    void applyRemoteSignal(const Json& signal) override { peer_.applyRemoteSignal(signal); }
    std::vector<PeerEvent> drain() override { return peer_.drain(); }
    PeerEvent requestKeyframe() override { return peer_.requestKeyframe(); }
    bool sendVideoFrame(std::span<const std::uint8_t> accessUnit, std::uint32_t rtpTimestamp) override {
        return peer_.sendVideoFrame(accessUnit, rtpTimestamp);
    }
    bool sendInput(std::string_view message, std::int32_t channel) override {
        return peer_.sendInput(message, channel);
    }
    void close() override { peer_.close(); }

private:
    NativePeer peer_;
};

}  // namespace

PeerFactory nativePeerFactory() {
    return [](PeerOptions options) -> std::unique_ptr<SessionPeer> {
        return std::make_unique<NativeSessionPeer>(std::move(options));
    };
}

}  // namespace murel::app
