"""Darknet datasets: descriptor checks, folder pairing, sample loading, pipelines, training, dataset check."""
import collections
import glob
import os

import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

from orvane.kestrix.datasets.darknet import DarknetDataset, DarknetDatasetYaml, check_dataset, read_labels

MSG_NO_CLASSES = "[ERROR]: Invalid dataset with no annotation classes was found"
MSG_TRAIN_KEYS = "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``train`` section"
MSG_VAL_KEYS = "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``validate`` section"
MSG_EMPTY_TRAIN = "[ERROR]: Dataset with empty training samples is not allowed"
MSG_EMPTY_VAL = "[ERROR]: Dataset with empty validation samples is not allowed"
NO_GET = "'NoneType' object has no attribute 'get'"


def incompatible(kind):
    return f"[ERROR]: Incompatible dataset type was found: {kind} is different than ``darknet``"


def boxed_image(height, width, box, mode="RGB"):
    """A black image with a white rectangle where the normalised box (cx, cy, w, h) lies."""
    image = np.zeros((height, width, 3), np.uint8)
    cx, cy, bw, bh = box
    image[round((cy - bh / 2) * height):round((cy + bh / 2) * height),
          round((cx - bw / 2) * width):round((cx + bw / 2) * width)] = 255
    return Image.fromarray(image).convert(mode)


