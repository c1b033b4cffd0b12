// Matching, accumulation and the AP / recall / count summary of the detection evaluation.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "eval/accumulator.hpp"
#include "eval/matching.hpp"

using namespace kx::eval;

namespace {

std::vector<int> matches(const std::vector<Box>& dt, const std::vector<Box>& gt, double threshold) {
    std::vector<std::uint8_t> out(dt.size());
    match(dt, gt, {threshold}, out.data());
    return {out.begin(), out.end()};
}

Detection det(Box b, double score, int cls = 0) { return {b, cls, score}; }

}  // namespace

TEST(Iou, OverlapTouchingAndDegenerateBoxes) {
    EXPECT_DOUBLE_EQ(iou({0, 0, 10, 10}, {0, 0, 10, 10}), 1.0);
    EXPECT_DOUBLE_EQ(iou({0, 0, 10, 10}, {5, 0, 15, 10}), 50.0 / 150.0);
    EXPECT_EQ(iou({0, 0, 10, 10}, {10, 0, 20, 10}), 0.0);  // touching edges
    EXPECT_EQ(iou({0, 0, 0, 0}, {0, 0, 0, 0}), 0.0);      // no area, no NaN
    EXPECT_EQ(iou({10, 10, 0, 0}, {0, 0, 10, 10}), 0.0);  // inverted corners
}

TEST(Thresholds, AreNumpysLinspaceValues) {
    const std::vector<double> t = coco_iou_thresholds();
    ASSERT_EQ(t.size(), 10U);
    EXPECT_EQ(t.front(), 0.5);
    EXPECT_EQ(t[1], 0.55);
    EXPECT_EQ(t.back(), 0.95);
    const std::vector<double> r = coco_recall_points();
    ASSERT_EQ(r.size(), 101U);
    EXPECT_EQ(r[57], 0.5700000000000001);  // one ulp above 57/100, as NumPy makes it
    EXPECT_EQ(r[7], 0.07);
    EXPECT_EQ(r.back(), 1.0);
}

TEST(Match, HigherScoreTakesItsBestGroundTruthFirst) {
    const std::vector<Box> gt = {{0, 0, 10, 10}, {5, 0, 15, 10}};
    // IoU 0.538 with gt0, 0.667 with gt1: takes gt1, the perfect second box gets gt0.
    EXPECT_EQ(matches({{3, 0, 13, 10}, {0, 0, 10, 10}}, gt, 0.5), (std::vector<int>{1, 1}));
    EXPECT_EQ(matches({{3, 0, 13, 10}, {0, 0, 10, 10}}, gt, 0.7), (std::vector<int>{0, 1}));
    // The first detection takes gt1 (0.818), so the exact copy of gt1 is left with gt0 (0.333).
    EXPECT_EQ(matches({{4, 0, 14, 10}, {5, 0, 15, 10}}, gt, 0.5), (std::vector<int>{1, 0}));
    // Exactly at the threshold matches; a perfect box matches at 1.0.
    EXPECT_EQ(matches({{0, 0, 10, 10}}, {{0, 0, 10, 5}}, 0.5), (std::vector<int>{1}));
    EXPECT_EQ(matches({{0, 0, 10, 10}}, {{0, 0, 10, 10}}, 1.0), (std::vector<int>{1}));
    EXPECT_EQ(matches({{0, 0, 10, 10}, {0, 0, 10, 10}}, {}, 0.5), (std::vector<int>{0, 0}));
}

TEST(Accumulator, HandWorkedPrecisionRecallCurve) {
    // Two objects; detections by score: hit, miss, hit. Precision made monotone is
    // 1, 2/3, 2/3 at recall 0.5, 0.5, 1: 51 recall points read 1 and 50 read 2/3.
    Accumulator acc(1, {0.5});
    acc.add_image({{{0, 0, 10, 10}, 0}, {{20, 20, 30, 30}, 0}},
                  {det({0, 0, 10, 10}, 0.9), det({50, 50, 60, 60}, 0.8), det({20, 20, 30, 31}, 0.7)});
    const Summary s = acc.summarize(0.75);
    EXPECT_NEAR(s.mean_ap[0], (51.0 + 50.0 * 2.0 / 3.0) / 101.0, 1e-12);
    EXPECT_DOUBLE_EQ(s.mean_recall[0], 1.0);
    EXPECT_EQ(s.tp[0], 1U);  // at 0.75 only the first two detections count
    EXPECT_EQ(s.fp[0], 1U);
    EXPECT_EQ(s.fn[0], 1U);
    EXPECT_DOUBLE_EQ(s.mean_accuracy[0], 1.0 / 3.0);
}

