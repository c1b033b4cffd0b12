// orvane.kestrix.callbacks.tensorboard: the training metrics logger.
//
// TensorBoard owns one time-stamped log folder and one tf.summary event-file
// writer in it. update_metrics publishes one scalar point per configured name
// (taken from the metrics, else from the losses, whichever holds a truthy
// value), all at one step that advances per call; upload_image writes an image
// summary. The trainer reads `time_stamp` (it names the run folder too) and
// `writer` (the validation writer publishes through it).
//
// Scalars are written per training step, so their path is kept short: the
// points go straight from the argument dictionaries into an event file of
// the logger's own beside the writer's (native/records/event_file.hpp),
// created at the first point; TensorBoard reads every event file of a folder.
// Images stay with the tf.summary writer. When the caller has replaced
// `writer` by one the logger did not create, the points follow that writer,
// written by tf.summary through a compiled function.
//
// Not thread-safe: a logger is driven from the training thread only.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <pyglue/glue.hpp>
#include <records/event_file.hpp>
#include <records/record_file.hpp>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

constexpr const char* kNoNamesMessage =
    "Invalid value for ``metric_names`` parameter was provided. List can't be empty nor None:";
constexpr const char* kNothingToRegister =
    "There is not metrics to register. \nPlease define the metric names in the class constructor";

constexpr const char* kClassDoc = R"doc(Training metrics logger writing TensorBoard event files.

Each logger creates the folder ``<storage>/<time_stamp>`` and one event-file
writer in it. ``update_metrics`` writes one scalar point for every name of
``metric_names`` that holds a truthy value in the metrics (else in the losses)
it is given, all at ``global_step``, which then advances by one.

Attributes:
    time_stamp: construction time, the text form of datetime.now() with
        spaces replaced by "_" and colons by "-" (2024-03-05_14-07-09.123456).
    storage: the log folder, os.path.join(<storage argument>, time_stamp).
    metric_names: the caller's list of names to publish (the list itself,
        not a copy), in publishing order.
    global_step: step of the next update_metrics call; 0 at first.
    writer: the tf.summary file writer of the log folder (images).

Scalar points go to an event file of their own in the same folder
("events.out.tfevents.<seconds>.<host>.<pid>.<n>.scalars"), created at the
first point; TensorBoard reads both files as one run.
)doc";

constexpr const char* kInitDoc = R"doc(Creates the time-stamped log folder and its event-file writer.

Args:
    storage (str): root folder for logs; created with missing parents.
    metric_names (list): metric and loss names to publish. Must be given
        and not empty.

Raises:
    ValueError: metric_names is None or empty (before anything is created).
    TypeError: storage is not exactly a str or metric_names not exactly a
        list.
)doc";

constexpr const char* kUpdateDoc = R"doc(Publishes one scalar point per configured name and flushes.

For each name of metric_names, in order: the value under that name in
``metrics`` is written if it is truthy; otherwise the value under the same
name in ``losses`` is written if that is truthy; otherwise nothing. A value
of exactly zero counts as absent. All points share the step global_step,
which then advances by one. When metric_names has been emptied, a warning is
issued and nothing is written, flushed or counted.

Args:
    metrics (dict): metric values by name.
    losses (dict): loss values by name, the fall-back for falsy metrics.

A NaN or infinite value is written as it is (TensorBoard shows it), with a
RuntimeWarning through ``warnings`` the first time a name has one.

Returns:
    None.

Raises:
    TypeError: metrics or losses is not exactly a dict.
    AttributeError: metrics (or losses, when consulted) is None.
    OSError: the event file cannot be created or written (a full disk, a
        removed folder); the step does not advance and the file keeps only
        whole records.
)doc";

constexpr const char* kUploadDoc = R"doc(Writes one image summary (buffered; flushed by a later flush).

Args:
    caption (str): summary name shown in TensorBoard.
    image (np.ndarray): one image, height x width x channels (1 to 4), of
        integers or floats (floats are taken as 0..1).
    epoch (int): the step of the image.

Returns:
    None.

