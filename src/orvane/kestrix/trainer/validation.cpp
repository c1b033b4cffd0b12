// The validation pass: the first image of every element of the validation dataset through the
// evaluator's runner and the evaluator, and the metrics it concludes. The trainer runs it
// before the first epoch and after every epoch; `kestrix val` runs the same function on saved
// weights (the module-level `validation_pass`).
#include <pybind11/pybind11.h>

#include <cmath>
#include <string>
#include <vector>

#include "detection_internal.hpp"

namespace kx::trainer {

const char* const kValidationPassDoc = R"doc(Runs one validation pass and returns the evaluator's metrics dictionary.

The pass the trainer runs before the first epoch and after every epoch, and the one
``kestrix val`` runs on saved weights. ``evaluator(writer)`` starts it; the first image of
every element of ``val_ds`` goes through ``evaluator.runner.run_single_instance`` and
``evaluator.single_evaluation(instances, epoch, add_image)``; ``evaluator.conclude(...,
epoch=epoch)`` makes the metrics. A progress bar "Running validation" follows the pass.

Args:
    val_ds: re-iterable validation batches ``(images, boxes, names)``: images [B, H, W, 3],
        boxes [B, N, 5] (x1, y1, x2, y2 normalised, then the class number) and image names
        [B] as bytes; a fourth item, ignore boxes [B, M, 5] in the boxes' layout (crowd or
        difficult objects), goes to the evaluator as ``ignore_boxes`` and ``ignore_labels``.
    evaluator: the validation evaluator (``orvane.validator.evaluators.DetectionEvaluator``
        or an object with the same calls and ``runner``).
    classes: class names indexed by class number.
    epoch: the epoch the pass belongs to (the step of published images).
    writer: the validation writer handed to the evaluator; None publishes nothing.
    display: number of images of the pass marked for upload; 0 marks none, a negative
        value marks all.

Returns:
    The evaluator's metrics dictionary.

Raises:
    ValueError: ``val_ds`` yielded no element.
    IndexError: a box has a class number that is negative, not a whole number or not below
        ``len(classes)`` (the message names the image and the number).
)doc";

namespace {

kx::Lazy np_array{"numpy", "array"};

py::object slice_range(Py_ssize_t start, Py_ssize_t stop) {
    py::int_ first(start), last(stop);
    PyObject* s = PySlice_New(first.ptr(), last.ptr(), nullptr);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

// `a, b, c = value` with Python's errors for the wrong number of items.
std::vector<py::object> unpack(py::handle value, std::size_t n) {
    std::vector<py::object> items;
    items.reserve(n);
    for (py::handle item : py::iter(value)) {
        if (items.size() == n) kx::raise(PyExc_ValueError, "too many values to unpack (expected " + std::to_string(n) + ")");
        items.push_back(py::reinterpret_borrow<py::object>(item));
    }
    if (items.size() < n)
        kx::raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) + ", got " +
                                        std::to_string(items.size()) + ")");
    return items;
}

// A validation element: three items, or four with the ignore regions.
std::vector<py::object> unpack_sample(py::handle value) {
    std::vector<py::object> items;
    for (py::handle item : py::iter(value)) items.push_back(py::reinterpret_borrow<py::object>(item));
    if (items.size() != 3 && items.size() != 4)
        kx::raise(PyExc_ValueError, "a validation element must hold (images, boxes, names) or (images, boxes, names, "
                                    "ignore boxes), got " + std::to_string(items.size()) + " items");
    return items;
}

