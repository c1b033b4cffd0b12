// Letter-box placement and box conversion.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "geometry/boxes.hpp"

using namespace kx::geometry;

TEST(Letterbox, FitsCentresAndKeepsTheAspectRatio) {
    const Letterbox wide = letterbox_geometry(640, 480, 320, 320);
    EXPECT_EQ(wide.content_width, 320);
    EXPECT_EQ(wide.content_height, 240);
    EXPECT_EQ(wide.canvas_width, 320);
    EXPECT_EQ(wide.canvas_height, 320);
    EXPECT_EQ(wide.pad_left + wide.pad_right, 0);
    EXPECT_EQ(wide.pad_top, 40);
    EXPECT_EQ(wide.pad_bottom, 40);
    EXPECT_DOUBLE_EQ(wide.ratio_x, 0.5);

    const Letterbox up = letterbox_geometry(10, 30, 100, 60);  // enlarged, padded left/right
    EXPECT_EQ(up.content_height, 60);
    EXPECT_EQ(up.content_width, 20);
    EXPECT_EQ(up.pad_left, 40);
    EXPECT_EQ(up.pad_right, 40);

    const Letterbox odd = letterbox_geometry(100, 50, 101, 101);  // odd free space: extra pixel right/bottom
    EXPECT_EQ(odd.content_width, 101);
    EXPECT_EQ(odd.content_height, 51);
    EXPECT_EQ(odd.pad_top, 25);
    EXPECT_EQ(odd.pad_bottom, 25);
}

TEST(Letterbox, RatioDescribesTheRoundedContentExactly) {
    for (int w : {1, 3, 333, 1000, 4032})
        for (int h : {1, 7, 480, 3024}) {
            const Letterbox b = letterbox_geometry(w, h, 416, 320);
            EXPECT_DOUBLE_EQ(b.ratio_x * w, b.content_width);
            EXPECT_DOUBLE_EQ(b.ratio_y * h, b.content_height);
            EXPECT_GE(b.content_width, 1);
            EXPECT_LE(b.content_width, 416);
            EXPECT_LE(b.content_height, 320);
            EXPECT_EQ(b.pad_left + b.content_width + b.pad_right, b.canvas_width);
            EXPECT_EQ(b.pad_top + b.content_height + b.pad_bottom, b.canvas_height);
        }
}

TEST(Letterbox, StridePaddingAndInvalidSizes) {
    const Letterbox b = letterbox_geometry(640, 480, 640, 640, /*pad_to_stride=*/true);
    EXPECT_EQ(b.canvas_width, 640);
    EXPECT_EQ(b.canvas_height, 480);
    EXPECT_EQ(b.pad_top, 0);
    const Letterbox c = letterbox_geometry(100, 50, 200, 200, true);  // content 200x100 -> 200x128
    EXPECT_EQ(c.canvas_height, 128);
    EXPECT_EQ(c.pad_top, 14);
    EXPECT_EQ(c.pad_bottom, 14);
    const Letterbox d = letterbox_geometry(100, 50, 100, 100, true);  // never beyond the target
    EXPECT_EQ(d.canvas_width, 100);
    EXPECT_THROW(letterbox_geometry(0, 10, 10, 10), std::invalid_argument);
    EXPECT_THROW(letterbox_geometry(10, 10, 10, -1), std::invalid_argument);
}

TEST(Letterbox, PasteFillsBordersAndCopiesContent) {
    const Letterbox b = letterbox_geometry(2, 1, 4, 4);  // content 4x2, pad top 1, bottom 1
    ASSERT_EQ(b.pad_top, 1);
    // Rows 5 bytes apart: the paste must honour the content row stride.
    std::vector<std::uint8_t> strided = {1, 2, 3, 4, 0xEE, 5, 6, 7, 8, 0xEE};
    std::vector<std::uint8_t> canvas(16, 0);
    paste_letterbox(b, strided.data(), 5, 1, 114, canvas.data());
    const std::vector<std::uint8_t> expected = {114, 114, 114, 114, 1, 2, 3, 4, 5, 6, 7, 8, 114, 114, 114, 114};
    EXPECT_EQ(canvas, expected);
}

TEST(BoxConversion, CornersInPixelsWithPaddingAndExtraColumns) {
    const std::vector<float> in = {0.5f, 0.5f, 0.2f, 0.4f, 3.f, 0.f, 1.f, 1.f, 0.f, 7.f};
    std::vector<float> out(in.size());
    xywhn_to_xyxy(in.data(), out.data(), 2, 5, 100, 50, 10, 20);
    const std::vector<float> expected = {50.f, 35.f, 70.f, 55.f, 3.f, -40.f, 70.f, 60.f, 70.f, 7.f};
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], expected[i], 1e-4) << i;
    std::vector<double> same = {0.25, 0.75, 0.5, 0.5};  // in place
    xywhn_to_xyxy(same.data(), same.data(), 1, 4, 8, 4, 0, 0);
    EXPECT_EQ(same, (std::vector<double>{0, 2, 4, 4}));
}
