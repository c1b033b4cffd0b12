"""Small real collaborators for trainer tests: a tiny detector, a loss, an evaluator double, data.

Everything here is deliberately tiny so that a test file builds, traces and trains in seconds:

- ``make_detector``: a functional Keras model on float input in [0, 1] with four outputs; the
  first output is the per-channel peak of the input (so a test can see what reached the model),
  the second a box regression head; only the outputs from the third on are exported;
  ``make_policy_detector`` is the same for mixed-precision policies (float32 heads).
- ``SimpleLoss``: ``compute_loss(targets, outputs)`` returning "total-loss", "box-loss" and
  "class-loss" (and, with ``probe=True``, "input-peak" and "box-rows" for inspection).
- ``RecordingEvaluator``: records every call the training loop makes on an evaluator and
  returns a configurable metrics dictionary (``make_metrics`` builds one).
- ``make_train_data`` / ``make_val_data``: uint8 image batches with float32 boxes, as numpy
  arrays or as ``tf.data`` datasets, shaped like the dataset readers' output.
- ``make_trainer``: a ``DetectionTrainer`` on these parts with a real ``TensorBoard`` logger;
  ``read_scalars``: the scalar points of a TensorBoard log folder, read back from its event files.
"""
from __future__ import annotations

import os

import numpy as np
import tensorflow as tf

from events import scalar_points

CLASSES = ["cat", "dog", "bird"]


# --------------------------------------------------------------------------- model and loss


def make_detector(num_classes: int = len(CLASSES), filters: int = 4, name: str = "tiny_detector") -> tf.keras.Model:
    """A functional detector on ``(None, None, 3)`` float input with four outputs.

    Outputs, in order: the per-channel maximum of the input (no weights), a box head (4),
    a class head (``num_classes``) and an objectness head (1).
    """
    inputs = tf.keras.Input(shape=(None, None, 3), name="image")
    peak = tf.keras.layers.GlobalMaxPooling2D(name="input_peak")(inputs)
    x = tf.keras.layers.Conv2D(filters, 3, padding="same", activation="relu", name="stem")(inputs)
    features = tf.keras.layers.GlobalAveragePooling2D(name="pool")(x)
    boxes = tf.keras.layers.Dense(4, name="box_head")(features)
    classes = tf.keras.layers.Dense(num_classes, name="class_head")(features)
    objectness = tf.keras.layers.Dense(1, name="objectness_head")(features)
    return tf.keras.Model(inputs, [peak, boxes, classes, objectness], name=name)


def make_policy_detector(num_classes: int = len(CLASSES), filters: int = 4) -> tf.keras.Model:
    """``make_detector`` for a mixed-precision policy: built under the global policy, so the body
    computes in its dtype (float16 or bfloat16), while the heads compute in float32, as is usual
    for the layers that feed a loss."""
    inputs = tf.keras.Input(shape=(None, None, 3), name="image")
    peak = tf.keras.layers.GlobalMaxPooling2D(name="input_peak", dtype="float32")(inputs)
    x = tf.keras.layers.Conv2D(filters, 3, padding="same", activation="relu", name="stem")(inputs)
    features = tf.keras.layers.GlobalAveragePooling2D(name="pool")(x)
    boxes = tf.keras.layers.Dense(4, name="box_head", dtype="float32")(features)
    classes = tf.keras.layers.Dense(num_classes, name="class_head", dtype="float32")(features)
    objectness = tf.keras.layers.Dense(1, name="objectness_head", dtype="float32")(features)
    return tf.keras.Model(inputs, [peak, boxes, classes, objectness], name="policy_detector")


