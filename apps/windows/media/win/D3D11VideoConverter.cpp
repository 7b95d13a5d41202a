#include "media/win/D3D11VideoConverter.hpp"

#include <utility>

#include "media/MediaError.hpp"
#include "media/win/D3D11Picture.hpp"
#include "platform/win/WinError.hpp"

namespace murel::win {

D3D11_VIDEO_PROCESSOR_COLOR_SPACE conversionColorSpace(PixelFormat format) {
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE space{};
    space.YCbCr_Matrix = 1;  // BT.709
    // 1: 16-235 studio range; 2: 0-255 full range (RGB_Range 0 = full as well).
    space.Nominal_Range = format == PixelFormat::Nv12 ? 1 : 2;
    return space;
}

namespace {

ComRef<ID3D11VideoDevice> videoDeviceOf(D3D11GraphicsDevice& graphics) {
    ComRef<ID3D11VideoDevice> video;
    checkHr(graphics.device()->QueryInterface(__uuidof(ID3D11VideoDevice), video.putVoid()), "Get D3D video device");
    return video;
}

ComRef<ID3D11VideoContext> videoContextOf(D3D11GraphicsDevice& graphics) {
    ComRef<ID3D11VideoContext> video;
    checkHr(graphics.context()->QueryInterface(__uuidof(ID3D11VideoContext), video.putVoid()),
            "Get D3D video context");
    return video;
}

}  // namespace

D3D11VideoConverter::D3D11VideoConverter(D3D11GraphicsDevice& graphics)
    : graphics_(graphics), videoDevice_(videoDeviceOf(graphics)), videoContext_(videoContextOf(graphics)) {}

D3D11VideoConverter::D3D11VideoConverter(D3D11GraphicsDevice& graphics, ComRef<ID3D11VideoDevice> videoDevice,
                                         ComRef<ID3D11VideoContext> videoContext)
    : graphics_(graphics), videoDevice_(std::move(videoDevice)), videoContext_(std::move(videoContext)) {}

void D3D11VideoConverter::rebuild(const ConversionKey& key) {
    D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
    content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
    content.InputFrameRate = {key.fps, 1};
    content.InputWidth = key.visibleWidth;
    content.InputHeight = key.visibleHeight;
    content.OutputFrameRate = {key.fps, 1};
    content.OutputWidth = key.targetWidth;
    content.OutputHeight = key.targetHeight;
    content.Usage = D3D11_VIDEO_USAGE_OPTIMAL_SPEED;

    // Built aside: a failure keeps the previous processor and key.
    ComRef<ID3D11VideoProcessorEnumerator> enumerator;
    checkHr(videoDevice_->CreateVideoProcessorEnumerator(&content, enumerator.put()),
            "Create video converter enumerator");
    UINT support = 0;
    checkHr(enumerator->CheckVideoProcessorFormat(static_cast<DXGI_FORMAT>(key.inputFormat), &support),
            "Check conversion input format");
    throwUnless((support & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT) != 0, media_text::kConversionInputUnsupported);
    support = 0;
    checkHr(enumerator->CheckVideoProcessorFormat(static_cast<DXGI_FORMAT>(key.outputFormat), &support),
            "Check conversion output format");
    throwUnless((support & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT) != 0,
                media_text::kConversionOutputUnsupported);
    ComRef<ID3D11VideoProcessor> processor;
    checkHr(videoDevice_->CreateVideoProcessor(enumerator.get(), 0, processor.put()), "Create video converter");

    key_ = key;
    enumerator_ = std::move(enumerator);
    processor_ = std::move(processor);
}

PictureHandle D3D11VideoConverter::convertPicture(const Picture& input, const ConversionShape& shape) {
    ID3D11Texture2D* source = D3D11Picture::of(input).texture();
    const ConversionKey& key = shape.key;
    if (!processor_ || !(key == key_)) rebuild(key);

    D3D11_TEXTURE2D_DESC description{};
    description.Width = key.targetWidth;
    description.Height = key.targetHeight;
    description.MipLevels = 1;
    description.ArraySize = 1;
    description.Format = static_cast<DXGI_FORMAT>(key.outputFormat);
    description.SampleDesc.Count = 1;
    description.Usage = D3D11_USAGE_DEFAULT;
    description.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
    ComRef<ID3D11Texture2D> target;
    checkHr(graphics_.device()->CreateTexture2D(&description, nullptr, target.put()), "Allocate converted texture");

    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC inputDescription{};
    inputDescription.FourCC = 0;
    inputDescription.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
    inputDescription.Texture2D.MipSlice = 0;
    inputDescription.Texture2D.ArraySlice = shape.slice;
    ComRef<ID3D11VideoProcessorInputView> inputView;
    checkHr(videoDevice_->CreateVideoProcessorInputView(source, enumerator_.get(), &inputDescription, inputView.put()),
            "Create converter input view");

    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputDescription{};
    outputDescription.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    outputDescription.Texture2D.MipSlice = 0;
    ComRef<ID3D11VideoProcessorOutputView> outputView;
    checkHr(videoDevice_->CreateVideoProcessorOutputView(target.get(), enumerator_.get(), &outputDescription,
                                                         outputView.put()),
            "Create converter output view");

    ID3D11VideoContext* context = videoContext_.get();
    ID3D11VideoProcessor* processor = processor_.get();
    const D3D11_VIDEO_PROCESSOR_COLOR_SPACE inputSpace = conversionColorSpace(key.inputFormat);
    const D3D11_VIDEO_PROCESSOR_COLOR_SPACE outputSpace = conversionColorSpace(key.outputFormat);
    const RECT visible{0, 0, static_cast<LONG>(key.visibleWidth), static_cast<LONG>(key.visibleHeight)};
    const RECT whole{0, 0, static_cast<LONG>(key.targetWidth), static_cast<LONG>(key.targetHeight)};
    context->VideoProcessorSetStreamColorSpace(processor, 0, &inputSpace);
    context->VideoProcessorSetOutputColorSpace(processor, &outputSpace);
    context->VideoProcessorSetStreamAutoProcessingMode(processor, 0, FALSE);
    context->VideoProcessorSetStreamFrameFormat(processor, 0, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
    context->VideoProcessorSetStreamSourceRect(processor, 0, TRUE, &visible);
    context->VideoProcessorSetStreamDestRect(processor, 0, TRUE, &whole);
    context->VideoProcessorSetOutputTargetRect(processor, TRUE, &whole);

    D3D11_VIDEO_PROCESSOR_STREAM stream{};
    stream.Enable = TRUE;
    stream.OutputIndex = 0;
    stream.InputFrameOrField = 0;
    stream.PastFrames = 0;
    stream.FutureFrames = 0;
    stream.pInputSurface = inputView.get();
    checkHr(context->VideoProcessorBlt(processor, outputView.get(), 0, 1, &stream), "Convert video texture");
    return std::make_shared<D3D11Picture>(std::move(target));
}

}  // namespace murel::win
