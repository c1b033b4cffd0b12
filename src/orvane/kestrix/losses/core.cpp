// orvane.kestrix.losses.core: KestrixLoss, the base class of the package's
// losses.
//
// The base fixes the protocol every loss follows and holds no state of its
// own: a subclass's compute_loss never depends on anything defined here, so a
// loss written by a user only has to follow the protocol to plug into the
// trainer's compiled step.
#include "pyglue/glue.hpp"

namespace {

namespace py = pybind11;

constexpr const char* kModuleDoc = "Base class of the orvane.kestrix losses.";

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

constexpr const char* kInitDoc = "Creates the loss; the base takes no arguments.";

constexpr const char* kComputeLossDoc = R"doc(Named losses for a batch.

Args:
    y_true: the targets, as the dataset pipeline delivers them.
    y_pred: the model's outputs.

Returns:
    A dict from loss name to scalar tensor, holding "total-loss".

Raises:
    NotImplementedError: always; subclasses implement it.
)doc";

}  // namespace

PYBIND11_MODULE(core, m) {
    m.doc() = kModuleDoc;
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
}
