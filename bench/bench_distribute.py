"""The cost of the distributed path and of the training state, at the default recipe.

In one process, on the recipe's detector, optimizer, loss, batch and image size, with in-memory
batches (one epoch of the embedded demo dataset's length by default):

1. the epoch time of ``DetectionTrainer.train`` with the model built under a one-replica
   ``MirroredStrategy`` against the same run without a strategy, both keeping their state
   (target: at most 1.05);
   repetitions alternate between the two and the medians are compared;
2. the time of one write of the training state (the CheckpointManager save the trainer makes
   after every epoch with ``keep_state``) against the epoch time (target: at most 2%).

Run: python bench/bench_distribute.py [--steps 63] [--repeats 5]
"""
import argparse
import contextlib
import io
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
from orvane.kestrix.cli import recipe  # noqa: E402
from orvane.kestrix.trainer.detection import DetectionTrainer  # noqa: E402

NUM_CLASSES = 4  # the demo dataset's three shapes and the background


def make_data(steps, batch, size):
    rng = np.random.default_rng(0)
    n = steps * batch
    images = rng.integers(0, 256, size=(n, size, size, 3), dtype=np.uint8)
    corners = np.sort(rng.uniform(0, size, size=(n, 2, 2, 2)), axis=2)  # [n, box, (x, y), (lo, hi)]
    x1, x2 = corners[:, :, 0, 0], corners[:, :, 0, 1] + 4
    y1, y2 = corners[:, :, 1, 0], corners[:, :, 1, 1] + 4
    cls = rng.integers(1, NUM_CLASSES, size=(n, 2))
    boxes = np.stack([x1, y1, x2, y2, cls], axis=-1).astype(np.float32)
    return tf.data.Dataset.from_tensor_slices((images, boxes)).batch(batch)


def make_trainer(root, steps, strategy=None, keep_state=False):
    r = recipe.RECIPE
    scope = strategy.scope() if strategy is not None else contextlib.nullcontext()
    schedule = recipe.build_schedule(r["lr"], steps * 1000, steps)
    settings = {k: v for k, v in r["optimizer"].items() if k != "name"}
    with scope:
        model = recipe.build_model(NUM_CLASSES, r["imgsz"])
        optimizer = tf.keras.optimizers.Adam(learning_rate=schedule, **settings)
        optimizer.build(model.trainable_variables)
    logger = TensorBoard(os.path.join(root, "logs"), recipe.metric_names())
    return DetectionTrainer(model, None, optimizer, recipe.build_loss(NUM_CLASSES), logger,
                            os.path.join(root, "runs"), H=r["imgsz"], W=r["imgsz"],
                            classes=["background", "circle", "square", "triangle"], keep_state=keep_state)


def epoch_time(trainer, data, epoch):
    with contextlib.redirect_stderr(io.StringIO()), contextlib.redirect_stdout(io.StringIO()):
        started = time.perf_counter()
        trainer.train(epoch, data, start=epoch)
        return time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=63, help="steps per epoch (the demo dataset: 1000 / 16)")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    absl.logging.set_verbosity(absl.logging.ERROR)
    import warnings

    warnings.filterwarnings("ignore")
    r = recipe.RECIPE
    data = make_data(args.steps, r["batch"], r["imgsz"])

    with tempfile.TemporaryDirectory() as root, contextlib.redirect_stdout(io.StringIO()):
        plain = make_trainer(os.path.join(root, "plain"), args.steps, keep_state=True)
        mirrored = make_trainer(os.path.join(root, "mirrored"), args.steps,
                                strategy=tf.distribute.MirroredStrategy(["/cpu:0"]), keep_state=True)
        times = {"plain": [], "mirrored": []}
        for epoch in range(1, args.repeats + 2):  # the first epoch of each traces: not counted
            for name, trainer in (("plain", plain), ("mirrored", mirrored)):
                seconds = epoch_time(trainer, data, epoch)
                if epoch > 1:
                    times[name].append(seconds)
        state_writes = []
        for k in range(args.repeats):
            started = time.perf_counter()
            mirrored._state_manager.save(checkpoint_number=1000 + k)
            state_writes.append(time.perf_counter() - started)

    plain_s, mirrored_s = statistics.median(times["plain"]), statistics.median(times["mirrored"])
    state_s = statistics.median(state_writes)
    print("recipe: imgsz %d, model %s, batch %d; %d steps an epoch, %d repetitions"
          % (r["imgsz"], r["model"], r["batch"], args.steps, args.repeats))
    print("epoch without a strategy:          %.3f s" % plain_s)
    print("epoch under 1-replica Mirrored:    %.3f s   ratio %.3f (target <= 1.05)" % (mirrored_s, mirrored_s / plain_s))
    print("one write of the training state:   %.4f s   %.2f%% of the epoch (target <= 2%%)"
          % (state_s, 100 * state_s / plain_s))
    return 0


if __name__ == "__main__":
    sys.exit(main())
