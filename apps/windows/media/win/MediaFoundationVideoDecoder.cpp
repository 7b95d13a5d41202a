#include "media/win/MediaFoundationVideoDecoder.hpp"

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <oleauto.h>
#include <strmif.h>
#include <wmcodecdsp.h>

#include <cstring>
#include <optional>
#include <utility>

#include "media/MediaError.hpp"
#include "media/VideoEnvelope.hpp"
#include "media/win/D3D11Picture.hpp"
#include "media/win/MediaFoundationExtras.hpp"
#include "platform/win/WinError.hpp"

namespace murel::win {

namespace {

constexpr DWORD kMaxOutputTypes = 128;
constexpr UINT32 kHevcMainProfile = 1;
constexpr ULONG kMaxCodedSide = 4096;

void setUint32(ICodecAPI* controls, const GUID& property, ULONG value, const char* step) {
    VARIANT variant;
    VariantInit(&variant);
    variant.vt = VT_UI4;
    variant.ulVal = value;
    checkHr(controls->SetValue(&property, &variant), step);
}

}  // namespace

void requireHevcMainNv12(ID3D11VideoDevice* video) {
    const UINT profiles = video->GetVideoDecoderProfileCount();
    bool supported = false;
    for (UINT i = 0; i < profiles; ++i) {
        GUID profile{};
        checkHr(video->GetVideoDecoderProfile(i, &profile), "Read GPU decoder profile");
        if (profile != kD3D11DecoderProfileHevcVldMain) continue;
        BOOL nv12 = FALSE;
        checkHr(video->CheckVideoDecoderFormat(&profile, DXGI_FORMAT_NV12, &nv12), "Check GPU HEVC NV12");
        supported = nv12 != FALSE;
    }
    throwUnless(supported, media_text::kHevcGpuUnsupported);
}

ComRef<IMFTransform> findHevcDecoder() {
    const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_HEVC};
    const MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_NV12};
    ActivationList decoders;
    checkHr(MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER,
                      MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_ASYNCMFT | MFT_ENUM_FLAG_HARDWARE |
                          MFT_ENUM_FLAG_SORTANDFILTER,
                      &input, &output, decoders.array(), decoders.count()),
            "Enumerate HEVC decoders");
    ComRef<IMFTransform> transform = decoders.activateFirst();
    throwUnless(static_cast<bool>(transform), media_text::kHevcUnavailable);
    return transform;
}

ComRef<IMFTransform> createWindowsH264Decoder() {
    ComRef<IMFTransform> transform;
    checkHr(CoCreateInstance(CLSID_CMSH264DecoderMFT, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IMFTransform),
                             transform.putVoid()),
            "Create Windows H.264 decoder");
    return transform;
}

MediaFoundationVideoDecoder::MediaFoundationVideoDecoder(D3D11GraphicsDevice& graphics, VideoCodec codec,
                                                         std::uint32_t width, std::uint32_t height,
                                                         std::uint32_t fps)
    : VideoDecoder(codec, width, height, fps),
      codec_(true, [this] { selectOutputType(); }),
      device_(ComRef<ID3D11Device>::share(graphics.device())) {
    ComRef<IMFTransform> transform;
    if (codec == VideoCodec::Hevc) {
        ComRef<ID3D11VideoDevice> video;
        checkHr(device_->QueryInterface(__uuidof(ID3D11VideoDevice), video.putVoid()), "Get HEVC GPU video device");
        requireHevcMainNv12(video.get());
        transform = findHevcDecoder();
    } else {
        transform = createWindowsH264Decoder();
    }
    start(std::move(transform), width, height, fps);
}

MediaFoundationVideoDecoder::MediaFoundationVideoDecoder(D3D11GraphicsDevice& graphics, VideoCodec codec,
                                                         std::uint32_t width, std::uint32_t height,
                                                         std::uint32_t fps, ComRef<IMFTransform> transform)
    : VideoDecoder(codec, width, height, fps),
      codec_(true, [this] { selectOutputType(); }),
      device_(ComRef<ID3D11Device>::share(graphics.device())) {
    start(std::move(transform), width, height, fps);
}

