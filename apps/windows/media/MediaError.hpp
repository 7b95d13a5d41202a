#pragma once
// The media pipeline's failure texts, shared by every backend so they read the same everywhere,
// and the one failure kind after which a media object stays usable.

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Wire.hpp"

namespace murel {

// A temporary failure: the object that threw stays usable and a later call may succeed (the
// desktop was locked or changed mode and capture restarts on the next call). Callers that do not
// distinguish it treat it like any ProtocolError.
class TransientMediaError : public ProtocolError {
public:
    using ProtocolError::ProtocolError;
};

// "<step> failed (HRESULT <code as unsigned decimal>)", the text of a failed COM call.
std::string hresultFailureText(std::string_view step, std::uint32_t hresult);
// "<step> failed (Windows error <code>)", the text of a failed Win32 call.
std::string windowsErrorFailureText(std::string_view step, std::uint32_t error);
// "<step> failed (<library> error <code>)" for the Linux backends (X11, FFmpeg).
std::string libraryFailureText(std::string_view step, std::string_view library, std::int64_t code);

// E_FAIL. A COM method that returns a null handle without an HRESULT reports this code: the
// thread's last Windows error is not set by such methods and would name an unrelated failure.
inline constexpr std::uint32_t kHresultUnspecifiedFailure = 0x80004005u;

namespace media_text {
// Capture
inline constexpr const char* kCaptureTimeoutUnbounded = "Capture timeout must be bounded";
inline constexpr const char* kCaptureDisplayUnsupported =
    "Capture requires an attached, unrotated SDR display in this Windows foundation";
inline constexpr const char* kCaptureLost = "Desktop changed or locked; capture must be reinitialized";
inline constexpr const char* kCaptureProtected = "Protected content is masked; this desktop cannot be streamed";
inline constexpr const char* kCaptureFormat = "Unsupported desktop texture format or dimensions";
// Conversion
inline constexpr const char* kInvalidConversionTarget = "Invalid conversion target";
inline constexpr const char* kNv12NeedsEvenSize = "NV12 requires even dimensions";
inline constexpr const char* kInvalidTextureSlice = "Invalid texture slice";
inline constexpr const char* kInvalidVisibleSize = "Invalid visible video dimensions";
inline constexpr const char* kConversionInputUnsupported = "GPU does not support requested conversion input";
inline constexpr const char* kConversionOutputUnsupported = "GPU does not support requested conversion output";
// Encoder
inline constexpr const char* kEncoderModeInvalid =
    "Encoder requires even 2...4096 dimensions, 1...240 fps and 100 kbps...100 Mbps";
inline constexpr const char* kEncoderEnvelope = "Encoder mode exceeds the H.264 Level 5.2 frame/rate envelope";
inline constexpr const char* kEncoderNoLevel = "Encoder mode has no supported H.264 level";
inline constexpr const char* kNoHardwareEncoder = "No D3D11 hardware H.264 encoder is installed for this adapter";
inline constexpr const char* kEncoderInputMismatch = "Encoder input texture does not match configured format";
inline constexpr const char* kEncodedSizeInvalid = "Invalid encoded access unit size";
inline constexpr const char* kEncoderNotAnnexB = "Hardware encoder did not emit Annex-B H.264";
// Decoders
inline constexpr const char* kDecodedFrameEnvelope = "Decoded dimensions exceed the H.264 Level 5.2 frame envelope";
inline constexpr const char* kHevcReceiveEnvelope = "HEVC decoder mode exceeds the receive envelope";
inline constexpr const char* kHevcGpuUnsupported = "GPU does not support HEVC Main NV12 decoding";
inline constexpr const char* kHevcUnavailable = "HEVC decoder is unavailable; retain H.264";
inline constexpr const char* kOffsetAperture = "Offset video aperture is not supported";
inline constexpr const char* kDecodedRateEnvelope = "Decoded frame rate exceeds the H.264 Level 5.2 envelope";
inline constexpr const char* kDecoderNoNv12Type = "Decoder did not expose NV12 output";
inline constexpr const char* kAccessUnitSize = "Invalid video access unit size";
inline constexpr const char* kHevcNotGpuSurface = "HEVC output is not a GPU decoder surface on the selected adapter";
inline constexpr const char* kDecoderNotNv12 = "Decoder did not return NV12";
inline constexpr const char* kDecoderSurfaceBudget = "Decoder surface allocation exceeds the memory budget";
inline constexpr const char* kDecodedApertureOutside = "Decoded aperture exceeds its surface";
inline constexpr const char* kPreflightIncorrect = "HEVC GPU preflight returned incorrect video";
inline constexpr const char* kPreflightTimeout = "HEVC GPU preflight produced no decoder surface within 1500 ms";
inline constexpr const char* kPreflightTimestampStep = "Read HEVC preflight timestamp";
// Received bitstreams (checked before a software decoder sees them)
inline constexpr const char* kAccessUnitNotAnnexB = "Video access unit is not in Annex-B form";
inline constexpr const char* kParameterSetUnreadable = "Video access unit carries an unreadable parameter set";
// Presenter
inline constexpr const char* kPresentAbsent = "Cannot present an absent frame";
inline constexpr const char* kPresentNeedsBgra = "Viewer requires one BGRA texture";
inline constexpr const char* kInvalidFrameSize = "Invalid frame size";
inline constexpr const char* kFrameAvailabilityStep = "Get viewer frame availability";
// Pictures handed to the wrong backend
inline constexpr const char* kForeignPicture = "Picture does not belong to this media device";
}  // namespace media_text

}  // namespace murel
