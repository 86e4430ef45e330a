#pragma once

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

}  // namespace zimlo
