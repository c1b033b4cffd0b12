// orvane.kestrix.losses.segmentation: SegmentationLoss, the loss object of semantic-
// segmentation training.
//
// The loss brings the ground-truth mask to the prediction's resolution and combines a
// pixel-wise categorical cross-entropy, a soft Dice loss over all pixels and classes, and the
// share of background pixels predicted as another class. Every term is TensorFlow arithmetic
// called from here: called eagerly it runs op by op, inside a tf.function it traces into the
// graph, and gradients flow through the cross-entropy and the Dice terms.
//
// Shapes: where a size is known when tracing it is used as a plain number (so static shapes
// propagate as far as they can); where it is not (an open batch size, say) the dynamic size is
// read from the tensor instead, so one trace serves every batch.
//
// Thread-safety: the object holds only its settings and compute_loss keeps no state; every
// call needs the GIL, like any call into TensorFlow.
#include <string>
#include <vector>

#include "pyglue/glue.hpp"

namespace {

namespace py = pybind11;

// ------------------------------------------------------------------------- docstrings

constexpr const char* kModuleDoc = "The segmentation loss: ``SegmentationLoss``.";

constexpr const char* kClassDoc = R"doc(Cross-entropy, Dice and background false-positive losses for segmentation.

``compute_loss(y_true, y_pred)`` takes the ground-truth mask ``[B, H0, W0]``
(integer or float class indices; class 0 is the background) and the model's
logits ``[B, H, W, num_classes]``. The mask is brought to ``H x W`` by
nearest-neighbour sampling; then, over the ``N = B * H * W`` pixels:

- "class-loss": ``weights[0]`` times the mean categorical cross-entropy of
  the softmax probabilities against the one-hot mask;
- "iou-loss": ``weights[1]`` times the Dice loss ``1 - dice_coeff`` of the
  one-hot mask and the probabilities (one score over all pixels and classes);
- "negative-loss": the share of ground-truth background pixels whose
  arg-max class is not 0, a float64 scalar without gradient. A batch with no
  background pixel has none mislabelled: its share is 0, not 0/0;
- "total-loss": "class-loss" + "iou-loss" + "negative-loss" (as float32),
  the value minimised.

A label outside ``0 ... num_classes - 1`` is an error
(``tf.errors.InvalidArgumentError``, raised when the loss runs): it would
one-hot encode as all zeros and add nothing to the cross-entropy.

Every size unknown when tracing (an open batch size, say) is read from the
tensors at run time, so a ``tf.function`` with a ``None`` batch traces once.

For ``model.fit``, ``orvane.kestrix.losses.core.keras_loss`` turns the loss
into a Keras loss and ``keras_metrics`` reports the other entries:

```python
loss = SegmentationLoss(num_classes=3)
model.compile(optimizer="adam", loss=keras_loss(loss),
              metrics=keras_metrics(loss, ["iou-loss", "class-loss", "negative-loss"]))
```
)doc";

// Each method's docstring opens with its signature line and "--": Python reads the parameters
// from there (inspect.signature, help), and tf.function needs them to wrap a method such as
// `tf.function(loss.compute_loss, input_signature=...)`.

constexpr const char* kInitDoc = R"doc(init(self, num_classes=0, weights=None, use_dynamic_class_weights=False)
--

Creates the loss.

Args:
    num_classes (int): number of classes including the background, class 0.
    weights (list): ``[class weight, Dice weight]``, exactly a list;
        ``[1.0, 1.0]`` when None.
    use_dynamic_class_weights (bool): stored unchanged; no method consults it.

Raises:
    TypeError: ``weights`` is neither a list nor None (a list subclass
        included); raised before anything is set.
    ValueError: ``weights`` is not two finite non-negative numbers (raised
        before anything is set); ``num_classes <= 0`` or ``num_classes == 1``
        (raised after the attributes are set).
)doc";