Raises:
    ValueError: image is not numeric, not of rank 3 with 1 to 4 channels,
        or empty; epoch is an integer outside the int64 range. Nothing is
        written then.
)doc";

constexpr const char* kNonFiniteWarning =
    "the value of '{}' is {} at step {}; it is written as it is (later non-finite values of '{}' are "
    "not reported)";

constexpr const char* kRefreshDoc = R"doc(Flushes the event-file writer.

Returns:
    None.
)doc";

// ------------------------------------------------------------ TensorBoard

namespace rec = kx::records;

// The writers made by loggers, each mapped to its log folder: scalars for one
// of these go to the logger's own event file in that folder.
py::object own_writers() {
    static kx::Lazy folders{"orvane.kestrix.callbacks.tensorboard", "_writer_folders"};
    return folders();
}

// A writer that cannot be weakly referenced or hashed (a TypeError) is simply
// not a logger's own: its points then go through tf.summary.
void register_own_writer(const py::object& writer, const py::object& folder) {
    try {
        own_writers()[writer] = folder;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
    }
}

// The log folder of `writer` if a logger made it, else None.
py::object folder_of(const py::object& writer) {
    try {
        return own_writers().attr("get")(writer);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        return py::none();
    }
}

// str(datetime.now()) with every `from` replaced by `to`.
py::str now_text(const char* from, const char* to) {
    static kx::Lazy datetime_type{"datetime", "datetime"};
    return py::str(datetime_type().attr("now")()).attr("replace")(from, to);
}

py::object init(py::object self, py::object storage, py::object metric_names) {
    static kx::Lazy path_join{"os.path", "join"};
    static kx::Lazy path_exists{"os.path", "exists"};
    static kx::Lazy makedirs{"os", "makedirs"};
    static kx::Lazy create_file_writer{"tensorflow", "summary.create_file_writer"};
    kx::check_str(storage, "storage");
    kx::check_list(metric_names, "metric_names");
    if (metric_names.is_none() || py::len(metric_names) == 0) kx::raise(PyExc_ValueError, kNoNamesMessage);

    self.attr("time_stamp") = now_text(" ", "_").attr("replace")(":", "-");
    self.attr("storage") = path_join()(storage, self.attr("time_stamp"));
    if (!PyObject_IsTrue(path_exists()(self.attr("storage")).ptr()))
        makedirs()(self.attr("storage"), py::arg("exist_ok") = true);
    self.attr("metric_names") = metric_names;
    self.attr("global_step") = py::int_(0);
    self.attr("writer") = create_file_writer()(self.attr("storage"), py::arg("name") = now_text(" ", "-"));
    register_own_writer(self.attr("writer"), self.attr("storage"));
    kx::print(py::str("\n \t - Logging progress at: {} \n").format(self.attr("storage")).cast<std::string>());
    return py::none();
}

bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// The body of the compiled method _write_scalars(self, writer, names, values,
// step): every point of one update_metrics call for a writer the logger did
// not create, written under `writer` in one graph call (written eagerly,
// tf.summary.scalar costs about half a millisecond a point). A trace serves
// every call with the same writer and names (the values and the step arrive
// as tensors).
//
// Points are written with tf.summary.write and the scalar plugin's metadata,
// which is what tf.summary.scalar writes; unlike tf.summary.scalar it does
// not turn the tag into a graph name scope, so any name a caller may list
// ("_aux", "-x", non-ASCII) stays a valid tag. Whether to record at all is
// decided eagerly by update_metrics, so the trace records unconditionally.
py::object write_scalars(const py::tuple& args) {
    static kx::Lazy tf_write{"tensorflow", "summary.write"};
    static kx::Lazy record_if{"tensorflow", "summary.record_if"};
    static kx::Lazy scalar_metadata{"tensorboard.plugins.scalar.metadata", "create_summary_metadata"};
    py::object writer = args[1];
    py::tuple names = args[2];
    py::object values = args[3];
    py::object step = args[4];
    py::object metadata = scalar_metadata()(py::arg("display_name") = py::none(), py::arg("description") = py::none());
    kx::with_context(writer.attr("as_default")(), [&] {
        kx::with_context(record_if()(true), [&] {
            for (std::size_t i = 0; i < names.size(); ++i)
                tf_write()(py::arg("tag") = names[i], py::arg("tensor") = values[py::int_(i)], py::arg("step") = step,
                           py::arg("metadata") = metadata);
        });
    });
    return py::none();
}