// The class names of the box rows' class numbers (column 4). A number that is negative, not a
// whole number or not below len(classes) is an IndexError naming the image: Python's indexing
// would silently name -1 after the last class.
py::list class_names(const py::object& classes, const py::object& numbers, const py::object& image_name) {
    const auto count = static_cast<double>(py::len(classes));
    py::object zero = py::int_(0);
    py::list names;
    for (py::handle row : numbers) {
        const double number = py::float_(row[zero]).cast<double>();
        const bool whole = std::isfinite(number) && std::floor(number) == number;
        if (!(whole && number >= 0 && number < count)) {
            py::object shown = whole ? py::reinterpret_steal<py::object>(PyLong_FromDouble(number))
                                     : py::object(py::float_(number));
            if (!shown) throw py::error_already_set();
            kx::raise(PyExc_IndexError, py::str("class number {} of a box in validation image {!r} is out of range "
                                                "for {} classes (expected a whole number from 0 to {})")
                                            .format(shown, image_name, py::len(classes), py::len(classes) - 1)
                                            .cast<std::string>());
        }
        names.append(classes[py::int_(static_cast<long long>(number))]);
    }
    return names;
}

}  // namespace

py::object validation_pass(const py::object& val_ds, const py::object& evaluator, const py::object& classes,
                           const py::object& epoch, const py::object& writer, const py::object& display) {
    py::int_ counter(0);
    evaluator(writer);
    py::object loop = tqdm_type()(val_ds, py::arg("leave") = true, py::arg("colour") = "green");
    loop.attr("set_description")("Running validation");

    py::dict instances, gt_instance, dt_instance;
    py::bool_ add_image(true);
    py::object truth_values;
    bool seen = false;
    py::object zero = py::int_(0);
    py::object every_row = slice_from(0);
    py::object coordinates = py::make_tuple(every_row, slice_range(0, 4));
    py::object class_column = py::make_tuple(every_row, slice_from(4));

    for (py::handle element : loop) {
        // (images, boxes, names), and the ignore regions from readers that have them.
        std::vector<py::object> parts = unpack_sample(element);
        py::object image = parts[0].attr("numpy")()[zero];
        py::object boxes = parts[1].attr("numpy")()[zero];
        py::object image_name = parts[2].attr("numpy")()[zero].attr("decode")();
        py::object gt_boxes = boxes[coordinates];
        py::list names = class_names(classes, boxes[class_column], image_name);
        py::object gt_classes = np_array()(names);

        std::vector<py::object> shape = unpack(image.attr("shape"), 3);
        std::vector<py::object> detected =
            unpack(evaluator.attr("runner").attr("run_single_instance")(image), 3);

        gt_instance["image"] = image;
        gt_instance["height"] = shape[0];
        gt_instance["width"] = shape[1];
        gt_instance["boxes"] = gt_boxes;
        gt_instance["labels"] = gt_classes;
        gt_instance["image_path"] = image_name;
        if (parts.size() == 4) {
            py::object ignored = parts[3].attr("numpy")()[zero];
            gt_instance["ignore_boxes"] = ignored[coordinates];
            gt_instance["ignore_labels"] = np_array()(class_names(classes, ignored[class_column], image_name));
        }
        dt_instance["boxes"] = detected[0];
        dt_instance["labels"] = detected[1];
        dt_instance["scores"] = detected[2];
        instances["gt_instance"] = gt_instance;
        instances["dt_instance"] = dt_instance;

        if (display >= zero) {
            if (counter < display) {
                counter = py::int_(counter + py::int_(1));
                add_image = py::bool_(true);
            } else {
                add_image = py::bool_(false);
            }
        }
        truth_values = evaluator.attr("single_evaluation")(instances, epoch, add_image);
        seen = true;
    }
    if (!seen) {
        kx::raise(PyExc_ValueError, py::str("val_ds yielded no element in the validation pass of epoch {}: the "
                                            "evaluator has nothing to conclude")
                                        .format(epoch)
                                        .cast<std::string>());
    }
    return evaluator.attr("conclude")(truth_values, py::arg("epoch") = epoch);
}

// The chosen family at IoU 0.5, as the summary column of the metric names it ("mACC@0.5": the
// value metrics["mACC"]["0.5"]).
py::object choose_value(const py::object& self, const py::object& metrics) {
    static kx::Lazy summary_key{"orvane.validator.evaluators", "summary_key"};
    const std::string key = py::str(summary_key()(self.attr("metric"))).cast<std::string>();
    const std::size_t at = key.find('@');
    return metrics.attr("get")(key.substr(0, at)).attr("get")(key.substr(at + 1));
}

}  // namespace kx::trainer
