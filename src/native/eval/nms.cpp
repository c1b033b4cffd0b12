// Per-class non-maximum suppression with an overall detection limit.
//
// Greedy suppression visits candidates by descending score and keeps one
// unless a kept box of its class overlaps it too much. The same result comes
// without sorting: the best candidate left in a class is always kept, and
// keeping it removes at once every candidate of the class it suppresses. The
// classes take turns through a small heap on their best candidate, so boxes
// are kept in the overall visiting order and the work stops at
// max_detections. Each kept box costs one pass over its class's candidates
// left; untrained models, which put every (box, class) pair above a low
// threshold with heavily overlapping boxes, lose most candidates in the
// first pass.
#include "eval/nms.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "eval/matching.hpp"

namespace kx::eval {
namespace {

// A float's bits as an unsigned number with the same order (NaN excluded).
std::uint32_t ordered(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x80000000U) ? ~bits : bits | 0x80000000U;
}

// Larger key first: higher score, then lower box row.
std::uint64_t key(float score, std::size_t box) {
    return (std::uint64_t{ordered(score)} << 32) | (0xFFFFFFFFU - static_cast<std::uint32_t>(box));
}

std::size_t box_of(std::uint64_t k) { return 0xFFFFFFFFU - static_cast<std::uint32_t>(k & 0xFFFFFFFFU); }

// iou(a, b) > threshold without the division (the innermost test): a kept
// box `a` of area `area_a` against a candidate row x1, y1, x2, y2.
bool overlaps_more(const Box& a, double area_a, const float* b, double threshold) {
    const double w = std::min(a.x2, double{b[2]}) - std::max(a.x1, double{b[0]});
    if (!(w > 0)) return false;
    const double h = std::min(a.y2, double{b[3]}) - std::max(a.y1, double{b[1]});
    if (!(h > 0)) return false;
    const double inter = w * h;
    const double area_b = (double{b[2]} - b[0]) * (double{b[3]} - b[1]);
    return inter > threshold * (area_a + area_b - inter);
}

}  // namespace

std::vector<Selected> non_max_suppression(const float* boxes, const float* scores, std::size_t num_boxes,
                                          std::size_t num_classes, const NmsOptions& options) {
    std::vector<Selected> kept;
    if (options.max_detections == 0 || options.first_class >= num_classes) return kept;

    // Per class: the candidates not yet kept or suppressed (unordered) and
    // the position of the first of them in the visiting order.
    std::vector<std::vector<std::uint64_t>> left(num_classes);
    for (std::size_t c = options.first_class; c < num_classes; ++c) left[c].reserve(num_boxes);
    for (std::size_t k = 0; k < num_boxes; ++k) {
        const float* row = scores + k * num_classes;
        for (std::size_t c = options.first_class; c < num_classes; ++c)
            if (row[c] >= options.score_threshold) left[c].push_back(key(row[c], k));
    }
    std::vector<std::size_t> first(num_classes, 0);
    std::vector<std::size_t> heads;  // classes with candidates left, as a heap on their first candidate
    for (std::size_t c = 0; c < num_classes; ++c) {
        if (left[c].empty()) continue;
        first[c] = static_cast<std::size_t>(std::max_element(left[c].begin(), left[c].end()) - left[c].begin());
        heads.push_back(c);
    }
    // The class whose first candidate comes later sinks (equal candidates: higher class).
    auto later = [&](std::size_t a, std::size_t b) {
        const std::uint64_t ka = left[a][first[a]], kb = left[b][first[b]];
        return ka != kb ? ka < kb : a > b;
    };
    std::make_heap(heads.begin(), heads.end(), later);

    while (!heads.empty() && kept.size() < options.max_detections) {
        std::pop_heap(heads.begin(), heads.end(), later);
        const std::size_t cls = heads.back();
        heads.pop_back();
        // The first candidate left of a class overlaps no kept box of it: kept.
        std::vector<std::uint64_t>& candidates = left[cls];
        const std::size_t row = box_of(candidates[first[cls]]);
        kept.push_back({row, cls, scores[row * num_classes + cls]});
        const float* b = boxes + row * 4;
        const Box box{b[0], b[1], b[2], b[3]};
        const double area = (box.x2 - box.x1) * (box.y2 - box.y1);
        // Drop it and every candidate it suppresses; find the next first.
        std::size_t out = 0, best = 0;
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            const std::uint64_t k = candidates[i];
            const std::size_t other = box_of(k);
            if (other == row || overlaps_more(box, area, boxes + other * 4, options.iou_threshold)) continue;
            if (out == 0 || k > candidates[best]) best = out;
            candidates[out++] = k;
        }
        candidates.resize(out);
        if (out == 0) continue;
        first[cls] = best;
        heads.push_back(cls);
        std::push_heap(heads.begin(), heads.end(), later);
    }
    return kept;
}

}  // namespace kx::eval
