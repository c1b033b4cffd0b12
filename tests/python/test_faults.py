"""Bad input that used to pass silently or fail far from its cause, in the readers and the Python
classes: one table per surface, each row a bad input and the error (or report entry) it must
give, naming what is wrong.
"""
import math
import os
import struct

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from orvane.kestrix.datasets import darknet, records
from orvane.kestrix.datasets.tfrecord import TFRecordDataset
from orvane.kestrix.datasets.tfrecord import check_dataset as check_records
from orvane.kestrix.losses.segmentation import SegmentationLoss
from orvane.kestrix.schedulers.scheduler import WarmUpCosineDecay
from orvane.validator.evaluators import DetectionEvaluator
from orvane.validator.runners import DetectionRunner

JPEG = tf.io.encode_jpeg(np.full((12, 16, 3), 90, np.uint8)).numpy()


def darknet_folder(root, images=3):
    """root/{images,labels} with `images` JPEGs of one box each; returns the split entry."""
    os.makedirs(root / "images")
    os.makedirs(root / "labels")
    for i in range(images):
        (root / "images" / f"{i}.jpg").write_bytes(JPEG)
        (root / "labels" / f"{i}.txt").write_text("0 0.5 0.5 0.2 0.2\n")
    return {"images": str(root / "images"), "annotations": str(root / "labels")}


def darknet_descriptor(root, classes=("a",)):
    classes = classes if isinstance(classes, str) else list(classes)
    return {"type": "darknet", "classes": classes, "train": darknet_folder(root / "train"),
            "validation": darknet_folder(root / "val")}


def raw_example(bboxes, objects=(0,)):
    """A record built with TensorFlow's own protocol buffers (the package's writer refuses bad boxes)."""
    f = tf.train.Feature
    feature = {"image_name": f(bytes_list=tf.train.BytesList(value=[b"nan.jpg"])),
               "width": f(int64_list=tf.train.Int64List(value=[16])),
               "height": f(int64_list=tf.train.Int64List(value=[12])),
               "objects": f(int64_list=tf.train.Int64List(value=list(objects))),
               "bboxes": f(float_list=tf.train.FloatList(value=list(bboxes))),
               "image": f(bytes_list=tf.train.BytesList(value=[JPEG]))}
    return tf.train.Example(features=tf.train.Features(feature=feature)).SerializeToString()


def record_descriptor(root, train_records=None, samples=None):
    sample = {"image": JPEG, "image_name": "x.jpg", "labels": np.array([0]),
              "boxes": np.array([[0.5, 0.5, 0.2, 0.2]], np.float32)}
    records.write_detection_shards(root / "val", [sample, sample])
    if train_records is None:
        records.write_detection_shards(root / "train", [sample] * 3)
    else:
        os.makedirs(root / "train")
        records.write_records(str(root / "train" / "x.tfrecord"), train_records)
    train = {"path": str(root / "train")}
    if samples is not None:
        train["samples"] = samples
    return {"type": "tfrecord", "classes": ["a"], "train": train, "validation": {"path": str(root / "val")}}


def bomb_header(root):
    """A JPEG whose frame header claims 65000 x 65000 pixels (the data is a small image's)."""
    data = bytearray(JPEG)
    at = 2
    while data[at + 1] not in (0xC0, 0xC1, 0xC2):
        at += 2 + struct.unpack(">H", bytes(data[at + 2:at + 4]))[0]
    data[at + 5:at + 9] = struct.pack(">HH", 65000, 65000)
    desc = darknet_descriptor(root)
    (root / "train" / "images" / "1.jpg").write_bytes(bytes(data))
    return desc


def broken(report):
    return [(entry["file"], entry["reason"]) for split in ("train", "validation") for entry in report[split]["broken"]]


# --------------------------------------------------------------------------------------------
# Readers: what a dataset or its check must say about a bad descriptor or bad files.

