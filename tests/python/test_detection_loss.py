"""DetectionLoss: finite losses and gradients on awkward batches, ranking, one trace in the step."""
import numpy as np
import pytest
import tensorflow as tf

from models import make_trainer
from orvane.kestrix.losses.core import KestrixLoss
from orvane.kestrix.losses.detection import DetectionLoss

KEYS = ["total-loss", "localization-loss", "classification-loss", "objectness-loss"]
STRIDE = 8


def random_maps(batch, grid_h, grid_w, num_classes, seed=0):
    rng = np.random.default_rng(seed)
    box_map = tf.Variable(rng.normal(0, 1, (batch, grid_h, grid_w, 4)).astype(np.float32))
    class_map = tf.Variable(rng.normal(0, 1, (batch, grid_h, grid_w, num_classes + 1)).astype(np.float32))
    return box_map, class_map


def maps_for_box(box, cls, grid, num_classes, confident=8.0):
    """Raw maps that predict ``box`` from every cell inside it, objectness at its central cells."""
    centres = (np.arange(grid) + 0.5) * STRIDE
    cx, cy = np.meshgrid(centres, centres)
    distances = np.stack([cx - box[0], cy - box[1], box[2] - cx, box[3] - cy], axis=-1) / STRIDE
    raw = np.log(np.expm1(np.clip(distances, 1e-3, None)))  # softplus inverse
    class_map = np.full((grid, grid, num_classes + 1), -confident, np.float32)
    class_map[..., cls] = confident
    mid = ((box[0] + box[2]) / 2, (box[1] + box[3]) / 2)
    central = (np.abs(cx - mid[0]) < 1.5 * STRIDE) & (np.abs(cy - mid[1]) < 1.5 * STRIDE) & (distances.min(-1) > 0)
    class_map[..., -1] = np.where(central, confident, -confident)
    return raw[None].astype(np.float32), class_map[None]


class TestFinite:
    # (boxes [B, N, 5], grid) for batches that have few or no positives.
    CASES = {
        "images without objects": (np.zeros((2, 1, 5), np.float32), 8),
        "no box rows": (np.zeros((2, 0, 5), np.float32), 8),
        "boxes at the image edge": (np.array([[[0, 0, 10, 64, 1], [50, 0, 64, 64, 2]],
                                              [[0, 60, 64, 64, 0], [0, 0, 0, 0, 0]]], np.float32), 8),
        "tiny boxes": (np.array([[[3.0, 3.0, 3.5, 3.25, 0], [33, 40, 34, 41, 2]],
                                 [[63.5, 63.5, 64, 64, 1], [0, 0, 0, 0, 0]]], np.float32), 8),
        "degenerate rows and out-of-map boxes": (np.array([[[5, 5, 5, 9, 1], [70, 70, 90, 90, 0]],
                                                          [[9, 9, 4, 4, 2], [0, 0, 0, 0, 0]]], np.float32), 8),
    }

    @pytest.mark.parametrize("boxes,grid", CASES.values(), ids=CASES.keys())
    def test_losses_and_gradients_are_finite(self, boxes, grid):
        loss = DetectionLoss(3)
        box_map, class_map = random_maps(len(boxes), grid, grid, 3)
        with tf.GradientTape() as tape:
            losses = loss.compute_loss([tf.constant(boxes)], (box_map, class_map))
        assert list(losses) == KEYS
        for key in KEYS:
            assert losses[key].dtype == tf.float32 and losses[key].shape == ()
            assert np.isfinite(losses[key].numpy()), key
        for grad in tape.gradient(losses["total-loss"], [box_map, class_map]):
            assert grad is not None and np.all(np.isfinite(grad.numpy()))

    def test_without_positives_only_objectness_counts(self):
        losses = DetectionLoss(3).compute_loss([tf.zeros((2, 1, 5))], random_maps(2, 4, 4, 3))
        assert losses["localization-loss"].numpy() == 0 and losses["classification-loss"].numpy() == 0
        assert losses["objectness-loss"].numpy() > 0


