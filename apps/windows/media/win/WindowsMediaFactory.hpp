#pragma once
// The Windows media of the Controller's Platform record: the D3D11 device, DXGI desktop
// duplication, the D3D11 video processor, Media Foundation encoder and decoders, the flip-model
// presenter, and the 1 ms multimedia timer resolution during a media session.

#include "media/MediaFactory.hpp"

namespace murel::win {

MediaFactory makeWindowsMediaFactory();

}  // namespace murel::win
