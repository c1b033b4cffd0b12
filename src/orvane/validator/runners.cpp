// orvane.validator.runners: DetectionRunner, which runs a detection model on
// one validation image and returns its detections in the image's own
// normalised coordinates.
//
// The image is letter-boxed or resized exactly as the training pipeline does
// it (orvane.kestrix.datasets.utils.letterbox, cv2.resize), the model runs in
// one compiled call, and per-class non-maximum suppression and the mapping
// back run in C++ (src/native/eval/nms.*) with the GIL released. The
// letter-box is the datasets' one (kestrix/datasets/letterbox.hpp), written
// straight into the model's one-image batch. Own C++
// rather than tf.image.combined_non_max_suppression: the score threshold is
// inclusive as documented (the TensorFlow op keeps only scores above it), ties
// are ordered deterministically, the search stops as soon as max_detections
// are kept, and the rule is unit-tested without Python. Not thread-safe.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "eval/nms.hpp"
#include "../kestrix/datasets/letterbox.hpp"
#include "geometry/boxes.hpp"
#include "pyglue/glue.hpp"

namespace py = pybind11;
namespace ev = kx::eval;
namespace geo = kx::geometry;
namespace kd = kx::datasets;

namespace {

constexpr const char* kModuleDoc = R"doc(Detection runner: one validation image through the model, per-class NMS, boxes back in image coordinates.)doc";

constexpr const char* kClassDoc = R"doc(Runs a detection model on single validation images.

Model contract: the model takes float32 images ``[B, H, W, 3]`` with values in
0..1 (the uint8 pixels divided by 255, as in training) and returns a sequence
of outputs whose third and fourth entries are
    boxes   ``[B, K, 4]``: x1, y1, x2, y2 in pixels of the model input;
    scores  ``[B, K, C]``: per-class probabilities, C = ``len(classes)``.
The first two outputs serve training only. When ``classes[0]`` is
"background" that score column is never reported.

``run_single_instance`` letter-boxes (``letter_box`` true) or resizes the
image to ``input_shape`` exactly as the training pipeline does, runs the model
once through the compiled ``infer``, keeps every (box, class) pair scoring at
least ``score_threshold``, suppresses within each class the pairs whose IoU
with a higher-scoring kept box of that class exceeds ``iou_threshold``, and
returns the ``max_detections`` highest-scoring survivors, highest first
(equal scores: lower box row, then lower class, first). The low default
threshold keeps what average precision needs; a front end that shows
detections to a person builds its runner with a higher one.

Attributes:
    model: the Keras model.
    input_shape: (height, width) of the model input.
    classes: the class names, as given (the trainer's ``classes``).
    score_threshold, iou_threshold: floats.
    max_detections: int.
    letter_box: bool.
)doc";

constexpr const char* kInitDoc = R"doc(Sets the runner up.

Args:
    model: a Keras detection model following the contract of the class.
    input_shape: (height, width) or (height, width, channels) of the model input.
    classes: list of class names; labels are taken from it by score column.
    score_threshold: lowest score reported, a finite number in 0..1
        (default 0.001, inclusive).
    iou_threshold: IoU above which a box suppresses a lower-scoring box of
        its class (default 0.5).
    max_detections: most detections returned per image (default 100).
    letter_box: letter-box (True, default) or resize (False) to input_shape,
        as the training pipeline was set up.

Raises:
    TypeError: ``classes`` is not a list; ``model`` is None (after the
        other arguments are checked).
    ValueError: an empty class list, a non-positive input size, a score or
        IoU threshold outside 0..1 (or not finite) or max_detections below 1.
)doc";

constexpr const char* kInferDoc = R"doc(The compiled model call (tf.function, one trace per runner).

Args:
    images: uint8 ``[B, height, width, 3]`` at ``input_shape``.

Returns:
    (boxes float32 ``[B, K, 4]``, scores float32 ``[B, K, C]``): the model's
    third and fourth outputs on ``images / 255``.

Raises:
    ValueError: the model returns fewer than four outputs, or boxes/scores
        of another shape than the contract's.
)doc";

constexpr const char* kRunDoc = R"doc(Detects objects in one image.

