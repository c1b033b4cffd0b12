"""What DetectionTrainer.train costs beyond its compiled step, as ratios taken in one process.

Every comparison runs on the same small model, loss and in-memory ``tf.data`` batches (default
60 steps of batch 8 at 128x128), with the real ``TensorBoard`` logger listing the step's
losses, "step-time (seconds)" and "learning-rate", and an Adam optimizer on the package's
``WarmUpCosineDecay``. Repetitions alternate between the sides of a comparison; the fastest
of each side is compared (the machine may be shared, and the fastest run is the one least
disturbed), the median is shown too.

1. loop: one epoch of ``train`` against a bare Python loop over the same compiled
   ``train_step`` (target: at most 1.05). ``train`` also saves ``last.h5`` once per epoch.
2. fit: one epoch of ``train`` against one epoch of Keras ``model.fit`` with ``verbose=1`` and
   Keras' TensorBoard callback writing every batch (``update_freq=1``; ``write_graph`` and the
   profiler off, so the callback does only the per-batch logging). The fit model is a
   ``keras.Model`` subclass around the same functional model whose ``train_step`` is the
   trainer's (normalise, forward, ``compute_loss``, gradient, ``apply_gradients``) and returns
   the same loss dictionary; it is compiled without XLA, like the trainer's step, and has its
   own optimizer of the same kind (target: at most 1.0).
3. work: the loop's own per-step work timed alone: the learning-rate read (train over a
   stand-in step that only advances the optimizer's counter, with the schedule against a
   constant rate that costs nothing to read; the counter moves only in the train runs, so
   they see consecutive steps as the epochs of a real training do, 4,096 a run), the
   logger's ``update_metrics`` with the five values of a real step, and the rest of the loop
   (bar, postfix, clock).
4. memory: resident memory growth over 5,000 training steps with logging (after the first
   200) and over 50 validation passes through the trainer with the package's runner and
   evaluator on a detection model (after the first pass) (target: at most 50 MB each).

Run: PYTHONPATH=src python bench/bench_train_loop.py [--parts loop,fit,work,memory]
     [--steps 60] [--batch 8] [--size 128] [--repeats 11]
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
from orvane.kestrix.schedulers.scheduler import WarmUpCosineDecay  # noqa: E402
from orvane.kestrix.trainer.detection import DetectionTrainer  # noqa: E402

STEP_NAMES = ["total-loss", "box-loss", "class-loss", "step-time (seconds)", "learning-rate"]

# Progress bars and status lines go here; kept open for the whole run.
SINK = open(os.devnull, "w")


def quiet():
    stack = contextlib.ExitStack()
    stack.enter_context(contextlib.redirect_stderr(SINK))
    stack.enter_context(contextlib.redirect_stdout(SINK))
    return stack


def make_model(num_classes=3, seed=0):
    tf.keras.utils.set_random_seed(seed)
    inputs = tf.keras.Input(shape=(None, None, 3))
    x = inputs
    for filters in (16, 32, 32):
        x = tf.keras.layers.Conv2D(filters, 3, strides=2, padding="same", activation="relu")(x)
    features = tf.keras.layers.GlobalAveragePooling2D()(x)
    heads = [tf.keras.layers.Dense(units)(features) for units in (4, num_classes, 1)]
    return tf.keras.Model(inputs, [features, *heads])


def make_optimizer():
    return tf.keras.optimizers.Adam(WarmUpCosineDecay(start_lr=1e-5, target_lr=1e-3, warmup_steps=100,
                                                      total_steps=100_000, hold=50))


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


class ConstantRate:
    """An optimizer in the older style whose `lr` is a plain number: a rate read costs nothing."""

    lr = 1e-3

    def __init__(self):
        self.iterations = tf.Variable(0, dtype=tf.int64)

    def build(self, variables):
        pass


class FitModel(tf.keras.Model):
    """The trainer's step as a Keras train_step, around the same functional model."""

    def __init__(self, inner, loss):
        super().__init__()
        self.inner, self.detection_loss = inner, loss

    def call(self, images, training=False):
        return self.inner(images, training=training)

    def train_step(self, data):
        images, boxes = data
        x = tf.cast(images, tf.float32) / 255.0
        with tf.GradientTape() as tape:
            losses = self.detection_loss.compute_loss((boxes,), tuple(self.inner(x, training=True)))
        variables = self.inner.trainable_variables
        gradients = tape.gradient(losses["total-loss"], variables)
        self.optimizer.apply_gradients(zip(gradients, variables))
        return losses


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


def alternate(runs, repeats):
    """{name: [(wall, cpu), ...]} of `repeats` alternating rounds over the named callables."""
    times = {name: [] for name in runs}
    for run in runs.values():  # trace and warm up every side
        run()
    for _ in range(repeats):
        for name, run in runs.items():
            times[name].append(timed(run))
    return times