constexpr const char* kDiceCoeffDoc = R"doc(dice_coeff(y_true, y_pred)
--

Soft Dice score of two tensors, with additive smoothing 1.

Both inputs are flattened over every axis, so batch, pixels and classes form
one vector: ``(2 * sum(t * p) + 1) / (sum(t) + sum(p) + 1)``. Two all-zero
inputs score 1.

Args:
    y_true: float tensor, any shape.
    y_pred: float tensor with as many elements as ``y_true``.

Returns:
    Scalar tensor.
)doc";

constexpr const char* kDiceLossDoc = R"doc(dice_loss(self, y_true, y_pred)
--

Dice loss: ``1 - dice_coeff(y_true, y_pred)``.

Returns:
    Scalar tensor; 0 for a perfect overlap, towards 1 for none.
)doc";

constexpr const char* kWeightedCceDoc = R"doc(weighted_categorical_crossentropy(self, y_true, y_pred)
--

Categorical cross-entropy, each pixel weighted by its class's frequency.

The weight of class ``i`` is the fraction of the entries of ``y_true`` equal
to ``i`` (frequencies as they are: not inverted). Each entry's cross-entropy
is multiplied by the weight of its own true class, then the ``CategoricalCrossentropy``
object ``cce`` averages them. A label outside ``0 ... num_classes - 1`` has
weight 0 and an all-zero one-hot row.

Args:
    y_true: integer class indices ``[b, c]`` (exactly two axes).
    y_pred: class probabilities ``[b, c, num_classes]``.

Returns:
    float32 scalar tensor.

Raises:
    ValueError: ``y_true`` does not have exactly two axes.
)doc";

constexpr const char* kComputeLossDoc = R"doc(compute_loss(self, y_true, y_pred)
--

Named losses for a batch.

Args:
    y_true: the mask ``[B, H0, W0]``, or a tuple whose item 0 is the mask.
    y_pred: logits ``[B, H, W, num_classes]``.

Returns:
    dict: "total-loss", "iou-loss", "class-loss" (float32 scalars) and
    "negative-loss" (float64 scalar), in this order.

Raises:
    ValueError: the mask is not ``[B, H0, W0]`` (TensorFlow's own error where
        its operations reject the shape first).
    tf.errors.InvalidArgumentError: the mask holds a label outside
        ``0 ... num_classes - 1``.
)doc";

constexpr const char* kNumClassesMessage = "The number of classes should be larger than 0: ``{}`` was provided";
constexpr const char* kOneClassMessage =
    "num_classes must be at least 2 (the background, class 0, and one class): with 1 the softmax is constant "
    "and the loss cannot train anything";
constexpr const char* kLabelRangeMessage = "SegmentationLoss: the mask holds a label outside 0 ... num_classes - 1";

// ------------------------------------------------------------------------- TensorFlow

kx::Lazy tf_module{"tensorflow"};
kx::Lazy core_loss_base{"orvane.kestrix.losses.core", "KestrixLoss"};

kx::Lazy tf_argmax{"tensorflow", "argmax"};
kx::Lazy assert_less{"tensorflow", "debugging.assert_less"};
kx::Lazy assert_greater_equal{"tensorflow", "debugging.assert_greater_equal"};
kx::Lazy tf_cast{"tensorflow", "cast"};
kx::Lazy tf_divide_no_nan{"tensorflow", "math.divide_no_nan"};
kx::Lazy tf_greater_equal{"tensorflow", "greater_equal"};
kx::Lazy tf_less_equal{"tensorflow", "less_equal"};
kx::Lazy tf_logical_or{"tensorflow", "logical_or"};
kx::Lazy tf_expand_dims{"tensorflow", "expand_dims"};
kx::Lazy tf_greater{"tensorflow", "greater"};
kx::Lazy tf_one_hot{"tensorflow", "one_hot"};
kx::Lazy tf_reduce_mean{"tensorflow", "reduce_mean"};
kx::Lazy tf_reduce_sum{"tensorflow", "reduce_sum"};
kx::Lazy tf_reshape{"tensorflow", "reshape"};
kx::Lazy tf_resize{"tensorflow", "image.resize"};
kx::Lazy tf_shape{"tensorflow", "shape"};
kx::Lazy tf_softmax{"tensorflow", "nn.softmax"};
kx::Lazy nearest_neighbor{"tensorflow", "image.ResizeMethod.NEAREST_NEIGHBOR"};
kx::Lazy tf_float32{"tensorflow", "float32"};
kx::Lazy tf_float64{"tensorflow", "float64"};
kx::Lazy tf_int32{"tensorflow", "int32"};
kx::Lazy cce_type{"tensorflow", "losses.CategoricalCrossentropy"};
kx::Lazy categorical_crossentropy{"tensorflow", "keras.metrics.categorical_crossentropy"};

