"""DetectionLoss: the task-aligned assignment on hand-built cases, finite losses on awkward
batches, ranking, one trace in the step."""
import numpy as np
import pytest
import tensorflow as tf

from models import make_trainer
from orvane.kestrix.losses.core import KestrixLoss
from orvane.kestrix.losses.detection import DetectionLoss
from orvane.kestrix.models import anchor_points

KEYS = ["total-loss", "localization-loss", "distribution-loss", "classification-loss"]
R = 16
SIZE = 64
POINTS = anchor_points(SIZE, SIZE)  # [K, 3]


def outputs_for(predicted, classes=3, class_logit=0.0, batch=1):
    """The two training outputs for points that all predict the box ``predicted`` (each side a
    two-bin distribution around its distance), with every class logit ``class_logit``."""
    x, y, s = POINTS.T
    sides = np.stack([x - predicted[0], y - predicted[1], predicted[2] - x, predicted[3] - y], -1) / s[:, None]
    sides = np.clip(sides, 0, R - 1.01)
    low = np.floor(sides).astype(int)
    weight = sides - low
    logits = np.full((len(POINTS), 4, R), -30.0)
    rows, cols = np.indices(low.shape)
    logits[rows, cols, low] = np.log(np.maximum(1 - weight, 1e-12))
    logits[rows, cols, low + 1] = np.log(np.maximum(weight, 1e-12))
    raw = np.concatenate([logits.reshape(len(POINTS), -1), np.full((len(POINTS), classes), class_logit)], -1)
    raw = np.repeat(raw[None], batch, 0).astype(np.float32)
    return tf.Variable(raw), tf.constant(np.repeat(POINTS[None], batch, 0))


def random_outputs(batch, classes=3, seed=0):
    rng = np.random.default_rng(seed)
    raw = rng.normal(0, 1, (batch, len(POINTS), 4 * R + classes)).astype(np.float32)
    return tf.Variable(raw), tf.constant(np.repeat(POINTS[None], batch, 0))


def boxes_of(*rows):
    return [tf.constant(np.array([rows], np.float32).reshape(1, -1, 5))]


class TestAssignment:
    def test_a_box_gets_its_top_k_candidates(self):
        for topk in (1, 4, 10):
            a = DetectionLoss(3, topk=topk).assign(boxes_of([8, 8, 56, 56, 1]), outputs_for((10, 10, 54, 54)))
            positive = a["positive"].numpy()[0]
            assert positive.sum() == topk
            # Only points inside the box, and those with the best predictions, are chosen.
            x, y = POINTS[positive, 0], POINTS[positive, 1]
            assert np.all((x > 8) & (x < 56) & (y > 8) & (y < 56))
            assert np.all(a["target_score"].numpy()[0][~positive] == 0)

    def test_a_point_shared_by_two_boxes_goes_to_the_one_it_predicts_better(self):
        left, right = [4, 4, 44, 44, 0], [20, 20, 60, 60, 2]
        for predicted, owner in [(left, 0), (right, 1)]:
            a = DetectionLoss(3, topk=40).assign(boxes_of(left, right), outputs_for(predicted[:4]))
            positive, assigned = a["positive"].numpy()[0], a["assigned"].numpy()[0]
            x, y = POINTS[:, 0], POINTS[:, 1]
            shared = positive & (x > 20) & (x < 44) & (y > 20) & (y < 44)
            assert shared.sum() > 0 and np.all(assigned[shared] == owner)
            assert set(assigned[positive]) == {0, 1}  # each box keeps points of its own

    def test_a_box_smaller_than_a_cell_still_gets_a_point(self):
        # 2 x 2 pixels between the stride-8 centres 4 and 12: no point lies inside it; (4, 4) is nearest.
        a = DetectionLoss(3).assign(boxes_of([4.5, 4.5, 6.5, 6.5, 1], [0, 0, 0, 0, 0]), outputs_for((0, 0, 16, 16)))
        positive = a["positive"].numpy()[0]
        assert positive.sum() == 1 and a["assigned"].numpy()[0][positive][0] == 0
        assert tuple(POINTS[positive][0]) == (4, 4, 8)

    @pytest.mark.parametrize("rows", [[[0, 0, 0, 0, 0]], [[9, 9, 4, 4, 1]], [[8, 8, 40, 40, 7]]],
                             ids=["zero row", "inverted corners", "class beyond the model"])
    def test_rows_that_are_no_boxes_get_no_points(self, rows):
        a = DetectionLoss(3).assign(boxes_of(*rows), random_outputs(1))
        assert not a["positive"].numpy().any()


