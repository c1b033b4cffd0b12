// Accumulation of detection matches and the AP / recall / count summary.
#include "eval/accumulator.hpp"

#include <algorithm>
#include <cfloat>
#include <numeric>
#include <utility>
#include <stdexcept>
#include <string>

namespace kx::eval {

double ratio(double a, double b) { return b == 0 ? 0.0 : a / b; }

Accumulator::Accumulator(std::size_t num_classes, std::vector<double> iou_thresholds, std::size_t max_detections)
    : thresholds_(std::move(iou_thresholds)),
      recall_points_(coco_recall_points()),
      max_detections_(max_detections),
      per_class_(num_classes) {
    if (num_classes == 0) throw std::invalid_argument("at least one class is needed");
    if (thresholds_.empty()) throw std::invalid_argument("at least one IoU threshold is needed");
    for (double t : thresholds_)
        if (!(t > 0 && t <= 1)) throw std::invalid_argument("IoU thresholds must lie in (0, 1], got " + std::to_string(t));
    if (max_detections_ == 0) throw std::invalid_argument("max_detections must be at least 1");
}

void Accumulator::add_image(const std::vector<Labelled>& ground_truth, const std::vector<Detection>& detections) {
    const auto num_classes = static_cast<int>(per_class_.size());
    auto check = [num_classes](int cls) {
        if (cls < 0 || cls >= num_classes)
            throw std::out_of_range("class number " + std::to_string(cls) + " outside 0.." +
                                    std::to_string(num_classes - 1));
    };
    for (const Labelled& g : ground_truth) check(g.cls);
    for (const Detection& d : detections) check(d.cls);

    // Detections grouped by class, each group by descending score; the stable
    // sort keeps the input order of equal scores.
    std::vector<std::size_t> order(detections.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (detections[a].cls != detections[b].cls) return detections[a].cls < detections[b].cls;
        return detections[a].score > detections[b].score;
    });
    std::vector<std::size_t> gt_order(ground_truth.size());
    std::iota(gt_order.begin(), gt_order.end(), std::size_t{0});
    // By class, the scored boxes of a class before its ignore regions.
    std::stable_sort(gt_order.begin(), gt_order.end(), [&](std::size_t a, std::size_t b) {
        if (ground_truth[a].cls != ground_truth[b].cls) return ground_truth[a].cls < ground_truth[b].cls;
        return ground_truth[a].ignore < ground_truth[b].ignore;
    });

    const std::size_t num_t = thresholds_.size();
    std::vector<Box> dt_boxes, gt_boxes;
    std::size_t di = 0, gi = 0;
    while (di < order.size() || gi < gt_order.size()) {
        int cls = num_classes;
        if (di < order.size()) cls = detections[order[di]].cls;
        if (gi < gt_order.size()) cls = std::min(cls, ground_truth[gt_order[gi]].cls);
        ClassRecords& records = per_class_[static_cast<std::size_t>(cls)];

        gt_boxes.clear();
        std::size_t scored = 0;
        for (; gi < gt_order.size() && ground_truth[gt_order[gi]].cls == cls; ++gi) {
            gt_boxes.push_back(ground_truth[gt_order[gi]].box);
            if (!ground_truth[gt_order[gi]].ignore) ++scored;
        }
        dt_boxes.clear();
        const std::size_t first = records.scores.size();
        for (; di < order.size() && detections[order[di]].cls == cls; ++di) {
            if (dt_boxes.size() == max_detections_) continue;  // below the cut
            dt_boxes.push_back(detections[order[di]].box);
            records.scores.push_back(detections[order[di]].score);
        }
        records.ground_truth += scored;
        records.matched.resize(records.scores.size() * num_t);
        match(dt_boxes, gt_boxes, scored, thresholds_, records.matched.data() + first * num_t);
    }
    ++images_;
}

