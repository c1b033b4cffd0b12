// orvane.kestrix.trainer.detection: DetectionTrainer, the driver of a detection training run.
//
// The trainer ties a Keras model, an optimizer, a loss object, a TensorBoard logger and a
// validation evaluator together: it owns the run folder (setup JSON, labels.txt, last.h5,
// best.h5, summary.csv), the compiled gradient step and the epoch loop with its validation
// passes. Every collaborator is handed in by the caller; the trainer only builds the
// validation writer and the files of the run folder.
//
// This file holds the class: its docstrings, constructor, train, save_model, update_metrics
// and the module definition. The other jobs live beside it, built into the same extension
// (see detection_internal.hpp): the run folder's files (run_folder.cpp; the files that hold
// the state of a run are replaced atomically, and the temporary files of a process that died
// while writing are removed by the next trainer that writes into the folder), the resumable
// state (state.cpp), the compiled step with distribution and loss scaling (step.cpp), the
// epoch loop, which stops a run whose "total-loss" is not finite before anything is saved
// from the weights it broke (epoch.cpp), and the validation pass, also exposed as the
// module-level `validation_pass` for `kestrix val` (validation.cpp).
//
// Beyond one device and one process: a model built under a tf.distribute strategy trains
// under it, and only the chief writes the run folder, the logger's events and the state, and
// validates (step.cpp); with `keep_state` the whole training state is written after every
// epoch and a run can be resumed from it (state.cpp).
//
// Thread-safety: none of its own. A trainer is driven from one thread, as everything here
// calls into Python and TensorFlow with the GIL held.
#include <pybind11/pybind11.h>

#include "detection_internal.hpp"
#include "pyglue/atomic_file.hpp"

namespace py = pybind11;

namespace kx::trainer {
namespace {

// ------------------------------------------------------------------------- docstrings

constexpr const char* kModuleDoc = R"doc(The detection training driver: ``DetectionTrainer``.)doc";

constexpr const char* kClassDoc = R"doc(Trains a Keras detection model and keeps the files of its run.

Args:
    model: the Keras model being trained. Its outputs form a sequence; the first two serve
        training only and are left out of the saved model files.
    dataset: the training dataset object (kept for the caller).
    optimizer: a Keras optimizer; its learning rate may be a number or a Keras
        learning-rate schedule.
    loss: an object whose ``compute_loss(targets, outputs)`` returns a dictionary of named
        scalar losses holding "total-loss".
    logger: the TensorBoard metrics logger; its ``writer`` feeds the validation writer and its
        ``time_stamp`` names the run folder.
    checkpoint: root folder of the runs; the run folder ``<checkpoint>/<time stamp>`` is
        created inside it.
    H: input height (kept for the caller).
    W: input width (kept for the caller).
    info: the run configuration, any JSON-serialisable value, written to
        ``setup-by-<date>.json`` in the run folder.
    metric: validation family that selects the best checkpoint: "acc", "map", or anything
        else for recall.
    iou: IoU threshold for non-maximum suppression (kept for the caller).
    classes: list of class names indexed by class number; written to ``labels.txt``.
    display: number of validation images per pass marked for upload; 0 marks none, a
        negative value marks all.
    parameters: validation parameters (accepted and ignored).
    keep_state: when true, the whole training state (model and optimizer variables, epoch,
        ``best_value``, ``summary_rows``, the logger's step) is written into ``<run>/state``
        after every epoch, so that the run can be resumed.
    resume: a run folder written with ``keep_state``: the trainer continues in that folder
        (``checkpoint`` is then unused) from its newest complete state, and keeps the state.
    ema: None, or the decay (0..1) of a moving average of the model's weights, updated after
        every step: validation passes, ``last.h5`` and ``best.h5`` then use the averaged
        weights while training continues on the raw ones (``train`` swaps them in around each
        pass and back); the averages are part of the resumable state. Update n decays by
        ``ema * (1 - exp(-n / ema_tau))``. Not available under a ``tf.distribute`` strategy.
    ema_tau: updates over which the averaging reaches its full decay (see ``ema``).

Distribution: a model (and optimizer) created under a ``tf.distribute`` strategy's scope
trains under that strategy (``model.distribute_strategy``). Only the chief of a cluster
writes the run folder, the logger's events and the state, and validates.
)doc";

constexpr const char* kInitDoc = R"doc(Builds the trainer, creates the run folder and writes the setup JSON and labels.txt.

Temporary files left in the run folder by a trainer process that no longer exists (hidden
``.<name>.<pid>.tmp<ext>`` files of an interrupted save) are removed first.

With ``resume``, the model's and optimizer's variables (the optimizer is built first),
``best_value``, ``summary_rows``, ``last_epoch`` and the logger's ``global_step`` are restored,
and last.h5 and summary.csv are rewritten from the state.

Raises:
    FileNotFoundError: ``resume`` holds no complete training state (nothing is written).
    ValueError: no complete state of ``resume`` restores (a newest one that does not restore
        gives way to the older one the run keeps, with a notice).
    TypeError: ``model`` or ``logger`` is None (the message names it; before any folder
        exists), ``checkpoint`` is None, ``classes`` is None (after the run folder and the setup
        file exist), or ``info`` is not JSON-serialisable (the setup file is then empty).
)doc";

constexpr const char* kPreprocessDoc = R"doc(Turns a raw image batch into the model input (compiled with tf.function).

Args:
    x: image tensor with values 0 to 255, any dtype that casts to float32.

Returns:
    ``tf.cast(x, tf.float32) / 255.0``.
)doc";