class TestFinite:
    # boxes [B, N, 5] for batches that have few or no positives.
    CASES = {
        "images without objects": np.zeros((2, 1, 5), np.float32),
        "no box rows": np.zeros((2, 0, 5), np.float32),
        "boxes at the image edge": np.array([[[0, 0, 10, 64, 1], [50, 0, 64, 64, 2]],
                                             [[0, 60, 64, 64, 0], [0, 0, 0, 0, 0]]], np.float32),
        "tiny boxes": np.array([[[3.0, 3.0, 3.5, 3.25, 0], [33, 40, 34, 41, 2]],
                                [[63.5, 63.5, 64, 64, 1], [0, 0, 0, 0, 0]]], np.float32),
        "degenerate rows and out-of-image boxes": np.array([[[5, 5, 5, 9, 1], [70, 70, 90, 90, 0]],
                                                            [[9, 9, 4, 4, 2], [0, 0, 0, 0, 0]]], np.float32),
        "many boxes": np.concatenate([np.sort(np.random.default_rng(3).uniform(0, 64, (2, 60, 2, 2)), 2)
                                      .reshape(2, 60, 4), np.ones((2, 60, 1))], -1).astype(np.float32),
    }

    @pytest.mark.parametrize("boxes", CASES.values(), ids=CASES.keys())
    def test_losses_and_gradients_are_finite(self, boxes):
        raw, anchors = random_outputs(len(boxes))
        with tf.GradientTape() as tape:
            losses = DetectionLoss(3).compute_loss([tf.constant(boxes)], (raw, anchors))
        assert list(losses) == KEYS
        for key in KEYS:
            assert losses[key].dtype == tf.float32 and losses[key].shape == ()
            assert np.isfinite(losses[key].numpy()), key
        grad = tape.gradient(losses["total-loss"], raw)
        assert grad is not None and np.all(np.isfinite(grad.numpy()))

    def test_without_positives_only_classification_counts(self):
        losses = DetectionLoss(3).compute_loss([tf.zeros((2, 1, 5))], random_outputs(2))
        assert losses["localization-loss"].numpy() == 0 and losses["distribution-loss"].numpy() == 0
        assert losses["classification-loss"].numpy() > 0


class TestRanking:
    BOX = (12.0, 16.0, 44.0, 40.0)

    @pytest.mark.parametrize("shift", [(6, 0), (0, -10), (12, 12)])
    def test_a_perfect_box_beats_a_shifted_one(self, shift):
        loss = DetectionLoss(3)
        targets = boxes_of([*self.BOX, 2])
        perfect = loss.compute_loss(targets, outputs_for(self.BOX))
        moved = (self.BOX[0] + shift[0], self.BOX[1] + shift[1], self.BOX[2] + shift[0], self.BOX[3] + shift[1])
        shifted = loss.compute_loss(targets, outputs_for(moved))
        assert perfect["localization-loss"].numpy() < 1e-3
        for key in ("localization-loss", "distribution-loss"):
            assert perfect[key].numpy() < shifted[key].numpy(), key

    def test_the_right_class_costs_less(self):
        targets = boxes_of([*self.BOX, 2])
        raw, anchors = outputs_for(self.BOX, class_logit=-6.0)
        right = raw.numpy()
        right[..., 4 * R + 2] = 2.0
        wrong = raw.numpy()
        wrong[..., 4 * R + 1] = 2.0
        loss = DetectionLoss(3)
        assert loss.compute_loss(targets, (tf.constant(right), anchors))["classification-loss"].numpy() < \
            loss.compute_loss(targets, (tf.constant(wrong), anchors))["classification-loss"].numpy()


class TestInterface:
    def test_is_a_kestrix_loss(self):
        assert isinstance(DetectionLoss(2), KestrixLoss) and "total-loss" in DetectionLoss.__doc__

    @pytest.mark.parametrize("kwargs,message", [
        ({"num_classes": 0}, "num_classes"), ({"num_classes": 2, "reg_max": 1}, "reg_max"),
        ({"num_classes": 2, "topk": 0}, "topk"), ({"num_classes": 2, "box_weight": -1}, "box_weight"),
        ({"num_classes": 2, "beta": float("nan")}, "beta"),
    ])
    def test_bad_settings(self, kwargs, message):
        with pytest.raises(ValueError, match=message):
            DetectionLoss(**kwargs)

    def test_outputs_of_another_width(self):
        with pytest.raises(ValueError, match="4 \\* reg_max \\+ num_classes = 67"):
            DetectionLoss(3).compute_loss([tf.zeros((1, 1, 5))], random_outputs(1, classes=5))


def single_level_detector(num_classes):
    """A stride-8 stack on 64 x 64 images with the two training outputs of the family."""
    layers = tf.keras.layers
    inputs = tf.keras.Input(shape=(SIZE, SIZE, 3))
    x = inputs
    for _ in range(3):
        x = layers.Conv2D(8, 3, strides=2, padding="same", activation="relu")(x)
    raw = layers.Reshape((-1, 4 * R + num_classes))(layers.Conv2D(4 * R + num_classes, 1)(x))
    points = anchor_points(SIZE, SIZE, strides=(8,))
    pooled = layers.GlobalAveragePooling2D()(inputs)
    grid = layers.Dense(points.size, trainable=False, kernel_initializer="zeros",
                        bias_initializer=tf.keras.initializers.Constant(points.reshape(-1)))(pooled)
    return tf.keras.Model(inputs, [raw, layers.Reshape((-1, 3))(grid)])


def test_one_trace_across_batch_sizes_and_box_counts(tmp_path):
    trainer = make_trainer(tmp_path, model=single_level_detector(3), loss=DetectionLoss(3),
                           metric_names=["total-loss"])
    rng = np.random.default_rng(0)
    for batch, rows in [(2, 3), (3, 0), (1, 7), (4, 1)]:
        images = rng.integers(0, 256, (batch, SIZE, SIZE, 3), dtype=np.uint8)
        corners = np.sort(rng.uniform(0, SIZE, (batch, rows, 2, 2)), axis=2).reshape(batch, rows, 4)
        boxes = np.concatenate([corners, rng.integers(0, 3, (batch, rows, 1))], -1).astype(np.float32)
        losses = trainer.train_step((images, boxes))
        assert all(np.isfinite(losses[k].numpy()) for k in KEYS)
    assert trainer.train_step.experimental_get_tracing_count() == 1
