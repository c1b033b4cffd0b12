"""The detector family: outputs, decoding, the saved export model, and learning with its loss."""
import os

import numpy as np
import pytest
import tensorflow as tf

from models import make_trainer
from orvane.kestrix.losses.detection import DetectionLoss
from orvane.kestrix.models import REG_MAX, SIZES, anchor_points, build_detector
from shapes import SHAPES, average_precision, detect, make_shapes


def export(model):
    return tf.keras.Model(model.input, model.outputs[2:])


def set_box_bins(model, bins):
    """Every anchor point predicts side i at exactly ``bins[i]`` strides (a one-hot distribution)."""
    for level in range(3):
        layer = model.get_layer(f"head{level}_box_logits")
        kernel, bias = layer.get_weights()
        kernel[:] = 0
        bias[:] = -30
        for side, b in enumerate(bins):
            bias[side * REG_MAX + b] = 30
        layer.set_weights([kernel, bias])


class TestFamily:
    @pytest.mark.parametrize("size", sorted(SIZES))
    def test_each_size_at_two_inputs_saves_and_loads_without_custom_objects(self, size, tmp_path):
        for shape in [(64, 64, 3), (96, 64, 3)]:
            model = build_detector(3, shape, size)
            h, w = shape[:2]
            k = h * w * 21 // 1024
            assert [tuple(o.shape[1:]) for o in model.outputs] == [(k, 4 * REG_MAX + 3), (k, 3), (k, 4), (k, 3)]
        for v in model.trainable_variables:  # off the initial values, so the comparison means something
            v.assign(v + tf.random.normal(v.shape, stddev=0.02))
        path = str(tmp_path / f"{size}.h5")
        export(model).save(path)
        loaded = tf.keras.models.load_model(path, compile=False)
        images = np.random.default_rng(1).uniform(0, 1, (2,) + shape).astype(np.float32)
        mine = [o.numpy() for o in export(model)(images)]
        for ours, theirs in zip(mine, loaded(images)):
            np.testing.assert_allclose(theirs.numpy(), ours, rtol=1e-4, atol=1e-3)
        boxes, scores = mine
        assert boxes.min() >= 0 and boxes[..., 0::2].max() <= w and boxes[..., 1::2].max() <= h
        assert scores.min() >= 0 and scores.max() <= 1

    @pytest.mark.parametrize("bins", [(0, 0, 0, 0), (1, 2, 3, 4), (15, 0, 7, 1)])
    def test_a_known_distribution_gives_a_known_box(self, bins):
        model = build_detector(2, (64, 96, 3), "n")
        set_box_bins(model, bins)
        boxes = model(np.zeros((1, 64, 96, 3), np.float32))[2].numpy()[0]
        x, y, s = anchor_points(64, 96).T
        want = np.stack([x - bins[0] * s, y - bins[1] * s, x + bins[2] * s, y + bins[3] * s], -1)
        np.testing.assert_allclose(boxes, np.clip(want, 0, [96, 64, 96, 64]), atol=1e-3)

    @pytest.mark.parametrize("kwargs", [
        {"num_classes": 0}, {"num_classes": 2, "size": "x"}, {"num_classes": 2, "input_shape": (80, 64, 3)},
        {"num_classes": 2, "input_shape": (None, None, 3)}, {"num_classes": 2, "input_shape": (64, 64, 1)},
        {"num_classes": 2, "reg_max": 1},
    ])
    def test_bad_arguments(self, kwargs):
        with pytest.raises(ValueError):
            build_detector(**kwargs)


def test_learns_objects_of_several_scales(tmp_path):
    """Shapes from 6 to 40 pixels on 64 x 64 images; most of the time goes into building the
    step's graph."""
    images, boxes = make_shapes(256, size=64, seed=0, min_side=6, max_side=40)
    val_images, val_boxes = make_shapes(64, size=64, seed=1, min_side=6, max_side=40)
    model = build_detector(len(SHAPES), (64, 64, 3), "n")
    predict = export(model)
    before = average_precision(detect(predict(val_images.astype(np.float32) / 255)), val_boxes)

    train = tf.data.Dataset.from_tensor_slices((images, boxes)).shuffle(256, seed=0).batch(16)
    trainer = make_trainer(tmp_path, model=model, loss=DetectionLoss(len(SHAPES)),
                           optimizer=tf.keras.optimizers.Adam(3e-3), classes=list(SHAPES),
                           metric_names=["total-loss"])
    if os.environ.get("TF_USE_LEGACY_KERAS") == "1":
        for _ in range(8):
            for batch in train:
                trainer.train_step(batch)
    else:
        trainer.train(8, train, None, None)
    after = average_precision(detect(predict(val_images.astype(np.float32) / 255)), val_boxes)
    assert before < 0.05
    assert after > 0.4, after  # about 0.5 is usual