Args:
    image: uint8 ``[H, W, 3]`` at its stored size.

Returns:
    (boxes, labels, scores): boxes float32 ``[K, 4]`` x1, y1, x2, y2
    normalised to the original image (the letter-box undone, clipped to
    0..1); labels ``[K]`` the class names; scores float32 ``[K]``,
    descending. K is at most ``max_detections`` and may be 0.

Raises:
    ValueError: an image that is not uint8 ``[H, W, 3]``, or model outputs
        that break the contract (naming the output).
)doc";

constexpr const char* kBackground = "background";
// The model input for one image: uint8 [1, height, width, 3].
struct ModelInput {
    py::object batch;
    double scale_x = 0, scale_y = 0, pad_x = 0, pad_y = 0;  // model pixel X = x * scale_x + pad_x
};

// utils.letterbox(image, (height, width), auto=False), as a batch of one.
ModelInput letterboxed(const py::array& image, long height, long width) {
    const kd::Pixels pixels(image);
    const geo::Letterbox box =
        kd::letterbox_placement(static_cast<long>(pixels.shape(1)), static_cast<long>(pixels.shape(0)), width, height);
    py::array_t<std::uint8_t> batch(std::vector<py::ssize_t>{1, height, width, 3});
    kd::letterbox_into(pixels, box, batch.mutable_data());
    return {batch, box.ratio_x, box.ratio_y, static_cast<double>(box.pad_left), static_cast<double>(box.pad_top)};
}

long positive(py::handle value, const char* name) {
    if (!PyIndex_Check(value.ptr())) kx::raise_type_error(name, "int", value);
    const long v = py::int_(py::reinterpret_borrow<py::object>(value)).cast<long>();
    if (v < 1) kx::raise(PyExc_ValueError, std::string(name) + " must be at least 1, got " + std::to_string(v));
    return v;
}

std::pair<long, long> input_size(py::handle self) {
    py::tuple shape = self.attr("input_shape");
    return {shape[0].cast<long>(), shape[1].cast<long>()};
}

std::size_t num_classes(py::handle self) { return py::len(self.attr("classes")); }

void init(py::object self, py::object model, py::object input_shape, py::object classes, py::object score_threshold,
          py::object iou_threshold, py::object max_detections, py::object letter_box) {
    static kx::Lazy np_array{"numpy", "array"};
    kx::check_list(classes, "classes");
    if (classes.is_none() || py::len(classes) == 0)
        kx::raise(PyExc_ValueError, "DetectionRunner needs the list of class names (classes is empty)");
    if (!PySequence_Check(input_shape.ptr()) || py::len(input_shape) < 2 || py::len(input_shape) > 3)
        kx::raise(PyExc_ValueError, "input_shape must be (height, width) or (height, width, channels), got " +
                                        py::repr(input_shape).cast<std::string>());
    const long height = positive(input_shape[py::int_(0)], "input_shape[0]");
    const long width = positive(input_shape[py::int_(1)], "input_shape[1]");
    const double score = kx::to_finite(score_threshold, "score_threshold", 0.0, 1.0);
    const double iou = kx::to_double(iou_threshold, "iou_threshold");
    if (!(iou >= 0 && iou <= 1))
        kx::raise(PyExc_ValueError, "iou_threshold must lie in 0..1, got " + std::to_string(iou));
    const long limit = positive(max_detections, "max_detections");
    int boxed = PyObject_IsTrue(letter_box.ptr());
    if (boxed < 0) throw py::error_already_set();
    kx::require(model, "model");  // after the settings: a runner without a model has nothing to run

    self.attr("model") = model;
    self.attr("input_shape") = py::make_tuple(height, width);
    self.attr("classes") = classes;
    self.attr("score_threshold") = py::float_(score);
    self.attr("iou_threshold") = py::float_(iou);
    self.attr("max_detections") = py::int_(limit);
    self.attr("letter_box") = py::bool_(boxed != 0);
    // Labels are taken from this array, so they have the dtype the trainer's
    // ground-truth labels get from the same list.
    self.attr("_label_names") = np_array()(classes);
}

