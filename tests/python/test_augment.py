"""Augmentation in the dataset core: boxes follow the pixels, settings are checked, seeds repeat."""
import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.datasets.core import BaseDetectionDataset

pytestmark = pytest.mark.keras_free

H, W = 48, 64
BRIGHT, FILL = 230, 114
THRESHOLD = 140  # between the fill colour and the darkest the rectangle gets (230 * 0.7)


def rectangles(count, seed=0, near_corner=False):
    """Black images with one grey filled rectangle each, and its box (class 1)."""
    rng = np.random.default_rng(seed)
    images = np.zeros((count, H, W, 3), np.uint8)
    boxes = np.zeros((count, 1, 5), np.float32)
    for i in range(count):
        bw, bh = rng.integers(8, 20, size=2)
        x1 = 0 if near_corner else int(rng.integers(0, W - bw))
        y1 = 0 if near_corner else int(rng.integers(0, H - bh))
        images[i, y1:y1 + bh, x1:x1 + bw] = BRIGHT
        boxes[i, 0] = (x1, y1, x1 + bw, y1 + bh, 1)
    return images, boxes


class Rectangles(BaseDetectionDataset):
    """Elements are indices into fixed images and boxes; the base iterator keeps their order."""

    def __init__(self, images, boxes, aug_cfg=None):
        self.images, self.boxes = images, boxes
        super().__init__(None, [H, W, 3], True, add_bkg_class=False, aug_cfg=aug_cfg)

    def validate_info_file(self, info_file):
        return {}

    def validate_info_file_content(self, info_dataset=None):
        pass

    def load_storage(self):
        self.train_storage = list(range(len(self.images)))
        self.val_storage = list(range(len(self.images)))

    def build_and_load_base_iterator(self, storage, shuffle=True):
        return tf.data.Dataset.from_tensor_slices(np.array(storage, np.int64))

    def load_instance(self, data, training=True):
        i = int(data)
        if training:
            return self.images[i], self.boxes[i]
        return self.images[i], self.boxes[i], b"image-%d" % i


def batches(aug_cfg, count=16, batch_size=8, **kwargs):
    images, boxes = rectangles(count, **kwargs)
    pipeline = Rectangles(images, boxes, aug_cfg).build_train_iterator(batch_size)
    out_images, out_boxes = zip(*[(i.numpy(), b.numpy()) for i, b in pipeline])
    return images, boxes, np.concatenate(out_images), list(np.concatenate([b for b in out_boxes_padded(out_boxes)]))


def out_boxes_padded(box_batches):
    rows = max(b.shape[1] for b in box_batches)
    return [np.pad(b, ((0, 0), (0, rows - b.shape[1]), (0, 0))) for b in box_batches]


def real_rows(boxes):
    return boxes[(boxes[:, 2] > boxes[:, 0]) & (boxes[:, 3] > boxes[:, 1])]


class TestSettings:
    @pytest.mark.parametrize("aug_cfg,key", [
        ({"rotate": 0.5}, "'rotate'"),
        ({"flip": 1.5}, "'flip'"),
        ({"hsv": -0.1}, "'hsv'"),
        ({"scale": "half"}, "'scale'"),
        ({"flip": float("nan")}, "'flip'"),
        ({"seed": 1.5}, "'seed'"),
        ({"flip": 0.5, 3: 0.5}, "3"),
    ])
    def test_bad_settings_name_the_key(self, aug_cfg, key):
        images, boxes = rectangles(2)
        with pytest.raises(ValueError, match=r"\[ERROR\]: aug_cfg.*" + key):
            Rectangles(images, boxes, aug_cfg)

    def test_settings_must_be_a_dict(self):
        images, boxes = rectangles(2)
        with pytest.raises(TypeError, match="aug_cfg"):
            Rectangles(images, boxes, [("flip", 0.5)])

    def test_documented_in_the_base_class(self):
        for key in ('"flip"', '"hsv"', '"scale"', '"mosaic"', '"seed"'):
            assert key in BaseDetectionDataset.__doc__


