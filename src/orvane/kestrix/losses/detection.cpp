// orvane.kestrix.losses.detection: DetectionLoss, the loss of the package's detector family
// (orvane.kestrix.models.detection): task-aligned assignment, CIoU and distribution losses for
// the boxes, IoU-aware soft targets for the classes.
//
// compute_loss builds TensorFlow graph code: it runs inside the trainer's compiled step, so
// every shape it depends on (batch size, anchor count, box count) is read with tf.shape and one
// trace serves them all. The assignment is part of the graph and sees no gradient. Rows whose
// corners do not span an area (the zero rows that pad a batch, and the all-zero row of an
// image without objects) and rows whose class is outside the model's classes are never
// assigned. Every division is guarded, so a batch without a positive gives finite losses and
// finite gradients.
//
// Thread-safety: the object holds only its settings; compute_loss may run on any thread
// that holds the GIL.
#include <string>

#include "pyglue/glue.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kModuleDoc = "The detection loss of the package's detector family: ``DetectionLoss``.";

constexpr const char* kClassDoc = R"doc(Loss of the package's detector family (a ``KestrixLoss``).

``compute_loss(targets, outputs)`` reads the two training outputs of
``orvane.kestrix.models.build_detector``:

- ``outputs[0]``, ``[B, K, 4 * reg_max + num_classes]``: per anchor point the
  logits of the left, top, right and bottom distance distributions (``reg_max``
  bins of one stride each), then the class logits;
- ``outputs[1]``, ``[B, K, 3]``: each anchor point's centre x, centre y and
  stride in input pixels;

and the box batch ``targets[0]``, ``[B, N, 5]`` rows ``x1, y1, x2, y2, class``
in input pixels, as the training pipelines deliver it. Rows without area (zero
padding, the all-zero row of an image without objects) are ignored.

Assignment (task-aligned, in the graph, without gradient): the candidates of a
box are the anchor points inside it, plus the point nearest its centre (so a box
smaller than a cell still has one). Each candidate is ranked by
``score ** alpha * IoU ** beta``, the predicted probability of the box's class
times the IoU of the predicted box with it; the ``topk`` best become positives.
A point claimed by several boxes goes to the one its predicted box overlaps
most. Each positive gets the soft target ``t``: its rank value, rescaled so that
the box's best positive gets the best IoU any of its positives reached.

With ``T = max(sum of t, 1)``:

- "localization-loss": ``sum over positives of t * (1 - CIoU) / T``;
- "distribution-loss": ``sum over positives of t * DFL / T``, the distribution
  focal loss of the four sides (cross-entropy against the two bins around the
  true distance, weighted by nearness; mean over the sides);
- "classification-loss": ``sum over all points and classes of
  BCE(sigmoid(logit), t * one_hot(class)) / T``; points that are not positives
  have target 0 (a background class, number 0 when the dataset reserves it, is
  never a target, so its score stays low);
- "total-loss": ``box_weight * localization + dfl_weight * distribution +
  class_weight * classification``.

Every value is a float32 scalar; none is NaN, also for a batch without boxes.

Example:

```python
model = build_detector(num_classes=len(dataset.classes), size="n")
loss = DetectionLoss(num_classes=len(dataset.classes))
trainer = DetectionTrainer(model, dataset, optimizer, loss, logger, ...)
```
)doc";

constexpr const char* kInitDoc = R"doc(Creates the loss.

Args:
    num_classes (int): number of class logits of the model (with the
        background class when the dataset reserves class number 0).
    reg_max (int): bins of each side's distance distribution (as the model).
    topk (int): positives per box at most.
    alpha (float): exponent of the class score in the rank value.
    beta (float): exponent of the IoU in the rank value.
    box_weight (float): weight of the localization loss in the total.
    dfl_weight (float): weight of the distribution loss.
    class_weight (float): weight of the classification loss.

Raises:
    ValueError: ``num_classes`` or ``topk`` below 1, ``reg_max`` below 2, or a
        negative exponent or weight.
    TypeError: a float setting that does not convert to a number.
)doc";

constexpr const char* kComputeLossDoc = R"doc(Named losses for a batch (graph code; traces once for every shape).

Args:
    y_true: the targets; ``y_true[0]`` is the box batch ``[B, N, 5]``.
    y_pred: the model's outputs; the first two are the training outputs.

