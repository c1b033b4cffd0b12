"""TFRecord datasets: descriptor checks, shard listing, record decoding, pipelines and training."""
import collections
import glob
import io
import os
import warnings

import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

from orvane.kestrix.datasets import records
from orvane.kestrix.datasets.tfrecord import TFRecordDataset, TFRecordDatasetYaml, check_dataset, dataset_type

MSG_EMPTY_SAMPLES = "[ERROR]: Kestrix trainer does not support empty samples in either train or validation sets"
MSG_NO_CLASSES = "[ERROR]: Invalid dataset with no annotation classes was found"
MSG_NO_FOLDER_KEY = ("[ERROR]: This dataset does not contain the ``type`` key and it is not compatible with "
                     "older TFRecord format neither")
MSG_EMPTY_SPLIT = "[ERROR]: Empty train or validation samples are not allowed."


def incompatible(kind):
    return f"[ERROR]: Incompatible dataset type was found: {kind} is different than ``tfrecord``"


def jpeg_bytes(array, **save_kwargs):
    buffer = io.BytesIO()
    Image.fromarray(array).save(buffer, format="JPEG", quality=95, **save_kwargs)
    return buffer.getvalue()


def boxed_image(height=48, width=64, box=(0.5, 0.5, 0.5, 0.5)):
    """A black RGB image with a white rectangle where the normalised box (cx, cy, w, h) lies."""
    image = np.zeros((height, width, 3), np.uint8)
    cx, cy, bw, bh = box
    image[round((cy - bh / 2) * height):round((cy + bh / 2) * height),
          round((cx - bw / 2) * width):round((cx + bw / 2) * width)] = 255
    return image


def example(image, name, objects=None, bboxes=None, width=64, height=48):
    """A serialized Example built with TensorFlow's own protocol buffers (any content allowed)."""
    feature = {
        "image": tf.train.Feature(bytes_list=tf.train.BytesList(value=[image])),
        "image_name": tf.train.Feature(bytes_list=tf.train.BytesList(value=[name if isinstance(name, bytes) else name.encode()])),
        "width": tf.train.Feature(int64_list=tf.train.Int64List(value=[width])),
        "height": tf.train.Feature(int64_list=tf.train.Int64List(value=[height])),
    }
    if objects is not None:
        feature["objects"] = tf.train.Feature(int64_list=tf.train.Int64List(value=objects))
    if bboxes is not None:
        feature["bboxes"] = tf.train.Feature(float_list=tf.train.FloatList(value=bboxes))
    return tf.train.Example(features=tf.train.Features(feature=feature)).SerializeToString()


def make_samples(count, start=0, size=(48, 64)):
    rng = np.random.default_rng(start)
    samples = []
    for i in range(start, start + count):
        image = rng.integers(0, 256, size + (3,), dtype=np.uint8)
        n = i % 3  # 0, 1 or 2 objects
        labels = [(i + k) % 3 for k in range(n)]
        boxes = [[0.3 + 0.2 * k, 0.5, 0.2, 0.4] for k in range(n)]
        samples.append((image, f"img-{i:03d}", labels, boxes))
    return samples


@pytest.fixture(scope="module")
def shards(tmp_path_factory):
    """A dataset folder: 7 training records over 3 shards, 3 validation records in one."""
    root = tmp_path_factory.mktemp("tfrecords")
    records.write_detection_shards(str(root / "train"), make_samples(7), shard_size=3)
    records.write_detection_shards(str(root / "val"), make_samples(3, start=100))
    return root


def descriptor(root, **extra):
    desc = {
        "type": "tfrecord",
        "classes": ["cat", "dog", "bird"],
        "train": {"path": str(root / "train")},
        "validation": {"path": str(root / "val")},
    }
    desc.update(extra)
    return desc


@pytest.fixture
def dataset(shards):
    return TFRecordDataset(descriptor(shards), [32, 32, 3], True, False)


