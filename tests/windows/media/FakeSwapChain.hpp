#pragma once
// A scriptable flip-model swap chain for the presenter's tests (Wine's swap chain has no frame
// latency control). Its back buffer is a real render-target texture of Wine's device, so what the
// presenter draws can be read back; its frame-latency waitable object is an event the test sets.

#include <dxgi1_3.h>
#include <d3d11.h>

#include <deque>
#include <vector>

#include "ComFake.hpp"
#include "MediaTestSupport.hpp"
#include "media/win/ComRef.hpp"

namespace murel::test {

using win::ComRef;

class FakeSwapChain final : public ComFake<IDXGISwapChain2> {
public:
    static ComRef<FakeSwapChain> make() { return ComRef<FakeSwapChain>::adopt(new FakeSwapChain()); }

    // The chain may take one more frame.
    void frameDone() { SetEvent(ready_); }

    bool exposePacing = true;
    bool nullWaitable = false;
    std::deque<HRESULT> presentResults;  // empty: S_OK
    HRESULT resizeResult = S_OK;

    UINT maximumFrameLatency = 0;
    HANDLE handedOutWaitable = nullptr;
    std::vector<UINT> presentFlags;
    std::vector<UINT> presentIntervals;
    int resizes = 0;
    UINT resizeFlags = 0;
    ComRef<ID3D11Texture2D> backBuffer;

    // IDXGIObject, IDXGIDeviceSubObject
    STDMETHODIMP SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    STDMETHODIMP GetParent(REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetDevice(REFIID, void**) override { return E_NOTIMPL; }

    // IDXGISwapChain
    STDMETHODIMP Present(UINT interval, UINT flags) override {
        presentIntervals.push_back(interval);
        presentFlags.push_back(flags);
        if (presentResults.empty()) return S_OK;
        const HRESULT result = presentResults.front();
        presentResults.pop_front();
        return result;
    }
    STDMETHODIMP GetBuffer(UINT index, REFIID riid, void** surface) override {
        if (index != 0 || !backBuffer) return DXGI_ERROR_INVALID_CALL;
        return backBuffer->QueryInterface(riid, surface);
    }
    STDMETHODIMP SetFullscreenState(WINBOOL, IDXGIOutput*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFullscreenState(WINBOOL*, IDXGIOutput**) override { return E_NOTIMPL; }
    STDMETHODIMP GetDesc(DXGI_SWAP_CHAIN_DESC*) override { return E_NOTIMPL; }
    STDMETHODIMP ResizeBuffers(UINT count, UINT width, UINT height, DXGI_FORMAT format, UINT flags) override {
        ++resizes;
        resizeFlags = flags;
        if (FAILED(resizeResult)) return resizeResult;
        if (count != 0 || format != DXGI_FORMAT_UNKNOWN) return E_INVALIDARG;
        backBuffer.reset();
        backBuffer = makeTexture(DXGI_FORMAT_B8G8R8A8_UNORM, width, height, 1,
                                 D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE);
        return backBuffer ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP ResizeTarget(const DXGI_MODE_DESC*) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainingOutput(IDXGIOutput**) override { return E_NOTIMPL; }
    STDMETHODIMP GetFrameStatistics(DXGI_FRAME_STATISTICS*) override { return E_NOTIMPL; }
    STDMETHODIMP GetLastPresentCount(UINT*) override { return E_NOTIMPL; }

    // IDXGISwapChain1
    STDMETHODIMP GetDesc1(DXGI_SWAP_CHAIN_DESC1*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFullscreenDesc(DXGI_SWAP_CHAIN_FULLSCREEN_DESC*) override { return E_NOTIMPL; }
    STDMETHODIMP GetHwnd(HWND*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCoreWindow(REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP Present1(UINT, UINT, const DXGI_PRESENT_PARAMETERS*) override { return E_NOTIMPL; }
    WINBOOL STDMETHODCALLTYPE IsTemporaryMonoSupported() override { return FALSE; }
    STDMETHODIMP GetRestrictToOutput(IDXGIOutput**) override { return E_NOTIMPL; }
    STDMETHODIMP SetBackgroundColor(const DXGI_RGBA*) override { return E_NOTIMPL; }
    STDMETHODIMP GetBackgroundColor(DXGI_RGBA*) override { return E_NOTIMPL; }
    STDMETHODIMP SetRotation(DXGI_MODE_ROTATION) override { return E_NOTIMPL; }
    STDMETHODIMP GetRotation(DXGI_MODE_ROTATION*) override { return E_NOTIMPL; }

    // IDXGISwapChain2
    STDMETHODIMP SetSourceSize(UINT, UINT) override { return E_NOTIMPL; }
    STDMETHODIMP GetSourceSize(UINT*, UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP SetMaximumFrameLatency(UINT latency) override {
        maximumFrameLatency = latency;
        return S_OK;
    }
    STDMETHODIMP GetMaximumFrameLatency(UINT*) override { return E_NOTIMPL; }
    HANDLE STDMETHODCALLTYPE GetFrameLatencyWaitableObject() override {
        if (nullWaitable) {
            SetLastError(ERROR_FILE_NOT_FOUND);  // stale, unrelated: must not be what gets reported
            return nullptr;
        }
        // Like DXGI: a handle of its own for the caller, who closes it.
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), ready_, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
        handedOutWaitable = copy;
        return copy;
    }
    STDMETHODIMP SetMatrixTransform(const DXGI_MATRIX_3X2_F*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMatrixTransform(DXGI_MATRIX_3X2_F*) override { return E_NOTIMPL; }

private:
    FakeSwapChain() : ready_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~FakeSwapChain() override { CloseHandle(ready_); }
    bool answers(REFIID riid) const override {
        return riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIDeviceSubObject) ||
               riid == __uuidof(IDXGISwapChain) || riid == __uuidof(IDXGISwapChain1) ||
               (riid == __uuidof(IDXGISwapChain2) && exposePacing);
    }
    HANDLE ready_;
};

}  // namespace murel::test
