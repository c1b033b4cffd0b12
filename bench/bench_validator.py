"""Validation cost, as ratios taken in one process.

1. Evaluation: DetectionEvaluator's single_evaluation over every image plus conclude, against
   pycocotools' COCOeval evaluate + accumulate on the same ground truth and detections
   (default 5,000 images, 20 objects and 100 detections each, 10 classes; target >= 10x), with
   the largest difference between the two sets of figures (expected below 1e-6).
2. Running: DetectionRunner.run_single_instance on a 640x480 image against the bare compiled
   model call on the same letter-boxed 320x320 input (target <= 1.2). The model is a small
   convolutional detector with 1,200 boxes and 20 classes whose untrained scores all pass the
   runner's default threshold, the most work its suppression ever meets.

3. Validation pass: the validation pipeline (DarknetDataset.build_val_iterator over 640x480
   JPEG files, batch 1) with the runner on the first image of each element, as the trainer's
   validation pass does it, against the bare compiled model call on the same images already
   decoded and letter-boxed in memory, in throughput (target >= 0.8). The model is the
   package's example detector at 128x128, small enough that the per-image work around the
   model shows.

Run: PYTHONPATH=src python bench/bench_validator.py [--parts runner,evaluation,pass] [--images 5000]
     [--classes 10] [--runs 60]
"""
import argparse
import os
import statistics
import sys
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from cocoref import coco_evaluation, coco_figures, instances_of, random_pass  # noqa: E402
from orvane.kestrix.datasets.utils import letterbox  # noqa: E402
from orvane.validator.evaluators import DetectionEvaluator  # noqa: E402
from orvane.validator.runners import DetectionRunner  # noqa: E402


def bench_evaluation(num_images, num_classes):
    classes, images = random_pass(num_images=num_images, num_classes=num_classes, gt_per_image=(20, 20),
                                  dt_per_image=100, seed=0)
    passes = [instances_of(image) for image in images]
    evaluator = DetectionEvaluator(None, classes)
    times = []
    for _ in range(3):
        start = time.perf_counter()
        evaluator(None)
        for instances in passes:
            state = evaluator.single_evaluation(instances, 1, False)
        metrics = evaluator.conclude(state, epoch=1)
        times.append(time.perf_counter() - start)
    ours = statistics.median(times)

    start = time.perf_counter()
    evaluation = coco_evaluation(classes, images)
    reference_time = time.perf_counter() - start
    reference = coco_figures(evaluation)
    difference = max(abs(metrics[f][k] - reference[f][k]) for f in reference for k in reference[f])
    detections = sum(len(i["dt_boxes"]) for i in images)
    print(f"evaluation of {num_images} images, {detections} detections, {num_classes} classes:")
    print(f"  DetectionEvaluator pass + conclude  {ours:8.3f} s (median of 3)")
    print(f"  pycocotools evaluate + accumulate   {reference_time:8.3f} s (building its index included)")
    print(f"  speed-up {reference_time / ours:.1f}x (target >= 10); largest difference in mAP/mAR {difference:.2e}")


def make_detector(num_classes=20, anchors=3):
    inputs = tf.keras.Input((320, 320, 3))
    x = inputs
    for filters in (16, 32, 64, 64):
        x = tf.keras.layers.Conv2D(filters, 3, strides=2, padding="same", activation="relu")(x)
    cells = 20 * 20 * anchors
    raw = tf.keras.layers.Conv2D(anchors * (4 + num_classes), 1)(x)
    per_box = tf.keras.layers.Reshape((cells, 4 + num_classes))(raw)
    centres = tf.keras.layers.Lambda(lambda t: tf.sigmoid(t[..., :2]) * 320.0)(per_box)
    sizes = tf.keras.layers.Lambda(lambda t: tf.sigmoid(t[..., 2:4]) * 96.0)(per_box)
    boxes = tf.keras.layers.Concatenate()([centres - sizes / 2, centres + sizes / 2])
    scores = tf.keras.layers.Lambda(lambda t: tf.sigmoid(t[..., 4:]))(per_box)
    pooled = tf.keras.layers.GlobalAveragePooling2D()(x)
    return tf.keras.Model(inputs, [pooled, raw, boxes, scores])


def bench_runner(runs):
    model = make_detector()
    classes = [f"class{k}" for k in range(20)]
    runner = DetectionRunner(model, (320, 320), classes)
    rng = np.random.default_rng(0)
    image = rng.integers(0, 256, (480, 640, 3), dtype=np.uint8)
    boxed = letterbox(image, (320, 320))[0][None]
    bare = tf.function(lambda x: model(tf.cast(x, tf.float32) / 255.0, training=False),
                       input_signature=[tf.TensorSpec([None, 320, 320, 3], tf.uint8)])
    for _ in range(5):  # trace and warm up both
        bare(boxed)
        runner.run_single_instance(image)
    bare_times, runner_times = [], []
    for _ in range(runs):  # alternate, so both see the same load
        start = time.perf_counter()
        bare(boxed)
        bare_times.append(time.perf_counter() - start)
        start = time.perf_counter()
        found = runner.run_single_instance(image)
        runner_times.append(time.perf_counter() - start)
    b, r = statistics.median(bare_times), statistics.median(runner_times)
    print(f"runner on a 640x480 image, model input 320x320, 1200 boxes x 20 classes ({len(found[0])} kept):")
    print(f"  bare compiled model call   {b * 1e3:7.2f} ms (median of {runs})")
    print(f"  run_single_instance        {r * 1e3:7.2f} ms")
    print(f"  ratio {r / b:.3f} (target <= 1.2)")


