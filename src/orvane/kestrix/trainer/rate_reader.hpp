// The trainer's read of the learning rate the optimizer will use for its next step, once
// per training step for the progress bar and the logger. Must be called with the GIL held;
// not thread-safe (one training loop reads one optimizer).
//
// A schedule evaluated eagerly costs a few hundred microseconds per step, op by op. So a
// schedule's values are computed in runs: one compiled call evaluates it at every step of
// a run (64 steps, doubling up to 4096 while training moves through them in order), and
// each read looks the step counter up in the run. The compiled call evaluates the schedule
// once per step on a scalar step, exactly as the eager call does (a vectorised evaluation
// would take other kernels, whose last bits differ), and it is checked against the eager
// call on a spread of steps before it is trusted: a schedule's own graph optimisations must
// match too (Grappler rewrites some expressions; a schedule that is itself a tf.function is
// optimised when called eagerly, one made of eager ops is not), so the check chooses
// between running the run with Grappler on or off, and a schedule that matches neither, or
// cannot be traced, keeps the eager call.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pyglue/glue.hpp"

namespace kx::trainer {
namespace py = pybind11;

// Errors that must reach the caller even where a failed attempt only means "use the eager call".
inline bool interrupts(py::error_already_set& e) {
    return e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit) || e.matches(PyExc_MemoryError);
}

// The values of one schedule over a run of steps, and the compiled call that makes them.
// Shared by the readers of every epoch through a cache keyed by the schedule (see
// RateReader::table_for), as long as the schedule's configuration stays the same.
class RateRuns {
public:
    static constexpr long long kFirstRun = 64;
    static constexpr long long kLongestRun = 4096;
    static constexpr int kPerRound = 8;

    // Null when the schedule cannot be evaluated in runs that equal its eager values.
    static std::shared_ptr<RateRuns> make(const py::object& schedule, const py::object& counter) {
        static kx::Lazy as_dtype{"tensorflow", "as_dtype"};
        auto runs = std::shared_ptr<RateRuns>(new RateRuns());
        try {
            runs->dtype_ = as_dtype()(counter.attr("dtype"));
            if (!runs->dtype_.attr("is_integer").cast<bool>()) return nullptr;
            runs->function_ = compile(schedule, runs->dtype_);
            const long long first = py::int_(counter).cast<long long>();
            if (!runs->choose_mode(schedule, first)) return nullptr;
        } catch (py::error_already_set& e) {
            // Not traceable (or not an integer counter): the eager call stays, and reports
            // any real fault of the schedule itself.
            if (interrupts(e)) throw;
            return nullptr;
        } catch (py::cast_error&) {
            return nullptr;
        }
        return runs;
    }

    // The rate at `step`, computing the run that holds it when the current one does not.
    double at(long long step) {
        const long long index = step - start_;
        if (index >= 0 && index < static_cast<long long>(values_.size())) return values_[index];
        // Sequential progress doubles the run; a jump (resume, an assigned counter) starts over.
        const long long end = start_ + static_cast<long long>(values_.size());
        long long size = !values_.empty() && step == end ? std::min(2 * size_, kLongestRun) : kFirstRun;
        size = std::max(1LL, std::min(size, std::numeric_limits<long long>::max() - step));
        std::vector<long long> steps(static_cast<std::size_t>(size));
        for (long long k = 0; k < size; ++k) steps[k] = step + k;
        values_ = evaluate(steps, grappler_);
        start_ = step;
        size_ = size;
        return values_[0];
    }

private:
    RateRuns() = default;

    // tf.function(steps -> [schedule(steps[0]), schedule(steps[1]), ...]): one scalar
    // evaluation per step in a while loop. Variables of the schedule that an evaluation
    // overwrites (a record of its last evaluation) are put back afterwards, so a run leaves
    // them as the optimizer's own evaluation left them.
    static py::object compile(const py::object& schedule, const py::object& dtype) {
        static kx::Lazy tensor_spec{"tensorflow", "TensorSpec"};
        static kx::Lazy weakref_ref{"weakref", "ref"};
        py::object ref = weakref_ref()(schedule);  // the cache must not keep the schedule alive
        py::list signature;
        signature.append(tensor_spec()(py::make_tuple(py::none()), dtype));
        py::dict options;
        options["input_signature"] = py::tuple(signature);
        return kx::compile_function(
            "RateRuns.evaluate", {{"steps"}}, nullptr,
            [ref](const py::tuple& args) -> py::object { return trace(ref, args[0]); }, options);
    }

