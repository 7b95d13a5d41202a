#include "media/win/DxgiViewerPresenter.hpp"

#include <d3dcompiler.h>

#include <cfloat>
#include <utility>

#include "media/MediaError.hpp"
#include "media/win/D3D11Picture.hpp"
#include "platform/win/WinError.hpp"

namespace murel::win {

const std::string_view kViewerShaderText =
    "\n"
    "    struct V { float4 position:SV_Position; float2 uv:TEXCOORD0; };\n"
    "    V vs(uint id:SV_VertexID) { V v; v.uv=float2((id<<1)&2,id&2);\n"
    "      v.position=float4(v.uv*float2(2,-2)+float2(-1,1),0,1); return v; }\n"
    "    Texture2D screen:register(t0); SamplerState sampleState:register(s0);\n"
    "    float4 ps(V v):SV_Target { return float4(screen.Sample(sampleState,v.uv).rgb,1); }\n"
    "  ";

namespace {

ComRef<ID3DBlob> compileShader(const char* entryPoint, const char* target, const char* step) {
    ComRef<ID3DBlob> code;
    ComRef<ID3DBlob> errors;  // released unread
    checkHr(D3DCompile(kViewerShaderText.data(), kViewerShaderText.size(), nullptr, nullptr, nullptr, entryPoint,
                       target, D3DCOMPILE_ENABLE_STRICTNESS, 0, code.put(), errors.put()),
            step);
    return code;
}

}  // namespace

DxgiViewerPresenter::DxgiViewerPresenter(D3D11GraphicsDevice& graphics, HWND window)
    : graphics_(graphics), window_(window) {
    try {
        ComRef<IDXGIFactory2> factory;
        checkHr(graphics_.adapter()->GetParent(__uuidof(IDXGIFactory2), factory.putVoid()), "Get swapchain factory");

        DXGI_SWAP_CHAIN_DESC1 description{};
        description.Width = 0;  // the window's size
        description.Height = 0;
        description.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        description.Stereo = FALSE;
        description.SampleDesc.Count = 1;
        description.SampleDesc.Quality = 0;
        description.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        description.BufferCount = 2;
        description.Scaling = DXGI_SCALING_STRETCH;
        description.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        description.AlphaMode = DXGI_ALPHA_MODE_IGNORE;
        description.Flags = DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT;
        checkHr(factory->CreateSwapChainForHwnd(graphics_.device(), window_, &description, nullptr, nullptr,
                                                swapChain_.put()),
                "Create viewer swapchain");
        limitFrameLatency();
        // The window has its own borderless fullscreen; the chain always stays windowed.
        checkHr(factory->MakeWindowAssociation(window_, DXGI_MWA_NO_ALT_ENTER), "Set viewer fullscreen handling");
        buildPipeline();
    } catch (...) {
        release();
        throw;
    }
}

DxgiViewerPresenter::DxgiViewerPresenter(D3D11GraphicsDevice& graphics, HWND window,
                                         ComRef<IDXGISwapChain1> swapChain)
    : graphics_(graphics), window_(window), swapChain_(std::move(swapChain)) {
    try {
        limitFrameLatency();
        buildPipeline();
    } catch (...) {
        release();
        throw;
    }
}

DxgiViewerPresenter::~DxgiViewerPresenter() { release(); }

void DxgiViewerPresenter::limitFrameLatency() {
    ComRef<IDXGISwapChain2> pacing;
    checkHr(swapChain_.query(pacing), "Get viewer frame pacing");
    checkHr(pacing->SetMaximumFrameLatency(1), "Bound queued viewer frames");
    frameReady_ = pacing->GetFrameLatencyWaitableObject();
    // A COM method sets no thread error: the last Windows error would name something unrelated.
    if (!frameReady_) {
        throw ProtocolError(hresultFailureText(media_text::kFrameAvailabilityStep, kHresultUnspecifiedFailure));
    }
}

void DxgiViewerPresenter::buildPipeline() {
    ComRef<ID3DBlob> vertexCode = compileShader("vs", "vs_5_0", "Compile viewer vertex shader");
    ComRef<ID3DBlob> pixelCode = compileShader("ps", "ps_5_0", "Compile viewer pixel shader");
    ID3D11Device* device = graphics_.device();
    checkHr(device->CreateVertexShader(vertexCode->GetBufferPointer(), vertexCode->GetBufferSize(), nullptr,
                                       vertexShader_.put()),
            "Create viewer vertex shader");
    checkHr(device->CreatePixelShader(pixelCode->GetBufferPointer(), pixelCode->GetBufferSize(), nullptr,
                                      pixelShader_.put()),
            "Create viewer pixel shader");

    D3D11_SAMPLER_DESC sampler{};
    sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sampler.AddressU = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.AddressV = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.MipLODBias = 0;
    sampler.MaxAnisotropy = 0;
    sampler.ComparisonFunc = static_cast<D3D11_COMPARISON_FUNC>(0);
    sampler.MinLOD = 0;
    sampler.MaxLOD = FLT_MAX;
    checkHr(device->CreateSamplerState(&sampler, sampler_.put()), "Create viewer sampler");
}

void DxgiViewerPresenter::release() noexcept {
    graphics_.context()->ClearState();
    if (frameReady_) CloseHandle(frameReady_);
    frameReady_ = nullptr;
    readyConsumed_ = false;
    renderTarget_.reset();
    swapChain_.reset();
    vertexShader_.reset();
    pixelShader_.reset();
    sampler_.reset();
    graphics_.context()->Flush();
    destination_ = {};
}

bool DxgiViewerPresenter::shown() const { return IsWindowVisible(window_) && !IsIconic(window_); }

void DxgiViewerPresenter::resize() {
    RECT client{};
    checkWin32(GetClientRect(window_, &client) != FALSE, "Read viewer dimensions");
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    if (width <= 0 || height <= 0) {
        width_ = 0;
        height_ = 0;
        destination_ = {};
        return;
    }
    if (width == width_ && height == height_ && renderTarget_) return;

    graphics_.context()->OMSetRenderTargets(0, nullptr, nullptr);
    renderTarget_.reset();
    checkHr(swapChain_->ResizeBuffers(0, static_cast<UINT>(width), static_cast<UINT>(height), DXGI_FORMAT_UNKNOWN,
                                      DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT),
            "Resize viewer swapchain");
    ComRef<ID3D11Texture2D> backBuffer;
    checkHr(swapChain_->GetBuffer(0, __uuidof(ID3D11Texture2D), backBuffer.putVoid()), "Get viewer backbuffer");
    checkHr(graphics_.device()->CreateRenderTargetView(backBuffer.get(), nullptr, renderTarget_.put()),
            "Create viewer render target");
    width_ = width;
    height_ = height;
}

bool DxgiViewerPresenter::ready() {
    if (readyConsumed_) return true;
    const DWORD waited = WaitForSingleObject(frameReady_, 0);
    if (waited == WAIT_TIMEOUT) return false;
    if (waited != WAIT_OBJECT_0) checkWin32(false, "Check viewer frame availability");
    readyConsumed_ = true;
    return true;
}

PresentResult DxgiViewerPresenter::presentPicture(const Picture& picture) {
    constexpr PresentResult notShown{PresentStatus::NotShown, true};
    const int previousWidth = width_;
    const int previousHeight = height_;
    const FrameRect previousDestination = destination_;
    destination_ = {};

    if (!shown()) return notShown;
    if (!ready()) {
        RECT client{};
        checkWin32(GetClientRect(window_, &client) != FALSE, "Read busy viewer dimensions");
        const int width = client.right - client.left;
        const int height = client.bottom - client.top;
        if (width == width_ && height == height_ && width != 0 && height != 0) {
            destination_ = previousDestination;
            return {PresentStatus::NotShown, false};
        }
        return notShown;
    }
    resize();
    if (width_ == 0 || height_ == 0) return notShown;

    checkPresentable(picture);
    ID3D11Texture2D* texture = D3D11Picture::of(picture).texture();
    ID3D11Device* device = graphics_.device();
    ID3D11DeviceContext* context = graphics_.context();
    ComRef<ID3D11ShaderResourceView> view;
    checkHr(device->CreateShaderResourceView(texture, nullptr, view.put()), "Create viewer frame view");

    const float black[4] = {0, 0, 0, 1};
    context->ClearRenderTargetView(renderTarget_.get(), black);
    ID3D11RenderTargetView* target = renderTarget_.get();
    context->OMSetRenderTargets(1, &target, nullptr);

    D3D11_TEXTURE2D_DESC description{};
    texture->GetDesc(&description);
    destination_ = fitRect(width_, height_, description.Width, description.Height);
    D3D11_VIEWPORT viewport{};
    viewport.TopLeftX = static_cast<float>(destination_.x);
    viewport.TopLeftY = static_cast<float>(destination_.y);
    viewport.Width = static_cast<float>(destination_.w);
    viewport.Height = static_cast<float>(destination_.h);
    viewport.MinDepth = 0;
    viewport.MaxDepth = 1;
    context->RSSetViewports(1, &viewport);
    context->IASetInputLayout(nullptr);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    context->VSSetShader(vertexShader_.get(), nullptr, 0);
    context->PSSetShader(pixelShader_.get(), nullptr, 0);
    ID3D11ShaderResourceView* frame = view.get();
    context->PSSetShaderResources(0, 1, &frame);
    ID3D11SamplerState* sampler = sampler_.get();
    context->PSSetSamplers(0, 1, &sampler);
    context->Draw(3, 0);
    ID3D11ShaderResourceView* none = nullptr;
    context->PSSetShaderResources(0, 1, &none);

    const HRESULT presented = swapChain_->Present(0, DXGI_PRESENT_DO_NOT_WAIT);
    if (presented == S_OK) {
        readyConsumed_ = false;
        return {PresentStatus::Presented, true};
    }
    if (presented == DXGI_ERROR_WAS_STILL_DRAWING) {
        if (width_ == previousWidth && height_ == previousHeight) {
            destination_ = previousDestination;
            return {PresentStatus::NotShown, false};
        }
        destination_ = {};
        return notShown;
    }
    if (presented == DXGI_STATUS_OCCLUDED) {
        destination_ = {};
        return {PresentStatus::Occluded, true};
    }
    checkHr(presented, "Present remote frame");
    destination_ = {};
    return notShown;
}

void DxgiViewerPresenter::presentEmpty() {
    destination_ = {};
    if (!shown() || !ready()) return;
    resize();
    if (width_ == 0 || height_ == 0) return;
    const float black[4] = {0, 0, 0, 1};
    graphics_.context()->ClearRenderTargetView(renderTarget_.get(), black);
    const HRESULT presented = swapChain_->Present(0, DXGI_PRESENT_DO_NOT_WAIT);
    if (presented == S_OK) {
        readyConsumed_ = false;
    } else if (presented != DXGI_ERROR_WAS_STILL_DRAWING) {
        checkHr(presented, "Present empty viewer");
    }
}

}  // namespace murel::win