// ------------------------------------------------------------------------- arithmetic

// Python's binary operators on any two objects, left operand first, so a number on the left
// reaches the tensor's reflected operator exactly as in `2.0 * x`.
py::object binary(PyObject* (*op)(PyObject*, PyObject*), py::handle a, py::handle b) {
    PyObject* result = op(a.ptr(), b.ptr());
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}
py::object add(py::handle a, py::handle b) { return binary(PyNumber_Add, a, b); }
py::object sub(py::handle a, py::handle b) { return binary(PyNumber_Subtract, a, b); }
py::object mul(py::handle a, py::handle b) { return binary(PyNumber_Multiply, a, b); }
py::object div(py::handle a, py::handle b) { return binary(PyNumber_TrueDivide, a, b); }

// ------------------------------------------------------------------------- shapes

// The sizes of the `n` axes of `tensor`, as `a, b, ... = tensor.shape` unpacks them (the same
// ValueError for another rank), with every size unknown when tracing replaced by its dynamic
// value, a scalar int32 tensor.
std::vector<py::object> axis_sizes(py::handle tensor, std::size_t n) {
    py::object shape = tensor.attr("shape");
    std::size_t rank = py::len(shape);  // ValueError for an unknown rank
    if (rank > n) kx::raise(PyExc_ValueError, "too many values to unpack (expected " + std::to_string(n) + ")");
    if (rank < n)
        kx::raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) + ", got " +
                                        std::to_string(rank) + ")");
    std::vector<py::object> sizes;
    py::object dynamic;
    for (std::size_t i = 0; i < n; ++i) {
        py::object size = shape[py::int_(i)];
        if (size.is_none()) {
            if (!dynamic) dynamic = tf_shape()(tensor);
            size = dynamic[py::int_(i)];
        }
        sizes.push_back(size);
    }
    return sizes;
}

// Product of sizes: a plain int when all are known, else a scalar tensor.
py::object product(const std::vector<py::object>& sizes) {
    py::object result = py::int_(1);
    for (const py::object& size : sizes) result = mul(result, size);
    return result;
}

// The target size of the mask resize: the prediction's height and width, `y_pred.shape[1:3]`
// when both are known, else read from the tensor.
py::object spatial_size(py::handle y_pred) {
    py::object size = y_pred.attr("shape")[py::slice(1, 3, 1)];
    for (py::handle dim : size)
        if (dim.is_none()) return tf_shape()(y_pred)[py::slice(1, 3, 1)];
    return size;
}

// ------------------------------------------------------------------------- terms

py::object dice_coeff(py::object y_true, py::object y_pred) {
    py::list flat;
    flat.append(-1);
    py::object y_true_f = tf_reshape()(y_true, flat);
    py::object y_pred_f = tf_reshape()(y_pred, flat);
    py::object intersection = tf_reduce_sum()(mul(y_true_f, y_pred_f));
    py::object smooth = py::float_(1.0);
    py::object numerator = add(mul(py::float_(2.0), intersection), smooth);
    py::object denominator = add(add(tf_reduce_sum()(y_true_f), tf_reduce_sum()(y_pred_f)), smooth);
    return div(numerator, denominator);
}