def report(title, times, base, other, steps, target):
    print(title)
    for clock, index in (("wall", 0), ("CPU", 1)):
        for name, pick in (("fastest", min), ("median", statistics.median)):
            b, f = pick(r[index] for r in times[base]), pick(r[index] for r in times[other])
            print(f"    {clock:4s} {name:7s}  {base} {b:6.3f} s  {other} {f:6.3f} s  ratio {f / b:.3f}  "
                  f"({(f - b) / steps * 1e3:+.3f} ms/step){'  (target ' + target + ')' if name == 'fastest' and clock == 'wall' else ''}")


def make_trainer(root, logger, optimizer=None, model=None, **kwargs):
    model = model if model is not None else make_model()
    optimizer = optimizer if optimizer is not None else make_optimizer()
    optimizer.build(model.trainable_variables)
    with quiet():
        return DetectionTrainer(model, None, optimizer, Loss(), logger, os.path.join(root, "runs"),
                                classes=kwargs.pop("classes", []), **kwargs)


def bare_loop(trainer, dataset):
    def run():
        for data in dataset:
            trainer.train_step(data)
    return run


def train_loop(trainer, dataset, epoch=1):
    def run():
        with quiet():
            trainer.train(epoch, dataset, start=epoch)
    return run


def part_loop(args, root, logger, dataset):
    trainer = make_trainer(root, logger)
    times = alternate({"bare": bare_loop(trainer, dataset), "train": train_loop(trainer, dataset)}, args.repeats)
    save = min(timed(lambda: trainer.save_model(0.0))[0] for _ in range(3))
    report(f"1. train against the bare loop ({args.steps} steps; train includes one last.h5 save, "
           f"{save * 1e3:.1f} ms):", times, "bare", "train", args.steps, "<= 1.05")
    bare, train = min(r[0] for r in times["bare"]), min(r[0] for r in times["train"])
    print(f"    of the fastest train: the epoch-end save {save / train * 100:.1f}%, "
          f"the rest of train's own work {(train - bare - save) / args.steps * 1e6:+.0f} us/step "
          f"(ratio without the save's time {(train - save) / bare:.3f})")


def part_fit(args, root, logger, dataset):
    model = make_model()
    trainer = make_trainer(root, logger, model=model)
    fit_model = FitModel(model, Loss())
    fit_model.compile(optimizer=make_optimizer(), jit_compile=False)
    callback = tf.keras.callbacks.TensorBoard(os.path.join(root, "fit-logs"), update_freq=1, write_graph=False,
                                              profile_batch=0)

    def fit():
        with quiet():
            fit_model.fit(dataset, epochs=1, verbose=1, callbacks=[callback])

    times = alternate({"fit": fit, "train": train_loop(trainer, dataset)}, args.repeats)
    report(f"2. train against Keras fit (verbose=1, TensorBoard update_freq=1), {args.steps} steps:", times,
           "fit", "train", args.steps, "<= 1.0")


