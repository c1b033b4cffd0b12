// orvane.validator.evaluators: DetectionEvaluator, the validation evaluator
// the trainer drives through a pass: evaluator(writer), single_evaluation per
// image, conclude at the end.
//
// This file only converts: it checks and turns the instance dictionaries into
// boxes and class numbers, hands them to the Python-free accumulator
// (src/native/eval) and turns its summary into the metrics dictionary. Not
// thread-safe: one evaluator per training loop, used from its thread.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "eval/accumulator.hpp"
#include "pyglue/glue.hpp"

namespace py = pybind11;
namespace ev = kx::eval;

namespace kx::validator {
void add_summary(py::module_& m);  // summary.cpp: SUMMARY_KEYS, summary_percentages, summary_key
}

namespace {

constexpr const char* kModuleDoc = R"doc(Validation evaluator of detection models: COCO-style mAP and mAR, accuracy and overall precision/recall.)doc";

constexpr const char* kClassDoc = R"doc(Scores a detector image by image over a validation pass.

The trainer calls ``evaluator(writer)`` at the start of a pass,
``single_evaluation(instances, epoch, add_image)`` for every image and
``conclude(truth_values, epoch=...)`` at the end, which returns the metrics
dictionary. Boxes are x1, y1, x2, y2 normalised to the image (ground truth as
the datasets deliver it in validation mode, detections as ``runner`` returns
them); labels are class names from ``classes``.

What counts:
    Ground-truth rows of zero width or height (the datasets' all-zero row of an
    image without objects) are not objects. When ``classes[0]`` is
    "background", ground truth and detections labelled so are left out and the
    class takes no part in any mean. Per image and class at most 100
    detections count, the highest scoring ones (equal scores keep their order).

Matching (per image and class, at IoU threshold t): detections in descending
score order each take, among the ground truth not yet taken, the one of
highest IoU at or above t. A taken detection is a true positive (TP), the rest
are false positives (FP); ground truth left untaken are false negatives (FN).

Metrics (all fractions; thresholds T = 0.50, 0.55, ..., 0.95 by default):
    mAP[t]   mean over the classes with ground truth of AP_c(t). AP_c(t) is
             the COCO average precision: detections of class c from all images
             by descending score; recall r_i = TP_i / G_c and precision
             p_i = TP_i / (TP_i + FP_i) after the first i detections (G_c:
             ground truth of class c); p made monotone, p_i = max_{j>=i} p_j;
             AP = (1/101) * sum over R = 0, 0.01, ..., 1 of p at the first i
             with r_i >= R (0 when recall never reaches R).
    mAR[t]   mean over the classes with ground truth of R_c(t) = TP_c / G_c,
             all detections counted (COCO's recall at 100 detections).
    mACC[t]  mean over the classes with ground truth or operating-point
             detections of TP_c / (TP_c + FP_c + FN_c), counting only
             detections scoring at least the operating point.
    OP       TP / (TP + FP) at IoU 0.5 and the operating point, summed over
             all classes;
    OR       TP / (TP + FN), same counts;
    OA       TP / (TP + FP + FN), same counts.
    "0.5:0.95" is the mean of the values at every threshold of T. mAP and mAR
    use every detection the runner returned; the operating point (a score
    threshold) decides mACC, OP, OR and OA. A ratio whose denominator is 0
    (and a mean over no class) is 0, so no value is NaN.

Operating point: with ``score_threshold="f1"`` (the default) every pass picks
its own: the detection score s that maximises F1 = 2TP / (2TP + FP + FN) at
IoU 0.5 for "score >= s", counts summed over all classes (as OP and OR are);
of equal F1 the higher score wins. A model whose scores are all low is thus
judged where it works, not at a fixed value it never reaches. When no
threshold finds a true positive (no detection, no ground truth, or no
detection matching any), F1 is 0 everywhere and the pass falls back to 0.25.
A number instead fixes the operating point for every pass.

Attributes:
    runner: the runner whose ``run_single_instance`` the trainer calls.
    classes: the class names, as given.
    score_threshold: "f1" or the fixed operating point (float), as given.
    operating_point: the score threshold the last concluded pass used
        (float; None before the first ``conclude``).
    operating_point_rule: how it was chosen: "best F1", "fixed", or
        "default" (the 0.25 fallback of "f1" when nothing was found).
    iou_thresholds: the IoU thresholds (tuple of floats).
    writer: the validation writer of the current pass (None before the first).
    per_class: the values of the last concluded pass per class name (the
        background excluded): {"ground_truth": n, "detections": n,
        "AP": {...}, "AR": {...}, "ACC": {...}, "TP": n, "FP": n, "FN": n,
        "precision": v, "recall": v}, the three families keyed like the
        metrics ("0.5", "0.75", "0.5:0.95") and None where undefined (AP and
        AR of a class without ground truth, ACC of a class with nothing), the
        counts at IoU 0.5 and the operating point, and the class's
        TP / (TP + FP) and TP / (TP + FN) of those counts (0 when the
        denominator is 0). Empty until the first ``conclude``.
)doc";

constexpr const char* kInitDoc = R"doc(Sets the evaluator up.

Args:
    runner: the detection runner (``orvane.validator.runners.DetectionRunner``
        or any object with ``run_single_instance``); kept for the trainer.
    classes: list of class names, the trainer's ``classes``.
    score_threshold: operating point of mACC, OP, OR and OA: "f1" (default)
        for each pass's best-F1 score threshold, or a fixed finite number
        in 0..1.
    iou_thresholds: IoU thresholds in (0, 1] holding 0.5 and 0.75; None
        (default) for 0.50, 0.55, ..., 0.95.

Raises:
    TypeError: ``classes`` is not a list.
    TypeError: ``score_threshold`` is neither a number nor a string.
    ValueError: no class, a repeated class name, a score threshold that is
        neither "f1" nor a finite number in 0..1, or IoU thresholds that are
        out of range or miss 0.5 or 0.75.
)doc";