MediaFoundationVideoDecoder::~MediaFoundationVideoDecoder() {
    device_.reset();
    codec_.shutdown();
}

void MediaFoundationVideoDecoder::start(ComRef<IMFTransform> transform, std::uint32_t width, std::uint32_t height,
                                        std::uint32_t fps) {
    const bool hevc = codec() == VideoCodec::Hevc;
    if (!transform) checkHr(E_POINTER, hevc ? "Get HEVC decoder attributes" : "Get Windows decoder controls");
    if (hevc) {
        ComRef<IMFAttributes> attributes;
        checkHr(transform->GetAttributes(attributes.put()), "Get HEVC decoder attributes");
        if (!attributes) checkHr(E_POINTER, "Get HEVC decoder attributes");
        checkHr(attributes->SetUINT32(MF_LOW_LATENCY, 1), "Request low latency HEVC decoding");
    } else {
        ComRef<ICodecAPI> controls;
        checkHr(transform->QueryInterface(IID_ICodecAPI, controls.putVoid()), "Get Windows decoder controls");
        setUint32(controls.get(), CODECAPI_AVLowLatencyMode, 1, "Enable low latency decoder");
        setUint32(controls.get(), CODECAPI_AVDecVideoMaxCodedWidth, kMaxCodedSide, "Bound coded video width");
        setUint32(controls.get(), CODECAPI_AVDecVideoMaxCodedHeight, kMaxCodedSide, "Bound coded video height");
    }

    codec_.attach(std::move(transform), device_.get());
    IMFTransform* decoder = codec_.transform();

    ComRef<IMFMediaType> input;
    if (hevc) {
        input = HardwareCodec::mediaTypeFor(MFVideoFormat_HEVC, width, height, fps);
        checkHr(input->SetUINT32(MF_MT_MPEG2_PROFILE, kHevcMainProfile), "Require HEVC Main 8-bit profile");
    } else {
        // The H.264 decoder learns size and rate from the stream.
        input = HardwareCodec::mediaTypeFor(MFVideoFormat_H264, 0, 0, 60);
    }
    checkHr(decoder->SetInputType(codec_.inputStreamId(), input.get(), 0), "Set video decoder input");

    selectOutputType();

    checkHr(decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0), "Begin codec streaming");
    checkHr(decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), "Start codec stream");
}

void MediaFoundationVideoDecoder::selectOutputType() {
    IMFTransform* decoder = codec_.transform();
    for (DWORD index = 0; index < kMaxOutputTypes; ++index) {
        ComRef<IMFMediaType> type;
        const HRESULT available = decoder->GetOutputAvailableType(codec_.outputStreamId(), index, type.put());
        if (available == MF_E_NO_MORE_TYPES) break;
        checkHr(available, "Enumerate decoder output type");
        GUID subtype{};
        checkHr(type->GetGUID(MF_MT_SUBTYPE, &subtype), "Read decoder output subtype");
        if (subtype != MFVideoFormat_NV12) continue;

        UINT32 codedWidth = 0;
        UINT32 codedHeight = 0;
        checkHr(MFGetAttributeSize(type.get(), MF_MT_FRAME_SIZE, &codedWidth, &codedHeight), "Read decoded dimensions");

        std::optional<DisplayAperture> aperture;
        MFVideoArea area{};
        UINT32 areaSize = 0;
        if (SUCCEEDED(type->GetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&area), sizeof area,
                                    &areaSize)) &&
            areaSize == sizeof area) {
            aperture = DisplayAperture{area.OffsetX.value != 0 || area.OffsetX.fract != 0 ||
                                           area.OffsetY.value != 0 || area.OffsetY.fract != 0,
                                       static_cast<std::int32_t>(area.Area.cx),
                                       static_cast<std::int32_t>(area.Area.cy)};
        }
        const VisibleSize visible = visibleSizeOfOutputType(codedWidth, codedHeight, aperture);

        UINT32 rateNumerator = 0;
        UINT32 rateDenominator = 0;
        if (SUCCEEDED(MFGetAttributeRatio(type.get(), MF_MT_FRAME_RATE, &rateNumerator, &rateDenominator))) {
            checkDecodedFrameRate(rateNumerator, rateDenominator, codedWidth, codedHeight);
        }

        checkHr(decoder->SetOutputType(codec_.outputStreamId(), type.get(), 0), "Set hardware decoder output");
        visibleWidth_ = visible.width;
        visibleHeight_ = visible.height;
        return;
    }
    throw ProtocolError(media_text::kDecoderNoNv12Type);
}

