// orvane.kestrix.callbacks.tensorboard: the training metrics logger.
//
// TensorBoard owns one time-stamped log folder and one tf.summary event-file
// writer in it. update_metrics publishes one scalar point per configured name
// (taken from the metrics, else from the losses, whichever holds a truthy
// value), all at one step that advances per call; upload_image writes an image
// summary. The trainer reads `time_stamp` (it names the run folder too) and
// `writer` (the validation writer publishes through it).
//
// Not thread-safe: a logger is driven from the training thread only.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <pyglue/glue.hpp>

#include <cmath>
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
    writer: the tf.summary file writer of the log folder.
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
    kx::print(py::str("\n \t - Logging progress at: {} \n").format(self.attr("storage")).cast<std::string>());
    return py::none();
}

bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// The body of the compiled method _write_scalars(self, writer, names, values,
// step): every point of one update_metrics call, written under `writer` in
// one graph call. Written eagerly, tf.summary.scalar costs about half a
// millisecond a point, which per-step logging would pay several times for
// every batch. A trace serves every call with the same writer and names (the
// values and the step arrive as tensors).
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

py::object update_metrics(py::object self, py::object metrics, py::object losses) {
    static kx::Lazy tf_constant{"tensorflow", "constant"};
    static kx::Lazy tf_int64{"tensorflow", "int64"};
    static kx::Lazy np_asarray{"numpy", "asarray"};
    static kx::Lazy np_float32{"numpy", "float32"};
    static kx::Lazy should_record{"tensorflow", "summary.should_record_summaries"};
    kx::check_dict(metrics, "metrics");
    kx::check_dict(losses, "losses");
    if (py::len(self.attr("metric_names")) == 0) {
        kx::warn(kNothingToRegister);
        return py::none();
    }
    // Choose every point first: a failure (a missing dictionary, a value that
    // is not a scalar number) then leaves nothing half-written at this step.
    py::list names;
    std::vector<float> values;
    for (py::handle key : self.attr("metric_names")) {
        py::object value = metrics.attr("get")(key);
        if (!truthy(value)) value = losses.attr("get")(key);
        if (!truthy(value)) continue;
        py::array_t<float> number = np_asarray()(value, np_float32());
        if (number.ndim() != 0)
            kx::raise(PyExc_ValueError, "the value of '" + py::str(key).cast<std::string>() +
                                            "' must be a scalar, got shape " +
                                            py::str(py::tuple(number.attr("shape"))).cast<std::string>());
        if (!std::isfinite(*number.data())) warn_non_finite(self, key, *number.data());
        names.append(key);
        values.push_back(*number.data());
    }
    py::object writer = self.attr("writer");
    // tf.summary.record_if holds for this call as it would for an eager write.
    const bool recording = kx::with_context(writer.attr("as_default")(), [] { return truthy(should_record()()); });
    if (recording && !values.empty()) {
        py::array_t<float> packed(static_cast<py::ssize_t>(values.size()), values.data());
        py::object step = tf_constant()(self.attr("global_step"), tf_int64());
        py::tuple chosen(names);
        scalar_writer(self, writer, chosen)(writer, chosen, tf_constant()(packed), step);
    }
    writer.attr("flush")();
    py::object step = self.attr("global_step");
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
    m.doc() = "Training metrics logger: time-stamped TensorBoard log folder, scalars and images.";
    kx::import_modules(m, {{"np", "numpy"}, {"tf", "tensorflow"}, {"d", "datetime"}, {"warnings", "warnings"},
                           {"os", "os"}});
    static kx::Lazy object_type{"builtins", "object"};
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