ClassSummary Accumulator::summarize_class(const ClassRecords& records, double score_threshold) const {
    const std::size_t num_t = thresholds_.size();
    const std::size_t count = records.scores.size();
    ClassSummary out;
    out.ground_truth = records.ground_truth;
    out.detections = count;
    out.tp.assign(num_t, 0);
    out.fp.assign(num_t, 0);
    out.fn.assign(num_t, 0);

    // Operating-point counts do not depend on the merge order.
    for (std::size_t d = 0; d < count; ++d) {
        if (!(records.scores[d] >= score_threshold)) continue;
        const std::uint8_t* row = &records.matched[d * num_t];
        for (std::size_t t = 0; t < num_t; ++t) {
            if (row[t] == kMatched) out.tp[t] += 1;
            if (row[t] == kUnmatched) out.fp[t] += 1;
        }
    }
    for (std::size_t t = 0; t < num_t; ++t) out.fn[t] = records.ground_truth - out.tp[t];
    if (records.ground_truth == 0) return out;

    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return records.scores[a] > records.scores[b]; });

    const auto total = static_cast<double>(records.ground_truth);
    std::vector<double> recall(count), precision(count);
    out.ap.assign(num_t, 0.0);
    out.recall.assign(num_t, 0.0);
    for (std::size_t t = 0; t < num_t; ++t) {
        double tp = 0, fp = 0;
        for (std::size_t i = 0; i < count; ++i) {
            // An ignored detection keeps its place in the ranking and counts
            // neither way (the curve repeats its neighbour's point there).
            const std::uint8_t found = records.matched[order[i] * num_t + t];
            if (found == kMatched) tp += 1;
            if (found == kUnmatched) fp += 1;
            recall[i] = tp / total;
            precision[i] = tp / (fp + tp + DBL_EPSILON);
        }
        if (count == 0) continue;  // AP and recall 0
        out.recall[t] = recall.back();
        for (std::size_t i = count - 1; i > 0; --i) precision[i - 1] = std::max(precision[i - 1], precision[i]);
        // Precision at each recall point: at the first detection whose recall
        // reaches it (searchsorted, side "left"); 0 past the last one.
        double sum = 0;
        auto from = recall.begin();
        for (double point : recall_points_) {
            from = std::lower_bound(from, recall.end(), point);
            if (from == recall.end()) break;
            sum += precision[static_cast<std::size_t>(from - recall.begin())];
        }
        out.ap[t] = sum / static_cast<double>(recall_points_.size());
    }
    return out;
}

OperatingPoint Accumulator::best_f1_threshold(std::size_t iou_index, double fallback) const {
    const std::size_t num_t = thresholds_.size();
    if (iou_index >= num_t)
        throw std::out_of_range("IoU threshold index " + std::to_string(iou_index) + " outside 0.." +
                                std::to_string(num_t - 1));
    // Every class's detections pooled: score and whether it is a true positive;
    // ignored detections count neither way, so they are no candidates.
    std::vector<std::pair<double, bool>> pooled;
    std::size_t truth = 0;
    for (const ClassRecords& records : per_class_) {
        truth += records.ground_truth;
        for (std::size_t d = 0; d < records.scores.size(); ++d) {
            const std::uint8_t found = records.matched[d * num_t + iou_index];
            if (found != kIgnored) pooled.emplace_back(records.scores[d], found == kMatched);
        }
    }
    std::sort(pooled.begin(), pooled.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });

    OperatingPoint best;
    best.score = fallback;
    std::size_t tp = 0, fp = 0;
    for (std::size_t i = 0; i < pooled.size();) {
        // All detections of one score enter together: "score >= s" cannot split them.
        const double score = pooled[i].first;
        for (; i < pooled.size() && pooled[i].first == score; ++i) (pooled[i].second ? tp : fp) += 1;
        if (tp == 0) continue;
        const double f1 = 2.0 * static_cast<double>(tp) / static_cast<double>(tp + fp + truth);
        // Strictly better only: of equal F1 the higher threshold, seen first, stays.
        if (f1 > best.f1) best = {score, f1, tp, fp, truth - tp, true};
    }
    if (!best.found) best.fn = truth;
    return best;
}

Summary Accumulator::summarize(double score_threshold) const {
    const std::size_t num_t = thresholds_.size();
    Summary out;
    out.mean_ap.assign(num_t, 0.0);
    out.mean_recall.assign(num_t, 0.0);
    out.mean_accuracy.assign(num_t, 0.0);
    out.tp.assign(num_t, 0);
    out.fp.assign(num_t, 0);
    out.fn.assign(num_t, 0);
    std::size_t with_truth = 0;
    std::vector<std::size_t> with_objects(num_t, 0);
    for (const ClassRecords& records : per_class_) {
        ClassSummary c = summarize_class(records, score_threshold);
        if (c.ground_truth > 0) {
            ++with_truth;
            for (std::size_t t = 0; t < num_t; ++t) {
                out.mean_ap[t] += c.ap[t];
                out.mean_recall[t] += c.recall[t];
            }
        }
        for (std::size_t t = 0; t < num_t; ++t) {
            const double seen = static_cast<double>(c.tp[t] + c.fp[t] + c.fn[t]);
            if (seen > 0) {
                ++with_objects[t];
                out.mean_accuracy[t] += static_cast<double>(c.tp[t]) / seen;
            }
            out.tp[t] += c.tp[t];
            out.fp[t] += c.fp[t];
            out.fn[t] += c.fn[t];
        }
        out.classes.push_back(std::move(c));
    }
    for (std::size_t t = 0; t < num_t; ++t) {
        out.mean_ap[t] = ratio(out.mean_ap[t], static_cast<double>(with_truth));
        out.mean_recall[t] = ratio(out.mean_recall[t], static_cast<double>(with_truth));
        out.mean_accuracy[t] = ratio(out.mean_accuracy[t], static_cast<double>(with_objects[t]));
    }
    return out;
}

}  // namespace kx::eval
