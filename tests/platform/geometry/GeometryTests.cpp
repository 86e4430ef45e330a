#include <gtest/gtest.h>

#include "platform/geometry/Geometry.h"

namespace zimlo {
namespace {

TEST(PixelRect, IntersectionKeepsOnlyTheOverlap) {
    const PixelRect screen{0, 0, 1920, 1080};
    EXPECT_EQ((PixelRect{100, 50, 300, 200}).intersected(screen), (PixelRect{100, 50, 300, 200}));
    EXPECT_EQ((PixelRect{-40, -30, 100, 100}).intersected(screen), (PixelRect{0, 0, 60, 70}));
    EXPECT_EQ((PixelRect{1900, 1000, 100, 100}).intersected(screen),
              (PixelRect{1900, 1000, 20, 80}));
    // A monitor to the right of the screen shares no pixel with it, even along the edge.
    const PixelRect beside = (PixelRect{1920, 0, 1280, 1024}).intersected(screen);
    EXPECT_TRUE(beside.isEmpty());
    EXPECT_EQ(beside.area(), 0);
}

TEST(PixelRect, AreaIsZeroForNegativeSizesAndDoesNotOverflow) {
    EXPECT_EQ((PixelRect{0, 0, -5, 10}).area(), 0);
    EXPECT_TRUE((PixelRect{0, 0, 10, 0}).isEmpty());
    EXPECT_EQ((PixelRect{0, 0, 65536, 65536}).area(), 65536LL * 65536LL);
}

}  // namespace
}  // namespace zimlo