// Trace-time check of one model output against the contract.
void check_output(const py::object& tensor, const char* what, long last_dim, const char* layout) {
    py::object shape = tensor.attr("shape");
    const py::ssize_t rank = py::len(shape);
    bool ok = rank == 3;
    if (ok) {
        py::object last = shape[py::int_(2)];
        ok = last.is_none() || last.cast<long>() == last_dim;
    }
    if (!ok)
        kx::raise(PyExc_ValueError, std::string("the model's ") + what + " output (its " +
                                        (what[0] == 'b' ? "third" : "fourth") + ") must be " + layout + ", got shape " +
                                        py::str(shape).cast<std::string>());
}

py::object infer(const py::tuple& args) {
    static kx::Lazy tf_ensure_shape{"tensorflow", "ensure_shape"};
    static kx::Lazy tf_cast{"tensorflow", "cast"};
    static kx::Lazy tf_float32{"tensorflow", "float32"};
    py::object self = args[0];
    const auto [height, width] = input_size(self);
    // Every image is letter-boxed to input_shape: the trace sees static sizes.
    py::object images = tf_ensure_shape()(args[1], py::make_tuple(py::none(), height, width, 3));
    py::object x = tf_cast()(images, tf_float32()) / py::float_(255.0);
    py::object outputs = self.attr("model")(x, py::arg("training") = false);
    if (!PyList_Check(outputs.ptr()) && !PyTuple_Check(outputs.ptr()))
        kx::raise(PyExc_ValueError, "the model must return a sequence of outputs (boxes third, scores fourth), got " +
                                        std::string(Py_TYPE(outputs.ptr())->tp_name));
    if (py::len(outputs) < 4)
        kx::raise(PyExc_ValueError, "the model returns " + std::to_string(py::len(outputs)) +
                                        " outputs; boxes [B, K, 4] must be the third and scores [B, K, C] the fourth");
    py::object boxes = tf_cast()(outputs[py::int_(2)], tf_float32());
    py::object scores = tf_cast()(outputs[py::int_(3)], tf_float32());
    check_output(boxes, "boxes", 4, "[B, K, 4]");
    check_output(scores, "scores", static_cast<long>(num_classes(self)), "[B, K, len(classes)]");
    return py::make_tuple(boxes, scores);
}

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

