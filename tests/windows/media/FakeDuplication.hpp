#pragma once
// A scriptable DXGI output duplication for the capture tests: each AcquireNextFrame answers from a
// queue the test fills, handing out real textures of Wine's device as the desktop image. Like DXGI,
// it refuses to acquire while a frame is still held.

#include <dxgi1_2.h>
#include <d3d11.h>

#include <deque>

#include "ComFake.hpp"
#include "media/win/ComRef.hpp"

namespace murel::test {

using win::ComRef;

class FakeDuplication final : public ComFake<IDXGIOutputDuplication> {
public:
    struct Frame {
        HRESULT result = S_OK;
        ComRef<ID3D11Texture2D> desktop;  // handed out as the frame's resource (also with a failure)
        LONGLONG lastPresentTime = 0;
        bool protectedContent = false;
    };

    static ComRef<FakeDuplication> make() { return ComRef<FakeDuplication>::adopt(new FakeDuplication()); }

    std::deque<Frame> frames;  // empty: DXGI_ERROR_WAIT_TIMEOUT
    DXGI_RATIONAL refreshRate{0, 0};
    int acquires = 0;
    int releases = 0;
    bool holding = false;

    STDMETHODIMP SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    STDMETHODIMP GetParent(REFIID, void**) override { return E_NOTIMPL; }

    void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* description) override {
        *description = {};
        description->ModeDesc.RefreshRate = refreshRate;
        description->ModeDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    }
    STDMETHODIMP AcquireNextFrame(UINT, DXGI_OUTDUPL_FRAME_INFO* info, IDXGIResource** resource) override {
        ++acquires;
        *info = {};
        *resource = nullptr;
        if (holding) return DXGI_ERROR_INVALID_CALL;
        if (frames.empty()) return DXGI_ERROR_WAIT_TIMEOUT;
        const Frame next = frames.front();
        frames.pop_front();
        if (next.desktop) next.desktop->QueryInterface(__uuidof(IDXGIResource), reinterpret_cast<void**>(resource));
        if (FAILED(next.result) || next.result == DXGI_ERROR_WAIT_TIMEOUT) return next.result;
        info->LastPresentTime.QuadPart = next.lastPresentTime;
        info->AccumulatedFrames = 1;
        info->ProtectedContentMaskedOut = next.protectedContent;
        holding = true;
        return next.result;
    }
    STDMETHODIMP GetFrameDirtyRects(UINT, RECT*, UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFrameMoveRects(UINT, DXGI_OUTDUPL_MOVE_RECT*, UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFramePointerShape(UINT, void*, UINT*, DXGI_OUTDUPL_POINTER_SHAPE_INFO*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP MapDesktopSurface(DXGI_MAPPED_RECT*) override { return E_NOTIMPL; }
    STDMETHODIMP UnMapDesktopSurface() override { return E_NOTIMPL; }
    STDMETHODIMP ReleaseFrame() override {
        ++releases;
        if (!holding) return DXGI_ERROR_INVALID_CALL;
        holding = false;
        return S_OK;
    }

private:
    FakeDuplication() = default;
    bool answers(REFIID riid) const override {
        return riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIOutputDuplication);
    }
};

}  // namespace murel::test