class TestRanking:
    BOX = (12.0, 16.0, 44.0, 40.0)

    @pytest.mark.parametrize("shift", [(8, 0), (0, -12), (16, 16)])
    def test_perfect_prediction_beats_a_shifted_one(self, shift):
        loss = DetectionLoss(3)
        targets = [tf.constant([[[*self.BOX, 2]]], tf.float32)]
        perfect = loss.compute_loss(targets, maps_for_box(self.BOX, 2, 8, 3))
        moved = (self.BOX[0] + shift[0], self.BOX[1] + shift[1], self.BOX[2] + shift[0], self.BOX[3] + shift[1])
        shifted = loss.compute_loss(targets, maps_for_box(moved, 2, 8, 3))
        assert perfect["localization-loss"].numpy() < 1e-3
        assert perfect["localization-loss"].numpy() < shifted["localization-loss"].numpy()
        assert perfect["total-loss"].numpy() < shifted["total-loss"].numpy()

    def test_wrong_class_costs_classification(self):
        loss = DetectionLoss(3)
        targets = [tf.constant([[[*self.BOX, 2]]], tf.float32)]
        right = loss.compute_loss(targets, maps_for_box(self.BOX, 2, 8, 3))
        wrong = loss.compute_loss(targets, maps_for_box(self.BOX, 1, 8, 3))
        assert right["classification-loss"].numpy() < 0.01 < wrong["classification-loss"].numpy()


class TestInterface:
    def test_is_a_kestrix_loss(self):
        assert isinstance(DetectionLoss(2), KestrixLoss) and "total-loss" in DetectionLoss.__doc__

    @pytest.mark.parametrize("kwargs,message", [
        ({"num_classes": 0}, "num_classes"),
        ({"num_classes": 2, "stride": 0}, "stride"),
        ({"num_classes": 2, "focal_alpha": 1.5}, "focal_alpha"),
        ({"num_classes": 2, "box_weight": -1}, "box_weight"),
    ])
    def test_bad_settings(self, kwargs, message):
        with pytest.raises(ValueError, match=message):
            DetectionLoss(**kwargs)

    def test_class_map_of_the_wrong_width(self):
        with pytest.raises(ValueError, match="num_classes \\+ 1 = 4"):
            DetectionLoss(3).compute_loss([tf.zeros((1, 1, 5))], random_maps(1, 2, 2, 5))


def fully_convolutional_detector(num_classes):
    """The raw maps only, on any image size (a stride-8 stack)."""
    inputs = tf.keras.Input(shape=(None, None, 3))
    x = tf.keras.layers.Conv2D(8, 3, strides=2, padding="same", activation="relu")(inputs)
    x = tf.keras.layers.Conv2D(8, 3, strides=2, padding="same", activation="relu")(x)
    x = tf.keras.layers.Conv2D(8, 3, strides=2, padding="same", activation="relu")(x)
    box_map = tf.keras.layers.Conv2D(4, 1)(x)
    class_map = tf.keras.layers.Conv2D(num_classes + 1, 1)(x)
    return tf.keras.Model(inputs, [box_map, class_map])


def test_one_trace_across_batch_sizes_image_sizes_and_box_counts(tmp_path):
    trainer = make_trainer(tmp_path, model=fully_convolutional_detector(3), loss=DetectionLoss(3),
                           metric_names=["total-loss"])
    rng = np.random.default_rng(0)
    for batch, (h, w), rows in [(2, (64, 64), 3), (3, (48, 80), 0), (1, (32, 32), 7), (4, (64, 64), 1)]:
        images = rng.integers(0, 256, (batch, h, w, 3), dtype=np.uint8)
        corners = np.sort(rng.uniform(0, min(h, w), (batch, rows, 2, 2)), axis=2).reshape(batch, rows, 4)
        boxes = np.concatenate([corners, rng.integers(0, 3, (batch, rows, 1))], -1).astype(np.float32)
        losses = trainer.train_step((images, boxes))
        assert all(np.isfinite(losses[k].numpy()) for k in KEYS)
    assert trainer.train_step.experimental_get_tracing_count() == 1
