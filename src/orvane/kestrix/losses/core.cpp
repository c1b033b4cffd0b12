// orvane.kestrix.losses.core: KestrixLoss, the base class of the package's
// losses, and the adapters that train any such loss with Keras `fit`.
//
// The base fixes the protocol every loss follows and holds no state of its
// own: a subclass's compute_loss never depends on anything defined here, so a
// loss written by a user only has to follow the protocol to plug into the
// trainer's compiled step.
//
// Keras calls a loss and its metrics as fn(y_true, y_pred) returning tensors;
// keras_loss and keras_metrics turn entries of compute_loss's dictionary into
// such functions. They resolve tf.keras when called, so they follow the Keras
// that TensorFlow selects (Keras 3, or tf-keras with TF_USE_LEGACY_KERAS=1).
#include <string>

#include "pyglue/glue.hpp"

namespace {

namespace py = pybind11;

constexpr const char* kModuleDoc = "Base class of the orvane.kestrix losses and their Keras adapters.";

// Docstrings of functions open with their signature line and "--": Python
// reads the parameters from there (inspect.signature, help, tf.function).

constexpr const char* kClassDoc = R"doc(Base class of the package's losses.

The loss protocol: a loss object has a method

    compute_loss(y_true, y_pred) -> dict[str, tf.Tensor]

that returns a dictionary of named scalar tensors. The entry "total-loss" is
the value the trainer minimises; every other entry (for example
"localization-loss" or "class-loss") is reported beside it, in the progress
bar and in TensorBoard. ``compute_loss`` runs inside the trainer's compiled
step, so it must be built from TensorFlow operations and trace once for every
batch size.

The base takes no constructor arguments and defines nothing that
``compute_loss`` depends on; subclasses set up their own state.
)doc";

constexpr const char* kInitDoc = R"doc(init(self)
--

Creates the loss; the base takes no arguments.)doc";

constexpr const char* kComputeLossDoc = R"doc(compute_loss(self, y_true, y_pred)
--

Named losses for a batch.

Args:
    y_true: the targets, as the dataset pipeline delivers them.
    y_pred: the model's outputs.

Returns:
    A dict from loss name to scalar tensor, holding "total-loss".

Raises:
    NotImplementedError: always; subclasses implement it.
)doc";

constexpr const char* kKerasLossDoc = R"doc(keras_loss(loss, entry='total-loss')
--

A Keras loss function that minimises one entry of a loss's dictionary.

Args:
    loss: an object with ``compute_loss(y_true, y_pred)``, such as any
        ``KestrixLoss``.
    entry (str): the dictionary entry returned as the loss.

Returns:
    A function ``fn(y_true, y_pred)`` returning
    ``loss.compute_loss(y_true, y_pred)[entry]``, for ``model.compile(loss=...)``.
    Its ``__name__`` is the entry with "-" replaced by "_".

Raises:
    TypeError: ``loss`` has no ``compute_loss``, or ``entry`` is not a str.

Example:

```python
loss = SegmentationLoss(num_classes=3)
model.compile(optimizer="adam", loss=keras_loss(loss),
              metrics=keras_metrics(loss, ["iou-loss", "class-loss", "negative-loss"]))
history = model.fit(images, masks, epochs=5)   # history.history["iou-loss"], ...
```

A missing entry raises KeyError naming it and the entries there are, when
Keras first traces the step.
)doc";

constexpr const char* kKerasMetricsDoc = R"doc(keras_metrics(loss, entries)
--

Keras metrics that report entries of a loss's dictionary during ``fit``.

Args:
    loss: an object with ``compute_loss(y_true, y_pred)``.
    entries: the entry names (strs), for example ``["iou-loss", "class-loss"]``.

Returns:
    list of ``tf.keras.metrics.MeanMetricWrapper``, one per entry, in order,
    each named after its entry: the history holds the mean of the entry over
    the batches of each epoch under that name. Each metric recomputes the
    loss on the step's outputs; in a compiled step TensorFlow's graph
    optimiser merges those identical computations.

Raises:
    TypeError: ``loss`` has no ``compute_loss``, or ``entries`` is a str or
        holds something else than strs.
)doc";

// `value` must be a str (None is no entry name).
std::string entry_name(py::handle value, const char* argument) {
    if (!PyUnicode_Check(value.ptr())) kx::raise_type_error(argument, "str", value);
    return py::str(value).cast<std::string>();
}

void check_loss(py::handle loss) {
    if (!py::hasattr(loss, "compute_loss")) {
        PyErr_Format(PyExc_TypeError, "Argument 'loss' has no compute_loss(y_true, y_pred) method (got %.200s)",
                     Py_TYPE(loss.ptr())->tp_name);
        throw py::error_already_set();
    }
}

// fn(y_true, y_pred) -> loss.compute_loss(y_true, y_pred)[entry], named after the entry.
py::cpp_function entry_function(py::object loss, const std::string& entry) {
    std::string name = entry;
    for (char& c : name)
        if (c == '-') c = '_';
    std::string doc = name + "(y_true, y_pred)\n--\n\nThe \"" + entry + "\" entry of the loss's compute_loss.";
    return py::cpp_function(
        [loss, entry](py::object y_true, py::object y_pred) -> py::object {
            py::object losses = loss.attr("compute_loss")(y_true, y_pred);
            py::str key(entry);
            if (!losses.contains(key)) {
                py::list names;
                for (py::handle k : losses) names.append(py::str("\"{}\"").format(k));
                std::string qualname = py::str(py::type::of(loss).attr("__qualname__"));
                kx::raise(PyExc_KeyError, qualname + ".compute_loss returned no \"" + entry + "\" entry (it has " +
                                              py::str(", ").attr("join")(names).cast<std::string>() + ")");
            }
            return losses[key];
        },
        py::name(name.c_str()), py::doc(doc.c_str()), py::arg("y_true"), py::arg("y_pred"));
}

py::object keras_loss(py::object loss, py::object entry) {
    check_loss(loss);
    return entry_function(std::move(loss), entry_name(entry, "entry"));
}

py::object keras_metrics(py::object loss, py::object entries) {
    static kx::Lazy mean_metric_wrapper{"tensorflow", "keras.metrics.MeanMetricWrapper"};
    check_loss(loss);
    if (PyUnicode_Check(entries.ptr())) kx::raise_type_error("entries", "list of str", entries);
    py::list metrics;
    for (py::handle item : entries) {
        std::string entry = entry_name(item, "entries");
        metrics.append(mean_metric_wrapper()(entry_function(loss, entry), py::arg("name") = entry));
    }
    return std::move(metrics);
}

}  // namespace

PYBIND11_MODULE(core, m) {
    kx::register_native_errors(m);
    m.doc() = kModuleDoc;
    py::options options;
    options.disable_function_signatures();  // the docstrings carry them
    py::object object_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    py::object cls = kx::make_class(m, "KestrixLoss", object_type, kClassDoc);
    kx::def_init(cls, [](py::object) {}, kInitDoc);
    kx::def_method(
        cls, "compute_loss",
        [](py::object self, py::object, py::object) -> py::object {
            std::string name = py::str(py::type::of(self).attr("__qualname__"));
            kx::raise(PyExc_NotImplementedError, name + " does not implement compute_loss(y_true, y_pred)");
        },
        kComputeLossDoc, py::arg("y_true"), py::arg("y_pred"));

    m.def("keras_loss", &keras_loss, kKerasLossDoc, py::arg("loss"), py::arg("entry") = "total-loss");
    m.def("keras_metrics", &keras_metrics, kKerasMetricsDoc, py::arg("loss"), py::arg("entries"));
}