TEST(Accumulator, ImagesMergeByScoreAndEachImageIsCut) {
    // A false positive of image 2 outranks the hit of image 1: precision 1/2 at full recall.
    Accumulator acc(1, {0.5}, /*max_detections=*/2);
    acc.add_image({{{0, 0, 10, 10}, 0}}, {det({0, 0, 10, 10}, 0.6)});
    acc.add_image({}, {det({0, 0, 5, 5}, 0.9), det({0, 0, 5, 5}, 0.8), det({0, 0, 5, 5}, 0.7)});
    const Summary s = acc.summarize(0.0);
    EXPECT_EQ(s.classes[0].detections, 3U);  // the third of image 2 is below the cut
    EXPECT_EQ(s.fp[0], 2U);
    EXPECT_NEAR(s.mean_ap[0], 1.0 / 3.0, 1e-12);
    EXPECT_EQ(acc.images(), 2U);
}

TEST(Accumulator, WhichClassesEnterTheMeans) {
    // Class 0: found. Class 1: missed. Class 2: only a false positive (no ground truth).
    // Class 3: nothing at all.
    Accumulator acc(4, {0.5, 0.75});
    acc.add_image({{{0, 0, 10, 10}, 0}, {{20, 0, 30, 10}, 1}},
                  {det({0, 0, 10, 10}, 0.9, 0), det({40, 0, 50, 10}, 0.8, 2)});
    const Summary s = acc.summarize(0.5);
    for (std::size_t t = 0; t < 2; ++t) {
        EXPECT_DOUBLE_EQ(s.mean_ap[t], 0.5);        // (1 + 0) / 2: class 2 has no ground truth
        EXPECT_DOUBLE_EQ(s.mean_recall[t], 0.5);
        EXPECT_DOUBLE_EQ(s.mean_accuracy[t], 1.0 / 3.0);  // (1 + 0 + 0) / 3: class 3 left out
    }
    EXPECT_TRUE(s.classes[2].ap.empty());
    EXPECT_EQ(s.classes[2].fp[0], 1U);
    EXPECT_EQ(s.tp[0] + s.fp[0] + s.fn[0], 3U);
}

TEST(Accumulator, EmptyPassIsZeroAndBadInputIsRejected) {
    Accumulator acc(2, coco_iou_thresholds());
    acc.add_image({}, {});
    const Summary s = acc.summarize(0.25);
    for (double v : s.mean_ap) EXPECT_EQ(v, 0.0);
    for (double v : s.mean_accuracy) EXPECT_EQ(v, 0.0);
    EXPECT_THROW(acc.add_image({{{0, 0, 1, 1}, 2}}, {}), std::out_of_range);
    EXPECT_THROW(acc.add_image({}, {det({0, 0, 1, 1}, 0.5, -1)}), std::out_of_range);
    EXPECT_EQ(acc.images(), 1U);
    EXPECT_THROW(Accumulator(0, {0.5}), std::invalid_argument);
    EXPECT_THROW(Accumulator(1, {}), std::invalid_argument);
    EXPECT_THROW(Accumulator(1, {1.5}), std::invalid_argument);
}

TEST(Match, IgnoreRegionsAreNeitherFoundNorMissed) {
    // Ground truth: one scored box, then one ignore region (index 1 on).
    const std::vector<Box> gt = {{0, 0, 10, 10}, {20, 0, 40, 20}};
    // d0 takes the scored box; d1 lies inside the region (overlap over its own
    // area is 1, its IoU would be 0.25); d2 also lies inside it: a region
    // takes any number; d3 misses everything.
    const std::vector<Box> dt = {{0, 0, 10, 10}, {20, 0, 30, 10}, {30, 10, 40, 20}, {50, 50, 60, 60}};
    std::vector<std::uint8_t> out(dt.size());
    match(dt, gt, 1, {0.5}, out.data());
    EXPECT_EQ(std::vector<int>(out.begin(), out.end()), (std::vector<int>{kMatched, kIgnored, kIgnored, kUnmatched}));

    // A detection that matched a scored box never moves on to a region, even a
    // better one; once the scored box is taken it falls to the region.
    const std::vector<Box> both = {{0, 0, 10, 10}, {0, 0, 10, 10}};
    const std::vector<Box> two = {{0, 0, 10, 9}, {0, 0, 10, 9}};
    std::vector<std::uint8_t> twice(2);
    match(two, both, 1, {0.5}, twice.data());
    EXPECT_EQ(std::vector<int>(twice.begin(), twice.end()), (std::vector<int>{kMatched, kIgnored}));

    // In the summary an ignored detection is not a false positive and a region
    // is not ground truth: AP 1 and no false positive at the operating point.
    Accumulator acc(1, {0.5});
    acc.add_image({{{0, 0, 10, 10}, 0, false}, {{20, 0, 40, 20}, 0, true}},
                  {det({20, 0, 30, 10}, 0.9), det({0, 0, 10, 10}, 0.8)});
    const Summary s = acc.summarize(0.5);
    EXPECT_EQ(s.classes[0].ground_truth, 1U);
    EXPECT_DOUBLE_EQ(s.mean_ap[0], 1.0);
    EXPECT_EQ(s.fp[0], 0U);
    EXPECT_EQ(s.tp[0], 1U);
}

