"""Training JPEGs decoded at a reduced size: the boxes stay on the objects, as with full decoding.

Both readers decode a training JPEG at 1/2, 1/4 or 1/8 of its size when the output needs no
more. A filled rectangle of known coordinates is drawn into the source image; the sample's box
must be the one full decoding gives, and the bright region of the sample image must lie on it,
both in the reader's output and in the full-size decoding letter-boxed the plain way.
"""
import io

import cv2
import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from orvane.kestrix.datasets import records, utils
from orvane.kestrix.datasets.darknet import DarknetDataset
from orvane.kestrix.datasets.tfrecord import TFRecordDataset

pytestmark = pytest.mark.keras_free

BOX = (0.45, 0.55, 0.5, 0.4)  # normalised centre x, centre y, width, height


def source_image(height, width):
    """A dark gradient with a white rectangle where BOX lies."""
    y, x = np.mgrid[0:height, 0:width]
    image = np.repeat(((x + y) * 90 // (width + height)).astype(np.uint8)[..., None], 3, axis=2)
    cx, cy, bw, bh = BOX
    image[round((cy - bh / 2) * height):round((cy + bh / 2) * height),
          round((cx - bw / 2) * width):round((cx + bw / 2) * width)] = 255
    return image


def encoded(image, fmt):
    buffer = io.BytesIO()
    Image.fromarray(image).save(buffer, format=fmt, **({"quality": 95} if fmt == "JPEG" else {}))
    return buffer.getvalue()


def serialized_record(data, height, width):
    feature = {
        "image": tf.train.Feature(bytes_list=tf.train.BytesList(value=[data])),
        "image_name": tf.train.Feature(bytes_list=tf.train.BytesList(value=[b"drawn"])),
        "width": tf.train.Feature(int64_list=tf.train.Int64List(value=[width])),
        "height": tf.train.Feature(int64_list=tf.train.Int64List(value=[height])),
        "objects": tf.train.Feature(int64_list=tf.train.Int64List(value=[1])),
        "bboxes": tf.train.Feature(float_list=tf.train.FloatList(value=list(BOX))),
    }
    return tf.train.Example(features=tf.train.Features(feature=feature)).SerializeToString()


def tfrecord_sample(tmp_path, data, size, shape, letter_box):
    for split in ("train", "val"):
        records.write_detection_shards(str(tmp_path / split), [(np.zeros((8, 8, 3), np.uint8), "x", [0], [BOX])])
    desc = {"classes": ["a", "b"], "train": {"path": str(tmp_path / "train")}, "validation": {"path": str(tmp_path / "val")}}
    ds = TFRecordDataset(desc, list(shape) + [3], letter_box, False)
    return ds.load_instance(serialized_record(data, *size))


def darknet_sample(tmp_path, data, size, shape, letter_box):
    name = "drawn.jpg" if data[:2] == b"\xff\xd8" else "drawn.png"
    for folder in ("images", "labels"):
        (tmp_path / folder).mkdir()
    (tmp_path / "images" / name).write_bytes(data)
    (tmp_path / "labels" / "drawn.txt").write_text("1 " + " ".join(map(str, BOX)))
    split = {"images": str(tmp_path / "images"), "annotations": str(tmp_path / "labels")}
    ds = DarknetDataset({"classes": ["a", "b"], "train": split, "validation": split}, list(shape) + [3], letter_box,
                        False)
    return ds.load_instance(ds.train_storage[0])


def full_decode_reference(data, shape, letter_box):
    """The sample image and box of full-size decoding, fitted the plain way."""
    image = np.asarray(Image.open(io.BytesIO(data)).convert("RGB"))
    height, width = image.shape[:2]
    if letter_box:
        fitted, ratio, pad = utils.letterbox(image, shape, auto=False)
        scale_w, scale_h = ratio[0] * width, ratio[1] * height
    else:
        fitted, scale_w, scale_h, pad = cv2.resize(image, (shape[1], shape[0])), shape[1], shape[0], (0, 0)
    cx, cy, bw, bh = BOX
    box = [(cx - bw / 2) * scale_w + pad[0], (cy - bh / 2) * scale_h + pad[1],
           (cx + bw / 2) * scale_w + pad[0], (cy + bh / 2) * scale_h + pad[1]]
    return fitted, np.array(box)


def bright_region(image):
    """x1, y1, x2, y2 of the white rectangle's pixels (edges at pixel borders)."""
    ys, xs = np.nonzero(image.min(axis=2) > 180)
    return np.array([xs.min(), ys.min(), xs.max() + 1, ys.max() + 1], float)


@pytest.mark.parametrize("reader", [tfrecord_sample, darknet_sample], ids=["tfrecord", "darknet"])
@pytest.mark.parametrize("size, shape, fmt, letter_box, reduced", [
    ((480, 640), (320, 320), "JPEG", True, True),    # 1/2: decodes to the letter-box content exactly
    ((960, 1280), (160, 160), "JPEG", True, True),   # 1/8
    ((1201, 517), (160, 160), "JPEG", True, True),   # portrait, padded left and right; 1/4, then scaled
    ((333, 517), (96, 128), "JPEG", True, True),     # odd sides: the decoder rounds them up
    ((480, 640), (100, 60), "JPEG", False, True),    # plain resize to another aspect ratio
    ((480, 640), (160, 160), "PNG", True, False),    # not a JPEG: decoded at full size
])
def test_boxes_line_up_with_the_drawn_rectangle(tmp_path, reader, size, shape, fmt, letter_box, reduced):
    data = encoded(source_image(*size), fmt)
    image, boxes = reader(tmp_path, data, size, shape, letter_box)
    reference, expected_box = full_decode_reference(data, shape, letter_box)
    assert image.shape == reference.shape == shape + (3,)
    # The box is exactly the one of full decoding ...
    assert boxes.shape == (1, 5) and boxes[0, 4] == 1
    np.testing.assert_allclose(boxes[0, :4], expected_box, atol=1e-3)
    # ... and the rectangle lies on it, in the reader's image as in the full-size one.
    for fitted in (image, reference):
        np.testing.assert_allclose(bright_region(fitted), expected_box, atol=1.0)
    # The padding is the same; only the resampling of the content differs.
    assert (image != reference).any() == reduced
    assert np.abs(image.astype(int) - reference).mean() < 4
