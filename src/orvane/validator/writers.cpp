// orvane.validator.writers: the validation writer that draws ground-truth and
// detected boxes onto validation images and publishes them as TensorBoard
// image summaries through the training logger's summary writer.
//
// The trainer builds one TrainingTensorBoardWriter on its logger's writer and
// hands it to the evaluator at every validation pass; the evaluator calls
// publish_detections for the images it is asked to show. Not thread-safe: use
// it from the thread that trains (as the trainer does).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <pyglue/glue.hpp>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

constexpr const char* kClassDoc = R"doc(Publishes validation images with their boxes drawn, through a
tf.summary file writer.

Ground-truth boxes are drawn in green, detections in red. Boxes are rows of
x1, y1, x2, y2, either normalised to 0..1 (as the datasets deliver ground
truth in validation mode) or in pixels of the image.

Attributes:
    writer: the tf.summary file writer given to the constructor.
)doc";

constexpr const char* kInitDoc = R"doc(Keeps the summary writer to publish through.

Args:
    writer: a tf.summary file writer (for example the training logger's
        ``writer``). It is used as given and never closed here.
)doc";

constexpr const char* kPublishDoc = R"doc(Draws the boxes onto the image and writes one image summary.

Args:
    caption: summary name (tag) shown in TensorBoard.
    image: one image, height x width x channels (1 or 3). Unsigned 8-bit
        images and float images with values above 1 are scaled by 1/255;
        other float images are taken as 0..1.
    gt_boxes: N x 4 ground-truth boxes, rows x1, y1, x2, y2 (N may be 0).
    gt_labels: the N ground-truth labels (only their number is checked).
    dt_boxes: M x 4 detected boxes, rows x1, y1, x2, y2 (M may be 0).
    dt_labels: the M detected labels (only their number is checked).
    dt_scores: the M detection scores.
    step: the summary step (for example the epoch).
    normalized: True when the boxes are normalised to 0..1, False when
        they are in pixels of the image.
    min_score: detections scoring below this are not drawn.

Returns:
    None. The summary is buffered by the writer until flush().

Raises:
    ValueError: an image that is not numeric, empty or not height x width x
        1 or 3, boxes that are not K x 4, labels/scores whose count differs
        from the boxes', scores that are not numbers, or a step outside the
        int64 range. Nothing is written then.
)doc";

constexpr const char* kScalarDoc = R"doc(Writes one scalar summary (for example the pass's operating point).

Args:
    tag: summary name shown in TensorBoard.
    value: the number (converted to float).
    step: the summary step (for example the epoch).

Returns:
    None. The summary is buffered by the writer until flush().

Raises:
    TypeError: a value that is not a number.
    ValueError: a step outside the int64 range.
)doc";

constexpr const char* kFlushDoc = R"doc(Flushes the summary writer so buffered images reach the event file.

Returns:
    None.
)doc";

// ------------------------------------------------------------ drawing

// Box rows as float64 K x 4; an empty array of any shape counts as no boxes.
py::array_t<double> box_rows(py::handle boxes, const char* name) {
    auto rows = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(boxes);
    if (!rows) {
        PyErr_Clear();
        kx::raise(PyExc_ValueError, std::string("'") + name + "' must be an array of boxes, got " +
                                        std::string(py::str(py::type::of(boxes).attr("__name__"))));
    }
    if (rows.size() == 0) return py::array_t<double>(std::vector<py::ssize_t>{0, 4});
    if (rows.ndim() != 2 || rows.shape(1) != 4)
        kx::raise(PyExc_ValueError, std::string("'") + name + "' must have shape (N, 4) with rows x1, y1, x2, y2, got " +
                                        kx::shape_text(rows));
    return rows;
}

void check_count(py::handle values, const char* name, py::ssize_t expected, const char* boxes_name) {
    py::ssize_t count = values.is_none() ? 0 : static_cast<py::ssize_t>(py::len(values));
    if (count != expected)
        kx::raise(PyExc_ValueError, std::string("'") + name + "' holds " + std::to_string(count) + " entries but '" +
                                        boxes_name + "' holds " + std::to_string(expected) + " boxes");
}