Returns:
    dict: "total-loss", "localization-loss", "distribution-loss" and
    "classification-loss", float32 scalar tensors.

Raises:
    ValueError: the last dimension of ``y_pred[0]`` is known and is not
        ``4 * reg_max + num_classes``, or that of ``y_pred[1]`` is not 3.
)doc";

constexpr const char* kAssignDoc = R"doc(The task-aligned assignment of a batch, as ``compute_loss`` makes it.

Args:
    y_true, y_pred: as for ``compute_loss``.

Returns:
    dict: "positive" ``[B, K]`` bool, the anchor points that learn a box;
    "assigned" ``[B, K]`` int32, the row of ``y_true[0]`` each positive learns
    (meaningless elsewhere); "target_score" ``[B, K]`` float32, the soft class
    target of each point (0 off the positives).
)doc";

// ------------------------------------------------------------------------- TensorFlow

kx::Lazy tf_cast{"tensorflow", "cast"};
kx::Lazy tf_float32{"tensorflow", "float32"};
kx::Lazy tf_int32{"tensorflow", "int32"};
kx::Lazy tf_shape{"tensorflow", "shape"};
kx::Lazy tf_range{"tensorflow", "range"};
kx::Lazy tf_reshape{"tensorflow", "reshape"};
kx::Lazy tf_stack{"tensorflow", "stack"};
kx::Lazy tf_pad{"tensorflow", "pad"};
kx::Lazy tf_expand_dims{"tensorflow", "expand_dims"};
kx::Lazy tf_transpose{"tensorflow", "transpose"};
kx::Lazy tf_gather{"tensorflow", "gather"};
kx::Lazy tf_where{"tensorflow", "where"};
kx::Lazy tf_maximum{"tensorflow", "maximum"};
kx::Lazy tf_minimum{"tensorflow", "minimum"};
kx::Lazy tf_floor{"tensorflow", "floor"};
kx::Lazy tf_pow{"tensorflow", "pow"};
kx::Lazy tf_clip{"tensorflow", "clip_by_value"};
kx::Lazy tf_atan{"tensorflow", "math.atan"};
kx::Lazy tf_greater{"tensorflow", "math.greater"};
kx::Lazy tf_less{"tensorflow", "math.less"};
kx::Lazy tf_greater_equal{"tensorflow", "math.greater_equal"};
kx::Lazy tf_and{"tensorflow", "math.logical_and"};
kx::Lazy tf_or{"tensorflow", "math.logical_or"};
kx::Lazy tf_reduce_any{"tensorflow", "reduce_any"};
kx::Lazy tf_reduce_sum{"tensorflow", "reduce_sum"};
kx::Lazy tf_reduce_max{"tensorflow", "reduce_max"};
kx::Lazy tf_reduce_mean{"tensorflow", "reduce_mean"};
kx::Lazy tf_argmin{"tensorflow", "math.argmin"};
kx::Lazy tf_argmax{"tensorflow", "math.argmax"};
kx::Lazy tf_one_hot{"tensorflow", "one_hot"};
kx::Lazy tf_top_k{"tensorflow", "math.top_k"};
kx::Lazy tf_scatter_nd{"tensorflow", "scatter_nd"};
kx::Lazy tf_ones_like{"tensorflow", "ones_like"};
kx::Lazy tf_broadcast_to{"tensorflow", "broadcast_to"};
kx::Lazy tf_relu{"tensorflow", "nn.relu"};
kx::Lazy tf_softmax{"tensorflow", "nn.softmax"};
kx::Lazy tf_sigmoid{"tensorflow", "math.sigmoid"};
kx::Lazy tf_stop_gradient{"tensorflow", "stop_gradient"};
kx::Lazy tf_sigmoid_ce{"tensorflow", "nn.sigmoid_cross_entropy_with_logits"};
kx::Lazy tf_sparse_softmax_ce{"tensorflow", "nn.sparse_softmax_cross_entropy_with_logits"};

constexpr double kEpsilon = 1e-9;
constexpr double kPi = 3.14159265358979323846;

using Obj = py::object;

Obj f32(py::handle x) { return tf_cast()(x, tf_float32()); }
Obj i32(py::handle x) { return tf_cast()(x, tf_int32()); }
Obj max2(py::handle a, py::handle b) { return tf_maximum()(a, b); }
Obj min2(py::handle a, py::handle b) { return tf_minimum()(a, b); }
Obj sum(py::handle x) { return tf_reduce_sum()(x); }
Obj num(double v) { return py::float_(v); }