READER_ROWS = [
    pytest.param(lambda root: darknet.DarknetDataset(darknet_descriptor(root, "abc"), [32, 32]),
                 ["classes must be a list of class names", "'abc'"], id="classes-a-string"),
    pytest.param(lambda root: darknet.DarknetDataset(darknet_descriptor(root, [1, 2]), [32, 32]),
                 ["classes entry 0 (1) is not a name"], id="classes-numbers"),
    pytest.param(lambda root: darknet.check_dataset(darknet_descriptor(root, ["a", "b", "a"])),
                 ["classes entry 2 ('a') appears twice"], id="classes-duplicate-in-check"),
    pytest.param(lambda root: darknet.DarknetDataset(darknet_descriptor(root, ["a\nb"]), [32, 32]),
                 ["holds a control character"], id="classes-newline"),
    pytest.param(lambda root: TFRecordDataset(dict(record_descriptor(root), classes=[["a"], "b"]), [32, 32]),
                 ["entry 0 (['a']) is not a name"], id="classes-nested"),
    pytest.param(lambda root: darknet.DarknetDataset(darknet_descriptor(root, ["background", "a"]), [32, 32]),
                 ["background class the reader puts first"], id="classes-repeat-background"),
    pytest.param(lambda root: check_records(dict(record_descriptor(root), classes=["a", "background"])),
                 ["entry 1 ('background') is the name of the background class"], id="check-reserves-background"),
    pytest.param(lambda root: TFRecordDataset(record_descriptor(root), [64, 64, 1]),
                 ["[height, width, 3]", "[64, 64, 1]"], id="shape-one-channel"),
    pytest.param(lambda root: next(iter(TFRecordDataset(
        record_descriptor(root, [raw_example([math.nan, 0.5, 0.1, 0.1])]), [32, 32]).build_train_iterator(1))),
        ["nan.jpg", "box 0", "not a finite number"], id="nan-box-in-a-shard-reaches-no-batch"),
    pytest.param(lambda root: os.mkfifo(root / "d.yaml") or darknet.DarknetDatasetYaml(str(root / "d.yaml"), [32, 32]),
                 ["d.yaml is not a regular file"], id="descriptor-a-named-pipe"),
    pytest.param(lambda root: records.encode_example(JPEG, "x.jpg", -1, 12),
                 ["Argument 'width' is out of range", "got -1"], id="encode-negative-width"),
]


@pytest.mark.keras_free
@pytest.mark.parametrize("build, words", READER_ROWS)
def test_bad_descriptors_and_records_are_refused_by_name(tmp_path, build, words):
    with pytest.raises((ValueError, tf.errors.InvalidArgumentError)) as info:
        build(tmp_path)
    for word in words:
        assert word in str(info.value)


# What the dataset checks must report as broken (a check that passes them lets `train` fail
# an hour later, or train on wrong data).
CHECK_ROWS = [
    pytest.param(lambda root: check_records(record_descriptor(root, samples=1000)),
                 "the train split's samples is 1000, but its shards hold 3 records", id="samples-disagree"),
    pytest.param(lambda root: check_records(record_descriptor(root, [raw_example([0.5, math.inf, 0.1, 0.1])])),
                 "box 0 holds a coordinate that is not a finite number", id="infinite-box"),
    pytest.param(lambda root: darknet.check_dataset(bomb_header(root)),
                 "image is 65000 x 65000 pixels, above the", id="decompression-bomb-header"),
]


@pytest.mark.keras_free
@pytest.mark.parametrize("check, reason", CHECK_ROWS)
def test_checks_report_what_training_cannot_use(tmp_path, check, reason):
    reasons = [why for _, why in broken(check(tmp_path))]
    assert len(reasons) == 1 and reason in reasons[0], reasons


@pytest.mark.keras_free
@pytest.mark.skipif(os.geteuid() == 0, reason="root lists every folder")
def test_unreadable_image_folder_is_broken_not_empty(tmp_path):
    desc = darknet_descriptor(tmp_path)
    os.chmod(desc["train"]["images"], 0)
    try:
        found = broken(darknet.check_dataset(desc))
    finally:
        os.chmod(desc["train"]["images"], 0o755)
    assert found == [(desc["train"]["images"], "the image folder cannot be listed: Permission denied")]


@pytest.mark.keras_free
def test_16_bit_grayscale_is_scaled_not_clipped(tmp_path):
    ramp = np.linspace(0, 65535, 32 * 32).reshape(32, 32).astype(np.uint16)
    Image.fromarray(ramp).save(tmp_path / "deep.png")
    pixels = darknet.read_image(tmp_path / "deep.png")
    assert pixels.shape == (32, 32, 3) and pixels.dtype == np.uint8
    np.testing.assert_array_equal(pixels[..., 1], ramp >> 8)


