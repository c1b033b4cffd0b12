// The trainer's compiled optimisation step, on one device or on every replica of a strategy.
//
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
#include <pybind11/pybind11.h>

#include <utility>

#include "detection_internal.hpp"

namespace kx::trainer {

namespace {

kx::Lazy tf_cast{"tensorflow", "cast"};
kx::Lazy tf_float32{"tensorflow", "float32"};
kx::Lazy tf_gradient_tape{"tensorflow", "GradientTape"};
kx::Lazy default_strategy{"tensorflow.python.distribute.distribute_lib", "_get_default_strategy"};
kx::Lazy loss_scale_optimizer{"tensorflow", "keras.mixed_precision.LossScaleOptimizer"};
kx::Lazy reduce_mean{"tensorflow", "distribute.ReduceOp.MEAN"};
kx::Lazy weakref_ref{"weakref", "ref"};

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
    update_average(self);
    return losses;
}

}  // namespace

py::object strategy_of(const py::object& model) {
    py::object strategy = py::getattr(model, "distribute_strategy", py::none());
    if (strategy.is_none() || strategy.is(default_strategy()())) return py::none();
    return strategy;
}

// The chief of a multi-worker cluster, or the only process. Every process of a cluster
// trains, only the chief writes and validates.
bool is_chief(const py::object& strategy) {
    if (strategy.is_none()) return true;
    return py::bool_(strategy.attr("extended").attr("should_checkpoint"));
}

py::object preprocess_input(const py::tuple& args) {
    return tf_cast()(args[1], tf_float32()) / py::float_(255.0);
}

py::object train_step(const py::tuple& args) { return apply_step(args[0], args[1], 1); }

py::tuple train_step_signature() {
    py::object tf = tf_module();
    py::object tensor_spec = tf.attr("TensorSpec");
    py::list image_shape, box_shape;
    for (int i = 0; i < 3; ++i) image_shape.append(py::none());
    image_shape.append(3);
    box_shape.append(py::none());
    box_shape.append(py::none());
    box_shape.append(5);
    py::list batch_spec;
    batch_spec.append(tensor_spec(py::arg("shape") = image_shape, py::arg("dtype") = tf.attr("uint8")));
    batch_spec.append(tensor_spec(py::arg("shape") = box_shape, py::arg("dtype") = tf.attr("float32")));
    return py::make_tuple(batch_spec);
}

// The compiled step under a strategy: `strategy.run` of apply_step on every replica, then the
// mean of every named loss over the replicas. Its input signature is the distributed dataset's
// `element_spec` with every dimension left open, so one graph serves every batch shape, as the
// single-device step's signature does. The trainer is held weakly: the function is kept on it.
py::object make_distributed_step(const py::object& self, const py::object& strategy,
                                 const py::object& element_spec) {
    static kx::Lazy map_structure{"tensorflow", "nest.map_structure"};

    py::object owner = weakref_ref()(self);
    const long long replicas = strategy.attr("num_replicas_in_sync").cast<long long>();
    py::object replica_step = py::cpp_function(
        [owner, replicas](py::object data) { return apply_step(owner(), data, replicas); }, py::name("replica_step"));
    auto body = [strategy, replica_step](const py::tuple& args) -> py::object {
        py::object per_replica = strategy.attr("run")(replica_step, py::arg("args") = py::make_tuple(args[0]));
        py::dict reduced;
        for (auto item : py::dict(per_replica))
            reduced[item.first] = strategy.attr("reduce")(reduce_mean(), item.second, py::arg("axis") = py::none());
        return reduced;
    };
    py::cpp_function relax([](py::object type) { return type.attr("_with_tensor_ranks_only")(); });
    py::dict options;
    options["input_signature"] = py::make_tuple(map_structure()(relax, element_spec));
    return kx::compile_function("DetectionTrainer.distributed_step", {{"data"}}, nullptr, body, options);
}

}  // namespace kx::trainer