bool MediaFoundationVideoDecoder::submitAccessUnit(std::span<const std::uint8_t> accessUnit, std::int64_t timestamp) {
    const DWORD length = static_cast<DWORD>(accessUnit.size());
    ComRef<IMFMediaBuffer> buffer;
    checkHr(MFCreateMemoryBuffer(length, buffer.put()), "Allocate compressed sample buffer");
    BYTE* bytes = nullptr;
    DWORD capacity = 0;
    checkHr(buffer->Lock(&bytes, &capacity, nullptr), "Lock compressed sample");
    if (capacity < length) {
        buffer->Unlock();
        checkHr(E_OUTOFMEMORY, "Lock compressed sample");
    }
    std::memcpy(bytes, accessUnit.data(), length);
    checkHr(buffer->Unlock(), "Unlock compressed sample");
    checkHr(buffer->SetCurrentLength(length), "Set compressed sample length");
    ComRef<IMFSample> sample;
    checkHr(MFCreateSample(sample.put()), "Create compressed sample");
    checkHr(sample->AddBuffer(buffer.get()), "Attach compressed sample");
    checkHr(sample->SetSampleTime(timestamp), "Timestamp compressed sample");
    return codec_.submit(sample.get());
}

DecodedFrame MediaFoundationVideoDecoder::frameOf(ComRef<IMFSample> sample) {
    ComRef<IMFMediaBuffer> buffer;
    checkHr(sample->GetBufferByIndex(0, buffer.put()), "Read decoder buffer");
    ComRef<IMFDXGIBuffer> surface;
    checkHr(buffer.query(surface), "Require a D3D11 decoder surface");
    ComRef<ID3D11Texture2D> texture;
    checkHr(surface->GetResource(__uuidof(ID3D11Texture2D), texture.putVoid()), "Get decoded texture");
    if (!texture) checkHr(E_POINTER, "Get decoded texture");
    UINT slice = 0;
    checkHr(surface->GetSubresourceIndex(&slice), "Get decoded texture slice");
    D3D11_TEXTURE2D_DESC description{};
    texture->GetDesc(&description);

    if (codec() == VideoCodec::Hevc) {
        ComRef<ID3D11Device> owner;
        texture->GetDevice(owner.put());
        throwUnless(owner.get() == device_.get() && (description.BindFlags & D3D11_BIND_DECODER) != 0,
                    media_text::kHevcNotGpuSurface);
    }

    const VisibleSize visible = checkDecodedSurface(
        {static_cast<PixelFormat>(description.Format), description.Width, description.Height, description.ArraySize,
         description.MipLevels, slice},
        {visibleWidth_, visibleHeight_});

    DecodedFrame frame;
    LONGLONG time = 0;
    const HRESULT timed = sample->GetSampleTime(&time);
    if (SUCCEEDED(timed)) {
        frame.timestamp = time;
    } else {
        frame.timestampError = static_cast<std::uint32_t>(timed);
    }
    frame.slice = slice;
    frame.width = visible.width;
    frame.height = visible.height;
    frame.picture = std::make_shared<D3D11Picture>(std::move(texture), std::move(sample));
    return frame;
}

std::vector<DecodedFrame> MediaFoundationVideoDecoder::decodedFrames() {
    std::vector<DecodedFrame> frames;
    for (ComRef<IMFSample>& sample : codec_.takeOutputs()) frames.push_back(frameOf(std::move(sample)));
    return frames;
}

}  // namespace murel::win
