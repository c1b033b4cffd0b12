// Per-class non-maximum suppression with an overall detection limit.
#include "eval/nms.hpp"

#include <algorithm>
#include <cstdint>

#include "eval/matching.hpp"

namespace kx::eval {

std::vector<Selected> non_max_suppression(const float* boxes, const float* scores, std::size_t num_boxes,
                                          std::size_t num_classes, const NmsOptions& options) {
    std::vector<Selected> kept;
    if (options.max_detections == 0 || options.first_class >= num_classes) return kept;

    std::vector<Selected> heap;
    for (std::size_t k = 0; k < num_boxes; ++k) {
        const float* row = scores + k * num_classes;
        for (std::size_t c = options.first_class; c < num_classes; ++c)
            if (row[c] >= options.score_threshold) heap.push_back({k, c, row[c]});
    }
    // A max-heap: built in linear time, and only the candidates visited
    // before the limit is reached are ever popped.
    auto lower = [](const Selected& a, const Selected& b) {
        if (a.score != b.score) return a.score < b.score;
        if (a.box != b.box) return a.box > b.box;
        return a.cls > b.cls;
    };
    std::make_heap(heap.begin(), heap.end(), lower);

    auto box_at = [boxes](std::size_t k) {
        const float* b = boxes + k * 4;
        return Box{b[0], b[1], b[2], b[3]};
    };
    std::vector<std::vector<Box>> kept_per_class(num_classes);
    while (!heap.empty() && kept.size() < options.max_detections) {
        std::pop_heap(heap.begin(), heap.end(), lower);
        const Selected candidate = heap.back();
        heap.pop_back();
        const Box box = box_at(candidate.box);
        std::vector<Box>& same_class = kept_per_class[candidate.cls];
        const bool suppressed = std::any_of(same_class.begin(), same_class.end(),
                                            [&](const Box& k) { return iou(box, k) > options.iou_threshold; });
        if (suppressed) continue;
        same_class.push_back(box);
        kept.push_back(candidate);
    }
    return kept;
}

}  // namespace kx::eval