// x[..., i]
Obj channel(const Obj& x, int i) { return x[py::make_tuple(py::ellipsis(), py::int_(i))]; }

// start:stop, or start: when stop is negative
Obj slice(Py_ssize_t start, Py_ssize_t stop) {
    py::int_ a(start);
    py::object b = stop < 0 ? py::object(py::none()) : py::object(py::int_(stop));
    PyObject* s = PySlice_New(a.ptr(), b.ptr(), nullptr);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<Obj>(s);
}

// x[..., start:stop] (stop < 0: to the end)
Obj channels(const Obj& x, Py_ssize_t start, Py_ssize_t stop) { return x[py::make_tuple(py::ellipsis(), slice(start, stop))]; }

template <typename... T>
py::list list_of(T... v) {
    py::list l;
    (l.append(v), ...);
    return l;
}

struct Corners {
    Obj x1, y1, x2, y2;
};

// IoU of two sets of boxes (any matching or broadcasting shapes); also the union.
Obj iou(const Corners& p, const Corners& t, Obj* union_out = nullptr) {
    Obj iw = tf_relu()(min2(p.x2, t.x2) - max2(p.x1, t.x1));
    Obj ih = tf_relu()(min2(p.y2, t.y2) - max2(p.y1, t.y1));
    Obj inter = iw * ih;
    Obj uni = tf_relu()(p.x2 - p.x1) * tf_relu()(p.y2 - p.y1) + tf_relu()(t.x2 - t.x1) * tf_relu()(t.y2 - t.y1) - inter;
    if (union_out != nullptr) *union_out = uni;
    return inter / (uni + num(kEpsilon));
}

// Complete IoU: IoU minus the normalised centre distance and the aspect-ratio disagreement.
Obj complete_iou(const Corners& p, const Corners& t) {
    Obj plain = iou(p, t);
    Obj cw = max2(p.x2, t.x2) - min2(p.x1, t.x1), ch = max2(p.y2, t.y2) - min2(p.y1, t.y1);
    Obj diagonal = cw * cw + ch * ch + num(1e-7);
    Obj dx = (p.x1 + p.x2 - t.x1 - t.x2) * num(0.5), dy = (p.y1 + p.y2 - t.y1 - t.y2) * num(0.5);
    Obj centre = (dx * dx + dy * dy) / diagonal;
    Obj pw = tf_relu()(p.x2 - p.x1), ph = tf_relu()(p.y2 - p.y1);
    Obj tw = tf_relu()(t.x2 - t.x1), th = tf_relu()(t.y2 - t.y1);
    Obj angle = tf_atan()(tw / (th + num(1e-7))) - tf_atan()(pw / (ph + num(1e-7)));
    Obj v = angle * angle * num(4.0 / (kPi * kPi));
    Obj weight = tf_stop_gradient()(v / (v - plain + num(1.0 + 1e-7)));
    return plain - centre - weight * v;
}

// ------------------------------------------------------------------------- methods

void init(py::handle cls, py::object self, py::object num_classes, py::object reg_max, py::object topk,
          py::object alpha, py::object beta, py::object box_weight, py::object dfl_weight, py::object class_weight) {
    kx::super_init(cls, self);
    const long classes = py::int_(num_classes).cast<long>();
    const long bins = py::int_(reg_max).cast<long>();
    const long best = py::int_(topk).cast<long>();
    if (classes < 1) kx::raise(PyExc_ValueError, "num_classes must be at least 1, got " + std::to_string(classes));
    if (bins < 2) kx::raise(PyExc_ValueError, "reg_max must be at least 2, got " + std::to_string(bins));
    if (best < 1) kx::raise(PyExc_ValueError, "topk must be at least 1, got " + std::to_string(best));
    struct Setting {
        const char* name;
        py::object value;
    };
    const Setting settings[] = {{"alpha", alpha},           {"beta", beta},         {"box_weight", box_weight},
                                {"dfl_weight", dfl_weight}, {"class_weight", class_weight}};
    for (const Setting& s : settings) {
        double v = kx::to_double(s.value, s.name);
        if (!(v >= 0.0 && v <= 1e9)) {
            kx::raise(PyExc_ValueError, std::string(s.name) + " must lie in [0, inf), got " + std::string(py::repr(s.value)));
        }
        self.attr(s.name) = py::float_(v);
    }
    self.attr("num_classes") = py::int_(classes);
    self.attr("reg_max") = py::int_(bins);
    self.attr("topk") = py::int_(best);
}

