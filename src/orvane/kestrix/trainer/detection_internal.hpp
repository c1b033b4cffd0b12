// What the source files of orvane.kestrix.trainer.detection share: the imports more than one
// of them uses and the functions one file defines for the others. Internal to the module.
//
// detection.cpp   the DetectionTrainer class: docstrings, constructor, train, save_model,
//                 update_metrics and the module definition
// run_folder.cpp  the run folder's files: setup JSON, labels.txt, the saved models, summary.csv
// state.cpp       the resumable training state under <run>/state
// step.cpp        the compiled step, with distribution and loss scaling
// epoch.cpp       the epoch loop over the training batches and its bar
// validation.cpp  the validation pass, shared with `kestrix val`
// averaging.cpp   the moving average of the weights (`ema`)
//
// Everything here must be called with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include "pyglue/glue.hpp"

namespace kx::trainer {
namespace py = pybind11;

// Imports used by several files (one cache each for the whole module). The module's own
// import-time bindings, in the order a failing one must be reported, are in detection.cpp.
inline Lazy tf_module{"tensorflow"};
inline Lazy tqdm_type{"tqdm", "tqdm"};
inline Lazy json_module{"json"};
inline Lazy datetime_module{"datetime"};
inline Lazy csv_module{"csv"};
inline Lazy builtins_module{"builtins"};

// `value[start:]` as a slice object.
inline py::object slice_from(Py_ssize_t start) {
    py::int_ first(start);
    PyObject* s = PySlice_New(first.ptr(), nullptr, nullptr);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

// ------------------------------------------------------------------ run_folder.cpp

// Writes setup-by-<date>.json and, with classes, labels.txt into the run folder.
void write_setup_files(const py::object& self, const py::object& run_folder, const py::object& info);
// The model that is saved (see the definition).
py::object export_model(const py::object& self);
// model.save(target), replacing target atomically.
void save_atomically(const py::object& model, const py::object& target);
// Rewrites summary.csv from summary_rows; a PermissionError prints a warning instead.
void write_summary(const py::object& self);

// ------------------------------------------------------------------ state.cpp

// The part of the constructor that keeps and restores the training state.
void init_state(const py::object& self, const py::object& keep_state, const py::object& resume);
// The newest complete state of `folder`, or a FileNotFoundError naming the folder.
py::object complete_state(const py::object& folder);
// Builds the optimizer's variables (slots, step counter) for the model's trainable variables
// unless they exist: before a restore, which needs them to receive their values, and before the
// first step, whose graph would otherwise be traced twice (once to create them, once to run).
// Optimizers without `build` (the legacy ones) are left to make them at their first update.
void build_optimizer(const py::object& self);
// Writes the training state after `epoch` (with keep_state; otherwise nothing).
void write_state(const py::object& self, const py::object& epoch);

// ------------------------------------------------------------------ step.cpp

// The strategy the model's variables were created under, or None for the default strategy.
py::object strategy_of(const py::object& model);
// Whether this process writes the run's files and validates.
bool is_chief(const py::object& strategy);
// The bodies of the compiled methods preprocess_input and train_step.
py::object preprocess_input(const py::tuple& args);
py::object train_step(const py::tuple& args);
// train_step's input signature: [uint8 images [B, H, W, 3], float32 boxes [B, N, 5]].
py::tuple train_step_signature();
// The compiled step that runs train_step's work on every replica of `strategy`.
py::object make_distributed_step(const py::object& self, const py::object& strategy,
                                 const py::object& element_spec);

// ------------------------------------------------------------------ epoch.cpp

// One epoch over `batches`; returns the loss record of the last step (null when there was none).
py::object train_epoch(const py::object& self, const py::object& batches, const py::object& epoch,
                       const py::object& step, const py::object& bar_total, bool log_steps);

// ------------------------------------------------------------------ validation.cpp

extern const char* const kValidationPassDoc;
// One validation pass; returns the evaluator's metrics dictionary.
py::object validation_pass(const py::object& val_ds, const py::object& evaluator, const py::object& classes,
                           const py::object& epoch, const py::object& writer, const py::object& display);
// The validation value that decides the best checkpoint.
py::object choose_value(const py::object& self, const py::object& metrics);

// ------------------------------------------------------------------ averaging.cpp

// The constructor's part: the averages of the model's weights when `ema` is not None.
void init_average(const py::object& self, const py::object& ema, const py::object& ema_tau);
// Graph code of the step: one update of the averages (nothing without `ema`).
void update_average(const py::object& self);
// Adds the averages and their update count to the parts of the resumable state.
void add_average_to_state(const py::object& self, py::dict& parts);
// While alive, the model holds the averaged weights (without `ema`: nothing changes). restore()
// puts the trained ones back and raises a Ctrl-C that arrived meanwhile; without it (an error on
// its way out), the destructor puts them back.
class AveragedWeights {
public:
    explicit AveragedWeights(const py::object& self);
    ~AveragedWeights();
    void restore();
    AveragedWeights(const AveragedWeights&) = delete;
    AveragedWeights& operator=(const AveragedWeights&) = delete;

private:
    py::object self_;
    bool active_;
};

}  // namespace kx::trainer