constexpr const char* kCallDoc = R"doc(Starts a validation pass: forgets the accumulated matches and keeps the writer.

Args:
    writer: the validation writer (``TrainingTensorBoardWriter``) that
        images flagged by ``add_image`` are published through.

Returns:
    None.
)doc";

constexpr const char* kSingleDoc = R"doc(Matches one image's detections against its ground truth and accumulates them.

Args:
    instances: {"gt_instance": {"image", "boxes" [N, 4], "labels" [N],
        "image_path", ...}, "dt_instance": {"boxes" [M, 4], "labels" [M],
        "scores" [M]}}, as the trainer builds it. ``gt_instance`` may also
        hold "ignore_boxes" [K, 4] and "ignore_labels" [K]: crowd or
        difficult objects, treated as the COCO evaluation treats crowd
        regions (a detection whose best match is one is neither a true
        nor a false positive; overlap is measured over the detection's
        own area).
    epoch: the epoch; the step of a published image.
    add_image: publish the image with ground truth (green) and detections
        scoring at least the operating point (red) drawn, through the
        writer, with the image name as caption. With "f1" the pass's own
        operating point is known only at its end, so images are drawn at
        the previous pass's (0.25 in the first pass).

Returns:
    The pass's accumulated state, to hand to ``conclude``.

Raises:
    ValueError: naming the image and the array, for boxes not of shape
        [N, 4] or not finite, labels or scores whose count differs from the
        boxes', non-finite scores, a label not in ``classes``, or a ground
        truth box with x2 < x1 or y2 < y1 (it could never be matched).
    RuntimeError: ``add_image`` is true but no writer was given yet.
)doc";

constexpr const char* kConcludeDoc = R"doc(Turns the pass's accumulated matches into the metrics dictionary.

Args:
    truth_values: what ``single_evaluation`` returned last in this pass (or
        None for the current pass).
    epoch: the epoch of the pass: not used in the values; the step of the
        published operating point.

Returns:
    {"mAP": {"0.5", "0.75", "0.5:0.95"}, "mAR": {...}, "mACC": {...},
    "OP": v, "OR": v, "OA": v}, fractions. Also sets ``per_class``,
    ``operating_point`` and ``operating_point_rule``, and, when the pass has
    a writer and ``epoch`` is given, publishes the operating point as the
    scalar "operating-point score" at step ``epoch``.