def write_image(path, image=None, size=(48, 64), **save_kwargs):
    path = str(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if image is None:
        image = Image.fromarray(np.full(size + (3,), 90, np.uint8))
    image.save(path, **save_kwargs)
    return path


def write_labels(path, text=""):
    path = str(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    return path


def make_split(root, count, start=0, size=(48, 64)):
    """`count` JPEGs with 0, 1 or 2 boxes each, images and labels in separate folders."""
    for i in range(start, start + count):
        write_image(root / "images" / f"{i:03d}.jpg", size=size, quality=95)
        lines = [f"{(i + k) % 3} {0.3 + 0.2 * k} 0.5 0.2 0.4" for k in range(i % 3)]
        write_labels(root / "labels" / f"{i:03d}.txt", "\n".join(lines))
    return {"images": str(root / "images"), "annotations": str(root / "labels")}


def descriptor(train, validation, **extra):
    desc = {"type": "darknet", "classes": ["cat", "dog", "bird"], "train": train, "validation": validation}
    desc.update(extra)
    return desc


@pytest.fixture(scope="module")
def folders(tmp_path_factory):
    root = tmp_path_factory.mktemp("darknet")
    return make_split(root / "train", 7), make_split(root / "val", 3, start=100)


@pytest.fixture
def dataset(folders):
    return DarknetDataset(descriptor(*folders), [32, 32, 3], True, False)


@pytest.mark.keras_free
class TestArguments:
    def test_exact_type_checks_in_argument_order(self, folders):
        cases = [
            (lambda: DarknetDatasetYaml(3, (32, 32)), "Argument 'info_file' has incorrect type (expected str, got int)"),
            (lambda: DarknetDatasetYaml(None, (32, 32)), "Argument 'shape' has incorrect type (expected list, got tuple)"),
            (lambda: DarknetDatasetYaml(None, [32], aug_cfg=collections.OrderedDict()),
             "Argument 'aug_cfg' has incorrect type (expected dict, got collections.OrderedDict)"),
            (lambda: DarknetDataset(collections.OrderedDict(descriptor(*folders)), [32, 32]),
             "Argument 'info_dataset' has incorrect type (expected dict, got collections.OrderedDict)"),
            (lambda: DarknetDataset(descriptor(*folders), (32, 32)),
             "Argument 'shape' has incorrect type (expected list, got tuple)"),
            (lambda: DarknetDataset(descriptor(*folders), [32, 32]).validate_info_file(3),
             "Argument 'info_file' has incorrect type (expected str, got int)"),
            (lambda: DarknetDataset(descriptor(*folders), [32, 32]).build_and_load_base_iterator(()),
             "Argument 'storage' has incorrect type (expected list, got tuple)"),
            (lambda: check_dataset(3), "Argument 'descriptor' has incorrect type (expected dict or str, got int)"),
        ]
        for build, message in cases:
            with pytest.raises(TypeError) as info:
                build()
            assert str(info.value) == message
        with pytest.raises(TypeError, match="Argument 'info_dataset' is required"):
            DarknetDataset(None, [32, 32])


@pytest.mark.keras_free
class TestDescriptorValidation:
    @pytest.fixture
    def check(self, dataset):
        def run(desc, offset=0):
            dataset.class_offset = offset
            dataset.validate_info_file_content(desc)
            return dataset
        return run

    @pytest.mark.parametrize(
        "desc, offset, error, message",
        [
            (None, 0, AttributeError, NO_GET),
            ({"classes": ["a"]}, 0, AttributeError, "'NoneType' object has no attribute 'lower'"),
            ({"type": 3, "classes": ["a"]}, 0, AttributeError, "'int' object has no attribute 'lower'"),
            ({"type": "tfrecord", "classes": []}, 0, ValueError, incompatible("tfrecord")),
            ({"type": "DarkNet", "classes": []}, 0, ValueError, MSG_NO_CLASSES),
            ({"type": "darknet"}, 0, TypeError, "object of type 'NoneType' has no len()"),
            ({"type": "darknet"}, 1, TypeError, 'can only concatenate list (not "NoneType") to list'),
            ({"type": "darknet", "classes": ["a"], "validation": {}}, 0, AttributeError, NO_GET),
            ({"type": "DARKNET", "classes": ["a"], "train": {"images": "/i"}, "validation": {}}, 0,
             ValueError, MSG_TRAIN_KEYS),
            ({"type": "darknet", "classes": ["a"], "train": {"images": "/i", "annotations": None}}, 0,
             ValueError, MSG_TRAIN_KEYS),
            ({"type": "darknet", "classes": ["a"], "train": {"images": "/i", "annotations": "/a"}}, 0,
             AttributeError, NO_GET),
            ({"type": "darknet", "classes": ["a"], "train": {"images": "/i", "annotations": "/a"},
              "validation": {"annotations": "/va"}}, 0, ValueError, MSG_VAL_KEYS),
        ],
    )
    def test_failures_in_check_order(self, check, desc, offset, error, message):
        with pytest.raises(error) as info:
            check(desc, offset)
        assert str(info.value) == message

    def test_paths_are_stored_before_they_are_checked(self, check):
        ds = check({"type": "darknet", "classes": ["a"], "train": {"images": "/i", "annotations": "/a"},
                    "validation": {"images": "/vi", "annotations": "/va"}})
        with pytest.raises(ValueError, match="``train`` section"):
            check({"type": "darknet", "classes": ["a"], "train": {"images": "/i2"}, "validation": {}})
        assert (ds.path_train_images, ds.path_train_annotations, ds.path_val_images) == ("/i2", None, "/vi")
        with pytest.raises(AttributeError, match="get"):
            check({"type": "darknet", "classes": ["a"], "train": {"images": "/i3", "annotations": "/a3"}})
        assert (ds.path_train_images, ds.path_train_annotations) == ("/i3", "/a3")

    @pytest.mark.parametrize("offset, classes, expected", [
        (1, [], ["background"]),
        (1, ["car", "person"], ["background", "car", "person"]),
        (0, ["car", "person"], ["car", "person"]),
    ])
    def test_background_entry(self, check, offset, classes, expected):
        desc = {"type": "Darknet", "classes": classes, "train": {"images": "/i", "annotations": "/a"},
                "validation": {"images": "/vi", "annotations": "/va"}}
        ds = check(desc, offset)
        assert ds.classes == expected and desc["classes"] == classes
        check(desc, offset)
        assert ds.classes == expected  # never added twice

    def test_constructors(self, folders, tmp_path):
        desc = descriptor(*folders, type="tfrecord")
        ds = DarknetDataset(desc, [32, 32, 3], True, True, {"flip": 0.5})
        assert ds.info_dataset is desc and desc["type"] == "darknet"
        assert ds.validate_info_file(None) is desc
        assert ds.classes == ["background", "cat", "dog", "bird"] and ds.aug_cfg == {"flip": 0.5}
        assert (ds.path_train_images, ds.path_train_annotations, ds.path_val_images, ds.path_val_annotations,
                ds.train_images, ds.val_images, ds.train_annotations) == (None,) * 7
        assert ds.val_annotations == [] and (ds.num_train_samples, ds.num_val_samples) == (7, 3)

        path = tmp_path / "data.yaml"
        path.write_text(yaml.safe_dump(descriptor(*folders)))
        ds = DarknetDatasetYaml(str(path), [32, 32], False, False)
        assert ds.classes == ["cat", "dog", "bird"] and len(ds.train_storage) == 7


@pytest.mark.keras_free
class TestStorage:
    def make(self, tmp_path, train_images, train_labels, val=None, same=False):
        images = tmp_path / "img"
        labels = images if same else tmp_path / "lab"
        for name in train_images:
            write_image(images / name) if name.lower().endswith(("png", "jpg", "jpeg")) else write_labels(images / name)
        for name in train_labels:
            write_labels(labels / name)
        labels.mkdir(exist_ok=True)
        val = val or make_split(tmp_path / "val", 1)
        return descriptor({"images": str(images), "annotations": str(labels)}, val)

    @pytest.mark.parametrize("images, labels, same, expected", [
        (["b.PNG", "a.jpg", "c.jpeg", "d.gif"], ["a.txt", "c.txt", "d.txt"], False, [("a.jpg", "a.txt"), ("c.jpeg", "c.txt")]),
        (["x.y.jpg"], ["x.y.txt", "x.txt"], False, [("x.y.jpg", "x.y.txt")]),
        (["a.jpg", "a.png"], ["a.txt"], False, [("a.png", "a.txt"), ("a.jpg", "a.txt")]),
        (["a.JPG", "b.jpg", "a.txt", "b.txt"], [], True, [("a.JPG", "a.txt"), ("b.jpg", "b.txt")]),
    ])
    def test_pairing(self, tmp_path, images, labels, same, expected):
        desc = self.make(tmp_path, images, labels, same=same)
        ds = DarknetDataset(desc, [8, 8])
        img, lab = desc["train"]["images"], desc["train"]["annotations"]
        got = [(os.path.relpath(i, img), os.path.relpath(a, lab)) for i, a in ds.train_storage]
        assert sorted(got) == sorted(expected) and ds.num_train_samples == len(expected)
        # Groups in the order PNG, JPG, JPEG; directory order within a group.
        group = {"png": 0, "jpg": 1, "jpeg": 2}
        assert [group[i.rsplit(".", 1)[1].lower()] for i, _ in got] == sorted(group[i.rsplit(".", 1)[1].lower()]
                                                                                for i, _ in got)
        assert all(isinstance(p, str) for pair in ds.train_storage for p in pair)
        assert ds.train_storage[0][0] == os.path.join(img, got[0][0])

    def test_folder_names_are_literal_and_scans_append(self, tmp_path):
        images = tmp_path / "im[ab]*?"
        write_image(images / "a.jpg")
        write_labels(images / "a.txt")
        write_image(tmp_path / "ima" / "b.jpg")  # what the name would match as a pattern
        write_labels(tmp_path / "ima" / "b.txt")
        ds = DarknetDataset(descriptor({"images": str(images), "annotations": str(images)}, make_split(tmp_path / "v", 2)),
                            [8, 8])
        assert ds.train_storage == [[str(images / "a.jpg"), str(images / "a.txt")]]
        ds.path_train_images = ds.path_train_annotations = str(images)
        ds.path_val_images, ds.path_val_annotations = str(tmp_path / "v" / "images"), str(tmp_path / "v" / "labels")
        ds.load_storage()
        assert len(ds.train_storage) == ds.num_train_samples == 2 and ds.num_val_samples == 4
        ds.path_train_images = None
        with pytest.raises(TypeError):
            ds.load_storage()

    @pytest.mark.parametrize("empty, message", [("train", MSG_EMPTY_TRAIN), ("val", MSG_EMPTY_VAL)])
    def test_empty_splits(self, tmp_path, empty, message):
        train = make_split(tmp_path / "t", 2)
        val = make_split(tmp_path / "v", 2)
        split = train if empty == "train" else val
        for name in os.listdir(split["annotations"]):
            os.remove(os.path.join(split["annotations"], name))
        with pytest.raises(ValueError) as info:
            DarknetDataset(descriptor(train, val), [8, 8])
        assert str(info.value) == message


def sample_dataset(tmp_path, text, image, name="s.jpg", letter_box=True, background=True, shape=(320, 320), **save):
    """A dataset whose training and validation splits are the one sample given."""
    write_image(tmp_path / "img" / name, image, **save)
    write_labels(tmp_path / "img" / (name.rsplit(".", 1)[0] + ".txt"), text)
    split = {"images": str(tmp_path / "img"), "annotations": str(tmp_path / "img")}
    return DarknetDataset(descriptor(split, split), list(shape) + [3], letter_box, background)


@pytest.mark.keras_free
class TestLoadInstance:
    def test_resize_and_validation_of_the_full_box(self, tmp_path):
        ds = sample_dataset(tmp_path, "0 0.5 0.5 1.0 1.0", boxed_image(480, 640, (0.5, 0.5, 0.5, 0.5)),
                            letter_box=False, quality=95)
        image, boxes = ds.load_instance(tf.constant(ds.train_storage[0]))
        assert image.shape == (320, 320, 3) and image.dtype == np.uint8
        np.testing.assert_array_equal(boxes, np.array([[0, 0, 320, 320, 1]], np.float32))
        assert boxes.dtype == np.float32
        image, boxes, name = ds.load_instance(ds.val_storage[0], False)
        assert image.shape == (480, 640, 3) and name == "s.jpg"
        np.testing.assert_array_equal(boxes, [[0, 0, 1, 1, 1]])

    @pytest.mark.parametrize("size, shape", [((480, 640), (320, 320)), ((480, 640), (96, 128)),
                                             ((333, 517), (160, 160)), ((48, 64), (100, 60))])
    def test_letterboxed_boxes_line_up_with_the_drawn_rectangle(self, tmp_path, size, shape):
        # Large JPEGs are decoded at a reduced scale: the boxes still sit on the rectangle.
        box = (0.55, 0.4, 0.5, 0.4)
        ds = sample_dataset(tmp_path, "2 " + " ".join(map(str, box)), boxed_image(*size, box), shape=shape,
                            quality=98)
        image, boxes = ds.load_instance(ds.train_storage[0])
        assert image.shape == shape + (3,)
        x1, y1, x2, y2, label = boxes[0]
        assert label == 3
        inside = image[int(np.ceil(y1)) + 1:int(y2) - 1, int(np.ceil(x1)) + 1:int(x2) - 1]
        assert inside.min() > 200
        outside = np.ones(image.shape[:2], bool)
        outside[max(int(y1) - 1, 0):int(np.ceil(y2)) + 1, max(int(x1) - 1, 0):int(np.ceil(x2)) + 1] = False
        assert image[outside].max() < 130
        # The box sits exactly where the full-size image would put it.
        scale = min(shape[0] / size[0], shape[1] / size[1])
        w, h = round(size[1] * scale), round(size[0] * scale)
        pad_w, pad_h = (shape[1] - w) // 2, (shape[0] - h) // 2
        expected = [(box[0] - box[2] / 2) * w + pad_w, (box[1] - box[3] / 2) * h + pad_h,
                    (box[0] + box[2] / 2) * w + pad_w, (box[1] + box[3] / 2) * h + pad_h]
        np.testing.assert_allclose(boxes[0, :4], expected, atol=1e-3)

    def test_empty_file_gives_one_zero_row_without_offset(self, tmp_path):
        ds = sample_dataset(tmp_path, "# no objects\n\n", None, name="e.png")
        _, boxes = ds.load_instance(ds.train_storage[0])
        np.testing.assert_array_equal(boxes, np.zeros((1, 5), np.float32))
        _, boxes, name = ds.load_instance(ds.val_storage[0], training=False)
        np.testing.assert_array_equal(boxes, np.zeros((1, 5), np.float32))
        assert name == "e.png"

    def test_boxes_are_clipped_at_the_edges(self, tmp_path):
        ds = sample_dataset(tmp_path, "0 0.9 0.5 0.4 0.2\n1 0.05 0.02 0.3 0.2\n0 1.5 0.5 0.2 0.2", None,
                            letter_box=False, background=False, shape=(30, 40))
        _, boxes = ds.load_instance(ds.train_storage[0])
        np.testing.assert_allclose(boxes, [[28, 12, 40, 18, 0], [0, 0, 8, 3.6, 1], [40, 12, 40, 18, 0]], atol=1e-5)
        _, boxes, _ = ds.load_instance(ds.val_storage[0], training=False)
        np.testing.assert_allclose(boxes[:, :4], [[0.7, 0.4, 1.0, 0.6], [0, 0, 0.2, 0.12], [1, 0.4, 1, 0.6]], atol=1e-6)

    @pytest.mark.parametrize("mode, name", [("L", "g.png"), ("P", "p.png"), ("RGBA", "a.png"), ("L", "g.jpg"),
                                            ("CMYK", "c.jpg"), ("LA", "la.png")])
    def test_other_image_modes_load_as_rgb(self, tmp_path, mode, name):
        ds = sample_dataset(tmp_path, "0 0.5 0.5 0.5 0.5", boxed_image(48, 64, (0.5, 0.5, 0.5, 0.5), mode), name=name)
        for training in (True, False):
            image = ds.load_instance(ds.train_storage[0], training)[0]
            assert image.dtype == np.uint8 and image.ndim == 3 and image.shape[2] == 3
        assert image[24, 32].min() > 200 and image[2, 2].max() < 60

    @pytest.mark.parametrize("mode, save", [
        ("RGB", {"quality": 90}), ("RGB", {"progressive": True}), ("RGB", {"subsampling": 0}),
        ("RGB", {"subsampling": 1}), ("L", {}), ("CMYK", {}), ("RGB", {"trailing": b"\0\0extra"}),
    ], ids=["baseline", "progressive", "444", "422", "gray", "cmyk", "data-after-eoi"])
    def test_validation_jpegs_have_pillows_pixels(self, tmp_path, mode, save):
        # Whichever decoder reads a JPEG at full size, the pixels are Pillow's.
        rng = np.random.default_rng(3)
        picture = Image.fromarray(rng.integers(0, 256, (37, 53, 3), np.uint8)).convert(mode)
        trailing = save.pop("trailing", b"")
        ds = sample_dataset(tmp_path, "0 0.5 0.5 0.5 0.5", picture, **save)
        path = ds.val_storage[0][0]
        with open(path, "ab") as f:
            f.write(trailing)
        with Image.open(path) as stored:
            expected = np.asarray(stored.convert("RGB"))
        np.testing.assert_array_equal(ds.load_instance(ds.val_storage[0], False)[0], expected)

    def test_truncated_jpeg_and_pixel_limit_stay_pillows(self, tmp_path, monkeypatch):
        ds = sample_dataset(tmp_path, "", boxed_image(48, 64, (0.5, 0.5, 0.5, 0.5)))
        path = ds.val_storage[0][0]
        monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 2000)  # 48 x 64 lies between the limit and twice it
        with pytest.warns(Image.DecompressionBombWarning):
            ds.load_instance(ds.val_storage[0], False)
        monkeypatch.undo()
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) - 40)
        with pytest.raises(ValueError, match=r"^\[ERROR\]: Image file '.*s\.jpg' could not be read: image file is "
                                             r"truncated"):
            ds.load_instance(ds.val_storage[0], False)

    @pytest.mark.parametrize("text, line, reason", [
        ("0 0.5 0.5 0.1 0.1\n0 0.5 0.5 0.1 abc\n", 2, "the height 'abc' is not a number"),
        ("0 0.5 nan 0.1 0.1", 1, "the y centre 'nan' is not finite"),
        ("# header\n0 0.5 0.5 0.1 0.1\n\n0 0.5 0.5 0.1\n", 4, "holds 4 values instead of 5"),
        ("0.5 0.5 0.5 0.1 0.1", 1, "the class id '0.5' is not a whole number"),
        ("3 0.5 0.5 0.1 0.1", 1, "the class id 3 lies outside the dataset's 3 classes"),
        ("-1 0.5 0.5 0.1 0.1", 1, "the class id -1 lies outside"),
    ])
    def test_malformed_annotations_name_file_and_line(self, tmp_path, text, line, reason):
        ds = sample_dataset(tmp_path, text, None)
        annotation = ds.train_storage[0][1]
        for read in (lambda: ds.load_instance(ds.train_storage[0], True),
                     lambda: ds.load_instance(ds.train_storage[0], False), lambda: read_labels(annotation, 3)):
            with pytest.raises(ValueError) as info:
                read()
            assert str(info.value).startswith(f"[ERROR]: Annotation file '{annotation}', line {line}: {reason}")

    @pytest.mark.parametrize("text, rows", [
        ("\ufeff# header\n1 0.25 .5 1e-1 0.3333333333333333333 # tail\n\n2 0 1 0.5 0.5\n",
         [[1, 0.25, 0.5, 0.1, 0.3333333333333333], [2, 0, 1, 0.5, 0.5]]),
        ("", np.zeros((0, 5))),
        ("# only a comment\n", np.zeros((0, 5))),
    ])
    def test_read_labels_gives_the_parsed_rows(self, tmp_path, text, rows):
        path = tmp_path / "a.txt"
        path.write_text(text, encoding="utf-8")
        got = read_labels(path)
        assert got.dtype == np.float64 and got.shape == np.shape(rows)
        np.testing.assert_array_equal(got, rows)

    def test_unreadable_files_and_bad_elements(self, tmp_path):
        ds = sample_dataset(tmp_path, "", None)
        image, annotation = ds.train_storage[0]
        with pytest.raises(ValueError, match=r"^\[ERROR\]: A sample must be a pair .* got 3 items"):
            ds.load_instance([image, annotation, annotation])
        with pytest.raises(ValueError, match=r"^\[ERROR\]: Annotation file '.*missing.txt' could not be read: No such"):
            ds.load_instance([image, str(tmp_path / "missing.txt")])
        with pytest.raises(ValueError, match=r"^\[ERROR\]: Image file '.*s.txt' could not be read") as info:
            ds.load_instance([annotation, annotation])
        assert info.value.__cause__ is not None


