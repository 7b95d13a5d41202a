#include "media/win/MediaFoundationExtras.hpp"

#include <objbase.h>

namespace murel::win {

ActivationList::~ActivationList() {
    if (!activates_) return;
    for (UINT32 i = 0; i < count_; ++i) {
        if (activates_[i]) activates_[i]->Release();
    }
    CoTaskMemFree(activates_);
}

ComRef<IMFTransform> ActivationList::activateFirst() {
    for (UINT32 i = 0; activates_ && i < count_; ++i) {
        if (!activates_[i]) continue;
        ComRef<IMFTransform> transform;
        if (SUCCEEDED(activates_[i]->ActivateObject(__uuidof(IMFTransform), transform.putVoid())) && transform) {
            return transform;
        }
    }
    return {};
}

}  // namespace murel::win