Raises:
    RuntimeError: no ``single_evaluation`` since the pass began.
    ValueError: ``truth_values`` is the state of another pass.
)doc";

constexpr const char* kBackground = "background";
constexpr const char* kBestF1 = "f1";
// The operating point of "f1" when a pass finds no true positive, and the one
// images of the first "f1" pass are drawn at.
constexpr double kDefaultOperatingPoint = 0.25;
constexpr const char* kOperatingPointTag = "operating-point score";

// ------------------------------------------------------------------ state

// What an evaluator fixes at construction.
struct Config {
    py::list names;   // the class names as given
    py::dict index;   // name -> class number
    int first_class = 0;  // 1 when class 0 is the background
    std::vector<double> thresholds;
    std::size_t at_50 = 0, at_75 = 0;  // positions of 0.5 and 0.75 in thresholds
};

// The accumulated matches of one validation pass; what single_evaluation
// returns and conclude takes.
struct PassState {
    explicit PassState(std::shared_ptr<const Config> c)
        : config(std::move(c)), accumulator(static_cast<std::size_t>(py::len(config->names)), config->thresholds) {}
    std::shared_ptr<const Config> config;
    ev::Accumulator accumulator;
    bool published = false;
};

PassState& state_of(py::handle self) { return py::cast<PassState&>(self.attr("_state")); }

py::tuple as_tuple(const std::vector<double>& values) {
    py::tuple out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = py::float_(values[i]);
    return out;
}

// ------------------------------------------------------------------ input checks

// Names the image and the array in every input error.
struct Where {
    std::string image;
    [[noreturn]] void fail(const std::string& array, const std::string& what) const {
        kx::raise(PyExc_ValueError, "image '" + image + "': " + array + " " + what);
    }
};

py::object item(py::handle mapping, const char* key, const Where& where, const std::string& name) {
    PyObject* found = PyDict_Check(mapping.ptr()) ? PyDict_GetItemString(mapping.ptr(), key) : nullptr;
    if (found == nullptr) {
        if (!PyDict_Check(mapping.ptr()))
            where.fail(name, "must be a dict, got " + std::string(Py_TYPE(mapping.ptr())->tp_name));
        where.fail(name + "['" + key + "']", "is missing");
    }
    return py::reinterpret_borrow<py::object>(found);
}

std::vector<ev::Box> read_boxes(py::handle value, const Where& where, const std::string& name) {
    auto rows = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
    if (!rows) {
        PyErr_Clear();
        where.fail(name, "must be a numeric array of boxes, got " + std::string(Py_TYPE(value.ptr())->tp_name));
    }
    std::vector<ev::Box> boxes;
    if (rows.size() == 0) return boxes;
    if (rows.ndim() != 2 || rows.shape(1) != 4)
        where.fail(name, "must have shape (N, 4) with rows x1, y1, x2, y2, got " + kx::shape_text(rows));
    const double* v = rows.data();
    boxes.resize(static_cast<std::size_t>(rows.shape(0)));
    for (std::size_t i = 0; i < boxes.size(); ++i, v += 4) {
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(v[c])) where.fail(name, "holds a non-finite value in row " + std::to_string(i));
        boxes[i] = {v[0], v[1], v[2], v[3]};
    }
    return boxes;
}

// Python objects of a label or score sequence (NumPy arrays through tolist).
py::list entries(py::handle value, const Where& where, const std::string& name, std::size_t expected,
                 const std::string& boxes_name) {
    py::object seq = py::reinterpret_borrow<py::object>(value);
    if (py::isinstance<py::array>(seq)) seq = seq.attr("tolist")();
    if (seq.is_none() || py::isinstance<py::str>(seq) || !PySequence_Check(seq.ptr()))
        where.fail(name, "must be a sequence, got " + std::string(Py_TYPE(value.ptr())->tp_name));
    py::list list(seq);
    if (list.size() != expected)
        where.fail(name, "holds " + std::to_string(list.size()) + " entries but " + boxes_name + " holds " +
                             std::to_string(expected) + " boxes");
    return list;
}