py::object dice_loss(py::object self, py::object y_true, py::object y_pred) {
    return sub(py::int_(1), self.attr("dice_coeff")(y_true, y_pred));
}

py::object weighted_categorical_crossentropy(py::object self, py::object y_true, py::object y_pred) {
    py::object num_pixels = product(axis_sizes(y_true, 2));
    py::object num_classes = self.attr("num_classes");
    // Entries equal to each class, counted in integers (exact for any size) over both axes.
    py::object counts = tf_reduce_sum()(tf_one_hot()(y_true, num_classes, py::arg("dtype") = tf_int32()),
                                        py::make_tuple(0, 1));
    py::object weights = div(tf_cast()(counts, tf_float32()), tf_cast()(num_pixels, tf_float32()));
    py::object one_hot = tf_one_hot()(y_true, num_classes, py::arg("axis") = -1);
    // Each entry takes the weight of its own true class (0 for a label outside the classes).
    py::object entry_weights = tf_reduce_sum()(mul(one_hot, weights), -1);
    py::object loss = self.attr("cce")(one_hot, y_pred, py::arg("sample_weight") = entry_weights);
    return tf_reduce_mean()(loss);
}

py::object compute_loss(py::object self, py::object y_true, py::object y_pred) {
    if (PyTuple_Check(y_true.ptr())) y_true = y_true[py::int_(0)];

    py::object mask = tf_resize()(tf_expand_dims()(y_true, 3), spatial_size(y_pred), nearest_neighbor());
    std::vector<py::object> sizes = axis_sizes(mask, 4);
    sizes.pop_back();
    py::object num_pixels = product(sizes);

    py::object num_classes = self.attr("num_classes");
    // A flat shape [-1]: the scalar -1 that eager reshape tolerates fails graph construction.
    py::list flat;
    flat.append(-1);
    py::object labels = tf_cast()(tf_reshape()(mask, flat), tf_int32());
    // A label outside the classes would one-hot encode as zeros and add nothing to the
    // class loss: a wrong mask trains silently. Refused (at run time inside a tf.function).
    assert_greater_equal()(labels, 0, py::arg("message") = kLabelRangeMessage);
    assert_less()(labels, num_classes, py::arg("message") = kLabelRangeMessage);
    py::object y_true_seg = tf_one_hot()(labels, num_classes);
    py::object y_pred_seg = tf_softmax()(tf_reshape()(y_pred, py::make_tuple(num_pixels, -1)));

    py::object weights = self.attr("weights");
    py::object cls_loss = tf_reduce_mean()(categorical_crossentropy()(y_true_seg, y_pred_seg));
    py::object clf_loss = mul(weights[py::int_(0)], cls_loss);
    py::object iou_loss = mul(weights[py::int_(1)], self.attr("dice_loss")(y_true_seg, y_pred_seg));

    // Arg-max decisions: no gradient. Without background pixels nothing was mislabelled, so
    // the share is 0; elsewhere it is the true division of the two int32 sums (float64).
    py::object dt_mask = tf_argmax()(y_pred_seg, py::arg("axis") = -1);
    // The arg-max of a one-hot row is 0 exactly for label 0 and for a label outside the
    // classes (an all-zero row): read that from the labels instead of a [N, C] arg-max.
    py::object gt_background = tf_logical_or()(tf_less_equal()(labels, 0), tf_greater_equal()(labels, num_classes));
    py::object gt_negative_mask = tf_cast()(gt_background, tf_int32());
    py::object dt_negative_mask = tf_cast()(tf_greater()(dt_mask, 0), tf_int32());
    py::object false_positives = tf_reduce_sum()(mul(dt_negative_mask, gt_negative_mask));
    py::object background = tf_reduce_sum()(gt_negative_mask);
    py::object negative_loss =
        tf_divide_no_nan()(tf_cast()(false_positives, tf_float64()), tf_cast()(background, tf_float64()));

    py::object total_loss = add(add(clf_loss, iou_loss), tf_cast()(negative_loss, tf_float32()));

    py::dict losses;
    losses["total-loss"] = total_loss;
    losses["iou-loss"] = iou_loss;
    losses["class-loss"] = clf_loss;
    losses["negative-loss"] = negative_loss;
    return std::move(losses);
}

