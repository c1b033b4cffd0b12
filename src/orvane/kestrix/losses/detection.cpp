// orvane.kestrix.losses.detection: DetectionLoss, the loss of the package's anchor-free,
// centre-based detector (orvane.kestrix.models.detection).
//
// compute_loss builds TensorFlow graph code: it runs inside the trainer's compiled step, so
// every shape it depends on (batch size, grid size, box count) is read with tf.shape and one
// trace serves them all. Target assignment is part of the graph: a cell of the prediction
// grid is a positive of a box when its centre lies inside the box and within `radius` cells
// of the box centre, or when it is the cell that holds the box centre (so a box smaller than
// a cell still has one positive); a cell claimed by several boxes takes the smallest one.
// Rows whose corners do not span an area (the zero rows that pad a batch, and the all-zero
// row of an image without objects) are never assigned. Every division is guarded, so a
// batch without a positive gives finite losses and finite gradients.
//
// Thread-safety: the object holds only its settings; compute_loss may run on any thread
// that holds the GIL.
#include <string>

#include "pyglue/glue.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kModuleDoc = "The detection loss of the package's example detector: ``DetectionLoss``.";

constexpr const char* kClassDoc = R"doc(Loss of the anchor-free, centre-based detector (a ``KestrixLoss``).

``compute_loss(targets, outputs)`` reads the two raw maps of
``orvane.kestrix.models.detection.build_detector``:

- ``outputs[0]``, ``[B, h, w, 4]``: box regression; the distances from a cell's
  centre ``((col + 0.5) * stride, (row + 0.5) * stride)`` to the left, top,
  right and bottom sides are ``softplus(raw) * stride`` pixels;
- ``outputs[1]``, ``[B, h, w, num_classes + 1]``: class logits, then the
  objectness logit;

and the box batch ``targets[0]``, ``[B, N, 5]`` rows ``x1, y1, x2, y2, class``
in input pixels, as the training pipelines deliver it. Rows without area (zero
padding, the all-zero row of an image without objects) are ignored.

Assignment: a cell is a positive of a box when its centre lies inside the box
and less than ``radius`` cells from the box centre on both axes, or when it
holds the box centre; a cell claimed by several boxes takes the one of
smallest area. With P the number of positives and ``n = max(P, 1)``:

- "localization-loss": ``sum over positives of (1 - GIoU(predicted, assigned)) / n``;
- "classification-loss": ``sum over positives and classes of
  BCE(sigmoid(class logit), one_hot(class)) / n`` (a background class, number 0
  when the dataset reserves it, is never a target, so its score stays low);
- "objectness-loss": ``sum over all cells of focal(objectness, positive) / n``,
  the focal loss with ``focal_alpha`` and ``focal_gamma`` (``focal_gamma`` 0 and
  ``focal_alpha`` 0.5 give half the binary cross-entropy);
- "total-loss": ``box_weight * localization + class_weight * classification +
  objectness_weight * objectness``.

Every value is a float32 scalar; none is NaN, also for a batch without boxes.

Example:

```python
model = build_detector(num_classes=len(dataset.classes))
loss = DetectionLoss(num_classes=len(dataset.classes))
trainer = DetectionTrainer(model, dataset, optimizer, loss, logger, ...)
```
)doc";

constexpr const char* kInitDoc = R"doc(Creates the loss.

Args:
    num_classes (int): number of class logits of the model (with the
        background class when the dataset reserves class number 0).
    stride (int): input pixels per grid cell (8 for ``build_detector``).
    radius (float): half-size, in cells, of the region around a box centre
        whose cells inside the box are positives.
    box_weight (float): weight of the localization loss in the total.
    class_weight (float): weight of the classification loss.
    objectness_weight (float): weight of the objectness loss.
    focal_alpha (float): weight of the positive cells in the objectness loss
        (0..1; the negative cells get ``1 - focal_alpha``).
    focal_gamma (float): focusing exponent of the objectness loss (>= 0).

Raises:
    ValueError: ``num_classes`` or ``stride`` below 1, a negative weight or
        radius, ``focal_alpha`` outside 0..1 or a negative ``focal_gamma``.
    TypeError: a float setting that does not convert to a number.
)doc";

constexpr const char* kComputeLossDoc = R"doc(Named losses for a batch (graph code; traces once for every shape).

Args:
    y_true: the targets; ``y_true[0]`` is the box batch ``[B, N, 5]``.
    y_pred: the model's outputs; the first two are the raw training maps.

