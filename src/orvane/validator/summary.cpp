// The validation summary, part of orvane.validator.evaluators: the twelve percentages a run
// keeps per validation pass (the columns of summary.csv after "epoch", the values the logger
// publishes and the command line prints), made from the evaluator's metrics dictionary, and
// the column that picks the best checkpoint. The one definition of these names and their
// order: the trainer, the command line and the plot all read them from here.
#include <pybind11/pybind11.h>

#include <iterator>
#include <vector>

#include "pyglue/glue.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kSummaryKeys[] = {"mAP@0.5",  "mAP@0.75",     "mAP@0.5:0.95", "mACC@0.5",
                                        "mACC@0.75", "mACC@0.5:0.95", "mAR@0.5",      "mAR@0.75",
                                        "mAR@0.5:0.95", "Overall-ACC", "Overall-AP",  "Overall-AR"};

constexpr const char* kPercentagesDoc = R"doc(The twelve percentages of a validation pass, named and ordered as ``SUMMARY_KEYS``.

Args:
    metrics: the evaluator's metrics dictionary (fractions): {"mAP": {"0.5", "0.75",
        "0.5:0.95"}, "mAR": {...}, "mACC": {...}, "OP": v, "OR": v, "OA": v}; any object
        whose ``get`` works as a dict's.

Returns:
    A new dict {name: value * 100} in the order of ``SUMMARY_KEYS`` (floats).

Raises:
    AttributeError: a family (or ``metrics`` itself) is missing or None; the values are read
        (OP, mAP, OR, mAR, OA, mACC) before any is converted.
    TypeError: a value is missing or not a number.
)doc";

constexpr const char* kSummaryKeyDoc = R"doc(The summary column whose value picks the best checkpoint for a trainer's ``metric``.

Args:
    metric: "map" for ``"mAP@0.5"``, "acc" for ``"mACC@0.5"``; anything else is recall,
        ``"mAR@0.5"``.

Returns:
    The column name; its value is ``metrics[family]["0.5"]`` of the metrics dictionary.
)doc";

py::dict summary_percentages(py::object metrics) {
    // Read in this order so that a missing family fails before any conversion.
    py::object get = metrics.attr("get");
    auto family = [&](const char* name) {
        py::object values = get(name);
        py::object family_get = values.attr("get");
        return std::vector<py::object>{family_get("0.5"), family_get("0.75"), family_get("0.5:0.95")};
    };
    py::object overall_ap = get("OP");
    std::vector<py::object> ap = family("mAP");
    py::object overall_ar = get("OR");
    std::vector<py::object> ar = family("mAR");
    py::object overall_acc = get("OA");
    std::vector<py::object> acc = family("mACC");

    const std::vector<py::object> values = {ap[0],  ap[1],  ap[2],  acc[0],      acc[1],     acc[2],
                                            ar[0],  ar[1],  ar[2],  overall_acc, overall_ap, overall_ar};
    py::dict summary;
    for (std::size_t i = 0; i < values.size(); ++i)
        summary[kSummaryKeys[i]] = py::float_(py::float_(values[i]).cast<double>() * 100);
    return summary;
}

py::str summary_key(py::object metric) {
    if (metric.equal(py::str("acc"))) return py::str("mACC@0.5");
    if (metric.equal(py::str("map"))) return py::str("mAP@0.5");
    return py::str("mAR@0.5");
}

}  // namespace

namespace kx::validator {

// Adds SUMMARY_KEYS, summary_percentages and summary_key to the evaluators module.
void add_summary(py::module_& m) {
    py::tuple keys(std::size(kSummaryKeys));
    for (std::size_t i = 0; i < std::size(kSummaryKeys); ++i) keys[i] = py::str(kSummaryKeys[i]);
    m.attr("SUMMARY_KEYS") = keys;
    m.def("summary_percentages", &summary_percentages, kPercentagesDoc, py::arg("metrics"));
    m.def("summary_key", &summary_key, kSummaryKeyDoc, py::arg("metric"));
}

}  // namespace kx::validator