constexpr const char* kTrainStepDoc = R"doc(Runs one optimisation step on a batch (compiled once for every batch shape).

Args:
    data: ``[images, boxes]`` (a tuple works as well): uint8 images [batch, H, W, 3] with raw
        0-255 values and float32 boxes [batch, N, 5]. ``data[1:]`` goes to the loss as targets.

With a loss-scale optimizer the loss is scaled and the optimizer gets unscaled gradients; it
skips a step whose gradients are not finite and lowers its scale.

Returns:
    The loss object's dictionary of named scalar tensors, unchanged (so unscaled).
)doc";

constexpr const char* kSaveModelDoc = R"doc(Saves the export model to last.h5 and, on improvement, to best.h5.

The export model is the training model's input with its outputs from the third one on,
sharing the training model's layers; it is built at the first save and kept for later ones
while ``model`` stays the same object (a new ``model`` gets a new export model). Each file
is written to a temporary file in the run folder and renamed over the target, so a failed
write keeps the previous file.

Args:
    val: the validation value (a fraction); best.h5 is written when it is strictly greater
        than ``best_value``, which then takes it.

Raises:
    TypeError: ``val`` is not a real number (nothing is saved).
)doc";

constexpr const char* kUpdateMetricsDoc = R"doc(Publishes a validation summary and rewrites summary.csv.

The twelve percentages of ``metrics`` go to the logger with ``losses``; the summary, with
``epoch``, is appended to ``summary_rows`` and the whole table is written to summary.csv
(replaced atomically). A PermissionError on the file prints a warning and keeps the rows,
so the next call makes the file whole again.

Args:
    metrics: the evaluator's metrics dictionary (fractions), exactly a dict.
    losses: loss dictionary passed to the logger unchanged, exactly a dict or None.
    epoch: value of the "epoch" column.

Returns:
    None.

Raises:
    TypeError: ``metrics`` or ``losses`` is not exactly a dict (or None), or a value is
        missing or not a number.
    AttributeError: ``metrics`` (or one of its families) is missing or None.
)doc";

constexpr const char* kTrainDoc = R"doc(Runs the training from epoch ``start`` to ``epochs`` inclusive.

With an evaluator, a validation pass runs before the first epoch (its summary row has epoch
0) and after every epoch; the best checkpoint follows the chosen metric family at IoU 0.5.
Without one, every epoch ends with ``save_model(0.0)`` (last.h5 only).