@pytest.mark.keras_free
def test_next_shard_write_removes_only_dead_writers_temporaries(tmp_path):
    os.makedirs(tmp_path / "train")
    dead = tmp_path / "train" / ".shard.tfrecord.tmp-999999999-0badcafe"  # no such process
    live = tmp_path / "train" / (".shard.tfrecord.tmp-%d-0badcafe" % os.getpid())
    other = tmp_path / "train" / ".notes.tmp-999999999-x"
    for path in (dead, live, other):
        path.write_bytes(b"partial")
    sample = {"image": JPEG, "image_name": "x.jpg", "labels": np.array([0]),
              "boxes": np.array([[0.5, 0.5, 0.2, 0.2]], np.float32)}
    records.write_detection_shards(tmp_path / "train", [sample])
    assert not dead.exists() and live.exists() and other.exists()


# --------------------------------------------------------------------------------------------
# Python classes: settings that would give a silently wrong result, and missing arguments.

def evaluate_inverted_box():
    evaluator = DetectionEvaluator(None, ["cat"])
    evaluator(None)
    empty = np.zeros((0, 4), np.float32)
    evaluator.single_evaluation({
        "gt_instance": {"image": None, "boxes": np.array([[0.6, 0.1, 0.2, 0.4]]), "labels": np.array(["cat"]),
                        "image_path": "flipped.jpg"},
        "dt_instance": {"boxes": empty, "labels": np.array([]), "scores": np.array([], np.float32)}}, 1, False)


def segmentation_with_outside_labels():
    mask = np.array([[[0, 3, 1, 1]]])
    SegmentationLoss(3).compute_loss(mask, tf.zeros((1, 1, 4, 3)))


CLASS_ROWS = [
    pytest.param(evaluate_inverted_box, ValueError, "image 'flipped.jpg': gt_instance['boxes'] row 0 has x2 < x1",
                 id="evaluator-inverted-truth"),
    pytest.param(lambda: DetectionEvaluator(None, ["cat"], score_threshold=float("nan")), ValueError,
                 "Argument 'score_threshold' must be a finite number in [0.0, 1.0], got nan", id="evaluator-nan-score"),
    pytest.param(lambda: DetectionEvaluator(None, ["cat"], score_threshold=2), ValueError, "got 2.0",
                 id="evaluator-score-2"),
    pytest.param(lambda: DetectionRunner(None, (16, 16), ["cat"]), TypeError, "Argument 'model' is required",
                 id="runner-without-model"),
    pytest.param(lambda: WarmUpCosineDecay(0.0, 1e-3, 0, 0, 0), ValueError,
                 "Argument 'total_steps' must be a finite number above 0.0, got 0.0", id="schedule-total-0"),
    pytest.param(lambda: WarmUpCosineDecay(0.0, -1e-3, 1, 10, 0), ValueError, "Argument 'target_lr' must be",
                 id="schedule-negative-rate"),
    pytest.param(lambda: WarmUpCosineDecay(0.0, float("nan"), 1, 10, 0), ValueError, "got nan",
                 id="schedule-nan-rate"),
    pytest.param(lambda: WarmUpCosineDecay(0.0, 1e-3, 8, 10, 4), ValueError,
                 "warmup_steps + hold (12.0) exceed total_steps (10.0)", id="schedule-warm-up-beyond-the-run"),
    pytest.param(lambda: SegmentationLoss(1), ValueError, "num_classes must be at least 2",
                 id="segmentation-one-class"),
    pytest.param(lambda: SegmentationLoss(3, [1.0, -1.0]), ValueError,
                 "Argument 'weights[1]' must be a finite number of at least 0.0, got -1.0",
                 id="segmentation-negative-weight"),
    pytest.param(segmentation_with_outside_labels, tf.errors.InvalidArgumentError,
                 "mask holds a label outside 0 ... num_classes - 1", id="segmentation-label-outside"),
]


@pytest.mark.parametrize("call, error, message", CLASS_ROWS)
def test_settings_that_give_wrong_results_are_refused(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


def test_trainer_without_logger_names_it(tmp_path):
    from models import make_detector
    from orvane.kestrix.trainer.detection import DetectionTrainer

    with pytest.raises(TypeError, match="Argument 'logger' is required"):
        DetectionTrainer(make_detector(), None, tf.keras.optimizers.SGD(), None, None, str(tmp_path / "runs"))
    assert not (tmp_path / "runs").exists()
