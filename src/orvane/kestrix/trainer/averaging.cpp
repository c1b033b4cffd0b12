// Weight averaging: with `ema` the trainer keeps an exponential moving average of every weight
// of the model (trainable ones and the normalisation statistics), updated inside the compiled
// step after each optimizer update. Validation passes, last.h5 and best.h5 see the averaged
// weights, while training goes on with the raw ones: around those passes the two sets are
// swapped, and swapped back on every way out (a Ctrl-C waits for a swap to finish). The
// averages and their update count are part of the resumable state (state.cpp), so a resumed
// run continues the same average.
//
// The decay of update n is ema * (1 - exp(-n / ema_tau)): small at first, so that the average
// follows the fast early changes, and close to `ema` after a few times ema_tau updates. Integer
// weights (a normalisation layer's sample count) have no average: theirs is their current value.
#include <pybind11/pybind11.h>

#include <cmath>
#include <string>

#include "detection_internal.hpp"
#include "pyglue/interrupts.hpp"

namespace kx::trainer {

namespace {

kx::Lazy tf_variable{"tensorflow", "Variable"};
kx::Lazy tf_identity{"tensorflow", "identity"};
kx::Lazy tf_cast{"tensorflow", "cast"};
kx::Lazy tf_exp{"tensorflow", "exp"};

bool averaging(const py::object& self) { return !py::getattr(self, "_averages", py::none()).is_none(); }

void swap_weights(const py::object& self) {
    py::object weights = self.attr("model").attr("weights");
    py::list averages = self.attr("_averages");
    py::list scratch = self.attr("_average_scratch");
    for (std::size_t i = 0; i < averages.size(); ++i) {
        py::object w = weights[py::int_(i)];
        scratch[i].attr("assign")(w);
        w.attr("assign")(averages[i]);
        averages[i].attr("assign")(scratch[i]);
    }
}

}  // namespace

// Without `ema` the trainer gets no attribute of its own for it, as it always was.
void init_average(const py::object& self, const py::object& ema, const py::object& ema_tau) {
    if (ema.is_none()) return;
    const double decay = kx::to_double(ema, "ema");
    const double tau = kx::to_double(ema_tau, "ema_tau");
    if (!(decay > 0.0 && decay < 1.0))
        kx::raise(PyExc_ValueError, "ema must lie strictly between 0 and 1, got " + std::string(py::repr(ema)));
    if (!(tau > 0.0 && std::isfinite(tau)))
        kx::raise(PyExc_ValueError, "ema_tau must be a positive number of updates, got " + std::string(py::repr(ema_tau)));
    if (!strategy_of(self.attr("model")).is_none())
        kx::raise(PyExc_ValueError, "ema (weight averaging) is not available for a model built under a "
                                    "tf.distribute strategy");
    py::object tf = tf_module();
    py::list averages, scratch;
    for (py::handle w : self.attr("model").attr("weights")) {
        averages.append(tf_variable()(tf_identity()(w), py::arg("trainable") = false));
        scratch.append(tf_variable()(tf_identity()(w), py::arg("trainable") = false));
    }
    self.attr("ema") = py::float_(decay);
    self.attr("ema_tau") = py::float_(tau);
    self.attr("_averages") = averages;
    self.attr("_average_scratch") = scratch;
    self.attr("_average_updates") =
        tf_variable()(py::int_(0), py::arg("dtype") = tf.attr("int64"), py::arg("trainable") = false);
}

void update_average(const py::object& self) {
    if (!averaging(self)) return;
    py::object tf = tf_module();
    py::object updates = self.attr("_average_updates");
    updates.attr("assign_add")(py::int_(1));
    py::object n = tf_cast()(updates, tf.attr("float32"));
    py::object decay = py::float_(self.attr("ema")) * (py::float_(1.0) - tf_exp()(-n / self.attr("ema_tau")));
    py::object weights = self.attr("model").attr("weights");
    py::list averages = self.attr("_averages");
    for (std::size_t i = 0; i < averages.size(); ++i) {
        py::object a = averages[i];
        if (!a.attr("dtype").attr("is_floating").cast<bool>()) {
            a.attr("assign")(weights[py::int_(i)]);
            continue;
        }
        py::object w = tf_cast()(weights[py::int_(i)], a.attr("dtype"));
        py::object d = tf_cast()(decay, a.attr("dtype"));
        a.attr("assign")(a * d + w * (py::float_(1.0) - d));
    }
}

void add_average_to_state(const py::object& self, py::dict& parts) {
    if (!averaging(self)) return;
    parts["averages"] = self.attr("_averages");
    parts["average_updates"] = self.attr("_average_updates");
}

// The swaps hold Ctrl-C back until they are complete: stopped half-way, they would leave the
// model a mix of trained and averaged weights, which training would then go on with.
AveragedWeights::AveragedWeights(const py::object& self) : self_(self), active_(false) {
    if (!averaging(self_)) return;
    kx::InterruptsHeld held;
    swap_weights(self_);
    if (held.noted()) swap_weights(self_);  // stopping: the trained weights go back first
    held.release();
    active_ = true;
}

void AveragedWeights::restore() {
    if (!active_) return;
    kx::InterruptsHeld held;
    swap_weights(self_);
    active_ = false;
    held.release();
}

AveragedWeights::~AveragedWeights() {
    if (!active_) return;
    try {
        kx::InterruptsHeld held;
        swap_weights(self_);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("restoring the trained weights after a pass on the averaged ones");
    }
}

}  // namespace kx::trainer