@pytest.mark.keras_free
class TestArguments:
    def test_exact_type_checks_in_argument_order(self, shards):
        cases = [
            (lambda: TFRecordDatasetYaml(3, (32, 32)), "Argument 'info_file' has incorrect type (expected str, got int)"),
            (lambda: TFRecordDatasetYaml(None, (32, 32)), "Argument 'shape' has incorrect type (expected list, got tuple)"),
            (lambda: TFRecordDatasetYaml(None, [32, 32], aug_cfg=collections.OrderedDict()),
             "Argument 'aug_cfg' has incorrect type (expected dict, got collections.OrderedDict)"),
            (lambda: TFRecordDataset(collections.OrderedDict(descriptor(shards)), [32, 32]),
             "Argument 'info_dataset' has incorrect type (expected dict, got collections.OrderedDict)"),
            (lambda: TFRecordDataset(descriptor(shards), "32x32"),
             "Argument 'shape' has incorrect type (expected list, got str)"),
        ]
        for build, message in cases:
            with pytest.raises(TypeError) as info:
                build()
            assert str(info.value) == message

    def test_method_argument_checks(self, dataset):
        with pytest.raises(TypeError, match=r"^Argument 'info_dataset' has incorrect type \(expected dict, got list\)$"):
            dataset.validate_info_file_content([])
        with pytest.raises(TypeError, match=r"^Argument 'info_file' has incorrect type \(expected str, got int\)$"):
            dataset.validate_info_file(3)
        with pytest.raises(TypeError, match=r"^Argument 'storage' has incorrect type \(expected list, got str\)$"):
            dataset.build_and_load_base_iterator("folder")

    def test_dataset_without_dictionary(self):
        with pytest.raises(TypeError, match="Argument 'info_dataset' is required"):
            TFRecordDataset(None, [32, 32])


@pytest.mark.keras_free
class TestDescriptorValidation:
    """validate_info_file_content on a constructed dataset (class_offset 0 or 1)."""

    @pytest.fixture
    def check(self, shards):
        def run(desc, offset=0):
            ds = TFRecordDataset(descriptor(shards), [32, 32], True, bool(offset))
            ds.validate_info_file_content(desc)
            return ds
        return run

    @pytest.mark.parametrize(
        "desc, offset, error, message",
        [
            # The zero count is checked before the empty class list.
            ({"classes": [], "train": {"path": "t"}, "validation": {"path": "v", "samples": 0}}, 0,
             ValueError, MSG_EMPTY_SAMPLES),
            ({"classes": ["a"], "train": {"path": "t", "samples": 0}, "validation": {"path": "v"}}, 1,
             ValueError, MSG_EMPTY_SAMPLES),
            ({"classes": [], "train": {"path": "t"}, "validation": {"path": "v"}}, 0, ValueError, MSG_NO_CLASSES),
            ({"type": "darknet", "classes": ["a"], "train": {"path": "t"}, "validation": {"path": "v"}}, 0,
             ValueError, incompatible("darknet")),
            ({"type": "TFRecord", "classes": ["a"], "train": {"path": "t"}, "validation": {"path": "v"}}, 0,
             ValueError, incompatible("TFRecord")),
            ({"type": 3, "classes": ["a"], "train": {"path": "t"}, "validation": {"path": "v"}}, 0,
             ValueError, incompatible(3)),
            ({"type": "tfrecord", "classes": ["a"], "train": {"images": "t"}, "validation": {"images": "v"}}, 0,
             ValueError, MSG_NO_FOLDER_KEY),
            ({"classes": ["a"], "train": {"path": "t"}, "validation": {"path": "v"}}, 0,
             ValueError, MSG_NO_FOLDER_KEY),
            (None, 0, AttributeError, "'NoneType' object has no attribute 'get'"),
            ({"classes": ["a"], "validation": {"path": "v"}}, 0, AttributeError, "'NoneType' object has no attribute 'get'"),
            ({"train": {"path": "t"}, "validation": {"path": "v"}}, 0, TypeError, "object of type 'NoneType' has no len()"),
            ({"train": {"path": "t"}, "validation": {"path": "v"}}, 1, TypeError, 'can only concatenate list (not "NoneType") to list'),
        ],
    )
    def test_failures_in_check_order(self, check, desc, offset, error, message):
        with pytest.raises(error) as info:
            check(desc, offset)
        assert str(info.value) == message

    def test_attributes_set_before_a_failure_remain(self, shards):
        ds = TFRecordDataset(descriptor(shards), [32, 32], True, True)
        storage = list(ds.train_storage)
        with pytest.raises(ValueError, match="Incompatible"):
            ds.validate_info_file_content(
                {"type": "x", "classes": ["a"], "train": {"path": "t", "samples": 5}, "validation": {"path": "v"}})
        assert ds.classes == ["background", "a"]
        assert (ds.num_train_samples, ds.num_val_samples) == (5, None)
        assert ds.train_storage == storage  # never reached

    def test_accepted_layouts(self, check):
        classes = ["a", "b"]
        desc = {"type": "tfrecord", "classes": classes,
                "train": {"path": "/t", "images": "/ignored", "samples": 4}, "validation": {"path": "/v"}}
        ds = check(desc, 1)
        assert ds.classes == ["background", "a", "b"] and classes == ["a", "b"]
        assert (ds.num_train_samples, ds.num_val_samples) == (4, None)
        assert (ds.train_storage, ds.val_storage) == ("/t", "/v")

        older = {"classes": [], "train": {"images": "/ti", "path": "/ignored"}, "validation": {"images": "/vi"}}
        ds = check(older, 1)
        assert ds.classes == ["background"]
        assert (ds.train_storage, ds.val_storage) == ("/ti", "/vi")
        assert ds.classes is not older["classes"]