class TestNoChange:
    @pytest.mark.parametrize("aug_cfg", [{}, {"flip": 0, "hsv": 0.0, "scale": 0}, {"seed": 4}])
    def test_zero_frequencies_change_nothing(self, aug_cfg):
        images, boxes, out_images, out_boxes = batches(aug_cfg)
        np.testing.assert_array_equal(out_images, images)
        np.testing.assert_array_equal(np.array(out_boxes), boxes)

    def test_mosaic_switched_off_changes_nothing(self):
        images, boxes = rectangles(16)
        dataset = Rectangles(images, boxes, {"mosaic": 1.0})
        pipeline = dataset.build_train_iterator(8)
        dataset.mosaic_enabled = False
        out = np.concatenate([i.numpy() for i, _ in pipeline])
        np.testing.assert_array_equal(out, images)
        dataset.mosaic_enabled = True
        assert not np.array_equal(np.concatenate([i.numpy() for i, _ in pipeline]), images)

    def test_validation_samples_are_not_augmented(self):
        images, boxes = rectangles(4)
        dataset = Rectangles(images, boxes, {"flip": 1, "hsv": 1, "scale": 1})
        for i, (image, box, _) in enumerate(dataset.build_val_iterator()):
            np.testing.assert_array_equal(image.numpy()[0], images[i])
            np.testing.assert_array_equal(box.numpy()[0], boxes[i])


class TestBoxesFollowPixels:
    def test_flip_mirrors_boxes_and_pixels(self):
        images, boxes, out_images, out_boxes = batches({"flip": 1.0})
        np.testing.assert_array_equal(out_images, images[:, :, ::-1])
        for original, flipped in zip(boxes, out_boxes):
            np.testing.assert_allclose(flipped[0], [W - original[0, 2], original[0, 1], W - original[0, 0],
                                                    original[0, 3], 1])

    @pytest.mark.parametrize("aug_cfg", [{"hsv": 1.0}, {"scale": 1.0}, {"flip": 0.5, "hsv": 1.0, "scale": 1.0},
                                         {"mosaic": 1.0}, {"mosaic": 0.5, "flip": 0.5, "hsv": 1.0, "scale": 1.0}])
    def test_a_drawn_rectangle_still_covers_its_box(self, aug_cfg):
        _, _, out_images, out_boxes = batches(dict(aug_cfg, seed=1), count=48)
        kept = 0
        for image, rows in zip(out_images, out_boxes):
            bright = image.max(axis=-1) > THRESHOLD
            for x1, y1, x2, y2, cls in real_rows(rows):
                kept += 1
                assert cls == 1 and 0 <= x1 < x2 <= W and 0 <= y1 < y2 <= H
                # Inside the box (one pixel in, where bilinear edges blur): the rectangle.
                inner = bright[int(np.ceil(y1)) + 1:int(y2) - 1, int(np.ceil(x1)) + 1:int(x2) - 1]
                assert inner.all() and (inner.size or "mosaic" in aug_cfg)  # mosaic boxes may be 2 px
                if "mosaic" in aug_cfg:
                    continue  # a mosaic may cut a rectangle to a sliver that is dropped, not boxed
                # Outside the box (one pixel out): no rectangle left uncovered.
                outside = bright.copy()
                outside[max(int(y1) - 1, 0):int(np.ceil(y2)) + 1, max(int(x1) - 1, 0):int(np.ceil(x2)) + 1] = False
                assert not outside.any()
        assert kept > 40

    def test_boxes_that_leave_the_image_are_dropped(self):
        _, _, out_images, out_boxes = batches({"scale": 1.0, "seed": 2}, count=64, near_corner=True)
        dropped = 0
        for rows in out_boxes:
            real = real_rows(rows)
            if len(real) == 0:
                dropped += 1
                assert not rows.any()  # the sample carries all-zero rows only
            for x1, y1, x2, y2, _ in real:
                assert 0 <= x1 and x2 <= W and 0 <= y1 and y2 <= H
                assert x2 - x1 >= 2 and y2 - y1 >= 2
        assert 0 < dropped < 64


class TestSeeds:
    def test_fixed_seed_repeats_batches_and_epochs_differ(self):
        cfg = {"flip": 0.5, "hsv": 0.5, "scale": 0.5, "seed": 7}
        images, boxes = rectangles(16)
        first = Rectangles(images, boxes, cfg).build_train_iterator(4)
        second = Rectangles(images, boxes, cfg).build_train_iterator(4)
        epoch = lambda pipeline: [(i.numpy(), b.numpy()) for i, b in pipeline]
        run_a, run_b = epoch(first), epoch(second)
        for (ia, ba), (ib, bb) in zip(run_a, run_b):
            np.testing.assert_array_equal(ia, ib)
            np.testing.assert_array_equal(ba, bb)
        again = epoch(first)
        assert any(not np.array_equal(a[0], b[0]) for a, b in zip(run_a, again))