std::vector<int> read_labels(py::handle value, const Config& config, const Where& where, const std::string& name,
                             std::size_t expected, const std::string& boxes_name) {
    py::list list = entries(value, where, name, expected, boxes_name);
    std::vector<int> labels(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        PyObject* found = PyDict_GetItemWithError(config.index.ptr(), list[i].ptr());
        if (found == nullptr) {
            PyErr_Clear();  // an unhashable label is as unknown as a missing one
            where.fail(name, "holds " + py::repr(list[i]).cast<std::string>() + " (entry " + std::to_string(i) +
                                 "), which is not in classes");
        }
        labels[i] = static_cast<int>(PyLong_AsLong(found));
    }
    return labels;
}

std::vector<double> read_scores(py::handle value, const Where& where, const std::string& name,
                                std::size_t expected, const std::string& boxes_name) {
    py::list list = entries(value, where, name, expected, boxes_name);
    std::vector<double> scores(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const double s = PyFloat_AsDouble(list[i].ptr());
        if (s == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            where.fail(name, "holds " + py::repr(list[i]).cast<std::string>() + " (entry " + std::to_string(i) +
                                 "), which is not a number");
        }
        if (!std::isfinite(s)) where.fail(name, "holds a non-finite score (entry " + std::to_string(i) + ")");
        scores[i] = s;
    }
    return scores;
}

// ------------------------------------------------------------------ operating point

// score_threshold checked: the str "f1" or a float in 0..1.
py::object read_score_threshold(py::handle value) {
    if (PyUnicode_Check(value.ptr())) {
        if (py::str(value).cast<std::string>() == kBestF1) return py::str(kBestF1);
        kx::raise(PyExc_ValueError, "Argument 'score_threshold' must be \"f1\" or a finite number in [0.0, 1.0], got " +
                                        py::repr(value).cast<std::string>());
    }
    return py::float_(kx::to_finite(value, "score_threshold", 0.0, 1.0));
}

bool best_f1(const py::object& requested) { return py::isinstance<py::str>(requested); }

// The threshold images are drawn at while a pass runs: the fixed one, or with
// "f1" the previous pass's (the default before any).
py::object drawing_threshold(const py::object& self) {
    py::object requested = read_score_threshold(self.attr("score_threshold"));
    if (!best_f1(requested)) return requested;
    py::object previous = self.attr("operating_point");
    return previous.is_none() ? py::object(py::float_(kDefaultOperatingPoint)) : previous;
}

// ------------------------------------------------------------------ methods

void init(py::object self, py::object runner, py::object classes, py::object score_threshold,
          py::object iou_thresholds) {
    kx::check_list(classes, "classes");
    py::object requested = read_score_threshold(score_threshold);
    if (classes.is_none() || py::len(classes) == 0)
        kx::raise(PyExc_ValueError, "DetectionEvaluator needs the list of class names (classes is empty)");

    auto config = std::make_shared<Config>();
    config->names = py::list(classes);
    for (std::size_t i = 0; i < config->names.size(); ++i) {
        py::object name = config->names[i];
        if (config->index.contains(name))
            kx::raise(PyExc_ValueError, "classes holds " + py::repr(name).cast<std::string>() + " twice");
        config->index[name] = py::int_(i);
    }
    py::object first = config->names[0];
    config->first_class = py::isinstance<py::str>(first) && first.cast<std::string>() == kBackground ? 1 : 0;

    if (iou_thresholds.is_none()) {
        config->thresholds = ev::coco_iou_thresholds();
    } else {
        for (py::handle t : iou_thresholds) config->thresholds.push_back(kx::to_double(t, "iou_thresholds"));
    }
    auto position = [&](double wanted) {
        for (std::size_t i = 0; i < config->thresholds.size(); ++i)
            if (std::abs(config->thresholds[i] - wanted) < 1e-9) return i;
        kx::raise(PyExc_ValueError, "iou_thresholds must hold " + py::repr(py::float_(wanted)).cast<std::string>() +
                                        " (the metrics report it), got " +
                                        py::repr(as_tuple(config->thresholds)).cast<std::string>());
    };
    config->at_50 = position(0.5);
    config->at_75 = position(0.75);

    self.attr("runner") = runner;
    self.attr("classes") = classes;
    self.attr("score_threshold") = requested;
    self.attr("operating_point") = py::none();
    self.attr("operating_point_rule") = py::none();
    self.attr("iou_thresholds") = as_tuple(config->thresholds);
    self.attr("writer") = py::none();
    self.attr("per_class") = py::dict();
    try {
        self.attr("_state") = py::cast(PassState(config));
    } catch (const std::invalid_argument& e) {
        kx::raise(PyExc_ValueError, std::string("iou_thresholds: ") + e.what());
    }
}