@pytest.mark.keras_free
class TestConstruction:
    def test_dictionary_is_tagged_in_place(self, shards):
        desc = descriptor(shards, type="darknet")
        ds = TFRecordDataset(desc, [32, 32, 3], True, True, {"flip": 0.5})
        assert ds.info_dataset is desc and desc["type"] == "tfrecord"
        assert ds.validate_info_file(None) is desc and ds.validate_info_file("any.yaml") is desc
        assert ds.classes == ["background", "cat", "dog", "bird"]
        assert ds.aug_cfg == {"flip": 0.5} and ds.class_offset == 1
        assert (ds.path_train_images, ds.path_train_annotations, ds.path_val_images, ds.path_val_annotations,
                ds.train_images, ds.val_images, ds.train_annotations) == (None,) * 7
        assert ds.val_annotations == []

    def test_dictionary_in_older_layout_is_rejected(self, shards):
        desc = {"classes": ["a"], "train": {"images": str(shards / "train")}, "validation": {"images": str(shards / "val")}}
        with pytest.raises(ValueError) as info:
            TFRecordDataset(desc, [32, 32])
        assert str(info.value) == MSG_NO_FOLDER_KEY

    def test_yaml_file_in_older_layout(self, shards, tmp_path):
        path = tmp_path / "data.yaml"
        path.write_text(yaml.safe_dump({
            "classes": ["cat", "dog", "bird"],
            "train": {"images": str(shards / "train"), "samples": 7},
            "validation": {"images": str(shards / "val"), "samples": 3},
        }))
        ds = TFRecordDatasetYaml(str(path), [32, 32], False, False)
        assert ds.classes == ["cat", "dog", "bird"] and ds.class_offset == 0
        assert (ds.num_train_samples, ds.num_val_samples) == (7, 3)
        assert len(ds.train_storage) == 3 and len(ds.val_storage) == 1
        assert ds.val_annotations == [] and ds.train_images is None


