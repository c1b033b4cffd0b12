// Whole-factor area shrink: block averages, rounding, row strides, refused sizes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "geometry/area_shrink.hpp"

using kx::geometry::shrink_by_whole_factor;
using Bytes = std::vector<std::uint8_t>;

TEST(AreaShrink, AveragesEachBlockRoundingTiesToEven) {
    // One row, factor 4 x 1, one channel: sums 2, 6, 5, 1020 -> 0.5, 1.5, 1.25, 255.
    const Bytes src = {0, 0, 1, 1, 1, 1, 1, 3, 1, 1, 1, 2, 255, 255, 255, 255};
    Bytes dst(4, 7);
    ASSERT_TRUE(shrink_by_whole_factor(src.data(), src.size(), 16, 1, 1, dst.data(), 4, 4, 1));
    EXPECT_EQ(dst, (Bytes{0, 2, 1, 255}));
}

TEST(AreaShrink, KeepsChannelsApartAndHonoursRowStrides) {
    // 3 x 3 blocks of a 6 x 3 image with two channels; rows 13 bytes apart (one spare byte),
    // output rows 5 bytes apart (one spare byte, left untouched).
    const int w = 6, h = 3, ch = 2;
    Bytes src(13 * h, 99);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            src[y * 13 + x * ch] = static_cast<std::uint8_t>(x < 3 ? 10 : 20 + y);  // right block: 20, 21, 22
            src[y * 13 + x * ch + 1] = static_cast<std::uint8_t>(x == 0 && y == 0 ? 9 : 0);
        }
    Bytes dst(5, 77);
    ASSERT_TRUE(shrink_by_whole_factor(src.data(), 13, w, h, ch, dst.data(), 5, 2, 1));
    EXPECT_EQ(dst, (Bytes{10, 1, 21, 0, 77}));
}

TEST(AreaShrink, RefusesTheSizesItDoesNotReproduce) {
    Bytes src(600 * 600 * 3, 1), dst(600 * 600 * 3, 5);
    struct Case { int sw, sh, dw, dh; } cases[] = {
        {10, 10, 10, 10},  // no shrink
        {10, 10, 5, 5},    // 2 x 2
        {10, 9, 4, 3},     // 10 / 4 is no whole factor
        {2, 516, 1, 2},    // vertical factor 258
        {10, 10, 0, 5},    // empty output
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(shrink_by_whole_factor(src.data(), c.sw * 3, c.sw, c.sh, 3, dst.data(), 1800, c.dw, c.dh))
            << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
    }
    EXPECT_EQ(dst[0], 5);  // nothing written
}
