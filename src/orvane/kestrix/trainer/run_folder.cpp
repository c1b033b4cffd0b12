// The files of a training run's folder: setup-by-<date>.json and labels.txt, written once by
// the constructor, and last.h5, best.h5 and summary.csv, which hold the state of the run and
// are therefore each replaced atomically (kx::files::replace_atomically), so an interrupted
// or failed write leaves the previous complete file in place.
#include <pybind11/pybind11.h>

#include "detection_internal.hpp"
#include "pyglue/atomic_file.hpp"

namespace kx::trainer {

using files::os_path;

namespace {

kx::Lazy keras_model{"tensorflow", "keras.models.Model"};

constexpr const char* kSummaryWarning =
    "\t - [WARNING]: Error writing evaluation summary. Please close the file to allow Kestrix to write metrics";

}  // namespace

void write_setup_files(const py::object& self, const py::object& run_folder, const py::object& info) {
    py::object open = builtins_module().attr("open");
    py::object stamp = datetime_module().attr("datetime").attr("now")().attr("strftime")("%d-%m-%Y--%Hh%Mm%Ss");
    py::object setup_path = os_path("join")(run_folder, py::str("setup-by-{}.json").format(stamp));
    // Serialised inside the open file: an unserialisable `info` leaves the setup file empty,
    // which shows where construction stopped.
    py::object setup_file = open(setup_path, "w");
    kx::with_context(setup_file,
                     [&] { setup_file.attr("write")(json_module().attr("dumps")(info, py::arg("indent") = 4)); });

    py::object class_list = self.attr("classes");
    if (py::len(class_list) > 0) {
        py::object labels_file = open(os_path("join")(run_folder, "labels.txt"), "w");
        kx::with_context(labels_file, [&] {
            py::str line("{}\n");
            for (py::handle entry : class_list) labels_file.attr("write")(line.format(entry));
        });
    }
}

// The model that is saved: the training model's input and its outputs from the third one on.
// It shares the training model's layers, so it always holds the current weights; it is built
// once and kept with the model it was built around (self._export, as (model, export model)),
// and built again when `model` is replaced. Building it costs about a millisecond per save.
py::object export_model(const py::object& self) {
    py::object model = self.attr("model");
    py::object cached = py::getattr(self, "_export", py::none());
    if (PyTuple_CheckExact(cached.ptr()) && PyTuple_GET_SIZE(cached.ptr()) == 2 &&
        PyTuple_GET_ITEM(cached.ptr(), 0) == model.ptr())
        return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(cached.ptr(), 1));
    py::object outputs = model.attr("outputs");
    py::object exported = keras_model()(model.attr("input"), outputs[slice_from(2)]);
    self.attr("_export") = py::make_tuple(model, exported);
    return exported;
}

void save_atomically(const py::object& model, const py::object& target) {
    files::replace_atomically(target, [&](const py::object& temp) { model.attr("save")(temp); });
}

// Rewrites summary.csv from summary_rows. A PermissionError prints the warning and returns;
// any other error propagates.
void write_summary(const py::object& self) {
    static kx::Lazy summary_keys{"orvane.validator.evaluators", "SUMMARY_KEYS"};
    py::list columns;
    columns.append("epoch");
    for (py::handle key : summary_keys()) columns.append(key);
    py::object rows = self.attr("summary_rows");
    py::object target = os_path("join")(self.attr("checkpoint"), "summary.csv");
    try {
        files::replace_atomically(target, [&](const py::object& temp) {
            py::object file = builtins_module().attr("open")(temp, "w", py::arg("encoding") = "UTF8",
                                                             py::arg("newline") = "");
            kx::with_context(file, [&] {
                py::object writer = csv_module().attr("DictWriter")(file, py::arg("fieldnames") = columns);
                writer.attr("writeheader")();
                writer.attr("writerows")(rows);
                file.attr("flush")();
            });
        });
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_PermissionError)) throw;
        kx::print(kSummaryWarning);
    }
}

}  // namespace kx::trainer