    static py::object trace(const py::object& ref, const py::object& steps) {
        static kx::Lazy tensor_array{"tensorflow", "TensorArray"};
        static kx::Lazy while_loop{"tensorflow", "while_loop"};
        static kx::Lazy tf_shape{"tensorflow", "shape"};
        static kx::Lazy tf_constant{"tensorflow", "constant"};
        py::object schedule = ref();
        if (schedule.is_none()) kx::raise(PyExc_ReferenceError, "the learning-rate schedule no longer exists");
        py::list variables = own_variables(schedule), saved;
        for (py::handle v : variables) saved.append(v.attr("read_value")());

        // Eight evaluations per loop iteration: the loop's own ops cost about as much as a
        // simple schedule's, so this nearly halves a run. `steps` holds a multiple of eight.
        py::object count = tf_shape()(steps)[py::int_(0)];
        py::object rounds = count.attr("__floordiv__")(py::int_(kPerRound));
        py::object first = schedule(steps[py::int_(0)]);  // for the rate's dtype
        py::object table = tensor_array()(first.attr("dtype"), py::arg("size") = count);
        py::cpp_function more([rounds](py::object i, py::object) {
            PyObject* below = PyObject_RichCompare(i.ptr(), rounds.ptr(), Py_LT);  // a tensor, not a bool
            if (below == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(below);
        });
        py::cpp_function next([ref, steps](py::object i, py::object values) {
            py::object base = i * py::int_(kPerRound);
            for (int k = 0; k < kPerRound; ++k) {
                py::object at = base + py::int_(k);
                values = values.attr("write")(at, ref()(steps[at]));
            }
            return py::make_tuple(i + py::int_(1), values);
        });
        py::tuple done = while_loop()(more, next, py::make_tuple(tf_constant()(0), table),
                                      py::arg("parallel_iterations") = 1);
        py::object result = done[1].attr("stack")();
        for (std::size_t k = 0; k < py::len(variables); ++k) variables[k].attr("assign")(saved[k]);
        return result;
    }

    // The schedule's own tf.Variables (attributes of the object itself).
    static py::list own_variables(const py::object& schedule) {
        static kx::Lazy variable_type{"tensorflow", "Variable"};
        py::list found;
        py::object attributes = py::getattr(schedule, "__dict__", py::none());
        if (attributes.is_none()) return found;
        for (auto item : py::dict(attributes))
            if (py::isinstance(item.second, variable_type())) found.append(item.second);
        return found;
    }

    std::vector<double> evaluate(const std::vector<long long>& steps, bool grappler) const {
        static kx::Lazy tf_constant{"tensorflow", "constant"};
        static kx::Lazy get_options{"tensorflow", "config.optimizer.get_experimental_options"};
        static kx::Lazy set_options{"tensorflow", "config.optimizer.set_experimental_options"};
        py::list listed;
        for (long long s : steps) listed.append(py::int_(s));
        while (py::len(listed) % kPerRound != 0) listed.append(py::int_(steps.back()));
        py::object tensor = tf_constant()(listed, py::arg("dtype") = dtype_);
        py::object result;
        if (grappler) {
            result = function_(tensor);
        } else {
            // Grappler off for this call only (the setting is read when a function runs).
            py::object before = get_options()().attr("get")("disable_meta_optimizer", false);
            py::dict off;
            off["disable_meta_optimizer"] = true;
            set_options()(off);
            try {
                result = function_(tensor);
            } catch (...) {
                off["disable_meta_optimizer"] = before;
                set_options()(off);
                throw;
            }
            off["disable_meta_optimizer"] = before;
            set_options()(off);
        }
        std::vector<double> values;
        values.reserve(steps.size());
        py::object array = result.attr("numpy")();
        if (array.attr("ndim").cast<int>() != 1)
            kx::raise(PyExc_ValueError, "the learning-rate schedule returned a non-scalar rate");
        for (py::handle v : py::list(array.attr("tolist")())) values.push_back(py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>());
        values.resize(steps.size());  // without the padding
        return values;
    }

    // Compares both ways of running against the eager call at the counter and on a spread
    // of later steps (every phase of a schedule should meet a few of them); keeps the way that
    // matches everywhere, the one the schedule's kind suggests when both do. The eager calls'
    // overwrites of the schedule's variables are undone.
    bool choose_mode(const py::object& schedule, long long first) {
        static kx::Lazy tf_constant{"tensorflow", "constant"};
        std::vector<long long> offsets;
        for (long long k = 0; k < 16; ++k) offsets.push_back(k);
        for (int k = 0; k < 64; ++k) offsets.push_back(static_cast<long long>(16.0 * std::pow(2.0, k / 4.0)));
        offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
        std::vector<long long> steps;
        for (long long k : offsets)
            if (k <= std::numeric_limits<long long>::max() - first) steps.push_back(first + k);

        py::list variables = own_variables(schedule), saved;
        for (py::handle v : variables) saved.append(v.attr("read_value")());
        std::vector<double> eager;
        for (long long s : steps) eager.push_back(py::float_(schedule(tf_constant()(s, dtype_))).cast<double>());
        for (std::size_t k = 0; k < py::len(variables); ++k) variables[k].attr("assign")(saved[k]);

        // A schedule whose __call__ is a tf.function ran optimised just now; one made of
        // eager ops did not.
        static kx::Lazy function_type{"tensorflow", "types.experimental.PolymorphicFunction"};
        bool compiled = false;
        for (py::handle base : py::type::of(schedule).attr("__mro__")) {
            py::object own = py::dict(base.attr("__dict__")).attr("get")("__call__", py::none());
            if (!own.is_none()) {
                compiled = compiled || py::isinstance(own, function_type());
            }
        }
        for (bool grappler : {compiled, !compiled}) {
            if (same(evaluate(steps, grappler), eager)) {
                grappler_ = grappler;
                return true;
            }
        }
        return false;
    }

    static bool same(const std::vector<double>& a, const std::vector<double>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t k = 0; k < a.size(); ++k)
            if (!(a[k] == b[k] || (std::isnan(a[k]) && std::isnan(b[k])))) return false;
        return true;
    }