Returns:
    dict: "total-loss", "localization-loss", "classification-loss" and
    "objectness-loss", float32 scalar tensors.

Raises:
    ValueError: the class map's last dimension is known and is not
        ``num_classes + 1``.
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
kx::Lazy tf_gather{"tensorflow", "gather"};
kx::Lazy tf_where{"tensorflow", "where"};
kx::Lazy tf_maximum{"tensorflow", "maximum"};
kx::Lazy tf_minimum{"tensorflow", "minimum"};
kx::Lazy tf_abs{"tensorflow", "abs"};
kx::Lazy tf_floor{"tensorflow", "floor"};
kx::Lazy tf_pow{"tensorflow", "pow"};
kx::Lazy tf_clip{"tensorflow", "clip_by_value"};
kx::Lazy tf_floordiv{"tensorflow", "math.floordiv"};
kx::Lazy tf_floormod{"tensorflow", "math.floormod"};
kx::Lazy tf_greater{"tensorflow", "math.greater"};
kx::Lazy tf_less{"tensorflow", "math.less"};
kx::Lazy tf_equal{"tensorflow", "math.equal"};
kx::Lazy tf_and{"tensorflow", "math.logical_and"};
kx::Lazy tf_or{"tensorflow", "math.logical_or"};
kx::Lazy tf_reduce_any{"tensorflow", "reduce_any"};
kx::Lazy tf_reduce_sum{"tensorflow", "reduce_sum"};
kx::Lazy tf_argmin{"tensorflow", "math.argmin"};
kx::Lazy tf_one_hot{"tensorflow", "one_hot"};
kx::Lazy tf_relu{"tensorflow", "nn.relu"};
kx::Lazy tf_softplus{"tensorflow", "math.softplus"};
kx::Lazy tf_sigmoid{"tensorflow", "math.sigmoid"};
kx::Lazy tf_sigmoid_ce{"tensorflow", "nn.sigmoid_cross_entropy_with_logits"};

constexpr double kEpsilon = 1e-7;
constexpr double kNoBox = 1e30;  // assignment cost of a cell that no box claims

py::object f32(py::handle x) { return tf_cast()(x, tf_float32()); }
py::object max2(py::handle a, py::handle b) { return tf_maximum()(a, b); }
py::object min2(py::handle a, py::handle b) { return tf_minimum()(a, b); }
py::object sum(py::handle x) { return tf_reduce_sum()(x); }

// x[..., i]
py::object channel(const py::object& x, int i) { return x[py::make_tuple(py::ellipsis(), py::int_(i))]; }