// The concrete function of _write_scalars for the logger's current writer and
// one tuple of names. Calling it directly skips tf.function's per-call
// dispatch, which costs as much again as the writes themselves. The cache
// starts afresh when the caller replaces `writer`.
py::object scalar_writer(py::object self, const py::object& writer, const py::tuple& names) {
    static kx::Lazy tensor_spec{"tensorflow", "TensorSpec"};
    static kx::Lazy tf_float32{"tensorflow", "float32"};
    static kx::Lazy tf_int64{"tensorflow", "int64"};
    py::dict instance_dict = self.attr("__dict__");
    py::object cache = instance_dict.contains("_scalar_writers") ? py::object(instance_dict["_scalar_writers"])
                                                                 : py::object(py::none());
    if (cache.is_none() || !py::object(cache[py::int_(0)]).is(writer)) {
        cache = py::make_tuple(writer, py::dict());
        instance_dict["_scalar_writers"] = cache;
    }
    py::dict functions = cache[py::int_(1)];
    if (!functions.contains(names)) {
        py::object values_spec = tensor_spec()(py::make_tuple(names.size()), tf_float32());
        py::object step_spec = tensor_spec()(py::make_tuple(), tf_int64());
        functions[names] =
            self.attr("_write_scalars").attr("get_concrete_function")(writer, names, values_spec, step_spec);
    }
    return functions[names];
}

// A RuntimeWarning for a NaN or infinite value, the first time `key` has one on this logger.
void warn_non_finite(const py::object& self, py::handle key, float value) {
    py::dict instance_dict = self.attr("__dict__");
    if (!instance_dict.contains("_non_finite_names")) instance_dict["_non_finite_names"] = py::set();
    py::set warned = instance_dict["_non_finite_names"];
    if (warned.contains(key)) return;
    const char* text = std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
    kx::warn(py::str(kNonFiniteWarning).format(key, text, self.attr("global_step"), key).cast<std::string>(),
             PyExc_RuntimeWarning);
    warned.add(key);
}

// dict.get(key) of an argument that is exactly a dict or None (for which the
// lookup fails with the AttributeError of a missing `get`, as it should).
py::object dict_get(const py::object& dict, py::handle key) {
    if (dict.is_none()) return dict.attr("get")(key);
    PyObject* found = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return found ? py::reinterpret_borrow<py::object>(found) : py::object(py::none());
}

// The value as a float32 scalar, as np.asarray(value, np.float32) gives it. A
// Python float in float32's range (or not finite) converts directly; anything
// else (tensors, NumPy numbers, ints, floats that overflow with NumPy's
// warning) goes through NumPy.
float scalar_value(py::handle key, py::handle value) {
    static kx::Lazy np_asarray{"numpy", "asarray"};
    static kx::Lazy np_float32{"numpy", "float32"};
    if (PyFloat_CheckExact(value.ptr())) {
        const double number = PyFloat_AS_DOUBLE(value.ptr());
        if (!std::isfinite(number) || std::fabs(number) <= FLT_MAX) return static_cast<float>(number);
    }
    py::array_t<float> number = np_asarray()(value, np_float32());
    if (number.ndim() != 0)
        kx::raise(PyExc_ValueError, "the value of '" + py::str(key).cast<std::string>() +
                                        "' must be a scalar, got shape " +
                                        py::str(py::tuple(number.attr("shape"))).cast<std::string>());
    return *number.data();
}

// An eager tensor as its NumPy value, read once (its truth value and its number would
// each read it again); anything else as it is. The truth value and the float32 number
// of the two are the same, errors for non-scalar values included.
py::object host_value(py::object value) {
    static kx::Lazy eager_tensor{"tensorflow.python.framework.ops", "EagerTensor"};
    if (Py_TYPE(value.ptr()) != reinterpret_cast<PyTypeObject*>(eager_tensor().ptr())) return value;
    return value.attr("_numpy")();  // not copied: only read here
}