py::object start_pass(py::object self, py::object writer) {
    self.attr("writer") = writer;
    self.attr("_state") = py::cast(PassState(state_of(self).config));
    return py::none();
}

py::object single_evaluation(py::object self, py::object instances, py::object epoch, py::object add_image) {
    py::object state_object = self.attr("_state");
    PassState& state = py::cast<PassState&>(state_object);
    const Config& config = *state.config;

    Where where{"<unnamed>"};
    py::object gt = item(instances, "gt_instance", where, "instances");
    py::object dt = item(instances, "dt_instance", where, "instances");
    if (PyDict_Check(gt.ptr())) {
        PyObject* name = PyDict_GetItemString(gt.ptr(), "image_path");
        if (name != nullptr) where.image = py::str(name).cast<std::string>();
    }
    const std::string gt_boxes_name = "gt_instance['boxes']", dt_boxes_name = "dt_instance['boxes']";
    py::object gt_boxes_value = item(gt, "boxes", where, "gt_instance");
    py::object gt_labels_value = item(gt, "labels", where, "gt_instance");
    py::object dt_boxes_value = item(dt, "boxes", where, "dt_instance");
    py::object dt_labels_value = item(dt, "labels", where, "dt_instance");
    py::object dt_scores_value = item(dt, "scores", where, "dt_instance");

    const std::vector<ev::Box> gt_boxes = read_boxes(gt_boxes_value, where, gt_boxes_name);
    const std::vector<int> gt_labels =
        read_labels(gt_labels_value, config, where, "gt_instance['labels']", gt_boxes.size(), gt_boxes_name);
    const std::vector<ev::Box> dt_boxes = read_boxes(dt_boxes_value, where, dt_boxes_name);
    const std::vector<int> dt_labels =
        read_labels(dt_labels_value, config, where, "dt_instance['labels']", dt_boxes.size(), dt_boxes_name);
    const std::vector<double> dt_scores =
        read_scores(dt_scores_value, where, "dt_instance['scores']", dt_boxes.size(), dt_boxes_name);

    std::vector<ev::Labelled> truth;
    std::vector<std::size_t> kept_truth;
    for (std::size_t i = 0; i < gt_boxes.size(); ++i) {
        const ev::Box& b = gt_boxes[i];
        // Inverted corners can never be matched: a fault of the caller's boxes, not an empty
        // row (padding rows have zero size and are skipped).
        if (b.x2 < b.x1 || b.y2 < b.y1)
            where.fail(gt_boxes_name, "row " + std::to_string(i) + " has x2 < x1 or y2 < y1 (" +
                                          py::repr(py::make_tuple(b.x1, b.y1, b.x2, b.y2)).cast<std::string>() +
                                          "): corners must be x1, y1, x2, y2");
        if (gt_labels[i] < config.first_class || !(b.x2 > b.x1) || !(b.y2 > b.y1)) continue;
        truth.push_back({b, gt_labels[i]});
        kept_truth.push_back(i);
    }
    std::vector<ev::Detection> detections;
    for (std::size_t i = 0; i < dt_boxes.size(); ++i)
        if (dt_labels[i] >= config.first_class) detections.push_back({dt_boxes[i], dt_labels[i], dt_scores[i]});

    int publish = PyObject_IsTrue(add_image.ptr());
    if (publish < 0) throw py::error_already_set();
    py::object writer = self.attr("writer");
    if (publish && writer.is_none())
        kx::raise(PyExc_RuntimeError, "single_evaluation was asked to publish image '" + where.image +
                                          "' but there is no writer: start the pass with evaluator(writer)");

    // Ignore regions (crowd or difficult objects), from readers that have them.
    std::vector<ev::Labelled> scored_and_ignored = truth;
    if (PyDict_Check(gt.ptr()) && PyDict_GetItemString(gt.ptr(), "ignore_boxes") != nullptr) {
        const std::string ignore_name = "gt_instance['ignore_boxes']";
        const std::vector<ev::Box> regions = read_boxes(item(gt, "ignore_boxes", where, "gt_instance"), where, ignore_name);
        const std::vector<int> region_labels = read_labels(item(gt, "ignore_labels", where, "gt_instance"), config, where,
                                                           "gt_instance['ignore_labels']", regions.size(), ignore_name);
        for (std::size_t i = 0; i < regions.size(); ++i) {
            const ev::Box& b = regions[i];
            if (region_labels[i] < config.first_class || !(b.x2 > b.x1) || !(b.y2 > b.y1)) continue;
            scored_and_ignored.push_back({b, region_labels[i], true});
        }
    }
    state.accumulator.add_image(scored_and_ignored, detections);  // class numbers are valid by construction

    if (publish) {
        // Only the ground truth that counts is drawn.
        py::array_t<double> shown_boxes(std::vector<py::ssize_t>{static_cast<py::ssize_t>(truth.size()), 4});
        double* out = shown_boxes.mutable_data();
        py::list shown_labels;
        py::list gt_label_list = entries(gt_labels_value, where, "gt_instance['labels']", gt_boxes.size(), gt_boxes_name);
        for (std::size_t i = 0; i < truth.size(); ++i, out += 4) {
            out[0] = truth[i].box.x1, out[1] = truth[i].box.y1, out[2] = truth[i].box.x2, out[3] = truth[i].box.y2;
            shown_labels.append(gt_label_list[kept_truth[i]]);
        }
        writer.attr("publish_detections")(py::str(where.image), item(gt, "image", where, "gt_instance"), shown_boxes,
                                          shown_labels, dt_boxes_value, dt_labels_value, dt_scores_value, epoch,
                                          py::arg("normalized") = true,
                                          py::arg("min_score") = drawing_threshold(self));
        state.published = true;
    }
    return state_object;
}

