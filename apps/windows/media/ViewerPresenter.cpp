#include "media/ViewerPresenter.hpp"

#include <cmath>

#include "media/MediaError.hpp"

namespace murel {

FrameRect fitRect(double boxWidth, double boxHeight, double contentWidth, double contentHeight) {
    for (const double side : {boxWidth, boxHeight, contentWidth, contentHeight}) {
        throwUnless(std::isfinite(side) && side > 0, media_text::kInvalidFrameSize);
    }
    FrameRect rect;
    if (boxHeight / contentHeight >= boxWidth / contentWidth) {
        rect.w = boxWidth;
        rect.x = 0;
        rect.h = boxWidth * contentHeight / contentWidth;
        rect.y = (boxHeight - rect.h) / 2;
    } else {
        rect.h = boxHeight;
        rect.y = 0;
        rect.w = boxHeight * contentWidth / contentHeight;
        rect.x = (boxWidth - rect.w) / 2;
    }
    return rect;
}

void checkPresentable(const Picture& picture) {
    const PictureDescription description = picture.describe();
    throwUnless(description.format == PixelFormat::Bgra && description.arraySize == 1, media_text::kPresentNeedsBgra);
}

PresentResult ViewerPresenter::present(const PictureHandle& picture) {
    throwUnless(picture != nullptr, media_text::kPresentAbsent);
    return presentPicture(*picture);
}

}  // namespace murel