// Whether summaries are recorded now under `writer`, as tf.summary decides.
bool recording(const py::object& writer) {
    static kx::Lazy should_record{"tensorflow", "summary.should_record_summaries"};
    return kx::with_context(writer.attr("as_default")(), [] { return truthy(should_record()()); });
}

// The same for a writer that is a logger's own (a real file writer): the
// usual case, an open writer, no tf.summary.record_if in force and no
// distribution strategy's condition, is read from tf.summary's recording
// state without building a tensor; any other case asks tf.summary (which
// also reports a closed writer).
bool recording_own(const py::object& writer) {
    static py::gil_safe_call_once_and_store<py::object> state_store;
    const py::object& state = state_store
                                  .call_once_and_store_result([]() -> py::object {
                                      try {
                                          return py::module_::import("tensorflow.python.ops.summary_ops_v2")
                                              .attr("_summary_state");
                                      } catch (py::error_already_set&) {
                                          return py::none();  // not there in this version: always ask
                                      }
                                  })
                                  .get_stored();
    if (!state.is_none() && !truthy(py::getattr(writer, "_closed", py::bool_(true))) &&
        py::getattr(state, "is_recording", py::int_(0)).is_none() &&
        py::getattr(state, "is_recording_distribution_strategy", py::none()).ptr() == Py_True)
        return true;
    return recording(writer);
}

// The logger's own event file for scalars in `folder`, made at the first use
// (kept in the instance as (folder, capsule)); a new one when the writer's
// folder changes. The capsule returned keeps the file alive while it is
// written without the GIL.
py::capsule scalar_file(const py::object& self, const py::object& folder) {
    static kx::Lazy fsencode{"os", "fsencode"};
    py::dict instance_dict = self.attr("__dict__");
    if (instance_dict.contains("_scalar_file")) {
        py::tuple entry = instance_dict["_scalar_file"];
        py::object current = entry[0];
        if (current.is(folder) || current.equal(folder)) return entry[1];
    }
    auto file = std::make_unique<rec::EventFileWriter>(fsencode()(folder).cast<std::string>(), ".scalars");
    py::capsule holder(file.release(), [](void* p) { delete static_cast<rec::EventFileWriter*>(p); });
    instance_dict["_scalar_file"] = py::make_tuple(folder, holder);
    return holder;
}

