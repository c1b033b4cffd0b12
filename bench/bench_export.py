"""Exported detectors against the Keras model they came from, measured in one process.

1. Raw agreement: boxes and scores of the exports without suppression (SavedModel, TFLite
   fp32, ONNX) against the Keras model on the validation images, letter-boxed as the runner
   does: the largest absolute difference (target below 1e-4).
2. Figures: the validation pass of `kestrix val` (runner and evaluator) on the embedded
   dataset's validation split through the Keras weights and through every export with
   suppression in the graph: mAP@0.5 and mAP@0.5:0.95 (targets: fp32 formats equal to 0.1
   point; int8 mAP@0.5 within 2 points of fp32).
3. Latency: one letter-boxed image through each runtime against the Keras model call (compiled,
   the model alone), as a ratio of the fastest of alternating runs (aim: TFLite fp32 <= 0.8).
   The exports include their suppression; the no-suppression exports are timed too.

Without --weights the demo detector is trained briefly first (`kestrix train` on the embedded
dataset at the default recipe), which takes a few minutes on two cores.

Run: PYTHONPATH=src python bench/bench_export.py [--weights RUN/best.h5] [--epochs N] [--runs 30]
"""
import argparse
import glob
import os
import sys
import tempfile
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from orvane.kestrix import export  # noqa: E402
from orvane.kestrix.cli.common import Detector, make_evaluator, open_dataset, read_descriptor  # noqa: E402
from orvane.kestrix.cli.demo_data import ensure_demo_dataset  # noqa: E402
from orvane.kestrix.cli.export import calibration_images  # noqa: E402
from orvane.kestrix.cli.main import main  # noqa: E402
from orvane.kestrix.datasets.utils import letterbox  # noqa: E402
from orvane.kestrix.trainer.detection import validation_pass  # noqa: E402


def train(work, descriptor, epochs):
    extra = [] if epochs is None else ["--epochs", str(epochs)]
    assert main(["train", "--data", descriptor, "--project", work, *extra]) == 0
    return sorted(glob.glob(os.path.join(work, "train", "*", "best.h5")))[-1]


def val_figures(weights, descriptor):
    detector = Detector(weights, None)
    _, kind = read_descriptor(descriptor)
    dataset = open_dataset(descriptor, kind, detector.imgsz)
    classes = list(dataset.classes)
    metrics = validation_pass(dataset.build_val_iterator(), make_evaluator(detector.runner(classes), classes),
                              classes)
    return 100 * float(metrics["mAP"]["0.5"]), 100 * float(metrics["mAP"]["0.5:0.95"])


def fastest(calls, runs, repeat=5):
    """Fastest time of one call per name, runs alternating between the names."""
    best = {name: float("inf") for name in calls}
    for _ in range(runs):
        for name, call in calls.items():
            start = time.perf_counter()
            for _ in range(repeat):
                call()
            best[name] = min(best[name], (time.perf_counter() - start) / repeat)
    return best


def main_bench():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--weights", default=None)
    parser.add_argument("--epochs", type=int, default=None, help="default: the recipe's")
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="bench-export-")
    descriptor = ensure_demo_dataset(None, log=print)
    weights = args.weights or train(os.path.join(work, "runs"), descriptor, args.epochs)
    folder = os.path.join(work, "exports")
    os.makedirs(folder, exist_ok=True)
    stem = os.path.join(folder, "best")

    model = tf.keras.models.load_model(weights, compile=False)
    size = int(model.inputs[0].shape[1])
    _, kind = read_descriptor(descriptor)
    dataset = open_dataset(descriptor, kind, size)
    classes = list(dataset.classes)
    images = [element[0][0].numpy() for element in dataset.build_val_iterator()]
    calibration = calibration_images(dataset, 300)

    paths, raw = {}, {}
    for fmt in export.FORMATS:
        start = time.perf_counter()
        paths[fmt] = export.export_model(model, fmt, stem + export.core.SUFFIXES[fmt], classes=classes,
                                         calibration_images=calibration if fmt == "tflite-int8" else None)
        print("exported %-12s in %5.1f s" % (fmt, time.perf_counter() - start))
    for fmt in ("saved_model", "tflite", "onnx"):
        raw[fmt] = export.export_model(model, fmt, stem + "-raw" + export.core.SUFFIXES[fmt], classes=classes,
                                       nms=False)

    print("\n1. Raw boxes and scores against Keras (%d validation images)" % len(images))
    batches = [letterbox(image, (size, size), auto=False)[0][None] for image in images]
    keras_out = [model(b.astype(np.float32) / 255.0, training=False) for b in batches]
    for fmt, path in raw.items():
        exported = export.ExportedModel(path)
        box_err = score_err = 0.0
        for batch, (boxes, scores) in zip(batches, keras_out):
            got = exported(batch)
            box_err = max(box_err, float(np.abs(got["boxes"] - boxes.numpy()).max()))
            score_err = max(score_err, float(np.abs(got["scores"] - scores.numpy()).max()))
        print("   %-12s boxes %.2e px  scores %.2e" % (fmt, box_err, score_err))

    print("\n2. Validation figures (kestrix val's pass), percent")
    figures = {"keras (.h5)": val_figures(weights, descriptor)}
    for fmt, path in paths.items():
        figures[fmt] = val_figures(path, descriptor)
    for name, (ap50, ap) in figures.items():
        print("   %-12s mAP@0.5 %6.2f  mAP@0.5:0.95 %6.2f" % (name, ap50, ap))
    print("   int8 - fp32 TFLite: mAP@0.5 %+.2f points" % (figures["tflite-int8"][0] - figures["tflite"][0]))

    print("\n3. Latency of one image against the compiled Keras call (fastest of %d alternating runs)" % args.runs)
    batch = batches[0]
    keras_call = tf.function(lambda x: model(tf.cast(x, tf.float32) / 255.0, training=False),
                             input_signature=[tf.TensorSpec([1, size, size, 3], tf.uint8)])
    keras_call(batch)
    calls = {"keras": lambda: [t.numpy() for t in keras_call(batch)]}
    for fmt, path in list(paths.items()) + [(f + " no-nms", p) for f, p in raw.items()]:
        exported = export.ExportedModel(path)
        exported(batch)
        calls[fmt] = (lambda e: lambda: e(batch))(exported)
    best = fastest(calls, args.runs)
    for name, seconds in best.items():
        print("   %-20s %7.3f ms  ratio %.2f" % (name, 1000 * seconds, seconds / best["keras"]))


if __name__ == "__main__":
    sys.exit(main_bench())
