"""Tests of the segmentation loss: its terms, the named losses, compiled use and Keras fit."""
import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.losses.core import KestrixLoss, keras_loss, keras_metrics
from orvane.kestrix.losses.segmentation import SegmentationLoss
from segmentation_reference import nearest_resize, reference_losses

KEYS = ["total-loss", "iou-loss", "class-loss", "negative-loss"]


def values(losses):
    return {key: float(value) for key, value in losses.items()}


def logits_for(classes, num_classes, margin=5.0):
    """Logits [B, H, W, C] whose arg-max is `classes` [B, H, W]."""
    return tf.one_hot(classes, num_classes) * margin


class TestConstruction:
    def test_settings_and_a_fresh_default_list(self):
        a, b = SegmentationLoss(3), SegmentationLoss(num_classes=2, use_dynamic_class_weights=True)
        a.weights.append(5.0)
        assert isinstance(a, KestrixLoss) and b.weights == [1.0, 1.0] and b.use_dynamic_class_weights is True
        assert isinstance(b.cce, tf.keras.losses.CategoricalCrossentropy)

    @pytest.mark.parametrize("weights", [(1.0, 1.0), type("Weights", (list,), {})([1.0, 1.0])])
    def test_weights_not_exactly_a_list_rejected_before_anything_is_set(self, weights):
        obj = SegmentationLoss.__new__(SegmentationLoss)
        with pytest.raises(TypeError, match=r"^Argument 'weights' has incorrect type \(expected list, got "):
            obj.__init__(3, weights)
        assert not hasattr(obj, "num_classes")

    @pytest.mark.parametrize("num_classes", [0, -2])
    def test_no_classes_raises_after_the_attributes_are_set(self, num_classes):
        obj = SegmentationLoss.__new__(SegmentationLoss)
        with pytest.raises(ValueError, match=f"^The number of classes should be larger than 0: ``{num_classes}`` was"):
            obj.__init__(num_classes)
        assert obj.num_classes == num_classes and obj.weights == [1.0, 1.0] and hasattr(obj, "cce")


class TestTerms:
    @pytest.mark.parametrize(
        "y_true, y_pred, score",
        [
            (np.eye(4, dtype=np.float32), np.eye(4, dtype=np.float32), 1.0),
            (np.zeros((3, 2), np.float32), np.zeros((3, 2), np.float32), 1.0),
            (np.eye(5, dtype=np.float32), np.roll(np.eye(5, dtype=np.float32), 1, axis=1), 1.0 / 11.0),
            (np.arange(12, dtype=np.float32).reshape(4, 3) / 12, np.linspace(0, 1, 12, dtype=np.float32).reshape(2, 6),
             float((2 * np.sum(np.arange(12) / 12 * np.linspace(0, 1, 12)) + 1) / (5.5 + 6 + 1))),
        ],
        ids=["identical", "all-zero", "disjoint", "flattened"],
    )
    def test_dice(self, y_true, y_pred, score):
        loss = SegmentationLoss(2)
        assert float(SegmentationLoss.dice_coeff(y_true, y_pred)) == pytest.approx(score, rel=1e-6)
        assert float(loss.dice_loss(y_true, y_pred)) == pytest.approx(1.0 - score, abs=1e-6)

    @pytest.mark.parametrize(
        "labels, num_classes",
        [([[0, 0, 2, 2, 2]], 4), ([[1, 1], [1, 0], [0, 0]], 2), ([[0, 1, 7], [-1, 1, 1]], 3)],
        ids=["absent-class", "c-equals-classes", "outside-labels"],
    )
    def test_weighted_cross_entropy_weights_each_entry_by_its_class_frequency(self, labels, num_classes):
        labels = np.array(labels)
        probs = np.random.default_rng(1).dirichlet(np.ones(num_classes), labels.shape).astype(np.float32)
        inside = (labels >= 0) & (labels < num_classes)
        frequency = np.array([np.mean(labels == i) for i in range(num_classes)])
        picked = np.take_along_axis(probs, np.clip(labels, 0, num_classes - 1)[..., None], -1)[..., 0]
        expected = np.mean(np.where(inside, frequency[np.clip(labels, 0, num_classes - 1)] * -np.log(picked), 0.0))
        got = SegmentationLoss(num_classes).weighted_categorical_crossentropy(labels, probs)
        assert float(got) == pytest.approx(expected, rel=1e-5)

    @pytest.mark.parametrize("shape", [[6], [2, 3, 1]])
    def test_weighted_cross_entropy_needs_two_axes(self, shape):
        with pytest.raises(ValueError, match="values to unpack"):
            SegmentationLoss(3).weighted_categorical_crossentropy(np.zeros(shape, np.int32), np.ones(shape + [3]) / 3)