TEST(OperatingPoint, BestF1OfALowConfidenceModelPoolsTheClasses) {
    // Three objects in two classes; every score below 0.25. By score: hit (cls 0), miss,
    // hit (cls 1), miss, miss. F1 = 2TP / (TP + FP + 3): 0.5, 0.4, 0.667, 0.571, 0.5.
    Accumulator acc(2, {0.5, 0.75});
    acc.add_image({{{0, 0, 10, 10}, 0}, {{20, 0, 30, 10}, 1}, {{40, 0, 50, 10}, 1}},
                  {det({0, 0, 10, 10}, 0.2, 0), det({60, 0, 70, 10}, 0.18, 0), det({20, 0, 30, 10}, 0.15, 1),
                   det({60, 20, 70, 30}, 0.1, 1), det({60, 40, 70, 50}, 0.05, 0)});
    const OperatingPoint p = acc.best_f1_threshold(0, 0.25);
    EXPECT_TRUE(p.found);
    EXPECT_EQ(p.score, 0.15);
    EXPECT_DOUBLE_EQ(p.f1, 2.0 / 3.0);
    EXPECT_EQ(std::vector<std::size_t>({p.tp, p.fp, p.fn}), (std::vector<std::size_t>{2, 1, 1}));
    // The same counts come out of the summary at that threshold; the fixed 0.25 finds nothing.
    const Summary at = acc.summarize(p.score);
    EXPECT_EQ(std::vector<std::size_t>({at.tp[0], at.fp[0], at.fn[0]}), (std::vector<std::size_t>{2, 1, 1}));
    EXPECT_EQ(acc.summarize(0.25).tp[0], 0U);
    EXPECT_THROW(acc.best_f1_threshold(2, 0.25), std::out_of_range);
}

TEST(OperatingPoint, TiesGoToTheHigherThresholdAndEqualScoresEnterTogether) {
    // Two objects. By score: hit, miss, miss, hit: F1 2/3 at 0.9 and again at 0.6.
    Accumulator ties(1, {0.5});
    ties.add_image({{{0, 0, 10, 10}, 0}, {{20, 0, 30, 10}, 0}},
                   {det({0, 0, 10, 10}, 0.9), det({60, 0, 70, 10}, 0.8), det({60, 20, 70, 30}, 0.7),
                    det({20, 0, 30, 10}, 0.6)});
    EXPECT_EQ(ties.best_f1_threshold(0, 0.25).score, 0.9);

    // A miss scoring as high as the only hit cannot be cut away from it; an ignored
    // detection (inside a crowd region) is no candidate and counts neither way.
    Accumulator same(1, {0.5});
    same.add_image({{{0, 0, 10, 10}, 0}, {{20, 0, 40, 20}, 0, true}},
                   {det({0, 0, 10, 10}, 0.5), det({60, 0, 70, 10}, 0.5), det({20, 0, 30, 10}, 0.95)});
    const OperatingPoint p = same.best_f1_threshold(0, 0.25);
    EXPECT_EQ(p.score, 0.5);
    EXPECT_EQ(std::vector<std::size_t>({p.tp, p.fp, p.fn}), (std::vector<std::size_t>{1, 1, 0}));
}

TEST(OperatingPoint, FallsBackWithoutATruePositive) {
    Accumulator nothing(1, {0.5});
    nothing.add_image({{{0, 0, 10, 10}, 0}}, {});
    Accumulator no_truth(1, {0.5});
    no_truth.add_image({}, {det({0, 0, 10, 10}, 0.9)});
    Accumulator all_wrong(1, {0.5});
    all_wrong.add_image({{{0, 0, 10, 10}, 0}}, {det({50, 50, 60, 60}, 0.9)});
    for (const Accumulator* acc : {&nothing, &no_truth, &all_wrong}) {
        const OperatingPoint p = acc->best_f1_threshold(0, 0.3);
        EXPECT_FALSE(p.found);
        EXPECT_EQ(p.score, 0.3);
        EXPECT_EQ(p.f1, 0.0);
        EXPECT_EQ(p.tp, 0U);
    }
    EXPECT_EQ(nothing.best_f1_threshold(0, 0.3).fn, 1U);
}
