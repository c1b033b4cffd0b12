"""Compiled SegmentationLoss forward and backward against the same losses written in plain TensorFlow.

Each side is one ``tf.function`` computing the four named losses and the gradient of
"total-loss" with respect to the logits, on the same ``[batch, size, size, classes]`` logits and
``[batch, size, size]`` mask, in one process. Two baselines:

- "reference": the plain-op composition the tests check the loss against
  (tests/python/segmentation_reference.py), whose cross-entropy is written out as
  ``-sum(t * log(p))``;
- "same ops": the loss's own composition transcribed into Python (the same TensorFlow and Keras
  calls, Keras's ``categorical_crossentropy`` included), which isolates what building the graph
  from C++ costs.

Repetitions alternate between the three and the median of each is reported, with the ratios
(target: at most 1.1).

Run: python bench/bench_segmentation_loss.py [--batch 8] [--size 128] [--classes 21] [--calls 20]
"""
import argparse
import os
import statistics
import sys
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from orvane.kestrix.losses.segmentation import SegmentationLoss  # noqa: E402
from segmentation_reference import reference_losses  # noqa: E402


def same_ops(mask, logits):
    """The loss's composition, op for op, in Python."""
    num_classes = logits.shape[-1]
    mask = tf.image.resize(tf.expand_dims(mask, 3), logits.shape[1:3], tf.image.ResizeMethod.NEAREST_NEIGHBOR)
    b, h, w, _ = mask.shape
    labels = tf.cast(tf.reshape(mask, [-1]), tf.int32)
    y_true = tf.one_hot(labels, num_classes)
    y_pred = tf.nn.softmax(tf.reshape(logits, (b * h * w, -1)))
    class_loss = 1.0 * tf.reduce_mean(tf.keras.metrics.categorical_crossentropy(y_true, y_pred))
    t, p = tf.reshape(y_true, [-1]), tf.reshape(y_pred, [-1])
    iou_loss = 1.0 * (1 - (2.0 * tf.reduce_sum(t * p) + 1.0) / (tf.reduce_sum(t) + tf.reduce_sum(p) + 1.0))
    background = tf.cast(tf.logical_or(labels <= 0, labels >= num_classes), tf.int32)
    wrong = tf.cast(tf.argmax(y_pred, axis=-1) > 0, tf.int32) * background
    negative = tf.math.divide_no_nan(tf.cast(tf.reduce_sum(wrong), tf.float64),
                                     tf.cast(tf.reduce_sum(background), tf.float64))
    total = class_loss + iou_loss + tf.cast(negative, tf.float32)
    return {"total-loss": total, "iou-loss": iou_loss, "class-loss": class_loss, "negative-loss": negative}


def compiled_step(compute):
    @tf.function
    def step(mask, logits):
        with tf.GradientTape() as tape:
            tape.watch(logits)
            losses = compute(mask, logits)
        return losses, tape.gradient(losses["total-loss"], logits)

    return step


def timed(step, mask, logits, calls):
    """(wall seconds, process CPU seconds) of `calls` steps, waiting for every result."""
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(calls):
        losses, grad = step(mask, logits)
        grad.numpy()
    return time.perf_counter() - wall, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--size", type=int, default=128)
    parser.add_argument("--classes", type=int, default=21)
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    shape = (args.batch, args.size, args.size)
    mask = tf.constant(rng.integers(0, args.classes, shape).astype(np.int32))
    logits = tf.constant(rng.normal(0, 2, shape + (args.classes,)).astype(np.float32))
    loss = SegmentationLoss(args.classes)
    steps = {"SegmentationLoss": compiled_step(loss.compute_loss), "reference": compiled_step(reference_losses),
             "same ops": compiled_step(same_ops)}

    ours = steps["SegmentationLoss"](mask, logits)[0]
    gap = max(abs(float(ours[k]) - float(steps[name](mask, logits)[0][k])) for k in ours for name in steps)
    runs = {name: [] for name in steps}
    for name, step in steps.items():
        timed(step, mask, logits, 3)  # warm up
    for _ in range(args.repeats):
        for name, step in steps.items():
            runs[name].append(timed(step, mask, logits, args.calls))

    print(f"logits {list(logits.shape)}, {args.calls} compiled forward+backward calls, {args.repeats} alternating "
          f"repetitions; largest loss difference {gap:.2e}")
    for clock, index in (("wall", 0), ("CPU", 1)):
        for pick_name, pick in (("fastest", min), ("median", statistics.median)):
            ours_s, ref_s, same_s = (pick(r[index] for r in runs[name]) / args.calls for name in steps)
            print(f"  {clock:4s} {pick_name:7s}  SegmentationLoss {ours_s * 1e3:7.2f} ms  "
                  f"reference {ref_s * 1e3:7.2f} ms (ratio {ours_s / ref_s:.3f})  "
                  f"same ops {same_s * 1e3:7.2f} ms (ratio {ours_s / same_s:.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
