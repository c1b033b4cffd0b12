// orvane.kestrix.trainer.detection: DetectionTrainer, the driver of a detection training run.
//
// The trainer ties a Keras model, an optimizer, a loss object, a TensorBoard logger and a
// validation evaluator together: it owns the run folder (setup JSON, labels.txt, last.h5,
// best.h5, summary.csv), the compiled gradient step and the epoch loop with its validation
// passes. Every collaborator is handed in by the caller; the trainer only builds the
// validation writer and the files of the run folder.
//
// Files that hold the state of a run (last.h5, best.h5, summary.csv) are written to a
// temporary file beside the target and renamed over it, so an interrupted or failed write
// leaves the previous complete file in place. The temporary files of a process that died
// while writing are removed by the next trainer that writes into the folder.
//
// A step whose "total-loss" is not finite stops the run before anything is saved from the
// weights it broke.
//
// Beyond one device and one process:
// - Distribution: the trainer learns the tf.distribute strategy from the model
//   (`model.distribute_strategy`, which both Kerases set to the strategy whose scope the model
//   was built under), so the strategy of the variables and the one the step runs under can never
//   disagree. With a strategy the epoch iterates `experimental_distribute_dataset(train_ds)` and
//   runs the step on every replica through `strategy.run`, each replica's loss divided by the
//   number of replicas so that the summed gradients are those of the global batch; the named
//   losses are reduced to their means. Only the chief (`extended.should_checkpoint`) writes the
//   run folder, the logger's events and the state, and validates.
// - Loss scaling: with a loss-scale optimizer the step scales the loss and hands unscaled
//   gradients to it (Keras 3: `scale_loss`, the optimizer unscales; tf-keras:
//   `get_scaled_loss`/`get_unscaled_gradients`); a step whose gradients are not finite is
//   skipped by the optimizer and lowers the scale. The named losses stay unscaled.
// - State: with `keep_state` the trainer writes, after every epoch, its whole training state
//   (model and optimizer variables, epoch, best value, summary rows, logger step) through a
//   tf.train.CheckpointManager into <run>/state, after last.h5, best.h5 and summary.csv. The
//   manager's index file is replaced atomically, so the state is the commit point of an epoch;
//   a trainer resumed from it rewrites last.h5 and summary.csv from the state, so a process
//   killed between the files and the state leaves nothing that disagrees with it.
//
// Thread-safety: none of its own. A trainer is driven from one thread, as everything here
// calls into Python and TensorFlow with the GIL held.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pyglue/glue.hpp"
#include "rate_reader.hpp"

