#pragma once
// Rectangles in 96-dpi units and their scaling to device pixels.

#include <cstdint>

namespace murel::ui {

inline constexpr int kBaseDpi = 96;

// x, y, width, height.
struct Rect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;

    bool operator==(const Rect&) const = default;
};

struct Size96 {
    int w = 0;
    int h = 0;
};

// value * numerator / denominator rounded half away from zero, as the system's MulDiv does;
// -1 when the denominator is 0 or the result does not fit.
int mulDiv(int value, int numerator, int denominator);

// A DPI of 0 (a window the system could not tell) counts as 96.
inline int effectiveDpi(int dpi) { return dpi <= 0 ? kBaseDpi : dpi; }

inline int scale(int value, int dpi) { return mulDiv(value, effectiveDpi(dpi), kBaseDpi); }

inline Rect scale(const Rect& rect, int dpi) {
    return {scale(rect.x, dpi), scale(rect.y, dpi), scale(rect.w, dpi), scale(rect.h, dpi)};
}

// Device pixels back to 96-dpi units (client sizes measured by the system).
inline int unscale(int pixels, int dpi) { return mulDiv(pixels, kBaseDpi, effectiveDpi(dpi)); }

}  // namespace murel::ui