// Reorders x1, y1, x2, y2 rows into the y1, x1, y2, x2 layout (normalised) that
// tf.image.draw_bounding_boxes takes, keeping only rows flagged in `keep`.
py::array_t<float> drawing_boxes(const py::array_t<double>& rows, bool normalized, double height, double width,
                                 const std::vector<bool>& keep) {
    auto in = rows.unchecked<2>();
    std::vector<float> out;
    out.reserve(static_cast<std::size_t>(in.shape(0)) * 4);
    const double sy = normalized ? 1.0 : 1.0 / height;
    const double sx = normalized ? 1.0 : 1.0 / width;
    for (py::ssize_t i = 0; i < in.shape(0); ++i) {
        if (!keep.empty() && !keep[static_cast<std::size_t>(i)]) continue;
        out.push_back(static_cast<float>(in(i, 1) * sy));
        out.push_back(static_cast<float>(in(i, 0) * sx));
        out.push_back(static_cast<float>(in(i, 3) * sy));
        out.push_back(static_cast<float>(in(i, 2) * sx));
    }
    const auto count = static_cast<py::ssize_t>(out.size() / 4);
    py::array_t<float> result(std::vector<py::ssize_t>{1, count, 4});
    std::copy(out.begin(), out.end(), result.mutable_data());
    return result;
}

// The image as float32 1 x H x W x 3 in 0..1.
py::object drawing_image(py::handle image, py::ssize_t& height, py::ssize_t& width) {
    static kx::Lazy tf_constant{"tensorflow", "constant"};
    static kx::Lazy tf_gray_to_rgb{"tensorflow", "image.grayscale_to_rgb"};
    static kx::Lazy tf_float32{"tensorflow", "float32"};

    py::array raw = kx::check_image(image, "image", {1, 3});
    height = raw.shape(0);
    width = raw.shape(1);

    const bool is_uint8 = raw.dtype().kind() == 'u' && raw.dtype().itemsize() == 1;
    auto pixels = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(raw);
    if (!pixels) throw py::error_already_set();
    float peak = 0.0F;
    const float* data = pixels.data();
    for (py::ssize_t i = 0; i < pixels.size(); ++i)
        if (std::isfinite(data[i]) && data[i] > peak) peak = data[i];
    const float scale = (is_uint8 || peak > 1.0F) ? 1.0F / 255.0F : 1.0F;
    py::array_t<float> scaled(std::vector<py::ssize_t>{1, height, width, raw.shape(2)});
    float* dst = scaled.mutable_data();
    for (py::ssize_t i = 0; i < pixels.size(); ++i) dst[i] = data[i] * scale;

    py::object tensor = tf_constant()(scaled, tf_float32());
    if (raw.shape(2) == 1) tensor = tf_gray_to_rgb()(tensor);
    return tensor;
}

