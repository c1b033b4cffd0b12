"""The detector family's sizes: parameters and training throughput at two input sizes.

For each size (t, n, s, m) and input size (320, 640 by default): the parameter count, and training
images per second of the compiled step (model, DetectionLoss, gradients, optimizer update) on a
fixed batch after one untimed step that builds the graph, with the time that first step took.
All figures come from this one process; run it on an idle machine for absolute numbers.

Run: nice python bench/bench_family.py [--sizes t,n,s,m] [--imgsz 320,640] [--batch 8] [--steps 5]
"""
import argparse
import os
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from orvane.kestrix.losses.detection import DetectionLoss  # noqa: E402
from orvane.kestrix.models import build_detector  # noqa: E402


def measure(size, imgsz, batch, steps):
    model = build_detector(1, (imgsz, imgsz, 3), size)
    loss = DetectionLoss(1)
    optimizer = tf.keras.optimizers.Adam(1e-3)
    optimizer.build(model.trainable_variables)  # as the trainer does: one trace of the step
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (batch, imgsz, imgsz, 3), dtype=np.uint8)
    corners = np.sort(rng.uniform(0, imgsz, (batch, 4, 2, 2)), axis=2).reshape(batch, 4, 4)
    boxes = np.concatenate([corners, np.zeros((batch, 4, 1))], -1).astype(np.float32)

    @tf.function
    def step(x, y):
        with tf.GradientTape() as tape:
            outputs = model(tf.cast(x, tf.float32) / 255.0, training=True)
            total = loss.compute_loss([y], tuple(outputs))["total-loss"]
        grads = tape.gradient(total, model.trainable_variables)
        optimizer.apply_gradients(zip(grads, model.trainable_variables))
        return total

    start = time.perf_counter()
    float(step(images, boxes))
    first = time.perf_counter() - start
    start = time.perf_counter()
    for _ in range(steps):
        value = step(images, boxes)
    float(value)
    return model.count_params(), batch * steps / (time.perf_counter() - start), first


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="t,n,s,m")
    parser.add_argument("--imgsz", default="320,640")
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--steps", type=int, default=5)
    args = parser.parse_args()
    print("size  imgsz  parameters  train img/s  first step s", flush=True)
    for size in args.sizes.split(","):
        for imgsz in (int(v) for v in args.imgsz.split(",")):
            params, rate, first = measure(size, imgsz, args.batch, args.steps)
            print("%4s  %5d  %10d  %11.2f  %12.0f" % (size, imgsz, params, rate, first), flush=True)


if __name__ == "__main__":
    main()
