// The trainer's epoch loop: every training batch through the step, the progress bar with the
// loss, the learning rate and the step time, the logger's per-step metrics, and the stop on a
// step whose "total-loss" is not finite, before anything is saved from the weights it broke.
// A Ctrl-C stops the loop between steps.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cmath>

#include "detection_internal.hpp"
#include "pyglue/interrupts.hpp"
#include "rate_reader.hpp"

namespace kx::trainer {

namespace {

constexpr const char* kPostfix = "loss: {:.3f}   lr: {:.6f} step-time: {:.6f}";

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

}  // namespace

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
    RateReader read_rate(self.attr("optimizer"));
    py::str step_time_key("step-time (seconds)"), rate_key("learning-rate"), total_key("total-loss");

    py::object losses;
    long long step_number = 0;
    for (py::handle data : loop) {
        auto begin = std::chrono::steady_clock::now();
        {
            // A Ctrl-C waits for the step to end: one that lands while TensorFlow builds the
            // step's graph (seconds, on the first step) can crash the interpreter inside the
            // gradient tape's bookkeeping. Running steps are not interruptible in any case.
            kx::InterruptsHeld held("\nCtrl-C: training stops when the current step is done.");
            losses = step(data);
            held.release();
        }
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

}  // namespace kx::trainer
