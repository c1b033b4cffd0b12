"""The example detector at the default recipe: the loss's share of a step, augmentation's share of
the training pipeline.

1. Training steps per second of ``DetectionTrainer.train_step`` with the recipe's model and
   ``DetectionLoss`` against the same compiled step with a trivial loss (the mean of the two raw
   maps), i.e. the bare forward and backward pass. Target: the loss adds at most 15%.
2. Training-pipeline images per second through the dataset core with the recipe's ``aug_cfg``
   against the same pipeline without augmentation. Each sample is a 160 x 160 JPEG decoded and
   letter-boxed by ``load_instance``, as the readers do. Target: a ratio of at least 0.9.

Repetitions alternate between the two sides of each comparison; medians are reported.

Run: python bench/bench_detector.py [--steps 20] [--images 512] [--repeats 3]
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")

import cv2  # noqa: E402
import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from orvane.kestrix.callbacks.tensorboard import TensorBoard  # noqa: E402
from orvane.kestrix.cli import recipe  # noqa: E402
from orvane.kestrix.datasets.core import BaseDetectionDataset  # noqa: E402
from orvane.kestrix.datasets.utils import letterbox  # noqa: E402
from orvane.kestrix.trainer.detection import DetectionTrainer  # noqa: E402

NUM_CLASSES = 4  # background and three shapes, as on the demo dataset


class TrivialLoss:
    """The cheapest loss that reaches every weight: the mean of the raw outputs."""

    def compute_loss(self, targets, outputs):
        total = tf.reduce_mean(outputs[0])
        return {"total-loss": total}


def sample_batch(batch, size, seed=0):
    rng = np.random.default_rng(seed)
    images = rng.integers(0, 256, (batch, size, size, 3), dtype=np.uint8)
    corners = np.sort(rng.uniform(0, size, (batch, 4, 2, 2)), axis=2).reshape(batch, 4, 4)
    classes = rng.integers(1, NUM_CLASSES, (batch, 4, 1))
    return images, np.concatenate([corners, classes], -1).astype(np.float32)


def make_trainer(root, loss, size):
    model = recipe.build_model(NUM_CLASSES, size)
    optimizer, _ = recipe.build_optimizer(recipe.RECIPE["lr"], 1000, 100)
    optimizer.build(model.trainable_variables)
    logger = TensorBoard(os.path.join(root, "logs"), ["total-loss"])
    return DetectionTrainer(model, None, optimizer, loss, logger, os.path.join(root, "runs"), classes=["x"])


def steps_per_second(trainer, data, steps):
    start = time.perf_counter()
    for _ in range(steps):
        losses = trainer.train_step(data)
    float(losses["total-loss"])
    return steps / (time.perf_counter() - start)


class JpegDataset(BaseDetectionDataset):
    """In-memory JPEG samples, decoded and letter-boxed per sample as the readers do."""

    def __init__(self, jpegs, boxes, size, aug_cfg):
        self.jpegs, self.boxes = jpegs, boxes
        super().__init__(None, [size, size, 3], True, add_bkg_class=True, aug_cfg=aug_cfg)

    def validate_info_file(self, info_file):
        return {}

    def validate_info_file_content(self, info_dataset=None):
        pass

    def load_storage(self):
        self.train_storage = list(range(len(self.jpegs)))

    def build_and_load_base_iterator(self, storage, shuffle=True):
        return tf.data.Dataset.from_tensor_slices(np.array(storage, np.int64))

    def load_instance(self, data, training=True):
        i = int(data)
        image = cv2.imdecode(self.jpegs[i], cv2.IMREAD_COLOR)[..., ::-1]
        boxed, ratio, pad = letterbox(image, self.shape[:2])
        boxes = self.boxes[i].copy()
        boxes[:, [0, 2]] = boxes[:, [0, 2]] * ratio[0] + pad[0]
        boxes[:, [1, 3]] = boxes[:, [1, 3]] * ratio[1] + pad[1]
        return np.ascontiguousarray(boxed), boxes


def images_per_second(dataset, batch):
    pipeline = dataset.build_train_iterator(batch)
    start = time.perf_counter()
    count = sum(int(images.shape[0]) for images, _ in pipeline)
    return count / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--steps", type=int, default=20)
    parser.add_argument("--images", type=int, default=512)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    size, batch = recipe.RECIPE["imgsz"], recipe.RECIPE["batch"]

    with tempfile.TemporaryDirectory() as root:
        stdout = sys.stdout
        sys.stdout = open(os.devnull, "w")  # the trainers' checkpoint announcements
        try:
            full = make_trainer(os.path.join(root, "a"), recipe.build_loss(NUM_CLASSES), size)
            bare = make_trainer(os.path.join(root, "b"), TrivialLoss(), size)
        finally:
            sys.stdout.close()
            sys.stdout = stdout
        data = sample_batch(batch, size)
        for trainer in (full, bare):
            steps_per_second(trainer, data, 3)  # trace and warm up
        with_loss, without = [], []
        for _ in range(args.repeats):
            with_loss.append(steps_per_second(full, data, args.steps))
            without.append(steps_per_second(bare, data, args.steps))
    a, b = statistics.median(with_loss), statistics.median(without)
    print(f"training step, {size}x{size}, batch {batch}, model {recipe.RECIPE['model']}:")
    print(f"  with DetectionLoss  {a:7.2f} steps/s")
    print(f"  trivial loss        {b:7.2f} steps/s")
    print(f"  loss adds           {b / a - 1:7.1%} (target <= 15%)")

    rng = np.random.default_rng(1)
    jpegs, boxes = [], []
    for _ in range(args.images):
        image = np.clip(rng.normal(100, 30, (160, 160, 3)), 0, 255).astype(np.uint8)
        x1, y1 = rng.uniform(0, 100, 2)
        cv2.rectangle(image, (int(x1), int(y1)), (int(x1) + 40, int(y1) + 40), (200, 50, 50), -1)
        jpegs.append(cv2.imencode(".jpg", image)[1])
        boxes.append(np.array([[x1, y1, x1 + 40, y1 + 40, 1]], np.float32))
    plain = JpegDataset(jpegs, boxes, size, None)
    augmented = JpegDataset(jpegs, boxes, size, recipe.RECIPE["aug_cfg"])
    images_per_second(plain, batch), images_per_second(augmented, batch)  # warm up
    plain_rates, aug_rates = [], []
    for _ in range(args.repeats):
        plain_rates.append(images_per_second(plain, batch))
        aug_rates.append(images_per_second(augmented, batch))
    p, q = statistics.median(plain_rates), statistics.median(aug_rates)
    print(f"training pipeline, {args.images} JPEGs 160x160 -> {size}x{size}, aug_cfg {recipe.RECIPE['aug_cfg']}:")
    print(f"  without augmentation {p:8.0f} images/s")
    print(f"  with augmentation    {q:8.0f} images/s")
    print(f"  ratio                {q / p:8.3f} (target >= 0.9)")


if __name__ == "__main__":
    main()
