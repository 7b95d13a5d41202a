#pragma once
// What mingw-w64's headers lack from the Windows SDK (the import libraries have the functions), and
// the activation list that MFTEnumEx / MFTEnum2 hand out.

#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>

#include "media/win/ComRef.hpp"

extern "C" HRESULT WINAPI MFTEnum2(GUID guidCategory, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
                                   const MFT_REGISTER_TYPE_INFO* outputType, IMFAttributes* attributes,
                                   IMFActivate*** activates, UINT32* count);

namespace murel::win {

// {1D39518C-E220-4DA8-A07F-BA172552D6B1}: the adapter (a LUID blob) MFTEnum2 enumerates for.
inline constexpr GUID kMftEnumAdapterLuid = {0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};
// {5B11D51B-2F4C-4452-BCC3-09F2A1160CC0}: D3D11_DECODER_PROFILE_HEVC_VLD_MAIN.
inline constexpr GUID kD3D11DecoderProfileHevcVldMain = {0x5b11d51b, 0x2f4c, 0x4452, {0xbc, 0xc3, 0x09, 0xf2, 0xa1, 0x16, 0x0c, 0xc0}};

// The activation objects of one enumeration: every one released and the array freed on scope exit.
class ActivationList {
public:
    ActivationList() = default;
    ~ActivationList();
    ActivationList(const ActivationList&) = delete;
    ActivationList& operator=(const ActivationList&) = delete;

    IMFActivate*** array() { return &activates_; }
    UINT32* count() { return &count_; }

    // The transform of the first activation object that yields one; null when none does.
    ComRef<IMFTransform> activateFirst();

private:
    IMFActivate** activates_ = nullptr;
    UINT32 count_ = 0;
};

}  // namespace murel::win