@pytest.mark.keras_free
class TestPipelines:
    def test_training_batches(self, dataset):
        batches = list(dataset.build_train_iterator(4))
        assert [int(b[0].shape[0]) for b in batches] == [4, 3]
        for images, boxes in batches:
            assert images.dtype == tf.uint8 and images.shape[1:] == (32, 32, 3)
            assert boxes.dtype == tf.float32 and boxes.shape[0] == images.shape[0] and boxes.shape[2] == 5
            assert 0 <= boxes.numpy()[..., :4].min() and boxes.numpy()[..., :4].max() <= 32
        assert max(int(b[1].shape[1]) for b in batches) == 2

    def test_validation_triples_in_storage_order(self, dataset):
        elements = list(dataset.build_val_iterator())
        assert [e[2].numpy().tolist() for e in elements] == [[b"100.jpg"], [b"101.jpg"], [b"102.jpg"]]
        for images, boxes, _ in elements:
            assert images.shape == (1, 48, 64, 3) and boxes.shape[2] == 5

    def test_each_list_is_shuffled_with_a_buffer_of_its_own_length(self, dataset):
        storage = [[f"{i}", "x"] for i in range(400)]
        dataset.val_storage = dataset.val_storage[:3]

        def order(shuffle):
            return [int(e[0].numpy()) for e in dataset.build_and_load_base_iterator(storage, shuffle=shuffle)]

        assert order(False) == list(range(400))
        shuffled = order(True)
        assert sorted(shuffled) == list(range(400))
        # With a buffer of 3 (the validation list) no element could come out 300 places early.
        assert max(index - position for position, index in enumerate(shuffled)) > 300
        assert list(dataset.build_and_load_base_iterator([])) == []

    def test_broken_image_in_the_pipeline_names_its_file(self, tmp_path):
        train = make_split(tmp_path / "t", 4)
        broken = os.path.join(train["images"], "002.jpg")
        with open(broken, "rb") as f:
            data = f.read()
        with open(broken, "wb") as f:
            f.write(data[:len(data) // 2])
        ds = DarknetDataset(descriptor(train, make_split(tmp_path / "v", 1)), [32, 32])
        with pytest.raises(tf.errors.OpError) as info:
            list(ds.build_train_iterator(2))
        assert f"Image file '{broken}' could not be read" in str(info.value)


class TestTraining:
    def test_one_epoch_on_darknet_pipeline(self, folders, tmp_path):
        import models  # shared test helpers: a tiny detector, a loss, a trainer on a real logger

        ds = DarknetDataset(descriptor(*folders), [32, 32, 3], True, True)
        trainer = models.make_trainer(tmp_path, model=models.make_detector(num_classes=len(ds.classes)),
                                      loss=models.SimpleLoss(scale=32.0), classes=ds.classes, H=32, W=32)
        trainer.train(1, ds.build_train_iterator(4), None, None)
        run = glob.glob(str(tmp_path / "runs" / "*"))
        assert len(run) == 1 and os.path.exists(os.path.join(run[0], "last.h5"))
        assert len(models.read_scalars(tmp_path / "logs")["total-loss"]) == 2  # one point per batch


@pytest.mark.keras_free
class TestCheckDataset:
    def test_reports_each_problem_with_its_reason_and_counts_the_rest(self, tmp_path):
        train = make_split(tmp_path / "t", 4)  # 000..003: boxes 0, 1, 2, 0 -> two background files
        img, lab = train["images"], train["annotations"]
        write_image(os.path.join(img, "lonely.png"))
        write_labels(os.path.join(lab, "orphan.txt"), "0 0.5 0.5 0.1 0.1")
        cut = write_image(os.path.join(img, "cut.jpg"), quality=95)
        with open(cut, "rb+") as f:
            f.truncate(os.path.getsize(cut) - 40)
        write_labels(os.path.join(lab, "cut.txt"), "1 0.5 0.5 0.1 0.1")
        junk = write_labels(os.path.join(img, "junk.jpg"), "not an image")
        write_labels(os.path.join(lab, "junk.txt"), "")
        problems = {"bad.txt": "0 0.5 0.5 0.1 oops", "range.txt": "# c\n7 0.5 0.5 0.1 0.1",
                    "coords.txt": "0 0.5 1.5 0.1 0.1", "inf.txt": "0 inf 0.5 0.1 0.1"}
        for name, text in problems.items():
            write_image(os.path.join(img, name.replace(".txt", ".jpg")))
            write_labels(os.path.join(lab, name), text)
        desc = descriptor(train, make_split(tmp_path / "v", 2))
        before = dict(desc)
        del desc["type"]

        report = check_dataset(desc)
        assert "type" not in desc and desc["classes"] == before["classes"]
        assert report["classes"] == ["cat", "dog", "bird"]
        split = report["train"]
        assert (split["images"], split["paired"]) == (11, 10)
        assert split["without_annotation"] == [os.path.join(img, "lonely.png")]
        assert split["without_image"] == [os.path.join(lab, "orphan.txt")]
        assert sorted(split["background"]) == sorted(os.path.join(lab, f"{n}.txt") for n in ("000", "003", "junk"))
        assert split["boxes"] == 1 + 2 + 1  # 001, 002 and cut.txt
        reasons = {os.path.basename(b["file"]): b["reason"] for b in split["broken"]}
        assert reasons == {
            "cut.jpg": "image is truncated (no JPEG end-of-image marker)",
            "junk.jpg": reasons["junk.jpg"],
            "bad.txt": "line 1: the height 'oops' is not a number",
            "range.txt": "line 2: the class id 7 lies outside the dataset's 3 classes (valid ids: 0 to 2)",
            "coords.txt": "line 1: the y centre '1.5' lies outside 0..1",
            "inf.txt": "line 1: the x centre 'inf' is not finite",
        }
        assert reasons["junk.jpg"].startswith("image cannot be read: cannot identify image file")
        assert junk in {b["file"] for b in split["broken"]}
        val = report["validation"]
        assert (val["images"], val["paired"], val["broken"], val["boxes"]) == (2, 2, [], 1)

    @pytest.mark.parametrize("raised,stops", [(KeyboardInterrupt, True), (RuntimeError, False)])
    def test_a_ctrl_c_stops_the_check_and_a_failing_display_does_not(self, folders, monkeypatch, raised, stops):
        import tqdm

        def update(bar, n=1):
            raise raised("from the progress display")

        monkeypatch.setattr(tqdm.tqdm, "update", update)
        desc = descriptor(*folders)
        if stops:
            with pytest.raises(KeyboardInterrupt):
                check_dataset(desc)
        else:
            assert check_dataset(desc)["train"]["paired"] == 7

    def test_yaml_path_and_missing_folders(self, tmp_path, folders):
        desc = descriptor(folders[0], {"images": str(tmp_path / "none"), "annotations": str(tmp_path / "none")})
        path = tmp_path / "d.yaml"
        path.write_text(yaml.safe_dump(desc))
        report = check_dataset(str(path))
        assert report["train"]["paired"] == 7 and report["validation"]["images"] == 0
        assert report["validation"]["broken"] == [{"file": str(tmp_path / "none"),
                                                   "reason": "the image folder does not exist"}]
        with pytest.raises(ValueError, match="Incompatible dataset type"):
            check_dataset(dict(desc, type="tfrecord"))