void check_width(const Obj& tensor, long expected, const char* what, const std::string& why) {
    Obj last = tensor.attr("shape")[py::int_(-1)];
    if (!last.is_none() && last.cast<long>() != expected) {
        kx::raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(last.cast<long>()) +
                                        " channels; " + why + " = " + std::to_string(expected));
    }
}

// What the loss reads of the model's outputs and the assignment it makes.
struct Assignment {
    Obj box_logits;    // [B, K, 4, R]
    Obj class_logits;  // [B, K, C]
    Obj ax2, ay2, st2;  // [1, K] anchor centres and strides
    Corners pred;       // [B, K] predicted corners
    Obj boxes;          // [B, M, 5] target rows plus one zero row
    Obj label;          // [B, M] class numbers clipped to the model's classes
    Obj assigned;       // [B, K] row of `boxes` each point is assigned to (meaningful where positive)
    Obj positive;       // [B, K] bool
    Obj t;              // [B, K] soft target (0 off the positives)
};

Assignment assign_points(const py::object& self, const py::object& y_true, const py::object& y_pred) {
    const long C = self.attr("num_classes").cast<long>();
    const long R = self.attr("reg_max").cast<long>();
    const double alpha = self.attr("alpha").cast<double>();
    const double beta = self.attr("beta").cast<double>();

    Obj raw = f32(y_pred[py::int_(0)]);
    Obj anchors = f32(y_pred[py::int_(1)]);
    check_width(raw, 4 * R + C, "outputs[0]",
                "DetectionLoss(num_classes=" + std::to_string(C) + ", reg_max=" + std::to_string(R) +
                    ") expects 4 * reg_max + num_classes");
    check_width(anchors, 3, "outputs[1]", "the anchor points (centre x, centre y, stride) need");

    Obj shape = tf_shape()(raw);
    Obj B = shape[py::int_(0)], K = shape[py::int_(1)];
    Obj point = anchors[py::int_(0)];                           // [K, 3], the same for every image
    Obj ax = channel(point, 0), ay = channel(point, 1), st = channel(point, 2);  // [K]
    Obj box_logits = tf_reshape()(channels(raw, 0, 4 * R), list_of(B, K, 4, R));  // [B, K, 4, R]
    Obj class_logits = channels(raw, 4 * R, -1);                                  // [B, K, C]

    // Predicted boxes: each side at its distribution's mean, in strides from the point.
    Obj bins = f32(tf_range()(R));
    Obj dist = tf_reduce_sum()(tf_softmax()(box_logits) * bins, py::arg("axis") = -1);  // [B, K, 4]
    Obj ax2 = tf_expand_dims()(ax, 0), ay2 = tf_expand_dims()(ay, 0), st2 = tf_expand_dims()(st, 0);  // [1, K]
    const Corners pred{ax2 - channel(dist, 0) * st2, ay2 - channel(dist, 1) * st2, ax2 + channel(dist, 2) * st2,
                       ay2 + channel(dist, 3) * st2};  // [B, K]

    // Boxes, with one zero row more so that an empty box dimension (N = 0) still reduces.
    Obj padding = list_of(list_of(0, 0), list_of(0, 1), list_of(0, 0));
    Obj boxes = tf_pad()(f32(y_true[py::int_(0)]), padding);  // [B, M, 5], M = N + 1
    Obj label = i32(channel(boxes, 4));                         // [B, M]
    Obj valid = tf_and()(tf_and()(tf_greater()(channel(boxes, 2), channel(boxes, 0)),
                                  tf_greater()(channel(boxes, 3), channel(boxes, 1))),
                         tf_and()(tf_greater_equal()(label, 0), tf_less()(label, C)));
    label = tf_clip()(label, 0, C - 1);

    // Pairs of points and boxes, [B, K, M].
    Obj g[4];
    for (int i = 0; i < 4; ++i) g[i] = tf_expand_dims()(channel(boxes, i), 1);  // [B, 1, M]
    const Corners truth{g[0], g[1], g[2], g[3]};
    Obj ax3 = tf_reshape()(ax, list_of(1, -1, 1)), ay3 = tf_reshape()(ay, list_of(1, -1, 1));
    Obj inside = tf_greater()(min2(min2(ax3 - g[0], ay3 - g[1]), min2(g[2] - ax3, g[3] - ay3)), num(kEpsilon));
    Obj gx = (g[0] + g[2]) * num(0.5) - ax3, gy = (g[1] + g[3]) * num(0.5) - ay3;
    Obj nearest = tf_one_hot()(tf_argmin()(gx * gx + gy * gy, py::arg("axis") = 1, py::arg("output_type") = tf_int32()),
                               K, py::arg("axis") = 1, py::arg("on_value") = true, py::arg("off_value") = false,
                               py::arg("dtype") = py::module_::import("tensorflow").attr("bool"));
    Obj candidate = tf_and()(tf_expand_dims()(valid, 1), tf_or()(inside, nearest));

    const Corners pred3{tf_expand_dims()(pred.x1, 2), tf_expand_dims()(pred.y1, 2), tf_expand_dims()(pred.x2, 2),
                        tf_expand_dims()(pred.y2, 2)};
    Obj overlap = tf_stop_gradient()(iou(pred3, truth));  // [B, K, M]
    Obj prob = tf_stop_gradient()(tf_sigmoid()(class_logits));
    Obj score = tf_gather()(prob, label, py::arg("axis") = 2, py::arg("batch_dims") = 1);  // [B, K, M]
    Obj metric = tf_pow()(score, num(alpha)) * tf_pow()(overlap, num(beta));

    // Top k candidates per box: candidates rank above every other point, by their metric.
    Obj rank = tf_transpose()(tf_where()(candidate, metric + num(1.0), num(0.0)), list_of(0, 2, 1));  // [B, M, K]
    Obj k = tf_minimum()(py::int_(self.attr("topk")), K);
    Obj top = tf_top_k()(rank, k, py::arg("sorted") = false).attr("indices");  // [B, M, k]
    Obj top_shape = tf_shape()(top);
    Obj b_index = tf_broadcast_to()(tf_reshape()(tf_range()(B), list_of(-1, 1, 1)), top_shape);
    Obj m_index = tf_broadcast_to()(tf_reshape()(tf_range()(top_shape[py::int_(1)]), list_of(1, -1, 1)), top_shape);
    Obj where_top = tf_stack()(list_of(b_index, m_index, top), py::arg("axis") = -1);
    Obj chosen = tf_scatter_nd()(where_top, tf_ones_like()(f32(top)), tf_shape()(rank));  // [B, M, K]
    Obj claims = tf_and()(candidate, tf_greater()(tf_transpose()(chosen, list_of(0, 2, 1)), num(0.5)));  // [B, K, M]

    // A point claimed by several boxes goes to the one its prediction overlaps most.
    Obj assigned = tf_argmax()(tf_where()(claims, overlap, num(-1.0)), py::arg("axis") = 2,
                               py::arg("output_type") = tf_int32());  // [B, K]
    Obj positive = tf_reduce_any()(claims, py::arg("axis") = 2);     // [B, K]
    Obj M = tf_shape()(boxes)[py::int_(1)];
    Obj owner = tf_one_hot()(assigned, M) * tf_expand_dims()(f32(positive), 2);  // [B, K, M]

    // Soft targets: the metric, rescaled per box so that its best positive gets its best IoU.
    Obj owned_metric = metric * owner;
    Obj best_metric = tf_reduce_max()(owned_metric, py::arg("axis") = 1, py::arg("keepdims") = true);
    Obj best_overlap = tf_reduce_max()(overlap * owner, py::arg("axis") = 1, py::arg("keepdims") = true);
    Obj t = tf_reduce_max()(owned_metric * best_overlap / (best_metric + num(kEpsilon)), py::arg("axis") = 2);  // [B, K]
    t = tf_stop_gradient()(t);
    Assignment a;
    a.box_logits = box_logits, a.class_logits = class_logits;
    a.ax2 = ax2, a.ay2 = ay2, a.st2 = st2;
    a.pred = pred;
    a.boxes = boxes, a.label = label, a.assigned = assigned, a.positive = positive, a.t = t;
    return a;
}