// ------------------------------------------------------------------------- construction

void init(py::handle cls, py::object self, py::object num_classes, py::object weights,
          py::object use_dynamic_class_weights) {
    kx::check_list(weights, "weights");
    if (!weights.is_none()) {
        // Two finite, non-negative factors: a negative one would reward the error it weighs.
        if (py::len(weights) != 2)
            kx::raise(PyExc_ValueError, "weights must be [class weight, Dice weight], got " +
                                            py::repr(weights).cast<std::string>());
        kx::to_finite(weights[py::int_(0)], "weights[0]", 0.0);
        kx::to_finite(weights[py::int_(1)], "weights[1]", 0.0);
    }
    kx::super_init(cls, self);
    if (weights.is_none()) {
        py::list defaults;
        defaults.append(1.0);
        defaults.append(1.0);
        weights = std::move(defaults);
    }
    self.attr("weights") = weights;
    self.attr("num_classes") = num_classes;
    self.attr("use_dynamic_class_weights") = use_dynamic_class_weights;
    self.attr("cce") = cce_type()();

    int not_positive = PyObject_RichCompareBool(num_classes.ptr(), py::int_(0).ptr(), Py_LE);
    if (not_positive < 0) throw py::error_already_set();
    if (not_positive == 1)
        kx::raise(PyExc_ValueError, py::str(kNumClassesMessage).format(num_classes).cast<std::string>());
    int one = PyObject_RichCompareBool(num_classes.ptr(), py::int_(1).ptr(), Py_EQ);
    if (one < 0) throw py::error_already_set();
    if (one == 1) kx::raise(PyExc_ValueError, kOneClassMessage);
}

}  // namespace

PYBIND11_MODULE(segmentation, m) {
    kx::register_native_errors(m);
    m.doc() = kModuleDoc;
    py::options options;
    options.disable_function_signatures();  // the docstrings carry them
    m.attr("tf") = tf_module();
    m.attr("KestrixLoss") = core_loss_base();

    py::object cls = kx::make_class(m, "SegmentationLoss", core_loss_base(), kClassDoc);

    py::handle defining_class = cls;  // the module keeps the class alive
    kx::def_init(
        cls,
        [defining_class](py::object self, py::object num_classes, py::object weights,
                         py::object use_dynamic_class_weights) {
            init(defining_class, std::move(self), std::move(num_classes), std::move(weights),
                 std::move(use_dynamic_class_weights));
        },
        kInitDoc, py::arg("num_classes") = 0, py::arg("weights") = py::none(),
        py::arg("use_dynamic_class_weights") = false);

    py::cpp_function dice(&dice_coeff, py::name("dice_coeff"), py::doc(kDiceCoeffDoc), py::arg("y_true"),
                          py::arg("y_pred"));
    py::setattr(cls, "dice_coeff", py::staticmethod(dice));
    kx::def_method(cls, "dice_loss", &dice_loss, kDiceLossDoc, py::arg("y_true"), py::arg("y_pred"));
    kx::def_method(cls, "weighted_categorical_crossentropy", &weighted_categorical_crossentropy, kWeightedCceDoc,
                   py::arg("y_true"), py::arg("y_pred"));
    kx::def_method(cls, "compute_loss", &compute_loss, kComputeLossDoc, py::arg("y_true"), py::arg("y_pred"));
}
