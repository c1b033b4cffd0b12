// Per-class non-maximum suppression over a detector's raw output: K boxes,
// each with one score per class. Pure function; thread-safe.
#pragma once

#include <cstddef>
#include <vector>

namespace kx::eval {

struct Selected {
    std::size_t box = 0;  // row of the box in the input
    std::size_t cls = 0;  // column of the score
    float score = 0;
};

struct NmsOptions {
    std::size_t first_class = 0;   // score columns before this one are never reported (a background column)
    double score_threshold = 0;    // candidates score at least this much
    double iou_threshold = 0.5;    // a candidate overlapping a kept box of its class by more is dropped
    std::size_t max_detections = 100;
};

// `boxes` is K x 4 (x1, y1, x2, y2), `scores` K x C, both row-major. Every
// (box, class) pair scoring at least the threshold is a candidate (NaN scores
// never are). Candidates are visited by descending score (equal scores: lower
// box row, then lower class, first); one is kept unless its IoU with a box
// already kept for the same class exceeds iou_threshold. This is per-class
// suppression followed by the overall top max_detections, computed with an
// early stop: the result is in descending score order.
std::vector<Selected> non_max_suppression(const float* boxes, const float* scores, std::size_t num_boxes,
                                          std::size_t num_classes, const NmsOptions& options);

}  // namespace kx::eval