py::object assign(py::object self, py::object y_true, py::object y_pred) {
    Assignment a = assign_points(self, y_true, y_pred);
    py::dict result;
    result["positive"] = a.positive;
    result["assigned"] = a.assigned;
    result["target_score"] = a.t;
    return std::move(result);
}

py::object compute_loss(py::object self, py::object y_true, py::object y_pred) {
    const long C = self.attr("num_classes").cast<long>();
    const long R = self.attr("reg_max").cast<long>();
    Assignment a = assign_points(self, y_true, y_pred);
    const Obj &t = a.t, &boxes = a.boxes, &assigned = a.assigned, &class_logits = a.class_logits;
    const Obj &box_logits = a.box_logits, &ax2 = a.ax2, &ay2 = a.ay2, &st2 = a.st2;
    const Corners& pred = a.pred;
    Obj normaliser = max2(sum(t), num(1.0));

    Obj target = tf_gather()(boxes, assigned, py::arg("batch_dims") = 1);  // [B, K, 5]
    Obj target_label = tf_gather()(a.label, assigned, py::arg("batch_dims") = 1);
    Obj soft = tf_one_hot()(target_label, C) * tf_expand_dims()(t, 2);  // [B, K, C]
    Obj classification =
        sum(tf_sigmoid_ce()(py::arg("labels") = soft, py::arg("logits") = class_logits)) / normaliser;

    const Corners aimed{channel(target, 0), channel(target, 1), channel(target, 2), channel(target, 3)};
    Obj localization = sum((num(1.0) - complete_iou(pred, aimed)) * t) / normaliser;

    // Distribution focal loss: the two bins around each side's true distance (in strides).
    Obj sides = tf_stack()(list_of((ax2 - aimed.x1) / st2, (ay2 - aimed.y1) / st2, (aimed.x2 - ax2) / st2,
                                   (aimed.y2 - ay2) / st2),
                           py::arg("axis") = -1);                         // [B, K, 4]
    sides = tf_clip()(sides, 0.0, static_cast<double>(R - 1) - 0.01);
    Obj left = tf_floor()(sides);
    Obj right_weight = sides - left, left_weight = num(1.0) - right_weight;
    Obj left_bin = i32(left);
    Obj ce_left = tf_sparse_softmax_ce()(py::arg("labels") = left_bin, py::arg("logits") = box_logits);
    Obj ce_right = tf_sparse_softmax_ce()(py::arg("labels") = left_bin + py::int_(1), py::arg("logits") = box_logits);
    Obj dfl = tf_reduce_mean()(ce_left * left_weight + ce_right * right_weight, py::arg("axis") = -1);  // [B, K]
    Obj distribution = sum(dfl * t) / normaliser;

    Obj total = localization * self.attr("box_weight") + distribution * self.attr("dfl_weight") +
                classification * self.attr("class_weight");
    py::dict losses;
    losses["total-loss"] = total;
    losses["localization-loss"] = localization;
    losses["distribution-loss"] = distribution;
    losses["classification-loss"] = classification;
    return std::move(losses);
}

}  // namespace