py::object slice(Py_ssize_t start, Py_ssize_t stop) {
    py::int_ a(start), b(stop);
    PyObject* s = PySlice_New(a.ptr(), b.ptr(), nullptr);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

// GIoU of two sets of boxes given by their corners (any matching shapes).
py::object generalized_iou(const py::object (&p)[4], const py::object (&t)[4]) {
    py::object iw = tf_relu()(min2(p[2], t[2]) - max2(p[0], t[0]));
    py::object ih = tf_relu()(min2(p[3], t[3]) - max2(p[1], t[1]));
    py::object inter = iw * ih;
    py::object pred_area = tf_relu()(p[2] - p[0]) * tf_relu()(p[3] - p[1]);
    py::object true_area = tf_relu()(t[2] - t[0]) * tf_relu()(t[3] - t[1]);
    py::object uni = pred_area + true_area - inter;
    py::object iou = inter / (uni + py::float_(kEpsilon));
    py::object enclosing = (max2(p[2], t[2]) - min2(p[0], t[0])) * (max2(p[3], t[3]) - min2(p[1], t[1]));
    return iou - (enclosing - uni) / (enclosing + py::float_(kEpsilon));
}

// ------------------------------------------------------------------------- methods

void init(py::handle cls, py::object self, py::object num_classes, py::object stride, py::object radius,
          py::object box_weight, py::object class_weight, py::object objectness_weight, py::object focal_alpha,
          py::object focal_gamma) {
    kx::super_init(cls, self);
    long classes = py::int_(num_classes).cast<long>();
    long cell = py::int_(stride).cast<long>();
    if (classes < 1) kx::raise(PyExc_ValueError, "num_classes must be at least 1, got " + std::to_string(classes));
    if (cell < 1) kx::raise(PyExc_ValueError, "stride must be at least 1, got " + std::to_string(cell));
    struct Setting {
        const char* name;
        py::object value;
        double low, high;
    };
    const Setting settings[] = {{"radius", radius, 0.0, 1e9},
                                {"box_weight", box_weight, 0.0, 1e9},
                                {"class_weight", class_weight, 0.0, 1e9},
                                {"objectness_weight", objectness_weight, 0.0, 1e9},
                                {"focal_alpha", focal_alpha, 0.0, 1.0},
                                {"focal_gamma", focal_gamma, 0.0, 1e9}};
    for (const Setting& s : settings) {
        double v = kx::to_double(s.value, s.name);
        if (!(v >= s.low && v <= s.high)) {
            kx::raise(PyExc_ValueError, std::string(s.name) + " must lie in " + (s.high == 1.0 ? "0..1" : "[0, inf)") +
                                            ", got " + std::string(py::repr(s.value)));
        }
        self.attr(s.name) = py::float_(v);
    }
    self.attr("num_classes") = py::int_(classes);
    self.attr("stride") = py::int_(cell);
}

py::object compute_loss(py::object self, py::object y_true, py::object y_pred) {
    const long num_classes = self.attr("num_classes").cast<long>();
    const double stride = self.attr("stride").cast<double>();
    const double radius = self.attr("radius").cast<double>() * stride;
    const double alpha = self.attr("focal_alpha").cast<double>();
    const double gamma = self.attr("focal_gamma").cast<double>();

    py::object box_map = f32(y_pred[py::int_(0)]);
    py::object class_map = f32(y_pred[py::int_(1)]);
    py::object channels = class_map.attr("shape")[py::int_(-1)];
    if (!channels.is_none() && channels.cast<long>() != num_classes + 1) {
        kx::raise(PyExc_ValueError, "outputs[1] has " + std::to_string(channels.cast<long>()) +
                                        " channels; DetectionLoss(num_classes=" + std::to_string(num_classes) +
                                        ") expects num_classes + 1 = " + std::to_string(num_classes + 1) +
                                        " (class logits, then objectness)");
    }

    // Grid: cell k = row * w + col, centre ((col + 0.5) * stride, (row + 0.5) * stride).
    py::object map_shape = tf_shape()(box_map);
    py::object batch = map_shape[py::int_(0)], grid_h = map_shape[py::int_(1)], grid_w = map_shape[py::int_(2)];
    py::object cell = tf_range()(grid_h * grid_w);
    py::object col = f32(tf_floormod()(cell, grid_w)), row = f32(tf_floordiv()(cell, grid_w));
    py::object cx = (col + py::float_(0.5)) * py::float_(stride);  // [K]
    py::object cy = (row + py::float_(0.5)) * py::float_(stride);
    py::list pair_shape;  // [1, K, 1]: cells against boxes
    pair_shape.append(1), pair_shape.append(-1), pair_shape.append(1);
    py::object cx3 = tf_reshape()(cx, pair_shape), cy3 = tf_reshape()(cy, pair_shape);
    py::object col3 = tf_reshape()(col, pair_shape), row3 = tf_reshape()(row, pair_shape);

    py::list flat_reg, flat_logits;
    flat_reg.append(batch), flat_reg.append(-1), flat_reg.append(4);
    flat_logits.append(batch), flat_logits.append(-1), flat_logits.append(num_classes + 1);
    py::object reg = tf_reshape()(box_map, flat_reg);          // [B, K, 4]
    py::object logits = tf_reshape()(class_map, flat_logits);  // [B, K, C + 1]
    py::object class_logits = logits[py::make_tuple(py::ellipsis(), slice(0, num_classes))];
    py::object object_logit = channel(logits, static_cast<int>(num_classes));

    // One zero row more, so that an empty box dimension (N = 0) still reduces.
    py::list padding;
    for (int extra : {0, 1, 0}) {
        py::list p;
        p.append(0), p.append(extra);
        padding.append(p);
    }
    py::object boxes = tf_pad()(f32(y_true[py::int_(0)]), padding);  // [B, N + 1, 5]
    py::object b[4];
    for (int i = 0; i < 4; ++i) b[i] = tf_expand_dims()(channel(boxes, i), 1);  // [B, 1, N + 1]
    py::object valid = tf_and()(tf_greater()(b[2], b[0]), tf_greater()(b[3], b[1]));

    py::object inside = tf_greater()(min2(min2(cx3 - b[0], cy3 - b[1]), min2(b[2] - cx3, b[3] - cy3)), py::float_(0.0));
    py::object centre_x = (b[0] + b[2]) * py::float_(0.5), centre_y = (b[1] + b[3]) * py::float_(0.5);
    py::object near = tf_and()(tf_less()(tf_abs()(cx3 - centre_x), py::float_(radius)),
                               tf_less()(tf_abs()(cy3 - centre_y), py::float_(radius)));
    py::object last_col = f32(grid_w) - py::float_(1.0), last_row = f32(grid_h) - py::float_(1.0);
    py::object centre_col = tf_clip()(tf_floor()(centre_x / py::float_(stride)), 0.0, last_col);
    py::object centre_row = tf_clip()(tf_floor()(centre_y / py::float_(stride)), 0.0, last_row);
    py::object holds_centre = tf_and()(tf_equal()(col3, centre_col), tf_equal()(row3, centre_row));
    py::object claims = tf_and()(valid, tf_or()(tf_and()(inside, near), holds_centre));  // [B, K, N + 1]

    py::object area = (b[2] - b[0]) * (b[3] - b[1]);
    py::object cost = tf_where()(claims, area, py::float_(kNoBox));
    py::object assigned = tf_argmin()(cost, py::arg("axis") = 2, py::arg("output_type") = tf_int32());
    py::object positive = f32(tf_reduce_any()(claims, py::arg("axis") = 2));  // [B, K]
    py::object target = tf_gather()(boxes, assigned, py::arg("batch_dims") = 1);  // [B, K, 5]
    py::object count = max2(sum(positive), py::float_(1.0));

    // Localization: GIoU of the decoded box against the assigned one.
    py::object distance = tf_softplus()(reg) * py::float_(stride);
    py::object cx2 = tf_expand_dims()(cx, 0), cy2 = tf_expand_dims()(cy, 0);  // [1, K]
    const py::object predicted[4] = {cx2 - channel(distance, 0), cy2 - channel(distance, 1),
                                     cx2 + channel(distance, 2), cy2 + channel(distance, 3)};
    const py::object truth[4] = {channel(target, 0), channel(target, 1), channel(target, 2), channel(target, 3)};
    py::object giou = generalized_iou(predicted, truth);
    py::object localization = sum(positive * (py::float_(1.0) - giou)) / count;

    // Classification at the positives.
    py::object labels = tf_one_hot()(tf_cast()(channel(target, 4), tf_int32()), num_classes);
    py::object class_ce = tf_reduce_sum()(tf_sigmoid_ce()(py::arg("labels") = labels, py::arg("logits") = class_logits),
                                          py::arg("axis") = -1);
    py::object classification = sum(positive * class_ce) / count;

    // Objectness everywhere, focal.
    py::object object_ce = tf_sigmoid_ce()(py::arg("labels") = positive, py::arg("logits") = object_logit);
    py::object weight = positive * py::float_(alpha) + (py::float_(1.0) - positive) * py::float_(1.0 - alpha);
    if (gamma > 0.0) {
        py::object p = tf_sigmoid()(object_logit);
        py::object miss = positive * (py::float_(1.0) - p) + (py::float_(1.0) - positive) * p;
        // Bounded below so that the power's gradient stays finite for a saturated logit.
        weight = weight * tf_pow()(max2(miss, py::float_(1e-12)), py::float_(gamma));
    }
    py::object objectness = sum(weight * object_ce) / count;

    py::object total = localization * self.attr("box_weight") + classification * self.attr("class_weight") +
                       objectness * self.attr("objectness_weight");
    py::dict losses;
    losses["total-loss"] = total;
    losses["localization-loss"] = localization;
    losses["classification-loss"] = classification;
    losses["objectness-loss"] = objectness;
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
        [defining_class](py::object self, py::object num_classes, py::object stride, py::object radius,
                         py::object box_weight, py::object class_weight, py::object objectness_weight,
                         py::object focal_alpha, py::object focal_gamma) {
            init(defining_class, std::move(self), std::move(num_classes), std::move(stride), std::move(radius),
                 std::move(box_weight), std::move(class_weight), std::move(objectness_weight),
                 std::move(focal_alpha), std::move(focal_gamma));
        },
        kInitDoc, py::arg("num_classes"), py::arg("stride") = 8, py::arg("radius") = 1.5,
        py::arg("box_weight") = 2.0, py::arg("class_weight") = 1.0, py::arg("objectness_weight") = 1.0,
        py::arg("focal_alpha") = 0.25, py::arg("focal_gamma") = 2.0);
    kx::def_method(cls, "compute_loss", &compute_loss, kComputeLossDoc, py::arg("y_true"), py::arg("y_pred"));
}
