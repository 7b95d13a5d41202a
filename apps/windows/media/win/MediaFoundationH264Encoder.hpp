#pragma once
// The host's H.264 encoder: a hardware Media Foundation transform on the shared device's adapter,
// driven by HardwareCodec. Baseline profile, no B pictures, GOP of two seconds, low latency, the
// level the mode needs; Annex-B access units out.

#include <mfidl.h>

#include "media/HardwareH264Encoder.hpp"
#include "media/win/D3D11GraphicsDevice.hpp"
#include "media/win/HardwareCodec.hpp"

namespace murel::win {

class MediaFoundationH264Encoder final : public HardwareH264Encoder {
public:
    // Validates the mode, then takes the first hardware H.264 encoder MFTEnum2 lists for the
    // device's adapter that activates, configures and starts it. Throws ProtocolError.
    MediaFoundationH264Encoder(D3D11GraphicsDevice& graphics, const EncoderMode& mode);
    // The same with a transform made by the caller instead of an enumerated one.
    MediaFoundationH264Encoder(D3D11GraphicsDevice& graphics, const EncoderMode& mode,
                               ComRef<IMFTransform> transform);

    std::vector<EncodedAccessUnit> encodedUnits() override;
    void requestKeyframe() override;

protected:
    bool submitPicture(const Picture& picture, std::int64_t timestamp) override;

private:
    void start(D3D11GraphicsDevice& graphics, ComRef<IMFTransform> transform);

    HardwareCodec codec_{false};
};

// The first hardware H.264 encoder for this adapter that activates; throws "No D3D11 hardware
// H.264 encoder is installed for this adapter" when there is none.
ComRef<IMFTransform> findHardwareH264Encoder(const LUID& adapter);

// One encoder output sample as an access unit (size and Annex-B checks included).
EncodedAccessUnit encodedAccessUnitOf(IMFSample* sample);

}  // namespace murel::win