py::object optional(const std::vector<double>& values, std::size_t index) {
    return values.empty() ? py::object(py::none()) : py::object(py::float_(values[index]));
}

py::object mean_or_none(const std::vector<double>& values) {
    if (values.empty()) return py::none();
    double sum = 0;
    for (double v : values) sum += v;
    return py::float_(sum / static_cast<double>(values.size()));
}

py::dict family(const Config& config, const std::vector<double>& values) {
    py::dict out;
    out["0.5"] = optional(values, config.at_50);
    out["0.75"] = optional(values, config.at_75);
    out["0.5:0.95"] = mean_or_none(values);
    return out;
}

py::object conclude(py::object self, py::object truth_values, py::object epoch) {
    py::object state_object = self.attr("_state");
    PassState& state = py::cast<PassState&>(state_object);
    if (state.accumulator.images() == 0)
        kx::raise(PyExc_RuntimeError,
                  "conclude() called without any single_evaluation since the validation pass began "
                  "(evaluator(writer)): there is nothing to conclude");
    if (!truth_values.is_none() && !truth_values.is(state_object))
        kx::raise(PyExc_ValueError, "truth_values is not the state of the current validation pass: pass what "
                                    "single_evaluation returned last");
    const Config& config = *state.config;
    py::object requested = read_score_threshold(self.attr("score_threshold"));
    double operating_point = 0;
    const char* rule = "fixed";
    if (best_f1(requested)) {
        const ev::OperatingPoint best = state.accumulator.best_f1_threshold(config.at_50, kDefaultOperatingPoint);
        operating_point = best.score;
        rule = best.found ? "best F1" : "default";
    } else {
        operating_point = requested.cast<double>();
    }
    const ev::Summary summary = state.accumulator.summarize(operating_point);

    py::dict metrics;
    metrics["mAP"] = family(config, summary.mean_ap);
    metrics["mAR"] = family(config, summary.mean_recall);
    metrics["mACC"] = family(config, summary.mean_accuracy);
    const std::size_t t = config.at_50;
    const auto tp = static_cast<double>(summary.tp[t]);
    const auto fp = static_cast<double>(summary.fp[t]);
    const auto fn = static_cast<double>(summary.fn[t]);
    metrics["OP"] = py::float_(ev::ratio(tp, tp + fp));
    metrics["OR"] = py::float_(ev::ratio(tp, tp + fn));
    metrics["OA"] = py::float_(ev::ratio(tp, tp + fp + fn));

    py::dict per_class;
    for (std::size_t c = static_cast<std::size_t>(config.first_class); c < summary.classes.size(); ++c) {
        const ev::ClassSummary& s = summary.classes[c];
        std::vector<double> accuracy;
        if (s.ground_truth > 0 || s.tp[t] + s.fp[t] > 0)
            for (std::size_t i = 0; i < s.tp.size(); ++i)
                accuracy.push_back(ev::ratio(static_cast<double>(s.tp[i]),
                                             static_cast<double>(s.tp[i] + s.fp[i] + s.fn[i])));
        py::dict entry;
        entry["ground_truth"] = s.ground_truth;
        entry["detections"] = s.detections;
        entry["AP"] = family(config, s.ap);
        entry["AR"] = family(config, s.recall);
        entry["ACC"] = family(config, accuracy);
        entry["TP"] = s.tp[t];
        entry["FP"] = s.fp[t];
        entry["FN"] = s.fn[t];
        const auto class_tp = static_cast<double>(s.tp[t]);
        entry["precision"] = ev::ratio(class_tp, class_tp + static_cast<double>(s.fp[t]));
        entry["recall"] = ev::ratio(class_tp, class_tp + static_cast<double>(s.fn[t]));
        per_class[config.names[c]] = entry;
    }
    self.attr("per_class") = per_class;
    self.attr("operating_point") = py::float_(operating_point);
    self.attr("operating_point_rule") = py::str(rule);
    py::object writer = self.attr("writer");
    if (!writer.is_none() && !epoch.is_none()) {
        writer.attr("publish_scalar")(kOperatingPointTag, py::float_(operating_point), epoch);
        state.published = true;
    }
    if (state.published) writer.attr("flush")();
    return metrics;
}

}  // namespace