@pytest.mark.keras_free
class TestStorage:
    def make_split(self, folder, names):
        folder.mkdir(parents=True)
        for name in names:
            (folder / name).write_bytes(b"")
        return folder

    def test_listing_is_flat_case_sensitive_and_skips_dot_files(self, tmp_path):
        # Brackets in the folder name are taken literally, not as a pattern.
        train = self.make_split(tmp_path / "train[1]", ["a.tfrecord", "b.tfrecord", "c.TFRECORD", ".d.tfrecord",
                                                        "e.tfrecord.bak", "notes.txt"])
        self.make_split(train / "sub", ["f.tfrecord"])
        val = self.make_split(tmp_path / "val", ["v.tfrecord"])
        ds = TFRecordDataset(descriptor(tmp_path, train={"path": str(train)}, validation={"path": str(val)}), [8, 8])
        expected = [os.path.join(str(train), name) for name in ("a.tfrecord", "b.tfrecord")]
        assert sorted(ds.train_storage) == expected
        # Directory order, as glob returns it, not sorted.
        listed = [os.path.join(str(train), name) for name in os.listdir(train)]
        assert ds.train_storage == [path for path in listed if path in expected]
        assert ds.val_storage == [os.path.join(str(val), "v.tfrecord")]

    @pytest.mark.parametrize("empty_split, name", [("train", "train"), ("val", "validation")])
    def test_split_without_records(self, tmp_path, empty_split, name):
        for split in ("train", "val"):
            self.make_split(tmp_path / split, [] if split == empty_split else ["x.tfrecord"])
        with pytest.raises(ValueError) as info:
            TFRecordDataset(descriptor(tmp_path), [8, 8])
        assert str(info.value) == f"{MSG_EMPTY_SPLIT} The {name} folder {tmp_path / empty_split} holds no *.tfrecord file."

    @pytest.mark.parametrize("missing, split", [("train", "train"), ("val", "validation")])
    def test_missing_folder_is_named(self, tmp_path, missing, split):
        for name in ("train", "val"):
            if name != missing:
                self.make_split(tmp_path / name, ["x.tfrecord"])
        with pytest.raises(ValueError) as info:
            TFRecordDataset(descriptor(tmp_path), [8, 8])
        assert str(info.value) == f"[ERROR]: The {split} folder {tmp_path / missing} does not exist"


def load(ds, serialized, training=True):
    """load_instance on a record as the record pipeline delivers it (a scalar string tensor)."""
    return ds.load_instance(tf.constant(serialized), training)


