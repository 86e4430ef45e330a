#pragma once

#include <algorithm>

namespace zimlo {

// A point inside a picture; in the project model x and y are fractions of the picture's width
// and height, y measured from the top edge.
struct Point {
    double x = 0;
    double y = 0;

    friend bool operator==(const Point&, const Point&) = default;
};

// A width and a height as doubles (fractions of a picture, or pixels, as the field says).
struct Size {
    double width = 0;
    double height = 0;

    friend bool operator==(const Size&, const Size&) = default;
};

// A size in whole pixels.
struct PixelSize {
    int width = 0;
    int height = 0;

    friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// A rectangle in whole pixels, origin at the top-left, y downwards.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool isEmpty() const { return width <= 0 || height <= 0; }
    // Empty (zero size, at the overlap's top-left) when the two do not overlap.
    PixelRect intersected(const PixelRect& other) const {
        const int left = std::max(x, other.x), top = std::max(y, other.y);
        const int right = std::min(x + width, other.x + other.width);
        const int bottom = std::min(y + height, other.y + other.height);
        if (right <= left || bottom <= top) return {left, top, 0, 0};
        return {left, top, right - left, bottom - top};
    }
    long long area() const { return isEmpty() ? 0 : static_cast<long long>(width) * height; }

    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

}  // namespace zimlo