Args:
    epochs: number of the last epoch.
    train_ds: re-iterable training batches ``(images, boxes)``.
    val_ds: re-iterable validation batches ``(images, boxes, names)``; the first image of
        each batch is evaluated.
    evaluator: the validation evaluator, or None to turn validation off.
    start: number of the first epoch.
    initial_validation: whether the validation pass before the first epoch runs (with an
        evaluator); None: unless the trainer was resumed, whose rows hold that pass already.

Under a strategy the batches are distributed (``experimental_distribute_dataset``) and the
step runs on every replica; the bar and the logger show the means over the replicas. With
``keep_state`` the state is written after the initial pass (as epoch ``start - 1``) and after
every epoch, once last.h5, best.h5 and summary.csv are written.

Returns:
    None.

Raises:
    ValueError: a validation pass saw no element of ``val_ds``, or, with an evaluator, an
        epoch saw no batch of ``train_ds``.
    IndexError: a validation box has a class number that is negative, not a whole number or
        not below ``len(classes)`` (the message names the image and the number).
    FloatingPointError: a step's "total-loss" is NaN or infinite (the message names the
        epoch and the step, counted from 1 in the epoch). Training stops at once: last.h5,
        best.h5 and summary.csv keep what the last good epoch wrote.
)doc";

constexpr const char* kImprovementLine = "\t - [INFO] Saving model with improvement in {} from {} to {}";

// ------------------------------------------------------------------------- imports

// The module's imports that only this file uses (the shared ones are in detection_internal.hpp
// and atomic_file.hpp); PYBIND11_MODULE binds them all in the order a failing one must be
// reported.
kx::Lazy writer_type{"orvane.validator.writers", "TrainingTensorBoardWriter"};
kx::Lazy np_module{"numpy"};
kx::Lazy time_module{"time"};

using files::os_attr;
using files::os_path;

// ------------------------------------------------------------------------- methods

// The constructor's attributes and run-folder files.
py::object init_run(py::object self, py::object model, py::object dataset, py::object optimizer, py::object loss,
                    py::object logger, py::object checkpoint, py::object H, py::object W, py::object info,
                    py::object metric, py::object iou, py::object classes, py::object display,
                    py::object resume) {
    // What the constructor itself uses, named at once rather than at its first use (the
    // dataset and loss may come later: train() and a caller's own step take theirs).
    kx::require(model, "model");
    kx::require(logger, "logger");
    self.attr("model") = model;
    self.attr("metric") = metric;
    self.attr("dataset") = dataset;
    self.attr("optimizer") = optimizer;
    self.attr("loss") = loss;
    self.attr("logger") = logger;
    self.attr("evaluator") = py::none();
    self.attr("H") = H;
    self.attr("W") = W;
    self.attr("val_messenger") = writer_type()(logger.attr("writer"));
    self.attr("best_value") = py::float_(0.0);
    self.attr("iou") = iou;
    self.attr("classes") = classes;
    self.attr("display") = display;

    // The strategy, the chief's role and the state add attributes only where they are in use,
    // so a trainer on one device without state is exactly what it always was.
    const bool chief = is_chief(strategy_of(model));
    const bool resuming = !resume.is_none();

    // A resumed run continues in its own folder; nothing is written before its state is known
    // to be complete.
    py::object run_folder;
    if (resuming) {
        complete_state(resume);
        run_folder = resume;
    } else {
        run_folder = os_path("join")(checkpoint, logger.attr("time_stamp"));
    }
    self.attr("checkpoint") = run_folder;
    if (chief) {
        if (!py::bool_(os_path("exists")(run_folder))) os_attr("makedirs")(run_folder, py::arg("exist_ok") = true);
        files::remove_stale_temps(run_folder);
    }
    self.attr("best") = os_path("join")(run_folder, "best.h5");
    self.attr("last") = os_path("join")(run_folder, "last.h5");
    self.attr("summary_rows") = py::list();
    if (!chief) return py::none();  // the chief writes the run folder's files

    write_setup_files(self, run_folder, info);
    kx::print(py::str("\n \t - Saving best iteration checkpoint at : {} \n").format(self.attr("best")));
    kx::print(py::str("\n \t - Saving last iteration checkpoint at : {} \n").format(self.attr("last")));
    return py::none();
}