class TestComputeLoss:
    def test_entries_in_order_with_their_dtypes_and_a_tuple_target(self):
        mask = np.random.default_rng(0).integers(0, 3, (2, 8, 8))
        loss, logits = SegmentationLoss(3), tf.random.normal((2, 4, 4, 3))
        losses = loss.compute_loss(y_true=(mask, "anything"), y_pred=logits)
        assert list(losses) == KEYS and [v.dtype for v in losses.values()] == [tf.float32] * 3 + [tf.float64]
        assert values(losses) == values(loss.compute_loss(mask, logits))

    @pytest.mark.parametrize("weights", [[1.0, 1.0], [0.0, 1.0], [2.5, 0.25], [1.0, 0.0]])
    def test_total_is_the_sum_of_the_weighted_entries(self, weights):
        mask = np.random.default_rng(0).integers(0, 4, (2, 6, 6))
        losses = SegmentationLoss(4, weights).compute_loss(mask, tf.random.normal((2, 6, 6, 4)))
        total = losses["class-loss"] + losses["iou-loss"] + tf.cast(losses["negative-loss"], tf.float32)
        assert float(losses["total-loss"]) == float(total)
        assert (float(losses["class-loss"]) == 0.0) == (weights[0] == 0.0)

    @pytest.mark.parametrize(
        "mask, predicted, negative",
        [
            ([[0, 0, 1, 2]], [[0, 0, 2, 1]], 0.0),  # every background pixel predicted background
            ([[0, 0, 1, 2]], [[1, 2, 1, 2]], 1.0),  # every background pixel predicted as a class
            ([[1, 2, 2, 1]], [[2, 0, 1, 1]], 0.0),  # no background pixel: 0, not 0/0
        ],
    )
    def test_negative_share_of_background(self, mask, predicted, negative):
        mask = np.array(mask)[:, None, :]
        losses = SegmentationLoss(3).compute_loss(mask, logits_for(np.array(predicted)[:, None, :], 3))
        assert float(losses["negative-loss"]) == negative
        assert all(np.isfinite(v) for v in values(losses).values())


# (batch, mask height, mask width, logits height, logits width, classes)
SIZES = [(2, 8, 8, 8, 8, 3), (3, 16, 12, 8, 6, 5), (1, 24, 24, 16, 16, 21), (4, 5, 7, 10, 14, 2)]


class TestAgainstReference:
    @pytest.mark.parametrize("size", SIZES)
    @pytest.mark.parametrize("compiled", [False, True], ids=["eager", "compiled"])
    def test_values_and_gradients(self, size, compiled):
        b, h0, w0, h, w, c = size
        rng = np.random.default_rng(sum(size))
        mask = rng.integers(0, c, (b, h0, w0)).astype(np.int32)
        logits = tf.constant(rng.normal(0, 2, (b, h, w, c)).astype(np.float32))
        loss = SegmentationLoss(c, [0.7, 1.3])

        def run(fn, *args):
            with tf.GradientTape() as tape:
                tape.watch(logits)
                losses = fn(*args, logits)
            return losses, tape.gradient(losses["total-loss"], logits)

        if compiled:
            run = tf.function(run)
        got, got_grad = run(loss.compute_loss, mask)
        want, want_grad = run(lambda m, x: reference_losses(m, x, [0.7, 1.3]), nearest_resize(mask, h, w))
        assert values(got) == pytest.approx(values(want), rel=1e-5, abs=1e-6)
        np.testing.assert_allclose(got_grad, want_grad, rtol=1e-4, atol=1e-7)

    @pytest.mark.parametrize(
        "mask_spec, logits_spec", [([None, 16, 16], [None, 8, 8, 3]), ([None, None, None], [None, None, None, 3])]
    )
    def test_one_trace_serves_every_batch_size(self, mask_spec, logits_spec):
        loss = SegmentationLoss(3)
        step = tf.function(
            loss.compute_loss,
            input_signature=[tf.TensorSpec(mask_spec, tf.int32), tf.TensorSpec(logits_spec, tf.float32)],
        )
        for batch in (1, 4, 3):
            mask = np.random.default_rng(batch).integers(0, 3, (batch, 16, 16)).astype(np.int32)
            logits = tf.random.normal((batch, 8, 8, 3))
            assert values(step(mask, logits)) == pytest.approx(values(loss.compute_loss(mask, logits)), rel=1e-6)
        assert step.experimental_get_tracing_count() == 1


class TestKerasFit:
    def test_loss_falls_and_the_entries_are_metrics(self):
        rng = np.random.default_rng(0)
        masks = np.zeros((32, 24, 24), np.int32)  # one square of class 1 or 2 on the background
        for mask in masks:
            top, left, side = rng.integers(0, 12, 2).tolist() + [int(rng.integers(6, 12))]
            mask[top:top + side, left:left + side] = rng.integers(1, 3)
        images = np.stack([masks == 1, masks == 2, masks == 0], -1).astype(np.float32)
        images += rng.normal(0, 0.1, images.shape).astype(np.float32)

        inputs = tf.keras.Input((None, None, 3))
        x = tf.keras.layers.Conv2D(8, 3, padding="same", activation="relu")(inputs)
        x = tf.keras.layers.Conv2D(3, 3, strides=2, padding="same")(x)  # logits at half resolution
        model = tf.keras.Model(inputs, x)
        loss = SegmentationLoss(3)
        names = ["iou-loss", "class-loss", "negative-loss"]
        model.compile(tf.keras.optimizers.Adam(0.01), loss=keras_loss(loss), metrics=keras_metrics(loss, names))
        history = model.fit(images, masks, batch_size=8, epochs=4, verbose=0).history
        assert set(names) <= set(history)
        assert history["loss"][-1] < 0.6 * history["loss"][0]
        assert history["iou-loss"][-1] < history["iou-loss"][0]