class SimpleLoss:
    """A detection-shaped loss over the outputs of ``make_detector``.

    The box target is the mean box of the image scaled to 0..1 by ``scale`` (rows of all zeros,
    and images without rows, give a zero target), the class target the one-hot class of the
    first box, the objectness target 1.
    """

    def __init__(self, scale: float = 64.0, probe: bool = False):
        self.scale = scale
        self.probe = probe
        self.calls = 0  # Python-side calls, i.e. traces of the compiled step

    def compute_loss(self, targets, outputs):
        self.calls += 1
        boxes = targets[0]
        peak, box_pred, class_pred, objectness = outputs[:4]
        rows = tf.cast(tf.shape(boxes)[1], tf.float32)
        box_target = tf.math.divide_no_nan(tf.reduce_sum(boxes[..., :4], axis=1), rows) / self.scale
        box_loss = tf.reduce_mean(tf.square(box_pred - box_target))
        num_classes = tf.shape(class_pred)[-1]
        first_class = tf.cond(
            rows > 0,
            lambda: tf.cast(boxes[:, 0, 4], tf.int32),
            lambda: tf.zeros(tf.shape(boxes)[:1], tf.int32),
        )
        one_hot = tf.one_hot(first_class, num_classes)
        class_loss = tf.reduce_mean(tf.square(tf.nn.softmax(class_pred) - one_hot))
        class_loss += tf.reduce_mean(tf.square(objectness - 1.0))
        losses = {"total-loss": box_loss + class_loss, "box-loss": box_loss, "class-loss": class_loss}
        if self.probe:
            losses["input-peak"] = tf.reduce_max(peak)
            losses["box-rows"] = rows
        return losses


# --------------------------------------------------------------------------- evaluator double


def make_metrics(acc: float = 0.25, map_: float = 0.5, mar: float = 0.75, overall: float | None = None) -> dict:
    """A metrics dictionary as an evaluator returns it (fractions).

    Each family holds its value at "0.5", half of it at "0.75" and a quarter at "0.5:0.95";
    "OA", "OP" and "OR" hold ``overall`` or, by default, the family's value at 0.5.
    """

    def family(value):
        return {"0.5": value, "0.75": value / 2, "0.5:0.95": value / 4}

    return {
        "mAP": family(map_),
        "mAR": family(mar),
        "mACC": family(acc),
        "OP": map_ if overall is None else overall,
        "OR": mar if overall is None else overall,
        "OA": acc if overall is None else overall,
    }


class _Runner:
    def __init__(self, owner):
        self._owner = owner

    def run_single_instance(self, image):
        self._owner.images.append(np.array(image, copy=True))
        boxes = np.array([[0.1, 0.1, 0.5, 0.5]], np.float32)
        return boxes, np.array([CLASSES[0]]), np.array([0.9], np.float32)


class RecordingEvaluator:
    """Records what the training loop asks of an evaluator.

    ``metrics`` is either one metrics dictionary for every pass or a list with one per pass
    (the last one repeats). Records:

    - ``starts``: the writer handed over at the start of each pass;
    - ``images``: every image given to ``runner.run_single_instance``;
    - ``evaluations``: per ``single_evaluation`` call a dict with "epoch", "add_image",
      "labels", "boxes", "image_path", "height", "width", "gt_keys", "dt_keys", "keys" and
      "pass" (the index of the pass, counted by the start calls);
    - ``concluded``: per ``conclude`` call the pair (truth_values, epoch).
    """

    def __init__(self, metrics=None):
        self._metrics = metrics if metrics is not None else make_metrics()
        self.runner = _Runner(self)
        self.starts = []
        self.images = []
        self.evaluations = []
        self.concluded = []

    def __call__(self, writer):
        self.starts.append(writer)

    def single_evaluation(self, instances, epoch, add_image):
        gt, dt = instances["gt_instance"], instances["dt_instance"]
        self.evaluations.append(
            {
                "pass": len(self.starts) - 1,
                "epoch": epoch,
                "add_image": add_image,
                "labels": list(gt["labels"]),
                "boxes": np.array(gt["boxes"], copy=True),
                "image_path": gt["image_path"],
                "height": gt["height"],
                "width": gt["width"],
                "keys": list(instances),
                "gt_keys": list(gt),
                "dt_keys": list(dt),
            }
        )
        return len(self.evaluations)

    def conclude(self, truth_values, epoch=None):
        self.concluded.append((truth_values, epoch))
        if isinstance(self._metrics, list):
            return self._metrics[min(len(self.concluded), len(self._metrics)) - 1]
        return self._metrics

    def flags_per_pass(self):
        """The ``add_image`` flags of every pass, one list per pass."""
        passes = [[] for _ in self.starts]
        for record in self.evaluations:
            passes[record["pass"]].append(record["add_image"])
        return passes


# --------------------------------------------------------------------------- data


