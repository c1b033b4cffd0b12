// Per-class non-maximum suppression with an overall detection limit.
#include <gtest/gtest.h>

#include <vector>

#include "eval/nms.hpp"

using namespace kx::eval;

namespace {

struct Output {
    std::vector<float> boxes, scores;
    std::size_t classes;
    void add(std::vector<float> box, std::vector<float> score) {
        boxes.insert(boxes.end(), box.begin(), box.end());
        scores.insert(scores.end(), score.begin(), score.end());
    }
    std::vector<Selected> run(NmsOptions options) const {
        return non_max_suppression(boxes.data(), scores.data(), boxes.size() / 4, classes, options);
    }
};

std::vector<std::size_t> rows(const std::vector<Selected>& s) {
    std::vector<std::size_t> r;
    for (const Selected& x : s) r.push_back(x.box);
    return r;
}

}  // namespace

TEST(Nms, SuppressesWithinAClassOnly) {
    Output out{{}, {}, 2};
    out.add({0, 0, 10, 10}, {0.8F, 0.1F});
    out.add({1, 0, 11, 10}, {0.9F, 0.0F});   // IoU 0.82 with row 0
    out.add({30, 0, 40, 10}, {0.6F, 0.0F});
    const std::vector<Selected> kept = out.run({0, 0.05, 0.5, 100});
    EXPECT_EQ(rows(kept), (std::vector<std::size_t>{1, 2, 0}));  // row 0 survives in class 1 only
    ASSERT_EQ(kept.size(), 3U);
    EXPECT_EQ(kept[0].cls, 0U);
    EXPECT_EQ(kept[2].cls, 1U);
    EXPECT_FLOAT_EQ(kept[2].score, 0.1F);
}

TEST(Nms, ThresholdsLimitBackgroundAndTies) {
    Output out{{}, {}, 2};
    out.add({0, 0, 10, 10}, {0.99F, 0.5F});
    out.add({0, 0, 10, 5}, {0.0F, 0.5F});   // IoU exactly 0.5 with row 0: kept
    out.add({50, 0, 60, 10}, {0.0F, 0.25F});
    out.add({80, 0, 90, 10}, {0.0F, 0.2499F});
    // Column 0 is background; equal scores come in row order; 0.25 is at the threshold.
    EXPECT_EQ(rows(out.run({1, 0.25, 0.5, 100})), (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(rows(out.run({1, 0.25, 0.49, 100})), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(rows(out.run({1, 0.0, 0.5, 2})), (std::vector<std::size_t>{0, 1}));
    EXPECT_TRUE(out.run({2, 0.0, 0.5, 100}).empty());
    EXPECT_TRUE(out.run({1, 0.0, 0.5, 0}).empty());
}
