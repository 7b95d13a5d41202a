#pragma once
// Scriptable D3D11 video processing (video device, video context, processor enumerator, processor,
// views) for the converter's tests: Wine's device has none. What the converter sets is recorded in
// one shared state; the textures it allocates are Wine's own.

#include <d3d11.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "ComFake.hpp"
#include "media/win/ComRef.hpp"

namespace murel::test {

using win::ComRef;

// The device-child part of the fakes below.
template <class Interface>
class FakeChild : public ComFake<Interface> {
public:
    void STDMETHODCALLTYPE GetDevice(ID3D11Device** device) override { *device = nullptr; }
    STDMETHODIMP GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
};

class FakeVideoProcessor;

inline UINT bitsOf(const D3D11_VIDEO_PROCESSOR_COLOR_SPACE& space) {
    UINT bits = 0;
    std::memcpy(&bits, &space, sizeof bits);
    return bits;
}

// What the converter did, and how the fakes answer.
struct VideoProcessingState {
    // Answers.
    HRESULT createEnumeratorResult = S_OK;
    HRESULT createProcessorResult = S_OK;
    HRESULT bltResult = S_OK;
    std::map<DXGI_FORMAT, UINT> formatSupport;  // missing: input and output
    std::vector<GUID> decoderProfiles;
    bool hevcNv12 = true;

    // Records.
    std::vector<D3D11_VIDEO_PROCESSOR_CONTENT_DESC> contents;  // one per enumerator asked for
    std::vector<FakeVideoProcessor*> processors;               // not owned
    UINT rateConversionIndex = 99;
    ID3D11Resource* inputResource = nullptr;
    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC inputView{};
    ID3D11Resource* outputResource = nullptr;
    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputView{};
    UINT streamColorSpace = 0;
    UINT outputColorSpace = 0;
    WINBOOL autoProcessing = TRUE;
    D3D11_VIDEO_FRAME_FORMAT frameFormat = D3D11_VIDEO_FRAME_FORMAT_INTERLACED_TOP_FIELD_FIRST;
    RECT sourceRect{};
    RECT destRect{};
    RECT targetRect{};
    int blts = 0;
    ID3D11VideoProcessor* bltProcessor = nullptr;
    ID3D11VideoProcessorOutputView* bltOutputView = nullptr;
    UINT bltFrame = 99;
    UINT bltStreamCount = 0;
    D3D11_VIDEO_PROCESSOR_STREAM bltStream{};
    int decoderFormatChecks = 0;
};

class FakeVideoProcessorEnumerator final : public FakeChild<ID3D11VideoProcessorEnumerator> {
public:
    D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
    std::shared_ptr<VideoProcessingState> state;

