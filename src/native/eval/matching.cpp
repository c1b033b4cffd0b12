// Detection-to-ground-truth matching of one image and class.
#include "eval/matching.hpp"

#include <algorithm>

namespace kx::eval {
namespace {

std::vector<double> linspace(double start, double stop, int num) {
    std::vector<double> values(static_cast<std::size_t>(num));
    const double step = (stop - start) / (num - 1);
    for (int i = 0; i < num; ++i) values[static_cast<std::size_t>(i)] = i * step + start;
    values.back() = stop;
    return values;
}

}  // namespace

std::vector<double> coco_iou_thresholds() { return linspace(0.5, 0.95, 10); }
std::vector<double> coco_recall_points() { return linspace(0.0, 1.0, 101); }

void match(const std::vector<Box>& detections, const std::vector<Box>& ground_truth,
           const std::vector<double>& thresholds, std::uint8_t* matched) {
    match(detections, ground_truth, ground_truth.size(), thresholds, matched);
}

void match(const std::vector<Box>& detections, const std::vector<Box>& ground_truth, std::size_t ignore_from,
           const std::vector<double>& thresholds, std::uint8_t* matched) {
    const std::size_t num_dt = detections.size();
    const std::size_t num_gt = ground_truth.size();
    const std::size_t num_t = thresholds.size();
    std::fill(matched, matched + num_dt * num_t, std::uint8_t{0});
    if (num_dt == 0 || num_gt == 0) return;

    std::vector<double> overlaps(num_dt * num_gt);
    for (std::size_t d = 0; d < num_dt; ++d)
        for (std::size_t g = 0; g < num_gt; ++g)
            overlaps[d * num_gt + g] = g < ignore_from ? iou(detections[d], ground_truth[g])
                                                       : overlap_of_detection(detections[d], ground_truth[g]);

    std::vector<std::uint8_t> taken(num_gt);
    for (std::size_t t = 0; t < num_t; ++t) {
        std::fill(taken.begin(), taken.end(), std::uint8_t{0});
        // A perfect overlap still matches at a threshold of 1.
        const double floor = std::min(thresholds[t], 1.0 - 1e-10);
        for (std::size_t d = 0; d < num_dt; ++d) {
            double best = floor;
            std::size_t found = num_gt;
            const double* row = &overlaps[d * num_gt];
            for (std::size_t g = 0; g < num_gt; ++g) {
                if (taken[g] && g < ignore_from) continue;
                // A scored match is final once the ignore regions begin.
                if (found < ignore_from && g >= ignore_from) break;
                if (row[g] < best) continue;
                best = row[g];
                found = g;
            }
            if (found == num_gt) continue;
            taken[found] = 1;
            matched[d * num_t + t] = found < ignore_from ? kMatched : kIgnored;
        }
    }
}

}  // namespace kx::eval
