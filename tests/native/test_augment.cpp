// Training-sample augmentation: pixels and boxes move together, boxes leave, colours jitter.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "augment/augment.hpp"

using namespace kx::augment;

namespace {

constexpr int kH = 40, kW = 60;

// A black image with one grey rectangle [x1, x2) x [y1, y2).
std::vector<std::uint8_t> image_with_rectangle(int x1, int y1, int x2, int y2, std::uint8_t value = 200) {
    std::vector<std::uint8_t> pixels(kH * kW * 3, 0);
    for (int y = y1; y < y2; ++y)
        for (int x = x1; x < x2; ++x)
            for (int c = 0; c < 3; ++c) pixels[(y * kW + x) * 3 + c] = value;
    return pixels;
}

std::uint8_t at(const std::vector<std::uint8_t>& pixels, int x, int y, int c = 0) { return pixels[(y * kW + x) * 3 + c]; }

}  // namespace

TEST(Rng, SameSeedSameSequenceAndUniformInRange) {
    Rng a(42), b(42), c(43);
    bool differs = false;
    for (int i = 0; i < 100; ++i) {
        double u = a.uniform();
        EXPECT_EQ(u, b.uniform());
        differs |= u != c.uniform();
        EXPECT_GE(u, 0.0);
        EXPECT_LT(u, 1.0);
    }
    EXPECT_TRUE(differs);
    EXPECT_NE(sample_seed(7, 0), sample_seed(7, 1));
    EXPECT_NE(sample_seed(7, 0), sample_seed(8, 0));
}

TEST(Flip, MirrorsPixelsAndBoxes) {
    auto pixels = image_with_rectangle(5, 10, 15, 20);
    std::vector<Box> boxes{{5, 10, 15, 20, 2}};
    flip_horizontal(pixels.data(), kH, kW, boxes);
    EXPECT_FLOAT_EQ(boxes[0].x1, 45);
    EXPECT_FLOAT_EQ(boxes[0].x2, 55);
    EXPECT_FLOAT_EQ(boxes[0].y1, 10);
    EXPECT_FLOAT_EQ(boxes[0].cls, 2);
    EXPECT_EQ(at(pixels, 45, 10), 200);
    EXPECT_EQ(at(pixels, 54, 19), 200);
    EXPECT_EQ(at(pixels, 44, 10), 0);
    EXPECT_EQ(at(pixels, 55, 10), 0);
    EXPECT_EQ(at(pixels, 5, 10), 0);
}

TEST(ScaleTranslate, PixelsAndBoxesMoveTogether) {
    // Zoom 2 about the centre (30, 20) plus a shift: the box edges land on pixel edges.
    const Config config;
    std::vector<std::uint8_t> scratch;
    auto pixels = image_with_rectangle(24, 16, 32, 22);
    std::vector<Box> boxes{{24, 16, 32, 22, 1}};
    scale_translate(pixels.data(), kH, kW, 2.0, 4.0, -2.0, boxes, config, scratch);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FLOAT_EQ(boxes[0].x1, 22);  // (24 - 30) * 2 + 30 + 4
    EXPECT_FLOAT_EQ(boxes[0].x2, 38);
    EXPECT_FLOAT_EQ(boxes[0].y1, 10);  // (16 - 20) * 2 + 20 - 2
    EXPECT_FLOAT_EQ(boxes[0].y2, 22);
    for (int y = 11; y < 21; ++y)
        for (int x = 23; x < 37; ++x) EXPECT_EQ(at(pixels, x, y), 200) << x << "," << y;
    EXPECT_EQ(at(pixels, 20, 15), 0);
    EXPECT_EQ(at(pixels, 39, 15), 0);
    EXPECT_EQ(at(pixels, 30, 23), 0);
}

TEST(ScaleTranslate, BoxesThatLeaveAreDroppedAndEdgeBoxesClipped) {
    Config config;
    std::vector<std::uint8_t> scratch;
    std::vector<std::uint8_t> pixels(kH * kW * 3, 50);
    // Shift right by 20: the first box leaves entirely, the second is cut to a sliver
    // one pixel wide (below min_side), the third is clipped at the right edge and kept.
    std::vector<Box> boxes{{45, 5, 58, 15, 0}, {39, 20, 46, 30, 1}, {20, 20, 50, 30, 2}};
    scale_translate(pixels.data(), kH, kW, 1.0, 20.0, 0.0, boxes, config, scratch);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FLOAT_EQ(boxes[0].cls, 2);
    EXPECT_FLOAT_EQ(boxes[0].x1, 40);
    EXPECT_FLOAT_EQ(boxes[0].x2, kW);
    // Uncovered pixels take the fill colour.
    EXPECT_EQ(at(pixels, 5, 5), config.fill);
    EXPECT_EQ(at(pixels, 30, 5), 50);
}

TEST(Hsv, UnitGainsKeepColoursAndGreyStaysGrey) {
    std::vector<std::uint8_t> pixels;
    for (int v = 0; v < 256; v += 5) pixels.insert(pixels.end(), {std::uint8_t(v), std::uint8_t(255 - v), std::uint8_t(v / 2)});
    const auto original = pixels;
    const int count = static_cast<int>(pixels.size() / 3);
    jitter_hsv(pixels.data(), 1, count, 0.0, 1.0, 1.0);
    for (std::size_t i = 0; i < pixels.size(); ++i) EXPECT_NEAR(pixels[i], original[i], 1) << i;

    std::vector<std::uint8_t> grey{100, 100, 100, 0, 0, 0};
    jitter_hsv(grey.data(), 1, 2, 0.3, 1.5, 1.2);
    EXPECT_EQ(grey, (std::vector<std::uint8_t>{120, 120, 120, 0, 0, 0}));

    std::vector<std::uint8_t> red{200, 0, 0};
    jitter_hsv(red.data(), 1, 1, 1.0 / 3.0, 1.0, 1.0);  // a third of the circle: red to green
    EXPECT_EQ(red, (std::vector<std::uint8_t>{0, 200, 0}));
}

TEST(Apply, ZeroFrequenciesChangeNothingButDropPadding) {
    Config config;  // all frequencies 0
    Rng rng(1);
    std::vector<std::uint8_t> scratch;
    auto pixels = image_with_rectangle(5, 5, 20, 20);
    const auto original = pixels;
    std::vector<Box> boxes{{5, 5, 20, 20, 1}, {0, 0, 0, 0, 0}};
    apply(config, rng, pixels.data(), kH, kW, boxes, scratch);
    EXPECT_EQ(pixels, original);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FLOAT_EQ(boxes[0].x2, 20);
}

TEST(Apply, FullFrequencyAlwaysFlipsAndSameSeedRepeats) {
    Config config;
    config.flip = 1.0;
    config.hsv = 0.5;
    config.scale = 0.5;
    std::vector<std::uint8_t> scratch;
    std::vector<std::uint8_t> first, second;
    for (auto* out : {&first, &second}) {
        Rng rng(sample_seed(99, 3));
        *out = image_with_rectangle(5, 5, 20, 20);
        std::vector<Box> boxes{{5, 5, 20, 20, 1}};
        apply(config, rng, out->data(), kH, kW, boxes, scratch);
    }
    EXPECT_EQ(first, second);

    config.hsv = config.scale = 0;
    Rng rng(5);
    auto pixels = image_with_rectangle(5, 5, 20, 20);
    std::vector<Box> boxes{{5, 5, 20, 20, 1}};
    apply(config, rng, pixels.data(), kH, kW, boxes, scratch);
    EXPECT_FLOAT_EQ(boxes[0].x1, 40);
}