    STDMETHODIMP GetVideoProcessorContentDesc(D3D11_VIDEO_PROCESSOR_CONTENT_DESC* out) override {
        *out = content;
        return S_OK;
    }
    STDMETHODIMP CheckVideoProcessorFormat(DXGI_FORMAT format, UINT* flags) override {
        const auto found = state->formatSupport.find(format);
        *flags = found != state->formatSupport.end()
                     ? found->second
                     : D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT | D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT;
        return S_OK;
    }
    STDMETHODIMP GetVideoProcessorCaps(D3D11_VIDEO_PROCESSOR_CAPS*) override { return E_NOTIMPL; }
    STDMETHODIMP GetVideoProcessorRateConversionCaps(UINT, D3D11_VIDEO_PROCESSOR_RATE_CONVERSION_CAPS*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetVideoProcessorCustomRate(UINT, UINT, D3D11_VIDEO_PROCESSOR_CUSTOM_RATE*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetVideoProcessorFilterRange(D3D11_VIDEO_PROCESSOR_FILTER,
                                              D3D11_VIDEO_PROCESSOR_FILTER_RANGE*) override {
        return E_NOTIMPL;
    }
};

class FakeVideoProcessor final : public FakeChild<ID3D11VideoProcessor> {
public:
    D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
    void STDMETHODCALLTYPE GetContentDesc(D3D11_VIDEO_PROCESSOR_CONTENT_DESC* out) override { *out = content; }
    void STDMETHODCALLTYPE GetRateConversionCaps(D3D11_VIDEO_PROCESSOR_RATE_CONVERSION_CAPS*) override {}
};

class FakeInputView final : public FakeChild<ID3D11VideoProcessorInputView> {
public:
    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC description{};
    void STDMETHODCALLTYPE GetResource(ID3D11Resource** resource) override { *resource = nullptr; }
    void STDMETHODCALLTYPE GetDesc(D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC* out) override { *out = description; }
};

class FakeOutputView final : public FakeChild<ID3D11VideoProcessorOutputView> {
public:
    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC description{};
    void STDMETHODCALLTYPE GetResource(ID3D11Resource** resource) override { *resource = nullptr; }
    void STDMETHODCALLTYPE GetDesc(D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC* out) override { *out = description; }
};

class FakeVideoContext final : public FakeChild<ID3D11VideoContext> {
public:
    std::shared_ptr<VideoProcessingState> state;

    STDMETHODIMP GetDecoderBuffer(ID3D11VideoDecoder*, D3D11_VIDEO_DECODER_BUFFER_TYPE, UINT*, void**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ReleaseDecoderBuffer(ID3D11VideoDecoder*, D3D11_VIDEO_DECODER_BUFFER_TYPE) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP DecoderBeginFrame(ID3D11VideoDecoder*, ID3D11VideoDecoderOutputView*, UINT, const void*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP DecoderEndFrame(ID3D11VideoDecoder*) override { return E_NOTIMPL; }
    STDMETHODIMP SubmitDecoderBuffers(ID3D11VideoDecoder*, UINT, const D3D11_VIDEO_DECODER_BUFFER_DESC*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP DecoderExtension(ID3D11VideoDecoder*, const D3D11_VIDEO_DECODER_EXTENSION*) override {
        return E_NOTIMPL;
    }
    void STDMETHODCALLTYPE VideoProcessorSetOutputTargetRect(ID3D11VideoProcessor*, WINBOOL enable,
                                                             const RECT* rect) override {
        state->targetRect = enable ? *rect : RECT{};
    }
    void STDMETHODCALLTYPE VideoProcessorSetOutputBackgroundColor(ID3D11VideoProcessor*, WINBOOL,
                                                                  const D3D11_VIDEO_COLOR*) override {}
    void STDMETHODCALLTYPE VideoProcessorSetOutputColorSpace(ID3D11VideoProcessor*,
                                                             const D3D11_VIDEO_PROCESSOR_COLOR_SPACE* space) override {
        state->outputColorSpace = bitsOf(*space);
    }
    void STDMETHODCALLTYPE VideoProcessorSetOutputAlphaFillMode(ID3D11VideoProcessor*,
                                                                D3D11_VIDEO_PROCESSOR_ALPHA_FILL_MODE, UINT) override {}
    void STDMETHODCALLTYPE VideoProcessorSetOutputConstriction(ID3D11VideoProcessor*, WINBOOL, SIZE) override {}
    void STDMETHODCALLTYPE VideoProcessorSetOutputStereoMode(ID3D11VideoProcessor*, WINBOOL) override {}
    STDMETHODIMP VideoProcessorSetOutputExtension(ID3D11VideoProcessor*, const GUID*, UINT, void*) override {
        return E_NOTIMPL;
    }
    void STDMETHODCALLTYPE VideoProcessorGetOutputTargetRect(ID3D11VideoProcessor*, WINBOOL*, RECT*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetOutputBackgroundColor(ID3D11VideoProcessor*, WINBOOL*,
                                                                  D3D11_VIDEO_COLOR*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetOutputColorSpace(ID3D11VideoProcessor*,
                                                             D3D11_VIDEO_PROCESSOR_COLOR_SPACE*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetOutputAlphaFillMode(ID3D11VideoProcessor*,
                                                                D3D11_VIDEO_PROCESSOR_ALPHA_FILL_MODE*,
                                                                UINT*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetOutputConstriction(ID3D11VideoProcessor*, WINBOOL*, SIZE*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetOutputStereoMode(ID3D11VideoProcessor*, WINBOOL*) override {}
    STDMETHODIMP VideoProcessorGetOutputExtension(ID3D11VideoProcessor*, const GUID*, UINT, void*) override {
        return E_NOTIMPL;
    }
    void STDMETHODCALLTYPE VideoProcessorSetStreamFrameFormat(ID3D11VideoProcessor*, UINT,
                                                              D3D11_VIDEO_FRAME_FORMAT format) override {
        state->frameFormat = format;
    }
    void STDMETHODCALLTYPE VideoProcessorSetStreamColorSpace(ID3D11VideoProcessor*, UINT,
                                                             const D3D11_VIDEO_PROCESSOR_COLOR_SPACE* space) override {
        state->streamColorSpace = bitsOf(*space);
    }
    void STDMETHODCALLTYPE VideoProcessorSetStreamOutputRate(ID3D11VideoProcessor*, UINT,
                                                             D3D11_VIDEO_PROCESSOR_OUTPUT_RATE, WINBOOL,
                                                             const DXGI_RATIONAL*) override {}
    void STDMETHODCALLTYPE VideoProcessorSetStreamSourceRect(ID3D11VideoProcessor*, UINT, WINBOOL enable,
                                                             const RECT* rect) override {
        state->sourceRect = enable ? *rect : RECT{};
    }
    void STDMETHODCALLTYPE VideoProcessorSetStreamDestRect(ID3D11VideoProcessor*, UINT, WINBOOL enable,
                                                           const RECT* rect) override {
        state->destRect = enable ? *rect : RECT{};
    }
    void STDMETHODCALLTYPE VideoProcessorSetStreamAlpha(ID3D11VideoProcessor*, UINT, WINBOOL, float) override {}
    void STDMETHODCALLTYPE VideoProcessorSetStreamPalette(ID3D11VideoProcessor*, UINT, UINT, const UINT*) override {}
    void STDMETHODCALLTYPE VideoProcessorSetStreamPixelAspectRatio(ID3D11VideoProcessor*, UINT, WINBOOL,
                                                                   const DXGI_RATIONAL*,
                                                                   const DXGI_RATIONAL*) override {}
    void STDMETHODCALLTYPE VideoProcessorSetStreamLumaKey(ID3D11VideoProcessor*, UINT, WINBOOL, float, float) override {
    }
    void STDMETHODCALLTYPE VideoProcessorSetStreamStereoFormat(ID3D11VideoProcessor*, UINT, WINBOOL,
                                                               D3D11_VIDEO_PROCESSOR_STEREO_FORMAT, WINBOOL, WINBOOL,
                                                               D3D11_VIDEO_PROCESSOR_STEREO_FLIP_MODE, int) override {}
    void STDMETHODCALLTYPE VideoProcessorSetStreamAutoProcessingMode(ID3D11VideoProcessor*, UINT,
                                                                     WINBOOL enable) override {
        state->autoProcessing = enable;
    }
    void STDMETHODCALLTYPE VideoProcessorSetStreamFilter(ID3D11VideoProcessor*, UINT, D3D11_VIDEO_PROCESSOR_FILTER,
                                                         WINBOOL, int) override {}
    STDMETHODIMP VideoProcessorSetStreamExtension(ID3D11VideoProcessor*, UINT, const GUID*, UINT, void*) override {
        return E_NOTIMPL;
    }
    void STDMETHODCALLTYPE VideoProcessorGetStreamFrameFormat(ID3D11VideoProcessor*, UINT,
                                                              D3D11_VIDEO_FRAME_FORMAT*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamColorSpace(ID3D11VideoProcessor*, UINT,
                                                             D3D11_VIDEO_PROCESSOR_COLOR_SPACE*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamOutputRate(ID3D11VideoProcessor*, UINT,
                                                             D3D11_VIDEO_PROCESSOR_OUTPUT_RATE*, WINBOOL*,
                                                             DXGI_RATIONAL*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamSourceRect(ID3D11VideoProcessor*, UINT, WINBOOL*, RECT*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamDestRect(ID3D11VideoProcessor*, UINT, WINBOOL*, RECT*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamAlpha(ID3D11VideoProcessor*, UINT, WINBOOL*, float*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamPalette(ID3D11VideoProcessor*, UINT, UINT, UINT*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamPixelAspectRatio(ID3D11VideoProcessor*, UINT, WINBOOL*,
                                                                   DXGI_RATIONAL*, DXGI_RATIONAL*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamLumaKey(ID3D11VideoProcessor*, UINT, WINBOOL*, float*,
                                                          float*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamStereoFormat(ID3D11VideoProcessor*, UINT, WINBOOL*,
                                                               D3D11_VIDEO_PROCESSOR_STEREO_FORMAT*, WINBOOL*, WINBOOL*,
                                                               D3D11_VIDEO_PROCESSOR_STEREO_FLIP_MODE*, int*) override {
    }
    void STDMETHODCALLTYPE VideoProcessorGetStreamAutoProcessingMode(ID3D11VideoProcessor*, UINT, WINBOOL*) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamFilter(ID3D11VideoProcessor*, UINT, D3D11_VIDEO_PROCESSOR_FILTER,
                                                         WINBOOL*, int*) override {}
    STDMETHODIMP VideoProcessorGetStreamExtension(ID3D11VideoProcessor*, UINT, const GUID*, UINT, void*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP VideoProcessorBlt(ID3D11VideoProcessor* processor, ID3D11VideoProcessorOutputView* view, UINT frame,
                                   UINT count, const D3D11_VIDEO_PROCESSOR_STREAM* streams) override {
        ++state->blts;
        state->bltProcessor = processor;
        state->bltOutputView = view;
        state->bltFrame = frame;
        state->bltStreamCount = count;
        if (count >= 1) state->bltStream = streams[0];
        return state->bltResult;
    }
    STDMETHODIMP NegotiateCryptoSessionKeyExchange(ID3D11CryptoSession*, UINT, void*) override { return E_NOTIMPL; }
    void STDMETHODCALLTYPE EncryptionBlt(ID3D11CryptoSession*, ID3D11Texture2D*, ID3D11Texture2D*, UINT,
                                         void*) override {}
    void STDMETHODCALLTYPE DecryptionBlt(ID3D11CryptoSession*, ID3D11Texture2D*, ID3D11Texture2D*,
                                         D3D11_ENCRYPTED_BLOCK_INFO*, UINT, const void*, UINT, void*) override {}
    void STDMETHODCALLTYPE StartSessionKeyRefresh(ID3D11CryptoSession*, UINT, void*) override {}
    void STDMETHODCALLTYPE FinishSessionKeyRefresh(ID3D11CryptoSession*) override {}
    STDMETHODIMP GetEncryptionBltKey(ID3D11CryptoSession*, UINT, void*) override { return E_NOTIMPL; }
    STDMETHODIMP NegotiateAuthenticatedChannelKeyExchange(ID3D11AuthenticatedChannel*, UINT, void*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP QueryAuthenticatedChannel(ID3D11AuthenticatedChannel*, UINT, const void*, UINT, void*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ConfigureAuthenticatedChannel(ID3D11AuthenticatedChannel*, UINT, const void*,
                                               D3D11_AUTHENTICATED_CONFIGURE_OUTPUT*) override {
        return E_NOTIMPL;
    }
    void STDMETHODCALLTYPE VideoProcessorSetStreamRotation(ID3D11VideoProcessor*, UINT, WINBOOL,
                                                           D3D11_VIDEO_PROCESSOR_ROTATION) override {}
    void STDMETHODCALLTYPE VideoProcessorGetStreamRotation(ID3D11VideoProcessor*, UINT, WINBOOL*,
                                                           D3D11_VIDEO_PROCESSOR_ROTATION*) override {}
};

class FakeVideoDevice final : public ComFake<ID3D11VideoDevice> {
public:
    std::shared_ptr<VideoProcessingState> state;

    STDMETHODIMP CreateVideoDecoder(const D3D11_VIDEO_DECODER_DESC*, const D3D11_VIDEO_DECODER_CONFIG*,
                                    ID3D11VideoDecoder**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP CreateVideoProcessor(ID3D11VideoProcessorEnumerator* enumerator, UINT rateIndex,
                                      ID3D11VideoProcessor** out) override {
        state->rateConversionIndex = rateIndex;
        if (FAILED(state->createProcessorResult)) return state->createProcessorResult;
        D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
        enumerator->GetVideoProcessorContentDesc(&content);
        auto* processor = new FakeVideoProcessor();
        processor->content = content;
        state->processors.push_back(processor);
        *out = processor;
        return S_OK;
    }
    STDMETHODIMP CreateAuthenticatedChannel(D3D11_AUTHENTICATED_CHANNEL_TYPE, ID3D11AuthenticatedChannel**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP CreateCryptoSession(const GUID*, const GUID*, const GUID*, ID3D11CryptoSession**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP CreateVideoDecoderOutputView(ID3D11Resource*, const D3D11_VIDEO_DECODER_OUTPUT_VIEW_DESC*,
                                              ID3D11VideoDecoderOutputView**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP CreateVideoProcessorInputView(ID3D11Resource* resource, ID3D11VideoProcessorEnumerator*,
                                               const D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC* description,
                                               ID3D11VideoProcessorInputView** out) override {
        state->inputResource = resource;
        state->inputView = *description;
        auto* view = new FakeInputView();
        view->description = *description;
        *out = view;
        return S_OK;
    }
    STDMETHODIMP CreateVideoProcessorOutputView(ID3D11Resource* resource, ID3D11VideoProcessorEnumerator*,
                                                const D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC* description,
                                                ID3D11VideoProcessorOutputView** out) override {
        state->outputResource = resource;
        state->outputView = *description;
        auto* view = new FakeOutputView();
        view->description = *description;
        *out = view;
        return S_OK;
    }
    STDMETHODIMP CreateVideoProcessorEnumerator(const D3D11_VIDEO_PROCESSOR_CONTENT_DESC* content,
                                                ID3D11VideoProcessorEnumerator** out) override {
        state->contents.push_back(*content);
        if (FAILED(state->createEnumeratorResult)) return state->createEnumeratorResult;
        auto* enumerator = new FakeVideoProcessorEnumerator();
        enumerator->content = *content;
        enumerator->state = state;
        *out = enumerator;
        return S_OK;
    }
    UINT STDMETHODCALLTYPE GetVideoDecoderProfileCount() override {
        return static_cast<UINT>(state->decoderProfiles.size());
    }
    STDMETHODIMP GetVideoDecoderProfile(UINT index, GUID* profile) override {
        if (index >= state->decoderProfiles.size()) return E_INVALIDARG;
        *profile = state->decoderProfiles[index];
        return S_OK;
    }
    STDMETHODIMP CheckVideoDecoderFormat(const GUID*, DXGI_FORMAT format, WINBOOL* supported) override {
        ++state->decoderFormatChecks;
        *supported = format == DXGI_FORMAT_NV12 && state->hevcNv12;
        return S_OK;
    }
    STDMETHODIMP GetVideoDecoderConfigCount(const D3D11_VIDEO_DECODER_DESC*, UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetVideoDecoderConfig(const D3D11_VIDEO_DECODER_DESC*, UINT, D3D11_VIDEO_DECODER_CONFIG*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetContentProtectionCaps(const GUID*, const GUID*, D3D11_VIDEO_CONTENT_PROTECTION_CAPS*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP CheckCryptoKeyExchange(const GUID*, const GUID*, UINT, GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }

};

// A fake video device and context sharing one state.
struct FakeVideoProcessing {
    std::shared_ptr<VideoProcessingState> state = std::make_shared<VideoProcessingState>();
    ComRef<ID3D11VideoDevice> device;
    ComRef<ID3D11VideoContext> context;

    FakeVideoProcessing() {
        auto* fakeDevice = new FakeVideoDevice();
        fakeDevice->state = state;
        device = ComRef<ID3D11VideoDevice>::adopt(fakeDevice);
        auto* fakeContext = new FakeVideoContext();
        fakeContext->state = state;
        context = ComRef<ID3D11VideoContext>::adopt(fakeContext);
    }
};

}  // namespace murel::test