@pytest.mark.keras_free
class TestLoadInstance:
    @pytest.fixture
    def make(self, shards):
        def build(letter_box=True, background=False, shape=(32, 32)):
            return TFRecordDataset(descriptor(shards), list(shape) + [3], letter_box, background)
        return build

    def test_letterboxed_training_boxes_follow_the_image(self, make):
        box = (0.5, 0.4, 0.5, 0.4)
        record = example(jpeg_bytes(boxed_image(box=box)), "white", [2], list(box))
        image, boxes = load(make(letter_box=True), record)
        assert image.shape == (32, 32, 3) and image.dtype == np.uint8
        assert boxes.shape == (1, 5) and boxes.dtype == np.float32
        x1, y1, x2, y2, label = boxes[0]
        assert label == 2
        assert 0 <= x1 < x2 <= 32 and 0 <= y1 < y2 <= 32
        # The white rectangle is where the boxes say, and the letter-box padding is outside it.
        inside = image[int(np.ceil(y1)) + 1:int(y2) - 1, int(np.ceil(x1)) + 1:int(x2) - 1]
        assert inside.min() > 200
        assert image[:int(y1) - 1].max() < 130 and image[int(np.ceil(y2)) + 1:].max() < 130

    def test_resized_training_boxes_and_class_offset(self, make):
        record = example(jpeg_bytes(boxed_image()), "r", [0, 1], [0.5, 0.5, 0.5, 0.5, 0.25, 0.75, 0.5, 0.5])
        image, boxes = load(make(letter_box=False, background=True, shape=(20, 40)), record)
        assert image.shape == (20, 40, 3)
        np.testing.assert_allclose(boxes, [[10, 5, 30, 15, 1], [0, 10, 20, 20, 2]], atol=1e-5)

    def test_validation_sample(self, make):
        record = example(jpeg_bytes(boxed_image()), "val-7.jpg", [1], [0.5, 0.5, 0.5, 0.5])
        image, boxes, name = load(make(background=True), record, training=False)
        assert image.shape == (48, 64, 3) and image.dtype == np.uint8
        np.testing.assert_allclose(boxes, [[0.25, 0.25, 0.75, 0.75, 2]], atol=1e-6)
        assert name == b"val-7.jpg"

    def test_record_without_objects(self, make):
        ds = make(background=True)
        for objects in (None, []):
            record = example(jpeg_bytes(boxed_image()), "empty", objects, [0.5, 0.5, 1.0] if objects is None else None)
            _, boxes = load(ds, record)
            np.testing.assert_array_equal(boxes, np.zeros((1, 5), np.float32))
            assert boxes.dtype == np.float32
            _, boxes, name = load(ds, record, training=False)
            np.testing.assert_array_equal(boxes, np.zeros((1, 5), np.float32))
            assert name == b"empty"

    def test_boxes_are_clipped_at_the_edges(self, make):
        bboxes = [0.9, 0.5, 0.4, 0.2, 0.05, 0.02, 0.3, 0.2]
        record = example(jpeg_bytes(boxed_image()), "edge", [0, 0], bboxes)
        _, boxes = load(make(letter_box=False, shape=(30, 40)), record)
        np.testing.assert_allclose(boxes[:, :4], [[28, 12, 40, 18], [0, 0, 8, 3.6]], atol=1e-5)
        _, boxes, _ = load(make(), record, training=False)
        np.testing.assert_allclose(boxes[:, :4], [[0.7, 0.4, 1.0, 0.6], [0.0, 0.0, 0.2, 0.12]], atol=1e-6)

    def test_grayscale_and_oriented_jpegs_keep_stored_pixels(self, make):
        gray = jpeg_bytes(np.full((48, 64), 90, np.uint8))
        image, _, _ = load(make(), example(gray, "gray", [0], [0.5] * 4), training=False)
        assert image.shape == (48, 64, 3) and abs(int(image.mean()) - 90) <= 2
        # An EXIF orientation tag does not rotate the pixels the boxes refer to.
        exif = Image.Exif()
        exif[0x0112] = 6
        rotated = jpeg_bytes(boxed_image(), exif=exif.tobytes())
        image, _, _ = load(make(), example(rotated, "exif", [0], [0.5] * 4), training=False)
        assert image.shape == (48, 64, 3)

    def test_broken_records_are_named(self, make):
        ds = make()
        image = jpeg_bytes(boxed_image())
        for objects, bboxes in (([1, 2], [0.5] * 4), ([1], None), ([1], [0.5] * 6)):
            with pytest.raises(ValueError, match=r"^\[ERROR\]: Record 'bad-count' has .* objects but"):
                load(ds, example(image, "bad-count", objects, bboxes))
        with pytest.raises(ValueError, match=r"^\[ERROR\]: Record 'bad-jpeg' holds an image that could not be decoded"):
            load(ds, example(b"not a jpeg", "bad-jpeg", [1], [0.5] * 4))
        # A name that is not UTF-8 is shown escaped rather than failing the message itself.
        with pytest.raises(ValueError, match=r"Record '\\xffname' has 1 objects"):
            load(ds, example(image, b"\xffname", [1], [0.5]))


