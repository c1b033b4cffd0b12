"""DetectionRunner on a model whose output is known: mapping back, NMS, thresholds, labels, contract."""
import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.datasets.utils import letterbox
from orvane.validator.runners import DetectionRunner


class FixedDetector(tf.keras.Model):
    """Returns the same boxes [K, 4] and scores [K, C] for every image, the scores multiplied by
    the largest input value (1.0 for an image holding a 255), after two training-only outputs."""

    def __init__(self, boxes, scores):
        super().__init__()
        self._boxes = np.asarray(boxes, np.float32).reshape(-1, 4)
        self._scores = np.asarray(scores, np.float32).reshape(len(self._boxes), -1)

    def call(self, images, training=False):
        batch = tf.shape(images)[0]
        peak = tf.reduce_max(images, axis=[1, 2, 3])
        boxes = tf.tile(tf.constant(self._boxes)[None], [batch, 1, 1])
        scores = tf.constant(self._scores)[None] * peak[:, None, None]
        return [peak, tf.zeros([batch, 1]), boxes, scores]


def white(h, w):
    return np.full((h, w, 3), 255, np.uint8)


class TestMappingBack:
    # image (h, w), input_shape (h, w), letter_box, box in model-input pixels, expected normalised box
    @pytest.mark.parametrize("image, shape, letter_box, box, expected", [
        ((100, 200), (64, 64), True, [16, 24, 48, 40], [0.25, 0.25, 0.75, 0.75]),     # ratio 0.32, pad top 16
        ((100, 200), (64, 64), False, [16, 24, 48, 40], [0.25, 0.375, 0.75, 0.625]),
        ((30, 10), (64, 64), True, [31.5, 16, 36.75, 48], [0.5, 0.25, 0.75, 0.75]),   # enlarged: 21 x 64, pad left 21
        ((48, 64), (32, 96), True, [36.75, 8, 47.5, 24], [0.25, 0.25, 0.5, 0.75]),    # 43 x 32 content, pad left 26
        ((50, 50), (32, 64), False, [16, 8, 48, 24], [0.25, 0.25, 0.75, 0.75]),
        ((100, 200), (64, 64), True, [-5, 0, 70, 64], [0, 0, 1, 1]),                  # into the padding: clipped
    ])
    def test_boxes_come_back_normalised_to_the_image(self, image, shape, letter_box, box, expected):
        runner = DetectionRunner(FixedDetector([box], [[0.9]]), shape, ["cat"], letter_box=letter_box)
        boxes, labels, scores = runner.run_single_instance(white(*image))
        assert boxes.dtype == np.float32 and boxes.shape == (1, 4)
        h, w = image
        assert np.abs(boxes[0] - expected) * [w, h, w, h] == pytest.approx(np.zeros(4), abs=0.01)  # in pixels

    def test_one_trace_for_every_image_size(self):
        runner = DetectionRunner(FixedDetector([[0, 0, 8, 8]], [[0.9]]), (32, 48, 3), ["cat"])
        for size in [(100, 200), (30, 10), (32, 48), (7, 300)]:
            runner.run_single_instance(white(*size))
            runner.run_single_instance(white(*size))
        assert runner.infer.experimental_get_tracing_count() == 1

    def test_model_sees_the_image_divided_by_255(self):
        runner = DetectionRunner(FixedDetector([[0, 0, 8, 8]], [[0.5]]), (16, 16), ["cat"], letter_box=False)
        assert runner.run_single_instance(white(16, 16))[2][0] == pytest.approx(0.5)
        assert runner.run_single_instance(np.full((16, 16, 3), 51, np.uint8))[2][0] == pytest.approx(0.1)


class InputRecorder(tf.keras.Model):
    """Keeps the last input it was called on (times 255, so uint8 pixels again) in a variable."""

    def __init__(self, shape):
        super().__init__()
        self.seen = tf.Variable(tf.zeros((1, *shape, 3)), trainable=False)

    def call(self, images, training=False):
        self.seen.assign(images * 255.0)
        batch = tf.shape(images)[0]
        return [images, images, tf.zeros([batch, 1, 4]), tf.zeros([batch, 1, 1])]