py::object update_metrics(py::object self, py::object metrics, py::object losses) {
    static kx::Lazy tf_constant{"tensorflow", "constant"};
    static kx::Lazy tf_int64{"tensorflow", "int64"};
    kx::check_dict(metrics, "metrics");
    kx::check_dict(losses, "losses");
    py::object metric_names = self.attr("metric_names");
    if (py::len(metric_names) == 0) {
        kx::warn(kNothingToRegister);
        return py::none();
    }
    // Choose every point first: a failure (a missing dictionary, a value that
    // is not a scalar number) then leaves nothing half-written at this step.
    std::vector<py::object> names;
    std::vector<float> values;
    auto choose = [&](py::handle key) {
        py::object value = host_value(dict_get(metrics, key));
        if (!truthy(value)) value = host_value(dict_get(losses, key));
        if (!truthy(value)) return;
        const float number = scalar_value(key, value);
        if (!std::isfinite(number)) warn_non_finite(self, key, number);
        names.push_back(py::reinterpret_borrow<py::object>(key));
        values.push_back(number);
    };
    if (PyList_CheckExact(metric_names.ptr())) {
        // By index with the size read afresh, as list iteration does.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(metric_names.ptr()); ++i)
            choose(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(metric_names.ptr(), i)));
    } else {
        for (py::handle key : metric_names) choose(key);
    }

    py::object writer = self.attr("writer");
    py::object step = self.attr("global_step");
    // The native path takes the usual case: the logger's own writer, str
    // names, an int step. Anything else goes through tf.summary, which then
    // reports what it cannot write as it always did.
    py::object folder = folder_of(writer);
    std::vector<rec::ScalarPoint> points;
    bool native = !folder.is_none() && PyLong_CheckExact(step.ptr());
    std::int64_t native_step = 0;
    if (native) {
        int overflow = 0;
        native_step = PyLong_AsLongLongAndOverflow(step.ptr(), &overflow);
        native = overflow == 0;
    }
    for (std::size_t i = 0; native && i < names.size(); ++i) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(names[i].ptr()) ? PyUnicode_AsUTF8AndSize(names[i].ptr(), &size) : nullptr;
        if (text == nullptr) {
            PyErr_Clear();
            native = false;
            break;
        }
        points.push_back({std::string_view(text, static_cast<std::size_t>(size)), values[i]});
    }

    if (native) {
        if (recording_own(writer) && !points.empty()) {
            py::capsule holder = scalar_file(self, folder);
            auto* file = static_cast<rec::EventFileWriter*>(holder.get_pointer());
            const double wall_time = rec::event_wall_time();
            try {
                py::gil_scoped_release release;
                file->append_scalars(wall_time, native_step, points.data(), points.size());
            } catch (const rec::FileError& e) {
                kx::raise_file_error(e);
            }
        }
    } else {
        // tf.summary.record_if holds for this call as it would for an eager write.
        if (recording(writer) && !values.empty()) {
            py::array_t<float> packed(static_cast<py::ssize_t>(values.size()), values.data());
            py::tuple chosen(names.size());
            for (std::size_t i = 0; i < names.size(); ++i) chosen[i] = names[i];
            scalar_writer(self, writer, chosen)(writer, chosen, tf_constant()(packed),
                                                tf_constant()(step, tf_int64()));
        }
    }
    // The writer's flush also brings images buffered since the last call to disk.
    writer.attr("flush")();
    py::object next = py::reinterpret_steal<py::object>(PyNumber_Add(step.ptr(), py::int_(1).ptr()));
    if (!next) throw py::error_already_set();
    self.attr("global_step") = next;
    return py::none();
}

py::object upload_image(py::object self, py::object caption, py::object image, py::object epoch) {
    static kx::Lazy tf_image{"tensorflow", "summary.image"};
    static kx::Lazy expand_dims{"tensorflow", "expand_dims"};
    kx::check_str(caption, "caption");
    // TensorFlow's PNG encoder aborts the process on an empty float image.
    kx::check_image(image, "image", {1, 2, 3, 4});
    py::object step = PyIndex_Check(epoch.ptr()) ? py::int_(kx::to_int64(epoch, "epoch")) : epoch;
    kx::with_context(self.attr("writer").attr("as_default")(),
                     [&] { tf_image()(caption, expand_dims()(image, 0), py::arg("step") = step); });
    return py::none();
}

py::object refresh(py::object self) {
    self.attr("writer").attr("flush")();
    return py::none();
}

}  // namespace

PYBIND11_MODULE(tensorboard, m) {
    kx::register_native_errors(m);
    m.doc() = "Training metrics logger: time-stamped TensorBoard log folder, scalars and images.";
    kx::import_modules(m, {{"np", "numpy"}, {"tf", "tensorflow"}, {"d", "datetime"}, {"warnings", "warnings"},
                           {"os", "os"}});
    static kx::Lazy object_type{"builtins", "object"};
    m.attr("_writer_folders") = py::module_::import("weakref").attr("WeakKeyDictionary")();
    py::object cls = kx::make_class(m, "TensorBoard", object_type(), kClassDoc);
    kx::def_init(cls, &init, kInitDoc, py::arg("storage"), py::arg("metric_names") = py::none());
    kx::def_method(cls, "update_metrics", &update_metrics, kUpdateDoc, py::arg("metrics") = py::none(),
                   py::arg("losses") = py::none());
    kx::def_method(cls, "upload_image", &upload_image, kUploadDoc, py::arg("caption"), py::arg("image"),
                   py::arg("epoch"));
    kx::def_method(cls, "refresh", &refresh, kRefreshDoc);
    kx::compile_method(m, cls, "_write_scalars", {{"self"}, {"writer"}, {"names"}, {"values"}, {"step"}},
                       "Writes the chosen points of one update_metrics call (internal).", &write_scalars);
}
