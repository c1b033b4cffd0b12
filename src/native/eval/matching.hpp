// Detection-to-ground-truth matching of one image and class, the way the
// COCO detection evaluation matches them. Pure functions; thread-safe.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kx::eval {

// Corners x1, y1, x2, y2 (any unit, as long as both sides share it).
struct Box {
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
};

// Intersection over union; 0 when the boxes do not overlap (a box with
// x2 <= x1 or y2 <= y1 overlaps nothing). Inline: suppression calls it in
// its innermost loop.
inline double iou(const Box& a, const Box& b) {
    const double w = std::min(a.x2, b.x2) - std::max(a.x1, b.x1);
    if (!(w > 0)) return 0.0;
    const double h = std::min(a.y2, b.y2) - std::max(a.y1, b.y1);
    if (!(h > 0)) return 0.0;
    const double inter = w * h;
    const double area_a = (a.x2 - a.x1) * (a.y2 - a.y1);
    const double area_b = (b.x2 - b.x1) * (b.y2 - b.y1);
    return inter / (area_a + area_b - inter);
}

// The ten IoU thresholds 0.50, 0.55, ..., 0.95 and the 101 recall points
// 0.00, 0.01, ..., 1.00 bit for bit as NumPy's linspace makes them (i * step +
// start, the last value set to the end point): a few recall points are one
// ulp away from k/100, and which one is used decides ties in the AP.
std::vector<double> coco_iou_thresholds();
std::vector<double> coco_recall_points();

// Intersection over the area of `detection` (how much of it lies in the
// region): the overlap of a detection with an ignore region. 0 when they do
// not overlap or the detection has no area.
inline double overlap_of_detection(const Box& detection, const Box& region) {
    const double w = std::min(detection.x2, region.x2) - std::max(detection.x1, region.x1);
    if (!(w > 0)) return 0.0;
    const double h = std::min(detection.y2, region.y2) - std::max(detection.y1, region.y1);
    if (!(h > 0)) return 0.0;
    const double area = (detection.x2 - detection.x1) * (detection.y2 - detection.y1);
    return area > 0 ? w * h / area : 0.0;
}

// What a detection found at one threshold.
enum Match : std::uint8_t { kUnmatched = 0, kMatched = 1, kIgnored = 2 };

// Greedy matching of one image and class. `detections` must already be in
// the order they are matched in (descending score). For every threshold t,
// each detection in turn takes, among the ground truth not yet taken at t,
// the one of highest IoU at or above t (of equal IoUs, the later box);
// matched[d * thresholds.size() + t] is set to 1 when detection d found one,
// 0 otherwise.
//
// Ground truth from index `ignore_from` on are ignore regions (crowd or
// difficult objects), as the COCO evaluation treats crowd regions: their
// overlap is overlap_of_detection, any number of detections may match one,
// a detection already holding a scored box does not move on to them, and a
// detection whose match is one is marked kIgnored (neither a true nor a
// false positive).
void match(const std::vector<Box>& detections, const std::vector<Box>& ground_truth,
           const std::vector<double>& thresholds, std::uint8_t* matched);
void match(const std::vector<Box>& detections, const std::vector<Box>& ground_truth, std::size_t ignore_from,
           const std::vector<double>& thresholds, std::uint8_t* matched);

}  // namespace kx::eval