py::tuple run_single_instance(py::object self, py::object image_arg) {
    static kx::Lazy np_asarray{"numpy", "asarray"};
    static kx::Lazy cv2_resize{"cv2", "resize"};

    py::array image = np_asarray()(image_arg);
    if (image.dtype().kind() != 'u' || image.itemsize() != 1 || image.ndim() != 3 || image.shape(2) != 3 ||
        image.shape(0) == 0 || image.shape(1) == 0)
        kx::raise(PyExc_ValueError, "run_single_instance expects a uint8 image of shape (H, W, 3), got dtype " +
                                        py::str(image.dtype()).cast<std::string>() + " and shape " + kx::shape_text(image));
    const double src_h = static_cast<double>(image.shape(0));
    const double src_w = static_cast<double>(image.shape(1));
    const auto [height, width] = input_size(self);

    ModelInput input;
    if (self.attr("letter_box").cast<bool>()) {
        input = letterboxed(image, height, width);
    } else {
        py::object canvas = cv2_resize()(image, py::make_tuple(width, height));
        input.batch = canvas.attr("__getitem__")(py::make_tuple(py::none(), py::ellipsis()));
        input.scale_x = static_cast<double>(width) / src_w;
        input.scale_y = static_cast<double>(height) / src_h;
    }
    const double scale_x = input.scale_x, scale_y = input.scale_y, pad_x = input.pad_x, pad_y = input.pad_y;
    // The one trace of `infer` is called as its concrete function: the polymorphic call would
    // bind, convert and look its trace up again for every image.
    py::object call = py::getattr(self, "_infer_call", py::none());
    if (call.is_none()) {
        call = self.attr("infer").attr("get_concrete_function")();
        self.attr("_infer_call") = call;
    }
    py::tuple raw = call(input.batch);
    FloatArray boxes = FloatArray::ensure(raw[0].attr("numpy")());
    FloatArray scores = FloatArray::ensure(raw[1].attr("numpy")());
    if (!boxes || !scores) throw py::error_already_set();
    const std::size_t classes = num_classes(self);
    if (boxes.ndim() != 3 || boxes.shape(0) != 1 || boxes.shape(2) != 4)
        kx::raise(PyExc_ValueError, "the model's boxes output must be [1, K, 4] for one image, got " + kx::shape_text(boxes));
    if (scores.ndim() != 3 || scores.shape(0) != 1 || scores.shape(1) != boxes.shape(1) ||
        static_cast<std::size_t>(scores.shape(2)) != classes)
        kx::raise(PyExc_ValueError, "the model's scores output must be [1, " + std::to_string(boxes.shape(1)) + ", " +
                                        std::to_string(classes) + "] (K boxes, len(classes)), got " + kx::shape_text(scores));

    ev::NmsOptions options;
    py::object first = py::list(self.attr("classes"))[0];
    options.first_class = py::isinstance<py::str>(first) && first.cast<std::string>() == kBackground ? 1 : 0;
    options.score_threshold = self.attr("score_threshold").cast<double>();
    options.iou_threshold = self.attr("iou_threshold").cast<double>();
    options.max_detections = self.attr("max_detections").cast<std::size_t>();

    const auto candidates = static_cast<std::size_t>(boxes.shape(1));
    std::vector<ev::Selected> kept;
    {
        py::gil_scoped_release release;
        kept = ev::non_max_suppression(boxes.data(), scores.data(), candidates, classes, options);
    }

    const auto count = static_cast<py::ssize_t>(kept.size());
    py::array_t<float> out_boxes(std::vector<py::ssize_t>{count, 4});
    py::array_t<float> out_scores(std::vector<py::ssize_t>{count});
    py::array_t<py::ssize_t> label_rows(std::vector<py::ssize_t>{count});
    {
        const float* in = boxes.data();
        float* b = out_boxes.mutable_data();
        float* s = out_scores.mutable_data();
        py::ssize_t* l = label_rows.mutable_data();
        py::gil_scoped_release release;
        auto normalised = [](double pixel, double pad, double scale, double size) {
            const double v = (pixel - pad) / scale / size;
            return static_cast<float>(v < 0 ? 0.0 : v > 1 ? 1.0 : v);  // NaN stays NaN
        };
        for (const ev::Selected& k : kept) {
            const float* row = in + k.box * 4;
            *b++ = normalised(row[0], pad_x, scale_x, src_w);
            *b++ = normalised(row[1], pad_y, scale_y, src_h);
            *b++ = normalised(row[2], pad_x, scale_x, src_w);
            *b++ = normalised(row[3], pad_y, scale_y, src_h);
            *s++ = k.score;
            *l++ = static_cast<py::ssize_t>(k.cls);
        }
    }
    py::object labels = self.attr("_label_names").attr("__getitem__")(label_rows);
    return py::make_tuple(out_boxes, labels, out_scores);
}

}  // namespace

PYBIND11_MODULE(KESTRIX_MODULE_NAME, m) {
    kx::register_native_errors(m);
    static kx::Lazy object_type{"builtins", "object"};
    static kx::Lazy tensor_spec{"tensorflow", "TensorSpec"};
    static kx::Lazy tf_uint8{"tensorflow", "uint8"};
    m.doc() = kModuleDoc;
    py::object cls = kx::make_class(m, "DetectionRunner", object_type(), kClassDoc);
    kx::def_init(cls, &init, kInitDoc, py::arg("model"), py::arg("input_shape"), py::arg("classes"),
                 py::arg("score_threshold") = 0.001, py::arg("iou_threshold") = 0.5,
                 py::arg("max_detections") = 100, py::arg("letter_box") = true);
    py::dict compile;
    py::list signature;
    signature.append(tensor_spec()(py::make_tuple(py::none(), py::none(), py::none(), 3), tf_uint8()));
    compile["input_signature"] = py::tuple(signature);
    kx::compile_method(m, cls, "infer", {{"self"}, {"images"}}, kInferDoc, &infer, compile);
    kx::def_method(cls, "run_single_instance", &run_single_instance, kRunDoc, py::arg("image"));
}