py::object publish_detections(py::object self, py::object caption, py::object image, py::object gt_boxes,
                              py::object gt_labels, py::object dt_boxes, py::object dt_labels, py::object dt_scores,
                              py::object step, bool normalized, double min_score) {
    static kx::Lazy tf_image{"tensorflow", "summary.image"};
    static kx::Lazy tf_constant{"tensorflow", "constant"};
    static kx::Lazy tf_draw{"tensorflow", "image.draw_bounding_boxes"};
    kx::check_str(caption, "caption");
    if (caption.is_none()) kx::raise(PyExc_ValueError, "'caption' must be given (the summary name)");

    py::ssize_t height = 0;
    py::ssize_t width = 0;
    py::object drawn = drawing_image(image, height, width);
    py::array_t<double> gt = box_rows(gt_boxes, "gt_boxes");
    py::array_t<double> dt = box_rows(dt_boxes, "dt_boxes");
    check_count(gt_labels, "gt_labels", gt.shape(0), "gt_boxes");
    check_count(dt_labels, "dt_labels", dt.shape(0), "dt_boxes");
    check_count(dt_scores, "dt_scores", dt.shape(0), "dt_boxes");

    std::vector<bool> keep_dt(static_cast<std::size_t>(dt.shape(0)), true);
    if (dt.shape(0) > 0) {
        static kx::Lazy np_asarray{"numpy", "asarray"};
        py::object given = np_asarray()(dt_scores);
        const std::string kind = py::str(given.attr("dtype").attr("kind")).cast<std::string>();
        if (kind != "u" && kind != "i" && kind != "f" && kind != "b")
            kx::raise(PyExc_ValueError, "'dt_scores' must hold numbers, got dtype " +
                                            py::str(given.attr("dtype")).cast<std::string>() + " (" +
                                            py::repr(dt_scores).cast<std::string>().substr(0, 80) + ")");
        auto scores = py::array_t<double, py::array::forcecast>::ensure(given);
        if (!scores) throw py::error_already_set();
        if (scores.size() != dt.shape(0))
            kx::raise(PyExc_ValueError, "'dt_scores' must hold one score per detection, got shape " +
                                            kx::shape_text(scores));
        py::array_t<double> flat = scores.reshape(std::vector<py::ssize_t>{scores.size()});
        auto s = flat.unchecked<1>();
        for (py::ssize_t i = 0; i < s.shape(0); ++i) keep_dt[static_cast<std::size_t>(i)] = !(s(i) < min_score);
    }

    const auto h = static_cast<double>(height);
    const auto w = static_cast<double>(width);
    py::object green = tf_constant()(py::make_tuple(py::make_tuple(0.0, 1.0, 0.0)), "float32");
    py::object red = tf_constant()(py::make_tuple(py::make_tuple(1.0, 0.0, 0.0)), "float32");
    drawn = tf_draw()(drawn, drawing_boxes(gt, normalized, h, w, {}), green);
    drawn = tf_draw()(drawn, drawing_boxes(dt, normalized, h, w, keep_dt), red);

    py::object summary_step = PyIndex_Check(step.ptr()) ? py::int_(kx::to_int64(step, "step")) : step;
    kx::with_context(self.attr("writer").attr("as_default")(),
                     [&] { tf_image()(caption, drawn, py::arg("step") = summary_step); });
    return py::none();
}

py::object publish_scalar(py::object self, py::object tag, py::object value, py::object step) {
    static kx::Lazy tf_scalar{"tensorflow", "summary.scalar"};
    const double number = kx::to_double(value, "value");
    py::object summary_step = PyIndex_Check(step.ptr()) ? py::int_(kx::to_int64(step, "step")) : step;
    kx::with_context(self.attr("writer").attr("as_default")(),
                     [&] { tf_scalar()(tag, py::float_(number), py::arg("step") = summary_step); });
    return py::none();
}

}  // namespace

PYBIND11_MODULE(writers, m) {
    kx::register_native_errors(m);
    m.doc() = "Validation writer: validation images with ground-truth and detected boxes, to TensorBoard.";
    static kx::Lazy object_type{"builtins", "object"};
    py::object cls = kx::make_class(m, "TrainingTensorBoardWriter", object_type(), kClassDoc);

    kx::def_init(
        cls,
        [](py::object self, py::object writer) {
            self.attr("writer") = writer;
            return py::none();
        },
        kInitDoc, py::arg("writer"));

    kx::def_method(cls, "publish_detections", &publish_detections, kPublishDoc, py::arg("caption"), py::arg("image"),
                   py::arg("gt_boxes"), py::arg("gt_labels"), py::arg("dt_boxes"), py::arg("dt_labels"),
                   py::arg("dt_scores"), py::arg("step"), py::kw_only(), py::arg("normalized") = true,
                   py::arg("min_score") = 0.0);

    kx::def_method(cls, "publish_scalar", &publish_scalar, kScalarDoc, py::arg("tag"), py::arg("value"),
                   py::arg("step"));

    kx::def_method(
        cls, "flush",
        [](py::object self) {
            self.attr("writer").attr("flush")();
            return py::none();
        },
        kFlushDoc);
}
