"""The logger's per-call cost: TensorBoard.update_metrics with five scalar values.

Two loggers in one process get the same calls, shaped as the training loop makes them
(an empty metrics dictionary; losses holding three loss tensors, the step time as a float
and the learning rate as a tensor):
- "native": the logger as built, its points written straight into its own event file;
- "tf.summary": the same logger with its writer replaced by another tf.summary writer, so
  its points go through the compiled tf.summary write (the logger's earlier path).
Both flush once per call. Repetitions alternate between the two; the fastest and the
median repetition of each are reported in microseconds per call, with their ratio, and the
cost of the writer's flush alone for reference (target: at most 60 us per call).

Timed back to back, calls find caches warm and TensorFlow's threads idle; in training each
call follows a step. The second table times each call alone right after a small compiled
step (its losses as the tensors the logger gets), which is what the training loop pays.

Run: python bench/bench_logger.py [--calls 2000] [--repeats 7]
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")

import absl.logging  # noqa: E402
import tensorflow as tf  # noqa: E402

from orvane.kestrix.callbacks.tensorboard import TensorBoard  # noqa: E402

NAMES = ["total-loss", "box-loss", "class-loss", "step-time (seconds)", "learning-rate"]
TARGET_US = 60.0


def make_losses(step):
    return {"total-loss": tf.constant(1.0 + step), "box-loss": tf.constant(0.5), "class-loss": tf.constant(0.25),
            "step-time (seconds)": 0.01, "learning-rate": tf.constant(1e-3)}


def per_call_us(fn, calls):
    # The same few dictionaries in turn: building tensors is the step's cost, not the logger's.
    inputs = [make_losses(i) for i in range(8)]
    start = time.perf_counter()
    for i in range(calls):
        fn({}, dict(inputs[i % 8]))
    return (time.perf_counter() - start) / calls * 1e6


def after_step_us(fn, calls):
    """Mean time of fn(metrics, losses) alone, each call right after a compiled step."""
    weights = tf.Variable(tf.random.normal([96, 96], seed=1))

    @tf.function
    def step():
        x = tf.reduce_mean(tf.matmul(weights, weights))
        return {"total-loss": x + 1.0, "box-loss": x * 0.5, "class-loss": x * 0.25}

    total = 0.0
    for _ in range(calls):
        losses = step()
        float(losses["total-loss"])  # the loop's postfix reads it
        losses["step-time (seconds)"] = 0.01
        losses["learning-rate"] = 1e-3
        start = time.perf_counter()
        fn({}, losses)
        total += time.perf_counter() - start
    return total / calls * 1e6


def report(title, times):
    print(title)
    print(f"{'path':>12} {'fastest':>9} {'median':>9}")
    for name, values in times.items():
        print(f"{name:>12} {min(values):9.1f} {statistics.median(values):9.1f}")
    print(f"native / tf.summary: {min(times['native']) / min(times['tf.summary']):.3f} (fastest), "
          f"{statistics.median(times['native']) / statistics.median(times['tf.summary']):.3f} (median)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    absl.logging.set_verbosity(absl.logging.ERROR)

    with tempfile.TemporaryDirectory() as root:
        native = TensorBoard(os.path.join(root, "native"), list(NAMES))
        through_tf = TensorBoard(os.path.join(root, "tf"), list(NAMES))
        through_tf.writer = tf.summary.create_file_writer(os.path.join(root, "tf-events"))
        loggers = {"native": native.update_metrics, "tf.summary": through_tf.update_metrics}
        for fn in loggers.values():  # traces, file creation
            per_call_us(fn, 50)
        times = {name: [] for name in loggers}
        times["flush alone"] = []
        stepped = {name: [] for name in times}
        flush = lambda metrics, losses: native.writer.flush()  # noqa: E731
        for _ in range(args.repeats):
            for name, fn in (*loggers.items(), ("flush alone", flush)):
                times[name].append(per_call_us(fn, args.calls))
                stepped[name].append(after_step_us(fn, args.calls // 4))

    report(f"update_metrics with {len(NAMES)} scalars, {args.calls} calls back to back x {args.repeats} "
           "repetitions (us per call)", times)
    report(f"the same, each call right after a compiled step, {args.calls // 4} calls x {args.repeats} "
           "repetitions (us per call)", stepped)
    fastest = min(times["native"])
    verdict = "within" if fastest <= TARGET_US else "above"
    print(f"native fastest back to back {fastest:.1f} us per call: {verdict} the target of {TARGET_US:.0f} us")
    return 0


if __name__ == "__main__":
    sys.exit(main())