class TestModelInput:
    # image (h, w), input_shape: shrinks by whole factors (5, 3, 4, 3 x 2 and the 2 x 2 that OpenCV
    # rounds in integers), shrinks by no whole factor, an enlargement, an image at the input size
    @pytest.mark.parametrize("image, shape", [
        ((480, 640), (128, 128)), ((480, 640), (96, 128)), ((90, 60), (64, 20)), ((64, 128), (16, 64)),
        ((2, 300), (64, 100)), ((60, 80), (30, 40)), ((480, 640), (320, 320)), ((100, 200), (64, 64)),
        ((7, 300), (32, 48)), ((30, 10), (64, 64)), ((32, 48), (32, 48)),
    ])
    def test_letter_box_is_the_training_pipelines(self, image, shape):
        rng = np.random.default_rng(sum(image) + sum(shape))
        pixels = rng.integers(0, 256, (*image, 3), dtype=np.uint8)
        pixels[: image[0] // 2] = rng.integers(0, 256, 3, dtype=np.uint8)  # flat half: block sums on ties
        model = InputRecorder(shape)
        DetectionRunner(model, shape, ["cat"]).run_single_instance(pixels)
        seen = np.rint(model.seen.numpy()[0]).astype(np.uint8)
        np.testing.assert_array_equal(seen, letterbox(pixels, shape)[0])


# Four boxes of a 64 x 64 input; row 1 duplicates row 0 (IoU 0.88).
BOXES = [[0, 0, 32, 32], [1, 1, 33, 33], [40, 40, 60, 60], [40, 0, 60, 20]]
SCORES = [[0.99, 0.9, 0.0], [0.99, 0.8, 0.3], [0.99, 0.0005, 0.6], [0.99, 0.001, 0.0]]


class TestSelection:
    @pytest.mark.parametrize("classes, kwargs, labels, scores", [
        (["background", "cat", "dog"], {}, ["cat", "dog", "dog", "cat"], [0.9, 0.6, 0.3, 0.001]),
        (["background", "cat", "dog"], dict(max_detections=2), ["cat", "dog"], [0.9, 0.6]),
        (["background", "cat", "dog"], dict(score_threshold=0.6), ["cat", "dog"], [0.9, 0.6]),
        (["background", "cat", "dog"], dict(iou_threshold=0.9), ["cat", "cat", "dog", "dog", "cat"],
         [0.9, 0.8, 0.6, 0.3, 0.001]),
        (["person", "cat", "dog"], dict(max_detections=4), ["person", "person", "person", "cat"],
         [0.99, 0.99, 0.99, 0.9]),
        (["background", "cat", "dog"], dict(score_threshold=0.95), [], []),
    ])
    def test_nms_thresholds_and_labels(self, classes, kwargs, labels, scores):
        runner = DetectionRunner(FixedDetector(BOXES, SCORES), (64, 64), classes, letter_box=False, **kwargs)
        boxes, got_labels, got_scores = runner.run_single_instance(white(64, 64))
        assert list(got_labels) == labels and all(isinstance(l, str) for l in got_labels.tolist())
        assert got_scores.dtype == np.float32 and got_scores.tolist() == pytest.approx(scores)
        assert boxes.shape == (len(labels), 4) and got_labels.shape == (len(labels),)

    def test_duplicate_goes_and_the_kept_box_is_the_better_one(self):
        runner = DetectionRunner(FixedDetector(BOXES[:2], [[0.7], [0.8]]), (64, 64), ["cat"], letter_box=False)
        boxes, _, scores = runner.run_single_instance(white(64, 64))
        assert boxes[0].tolist() == pytest.approx([1 / 64, 1 / 64, 33 / 64, 33 / 64]) and len(boxes) == 1
        assert scores.tolist() == pytest.approx([0.8])


class TestContract:
    @pytest.mark.parametrize("image", [
        np.zeros((8, 8, 3), np.float32), np.zeros((8, 8), np.uint8), np.zeros((8, 8, 4), np.uint8),
        np.zeros((0, 8, 3), np.uint8),
    ])
    def test_bad_images(self, image):
        runner = DetectionRunner(FixedDetector([[0, 0, 1, 1]], [[1.0]]), (16, 16), ["cat"])
        with pytest.raises(ValueError, match=r"expects a uint8 image of shape \(H, W, 3\)"):
            runner.run_single_instance(image)

    def test_models_that_break_the_contract(self):
        inputs = tf.keras.Input((None, None, 3))
        pooled = tf.keras.layers.GlobalAveragePooling2D()(inputs)
        two = DetectionRunner(tf.keras.Model(inputs, [pooled, pooled]), (16, 16), ["cat"])
        with pytest.raises(ValueError, match="returns 2 outputs"):
            two.run_single_instance(white(16, 16))
        wrong_classes = DetectionRunner(FixedDetector([[0, 0, 1, 1]], [[1.0, 0.0]]), (16, 16), ["cat"])
        with pytest.raises(ValueError, match=r"scores output .*\[B, K, len\(classes\)\]"):
            wrong_classes.run_single_instance(white(16, 16))

    @pytest.mark.parametrize("kwargs, error, message", [
        (dict(classes=("cat",)), TypeError, "Argument 'classes' has incorrect type"),
        (dict(classes=[]), ValueError, "classes is empty"),
        (dict(input_shape=(0, 16)), ValueError, r"input_shape\[0\] must be at least 1"),
        (dict(input_shape=16), ValueError, "input_shape must be"),
        (dict(max_detections=0), ValueError, "max_detections must be at least 1"),
        (dict(iou_threshold=1.5), ValueError, "iou_threshold must lie in 0..1"),
    ])
    def test_bad_construction(self, kwargs, error, message):
        arguments = dict(model=None, input_shape=(16, 16), classes=["cat"])
        arguments.update(kwargs)
        with pytest.raises(error, match=message):
            DetectionRunner(**arguments)