PYBIND11_MODULE(KESTRIX_MODULE_NAME, m) {
    kx::register_native_errors(m);
    m.doc() = kModuleDoc;
    py::class_<PassState>(m, "EvaluationState", py::module_local(),
                          "The accumulated matches of one validation pass (what single_evaluation returns).")
        .def_property_readonly(
            "images", [](const PassState& s) { return s.accumulator.images(); }, "Images evaluated in the pass.")
        .def("__repr__", [](const PassState& s) {
            return "<EvaluationState of " + std::to_string(s.accumulator.images()) + " images>";
        });

    static kx::Lazy object_type{"builtins", "object"};
    py::object cls = kx::make_class(m, "DetectionEvaluator", object_type(), kClassDoc);
    kx::def_init(cls, &init, kInitDoc, py::arg("runner"), py::arg("classes"), py::arg("score_threshold") = kBestF1,
                 py::arg("iou_thresholds") = py::none());
    kx::def_method(cls, "__call__", &start_pass, kCallDoc, py::arg("writer"));
    kx::def_method(cls, "single_evaluation", &single_evaluation, kSingleDoc, py::arg("instances"), py::arg("epoch"),
                   py::arg("add_image"));
    kx::def_method(cls, "conclude", &conclude, kConcludeDoc, py::arg("truth_values"), py::arg("epoch") = py::none());
    kx::validator::add_summary(m);
}