namespace py = pybind11;

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
    AttributeError: ``logger`` is None (before any folder exists).
    TypeError: ``checkpoint`` is None, ``classes`` is None (after the run folder and the setup
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
constexpr const char* kSummaryWarning =
    "\t - [WARNING]: Error writing evaluation summary. Please close the file to allow Kestrix to write metrics";
constexpr const char* kPostfix = "loss: {:.3f}   lr: {:.6f} step-time: {:.6f}";
constexpr const char* kSummaryKeys[] = {"mAP@0.5",  "mAP@0.75",     "mAP@0.5:0.95", "mACC@0.5",
                                        "mACC@0.75", "mACC@0.5:0.95", "mAR@0.5",      "mAR@0.75",
                                        "mAR@0.5:0.95", "Overall-ACC", "Overall-AP",  "Overall-AR"};

// ------------------------------------------------------------------------- imports

// The module's imports, in the order a failing one must be reported.
kx::Lazy writer_type{"orvane.validator.writers", "TrainingTensorBoardWriter"};
kx::Lazy tf_module{"tensorflow"};
kx::Lazy tqdm_type{"tqdm", "tqdm"};
kx::Lazy np_module{"numpy"};
kx::Lazy datetime_module{"datetime"};
kx::Lazy json_module{"json"};
kx::Lazy os_module{"os"};
kx::Lazy time_module{"time"};
kx::Lazy csv_module{"csv"};

kx::Lazy builtins_module{"builtins"};
kx::Lazy tf_cast{"tensorflow", "cast"};
kx::Lazy tf_float32{"tensorflow", "float32"};
kx::Lazy tf_gradient_tape{"tensorflow", "GradientTape"};
kx::Lazy keras_model{"tensorflow", "keras.models.Model"};
kx::Lazy np_array{"numpy", "array"};
kx::Lazy default_strategy{"tensorflow.python.distribute.distribute_lib", "_get_default_strategy"};
kx::Lazy loss_scale_optimizer{"tensorflow", "keras.mixed_precision.LossScaleOptimizer"};
kx::Lazy reduce_mean{"tensorflow", "distribute.ReduceOp.MEAN"};
kx::Lazy tf_checkpoint{"tensorflow", "train.Checkpoint"};
kx::Lazy checkpoint_manager{"tensorflow", "train.CheckpointManager"};
kx::Lazy latest_checkpoint{"tensorflow", "train.latest_checkpoint"};
kx::Lazy tf_variable{"tensorflow", "Variable"};
kx::Lazy tempfile_mkdtemp{"tempfile", "mkdtemp"};
kx::Lazy shutil_rmtree{"shutil", "rmtree"};
kx::Lazy weakref_ref{"weakref", "ref"};

// ------------------------------------------------------------------------- helpers

py::object slice_from(Py_ssize_t start) {
    py::int_ first(start);
    PyObject* s = PySlice_New(first.ptr(), nullptr, nullptr);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

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

// Attributes of the os module and builtins are looked up on every use: file operations run
// a few times per epoch, and a lookup keeps them replaceable (e.g. for fault injection).
py::object os_attr(const char* name) { return os_module().attr(name); }
py::object os_path(const char* name) { return os_module().attr("path").attr(name); }

// Removes a temporary file if it exists, without disturbing the error being handled.
void discard_temp(const py::object& path) noexcept {
    try {
        if (py::bool_(os_path("exists")(path))) os_attr("remove")(path);
    } catch (py::error_already_set&) {
        // The original failure matters more than a leftover temporary file.
    }
}

// The temporary file beside `target`: "<dir>/.<stem>.<pid>.tmp<ext>". The extension is kept
// because Keras picks the file format from it (".h5" selects HDF5).
py::object temp_path_for(const py::object& target) {
    py::object folder = os_path("dirname")(target);
    py::tuple parts = os_path("splitext")(os_path("basename")(target));
    py::str name = py::str(".{}.{}.tmp{}").format(parts[0], os_attr("getpid")(), parts[1]);
    return os_path("join")(folder, name);
}

// The pid in the name of one of our temporary files ("." + stem + "." + pid + ".tmp" + ext),
// or -1 for any other name.
long long temp_file_pid(const std::string& name) {
    const std::size_t tmp = name.rfind(".tmp");
    if (name.size() < 2 || name[0] != '.' || tmp == std::string::npos || tmp == 0) return -1;
    const std::string ext = name.substr(tmp + 4);
    if (!ext.empty() && (ext[0] != '.' || ext.find('.', 1) != std::string::npos)) return -1;
    const std::size_t dot = name.rfind('.', tmp - 1);
    if (dot == std::string::npos || dot < 2 || dot + 1 == tmp || tmp - dot - 1 > 9) return -1;
    long long pid = 0;
    for (std::size_t i = dot + 1; i < tmp; ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        pid = pid * 10 + (name[i] - '0');
    }
    return pid;
}

// Whether process `pid` exists, as os.kill(pid, 0) tells: only "no such process" counts as
// gone; a process of another user (PermissionError) is alive.
bool process_exists(long long pid) {
    try {
        os_attr("kill")(pid, 0);
    } catch (py::error_already_set& err) {
        if (err.matches(PyExc_ProcessLookupError)) return false;
        if (err.matches(PyExc_OSError) || err.matches(PyExc_OverflowError)) return true;
        throw;
    }
    return true;
}

// Removes the temporary files that trainer processes which no longer exist left in `folder`
// (a process killed while saving leaves one as large as the model). Files of live processes,
// this one included, are never touched; a file already gone (another trainer cleaned up
// first) is no error.
void remove_stale_temps(const py::object& folder) {
    for (py::handle entry : os_attr("listdir")(folder)) {
        const long long pid = temp_file_pid(entry.cast<std::string>());
        if (pid <= 0 || process_exists(pid)) continue;
        try {
            os_attr("remove")(os_path("join")(folder, entry));
        } catch (py::error_already_set& err) {
            if (!err.matches(PyExc_FileNotFoundError)) throw;
        }
    }
}

// Flushes a finished file to the disk so the rename never exposes a file whose data is
// still only in the page cache.
void fsync_path(const py::object& path) {
    py::object fd = os_attr("open")(path, os_module().attr("O_RDONLY"));
    try {
        os_attr("fsync")(fd);
    } catch (py::error_already_set&) {
        os_attr("close")(fd);
        throw;
    }
    os_attr("close")(fd);
}

// model.save(target), through a temporary file renamed over the target.
void save_atomically(const py::object& model, const py::object& target) {
    py::object temp = temp_path_for(target);
    try {
        model.attr("save")(temp);
        fsync_path(temp);
        os_attr("replace")(temp, target);
    } catch (py::error_already_set&) {
        discard_temp(temp);
        throw;
    }
}

// The validation value that decides the best checkpoint: the chosen family at IoU 0.5.
py::object choose_value(const py::object& self, const py::object& metrics) {
    py::object metric = self.attr("metric");
    const char* family = metric.equal(py::str("acc")) ? "mACC" : metric.equal(py::str("map")) ? "mAP" : "mAR";
    return metrics.attr("get")(family).attr("get")("0.5");
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

// One validation pass: the first image of every element of `val_ds` goes through the
// evaluator; returns the evaluator's metrics dictionary.
py::object validation_pass(const py::object& self, const py::object& val_ds, const py::object& evaluator,
                           const py::object& epoch) {
    py::int_ counter(0);
    evaluator(self.attr("val_messenger"));
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
        std::vector<py::object> parts = unpack(element, 3);
        py::object image = parts[0].attr("numpy")()[zero];
        py::object boxes = parts[1].attr("numpy")()[zero];
        py::object image_name = parts[2].attr("numpy")()[zero].attr("decode")();
        py::object gt_boxes = boxes[coordinates];
        py::list names = class_names(self.attr("classes"), boxes[class_column], image_name);
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
        dt_instance["boxes"] = detected[0];
        dt_instance["labels"] = detected[1];
        dt_instance["scores"] = detected[2];
        instances["gt_instance"] = gt_instance;
        instances["dt_instance"] = dt_instance;

        py::object display = self.attr("display");
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

// The FloatingPointError for a step whose total loss is not finite, naming the epoch, the
// step and every named loss that is not finite either (read only now, on the way out).
[[noreturn]] void raise_non_finite(const py::object& losses, const py::object& epoch, long long step) {
    static kx::Lazy np_asarray{"numpy", "asarray"};
    static kx::Lazy np_isfinite{"numpy", "isfinite"};
    static kx::Lazy np_all{"numpy", "all"};
    py::list broken;
    for (auto item : py::dict(losses)) {
        py::object value = np_asarray()(item.second);
        if (!py::bool_(np_all()(np_isfinite()(value)))) broken.append(py::str("{}={}").format(item.first, value));
    }
    kx::raise(PyExc_FloatingPointError,
              py::str("total-loss is not finite at epoch {}, step {} ({}): training stopped before saving, so "
                      "last.h5, best.h5 and summary.csv keep their last good state")
                  .format(epoch, step, py::str(", ").attr("join")(broken))
                  .cast<std::string>());
}

// One epoch over `train_ds`; returns the loss record of the last step (null when the
// iterator yielded nothing).
// `batches` is train_ds, or its distributed form with `step` the distributed step; `bar_total` the
// bar's length (a distributed dataset has none of its own); `log_steps` false on the workers of
// a cluster that are not its chief.
py::object train_epoch(const py::object& self, const py::object& batches, const py::object& epoch,
                       const py::object& step, const py::object& bar_total, bool log_steps) {
    py::object loop = bar_total.is_none()
                          ? tqdm_type()(batches, py::arg("leave") = true)
                          : tqdm_type()(batches, py::arg("leave") = true, py::arg("total") = bar_total);
    loop.attr("set_description")(py::str("Epoch %d").attr("__mod__")(epoch));

    // Looked up once per epoch: these lookups would otherwise be a noticeable share of a
    // small model's step.
    py::object log = self.attr("logger").attr("update_metrics");
    py::object set_postfix = loop.attr("set_postfix");
    // A bar that is exactly tqdm's (not a subclass that may show the postfix otherwise) gets
    // its postfix text set directly.
    const bool plain_bar = Py_TYPE(loop.ptr()) == reinterpret_cast<PyTypeObject*>(tqdm_type().ptr());
    py::str postfix_prefix("values=");
    py::object format_postfix = py::str(kPostfix).attr("format");
    kx::trainer::RateReader read_rate(self.attr("optimizer"));
    py::str step_time_key("step-time (seconds)"), rate_key("learning-rate"), total_key("total-loss");

    py::object losses;
    long long step_number = 0;
    for (py::handle data : loop) {
        auto begin = std::chrono::steady_clock::now();
        losses = step(data);
        ++step_number;
        py::float_ step_time(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
        py::float_ rate = read_rate();
        // The one read of the loss on the host per step, shared by the bar and the check.
        py::float_ total(losses.attr("get")(total_key));
        if (!std::isfinite(total.cast<double>())) raise_non_finite(losses, epoch, step_number);
        // The bar shows the new postfix at its next redraw (tqdm redraws at most every
        // mininterval and when it closes); redrawing on every step would cost about as much
        // as the rest of the loop's own work together.
        py::str text = format_postfix(total, rate, step_time);
        if (plain_bar) {
            // What set_postfix(values=text, refresh=False) stores, without its dictionary.
            loop.attr("postfix") = postfix_prefix + text.attr("strip")();
        } else {
            set_postfix(py::arg("values") = text, py::arg("refresh") = false);
        }
        losses[step_time_key] = step_time;
        losses[rate_key] = rate;
        if (log_steps) log(py::dict(), losses);
    }
    return losses;
}

// ------------------------------------------------------------------------- distribution

// The strategy the model's variables were created under, or None for the default strategy.
py::object strategy_of(const py::object& model) {
    py::object strategy = py::getattr(model, "distribute_strategy", py::none());
    if (strategy.is_none() || strategy.is(default_strategy()())) return py::none();
    return strategy;
}

// Whether this process writes the run's files: the chief of a multi-worker cluster, or the only
// process. Every process of a cluster trains, only the chief writes and validates.
bool is_chief(const py::object& strategy) {
    if (strategy.is_none()) return true;
    return py::bool_(strategy.attr("extended").attr("should_checkpoint"));
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

// Rewrites summary.csv from summary_rows (through a temporary file renamed over it). A
// PermissionError prints the warning and returns; any other error propagates.
void write_summary(const py::object& self) {
    py::list columns;
    columns.append("epoch");
    for (const char* key : kSummaryKeys) columns.append(key);
    py::object rows = self.attr("summary_rows");
    py::object target = os_path("join")(self.attr("checkpoint"), "summary.csv");
    py::object temp = temp_path_for(target);
    try {
        py::object file = builtins_module().attr("open")(temp, "w", py::arg("encoding") = "UTF8",
                                                         py::arg("newline") = "");
        kx::with_context(file, [&] {
            py::object writer = csv_module().attr("DictWriter")(file, py::arg("fieldnames") = columns);
            writer.attr("writeheader")();
            writer.attr("writerows")(rows);
            file.attr("flush")();
            os_attr("fsync")(file.attr("fileno")());
        });
        os_attr("replace")(temp, target);
    } catch (py::error_already_set& err) {
        discard_temp(temp);
        if (!err.matches(PyExc_PermissionError)) throw;
        kx::print(kSummaryWarning);
    }
}

// ------------------------------------------------------------------------- training state

// Keras 3 optimizers say `built`, tf-keras ones `_built`.
bool optimizer_built(const py::object& optimizer) {
    py::object built = py::getattr(optimizer, "built", py::none());
    if (built.is_none()) built = py::getattr(optimizer, "_built", py::bool_(false));
    return py::bool_(built);
}

py::object state_folder(const py::object& run_folder) { return os_path("join")(run_folder, "state"); }

// The tf.train.Checkpoint of everything a resumed run needs (self._state) and, on the chief,
// the manager that writes it into <run>/state (self._state_manager).
void make_state(const py::object& self, bool chief) {
    py::object tf = tf_module();
    auto variable = [&](py::object value, const char* dtype) {
        return tf_variable()(value, py::arg("dtype") = tf.attr(dtype), py::arg("trainable") = false);
    };
    py::dict parts;
    parts["model"] = self.attr("model");
    parts["optimizer"] = self.attr("optimizer");
    parts["epoch"] = variable(py::int_(0), "int64");
    parts["best_value"] = variable(py::float_(0.0), "float64");
    parts["summary_rows"] = variable(py::str("[]"), "string");
    parts["global_step"] = variable(py::int_(0), "int64");
    py::object state = tf_checkpoint()(**parts);
    self.attr("_state") = state;
    self.attr("_state_manager") =
        chief ? checkpoint_manager()(state, state_folder(self.attr("checkpoint")), py::arg("max_to_keep") = 2)
              : py::none();
}

// Writes the training state after `epoch` (with keep_state; otherwise nothing). The chief saves
// through the manager, whose index file names the new state only once it is complete; the other
// workers of a cluster take part in the save, as collective variables may need them to, into a
// temporary folder that is removed at once.
void write_state(const py::object& self, const py::object& epoch) {
    py::object state = py::getattr(self, "_state", py::none());
    if (state.is_none()) return;
    state.attr("epoch").attr("assign")(epoch);
    state.attr("best_value").attr("assign")(self.attr("best_value"));
    state.attr("summary_rows").attr("assign")(json_module().attr("dumps")(self.attr("summary_rows")));
    state.attr("global_step").attr("assign")(self.attr("logger").attr("global_step"));
    py::object manager = self.attr("_state_manager");
    if (!manager.is_none()) {
        manager.attr("save")(py::arg("checkpoint_number") = epoch);
    } else {
        py::object scratch = tempfile_mkdtemp()(py::arg("prefix") = "kestrix-worker-state-");
        try {
            state.attr("write")(os_path("join")(scratch, "state"));
        } catch (py::error_already_set&) {
            shutil_rmtree()(scratch, py::arg("ignore_errors") = true);
            throw;
        }
        shutil_rmtree()(scratch, py::arg("ignore_errors") = true);
    }
    self.attr("last_epoch") = epoch;
}

// The newest complete state of `folder`, or a FileNotFoundError naming the folder.
py::object complete_state(const py::object& folder) {
    py::object states = state_folder(folder);
    py::object latest = py::bool_(os_path("isdir")(states)) ? latest_checkpoint()(states) : py::none();
    if (latest.is_none() || !py::bool_(os_path("exists")(latest + py::str(".index")))) {
        kx::raise(PyExc_FileNotFoundError,
                  py::str("cannot resume {}: it holds no complete training state ({} has no state written after "
                          "an epoch; only runs trained with keep_state=True, as kestrix train does, can be resumed)")
                      .format(folder, states)
                      .cast<std::string>());
    }
    return latest;
}

// Restores the state `latest` into the trainer: the model's and optimizer's variables (the
// optimizer is built first, so its slots and step counter exist to receive their values),
// best_value, summary_rows, last_epoch and the logger's step.
void restore_state(const py::object& self, const py::object& latest) {
    py::object optimizer = self.attr("optimizer");
    if (!optimizer_built(optimizer)) {
        py::object strategy = strategy_of(self.attr("model"));
        py::object variables = self.attr("model").attr("trainable_variables");
        if (strategy.is_none()) {
            optimizer.attr("build")(variables);
        } else {
            kx::with_context(strategy.attr("scope")(), [&] { optimizer.attr("build")(variables); });
        }
    }
    py::object state = self.attr("_state");
    // Partial: a state written before the first step holds no optimizer slots yet.
    state.attr("restore")(latest).attr("expect_partial")();
    self.attr("best_value") = py::float_(state.attr("best_value").attr("numpy")());
    py::object text = state.attr("summary_rows").attr("numpy")().attr("decode")("utf-8");
    self.attr("summary_rows") = json_module().attr("loads")(text);
    self.attr("last_epoch") = py::int_(state.attr("epoch").attr("numpy")());
    self.attr("logger").attr("global_step") = py::int_(state.attr("global_step").attr("numpy")());
}

// ------------------------------------------------------------------------- methods

// The constructor's attributes and run-folder files.
py::object init_run(py::object self, py::object model, py::object dataset, py::object optimizer, py::object loss,
                    py::object logger, py::object checkpoint, py::object H, py::object W, py::object info,
                    py::object metric, py::object iou, py::object classes, py::object display,
                    py::object resume) {
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
        remove_stale_temps(run_folder);
    }
    self.attr("best") = os_path("join")(run_folder, "best.h5");
    self.attr("last") = os_path("join")(run_folder, "last.h5");
    self.attr("summary_rows") = py::list();
    if (!chief) return py::none();  // the chief writes the run folder's files

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

    kx::print(py::str("\n \t - Saving best iteration checkpoint at : {} \n").format(self.attr("best")));
    kx::print(py::str("\n \t - Saving last iteration checkpoint at : {} \n").format(self.attr("last")));
    return py::none();
}

// The part of the constructor that keeps and restores the training state; it runs on every
// worker of a cluster (the workers take part in each save), after the chief's files exist.
void init_state(const py::object& self, const py::object& keep_state, const py::object& resume) {
    if (resume.is_none() && !py::bool_(keep_state)) return;
    const bool chief = is_chief(strategy_of(self.attr("model")));
    make_state(self, chief);
    self.attr("last_epoch") = py::int_(0);
    if (resume.is_none()) return;
    self.attr("resumed") = py::bool_(true);
    restore_state(self, complete_state(resume));
    if (!chief) return;
    // A process killed after writing an epoch's files but before its state leaves last.h5 and
    // summary.csv one epoch ahead of the state: make them the state's again.
    save_atomically(export_model(self), self.attr("last"));
    if (py::len(self.attr("summary_rows")) > 0) write_summary(self);
    kx::print(py::str("\n \t - Resuming {} after epoch {} \n").format(resume, self.attr("last_epoch")));
}

py::object init(py::object self, py::object model, py::object dataset, py::object optimizer, py::object loss,
                py::object logger, py::object checkpoint, py::object H, py::object W, py::object info,
                py::object metric, py::object iou, py::object classes, py::object display, py::object /*parameters*/,
                py::object keep_state, py::object resume) {
    init_run(self, model, dataset, optimizer, loss, logger, checkpoint, H, W, info, metric, iou, classes, display,
             resume);
    init_state(self, keep_state, resume);
    return py::none();
}

py::object preprocess_input(const py::tuple& args) {
    return tf_cast()(args[1], tf_float32()) / py::float_(255.0);
}

// How the optimizer wants the loss scaled: not at all, the Keras 3 way (`scale_loss`, and
// `apply_gradients` unscales and skips non-finite steps itself) or the tf-keras way
// (`get_scaled_loss`, then `get_unscaled_gradients` before `apply_gradients`).
enum class Scaling { kNone, kKeras, kLegacy };

Scaling loss_scaling(const py::object& optimizer) {
    if (!py::isinstance(optimizer, loss_scale_optimizer())) return Scaling::kNone;
    return py::hasattr(optimizer, "get_scaled_loss") ? Scaling::kLegacy : Scaling::kKeras;
}

// One optimisation step on the batch of this replica (or of the only device). `replicas` is the
// number of replicas in sync: each one's loss is divided by it, so that the gradients the
// strategy sums are those of the mean loss over the global batch. Returns the named losses as
// the loss object made them (unscaled, per replica).
py::object apply_step(const py::object& self, const py::object& data, long long replicas) {
    py::object images = self.attr("preprocess_input")(data[py::int_(0)]);
    py::object targets = data[slice_from(1)];

    py::object model = self.attr("model");
    py::object loss = self.attr("loss");
    py::object optimizer = self.attr("optimizer");
    const Scaling scaling = loss_scaling(optimizer);
    py::object tape = tf_gradient_tape()();
    py::object full_loss;
    py::object losses = kx::with_context(tape, [&]() -> py::object {
        py::object outputs = model(images, py::arg("training") = true);
        py::object named = loss.attr("compute_loss")(targets, py::tuple(outputs));
        full_loss = named.attr("get")("total-loss");
        // The scaling belongs on the tape; without it the step differentiates the loss object's
        // own tensor, exactly as it always did.
        if (replicas > 1 || scaling != Scaling::kNone) {
            full_loss = tf_cast()(full_loss, tf_float32());
            if (replicas > 1) full_loss = full_loss / py::float_(static_cast<double>(replicas));
            if (scaling == Scaling::kKeras) full_loss = optimizer.attr("scale_loss")(full_loss);
            if (scaling == Scaling::kLegacy) full_loss = optimizer.attr("get_scaled_loss")(full_loss);
        }
        return named;
    });

    py::object variables = model.attr("trainable_variables");
    py::object grads = tape.attr("gradient")(full_loss, variables);
    if (scaling == Scaling::kLegacy) grads = optimizer.attr("get_unscaled_gradients")(grads);
    optimizer.attr("apply_gradients")(builtins_module().attr("zip")(grads, variables));
    return losses;
}

py::object train_step(const py::tuple& args) { return apply_step(args[0], args[1], 1); }

// ------------------------------------------------------------------------- distributed step

// The compiled step under a strategy: `strategy.run` of apply_step on every replica, then the
// mean of every named loss over the replicas. Its input signature is the distributed dataset's
// `element_spec` with every dimension left open, so one graph serves every batch shape, as the
// single-device step's signature does. The trainer is held weakly: the function is kept on it.
py::object make_distributed_step(const py::object& self, const py::object& strategy,
                                 const py::object& element_spec) {
    static kx::Lazy inspect_parameter{"inspect", "Parameter"};
    static kx::Lazy inspect_signature{"inspect", "Signature"};
    static kx::Lazy tf_function{"tensorflow", "function"};
    static kx::Lazy map_structure{"tensorflow", "nest.map_structure"};

    py::object owner = weakref_ref()(self);
    const long long replicas = strategy.attr("num_replicas_in_sync").cast<long long>();
    py::object replica_step = py::cpp_function(
        [owner, replicas](py::object data) { return apply_step(owner(), data, replicas); }, py::name("replica_step"));

    kx::detail::CompiledBody body;
    body.qualname = "DetectionTrainer.distributed_step";
    body.signature = inspect_signature()(py::make_tuple(
        inspect_parameter()("data", inspect_parameter().attr("POSITIONAL_OR_KEYWORD"))));
    body.body = [strategy, replica_step](const py::tuple& args) -> py::object {
        py::object per_replica = strategy.attr("run")(replica_step, py::arg("args") = py::make_tuple(args[0]));
        py::dict reduced;
        for (auto item : py::dict(per_replica))
            reduced[item.first] = strategy.attr("reduce")(reduce_mean(), item.second, py::arg("axis") = py::none());
        return reduced;
    };
    py::object wrapper = py::cast(std::move(body));
    wrapper.attr("__name__") = py::str("distributed_step");
    wrapper.attr("__qualname__") = py::str("DetectionTrainer.distributed_step");
    py::cpp_function relax([](py::object type) { return type.attr("_with_tensor_ranks_only")(); });
    py::object signature = py::make_tuple(map_structure()(relax, element_spec));
    return tf_function()(wrapper, py::arg("input_signature") = signature, py::arg("autograph") = false);
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
    kx::check_dict(metrics, "metrics");
    kx::check_dict(losses, "losses");

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

    self.attr("logger").attr("update_metrics")(summary, losses);
    summary["epoch"] = epoch;
    self.attr("summary_rows").attr("append")(summary);
    write_summary(self);
    return py::none();
}

py::object train(py::object self, py::object epochs, py::object train_ds, py::object val_ds, py::object evaluator,
                 py::object start, py::object initial_validation) {
    const bool validate = !evaluator.is_none();
    py::object strategy = strategy_of(self.attr("model"));
    const bool chief = is_chief(strategy);
    const bool validate_first = initial_validation.is_none() ? !py::bool_(py::getattr(self, "resumed", py::bool_(false)))
                                                             : bool(py::bool_(initial_validation));
    if (validate && validate_first) {
        if (chief) {
            py::object metrics = validation_pass(self, val_ds, evaluator, start);
            py::object val = choose_value(self, metrics);
            self.attr("save_model")(py::float_(val));
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

    py::object losses;
    py::object epoch_range = builtins_module().attr("range")(start, epochs + py::int_(1), 1);
    for (py::handle epoch_handle : epoch_range) {
        py::object epoch = py::reinterpret_borrow<py::object>(epoch_handle);
        py::object last_losses = train_epoch(self, batches, epoch, step, total, chief);
        if (last_losses) losses = last_losses;
        if (validate) {
            if (!last_losses) {
                kx::raise(PyExc_ValueError, py::str("train_ds yielded no batch in epoch {}: with an evaluator every "
                                                    "epoch needs at least one training step")
                                                .format(epoch)
                                                .cast<std::string>());
            }
            if (chief) {
                py::object metrics = validation_pass(self, val_ds, evaluator, epoch);
                py::object val = choose_value(self, metrics);
                self.attr("save_model")(py::float_(val));
                self.attr("update_metrics")(metrics, losses, py::arg("epoch") = epoch);
            }
        } else if (chief) {
            self.attr("save_model")(0.0);
        }
        write_state(self, epoch);
    }
    return py::none();
}

}  // namespace

PYBIND11_MODULE(detection, m) {
    kx::register_native_errors(m);
    m.doc() = kModuleDoc;

    // Imports, in order; a failing one fails the import of this module.
    m.attr("TrainingTensorBoardWriter") = writer_type();
    m.attr("tf") = tf_module();
    m.attr("tqdm") = tqdm_type();
    m.attr("np") = np_module();
    m.attr("datetime") = datetime_module();
    m.attr("json") = json_module();
    m.attr("os") = os_module();
    m.attr("time") = time_module();
    m.attr("csv") = csv_module();
    for (const char* name : {"t0", "t1", "t2", "t3", "t4"}) m.attr(name) = 0;

    py::object cls = kx::make_class(m, "DetectionTrainer", py::tuple(), kClassDoc);

    kx::def_init(cls, &init, kInitDoc, py::arg("model"), py::arg("dataset"), py::arg("optimizer"), py::arg("loss"),
                 py::arg("logger") = py::none(), py::arg("checkpoint") = py::none(), py::arg("H") = 320,
                 py::arg("W") = 320, py::arg("info") = py::none(), py::arg("metric") = "acc", py::arg("iou") = 0.5,
                 py::arg("classes") = py::none(), py::arg("display") = py::none(),
                 py::arg("parameters") = py::none(), py::arg("keep_state") = false, py::arg("resume") = py::none());

    kx::compile_method(m, cls, "preprocess_input", {{"self"}, {"x"}}, kPreprocessDoc, &preprocess_input);

    py::object tensor_spec = tf_module().attr("TensorSpec");
    py::list image_shape, box_shape;
    for (int i = 0; i < 3; ++i) image_shape.append(py::none());
    image_shape.append(3);
    box_shape.append(py::none());
    box_shape.append(py::none());
    box_shape.append(5);
    py::list batch_spec;
    batch_spec.append(tensor_spec(py::arg("shape") = image_shape, py::arg("dtype") = tf_module().attr("uint8")));
    batch_spec.append(tensor_spec(py::arg("shape") = box_shape, py::arg("dtype") = tf_module().attr("float32")));
    py::dict step_kwargs;
    step_kwargs["input_signature"] = py::make_tuple(batch_spec);
    kx::compile_method(m, cls, "train_step", {{"self"}, {"data"}}, kTrainStepDoc, &train_step, step_kwargs);

    kx::def_method(cls, "save_model", &save_model, kSaveModelDoc, py::arg("val"));

    // Created once with the class and shared by every call; the method never changes them.
    py::dict default_metrics, default_losses;
    kx::def_method(cls, "update_metrics", &update_metrics, kUpdateMetricsDoc, py::arg("metrics") = default_metrics,
                   py::arg("losses") = default_losses, py::arg("epoch") = 0);

    kx::def_method(cls, "train", &train, kTrainDoc, py::arg("epochs"), py::arg("train_ds") = py::none(),
                   py::arg("val_ds") = py::none(), py::arg("evaluator") = py::none(), py::arg("start") = 1,
                   py::arg("initial_validation") = py::none());
}