    py::object function_;
    py::object dtype_;
    bool grappler_ = true;
    long long start_ = 0;
    long long size_ = 0;
    std::vector<double> values_;
};

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
        if (mode_ == Mode::kSchedule) runs_ = runs_for(schedule_, optimizer_.attr("iterations"));
    }

    py::float_ operator()() const {
        switch (mode_) {
            case Mode::kSchedule: {
                py::object counter = optimizer_.attr("iterations");
                if (runs_) {
                    try {
                        return py::float_(runs_->at(count(counter)));
                    } catch (py::error_already_set& e) {
                        if (interrupts(e)) throw;
                        runs_.reset();  // the eager call below reports a real fault
                    } catch (py::cast_error&) {
                        runs_.reset();
                    }
                }
                return py::float_(schedule_(counter));
            }
            case Mode::kLr:
                return to_float(optimizer_.attr("lr"));
            case Mode::kLearningRate:
                break;
        }
        return to_float(optimizer_.attr("learning_rate"));
    }

private:
    // float() of a rate value. Under a tf.distribute strategy a plain rate is a mirrored
    // variable, which float() refuses; it is read through a tensor then.
    static py::float_ to_float(const py::object& value) {
        static kx::Lazy convert_to_tensor{"tensorflow", "convert_to_tensor"};
        try {
            return py::float_(value);
        } catch (py::error_already_set& err) {
            if (!err.matches(PyExc_TypeError)) throw;
        }
        return py::float_(convert_to_tensor()(value).attr("numpy")());
    }

    // The step counter's value. int() of a Keras variable costs two reads' worth of Python
    // layers; a plain resource variable (Keras 3's and tf-keras' counters hold one) is read
    // with the one ReadVariableOp underneath, about half the cost.
    long long count(const py::object& counter) const {
        static kx::Lazy resource_variable{"tensorflow.python.ops.resource_variable_ops", "ResourceVariable"};
        static kx::Lazy read_variable{"tensorflow.python.ops.gen_resource_variable_ops", "read_variable_op"};
        if (!counter.is(counter_seen_)) {
            counter_seen_ = counter;
            handle_ = py::none();
            py::object variable = py::getattr(counter, "value", py::none());
            if (!py::isinstance(variable, resource_variable())) variable = counter;
            if (Py_TYPE(variable.ptr()) == reinterpret_cast<PyTypeObject*>(resource_variable().ptr())) {
                handle_ = variable.attr("handle");
                counter_dtype_ = variable.attr("dtype");
            }
        }
        if (handle_.is_none()) return py::int_(counter).cast<long long>();
        return py::int_(read_variable()(handle_, counter_dtype_)).cast<long long>();
    }

    // The runs of `schedule`, kept across readers (one per epoch) while the schedule's
    // configuration is unchanged; a schedule without a configuration gets new runs per reader.
    static std::shared_ptr<RateRuns> runs_for(const py::object& schedule, const py::object& counter) {
        static kx::Lazy weak_dict{"weakref", "WeakKeyDictionary"};
        static py::gil_safe_call_once_and_store<py::object> cache_store;
        py::object cache = cache_store.call_once_and_store_result([] { return weak_dict()(); }).get_stored();
        py::object fingerprint = py::none();
        try {
            fingerprint = py::repr(schedule.attr("get_config")());
            py::object known = cache.attr("get")(schedule, py::none());
            if (!known.is_none() && py::object(py::tuple(known)[0]).equal(fingerprint)) {
                auto held = py::reinterpret_borrow<py::capsule>(py::tuple(known)[1]);
                return *held.get_pointer<std::shared_ptr<RateRuns>>();
            }
        } catch (py::error_already_set&) {
            fingerprint = py::none();  // no configuration (or not weak-referenceable): no cache
        }
        std::shared_ptr<RateRuns> runs = RateRuns::make(schedule, counter);
        if (!fingerprint.is_none()) {
            try {
                py::capsule held(new std::shared_ptr<RateRuns>(runs), [](void* p) {
                    delete static_cast<std::shared_ptr<RateRuns>*>(p);
                });
                cache[schedule] = py::make_tuple(fingerprint, held);
            } catch (py::error_already_set&) {
            }
        }
        return runs;
    }

    enum class Mode { kSchedule, kLr, kLearningRate };
    py::object optimizer_;
    py::object schedule_;
    Mode mode_ = Mode::kSchedule;
    mutable std::shared_ptr<RateRuns> runs_;
    mutable py::object counter_seen_, handle_ = py::none(), counter_dtype_;
};

}  // namespace kx::trainer
