"""Weight averaging in the trainer: the saved weights are the moving average (checked against
NumPy), training continues on the raw weights, a resumed run continues the same average."""
import math
import os
import signal

import h5py
import numpy as np
import pytest
import tensorflow as tf

from models import make_train_data, make_trainer

DECAY, TAU = 0.8, 3.0


def reference_average(history):
    """The average after each list of weights in ``history`` (the raw weights after each step)."""
    average = [w.copy() for w in history[0]]  # the weights before the first step
    for n, weights in enumerate(history[1:], start=1):
        d = DECAY * (1 - math.exp(-n / TAU))
        average = [a * d + w * (1 - d) for a, w in zip(average, weights)]
    return average


def steps(trainer, count, seed=0):
    """``count`` optimisation steps; returns the model's raw weights after each."""
    images, boxes = make_train_data(num_images=4 * count, seed=seed)
    history = []
    for i in range(count):
        trainer.train_step((images[4 * i:4 * i + 4], boxes[4 * i:4 * i + 4]))
        history.append([w.numpy().copy() for w in trainer.model.weights])
    return history


def saved_kernels(path):
    """{layer name: kernel} of an .h5 model file."""
    found = {}
    with h5py.File(path, "r") as f:
        def visit(name, item):
            if isinstance(item, h5py.Dataset) and "kernel" in name:
                found[name.split("/")[0] if "/" in name else name] = item[()]
        f["model_weights"].visititems(visit)
    return found


def kernel_layers(model, values):
    """{layer name: value} of the kernels among the model's weights."""
    names = [getattr(w, "path", w.name) for w in model.weights]
    return {n.split("/")[0]: v for n, v in zip(names, values) if "kernel" in n}


def test_saved_weights_are_the_average_and_training_goes_on_raw(tmp_path):
    trainer = make_trainer(tmp_path, ema=DECAY, ema_tau=TAU, metric_names=["total-loss"])
    start = [w.numpy().copy() for w in trainer.model.weights]
    history = steps(trainer, 5)
    trainer.train(1, [], None, None)  # no batches: the epoch only saves last.h5
    expected = kernel_layers(trainer.model, reference_average([start] + history))
    raw = kernel_layers(trainer.model, history[-1])
    saved = saved_kernels(trainer.last)
    assert saved and set(saved) <= set(expected)
    for layer, kernel in saved.items():
        np.testing.assert_allclose(kernel, expected[layer], rtol=1e-5, atol=1e-6)
        assert not np.allclose(kernel, raw[layer])
    for live, weights in zip(trainer.model.weights, history[-1]):  # swapped back after saving
        np.testing.assert_array_equal(live.numpy(), weights)


def test_resume_continues_the_average(tmp_path):
    data = make_train_data(num_images=8, seed=3)
    batches = [(data[0][i:i + 4], data[1][i:i + 4]) for i in (0, 4)]
    first = make_trainer(tmp_path / "a", ema=DECAY, ema_tau=TAU, keep_state=True, metric_names=["total-loss"])
    first.train(1, batches, None, None)
    resumed = make_trainer(tmp_path / "b", ema=DECAY, ema_tau=TAU, resume=first.checkpoint,
                           metric_names=["total-loss"])
    assert int(resumed._average_updates.numpy()) == 2
    for a, b in zip(first._averages, resumed._averages):
        np.testing.assert_array_equal(a.numpy(), b.numpy())
    # One more step on both: the same average (update 3 of the same decay ramp).
    for trainer in (first, resumed):
        trainer.train_step(batches[0])
    for a, b in zip(first._averages, resumed._averages):
        np.testing.assert_allclose(a.numpy(), b.numpy(), rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("at_call", [1, 2], ids=["swapping-in", "swapping-back"])
def test_ctrl_c_during_a_swap_stops_training_with_the_raw_weights(tmp_path, at_call):
    """A Ctrl-C that lands while the weights are swapped for a save: training stops (the
    interrupt is not lost) and the model holds its trained weights, not a mix of both sets."""
    trainer = make_trainer(tmp_path, ema=DECAY, ema_tau=TAU, metric_names=["total-loss"])
    raw = steps(trainer, 2)[-1]
    weight = trainer.model.weights[len(trainer.model.weights) // 2]
    assign, calls = weight.assign, []

    def assign_then_interrupt(value, *args, **kwargs):
        calls.append(value)
        if len(calls) == at_call:
            os.kill(os.getpid(), signal.SIGINT)  # handled mid-swap, at the next bytecode
        return assign(value, *args, **kwargs)

    weight.assign = assign_then_interrupt
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            trainer.train(1, [], None, None)
    finally:
        signal.signal(signal.SIGINT, previous)
        del weight.assign
    assert len(calls) == 2  # swapped in and back, whichever swap was interrupted
    for live, expected in zip(trainer.model.weights, raw):
        np.testing.assert_array_equal(live.numpy(), expected)


@pytest.mark.parametrize("kwargs,message", [({"ema": 1.0}, "ema must lie"), ({"ema": 0.9, "ema_tau": 0}, "ema_tau")])
def test_bad_settings(tmp_path, kwargs, message):
    with pytest.raises(ValueError, match=message):
        make_trainer(tmp_path, metric_names=["total-loss"], **kwargs)


def test_integer_weights_take_part_as_they_are(tmp_path):
    """A normalisation layer's sample count (an int64 weight, as in some Keras Applications) does
    not stop the averaging step; the averaged model carries the count as it is."""
    inputs = tf.keras.Input(shape=(None, None, 3), name="image")
    normalised = tf.keras.layers.Normalization(name="norm")(inputs)
    x = tf.keras.layers.Conv2D(4, 3, padding="same", activation="relu", name="stem")(normalised)
    features = tf.keras.layers.GlobalAveragePooling2D(name="pool")(x)
    model = tf.keras.Model(inputs, [tf.keras.layers.GlobalMaxPooling2D(name="input_peak")(inputs)] +
                           [tf.keras.layers.Dense(n, name=name)(features)
                            for n, name in ((4, "box_head"), (3, "class_head"), (1, "objectness_head"))])
    (count,) = [w for w in model.weights if "int" in str(w.dtype)]
    count.assign(7)
    trainer = make_trainer(tmp_path, model=model, ema=DECAY, ema_tau=TAU, metric_names=["total-loss"])
    steps(trainer, 2)
    trainer.train(1, [], None, None)
    loaded = tf.keras.models.load_model(trainer.last, compile=False)
    assert [int(w.numpy()) for w in loaded.get_layer("norm").weights if "int" in str(w.dtype)] == [7]