@pytest.mark.keras_free
class TestPipelines:
    def test_training_batches(self, dataset):
        batches = list(dataset.build_train_iterator(4))
        assert [b[0].shape[0] for b in batches] == [4, 3]
        for images, boxes in batches:
            assert images.dtype == tf.uint8 and images.shape[1:] == (32, 32, 3)
            assert boxes.dtype == tf.float32 and boxes.shape[0] == images.shape[0] and boxes.shape[2] == 5
            xy = boxes.numpy()[..., :4]
            assert xy.min() >= 0 and xy.max() <= 32
        # Boxes are padded to the largest count of their batch; 2 is the largest overall.
        assert max(b[1].shape[1] for b in batches) == 2
        labels = np.concatenate([b[1].numpy()[..., 4].ravel() for b in batches])
        assert set(labels.tolist()) <= {0.0, 1.0, 2.0}

    def test_validation_triples_in_file_order(self, dataset):
        elements = list(dataset.build_val_iterator())
        assert [e[2].numpy().tolist() for e in elements] == [[b"img-100"], [b"img-101"], [b"img-102"]]
        for images, boxes, _ in elements:
            assert images.shape == (1, 48, 64, 3)
            assert boxes.shape[0] == 1 and 0 <= boxes.numpy().min() and boxes.numpy().max() <= 2

    def test_base_iterator_shuffles_within_200_records(self, tmp_path):
        tiny = jpeg_bytes(np.zeros((8, 8, 3), np.uint8))
        paths = records.write_detection_shards(str(tmp_path / "one"), [(tiny, f"{i}", [], []) for i in range(400)],
                                               shard_size=400)
        ds = TFRecordDataset(descriptor(tmp_path, train={"path": str(tmp_path / "one")},
                                        validation={"path": str(tmp_path / "one")}), [8, 8])

        def order(shuffle):
            names = [records.parse_example(r.numpy())["image_name"] for r in
                     ds.build_and_load_base_iterator(paths, shuffle=shuffle)]
            return [int(n) for n in names]

        assert order(False) == list(range(400))
        shuffled = order(True)
        assert sorted(shuffled) == list(range(400)) and shuffled != list(range(400))
        lookahead = [index - position for position, index in enumerate(shuffled)]
        # A record can only come out once it entered the 200-record buffer...
        assert max(lookahead) <= 199
        # ...and the buffer is that large, not smaller.
        assert max(lookahead) > 150

    def test_accessors_count_the_shards_and_report_a_different_count(self, shards, tmp_path):
        ds = TFRecordDataset(descriptor(shards), [32, 32])
        assert ds.num_train_samples is None
        train = ds.build_train_iterator(2)
        ds.build_val_iterator()
        assert (ds.num_train_samples, ds.num_val_samples) == (7, 3)
        assert sum(int(images.shape[0]) for images, _ in train) == 7
        ds.num_train_samples = 0  # a count of 0 is counted again
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # an agreeing count is not reported
            ds.build_train_iterator(2)
            ds.build_val_iterator()
        assert ds.num_train_samples == 7

        # A given count is kept (a split may be capped on purpose) but reported with both numbers.
        capped = TFRecordDataset(descriptor(shards, train={"path": str(shards / "train"), "samples": 5}), [32, 32])
        with pytest.warns(UserWarning, match=r"train split's samples is 5 in the descriptor, but its shards hold 7 "):
            capped.build_train_iterator(2)
        assert capped.num_train_samples == 5

        # Records whose images do not decode still count: the count reads the framing only.
        bad = tmp_path / "bad"
        bad.mkdir()
        records.write_records(str(bad / "x.tfrecord"), [example(b"junk", f"{i}", [0], [0.5] * 4) for i in range(5)])
        ds = TFRecordDataset(descriptor(shards, train={"path": str(bad)}), [32, 32])
        ds.build_train_iterator(2)
        assert ds.num_train_samples == 5

        # The YAML-described dataset checks and counts the same way.
        path = tmp_path / "data.yaml"
        path.write_text(yaml.safe_dump(descriptor(shards)))
        ds = TFRecordDatasetYaml(str(path), [32, 32])
        ds.build_val_iterator()
        assert (ds.num_train_samples, ds.num_val_samples) == (None, 3)


