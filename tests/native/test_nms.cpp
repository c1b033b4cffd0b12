// Per-class non-maximum suppression with an overall detection limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "eval/matching.hpp"
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

namespace {

// Greedy suppression written the plain way: every candidate sorted, then visited.
std::vector<Selected> plain_nms(const Output& out, const NmsOptions& o) {
    std::vector<Selected> all, kept;
    const std::size_t rows_count = out.boxes.size() / 4;
    for (std::size_t k = 0; k < rows_count; ++k)
        for (std::size_t c = o.first_class; c < out.classes; ++c)
            if (out.scores[k * out.classes + c] >= o.score_threshold) all.push_back({k, c, out.scores[k * out.classes + c]});
    std::stable_sort(all.begin(), all.end(), [](const Selected& a, const Selected& b) { return a.score > b.score; });
    auto box = [&](std::size_t k) { return Box{out.boxes[k * 4], out.boxes[k * 4 + 1], out.boxes[k * 4 + 2], out.boxes[k * 4 + 3]}; };
    for (const Selected& s : all) {
        if (kept.size() == o.max_detections) break;
        bool suppressed = false;
        for (const Selected& k : kept) suppressed |= k.cls == s.cls && iou(box(k.box), box(s.box)) > o.iou_threshold;
        if (!suppressed) kept.push_back(s);
    }
    return kept;
}

}  // namespace

TEST(Nms, SameAsPlainGreedySuppression) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(0, 1);
    for (int trial = 0; trial < 40; ++trial) {
        Output out{{}, {}, 1 + static_cast<std::size_t>(trial % 4)};
        const float spread = trial % 2 ? 300.0F : 20.0F;  // clustered or scattered boxes
        for (int k = 0; k < 150; ++k) {
            const float x = unit(rng) * spread, y = unit(rng) * spread, s = 10 + unit(rng) * 30;
            std::vector<float> score(out.classes);
            for (float& v : score) v = std::round(unit(rng) * 20) / 20;  // many ties
            out.add({x, y, x + s, y + s}, score);
        }
        const NmsOptions o{static_cast<std::size_t>(trial % 3 == 0), 0.1, trial % 5 == 0 ? 0.3 : 0.6,
                           static_cast<std::size_t>(trial % 7 == 0 ? 10 : 100)};
        const std::vector<Selected> got = out.run(o), want = plain_nms(out, o);
        ASSERT_EQ(got.size(), want.size()) << "trial " << trial;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].box, want[i].box) << "trial " << trial << " detection " << i;
            EXPECT_EQ(got[i].cls, want[i].cls) << "trial " << trial << " detection " << i;
        }
    }
}
