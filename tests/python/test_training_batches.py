"""Training batches loaded whole by the reader agree with load_instance, sample for sample.

While a dataset's load_instance is the reader's own, the training pipeline writes each sample
straight into the batch; a dataset whose load_instance is overridden gets it called per sample.
Both must give the same pixels and boxes, for reduced, full-size and enlarging decodes, grayscale
and PNG images and samples without objects.
"""
import hashlib
import io

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from orvane.kestrix.datasets import records
from orvane.kestrix.datasets.darknet import DarknetDataset
from orvane.kestrix.datasets.tfrecord import TFRecordDataset

pytestmark = pytest.mark.keras_free

SHAPES = [([160, 160], True), ([100, 200], True), ([96, 128], False), ([700, 500], True), ([61, 47], True)]


def images():
    """(encoded bytes, extension, boxes) of photo-like images of awkward sizes and formats."""
    rng = np.random.default_rng(3)
    out = []
    for i, (h, w, fmt, mode) in enumerate([(480, 640, "JPEG", "RGB"), (517, 333, "JPEG", "RGB"),
                                           (300, 400, "JPEG", "L"), (120, 90, "PNG", "RGB"), (250, 250, "JPEG", "RGB")]):
        y, x = np.mgrid[0:h, 0:w]
        pixels = np.stack([x * 255 // w, y * 255 // h, (x + y) % 256], -1).astype(np.float64)
        pixels = np.clip(pixels + rng.normal(0, 20, pixels.shape), 0, 255).astype(np.uint8)
        buffer = io.BytesIO()
        Image.fromarray(pixels).convert(mode).save(buffer, format=fmt, quality=90)
        n = 0 if i == 4 else i + 1
        boxes = np.column_stack([rng.uniform(0.1, 0.9, (n, 2)), rng.uniform(0.05, 0.5, (n, 2))])
        out.append((buffer.getvalue(), fmt.lower().replace("jpeg", "jpg"), boxes))
    return out


def tfrecord_dataset(tmp_path, shape, letter_box):
    # Records hold JPEG streams: the PNG goes in as pixels, which the writer encodes.
    samples = [(data if ext == "jpg" else np.asarray(Image.open(io.BytesIO(data))), f"img{i}.{ext}",
                [k % 4 for k in range(len(b))], b) for i, (data, ext, b) in enumerate(images())]
    records.write_detection_shards(str(tmp_path / "train"), samples)
    records.write_detection_shards(str(tmp_path / "val"), samples[:1])
    desc = {"classes": ["a", "b", "c", "d"], "train": {"path": str(tmp_path / "train")},
            "validation": {"path": str(tmp_path / "val")}}
    ds = TFRecordDataset(desc, shape + [3], letter_box, True)
    elements = np.array([r for path in ds.train_storage for r in records.read_records(path)], dtype=object)
    return ds, elements


def darknet_dataset(tmp_path, shape, letter_box):
    (tmp_path / "images").mkdir()
    (tmp_path / "labels").mkdir()
    for i, (data, ext, boxes) in enumerate(images()):
        (tmp_path / "images" / f"img{i}.{ext}").write_bytes(data)
        lines = [f"{k % 4} " + " ".join(f"{v:.6f}" for v in row) for k, row in enumerate(boxes)]
        (tmp_path / "labels" / f"img{i}.txt").write_text("\n".join(lines))
    split = {"images": str(tmp_path / "images"), "annotations": str(tmp_path / "labels")}
    ds = DarknetDataset({"classes": ["a", "b", "c", "d"], "train": split, "validation": split}, shape + [3],
                        letter_box, True)
    elements = np.array([[p.encode(), a.encode()] for p, a in ds.train_storage], dtype=object)
    return ds, elements


READERS = {"tfrecord": tfrecord_dataset, "darknet": darknet_dataset}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("shape, letter_box", SHAPES)
def test_batch_loader_matches_load_instance(tmp_path, reader, shape, letter_box):
    ds, elements = READERS[reader](tmp_path, shape, letter_box)
    batch = np.full((len(elements), shape[0], shape[1], 3), 7, np.uint8)
    boxes = type(ds)._training_batch_loader[1](ds, elements, batch)
    for i, element in enumerate(elements):
        image, expected = ds.load_instance(element, True)
        assert boxes[i] is not None, i
        np.testing.assert_array_equal(batch[i], image)
        assert boxes[i].dtype == expected.dtype and np.array_equal(boxes[i], expected), i


def epoch(pipeline):
    """The samples of one pass as {image digest: boxes without padding}."""
    found = {}
    for images_batch, boxes_batch in pipeline:
        for image, boxes in zip(images_batch.numpy(), boxes_batch.numpy()):
            rows = boxes[np.any(boxes != 0, axis=1)]
            found[hashlib.sha1(image.tobytes()).hexdigest()] = rows if len(rows) else boxes[:1]
    return found


@pytest.mark.parametrize("reader", READERS)
def test_pipeline_samples_with_and_without_an_overridden_load_instance(tmp_path, reader):
    ds, _ = READERS[reader](tmp_path, [160, 160], True)
    calls = []

    class Overriding(type(ds)):
        def load_instance(self, data, training=True):
            calls.append(training)
            return super().load_instance(data, training)

    own = epoch(ds.build_train_iterator(2))
    ds.__class__ = Overriding
    overridden = epoch(ds.build_train_iterator(2))
    assert len(calls) == len(own) == 5
    assert own.keys() == overridden.keys()
    for key, boxes in own.items():
        np.testing.assert_array_equal(boxes, overridden[key])


@pytest.mark.parametrize("reader", READERS)
def test_unsound_sample_is_left_to_load_instance(tmp_path, reader):
    """A sample the batch loader cannot load is handed to load_instance, whose error names it."""
    ds, elements = READERS[reader](tmp_path, [160, 160], True)
    if reader == "tfrecord":
        bad = records.encode_example(b"\xff\xd8 not a jpeg", b"broken.jpg", 8, 8, [0], [[0.5, 0.5, 0.2, 0.2]])
        elements = np.array([elements[0], bad], dtype=object)
    else:
        (tmp_path / "images" / "img1.jpg").write_bytes(b"\xff\xd8 not a jpeg")
    boxes = type(ds)._training_batch_loader[1](ds, elements, np.zeros((len(elements), 160, 160, 3), np.uint8))
    broken = [i for i, e in enumerate(elements) if b"broken.jpg" in bytes(e) or b"img1.jpg" in bytes(e[0])]
    assert len(broken) == 1
    assert [i for i, b in enumerate(boxes) if b is None] == broken
    with pytest.raises(ValueError, match="broken.jpg|img1.jpg"):
        ds.load_instance(elements[broken[0]], True)
