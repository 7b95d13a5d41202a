#include "media/win/MediaFoundationH264Encoder.hpp"

#include <codecapi.h>
#include <mfapi.h>
#include <oleauto.h>
#include <strmif.h>

#include <utility>

#include "media/MediaError.hpp"
#include "media/win/D3D11Picture.hpp"
#include "media/win/MediaFoundationExtras.hpp"
#include "platform/win/WinError.hpp"

namespace murel::win {

namespace {

constexpr UINT32 kBaselineProfile = 66;  // eAVEncH264VProfile_Base
constexpr LONGLONG kHundredNanosecondsPerSecond = 10000000;

VARIANT uint32Variant(ULONG value) {
    VARIANT variant;
    VariantInit(&variant);
    variant.vt = VT_UI4;
    variant.ulVal = value;
    return variant;
}

}  // namespace

ComRef<IMFTransform> findHardwareH264Encoder(const LUID& adapter) {
    ComRef<IMFAttributes> selection;
    checkHr(MFCreateAttributes(selection.put(), 1), "Create encoder selection attributes");
    checkHr(selection->SetBlob(kMftEnumAdapterLuid, reinterpret_cast<const UINT8*>(&adapter), sizeof adapter),
            "Select encoder adapter");
    const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
    const MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
    ActivationList encoders;
    checkHr(MFTEnum2(MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER, &input,
                     &output, selection.get(), encoders.array(), encoders.count()),
            "Enumerate hardware H.264 encoders");
    ComRef<IMFTransform> transform = encoders.activateFirst();
    throwUnless(static_cast<bool>(transform), media_text::kNoHardwareEncoder);
    return transform;
}

MediaFoundationH264Encoder::MediaFoundationH264Encoder(D3D11GraphicsDevice& graphics, const EncoderMode& mode)
    : HardwareH264Encoder(mode) {
    start(graphics, findHardwareH264Encoder(graphics.luid()));
}

MediaFoundationH264Encoder::MediaFoundationH264Encoder(D3D11GraphicsDevice& graphics, const EncoderMode& mode,
                                                       ComRef<IMFTransform> transform)
    : HardwareH264Encoder(mode) {
    start(graphics, std::move(transform));
}

void MediaFoundationH264Encoder::start(D3D11GraphicsDevice& graphics, ComRef<IMFTransform> transform) {
    const EncoderMode& m = mode();
    codec_.attach(std::move(transform), graphics.device());
    IMFTransform* encoder = codec_.transform();

    ComRef<IMFMediaType> output = HardwareCodec::mediaTypeFor(MFVideoFormat_H264, m.width, m.height, m.fps);
    checkHr(output->SetUINT32(MF_MT_AVG_BITRATE, m.bitrate), "Set encoder bitrate");
    checkHr(output->SetUINT32(MF_MT_MPEG2_PROFILE, kBaselineProfile), "Set H.264 baseline profile");
    checkHr(output->SetUINT32(MF_MT_MPEG2_LEVEL, static_cast<UINT32>(level())), "Set mode's H.264 level");
    checkHr(encoder->SetOutputType(codec_.outputStreamId(), output.get(), MFT_SET_TYPE_TEST_ONLY),
            "Validate hardware encoder output mode");
    checkHr(encoder->SetOutputType(codec_.outputStreamId(), output.get(), 0), "Set encoder output type");

    ComRef<IMFMediaType> input = HardwareCodec::mediaTypeFor(MFVideoFormat_NV12, m.width, m.height, m.fps);
    checkHr(input->SetUINT32(MF_MT_VIDEO_PRIMARIES, MFVideoPrimaries_BT709), "Set encoder primaries");
    checkHr(input->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709), "Set encoder matrix");
    checkHr(input->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235), "Set encoder range");
    checkHr(encoder->SetInputType(codec_.inputStreamId(), input.get(), MFT_SET_TYPE_TEST_ONLY),
            "Validate hardware encoder input mode");
    checkHr(encoder->SetInputType(codec_.inputStreamId(), input.get(), 0), "Set encoder input type");

    // Best effort: encoders without these controls still encode, only less eagerly.
    ComRef<ICodecAPI> controls;
    if (SUCCEEDED(codec_.transform()->QueryInterface(IID_ICodecAPI, controls.putVoid())) && controls) {
        VARIANT lowLatency;
        VariantInit(&lowLatency);
        lowLatency.vt = VT_BOOL;
        lowLatency.boolVal = VARIANT_TRUE;
        controls->SetValue(&CODECAPI_AVLowLatencyMode, &lowLatency);
        VARIANT noBPictures = uint32Variant(0);
        controls->SetValue(&CODECAPI_AVEncMPVDefaultBPictureCount, &noBPictures);
        VARIANT gop = uint32Variant(2 * m.fps);
        controls->SetValue(&CODECAPI_AVEncMPVGOPSize, &gop);
    }

    checkHr(encoder->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0), "Begin codec streaming");
    checkHr(encoder->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), "Start codec stream");
}

bool MediaFoundationH264Encoder::submitPicture(const Picture& picture, std::int64_t timestamp) {
    ID3D11Texture2D* texture = D3D11Picture::of(picture).texture();
    ComRef<IMFMediaBuffer> surface;
    checkHr(MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), texture, 0, FALSE, surface.put()),
            "Wrap encoder surface");
    ComRef<IMFSample> sample;
    checkHr(MFCreateSample(sample.put()), "Create encoder input sample");
    checkHr(sample->AddBuffer(surface.get()), "Attach encoder surface");
    checkHr(sample->SetSampleTime(timestamp), "Set encoder timestamp");
    checkHr(sample->SetSampleDuration(kHundredNanosecondsPerSecond / mode().fps), "Set encoder duration");
    return codec_.submit(sample.get());
}

EncodedAccessUnit encodedAccessUnitOf(IMFSample* sample) {
    ComRef<IMFMediaBuffer> buffer;
    checkHr(sample->ConvertToContiguousBuffer(buffer.put()), "Read encoded access unit");
    DWORD length = 0;
    checkHr(buffer->GetCurrentLength(&length), "Read encoded size");
    checkEncodedSize(length);

    EncodedAccessUnit unit;
    LONGLONG time = 0;
    checkHr(sample->GetSampleTime(&time), "Read encoder timestamp");
    unit.timestamp = time;

    BYTE* bytes = nullptr;
    DWORD capacity = 0;
    checkHr(buffer->Lock(&bytes, &capacity, nullptr), "Lock encoder output");
    if (capacity < length) {
        buffer->Unlock();
        throw ProtocolError(media_text::kEncodedSizeInvalid);
    }
    unit.bytes.assign(bytes, bytes + length);
    buffer->Unlock();
    checkEncodedAccessUnit(unit.bytes);
    return unit;
}

std::vector<EncodedAccessUnit> MediaFoundationH264Encoder::encodedUnits() {
    std::vector<EncodedAccessUnit> units;
    for (const ComRef<IMFSample>& sample : codec_.takeOutputs()) units.push_back(encodedAccessUnitOf(sample.get()));
    return units;
}

void MediaFoundationH264Encoder::requestKeyframe() {
    ComRef<ICodecAPI> controls;
    IMFTransform* encoder = codec_.transform();
    checkHr(encoder ? encoder->QueryInterface(IID_ICodecAPI, controls.putVoid()) : E_POINTER,
            "Get encoder keyframe control");
    VARIANT force = uint32Variant(1);
    checkHr(controls->SetValue(&CODECAPI_AVEncVideoForceKeyFrame, &force), "Request H.264 keyframe");
}

}  // namespace murel::win
