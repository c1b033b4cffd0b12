"""Mixed precision: the compiled step under mixed_float16 with a loss-scale optimizer, and
under mixed_bfloat16 without one."""
import numpy as np
import pytest
import tensorflow as tf

from models import make_policy_detector, make_train_data, make_train_dataset, make_trainer


@pytest.fixture
def policy(request):
    tf.keras.mixed_precision.set_global_policy(request.param)
    yield request.param
    tf.keras.mixed_precision.set_global_policy("float32")


def loss_scale(optimizer):
    """The current dynamic loss scale (Keras 3: dynamic_scale; tf-keras: loss_scale)."""
    scale = getattr(optimizer, "dynamic_scale", None)
    return float(np.asarray(optimizer.loss_scale if scale is None else scale))


def make(root, scaled):
    model = make_policy_detector()
    optimizer = tf.keras.optimizers.Adam(0.01)
    if scaled:
        optimizer = tf.keras.mixed_precision.LossScaleOptimizer(optimizer)
    return make_trainer(root, model=model, optimizer=optimizer, metric_names=["total-loss"])


@pytest.mark.parametrize("policy, scaled", [("mixed_float16", True), ("mixed_bfloat16", False)],
                         indirect=["policy"])
def test_trains_with_float32_variables_and_finite_unscaled_losses(tmp_path, capsys, policy, scaled):
    trainer = make(tmp_path, scaled)
    assert trainer.model.get_layer("stem").compute_dtype == policy[len("mixed_"):]
    before = [w.copy() for w in trainer.model.get_weights()]
    data = make_train_dataset(8, batch_size=4)
    first = float(trainer.train_step(next(iter(data)))["total-loss"])
    trainer.train(3, data)
    last = float(trainer.train_step(next(iter(data)))["total-loss"])
    assert np.isfinite(first) and np.isfinite(last) and last < first
    assert all(v.dtype == tf.float32 for v in trainer.model.trainable_variables)
    assert not any(np.array_equal(a, b) for a, b in zip(before, trainer.model.get_weights()) if a.size > 1)
    assert trainer.train_step.experimental_get_tracing_count() == 1


@pytest.mark.parametrize("box_value, outcome", [
    (1e5, "skipped"),          # a finite loss whose scaled gradients overflow float16
    (np.nan, "stops the run"),  # an unscaled loss that is not finite is a real fault
])
@pytest.mark.parametrize("policy", ["mixed_float16"], indirect=True)
def test_non_finite_step_under_loss_scaling(tmp_path, capsys, policy, box_value, outcome):
    trainer = make(tmp_path, scaled=True)
    images, boxes = make_train_data(4)
    trainer.train_step([images, boxes])  # builds the optimizer and its scale
    scale = loss_scale(trainer.optimizer)
    weights = [w.copy() for w in trainer.model.get_weights()]
    bad = tf.data.Dataset.from_tensor_slices((images, np.full_like(boxes, box_value))).batch(4)
    if outcome == "skipped":
        trainer.train(1, bad)
        assert loss_scale(trainer.optimizer) == scale / 2
        assert all(np.array_equal(a, b) for a, b in zip(weights, trainer.model.get_weights()))
    else:
        with pytest.raises(FloatingPointError, match="total-loss is not finite at epoch 1, step 1"):
            trainer.train(1, bad)