def make_train_data(num_images: int = 8, size=(24, 32), rows: int = 2, num_classes: int = len(CLASSES), seed: int = 0):
    """Training samples as numpy arrays: uint8 images [n, h, w, 3], float32 boxes [n, rows, 5]."""
    rng = np.random.default_rng(seed)
    h, w = size
    images = rng.integers(0, 256, size=(num_images, h, w, 3), dtype=np.uint8)
    x1 = rng.uniform(0, w / 2, size=(num_images, rows))
    y1 = rng.uniform(0, h / 2, size=(num_images, rows))
    x2 = x1 + rng.uniform(1, w / 2, size=(num_images, rows))
    y2 = y1 + rng.uniform(1, h / 2, size=(num_images, rows))
    cls = rng.integers(0, num_classes, size=(num_images, rows))
    boxes = np.stack([x1, y1, x2, y2, cls], axis=-1).astype(np.float32)
    return images, boxes


def make_train_dataset(num_images: int = 8, batch_size: int = 4, **kwargs) -> tf.data.Dataset:
    """A ``tf.data`` pipeline of (uint8 images, float32 boxes) batches, as the readers deliver."""
    images, boxes = make_train_data(num_images, **kwargs)
    return tf.data.Dataset.from_tensor_slices((images, boxes)).batch(batch_size)


def make_val_data(num_images: int = 5, size=(20, 28), rows: int = 2, num_classes: int = len(CLASSES), seed: int = 1):
    """Validation samples: uint8 images, boxes with corners normalised to 0..1, names (bytes)."""
    rng = np.random.default_rng(seed)
    h, w = size
    images = rng.integers(0, 256, size=(num_images, h, w, 3), dtype=np.uint8)
    corners = np.sort(rng.uniform(0, 1, size=(num_images, rows, 2, 2)), axis=2).reshape(num_images, rows, 4)
    cls = rng.integers(0, num_classes, size=(num_images, rows, 1))
    boxes = np.concatenate([corners, cls], axis=-1).astype(np.float32)
    names = np.array([f"image_{i}.jpg".encode() for i in range(num_images)])
    return images, boxes, names


def make_val_dataset(num_images: int = 5, batch_size: int = 1, **kwargs) -> tf.data.Dataset:
    """A ``tf.data`` pipeline of (images, boxes, names) validation batches."""
    return tf.data.Dataset.from_tensor_slices(make_val_data(num_images, **kwargs)).batch(batch_size)


# --------------------------------------------------------------------------- trainer and logs

SUMMARY_KEYS = [
    "mAP@0.5", "mAP@0.75", "mAP@0.5:0.95",
    "mACC@0.5", "mACC@0.75", "mACC@0.5:0.95",
    "mAR@0.5", "mAR@0.75", "mAR@0.5:0.95",
    "Overall-ACC", "Overall-AP", "Overall-AR",
]
STEP_KEYS = ["total-loss", "box-loss", "class-loss", "step-time (seconds)", "learning-rate"]


def make_trainer(root, model=None, optimizer=None, loss=None, metric_names=None, build_optimizer=True, **kwargs):
    """A ``DetectionTrainer`` with a real ``TensorBoard`` logger, logs and runs under ``root``.

    The optimizer (Adam, 0.01 by default) is built on the model's variables unless
    ``build_optimizer`` is False, so the first step creates no variables and traces once.
    Defaults: ``classes=CLASSES``, ``display=2``; other keyword arguments go to the trainer.
    """
    from orvane.kestrix.callbacks.tensorboard import TensorBoard
    from orvane.kestrix.trainer.detection import DetectionTrainer

    model = model if model is not None else make_detector()
    optimizer = optimizer if optimizer is not None else tf.keras.optimizers.Adam(0.01)
    if build_optimizer:
        optimizer.build(model.trainable_variables)
    logger = TensorBoard(os.path.join(str(root), "logs"), list(metric_names or SUMMARY_KEYS + STEP_KEYS))
    kwargs.setdefault("classes", list(CLASSES))
    kwargs.setdefault("display", 2)
    return DetectionTrainer(model, None, optimizer, loss if loss is not None else SimpleLoss(), logger,
                            os.path.join(str(root), "runs"), **kwargs)


def read_scalars(log_dir) -> dict:
    """{tag: [(step, value), ...]} of every scalar point in the event files under ``log_dir``."""
    points: dict = {}
    for step, tag, number in scalar_points(log_dir, recursive=True):
        points.setdefault(tag, []).append((step, number))
    return points
