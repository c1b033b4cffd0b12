// Part of orvane.kestrix.datasets.darknet: read_labels, the parsed rows of one
// annotation file through the parser the reader and its check use
// (native/darknet/labels), for callers that turn Darknet files into something
// else (the converter to record shards).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>

#include "darknet/labels.hpp"
#include "pyglue/glue.hpp"

namespace py = pybind11;
namespace dn = kx::darknet;

namespace kx::datasets {

dn::Labels read_annotation_file(const std::string& file, py::handle shown, const dn::LabelRules& rules) {
    dn::Labels labels;
    std::string error;
    bool readable = false;
    {
        py::gil_scoped_release release;
        readable = dn::read_labels(file, rules, &labels, &error);
    }
    const std::string name = py::str(shown);
    if (!readable) kx::raise(PyExc_ValueError, "[ERROR]: Annotation file '" + name + "' could not be read: " + error);
    if (labels.fault)
        kx::raise(PyExc_ValueError, "[ERROR]: Annotation file '" + name + "', line " +
                                        std::to_string(labels.fault->line) + ": " + labels.fault->reason);
    return labels;
}

}  // namespace kx::datasets

namespace {

constexpr const char* kReadLabelsDoc = R"doc(The boxes of one Darknet annotation file, as the reader parses them.

Args:
    path: the annotation file (str or path-like).
    num_classes: when given, class ids must lie in 0..num_classes-1.

Returns:
    numpy.ndarray: float64 ``[N, 5]``, one row per box in file order:
    class id, x centre, y centre, width, height (fractions of the image
    size). A file without boxes (a background image) gives ``[0, 5]``.

Raises:
    ValueError: "[ERROR]: ..." naming the file when it cannot be read, or
        the file and the line of its first malformed line (a value that is
        not a finite number, a line without exactly five values, a class id
        that is not a whole number or outside the classes).
)doc";

py::array_t<double> read_labels(py::object path, py::object num_classes) {
    static kx::Lazy fspath{"os", "fspath"};
    static kx::Lazy fsencode{"os", "fsencode"};
    const py::object shown = fspath()(path);
    const std::string file = py::bytes(fsencode()(shown)).cast<std::string>();
    dn::LabelRules rules;
    if (!num_classes.is_none()) rules.num_classes = static_cast<long>(kx::to_int64(num_classes, "num_classes"));
    const dn::Labels labels = kx::datasets::read_annotation_file(file, shown, rules);
    py::array_t<double> rows({static_cast<py::ssize_t>(labels.boxes()), static_cast<py::ssize_t>(dn::kLabelValues)});
    std::copy(labels.values.begin(), labels.values.end(), rows.mutable_data());
    return rows;
}

}  // namespace

namespace kx::datasets {

void register_darknet_labels(py::module_& m) {
    m.def("read_labels", &read_labels, kReadLabelsDoc, py::arg("path"), py::arg("num_classes") = py::none());
}

}  // namespace kx::datasets