PYBIND11_MODULE(detection, m) {
    kx::register_native_errors(m);
    static kx::Lazy loss_base{"orvane.kestrix.losses.core", "KestrixLoss"};
    m.doc() = kModuleDoc;
    kx::import_modules(m, {{"tf", "tensorflow"}});
    py::object cls = kx::make_class(m, "DetectionLoss", loss_base(), kClassDoc);

    py::handle defining_class = cls;  // the module keeps the class alive
    kx::def_init(
        cls,
        [defining_class](py::object self, py::object num_classes, py::object reg_max, py::object topk,
                         py::object alpha, py::object beta, py::object box_weight, py::object dfl_weight,
                         py::object class_weight) {
            init(defining_class, std::move(self), std::move(num_classes), std::move(reg_max), std::move(topk),
                 std::move(alpha), std::move(beta), std::move(box_weight), std::move(dfl_weight),
                 std::move(class_weight));
        },
        kInitDoc, py::arg("num_classes"), py::arg("reg_max") = 16, py::arg("topk") = 10, py::arg("alpha") = 0.5,
        py::arg("beta") = 6.0, py::arg("box_weight") = 7.5, py::arg("dfl_weight") = 1.5,
        py::arg("class_weight") = 1.0);
    kx::def_method(cls, "compute_loss", &compute_loss, kComputeLossDoc, py::arg("y_true"), py::arg("y_pred"));
    kx::def_method(cls, "assign", &assign, kAssignDoc, py::arg("y_true"), py::arg("y_pred"));
}
