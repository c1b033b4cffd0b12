// The trainer's read of the learning rate the optimizer will use for its next step, once
// per training step for the progress bar and the logger. Must be called with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "pyglue/glue.hpp"

namespace kx::trainer {
namespace py = pybind11;

// The learning rate the optimizer will use for its next step, as a Python float. Older
// optimizers expose `lr` (a value or a schedule); Keras 3 and tf-keras keep a schedule in
// `_learning_rate` (tf-keras' `lr` is then a variable holding the rate of the step just
// taken, so the schedule is asked instead, as under Keras 3), and their `learning_rate` or
// `lr` is otherwise the current value. Values read from variables or tensors are converted
// with float(): a tf-keras rate is a ResourceVariable, which "{:.6f}" cannot format.
class RateReader {
public:
    explicit RateReader(py::object optimizer) : optimizer_(std::move(optimizer)) {
        static kx::Lazy schedule_type_{"tensorflow", "keras.optimizers.schedules.LearningRateSchedule"};
        py::object schedule_type = schedule_type_();
        py::object rate = py::getattr(optimizer_, "lr", py::none());
        py::object schedule = py::getattr(optimizer_, "_learning_rate", py::none());
        if (py::isinstance(rate, schedule_type)) {
            schedule_ = rate;
        } else if (py::isinstance(schedule, schedule_type)) {
            schedule_ = schedule;
        } else if (py::hasattr(optimizer_, "lr")) {
            mode_ = Mode::kLr;
        } else {
            mode_ = Mode::kLearningRate;
        }
    }

    py::float_ operator()() const {
        switch (mode_) {
            case Mode::kSchedule:
                return py::float_(schedule_(optimizer_.attr("iterations")));
            case Mode::kLr:
                return py::float_(optimizer_.attr("lr"));
            case Mode::kLearningRate:
                break;
        }
        return py::float_(optimizer_.attr("learning_rate"));
    }

private:
    enum class Mode { kSchedule, kLr, kLearningRate };
    py::object optimizer_;
    py::object schedule_;
    Mode mode_ = Mode::kSchedule;
};

}  // namespace kx::trainer
