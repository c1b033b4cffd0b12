"""Tests of the validation writer: images with drawn boxes, read back from the event files."""

import numpy as np
import pytest
import tensorflow as tf

from orvane.validator.writers import TrainingTensorBoardWriter

from events import image_summaries

pytestmark = pytest.mark.keras_free

GREEN = (0, 255, 0)
RED = (255, 0, 0)


def extent(image, colour):
    """(row_min, col_min, row_max, col_max) of the pixels of exactly that colour, or None."""
    where = np.argwhere(np.all(image == np.array(colour, np.uint8), axis=-1))
    if len(where) == 0:
        return None
    return (*where.min(0), *where.max(0))


@pytest.fixture
def messenger(tmp_path):
    return TrainingTensorBoardWriter(tf.summary.create_file_writer(str(tmp_path)))


def publish(messenger, **overrides):
    args = dict(caption="validation", image=np.zeros((21, 31, 3), np.uint8),
                gt_boxes=np.array([[0.2, 0.1, 0.6, 0.5]]), gt_labels=np.array(["cat"]),
                dt_boxes=np.zeros((0, 4)), dt_labels=[], dt_scores=[], step=0)
    args.update(overrides)
    return messenger.publish_detections(**args)


class TestModule:
    def test_keeps_the_writer_given_positionally(self, tmp_path):
        writer = tf.summary.create_file_writer(str(tmp_path))
        assert TrainingTensorBoardWriter(writer).writer is writer


class TestPublishDetections:
    def test_boxes_drawn_in_place_and_colour(self, messenger, tmp_path):
        # Normalised ground truth, x1=0.2 y1=0.1 x2=0.6 y2=0.5 on a 31 wide, 21 high image;
        # a pixel detection x 3..24, y 12..18.
        assert publish(messenger, dt_boxes=np.array([[3.0, 12.0, 24.0, 18.0]]), dt_labels=["dog"],
                       dt_scores=np.array([0.8]), step=7, normalized=True) is None
        publish(messenger, gt_boxes=np.array([[6.0, 2.0, 18.0, 10.0]]),
                dt_boxes=np.array([[3.0, 12.0, 24.0, 18.0]]), dt_labels=["dog"], dt_scores=[0.8],
                step=8, normalized=False)
        messenger.flush()

        images = image_summaries(str(tmp_path))
        assert [(step, tag) for step, tag, _ in images] == [(7, "validation"), (8, "validation")]
        first, second = images[0][2], images[1][2]
        assert first.shape == (21, 31, 3)
        # Rows follow y and columns follow x (the drawing op's y-first order).
        assert extent(first, GREEN) == pytest.approx((2, 6, 10, 18), abs=1)
        # Pixel boxes are scaled by the image size; normalised ones would be off-image here.
        assert extent(second, GREEN) == pytest.approx((2, 6, 10, 18), abs=1)
        assert extent(second, RED) == pytest.approx((11, 3, 17, 23), abs=1)

    def test_low_scores_not_drawn_and_empty_boxes_accepted(self, messenger, tmp_path):
        publish(messenger, dt_boxes=np.array([[0.1, 0.1, 0.9, 0.9], [0.3, 0.6, 0.5, 0.8]]),
                dt_labels=["a", "b"], dt_scores=[0.2, 0.9], min_score=0.5)
        publish(messenger, gt_boxes=np.zeros((0, 5))[:, :4], gt_labels=[], step=1)
        messenger.flush()
        (_, _, drawn), (_, _, empty) = image_summaries(str(tmp_path))
        assert extent(drawn, RED) == pytest.approx((12, 9, 16, 15), abs=1)
        assert not empty.any()

    def test_image_forms(self, messenger, tmp_path):
        grey = np.full((10, 12, 1), 0.5, np.float32)
        publish(messenger, image=grey, step=0)
        publish(messenger, image=np.full((10, 12, 3), 255.0), step=1)  # 0..255 floats
        messenger.flush()
        (_, _, a), (_, _, b) = image_summaries(str(tmp_path))
        assert a.shape == (10, 12, 3) and a[9, 0].tolist() == pytest.approx([128, 128, 128], abs=1)
        assert b[9, 0].tolist() == [255, 255, 255]

    @pytest.mark.parametrize(
        "overrides, match",
        [
            (dict(image=np.zeros((4, 4))), r"'image' must have shape \(height, width, 1 or 3\), got \(4, 4\)"),
            (dict(image=np.zeros((4, 4, 2))), r"'image' must have shape"),
            (dict(gt_boxes=np.zeros((1, 5))), r"'gt_boxes' must have shape \(N, 4\).*got \(1, 5\)"),
            (dict(gt_labels=["a", "b"]), r"'gt_labels' holds 2 entries but 'gt_boxes' holds 1"),
            (dict(dt_boxes=np.ones((2, 4)), dt_labels=["a", "b"], dt_scores=[0.5]),
             r"'dt_scores' holds 1 entries but 'dt_boxes' holds 2"),
            (dict(dt_boxes=np.ones((1, 4)), dt_labels=[], dt_scores=[0.5]), r"'dt_labels' holds 0"),
        ],
    )
    def test_bad_inputs_named(self, messenger, tmp_path, overrides, match):
        with pytest.raises(ValueError, match=match):
            publish(messenger, **overrides)
        messenger.flush()
        assert image_summaries(str(tmp_path)) == []