def part_work(args, root, logger, dataset):
    """Per-step work of the loop without a model step."""
    # Runs of 4,096 steps: in steady training the reader evaluates the schedule 4,096 steps at
    # a time, so every timed train run holds exactly one such evaluation.
    steps = 4096
    # A list of one batch: the loop's own work is a few tens of microseconds, and a tf.data
    # iterator's next() (a few hundred, varying) would bury it.
    batches = [next(iter(dataset))] * steps
    stepper = make_trainer(root, NullLogger(logger))  # kept: the compiled step binds it weakly
    record = dict(stepper.train_step(next(iter(dataset))))
    runs, trainers = {}, []
    for label, optimizer, advance in (("schedule", make_optimizer(), 1), ("lookup", make_optimizer(), 0),
                                      ("constant", ConstantRate(), 1)):
        trainer = make_trainer(root, NullLogger(logger), optimizer=optimizer)
        # Advanced through the plain variable underneath (Keras 3's own assign_add costs a few
        # hundred microseconds of Python, which would swamp what is measured).
        counter = optimizer.iterations
        counter = counter if isinstance(counter, tf.Variable) else counter.value
        # The counter moves only while train runs (the bare loop adds 0, at the same cost), so
        # the train runs see consecutive steps as epochs of real training do; with `advance` 0
        # it never moves and every read finds the run it is in.
        moving = [0]

        def stand_in(data, counter=counter, moving=moving):
            counter.assign_add(moving[0])
            return dict(record)

        def moved(run, by, moving=moving):
            def go():
                moving[0] = by
                run()
            return go

        trainer.train_step = stand_in
        trainers.append((label, trainer))
        runs[label + " bare"] = moved(bare_loop(trainer, batches), 0)
        runs[label + " train"] = moved(train_loop(trainer, batches), advance)
    # One alternation over every side of every variant: drift of the machine's speed between
    # variants would otherwise be taken for a difference of a few microseconds.
    times = alternate(runs, 9)
    per_step = {}
    for label, trainer in trainers:
        save = min(timed(lambda: trainer.save_model(0.0))[1] for _ in range(3))
        save_wall = min(timed(lambda: trainer.save_model(0.0))[0] for _ in range(3))
        per_step[label] = [(min(r[i] for r in times[label + " train"]) - min(r[i] for r in times[label + " bare"])
                            - cost) / steps for i, cost in ((0, save_wall), (1, save))]

    record["step-time (seconds)"], record["learning-rate"] = 0.003, 0.001
    calls = 2000
    log = min(timed(lambda: [logger.update_metrics({}, record) for _ in range(calls)])[0] for _ in range(3)) / calls
    print(f"3. the loop's own work per step (wall / CPU; stand-in step, no-op logger, {steps} steps):")
    rate = [(s - c) * 1e6 for s, c in zip(per_step["schedule"], per_step["constant"])]
    lookup = [(s - c) * 1e6 for s, c in zip(per_step["lookup"], per_step["constant"])]
    print(f"    learning-rate read from the schedule  {rate[0]:7.1f} / {rate[1]:5.1f} us  (target <= 40)")
    print(f"      of which the counter read + lookup  {lookup[0]:7.1f} / {lookup[1]:5.1f} us "
          "(the rest: the runs' compiled evaluations)")
    print(f"    bar, postfix, clock, loss read        {per_step['constant'][0] * 1e6:7.1f} / "
          f"{per_step['constant'][1] * 1e6:5.1f} us")
    print(f"    logger update_metrics, 5 values       {log * 1e6:7.1f} us (wall, on its own)")


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def part_memory(args, root, logger, dataset):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from bench_validator import make_detector  # noqa: E402  (the detection-contract model)
    from orvane.validator.evaluators import DetectionEvaluator  # noqa: E402
    from orvane.validator.runners import DetectionRunner  # noqa: E402

    trainer = make_trainer(root, logger)
    epoch = make_data(200, args.batch, args.size)
    with quiet():
        trainer.train(1, epoch)
        before = rss_mb()
        trainer.train(25, epoch, start=2)  # 24 more epochs of 200 steps: 5,000 in all
    after = rss_mb()
    print(f"4. memory (RSS from /proc/self/statm):")
    print(f"    5,000 training steps with logging: {before:.0f} MB after 200, {after:.0f} MB after 5,000, "
          f"growth {after - before:+.1f} MB (target <= 50)")

    classes = [f"class{k}" for k in range(20)]
    detector = make_detector()
    evaluator = DetectionEvaluator(DetectionRunner(detector, (320, 320), classes), classes)
    val_trainer = make_trainer(root, logger, model=detector, classes=classes, display=2)
    rng = np.random.default_rng(1)
    images = rng.integers(0, 256, (20, 1, 240, 320, 3), dtype=np.uint8)
    corners = np.sort(rng.uniform(0, 1, (20, 1, 3, 2, 2)), axis=3).reshape(20, 1, 3, 4)
    labels = rng.integers(0, 20, (20, 1, 3, 1)).astype(np.float32)
    names = np.array([[f"image_{k}.jpg".encode()] for k in range(20)])
    val_ds = tf.data.Dataset.from_tensor_slices((images, np.concatenate([corners, labels], -1).astype(np.float32),
                                                 names))
    with quiet():
        val_trainer.train(0, None, val_ds, evaluator)
        before = rss_mb()
        for _ in range(49):
            val_trainer.train(0, None, val_ds, evaluator)
    after = rss_mb()
    print(f"    50 validation passes of 20 images: {before:.0f} MB after the first, {after:.0f} MB after 50, "
          f"growth {after - before:+.1f} MB (target <= 50)")


PARTS = {"loop": part_loop, "fit": part_fit, "work": part_work, "memory": part_memory}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--parts", default=",".join(PARTS), help="comma-separated: " + ", ".join(PARTS))
    parser.add_argument("--steps", type=int, default=60)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--size", type=int, default=128)
    parser.add_argument("--repeats", type=int, default=11)
    args = parser.parse_args()
    parts = [p.strip() for p in args.parts.split(",") if p.strip()]
    unknown = [p for p in parts if p not in PARTS]
    if unknown:
        parser.error(f"unknown part(s) {unknown}; choose from {list(PARTS)}")
    absl.logging.set_verbosity(absl.logging.ERROR)  # the HDF5 "legacy format" notice on every save

    print(f"{args.steps} steps of batch {args.batch} at {args.size}x{args.size}, {args.repeats} alternating "
          f"repetitions, {tf.keras.__name__.split('.')[0]} {getattr(tf.keras, '__version__', '')}")
    with tempfile.TemporaryDirectory() as root:
        with quiet():
            logger = TensorBoard(os.path.join(root, "logs"), STEP_NAMES)
        dataset = make_data(args.steps, args.batch, args.size)
        list(dataset)  # fill the cache
        for part in parts:
            PARTS[part](args, root, logger, dataset)
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
