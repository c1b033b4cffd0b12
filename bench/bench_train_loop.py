"""One training epoch through DetectionTrainer.train against a bare loop over the same step.

Both loops run the trainer's own compiled ``train_step`` on the same model and the same
in-memory ``tf.data`` batches, in one process; the difference is what ``train`` adds per
step (progress bar and postfix, step time, learning-rate read, the logger call) and per
epoch (the ``last.h5`` checkpoint). Repetitions alternate between the two loops and the
median of each is reported, with their ratio (target: at most 1.05).

Run: python bench/bench_train_loop.py [--steps 60] [--batch 8] [--size 128] [--repeats 5]
"""
import argparse
import contextlib
import os
import statistics
import sys
import tempfile
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")

import absl.logging  # noqa: E402
import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from orvane.kestrix.callbacks.tensorboard import TensorBoard  # noqa: E402
from orvane.kestrix.trainer.detection import DetectionTrainer  # noqa: E402


def make_model(num_classes=3):
    inputs = tf.keras.Input(shape=(None, None, 3))
    x = inputs
    for filters in (16, 32, 32):
        x = tf.keras.layers.Conv2D(filters, 3, strides=2, padding="same", activation="relu")(x)
    features = tf.keras.layers.GlobalAveragePooling2D()(x)
    heads = [tf.keras.layers.Dense(units)(features) for units in (4, num_classes, 1)]
    return tf.keras.Model(inputs, [features, *heads])


class Loss:
    def compute_loss(self, targets, outputs):
        boxes = targets[0]
        _, box, cls, obj = outputs
        box_loss = tf.reduce_mean(tf.square(box - tf.reduce_mean(boxes[..., :4], axis=1) / 128.0))
        class_loss = tf.reduce_mean(tf.square(cls)) + tf.reduce_mean(tf.square(obj - 1.0))
        return {"total-loss": box_loss + class_loss, "box-loss": box_loss, "class-loss": class_loss}


class NullLogger:
    """Stands in for the logger to separate the trainer's own cost from the logger's."""

    def __init__(self, real):
        self.writer, self.time_stamp = real.writer, real.time_stamp + "-null"

    def update_metrics(self, metrics, losses):
        pass


def make_data(steps, batch, size):
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, size=(steps * batch, size, size, 3), dtype=np.uint8)
    boxes = rng.uniform(0, size, size=(steps * batch, 4, 5)).astype(np.float32)
    return tf.data.Dataset.from_tensor_slices((images, boxes)).batch(batch).cache()


def timed(fn):
    """(wall seconds, process CPU seconds) of fn()."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def bare_epoch(trainer, dataset):
    def run():
        for data in dataset:
            trainer.train_step(data)

    return timed(run)


# Progress bars and status lines go here; kept open for the whole run.
SINK = open(os.devnull, "w")


def train_epoch(trainer, dataset):
    with contextlib.redirect_stderr(SINK), contextlib.redirect_stdout(SINK):
        return timed(lambda: trainer.train(1, dataset))


def fixed_cost_per_step(trainer, dataset, steps, save):
    """Seconds per step that train adds around a step that does no model work.

    The step is replaced (on the instance) by one returning the loss record of a real step, so
    the difference to a bare loop over the same replacement is the per-step work of the loop:
    progress bar, postfix, step time, learning-rate read and the logger call.
    """
    record = trainer.train_step(next(iter(dataset)))
    trainer.train_step = lambda data: dict(record)
    try:
        runs = []
        for _ in range(5):
            bare = bare_epoch(trainer, dataset)[1]
            full = train_epoch(trainer, dataset)[1]
            runs.append((full - bare - save) / steps)
        return statistics.median(runs)
    finally:
        del trainer.train_step


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--steps", type=int, default=60)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--size", type=int, default=128)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    absl.logging.set_verbosity(absl.logging.ERROR)  # the HDF5 "legacy format" notice on every save
    sink = SINK

    with tempfile.TemporaryDirectory() as root:
        with contextlib.redirect_stdout(sink):
            logger = TensorBoard(os.path.join(root, "logs"),
                                 ["total-loss", "box-loss", "class-loss", "step-time (seconds)", "learning-rate"])
        dataset = make_data(args.steps, args.batch, args.size)
        results = {}
        for label, chosen in (("TensorBoard logger", logger), ("no-op logger", NullLogger(logger))):
            model = make_model()
            optimizer = tf.keras.optimizers.Adam(
                tf.keras.optimizers.schedules.ExponentialDecay(1e-3, decay_steps=100, decay_rate=0.9))
            with contextlib.redirect_stdout(sink):
                trainer = DetectionTrainer(model, None, optimizer, Loss(), chosen, os.path.join(root, "runs"),
                                           classes=[])
            bare_epoch(trainer, dataset)  # trace and warm up both paths
            train_epoch(trainer, dataset)
            bare, full = [], []
            for _ in range(args.repeats):
                bare.append(bare_epoch(trainer, dataset))
                full.append(train_epoch(trainer, dataset))
            save = statistics.median(timed(lambda: trainer.save_model(0.0))[0] for _ in range(3))
            fixed = fixed_cost_per_step(trainer, dataset, args.steps, save)
            results[label] = (bare, full, save, fixed)

    print(f"epoch of {args.steps} steps, batch {args.batch}, {args.size}x{args.size} images, "
          f"{args.repeats} alternating repetitions")
    for label, (bare, full, save, fixed) in results.items():
        step = min(r[1] for r in bare) / args.steps
        print(f"  {label}: last.h5 save {save * 1e3:.1f} ms per epoch; loop work {fixed * 1e3:.3f} ms per step "
              f"(CPU) = {fixed / step * 100:.1f}% of a bare step of {step * 1e3:.1f} ms; "
              f"estimated ratio {(step * args.steps + fixed * args.steps + save) / (step * args.steps):.3f}")
        for clock, index in (("wall", 0), ("CPU", 1)):
            for name, pick in (("fastest", min), ("median", statistics.median)):
                b, f = pick(r[index] for r in bare), pick(r[index] for r in full)
                print(f"    {clock:4s} {name:7s}  bare loop {b:6.3f} s  train {f:6.3f} s  ratio {f / b:.3f}  "
                      f"(train adds {(f - b) / args.steps * 1e3:+.3f} ms/step)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
