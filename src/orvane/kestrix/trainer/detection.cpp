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
)doc";

constexpr const char* kInitDoc = R"doc(Builds the trainer, creates the run folder and writes the setup JSON and labels.txt.

Temporary files left in the run folder by a trainer process that no longer exists (hidden
``.<name>.<pid>.tmp<ext>`` files of an interrupted save) are removed first.

Raises:
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

Returns:
    The loss object's dictionary of named scalar tensors, unchanged.
)doc";

constexpr const char* kSaveModelDoc = R"doc(Saves the export model to last.h5 and, on improvement, to best.h5.

The export model is the training model's input with its outputs from the third one on.
Each file is written to a temporary file in the run folder and renamed over the target, so a
failed write keeps the previous file.

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
py::object train_epoch(const py::object& self, const py::object& train_ds, const py::object& epoch) {
    py::object loop = tqdm_type()(train_ds, py::arg("leave") = true);
    loop.attr("set_description")(py::str("Epoch %d").attr("__mod__")(epoch));

    // Looked up once per epoch: these lookups would otherwise be a noticeable share of a
    // small model's step.
    py::object step = self.attr("train_step");
    py::object log = self.attr("logger").attr("update_metrics");
    py::object set_postfix = loop.attr("set_postfix");
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
        set_postfix(py::arg("values") = format_postfix(total, rate, step_time), py::arg("refresh") = false);
        losses[step_time_key] = step_time;
        losses[rate_key] = rate;
        log(py::dict(), losses);
    }
    return losses;
}

// ------------------------------------------------------------------------- methods

py::object init(py::object self, py::object model, py::object dataset, py::object optimizer, py::object loss,
                py::object logger, py::object checkpoint, py::object H, py::object W, py::object info,
                py::object metric, py::object iou, py::object classes, py::object display, py::object /*parameters*/) {
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

    py::object run_folder = os_path("join")(checkpoint, logger.attr("time_stamp"));
    self.attr("checkpoint") = run_folder;
    if (!py::bool_(os_path("exists")(run_folder))) os_attr("makedirs")(run_folder, py::arg("exist_ok") = true);
    remove_stale_temps(run_folder);
    self.attr("best") = os_path("join")(run_folder, "best.h5");
    self.attr("last") = os_path("join")(run_folder, "last.h5");
    self.attr("summary_rows") = py::list();

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

py::object preprocess_input(const py::tuple& args) {
    return tf_cast()(args[1], tf_float32()) / py::float_(255.0);
}

py::object train_step(const py::tuple& args) {
    py::object self = args[0];
    py::object data = args[1];
    py::object images = self.attr("preprocess_input")(data[py::int_(0)]);
    py::object targets = data[slice_from(1)];

    py::object model = self.attr("model");
    py::object loss = self.attr("loss");
    py::object tape = tf_gradient_tape()();
    py::object losses = kx::with_context(tape, [&]() -> py::object {
        py::object outputs = model(images, py::arg("training") = true);
        return loss.attr("compute_loss")(targets, py::tuple(outputs));
    });

    py::object full_loss = losses.attr("get")("total-loss");
    py::object variables = model.attr("trainable_variables");
    py::object grads = tape.attr("gradient")(full_loss, variables);
    self.attr("optimizer").attr("apply_gradients")(builtins_module().attr("zip")(grads, variables));
    return losses;
}

py::object save_model(py::object self, py::object val) {
    const double value = kx::to_double(val, "val");
    py::object model = self.attr("model");
    py::object outputs = model.attr("outputs");
    py::object exported = keras_model()(model.attr("input"), outputs[slice_from(2)]);

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
    py::list columns;
    columns.append("epoch");
    for (std::size_t i = 0; i < values.size(); ++i) {
        summary[kSummaryKeys[i]] = py::float_(py::float_(values[i]).cast<double>() * 100);
        columns.append(kSummaryKeys[i]);
    }

    self.attr("logger").attr("update_metrics")(summary, losses);
    summary["epoch"] = epoch;
    py::object rows = self.attr("summary_rows");
    rows.attr("append")(summary);

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
    return py::none();
}

py::object train(py::object self, py::object epochs, py::object train_ds, py::object val_ds, py::object evaluator,
                 py::object start) {
    const bool validate = !evaluator.is_none();
    if (validate) {
        py::object metrics = validation_pass(self, val_ds, evaluator, start);
        py::object val = choose_value(self, metrics);
        self.attr("save_model")(py::float_(val));
        self.attr("update_metrics")(metrics, py::arg("epoch") = 0);
    }

    py::object losses;
    py::object epoch_range = builtins_module().attr("range")(start, epochs + py::int_(1), 1);
    for (py::handle epoch_handle : epoch_range) {
        py::object epoch = py::reinterpret_borrow<py::object>(epoch_handle);
        py::object last_losses = train_epoch(self, train_ds, epoch);
        if (last_losses) losses = last_losses;
        if (validate) {
            if (!last_losses) {
                kx::raise(PyExc_ValueError, py::str("train_ds yielded no batch in epoch {}: with an evaluator every "
                                                    "epoch needs at least one training step")
                                                .format(epoch)
                                                .cast<std::string>());
            }
            py::object metrics = validation_pass(self, val_ds, evaluator, epoch);
            py::object val = choose_value(self, metrics);
            self.attr("save_model")(py::float_(val));
            self.attr("update_metrics")(metrics, losses, py::arg("epoch") = epoch);
        } else {
            self.attr("save_model")(0.0);
        }
    }
    return py::none();
}

}  // namespace

PYBIND11_MODULE(detection, m) {
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
                 py::arg("parameters") = py::none());

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
                   py::arg("val_ds") = py::none(), py::arg("evaluator") = py::none(), py::arg("start") = 1);
}
