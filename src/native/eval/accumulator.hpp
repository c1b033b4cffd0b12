// Accumulates the matches of a detection evaluation image by image and turns
// them into average precision, recall and counts per class.
//
// The rules follow the COCO detection evaluation (crowd regions as ignore
// regions, one area range): per image and class the detections are ordered by descending score
// (stable: equal scores keep their input order), cut to `max_detections` and
// matched greedily (matching.hpp); per class the detections of all images are
// merged in image order and ordered by descending score (stable again), and
// the precision/recall curve is read at the 101 recall points.
//
// Not thread-safe: one accumulator per evaluation pass, used from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "eval/matching.hpp"

namespace kx::eval {

// One object: a box and its class number (0 <= cls < num_classes); an
// ignore region (crowd or difficult) is neither found nor missed (see
// match).
struct Labelled {
    Labelled() = default;
    Labelled(Box b, int c, bool ignored = false) : box(b), cls(c), ignore(ignored) {}
    Box box;
    int cls = 0;
    bool ignore = false;
};

struct Detection {
    Box box;
    int cls = 0;
    double score = 0;
};

// Values of one class. `ap` and `recall` hold one value per IoU threshold, or
// are empty when the class has no ground truth (AP and recall are undefined).
// tp/fp/fn count the detections scoring at or above the operating point, per
// threshold; fn = ground_truth - tp.
struct ClassSummary {
    std::size_t ground_truth = 0;
    std::size_t detections = 0;  // after the per-image cut, at any score
    std::vector<double> ap, recall;
    std::vector<std::size_t> tp, fp, fn;
};

// Per IoU threshold: mean AP and mean recall over the classes with ground
// truth, mean TP / (TP + FP + FN) over the classes with ground truth or
// operating-point detections, and TP, FP, FN summed over all classes. Means
// over no class are 0.
struct Summary {
    std::vector<ClassSummary> classes;
    std::vector<double> mean_ap, mean_recall, mean_accuracy;
    std::vector<std::size_t> tp, fp, fn;
};

// a / b, or 0 when b is 0.
double ratio(double a, double b);

// The score threshold that maximises F1 = 2TP / (2TP + FP + FN) over one
// pass, counts summed over all classes. `found` is true when some threshold
// gives a true positive; otherwise (no detection, no ground truth, or no
// detection matching any) F1 is 0 at every threshold and `score` is the
// caller's fallback.
struct OperatingPoint {
    double score = 0;
    double f1 = 0;
    std::size_t tp = 0, fp = 0, fn = 0;
    bool found = false;
};

class Accumulator {
public:
    // Throws std::invalid_argument for no class, no threshold, a threshold
    // outside (0, 1] or max_detections 0.
    Accumulator(std::size_t num_classes, std::vector<double> iou_thresholds, std::size_t max_detections = 100);

    // Matches one image and adds it. Throws std::out_of_range for a class
    // number outside 0..num_classes-1 (nothing is added then).
    void add_image(const std::vector<Labelled>& ground_truth, const std::vector<Detection>& detections);

    // The values of everything added so far, with the operating point
    // `score_threshold` for the counts.
    Summary summarize(double score_threshold) const;

    // The best-F1 operating point at the IoU threshold thresholds()[iou_index]
    // (std::out_of_range past the end). Only the scores of the detections
    // (after the per-image cut) are candidates; a tie in F1 goes to the
    // higher threshold. O(n log n) in the number of detections.
    OperatingPoint best_f1_threshold(std::size_t iou_index, double fallback) const;

    std::size_t images() const { return images_; }
    std::size_t num_classes() const { return per_class_.size(); }
    const std::vector<double>& thresholds() const { return thresholds_; }

private:
    struct ClassRecords {
        std::size_t ground_truth = 0;
        std::vector<double> scores;           // in image order, each image's part by descending score
        std::vector<std::uint8_t> matched;    // scores.size() x thresholds
    };

    ClassSummary summarize_class(const ClassRecords& records, double score_threshold) const;

    std::vector<double> thresholds_;
    std::vector<double> recall_points_;
    std::size_t max_detections_;
    std::vector<ClassRecords> per_class_;
    std::size_t images_ = 0;
};

}  // namespace kx::eval