def crc_damaged(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0xFF
    path.write_bytes(bytes(data))


class TestCheckDataset:
    GOOD = jpeg_bytes(boxed_image())

    @pytest.mark.parametrize("validation, damage, broken", [
        ([example(GOOD, "a", [0, 2], [0.5] * 8), example(GOOD, "b")], None, []),
        ([example(GOOD, "a", [0], [0.5] * 4)] * 3, crc_damaged, [(None, None, "CRC mismatch")]),
        ([example(b"junk", "a", [0], [0.5] * 4)], None, [(0, "a", "image does not decode")]),
        ([example(GOOD, "a"), example(GOOD, b"b\xff", [3], [0.5] * 4)], None,
         [(1, "b\ufffd", "class id 3 outside 0..2")]),
        ([example(GOOD, "a", [-1], [0.5] * 4)], None, [(0, "a", "class id -1 outside 0..2")]),
        ([example(GOOD, "a", [0, 1], [0.5] * 4)], None, [(0, "a", "1 boxes for 2 objects")]),
        ([b"\x0a\x05junk"], None, [(0, None, "malformed Example")]),
    ], ids=["good", "bad-crc", "undecodable-image", "class-too-large", "class-negative", "box-count",
            "not-an-example"])
    def test_report_per_split(self, shards, tmp_path, validation, damage, broken):
        shard = tmp_path / "val" / "x.tfrecord"
        shard.parent.mkdir()
        records.write_records(str(shard), validation)
        if damage:
            damage(shard)
        report = check_dataset(descriptor(shards, validation={"path": str(shard.parent)}))
        assert report["classes"] == ["cat", "dog", "bird"]
        train, val = report["train"], report["validation"]
        # make_samples(7): objects 0, 1, 2, 0, 1, 2, 0 per record
        assert (len(train["shards"]), train["records"], train["boxes"], train["background"], train["broken"]) \
            == (3, 7, 6, 3, [])
        assert val["shards"] == [str(shard)]
        found = [(b["record"], b["image_name"], b["reason"]) for b in val["broken"]]
        assert [b["file"] for b in val["broken"]] == [str(shard)] * len(broken)
        assert len(found) == len(broken) and all(
            f[:2] == b[:2] and b[2] in f[2] for f, b in zip(found, broken))
        if not broken:
            assert (val["records"], val["boxes"], val["background"]) == (2, 2, 1)
        if damage:
            assert val["records"] == 0

    def test_descriptor_faults_are_the_readers(self, shards, tmp_path):
        with pytest.raises(ValueError, match="The validation folder .* does not exist"):
            check_dataset(descriptor(shards, validation={"path": str(tmp_path / "none")}))
        with pytest.raises(TypeError):
            check_dataset(["not", "a", "descriptor"])

    @pytest.mark.parametrize("kind, expected", [
        (None, "tfrecord"), ("tfrecord", "tfrecord"), ("TFRecord", "tfrecord"), ("Darknet", "darknet"),
        ("COCO", "coco"), ("voc", "voc"), ("yolo", None), (5, None),
    ])
    def test_dataset_type(self, kind, expected):
        desc = {"classes": ["a"]} if kind is None else {"type": kind, "classes": ["a"]}
        assert dataset_type(desc) == expected


class TestTraining:
    def test_one_epoch_on_tfrecord_pipeline(self, shards, tmp_path):
        import models  # shared test helpers: a tiny detector, a loss, a trainer on a real logger

        ds = TFRecordDataset(descriptor(shards), [32, 32, 3], True, True)
        trainer = models.make_trainer(tmp_path, model=models.make_detector(num_classes=len(ds.classes)),
                                      loss=models.SimpleLoss(scale=32.0), classes=ds.classes, H=32, W=32)
        trainer.train(1, ds.build_train_iterator(4), None, None)
        run = glob.glob(str(tmp_path / "runs" / "*"))
        assert len(run) == 1 and os.path.exists(os.path.join(run[0], "last.h5"))
        scalars = models.read_scalars(tmp_path / "logs")
        assert len(scalars["total-loss"]) == 2  # one point per training batch