py::object init(py::object self, py::object model, py::object dataset, py::object optimizer, py::object loss,
                py::object logger, py::object checkpoint, py::object H, py::object W, py::object info,
                py::object metric, py::object iou, py::object classes, py::object display, py::object /*parameters*/,
                py::object keep_state, py::object resume, py::object ema, py::object ema_tau) {
    init_run(self, model, dataset, optimizer, loss, logger, checkpoint, H, W, info, metric, iou, classes, display,
             resume);
    init_average(self, ema, ema_tau);
    init_state(self, keep_state, resume);
    return py::none();
}

py::object save_model(py::object self, py::object val) {
    const double value = kx::to_double(val, "val");
    py::object exported = export_model(self);

    save_atomically(exported, self.attr("last"));
    py::float_ candidate(value);
    py::object best_value = self.attr("best_value");
    if (candidate > best_value) {
        kx::print(py::str(kImprovementLine)
                      .format(self.attr("metric"), best_value * py::int_(100), py::float_(value * 100)));
        save_atomically(exported, self.attr("best"));
        self.attr("best_value") = candidate;
    }
    return py::none();
}

py::object update_metrics(py::object self, py::object metrics, py::object losses, py::object epoch) {
    static kx::Lazy summary_percentages{"orvane.validator.evaluators", "summary_percentages"};
    kx::check_dict(metrics, "metrics");
    kx::check_dict(losses, "losses");
    py::object summary = summary_percentages()(metrics);
    self.attr("logger").attr("update_metrics")(summary, losses);
    summary["epoch"] = epoch;
    self.attr("summary_rows").attr("append")(summary);
    write_summary(self);
    return py::none();
}

// The trainer's validation pass of `epoch`: validation_pass with the trainer's classes, writer
// and number of images to upload.
py::object validate(const py::object& self, const py::object& val_ds, const py::object& evaluator,
                    const py::object& epoch) {
    return validation_pass(val_ds, evaluator, self.attr("classes"), epoch, self.attr("val_messenger"),
                           self.attr("display"));
}

py::object train(py::object self, py::object epochs, py::object train_ds, py::object val_ds, py::object evaluator,
                 py::object start, py::object initial_validation) {
    const bool validate_passes = !evaluator.is_none();
    py::object strategy = strategy_of(self.attr("model"));
    const bool chief = is_chief(strategy);
    const bool validate_first = initial_validation.is_none() ? !py::bool_(py::getattr(self, "resumed", py::bool_(false)))
                                                             : bool(py::bool_(initial_validation));
    if (validate_passes && validate_first) {
        if (chief) {
            AveragedWeights averaged(self);
            py::object metrics = validate(self, val_ds, evaluator, start);
            py::object val = choose_value(self, metrics);
            self.attr("save_model")(py::float_(val));
            averaged.restore();
            self.attr("update_metrics")(metrics, py::arg("epoch") = 0);
        }
        write_state(self, start - py::int_(1));
    }

    // Without a strategy the batches go to train_step as they come; with one, the distributed
    // dataset's per-replica batches go to the distributed step (built once per trainer).
    py::object batches = train_ds;
    py::object step = self.attr("train_step");
    py::object total = py::none();
    if (!strategy.is_none()) {
        batches = strategy.attr("experimental_distribute_dataset")(train_ds);
        if (py::getattr(self, "distributed_step", py::none()).is_none())
            self.attr("distributed_step") = make_distributed_step(self, strategy, batches.attr("element_spec"));
        step = self.attr("distributed_step");
        if (py::hasattr(train_ds, "__len__")) {
            try {
                total = py::int_(py::len(train_ds));
            } catch (py::error_already_set&) {
                total = py::none();  // a dataset of unknown length
            }
        }
    }

    build_optimizer(self);
    py::object losses;
    py::object epoch_range = builtins_module().attr("range")(start, epochs + py::int_(1), 1);
    for (py::handle epoch_handle : epoch_range) {
        py::object epoch = py::reinterpret_borrow<py::object>(epoch_handle);
        py::object last_losses = train_epoch(self, batches, epoch, step, total, chief);
        if (last_losses) losses = last_losses;
        if (validate_passes) {
            if (!last_losses) {
                kx::raise(PyExc_ValueError, py::str("train_ds yielded no batch in epoch {}: with an evaluator every "
                                                    "epoch needs at least one training step")
                                                .format(epoch)
                                                .cast<std::string>());
            }
            if (chief) {
                AveragedWeights averaged(self);
                py::object metrics = validate(self, val_ds, evaluator, epoch);
                py::object val = choose_value(self, metrics);
                self.attr("save_model")(py::float_(val));
                averaged.restore();
                self.attr("update_metrics")(metrics, losses, py::arg("epoch") = epoch);
            }
        } else if (chief) {
            AveragedWeights averaged(self);
            self.attr("save_model")(0.0);
            averaged.restore();
        }
        write_state(self, epoch);
    }
    return py::none();
}

}  // namespace
}  // namespace kx::trainer