def bench_pass(runs, count=48):
    import tempfile

    from PIL import Image

    from bench_tfrecord_pipeline import photo_like
    from orvane.kestrix.datasets.darknet import DarknetDataset
    from orvane.kestrix.models.detection import build_detector

    classes = ["background", "a", "b", "c"]
    model = build_detector(len(classes), input_shape=(128, 128, 3))
    runner = DetectionRunner(model, (128, 128), classes)
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as root:
        split = {"images": os.path.join(root, "images"), "annotations": os.path.join(root, "labels")}
        os.makedirs(split["images"])
        os.makedirs(split["annotations"])
        for i in range(count):
            Image.fromarray(photo_like(rng)).save(os.path.join(split["images"], f"{i:04d}.jpg"), quality=90)
            with open(os.path.join(split["annotations"], f"{i:04d}.txt"), "w") as f:
                f.write("1 0.5 0.5 0.2 0.3\n2 0.3 0.6 0.1 0.1\n")
        dataset = DarknetDataset({"classes": classes[1:], "train": split, "validation": split}, [128, 128, 3],
                                 True, True)
        pipeline = dataset.build_val_iterator(1)
        decoded = [np.asarray(Image.open(os.path.join(split["images"], f"{i:04d}.jpg")).convert("RGB"))
                   for i in range(count)]
        boxed = [tf.constant(letterbox(image, (128, 128))[0][None]) for image in decoded]
        bare = tf.function(lambda x: model(tf.cast(x, tf.float32) / 255.0, training=False),
                           input_signature=[tf.TensorSpec([None, 128, 128, 3], tf.uint8)])

        def bare_pass():
            for x in boxed:
                [o.numpy() for o in bare(x)[2:]]

        def runner_pass():
            for images, _, _ in pipeline:
                runner.run_single_instance(images.numpy()[0])

        def pipeline_only():
            for images, _, _ in pipeline:
                images.numpy()[0]

        def runner_only():
            for image in decoded:
                runner.run_single_instance(image)

        sides = (("bare", bare_pass), ("pass", runner_pass), ("pipeline", pipeline_only), ("runner", runner_only))
        times = {name: [] for name, _ in sides}
        cpu = {name: [] for name, _ in sides}  # process CPU time of each repetition, all threads
        for _, run in sides:  # trace and warm up every side
            run()
        for _ in range(runs):
            for name, run in sides:
                start, start_cpu = time.perf_counter(), time.process_time()
                run()
                times[name].append(time.perf_counter() - start)
                cpu[name].append(time.process_time() - start_cpu)
    b, r = min(times["bare"]), min(times["pass"])
    print(f"validation pass over {count} JPEG 640x480 images, example detector at 128x128 "
          f"(fastest of {runs} alternating):")
    print(f"  bare compiled model call on letter-boxed images in memory  {count / b:7.1f} images/s")
    print(f"  validation pipeline + run_single_instance                   {count / r:7.1f} images/s")
    print(f"    where the time goes: the pipeline alone (decode at stored size) {count / min(times['pipeline']):7.1f} "
          f"images/s; the runner alone on decoded images {count / min(times['runner']):7.1f} images/s")
    print(f"    the runner's own work on top of the model: "
          f"{(min(times['runner']) - b) / count * 1e3:.2f} ms an image")

    def cpu_ms(name):  # CPU milliseconds an image in the fastest repetition of a side
        return cpu[name][times[name].index(min(times[name]))] / count * 1e3

    print("    CPU time an image, all threads: "
          + ", ".join(f"{name} {cpu_ms(name):.2f} ms" for name, _ in sides))
    print(f"  throughput ratio {b / r:.3f} (target >= 0.8); median ratio "
          f"{statistics.median(times['bare']) / statistics.median(times['pass']):.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=5000)
    parser.add_argument("--classes", type=int, default=10)
    parser.add_argument("--runs", type=int, default=60)
    parser.add_argument("--parts", default="runner,evaluation,pass")
    args = parser.parse_args()
    parts = args.parts.split(",")
    if "runner" in parts:
        bench_runner(args.runs)
    if "evaluation" in parts:
        bench_evaluation(args.images, args.classes)
    if "pass" in parts:
        bench_pass(max(5, args.runs // 6))


if __name__ == "__main__":
    main()