PYBIND11_MODULE(detection, m) {
    using namespace kx::trainer;
    kx::register_native_errors(m);
    m.doc() = kModuleDoc;

    // The module's imports, in the order a failing one must be reported; a failing one fails
    // the import of this module.
    m.attr("TrainingTensorBoardWriter") = writer_type();
    m.attr("tf") = tf_module();
    m.attr("tqdm") = tqdm_type();
    m.attr("np") = np_module();
    m.attr("datetime") = datetime_module();
    m.attr("json") = json_module();
    m.attr("os") = kx::files::os_module();
    m.attr("time") = time_module();
    m.attr("csv") = csv_module();
    for (const char* name : {"t0", "t1", "t2", "t3", "t4"}) m.attr(name) = 0;

    py::object cls = kx::make_class(m, "DetectionTrainer", py::tuple(), kClassDoc);

    kx::def_init(cls, &init, kInitDoc, py::arg("model"), py::arg("dataset"), py::arg("optimizer"), py::arg("loss"),
                 py::arg("logger") = py::none(), py::arg("checkpoint") = py::none(), py::arg("H") = 320,
                 py::arg("W") = 320, py::arg("info") = py::none(), py::arg("metric") = "acc", py::arg("iou") = 0.5,
                 py::arg("classes") = py::none(), py::arg("display") = py::none(),
                 py::arg("parameters") = py::none(), py::arg("keep_state") = false, py::arg("resume") = py::none(),
                 py::arg("ema") = py::none(), py::arg("ema_tau") = 2000.0);

    kx::compile_method(m, cls, "preprocess_input", {{"self"}, {"x"}}, kPreprocessDoc, &preprocess_input);

    py::dict step_kwargs;
    step_kwargs["input_signature"] = train_step_signature();
    kx::compile_method(m, cls, "train_step", {{"self"}, {"data"}}, kTrainStepDoc, &train_step, step_kwargs);

    kx::def_method(cls, "save_model", &save_model, kSaveModelDoc, py::arg("val"));

    // Created once with the class and shared by every call; the method never changes them.
    py::dict default_metrics, default_losses;
    kx::def_method(cls, "update_metrics", &update_metrics, kUpdateMetricsDoc, py::arg("metrics") = default_metrics,
                   py::arg("losses") = default_losses, py::arg("epoch") = 0);

    kx::def_method(cls, "train", &train, kTrainDoc, py::arg("epochs"), py::arg("train_ds") = py::none(),
                   py::arg("val_ds") = py::none(), py::arg("evaluator") = py::none(), py::arg("start") = 1,
                   py::arg("initial_validation") = py::none());

    m.def(
        "validation_pass",
        [](py::object val_ds, py::object evaluator, py::object classes, py::object epoch, py::object writer,
           py::object display) { return validation_pass(val_ds, evaluator, classes, epoch, writer, display); },
        kValidationPassDoc, py::arg("val_ds"), py::arg("evaluator"), py::arg("classes"), py::arg("epoch") = 0,
        py::arg("writer") = py::none(), py::arg("display") = 0);
}
